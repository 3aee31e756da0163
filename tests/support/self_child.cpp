#include "tests/support/self_child.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cwchar>

namespace {

constexpr DWORD POLL_MS = 20;
constexpr DWORD END_WAIT_MS = 10000;

struct ArgumentList {
    ArgumentList() : values(CommandLineToArgvW(GetCommandLineW(), &count)) {}
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;
    ~ArgumentList() {
        if (values) LocalFree(values);
    }
    int count = 0;
    wchar_t** values;
};

}  // namespace

int RunTestsOrChild(int argc, char** argv, const wchar_t* childSwitch,
                    int (*child)(const std::vector<std::wstring>& arguments)) {
    {
        const ArgumentList wide;
        if (wide.values && wide.count >= 2 && wcscmp(wide.values[1], childSwitch) == 0) {
            return child(std::vector<std::wstring>(wide.values + 2, wide.values + wide.count));
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

SelfChild::SelfChild(const wchar_t* childSwitch, const std::vector<std::wstring>& arguments) {
    wchar_t self[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return;
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + childSwitch;
    for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        return;
    }
    CloseHandle(child.hThread);
    process_ = OwnedKernelHandle(child.hProcess);
    id_ = child.dwProcessId;
}

SelfChild::Outcome SelfChild::WaitFor(const std::function<bool()>& reached, DWORD timeoutMs) const {
    for (const ULONGLONG deadline = GetTickCount64() + timeoutMs; GetTickCount64() < deadline;) {
        if (reached()) return Outcome::Reached;
        if (WaitForSingleObject(process_.get(), POLL_MS) == WAIT_OBJECT_0) return Outcome::Ended;
    }
    return Outcome::TimedOut;
}

void SelfChild::Kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), END_WAIT_MS);
}

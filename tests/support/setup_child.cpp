#include "tests/support/setup_child.h"

#include "tests/support/message_box.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr DWORD kBoxTimeoutMs = 20000;
constexpr DWORD kExitTimeoutMs = 20000;

void WaitUntilClosed(HWND box) {
    for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(50);
    ASSERT_FALSE(IsWindow(box)) << "the box did not close";
}

}  // namespace

void Start(const Launch& launch, Child& child) {
    std::wstring commandLine = L"\"" + launch.exe + L"\"";
    if (!launch.arguments.empty()) commandLine += L" " + launch.arguments;
    std::vector<wchar_t> environment = testbed::EnvironmentBlock(launch.environment);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    ASSERT_TRUE(CreateProcessW(launch.exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_UNICODE_ENVIRONMENT, environment.data(),
                               launch.workingFolder.empty() ? nullptr : launch.workingFolder.c_str(), &startup,
                               &created))
        << GetLastError();
    CloseHandle(created.hThread);
    child.process = OwnedKernelHandle(created.hProcess);
    child.id = created.dwProcessId;
}

void ExpectExitCodeZero(const Child& child) {
    ASSERT_EQ(WaitForSingleObject(child.process.get(), kExitTimeoutMs), WAIT_OBJECT_0) << "still running";
    DWORD exitCode = 1;
    GetExitCodeProcess(child.process.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
}

void AnswerConfirmation(const Child& child, int answer) {
    const auto box = WaitForMessageBox(nullptr, child.id, kBoxTimeoutMs);
    ASSERT_TRUE(box) << "no confirmation box";
    EXPECT_EQ(box->caption, kConfirmCaption);
    EXPECT_EQ(box->text, kConfirmText);
    EXPECT_EQ(box->Style(), static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1));
    EXPECT_EQ(box->owner, nullptr);
    AnswerMessageBox(box->box, answer);
    WaitUntilClosed(box->box);
}

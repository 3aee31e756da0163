#include "tests/support/attempt.h"

#include "engine/install_state.h"
#include "tests/support/message_box.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

const std::vector<std::wstring> kModelNames = ModelNames();

AttemptScope::AttemptScope(const wchar_t* name) {
    ResetInstallState();
    shell_readback::RemoveShellTraces();
    scratch_ = testbed::MakeScratchFolder(name);
    EXPECT_FALSE(scratch_.empty());
    profile_ = scratch_ + L"\\profile";
    installDir_ = scratch_ + L"\\inst";
    EXPECT_TRUE(CreateDirectoryW(profile_.c_str(), nullptr));
    profileSwap_.Set(profile_.c_str());
}

AttemptScope::~AttemptScope() {
    shell_readback::RemoveShellTraces();
    ResetInstallState();
}

void AttemptScope::Start() const {
    wcsncpy_s(installState.installDir, installDir_.c_str(), _TRUNCATE);
    installState.cancelRequested = false;
    installState.busy = true;
}

bool AttemptScope::Run(MessageTrace& trace, DWORD timeoutMs) {
    Start();
    return trace.RunWorker(timeoutMs);
}

bool AttemptScope::RunOnWorkerThread(MessageTrace& trace, const std::function<void()>& work, DWORD timeoutMs) {
    Start();
    return trace.RunOnThread(work, timeoutMs);
}


std::string ReadText(const std::wstring& path) {
    std::string bytes;
    return testbed::ReadFileBytes(path, bytes) ? bytes : "<missing>";
}


namespace {

size_t DoneCount(const std::vector<TraceEvent>& events) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [](const TraceEvent& e) { return e.kind == TraceEvent::Done; }));
}

}  // namespace

std::wstring FailureText(const std::vector<TraceEvent>& events) {
    const size_t n = events.size();
    if (n < 2 || DoneCount(events) != 1 || events[n - 1] != DoneEvent(0) || events[n - 2].kind != TraceEvent::Status) {
        return L"<no failure exit>";
    }
    return events[n - 2].text;
}

bool Succeeded(const std::vector<TraceEvent>& events) {
    return !events.empty() && DoneCount(events) == 1 && events.back() == DoneEvent(1);
}

bool Posted(const std::vector<TraceEvent>& events, const std::wstring& status) {
    return std::find(events.begin(), events.end(), StatusEvent(status)) != events.end();
}

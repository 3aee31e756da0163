#include "tests/support/thread_run.h"

#include "engine/install_state.h"
#include "engine/owned.h"
#include "tests/support/process_list.h"

namespace {

constexpr int PUMP_LIMIT = 100000;  // messages handled by one PumpMessages at the most

struct ThreadWork {
    std::function<void()> work;
};

DWORD WINAPI RunWork(LPVOID parameter) {
    static_cast<ThreadWork*>(parameter)->work();
    return 0;
}

// Ends the tar tools this process started: the worker waits for its tool without a limit, and a
// tool that never ends would otherwise hold the test until its own time limit.
void EndChildTarTools() {
    for (DWORD id : ChildProcessesNamed(GetCurrentProcessId(), L"tar.exe")) EndProcess(id);
}

}  // namespace

void PumpMessages() {
    MSG message;
    for (int i = 0; i < PUMP_LIMIT && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool RunOnThread(const std::function<void()>& work, DWORD timeoutMs) {
    ThreadWork threadWork{work};
    OwnedKernelHandle thread(CreateThread(nullptr, 0, RunWork, &threadWork, 0, nullptr));
    if (!thread) return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool inTime = true;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (inTime && now >= deadline) {
            // The work still refers to this frame: ask it to stop and keep answering its
            // messages until it has.
            inTime = false;
            installState.cancelRequested = true;
            EndChildTarTools();
        }
        const DWORD wait = MsgWaitForMultipleObjects(1, thread.addressOf(), FALSE,
                                                     inTime ? static_cast<DWORD>(deadline - now) : 100, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) break;
        PumpMessages();
    }
    PumpMessages();
    return inTime;
}

#include "tests/support/self_removal.h"

#include "tests/support/process_list.h"

DWORD FindSelfRemovalCommand(DWORD uninstallerId) {
    return ChildProcessNamed(uninstallerId, L"cmd.exe");
}

SelfRemovalCommand::SelfRemovalCommand(DWORD uninstallerId) {
    if (const DWORD id = FindSelfRemovalCommand(uninstallerId)) {
        process_ = OwnedKernelHandle(OpenProcess(SYNCHRONIZE, FALSE, id));
    }
}

bool SelfRemovalCommand::WaitForEnd(DWORD timeoutMs) const {
    return process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

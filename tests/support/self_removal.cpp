#include "tests/support/self_removal.h"

#include <tlhelp32.h>

#include <cwchar>

DWORD FindSelfRemovalCommand(DWORD uninstallerId) {
    OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == uninstallerId && _wcsicmp(entry.szExeFile, L"cmd.exe") == 0) {
            return entry.th32ProcessID;
        }
    }
    return 0;
}

SelfRemovalCommand::SelfRemovalCommand(DWORD uninstallerId) {
    if (const DWORD id = FindSelfRemovalCommand(uninstallerId)) {
        process_ = OwnedKernelHandle(OpenProcess(SYNCHRONIZE, FALSE, id));
    }
}

bool SelfRemovalCommand::WaitForEnd(DWORD timeoutMs) const {
    return process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

#include "tests/support/held_self_removal.h"

#include "tests/support/message_box.h"

#include <tlhelp32.h>

#include <cwchar>

DWORD FindSelfRemovalCommand(DWORD parentId) {
    OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parentId && _wcsicmp(entry.szExeFile, L"cmd.exe") == 0) {
            return entry.th32ProcessID;
        }
    }
    return 0;
}

void HeldSelfRemoval::Catch(DWORD uninstallerId) {
    for (int i = 0; i < 2000; ++i) {
        const bool boxShown = CountMessageBoxes(uninstallerId) > 0;
        if (const DWORD id = FindSelfRemovalCommand(uninstallerId)) {
            Hold(id);
            return;
        }
        if (boxShown) return;
        Sleep(10);
    }
}

void HeldSelfRemoval::Release() {
    for (const auto& thread : threads_) ResumeThread(thread.get());
    threads_.clear();
}

bool HeldSelfRemoval::WaitForEnd(DWORD timeoutMs) const {
    return WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

void HeldSelfRemoval::Hold(DWORD processId) {
    process_ = OwnedKernelHandle(OpenProcess(SYNCHRONIZE, FALSE, processId));
    OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != processId) continue;
        OwnedKernelHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        if (thread && SuspendThread(thread.get()) != static_cast<DWORD>(-1)) threads_.push_back(std::move(thread));
    }
}

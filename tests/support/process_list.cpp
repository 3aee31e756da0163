#include "tests/support/process_list.h"

#include "engine/owned.h"

#include <tlhelp32.h>

#include <cwchar>

std::optional<std::vector<RunningProcess>> RunningProcesses() {
    // A failed snapshot is INVALID_HANDLE_VALUE, as a failed file is.
    OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
    std::vector<RunningProcess> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        processes.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    return processes;
}

std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* exeName) {
    std::vector<DWORD> ids;
    for (const RunningProcess& process : RunningProcesses().value_or(std::vector<RunningProcess>{})) {
        if (process.parentId == parentId && _wcsicmp(process.exeName.c_str(), exeName) == 0) ids.push_back(process.id);
    }
    return ids;
}

DWORD ChildProcessNamed(DWORD parentId, const wchar_t* exeName) {
    const std::vector<DWORD> ids = ChildProcessesNamed(parentId, exeName);
    return ids.empty() ? 0 : ids.front();
}

void EndProcess(DWORD id) {
    if (!id) return;
    OwnedKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) return;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 10000);
}

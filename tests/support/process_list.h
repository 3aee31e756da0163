// The processes running in the prefix, as one snapshot sees them: what a test looks for when a
// process it did not start itself (a tool, a launched program, the self-removal command) matters.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

struct RunningProcess {
    DWORD id = 0;
    DWORD parentId = 0;
    std::wstring exeName;  // the image's file name, without its folder
};

// Every process of one snapshot; nullopt when no snapshot could be taken.
std::optional<std::vector<RunningProcess>> RunningProcesses();

// The ids of the running processes named exeName (in any letter case) whose parent is parentId;
// none when the snapshot fails.
std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* exeName);

// The first of them, or 0.
DWORD ChildProcessNamed(DWORD parentId, const wchar_t* exeName);

// Ends the process with that id (none when 0 or already gone) and waits until it has ended.
void EndProcess(DWORD id);

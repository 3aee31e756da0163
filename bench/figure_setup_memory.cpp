// The setup program's own memory: TavrinSetup.exe is started, driven through the wizard from
// outside as a user would (agree, next, a scratch install folder, "설치 후 바로 실행" unticked,
// install) against the release its build names, and its peak working set is read on the
// finished page, after the whole install (payload, extraction, shell registration, models).
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/watched_process.h"
#include "engine/tree_delete.h"
#include "tests/support/message_box.h"
#include "window/controls.h"

#include <shlobj.h>

#include <cwchar>
#include <string>

namespace {

constexpr DWORD PAINT_TIMEOUT_MS = 60000;
constexpr DWORD INSTALL_TIMEOUT_MS = 900000;
constexpr DWORD POLL_MS = 100;
constexpr wchar_t FINISHED_PAGE_BUTTON[] = L"실행";  // the primary button on the finished page only

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<std::pair<DWORD, bool>*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (processId == search->first && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0) {
        search->second = true;
        return FALSE;
    }
    return TRUE;
}

// A message box of the process is open: the attempt failed or asks a question.
bool BoxOpen(DWORD processId) {
    std::pair<DWORD, bool> search{processId, false};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

HWND PathEdit(HWND window) {
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (_wcsicmp(className, L"Edit") == 0 && !(GetWindowLongW(child, GWL_STYLE) & ES_MULTILINE)) return child;
    }
    return nullptr;
}

void EmitMemory(const WatchedProcess& program, const char* key) {
    PROCESS_MEMORY_COUNTERS counters;
    if (!program.Memory(counters)) {
        EmitNote(std::string("the memory counters of the setup program could not be read (") + key + ")");
        return;
    }
    const std::string prefix = std::string("memory.setup.") + key;
    EmitValue((prefix + ".working_set").c_str(), static_cast<double>(counters.WorkingSetSize));
    EmitValue((prefix + ".peak_working_set").c_str(), static_cast<double>(counters.PeakWorkingSetSize));
    EmitValue((prefix + ".peak_pagefile").c_str(), static_cast<double>(counters.PeakPagefileUsage));
}

void PressButton(HWND window, int id) {
    Deliver(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

// Licence page to the finished page. False, with a note, when the wizard did not get there.
bool InstallThroughWizard(const WatchedProcess& program, const std::wstring& installDir) {
    const HWND window = program.window();
    Deliver(GetDlgItem(window, IDC_AGREE), BM_CLICK);
    PressButton(window, IDC_NEXT);
    const HWND pathEdit = PathEdit(window);
    if (!pathEdit) {
        EmitNote("the location page has no folder box");
        return false;
    }
    SendMessageW(pathEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(installDir.c_str()));
    const HWND runAfter = GetDlgItem(window, IDC_RUN_AFTER);
    if (SendMessageW(runAfter, BM_GETCHECK, 0, 0) == BST_CHECKED) Deliver(runAfter, BM_CLICK);
    const int64_t start = CounterNow();
    PressButton(window, IDC_NEXT);
    const ULONGLONG deadline = GetTickCount64() + INSTALL_TIMEOUT_MS;
    DWORD processId = GetProcessId(program.process());
    while (TextOf(GetDlgItem(window, IDC_NEXT)) != FINISHED_PAGE_BUTTON) {
        if (WaitForSingleObject(program.process(), 0) != WAIT_TIMEOUT || BoxOpen(processId) ||
            GetTickCount64() >= deadline) {
            EmitNote("the install through the wizard did not reach the finished page");
            return false;
        }
        Sleep(POLL_MS);
    }
    EmitValue("setup.install_seconds", SecondsBetween(start, CounterNow()));
    return true;
}

}  // namespace

int RunSetupMemoryFigure(const wchar_t* setupExe) {
    const std::wstring root = TempFilePath(L"tavrin_bench_setup");
    const std::wstring profile = root + L"\\profile";
    const std::wstring installDir = root + L"\\apps\\TavrinAI";
    DeleteTree(root.c_str());
    SHCreateDirectoryExW(nullptr, profile.c_str(), nullptr);
    // The model folder goes below the profile of the setup program, which inherits this.
    SetEnvironmentVariableW(L"USERPROFILE", profile.c_str());

    int result = 1;
    {
        WatchedProcess program(setupExe);
        if (program.WaitForFirstPaint(L"TavrinSetupWnd", PAINT_TIMEOUT_MS) < 0) {
            EmitNote("the setup program's window was not painted in time");
        } else {
            EmitMemory(program, "licence_page");
            if (InstallThroughWizard(program, installDir)) {
                EmitMemory(program, "finished_page");
                result = 0;
            }
        }
        if (!program.Close(10000)) EmitNote("the setup program did not end on WM_CLOSE");
    }
    DeleteTree(root.c_str());
    return result;
}

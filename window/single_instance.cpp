#include "window/single_instance.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/setup_log.h"
#include "window/setup_window.h"

#include <windows.h>

#include <cwchar>

namespace {

const wchar_t* const SETUP_MUTEX_NAME = L"Local\\TavrinAI.Setup";
// Exists exactly while a copy in uninstall mode runs; it is never signalled.
const wchar_t* const UNINSTALL_MARK_NAME = L"Local\\TavrinAI.Uninstalling";
const wchar_t* const MESSAGE_CAPTION = PRODUCT_NAME;
const wchar_t* const SETUP_RUNNING_TEXT = L"설치 프로그램이 이미 실행 중입니다. 설치 창을 닫은 뒤 다시 시도해 주세요.";
const wchar_t* const UNINSTALL_RUNNING_TEXT = L"Tavrin AI 제거가 진행 중입니다. 제거가 끝난 뒤 다시 시도해 주세요.";

// The running copy takes a moment from owning the mutex to creating its window or mark; a copy
// that shows neither for this long is not waited for any further.
constexpr DWORD RUNNING_COPY_WAIT_MS = 10000;
constexpr DWORD POLL_PERIOD_MS = 50;

// Both live until the process ends; closing them then gives up the mutex and the mark.
OwnedKernelHandle setupMutex;
OwnedKernelHandle uninstallMark;

// True when this thread owns the mutex now (an abandoned mutex is owned all the same).
bool OwnSetupMutex() {
    const DWORD result = WaitForSingleObject(setupMutex.get(), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool UninstallRunning() {
    OwnedKernelHandle mark(OpenEventW(SYNCHRONIZE, FALSE, UNINSTALL_MARK_NAME));
    return static_cast<bool>(mark);
}

void Warn(const wchar_t* text) {
    // Told in the running copy's log: this copy starts no log of its own.
    LoggedMessageBox(nullptr, text, MESSAGE_CAPTION, MB_OK | MB_ICONWARNING);
}

void BringToFront(HWND wizard) {
    // Asynchronous: a wizard that does not answer must not hold this copy up.
    if (IsIconic(wizard)) ShowWindowAsync(wizard, SW_RESTORE);
    // A box or the folder dialog of the wizard is what the user has to answer first.
    SetForegroundWindow(GetLastActivePopup(wizard));
}

// The boxes of the running uninstaller, the only windows it has: its question, then its last word.
BOOL CALLBACK BringUninstallBoxToFront(HWND window, LPARAM) {
    wchar_t className[16] = {};
    wchar_t caption[32] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, caption, 32);
    const bool box = wcscmp(className, L"#32770") == 0;  // the class of every message box
    if (box && IsWindowVisible(window) && wcsncmp(caption, PRODUCT_NAME, wcslen(PRODUCT_NAME)) == 0) {
        SetForegroundWindow(window);
        return FALSE;
    }
    return TRUE;
}

// Install mode beside a running copy. True when that copy ended meanwhile and this one now owns
// the mutex.
bool StepAsideForRunningCopy() {
    const ULONGLONG deadline = GetTickCount64() + RUNNING_COPY_WAIT_MS;
    do {
        if (HWND wizard = FindWindowW(WIZARD_WINDOW_CLASS, nullptr)) {
            BringToFront(wizard);
            return false;
        }
        if (UninstallRunning()) {
            Warn(UNINSTALL_RUNNING_TEXT);
            return false;
        }
        if (OwnSetupMutex()) return true;
        Sleep(POLL_PERIOD_MS);
    } while (GetTickCount64() < deadline);
    return false;
}

}  // namespace

bool TakeSetupInstance(bool uninstallMode) {
    setupMutex = OwnedKernelHandle(CreateMutexW(nullptr, FALSE, SETUP_MUTEX_NAME));
    if (!setupMutex) return true;
    if (OwnSetupMutex()) {
        if (uninstallMode) uninstallMark = OwnedKernelHandle(CreateEventW(nullptr, TRUE, FALSE, UNINSTALL_MARK_NAME));
        return true;
    }
    if (uninstallMode) {
        // A second uninstall (a double click in the installed-programs list) must not hold a box
        // of its own open: it runs from the setup copy that the first one removes at its end.
        if (UninstallRunning()) {
            EnumWindows(BringUninstallBoxToFront, 0);
        } else {
            Warn(SETUP_RUNNING_TEXT);
        }
        return false;
    }
    return StepAsideForRunningCopy();
}

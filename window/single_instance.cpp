#include "window/single_instance.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/setup_log.h"
#include "window/setup_window.h"

#include <windows.h>

#include <cwchar>

namespace {

const wchar_t* const SETUP_MUTEX_NAME = L"Local\\TavrinAI.Setup";
// A shared section of one value: the process id of the copy that runs the uninstall, or 0.
const wchar_t* const UNINSTALL_MARK_NAME = L"Local\\TavrinAI.Uninstalling";
const wchar_t* const MESSAGE_CAPTION = PRODUCT_NAME;
const wchar_t* const SETUP_RUNNING_TEXT = L"설치 프로그램이 이미 실행 중입니다. 설치 창을 닫은 뒤 다시 시도해 주세요.";
const wchar_t* const UNINSTALL_RUNNING_TEXT = L"Tavrin AI 제거가 진행 중입니다. 제거가 끝난 뒤 다시 시도해 주세요.";

// The running copy takes a moment from owning the mutex to creating its window or mark; a copy
// that shows neither for this long is not waited for any further.
constexpr DWORD RUNNING_COPY_WAIT_MS = 10000;
constexpr DWORD POLL_PERIOD_MS = 50;

// Which copy runs the uninstall. An uninstall copy claims the mark before it takes the mutex, so
// that a second uninstall copy never finds the mutex taken without the mark (it would take the
// first for a wizard and hold a box of its own open, and with it the setup copy that the first
// removes). Claiming is one compare-exchange on the shared value, so two copies started together
// cannot both win; and the value names the winner's process, whose boxes alone the second copy
// brings forward: a caption is no proof that a window is ours.
class UninstallMark {
public:
    // Creates or opens the section; false when it cannot be used.
    bool Open() {
        section_ = OwnedKernelHandle(
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), UNINSTALL_MARK_NAME));
        if (section_) view_ = OwnedMappedView(MapViewOfFile(section_.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
        return static_cast<bool>(view_);
    }
    // 0 when this process now holds the mark; otherwise the id of the process that does.
    DWORD Claim() {
        const LONG self = static_cast<LONG>(GetCurrentProcessId());
        return static_cast<DWORD>(InterlockedCompareExchange(Value(), self, 0));
    }
    void Release() {
        if (view_) InterlockedExchange(Value(), 0);
    }

private:
    volatile LONG* Value() const { return static_cast<volatile LONG*>(view_.get()); }

    OwnedKernelHandle section_;
    OwnedMappedView view_;  // declared after the section: unmapped before it is closed
};

// Both live until the process ends; closing them then gives up the mutex and the mark (the
// section goes with its last handle, its value with it).
OwnedKernelHandle setupMutex;
UninstallMark uninstallMark;

// True when this thread owns the mutex now (an abandoned mutex is owned all the same).
bool OwnSetupMutex() {
    const DWORD result = WaitForSingleObject(setupMutex.get(), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool UninstallRunning() {
    OwnedKernelHandle section(OpenFileMappingW(FILE_MAP_READ, FALSE, UNINSTALL_MARK_NAME));
    if (!section) return false;
    OwnedMappedView view(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, sizeof(LONG)));
    return view && *static_cast<volatile LONG*>(view.get()) != 0;
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

// A shown message box of the uninstalling process (its only windows: the question, then its last
// word) comes to the front.
BOOL CALLBACK BringUninstallBoxToFront(HWND window, LPARAM uninstallerId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != static_cast<DWORD>(uninstallerId)) return TRUE;
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    const bool box = wcscmp(className, L"#32770") == 0;  // the class of every message box
    if (box && IsWindowVisible(window)) {
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

// Uninstall mode. A copy whose mark cannot be made still runs by the mutex alone.
bool TakeUninstallInstance() {
    if (const DWORD uninstaller = uninstallMark.Open() ? uninstallMark.Claim() : 0) {
        // A second uninstall (a double click in the installed-programs list) must not hold a box
        // of its own open: it runs from the setup copy that the first one removes.
        EnumWindows(BringUninstallBoxToFront, static_cast<LPARAM>(uninstaller));
        return false;
    }
    setupMutex = OwnedKernelHandle(CreateMutexW(nullptr, FALSE, SETUP_MUTEX_NAME));
    if (!setupMutex || OwnSetupMutex()) return true;
    // Every uninstall copy holds the mark before the mutex: this owner is a wizard.
    uninstallMark.Release();
    Warn(SETUP_RUNNING_TEXT);
    return false;
}

}  // namespace

bool TakeSetupInstance(bool uninstallMode) {
    if (uninstallMode) return TakeUninstallInstance();
    setupMutex = OwnedKernelHandle(CreateMutexW(nullptr, FALSE, SETUP_MUTEX_NAME));
    if (!setupMutex || OwnSetupMutex()) return true;
    return StepAsideForRunningCopy();
}

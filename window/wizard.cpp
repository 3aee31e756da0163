#include "window/wizard.h"

#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "window/controls.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

namespace {

const wchar_t* const MESSAGE_CAPTION = PRODUCT_NAME;
const wchar_t* const RELATIVE_FOLDER_TEXT =
    L"설치 폴더를 전체 경로로 입력하세요.\n(예: C:\\TavrinAI 또는 \\\\서버\\공유\\TavrinAI)";
const wchar_t* const LONG_FOLDER_TEXT = L"설치 폴더 경로가 너무 깁니다. 더 짧은 폴더를 입력하세요.";

// Frees an item list that the shell allocated.
struct ItemListTraits {
    using type = PIDLIST_ABSOLUTE;
    static type invalid() { return nullptr; }
    static void close(type list) { CoTaskMemFree(list); }
};
using OwnedItemList = Owned<ItemListTraits>;

void Show(HWND control, bool visible) {
    ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

// True when a component of path ends in a space or a dot. Windows drops them when it creates the
// folder, so the folder made would not be the one every joined path names.
bool HasComponentEndingInBlankOrDot(const wchar_t* path) {
    for (const wchar_t* at = path; *at; ++at) {
        const wchar_t next = at[1];
        if ((*at == L' ' || *at == L'.') && (next == L'\\' || next == L'/' || next == L'\0')) return true;
    }
    return false;
}

// Why folder cannot take an install, or nullptr when it can; folder is then the canonical form
// that GetFullPathNameW gives (the last component's trailing spaces and dots gone, as Windows
// creates it, "." and ".." resolved), which the install works with.
const wchar_t* FolderRefusal(wchar_t (&folder)[PATH_CAPACITY]) {
    // The extraction stage needs the same kind of path; refusing here spares the user a whole
    // download that could only end in "설치 폴더를 만들 수 없습니다.". A folder in the "\\?\" or
    // "\\.\" form would install once and then defeat every reinstall and uninstall.
    if (!IsAbsolutePath(folder) || IsDeviceNamespacePath(folder)) return RELATIVE_FOLDER_TEXT;
    wchar_t canonical[PATH_CAPACITY] = {};
    const DWORD length = GetFullPathNameW(folder, PATH_CAPACITY, canonical, nullptr);
    if (length == 0) return RELATIVE_FOLDER_TEXT;
    if (length >= PATH_CAPACITY) return LONG_FOLDER_TEXT;
    wcscpy_s(folder, canonical);
    if (HasComponentEndingInBlankOrDot(folder)) return RELATIVE_FOLDER_TEXT;
    // A longer folder would still install, but without the paths that no longer fit (the
    // shortcuts, then the setup copy and the entry that the uninstall needs).
    if (length > MAX_INSTALL_DIR_LENGTH) return LONG_FOLDER_TEXT;
    return nullptr;
}

void Warn(HWND window, const wchar_t* text) {
    LoggedMessageBox(window, text, MESSAGE_CAPTION, MB_OK | MB_ICONWARNING);
}

void StartAttempt(HWND window) {
    GetWindowTextW(controls.pathEdit, installState.installDir, static_cast<int>(INSTALL_DIR_CAPACITY));
    if (!installState.installDir[0]) {
        Warn(window, L"설치 폴더를 입력하세요.");
        return;
    }
    const wchar_t* refusal = FolderRefusal(installState.installDir);
    // The user sees the folder the install would use, also when it is refused for its length.
    SetWindowTextW(controls.pathEdit, installState.installDir);
    if (refusal) {
        Warn(window, refusal);
        return;
    }
    ClearCancelRequest();
    installState.busy = true;
    ShowWizardPage(PAGE_PROGRESS);
    EnableWindow(controls.next, FALSE);
    SetTimer(window, IDT_MARQUEE, MARQUEE_PERIOD_MS, nullptr);

    // Nobody waits for the worker: its handle is closed at once.
    OwnedKernelHandle worker(CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr));
    if (!worker) {
        LogFailedCall(L"wizard", L"CreateThread", nullptr, GetLastError());
        // Without a worker no WM_SETUP_DONE would ever come; end the attempt as a failure so
        // the user gets the box and the retry instead of a wizard stuck on the progress page.
        wcscpy_s(installState.statusText, L"설치 작업을 시작하지 못했습니다.");
        LogFinalText(L"wizard", installState.statusText);
        PostMessageW(window, WM_SETUP_DONE, 0, 0);
    }
}

void RequestCancel() {
    LogEvent(L"wizard", L"cancel request");
    SignalCancelRequest();
    PostStatus(L"취소하는 중...");
}

void BrowseForFolder(HWND window) {
    BROWSEINFOW browse{};
    browse.hwndOwner = window;
    browse.lpszTitle = L"설치 폴더 선택";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    OwnedItemList chosen(SHBrowseForFolderW(&browse));
    if (!chosen) return;

    wchar_t folder[MAX_PATH] = {};
    wchar_t target[PATH_CAPACITY] = {};
    if (!SHGetPathFromIDListW(chosen.get(), folder)) return;
    // A choice that cannot take an install keeps the previous one, and the user is told why.
    const wchar_t* refusal = JoinPath(target, folder, INSTALL_FOLDER_NAME) ? FolderRefusal(target) : LONG_FOLDER_TEXT;
    if (refusal) {
        Warn(window, refusal);
        return;
    }
    wcscpy_s(installState.installDir, target);
    SetWindowTextW(controls.pathEdit, installState.installDir);
}

void LaunchApplication(HWND window) {
    wchar_t appFolder[MAX_PATH] = {};
    wchar_t target[MAX_PATH] = {};
    if (PathCombineW(appFolder, installState.installDir, APP_FOLDER_NAME) && GetLaunchTarget(target, appFolder)) {
        // ShellExecuteW's "instance" is a result code, above 32 on success.
        const auto launched = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", target, nullptr, appFolder,
                                                                      SW_SHOWNORMAL));
        if (launched <= 32) {
            LogFailedCall(L"wizard", L"ShellExecuteW", target, static_cast<DWORD>(launched));
        } else {
            LogEventAbout(L"wizard", L"launch", target, L"ok");
        }
    }
    DestroyWindow(window);
}

void OnNext(HWND window) {
    if (installState.busy) return;
    if (installState.finished) {
        LaunchApplication(window);
    } else if (installState.page == PAGE_LICENSE) {
        if (IsChecked(controls.agree)) ShowWizardPage(PAGE_LOCATION);
    } else if (installState.page == PAGE_LOCATION) {
        StartAttempt(window);
    }
}

void OnSucceeded(HWND window) {
    installState.finished = true;
    installState.progress = PROGRESS_COMPLETE;
    SetWindowTextW(controls.next, L"실행");
    SetWindowTextW(controls.cancel, L"닫기");
    EnableWindow(controls.next, TRUE);
    if (IsChecked(controls.runAfter)) SendMessageW(window, WM_COMMAND, IDC_NEXT, 0);
    InvalidateRect(window, nullptr, FALSE);
}

void OnFailed(HWND window) {
    installState.progress = PROGRESS_FAILED;
    // The box's own loop paints only what is invalid by then; without this the last bar could
    // stay on screen under it.
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
    Warn(window, installState.statusText);
    ShowWizardPage(PAGE_LOCATION);
    SetWindowTextW(controls.next, L"다시 시도");
    InvalidateRect(window, nullptr, FALSE);
}

}  // namespace

void ShowWizardPage(int page) {
    installState.page = page;
    const bool license = page == PAGE_LICENSE;
    const bool location = page == PAGE_LOCATION;
    Show(controls.licenseEdit, license);
    Show(controls.agree, license);
    Show(controls.pathEdit, location);
    Show(controls.browse, location);
    Show(installState.desktopShortcutBox, location);
    Show(controls.runAfter, location);
    Show(controls.back, location);
    if (license) {
        SetWindowTextW(controls.next, L"다음");
        EnableWindow(controls.next, IsChecked(controls.agree));
    } else if (location) {
        SetWindowTextW(controls.next, L"설치");
        EnableWindow(controls.next, TRUE);
    }
    SetWindowTextW(controls.cancel, L"취소");
    InvalidateRect(installState.mainWindow, nullptr, TRUE);
}

void HandleWizardCommand(HWND window, int controlId, int notification) {
    // A double click on an owner-drawn button arrives as a click and then this notification; as
    // a second press it would carry "다음" on the licence page straight on to "설치".
    if (notification == BN_DOUBLECLICKED) return;
    switch (controlId) {
    case IDC_NEXT:
        OnNext(window);
        break;
    case IDC_CANCEL:
        if (installState.busy) {
            RequestCancel();
        } else {
            DestroyWindow(window);
        }
        break;
    case IDC_BROWSE:
        BrowseForFolder(window);
        break;
    case IDC_AGREE:
        EnableWindow(controls.next, IsChecked(controls.agree));
        break;
    case IDC_BACK:
        if (!installState.busy && installState.page == PAGE_LOCATION) ShowWizardPage(PAGE_LICENSE);
        break;
    default:
        // The check boxes toggle themselves; Esc and Enter arrive as IDCANCEL and IDOK.
        break;
    }
}

void HandleWizardClose(HWND window) {
    if (installState.busy) {
        LogEvent(L"wizard", L"close box while busy: cancel request");
        SignalCancelRequest();
    } else {
        DestroyWindow(window);
    }
}

void HandleStatusMessage(HWND window, LPARAM heapText) {
    TakeStatusText(heapText);
    InvalidateRect(window, nullptr, FALSE);
}

void HandleProgressMessage(HWND window, WPARAM value) {
    installState.progress = static_cast<int>(static_cast<UINT32>(value));
    InvalidateRect(window, nullptr, FALSE);
}

void HandleDoneMessage(HWND window, WPARAM succeeded) {
    installState.busy = false;
    KillTimer(window, IDT_MARQUEE);
    if (installState.closeWhenDone) {
        DestroyWindow(window);
    } else if (succeeded) {
        OnSucceeded(window);
    } else {
        OnFailed(window);
    }
}

// Uninstall mode.
//
// The program running here is the setup copy that the install put into the install folder, so
// the install folder is simply the folder of our own file; nothing is read from the uninstall
// entry. After one question the app folder goes first: while the application runs some of its
// files cannot be deleted, and then everything else stays as it is (the shortcuts and the entry
// still lead to what is left, the setup copy is there to try again) and the user is asked to
// close the application. Otherwise everything the install made for this user is removed, and
// none of those outcomes is examined: a missing shortcut or key must not stop the rest. Our own
// file cannot be deleted while we run, so a hidden cmd.exe, made before anything is removed and
// let go only after the final box has been dismissed, deletes it, and then the install folder if
// that has become empty, once we have exited.
//
// Every path is formed in a 260-unit buffer by JoinPath, which refuses what does not fit or is
// not absolute; a path that could not be formed is skipped, never shortened or resolved against
// the current folder.
#include "uninstall/uninstall.h"

#include "engine/app_switch.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "engine/transient_retry.h"
#include "engine/tree_delete.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

namespace {

constexpr wchar_t kConfirmCaption[] = L"Tavrin AI 제거";
constexpr wchar_t kConfirmText[] =
    L"Tavrin AI 를 제거할까요?\n\nAI 모델(약 408MB)과 설정·로그인 정보까지 모두 삭제됩니다.\n"
    L"(업데이트·재설치는 이 데이터를 그대로 유지합니다.)";
constexpr const wchar_t* kDoneCaption = PRODUCT_NAME;
constexpr wchar_t kDoneText[] = L"제거가 끝났습니다.";
constexpr wchar_t kInUseText[] = L"일부 파일을 지우지 못했습니다.\n실행 중인 Tavrin AI 를 닫고 다시 제거해 주세요.";

constexpr size_t COMMAND_CAPACITY = 520;  // units, terminator included
constexpr wchar_t LOG_STAGE[] = L"uninstall";

// ownFile = our module's path; installFolder = its folder. False (both empty) when the path does
// not fit or either is not absolute: then nothing may be deleted relative to it.
bool GetOwnFileAndFolder(wchar_t (&ownFile)[PATH_CAPACITY], wchar_t (&installFolder)[PATH_CAPACITY]) {
    const DWORD length = GetModuleFileNameW(nullptr, ownFile, PATH_CAPACITY);
    // A result of the full capacity means the path was cut.
    if (length > 0 && length < PATH_CAPACITY) {
        wcscpy_s(installFolder, PATH_CAPACITY, ownFile);
        PathRemoveFileSpecW(installFolder);
        if (IsAbsolutePath(ownFile) && IsAbsolutePath(installFolder)) return true;
    }
    if (length == 0 || length >= PATH_CAPACITY) {
        LogFailedCall(LOG_STAGE, L"GetModuleFileNameW", nullptr, GetLastError());  // cut: ERROR_INSUFFICIENT_BUFFER
    } else {
        LogEventAbout(LOG_STAGE, L"own folder", ownFile, L"failed | not absolute");
    }
    ownFile[0] = L'\0';
    installFolder[0] = L'\0';
    return false;
}

// out = the shell folder csidl joined with the shortcut name; empty when the folder is unknown.
void GetShortcutPath(int csidl, wchar_t (&out)[PATH_CAPACITY]) {
    wchar_t folder[PATH_CAPACITY] = {};
    out[0] = L'\0';
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return;
    JoinPath(out, folder, SHORTCUT_NAME);
}

void DeleteShortcuts() {
    wchar_t startMenuShortcut[PATH_CAPACITY];
    wchar_t desktopShortcut[PATH_CAPACITY];
    GetShortcutPath(CSIDL_PROGRAMS, startMenuShortcut);
    GetShortcutPath(CSIDL_DESKTOPDIRECTORY, desktopShortcut);
    for (const wchar_t* shortcut : {startMenuShortcut, desktopShortcut}) {
        // A shortcut that was never made (no desktop one wanted) is no failure; one a passing
        // holder has open is outlasted.
        if (!shortcut[0] ||
            RetryTransient(LOG_STAGE, L"DeleteFileW", shortcut, [&] { return DeleteFileW(shortcut) != FALSE; })) {
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            LogFailedCall(LOG_STAGE, L"DeleteFileW", shortcut, error);
        }
    }
}

// DeleteTree, and a line when something of the tree is left. True when nothing is.
bool DeleteTreeLogged(const wchar_t* path) {
    DeleteTree(path);
    if (!PathExists(path)) return true;
    LogEventAbout(LOG_STAGE, L"delete", path, L"failed | something is left");
    return false;
}

// The app folder is renamed aside before anything of it is deleted: a file in use refuses the
// rename, and the app then stays whole. False when it could not be set aside or something of it
// is left (the next start deletes that), or when its path cannot be formed: then it cannot be
// known to be gone.
bool DeleteAppFolder(const wchar_t* installFolder) {
    SwitchPaths paths;
    if (!FormSwitchPaths(paths, installFolder)) return false;
    return SetAppFolderAsideForRemoval(paths) && DeleteAppFolderSetAside(paths);
}

// The models folder of the application's face analysis; ".insightface" and "models" may be
// shared with other programs, so only "auraface" goes.
bool DeleteModelFolder() {
    wchar_t modelFolder[PATH_CAPACITY];
    return !GetModelFolder(modelFolder) || DeleteTreeLogged(modelFolder);
}

bool DeleteUserDataFolder(const wchar_t* profile) {
    wchar_t dataFolder[PATH_CAPACITY];
    return !JoinPath(dataFolder, profile, USER_DATA_FOLDER_NAME) || DeleteTreeLogged(dataFolder);
}

// The command for the hidden interpreter. False when it does not fit, or when a path holds a
// '%' or a '!': cmd.exe expands %NAME% in its command line, and !NAME! too where the user has
// switched delayed expansion on, which could point del and rmdir elsewhere.
bool FormatSelfRemovalCommand(wchar_t (&command)[COMMAND_CAPACITY], const wchar_t* ownFile,
                              const wchar_t* installFolder) {
    if (wcspbrk(ownFile, L"%!") || wcspbrk(installFolder, L"%!")) return false;
    const int written = _snwprintf_s(command, _TRUNCATE,
                                     L"cmd.exe /c ping -n 3 127.0.0.1 >nul & del /q \"%s\" & rmdir \"%s\"",
                                     ownFile, installFolder);
    return written > 0;
}

// The hidden cmd.exe that deletes our own file once we have exited. It is made before anything
// is removed but held suspended until the last box has been dismissed (its ping gives us time to
// exit before del and rmdir run): when it cannot be made, nothing is removed, so the uninstall
// entry never goes while the setup copy it runs stays for good.
class SelfRemoval {
public:
    SelfRemoval() = default;
    SelfRemoval(const SelfRemoval&) = delete;
    SelfRemoval& operator=(const SelfRemoval&) = delete;
    // A process made and never let go is ended with us.
    ~SelfRemoval() { Cancel(); }

    // False when the interpreter could not be made. A path that cmd.exe could expand into another
    // one (see FormatSelfRemovalCommand) needs no interpreter: the setup copy then stays, and
    // that is no failure.
    bool Prepare(const wchar_t* ownFile, const wchar_t* installFolder) {
        wchar_t (&command)[COMMAND_CAPACITY] = command_;
        if (!FormatSelfRemovalCommand(command, ownFile, installFolder)) {
            LogEventAbout(LOG_STAGE, L"self removal", ownFile, L"skipped | path too long or holds % or !");
            return true;
        }
        // Named by its full path: a search for "cmd.exe" would look in our own folder first, the
        // install folder, where any file of that name would be run in its place.
        wchar_t systemFolder[PATH_CAPACITY] = {};
        wchar_t interpreter[PATH_CAPACITY];
        if (!GetSystemFolder(systemFolder) || !JoinPath(interpreter, systemFolder, L"cmd.exe")) return false;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION created = {};
        // A folder that is some process's current folder cannot be removed, and cmd.exe would
        // inherit ours, which may well be the install folder: give it the system folder instead.
        if (!CreateProcessW(interpreter, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                            nullptr, systemFolder, &startup, &created)) {
            LogFailedCall(LOG_STAGE, L"CreateProcessW", command, GetLastError());
            return false;
        }
        process_ = OwnedKernelHandle(created.hProcess);
        thread_ = OwnedKernelHandle(created.hThread);
        return true;
    }

    // Lets the interpreter run. False when it was made and could not be let go.
    bool Start() {
        if (!thread_) return true;
        if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
            LogFailedCall(LOG_STAGE, L"ResumeThread", L"self removal", GetLastError());
            return false;
        }
        LogEventAbout(LOG_STAGE, L"self removal started", command_, nullptr);
        thread_.reset();
        process_.reset();
        return true;
    }

    void Cancel() {
        if (!process_) return;
        TerminateProcess(process_.get(), 1);
        thread_.reset();
        process_.reset();
    }

private:
    wchar_t command_[COMMAND_CAPACITY] = {};
    OwnedKernelHandle process_;
    OwnedKernelHandle thread_;
};


// Runs one step of the uninstall between its start and end lines in the log.
template <typename Step>
bool Timed(const wchar_t* name, Step step) {
    const ULONGLONG started = LogStageStart(name);
    const bool done = step();
    LogStageEnd(name, started, done ? L"ok" : L"failed");
    return done;
}

// The entry's removal; true when it is gone (or was never there).
bool DeleteUninstallEntry() {
    const LSTATUS entryRemoval = RegDeleteKeyW(HKEY_CURRENT_USER, UNINSTALL_KEY);
    if (entryRemoval == ERROR_SUCCESS || entryRemoval == ERROR_FILE_NOT_FOUND) return true;
    LogFailedCall(LOG_STAGE, L"RegDeleteKeyW", UNINSTALL_KEY, static_cast<DWORD>(entryRemoval));
    return false;
}

void ShowFinalBox(const wchar_t* text, UINT icon) {
    LogFinalText(LOG_STAGE, text);
    LoggedMessageBox(nullptr, text, kDoneCaption, MB_OK | icon);
}

}  // namespace

int RunUninstall() {
    wchar_t ownFile[PATH_CAPACITY];
    wchar_t installFolder[PATH_CAPACITY];
    const bool haveInstallFolder = GetOwnFileAndFolder(ownFile, installFolder);
    LogEventAbout(LOG_STAGE, L"start, install folder", haveInstallFolder ? installFolder : L"unknown", nullptr);
    if (haveInstallFolder) RecoverInterruptedSwitch(installFolder);

    if (LoggedMessageBox(nullptr, kConfirmText, kConfirmCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) return 0;

    // Without our own folder the app folder cannot be found, and saying "done" would leave the
    // application behind with its entry gone: the same as files in use, nothing else is touched.
    // So too when our own file could not be scheduled for removal.
    SelfRemoval selfRemoval;
    if (!haveInstallFolder || !selfRemoval.Prepare(ownFile, installFolder) ||
        !Timed(L"app folder", [&] { return DeleteAppFolder(installFolder); })) {
        selfRemoval.Cancel();
        ShowFinalBox(kInUseText, MB_ICONWARNING);
        return 0;
    }
    Timed(L"shortcuts", [] { DeleteShortcuts(); return true; });
    // While the entry stays, so does the setup copy it runs: the user can uninstall again.
    const bool entryGone = Timed(L"uninstall entry", DeleteUninstallEntry);
    if (!entryGone) selfRemoval.Cancel();

    wchar_t profile[PATH_CAPACITY];
    if (GetUserProfile(profile)) {
        Timed(L"model folder", DeleteModelFolder);
        Timed(L"data folder", [&] { return DeleteUserDataFolder(profile); });
    } else {
        LogEvent(LOG_STAGE, L"USERPROFILE unreadable: model and data folders kept", L"skipped");
    }

    ShowFinalBox(kDoneText, MB_ICONINFORMATION);
    // Only now: its delay has to run after we have exited, however long the box was read. One
    // that cannot be let go is ended, and the user told that the setup copy stays.
    if (!selfRemoval.Start()) {
        selfRemoval.Cancel();
        ShowFinalBox(kInUseText, MB_ICONWARNING);
    }
    return 0;
}

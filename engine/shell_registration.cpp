// Stage 5. Every step here is best effort: the application is already extracted, so a missing
// shortcut or registry value must not turn a usable installation into a failed attempt.
#include "engine/shell_registration.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "engine/transient_retry.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>

namespace {

constexpr size_t UNINSTALL_COMMAND_CAPACITY = 292;
constexpr wchar_t LOG_STAGE[] = L"shell registration";

// What the stage writes, each path formed in a 260-unit buffer; a path that did not fit is empty.
struct ShellPaths {
    wchar_t appFolder[PATH_CAPACITY];
    wchar_t launchTarget[PATH_CAPACITY];
    wchar_t iconFile[PATH_CAPACITY];
    wchar_t setupCopy[PATH_CAPACITY];
    wchar_t setupCopyTemp[PATH_CAPACITY];
};

void BuildShellPaths(ShellPaths& paths) {
    const wchar_t* installDir = installState.installDir;
    if (JoinPath(paths.appFolder, installDir, APP_FOLDER_NAME)) {
        GetLaunchTarget(paths.launchTarget, paths.appFolder);
        JoinPath(paths.iconFile, paths.appFolder, APP_ICON_NAME);
    } else {
        paths.launchTarget[0] = L'\0';
        paths.iconFile[0] = L'\0';
    }
    JoinPath(paths.setupCopy, installDir, SETUP_COPY_NAME);
    JoinPath(paths.setupCopyTemp, installDir, SETUP_COPY_TEMP_NAME);
}

// The copy is written under a temporary name, flushed, and only then moved over the previous
// setup copy, so that a kill or a full disk never leaves the entry running a truncated program.
bool WriteDurableCopy(const wchar_t* self, const wchar_t* temp, const wchar_t* setupCopy) {
    if (!RetryTransient(LOG_STAGE, L"CopyFileW", temp, [&] { return CopyFileW(self, temp, FALSE) != FALSE; })) {
        LogFailedCall(LOG_STAGE, L"CopyFileW", temp, GetLastError());
        return false;
    }
    {
        OwnedFile copy;
        RetryTransient(LOG_STAGE, L"CreateFileW", temp, [&] {
            *copy.put() = CreateFileW(temp, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            return static_cast<bool>(copy);
        });
        if (!copy || !FlushFileBuffers(copy.get())) {
            LogFailedCall(LOG_STAGE, L"FlushFileBuffers", temp, GetLastError());
            return false;
        }
    }
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!RetryTransient(LOG_STAGE, L"MoveFileExW", setupCopy,
                        [&] { return MoveFileExW(temp, setupCopy, flags) != FALSE; })) {
        LogFailedCall(LOG_STAGE, L"MoveFileExW", setupCopy, GetLastError());
        return false;
    }
    return true;
}

// Puts the running program in place of the setup copy, unless the program already is the setup
// copy (started from the install folder). A failure is passed over: the previous copy is then
// whole, and the entry that names it stays valid.
void CopySetupProgram(const wchar_t* setupCopy, const wchar_t* temp) {
    if (!setupCopy[0] || !temp[0]) {
        LogEvent(LOG_STAGE, L"setup copy path", L"failed | too long");
        return;
    }
    wchar_t self[PATH_CAPACITY] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) {  // 0: failed; at capacity: cut short
        LogFailedCall(LOG_STAGE, L"GetModuleFileNameW", nullptr, GetLastError());
        return;
    }
    // Started from the setup copy itself: it is the copy, and a running image cannot be replaced.
    if (_wcsicmp(self, setupCopy) == 0) {
        LogEventAbout(LOG_STAGE, L"setup copy", setupCopy, L"skipped | running from it");
        return;
    }
    if (WriteDurableCopy(self, temp, setupCopy)) return;
    if (!DeleteFileW(temp) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        LogFailedCall(LOG_STAGE, L"DeleteFileW", temp, GetLastError());
    }
}

// A shortcut path inside a shell folder. A folder that cannot be looked up yields an empty path,
// so the shortcut is skipped rather than written as a bare name into the current folder.
void BuildShortcutPath(wchar_t (&out)[PATH_CAPACITY], int csidl) {
    wchar_t folder[PATH_CAPACITY] = {};
    out[0] = L'\0';
    const HRESULT found = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(found)) {
        LogFailedStatus(LOG_STAGE, L"SHGetFolderPathW", nullptr, found);
        return;
    }
    JoinPath(out, folder, SHORTCUT_NAME);
}

bool DesktopShortcutWanted() {
    return SendMessageW(installState.desktopShortcutBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A registry call's result: true on success, otherwise logged with the value's name.
bool CheckedRegistry(LSTATUS status, const wchar_t* call, const wchar_t* name) {
    if (status != ERROR_SUCCESS) LogFailedCall(LOG_STAGE, call, name, static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

bool SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return CheckedRegistry(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes),
                           L"RegSetValueExW", name);
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    CheckedRegistry(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                    L"RegSetValueExW", name);
}

void WriteUninstallEntry(const ShellPaths& paths) {
    OwnedRegistryKey key;
    DWORD disposition = 0;
    if (!CheckedRegistry(RegCreateKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE, nullptr, key.put(), &disposition),
                         L"RegCreateKeyExW", UNINSTALL_KEY)) {
        return;
    }
    wchar_t command[UNINSTALL_COMMAND_CAPACITY] = {};
    _snwprintf_s(command, _TRUNCATE, L"\"%s\" /uninstall", paths.setupCopy);
    const bool named = SetText(key.get(), UNINSTALL_DISPLAY_NAME, PRODUCT_NAME);
    SetText(key.get(), UNINSTALL_DISPLAY_VERSION, installState.releaseVersion);
    SetText(key.get(), UNINSTALL_PUBLISHER, PUBLISHER_NAME);
    SetText(key.get(), UNINSTALL_INSTALL_LOCATION, installState.installDir);
    SetText(key.get(), UNINSTALL_DISPLAY_ICON, paths.iconFile);
    const bool runnable = SetText(key.get(), UNINSTALL_STRING, command);
    SetDword(key.get(), UNINSTALL_NO_MODIFY, 1);
    SetDword(key.get(), UNINSTALL_NO_REPAIR, 1);
    // An entry without its name or its command is one the user can neither find nor use. An
    // earlier install's entry still holds its own name and command where writing ours failed (a
    // failed write leaves the value as it was), and it is the only way to remove that install: it
    // stays.
    if ((!named || !runnable) && disposition != REG_CREATED_NEW_KEY) {
        LogEventAbout(LOG_STAGE, L"uninstall entry keeps an earlier name or command", UNINSTALL_KEY, L"kept");
    } else if (!named || !runnable) {
        LogEventAbout(LOG_STAGE, L"uninstall entry without its name or command", UNINSTALL_KEY, L"removed");
        key.reset();
        CheckedRegistry(RegDeleteKeyW(HKEY_CURRENT_USER, UNINSTALL_KEY), L"RegDeleteKeyW", UNINSTALL_KEY);
    }
}

// A COM call's result: true when it succeeded, otherwise logged with what it was called on.
bool CheckedCom(HRESULT result, const wchar_t* call, const wchar_t* subject) {
    if (FAILED(result)) LogFailedStatus(LOG_STAGE, call, subject, result);
    return SUCCEEDED(result);
}

}  // namespace

void CreateShortcut(const wchar_t* shortcutPath, const wchar_t* target, const wchar_t* workingFolder,
                    const wchar_t* iconPath) {
    if (!IsAbsolutePath(shortcutPath)) return;
    ComPtr<IShellLinkW> link;
    if (!CheckedCom(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()),
                    L"CoCreateInstance ShellLink", shortcutPath)) {
        return;
    }
    // A link that lost its target or its working folder would start nothing, or start the
    // application in the wrong folder: it is not saved. The icon and description are looks only.
    if (!CheckedCom(link->SetPath(target), L"IShellLinkW::SetPath", target) ||
        !CheckedCom(link->SetWorkingDirectory(workingFolder), L"IShellLinkW::SetWorkingDirectory", workingFolder)) {
        return;
    }
    link->SetIconLocation(iconPath, 0);
    link->SetDescription(PRODUCT_NAME);
    ComPtr<IPersistFile> file;
    if (!CheckedCom(link->QueryInterface(IID_IPersistFile, file.put_void()), L"QueryInterface IPersistFile",
                    shortcutPath)) {
        return;
    }
    if (CheckedCom(file->Save(shortcutPath, TRUE), L"IPersistFile::Save", shortcutPath)) {
        LogEventAbout(LOG_STAGE, L"shortcut", shortcutPath, L"ok");
    }
}

void RegisterShell() {
    ShellPaths paths = {};
    BuildShellPaths(paths);
    PostStatus(L"바로가기 만드는 중...");

    CopySetupProgram(paths.setupCopy, paths.setupCopyTemp);

    wchar_t startMenuShortcut[PATH_CAPACITY];
    wchar_t desktopShortcut[PATH_CAPACITY];
    BuildShortcutPath(startMenuShortcut, CSIDL_PROGRAMS);
    BuildShortcutPath(desktopShortcut, CSIDL_DESKTOPDIRECTORY);

    // A link needs somewhere to point: without a launch target that is there, nothing is written.
    const bool haveTarget = paths.launchTarget[0] != L'\0' && PathExists(paths.launchTarget);
    if (!haveTarget) LogEventAbout(LOG_STAGE, L"no launch target, no shortcuts", paths.appFolder, L"skipped");
    if (haveTarget) CreateShortcut(startMenuShortcut, paths.launchTarget, paths.appFolder, paths.iconFile);
    if (DesktopShortcutWanted() && haveTarget) {
        CreateShortcut(desktopShortcut, paths.launchTarget, paths.appFolder, paths.iconFile);
    }

    // The uninstall command names the setup copy; without that file (its path did not form, or
    // the copy failed on a first install) the entry could not remove anything, so it is not
    // registered.
    if (paths.setupCopy[0] && PathExists(paths.setupCopy)) {
        WriteUninstallEntry(paths);
    } else {
        LogEvent(LOG_STAGE, L"no setup copy, no uninstall entry", L"skipped");
    }
}

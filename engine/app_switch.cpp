#include "engine/app_switch.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/setup_log.h"
#include "engine/transient_retry.h"
#include "engine/tree_delete.h"

#include <cstring>

namespace {

constexpr wchar_t LOG_STAGE[] = L"app switch";
// What the journal holds: which kind of run set the app folder aside.
constexpr char UPDATE_STEP[] = "update";
constexpr char REMOVAL_STEP[] = "uninstall";

enum class Journal { None, Update, Removal };

// Written through and flushed: a rename that the journal does not yet name on the disk could
// outlive it after a power cut.
bool WriteJournal(const wchar_t* path, const char* step) {
    OwnedFile journal;
    if (!RetryTransient(LOG_STAGE, L"CreateFileW", path, [&] {
            *journal.put() = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
            return static_cast<bool>(journal);
        })) {
        LogFailedCall(LOG_STAGE, L"CreateFileW", path, GetLastError());
        return false;
    }
    const DWORD size = static_cast<DWORD>(strlen(step));
    DWORD written = 0;
    if (!WriteFile(journal.get(), step, size, &written, nullptr) || written != size) {
        LogFailedCall(LOG_STAGE, L"WriteFile", path, GetLastError());
        return false;
    }
    if (!FlushFileBuffers(journal.get())) {
        LogFailedCall(LOG_STAGE, L"FlushFileBuffers", path, GetLastError());
        return false;
    }
    return true;
}

Journal ReadJournal(const wchar_t* path) {
    OwnedFile journal;
    RetryTransient(LOG_STAGE, L"CreateFileW", path, [&] {
        *journal.put() = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        return static_cast<bool>(journal);
    });
    if (!journal) return Journal::None;
    char text[16] = {};
    DWORD read = 0;
    if (!ReadFile(journal.get(), text, sizeof text - 1, &read, nullptr)) return Journal::None;
    if (strcmp(text, REMOVAL_STEP) == 0) return Journal::Removal;
    return strcmp(text, UPDATE_STEP) == 0 ? Journal::Update : Journal::None;
}

void RemoveJournal(const wchar_t* path) {
    if (RetryTransient(LOG_STAGE, L"DeleteFileW", path, [&] { return DeleteFileW(path) != FALSE; }) ||
        GetLastError() == ERROR_FILE_NOT_FOUND) {
        return;
    }
    LogFailedCall(LOG_STAGE, L"DeleteFileW", path, GetLastError());
}

// A rename on the same volume, outlasting a passing holder. Written through, so that the
// journal never lags behind the folders on the disk.
bool RenameFolder(const wchar_t* from, const wchar_t* to) {
    const bool renamed = RetryTransient(LOG_STAGE, L"MoveFileExW", from,
                                        [&] { return MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH) != FALSE; });
    if (!renamed) LogFailedCall(LOG_STAGE, L"MoveFileExW", from, GetLastError());
    return renamed;
}

// DeleteTree with a line when something is left. True when nothing is.
bool DeleteLogged(const wchar_t* path) {
    DeleteTree(path);
    if (!PathExists(path)) return true;
    LogEventAbout(LOG_STAGE, L"delete", path, L"failed | something is left");
    return false;
}

}  // namespace

bool FormSwitchPaths(SwitchPaths& paths, const wchar_t* installDir) {
    return installDir && JoinPath(paths.app, installDir, APP_FOLDER_NAME) &&
           JoinPath(paths.staging, installDir, STAGING_FOLDER_NAME) &&
           JoinPath(paths.staged, paths.staging, APP_FOLDER_NAME) &&
           JoinPath(paths.aside, installDir, ASIDE_FOLDER_NAME) &&
           JoinPath(paths.journal, installDir, SWITCH_JOURNAL_NAME);
}

SwitchResult SwitchToStaged(const SwitchPaths& paths) {
    const bool hadApp = PathExists(paths.app);
    if (hadApp) {
        if (!WriteJournal(paths.journal, UPDATE_STEP)) return SwitchResult::Failed;
        if (!RenameFolder(paths.app, paths.aside)) {
            RemoveJournal(paths.journal);
            return SwitchResult::InUse;
        }
    }
    if (!RenameFolder(paths.staged, paths.app)) {
        // The previous app goes back; should that fail too, the journal stays for the next start.
        if (hadApp && RenameFolder(paths.aside, paths.app)) RemoveJournal(paths.journal);
        return SwitchResult::Failed;
    }
    LogEventAbout(LOG_STAGE, L"staged app in place", paths.app, L"ok");
    // Never a failure of the attempt: what is left goes at the next start.
    if (hadApp && DeleteLogged(paths.aside)) RemoveJournal(paths.journal);
    return SwitchResult::Switched;
}

bool SetAppFolderAsideForRemoval(const SwitchPaths& paths) {
    if (!PathExists(paths.app)) return true;
    if (!WriteJournal(paths.journal, REMOVAL_STEP)) return false;
    if (RenameFolder(paths.app, paths.aside)) return true;
    RemoveJournal(paths.journal);
    return false;
}

bool DeleteAppFolderSetAside(const SwitchPaths& paths) {
    const bool deleted = DeleteLogged(paths.aside);
    // What is left goes back where the shortcuts, the entry and a second uninstall look for it.
    if (deleted || (!PathExists(paths.app) && RenameFolder(paths.aside, paths.app))) RemoveJournal(paths.journal);
    return deleted;
}

void RecoverInterruptedSwitch(const wchar_t* installDir) {
    SwitchPaths paths;
    if (!installDir || !IsAbsolutePath(installDir) || !FormSwitchPaths(paths, installDir)) return;
    wchar_t setupCopyTemp[PATH_CAPACITY];
    const bool haveTemp = JoinPath(setupCopyTemp, installDir, SETUP_COPY_TEMP_NAME);
    const bool journal = PathExists(paths.journal);
    const bool aside = PathExists(paths.aside);
    const bool staging = PathExists(paths.staging);
    const bool temp = haveTemp && PathExists(setupCopyTemp);
    if (!journal && !aside && !staging && !temp) return;
    LogEventAbout(LOG_STAGE, L"interrupted switch found", installDir, nullptr);

    if (aside && !PathExists(paths.app)) {
        if (ReadJournal(paths.journal) == Journal::Removal) {
            DeleteLogged(paths.aside);
        } else if (RenameFolder(paths.aside, paths.app)) {
            LogEventAbout(LOG_STAGE, L"previous app put back", paths.app, L"ok");
        } else {
            return;  // the only copy of the app stays where it is, with the journal
        }
    }
    bool leftOver = PathExists(paths.aside) && !DeleteLogged(paths.aside);
    leftOver = (PathExists(paths.staging) && !DeleteLogged(paths.staging)) || leftOver;
    if (temp) DeleteTree(setupCopyTemp);
    if (!leftOver && journal) RemoveJournal(paths.journal);
}

void RecoverRegisteredInstall() {
    wchar_t installDir[PATH_CAPACITY] = {};
    DWORD size = sizeof installDir;
    const LSTATUS read = RegGetValueW(HKEY_CURRENT_USER, UNINSTALL_KEY, UNINSTALL_INSTALL_LOCATION,
                                      RRF_RT_REG_SZ, nullptr, installDir, &size);
    if (read == ERROR_SUCCESS) RecoverInterruptedSwitch(installDir);
}

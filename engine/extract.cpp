#include "engine/extract.h"

#include "engine/app_switch.h"
#include "engine/durable_tree.h"
#include "engine/private_folder.h"
#include "engine/transient_retry.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "engine/tree_delete.h"

#include <shlobj.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr size_t COMMAND_LINE_CAPACITY = 4096;
constexpr DWORD TAR_END_WAIT_MS = 10000;  // for a tool that was ended
const wchar_t* const EXTRACTION_FAILED_TEXT = L"압축 해제에 실패했습니다 (디스크 공간 확인).";
const wchar_t* const IN_USE_TEXT = L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.";
constexpr wchar_t LOG_STAGE[] = L"extraction";

void SetError(wchar_t* errorText, const wchar_t* text) {
    wcsncpy_s(errorText, WORKER_ERROR_CAPACITY, text, _TRUNCATE);
}

// A backslash right before a closing quote would escape the quote in the tool's argument
// parsing ("D:\" would reach it as D:"), so a path that ends in one gets it doubled.
const wchar_t* QuoteTail(const wchar_t* path) {
    const size_t length = wcslen(path);
    return length > 0 && path[length - 1] == L'\\' ? L"\\" : L"";
}

bool FormatTarCommandLine(wchar_t (&out)[COMMAND_LINE_CAPACITY], const wchar_t* archivePath,
                          const wchar_t* targetDir) {
    wchar_t systemFolder[PATH_CAPACITY] = {};
    if (!GetSystemFolder(systemFolder)) return false;
    const int written = _snwprintf_s(out, _TRUNCATE, L"\"%s\\tar.exe\" -xf \"%s%s\" -C \"%s%s\"", systemFolder,
                                     archivePath, QuoteTail(archivePath), targetDir, QuoteTail(targetDir));
    return written > 0;
}

// "<system folder>\\tar.exe". False (out empty) when the system folder cannot be read whole.
bool GetTarPath(wchar_t (&out)[PATH_CAPACITY]) {
    wchar_t systemFolder[PATH_CAPACITY] = {};
    out[0] = L'\0';
    return GetSystemFolder(systemFolder) && JoinPath(out, systemFolder, L"tar.exe");
}

// True when text survives the trip into codePage unchanged: every character has a code of its
// own there (no default character, and no best-fit look-alike, which could turn into a quote or
// a separator). A UTF-8 code page holds every character.
bool FitsCodePage(UINT codePage, const wchar_t* text) {
    if (codePage == CP_UTF8) return true;
    BOOL usedDefault = FALSE;
    const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, &usedDefault);
    return bytes > 0 && !usedDefault;
}

// Starts the tool hidden with commandLine, in currentFolder (null: ours), with standardInput as
// its only inherited handle (null: it inherits none), and waits for it without a limit. True
// exactly when it started and exited with code 0.
bool RunTar(const wchar_t* commandLine, const wchar_t* currentFolder, HANDLE standardInput) {
    wchar_t tar[PATH_CAPACITY];
    if (!GetTarPath(tar)) {
        LogFailedCall(LOG_STAGE, L"GetSystemDirectoryW", nullptr, GetLastError());
        return false;
    }

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    DWORD flags = CREATE_NO_WINDOW;
    // The one handle the tool gets is named in an explicit list, so that no other inheritable
    // handle of this process reaches it.
    SIZE_T listSize = 0;
    if (standardInput) InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);  // asks the size only
    const HeapBlock<BYTE> listMemory(standardInput ? static_cast<BYTE*>(malloc(listSize)) : nullptr);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.get());
    bool listReady = false;
    if (standardInput) {
        if (!list || !InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
            LogFailedCall(LOG_STAGE, L"InitializeProcThreadAttributeList", nullptr, GetLastError());
            return false;
        }
        listReady = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &standardInput,
                                              sizeof standardInput, nullptr, nullptr) != FALSE;
        if (!listReady) {
            LogFailedCall(LOG_STAGE, L"UpdateProcThreadAttribute", nullptr, GetLastError());
            DeleteProcThreadAttributeList(list);
            return false;
        }
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = standardInput;
        startup.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write into its command line, so it gets a copy of its own.
    wchar_t* writableCommandLine = _wcsdup(commandLine);
    const BOOL started = writableCommandLine &&
                         CreateProcessW(tar, writableCommandLine, nullptr, nullptr, standardInput != nullptr, flags,
                                        nullptr, currentFolder, &startup.StartupInfo, &process);
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    free(writableCommandLine);
    if (listReady) DeleteProcThreadAttributeList(list);
    if (!started) {
        LogFailedCall(LOG_STAGE, L"CreateProcessW", commandLine, startError);
        return false;
    }
    LogEventAbout(LOG_STAGE, L"tar started", commandLine, nullptr);

    OwnedKernelHandle processHandle(process.hProcess);
    OwnedKernelHandle threadHandle(process.hThread);
    if (WaitForSingleObject(processHandle.get(), INFINITE) == WAIT_FAILED) {
        LogFailedCall(LOG_STAGE, L"WaitForSingleObject tar", nullptr, GetLastError());
        // Not waited for, the tool would go on writing into the app folder after this attempt has
        // failed and cleared it: it is ended, and its end awaited, before the failure is reported.
        TerminateProcess(processHandle.get(), 1);
        WaitForSingleObject(processHandle.get(), TAR_END_WAIT_MS);
        return false;
    }
    DWORD exitCode = 1;  // stays a failure when the code cannot be read
    if (!GetExitCodeProcess(processHandle.get(), &exitCode)) {
        LogFailedCall(LOG_STAGE, L"GetExitCodeProcess tar", nullptr, GetLastError());
        exitCode = 1;
    }
    wchar_t result[48] = {};
    _snwprintf_s(result, _TRUNCATE, L"%ls | exit code %lu", exitCode == 0 ? L"ok" : L"failed",
                 static_cast<unsigned long>(exitCode));
    LogEvent(LOG_STAGE, L"tar ended", result);
    return exitCode == 0;
}

// The tool reads its command line in the ANSI code page: a path that does not survive that
// reaches it as question marks. Such an extraction reads the archive from its standard input and
// runs in the target folder's parent, naming the target by its last part when that survives the
// code page (the staging folder's name does), else in the target folder itself. Not in the
// target: a process's current folder stays held a moment after its end under Wine, and the
// staging folder is removed right after the tool.
bool ExtractThroughStandardInput(const wchar_t* archivePath, const wchar_t* targetDir) {
    wchar_t tar[PATH_CAPACITY];
    wchar_t commandLine[COMMAND_LINE_CAPACITY] = {};
    if (!GetTarPath(tar)) return false;
    wchar_t parent[PATH_CAPACITY] = {};
    wcsncpy_s(parent, targetDir, _TRUNCATE);
    wchar_t* separator = wcsrchr(parent, L'\\');
    const wchar_t* name = separator ? separator + 1 : L"";
    const bool byName = separator && separator > parent + 2 && name[0] && wcschr(name, L'"') == nullptr &&
                        FitsCodePage(GetACP(), name);
    if (byName) *separator = L'\0';
    const wchar_t* currentFolder = byName ? parent : targetDir;
    const int written = byName ? _snwprintf_s(commandLine, _TRUNCATE, L"\"%s\" -xf - -C \"%s\"", tar, name)
                               : _snwprintf_s(commandLine, _TRUNCATE, L"\"%s\" -xf -", tar);
    if (written <= 0) return false;
    // Delete sharing: the payload is deleted right after the tool ends, whenever the platform
    // lets go of the tool's inherited copy of this handle.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    OwnedFile archive;
    RetryTransient(LOG_STAGE, L"CreateFileW", archivePath, [&] {
        *archive.put() = CreateFileW(archivePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &inheritable,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return static_cast<bool>(archive);
    });
    if (!archive) {
        LogFailedCall(LOG_STAGE, L"CreateFileW", archivePath, GetLastError());
        return false;
    }
    return RunTar(commandLine, currentFolder, archive.get());
}

// Looked for before anything is deleted: on a Windows without it (before 10 1803) the old app
// folder would be gone with nothing to take its place.
bool TarToolExists() {
    wchar_t tar[PATH_CAPACITY];
    if (!GetTarPath(tar)) return false;
    const DWORD attributes = GetFileAttributesW(tar);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TarForm ChooseTarForm(UINT codePage, const wchar_t* archivePath, const wchar_t* targetDir) {
    if (FitsCodePage(codePage, archivePath) && FitsCodePage(codePage, targetDir)) return TarForm::CommandLine;
    // A current folder holds at most MAX_PATH - 1 units with its closing backslash.
    const size_t length = wcslen(targetDir);
    const size_t closing = length > 0 && targetDir[length - 1] == L'\\' ? 0 : 1;
    if (!IsAbsolutePath(targetDir) || length + closing >= MAX_PATH) return TarForm::None;
    return TarForm::StandardInput;
}

bool ExtractArchive(const wchar_t* archivePath, const wchar_t* targetDir) {
    if (!archivePath || !targetDir) return false;
    switch (ChooseTarForm(GetACP(), archivePath, targetDir)) {
    case TarForm::CommandLine: {
        wchar_t commandLine[COMMAND_LINE_CAPACITY] = {};
        return FormatTarCommandLine(commandLine, archivePath, targetDir) && RunTar(commandLine, nullptr, nullptr);
    }
    case TarForm::StandardInput:
        return ExtractThroughStandardInput(archivePath, targetDir);
    case TarForm::None:
        break;
    }
    return false;
}

namespace {

// The longest file path the product forms in the staged app fits.
bool StagedPathsFit(const SwitchPaths& paths) {
    return wcslen(paths.staged) + 1 + LONGEST_APP_FILE_NAME_LENGTH < PATH_CAPACITY;
}

// The staged tree is whole and holds the release's version file.
bool StagedAppComplete(const SwitchPaths& paths) {
    wchar_t versionFile[PATH_CAPACITY];
    return JoinPath(versionFile, paths.staged, VERSION_FILE_NAME) && PathExists(versionFile);
}

// A stray staging folder from an earlier attempt would mix its files into this one's.
bool StartStaging(const SwitchPaths& paths) {
    DeleteTree(paths.staging);
    if (PathExists(paths.staging)) {
        LogEventAbout(LOG_STAGE, L"delete an earlier staging folder", paths.staging, L"failed | something is left");
        return false;
    }
    if (!CreatePrivateFolder(paths.staging)) {
        LogFailedCall(LOG_STAGE, L"CreateDirectoryW", paths.staging, GetLastError());
        return false;
    }
    return true;
}

// Whether each staged file is flushed before the switch relies on it. Not: it cost about 40 % of
// the extraction itself (bench/RESULTS.md), against a bound of 10 %; the journal and the renames
// are written through all the same.
constexpr bool FLUSH_STAGED_FILES = false;

bool FlushStagedTree(const SwitchPaths& paths) { return !FLUSH_STAGED_FILES || FlushTree(paths.staged); }

void RemoveStaging(const SwitchPaths& paths) {
    DeleteTree(paths.staging);
    if (PathExists(paths.staging)) {
        LogEventAbout(LOG_STAGE, L"delete the staging folder", paths.staging, L"failed | something is left");
    }
}

void DeletePayload(const wchar_t* payloadPath) {
    if (!RetryTransient(LOG_STAGE, L"DeleteFileW", payloadPath, [&] { return DeleteFileW(payloadPath) != FALSE; })) {
        LogFailedCall(LOG_STAGE, L"DeleteFileW", payloadPath, GetLastError());
    }
}

}  // namespace

// No failure here deletes the payload: it is the published one (its digest, where the manifest
// gives one, has been checked), and the next attempt can start from it. No failure touches the
// previous app folder either: the payload is extracted beside it, and only a whole staged app
// takes its place (app_switch.h).
StageResult PrepareAndExtract(const wchar_t* payloadPath, wchar_t* errorText) {
    PostProgress(PROGRESS_MARQUEE);
    PostStatus(L"설치 중... (압축 해제, 1~3분)");

    const wchar_t* installDir = installState.installDir;
    // The switch's paths are formed before anything is created or deleted: an install folder
    // that is relative or too long for them must never lead to a deletion elsewhere.
    SwitchPaths paths;
    if (!IsAbsolutePath(installDir) || !FormSwitchPaths(paths, installDir) || !StagedPathsFit(paths)) {
        SetError(errorText, L"설치 폴더를 만들 수 없습니다.");
        return StageResult::Failed;
    }
    if (!TarToolExists()) {
        LogEvent(LOG_STAGE, L"tar.exe in the system folder", L"failed | not found");
        SetError(errorText, L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다.");
        return StageResult::Failed;
    }
    // Decided before anything is created, like the tool's presence.
    if (ChooseTarForm(GetACP(), payloadPath, paths.staging) == TarForm::None) {
        LogEventAbout(LOG_STAGE, L"no way to name the folders to tar", paths.staging, L"failed");
        SetError(errorText, EXTRACTION_FAILED_TEXT);
        return StageResult::Failed;
    }
    if (!CreateInstallFolder(installDir)) {
        SetError(errorText, L"설치 폴더를 만들 수 없습니다.");
        return StageResult::Failed;
    }

    if (!StartStaging(paths) || !ExtractArchive(payloadPath, paths.staging) || !StagedAppComplete(paths) ||
        !FlushStagedTree(paths)) {
        RemoveStaging(paths);
        SetError(errorText, EXTRACTION_FAILED_TEXT);
        return StageResult::Failed;
    }

    if (PathExists(paths.app)) PostStatus(L"이전 설치 정리 중...");
    const SwitchResult switched = SwitchToStaged(paths);
    RemoveStaging(paths);
    if (switched != SwitchResult::Switched) {
        SetError(errorText, switched == SwitchResult::InUse ? IN_USE_TEXT : EXTRACTION_FAILED_TEXT);
        return StageResult::Failed;
    }
    DeletePayload(payloadPath);
    return StageResult::Continue;
}

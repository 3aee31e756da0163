#include "engine/extract.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/tree_delete.h"

#include <shlobj.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr size_t COMMAND_LINE_CAPACITY = 4096;

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

// Looked for before anything is deleted: on a Windows without it (before 10 1803) the old app
// folder would be gone with nothing to take its place.
bool TarToolExists() {
    wchar_t systemFolder[PATH_CAPACITY] = {};
    wchar_t tar[PATH_CAPACITY] = {};
    if (!GetSystemFolder(systemFolder) || !JoinPath(tar, systemFolder, L"tar.exe")) return false;
    const DWORD attributes = GetFileAttributesW(tar);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool ExtractArchive(const wchar_t* archivePath, const wchar_t* targetDir) {
    if (!archivePath || !targetDir) return false;
    wchar_t commandLine[COMMAND_LINE_CAPACITY] = {};
    if (!FormatTarCommandLine(commandLine, archivePath, targetDir)) return false;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};

    // CreateProcessW may write into its command line, so it gets a copy of its own.
    wchar_t* writableCommandLine = _wcsdup(commandLine);
    if (!writableCommandLine) return false;
    const BOOL started = CreateProcessW(nullptr, writableCommandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    free(writableCommandLine);
    if (!started) return false;

    OwnedKernelHandle processHandle(process.hProcess);
    OwnedKernelHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD exitCode = 1;  // stays a failure when the code cannot be read
    if (!GetExitCodeProcess(processHandle.get(), &exitCode)) exitCode = 1;
    return exitCode == 0;
}

StageResult PrepareAndExtract(const wchar_t* payloadPath, wchar_t* errorText) {
    PostProgress(PROGRESS_MARQUEE);
    PostStatus(L"설치 중... (압축 해제, 1~3분)");

    const wchar_t* installDir = installState.installDir;
    // The app folder's path is formed before anything is created or deleted: an install folder
    // that is relative or too long for it must never lead to a deletion elsewhere.
    wchar_t appFolder[PATH_CAPACITY] = {};
    if (!JoinPath(appFolder, installDir, APP_FOLDER_NAME)) {
        SetError(errorText, L"설치 폴더를 만들 수 없습니다.");
        return StageResult::Failed;
    }
    if (!TarToolExists()) {
        SetError(errorText, L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다.");
        return StageResult::FailedDeletePayload;
    }
    if (SHCreateDirectoryExW(nullptr, installDir, nullptr) != ERROR_SUCCESS && !PathExists(installDir)) {
        SetError(errorText, L"설치 폴더를 만들 수 없습니다.");
        return StageResult::Failed;
    }

    if (PathExists(appFolder)) {
        PostStatus(L"이전 설치 정리 중...");
        DeleteTree(appFolder);
        if (PathExists(appFolder)) {
            SetError(errorText, L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.");
            return StageResult::FailedDeletePayload;
        }
    }

    if (!ExtractArchive(payloadPath, installDir)) {
        // What the tool wrote before it stopped is no installation, yet its version file would
        // let the next attempt take it for this release and offer to skip the install. The app
        // folder holds nothing else at this point: any older one was removed above.
        DeleteTree(appFolder);
        SetError(errorText, L"압축 해제에 실패했습니다 (디스크 공간 확인).");
        return StageResult::FailedDeletePayload;
    }
    DeleteFileW(payloadPath);
    return StageResult::Continue;
}

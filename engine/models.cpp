// Stages 6 and 7. The model folder is a per-user cache shared with the application, so it lies
// outside the install folder and survives reinstalls; only what is missing is fetched.
#include "engine/models.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/paths.h"
#include "engine/release_host.h"
#include "engine/setup_log.h"
#include "engine/sha256.h"

#include <shlobj.h>

#include <cwchar>

namespace {

constexpr size_t MODEL_URL_CAPACITY = 512;
constexpr size_t MODEL_ERROR_CAPACITY = 256;
constexpr size_t MODEL_STATUS_CAPACITY = 64;

// The model's URL, path and partial path. False when one of them does not fit its buffer.
bool BuildModelPaths(const wchar_t* folder, const wchar_t* name, wchar_t (&url)[MODEL_URL_CAPACITY],
                     wchar_t (&path)[PATH_CAPACITY], wchar_t (&partPath)[PATH_CAPACITY]) {
    if (_snwprintf_s(url, _TRUNCATE, L"%s%s", modelBaseUrl, name) < 0) return false;
    if (!JoinPath(path, folder, name)) return false;
    return _snwprintf_s(partPath, _TRUNCATE, L"%s.part", path) >= 0;
}

// Downloads url into partPath; when the manifest names the model's digest, the bytes are hashed
// as they arrive and a model that is not the published one counts as a failed download.
bool DownloadModel(const wchar_t* url, const wchar_t* partPath, const wchar_t* expected) {
    wchar_t errorText[MODEL_ERROR_CAPACITY] = {};  // never shown: a failed model is simply left missing
#ifdef TAVRIN_RELEASE_KEY_BLOB
    // The signature vouches for a model only through its digest: without one it is not fetched.
    if (!expected[0]) return false;
#endif
    if (!expected[0]) return DownloadToFile(url, partPath, errorText, MODEL_ERROR_CAPACITY);
    Sha256Hash hash;
    wchar_t digest[SHA256_TEXT_CAPACITY] = {};
    if (!hash || !DownloadToFile(url, partPath, errorText, MODEL_ERROR_CAPACITY, hash.get())) return false;
    if (hash.FinishHex(digest) && _wcsicmp(digest, expected) == 0) return true;
    LogEventAbout(L"models", L"digest differs from the manifest's", url, L"failed");
    return false;
}

// A deletion that failed for any reason but the file's absence.
void DeleteLogged(const wchar_t* path) {
    if (DeleteFileW(path)) return;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) LogFailedCall(L"models", L"DeleteFileW", path, error);
}

void FetchModel(const wchar_t* folder, int position) {
    const wchar_t* name = MODEL_NAMES[position - 1];
    wchar_t url[MODEL_URL_CAPACITY];
    wchar_t path[PATH_CAPACITY];
    wchar_t partPath[PATH_CAPACITY];
    if (!BuildModelPaths(folder, name, url, path, partPath)) return;
    if (PathExists(path)) return;

    wchar_t status[MODEL_STATUS_CAPACITY] = {};
    _snwprintf_s(status, _TRUNCATE, L"AI 모델 준비 중 (약 408MB)  %d / %d", position, MODEL_COUNT);
    PostStatus(status);

    // A partial file never outlives its attempt: one that cannot take the model's name goes too.
    if (DownloadModel(url, partPath, installState.modelSha256[position - 1])) {
        DeleteLogged(path);
        if (MoveFileW(partPath, path)) return;
        LogFailedCall(L"models", L"MoveFileW", path, GetLastError());
    }
    DeleteLogged(partPath);
}

}  // namespace

void ProvisionModels() {
    PostProgress(PROGRESS_MARQUEE);

    wchar_t folder[PATH_CAPACITY];
    if (!GetModelFolder(folder)) {
        LogEvent(L"models", L"model folder", L"cannot be formed from USERPROFILE");
        return;
    }
    wchar_t marker[PATH_CAPACITY];
    if (!JoinPath(marker, folder, MARKER_MODEL_NAME)) return;
    if (PathExists(marker)) {
        LogEventAbout(L"models", L"already there", folder, L"skipped");
        return;
    }
    const int created = SHCreateDirectoryExW(nullptr, folder, nullptr);
    if (created != ERROR_SUCCESS && !PathExists(folder)) {
        LogFailedCall(L"models", L"SHCreateDirectoryExW", folder, static_cast<DWORD>(created));
        return;
    }

    installState.downloadLabel = DOWNLOAD_LABEL_MODELS;
    for (int position = 1; position <= MODEL_COUNT; ++position) {
        if (installState.cancelRequested) {
            LogEvent(L"models", L"cancel request", L"stopped");
            break;
        }
        FetchModel(folder, position);
    }
    installState.downloadLabel = DOWNLOAD_LABEL_PAYLOAD;
}

void ReportCompletion() {
    constexpr wchar_t doneText[] = L"설치가 끝났습니다.";
    LogFinalText(L"install", doneText);
    PostProgress(PROGRESS_COMPLETE);
    PostStatus(doneText);
    PostDone(true);
}

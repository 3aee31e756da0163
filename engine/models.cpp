// Stages 6 and 7. The model folder is a per-user cache shared with the application, so it lies
// outside the install folder and survives reinstalls; only what is missing is fetched.
#include "engine/models.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/paths.h"
#include "engine/release_host.h"
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
    return hash && DownloadToFile(url, partPath, errorText, MODEL_ERROR_CAPACITY, hash.get()) &&
           hash.FinishHex(digest) && _wcsicmp(digest, expected) == 0;
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
        DeleteFileW(path);
        if (MoveFileW(partPath, path)) return;
    }
    DeleteFileW(partPath);
}

}  // namespace

void ProvisionModels() {
    PostProgress(PROGRESS_MARQUEE);

    wchar_t folder[PATH_CAPACITY];
    if (!GetModelFolder(folder)) return;
    wchar_t marker[PATH_CAPACITY];
    if (!JoinPath(marker, folder, MARKER_MODEL_NAME) || PathExists(marker)) return;
    if (SHCreateDirectoryExW(nullptr, folder, nullptr) != ERROR_SUCCESS && !PathExists(folder)) return;

    installState.downloadLabel = DOWNLOAD_LABEL_MODELS;
    for (int position = 1; position <= MODEL_COUNT; ++position) {
        if (installState.cancelRequested) break;
        FetchModel(folder, position);
    }
    installState.downloadLabel = DOWNLOAD_LABEL_PAYLOAD;
}

void ReportCompletion() {
    PostProgress(PROGRESS_COMPLETE);
    PostStatus(L"설치가 끝났습니다.");
    PostDone(true);
}

// Stages 6 and 7. The model folder is a per-user cache shared with the application, so it lies
// outside the install folder and survives reinstalls; only what is missing is fetched.
#include "engine/models.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/paths.h"
#include "engine/release_host.h"

#include "engine/owned.h"

#include <bcrypt.h>
#include <shlobj.h>

#include <cwchar>

namespace {

constexpr size_t MODEL_URL_CAPACITY = 512;
constexpr size_t MODEL_ERROR_CAPACITY = 256;
constexpr size_t MODEL_STATUS_CAPACITY = 64;
constexpr ULONG DIGEST_BYTES = 32;

// The model's URL, path and partial path. False when one of them does not fit its buffer.
bool BuildModelPaths(const wchar_t* folder, const wchar_t* name, wchar_t (&url)[MODEL_URL_CAPACITY],
                     wchar_t (&path)[PATH_CAPACITY], wchar_t (&partPath)[PATH_CAPACITY]) {
    if (_snwprintf_s(url, _TRUNCATE, L"%s%s", modelBaseUrl, name) < 0) return false;
    if (!JoinPath(path, folder, name)) return false;
    return _snwprintf_s(partPath, _TRUNCATE, L"%s.part", path) >= 0;
}

// True when the finished hash is the hexadecimal digest expected (either case).
bool HashMatches(BCRYPT_HASH_HANDLE hash, const wchar_t* expected) {
    UCHAR digest[DIGEST_BYTES] = {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, DIGEST_BYTES, 0))) return false;
    wchar_t text[2 * DIGEST_BYTES + 1] = {};
    for (ULONG i = 0; i < DIGEST_BYTES; ++i) _snwprintf_s(text + 2 * i, 3, _TRUNCATE, L"%02x", digest[i]);
    return _wcsicmp(text, expected) == 0;
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
    // Declared provider first: the hash object is destroyed before its provider is closed.
    OwnedHashAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    OwnedHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return false;
    return DownloadToFile(url, partPath, errorText, MODEL_ERROR_CAPACITY, hash.get()) &&
           HashMatches(hash.get(), expected);
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

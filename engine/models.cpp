// Stages 6 and 7. The model folder is a per-user cache shared with the application, so it lies
// outside the install folder and survives reinstalls; every run makes sure each model is there
// and, where the manifest publishes its digest, whole.
#include "engine/models.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/payload.h"
#include "engine/release_host.h"
#include "engine/setup_log.h"
#include "engine/sha256.h"
#include "engine/transient_retry.h"

#include <shlobj.h>

#include <cwchar>

namespace {

constexpr size_t MODEL_URL_CAPACITY = 512;
constexpr size_t MODEL_ERROR_CAPACITY = 256;
constexpr size_t MODEL_STATUS_CAPACITY = 64;
constexpr size_t DONE_TEXT_CAPACITY = 96;
constexpr wchar_t LOG_STAGE[] = L"models";

struct ModelPaths {
    wchar_t url[MODEL_URL_CAPACITY];
    wchar_t path[PATH_CAPACITY];
    wchar_t partPath[PATH_CAPACITY];
};

// The model's URL, path and partial path. False when one of them does not fit its buffer.
bool BuildModelPaths(const wchar_t* folder, const wchar_t* name, ModelPaths& paths) {
    if (_snwprintf_s(paths.url, _TRUNCATE, L"%s%s", modelBaseUrl, name) < 0) return false;
    if (!JoinPath(paths.path, folder, name)) return false;
    return _snwprintf_s(paths.partPath, _TRUNCATE, L"%s%s", paths.path, MODEL_PART_SUFFIX) >= 0;
}

// A deletion that failed for any reason but the file's absence.
void DeleteLogged(const wchar_t* path) {
    if (RetryTransient(LOG_STAGE, L"DeleteFileW", path, [&] { return DeleteFileW(path) != 0; })) return;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) LogFailedCall(LOG_STAGE, L"DeleteFileW", path, error);
}

// A partial file that can never be taken up goes, with its record.
void DiscardPart(const wchar_t* partPath) {
    ForgetPartialDownload(partPath);
    DeleteLogged(partPath);
}

// A model that is there and, when the manifest names its digest, is the published one: a power
// cut can leave a model with its name but zeros or a short body.
bool ModelIsWhole(const ModelPaths& paths, const wchar_t* expected) {
    if (!PathExists(paths.path)) return false;
    if (!expected[0]) return true;
    wchar_t digest[SHA256_TEXT_CAPACITY] = {};
    if (HashFileSha256(paths.path, digest, SHA256_TEXT_CAPACITY) && _wcsicmp(digest, expected) == 0) return true;
    LogEventAbout(LOG_STAGE, L"model differs from the manifest's digest", paths.path, L"replaced");
    return false;
}

// Downloads the model into its partial file; when the manifest names its digest, the bytes are
// hashed as they arrive and a model that is not the published one counts as a failed download.
bool DownloadModel(const ModelPaths& paths, int index) {
    const wchar_t* expected = installState.modelSha256[index];
    wchar_t errorText[MODEL_ERROR_CAPACITY] = {};  // never shown: a failed model is counted as missing
#ifdef TAVRIN_RELEASE_KEY_BLOB
    // The signature vouches for a model only through its digest: without one it is not fetched.
    if (!expected[0]) return false;
#endif
    wchar_t digest[SHA256_TEXT_CAPACITY] = {};
    DownloadOptions options;
    options.digest = expected[0] ? digest : nullptr;
    options.publishedSize = installState.modelSize[index];
    options.strongValidatorOnly = !expected[0];
    options.keepPartial = true;
    if (!DownloadToFile(paths.url, paths.partPath, errorText, MODEL_ERROR_CAPACITY, options)) {
        // Kept for the next attempt only when it can be taken up there.
        if (!PartialDownloadKept(paths.partPath)) DiscardPart(paths.partPath);
        return false;
    }
    if (!expected[0] || _wcsicmp(digest, expected) == 0) return true;
    LogEventAbout(LOG_STAGE, L"digest differs from the manifest's", paths.url, L"failed");
    DiscardPart(paths.partPath);
    return false;
}

// The whole partial file reaches the disk before it takes the model's name, and the rename is
// written through: after a power cut the name holds the whole model or the old one.
bool PlaceModel(const ModelPaths& paths) {
    {
        OwnedFile part;
        RetryTransient(LOG_STAGE, L"CreateFileW", paths.partPath, [&] {
            part = OwnedFile(CreateFileW(paths.partPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            return static_cast<bool>(part);
        });
        if (!part) {
            LogFailedCall(LOG_STAGE, L"CreateFileW", paths.partPath, GetLastError());
            return false;
        }
        if (!FlushFileBuffers(part.get())) {
            LogFailedCall(LOG_STAGE, L"FlushFileBuffers", paths.partPath, GetLastError());
            return false;
        }
    }
    if (RetryTransient(LOG_STAGE, L"MoveFileExW", paths.path, [&] {
            return MoveFileExW(paths.partPath, paths.path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        return true;
    }
    LogFailedCall(LOG_STAGE, L"MoveFileExW", paths.path, GetLastError());
    return false;
}

// True when the model is there and whole at the end.
bool EnsureModel(const wchar_t* folder, int position) {
    const int index = position - 1;
    ModelPaths paths;
    if (!BuildModelPaths(folder, MODEL_NAMES[index], paths)) return false;
    if (ModelIsWhole(paths, installState.modelSha256[index])) return true;

    wchar_t status[MODEL_STATUS_CAPACITY] = {};
    _snwprintf_s(status, _TRUNCATE, L"AI 모델 준비 중 (약 408MB)  %d / %d", position, MODEL_COUNT);
    PostStatus(status);
    if (!DownloadModel(paths, index)) return false;
    if (PlaceModel(paths)) return true;
    DiscardPart(paths.partPath);
    return false;
}

}  // namespace

void ProvisionModels() {
    PostProgress(PROGRESS_MARQUEE);
    installState.modelsMissing = 0;

    wchar_t folder[PATH_CAPACITY];
    if (!GetModelFolder(folder)) {
        LogEvent(LOG_STAGE, L"model folder", L"cannot be formed from USERPROFILE");
        return;
    }
    const int created = SHCreateDirectoryExW(nullptr, folder, nullptr);
    if (created != ERROR_SUCCESS && !PathExists(folder)) {
        LogFailedCall(LOG_STAGE, L"SHCreateDirectoryExW", folder, static_cast<DWORD>(created));
        installState.modelsMissing = MODEL_COUNT;
        return;
    }

    installState.downloadLabel = DOWNLOAD_LABEL_MODELS;
    for (int position = 1; position <= MODEL_COUNT; ++position) {
        if (installState.cancelRequested) {
            LogEvent(LOG_STAGE, L"cancel request", L"stopped");
            // What is already there stays counted as there; only a missing model is missing.
            for (int rest = position; rest <= MODEL_COUNT; ++rest) {
                wchar_t path[PATH_CAPACITY];
                if (!JoinPath(path, folder, MODEL_NAMES[rest - 1]) || !PathExists(path)) ++installState.modelsMissing;
            }
            break;
        }
        if (!EnsureModel(folder, position)) ++installState.modelsMissing;
    }
    installState.downloadLabel = DOWNLOAD_LABEL_PAYLOAD;
}

void ReportCompletion() {
    wchar_t doneText[DONE_TEXT_CAPACITY] = {};
    if (installState.modelsMissing > 0) {
        _snwprintf_s(doneText, _TRUNCATE, L"설치가 끝났지만 AI 모델 %d개를 받지 못했습니다. 다시 설치하면 이어서 받습니다.",
                     installState.modelsMissing);
    } else {
        wcscpy_s(doneText, L"설치가 끝났습니다.");
    }
    LogFinalText(L"install", doneText);
    PostProgress(PROGRESS_COMPLETE);
    PostStatus(doneText);
    PostDone(true);
}

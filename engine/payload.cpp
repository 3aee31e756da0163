#include "engine/payload.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/owned.h"
#include "engine/sha256.h"

#include <bcrypt.h>

#include <cwchar>

namespace {

constexpr size_t ANNOUNCEMENT_CAPACITY = 96;

// Static: the payload may be large and is streamed, never held; one worker at a time.
UCHAR hashBuffer[HASH_BUFFER_BYTES];

constexpr wchar_t CORRUPTION_TEXT[] = L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요.";

// Feeds the whole file into hash. False when it cannot be opened or a chunk is refused; a read
// error ends the data early, which then shows as a mismatch.
bool HashFileContents(BCRYPT_HASH_HANDLE hash, const wchar_t* path) {
    OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), hashBuffer, HASH_BUFFER_BYTES, &bytesRead, nullptr) || bytesRead == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, hashBuffer, bytesRead, 0))) return false;
    }
    return true;
}

}  // namespace

bool HashFileSha256(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!out || capacity < SHA256_TEXT_CAPACITY) return false;
    wmemset(out, L'\0', capacity);
    Sha256Hash hash;
    wchar_t text[SHA256_TEXT_CAPACITY] = {};
    if (!hash || !HashFileContents(hash.get(), path) || !hash.FinishHex(text)) return false;
    wmemcpy(out, text, SHA256_TEXT_CAPACITY);
    return true;
}

StageResult DownloadPayload(const wchar_t* payloadPath, wchar_t* errorText) {
    wchar_t announcement[ANNOUNCEMENT_CAPACITY] = {};
    _snwprintf_s(announcement, _TRUNCATE, L"v%s 내려받는 중...", installState.releaseVersion);
    PostStatus(announcement);
    SetSubtitle(L"사진 선별 프로그램 설치  ·  v%s", installState.releaseVersion);
    if (!DownloadToFile(installState.releaseUrl, payloadPath, errorText, WORKER_ERROR_CAPACITY)) {
        return StageResult::Failed;
    }
    return StageResult::Continue;
}

StageResult VerifyPayload(const wchar_t* payloadPath, wchar_t* errorText) {
    // The release check leaves either no digest (the manifest has none: unverified, as the
    // publisher chose) or 64 hexadecimal digits; it refuses anything else.
    if (wcslen(installState.releaseSha256) != 2 * SHA256_DIGEST_BYTES) return StageResult::Continue;

    PostStatus(L"받은 파일 검증 중...");
    wchar_t digestText[SHA256_TEXT_CAPACITY] = {};
    if (HashFileSha256(payloadPath, digestText, SHA256_TEXT_CAPACITY) &&
        _wcsicmp(digestText, installState.releaseSha256) == 0) {
        return StageResult::Continue;
    }
    wcsncpy_s(errorText, WORKER_ERROR_CAPACITY, CORRUPTION_TEXT, _TRUNCATE);
    return StageResult::FailedDeletePayload;
}

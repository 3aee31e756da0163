#include "engine/payload.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/owned.h"
#include "engine/setup_log.h"
#include "engine/sha256.h"
#include "engine/transient_retry.h"

#include <bcrypt.h>

#include <cwchar>

namespace {

constexpr size_t ANNOUNCEMENT_CAPACITY = 96;

// Static: the payload may be large and is streamed, never held; one worker at a time.
UCHAR hashBuffer[HASH_BUFFER_BYTES];

constexpr wchar_t CORRUPTION_TEXT[] = L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요.";

// Set by DownloadPayload when the payload already there was shown to be the published one, so
// that the verification does not read it a second time.
bool payloadVerified = false;

// Feeds the whole file into hash. False when it cannot be opened, read to its end, or a chunk is
// refused: the digest could not be formed, which says nothing about the file.
bool HashFileContents(BCRYPT_HASH_HANDLE hash, const wchar_t* path) {
    OwnedFile file;
    RetryTransient(L"verification", L"CreateFileW", path, [&] {
        file = OwnedFile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return static_cast<bool>(file);
    });
    if (!file) {
        LogFailedCall(L"verification", L"CreateFileW", path, GetLastError());
        return false;
    }
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), hashBuffer, HASH_BUFFER_BYTES, &bytesRead, nullptr)) {
            LogFailedCall(L"verification", L"ReadFile", path, GetLastError());
            return false;
        }
        if (bytesRead == 0) return true;
        const NTSTATUS status = BCryptHashData(hash, hashBuffer, bytesRead, 0);
        if (!BCRYPT_SUCCESS(status)) {
            LogFailedStatus(L"verification", L"BCryptHashData", path, status);
            return false;
        }
    }
}

// A payload a failed attempt left whole: its size is the published one (when one is) and its
// digest the manifest's. A file whose resume record is still there was never finished.
bool PayloadAlreadyThere(const wchar_t* payloadPath) {
    if (wcslen(installState.releaseSha256) != 2 * SHA256_DIGEST_BYTES) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(payloadPath, GetFileExInfoStandard, &data)) return false;
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size == 0 || (installState.releaseSize != 0 && size != installState.releaseSize)) return false;
    if (PartialDownloadKept(payloadPath)) return false;
    wchar_t digest[SHA256_TEXT_CAPACITY] = {};
    return HashFileSha256(payloadPath, digest, SHA256_TEXT_CAPACITY) && _wcsicmp(digest, installState.releaseSha256) == 0;
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
    payloadVerified = PayloadAlreadyThere(payloadPath);
    if (payloadVerified) {
        LogEventAbout(L"download", L"payload already whole", payloadPath, L"not downloaded again");
        return StageResult::Continue;
    }
    DownloadOptions options;
    options.publishedSize = installState.releaseSize;
    options.keepPartial = true;
    if (!DownloadToFile(installState.releaseUrl, payloadPath, errorText, WORKER_ERROR_CAPACITY, options)) {
        return StageResult::Failed;
    }
    return StageResult::Continue;
}

StageResult VerifyPayload(const wchar_t* payloadPath, wchar_t* errorText) {
    // The release check leaves either no digest (the manifest has none: unverified, as the
    // publisher chose) or 64 hexadecimal digits; it refuses anything else.
    if (wcslen(installState.releaseSha256) != 2 * SHA256_DIGEST_BYTES) {
        LogEvent(L"verification", L"no digest in the manifest", L"skipped");
        return StageResult::Continue;
    }

    if (payloadVerified) {
        payloadVerified = false;
        return StageResult::Continue;
    }
    PostStatus(L"받은 파일 검증 중...");
    wchar_t digestText[SHA256_TEXT_CAPACITY] = {};
    const bool hashed = HashFileSha256(payloadPath, digestText, SHA256_TEXT_CAPACITY);
    if (hashed && _wcsicmp(digestText, installState.releaseSha256) == 0) return StageResult::Continue;
    LogEventAbout(L"verification", L"SHA-256 of the payload", hashed ? digestText : L"unknown",
                  hashed ? L"failed | differs from the manifest's" : L"failed | could not be formed");
    wcsncpy_s(errorText, WORKER_ERROR_CAPACITY, CORRUPTION_TEXT, _TRUNCATE);
    if (hashed) ForgetPartialDownload(payloadPath);
    // Only a payload shown to differ is deleted: one that could not be hashed (no memory, a read
    // that failed) may well be the published one, and stays for the next attempt.
    return hashed ? StageResult::FailedDeletePayload : StageResult::Failed;
}

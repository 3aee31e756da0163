// Stages 2 and 3: download the payload archive and verify its SHA-256 digest.
#pragma once

#include "engine/owned.h"
#include "engine/stage.h"

#include <cstddef>

// Bytes read from the file per read while hashing: the size of the static hash buffer.
constexpr size_t HASH_BUFFER_BYTES = 1048576;

constexpr ULONG SHA256_DIGEST_BYTES = 32;
constexpr size_t SHA256_TEXT_CAPACITY = 2 * SHA256_DIGEST_BYTES + 1;  // hex digits and NUL

// A SHA-256 hash object with the provider it comes from: what the payload, the models and the
// manifest's signature are checked with. False when the hash service cannot be used.
class Sha256Hash {
public:
    Sha256Hash();
    explicit operator bool() const { return static_cast<bool>(hash_); }
    BCRYPT_HASH_HANDLE get() const { return hash_.get(); }
    // Ends the hash; false when the service refuses. Either once.
    bool Finish(UCHAR (&digest)[SHA256_DIGEST_BYTES]);
    bool FinishHex(wchar_t (&text)[SHA256_TEXT_CAPACITY]);  // lower case

private:
    OwnedHashAlgorithm algorithm_;  // declared first: the hash is destroyed before it is closed
    OwnedHash hash_;
};

// Posts "v%s 내려받는 중...", rewrites the subtitle and downloads installState.releaseUrl into
// payloadPath. Failure: the download's reason in errorText, Failed (the payload file stays).
StageResult DownloadPayload(const wchar_t* payloadPath, wchar_t* errorText);

// Runs only when releaseSha256 is exactly 64 units (the release check leaves it empty or 64
// hexadecimal digits): posts "받은 파일 검증 중..." and compares the file's digest. Any failure: the corruption text in errorText, FailedDeletePayload.
StageResult VerifyPayload(const wchar_t* payloadPath, wchar_t* errorText);

// SHA-256 of the file at path as 64 lower-case hex digits into out (capacity >= 65 units).
// False when the file or the hash service cannot be used. A read error ends the data early.
bool HashFileSha256(const wchar_t* path, wchar_t* out, size_t capacity);

// Stages 2 and 3: download the payload archive and verify its SHA-256 digest.
#pragma once

#include "engine/stage.h"

#include <cstddef>

// Bytes read from the file per read while hashing: the size of the static hash buffer.
constexpr size_t HASH_BUFFER_BYTES = 1048576;

// Posts "v%s 내려받는 중...", rewrites the subtitle and downloads installState.releaseUrl into
// payloadPath. Failure: the download's reason in errorText, Failed (the payload file stays).
StageResult DownloadPayload(const wchar_t* payloadPath, wchar_t* errorText);

// Runs only when releaseSha256 is exactly 64 units (the release check leaves it empty or 64
// hexadecimal digits): posts "받은 파일 검증 중..." and compares the file's digest. Any failure: the corruption text in errorText, FailedDeletePayload.
StageResult VerifyPayload(const wchar_t* payloadPath, wchar_t* errorText);

// SHA-256 of the file at path as 64 lower-case hex digits into out (capacity >= 65 units).
// False when the file or the hash service cannot be used. A read error ends the data early.
bool HashFileSha256(const wchar_t* path, wchar_t* out, size_t capacity);

#include "engine/sha256.h"

#include <bcrypt.h>

#include <cwchar>

Sha256Hash::Sha256Hash() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0))) hash_.reset();
}

bool Sha256Hash::Finish(UCHAR (&digest)[SHA256_DIGEST_BYTES]) {
    return hash_ && BCRYPT_SUCCESS(BCryptFinishHash(hash_.get(), digest, SHA256_DIGEST_BYTES, 0));
}

bool Sha256Hash::FinishHex(wchar_t (&text)[SHA256_TEXT_CAPACITY]) {
    UCHAR digest[SHA256_DIGEST_BYTES] = {};
    if (!Finish(digest)) return false;
    for (ULONG i = 0; i < SHA256_DIGEST_BYTES; ++i) _snwprintf_s(text + 2 * i, 3, _TRUNCATE, L"%02x", digest[i]);
    return true;
}

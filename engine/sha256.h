// SHA-256 through the platform's hash service: what the payload, the models and the manifest's
// signature are checked with.
#pragma once

#include "engine/owned.h"

#include <cstddef>

constexpr ULONG SHA256_DIGEST_BYTES = 32;
constexpr size_t SHA256_TEXT_CAPACITY = 2 * SHA256_DIGEST_BYTES + 1;  // hex digits and NUL

// A SHA-256 hash object with the provider it comes from. False when the hash service cannot be
// used.
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

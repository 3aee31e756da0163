#include "tests/support/sha256_hex.h"

#include "engine/owned.h"

// Straight on the hash service rather than through the program's own hash owner: an expected
// digest must not come from the code it checks.
std::string Sha256Hex(const std::string& bytes) {
    OwnedHashAlgorithm algorithm;
    OwnedHash hash;
    unsigned char digest[32] = {};
    bool hashed = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                                     static_cast<ULONG>(bytes.size()), 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, sizeof digest, 0));
    if (!hashed) return {};
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : digest) {
        out.push_back(hex[byte >> 4]);
        out.push_back(hex[byte & 15]);
    }
    return out;
}

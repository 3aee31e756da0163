#include "tests/sweep/sweep.h"

#include "engine/layout.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

// The release every run installs: published on the bed's host, and its bytes kept for the checks.
namespace sweep {
namespace {

// More than three of the download's 256 KiB reads.
constexpr size_t kBigFileBytes = 600 * 1024;

std::string& Payload() {
    static std::string bytes;
    return bytes;
}

}  // namespace

std::vector<ZipEntry> PayloadEntries(const std::string& version) {
    std::mt19937 random(20261211);
    std::string big(kBigFileBytes, '\0');
    for (char& c : big) c = static_cast<char>(random());
    // version.txt last, as the release tool writes it: tar extracts in order.
    return {
        {AppEntryName(L""), ""},
        {AppEntryName(APP_PROGRAM_NAME), "MZ placeholder application " + version},
        {AppEntryName(APP_SCRIPT_NAME), "@echo off\r\n"},
        {AppEntryName(APP_ICON_NAME), std::string("\0\0\1\0", 4)},
        {AppEntryName(L"lib/"), ""},
        {AppEntryName(L"lib/big.bin"), big},
        {AppEntryName(VERSION_FILE_NAME), version + "\r\n"},
    };
}

namespace {

ReleaseSite*& Site() {
    static ReleaseSite* site = nullptr;
    return site;
}

}  // namespace

const std::string& PayloadBytes() { return Payload(); }

#ifdef TAVRIN_SWEEP_RELEASE_KEY
namespace {

std::string DecodeBase64(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        const size_t digit = digits.find(c);
        if (digit == std::string::npos) continue;
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return bytes;
}

std::string Sha256Bytes(const std::string& bytes) {
    const std::string hex = Sha256Hex(bytes);
    std::string digest;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) digest.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return digest;
}

// The release key's ECDSA P-256 signature (r||s) of bytes, as the release tool makes it, from the
// bed's throwaway key (an EC PRIVATE KEY in PEM: its 32-byte secret after 02 01 01 04 20, its
// public point after 03 42 00 04).
std::string Sign(const std::string& bytes) {
    std::string pem;
    EXPECT_TRUE(testbed::ReadFileBytes(testbed::FromUnixPath(TAVRIN_SWEEP_RELEASE_KEY), pem));
    const size_t begin = pem.find("-----", pem.find("BEGIN")) + 5;
    const std::string der = DecodeBase64(pem.substr(begin, pem.find("-----END") - begin));
    const size_t secret = der.find(std::string("\x02\x01\x01\x04\x20", 5));
    const size_t point = der.find(std::string("\x03\x42\x00\x04", 4));
    EXPECT_NE(secret, std::string::npos);
    EXPECT_NE(point, std::string::npos);
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header->cbKey = 32;
    blob += der.substr(point + 4, 64) + der.substr(secret + 5, 32);
    const std::string digest = Sha256Bytes(bytes);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    UCHAR signature[64] = {};
    ULONG length = 0;
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key,
                                                   reinterpret_cast<PUCHAR>(blob.data()),
                                                   static_cast<ULONG>(blob.size()), 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptSignHash(key, nullptr, reinterpret_cast<PUCHAR>(const_cast<char*>(digest.data())),
                                              32, signature, sizeof signature, &length, 0)));
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return std::string(reinterpret_cast<char*>(signature), length);
}

}  // namespace
#endif

PublishedRelease::PublishedRelease() {
    Site() = new ReleaseSite(L"sweep");
    Payload() = MakeZip(PayloadEntries(kNewVersion));
    EXPECT_TRUE(Site()->Put(PAYLOAD_FILE, Payload()));
    // Signed with its sizes and an expiry far ahead, as the release tool signs a release.
    std::string manifest = "{\"version\": \"" + std::string(kNewVersion) + "\", \"url\": \"" + Site()->PayloadUrl() +
                           "\", \"sha256\": \"" + Sha256Hex(Payload()) + "\", \"size\": \"" +
                           std::to_string(Payload().size()) + "\", \"expires\": \"2099-01-01T00:00:00Z\"";
    for (const std::wstring& name : ModelNames()) {
        EXPECT_TRUE(Site()->Put(MODEL_URL_PATH + name, kModelBytes));
        manifest += ", \"digest:" + Narrow(name) + "\": \"" + kModelDigest + "\"";
        manifest += ", \"size:" + Narrow(name) + "\": \"" + std::to_string(strlen(kModelBytes)) + "\"";
    }
    manifest += "}";
    EXPECT_TRUE(Site()->PutManifest(manifest));
#ifdef TAVRIN_SWEEP_RELEASE_KEY
    EXPECT_TRUE(Site()->Put(L"dist/latest.json.sig", Sign(manifest)));
#endif
}

PublishedRelease::~PublishedRelease() {
    delete Site();
    Site() = nullptr;
}

}  // namespace sweep

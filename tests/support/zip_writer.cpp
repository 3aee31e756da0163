#include "tests/support/zip_writer.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

namespace {

uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

constexpr uint32_t kUtf8NamesFlag = 1u << 11;
constexpr uint32_t kDosTime = 0x6000;  // 12:00:00
constexpr uint32_t kDosDate = 0x5A21;  // 2025-01-01

}  // namespace

std::string MakeZip(const std::vector<ZipEntry>& entries) {
    std::string archive;
    std::string directory;
    for (const ZipEntry& entry : entries) {
        const uint32_t offset = static_cast<uint32_t>(archive.size());
        const uint32_t crc = Crc32(entry.data);
        const uint32_t size = static_cast<uint32_t>(entry.data.size());
        const bool folder = !entry.name.empty() && entry.name.back() == '/';

        Put32(archive, 0x04034b50);
        Put16(archive, 20);
        Put16(archive, kUtf8NamesFlag);
        Put16(archive, 0);  // stored
        Put16(archive, kDosTime);
        Put16(archive, kDosDate);
        Put32(archive, crc);
        Put32(archive, size);
        Put32(archive, size);
        Put16(archive, static_cast<uint32_t>(entry.name.size()));
        Put16(archive, 0);
        archive += entry.name;
        archive += entry.data;

        Put32(directory, 0x02014b50);
        Put16(directory, 0x031E);  // made by Unix, version 3.0
        Put16(directory, 20);
        Put16(directory, kUtf8NamesFlag);
        Put16(directory, 0);
        Put16(directory, kDosTime);
        Put16(directory, kDosDate);
        Put32(directory, crc);
        Put32(directory, size);
        Put32(directory, size);
        Put16(directory, static_cast<uint32_t>(entry.name.size()));
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        // Unix mode bits in the high half, as Info-ZIP writes them: they alone mark a link.
        const uint32_t mode = entry.symlink ? 0120777u : folder ? 040755u : 0100644u;
        Put32(directory, (mode << 16) | (folder ? 0x10 : 0));
        Put32(directory, offset);
        directory += entry.name;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
    archive += directory;
    Put32(archive, 0x06054b50);
    Put16(archive, 0);
    Put16(archive, 0);
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put32(archive, static_cast<uint32_t>(directory.size()));
    Put32(archive, directoryOffset);
    Put16(archive, 0);
    return archive;
}

std::string Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    bool hashed = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                                     static_cast<ULONG>(bytes.size()), 0));
    hashed = hashed && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!hashed) return {};
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : digest) {
        out.push_back(hex[byte >> 4]);
        out.push_back(hex[byte & 15]);
    }
    return out;
}

#include "tests/support/zip_writer.h"

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

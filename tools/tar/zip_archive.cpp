#include "tools/tar/zip_archive.h"

#include <zlib.h>

#include <algorithm>

namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxCommentSize = 0xFFFF;
// A directory beyond this is not something a setup payload would carry; refuse, do not allocate.
constexpr uint64_t kMaxCentralDirectorySize = 256ull << 20;
constexpr size_t kChunkSize = 256 * 1024;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

// Reads exactly `size` bytes at `offset`; false on any shortfall.
bool ReadAt(const ZipFile& zip, uint64_t offset, void* buffer, size_t size) {
    if (offset > zip.size || size > zip.size - offset) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(zip.file.get(), out, piece, &got, &at) || got == 0) return false;
        out += got;
        offset += got;
        size -= got;
    }
    return true;
}

// Where the central directory lies and how many records it holds.
struct DirectoryPlace {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t count = 0;
};

// Finds the end record within the last 64 KiB + 22 bytes; returns its file offset and copies it.
bool FindEndRecord(const ZipFile& zip, uint64_t& endOffset, uint8_t (&record)[kEndRecordSize]) {
    size_t tailSize = static_cast<size_t>(std::min<uint64_t>(zip.size, kEndRecordSize + kMaxCommentSize));
    if (tailSize < kEndRecordSize) return false;
    std::vector<uint8_t> tail(tailSize);
    uint64_t tailStart = zip.size - tailSize;
    if (!ReadAt(zip, tailStart, tail.data(), tailSize)) return false;
    for (size_t i = tailSize - kEndRecordSize + 1; i-- > 0;) {
        if (Get32(&tail[i]) != kEndSignature) continue;
        if (i + kEndRecordSize + Get16(&tail[i + 20]) > tailSize) continue;  // comment runs past the end
        endOffset = tailStart + i;
        std::copy_n(&tail[i], kEndRecordSize, record);
        return true;
    }
    return false;
}

// Replaces the 32-bit fields by those of the zip64 end record when the archive has one, and
// moves `recordsEnd` (where the central directory ends) to that record.
bool ApplyZip64End(const ZipFile& zip, uint64_t endOffset, DirectoryPlace& place, uint64_t& recordsEnd,
                   std::string& error) {
    uint8_t locator[kZip64LocatorSize];
    if (endOffset < kZip64LocatorSize ||
        !ReadAt(zip, endOffset - kZip64LocatorSize, locator, sizeof locator) ||
        Get32(locator) != kZip64LocatorSignature) {
        return true;  // no zip64 end record
    }
    uint64_t zip64EndOffset = Get64(locator + 8);
    uint8_t record[kZip64EndSize];
    if (!ReadAt(zip, zip64EndOffset, record, sizeof record) || Get32(record) != kZip64EndSignature) {
        error = "damaged zip64 end of central directory";
        return false;
    }
    place.count = Get64(record + 32);
    place.size = Get64(record + 40);
    place.offset = Get64(record + 48);
    recordsEnd = zip64EndOffset;
    return true;
}

// Locates the central directory. `bias` is how far the archive is shifted into the file
// (data prepended to it, as in self-extractors); record offsets are relative to the archive.
bool LocateDirectory(const ZipFile& zip, DirectoryPlace& place, uint64_t& bias, std::string& error) {
    uint64_t endOffset = 0;
    uint8_t end[kEndRecordSize];
    if (!FindEndRecord(zip, endOffset, end)) {
        error = "not a zip archive (no end of central directory)";
        return false;
    }
    if (Get16(end + 4) != 0 || Get16(end + 6) != 0) {
        error = "multi-volume archives are not supported";
        return false;
    }
    place.count = Get16(end + 10);
    place.size = Get32(end + 12);
    place.offset = Get32(end + 16);
    uint64_t recordsEnd = endOffset;
    if (!ApplyZip64End(zip, endOffset, place, recordsEnd, error)) return false;
    if (place.size > recordsEnd || place.offset > recordsEnd - place.size) {
        error = "damaged central directory (out of range)";
        return false;
    }
    bias = recordsEnd - place.size - place.offset;
    return true;
}

// Takes the 64-bit values that the zip64 extra field carries for fields marked 0xFFFFFFFF.
bool ApplyZip64Extra(const uint8_t* extra, size_t extraSize, ZipEntry& entry) {
    for (size_t at = 0; at + 4 <= extraSize;) {
        uint16_t id = Get16(extra + at);
        size_t length = Get16(extra + at + 2);
        if (at + 4 + length > extraSize) return false;
        if (id == 0x0001) {
            const uint8_t* field = extra + at + 4;
            size_t left = length;
            for (uint64_t* value : {&entry.size, &entry.compressedSize, &entry.localHeaderOffset}) {
                if (*value != 0xFFFFFFFF) continue;
                if (left < 8) return false;
                *value = Get64(field);
                field += 8;
                left -= 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return true;
}

// Parses one record at `at`; advances `at` past it.
bool ParseCentralRecord(const std::vector<uint8_t>& directory, size_t& at, ZipEntry& entry) {
    if (directory.size() - at < kCentralHeaderSize) return false;
    const uint8_t* p = directory.data() + at;
    if (Get32(p) != kCentralHeaderSignature) return false;
    size_t nameSize = Get16(p + 28);
    size_t extraSize = Get16(p + 30);
    size_t commentSize = Get16(p + 32);
    if (directory.size() - at - kCentralHeaderSize < nameSize + extraSize + commentSize) return false;
    entry.madeBy = p[5];
    entry.flags = Get16(p + 8);
    entry.method = Get16(p + 10);
    entry.crc32 = Get32(p + 16);
    entry.compressedSize = Get32(p + 20);
    entry.size = Get32(p + 24);
    entry.externalAttributes = Get32(p + 38);
    entry.localHeaderOffset = Get32(p + 42);
    entry.name.assign(reinterpret_cast<const char*>(p + kCentralHeaderSize), nameSize);
    if (!ApplyZip64Extra(p + kCentralHeaderSize + nameSize, extraSize, entry)) return false;
    at += kCentralHeaderSize + nameSize + extraSize + commentSize;
    return true;
}

// Owns an inflate stream for raw deflate data (no zlib or gzip wrapper).
class RawInflater {
public:
    RawInflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;
    ~RawInflater() { if (ready_) inflateEnd(&stream_); }
    bool ready() const { return ready_; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_ = {};
    bool ready_ = false;
};

// The input and output buffers are large; one pair serves the whole (single-threaded) run.
uint8_t inputBuffer[kChunkSize];
uint8_t outputBuffer[kChunkSize];

EntryStatus CopyStored(const ZipFile& zip, uint64_t offset, const ZipEntry& entry, const DataSink& sink,
                       uint32_t& crc, uint64_t& produced, std::string& error) {
    for (uint64_t left = entry.compressedSize; left > 0;) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kChunkSize));
        if (!ReadAt(zip, offset, inputBuffer, piece)) {
            error = "truncated archive";
            return EntryStatus::archiveError;
        }
        crc = crc32(crc, inputBuffer, static_cast<uInt>(piece));
        if (!sink(inputBuffer, piece)) return EntryStatus::sinkFailed;
        offset += piece;
        left -= piece;
        produced += piece;
    }
    return EntryStatus::ok;
}

EntryStatus Inflate(const ZipFile& zip, uint64_t offset, const ZipEntry& entry, const DataSink& sink,
                    uint32_t& crc, uint64_t& produced, std::string& error) {
    RawInflater inflater;
    if (!inflater.ready()) {
        error = "out of memory";
        return EntryStatus::entryError;
    }
    z_stream& stream = inflater.stream();
    uint64_t inputLeft = entry.compressedSize;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        if (stream.avail_in == 0) {
            if (inputLeft == 0) {
                error = "damaged compressed data (ends early)";
                return EntryStatus::entryError;
            }
            size_t piece = static_cast<size_t>(std::min<uint64_t>(inputLeft, kChunkSize));
            if (!ReadAt(zip, offset, inputBuffer, piece)) {
                error = "truncated archive";
                return EntryStatus::archiveError;
            }
            offset += piece;
            inputLeft -= piece;
            stream.next_in = inputBuffer;
            stream.avail_in = static_cast<uInt>(piece);
        }
        stream.next_out = outputBuffer;
        stream.avail_out = kChunkSize;
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            error = "damaged compressed data";
            return EntryStatus::entryError;
        }
        size_t made = kChunkSize - stream.avail_out;
        crc = crc32(crc, outputBuffer, static_cast<uInt>(made));
        produced += made;
        if (made > 0 && !sink(outputBuffer, made)) return EntryStatus::sinkFailed;
    }
    return EntryStatus::ok;
}

// Offset of the entry's data, after its local header; checks that the data lies in the file.
EntryStatus LocateData(const ZipFile& zip, const ZipEntry& entry, uint64_t& dataOffset, std::string& error) {
    uint8_t header[kLocalHeaderSize];
    if (!ReadAt(zip, entry.localHeaderOffset, header, sizeof header)) {
        error = "truncated archive";
        return EntryStatus::archiveError;
    }
    if (Get32(header) != kLocalHeaderSignature) {
        error = "damaged archive (bad local header)";
        return EntryStatus::archiveError;
    }
    dataOffset = entry.localHeaderOffset + kLocalHeaderSize + Get16(header + 26) + Get16(header + 28);
    if (dataOffset > zip.size || entry.compressedSize > zip.size - dataOffset) {
        error = "truncated archive";
        return EntryStatus::archiveError;
    }
    return EntryStatus::ok;
}

}  // namespace

bool OpenZip(const wchar_t* path, ZipFile& zip) {
    zip.file = OwnedFile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!zip.file) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(zip.file.get(), &size)) return false;
    zip.size = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool ReadCentralDirectory(const ZipFile& zip, std::vector<ZipEntry>& entries, std::string& error) {
    DirectoryPlace place;
    uint64_t bias = 0;
    if (!LocateDirectory(zip, place, bias, error)) return false;
    if (place.size > kMaxCentralDirectorySize || place.count > place.size / kCentralHeaderSize) {
        error = "damaged central directory (implausible size)";
        return false;
    }
    std::vector<uint8_t> directory(static_cast<size_t>(place.size));
    if (!ReadAt(zip, place.offset + bias, directory.data(), directory.size())) {
        error = "truncated archive";
        return false;
    }
    entries.clear();
    entries.reserve(static_cast<size_t>(place.count));
    size_t at = 0;
    for (uint64_t i = 0; i < place.count; ++i) {
        ZipEntry entry;
        if (!ParseCentralRecord(directory, at, entry)) {
            error = "damaged central directory";
            return false;
        }
        entry.localHeaderOffset += bias;
        entries.push_back(std::move(entry));
    }
    return true;
}

EntryStatus ReadEntryData(const ZipFile& zip, const ZipEntry& entry, const DataSink& sink,
                          std::string& error) {
    if (entry.flags & 0x0001) {
        error = "encrypted entries are not supported";
        return EntryStatus::entryError;
    }
    if (entry.method != 0 && entry.method != 8) {
        error = "unsupported compression method " + std::to_string(entry.method);
        return EntryStatus::entryError;
    }
    uint64_t dataOffset = 0;
    EntryStatus status = LocateData(zip, entry, dataOffset, error);
    if (status != EntryStatus::ok) return status;
    uint32_t crc = crc32(0, nullptr, 0);
    uint64_t produced = 0;
    status = entry.method == 0 ? CopyStored(zip, dataOffset, entry, sink, crc, produced, error)
                               : Inflate(zip, dataOffset, entry, sink, crc, produced, error);
    if (status != EntryStatus::ok) return status;
    if (produced != entry.size) {
        error = "damaged entry (size mismatch)";
        return EntryStatus::entryError;
    }
    if (crc != entry.crc32) {
        error = "CRC mismatch";
        return EntryStatus::entryError;
    }
    return EntryStatus::ok;
}

// Reading zip archives: the central directory and the data of one entry (stored or deflated),
// checked against its CRC-32. Offsets and sizes are bytes.
#pragma once

#include "engine/owned.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// An archive opened for reading.
struct ZipFile {
    OwnedFile file;
    uint64_t size = 0;  // of the whole file
};

// One central-directory record, with zip64 sizes and offsets already applied.
struct ZipEntry {
    std::string name;            // stored name bytes, not terminated by the string's own NUL
    uint16_t flags = 0;          // general purpose bits (bit 0 encrypted, bit 11 UTF-8 name)
    uint16_t method = 0;         // 0 stored, 8 deflated; anything else is unsupported
    uint8_t madeBy = 0;          // host system of the "version made by" field
    uint32_t externalAttributes = 0;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;           // uncompressed
    uint64_t localHeaderOffset = 0;  // from the start of the file
};

// Opens `path` for reading. Returns false when it cannot be opened; GetLastError() says why.
bool OpenZip(const wchar_t* path, ZipFile& zip);

// Reads every central-directory record, in archive order, into `entries`. Returns false with a
// short English reason in `error` when the file is not a zip or its directory is damaged.
bool ReadCentralDirectory(const ZipFile& zip, std::vector<ZipEntry>& entries, std::string& error);

// Receives the uncompressed data in order, in pieces of any size. Returns false to stop.
using DataSink = std::function<bool(const uint8_t* data, size_t size)>;

enum class EntryStatus {
    ok,            // all data went to the sink and matched the size and CRC-32
    entryError,    // this entry is unusable (method, encryption, damaged data); others may be fine
    archiveError,  // the archive itself is damaged or truncated; stop reading it
    sinkFailed,    // the sink returned false; `error` is left to the sink's owner
};

// Streams the data of `entry` to `sink`. On a result other than ok, `error` holds a short
// English reason (except for sinkFailed). Data already given to the sink stays given: a CRC
// mismatch is only known at the end.
EntryStatus ReadEntryData(const ZipFile& zip, const ZipEntry& entry, const DataSink& sink,
                          std::string& error);

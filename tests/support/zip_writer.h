// Builds zip archives in memory for test payloads (stored entries, UTF-8 names), and hashes.
#pragma once

#include <string>
#include <vector>

struct ZipEntry {
    std::string name;  // UTF-8, '/'-separated; a name ending in '/' is a folder
    std::string data;  // for a symbolic link: the path it points to
    bool symlink = false;
};

// A complete zip archive of the entries, in order, uncompressed.
std::string MakeZip(const std::vector<ZipEntry>& entries);

// SHA-256 of bytes as 64 lower-case hex digits (through the platform's hash service, whose answers
// payload_test holds to published vectors); empty when the service fails, which no manifest accepts.
std::string Sha256Hex(const std::string& bytes);

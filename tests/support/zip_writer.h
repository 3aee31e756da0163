// Builds zip archives in memory for test payloads (stored entries, UTF-8 names).
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

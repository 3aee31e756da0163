// Writing archive entries below a target folder. Every path written is the target root joined
// with a path that MakeEntryPath cleaned, so nothing lands outside the target folder.
#pragma once

#include "tools/tar/zip_archive.h"

#include <string>

// Turns `folder` (relative or absolute) into the extended-length form "\\?\C:\..." or
// "\\?\UNC\server\share\..." without a trailing backslash, so that long entry paths work.
// Returns false when `folder` is not an existing folder.
bool ResolveTargetRoot(const wchar_t* folder, std::wstring& root);

enum class ExtractResult {
    done,          // written, or skipped silently (an empty name)
    failed,        // this entry failed; the message is printed; go on with the next one
    archiveBroken, // the archive cannot be read further; the message is printed
};

// Extracts one entry below `root` (from ResolveTargetRoot): a folder for names ending in a
// separator or marked as folders, otherwise a file with its parent folders. Prints a one-line
// message to stderr for every failure and for the first removal of an absolute prefix.
ExtractResult ExtractEntry(const ZipFile& zip, const ZipEntry& entry, const std::wstring& root);

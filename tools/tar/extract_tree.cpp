#include "tools/tar/extract_tree.h"

#include "tools/tar/entry_path.h"

#include <cstdio>

namespace {

constexpr uint32_t kDosDirectory = 0x10;
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixDirectory = 0040000;
constexpr uint8_t kMadeByUnix = 3;

void Report(const ZipEntry& entry, const char* reason) {
    std::fprintf(stderr, "tar: %s: %s\n", entry.name.c_str(), reason);
}

std::string SystemReason(const char* action, DWORD code) {
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return std::string(action) + ": disk full";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return std::string(action) + ": file in use";
    case ERROR_ACCESS_DENIED: return std::string(action) + ": access denied";
    default: return std::string(action) + ": error " + std::to_string(code);
    }
}

bool IsFolderEntry(const ZipEntry& entry) {
    if (!entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\')) return true;
    if (entry.madeBy == kMadeByUnix && ((entry.externalAttributes >> 16) & kUnixTypeMask) == kUnixDirectory) {
        return true;
    }
    return (entry.externalAttributes & kDosDirectory) != 0 && entry.size == 0;
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates root\relative and every missing folder on the way; `upTo` limits it to a prefix.
bool MakeFolders(const std::wstring& root, const std::wstring& relative, size_t upTo, std::string& error) {
    for (size_t at = 0; at < upTo;) {
        size_t end = relative.find(L'\\', at);
        if (end == std::wstring::npos || end > upTo) end = upTo;
        std::wstring path = root + L'\\' + relative.substr(0, end);
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            DWORD code = GetLastError();
            if (code != ERROR_ALREADY_EXISTS || !IsFolder(path)) {
                error = code == ERROR_ALREADY_EXISTS ? "cannot create folder: a file is in the way"
                                                     : SystemReason("cannot create folder", code);
                return false;
            }
        }
        at = end + 1;
    }
    return true;
}

// Creates (or replaces) the file; a read-only file in the way is replaced as bsdtar does.
OwnedFile CreateEntryFile(const std::wstring& path, std::string& error) {
    auto create = [&] {
        return OwnedFile(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    OwnedFile file = create();
    if (!file && GetLastError() == ERROR_ACCESS_DENIED && !IsFolder(path) &&
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        file = create();
    }
    if (!file) error = SystemReason("cannot create file", GetLastError());
    return file;
}

ExtractResult WriteFileEntry(const ZipFile& zip, const ZipEntry& entry, const std::wstring& path) {
    std::string error;
    OwnedFile file = CreateEntryFile(path, error);
    if (!file) {
        Report(entry, error.c_str());
        return ExtractResult::failed;
    }
    DataSink sink = [&](const uint8_t* data, size_t size) {
        DWORD written = 0;
        if (WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size) {
            return true;
        }
        DWORD code = GetLastError();
        error = SystemReason("write failed", written < size && code == ERROR_SUCCESS ? ERROR_DISK_FULL : code);
        return false;
    };
    EntryStatus status = ReadEntryData(zip, entry, sink, error);
    if (status == EntryStatus::ok) return ExtractResult::done;
    // A damaged or partly written file must not look like a good one.
    file.reset();
    DeleteFileW(path.c_str());
    Report(entry, error.c_str());
    return status == EntryStatus::archiveError ? ExtractResult::archiveBroken : ExtractResult::failed;
}

}  // namespace

bool ResolveTargetRoot(const wchar_t* folder, std::wstring& root) {
    DWORD length = GetFullPathNameW(folder, 0, nullptr, nullptr);
    if (length == 0) return false;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(folder, length, full.data(), nullptr);
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (!IsFolder(full)) return false;
    if (full.rfind(L"\\\\?\\", 0) == 0) {
        root = full;
    } else if (full.rfind(L"\\\\", 0) == 0) {
        root = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
        root = L"\\\\?\\" + full;
    }
    if (!root.empty() && root.back() == L'\\') root.pop_back();  // a drive root such as C:\ .
    return true;
}

ExtractResult ExtractEntry(const ZipFile& zip, const ZipEntry& entry, const std::wstring& root) {
    static bool toldAboutAbsolute = false;
    std::wstring relative;
    bool stripped = false;
    switch (MakeEntryPath(entry.name, (entry.flags & 0x0800) != 0, relative, stripped)) {
    case PathVerdict::skip: return ExtractResult::done;
    case PathVerdict::refuse:
        Report(entry, "Path contains '..'");
        return ExtractResult::failed;
    case PathVerdict::use: break;
    }
    if (stripped && !toldAboutAbsolute) {
        toldAboutAbsolute = true;
        std::fprintf(stderr, "tar: Removing leading '/' or drive letter from member names\n");
    }
    bool folder = IsFolderEntry(entry);
    size_t parentEnd = relative.rfind(L'\\');
    std::string error;
    if (!MakeFolders(root, relative, folder ? relative.size() : (parentEnd == std::wstring::npos ? 0 : parentEnd),
                     error)) {
        Report(entry, error.c_str());
        return ExtractResult::failed;
    }
    return folder ? ExtractResult::done : WriteFileEntry(zip, entry, root + L'\\' + relative);
}

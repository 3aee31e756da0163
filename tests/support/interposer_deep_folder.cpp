// The presented deep folder: a bed folder listed as holding a chain of folders deeper than the
// bed's host can hold (Wine maps each path to a host path, which ends at 4,096 bytes). Its levels
// exist only in the listings; deleting them succeeds without touching the bed.
#include "tests/support/interposer_internal.h"

#include <cwchar>

namespace interposer::detail {
namespace {

// Listings of the virtual levels get handles of their own, never valid kernel handles.
constexpr ULONG_PTR VIRTUAL_FIND_BASE = 0x7ff00000;
// Opened virtual entries likewise, the level in the low bits and the file at the bottom marked.
constexpr ULONG_PTR VIRTUAL_OPEN_BASE = 0x7fe00000;
constexpr ULONG_PTR VIRTUAL_OPEN_FILE = 0x80000;

// How many "\d" levels key lies below the deep folder: -1 when it is not that folder or below it.
long DeepLevel(const std::wstring& key) {
    const std::wstring& root = S().deepFolder;
    if (root.empty() || key.compare(0, root.size(), root) != 0) return -1;
    long level = 0;
    for (size_t at = root.size(); at < key.size(); at += 2) {
        if (key.compare(at, 2, L"\\d") != 0) return -1;
        ++level;
    }
    return key.size() == root.size() + 2 * static_cast<size_t>(level) ? level : -1;
}

}  // namespace

bool IsVirtualFind(HANDLE find) {
    const auto value = reinterpret_cast<ULONG_PTR>(find);
    return value >= VIRTUAL_FIND_BASE && value <= VIRTUAL_FIND_BASE + 0x10000;
}

// A listing of a level of the deep folder: its one entry ("d", or "f" in the deepest).
bool ListDeepLevel(const wchar_t* pattern, WIN32_FIND_DATAW* data, HANDLE* find) {
    if (!OnArmedThread()) return false;
    Guard guard;
    const long level = DeepLevel(ListedFolder(pattern));
    if (level < 0) return false;
    *data = {};
    const bool deepest = static_cast<unsigned>(level) == S().deepLevels;
    wcscpy_s(data->cFileName, deepest ? L"f" : L"d");
    data->dwFileAttributes = deepest ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY;
    *find = reinterpret_cast<HANDLE>(VIRTUAL_FIND_BASE + static_cast<ULONG_PTR>(level));
    return true;
}

bool IsVirtualOpen(HANDLE handle) {
    const auto value = reinterpret_cast<ULONG_PTR>(handle);
    return value >= VIRTUAL_OPEN_BASE && value < VIRTUAL_OPEN_BASE + 2 * VIRTUAL_OPEN_FILE;
}

// An open of a level of the deep folder, or of the file at its bottom: a handle of its own.
bool OpenVirtual(const wchar_t* path, HANDLE* handle) {
    if (!OnArmedThread()) return false;
    Guard guard;
    const std::wstring key = Key(path);
    long level = DeepLevel(key);
    bool file = false;
    if (level <= 0 && key.size() > 2 && key.compare(key.size() - 2, 2, L"\\f") == 0) {
        level = DeepLevel(key.substr(0, key.size() - 2));
        file = level >= 0 && static_cast<unsigned>(level) == S().deepLevels;
        if (!file) return false;
    }
    if (level <= 0) return false;
    *handle = reinterpret_cast<HANDLE>(VIRTUAL_OPEN_BASE + (file ? VIRTUAL_OPEN_FILE : 0) +
                                       static_cast<ULONG_PTR>(level));
    return true;
}

// What a virtual entry's handle reports: a folder, or the plain file at the bottom.
bool DescribeVirtual(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info) {
    const bool file = (reinterpret_cast<ULONG_PTR>(handle) - VIRTUAL_OPEN_BASE) >= VIRTUAL_OPEN_FILE;
    const DWORD attributes = file ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY;
    if (infoClass == FileAttributeTagInfo) {
        *static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info) = {attributes, 0};
    } else if (infoClass == FileBasicInfo) {
        *static_cast<FILE_BASIC_INFO*>(info) = {};
        static_cast<FILE_BASIC_INFO*>(info)->FileAttributes = attributes;
    } else if (infoClass == FileStandardInfo) {
        *static_cast<FILE_STANDARD_INFO*>(info) = {};
        static_cast<FILE_STANDARD_INFO*>(info)->NumberOfLinks = 1;
        static_cast<FILE_STANDARD_INFO*>(info)->Directory = !file;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// A deletion through a virtual entry's handle: counted, nothing touched.
void RemoveVirtualOpen() {
    Guard guard;
    ++S().virtualRemovals;
}

// A removal of an entry below the deep folder: counted, nothing touched.
bool RemoveVirtual(const wchar_t* path) {
    if (!OnArmedThread()) return false;
    Guard guard;
    const std::wstring key = Key(path);
    const std::wstring& root = S().deepFolder;
    if (root.empty() || key.size() <= root.size()) return false;
    const size_t last = key.rfind(L'\\');
    const long parent = DeepLevel(key.substr(0, last));
    if (parent < 0) return false;
    ++S().virtualRemovals;
    return true;
}

}  // namespace interposer::detail

// The presented deep folder: a bed folder listed as holding a chain of folders deeper than the
// bed's host can hold (Wine maps each path to a host path, which ends at 4,096 bytes). Its levels
// exist only in the listings; deleting them succeeds without touching the bed.
#include "tests/support/interposer_internal.h"

#include <cwchar>

namespace interposer::detail {
namespace {

// Listings of the virtual levels get handles of their own, never valid kernel handles.
constexpr ULONG_PTR VIRTUAL_FIND_BASE = 0x7ff00000;

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

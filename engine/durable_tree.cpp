#include "engine/durable_tree.h"

#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "engine/transient_retry.h"

#include <cwchar>

namespace {

constexpr wchar_t LOG_STAGE[] = L"extraction";
// The app's tree is a few levels deep; what lies deeper is left to the file system's lazy writing.
constexpr int MAX_DEPTH = 64;

// A scanner may hold a file it has just seen written: its open outlasts that holder.
bool FlushFile(const wchar_t* path) {
    OwnedFile file;
    RetryTransient(LOG_STAGE, L"CreateFileW", path, [&] {
        *file.put() = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return static_cast<bool>(file);
    });
    if (!file || !FlushFileBuffers(file.get())) {
        LogFailedCall(LOG_STAGE, L"FlushFileBuffers", path, GetLastError());
        return false;
    }
    return true;
}

bool FlushFolder(const wchar_t* folder, int depth) {
    if (depth > MAX_DEPTH) return true;
    wchar_t pattern[PATH_CAPACITY];
    if (!JoinPath(pattern, folder, L"*")) return false;
    WIN32_FIND_DATAW entry;
    const OwnedFind find(FindFirstFileW(pattern, &entry));
    if (!find) return false;
    bool flushed = true;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
        wchar_t path[PATH_CAPACITY];
        // A path past 260 units is left to the file system's own lazy writing.
        if (!JoinPath(path, folder, entry.cFileName)) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        const bool folderEntry = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        flushed = (folderEntry ? FlushFolder(path, depth + 1) : FlushFile(path)) && flushed;
    } while (FindNextFileW(find.get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES && flushed;
}

}  // namespace

bool FlushTree(const wchar_t* folder) { return FlushFolder(folder, 0); }

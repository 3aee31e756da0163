#include "engine/tree_delete.h"

#include "engine/owned.h"
#include "engine/paths.h"

#include <cstdlib>
#include <cwchar>

namespace {

// Room for any path in the "\\?\" form, so that entries deeper than 260 units are seen too.
constexpr size_t WALK_CAPACITY = 32768;
// Every level adds at least "\x" to the path, so the path's room bounds the depth.
constexpr size_t MAX_LEVELS = WALK_CAPACITY / 2;

// The extended disposition class and its flags, values of the platform's SDK (mingw-w64's
// headers lack them).
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

// A reparse point is a link only when its tag says it stands for another name (junctions,
// symbolic links); cloud placeholders, deduplicated files and the like are ordinary entries. A
// reparse point whose tag is unknown (0: Wine's host symbolic links) counts as a link, so it is
// never entered.
bool IsLink(DWORD attributes, DWORD tag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return tag == 0 || IsReparseTagNameSurrogate(tag);
}

// The reparse tag of the entry at path itself, 0 when it cannot be read.
DWORD ReadTag(const wchar_t* path) {
    OwnedFile entry(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!entry || !GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag)) return 0;
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.ReparseTag : 0;
}

// Marks the open link for deletion, read-only or not: the extended record ignores the read-only
// attribute; where it is unknown, the attribute is cleared and the plain record used.
bool DisposeLink(HANDLE link, DWORD attributes) {
    const DWORD flags = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    DWORD record = flags;
    if (SetFileInformationByHandle(link, DISPOSITION_INFO_EX, &record, sizeof record)) return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_NORMAL;
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
        if (!SetFileInformationByHandle(link, FileBasicInfo, &basic, sizeof basic)) return false;
    }
    // Brace-initialised: the member's name, DeleteFile, is also a macro of the platform headers.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(link, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Deletes the link at path itself: through a handle opened on the link rather than on what it
// points to, and only once the file system confirms that the handle is the link (it carries a
// name-surrogate tag). Wine opens what a host symbolic link points to whatever is asked, so there
// the confirmation never comes and the link stays. False when the link is still there.
bool RemoveLink(const wchar_t* path) {
    OwnedFile link(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link) return false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(tag.ReparseTag)) {
        return false;
    }
    return DisposeLink(link.get(), tag.FileAttributes);
}

// A file that is no link; a read-only one loses the attribute first, as the shell's deletion does.
void RemoveFile(const wchar_t* path) {
    if (DeleteFileW(path) || GetLastError() != ERROR_ACCESS_DENIED) return;
    if (SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) DeleteFileW(path);
}

enum class Pass {
    Look,     // reads every folder to its end, changes nothing
    Links,    // removes every link as a link, never entering one
    Delete,   // deletes files, then each folder once it is empty
};

// One folder being listed: its open listing and the length of its path in the walk buffer.
struct Level {
    HANDLE find;
    size_t length;
};

// Walks the folder named by path[0..length) without recursion (a tree thousands of levels deep
// needs no stack). True when every folder was read to its end, every name fitted and, for the
// Links pass, every link was removed. The folder itself is left to the caller.
bool Walk(wchar_t* path, size_t length, Level* levels, Pass pass) {
    bool complete = true;
    size_t depth = 0;
    WIN32_FIND_DATAW entry;
    levels[0] = {INVALID_HANDLE_VALUE, length};
    bool open = false;  // levels[depth].find holds a listing
    bool have = false;  // entry holds a name of levels[depth] not yet handled
    for (;;) {
        Level& level = levels[depth];
        if (!open) {
            if (level.length + 3 > WALK_CAPACITY) return false;
            wmemcpy(path + level.length, L"\\*", 3);
            level.find = FindFirstFileW(path, &entry);
            path[level.length] = L'\0';
            if (level.find == INVALID_HANDLE_VALUE) break;
            open = have = true;
        }
        if (!have) {
            // The listing ended: cleanly only with ERROR_NO_MORE_FILES.
            const bool ended = GetLastError() == ERROR_NO_MORE_FILES;
            FindClose(level.find);
            if (!ended) break;
            if (depth == 0) return complete;
            if (pass == Pass::Delete) RemoveDirectoryW(path);
            --depth;
            path[levels[depth].length] = L'\0';
            have = FindNextFileW(levels[depth].find, &entry) != 0;
            continue;
        }
        const wchar_t* name = entry.cFileName;
        const size_t nameLength = wcslen(name);
        const bool dots = wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
        if (!dots && level.length + 1 + nameLength + 1 > WALK_CAPACITY) {
            FindClose(level.find);
            break;
        }
        if (!dots) {
            path[level.length] = L'\\';
            wmemcpy(path + level.length + 1, name, nameLength + 1);
            const DWORD attributes = entry.dwFileAttributes;
            if (IsLink(attributes, entry.dwReserved0)) {
                if (pass != Pass::Look && !RemoveLink(path)) complete = false;
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (depth + 1 >= MAX_LEVELS) {
                    FindClose(level.find);
                    break;
                }
                levels[++depth] = {INVALID_HANDLE_VALUE, level.length + 1 + nameLength};
                open = false;
                continue;
            } else if (pass == Pass::Delete) {
                RemoveFile(path);
            }
            path[level.length] = L'\0';
        }
        have = FindNextFileW(level.find, &entry) != 0;
    }
    // A listing failed or a name did not fit (the current level's listing is closed already):
    // close the listings above it and report it.
    for (size_t above = 0; above < depth; ++above) FindClose(levels[above].find);
    return false;
}

// The walk's starting point: path made full and put in the "\\?\" form ("\\?\UNC\..." for a
// network path). False when it does not fit.
bool StartWalk(wchar_t* walk, const wchar_t* path, size_t& length) {
    wchar_t full[PATH_CAPACITY] = {};
    const DWORD fullLength = GetFullPathNameW(path, PATH_CAPACITY, full, nullptr);
    if (fullLength == 0 || fullLength >= PATH_CAPACITY) return false;
    const bool network = full[0] == L'\\' && full[1] == L'\\';
    const wchar_t* prefix = network ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = network ? full + 1 : full;
    const int written = _snwprintf_s(walk, WALK_CAPACITY, _TRUNCATE, L"%s%s", prefix, rest);
    if (written <= 0) return false;
    length = static_cast<size_t>(written);
    while (length > 0 && walk[length - 1] == L'\\') walk[--length] = L'\0';
    return true;
}

// Deletes the folder at path (no link): only when every folder below could be read, links go
// first, as links; while one is left the tree is left alone. Then files and folders, deepest
// first.
void DeleteFolder(const wchar_t* path) {
    const HeapBlock<wchar_t> walk(static_cast<wchar_t*>(malloc(WALK_CAPACITY * sizeof(wchar_t))));
    const HeapBlock<Level> levels(static_cast<Level*>(malloc(MAX_LEVELS * sizeof(Level))));
    size_t length = 0;
    if (!walk || !levels || !StartWalk(walk.get(), path, length)) return;
    if (!Walk(walk.get(), length, levels.get(), Pass::Look)) return;
    if (!Walk(walk.get(), length, levels.get(), Pass::Links)) return;
    Walk(walk.get(), length, levels.get(), Pass::Delete);
    RemoveDirectoryW(walk.get());
}

}  // namespace

void DeleteTree(const wchar_t* path) {
    if (!IsAbsolutePath(path)) return;
    if (wcslen(path) >= PATH_CAPACITY) return;

    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const DWORD tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ReadTag(path) : 0;
    if (IsLink(attributes, tag)) {
        RemoveLink(path);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteFolder(path);
    } else {
        RemoveFile(path);
    }
}

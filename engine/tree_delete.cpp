// Why the walk cannot be steered: it holds every folder on its current path open without delete
// sharing, from before it lists the folder until it leaves it. No other process can then rename
// or delete any of them (either needs DELETE access, which our open refuses to share), so a path
// formed below them names what the walk saw. A folder swapped for a junction between the listing
// and the entry is caught too: each folder is confirmed through its own handle, opened on the
// entry itself, to be a folder and no link before it is listed, and each entry is deleted through
// a handle opened on the entry itself and confirmed to be what the listing said. This gives what
// opens relative to a folder handle (NtCreateFile) would give, while the listing stays the plain
// path-based one that every hook of the tests' interposer already sees.
#include "engine/tree_delete.h"

#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/transient_retry.h"

#include <cstdlib>
#include <cwchar>

namespace {

// Room for any path in the "\\?\" form, so that entries deeper than 260 units are seen too.
constexpr size_t WALK_CAPACITY = 32768;
// Every level adds at least "\x" to the path, so the path's room bounds the depth.
constexpr size_t MAX_LEVELS = WALK_CAPACITY / 2;
constexpr wchar_t LOG_STAGE[] = L"tree deletion";

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

// Marks the open entry for deletion, read-only or not. The extended record ignores the
// read-only attribute; where it is unknown (Windows 10 before 1709), the attribute is cleared
// on this one entry, keeping its others, and the plain record used. A file with another name
// elsewhere shares its attributes with that name, so it keeps them: a read-only one then stays,
// with ERROR_FILE_READ_ONLY, which no retry can change.
bool Dispose(HANDLE entry, DWORD attributes) {
    DWORD record = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    if (SetFileInformationByHandle(entry, DISPOSITION_INFO_EX, &record, sizeof record)) return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_STANDARD_INFO standard = {};
        if (!GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard)) return false;
        if (standard.NumberOfLinks > 1) {
            SetLastError(ERROR_FILE_READ_ONLY);
            return false;
        }
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic)) return false;
    }
    // Brace-initialised: the member's name, DeleteFile, is also a macro of the platform headers.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Opens the entry at path itself (never what a link points to) for its deletion.
HANDLE OpenEntry(const wchar_t* path, DWORD access, DWORD share) {
    return CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

constexpr DWORD ENTRY_ACCESS = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Deletes the link at path itself: through a handle opened on the link rather than on what it
// points to, and only once the file system confirms that the handle is the link (it carries a
// name-surrogate tag). Wine opens what a host symbolic link points to whatever is asked, so there
// the confirmation never comes and the link stays. False when the link is still there.
bool RemoveLink(const wchar_t* path) {
    return RetryTransient(LOG_STAGE, L"delete link", path, [&] {
        OwnedFile link(OpenEntry(path, ENTRY_ACCESS, SHARE_ALL));
        if (!link) return false;
        FILE_ATTRIBUTE_TAG_INFO tag = {};
        if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
        if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(tag.ReparseTag)) {
            SetLastError(ERROR_NOT_A_REPARSE_POINT);
            return false;
        }
        return Dispose(link.get(), tag.FileAttributes);
    });
}

// A file that is no link, through a handle on the entry itself; a folder that was put in its
// place since the listing is left alone.
bool RemoveFile(const wchar_t* path) {
    return RetryTransient(LOG_STAGE, L"delete file", path, [&] {
        OwnedFile file(OpenEntry(path, ENTRY_ACCESS, SHARE_ALL));
        if (!file) return false;
        FILE_ATTRIBUTE_TAG_INFO tag = {};
        if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
        if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            SetLastError(ERROR_DIRECTORY);
            return false;
        }
        return Dispose(file.get(), tag.FileAttributes);
    });
}

// Confirms through the open entry that it is a folder and no link; linkFound says that a link
// stands there now.
bool IsPlainFolder(HANDLE entry, bool& linkFound) {
    linkFound = false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag)) return false;
    const DWORD reparseTag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.ReparseTag : 0;
    linkFound = IsLink(tag.FileAttributes, reparseTag);
    return !linkFound && (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens the folder at path for the walk: held without delete sharing (see the top of the file),
// but without DELETE access itself, which the listing's own open of the folder would have to
// share; and confirmed through the handle to be a folder and no link. Invalid otherwise.
HANDLE HoldFolder(const wchar_t* path, bool& linkFound) {
    linkFound = false;
    HANDLE folder = INVALID_HANDLE_VALUE;
    RetryTransient(LOG_STAGE, L"open folder", path, [&] {
        folder = OpenEntry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE);
        return folder != INVALID_HANDLE_VALUE;
    });
    if (folder != INVALID_HANDLE_VALUE && !IsPlainFolder(folder, linkFound)) {
        CloseHandle(folder);
        folder = INVALID_HANDLE_VALUE;
    }
    return folder;  // the caller's to close
}

// The empty folder at path, once the walk has let go of it: reopened on the entry itself and
// confirmed a folder again, so that a link put in its place meanwhile is not followed (it goes
// as a link). A holder that still has the folder's last entry open keeps it listed a moment
// after its deletion (ERROR_DIR_NOT_EMPTY).
bool RemoveEmptyFolder(const wchar_t* path) {
    return RetryTransient(LOG_STAGE, L"delete folder", path, [&] {
        OwnedFile folder(OpenEntry(path, ENTRY_ACCESS, SHARE_ALL));
        if (!folder) return false;
        bool linkFound = false;
        FILE_ATTRIBUTE_TAG_INFO tag = {};
        if (!GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
        if (!IsPlainFolder(folder.get(), linkFound) && !linkFound) {
            SetLastError(ERROR_DIRECTORY);
            return false;
        }
        return Dispose(folder.get(), tag.FileAttributes);
    }, Holders::FilesAndEmptied);
}

enum class Pass {
    Look,     // reads every folder to its end, changes nothing
    Links,    // removes every link as a link, never entering one
    Delete,   // deletes files, then each folder once it is empty
};

// One folder being listed: its held handle, its open listing, the length of its path in the
// walk buffer, and whether an entry of it stays (then so does the folder, and it is not tried:
// its "not empty" would only be waited out to the retry bound).
struct Level {
    HANDLE folder;
    HANDLE find;
    size_t length;
    bool keeps;
};

// Leaves the folder of level: let go, then deleted in the Delete pass. True when it is gone or
// was not to be deleted.
bool LeaveLevel(Level& level, const wchar_t* path, Pass pass) {
    CloseHandle(level.folder);
    level.folder = INVALID_HANDLE_VALUE;
    return pass != Pass::Delete || (!level.keeps && RemoveEmptyFolder(path));
}

// Walks the folder named by path[0..length), held by root, without recursion (a tree thousands
// of levels deep needs no stack). True when every folder was read to its end, every name fitted
// and, for the Links pass, every link was removed. The root folder itself is left to the caller.
bool Walk(wchar_t* path, size_t length, HANDLE root, Level* levels, Pass pass, bool& keeps) {
    bool complete = true;
    size_t depth = 0;
    WIN32_FIND_DATAW entry;
    levels[0] = {root, INVALID_HANDLE_VALUE, length, false};
    bool open = false;  // levels[depth].find holds a listing
    bool have = false;  // entry holds a name of levels[depth] not yet handled
    for (;;) {
        Level& level = levels[depth];
        if (!open) {
            if (level.length + 3 > WALK_CAPACITY) break;
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
            if (depth == 0) {
                keeps = level.keeps;
                return complete;
            }
            const bool gone = LeaveLevel(level, path, pass);
            --depth;
            if (!gone) levels[depth].keeps = true;
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
            bool linkFound = IsLink(attributes, entry.dwReserved0);
            if (!linkFound && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (depth + 1 >= MAX_LEVELS) {
                    FindClose(level.find);
                    break;
                }
                const HANDLE child = HoldFolder(path, linkFound);
                if (child != INVALID_HANDLE_VALUE) {
                    levels[++depth] = {child, INVALID_HANDLE_VALUE, level.length + 1 + nameLength, false};
                    open = false;
                    continue;
                }
                // Neither a folder to enter nor a link: the tree cannot be known whole.
                if (!linkFound) {
                    complete = false;
                    level.keeps = true;
                }
            }
            if (linkFound) {
                if (pass != Pass::Look && !RemoveLink(path)) {
                    complete = false;
                    level.keeps = true;
                }
            } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && pass == Pass::Delete && !RemoveFile(path)) {
                level.keeps = true;
            }
            path[level.length] = L'\0';
        }
        have = FindNextFileW(level.find, &entry) != 0;
    }
    // A listing failed or a name did not fit (the current level's listing is closed already):
    // let go of the levels on the path and report it.
    for (size_t above = 0; above < depth; ++above) FindClose(levels[above].find);
    for (size_t held = 1; held <= depth; ++held) CloseHandle(levels[held].folder);
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
    bool linkFound = false;
    OwnedFile root(HoldFolder(walk.get(), linkFound));
    if (!root) {
        if (linkFound) RemoveLink(walk.get());
        return;
    }
    bool keeps = false;
    if (!Walk(walk.get(), length, root.get(), levels.get(), Pass::Look, keeps)) return;
    if (!Walk(walk.get(), length, root.get(), levels.get(), Pass::Links, keeps)) return;
    const bool walked = Walk(walk.get(), length, root.get(), levels.get(), Pass::Delete, keeps);
    root.reset();
    if (walked && !keeps) RemoveEmptyFolder(walk.get());
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

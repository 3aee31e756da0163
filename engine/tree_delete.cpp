#include "engine/tree_delete.h"

#include "engine/owned.h"
#include "engine/paths.h"

#include <shellapi.h>

#include <cstdlib>
#include <cwchar>

namespace {

// Room for any path in the "\\?\" form, so that entries deeper than 260 units are seen too.
constexpr size_t WALK_CAPACITY = 32768;

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Deletes the link at path itself: through a handle opened on the link rather than on what it
// points to, and only once the file system confirms that the handle is the link (it carries a
// reparse tag). Wine opens what a host symbolic link points to whatever is asked, so there the
// confirmation never comes and the link stays. False when the link is still there.
bool RemoveLink(const wchar_t* path) {
    OwnedFile link(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link) return false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
    if (!IsLink(tag.FileAttributes) || tag.ReparseTag == 0) return false;
    // Brace-initialised: the member's name, DeleteFile, is also a macro of the platform headers.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// path holds length units (of WALK_CAPACITY) naming a folder that is no link. Deletes every link
// below it without entering one. True when no link is left below it and every folder could be
// read: only then may the tree be handed to the shell, which would follow a link.
bool RemoveLinksBelow(wchar_t* path, size_t length) {
    if (length + 3 > WALK_CAPACITY) return false;
    wmemcpy(path + length, L"\\*", 3);
    WIN32_FIND_DATAW entry;
    OwnedFind find(FindFirstFileW(path, &entry));
    path[length] = L'\0';
    if (!find) return false;
    bool clean = true;
    do {
        const wchar_t* name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        const bool link = IsLink(entry.dwFileAttributes);
        if (!link && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const size_t nameLength = wcslen(name);
        if (length + 1 + nameLength + 1 > WALK_CAPACITY) {
            clean = false;
            continue;
        }
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        const bool removed = link ? RemoveLink(path) : RemoveLinksBelow(path, length + 1 + nameLength);
        clean = removed && clean;
        path[length] = L'\0';
    } while (FindNextFileW(find.get(), &entry));
    return clean;
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

}  // namespace

void DeleteTree(const wchar_t* path) {
    if (!IsAbsolutePath(path)) return;
    const size_t length = wcslen(path);
    if (length >= PATH_CAPACITY) return;

    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (IsLink(attributes)) {
        RemoveLink(path);
        return;
    }
    // The shell's deletion follows folder links (under Wine always), which would reach outside
    // the tree: links go first, as links, and while one is left the tree is left alone.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        const HeapBlock<wchar_t> walk(
            static_cast<wchar_t*>(malloc(WALK_CAPACITY * sizeof(wchar_t))));
        size_t walkLength = 0;
        if (!walk || !StartWalk(walk.get(), path, walkLength)) return;
        if (!RemoveLinksBelow(walk.get(), walkLength)) return;
    }

    // SHFileOperationW takes a list of names ended by an empty one: add the second terminator.
    wchar_t list[PATH_CAPACITY + 2] = {};
    wmemcpy(list, path, length);

    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    // No FOF_ALLOWUNDO: the tree is deleted permanently, not moved to the recycle bin.
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}

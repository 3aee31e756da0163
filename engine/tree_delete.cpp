#include "engine/tree_delete.h"

#include "engine/paths.h"

#include <shellapi.h>

#include <cwchar>

void DeleteTree(const wchar_t* path) {
    if (!IsAbsolutePath(path)) return;
    const size_t length = wcslen(path);
    if (length >= PATH_CAPACITY) return;

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

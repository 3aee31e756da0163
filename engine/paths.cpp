#include "engine/paths.h"

#include <shlwapi.h>

#include <cwchar>

bool IsAbsolutePath(const wchar_t* path) {
    if (!path || !path[0]) return false;
    const bool driveRoot = iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0';
    return driveRoot || unc;
}

bool IsDeviceNamespacePath(const wchar_t* path) {
    // Windows takes a slash for the separator there too, and the bare prefix for the device root.
    return path && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
           (path[3] == L'\\' || path[3] == L'/' || path[3] == L'\0');
}

bool JoinPath(wchar_t (&out)[PATH_CAPACITY], const wchar_t* directory, const wchar_t* name) {
    out[0] = L'\0';
    if (!IsAbsolutePath(directory) || !name || !name[0]) return false;
    // PathCombineW fails when the result would not fit MAX_PATH units; check ourselves as well so
    // that a directory at the limit never comes back cut. A directory that already ends in a
    // backslash gets no second one.
    const size_t directoryLength = wcslen(directory);
    const size_t separator = directory[directoryLength - 1] == L'\\' ? 0 : 1;
    if (directoryLength + separator + wcslen(name) >= PATH_CAPACITY) return false;
    if (!PathCombineW(out, directory, name)) {
        out[0] = L'\0';
        return false;
    }
    return IsAbsolutePath(out);
}

bool GetSystemFolder(wchar_t (&out)[PATH_CAPACITY]) {
    const UINT length = GetSystemDirectoryW(out, PATH_CAPACITY);
    if (length > 0 && length < PATH_CAPACITY) return true;
    out[0] = L'\0';
    return false;
}

bool PathExists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool GetTempFilePath(wchar_t (&out)[PATH_CAPACITY], const wchar_t* name) {
    wchar_t tempFolder[PATH_CAPACITY] = {};
    const DWORD length = GetTempPathW(PATH_CAPACITY, tempFolder);
    if (length == 0 || length >= PATH_CAPACITY) {
        out[0] = L'\0';
        return false;
    }
    return JoinPath(out, tempFolder, name);
}

// Path joining that reports failure instead of handing on a shortened or relative path.
// All paths are NUL-terminated UTF-16 in buffers of MAX_PATH (260) units.
#pragma once

#include <windows.h>

#include <cstddef>

constexpr size_t PATH_CAPACITY = MAX_PATH;  // 260 units, terminator included

// True when path is non-empty and absolute: a drive root ("C:\...") or a UNC path ("\\server\...").
bool IsAbsolutePath(const wchar_t* path);

// True when path is in the "\\?\" or "\\.\" form (with either separator, or the bare prefix).
// Such a path passes IsAbsolutePath as a share, but the folder walk and the shell's deletion take
// it for one and miss it.
bool IsDeviceNamespacePath(const wchar_t* path);

// out = PathCombineW(directory, name). False (and out empty) when directory is not absolute or
// the result does not fit PATH_CAPACITY units. out may alias nothing else.
bool JoinPath(wchar_t (&out)[PATH_CAPACITY], const wchar_t* directory, const wchar_t* name);

// The system folder (GetSystemDirectoryW), where the tools the program starts live. False (out
// empty) when it cannot be read whole.
bool GetSystemFolder(wchar_t (&out)[PATH_CAPACITY]);

// True when something (file or folder) exists at path.
bool PathExists(const wchar_t* path);

// The user's temporary folder (GetTempPathW) joined with name. False (out empty) when the
// temporary folder cannot be read or the path does not fit.
bool GetTempFilePath(wchar_t (&out)[PATH_CAPACITY], const wchar_t* name);

// Hooks of the file functions: counted and failed like every hook, and where Wine answers
// otherwise than Windows, Windows' answer: presented reparse points (a link is reported as one and
// followed to its target unless opened as itself), a folder that holds an open file refuses to be
// renamed, failed reads and writes report no bytes, and the extended disposition can be unknown.
#include "tests/support/interposer_internal.h"

#include <cwchar>

namespace interposer::detail {
namespace {

// The extended disposition class and its flags (values of the platform's SDK; mingw-w64's
// headers lack them).
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

PresentedEntry* Presented(const std::wstring& key) {
    const auto found = S().presented.find(key);
    return found == S().presented.end() ? nullptr : &found->second;
}

DWORD ReportedAttributes(const PresentedEntry& entry) {
    DWORD attributes = entry.presentation.attributes;
    if (entry.readOnlyCleared) attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return attributes;
}

bool IsLink(const PresentedEntry& entry) {
    return (entry.presentation.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           IsReparseTagNameSurrogate(entry.presentation.tag);
}

void PresentFound(HANDLE find, WIN32_FIND_DATAW* data) {
    if (!OnArmedThread()) return;
    Guard guard;
    const auto folder = S().findFolders.find(find);
    if (folder == S().findFolders.end()) return;
    PresentedEntry* entry = Presented(folder->second + L"\\" + Key(data->cFileName));
    if (!entry) return;
    data->dwFileAttributes |= ReportedAttributes(*entry);
    data->dwReserved0 = entry->presentation.tag;
}

// A listing of pattern begins: remember its folder and whether it enters a presented entry.
void BeginListing(HANDLE find, const wchar_t* pattern) {
    if (!OnArmedThread() || find == INVALID_HANDLE_VALUE) return;
    Guard guard;  // first: what the interposer allocates is not the code under test's
    const std::wstring folder = ListedFolder(pattern);
    S().findFolders[find] = folder;
    if (Presented(folder)) S().entered.insert(folder);
}

// The presented entry that handle was opened on, or null. Called under the lock.
PresentedEntry* OpenEntry(HANDLE handle) {
    if (GetCurrentThreadId() != armedThread) return nullptr;
    const auto found = S().openFiles.find(handle);
    return found == S().openFiles.end() ? nullptr : Presented(found->second);
}

bool Below(const std::wstring& key, const std::wstring& folderKey) {
    return key.size() > folderKey.size() && key.compare(0, folderKey.size(), folderKey) == 0 &&
           key[folderKey.size()] == L'\\';
}

HANDLE(WINAPI* RealCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
DWORD(WINAPI* RealGetFileAttributesW)(LPCWSTR);

// Windows refuses to rename a folder while a file below it is open (Wine renames it): on the
// armed thread, a folder that holds a file the armed thread or Hold() keeps open is refused.
bool RenameRefused(const wchar_t* from) {
    if (!OnArmedThread()) return false;
    const DWORD attributes = RealGetFileAttributesW(from);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    Guard guard;
    const std::wstring folder = Key(from);
    for (const auto& [handle, key] : S().openFiles) {
        if (Below(key, folder)) return true;
    }
    for (const auto& [key, handle] : S().held) {
        if (Below(key, folder)) return true;
    }
    return false;
}

#define SIMPLE_HOOK(ret, name, params, args, failValue, defaultError) \
    ret(WINAPI* Real##name) params;                                \
    ret WINAPI Hook##name params {                                 \
        if (CountAndFail(#name, defaultError)) return failValue;   \
        return Real##name args;                                    \
    }

SIMPLE_HOOK(BOOL, CopyFileW, (LPCWSTR from, LPCWSTR to, BOOL failIfExists), (from, to, failIfExists), FALSE,
            ERROR_DISK_FULL)
SIMPLE_HOOK(BOOL, FlushFileBuffers, (HANDLE file), (file), FALSE, ERROR_DISK_FULL)

// A read or a write: counted, and when it fails, reporting no bytes, as Windows does.
template <typename Transfer>
BOOL Transferred(const char* function, DWORD error, LPDWORD count, Transfer transfer) {
    if (CountAndFail(function, error)) {
        if (count) *count = 0;
        return FALSE;
    }
    return transfer();
}

BOOL(WINAPI* RealReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI HookReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    return Transferred("ReadFile", ERROR_READ_FAULT, read,
                       [&] { return RealReadFile(file, buffer, size, read, overlapped); });
}

BOOL(WINAPI* RealWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI HookWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return Transferred("WriteFile", ERROR_DISK_FULL, written,
                       [&] { return RealWriteFile(file, buffer, size, written, overlapped); });
}

// A rename: counted, failed as scheduled, refused as Windows refuses it, else done by rename.
template <typename Rename>
BOOL Renamed(const char* function, LPCWSTR from, Rename rename) {
    if (CountAndFail(function, ERROR_ACCESS_DENIED)) return FALSE;
    if (RenameRefused(from)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return rename();
}

BOOL(WINAPI* RealMoveFileW)(LPCWSTR, LPCWSTR);
BOOL WINAPI HookMoveFileW(LPCWSTR from, LPCWSTR to) {
    return Renamed("MoveFileW", from, [&] { return RealMoveFileW(from, to); });
}

BOOL(WINAPI* RealMoveFileExW)(LPCWSTR, LPCWSTR, DWORD);
BOOL WINAPI HookMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return Renamed("MoveFileExW", from, [&] { return RealMoveFileExW(from, to, flags); });
}

HANDLE(WINAPI* RealFindFirstFileW)(LPCWSTR, LPWIN32_FIND_DATAW);
HANDLE WINAPI HookFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (CountAndFail("FindFirstFileW", ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
    HANDLE find = INVALID_HANDLE_VALUE;
    if (ListDeepLevel(pattern, data, &find)) return find;
    find = RealFindFirstFileW(pattern, data);
    BeginListing(find, pattern);
    if (find != INVALID_HANDLE_VALUE) PresentFound(find, data);
    return find;
}

BOOL(WINAPI* RealFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
BOOL WINAPI HookFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    if (CountAndFail("FindNextFileW", ERROR_NETNAME_DELETED)) return FALSE;
    if (IsVirtualFind(find)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    if (!RealFindNextFileW(find, data)) return FALSE;
    PresentFound(find, data);
    return TRUE;
}

BOOL(WINAPI* RealFindClose)(HANDLE);
BOOL WINAPI HookFindClose(HANDLE find) {
    if (IsVirtualFind(find)) return TRUE;
    if (OnArmedThread()) {
        Guard guard;
        S().findFolders.erase(find);
    }
    return RealFindClose(find);
}

DWORD WINAPI HookGetFileAttributesW(LPCWSTR path) {
    if (CountAndFail("GetFileAttributesW", ERROR_ACCESS_DENIED)) return INVALID_FILE_ATTRIBUTES;
    const DWORD attributes = RealGetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !OnArmedThread()) return attributes;
    Guard guard;
    const PresentedEntry* entry = Presented(Key(path));
    return entry ? attributes | ReportedAttributes(*entry) : attributes;
}

BOOL(WINAPI* RealSetFileAttributesW)(LPCWSTR, DWORD);
BOOL WINAPI HookSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    if (CountAndFail("SetFileAttributesW", ERROR_ACCESS_DENIED)) return FALSE;
    if (OnArmedThread()) {
        Guard guard;
        PresentedEntry* entry = Presented(Key(path));
        if (entry && !(attributes & FILE_ATTRIBUTE_READONLY)) entry->readOnlyCleared = true;
    }
    return RealSetFileAttributesW(path, attributes);
}

HANDLE WINAPI HookCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile) {
    if (CountAndFail("CreateFileW", ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
    if (!OnArmedThread()) return RealCreateFileW(path, access, share, security, creation, flags, templateFile);
    HANDLE virtualEntry = INVALID_HANDLE_VALUE;
    if (OpenVirtual(path, &virtualEntry)) return virtualEntry;
    bool follows = false;
    std::wstring opened;
    {
        Guard guard;
        opened = Key(path);
        const PresentedEntry* entry = Presented(opened);
        if (entry && IsLink(*entry) && !(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
            follows = true;
            opened = entry->target;
        }
    }
    if (follows && opened.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // a dangling link
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = RealCreateFileW(follows ? opened.c_str() : path, access, share, security, creation, flags,
                                        templateFile);
    if (file != INVALID_HANDLE_VALUE) {
        Guard guard;
        S().openFiles[file] = follows ? Key(opened.c_str()) : opened;
        S().openShares[file] = share;
    }
    return file;
}

// Closing never fails here: a close that failed would leave nothing the caller could do.
BOOL(WINAPI* RealCloseHandle)(HANDLE);
BOOL WINAPI HookCloseHandle(HANDLE handle) {
    if (IsVirtualOpen(handle)) return TRUE;
    if (OnArmedThread()) {
        Guard guard;
        S().openFiles.erase(handle);
        S().openShares.erase(handle);
    }
    return RealCloseHandle(handle);
}

BOOL(WINAPI* RealGetFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL WINAPI HookGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                             DWORD size) {
    if (CountAndFail("GetFileInformationByHandleEx", ERROR_ACCESS_DENIED)) return FALSE;
    if (IsVirtualOpen(handle)) return DescribeVirtual(handle, infoClass, info);
    if (!RealGetFileInformationByHandleEx(handle, infoClass, info, size)) return FALSE;
    Guard guard;
    const PresentedEntry* entry = OpenEntry(handle);
    if (entry && infoClass == FileAttributeTagInfo) {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
        tag->FileAttributes |= ReportedAttributes(*entry);
        tag->ReparseTag = entry->presentation.tag;
    }
    return TRUE;
}

BOOL(WINAPI* RealSetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL WINAPI HookSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                           DWORD size) {
    if (CountAndFail("SetFileInformationByHandle", ERROR_ACCESS_DENIED)) return FALSE;
    if (IsVirtualOpen(handle)) {
        if (infoClass == FileDispositionInfo || infoClass == DISPOSITION_INFO_EX) RemoveVirtualOpen();
        return TRUE;
    }
    bool deleteAsked = false;
    bool ignoresReadOnly = false;
    {
        Guard guard;
        if (infoClass == DISPOSITION_INFO_EX && S().refuseExtendedDisposition &&
            GetCurrentThreadId() == armedThread) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        PresentedEntry* entry = OpenEntry(handle);
        if (!entry) return RealSetFileInformationByHandle(handle, infoClass, info, size);
        if (infoClass == FileBasicInfo) {
            if (!(static_cast<FILE_BASIC_INFO*>(info)->FileAttributes & FILE_ATTRIBUTE_READONLY)) {
                entry->readOnlyCleared = true;
            }
        } else if (infoClass == FileDispositionInfo) {
            deleteAsked = static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile != FALSE;
        } else if (infoClass == DISPOSITION_INFO_EX) {
            const DWORD flags = *static_cast<const DWORD*>(info);
            deleteAsked = (flags & DISPOSITION_DELETE) != 0;
            ignoresReadOnly = (flags & DISPOSITION_IGNORE_READONLY) != 0;
        }
        if (deleteAsked && (ReportedAttributes(*entry) & FILE_ATTRIBUTE_READONLY) && !ignoresReadOnly) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (infoClass == FileBasicInfo) {
        // The bed entry itself never carries the presented attributes.
        FILE_BASIC_INFO basic = *static_cast<FILE_BASIC_INFO*>(info);
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT);
        return RealSetFileInformationByHandle(handle, infoClass, &basic, sizeof basic);
    }
    // The removal acts on the bed's stand-in through the plain record, which every Wine knows.
    FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(deleteAsked)};
    return RealSetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

BOOL(WINAPI* RealCreateDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES);
BOOL WINAPI HookCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (CountAndFail("CreateDirectoryW", ERROR_ACCESS_DENIED)) return FALSE;
    NoteCreatedFolder(path, security);
    return RealCreateDirectoryW(path, security);
}

BOOL(WINAPI* RealDeleteFileW)(LPCWSTR);
BOOL WINAPI HookDeleteFileW(LPCWSTR path) {
    if (CountAndFail("DeleteFileW", ERROR_ACCESS_DENIED)) return FALSE;
    if (RemoveVirtual(path)) return TRUE;
    return RealDeleteFileW(path);
}

BOOL(WINAPI* RealRemoveDirectoryW)(LPCWSTR);
BOOL WINAPI HookRemoveDirectoryW(LPCWSTR path) {
    if (CountAndFail("RemoveDirectoryW", ERROR_ACCESS_DENIED)) return FALSE;
    if (RemoveVirtual(path)) return TRUE;
    return RealRemoveDirectoryW(path);
}

}  // namespace

std::wstring ListedFolder(const wchar_t* pattern) {
    std::wstring folder = Key(pattern);
    const size_t separator = folder.rfind(L'\\');
    if (separator != std::wstring::npos) folder.erase(separator);
    return folder;
}

void ReleaseAllHeld() {
    Guard guard;
    for (const auto& [key, handle] : S().held) RealCloseHandle(handle);
    S().held.clear();
}

void InstallFileHooks() {
    REPLACE("kernel32.dll", FindFirstFileW);
    REPLACE("kernel32.dll", FindNextFileW);
    REPLACE("kernel32.dll", FindClose);
    REPLACE("kernel32.dll", GetFileAttributesW);
    REPLACE("kernel32.dll", SetFileAttributesW);
    REPLACE("kernel32.dll", CreateFileW);
    REPLACE("kernel32.dll", CloseHandle);
    REPLACE("kernel32.dll", GetFileInformationByHandleEx);
    REPLACE("kernel32.dll", SetFileInformationByHandle);
    REPLACE("kernel32.dll", CreateDirectoryW);
    REPLACE("kernel32.dll", DeleteFileW);
    REPLACE("kernel32.dll", RemoveDirectoryW);
    REPLACE("kernel32.dll", CopyFileW);
    REPLACE("kernel32.dll", MoveFileW);
    REPLACE("kernel32.dll", MoveFileExW);
    REPLACE("kernel32.dll", ReadFile);
    REPLACE("kernel32.dll", WriteFile);
    REPLACE("kernel32.dll", FlushFileBuffers);
}

}  // namespace interposer::detail

namespace interposer {

void Interposer::Hold(const std::wstring& path) {
    using namespace detail;
    const HANDLE file = RealCreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    Guard guard;
    S().held[Key(path.c_str())] = file;
}

bool Interposer::HeldAgainstRename(const std::wstring& path) const {
    using namespace detail;
    Guard guard;
    const std::wstring key = Key(path.c_str());
    for (const auto& [handle, opened] : S().openFiles) {
        const auto share = S().openShares.find(handle);
        if (opened == key && share != S().openShares.end() && !(share->second & FILE_SHARE_DELETE)) return true;
    }
    return false;
}

void Interposer::ReleaseHeld(const std::wstring& path) {
    using namespace detail;
    Guard guard;
    const auto found = S().held.find(Key(path.c_str()));
    if (found == S().held.end()) return;
    RealCloseHandle(found->second);
    S().held.erase(found);
}

}  // namespace interposer

#include "tests/support/interposer.h"

#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <winhttp.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>
#include <set>
#include <string>

namespace interposer {
namespace {

constexpr DWORD STATUS_NO_MEMORY_CODE = 0xC0000017;

struct Failure {
    unsigned occurrence;
    DWORD error;
};

struct PresentedEntry {
    Presentation presentation;
    bool readOnlyCleared = false;
};

// State of the armed interposer; hooks read it under the lock. Its containers allocate, and
// allocation is hooked too: while the armed thread keeps its books, its calls are not counted.
struct State {
    std::map<std::string, unsigned> calls;
    std::vector<Call> sequence;
    std::map<std::string, Failure> failures;
    std::map<std::wstring, PresentedEntry> presented;  // by Key()
    std::map<HANDLE, std::wstring> findFolders;        // listing handle -> its folder's key
    std::map<HANDLE, std::wstring> openEntries;        // file handle -> a presented entry's key
    std::set<std::wstring> entered;
    std::wstring deepFolder;  // Key() of the folder presented as deep; empty: none
    unsigned deepLevels = 0;
    unsigned virtualRemovals = 0;
    bool answerBoxes = false;
    std::vector<std::wstring> boxTexts;
    std::wstring ownModulePath;
};

State& S() {
    static State state;
    return state;
}

// Plain globals rather than members: the hooks' first test must neither allocate nor lock.
volatile DWORD armedThread = 0;
bool keepingBooks = false;  // written by the armed thread only

// A critical section, not a standard mutex: the standard one allocates on first use.
CRITICAL_SECTION& Lock() {
    static CRITICAL_SECTION* section = [] {
        static CRITICAL_SECTION made;
        InitializeCriticalSection(&made);
        return &made;
    }();
    return *section;
}

class Guard {
public:
    Guard() : armed_(GetCurrentThreadId() == armedThread) {
        EnterCriticalSection(&Lock());
        if (armed_) {
            outer_ = keepingBooks;
            keepingBooks = true;
        }
    }
    ~Guard() {
        if (armed_) keepingBooks = outer_;
        LeaveCriticalSection(&Lock());
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    bool armed_;
    bool outer_ = false;
};

// One spelling for a path: without the "\\?\" prefix, lower case, no trailing separator.
std::wstring Key(const wchar_t* path) {
    std::wstring key = path ? path : L"";
    if (key.rfind(L"\\\\?\\", 0) == 0) key.erase(0, 4);
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

bool OnArmedThread() { return armedThread != 0 && GetCurrentThreadId() == armedThread && !keepingBooks; }

// The error the failing call reports, for hooks whose failure value carries it (no thread-local:
// its storage would be allocated through the hooked allocator).
DWORD failingError = 0;  // only the armed thread fails, so one is enough

// Counts a call of function on the armed thread; true when this one is to fail (its error set
// as the last error and in failingError).
bool CountAndFail(const char* function, DWORD defaultError) {
    if (!OnArmedThread()) return false;
    Guard guard;
    const unsigned count = ++S().calls[function];
    S().sequence.push_back(Call{function, count});
    const auto failure = S().failures.find(function);
    if (failure == S().failures.end() || failure->second.occurrence != count) return false;
    failingError = failure->second.error ? failure->second.error : defaultError;
    SetLastError(failingError);
    return true;
}

// ---- Presented reparse points -------------------------------------------------------------

PresentedEntry* Presented(const std::wstring& key) {
    const auto found = S().presented.find(key);
    return found == S().presented.end() ? nullptr : &found->second;
}

DWORD ReportedAttributes(const PresentedEntry& entry) {
    DWORD attributes = entry.presentation.attributes;
    if (entry.readOnlyCleared) attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return attributes;
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

// The folder a listing pattern ("folder\*") lists.
std::wstring ListedFolder(const wchar_t* pattern) {
    std::wstring folder = Key(pattern);
    const size_t separator = folder.rfind(L'\\');
    if (separator != std::wstring::npos) folder.erase(separator);
    return folder;
}

// A listing of pattern begins: remember its folder and whether it enters a presented entry.
void BeginListing(HANDLE find, const wchar_t* pattern) {
    if (!OnArmedThread() || find == INVALID_HANDLE_VALUE) return;
    Guard guard;  // first: what the interposer allocates is not the code under test's
    const std::wstring folder = ListedFolder(pattern);
    S().findFolders[find] = folder;
    if (Presented(folder)) S().entered.insert(folder);
}

// ---- The presented deep folder ------------------------------------------------------------

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

// ---- The real functions and the hooks -----------------------------------------------------

// A hook that counts, fails as documented, and otherwise calls the real function.
#define SIMPLE_HOOK(ret, name, params, args, failValue, defaultError) \
    ret(WINAPI* Real##name) params;                                \
    ret WINAPI Hook##name params {                                 \
        if (CountAndFail(#name, defaultError)) return failValue;   \
        return Real##name args;                                    \
    }
// The same for the C runtime's functions (the platform's default calling convention).
#define CRT_HOOK(ret, name, params, args, failValue, defaultError) \
    ret (*Real##name) params;                                      \
    ret Hook##name params {                                        \
        if (CountAndFail(#name, defaultError)) return failValue;   \
        return Real##name args;                                    \
    }

// kernel32
SIMPLE_HOOK(BOOL, CopyFileW, (LPCWSTR from, LPCWSTR to, BOOL failIfExists), (from, to, failIfExists), FALSE,
            ERROR_DISK_FULL)
SIMPLE_HOOK(BOOL, CreateProcessW,
            (LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES processSecurity,
             LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR folder,
             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION created),
            (application, command, processSecurity, threadSecurity, inherit, flags, environment, folder, startup,
             created),
            FALSE, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(DWORD, GetEnvironmentVariableW, (LPCWSTR name, LPWSTR buffer, DWORD size), (name, buffer, size), 0,
            ERROR_ENVVAR_NOT_FOUND)
SIMPLE_HOOK(BOOL, GetExitCodeProcess, (HANDLE process, LPDWORD code), (process, code), FALSE, ERROR_ACCESS_DENIED)
SIMPLE_HOOK(DWORD, GetFullPathNameW, (LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file),
            (path, size, buffer, file), 0, ERROR_FILENAME_EXCED_RANGE)
SIMPLE_HOOK(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size), (buffer, size), 0, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(DWORD, GetTempPathW, (DWORD size, LPWSTR buffer), (size, buffer), 0, ERROR_ENVVAR_NOT_FOUND)
SIMPLE_HOOK(BOOL, InitializeProcThreadAttributeList,
            (LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags, PSIZE_T size), (list, count, flags, size),
            FALSE, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, UpdateProcThreadAttribute,
            (LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, PVOID value, SIZE_T size,
             PVOID previous, PSIZE_T returned),
            (list, flags, attribute, value, size, previous, returned), FALSE, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, MoveFileW, (LPCWSTR from, LPCWSTR to), (from, to), FALSE, ERROR_ACCESS_DENIED)
SIMPLE_HOOK(int, MultiByteToWideChar,
            (UINT codePage, DWORD flags, LPCCH text, int length, LPWSTR wide, int wideLength),
            (codePage, flags, text, length, wide, wideLength), 0, ERROR_NO_UNICODE_TRANSLATION)
SIMPLE_HOOK(int, WideCharToMultiByte,
            (UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR text, int length, LPCCH fallback,
             LPBOOL usedFallback),
            (codePage, flags, wide, wideLength, text, length, fallback, usedFallback), 0,
            ERROR_INSUFFICIENT_BUFFER)
SIMPLE_HOOK(BOOL, ReadFile, (HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped),
            (file, buffer, size, read, overlapped), FALSE, ERROR_READ_FAULT)
SIMPLE_HOOK(BOOL, WriteFile,
            (HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped),
            (file, buffer, size, written, overlapped), FALSE, ERROR_DISK_FULL)
SIMPLE_HOOK(HANDLE, CreateEventW, (LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name),
            (security, manual, initial, name), nullptr, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, SetEvent, (HANDLE event), (event), FALSE, ERROR_INVALID_HANDLE)
SIMPLE_HOOK(HANDLE, CreateThread,
            (LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
             DWORD flags, LPDWORD id),
            (security, stack, start, parameter, flags, id), nullptr, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds), (object, milliseconds), WAIT_FAILED,
            ERROR_INVALID_HANDLE)

// advapi32 (registry functions return their error)
SIMPLE_HOOK(LSTATUS, RegCreateKeyExW,
            (HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
             const LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition),
            (key, subKey, reserved, keyClass, options, access, security, result, disposition),
            static_cast<LSTATUS>(failingError), ERROR_ACCESS_DENIED)
SIMPLE_HOOK(LSTATUS, RegSetValueExW,
            (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size),
            (key, name, reserved, type, data, size), static_cast<LSTATUS>(failingError), ERROR_ACCESS_DENIED)
SIMPLE_HOOK(LSTATUS, RegDeleteKeyW, (HKEY key, LPCWSTR subKey), (key, subKey), static_cast<LSTATUS>(failingError),
            ERROR_ACCESS_DENIED)

// bcrypt (an NTSTATUS)
SIMPLE_HOOK(NTSTATUS, BCryptOpenAlgorithmProvider,
            (BCRYPT_ALG_HANDLE * algorithm, LPCWSTR id, LPCWSTR implementation, ULONG flags),
            (algorithm, id, implementation, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE)
SIMPLE_HOOK(NTSTATUS, BCryptCreateHash,
            (BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object, ULONG objectSize, PUCHAR secret,
             ULONG secretSize, ULONG flags),
            (algorithm, hash, object, objectSize, secret, secretSize, flags), static_cast<NTSTATUS>(failingError),
            STATUS_NO_MEMORY_CODE)
SIMPLE_HOOK(NTSTATUS, BCryptHashData, (BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size, ULONG flags),
            (hash, input, size, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE)
SIMPLE_HOOK(NTSTATUS, BCryptFinishHash, (BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size, ULONG flags),
            (hash, output, size, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE)

// ole32
SIMPLE_HOOK(HRESULT, CoInitializeEx, (LPVOID reserved, DWORD model), (reserved, model), E_OUTOFMEMORY,
            ERROR_NOT_ENOUGH_MEMORY)

// shell32 and shlwapi
SIMPLE_HOOK(int, SHCreateDirectoryExW, (HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* security),
            (owner, path, security), static_cast<int>(failingError), ERROR_ACCESS_DENIED)
SIMPLE_HOOK(HRESULT, SHGetFolderPathW, (HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path),
            (owner, csidl, token, flags, path), E_FAIL, ERROR_FILE_NOT_FOUND)
SIMPLE_HOOK(LPWSTR, PathCombineW, (LPWSTR out, LPCWSTR folder, LPCWSTR file), (out, folder, file), nullptr,
            ERROR_FILENAME_EXCED_RANGE)

// winhttp
SIMPLE_HOOK(HINTERNET, WinHttpOpen,
            (LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags),
            (agent, accessType, proxy, bypass, flags), nullptr, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, WinHttpCrackUrl, (LPCWSTR url, DWORD length, DWORD flags, LPURL_COMPONENTS parts),
            (url, length, flags, parts), FALSE, ERROR_WINHTTP_UNRECOGNIZED_SCHEME)
SIMPLE_HOOK(HINTERNET, WinHttpConnect, (HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved),
            (session, server, port, reserved), nullptr, ERROR_WINHTTP_INTERNAL_ERROR)
SIMPLE_HOOK(HINTERNET, WinHttpOpenRequest,
            (HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
             LPCWSTR* acceptTypes, DWORD flags),
            (connection, verb, object, version, referrer, acceptTypes, flags), nullptr, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, WinHttpSendRequest,
            (HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength,
             DWORD totalLength, DWORD_PTR context),
            (request, headers, headersLength, optional, optionalLength, totalLength, context), FALSE,
            ERROR_WINHTTP_CANNOT_CONNECT)
SIMPLE_HOOK(BOOL, WinHttpReceiveResponse, (HINTERNET request, LPVOID reserved), (request, reserved), FALSE,
            ERROR_WINHTTP_TIMEOUT)
SIMPLE_HOOK(BOOL, WinHttpQueryHeaders,
            (HINTERNET request, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD size, LPDWORD index),
            (request, level, name, buffer, size, index), FALSE, ERROR_WINHTTP_HEADER_NOT_FOUND)
SIMPLE_HOOK(BOOL, WinHttpReadData, (HINTERNET request, LPVOID buffer, DWORD size, LPDWORD read),
            (request, buffer, size, read), FALSE, ERROR_WINHTTP_CONNECTION_ERROR)

// msvcrt
CRT_HOOK(void*, malloc, (size_t size), (size), nullptr, ERROR_NOT_ENOUGH_MEMORY)
CRT_HOOK(void*, calloc, (size_t count, size_t size), (count, size), nullptr, ERROR_NOT_ENOUGH_MEMORY)
CRT_HOOK(wchar_t*, _wcsdup, (const wchar_t* text), (text), nullptr, ERROR_NOT_ENOUGH_MEMORY)

// The file functions that presentations change.
HANDLE(WINAPI* RealFindFirstFileW)(LPCWSTR, LPWIN32_FIND_DATAW);
BOOL(WINAPI* RealFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
BOOL(WINAPI* RealFindClose)(HANDLE);
DWORD(WINAPI* RealGetFileAttributesW)(LPCWSTR);
BOOL(WINAPI* RealSetFileAttributesW)(LPCWSTR, DWORD);
HANDLE(WINAPI* RealCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL(WINAPI* RealCloseHandle)(HANDLE);
BOOL(WINAPI* RealGetFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL(WINAPI* RealSetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL(WINAPI* RealDeleteFileW)(LPCWSTR);
BOOL(WINAPI* RealRemoveDirectoryW)(LPCWSTR);

HANDLE WINAPI HookFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (CountAndFail("FindFirstFileW", ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
    HANDLE find = INVALID_HANDLE_VALUE;
    if (ListDeepLevel(pattern, data, &find)) return find;
    find = RealFindFirstFileW(pattern, data);
    BeginListing(find, pattern);
    if (find != INVALID_HANDLE_VALUE) PresentFound(find, data);
    return find;
}

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
    const HANDLE file = RealCreateFileW(path, access, share, security, creation, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE && OnArmedThread()) {
        Guard guard;
        const std::wstring key = Key(path);
        if (Presented(key)) S().openEntries[file] = key;
    }
    return file;
}

// Closing never fails here: a close that failed would leave nothing the caller could do.
BOOL WINAPI HookCloseHandle(HANDLE handle) {
    if (OnArmedThread()) {
        Guard guard;
        S().openEntries.erase(handle);
    }
    return RealCloseHandle(handle);
}

// The presented entry that handle was opened on, or null. Called under the lock.
PresentedEntry* OpenEntry(HANDLE handle) {
    if (GetCurrentThreadId() != armedThread) return nullptr;
    const auto found = S().openEntries.find(handle);
    return found == S().openEntries.end() ? nullptr : Presented(found->second);
}

BOOL WINAPI HookGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                             DWORD size) {
    if (CountAndFail("GetFileInformationByHandleEx", ERROR_ACCESS_DENIED)) return FALSE;
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

// The extended disposition class and its flags (values of the platform's SDK; mingw-w64's
// headers lack them).
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

BOOL WINAPI HookSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                           DWORD size) {
    if (CountAndFail("SetFileInformationByHandle", ERROR_ACCESS_DENIED)) return FALSE;
    bool deleteAsked = false;
    bool ignoresReadOnly = false;
    {
        Guard guard;
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

BOOL WINAPI HookDeleteFileW(LPCWSTR path) {
    if (CountAndFail("DeleteFileW", ERROR_ACCESS_DENIED)) return FALSE;
    if (RemoveVirtual(path)) return TRUE;
    return RealDeleteFileW(path);
}

BOOL WINAPI HookRemoveDirectoryW(LPCWSTR path) {
    if (CountAndFail("RemoveDirectoryW", ERROR_ACCESS_DENIED)) return FALSE;
    if (RemoveVirtual(path)) return TRUE;
    return RealRemoveDirectoryW(path);
}

// GetModuleFileNameW: the path the test gave for our own module.
DWORD(WINAPI* RealGetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
DWORD WINAPI HookGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (CountAndFail("GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER)) return 0;
    if (module == nullptr && OnArmedThread()) {
        Guard guard;
        const std::wstring& path = S().ownModulePath;
        if (!path.empty() && size > 0) {
            const DWORD copied = static_cast<DWORD>(path.size() < size ? path.size() : size - 1);
            wmemcpy(buffer, path.c_str(), copied);
            buffer[copied] = L'\0';
            return path.size() < size ? copied : size;
        }
    }
    return RealGetModuleFileNameW(module, buffer, size);
}

// MessageBoxW: answered unseen when the test asks for it.
int(WINAPI* RealMessageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT);
int WINAPI HookMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    if (CountAndFail("MessageBoxW", ERROR_NOT_ENOUGH_MEMORY)) return 0;
    if (OnArmedThread()) {
        Guard guard;
        if (S().answerBoxes) {
            S().boxTexts.push_back(text ? text : L"");
            return (type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
        }
    }
    return RealMessageBoxW(owner, text, caption, type);
}

// ---- The shell link's methods, reached through its interface tables ------------------------

// A method hook: counted as "Interface::Method", failing with its HRESULT.
#define METHOD_HOOK(Interface, name, params, args, defaultError)                     \
    HRESULT(STDMETHODCALLTYPE* Real##name) params;                                  \
    HRESULT STDMETHODCALLTYPE Hook##name params {                                   \
        if (CountAndFail(#Interface "::" #name, static_cast<DWORD>(defaultError))) { \
            return static_cast<HRESULT>(failingError);                              \
        }                                                                           \
        return Real##name args;                                                     \
    }

METHOD_HOOK(IShellLinkW, SetPath, (IShellLinkW * link, LPCWSTR path), (link, path), E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetWorkingDirectory, (IShellLinkW * link, LPCWSTR folder), (link, folder), E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetIconLocation, (IShellLinkW * link, LPCWSTR file, int index), (link, file, index),
            E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetDescription, (IShellLinkW * link, LPCWSTR text), (link, text), E_OUTOFMEMORY)
METHOD_HOOK(IPersistFile, Save, (IPersistFile * file, LPCOLESTR path, BOOL remember), (file, path, remember),
            E_ACCESSDENIED)

// QueryInterface also clears what it hands out, as a failing QueryInterface must.
HRESULT(STDMETHODCALLTYPE* RealLinkQueryInterface)(IShellLinkW*, REFIID, void**);
HRESULT STDMETHODCALLTYPE HookLinkQueryInterface(IShellLinkW* link, REFIID iid, void** out) {
    if (CountAndFail("IShellLinkW::QueryInterface", static_cast<DWORD>(E_NOINTERFACE))) {
        *out = nullptr;
        return static_cast<HRESULT>(failingError);
    }
    return RealLinkQueryInterface(link, iid, out);
}

// Replaces slot index of an interface table by hook; the real method goes to real.
template <typename F>
void ReplaceMethod(void* object, size_t index, F hook, F* real) {
    void** table = *static_cast<void***>(object);
    if (table[index] == reinterpret_cast<void*>(hook)) return;
    DWORD protection = 0;
    VirtualProtect(&table[index], sizeof(void*), PAGE_READWRITE, &protection);
    *real = reinterpret_cast<F>(table[index]);
    table[index] = reinterpret_cast<void*>(hook);
    VirtualProtect(&table[index], sizeof(void*), protection, &protection);
}

// The shell link's tables are shared by every link of the process; they are patched once, from
// the first link made on an armed thread, and pass every other thread through.
void HookShellLink(IShellLinkW* link) {
    ReplaceMethod(link, 0, &HookLinkQueryInterface, &RealLinkQueryInterface);
    ReplaceMethod(link, 20, &HookSetPath, &RealSetPath);
    ReplaceMethod(link, 9, &HookSetWorkingDirectory, &RealSetWorkingDirectory);
    ReplaceMethod(link, 17, &HookSetIconLocation, &RealSetIconLocation);
    ReplaceMethod(link, 7, &HookSetDescription, &RealSetDescription);
    IPersistFile* file = nullptr;
    if (SUCCEEDED(RealLinkQueryInterface(link, IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        ReplaceMethod(file, 6, &HookSave, &RealSave);
        file->Release();
    }
}

HRESULT(WINAPI* RealCoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
HRESULT WINAPI HookCoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    if (CountAndFail("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY))) {
        *out = nullptr;
        return static_cast<HRESULT>(failingError);
    }
    const HRESULT result = RealCoCreateInstance(classId, outer, context, iid, out);
    if (SUCCEEDED(result) && OnArmedThread() && IsEqualIID(iid, IID_IShellLinkW)) {
        HookShellLink(static_cast<IShellLinkW*>(*out));
    }
    return result;
}

// ---- Import table ------------------------------------------------------------------------------

// Replaces the executable's import entry of dll!function by hook; the real address goes to real.
template <typename F>
void Replace(const char* dll, const char* function, F hook, F* real) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; import->Name != 0; ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            if (!*real) *real = reinterpret_cast<F>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            return;
        }
    }
    // Not imported by this executable: the code under test never calls it.
}

#define REPLACE(dll, name) Replace(dll, #name, &Hook##name, &Real##name)

void ReplaceAll() {
    static bool done = false;
    if (done) return;
    done = true;
    REPLACE("kernel32.dll", FindFirstFileW);
    REPLACE("kernel32.dll", FindNextFileW);
    REPLACE("kernel32.dll", FindClose);
    REPLACE("kernel32.dll", GetFileAttributesW);
    REPLACE("kernel32.dll", SetFileAttributesW);
    REPLACE("kernel32.dll", CreateFileW);
    REPLACE("kernel32.dll", CloseHandle);
    REPLACE("kernel32.dll", GetFileInformationByHandleEx);
    REPLACE("kernel32.dll", SetFileInformationByHandle);
    REPLACE("kernel32.dll", DeleteFileW);
    REPLACE("kernel32.dll", RemoveDirectoryW);
    REPLACE("kernel32.dll", CopyFileW);
    REPLACE("kernel32.dll", CreateProcessW);
    REPLACE("kernel32.dll", GetEnvironmentVariableW);
    REPLACE("kernel32.dll", GetExitCodeProcess);
    REPLACE("kernel32.dll", GetFullPathNameW);
    REPLACE("kernel32.dll", GetModuleFileNameW);
    REPLACE("kernel32.dll", GetSystemDirectoryW);
    REPLACE("kernel32.dll", GetTempPathW);
    REPLACE("kernel32.dll", InitializeProcThreadAttributeList);
    REPLACE("kernel32.dll", UpdateProcThreadAttribute);
    REPLACE("kernel32.dll", MoveFileW);
    REPLACE("kernel32.dll", MultiByteToWideChar);
    REPLACE("kernel32.dll", WideCharToMultiByte);
    REPLACE("kernel32.dll", ReadFile);
    REPLACE("kernel32.dll", WriteFile);
    REPLACE("kernel32.dll", CreateEventW);
    REPLACE("kernel32.dll", SetEvent);
    REPLACE("kernel32.dll", CreateThread);
    REPLACE("kernel32.dll", WaitForSingleObject);
    REPLACE("advapi32.dll", RegCreateKeyExW);
    REPLACE("advapi32.dll", RegSetValueExW);
    REPLACE("advapi32.dll", RegDeleteKeyW);
    REPLACE("bcrypt.dll", BCryptOpenAlgorithmProvider);
    REPLACE("bcrypt.dll", BCryptCreateHash);
    REPLACE("bcrypt.dll", BCryptHashData);
    REPLACE("bcrypt.dll", BCryptFinishHash);
    REPLACE("ole32.dll", CoInitializeEx);
    REPLACE("ole32.dll", CoCreateInstance);
    REPLACE("shell32.dll", SHCreateDirectoryExW);
    REPLACE("shell32.dll", SHGetFolderPathW);
    REPLACE("shlwapi.dll", PathCombineW);
    REPLACE("winhttp.dll", WinHttpOpen);
    REPLACE("winhttp.dll", WinHttpCrackUrl);
    REPLACE("winhttp.dll", WinHttpConnect);
    REPLACE("winhttp.dll", WinHttpOpenRequest);
    REPLACE("winhttp.dll", WinHttpSendRequest);
    REPLACE("winhttp.dll", WinHttpReceiveResponse);
    REPLACE("winhttp.dll", WinHttpQueryHeaders);
    REPLACE("winhttp.dll", WinHttpReadData);
    REPLACE("msvcrt.dll", malloc);
    REPLACE("msvcrt.dll", calloc);
    REPLACE("msvcrt.dll", _wcsdup);
    REPLACE("user32.dll", MessageBoxW);
}

}  // namespace

Interposer::Interposer() {
    ReplaceAll();
    Guard guard;
    S().calls.clear();
    S().sequence.clear();
    S().failures.clear();
    S().presented.clear();
    S().findFolders.clear();
    S().openEntries.clear();
    S().entered.clear();
    S().deepFolder.clear();
    S().deepLevels = 0;
    S().virtualRemovals = 0;
    S().answerBoxes = false;
    S().boxTexts.clear();
    S().ownModulePath.clear();
    armedThread = GetCurrentThreadId();
}

Interposer::~Interposer() {
    Guard guard;
    armedThread = 0;
}

void Interposer::Present(const std::wstring& path, Presentation presentation) {
    Guard guard;
    S().presented[Key(path.c_str())] = PresentedEntry{presentation};
}

void Interposer::PresentDeepFolder(const std::wstring& path, unsigned levels) {
    Guard guard;
    S().deepFolder = Key(path.c_str());
    S().deepLevels = levels;
    S().virtualRemovals = 0;
}

unsigned Interposer::VirtualRemovals() const {
    Guard guard;
    return S().virtualRemovals;
}

void Interposer::FailCall(const char* function, unsigned occurrence, DWORD error) {
    Guard guard;
    S().failures[function] = Failure{occurrence, error};
}

unsigned Interposer::Calls(const char* function) const {
    Guard guard;
    const auto found = S().calls.find(function);
    return found == S().calls.end() ? 0 : found->second;
}

std::vector<Call> Interposer::Sequence() const {
    Guard guard;
    return S().sequence;
}

bool Interposer::Entered(const std::wstring& path) const {
    Guard guard;
    return S().entered.count(Key(path.c_str())) != 0;
}

void Interposer::AnswerBoxes() {
    Guard guard;
    S().answerBoxes = true;
}

std::vector<std::wstring> Interposer::BoxTexts() const {
    Guard guard;
    return S().boxTexts;
}

void Interposer::Disarm() {
    Guard guard;
    armedThread = 0;
}

void Interposer::SetOwnModulePath(const std::wstring& path) {
    Guard guard;
    S().ownModulePath = path;
}

}  // namespace interposer

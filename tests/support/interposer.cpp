#include "tests/support/interposer.h"

#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

namespace interposer {
namespace {

struct Failure {
    unsigned occurrence;
    DWORD lastError;
};

struct PresentedEntry {
    Presentation presentation;
    bool readOnlyCleared = false;
};

// State of the armed interposer; hooks read it under the lock.
struct State {
    std::mutex lock;
    DWORD thread = 0;
    std::map<std::string, unsigned> calls;
    std::map<std::string, Failure> failures;
    std::map<std::wstring, PresentedEntry> presented;  // by Key()
    std::map<HANDLE, std::wstring> findFolders;        // listing handle -> its folder's key
    std::map<HANDLE, std::wstring> openEntries;        // file handle -> a presented entry's key
    std::map<std::wstring, bool> entered;
};

State& S() {
    static State state;
    return state;
}

// One spelling for a path: without the "\\?\" prefix, lower case, no trailing separator.
std::wstring Key(const wchar_t* path) {
    std::wstring key = path ? path : L"";
    if (key.rfind(L"\\\\?\\", 0) == 0) key.erase(0, 4);
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

bool OnArmedThread() { return S().thread != 0 && GetCurrentThreadId() == S().thread; }

// Counts a call of function on the armed thread; true when this one is to fail (lastError set).
bool CountAndFail(const char* function) {
    if (!OnArmedThread()) return false;
    std::lock_guard<std::mutex> guard(S().lock);
    const unsigned count = ++S().calls[function];
    const auto failure = S().failures.find(function);
    if (failure == S().failures.end() || failure->second.occurrence != count) return false;
    SetLastError(failure->second.lastError);
    return true;
}

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
    std::lock_guard<std::mutex> guard(S().lock);
    const auto folder = S().findFolders.find(find);
    if (folder == S().findFolders.end()) return;
    PresentedEntry* entry = Presented(folder->second + L"\\" + Key(data->cFileName));
    if (!entry) return;
    data->dwFileAttributes |= ReportedAttributes(*entry);
    data->dwReserved0 = entry->presentation.tag;
}

// A listing of pattern ("folder\*") begins: remember its folder and whether it enters a
// presented entry.
void BeginListing(HANDLE find, const wchar_t* pattern) {
    if (!OnArmedThread() || find == INVALID_HANDLE_VALUE) return;
    std::wstring folder = Key(pattern);
    const size_t separator = folder.rfind(L'\\');
    if (separator != std::wstring::npos) folder.erase(separator);
    std::lock_guard<std::mutex> guard(S().lock);
    S().findFolders[find] = folder;
    if (Presented(folder)) S().entered[folder] = true;
}

// The real functions, saved when the import entries are replaced.
HANDLE(WINAPI* RealFindFirstFileW)(LPCWSTR, LPWIN32_FIND_DATAW);
HANDLE(WINAPI* RealFindFirstFileExW)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD);
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
    if (CountAndFail("FindFirstFileW")) return INVALID_HANDLE_VALUE;
    const HANDLE find = RealFindFirstFileW(pattern, data);
    BeginListing(find, pattern);
    if (find != INVALID_HANDLE_VALUE) PresentFound(find, data);
    return find;
}

HANDLE WINAPI HookFindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS op,
                                   LPVOID filter, DWORD flags) {
    if (CountAndFail("FindFirstFileExW")) return INVALID_HANDLE_VALUE;
    const HANDLE find = RealFindFirstFileExW(pattern, level, data, op, filter, flags);
    BeginListing(find, pattern);
    if (find != INVALID_HANDLE_VALUE) PresentFound(find, static_cast<WIN32_FIND_DATAW*>(data));
    return find;
}

BOOL WINAPI HookFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    if (CountAndFail("FindNextFileW")) return FALSE;
    if (!RealFindNextFileW(find, data)) return FALSE;
    PresentFound(find, data);
    return TRUE;
}

BOOL WINAPI HookFindClose(HANDLE find) {
    if (CountAndFail("FindClose")) return FALSE;
    if (OnArmedThread()) {
        std::lock_guard<std::mutex> guard(S().lock);
        S().findFolders.erase(find);
    }
    return RealFindClose(find);
}

DWORD WINAPI HookGetFileAttributesW(LPCWSTR path) {
    if (CountAndFail("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
    const DWORD attributes = RealGetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !OnArmedThread()) return attributes;
    std::lock_guard<std::mutex> guard(S().lock);
    const PresentedEntry* entry = Presented(Key(path));
    return entry ? attributes | ReportedAttributes(*entry) : attributes;
}

BOOL WINAPI HookSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    if (CountAndFail("SetFileAttributesW")) return FALSE;
    if (OnArmedThread()) {
        std::lock_guard<std::mutex> guard(S().lock);
        PresentedEntry* entry = Presented(Key(path));
        if (entry && !(attributes & FILE_ATTRIBUTE_READONLY)) entry->readOnlyCleared = true;
    }
    return RealSetFileAttributesW(path, attributes);
}

HANDLE WINAPI HookCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile) {
    if (CountAndFail("CreateFileW")) return INVALID_HANDLE_VALUE;
    const HANDLE file = RealCreateFileW(path, access, share, security, creation, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE && OnArmedThread()) {
        std::lock_guard<std::mutex> guard(S().lock);
        const std::wstring key = Key(path);
        if (Presented(key)) S().openEntries[file] = key;
    }
    return file;
}

BOOL WINAPI HookCloseHandle(HANDLE handle) {
    if (OnArmedThread()) {
        std::lock_guard<std::mutex> guard(S().lock);
        S().openEntries.erase(handle);
    }
    return RealCloseHandle(handle);
}

// The presented entry that handle was opened on, or null.
PresentedEntry* OpenEntry(HANDLE handle) {
    if (!OnArmedThread()) return nullptr;
    const auto found = S().openEntries.find(handle);
    return found == S().openEntries.end() ? nullptr : Presented(found->second);
}

BOOL WINAPI HookGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                             DWORD size) {
    if (CountAndFail("GetFileInformationByHandleEx")) return FALSE;
    if (!RealGetFileInformationByHandleEx(handle, infoClass, info, size)) return FALSE;
    std::lock_guard<std::mutex> guard(S().lock);
    const PresentedEntry* entry = OpenEntry(handle);
    if (entry && infoClass == FileAttributeTagInfo) {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
        tag->FileAttributes |= ReportedAttributes(*entry);
        tag->ReparseTag = entry->presentation.tag;
    }
    if (entry && infoClass == FileBasicInfo) {
        static_cast<FILE_BASIC_INFO*>(info)->FileAttributes |= ReportedAttributes(*entry);
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
    if (CountAndFail("SetFileInformationByHandle")) return FALSE;
    bool deleteAsked = false;
    bool ignoresReadOnly = false;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        PresentedEntry* entry = OpenEntry(handle);
        if (entry && infoClass == FileBasicInfo) {
            if (!(static_cast<FILE_BASIC_INFO*>(info)->FileAttributes & FILE_ATTRIBUTE_READONLY)) {
                entry->readOnlyCleared = true;
            }
        } else if (entry && infoClass == FileDispositionInfo) {
            deleteAsked = static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile != FALSE;
        } else if (entry && infoClass == DISPOSITION_INFO_EX) {
            const DWORD flags = *static_cast<const DWORD*>(info);
            deleteAsked = (flags & DISPOSITION_DELETE) != 0;
            ignoresReadOnly = (flags & DISPOSITION_IGNORE_READONLY) != 0;
        } else if (!entry) {
            return RealSetFileInformationByHandle(handle, infoClass, info, size);
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
    if (CountAndFail("DeleteFileW")) return FALSE;
    return RealDeleteFileW(path);
}

BOOL WINAPI HookRemoveDirectoryW(LPCWSTR path) {
    if (CountAndFail("RemoveDirectoryW")) return FALSE;
    return RealRemoveDirectoryW(path);
}

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

void ReplaceAll() {
    static bool done = false;
    if (done) return;
    done = true;
    Replace("kernel32.dll", "FindFirstFileW", &HookFindFirstFileW, &RealFindFirstFileW);
    Replace("kernel32.dll", "FindFirstFileExW", &HookFindFirstFileExW, &RealFindFirstFileExW);
    Replace("kernel32.dll", "FindNextFileW", &HookFindNextFileW, &RealFindNextFileW);
    Replace("kernel32.dll", "FindClose", &HookFindClose, &RealFindClose);
    Replace("kernel32.dll", "GetFileAttributesW", &HookGetFileAttributesW, &RealGetFileAttributesW);
    Replace("kernel32.dll", "SetFileAttributesW", &HookSetFileAttributesW, &RealSetFileAttributesW);
    Replace("kernel32.dll", "CreateFileW", &HookCreateFileW, &RealCreateFileW);
    Replace("kernel32.dll", "CloseHandle", &HookCloseHandle, &RealCloseHandle);
    Replace("kernel32.dll", "GetFileInformationByHandleEx", &HookGetFileInformationByHandleEx,
            &RealGetFileInformationByHandleEx);
    Replace("kernel32.dll", "SetFileInformationByHandle", &HookSetFileInformationByHandle,
            &RealSetFileInformationByHandle);
    Replace("kernel32.dll", "DeleteFileW", &HookDeleteFileW, &RealDeleteFileW);
    Replace("kernel32.dll", "RemoveDirectoryW", &HookRemoveDirectoryW, &RealRemoveDirectoryW);
}

}  // namespace

Interposer::Interposer() {
    ReplaceAll();
    std::lock_guard<std::mutex> guard(S().lock);
    S().calls.clear();
    S().failures.clear();
    S().presented.clear();
    S().findFolders.clear();
    S().openEntries.clear();
    S().entered.clear();
    S().thread = GetCurrentThreadId();
}

Interposer::~Interposer() {
    std::lock_guard<std::mutex> guard(S().lock);
    S().thread = 0;
}

void Interposer::Present(const std::wstring& path, Presentation presentation) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().presented[Key(path.c_str())] = PresentedEntry{presentation};
}

void Interposer::FailCall(const char* function, unsigned occurrence, DWORD lastError) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().failures[function] = Failure{occurrence, lastError};
}

unsigned Interposer::Calls(const char* function) const {
    std::lock_guard<std::mutex> guard(S().lock);
    const auto found = S().calls.find(function);
    return found == S().calls.end() ? 0 : found->second;
}

bool Interposer::Entered(const std::wstring& path) const {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().entered.count(Key(path.c_str())) != 0;
}

}  // namespace interposer

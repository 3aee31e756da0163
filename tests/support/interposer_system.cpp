// Hooks of the plain system calls: each counts its call, fails as its documentation says when the
// schedule asks, and otherwise calls the real function; those that open something the code under
// test must close again keep account of it.
#include "tests/support/interposer_internal.h"

#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>

namespace interposer::detail {
namespace {

constexpr DWORD STATUS_NO_MEMORY_CODE = 0xC0000017;

// A hook that counts, fails as documented, and otherwise calls the real function.
#define SIMPLE_HOOK(ret, name, params, args, failValue, defaultError) \
    ret(WINAPI* Real##name) params;                                \
    ret WINAPI Hook##name params {                                 \
        if (CountAndFail(#name, defaultError)) return failValue;   \
        return Real##name args;                                    \
    }
// The same, with what the successful call opened taken into account by after (which sees
// result).
#define OPENING_HOOK(ret, name, params, args, failValue, defaultError, after) \
    ret(WINAPI* Real##name) params;                                        \
    ret WINAPI Hook##name params {                                         \
        if (CountAndFail(#name, defaultError)) return failValue;           \
        const ret result = Real##name args;                                \
        after;                                                             \
        return result;                                                     \
    }
// A closing function: never failed (a close that failed would leave the caller nothing to do),
// only taken into account.
#define CLOSING_HOOK(ret, name, params, args, books, closed) \
    ret(WINAPI* Real##name) params;                         \
    ret WINAPI Hook##name params {                          \
        Forget(S().books, closed);                          \
        return Real##name args;                             \
    }

// WinHTTP's and BCrypt's handles are all plain pointers.
void Remember(std::set<void*>& books, void* opened) {
    if (!opened || !OnArmedThread()) return;
    Guard guard;
    books.insert(opened);
}

void Forget(std::set<void*>& books, void* closed) {
    if (!closed || !Accounting()) return;
    Guard guard;
    books.erase(closed);
}

// kernel32
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
SIMPLE_HOOK(int, MultiByteToWideChar,
            (UINT codePage, DWORD flags, LPCCH text, int length, LPWSTR wide, int wideLength),
            (codePage, flags, text, length, wide, wideLength), 0, ERROR_NO_UNICODE_TRANSLATION)
SIMPLE_HOOK(int, WideCharToMultiByte,
            (UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR text, int length, LPCCH fallback,
             LPBOOL usedFallback),
            (codePage, flags, wide, wideLength, text, length, fallback, usedFallback), 0,
            ERROR_INSUFFICIENT_BUFFER)
SIMPLE_HOOK(HANDLE, CreateEventW, (LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name),
            (security, manual, initial, name), nullptr, ERROR_NOT_ENOUGH_MEMORY)
SIMPLE_HOOK(BOOL, SetEvent, (HANDLE event), (event), FALSE, ERROR_INVALID_HANDLE)
SIMPLE_HOOK(DWORD, ResumeThread, (HANDLE thread), (thread), static_cast<DWORD>(-1), ERROR_INVALID_HANDLE)
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
OPENING_HOOK(NTSTATUS, BCryptOpenAlgorithmProvider,
             (BCRYPT_ALG_HANDLE * algorithm, LPCWSTR id, LPCWSTR implementation, ULONG flags),
             (algorithm, id, implementation, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE,
             if (BCRYPT_SUCCESS(result)) Remember(S().bcryptHandles, *algorithm))
OPENING_HOOK(NTSTATUS, BCryptCreateHash,
             (BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object, ULONG objectSize,
              PUCHAR secret, ULONG secretSize, ULONG flags),
             (algorithm, hash, object, objectSize, secret, secretSize, flags), static_cast<NTSTATUS>(failingError),
             STATUS_NO_MEMORY_CODE, if (BCRYPT_SUCCESS(result)) Remember(S().bcryptHandles, *hash))
OPENING_HOOK(NTSTATUS, BCryptImportKeyPair,
             (BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType, BCRYPT_KEY_HANDLE* key,
              PUCHAR input, ULONG size, ULONG flags),
             (algorithm, importKey, blobType, key, input, size, flags), static_cast<NTSTATUS>(failingError),
             STATUS_NO_MEMORY_CODE, if (BCRYPT_SUCCESS(result)) Remember(S().bcryptHandles, *key))
SIMPLE_HOOK(NTSTATUS, BCryptHashData, (BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size, ULONG flags),
            (hash, input, size, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE)
SIMPLE_HOOK(NTSTATUS, BCryptFinishHash, (BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size, ULONG flags),
            (hash, output, size, flags), static_cast<NTSTATUS>(failingError), STATUS_NO_MEMORY_CODE)
SIMPLE_HOOK(NTSTATUS, BCryptVerifySignature,
            (BCRYPT_KEY_HANDLE key, VOID* padding, PUCHAR digest, ULONG digestSize, PUCHAR signature,
             ULONG signatureSize, ULONG flags),
            (key, padding, digest, digestSize, signature, signatureSize, flags), static_cast<NTSTATUS>(failingError),
            STATUS_NO_MEMORY_CODE)
CLOSING_HOOK(NTSTATUS, BCryptCloseAlgorithmProvider, (BCRYPT_ALG_HANDLE algorithm, ULONG flags), (algorithm, flags),
             bcryptHandles, algorithm)
CLOSING_HOOK(NTSTATUS, BCryptDestroyHash, (BCRYPT_HASH_HANDLE hash), (hash), bcryptHandles, hash)
CLOSING_HOOK(NTSTATUS, BCryptDestroyKey, (BCRYPT_KEY_HANDLE key), (key), bcryptHandles, key)

// ole32
SIMPLE_HOOK(HRESULT, CoInitializeEx, (LPVOID reserved, DWORD model), (reserved, model), E_OUTOFMEMORY,
            ERROR_NOT_ENOUGH_MEMORY)

// shell32 and shlwapi
int(WINAPI* RealSHCreateDirectoryExW)(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*);
int WINAPI HookSHCreateDirectoryExW(HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* security) {
    if (CountAndFail("SHCreateDirectoryExW", ERROR_ACCESS_DENIED)) return static_cast<int>(failingError);
    NoteCreatedFolder(path, security);
    return RealSHCreateDirectoryExW(owner, path, security);
}
SIMPLE_HOOK(HRESULT, SHGetFolderPathW, (HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path),
            (owner, csidl, token, flags, path), E_FAIL, ERROR_FILE_NOT_FOUND)
SIMPLE_HOOK(LPWSTR, PathCombineW, (LPWSTR out, LPCWSTR folder, LPCWSTR file), (out, folder, file), nullptr,
            ERROR_FILENAME_EXCED_RANGE)

// winhttp
OPENING_HOOK(HINTERNET, WinHttpOpen, (LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags),
             (agent, accessType, proxy, bypass, flags), nullptr, ERROR_NOT_ENOUGH_MEMORY,
             Remember(S().internetHandles, result))
SIMPLE_HOOK(BOOL, WinHttpCrackUrl, (LPCWSTR url, DWORD length, DWORD flags, LPURL_COMPONENTS parts),
            (url, length, flags, parts), FALSE, ERROR_WINHTTP_UNRECOGNIZED_SCHEME)
OPENING_HOOK(HINTERNET, WinHttpConnect, (HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved),
             (session, server, port, reserved), nullptr, ERROR_WINHTTP_INTERNAL_ERROR,
             Remember(S().internetHandles, result))
OPENING_HOOK(HINTERNET, WinHttpOpenRequest,
             (HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
              LPCWSTR* acceptTypes, DWORD flags),
             (connection, verb, object, version, referrer, acceptTypes, flags), nullptr, ERROR_NOT_ENOUGH_MEMORY,
             Remember(S().internetHandles, result))
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
CLOSING_HOOK(BOOL, WinHttpCloseHandle, (HINTERNET handle), (handle), internetHandles, handle)

// user32: a post fails as it does when the receiving thread's queue is full.
SIMPLE_HOOK(BOOL, PostMessageW, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),
            (window, message, wParam, lParam), FALSE, ERROR_NOT_ENOUGH_QUOTA)

// msvcrt (the platform's default calling convention); every block the armed thread gets is
// kept in the books until some thread frees it.
void* TrackBlock(void* block) {
    if (block && OnArmedThread()) {
        Guard guard;
        S().heapBlocks.insert(block);
    }
    return block;
}

void* (*Realmalloc)(size_t);
void* Hookmalloc(size_t size) {
    if (CountAndFail("malloc", ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
    return TrackBlock(Realmalloc(size));
}
void* (*Realcalloc)(size_t, size_t);
void* Hookcalloc(size_t count, size_t size) {
    if (CountAndFail("calloc", ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
    return TrackBlock(Realcalloc(count, size));
}
wchar_t* (*Real_wcsdup)(const wchar_t*);
wchar_t* Hook_wcsdup(const wchar_t* text) {
    if (CountAndFail("_wcsdup", ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
    return static_cast<wchar_t*>(TrackBlock(Real_wcsdup(text)));
}
void (*Realfree)(void*);
void Hookfree(void* block) {
    if (block && Accounting()) {
        Guard guard;
        S().heapBlocks.erase(block);
    }
    Realfree(block);
}

// GetModuleFileNameW: the path the test gave for our own module, and a buffer too small for the
// path cut as Windows cuts it (size - 1 units and the terminator, the size returned,
// ERROR_INSUFFICIENT_BUFFER), which Wine does differently.
constexpr DWORD LONGEST_PATH = 32768;
wchar_t modulePath[LONGEST_PATH];  // the armed thread's only

DWORD(WINAPI* RealGetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
DWORD WINAPI HookGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (CountAndFail("GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER)) return 0;
    if (!OnArmedThread()) return RealGetModuleFileNameW(module, buffer, size);
    DWORD length = 0;
    {
        Guard guard;
        const std::wstring& own = S().ownModulePath;
        if (module == nullptr && !own.empty() && own.size() < LONGEST_PATH) {
            length = static_cast<DWORD>(own.size());
            wmemcpy(modulePath, own.c_str(), length + 1);
        }
    }
    if (length == 0) {
        length = RealGetModuleFileNameW(module, modulePath, LONGEST_PATH);
        if (length == 0 || length >= LONGEST_PATH) return length == 0 ? 0 : RealGetModuleFileNameW(module, buffer, size);
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length < size) {
        wmemcpy(buffer, modulePath, length + 1);
        return length;
    }
    wmemcpy(buffer, modulePath, size - 1);
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
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

}  // namespace

void InstallSystemHooks() {
    REPLACE("kernel32.dll", CreateProcessW);
    REPLACE("kernel32.dll", GetEnvironmentVariableW);
    REPLACE("kernel32.dll", GetExitCodeProcess);
    REPLACE("kernel32.dll", GetFullPathNameW);
    REPLACE("kernel32.dll", GetModuleFileNameW);
    REPLACE("kernel32.dll", GetSystemDirectoryW);
    REPLACE("kernel32.dll", GetTempPathW);
    REPLACE("kernel32.dll", InitializeProcThreadAttributeList);
    REPLACE("kernel32.dll", UpdateProcThreadAttribute);
    REPLACE("kernel32.dll", MultiByteToWideChar);
    REPLACE("kernel32.dll", WideCharToMultiByte);
    REPLACE("kernel32.dll", CreateEventW);
    REPLACE("kernel32.dll", SetEvent);
    REPLACE("kernel32.dll", ResumeThread);
    REPLACE("kernel32.dll", CreateThread);
    REPLACE("kernel32.dll", WaitForSingleObject);
    REPLACE("advapi32.dll", RegCreateKeyExW);
    REPLACE("advapi32.dll", RegSetValueExW);
    REPLACE("advapi32.dll", RegDeleteKeyW);
    REPLACE("bcrypt.dll", BCryptOpenAlgorithmProvider);
    REPLACE("bcrypt.dll", BCryptCreateHash);
    REPLACE("bcrypt.dll", BCryptImportKeyPair);
    REPLACE("bcrypt.dll", BCryptHashData);
    REPLACE("bcrypt.dll", BCryptFinishHash);
    REPLACE("bcrypt.dll", BCryptVerifySignature);
    REPLACE("bcrypt.dll", BCryptCloseAlgorithmProvider);
    REPLACE("bcrypt.dll", BCryptDestroyHash);
    REPLACE("bcrypt.dll", BCryptDestroyKey);
    REPLACE("ole32.dll", CoInitializeEx);
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
    REPLACE("winhttp.dll", WinHttpCloseHandle);
    REPLACE("user32.dll", PostMessageW);
    REPLACE("user32.dll", MessageBoxW);
    REPLACE("msvcrt.dll", malloc);
    REPLACE("msvcrt.dll", calloc);
    REPLACE("msvcrt.dll", _wcsdup);
    REPLACE("msvcrt.dll", free);
}

}  // namespace interposer::detail

#include "bench/bare_loops.h"

#include "engine/download.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/payload.h"

#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr ULONG DIGEST_BYTES = 32;

// Static and of the engine's sizes, as the engine's buffers are: one contender runs at a time.
unsigned char downloadBuffer[DOWNLOAD_BUFFER_SIZE];
UCHAR hashBuffer[HASH_BUFFER_BYTES];

}  // namespace

int64_t BareDownload(const wchar_t* url, const wchar_t* targetPath) {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host;
    components.dwHostNameLength = 256;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url, 0, 0, &components)) return -1;
    const bool secure = components.nScheme == INTERNET_SCHEME_HTTPS;

    // Declared in the reverse of their closing order: request, connection, session.
    OwnedInternet session(WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return -1;
    OwnedInternet connection(WinHttpConnect(session.get(), host, components.nPort, 0));
    if (!connection) return -1;
    OwnedInternet request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return -1;
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return -1;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    wchar_t lengthText[32] = {};
    size = sizeof lengthText;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, lengthText, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (status != 200) return -1;

    OwnedFile file(CreateFileW(targetPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return -1;
    int64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), downloadBuffer, DOWNLOAD_BUFFER_SIZE, &got) || got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file.get(), downloadBuffer, got, &written, nullptr) || written != got) return -1;
        received += got;
    }
    // The same completeness rule as the product: a given length must be met.
    const int64_t expected = _wtoi64(lengthText);
    if (expected > 0 && received != expected) return -1;
    return received;
}

std::wstring BareHash(const wchar_t* path) {
    OwnedHashAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return L"";
    OwnedHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return L"";
    {
        OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file) return L"";
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file.get(), hashBuffer, HASH_BUFFER_BYTES, &got, nullptr) || got == 0) break;
            BCryptHashData(hash.get(), hashBuffer, got, 0);
        }
    }
    UCHAR digest[DIGEST_BYTES] = {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, DIGEST_BYTES, 0))) return L"";
    wchar_t text[2 * DIGEST_BYTES + 1] = {};
    for (ULONG i = 0; i < DIGEST_BYTES; ++i) _snwprintf_s(text + 2 * i, 3, _TRUNCATE, L"%02x", digest[i]);
    return text;
}

bool BareTar(const wchar_t* archivePath, const wchar_t* targetDir) {
    wchar_t systemFolder[MAX_PATH] = {};
    if (!GetSystemDirectoryW(systemFolder, MAX_PATH)) return false;
    wchar_t commandLine[4096] = {};
    _snwprintf_s(commandLine, _TRUNCATE, L"\"%ls\\tar.exe\" -xf \"%ls\" -C \"%ls\"", systemFolder, archivePath,
                 targetDir);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    OwnedKernelHandle processHandle(process.hProcess);
    OwnedKernelHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD exitCode = 1;
    return GetExitCodeProcess(processHandle.get(), &exitCode) && exitCode == 0;
}

int64_t ReadWholeFile(const wchar_t* path) {
    OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                               nullptr));
    if (!file) return -1;
    int64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), hashBuffer, HASH_BUFFER_BYTES, &got, nullptr) || got == 0) break;
        total += got;
    }
    return total;
}

int64_t FileSize(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

#include "engine/download.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"

#include <bcrypt.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

constexpr size_t HOST_CAPACITY = 256;
constexpr size_t URL_PATH_CAPACITY = 2048;
constexpr size_t STATUS_LINE_CAPACITY = 160;
constexpr ULONGLONG REPORT_INTERVAL_MS = 150;

// Every read lands here; one download runs at a time (one worker at a time).
unsigned char downloadBuffer[DOWNLOAD_BUFFER_SIZE];

struct UrlParts {
    wchar_t host[HOST_CAPACITY];
    wchar_t path[URL_PATH_CAPACITY];
    INTERNET_PORT port;
    bool secure;
};

bool SplitUrl(const wchar_t* url, UrlParts& parts) {
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts.host;
    components.dwHostNameLength = HOST_CAPACITY;
    components.lpszUrlPath = parts.path;
    components.dwUrlPathLength = URL_PATH_CAPACITY;
    if (!WinHttpCrackUrl(url, 0, 0, &components)) return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) return false;
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

// Content-Length as an unsigned 64-bit decimal: leading white space skipped, stops at the first
// non-digit, saturates at the largest value. Text without digits gives 0.
uint64_t ParseContentLength(const wchar_t* text) {
    while (*text == L' ' || *text == L'\t' || *text == L'\r' || *text == L'\n' || *text == L'\v' || *text == L'\f') {
        ++text;
    }
    uint64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - L'0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

DWORD QueryStatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    return status;
}

// 0 when the header is missing, unreadable or says 0: no length was given.
uint64_t QueryExpectedLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    text[31] = L'\0';
    return ParseContentLength(text);
}

void Report(uint64_t received, uint64_t expected) {
    wchar_t line[STATUS_LINE_CAPACITY] = {};
    if (expected != 0) {
        const uint64_t perMille = received * 1000 / expected;
        PostProgress(static_cast<int>(static_cast<int32_t>(perMille)));
        _snwprintf_s(line, _TRUNCATE, L"%ls 내려받는 중  %llu / %llu MB", installState.downloadLabel,
                     static_cast<unsigned long long>(received >> 20), static_cast<unsigned long long>(expected >> 20));
    } else {
        _snwprintf_s(line, _TRUNCATE, L"%ls 내려받는 중  %llu MB", installState.downloadLabel,
                     static_cast<unsigned long long>(received >> 20));
    }
    PostStatus(line);
}

void SetError(wchar_t* errorText, size_t errorCapacity, const wchar_t* text) {
    if (errorText && errorCapacity > 0) _snwprintf_s(errorText, errorCapacity, _TRUNCATE, L"%ls", text);
}

struct TransferResult {
    uint64_t received = 0;
    bool readFailed = false;
    bool writeFailed = false;
};

// Reads until the data ends, a read or a write fails or a cancel request is seen.
TransferResult Transfer(HINTERNET request, HANDLE file, uint64_t expected, BCRYPT_HASH_HANDLE hash) {
    TransferResult result;
    ULONGLONG lastReport = 0;
    while (!installState.cancelRequested.load()) {
        DWORD got = 0;
        // Only a successful read of nothing is the end of the body. A failed one is a broken
        // stream, whether or not a length would have told: a chunked body has none.
        if (!WinHttpReadData(request, downloadBuffer, DOWNLOAD_BUFFER_SIZE, &got)) {
            result.readFailed = true;
            break;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, downloadBuffer, got, &written, nullptr) || written != got) {
            result.writeFailed = true;
            break;
        }
        if (hash && !BCRYPT_SUCCESS(BCryptHashData(hash, downloadBuffer, got, 0))) {
            result.writeFailed = true;
            break;
        }
        result.received += got;
        const ULONGLONG now = GetTickCount64();
        if (now - lastReport > REPORT_INTERVAL_MS) {
            lastReport = now;
            Report(result.received, expected);
        }
    }
    return result;
}

}  // namespace

bool DownloadToFile(const wchar_t* url, const wchar_t* targetPath, wchar_t* errorText, size_t errorCapacity,
                    void* hash) {
    UrlParts parts = {};
    if (!SplitUrl(url, parts)) {
        SetError(errorText, errorCapacity, L"주소 해석 실패");
        return false;
    }

    // Declared in the reverse of their closing order: the request, then the connection, then the session.
    OwnedInternet session(WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        SetError(errorText, errorCapacity, L"네트워크 초기화 실패");
        return false;
    }
    OwnedInternet connection;
    OwnedInternet request;
    bool connected = false;
    connection = OwnedInternet(WinHttpConnect(session.get(), parts.host, parts.port, 0));
    if (connection) {
        request = OwnedInternet(WinHttpOpenRequest(connection.get(), L"GET", parts.path, nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   parts.secure ? WINHTTP_FLAG_SECURE : 0));
    }
    if (request) {
        connected = WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                       0) &&
                    WinHttpReceiveResponse(request.get(), nullptr);
    }
    if (!connected) {
        SetError(errorText, errorCapacity, L"서버에 연결할 수 없습니다 (인터넷 연결 확인)");
        return false;
    }

    const DWORD status = QueryStatusCode(request.get());
    const uint64_t expected = QueryExpectedLength(request.get());
    if (status != 200) {
        if (errorText && errorCapacity > 0) {
            _snwprintf_s(errorText, errorCapacity, _TRUNCATE, L"서버 응답 %lu", static_cast<unsigned long>(status));
        }
        return false;
    }

    TransferResult transfer;
    {
        OwnedFile file(CreateFileW(targetPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            SetError(errorText, errorCapacity, L"임시 파일을 만들 수 없습니다");
            return false;
        }
        transfer = Transfer(request.get(), file.get(), expected, static_cast<BCRYPT_HASH_HANDLE>(hash));
    }  // the file is closed before the request, the connection and the session

    if (installState.cancelRequested.load()) {
        SetError(errorText, errorCapacity, L"취소됨");
        return false;
    }
    if (transfer.writeFailed) {
        SetError(errorText, errorCapacity, L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)");
        return false;
    }
    if (transfer.readFailed || (expected != 0 && transfer.received != expected)) {
        SetError(errorText, errorCapacity, L"다운로드가 중간에 끊겼습니다");
        return false;
    }
    return true;
}

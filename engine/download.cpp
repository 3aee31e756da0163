#include "engine/download.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/setup_log.h"

#include <bcrypt.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

constexpr size_t HOST_CAPACITY = 256;
constexpr size_t URL_PATH_CAPACITY = 2048;
constexpr size_t STATUS_LINE_CAPACITY = 160;
constexpr ULONGLONG REPORT_INTERVAL_MS = 150;

// Every read lands in one of these, in turns, so that the chunk before stays whole while it is
// hashed; one download runs at a time (one worker at a time).
unsigned char downloadBuffers[2][DOWNLOAD_BUFFER_SIZE];

constexpr wchar_t LOG_STAGE[] = L"download";

// Logs the thread's last error when succeeded is false; returns succeeded. Called with the call
// itself as its argument, so that nothing runs between the call and the reading of its error.
bool Checked(bool succeeded, const wchar_t* call, const wchar_t* url) {
    if (!succeeded) LogFailedCall(LOG_STAGE, call, url, GetLastError());
    return succeeded;
}

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
    if (!Checked(WinHttpCrackUrl(url, 0, 0, &components), L"WinHttpCrackUrl", url)) return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) {
        LogEventAbout(LOG_STAGE, L"URL", url, L"failed | neither HTTP nor HTTPS");
        return false;
    }
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

// The response's status; 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request, const wchar_t* url) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!Checked(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX),
                 L"WinHttpQueryHeaders status", url)) {
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

// Feeds a BCrypt hash on a thread of its own, one chunk at a time, while the download reads and
// writes the next chunk: under Wine, BCrypt's SHA-256 takes more than half the time of receiving
// the same bytes, and hashed in turn with the reads it would lengthen every checked download by
// that much. Without a thread (CreateThread failed) each chunk is hashed on the caller's thread.
// The destructor ends the thread, so nothing of the transfer is used after it.
class ChunkHasher {
public:
    explicit ChunkHasher(BCRYPT_HASH_HANDLE hash) : hash_(hash) {
        if (!hash_) return;
        chunkReady_ = OwnedKernelHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        chunkDone_ = OwnedKernelHandle(CreateEventW(nullptr, FALSE, TRUE, nullptr));
        if (chunkReady_ && chunkDone_) thread_ = OwnedKernelHandle(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    ChunkHasher(const ChunkHasher&) = delete;
    ChunkHasher& operator=(const ChunkHasher&) = delete;
    ~ChunkHasher() {
        if (!thread_) return;
        stopping_ = true;
        // The thread uses this object until it ends: a call that fails is made again, up to three
        // calls in all.
        constexpr unsigned calls = 3;
        for (unsigned made = 1; !SetEvent(chunkReady_.get()) && made < calls; ++made) {
            LogRetry(LOG_STAGE, L"SetEvent for the hashing thread", made, GetLastError());
        }
        for (unsigned made = 1; WaitForSingleObject(thread_.get(), INFINITE) != WAIT_OBJECT_0 && made < calls; ++made) {
            LogRetry(LOG_STAGE, L"WaitForSingleObject for the hashing thread", made, GetLastError());
        }
    }

    // Hands over the chunk after the one before it is hashed; the caller leaves the chunk alone
    // until the next Add or Finish returns. False once hashing a chunk has failed, or when a
    // chunk cannot be known to be hashed (a wait or a hand-over failed): the digest is unknown.
    bool Add(const unsigned char* data, DWORD size) {
        if (!hash_) return true;
        if (!thread_) return BCRYPT_SUCCESS(BCryptHashData(hash_, const_cast<unsigned char*>(data), size, 0));
        if (WaitForSingleObject(chunkDone_.get(), INFINITE) != WAIT_OBJECT_0 || failed_) return false;
        chunk_ = data;
        chunkSize_ = size;
        return SetEvent(chunkReady_.get()) != 0;
    }
    // Waits until every chunk handed over is hashed; false when one failed. The last call.
    bool Finish() {
        if (!thread_) return true;
        return WaitForSingleObject(chunkDone_.get(), INFINITE) == WAIT_OBJECT_0 && !failed_;
    }

private:
    static DWORD WINAPI Run(LPVOID self) {
        auto* hasher = static_cast<ChunkHasher*>(self);
        for (;;) {
            WaitForSingleObject(hasher->chunkReady_.get(), INFINITE);
            if (hasher->stopping_) return 0;
            if (!BCRYPT_SUCCESS(BCryptHashData(hasher->hash_, const_cast<unsigned char*>(hasher->chunk_),
                                               hasher->chunkSize_, 0))) {
                hasher->failed_ = true;
            }
            SetEvent(hasher->chunkDone_.get());
        }
    }

    BCRYPT_HASH_HANDLE hash_;
    // Written by one thread while the other waits for the event that hands it over.
    const unsigned char* chunk_ = nullptr;
    DWORD chunkSize_ = 0;
    bool failed_ = false;
    std::atomic<bool> stopping_{false};  // set once, by the destructor, before its last hand-over
    OwnedKernelHandle chunkReady_;
    OwnedKernelHandle chunkDone_;
    OwnedKernelHandle thread_;  // declared last: the thread ends (destructor) before the events close
};

struct TransferResult {
    uint64_t received = 0;
    bool readFailed = false;
    bool writeFailed = false;
    const wchar_t* failedCall = nullptr;  // for the log: the call that ended the transfer, and its error
    DWORD error = 0;
};

void Fail(TransferResult& result, bool& flag, const wchar_t* call, DWORD error) {
    flag = true;
    result.failedCall = call;
    result.error = error;
}

// Reads until the data ends, a read or a write fails or a cancel request is seen.
TransferResult Transfer(HINTERNET request, HANDLE file, uint64_t expected, BCRYPT_HASH_HANDLE hash) {
    TransferResult result;
    ChunkHasher hasher(hash);
    ULONGLONG lastReport = 0;
    for (int turn = 0; !installState.cancelRequested.load(); turn ^= 1) {
        unsigned char* buffer = downloadBuffers[turn];
        DWORD got = 0;
        // Only a successful read of nothing is the end of the body. A failed one is a broken
        // stream, whether or not a length would have told: a chunked body has none.
        if (!WinHttpReadData(request, buffer, DOWNLOAD_BUFFER_SIZE, &got)) {
            Fail(result, result.readFailed, L"WinHttpReadData", GetLastError());
            break;
        }
        if (got == 0) {
            if (!hasher.Finish()) Fail(result, result.writeFailed, L"hashing the received bytes", GetLastError());
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, nullptr)) {
            Fail(result, result.writeFailed, L"WriteFile", GetLastError());
            break;
        }
        if (written != got) {
            Fail(result, result.writeFailed, L"WriteFile wrote less than asked", GetLastError());
            break;
        }
        if (!hasher.Add(buffer, got)) {
            Fail(result, result.writeFailed, L"hashing the received bytes", GetLastError());
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

// The end of a transfer that stopped short, for the log.
void LogTransferEnd(const wchar_t* url, const TransferResult& transfer, uint64_t expected) {
    if (transfer.failedCall) {
        LogFailedCall(LOG_STAGE, transfer.failedCall, url, transfer.error);
    } else if (expected != 0 && transfer.received != expected) {
        wchar_t result[96] = {};
        _snwprintf_s(result, _TRUNCATE, L"failed | %llu of %llu bytes",
                     static_cast<unsigned long long>(transfer.received), static_cast<unsigned long long>(expected));
        LogEventAbout(LOG_STAGE, L"body ended early", url, result);
    }
}

// Opens the session, the connection and the request and has the response's headers arrive.
// False (logged) when any of them fails.
bool Connect(const wchar_t* url, const UrlParts& parts, OwnedInternet& session, OwnedInternet& connection,
             OwnedInternet& request) {
    session = OwnedInternet(WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
    if (!Checked(static_cast<bool>(session), L"WinHttpOpen", url)) return false;
    connection = OwnedInternet(WinHttpConnect(session.get(), parts.host, parts.port, 0));
    if (!Checked(static_cast<bool>(connection), L"WinHttpConnect", url)) return false;
    request = OwnedInternet(WinHttpOpenRequest(connection.get(), L"GET", parts.path, nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, parts.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!Checked(static_cast<bool>(request), L"WinHttpOpenRequest", url)) return false;
    return Checked(WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                      0),
                   L"WinHttpSendRequest", url) &&
           Checked(WinHttpReceiveResponse(request.get(), nullptr), L"WinHttpReceiveResponse", url);
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
    OwnedInternet session;
    OwnedInternet connection;
    OwnedInternet request;
    if (!Connect(url, parts, session, connection, request)) {
        SetError(errorText, errorCapacity,
                 session ? L"서버에 연결할 수 없습니다 (인터넷 연결 확인)" : L"네트워크 초기화 실패");
        return false;
    }

    const DWORD status = QueryStatusCode(request.get(), url);
    const uint64_t expected = QueryExpectedLength(request.get());
    if (status == 0) {
        // No status could be read: the response never properly arrived, whatever the server
        // meant; "서버 응답 0" would name a status no server sent.
        SetError(errorText, errorCapacity, L"서버에 연결할 수 없습니다 (인터넷 연결 확인)");
        return false;
    }
    if (status != 200) {
        wchar_t result[32] = {};
        _snwprintf_s(result, _TRUNCATE, L"failed | status %lu", static_cast<unsigned long>(status));
        LogEventAbout(LOG_STAGE, L"GET", url, result);
        if (errorText && errorCapacity > 0) {
            _snwprintf_s(errorText, errorCapacity, _TRUNCATE, L"서버 응답 %lu", static_cast<unsigned long>(status));
        }
        return false;
    }

    TransferResult transfer;
    {
        OwnedFile file(CreateFileW(targetPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!Checked(static_cast<bool>(file), L"CreateFileW", targetPath)) {
            SetError(errorText, errorCapacity, L"임시 파일을 만들 수 없습니다");
            return false;
        }
        transfer = Transfer(request.get(), file.get(), expected, static_cast<BCRYPT_HASH_HANDLE>(hash));
    }  // the file is closed before the request, the connection and the session

    if (installState.cancelRequested.load()) {
        LogEventAbout(LOG_STAGE, L"GET", url, L"cancelled");
        SetError(errorText, errorCapacity, L"취소됨");
        return false;
    }
    LogTransferEnd(url, transfer, expected);
    if (transfer.writeFailed) {
        SetError(errorText, errorCapacity, L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)");
        return false;
    }
    if (transfer.readFailed || (expected != 0 && transfer.received != expected)) {
        SetError(errorText, errorCapacity, L"다운로드가 중간에 끊겼습니다");
        return false;
    }
    wchar_t result[48] = {};
    _snwprintf_s(result, _TRUNCATE, L"ok | %llu bytes", static_cast<unsigned long long>(transfer.received));
    LogEventAbout(LOG_STAGE, L"GET", url, result);
    return true;
}

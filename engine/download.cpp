#include "engine/download.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"
#include "engine/sha256.h"
#include "engine/transient_retry.h"

#include <bcrypt.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>

DWORD downloadResumeBaseMs = DOWNLOAD_RESUME_BASE_MS;

namespace {

constexpr size_t HOST_CAPACITY = 256;
constexpr size_t VALIDATOR_CAPACITY = 128;
constexpr size_t HEADER_TEXT_CAPACITY = 128;
constexpr size_t ERROR_TEXT_CAPACITY = 96;
constexpr size_t RECORD_PATH_CAPACITY = PATH_CAPACITY + 8;
constexpr wchar_t CORRUPTION_TEXT[] = L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요.";
constexpr wchar_t CUT_TEXT[] = L"다운로드가 중간에 끊겼습니다";
constexpr wchar_t CONNECT_TEXT[] = L"서버에 연결할 수 없습니다 (인터넷 연결 확인)";
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

// A header's text into out; false (out empty) when it is missing or does not fit.
bool QueryHeaderText(HINTERNET request, DWORD header, wchar_t (&out)[HEADER_TEXT_CAPACITY]) {
    wmemset(out, L'\0', HEADER_TEXT_CAPACITY);
    DWORD size = sizeof out - sizeof out[0];
    if (WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, out, &size, WINHTTP_NO_HEADER_INDEX)) {
        return true;
    }
    out[0] = L'\0';
    return false;
}

// 0 when the header is missing, unreadable or says 0: no length was given.
uint64_t QueryExpectedLength(HINTERNET request) {
    wchar_t text[HEADER_TEXT_CAPACITY];
    return QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, text) ? ParseContentLength(text) : 0;
}

// "bytes A-B/T": the first byte A and the whole length T (0 when "*" or unreadable). False when
// the header is missing or does not start with a range.
bool QueryContentRange(HINTERNET request, uint64_t& first, uint64_t& total) {
    wchar_t text[HEADER_TEXT_CAPACITY];
    if (!QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, text) || wcsncmp(text, L"bytes ", 6) != 0) return false;
    const wchar_t* digits = text + 6;
    if (*digits < L'0' || *digits > L'9') return false;
    first = ParseContentLength(digits);
    const wchar_t* slash = wcschr(digits, L'/');
    total = slash ? ParseContentLength(slash + 1) : 0;
    return true;
}

// "bytes */T" of a 416: the whole length T. False when the header is missing or says otherwise.
bool QueryUnsatisfiedRangeTotal(HINTERNET request, uint64_t& total) {
    wchar_t text[HEADER_TEXT_CAPACITY];
    if (!QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, text) || wcsncmp(text, L"bytes */", 8) != 0) return false;
    total = ParseContentLength(text + 8);
    return total != 0;
}

// Seconds of a Retry-After given as a number, at most the limit; 0 when absent or a date.
DWORD QueryRetryAfterSeconds(HINTERNET request) {
    wchar_t text[HEADER_TEXT_CAPACITY];
    if (!QueryHeaderText(request, WINHTTP_QUERY_RETRY_AFTER, text)) return 0;
    const uint64_t seconds = ParseContentLength(text);
    return static_cast<DWORD>(seconds < DOWNLOAD_RETRY_AFTER_LIMIT_S ? seconds : DOWNLOAD_RETRY_AFTER_LIMIT_S);
}

// What a later range request may carry in If-Range: a strong ETag, else (unless strongOnly) the
// Last-Modified date. Empty when the response has neither: such a transfer can only start over.
void QueryValidator(HINTERNET request, bool strongOnly, wchar_t (&out)[VALIDATOR_CAPACITY]) {
    out[0] = L'\0';
    wchar_t text[HEADER_TEXT_CAPACITY];
    if (QueryHeaderText(request, WINHTTP_QUERY_ETAG, text) && text[0] == L'"') {
        wcscpy_s(out, text);
        return;
    }
    if (!strongOnly && QueryHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED, text)) wcscpy_s(out, text);
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
        if (broken_ || WaitForSingleObject(chunkDone_.get(), INFINITE) != WAIT_OBJECT_0 || failed_) {
            broken_ = true;
            return false;
        }
        chunk_ = data;
        chunkSize_ = size;
        broken_ = SetEvent(chunkReady_.get()) == 0;
        return !broken_;
    }
    // Waits until every chunk handed over is hashed; false when one failed, or when a hand-over
    // failed (nothing would ever say that chunk is done). The last call.
    bool Finish() {
        if (!thread_) return true;
        if (broken_) return false;
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
    bool broken_ = false;  // a wait or a hand-over failed: the hashing thread's state is unknown
    std::atomic<bool> stopping_{false};  // set once, by the destructor, before its last hand-over
    OwnedKernelHandle chunkReady_;
    OwnedKernelHandle chunkDone_;
    OwnedKernelHandle thread_;  // declared last: the thread ends (destructor) before the events close
};


struct TransferResult {
    uint64_t received = 0;
    bool readFailed = false;
    bool writeFailed = false;
    bool pastEnd = false;  // the body ran past the length it may have
    const wchar_t* failedCall = nullptr;  // for the log: the call that ended the transfer, and its error
    DWORD error = 0;
};

void Fail(TransferResult& result, bool& flag, const wchar_t* call, DWORD error) {
    flag = true;
    result.failedCall = call;
    result.error = error;
}

// Reads until the data ends, a read or a write fails, the body runs past limit bytes (0: no
// limit) or a cancel request is seen. start: the bytes already in the file, for the reports.
// Every byte written has been hashed by the time it returns.
TransferResult Transfer(HINTERNET request, HANDLE file, uint64_t start, uint64_t total, uint64_t limit,
                        BCRYPT_HASH_HANDLE hash) {
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
        if (got == 0) break;
        // What lies past the limit is never written: the bytes up to it are, then the transfer ends.
        const bool pastEnd = limit != 0 && got > limit - result.received;
        if (pastEnd) got = static_cast<DWORD>(limit - result.received);
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
        if (pastEnd) {
            Fail(result, result.pastEnd, L"the body ran past its length", ERROR_SUCCESS);
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now - lastReport > REPORT_INTERVAL_MS) {
            lastReport = now;
            Report(start + result.received, total);
        }
    }
    if (!hasher.Finish() && !result.writeFailed) Fail(result, result.writeFailed, L"hashing the received bytes", GetLastError());
    return result;
}

// Opens the session, the connection and the request, sends it with extraHeaders (may be empty)
// and has the response's headers arrive. False (logged) when any of them fails.
bool Connect(const wchar_t* url, const UrlParts& parts, const wchar_t* extraHeaders, OwnedInternet& session,
             OwnedInternet& connection, OwnedInternet& request) {
    session = OwnedInternet(WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
    if (!Checked(static_cast<bool>(session), L"WinHttpOpen", url)) return false;
    connection = OwnedInternet(WinHttpConnect(session.get(), parts.host, parts.port, 0));
    if (!Checked(static_cast<bool>(connection), L"WinHttpConnect", url)) return false;
    request = OwnedInternet(WinHttpOpenRequest(connection.get(), L"GET", parts.path, nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, parts.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!Checked(static_cast<bool>(request), L"WinHttpOpenRequest", url)) return false;
    const DWORD headerLength = extraHeaders[0] ? static_cast<DWORD>(-1L) : 0;
    return Checked(WinHttpSendRequest(request.get(), extraHeaders[0] ? extraHeaders : WINHTTP_NO_ADDITIONAL_HEADERS,
                                      headerLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0),
                   L"WinHttpSendRequest", url) &&
           Checked(WinHttpReceiveResponse(request.get(), nullptr), L"WinHttpReceiveResponse", url);
}

// --- the resume record: "<target>.resume", the URL and the validator on a line each ----------

bool RecordPath(const wchar_t* targetPath, wchar_t (&out)[RECORD_PATH_CAPACITY]) {
    return _snwprintf_s(out, _TRUNCATE, L"%ls%ls", targetPath, RESUME_RECORD_SUFFIX) >= 0;
}

void DeleteRecord(const wchar_t* targetPath) {
    wchar_t path[RECORD_PATH_CAPACITY];
    if (!RecordPath(targetPath, path)) return;
    if (!RetryTransient(LOG_STAGE, L"DeleteFileW", path, [&] { return DeleteFileW(path) != 0; }) &&
        GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
        LogFailedCall(LOG_STAGE, L"DeleteFileW", path, GetLastError());
    }
}

// A record that cannot be written only costs the next attempt its head start.
void WriteRecord(const wchar_t* targetPath, const wchar_t* url, const wchar_t* validator) {
    wchar_t path[RECORD_PATH_CAPACITY];
    if (!RecordPath(targetPath, path)) return;
    static wchar_t text[RELEASE_URL_CAPACITY + VALIDATOR_CAPACITY + 2];
    if (_snwprintf_s(text, _TRUNCATE, L"%ls\n%ls\n", url, validator) < 0) return;
    OwnedFile file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    if (!file || !WriteFile(file.get(), text, bytes, &written, nullptr) || written != bytes) {
        LogFailedCall(LOG_STAGE, L"writing the resume record", path, GetLastError());
    }
}

// The validator the record keeps for url; false when there is no record, or it is another URL's.
bool ReadRecord(const wchar_t* targetPath, const wchar_t* url, wchar_t (&validator)[VALIDATOR_CAPACITY]) {
    wchar_t path[RECORD_PATH_CAPACITY];
    if (!RecordPath(targetPath, path)) return false;
    static wchar_t text[RELEASE_URL_CAPACITY + VALIDATOR_CAPACITY + 2];
    DWORD bytesRead = 0;
    {
        OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file || !ReadFile(file.get(), text, sizeof text - sizeof text[0], &bytesRead, nullptr)) return false;
    }
    text[bytesRead / sizeof(wchar_t)] = L'\0';
    wchar_t* urlEnd = wcschr(text, L'\n');
    if (!urlEnd) return false;
    *urlEnd = L'\0';
    wchar_t* validatorText = urlEnd + 1;
    wchar_t* validatorEnd = wcschr(validatorText, L'\n');
    if (!validatorEnd || wcscmp(text, url) != 0) return false;
    *validatorEnd = L'\0';
    // A record that does not fit was not written by this program: it is no record.
    if (validatorEnd - validatorText >= static_cast<ptrdiff_t>(VALIDATOR_CAPACITY)) return false;
    wcscpy_s(validator, validatorText);
    return validator[0] != L'\0';
}

// --- one download: its tries ---------------------------------------------------------------

enum class TryEnd { Complete, Again, Failed };

struct Download {
    const wchar_t* url;
    const wchar_t* targetPath;
    const DownloadOptions& options;
    UrlParts parts = {};
    uint64_t written = 0;  // bytes of the body in the file, from its first
    uint64_t total = 0;    // the body's whole length once a response told it; 0: not known
    wchar_t validator[VALIDATOR_CAPACITY] = {};  // If-Range of the next try; empty: it starts over
    std::optional<Sha256Hash> hash;  // over the file's bytes so far, when a digest is wanted
    uint64_t delivered = 0;          // bytes the last try wrote
    DWORD retryAfterSeconds = 0;     // the last 5xx's Retry-After
    const wchar_t* reason = L"";     // why the last try ended early, for the log
    wchar_t text[ERROR_TEXT_CAPACITY] = {};  // the failure text of the last try
};

void SetText(Download& d, const wchar_t* text) { wcsncpy_s(d.text, text, _TRUNCATE); }

// A fresh hash for a file that starts over.
void StartOver(Download& d) {
    d.written = 0;
    d.total = 0;
    if (d.options.digest) d.hash.emplace();
}

// Opens the target where the transfer goes on: at d.written (the file cut there), created when
// missing.
OwnedFile OpenTarget(Download& d) {
    OwnedFile file;
    RetryTransient(LOG_STAGE, L"CreateFileW", d.targetPath, [&] {
        file = OwnedFile(CreateFileW(d.targetPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        return static_cast<bool>(file);
    });
    if (!Checked(static_cast<bool>(file), L"CreateFileW", d.targetPath)) return file;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(d.written);
    LARGE_INTEGER size = {};
    // Only a file longer than what is kept is cut: a device file (a full disk's stand-in) takes
    // writes but no new end.
    const bool placed = GetFileSizeEx(file.get(), &size) && SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) &&
                        (size.QuadPart <= position.QuadPart || SetEndOfFile(file.get()));
    if (!Checked(placed, L"placing the file's end", d.targetPath)) file.reset();
    return file;
}

// The status of a response that carries no body we take, as the end of the try.
TryEnd RefusedStatus(Download& d, DWORD status, HINTERNET request) {
    wchar_t result[32] = {};
    _snwprintf_s(result, _TRUNCATE, L"failed | status %lu", static_cast<unsigned long>(status));
    LogEventAbout(LOG_STAGE, L"GET", d.url, result);
    _snwprintf_s(d.text, _TRUNCATE, L"서버 응답 %lu", static_cast<unsigned long>(status));
    if (status >= 500 && status <= 599) {
        d.retryAfterSeconds = QueryRetryAfterSeconds(request);
        d.reason = L"server error";
        return TryEnd::Again;
    }
    return TryEnd::Failed;
}

// Where the response's body begins: true when it continues the file at d.written (a 206 that
// starts there) or replaces it (a 200); a 206 that starts elsewhere gives false, and the file
// starts over with the next try.
bool PlaceBody(Download& d, DWORD status, HINTERNET request, uint64_t length) {
    if (status == 200) {
        if (d.written != 0) LogResume(LOG_STAGE, d.url, 0, L"the range was not honoured: starting over");
        StartOver(d);
        d.total = length;
        QueryValidator(request, d.options.strongValidatorOnly, d.validator);
        return true;
    }
    uint64_t first = 0;
    uint64_t total = 0;
    if (d.written == 0 || !QueryContentRange(request, first, total) || first != d.written) {
        LogEventAbout(LOG_STAGE, L"partial content", d.url, L"failed | not where the file ends: starting over");
        StartOver(d);
        d.validator[0] = L'\0';
        return false;
    }
    d.total = total != 0 ? total : (length != 0 ? d.written + length : 0);
    return true;
}

TryEnd TakeBody(Download& d, HINTERNET request) {
    if (d.options.publishedSize != 0 && d.total > d.options.publishedSize) {
        LogEventAbout(LOG_STAGE, L"announced length", d.url, L"failed | more than the published size");
        if (d.options.keepPartial) DeleteRecord(d.targetPath);  // not the published file: never taken up
        SetText(d, CORRUPTION_TEXT);
        return TryEnd::Failed;
    }
    if (d.options.keepPartial) {
        if (d.validator[0]) {
            WriteRecord(d.targetPath, d.url, d.validator);
        } else {
            DeleteRecord(d.targetPath);
        }
    }
    // Never past what was announced, nor past the published size.
    uint64_t end = d.total;
    if (d.options.publishedSize != 0 && (end == 0 || end > d.options.publishedSize)) end = d.options.publishedSize;
    TransferResult transfer;
    {
        OwnedFile file = OpenTarget(d);
        if (!file) {
            SetText(d, L"임시 파일을 만들 수 없습니다");
            return TryEnd::Failed;
        }
        transfer = Transfer(request, file.get(), d.written, d.total, end != 0 ? end - d.written : 0,
                            d.hash ? d.hash->get() : nullptr);
    }  // the file is closed before the request, the connection and the session
    d.written += transfer.received;
    d.delivered = transfer.received;
    if (installState.cancelRequested.load()) {
        LogEventAbout(LOG_STAGE, L"GET", d.url, L"cancelled");
        SetText(d, L"취소됨");
        return TryEnd::Failed;
    }
    if (transfer.failedCall) LogFailedCall(LOG_STAGE, transfer.failedCall, d.url, transfer.error);
    if (transfer.writeFailed) {
        SetText(d, L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)");
        return TryEnd::Failed;
    }
    if (transfer.pastEnd) {
        const bool pastPublished = d.options.publishedSize != 0 && end == d.options.publishedSize;
        LogEventAbout(LOG_STAGE, L"body", d.url,
                      pastPublished ? L"failed | more than the published size" : L"failed | more than announced");
        SetText(d, pastPublished ? CORRUPTION_TEXT : CUT_TEXT);
        if (d.options.keepPartial) DeleteRecord(d.targetPath);  // a host that sends more cannot be taken up
        return TryEnd::Failed;
    }
    if (transfer.readFailed || (d.total != 0 && d.written != d.total)) {
        SetText(d, CUT_TEXT);
        d.reason = transfer.readFailed ? L"a read failed" : L"the body ended early";
        return TryEnd::Again;
    }
    return TryEnd::Complete;
}

TryEnd OneTry(Download& d) {
    d.delivered = 0;
    d.retryAfterSeconds = 0;
    // Declared in the reverse of their closing order: the request, then the connection, then the session.
    OwnedInternet session;
    OwnedInternet connection;
    OwnedInternet request;
    wchar_t headers[VALIDATOR_CAPACITY + 64] = {};
    if (d.written != 0 && d.validator[0]) {
        _snwprintf_s(headers, _TRUNCATE, L"Range: bytes=%llu-\r\nIf-Range: %ls\r\n",
                     static_cast<unsigned long long>(d.written), d.validator);
    }
    if (!Connect(d.url, d.parts, headers, session, connection, request)) {
        SetText(d, session ? CONNECT_TEXT : L"네트워크 초기화 실패");
        d.reason = L"no response";
        return session ? TryEnd::Again : TryEnd::Failed;
    }
    const DWORD status = QueryStatusCode(request.get(), d.url);
    if (status == 0) {
        // No status could be read: the response never properly arrived, whatever the server
        // meant; "서버 응답 0" would name a status no server sent.
        SetText(d, CONNECT_TEXT);
        d.reason = L"no status";
        return TryEnd::Again;
    }
    if (status == 416 && headers[0]) {
        // The file already holds at least as much as the host has: exactly as much is the whole
        // file (its last try lost only the end of the stream); more can only start over.
        uint64_t total = 0;
        if (QueryUnsatisfiedRangeTotal(request.get(), total) && total == d.written) {
            d.total = total;
            return TryEnd::Complete;
        }
        LogEventAbout(LOG_STAGE, L"range", d.url, L"failed | not satisfiable: starting over");
        StartOver(d);
        d.validator[0] = L'\0';
        SetText(d, CUT_TEXT);
        d.reason = L"range not satisfiable";
        return TryEnd::Again;
    }
    if (status != 200 && !(status == 206 && headers[0])) return RefusedStatus(d, status, request.get());
    if (!PlaceBody(d, status, request.get(), QueryExpectedLength(request.get()))) {
        SetText(d, CUT_TEXT);
        d.reason = L"a range that does not start where the file ends";
        return TryEnd::Again;
    }
    return TakeBody(d, request.get());
}

// Feeds the first bytes of the file, which an earlier attempt wrote, into the hash. False when
// they cannot all be read.
bool HashExisting(Download& d) {
    OwnedFile file(CreateFileW(d.targetPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file || !*d.hash) return false;
    uint64_t left = d.written;
    while (left != 0) {
        const DWORD want = static_cast<DWORD>(left < DOWNLOAD_BUFFER_SIZE ? left : DOWNLOAD_BUFFER_SIZE);
        DWORD got = 0;
        if (!ReadFile(file.get(), downloadBuffers[0], want, &got, nullptr) || got != want) return false;
        if (!BCRYPT_SUCCESS(BCryptHashData((*d.hash).get(), downloadBuffers[0], got, 0))) return false;
        left -= got;
    }
    return true;
}

// Where an earlier attempt's file for this URL ended, when its record allows taking it up.
void TakeUpEarlierFile(Download& d) {
    if (!ReadRecord(d.targetPath, d.url, d.validator)) return;
    if (d.options.strongValidatorOnly && d.validator[0] != L'"') {
        d.validator[0] = L'\0';
        return;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(d.targetPath, GetFileExInfoStandard, &data)) return;
    d.written = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (d.options.publishedSize != 0 && d.written > d.options.publishedSize) d.written = 0;
    if (d.written != 0 && d.hash && !HashExisting(d)) StartOver(d);
}

// The wait before try number resume + 2; true when a cancel request came meanwhile.
bool WaitBeforeResume(const Download& d, unsigned resume) {
    const DWORD steps = d.retryAfterSeconds != 0 ? d.retryAfterSeconds : DOWNLOAD_RESUME_STEPS[resume];
    return WaitForCancel(steps * downloadResumeBaseMs);
}

bool Succeed(Download& d) {
    if (d.options.digest) {
        wchar_t digest[SHA256_TEXT_CAPACITY] = {};
        if (!d.hash->FinishHex(digest)) {
            LogEventAbout(LOG_STAGE, L"SHA-256", d.url, L"failed | could not be formed");
            SetText(d, L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)");
            return false;
        }
        wcscpy_s(d.options.digest, SHA256_TEXT_CAPACITY, digest);
    }
    if (d.options.keepPartial) DeleteRecord(d.targetPath);
    wchar_t result[48] = {};
    _snwprintf_s(result, _TRUNCATE, L"ok | %llu bytes", static_cast<unsigned long long>(d.written));
    LogEventAbout(LOG_STAGE, L"GET", d.url, result);
    return true;
}

// A try that delivered something, but neither 64 KiB nor all that was left of the file: a host that
// keeps cutting this early will not deliver it. A try that delivered nothing (no connection, a
// failed first read, a 5xx) is tried again all the same.
bool TooLittleProgress(const Download& d) {
    if (d.delivered == 0 || d.delivered >= DOWNLOAD_RESUME_MIN_BYTES) return false;
    return d.total == 0 || d.written < d.total;
}

bool RunTries(Download& d) {
    if (d.options.keepPartial) TakeUpEarlierFile(d);
    if (d.written != 0) LogResume(LOG_STAGE, d.url, d.written, L"an earlier attempt's file");
    for (unsigned resume = 0;; ++resume) {
        switch (OneTry(d)) {
        case TryEnd::Complete: return Succeed(d);
        case TryEnd::Failed: return false;
        case TryEnd::Again: break;
        }
        if (resume == DOWNLOAD_RESUME_LIMIT || TooLittleProgress(d)) {
            LogEventAbout(LOG_STAGE, L"GET", d.url, L"failed | no resumes left");
            return false;
        }
        // Without a validator a later response could be another file: only the start is safe.
        if (d.written != 0 && (!d.validator[0] || (d.options.strongValidatorOnly && d.validator[0] != L'"'))) {
            StartOver(d);
        }
        LogResume(LOG_STAGE, d.url, d.written, d.reason);
        if (WaitBeforeResume(d, resume)) {
            LogEventAbout(LOG_STAGE, L"GET", d.url, L"cancelled");
            SetText(d, L"취소됨");
            return false;
        }
    }
}

}  // namespace

bool DownloadToFile(const wchar_t* url, const wchar_t* targetPath, wchar_t* errorText, size_t errorCapacity,
                    const DownloadOptions& options) {
    Download d{url, targetPath, options, {}, 0, 0, {}, {}, 0, 0, L"", {}};
    if (!SplitUrl(url, d.parts)) {
        SetError(errorText, errorCapacity, L"주소 해석 실패");
        return false;
    }
    if (options.digest) d.hash.emplace();
    const bool ok = RunTries(d);
    if (!ok) SetError(errorText, errorCapacity, d.text);
    return ok;
}

void ForgetPartialDownload(const wchar_t* targetPath) { DeleteRecord(targetPath); }

bool PartialDownloadKept(const wchar_t* targetPath) {
    wchar_t path[RECORD_PATH_CAPACITY];
    return RecordPath(targetPath, path) && PathExists(path);
}

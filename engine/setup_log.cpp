#include "engine/setup_log.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"

#include <cwchar>

#ifndef TAVRIN_SETUP_VERSION
#error "TAVRIN_SETUP_VERSION must be defined by the build"
#endif

namespace {

constexpr size_t DETAIL_CAPACITY = 128;                           // units of a formatted result
constexpr size_t LINE_BYTES_CAPACITY = 3 * LOG_LINE_CAPACITY + 2;  // UTF-8 of a line, and CR LF
constexpr char LOG_FULL_LINE[] = "log | full | later lines dropped\r\n";
constexpr unsigned char UTF8_MARK[] = {0xEF, 0xBB, 0xBF};  // lets older Notepads read the Hangul

// Both threads log; the lock keeps one line's buffers and its append together.
SRWLOCK logLock = SRWLOCK_INIT;
wchar_t lineText[LOG_LINE_CAPACITY];
char lineBytes[LINE_BYTES_CAPACITY];
// Set once this process has written the line that says the log is full; under the lock.
bool fullNoted = false;

// Keeps the thread's last error across a log call: the caller may still read the error of the
// call that failed before it logged.
class LastErrorKept {
public:
    LastErrorKept() : error_(GetLastError()) {}
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;
    ~LastErrorKept() { SetLastError(error_); }

private:
    DWORD error_;
};

class LogLock {
public:
    LogLock() { AcquireSRWLockExclusive(&logLock); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
    ~LogLock() { ReleaseSRWLockExclusive(&logLock); }
};

bool Write(HANDLE file, const void* bytes, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, bytes, size, &written, nullptr) && written == size;
}

// Appends size bytes of lineBytes to the current log, or the full line when they would take it
// past its limit (once per process). A fresh log starts with the UTF-8 mark.
void AppendLine(DWORD size) {
    wchar_t path[PATH_CAPACITY];
    if (!GetTempFilePath(path, LOG_FILE_NAME)) return;
    // Append-only access: every write lands at the end, even beside another process's writes.
    OwnedFile file(CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length = {};
    if (!file || !GetFileSizeEx(file.get(), &length)) return;
    LONGLONG room = LOG_LIMIT_BYTES - length.QuadPart;
    if (length.QuadPart == 0) {
        if (!Write(file.get(), UTF8_MARK, sizeof UTF8_MARK)) return;
        room -= sizeof UTF8_MARK;
    }
    constexpr LONGLONG fullLineBytes = sizeof LOG_FULL_LINE - 1;
    if (static_cast<LONGLONG>(size) + fullLineBytes <= room) {
        Write(file.get(), lineBytes, size);
    } else if (!fullNoted && fullLineBytes <= room) {
        fullNoted = true;
        Write(file.get(), LOG_FULL_LINE, fullLineBytes);
    }
}

// Each control character (a box's line breaks) becomes a space: one event, one line.
void Flatten(wchar_t* text) {
    for (; *text; ++text) {
        if (*text < L' ') *text = L' ';
    }
}

// Forms "time | fields" in lineText, converts it to UTF-8 with CR LF and appends it. Lock held.
void WriteLine(const wchar_t* fields) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    _snwprintf_s(lineText, _TRUNCATE, L"%04u-%02u-%02u %02u:%02u:%02u.%03u | %ls", now.wYear,
                                   now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                                   fields);
    Flatten(lineText);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, lineText, -1, lineBytes, LINE_BYTES_CAPACITY - 2, nullptr,
                                          nullptr);
    if (bytes <= 1) return;
    const DWORD size = static_cast<DWORD>(bytes - 1);  // the terminator becomes the line's end
    lineBytes[size] = '\r';
    lineBytes[size + 1] = '\n';
    AppendLine(size + 2);
}

// "stage | event[ subject][ | result]" formed under the lock (the buffer is shared) and written.
void Log(const wchar_t* stage, const wchar_t* event, const wchar_t* subject, const wchar_t* result) {
    const LastErrorKept kept;
    const LogLock lock;
    static wchar_t fields[LOG_LINE_CAPACITY];
    _snwprintf_s(fields, _TRUNCATE, L"%ls | %ls%ls%ls%ls%ls", stage, event, subject ? L" " : L"",
                 subject ? subject : L"", result ? L" | " : L"", result ? result : L"");
    WriteLine(fields);
}

const wchar_t* AnswerName(int answer) {
    switch (answer) {
    case IDOK: return L"answer OK";
    case IDCANCEL: return L"answer Cancel";
    case IDYES: return L"answer Yes";
    case IDNO: return L"answer No";
    default: return L"answer other";
    }
}

}  // namespace

void BeginSetupLog(const wchar_t* mode) {
    {
        const LastErrorKept kept;
        const LogLock lock;
        wchar_t current[PATH_CAPACITY];
        wchar_t old[PATH_CAPACITY];
        // No log yet is the usual first run; a log that cannot be moved is simply continued.
        if (GetTempFilePath(current, LOG_FILE_NAME) && GetTempFilePath(old, OLD_LOG_FILE_NAME)) {
            MoveFileExW(current, old, MOVEFILE_REPLACE_EXISTING);
        }
        fullNoted = false;
    }
    wchar_t detail[DETAIL_CAPACITY];
    _snwprintf_s(detail, _TRUNCATE, L"TavrinSetup %ls, %ls", L"" TAVRIN_SETUP_VERSION, mode);
    LogEventAbout(L"setup", L"start", detail, nullptr);
}

void LogEvent(const wchar_t* stage, const wchar_t* event, const wchar_t* result) {
    Log(stage, event, nullptr, result);
}

void LogEventAbout(const wchar_t* stage, const wchar_t* event, const wchar_t* subject, const wchar_t* result) {
    Log(stage, event, subject, result);
}

void LogFailedCall(const wchar_t* stage, const wchar_t* call, const wchar_t* subject, DWORD error) {
    wchar_t result[DETAIL_CAPACITY];
    // WinHTTP's own codes lie in 12000-12999; naming it saves the reader a look-up.
    const bool winHttp = error >= 12000 && error <= 12999;
    _snwprintf_s(result, _TRUNCATE, L"failed | error %lu%ls", static_cast<unsigned long>(error),
                 winHttp ? L" (WinHTTP)" : L"");
    Log(stage, call, subject, result);
}

void LogFailedStatus(const wchar_t* stage, const wchar_t* call, const wchar_t* subject, LONG status) {
    wchar_t result[DETAIL_CAPACITY];
    _snwprintf_s(result, _TRUNCATE, L"failed | status 0x%08lX", static_cast<unsigned long>(status));
    Log(stage, call, subject, result);
}

void LogRetry(const wchar_t* stage, const wchar_t* call, unsigned attempt, DWORD error) {
    wchar_t result[DETAIL_CAPACITY];
    _snwprintf_s(result, _TRUNCATE, L"retry %u | error %lu", attempt, static_cast<unsigned long>(error));
    Log(stage, call, nullptr, result);
}

void LogResume(const wchar_t* stage, const wchar_t* subject, uint64_t offset, const wchar_t* reason) {
    wchar_t result[DETAIL_CAPACITY];
    _snwprintf_s(result, _TRUNCATE, L"resumed at byte %llu | %ls", static_cast<unsigned long long>(offset), reason);
    Log(stage, L"resume", subject, result);
}

ULONGLONG LogStageStart(const wchar_t* stage) {
    const ULONGLONG started = GetTickCount64();
    Log(stage, L"start", nullptr, nullptr);
    return started;
}

void LogStageEnd(const wchar_t* stage, ULONGLONG started, const wchar_t* result) {
    const ULONGLONG elapsed = GetTickCount64() - started;
    wchar_t detail[DETAIL_CAPACITY];
    _snwprintf_s(detail, _TRUNCATE, L"%ls | %llu.%03llu s", result, elapsed / 1000, elapsed % 1000);
    Log(stage, L"end", nullptr, detail);
}

void LogFinalText(const wchar_t* stage, const wchar_t* text) {
    Log(stage, L"final text", text, nullptr);
}

int LoggedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    const int answer = MessageBoxW(owner, text, caption, type);
    const DWORD error = answer == 0 ? GetLastError() : 0;
    if (answer == 0) {
        LogFailedCall(L"message box", L"MessageBoxW", text, error);
    } else {
        Log(L"message box", L"shown", text, AnswerName(answer));
    }
    return answer;
}

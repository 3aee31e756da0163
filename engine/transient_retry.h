// Outlasting a short-lived holder of a file: an antivirus scanner, the search indexer or a sync
// client opens a file for a moment, and a deletion, a rename or a copy that meets it fails with a
// sharing or access error that is gone a few hundred milliseconds later. Such an operation is
// tried again, 100 ms apart, for at most about 10 s per path; any other error (a missing file, a
// full disk) ends it at once. A file held by a running app is held for good: it costs the bound,
// and then the operation fails with the error it gave last.
#pragma once

#include <windows.h>

constexpr DWORD TRANSIENT_RETRY_INTERVAL_MS = 100;
constexpr DWORD TRANSIENT_RETRY_LIMIT_MS = 10000;

// The pause and the bound in force: TRANSIENT_RETRY_INTERVAL_MS and TRANSIENT_RETRY_LIMIT_MS unless
// a test has shortened them, so that a held file does not cost it ten seconds a case and a fault
// sweep's thousands of passing holders do not cost it minutes.
extern DWORD transientRetryIntervalMs;
extern DWORD transientRetryLimitMs;

// Which errors count as a passing holder's.
enum class Holders {
    Files,            // sharing, lock and access errors
    FilesAndEmptied,  // those, and ERROR_DIR_NOT_EMPTY: a folder whose last entry was just removed
                      // can still list it while a holder keeps it open (its deletion is pending)
};

bool IsTransientFileError(DWORD error, Holders holders);

// The state of one path's tries. Each retried path leaves one line in the setup log when it ends:
// how often it was tried again, the last error, and whether it succeeded after all.
class TransientRetry {
public:
    TransientRetry(const wchar_t* stage, const wchar_t* call, const wchar_t* path, Holders holders);
    ~TransientRetry();
    TransientRetry(const TransientRetry&) = delete;
    TransientRetry& operator=(const TransientRetry&) = delete;

    // After a failure with error: true when it is worth another try, once the interval has passed.
    bool Again(DWORD error);
    void Succeeded() { succeeded_ = true; }

private:
    const wchar_t* stage_;
    const wchar_t* call_;
    const wchar_t* path_;
    Holders holders_;
    ULONGLONG started_;
    unsigned retries_ = 0;
    DWORD lastError_ = ERROR_SUCCESS;
    bool succeeded_ = false;
};

// Calls operation() until it returns true, it fails with an error no passing holder causes, or
// the bound has passed. operation reports its error through the thread's last error; it is kept
// for the caller when the result is false.
template <typename Operation>
bool RetryTransient(const wchar_t* stage, const wchar_t* call, const wchar_t* path, Operation operation,
                    Holders holders = Holders::Files) {
    DWORD error = ERROR_SUCCESS;
    {
        TransientRetry retry(stage, call, path, holders);
        for (;;) {
            if (operation()) {
                retry.Succeeded();
                return true;
            }
            error = GetLastError();
            if (!retry.Again(error)) break;
        }
    }
    SetLastError(error);
    return false;
}

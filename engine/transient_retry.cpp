#include "engine/transient_retry.h"

#include "engine/setup_log.h"

#include <cwchar>

DWORD transientRetryIntervalMs = TRANSIENT_RETRY_INTERVAL_MS;
DWORD transientRetryLimitMs = TRANSIENT_RETRY_LIMIT_MS;

bool IsTransientFileError(DWORD error, Holders holders) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
        return true;
    case ERROR_DIR_NOT_EMPTY:
        return holders == Holders::FilesAndEmptied;
    default:
        return false;
    }
}

TransientRetry::TransientRetry(const wchar_t* stage, const wchar_t* call, const wchar_t* path, Holders holders)
    : stage_(stage), call_(call), path_(path), holders_(holders), started_(GetTickCount64()) {}

TransientRetry::~TransientRetry() {
    if (retries_ == 0) return;
    wchar_t result[96];
    _snwprintf_s(result, _TRUNCATE, L"%ls after %u retries | error %lu", succeeded_ ? L"ok" : L"failed", retries_,
                 static_cast<unsigned long>(lastError_));
    LogEventAbout(stage_, call_, path_, result);
}

bool TransientRetry::Again(DWORD error) {
    lastError_ = error;
    if (!IsTransientFileError(error, holders_)) return false;
    if (GetTickCount64() - started_ + transientRetryIntervalMs > transientRetryLimitMs) return false;
    Sleep(transientRetryIntervalMs);
    ++retries_;
    return true;
}

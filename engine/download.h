// The only network operation: GET of an HTTP or HTTPS URL into a file, taken up again with ranged
// requests where a connection drops.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Bytes asked of the server per read and written to the file per write: the size of each of the
// two static buffers every download reads into, in turns.
constexpr unsigned long DOWNLOAD_BUFFER_SIZE = 262144;

// A try that ends early is followed by another, up to DOWNLOAD_RESUME_LIMIT, after
// DOWNLOAD_RESUME_STEPS[i] times the base each: 1, 2, 4, 8, 8 s. A try that delivered some bytes
// but neither DOWNLOAD_RESUME_MIN_BYTES nor the rest of the file ends them (a host that keeps
// cutting this early will not deliver the file); a try that delivered nothing (a refused
// connection, a failed first read, a 5xx) is followed all the same. A 5xx's Retry-After replaces the step, up to
// DOWNLOAD_RETRY_AFTER_LIMIT_S seconds.
constexpr unsigned DOWNLOAD_RESUME_LIMIT = 5;
constexpr unsigned DOWNLOAD_RESUME_STEPS[DOWNLOAD_RESUME_LIMIT] = {1, 2, 4, 8, 8};
constexpr uint64_t DOWNLOAD_RESUME_MIN_BYTES = 65536;
constexpr DWORD DOWNLOAD_RETRY_AFTER_LIMIT_S = 30;
constexpr DWORD DOWNLOAD_RESUME_BASE_MS = 1000;

// The base in force, DOWNLOAD_RESUME_BASE_MS unless a test has shortened it so that its resumes
// cost milliseconds instead of seconds.
extern DWORD downloadResumeBaseMs;

struct DownloadOptions {
    // When not null (capacity SHA256_TEXT_CAPACITY): on success, the SHA-256 of the whole file as
    // 64 lower-case hex digits, formed while the bytes arrive (and over the bytes already in the
    // file when an earlier call's transfer is taken up).
    wchar_t* digest = nullptr;
    // The size the manifest publishes; 0: none. A response that announces more, or a body that
    // runs past it, ends the download at once with the corruption text.
    uint64_t publishedSize = 0;
    // Take a transfer up only with a strong ETag: a file that nothing else vouches for must not be
    // joined from two versions that happen to share a date.
    bool strongValidatorOnly = false;
    // Keep a failed download's file with a record of its URL and validator beside it
    // ("<target>.resume"); a later call for the same URL takes it up where it ended.
    bool keepPartial = false;
};

// Fetches url into targetPath, reporting progress to installState.mainWindow and stopping when
// installState.cancelRequested is set.
// - url, targetPath: NUL-terminated UTF-16.
// - errorText/errorCapacity (units, terminator included): on failure the Korean reason is
//   formatted into it, cut to fit; on success it is untouched.
// Returns true when the whole body was stored: the stream ended with a successful read of
// nothing, after as many bytes as a Content-Length gave (when one did). A transfer that ends
// early is taken up again (Range with If-Range, with the first response's ETag, else its
// Last-Modified) as DOWNLOAD_RESUME_STEPS says; "다운로드가 중간에 끊겼습니다" once the resumes are
// used up. A 200 answer to a ranged request, a 206 that does not start where the file ends, or a
// response without a validator starts over from zero. A 4xx is never tried again. Never writes
// past the announced length. Never deletes targetPath; before a response's status is known to be
// 200 or 206 the target is not touched. Worker thread only: not reentrant (shares the two static
// 256 KiB download buffers).
bool DownloadToFile(const wchar_t* url, const wchar_t* targetPath, wchar_t* errorText, size_t errorCapacity,
                    const DownloadOptions& options = {});

// Deletes the resume record beside targetPath, so that its file is never taken up again (it was
// shown not to be the published one). A record already gone is no failure.
void ForgetPartialDownload(const wchar_t* targetPath);
// True when a resume record lies beside targetPath: its file is an unfinished download that the
// next DownloadToFile with keepPartial for the same URL takes up.
bool PartialDownloadKept(const wchar_t* targetPath);

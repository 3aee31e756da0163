// The only network operation: one GET of an HTTP or HTTPS URL into a file.
#pragma once

#include <cstddef>

// Bytes asked of the server per read and written to the file per write: the size of each of the
// two static buffers every download reads into, in turns.
constexpr unsigned long DOWNLOAD_BUFFER_SIZE = 262144;

// Fetches url into targetPath (created or replaced), reporting progress to
// installState.mainWindow and stopping when installState.cancelRequested is set.
// - url, targetPath: NUL-terminated UTF-16.
// - errorText/errorCapacity (units, terminator included): on failure the Korean reason is
//   formatted into it, cut to fit; on success it is untouched.
// Returns true when the whole body was stored: the stream ended with a successful read of
// nothing, after as many bytes as a Content-Length gave (when one did). A failed read is
// "다운로드가 중간에 끊겼습니다", with or without a length. Never deletes targetPath; before the
// response status is known to be 200 the target is not touched. Worker thread only: not
// reentrant (shares the two static 256 KiB download buffers).
// - hash: an open BCrypt hash object (BCRYPT_HASH_HANDLE) that is fed every byte written, so a
//   caller checks a digest without a second pass over the file; nullptr for none. The hash is
//   fed on a thread of its own while the next chunk is read, and holds every byte by the time
//   the call returns. A refused chunk counts as a failed write.
bool DownloadToFile(const wchar_t* url, const wchar_t* targetPath, wchar_t* errorText, size_t errorCapacity,
                    void* hash = nullptr);

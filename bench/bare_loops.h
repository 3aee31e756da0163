// The contenders the product is measured against: the same platform calls as the install
// engine makes, in plain loops, with nothing posted to any window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// GET url into targetPath with the calls DownloadToFile makes (WinHttpCrackUrl, WinHttpOpen with
// the same user agent and proxy setting, Connect, OpenRequest, SendRequest, ReceiveResponse, the
// status and Content-Length queries, CreateFileW with the same flags, WinHttpReadData into a
// static buffer of the engine's DOWNLOAD_BUFFER_SIZE bytes, WriteFile of each chunk). No
// report, no cancel check.
// Returns the bytes stored, or -1 when the request failed, the status was not 200, a write
// failed or a Content-Length was given and not met.
int64_t BareDownload(const wchar_t* url, const wchar_t* targetPath);

// SHA-256 of the file with the calls HashFileSha256 makes (BCrypt SHA-256 provider and hash
// object, CreateFileW with FILE_FLAG_SEQUENTIAL_SCAN, ReadFile into a static buffer of
// the engine's HASH_BUFFER_BYTES).
// 64 lower-case hex digits, or "" when the file or the provider cannot be used.
std::wstring BareHash(const wchar_t* path);

// Runs "<system folder>\tar.exe -xf archive -C targetDir" hidden, as ExtractArchive does, and
// waits for it. True when it ran and ended with exit code 0.
bool BareTar(const wchar_t* archivePath, const wchar_t* targetDir);

// Reads the whole file once (into a scratch buffer) so that later reads come from memory.
// Returns the bytes read, -1 when it cannot be opened.
int64_t ReadWholeFile(const wchar_t* path);

// Size of the file in bytes, -1 when it does not exist.
int64_t FileSize(const wchar_t* path);

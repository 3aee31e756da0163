// What a test needs from the test bed: where the local release host listens, where its files
// live, and scratch folders. The bed is described by environment variables that ctest sets
// (TAVRIN_TESTBED, TAVRIN_TEST_HTTP_PORT, TAVRIN_TEST_HTTPS_PORT); Unix paths are reached through
// Wine's Z: drive.
//
// Release host URL paths:
//   /<path>                    the file www/<path>
//   /_fault/<fault>/<path>     the same file with a fault injected, <fault> one of
//       status=NNN             answer NNN with a short body
//       nolength               no Content-Length; the connection closes after the body
//       short=N                the full Content-Length, but only N bytes, then close
//       drop=N                 the full Content-Length, N bytes, then a connection reset
//       dropfirst=N            like drop=N on the first request of this path, normal later
//       trickle=MS             1 KiB every MS milliseconds (for cancel tests)
//       stall                  headers, then nothing until the connection is closed
//       length=TEXT            Content-Length header TEXT verbatim (junk, huge numbers)
//       longer=N               Content-Length N smaller than the body, the whole body sent
//       redirect=PATH          302 to /PATH on the same host and scheme
//       loop                   302 to this very URL on every request (a redirect loop)
//       hold=MS                no Content-Length; the whole body, then the connection stays
//                              open MS milliseconds before it closes
//       gzip                   the body gzip-compressed, "Content-Encoding: gzip", the
//                              compressed length (no client of ours asks for an encoding)
//       lengths=A,B            one Content-Length header per item, verbatim; the whole body
//       pace=MS                256 KiB of body every MS milliseconds
// The untrusted port (HTTPS port + 1) serves the same files with a self-signed certificate that
// the prefix does not trust; HTTPS port + 2 with an expired certificate of the trusted test CA,
// HTTPS port + 3 with a certificate of that CA issued to another host name.
//
// The host writes every request it receives, with its headers, to logs/headers.log in the bed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testbed {

// Linux folder of the bed as a Windows path (Z:\...), without trailing backslash.
std::wstring Root();
// The release host's document root as a Windows path: www inside the bed.
std::wstring WwwRoot();
// Windows path of www/<relative> ('/' separators allowed in relative).
std::wstring WwwPath(const std::wstring& relative);

// http://127.0.0.1:<port>/<path>, https://localhost:<port>/<path>, and the untrusted HTTPS port.
std::wstring HttpUrl(const std::wstring& path);
std::wstring HttpsUrl(const std::wstring& path);
std::wstring UntrustedHttpsUrl(const std::wstring& path);
std::wstring ExpiredCertificateUrl(const std::wstring& path);
std::wstring OtherHostCertificateUrl(const std::wstring& path);
unsigned short HttpPort();
unsigned short HttpsPort();

// The release host's request log (logs/requests.log in the bed), to which it appends one line
// per answered request, holding its request line ("GET /dist/latest.json HTTP/1.1"). Its length
// now in bytes, and what was appended from an earlier length on.
size_t RequestLogLength();
std::string RequestLogSince(size_t length);
// How many lines appended since length hold a GET of that URL path ("/dist/latest.json").
int RequestsSince(size_t length, const std::string& path);

// A new, empty folder of its own under the prefix's temporary folder; removed by the caller or
// left for the prefix to be discarded with the run.
std::wstring MakeScratchFolder(const wchar_t* prefix);

// Writes bytes to a file (creating parent folders). Returns false on failure.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Reads a whole file; returns false when it cannot be opened.
bool ReadFileBytes(const std::wstring& path, std::string& bytes);

// True when a file or folder exists at path.
bool FileExists(const std::wstring& path);
// Names in a folder, without "." and "..", sorted; empty when the folder cannot be read.
std::vector<std::wstring> FolderEntries(const std::wstring& folder);

// One request as the release host received it: "GET", the path as sent (with any query), and
// its headers in order as (name, value).
struct HostRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header of that name (compared without case); nullopt when absent.
    std::optional<std::string> Header(const std::string& name) const;
};
// Every request of this run whose path starts with pathPrefix (such as "/t/case/"), in the
// order the host received them. Empty when the log cannot be read.
std::vector<HostRequest> HostRequests(const std::string& pathPrefix);
// The body bytes the host sent for the URL path path (with its query, if any) over this run: the
// sum of its lines in the host's sent.log. 0 when the log cannot be read.
uint64_t HostBytesSent(const std::string& path);

// Environment changes for a child process: a value, or nullopt to leave the variable out.
using EnvironmentChanges = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;
// This process's environment with the changes applied, as a block for CreateProcessW
// (CREATE_UNICODE_ENVIRONMENT). Names compare without regard to case.
std::vector<wchar_t> EnvironmentBlock(const EnvironmentChanges& changes);

// Makes link a folder link to the existing folder target (both Windows paths; link must not
// exist). Wine makes neither junctions (FSCTL_SET_REPARSE_POINT is not supported) nor symbolic
// links (CreateSymbolicLinkW does nothing and reports success), so this is a host symbolic
// link, which Wine presents as a folder with FILE_ATTRIBUTE_REPARSE_POINT, as Windows presents
// a junction. False when the link could not be made.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);

// A Linux path given to us by ctest (such as TAVRIN_SOURCE_DIR) as a Windows path.
std::wstring FromUnixPath(const std::string& unixPath);
// Environment variable as UTF-8, empty when unset.
std::string Env(const char* name);

}  // namespace testbed

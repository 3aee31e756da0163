#include "tests/support/testbed.h"

#include "engine/download.h"
#include "engine/transient_retry.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace testbed {

// Every test that meets the bed waits a hundredth of the product's pauses between a download's
// tries, so that a case with all five resumes costs a fraction of a second; the one test of the
// pauses themselves sets the product's base back.
[[maybe_unused]] const bool shortResumePauses = (downloadResumeBaseMs = DOWNLOAD_RESUME_BASE_MS / 100, true);
// Likewise between the tries that outlast a passing holder of a file: the sweeps meet thousands of
// them. The bound stays the product's; a test that holds a file for good shortens it itself.
[[maybe_unused]] const bool shortHolderPauses = (transientRetryIntervalMs = TRANSIENT_RETRY_INTERVAL_MS / 20, true);

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::wstring FromUnixPath(const std::string& unixPath) {
    std::wstring out = L"Z:";
    const int units = MultiByteToWideChar(CP_UTF8, 0, unixPath.c_str(), -1, nullptr, 0);
    std::wstring wide(units > 0 ? units - 1 : 0, L'\0');
    if (units > 1) MultiByteToWideChar(CP_UTF8, 0, unixPath.c_str(), -1, wide.data(), units);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    out += wide;
    while (out.size() > 3 && out.back() == L'\\') out.pop_back();
    return out;
}

std::wstring Root() { return FromUnixPath(Env("TAVRIN_TESTBED")); }
std::wstring WwwRoot() { return Root() + L"\\www"; }

std::wstring WwwPath(const std::wstring& relative) {
    std::wstring path = WwwRoot() + L"\\" + relative;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

unsigned short HttpPort() { return static_cast<unsigned short>(std::atoi(Env("TAVRIN_TEST_HTTP_PORT").c_str())); }
unsigned short HttpsPort() { return static_cast<unsigned short>(std::atoi(Env("TAVRIN_TEST_HTTPS_PORT").c_str())); }

static std::wstring Url(const wchar_t* scheme, const wchar_t* host, unsigned port, const std::wstring& path) {
    std::wstring url = std::wstring(scheme) + L"://" + host + L":" + std::to_wstring(port);
    if (path.empty() || path[0] != L'/') url += L"/";
    return url + path;
}

std::wstring HttpUrl(const std::wstring& path) { return Url(L"http", L"127.0.0.1", HttpPort(), path); }
std::wstring HttpsUrl(const std::wstring& path) { return Url(L"https", L"localhost", HttpsPort(), path); }
std::wstring UntrustedHttpsUrl(const std::wstring& path) {
    return Url(L"https", L"localhost", HttpsPort() + 1u, path);
}
std::wstring ExpiredCertificateUrl(const std::wstring& path) {
    return Url(L"https", L"localhost", HttpsPort() + 2u, path);
}
std::wstring OtherHostCertificateUrl(const std::wstring& path) {
    return Url(L"https", L"localhost", HttpsPort() + 3u, path);
}

std::optional<std::string> HostRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (_stricmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::nullopt;
}

uint64_t HostBytesSent(const std::string& path) {
    std::string log;
    if (!ReadFileBytes(Root() + L"\\logs\\sent.log", log)) return 0;
    const std::string mark = path + " ";
    uint64_t sent = 0;
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
        if (at == 0 || log[at - 1] == '\n') sent += std::stoull(log.substr(at + mark.size()));
    }
    return sent;
}

std::vector<HostRequest> HostRequests(const std::string& pathPrefix) {
    std::vector<HostRequest> requests;
    std::string log;
    if (!ReadFileBytes(Root() + L"\\logs\\headers.log", log)) return requests;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        // "METHOD PATH", then "Name: value" fields, separated by tabs.
        std::vector<std::string> fields;
        for (size_t field = start; field <= end;) {
            const size_t tab = std::min(log.find('\t', field), end);
            fields.push_back(log.substr(field, tab - field));
            field = tab + 1;
        }
        start = end + 1;
        const size_t space = fields[0].find(' ');
        if (space == std::string::npos || fields[0].compare(space + 1, pathPrefix.size(), pathPrefix) != 0) continue;
        HostRequest request{fields[0].substr(0, space), fields[0].substr(space + 1), {}};
        for (size_t i = 1; i < fields.size(); ++i) {
            const size_t colon = fields[i].find(": ");
            if (colon != std::string::npos) request.headers.emplace_back(fields[i].substr(0, colon), fields[i].substr(colon + 2));
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

static std::wstring RequestLogPath() { return Root() + L"\\logs\\requests.log"; }

size_t RequestLogLength() {
    std::string log;
    ReadFileBytes(RequestLogPath(), log);
    return log.size();
}

std::string RequestLogSince(size_t length) {
    std::string log;
    ReadFileBytes(RequestLogPath(), log);
    return length < log.size() ? log.substr(length) : "";
}

int RequestsSince(size_t length, const std::string& path) {
    const std::string log = RequestLogSince(length);
    const std::string request = "\"GET " + path + " ";
    int count = 0;
    for (size_t at = log.find(request); at != std::string::npos; at = log.find(request, at + 1)) ++count;
    return count;
}

std::wstring MakeScratchFolder(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        wchar_t name[MAX_PATH] = {};
        _snwprintf_s(name, _TRUNCATE, L"%s%s_%lu_%u", temp, prefix, GetCurrentProcessId(), counter++);
        if (CreateDirectoryW(name, nullptr)) return name;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return L"";
    }
}

static void CreateParents(const std::wstring& path) {
    for (size_t i = 3; i < path.size(); ++i) {
        if (path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    CreateParents(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return true;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<wchar_t> EnvironmentBlock(const EnvironmentChanges& changes) {
    std::vector<wchar_t> block;
    const auto append = [&](const std::wstring& entry) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    };
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry && *entry; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        // Entries such as "=C:=C:\..." begin with '='; the name ends at the next one.
        const std::wstring name = text.substr(0, text.find(L'=', 1));
        bool changed = false;
        for (const auto& change : changes) changed = changed || _wcsicmp(change.first.c_str(), name.c_str()) == 0;
        if (!changed) append(text);
    }
    if (strings) FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : changes) {
        if (value) append(name + L"=" + *value);
    }
    block.push_back(L'\0');
    return block;
}

// The Linux name of a Windows path, through Wine's own export; "" when there is none.
static std::string UnixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return "";
    char* name = unixName(path.c_str());
    if (!name) return "";
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    const std::string unixLink = UnixPath(link);
    const std::string unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty()) return false;
    // Wine starts a Linux program as it starts a Windows one; it splits the command line into
    // the program's arguments by the Windows rules.
    const std::string command = "ln -s -- \"" + unixTarget + "\" \"" + unixLink + "\"";
    const int units = MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, nullptr, 0);
    if (units <= 0) return false;
    std::wstring commandLine(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, commandLine.data(), units);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a Linux program may be signalled before the program has run: look for the
    // link itself.
    for (ULONGLONG deadline = GetTickCount64() + 30000; GetTickCount64() < deadline; Sleep(20)) {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    }
    return false;
}

}  // namespace testbed

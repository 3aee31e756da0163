// Proves the test bed that every other test stands on: the release host answers over HTTP and
// over HTTPS with a certificate the prefix trusts, refuses trust on the untrusted port, fails the
// expired and the wrong-name ports for that one reason each, injects its faults as
// tests/support/testbed.h promises and logs every request's headers, and the prefix has bsdtar
// as its tar.exe and the Korean font replacements. Uses WinHTTP directly, not the product's
// download code.
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/owned.h"
#include "tests/support/testbed.h"

namespace {

struct Fetched {
    bool answered = false;     // response headers arrived
    DWORD error = 0;           // GetLastError() of the call that failed, 0 when none did
    DWORD status = 0;
    bool hasLength = false;    // a Content-Length header was present
    std::wstring length;       // its text, verbatim
    std::string body;          // what WinHttpReadData delivered before the end or an error
};

std::wstring Header(HINTERNET request, DWORD query, bool& present) {
    wchar_t text[256] = {};
    DWORD bytes = sizeof text;
    present = WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                                  WINHTTP_NO_HEADER_INDEX) != FALSE;
    return present ? text : L"";
}

// One GET with redirects followed and 10 s timeouts. The path is sent as written.
// securityFlags: WINHTTP_OPTION_SECURITY_FLAGS for the request, 0 for the defaults.
Fetched Fetch(const std::wstring& url, DWORD securityFlags = 0) {
    Fetched out;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        out.error = GetLastError();
        return out;
    }
    // Declared session first so that destruction closes the request, then the connection.
    OwnedInternet session(WinHttpOpen(L"TavrinTestbed/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        out.error = GetLastError();
        return out;
    }
    WinHttpSetTimeouts(session.get(), 10000, 10000, 10000, 10000);
    OwnedInternet connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    const DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    OwnedInternet request(connection ? WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags)
                                     : nullptr);
    if (request && securityFlags != 0) {
        WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &securityFlags, sizeof securityFlags);
    }
    if (!request || !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        out.error = GetLastError();
        return out;
    }
    out.answered = true;
    DWORD bytes = sizeof out.status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &out.status, &bytes, WINHTTP_NO_HEADER_INDEX);
    out.length = Header(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, out.hasLength);
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &got)) {
            out.error = GetLastError();
            break;
        }
        if (got == 0) break;
        out.body.append(buffer, got);
    }
    return out;
}

// 300 KiB of varied bytes, so that a truncated or shifted body cannot compare equal.
std::string Blob() {
    std::string bytes(300 * 1024, '\0');
    unsigned x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

class TestbedHost : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = L"testbed_test_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(folder_ + L"/blob.bin"), blob_));
    }
    // URL path of the blob, optionally behind a fault.
    std::wstring BlobPath(const std::wstring& fault = L"") const {
        return (fault.empty() ? L"/" : L"/_fault/" + fault + L"/") + folder_ + L"/blob.bin";
    }
    std::wstring folder_;
    const std::string blob_ = Blob();
};

TEST_F(TestbedHost, ServesFilesOverHttpAndTrustedHttps) {
    for (const std::wstring& url : {testbed::HttpUrl(BlobPath()), testbed::HttpsUrl(BlobPath())}) {
        SCOPED_TRACE(testing::Message() << "url " << std::string(url.begin(), url.end()));
        const Fetched got = Fetch(url);
        ASSERT_TRUE(got.answered) << "error " << got.error;
        EXPECT_EQ(200u, got.status);
        EXPECT_EQ(std::to_wstring(blob_.size()), got.length);
        EXPECT_EQ(0u, got.error);
        EXPECT_TRUE(got.body == blob_);
    }
}

// The untrusted port fails only for want of trust: told to accept an unknown CA, the same
// request succeeds. Windows reports ERROR_WINHTTP_SECURE_FAILURE, Wine a secure channel error.
TEST_F(TestbedHost, UntrustedPortFailsOnlyForTheUnknownCa) {
    const Fetched refused = Fetch(testbed::UntrustedHttpsUrl(BlobPath()));
    EXPECT_FALSE(refused.answered);
    EXPECT_TRUE(refused.error == ERROR_WINHTTP_SECURE_FAILURE || refused.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
        << "error " << refused.error;

    const Fetched accepted = Fetch(testbed::UntrustedHttpsUrl(BlobPath()), SECURITY_FLAG_IGNORE_UNKNOWN_CA);
    ASSERT_TRUE(accepted.answered) << "error " << accepted.error;
    EXPECT_EQ(200u, accepted.status);
    EXPECT_TRUE(accepted.body == blob_);
}

// The expired and the wrong-name certificates come from the trusted CA: told to overlook the
// one fault each has, the same request succeeds.
TEST_F(TestbedHost, CertificateFaultPortsFailOnlyForTheirFault) {
    struct Case {
        const char* name;
        std::wstring url;
        DWORD overlook;
    } const cases[] = {
        {"expired", testbed::ExpiredCertificateUrl(BlobPath()), SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
        {"issued to another host", testbed::OtherHostCertificateUrl(BlobPath()), SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Fetched refused = Fetch(c.url);
        EXPECT_FALSE(refused.answered);
        EXPECT_NE(0u, refused.error);

        const Fetched accepted = Fetch(c.url, c.overlook);
        ASSERT_TRUE(accepted.answered) << "error " << accepted.error;
        EXPECT_EQ(200u, accepted.status);
        EXPECT_TRUE(accepted.body == blob_);
    }
}

TEST_F(TestbedHost, RefusesMissingFilesFoldersAndEscapes) {
    for (const wchar_t* path : {L"/no_such_file.bin", L"/", L"/%2E%2E/%2E%2E/etc/hostname", L"/a/../../etc/hostname"}) {
        SCOPED_TRACE(testing::Message() << "path " << std::string(path, path + wcslen(path)));
        const Fetched got = Fetch(testbed::HttpUrl(path));
        ASSERT_TRUE(got.answered) << "error " << got.error;
        EXPECT_EQ(404u, got.status);
    }
}

TEST_F(TestbedHost, InjectsFaultsByUrlPrefix) {
    static const wchar_t kAnyLength[] = L"*";
    const size_t size = blob_.size();
    const std::wstring fullLength = std::to_wstring(size);
    struct Case {
        const char* behaviour;
        std::wstring url;
        DWORD status;
        const wchar_t* length;  // expected Content-Length text, nullptr: absent, kAnyLength: any
        size_t bodyBytes;       // bytes delivered, a prefix of the blob
    };
    const std::wstring minus100 = std::to_wstring(size - 100);
    const std::wstring twoLengths = L"lengths=" + fullLength + L",1000";
    const Case cases[] = {
        {"status answers that status", testbed::HttpUrl(BlobPath(L"status=503")), 503, kAnyLength, 0},
        {"nolength sends the whole body without a length", testbed::HttpUrl(BlobPath(L"nolength")), 200, nullptr, size},
        {"nolength works over TLS too", testbed::HttpsUrl(BlobPath(L"nolength")), 200, nullptr, size},
        {"short announces all, sends N", testbed::HttpUrl(BlobPath(L"short=1000")), 200, fullLength.c_str(), 1000},
        {"length is sent verbatim", testbed::HttpUrl(BlobPath(L"length=junk")), 200, L"junk", SIZE_MAX},
        {"longer announces N less", testbed::HttpUrl(BlobPath(L"longer=100")), 200, minus100.c_str(), size - 100},
        {"lengths sends each header; the first is answered", testbed::HttpUrl(BlobPath(twoLengths)), 200,
         fullLength.c_str(), size},
        {"redirect keeps scheme and host",
         testbed::HttpsUrl(L"/_fault/redirect=" + folder_ + L"%2Fblob.bin"), 200, fullLength.c_str(), size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        const Fetched got = Fetch(c.url);
        ASSERT_TRUE(got.answered) << "error " << got.error;
        EXPECT_EQ(c.status, got.status);
        if (c.length == kAnyLength) {
            continue;
        }
        EXPECT_EQ(c.length != nullptr, got.hasLength);
        if (c.length) {
            EXPECT_EQ(std::wstring(c.length), got.length);
        }
        if (c.status == 200 && c.bodyBytes != SIZE_MAX) {
            EXPECT_EQ(c.bodyBytes, got.body.size());
            EXPECT_TRUE(got.body == blob_.substr(0, got.body.size()));
        }
    }
}

// gzip sends the compressed body with its own length; pace sends the whole body, 256 KiB at a
// time (two bursts for this blob, the second one period after the first).
TEST_F(TestbedHost, GzipCompressesAndPaceSpacesTheBody) {
    const Fetched packed = Fetch(testbed::HttpUrl(BlobPath(L"gzip")));
    ASSERT_TRUE(packed.answered) << "error " << packed.error;
    EXPECT_EQ(200u, packed.status);
    EXPECT_EQ(std::to_wstring(packed.body.size()), packed.length);
    EXPECT_EQ("\x1f\x8b", packed.body.substr(0, 2));

    const ULONGLONG start = GetTickCount64();
    const Fetched paced = Fetch(testbed::HttpUrl(BlobPath(L"pace=600")));
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_TRUE(paced.answered) << "error " << paced.error;
    EXPECT_TRUE(paced.body == blob_);
    EXPECT_GE(elapsed, 550u);
}

// Each request lands in the header log with its method, path and headers as the client sent them.
TEST_F(TestbedHost, LogsEveryRequestWithItsHeaders) {
    ASSERT_TRUE(Fetch(testbed::HttpsUrl(BlobPath())).answered);
    std::string folder(1, '/');
    folder.append(folder_.begin(), folder_.end());
    folder += '/';
    const std::vector<testbed::HostRequest> requests = testbed::HostRequests(folder);
    ASSERT_FALSE(requests.empty());
    const testbed::HostRequest& last = requests.back();
    EXPECT_EQ("GET", last.method);
    EXPECT_EQ(folder + "blob.bin", last.path);
    EXPECT_EQ("TavrinTestbed/1.0", last.Header("user-agent").value_or("<none>"));
    EXPECT_EQ("localhost:" + std::to_string(testbed::HttpsPort()), last.Header("Host").value_or("<none>"));
}

// A chunked body carries no length: only its last (empty) chunk tells the client that it is
// whole. chunkcut closes the connection before that chunk, which the client must see as an error.
TEST_F(TestbedHost, ChunkedSendsTheWholeBodyAndChunkCutBreaksOffBeforeTheLastChunk) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "https" : "http");
        const auto url = [&](const wchar_t* fault) {
            return secure ? testbed::HttpsUrl(BlobPath(fault)) : testbed::HttpUrl(BlobPath(fault));
        };
        const Fetched whole = Fetch(url(L"chunked"));
        ASSERT_TRUE(whole.answered) << "error " << whole.error;
        EXPECT_EQ(200u, whole.status);
        EXPECT_FALSE(whole.hasLength);
        EXPECT_EQ(0u, whole.error);
        EXPECT_TRUE(whole.body == blob_);

        for (const size_t sent : {size_t{100000}, blob_.size()}) {
            SCOPED_TRACE(testing::Message() << "chunkcut=" << sent);
            const Fetched cut = Fetch(url((L"chunkcut=" + std::to_wstring(sent)).c_str()));
            ASSERT_TRUE(cut.answered) << "error " << cut.error;
            EXPECT_FALSE(cut.hasLength);
            EXPECT_NE(0u, cut.error) << "the broken stream ended like a whole one";
            EXPECT_LE(cut.body.size(), sent);
            EXPECT_TRUE(cut.body == blob_.substr(0, cut.body.size()));
        }
    }
}

TEST_F(TestbedHost, DropResetsTheConnectionAndDropFirstOnlyOnce) {
    for (const wchar_t* fault : {L"drop=1000", L"dropfirst=1000"}) {
        SCOPED_TRACE(testing::Message() << std::string(fault, fault + wcslen(fault)));
        const Fetched dropped = Fetch(testbed::HttpUrl(BlobPath(fault)));
        ASSERT_TRUE(dropped.answered) << "error " << dropped.error;
        EXPECT_LE(dropped.body.size(), 1000u);
        EXPECT_NE(0u, dropped.error);
    }
    const Fetched again = Fetch(testbed::HttpUrl(BlobPath(L"dropfirst=1000")));
    ASSERT_TRUE(again.answered) << "error " << again.error;
    EXPECT_EQ(0u, again.error);
    EXPECT_TRUE(again.body == blob_);
}

// What "<system folder>\tar.exe --version" prints (standard output and error), or "" when it
// cannot be started or does not end within 30 s.
std::string SystemTarVersion() {
    wchar_t system[MAX_PATH] = {};
    if (GetSystemDirectoryW(system, MAX_PATH) == 0) return "";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return "";
    OwnedKernelHandle reader(readEnd);
    OwnedKernelHandle writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    std::wstring commandLine = L"\"" + std::wstring(system) + L"\\tar.exe\" --version";
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return "";
    }
    OwnedKernelHandle processHandle(process.hProcess);
    OwnedKernelHandle threadHandle(process.hThread);
    writer.reset();
    std::string out;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
    return WaitForSingleObject(processHandle.get(), 30000) == WAIT_OBJECT_0 ? out : "";
}

// The extraction tests are only as good as the tool they run: it must be the program Windows
// ships as its tar.exe, libarchive's bsdtar (with zlib for zip archives), not a look-alike.
TEST(TestbedPrefix, SystemTarIsBsdtarOfLibarchive) {
    const std::string version = SystemTarVersion();
    EXPECT_EQ(0u, version.rfind("bsdtar ", 0)) << version;
    EXPECT_NE(std::string::npos, version.find(" - libarchive ")) << version;
    EXPECT_NE(std::string::npos, version.find("zlib/")) << version;
}

// What the link tests stand on: the bed's folder links are host symbolic links, which Wine lists
// as reparse points but opens as what they point to, whatever is asked. So a handle "on the link"
// carries no reparse tag, and a deletion through it acts on the target (here refused, as the
// target holds a file). The product's link handling therefore never removes a link in the bed,
// and the update and uninstall link tests expect the ending that follows from that.
TEST(TestbedPrefix, AHostLinkCannotBeDeletedAsALink) {
    const std::wstring scratch = testbed::MakeScratchFolder(L"link_probe");
    const std::wstring target = scratch + L"\\target";
    const std::wstring link = scratch + L"\\link";
    ASSERT_TRUE(testbed::WriteFileBytes(target + L"\\kept.txt", "kept"));
    ASSERT_TRUE(testbed::MakeFolderLink(link, target));

    WIN32_FIND_DATAW entry{};
    OwnedFind find(FindFirstFileW(link.c_str(), &entry));
    ASSERT_TRUE(find);
    EXPECT_TRUE(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) << "listed as a reparse point";
    {
        OwnedFile handle(CreateFileW(link.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        ASSERT_TRUE(handle);
        FILE_ATTRIBUTE_TAG_INFO tag{};
        ASSERT_TRUE(GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag));
        EXPECT_EQ(tag.ReparseTag, 0u) << "a handle on the link carries no tag";
        FILE_DISPOSITION_INFO disposition{TRUE};
        SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof disposition);
    }
    EXPECT_TRUE(testbed::FileExists(link)) << "the link was deleted as a link";
    EXPECT_EQ(testbed::FolderEntries(target), (std::vector<std::wstring>{L"kept.txt"}));
}

TEST(TestbedPrefix, ReplacesWindowsUiFacesWithAKoreanFont) {
    const wchar_t hangul[] = L"\uC124\uCE58";  // "설치"
    for (const wchar_t* face : {L"Malgun Gothic", L"Segoe UI"}) {
        SCOPED_TRACE(testing::Message() << std::string(face, face + wcslen(face)));
        wchar_t value[64] = {};
        DWORD bytes = sizeof value;
        ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Fonts\\Replacements", face,
                                              RRF_RT_REG_SZ, nullptr, value, &bytes));
        EXPECT_STREQ(L"NanumGothic", value);

        OwnedMemoryDc dc(CreateCompatibleDC(nullptr));
        OwnedGdiObject font(CreateFontW(-16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, face));
        ASSERT_TRUE(dc && font);
        SelectedObject selected(dc.get(), font.get());
        WORD glyphs[2] = {};
        ASSERT_EQ(2u, GetGlyphIndicesW(dc.get(), hangul, 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS));
        EXPECT_NE(0xFFFF, glyphs[0]);
        EXPECT_NE(0xFFFF, glyphs[1]);
    }
}

}  // namespace

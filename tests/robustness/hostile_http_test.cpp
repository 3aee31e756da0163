// A release host that misbehaves on purpose, met by DownloadToFile and by whole install attempts:
// Content-Length headers that lie, cannot be read, come twice or disagree, bodies longer than
// announced, a body in an encoding nobody asked for, redirects and a redirect loop, certificates
// that must be refused (untrusted, expired, issued to another host), and a server that goes
// silent after the headers while the user cancels.
#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/release_host.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kCut[] = L"다운로드가 중간에 끊겼습니다";
constexpr wchar_t kNoConnection[] = L"서버에 연결할 수 없습니다 (인터넷 연결 확인)";
constexpr wchar_t kCorrupt[] = L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요.";
constexpr wchar_t kExtractFailed[] = L"압축 해제에 실패했습니다 (디스크 공간 확인).";
constexpr DWORD kNoHangMs = 60000;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

// The decimal text of base + n, for lengths beyond 64 bits.
std::wstring Plus(unsigned __int128 base, uint64_t n) {
    unsigned __int128 value = base + n;
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}
constexpr unsigned __int128 kTwoTo64 = static_cast<unsigned __int128>(1) << 64;

struct Outcome {
    bool ended = false;
    bool ok = false;
    std::wstring error;
};

// Puts the shared state back before the trace window attaches itself to it.
struct FreshInstallState {
    FreshInstallState() { ResetInstallState(); }
};

class HostileHttp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(L"robustness_http/body.bin"), body_));
        target_ = testbed::MakeScratchFolder(L"hostile_http") + L"\\target.bin";
    }

    Outcome Download(const std::wstring& url) {
        Outcome outcome;
        wchar_t error[256] = {};
        outcome.ended = trace_.RunOnThread(
            [&] { outcome.ok = DownloadToFile(url.c_str(), target_.c_str(), error, 256); }, kNoHangMs);
        outcome.error = error;
        return outcome;
    }

    const std::string body_ = Pattern(300 * 1024);  // more than one 256 KiB read
    FreshInstallState fresh_;
    MessageTrace trace_;
    std::wstring target_;
};

// How a download ends: success with this many bytes stored, or the broken-stream text with the
// file holding this many bytes of the body.
struct Ending {
    bool ok;
    uint64_t stored;
};
constexpr Ending Stored(uint64_t bytes) { return {true, bytes}; }
constexpr Ending Cut(uint64_t bytes) { return {false, bytes}; }

// What the download makes of a Content-Length: the header is parsed as a saturating unsigned
// 64-bit decimal, and the transfer succeeds exactly when the bytes WinHTTP hands over match it
// (or when it reads as 0, whenever the stream ends). Of two Content-Length headers the query
// answers the first. What WinHTTP hands over for a broken or lying header is the platform's
// choice: Wine's reads a plain-HTTP body to the connection's close but stops an HTTPS body at the
// length it took from the header, so some rows end differently over the two. Whatever the ending,
// the file holds a prefix of the body and a success stores exactly the announced length; a body
// handed over past its length fails with the file holding exactly that length.
TEST_F(HostileHttp, ContentLengthThatLiesOrCannotBeRead) {
    const uint64_t size = body_.size();
    const std::wstring sizeText = std::to_wstring(size);
    const std::wstring largerText = std::to_wstring(size + 1000);
    // Where Wine's WinHTTP meets a broken or doubled length it does not always decide the same way
    // from one run to the next: such a row names the two endings the platform was seen to give.
    struct Case {
        const char* name;
        std::wstring fault;
        uint64_t parsed;  // the expected length the download must have taken from the header
        std::vector<Ending> http, https;
    } const cases[] = {
        {"beyond 64 bits", L"length=99999999999999999999999", UINT64_MAX, {Cut(size)}, {Cut(size)}},
        // A parse that wrapped around instead of saturating would take this for the body's size.
        {"2^64 plus the body's size", L"length=" + Plus(kTwoTo64, size), UINT64_MAX, {Cut(size)}, {Cut(size)}},
        {"2^32 plus the body's size", L"length=" + Plus(static_cast<unsigned __int128>(1) << 32, size),
         (uint64_t{1} << 32) + size, {Cut(size)}, {Cut(size)}},
        // The platform: over HTTPS WinHTTP stops at the length it read; over HTTP at the length
        // or at the close, from run to run.
        {"digits, then junk", L"length=12abc", 12, {Cut(12), Stored(12)}, {Stored(12)}},
        {"a leading space", L"length=%207", 7, {Cut(7), Stored(7)}, {Stored(7)}},
        // The platform: WinHTTP hands over no body at all for a length without digits.
        {"no digits at all", L"length=abc", 0, {Stored(0)}, {Stored(0)}},
        {"a minus sign", L"length=-5", 0, {Stored(size)}, {Stored(size)}},
        {"the body 1000 bytes longer than announced", L"longer=1000", size - 1000, {Stored(size - 1000)},
         {Stored(size - 1000)}},
        // The platform: over HTTP WinHTTP reads to the close; nothing past the length is written.
        {"the body far longer than announced", L"longer=300000", size - 300000, {Cut(size - 300000)},
         {Stored(size - 300000)}},
        {"the same length twice", L"lengths=" + sizeText + L"," + sizeText, size, {Stored(size)}, {Stored(size)}},
        // The platform, for the doubled lengths below: from run to run WinHTTP takes the first
        // length or reads to the close.
        {"the true length, then a smaller one", L"lengths=" + sizeText + L",1000", size, {Stored(size), Cut(size)},
         {Stored(size), Cut(size)}},
        {"a smaller length, then the true one", L"lengths=1000," + sizeText, 1000, {Cut(1000), Stored(1000)},
         {Stored(1000)}},
        {"the true length, then a larger one", L"lengths=" + sizeText + L"," + largerText, size,
         {Stored(size), Cut(size)}, {Stored(size), Cut(size)}},
        {"a larger length, then the true one", L"lengths=" + largerText + L"," + sizeText, size + 1000, {Cut(size)},
         {Cut(size)}},
        {"two lengths in one header", L"length=" + sizeText + L"%2C%201000", size, {Stored(size), Cut(size)},
         {Stored(size), Cut(size)}},
    };
    for (const Case& c : cases) {
        for (const bool secure : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (secure ? " over https" : " over http"));
            const std::vector<Ending>& endings = secure ? c.https : c.http;
            const std::wstring path = L"/_fault/" + c.fault + L"/robustness_http/body.bin";
            const Outcome outcome = Download(secure ? testbed::HttpsUrl(path) : testbed::HttpUrl(path));
            ASSERT_TRUE(outcome.ended) << "the download hung";
            std::string stored;
            ASSERT_TRUE(testbed::ReadFileBytes(target_, stored));
            EXPECT_TRUE(stored == body_.substr(0, stored.size())) << "the file is not a prefix of the body";
            EXPECT_TRUE(std::any_of(endings.begin(), endings.end(), [&](const Ending& e) {
                return e.ok == outcome.ok && e.stored == stored.size();
            })) << (outcome.ok ? "stored " : "cut with ") << stored.size() << " bytes";
            if (outcome.ok) {
                EXPECT_EQ(outcome.error, L"");
                if (c.parsed != 0) {
                    EXPECT_EQ(stored.size(), c.parsed) << "success with another length than announced";
                }
            } else {
                EXPECT_EQ(outcome.error, kCut) << Narrow(outcome.error);
                // A body that ran past its length keeps exactly that length and fails all the same.
                EXPECT_TRUE(stored.size() != c.parsed || stored.size() < size);
            }
        }
    }
}

// The client offers no encoding, so a gzip body sent all the same is stored as it came: the
// compressed bytes, complete by their own length, never the decoded body.
TEST_F(HostileHttp, UnaskedGzipBodyIsStoredAsItCame) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "over https" : "over http");
        const std::wstring path = L"/_fault/gzip/robustness_http/body.bin";
        const Outcome outcome = Download(secure ? testbed::HttpsUrl(path) : testbed::HttpUrl(path));
        ASSERT_TRUE(outcome.ended) << "the download hung";
        EXPECT_TRUE(outcome.ok) << Narrow(outcome.error);
        std::string stored;
        ASSERT_TRUE(testbed::ReadFileBytes(target_, stored));
        EXPECT_EQ(stored.substr(0, 2), "\x1f\x8b") << "not the gzip stream";
        EXPECT_FALSE(stored == body_) << "the body was decoded";
    }
}

// Certificates of the trusted test CA that are still not good for this host (expired, issued to
// another name), met directly or behind a redirect from the trusted server: the connection is
// refused before any response, and the target file is not touched.
TEST_F(HostileHttp, CertificatesThatMustBeRefused) {
    const std::wstring file = L"robustness_http/body.bin";
    const auto hop = [&](unsigned port) {
        return testbed::HttpsUrl(L"/_fault/redirect=https:%2F%2Flocalhost:" + std::to_wstring(port) + L"%2F" + file);
    };
    struct Case {
        const char* name;
        std::wstring url;
    } const cases[] = {
        {"expired", testbed::ExpiredCertificateUrl(file)},
        {"issued to another host", testbed::OtherHostCertificateUrl(file)},
        {"a redirect to an expired one", hop(testbed::HttpsPort() + 2u)},
        {"a redirect to one issued to another host", hop(testbed::HttpsPort() + 3u)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testbed::WriteFileBytes(target_, "keep me"));
        const Outcome outcome = Download(c.url);
        ASSERT_TRUE(outcome.ended) << "the download hung";
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, kNoConnection) << Narrow(outcome.error);
        std::string stored;
        ASSERT_TRUE(testbed::ReadFileBytes(target_, stored));
        EXPECT_EQ(stored, "keep me");
    }
    EXPECT_TRUE(trace_.events().empty()) << trace_.Describe();
}

// WinHTTP follows a redirect by default; a loop, a downgrade to plain HTTP and a hop to a server
// with an untrusted certificate all end in a failure before the target file is touched.
TEST_F(HostileHttp, Redirects) {
    const std::wstring file = L"robustness_http/body.bin";
    const std::wstring httpHop = L"http:%2F%2F127.0.0.1:" + std::to_wstring(testbed::HttpPort()) + L"%2F" + file;
    const std::wstring untrustedHop =
        L"https:%2F%2Flocalhost:" + std::to_wstring(testbed::HttpsPort() + 1) + L"%2F" + file;
    struct Case {
        const char* name;
        std::wstring url;
        std::wstring error;  // empty: the body arrives
    } const cases[] = {
        {"to the file over http", testbed::HttpUrl(L"/_fault/redirect=" + file), L""},
        {"to the file over https", testbed::HttpsUrl(L"/_fault/redirect=" + file), L""},
        {"a loop over http", testbed::HttpUrl(L"/_fault/loop/" + file), kNoConnection},
        {"a loop over https", testbed::HttpsUrl(L"/_fault/loop/" + file), kNoConnection},
        // The platform: WinHTTP refuses the hop down to plain HTTP (it could also have handed
        // over the 302 itself, which would end in "서버 응답 302").
        {"from https down to http", testbed::HttpsUrl(L"/_fault/redirect=" + httpHop), kNoConnection},
        {"to an untrusted certificate", testbed::HttpsUrl(L"/_fault/redirect=" + untrustedHop), kNoConnection},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testbed::WriteFileBytes(target_, "keep me"));
        const Outcome outcome = Download(c.url);
        ASSERT_TRUE(outcome.ended) << "the download hung";
        std::string stored;
        ASSERT_TRUE(testbed::ReadFileBytes(target_, stored));
        EXPECT_EQ(outcome.error, c.error) << Narrow(outcome.error);
        if (c.error.empty()) {
            EXPECT_TRUE(outcome.ok);
            EXPECT_TRUE(stored == body_);
        } else {
            EXPECT_FALSE(outcome.ok);
            EXPECT_EQ(stored, "keep me");
        }
    }
}

// Whole attempts whose manifest or payload comes from a misbehaving server: each ends in the
// failure text of its fault, without installing anything, or installs the real payload.
TEST(HostileHttpWorker, EachFaultHasItsEnding) {
    // 2^64 plus the manifest's own size: only a saturating parse refuses it.
    const std::wstring kWrappingLength = L"length=2^64+size";
    struct Case {
        const char* name;
        std::wstring manifestFault;  // "" = served as it is
        std::wstring payloadFault;
        std::wstring failure;  // the failure text; empty: the attempt succeeds
    } const cases[] = {
        {"manifest length that wraps to its size", kWrappingLength, L"", kCut},
        {"manifest behind a redirect loop", L"loop", L"", kNoConnection},
        {"manifest behind a redirect", L"redirect=", L"", L""},
        // The platform: over HTTPS WinHTTP hands over only the announced length, which the
        // download takes as whole; the digest then catches the cut payload.
        {"payload longer than announced", L"", L"longer=1000", kCorrupt},
        {"payload with junk after the length's digits", L"", L"length=12abc", kCorrupt},
        {"payload behind a redirect loop", L"", L"loop", kNoConnection},
        {"payload behind a redirect", L"", L"redirect=", L""},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttemptScope attempt(L"hostile_worker");
        RemoveWorkerTempFiles();
        MessageTrace trace;
        ReleaseSite site(L"robustness_http_" + std::to_wstring(index++));
        const std::string payload = MakeZip(AppEntries("2.4.1"));
        ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
        const std::wstring payloadPath = site.HostPath(PAYLOAD_FILE);
        std::wstring payloadUrl = site.Url(PAYLOAD_FILE);
        if (c.payloadFault == L"redirect=") {
            payloadUrl = testbed::HttpsUrl(L"/_fault/redirect=" + payloadPath);
        } else if (!c.payloadFault.empty()) {
            payloadUrl = site.FaultUrl(c.payloadFault, PAYLOAD_FILE);
        }
        const std::string manifest = ManifestJson("2.4.1", Narrow(payloadUrl), Sha256Hex(payload));
        ASSERT_TRUE(site.PutManifest(manifest));
        std::wstring servedManifest = site.Url(MANIFEST_URL_PATH);
        if (c.manifestFault == kWrappingLength) {
            servedManifest = site.FaultUrl(L"length=" + Plus(kTwoTo64, manifest.size()), MANIFEST_URL_PATH);
        } else if (c.manifestFault == L"redirect=") {
            servedManifest = testbed::HttpsUrl(L"/_fault/redirect=" + site.HostPath(MANIFEST_URL_PATH));
        } else if (!c.manifestFault.empty()) {
            servedManifest = site.FaultUrl(c.manifestFault, MANIFEST_URL_PATH);
        }
        wcsncpy_s(manifestUrl, servedManifest.c_str(), _TRUNCATE);

        ASSERT_TRUE(attempt.Run(trace, kNoHangMs)) << "the attempt hung\n" << trace.Describe();
        if (c.failure.empty()) {
            EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
            EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.4.1\r\n");
            continue;
        }
        EXPECT_EQ(FailureText(trace.events()), c.failure) << trace.Describe();
        EXPECT_FALSE(FileExists(attempt.appFolder())) << "something was installed";
    }
}

// Whole attempts against what must never become an install: a payload gzip-encoded without being
// asked for, two Content-Length headers, and certificates to refuse for the manifest or the
// payload. Each ends with the outcome of its case; a failure installs nothing, and a refused
// connection leaves no file of the attempt in the temporary folder.
TEST(HostileHttpWorker, NeverInstallsWhatItMustNotTrust) {
    // An outcome that is not a failure text: the attempt succeeds with the published release.
    const std::wstring kInstalled = L"<a working install of the release>";
    const std::wstring kInstalledOrCut = L"<either a working install or the broken-stream text>";
    using UrlFor = std::function<std::wstring(const ReleaseSite& site, size_t size)>;
    const auto fault = [](const std::wstring& name) {
        return [=](const ReleaseSite& site, size_t) { return site.FaultUrl(name, PAYLOAD_FILE); };
    };
    const auto lengths = [](const wchar_t* first, const wchar_t* second) {
        return [=](const ReleaseSite& site, size_t size) {
            const auto text = [&](const wchar_t* item) { return item ? std::wstring(item) : std::to_wstring(size); };
            return site.FaultUrl(L"lengths=" + text(first) + L"," + text(second), PAYLOAD_FILE);
        };
    };
    const auto on = [](std::wstring (*url)(const std::wstring&), const wchar_t* relative) {
        return [=](const ReleaseSite& site, size_t) { return url(L"/" + site.HostPath(relative)); };
    };
    const UrlFor untrustedHop = [](const ReleaseSite& site, size_t) {
        return testbed::HttpsUrl(L"/_fault/redirect=https:%2F%2Flocalhost:" + std::to_wstring(testbed::HttpsPort() + 1u) +
                                 L"%2F" + site.HostPath(PAYLOAD_FILE));
    };
    struct Case {
        const char* name;
        UrlFor payload;   // null: the payload's own URL
        UrlFor manifest;  // null: the manifest's own URL
        bool digest;
        std::wstring outcome;
    } const cases[] = {
        {"payload gzip-encoded, with a digest", fault(L"gzip"), nullptr, true, kCorrupt},
        // The stored file is the gzip stream; the platform's tar (bsdtar) unwraps gzip by itself
        // and extracts the real archive inside.
        {"payload gzip-encoded, without a digest", fault(L"gzip"), nullptr, false, kInstalled},
        {"payload with its length twice", lengths(nullptr, nullptr), nullptr, true, kInstalled},
        // The platform: WinHTTP takes the first of two lengths or reads to the close, from run to
        // run (see ContentLengthThatLiesOrCannotBeRead); the download then stores it whole or cut.
        {"payload with the true length, then a smaller one", lengths(nullptr, L"1000"), nullptr, true,
         kInstalledOrCut},
        {"payload with a smaller length, then the true one", lengths(L"1000", nullptr), nullptr, true, kCorrupt},
        {"payload behind a redirect to an untrusted certificate", untrustedHop, nullptr, true, kNoConnection},
        {"payload on an expired certificate", on(testbed::ExpiredCertificateUrl, PAYLOAD_FILE), nullptr, true,
         kNoConnection},
        {"payload on a certificate for another host", on(testbed::OtherHostCertificateUrl, PAYLOAD_FILE), nullptr,
         true, kNoConnection},
        {"manifest on an expired certificate", nullptr, on(testbed::ExpiredCertificateUrl, MANIFEST_URL_PATH), true,
         kNoConnection},
        {"manifest on a certificate for another host", nullptr,
         on(testbed::OtherHostCertificateUrl, MANIFEST_URL_PATH), true, kNoConnection},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttemptScope attempt(L"hostile_trust");
        RemoveWorkerTempFiles();
        MessageTrace trace;
        ReleaseSite site(L"robustness_trust_" + std::to_wstring(index++));
        const std::string payload = MakeZip(AppEntries("2.4.1"));
        ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
        const std::wstring payloadUrl = c.payload ? c.payload(site, payload.size()) : site.Url(PAYLOAD_FILE);
        const std::string manifest = ManifestJson("2.4.1", Narrow(payloadUrl), c.digest ? Sha256Hex(payload) : "");
        ASSERT_TRUE(site.PutManifest(manifest));
        if (c.manifest) wcsncpy_s(manifestUrl, c.manifest(site, manifest.size()).c_str(), _TRUNCATE);

        ASSERT_TRUE(attempt.Run(trace, kNoHangMs)) << "the attempt hung\n" << trace.Describe();
        const bool succeeded = Succeeded(trace.events());
        const std::wstring outcome = succeeded ? kInstalled : FailureText(trace.events());
        if (c.outcome == kInstalledOrCut) {
            EXPECT_TRUE(outcome == kInstalled || outcome == kCut) << trace.Describe();
        } else {
            EXPECT_EQ(outcome, c.outcome) << trace.Describe();
        }
        if (succeeded) {
            EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.4.1\r\n");
            continue;
        }
        EXPECT_FALSE(FileExists(attempt.appFolder())) << "something was installed";
        if (outcome == kNoConnection || outcome == kCorrupt || outcome == kExtractFailed) {
            EXPECT_FALSE(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)));
        }
        if (outcome == kNoConnection) {
            EXPECT_FALSE(FileExists(TempFilePath(MANIFEST_TEMP_NAME)));
        }
    }
}

// A server that sends the headers and then nothing. The cancel flag is checked between reads,
// and under Wine a read returns only when its 256 KiB buffer is full, the stream ends or
// WinHTTP's receive time-out (30 s by default) passes: the attempt ends with "취소됨" once that
// read gives up, not at the moment of the request. The bound allows for the time-out twice.
TEST(HostileHttpWorker, StalledPayloadEndsCancelledOnceTheReadGivesUp) {
    AttemptScope attempt(L"hostile_stall");
    RemoveWorkerTempFiles();
    MessageTrace trace;
    ReleaseSite site(L"robustness_http_stall");
    const std::string payload = MakeZip(AppEntries("2.4.1"));
    ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
    ASSERT_TRUE(site.PutManifest(
        ManifestJson("2.4.1", Narrow(site.FaultUrl(L"stall", PAYLOAD_FILE)), Sha256Hex(payload))));

    // The host has the payload request and the payload file appears once the headers are in:
    // from there the worker only reads, and the first read waits.
    const std::wstring payloadFile = TempFilePath(PAYLOAD_TEMP_NAME);
    const std::string stalled = Narrow(L"/_fault/stall/" + site.HostPath(PAYLOAD_FILE));
    const size_t stalledBefore = testbed::HostRequests(stalled).size();
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        while (!stop && !(testbed::HostRequests(stalled).size() > stalledBefore && FileExists(payloadFile))) Sleep(10);
        installState.cancelRequested = true;
    });
    const bool ended = attempt.Run(trace, 75000);
    stop = true;
    canceller.join();

    ASSERT_TRUE(ended) << "the attempt did not end after the cancel request\n" << trace.Describe();
    EXPECT_EQ(trace.StageEvents(), (std::vector<TraceEvent>{ProgressEvent(0), StatusEvent(L"최신 버전 확인 중..."),
                                                            StatusEvent(L"v2.4.1 내려받는 중..."),
                                                            StatusEvent(L"취소됨"), DoneEvent(0)}))
        << trace.Describe();
    EXPECT_EQ(ReadText(payloadFile), "") << "the payload file stays, empty";
    EXPECT_FALSE(FileExists(attempt.appFolder()));
}

}  // namespace

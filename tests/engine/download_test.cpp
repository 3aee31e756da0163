// DownloadToFile against the local release host: results, failure texts, the target file's fate
// and the reports posted to the window, over HTTP and HTTPS.
#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/resume_cancel.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using testbed::HttpsUrl;
using testbed::HttpUrl;

struct Outcome {
    bool ok = false;
    std::wstring error;
};

// Puts the shared state back before the trace window attaches itself to it.
struct FreshInstallState {
    FreshInstallState() { ResetInstallState(); }
};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = testbed::MakeScratchFolder(L"download");
        target_ = folder_ + L"\\target.bin";
    }

    // Publishes bytes at www/dl/<name> and returns the URL path.
    std::wstring Publish(const std::wstring& name, const std::string& bytes) {
        EXPECT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(L"dl/" + name), bytes));
        return L"/dl/" + name;
    }

    Outcome Download(const std::wstring& url, const DownloadOptions& options = {}) {
        Outcome outcome;
        wchar_t error[256] = {};
        EXPECT_TRUE(trace_.RunOnThread(
            [&] { outcome.ok = DownloadToFile(url.c_str(), target_.c_str(), error, 256, options); }));
        outcome.error = error;
        return outcome;
    }

    std::string TargetBytes() {
        std::string bytes;
        EXPECT_TRUE(testbed::ReadFileBytes(target_, bytes)) << "target file missing";
        return bytes;
    }

    bool TargetExists() { return GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES; }

    FreshInstallState fresh_;
    MessageTrace trace_;
    std::wstring folder_;
    std::wstring target_;
};

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

// Whole bodies arrive, with and without a length, over both schemes.
TEST_F(DownloadTest, StoresTheWholeBody) {
    const std::string body = Pattern(3 * 1024 * 1024 + 5);
    const std::wstring path = Publish(L"body.bin", body);
    struct Case {
        const char* name;
        std::wstring url;
    } const cases[] = {
        {"http", HttpUrl(path)},
        {"https", HttpsUrl(path)},
        {"http without length", HttpUrl(L"/_fault/nolength" + path)},
        {"https without length", HttpsUrl(L"/_fault/nolength" + path)},
        {"http chunked", HttpUrl(L"/_fault/chunked" + path)},
        {"https chunked", HttpsUrl(L"/_fault/chunked" + path)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Download(c.url);
        EXPECT_TRUE(outcome.ok) << Narrow(outcome.error);
        EXPECT_EQ(outcome.error, L"") << "errorText is untouched on success";
        EXPECT_TRUE(TargetBytes() == body);
    }
}

TEST_F(DownloadTest, ReportsOneChunkOnceWithPerMilleAndTruncatedMegabytes) {
    const std::wstring path = Publish(L"small.bin", Pattern(1000));
    Download(HttpUrl(path));
    EXPECT_EQ(trace_.events(), (std::vector<TraceEvent>{ProgressEvent(1000), StatusEvent(L"본체 내려받는 중  0 / 0 MB")}))
        << trace_.Describe();
}

TEST_F(DownloadTest, ReportsWithoutLengthPostNoProgress) {
    const std::wstring path = Publish(L"small.bin", Pattern(1000));
    installState.downloadLabel = DOWNLOAD_LABEL_MODELS;
    Download(HttpUrl(L"/_fault/nolength" + path));
    EXPECT_EQ(trace_.events(), (std::vector<TraceEvent>{StatusEvent(L"AI 모델 내려받는 중  0 MB")})) << trace_.Describe();
}

// A larger body: the total is shown truncated (2 MiB - 1 byte is "1 MB"), every progress value
// comes directly before its status line, and per-mille values never go down.
TEST_F(DownloadTest, ReportsPairProgressWithStatusInOrder) {
    const std::wstring path = Publish(L"almost2.bin", Pattern(2 * 1024 * 1024 - 1));
    ASSERT_TRUE(Download(HttpUrl(path)).ok);
    const auto& events = trace_.events();
    ASSERT_GE(events.size(), 2u) << trace_.Describe();
    ASSERT_EQ(events.size() % 2, 0u) << trace_.Describe();
    long long previous = 0;
    for (size_t i = 0; i < events.size(); i += 2) {
        ASSERT_EQ(events[i].kind, TraceEvent::Progress) << trace_.Describe();
        ASSERT_EQ(events[i + 1].kind, TraceEvent::Status) << trace_.Describe();
        EXPECT_GE(events[i].value, previous);
        EXPECT_LE(events[i].value, 1000);
        previous = events[i].value;
        EXPECT_NE(events[i + 1].text.find(L" / 1 MB"), std::wstring::npos) << Narrow(events[i + 1].text);
    }
}

// A steady transfer of about three seconds, 256 KiB (one read) every 15 ms: the server's pace is
// ten times finer than the 150 ms between reports, so the gaps measure the download's own
// interval. Every gap is more than 150 ms and at most one read and a clock step longer, and they
// keep coming until the end of the transfer. A report's time is the time its progress message
// was posted. Under Wine the tick count the download reads moves in steps of about 16 ms (twice
// that when the machine is busy) while the messages carry the server's own clock, so a gap is
// known only to within such a step.
TEST_F(DownloadTest, ReportsAtMostEvery150MsThroughTheWholeTransfer) {
    constexpr size_t kReads = 200;
    constexpr DWORD kPaceMs = 15;
    constexpr DWORD kClockStepMs = 32;
    const std::string body = Pattern(kReads * 256 * 1024);
    const std::wstring path = Publish(L"paced.bin", body);
    std::vector<DWORD> postedMs;
    std::vector<long long> perMille;
    trace_.onEvent = [&](const TraceEvent& event) {
        if (event.kind != TraceEvent::Progress) return;
        postedMs.push_back(static_cast<DWORD>(GetMessageTime()));
        perMille.push_back(event.value);
    };
    const ULONGLONG start = GetTickCount64();
    const Outcome outcome = Download(HttpUrl(L"/_fault/pace=" + std::to_wstring(kPaceMs) + path));
    const ULONGLONG transferMs = GetTickCount64() - start;
    ASSERT_TRUE(outcome.ok) << Narrow(outcome.error);
    ASSERT_GE(transferMs, kReads * kPaceMs * 9 / 10) << "the transfer was not paced";

    ASSERT_GE(postedMs.size(), 10u) << trace_.Describe();
    std::vector<DWORD> gaps;
    for (size_t i = 1; i < postedMs.size(); ++i) {
        gaps.push_back(postedMs[i] - postedMs[i - 1]);
        EXPECT_GT(gaps.back(), 150u - kClockStepMs) << "reports " << i - 1 << " and " << i << "\n" << trace_.Describe();
    }
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], 150u + 2 * kClockStepMs) << "median gap\n" << trace_.Describe();
    EXPECT_GE(perMille.back(), 900) << trace_.Describe();
    EXPECT_GE(postedMs.back() - postedMs.front(), transferMs * 3 / 4);
}

TEST_F(DownloadTest, EmptyBodySucceedsWithEmptyFileAndNoReport) {
    const std::wstring path = Publish(L"empty.bin", "");
    for (const std::wstring& url : {HttpUrl(path), HttpUrl(L"/_fault/nolength" + path), HttpsUrl(path)}) {
        SCOPED_TRACE(Narrow(url));
        testbed::WriteFileBytes(target_, "old contents");
        const Outcome outcome = Download(url);
        EXPECT_TRUE(outcome.ok) << Narrow(outcome.error);
        EXPECT_EQ(TargetBytes(), "");
    }
    EXPECT_TRUE(trace_.events().empty()) << trace_.Describe();
}

// Failures before the body: each has its text and leaves an existing target file as it was.
TEST_F(DownloadTest, FailsBeforeTheBodyWithoutTouchingTheTarget) {
    const std::wstring path = Publish(L"body.bin", Pattern(5000));
    const unsigned closedPort = testbed::HttpPort() + 7;  // nothing listens there
    struct Case {
        const char* name;
        std::wstring url;
        std::wstring error;
    } const cases[] = {
        {"404 over http", HttpUrl(L"/dl/missing.bin"), L"서버 응답 404"},
        {"404 over https", HttpsUrl(L"/dl/missing.bin"), L"서버 응답 404"},
        {"status 500", HttpUrl(L"/_fault/status=500" + path), L"서버 응답 500"},
        {"unreachable port", L"http://127.0.0.1:" + std::to_wstring(closedPort) + L"/x",
         L"서버에 연결할 수 없습니다 (인터넷 연결 확인)"},
        {"untrusted certificate", testbed::UntrustedHttpsUrl(path), L"서버에 연결할 수 없습니다 (인터넷 연결 확인)"},
        {"malformed url", L"not a url", L"주소 해석 실패"},
        {"other scheme", L"ftp://127.0.0.1/x", L"주소 해석 실패"},
        {"host too long", L"http://" + std::wstring(300, L'a') + L".example/x", L"주소 해석 실패"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testbed::WriteFileBytes(target_, "keep me"));
        const Outcome outcome = Download(c.url);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, c.error) << Narrow(outcome.error);
        EXPECT_EQ(TargetBytes(), "keep me");
    }
    EXPECT_TRUE(trace_.events().empty()) << trace_.Describe();
}

// A body that ends before its length, or a stream that breaks where there is no length: the
// partial file stays for the caller to judge.
TEST_F(DownloadTest, ShortBodyFailsAndKeepsWhatArrived) {
    const std::string body = Pattern(600 * 1024);
    const std::wstring path = Publish(L"body.bin", body);
    struct Case {
        const char* name;
        std::wstring url;
    } const cases[] = {
        {"graceful close before the length", HttpUrl(L"/_fault/short=1000" + path)},
        {"reset before the length", HttpUrl(L"/_fault/drop=300000" + path)},
        {"chunked, reset before the last chunk", HttpUrl(L"/_fault/chunkcut=300000" + path)},
        {"chunked over https, reset before the last chunk", HttpsUrl(L"/_fault/chunkcut=300000" + path)},
        {"chunked, reset right before the last (empty) chunk",
         HttpUrl(L"/_fault/chunkcut=" + std::to_wstring(body.size()) + path)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Download(c.url);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, L"다운로드가 중간에 끊겼습니다");
        const std::string got = TargetBytes();
        EXPECT_LE(got.size(), body.size());
        EXPECT_TRUE(got == body.substr(0, got.size()));
    }
}

TEST_F(DownloadTest, CancelBeforeTheFirstReadLeavesAnEmptyFile) {
    const std::wstring path = Publish(L"body.bin", Pattern(5000));
    installState.cancelRequested = true;
    const Outcome outcome = Download(HttpsUrl(path));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"취소됨");
    EXPECT_TRUE(TargetExists());
    EXPECT_EQ(TargetBytes(), "");
    EXPECT_TRUE(trace_.events().empty()) << trace_.Describe();
}

// Cancel seen after every byte was stored still wins: the request comes right before the read
// that would find the body's end, once the file holds the whole body (the body may arrive in one
// read or several).
TEST_F(DownloadTest, CancelAfterTheLastChunkStillFails) {
    const std::string body = Pattern(4000);
    const std::wstring url = HttpUrl(Publish(L"body.bin", body));
    const auto whole = [&] {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        return GetFileAttributesExW(target_.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeHigh == 0 &&
               data.nFileSizeLow == body.size();
    };
    bool ok = true;
    wchar_t error[256] = {};
    ASSERT_TRUE(trace_.RunOnThread([&] {
        interposer::Interposer calls;
        for (unsigned read = 2; read <= 8; ++read) {
            calls.AtCall("WinHttpReadData", read, [&] {
                if (whole()) installState.cancelRequested = true;
            });
        }
        ok = DownloadToFile(url.c_str(), target_.c_str(), error, 256, {});
    }));
    EXPECT_FALSE(ok);
    EXPECT_STREQ(error, L"취소됨");
    EXPECT_TRUE(TargetBytes() == body);
}

// A cancel request during a slow transfer stops it at the next chunk: the file holds only part
// of the body. (Under Wine a read waits until the whole 256 KiB buffer is filled, so the body is
// several buffers long and trickles in.)
TEST_F(DownloadTest, CancelDuringATrickleStopsTheTransfer) {
    const std::string body = Pattern(2 * 1024 * 1024);
    const std::wstring path = Publish(L"slow.bin", body);
    trace_.onEvent = [](const TraceEvent&) { installState.cancelRequested = true; };
    const Outcome outcome = Download(HttpUrl(L"/_fault/trickle=1" + path));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"취소됨");
    const std::string got = TargetBytes();
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), body.size());
    EXPECT_TRUE(got == body.substr(0, got.size()));
}

TEST_F(DownloadTest, TargetThatCannotBeCreated) {
    const std::wstring path = Publish(L"body.bin", Pattern(100));
    target_ = folder_ + L"\\no such folder\\target.bin";
    const Outcome outcome = Download(HttpUrl(path));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"임시 파일을 만들 수 없습니다");
}

// A write that fails (the device is full) ends the transfer with a text of its own.
TEST_F(DownloadTest, WriteFailureHasItsOwnText) {
    const std::wstring path = Publish(L"body.bin", Pattern(100 * 1024));
    target_ = L"Z:\\dev\\full";
    const Outcome outcome = Download(HttpUrl(path));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)");
}

// A resume record this program could not have written (a validator longer than any it keeps) is
// no record: the earlier file starts over from the first byte, without a range.
TEST_F(DownloadTest, ARecordTooLongForItsValidatorStartsOver) {
    const std::string body = Pattern(5000);
    const std::wstring path = Publish(L"long_record.bin", body);
    const std::wstring url = HttpsUrl(path);
    ASSERT_TRUE(testbed::WriteFileBytes(target_, body.substr(0, 1000)));
    const std::wstring record = url + L"\n\"" + std::wstring(400, L'e') + L"\"\n";
    ASSERT_TRUE(testbed::WriteFileBytes(target_ + RESUME_RECORD_SUFFIX,
                                        std::string(reinterpret_cast<const char*>(record.data()),
                                                    record.size() * sizeof(wchar_t))));
    const size_t before = testbed::HostRequests(Narrow(path)).size();
    DownloadOptions options;
    options.keepPartial = true;
    const Outcome outcome = Download(url, options);
    EXPECT_TRUE(outcome.ok) << Narrow(outcome.error);
    EXPECT_TRUE(TargetBytes() == body);
    const std::vector<testbed::HostRequest> requests = testbed::HostRequests(Narrow(path));
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_FALSE(requests.back().Header("Range").has_value());
}

// The host counts the requests of each URL for the life of the bed: a URL of its own for each run.
std::wstring UniqueName() { return std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64()); }


// A transfer that the host cuts (a reset after the given number of body bytes on its first,
// second, ... request) is taken up where the file ends, with Range and If-Range, when the host
// honours them; a host that ignores the range, answers another range, changes the file or gives
// no validator makes it start over, which a complete file still ends. A 5xx is tried again after
// its Retry-After, a 4xx never. Each cut lies well past one read and 64 KiB: a reset may take the
// bytes of the read it meets.
TEST_F(DownloadTest, CutTransfersAreTakenUpOrStartedOver) {
    const std::string body = Pattern(3 * 1024 * 1024 + 17);
    const std::string large = Pattern(20 * 1024 * 1024 + 17);
    const std::string cut = "cut=" + std::to_string(400000);
    struct Case {
        const char* name;
        std::string fault;
        bool strongOnly;
        bool ok;
        size_t requests;
        bool lastResumes;  // the last request asks for a range
        double wireLimit;  // bytes the host sent over the body's size, at most; 0: not checked
    } const cases[] = {
        // A reset may also take the bytes of the read it meets, up to 256 KiB a cut under Wine: the
        // body is large enough for three of those to stay within the bound.
        {"cut three times", "cut=5000000,5000000,5000000", false, true, 4, true, 1.05},
        {"ranges ignored", cut + "+norange", false, true, 2, true, 0},
        {"another range answered", cut + "+wrongrange", false, true, 3, false, 0},
        {"the file changed between tries", cut + "+changed", false, true, 2, true, 0},
        {"no validator", cut + "+novalidator", false, true, 2, false, 0},
        {"a weak ETag where a strong one is needed", cut + "+weaketag", true, true, 2, false, 0},
        {"a weak ETag, with Last-Modified allowed", cut + "+weaketag", false, true, 2, false, 0},
        {"busy once", "busy=1", false, true, 2, false, 0},
        {"cut until the resumes are used up", "cut=400000,400000,400000,400000,400000,400000", false, false, 6, true, 0},
        {"not found", "status=404", false, false, 1, false, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring name = L"resume_" + UniqueName() + L"_" + std::to_wstring(index++) + L".bin";
        const std::string& bytes = c.wireLimit != 0 ? large : body;
        const std::wstring file = Publish(name, bytes);
        const std::string path = "/_fault/" + c.fault + Narrow(file);
        DownloadOptions options;
        options.strongValidatorOnly = c.strongOnly;
        const Outcome outcome = Download(HttpUrl(std::wstring(path.begin(), path.end())), options);
        EXPECT_EQ(outcome.ok, c.ok) << Narrow(outcome.error);
        if (c.ok) {
            EXPECT_TRUE(TargetBytes() == bytes);
        } else if (c.fault.rfind("cut", 0) == 0) {
            EXPECT_EQ(outcome.error, L"다운로드가 중간에 끊겼습니다");
        } else {
            EXPECT_EQ(outcome.error, L"서버 응답 404");
        }
        const auto requests = testbed::HostRequests(path);
        ASSERT_EQ(requests.size(), c.requests);
        for (size_t i = 1; i < requests.size(); ++i) {
            const bool last = i + 1 == requests.size();
            if (last && !c.lastResumes) {
                EXPECT_FALSE(requests[i].Header("Range").has_value()) << "request " << i + 1;
                continue;
            }
            if (!requests[i].Header("Range")) continue;  // after a 503 nothing was kept
            EXPECT_NE(*requests[i].Header("Range"), "bytes=0-");
            EXPECT_TRUE(requests[i].Header("If-Range").has_value());
        }
        if (c.wireLimit != 0) {
            EXPECT_LE(static_cast<double>(testbed::HostBytesSent(path)), c.wireLimit * static_cast<double>(bytes.size()));
        }
    }
}

// Between tries the download waits on the cancel request itself: a cancel made while it waits
// (its resume line is in the setup log) ends the download with the cancel text, and the next try
// is never made.
TEST_F(DownloadTest, CancelDuringThePauseBetweenTries) {
    const std::wstring file = Publish(L"pause_cancel_" + UniqueName() + L".bin", Pattern(1024 * 1024));
    const std::string path = "/_fault/cut=400000" + Narrow(file);
    const std::wstring url = HttpUrl(std::wstring(path.begin(), path.end()));
    Outcome outcome;
    {
        const CancelAtFirstResume cancel(url);
        outcome = Download(url);
    }
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"취소됨");
    EXPECT_EQ(testbed::HostRequests(path).size(), 1u);
}

TEST_F(DownloadTest, ErrorTextIsCutToItsCapacity) {
    wchar_t error[6] = {};
    bool ok = true;
    trace_.RunOnThread([&] { ok = DownloadToFile(L"not a url", target_.c_str(), error, 6); });
    EXPECT_FALSE(ok);
    EXPECT_STREQ(error, L"주소 해석");
}

}  // namespace

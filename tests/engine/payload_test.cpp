// Stages 2 and 3: the file digest itself, and whole worker runs against the local release host
// for each way the payload download and its verification can go.
#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/payload.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/resume_cancel.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using testbed::FileExists;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// Bytes that no run of equal bytes or period of 1 MiB would hash the same. Byte i is
// (i * 131 + i // 4099) & 0xFF: the digests below were written by Python's hashlib over the same
// rule, so they owe nothing to the platform's hashing.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    return bytes;
}

TEST(HashFileSha256, DigestsWholeFilesInLowerCase) {
    const std::wstring folder = testbed::MakeScratchFolder(L"hash");
    struct Case {
        const char* name;
        std::string bytes;
        std::string digest;
    } const cases[] = {
        // The published SHA-256 test vectors.
        {"empty file", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"a million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"exactly one buffer", Pattern(1048576), "d4c88e60f97719d6e1cc624c195e9fe9f166a4c05e0469f6b70cf9c7afeb5cd7"},
        {"more than three buffers", Pattern(3 * 1048576 + 17),
         "2af49c35d275008e44d0fcb5345ba127134a3823c6c5d570f8d5173b01459adc"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = folder + L"\\file" + std::to_wstring(index++);
        ASSERT_TRUE(testbed::WriteFileBytes(path, c.bytes));
        wchar_t digest[65];
        wmemset(digest, L'#', 65);
        EXPECT_TRUE(HashFileSha256(path.c_str(), digest, 65));
        EXPECT_EQ(std::wstring(digest), Widen(c.digest));
    }
    wchar_t digest[65] = {};
    EXPECT_FALSE(HashFileSha256((folder + L"\\missing").c_str(), digest, 65));
    EXPECT_FALSE(HashFileSha256((folder + L"\\file1").c_str(), digest, 64)) << "no room for 64 digits";
}

// The manifest of release 2.4.1 with the sha256 member's value as JSON text, as its last
// member; an empty value text leaves the member out.
std::string ManifestWithDigest(const std::string& url, const std::string& digestJson) {
    std::string text = "{\"version\": \"2.4.1\", \"url\": \"" + url + "\"";
    if (!digestJson.empty()) text += ", \"sha256\": " + digestJson;
    return text + "}";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The worker from the manifest to the end of extraction, for each digest the manifest may carry.
// Without a digest the payload goes unverified, as the publisher chose; a digest that is there
// but is not 64 hexadecimal digits makes the manifest invalid, before anything is downloaded.
TEST(PayloadStages, WorkerRunsByDigest) {
    const std::string payload = MakeZip(AppEntries("2.4.1"));
    const std::string digest = Sha256Hex(payload);
    std::string wrong = digest;
    wrong[10] = wrong[10] == '0' ? '1' : '0';

    const std::vector<TraceEvent> checking = {ProgressEvent(0), StatusEvent(L"최신 버전 확인 중...")};
    auto then = [&](std::vector<TraceEvent> tail) {
        std::vector<TraceEvent> events = checking;
        events.push_back(StatusEvent(L"v2.4.1 내려받는 중..."));
        events.insert(events.end(), tail.begin(), tail.end());
        return events;
    };
    const TraceEvent verifying = StatusEvent(L"받은 파일 검증 중...");
    const TraceEvent extracting = StatusEvent(L"설치 중... (압축 해제, 1~3분)");
    const std::vector<TraceEvent> corrupt = then(
        {verifying, StatusEvent(L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."), DoneEvent(0)});
    std::vector<TraceEvent> invalid = checking;
    invalid.push_back(StatusEvent(L"버전 파일 형식 오류"));
    invalid.push_back(DoneEvent(0));

    enum Fate { Absent, Kept };
    struct Case {
        const char* name;
        std::string digestJson;     // the sha256 member's value as the manifest carries it; "": none
        std::wstring payloadFault;  // served through this fault; empty: served normally
        std::vector<TraceEvent> events;
        Fate payloadFile;
        bool installed;
    } const cases[] = {
        {"matching digest", Quoted(digest), L"", then({verifying, ProgressEvent(PROGRESS_MARQUEE), extracting}), Absent,
         true},
        {"upper-case digest is accepted", Quoted(Upper(digest)), L"",
         then({verifying, ProgressEvent(PROGRESS_MARQUEE), extracting}), Absent, true},
        {"wrong digest", Quoted(wrong), L"", corrupt, Absent, false},
        {"no digest: no verification, no message", "", L"", then({ProgressEvent(PROGRESS_MARQUEE), extracting}),
         Absent, true},
        {"63 digits", Quoted(digest.substr(0, 63)), L"", invalid, Absent, false},
        {"65 digits", Quoted(digest + "0"), L"", invalid, Absent, false},
        {"64 units with one that is not hex", Quoted(digest.substr(0, 63) + "g"), L"", invalid, Absent, false},
        {"an empty string", Quoted(""), L"", invalid, Absent, false},
        {"a number instead of a string", "12345", L"", invalid, Absent, false},
        {"download cut short keeps the partial file", Quoted(digest), L"short=1000",
         then({StatusEvent(L"다운로드가 중간에 끊겼습니다"), DoneEvent(0)}), Kept, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveWorkerTempFiles();
        ResetInstallState();
        MessageTrace trace;
        ReleaseSite site(L"payload_" + std::to_wstring(index++));
        ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
        const std::wstring url = c.payloadFault.empty() ? site.Url(PAYLOAD_FILE)
                                                        : site.FaultUrl(c.payloadFault, PAYLOAD_FILE);
        ASSERT_TRUE(site.PutManifest(ManifestWithDigest(Narrow(url), c.digestJson)));
        const std::wstring installDir = testbed::MakeScratchFolder(L"payload");
        wcscpy_s(installState.installDir, installDir.c_str());

        ASSERT_TRUE(trace.RunWorker());

        const std::vector<TraceEvent> stageEvents = trace.StageEvents();
        EXPECT_EQ(EventsBeforeShellStage(stageEvents), c.events) << trace.Describe(stageEvents);
        if (c.events != invalid) {
            wchar_t subtitle[96] = {};
            CopySubtitle(subtitle, 96);
            EXPECT_STREQ(subtitle, L"사진 선별 프로그램 설치  ·  v2.4.1");
        }
        EXPECT_EQ(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)), c.payloadFile == Kept);
        std::string version;
        EXPECT_EQ(testbed::ReadFileBytes(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME), version), c.installed);
        if (c.installed) {
            EXPECT_EQ(version, "2.4.1\r\n");
            EXPECT_EQ(stageEvents.back(), DoneEvent(1)) << trace.Describe(stageEvents);
        }
    }
}

// A payload of several download reads, for the tests that cut or stop its transfer.
std::string LargePayload() {
    std::vector<ZipEntry> entries = AppEntries("2.4.1");
    entries.insert(entries.begin(), ZipEntry{AppEntryName(L"lib/model_data.bin"), Pattern(2 * 1024 * 1024)});
    return MakeZip(entries);
}

// One worker run into a fresh install folder; the run's stage events.
std::vector<TraceEvent> RunAttempt(std::wstring& installDir) {
    ResetInstallState();
    MessageTrace trace;
    installDir = testbed::MakeScratchFolder(L"payload");
    wcscpy_s(installState.installDir, installDir.c_str());
    EXPECT_TRUE(trace.RunWorker());
    return trace.StageEvents();
}

bool Installed(const std::wstring& installDir) {
    std::string version;
    return testbed::ReadFileBytes(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME), version) && version == "2.4.1\r\n";
}

// A cancel while the download waits to take a cut transfer up: the next attempt's first payload
// request asks only for the rest, and that attempt installs.
TEST(PayloadAcrossAttempts, CancelThenRetryTakesThePayloadUp) {
    RemoveWorkerTempFiles();
    const std::string payload = LargePayload();
    ReleaseSite site(L"payload_cancel_" + std::to_wstring(GetTickCount64()));
    ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
    const std::wstring url = site.FaultUrl(L"cut=1000000", PAYLOAD_FILE);
    ASSERT_TRUE(site.PutManifest(ManifestWithDigest(Narrow(url), Quoted(Sha256Hex(payload)))));

    std::wstring firstDir;
    {
        const CancelAtFirstResume cancel(url);
        RunAttempt(firstDir);
    }
    EXPECT_FALSE(Installed(firstDir));
    EXPECT_TRUE(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)));

    std::wstring secondDir;
    RunAttempt(secondDir);
    EXPECT_TRUE(Installed(secondDir));
    const auto requests = testbed::HostRequests(Narrow(url.substr(url.find(L"/_fault/"))));
    ASSERT_EQ(requests.size(), 2u);
    const auto range = requests[1].Header("Range");
    ASSERT_TRUE(range.has_value());
    EXPECT_NE(*range, "bytes=0-");
}

// A payload that an earlier attempt left whole (its extraction failed, say) is not requested
// again when it is the manifest's: the attempt verifies it once and installs.
TEST(PayloadAcrossAttempts, CompletePayloadIsNotRequestedAgain) {
    RemoveWorkerTempFiles();
    const std::string payload = LargePayload();
    ReleaseSite site(L"payload_complete_" + std::to_wstring(GetTickCount64()));
    ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
    ASSERT_TRUE(site.PutManifest(ManifestWithDigest(Narrow(site.Url(PAYLOAD_FILE)), Quoted(Sha256Hex(payload)))));
    ASSERT_TRUE(testbed::WriteFileBytes(TempFilePath(PAYLOAD_TEMP_NAME), payload));

    std::wstring installDir;
    RunAttempt(installDir);
    EXPECT_TRUE(Installed(installDir));
    const std::string payloadPath = Narrow(L"/" + site.HostPath(PAYLOAD_FILE));
    EXPECT_TRUE(testbed::HostRequests(payloadPath).empty());
}

// A payload larger than the manifest's published size stops at once, never past that size, with
// the corruption text.
TEST(PayloadAcrossAttempts, PayloadLargerThanPublishedStopsAtOnce) {
    RemoveWorkerTempFiles();
    const std::string payload = LargePayload();
    ReleaseSite site(L"payload_oversize_" + std::to_wstring(GetTickCount64()));
    ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
    for (const char* fault : {"", "nolength"}) {
        SCOPED_TRACE(fault);
        RemoveWorkerTempFiles();
        const std::wstring url = *fault ? site.FaultUrl(Widen(fault), PAYLOAD_FILE) : site.Url(PAYLOAD_FILE);
        const std::string manifest = ManifestWithDigest(Narrow(url), Quoted(Sha256Hex(payload)));
        ASSERT_TRUE(site.PutManifest(manifest.substr(0, manifest.rfind('}')) + ", \"size\": \"1000000\"}"));

        std::wstring installDir;
        const std::vector<TraceEvent> events = RunAttempt(installDir);
        EXPECT_FALSE(Installed(installDir));
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2], StatusEvent(L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."));
        std::string kept;
        testbed::ReadFileBytes(TempFilePath(PAYLOAD_TEMP_NAME), kept);
        EXPECT_LE(kept.size(), 1000000u);
    }
}

}  // namespace

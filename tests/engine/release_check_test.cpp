// The release check against the local release host: the manifest as read from its file, the
// installed version file, the same-version question answered as a user would, and the worker's
// exits in this stage.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/release_check.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr char kDigest[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr char kLongVersion[] = "7777777777777777777777777777777777777777777777777777777777777777";  // 64 bytes
constexpr wchar_t kQuestion[] =
    L"이미 최신 버전(v2.4.1)이 설치되어 있습니다.\n\n같은 버전을 다시 설치할까요?\n(아니요 = 설치하지 않고 닫기)";

// How the same-version question is answered; None: it must not come (it would be answered No).
enum class Answer { None, Yes, No, Enter };

int ButtonFor(Answer answer) {
    if (answer == Answer::Yes) return IDYES;
    return answer == Answer::Enter ? BoxAnswerer::PRESS_ENTER : IDNO;
}

struct CheckOutcome {
    StageResult result = StageResult::Continue;
    std::wstring error;
    std::optional<MessageBoxInfo> box;
};

// One run of the stage on a worker-like thread; a question, if one comes, is answered No.
CheckOutcome RunCheck(MessageTrace& trace) {
    CheckOutcome outcome;
    wchar_t error[256] = {};
    BoxAnswerer answerer(trace.window(), IDNO);
    EXPECT_TRUE(trace.RunOnThread([&] { outcome.result = RunReleaseCheck(error); }));
    answerer.Stop();
    outcome.error = error;
    if (!answerer.boxes().empty()) outcome.box = answerer.boxes().front();
    return outcome;
}

std::wstring NewInstallDir() { return testbed::MakeScratchFolder(L"release_check"); }

using testbed::FileExists;

// A manifest of exactly `total` bytes whose url member lies where `keyEnd` says: the index of the
// last byte of the key's closing quote (keyEnd) or of the value's closing quote (valueEnd).
std::string PaddedManifest(size_t quoteIndex, bool keyEnd) {
    const std::string head = R"({"version":"2.4.1","pad":")";
    const std::string tail = R"(","url":"https://h/p.zip")";
    const size_t quoteInTail = keyEnd ? 6 : tail.size() - 1;
    const size_t padding = quoteIndex - head.size() - quoteInTail;
    return head + std::string(padding, '.') + tail + "}";
}

TEST(ReleaseCheck, ReadsTheManifestFile) {
    const std::string url = "https://localhost/dist/payload.zip";
    const std::wstring wideUrl = L"https://localhost/dist/payload.zip";
    const std::wstring digest(kDigest, kDigest + 64);
    std::string upperDigest = kDigest;
    for (char& c : upperDigest) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const StageResult ok = StageResult::Continue;
    const StageResult failed = StageResult::Failed;
    const std::wstring invalid = L"버전 파일 형식 오류";
    struct Case {
        const char* name;
        std::string manifest;
        StageResult result;
        std::wstring error, url, version, sha256;  // fields afterwards; "stale" was preset into sha256
    } const cases[] = {
        {"all three members", ManifestJson("2.4.1", url, kDigest), ok, L"", wideUrl, L"2.4.1", digest},
        {"without sha256 the stale digest is cleared", ManifestJson("2.4.1", url, ""), ok, L"", wideUrl, L"2.4.1", L""},
        {"a digest in upper case is kept", ManifestJson("2.4.1", url, upperDigest), ok, L"", wideUrl, L"2.4.1",
         std::wstring(upperDigest.begin(), upperDigest.end())},
        // A digest that is there but unusable never passes for none.
        {"an empty sha256 is invalid", R"({"url":"u","version":"1","sha256":""})", failed, invalid, L"u", L"1", L""},
        {"a sha256 of 79 units is invalid", R"({"url":"u","version":"1","sha256":")" + std::string(79, 'a') + "\"}",
         failed, invalid, L"u", L"1", L""},
        {"a sha256 of 80 units is invalid", R"({"url":"u","version":"1","sha256":")" + std::string(80, 'a') + "\"}",
         failed, invalid, L"u", L"1", L""},
        {"a byte-order mark before the object", "\xEF\xBB\xBF" + ManifestJson("2.4.1", url, ""), ok, L"", wideUrl,
         L"2.4.1", L""},
        {"without url; version is not looked up", R"({"version":"2.4.1"})", failed, invalid, L"", L"-", L"stale"},
        {"an empty version", R"({"url":"u","version":""})", failed, invalid, L"u", L"", L"stale"},
        {"a version of 32 units", R"({"url":"u","version":")" + std::string(32, '9') + "\"}", failed, invalid, L"u",
         L"", L"stale"},
        {"an empty file", "", failed, invalid, L"", L"-", L"stale"},
        {"a NUL byte ends the text", std::string(R"({"version":"2.4.1")") + '\0' + R"(,"url":"u"})", failed,
         invalid, L"", L"-", L"stale"},
        {"a value ending on byte 16383 is read", PaddedManifest(16382, false), ok, L"", L"https://h/p.zip", L"2.4.1",
         L""},
        {"a key cut by the 16383-byte read is not found", PaddedManifest(16383, true), failed, invalid, L"", L"-",
         L"stale"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetInstallState();
        MessageTrace trace;
        ReleaseSite site(L"release_check_manifest_" + std::to_wstring(index++));
        ASSERT_TRUE(site.PutManifest(c.manifest));
        wcscpy_s(installState.installDir, NewInstallDir().c_str());
        wcscpy_s(installState.releaseSha256, L"stale");

        const CheckOutcome outcome = RunCheck(trace);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.error, c.error) << Narrow(outcome.error);
        EXPECT_EQ(std::wstring(installState.releaseUrl), c.url);
        EXPECT_EQ(std::wstring(installState.releaseVersion), c.version);
        EXPECT_EQ(std::wstring(installState.releaseSha256), c.sha256);
        EXPECT_FALSE(outcome.box) << "no version file, yet a question";
        EXPECT_FALSE(FileExists(TempFilePath(MANIFEST_TEMP_NAME))) << "manifest file not deleted after reading";
    }
}

// The release 2.4.1 against what the installed version file says: asked means the same version.
TEST(ReleaseCheck, ComparesTheInstalledVersionExactly) {
    struct Case {
        const char* name;
        const char* versionFile;  // nullptr: no file
        std::wstring installed;   // as ReadInstalledVersion gives it
        bool asked;
    } const cases[] = {
        {"exact text", "2.4.1", L"2.4.1", true},
        {"CR LF", "2.4.1\r\nbuilt 2026", L"2.4.1", true},
        {"LF", "2.4.1\n", L"2.4.1", true},
        {"a space and more text", "2.4.1 (stable)", L"2.4.1", true},
        {"a leading space", " 2.4.1", L"", false},
        {"a byte-order mark", "\xEF\xBB\xBF" "2.4.1\r\n", L"\xFEFF" L"2.4.1", false},
        {"a tab stays", "2.4.1\t", L"2.4.1\t", false},
        {"2.4.10 is not 2.4.1", "2.4.10", L"2.4.10", false},
        {"an older version", "2.4.0", L"2.4.0", false},
        {"an empty file", "", L"", false},
        {"only 63 bytes are read", kLongVersion, std::wstring(63, L'7'), false},
        {"no file", nullptr, L"", false},
    };
    ReleaseSite site(L"release_check_installed");
    ASSERT_TRUE(site.PutManifest(ManifestJson("2.4.1", "https://h/p.zip", "")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetInstallState();
        MessageTrace trace;
        const std::wstring installDir = NewInstallDir();
        wcscpy_s(installState.installDir, installDir.c_str());
        if (c.versionFile) {
            ASSERT_TRUE(testbed::WriteFileBytes(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME), c.versionFile));
        }
        wchar_t installed[64] = {};
        ReadInstalledVersion(installDir.c_str(), installed, 64);
        EXPECT_EQ(std::wstring(installed), c.installed) << Narrow(installed);

        const CheckOutcome outcome = RunCheck(trace);
        EXPECT_EQ(outcome.box.has_value(), c.asked);
        EXPECT_EQ(outcome.result, c.asked ? StageResult::Skipped : StageResult::Continue);
    }
}

// Whole worker runs that end in this stage, and the question answered Yes, No and with Enter.
TEST(ReleaseCheck, WorkerExits) {
    const std::vector<TraceEvent> start = {ProgressEvent(0), StatusEvent(L"최신 버전 확인 중...")};
    auto with = [&](std::vector<TraceEvent> tail) {
        std::vector<TraceEvent> events = start;
        events.insert(events.end(), tail.begin(), tail.end());
        return events;
    };
    const std::vector<TraceEvent> skipped = with({StatusEvent(L"이미 최신 버전입니다. 설치를 건너뜁니다."), DoneEvent(0)});
    struct Case {
        const char* name;
        bool publishManifest;
        bool sameVersionInstalled;
        Answer answer;
        std::vector<TraceEvent> events;
        bool closeWhenDone;
    } const cases[] = {
        {"manifest missing on the host", false, false, Answer::None,
         with({StatusEvent(L"서버 응답 404"), DoneEvent(0)}), false},
        {"manifest without url", true, false, Answer::None, with({StatusEvent(L"버전 파일 형식 오류"), DoneEvent(0)}),
         false},
        // The payload is not on the host: a Yes shows as the payload download starting.
        {"same version, Yes", true, true, Answer::Yes,
         with({StatusEvent(L"v2.4.1 내려받는 중..."), StatusEvent(L"서버 응답 404"), DoneEvent(0)}), false},
        {"same version, No", true, true, Answer::No, skipped, true},
        {"same version, Enter takes the default No", true, true, Answer::Enter, skipped, true},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveWorkerTempFiles();
        ResetInstallState();
        MessageTrace trace;
        ReleaseSite site(L"release_check_worker_" + std::to_wstring(index++));
        const std::string payloadUrl = site.PayloadUrl();
        if (c.publishManifest) {
            ASSERT_TRUE(site.PutManifest(c.sameVersionInstalled ? ManifestJson("2.4.1", payloadUrl, "")
                                                                : R"({"version":"2.4.1"})"));
        }
        const std::wstring installDir = NewInstallDir();
        wcscpy_s(installState.installDir, installDir.c_str());
        if (c.sameVersionInstalled) {
            ASSERT_TRUE(testbed::WriteFileBytes(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME), "2.4.1\r\n"));
        }

        BoxAnswerer answerer(trace.window(), ButtonFor(c.answer));
        ASSERT_TRUE(trace.RunWorker());
        answerer.Stop();

        EXPECT_EQ(trace.StageEvents(), c.events) << trace.Describe();
        EXPECT_EQ(installState.closeWhenDone.load(), c.closeWhenDone);
        EXPECT_FALSE(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)));
        EXPECT_FALSE(FileExists(TempFilePath(MANIFEST_TEMP_NAME)));
        if (c.answer == Answer::None) {
            EXPECT_TRUE(answerer.boxes().empty());
            continue;
        }
        ASSERT_EQ(answerer.boxes().size(), 1u);
        const MessageBoxInfo& box = answerer.boxes().front();
        EXPECT_EQ(box.owner, trace.window());
        EXPECT_EQ(box.caption, PRODUCT_NAME);
        EXPECT_EQ(box.text, kQuestion) << Narrow(box.text);
        EXPECT_EQ(box.Style(), static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
        EXPECT_EQ(box.Style(), 0x124u);
    }
}

}  // namespace

// The models' digests are members of their own that the url, version and sha256 reader never
// mistakes for its own; one that cannot be read is kept as a text no model matches.
TEST(ReleaseCheck, ReadsTheModelDigests) {
    ResetInstallState();
    MessageTrace trace;
    ReleaseSite site(L"release_check_model_digests");
    const std::string manifest = std::string(R"({"version":"2.4.1","url":"https://localhost/dist/payload.zip",)") +
                                 R"("sha256":")" + kDigest + R"(",)" + R"("digest:scrfd_10g_bnkps.onnx":")" + kDigest +
                                 R"(","digest:genderage.onnx":"12ab"})";
    ASSERT_TRUE(site.PutManifest(manifest));
    wcscpy_s(installState.installDir, NewInstallDir().c_str());

    const CheckOutcome outcome = RunCheck(trace);
    EXPECT_EQ(outcome.result, StageResult::Continue);
    const std::wstring digest(kDigest, kDigest + 64);
    EXPECT_EQ(std::wstring(installState.releaseSha256), digest);
    EXPECT_EQ(std::wstring(installState.releaseVersion), L"2.4.1");
    EXPECT_EQ(std::wstring(installState.modelSha256[0]), digest);
    EXPECT_EQ(std::wstring(installState.modelSha256[1]), L"");
    EXPECT_EQ(std::wstring(installState.modelSha256[2]), L"-");
}

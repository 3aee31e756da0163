// The setup log: whole install attempts against the local release host, each with a temporary
// folder of its own, and the log they leave there read back line by line; its bound and its
// rotation; a log that cannot be written; and the retried WM_SETUP_DONE.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/release_host.h"
#include "engine/setup_log.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/setup_log_reader.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";  // what a fresh log starts with
constexpr size_t kLimit = 1048576;  // 1 MiB
constexpr char kFullLine[] = "log | full | later lines dropped";

bool TimeWellFormed(const std::string& time) {
    // yyyy-mm-dd hh:mm:ss.mmm
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
    if (time.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(time[i])) : time[i] != shape[i]) return false;
    }
    return true;
}

// A scratch folder that is the temporary folder while the fixture lives, so that each case's
// log is its own.
class SetupLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        temp_ = attempt_.scratch() + L"\\tmp";
        ASSERT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
        tempSwap_.emplace(temp_);
    }

    std::wstring LogPath() const { return temp_ + L"\\" + LOG_FILE_NAME; }
    std::wstring OldLogPath() const { return temp_ + L"\\" + OLD_LOG_FILE_NAME; }
    std::vector<LogLine> Log() const { return ReadLog(LogPath()); }

    AttemptScope attempt_{L"setup_log"};
    std::wstring temp_;
    std::optional<TemporaryFolderSwap> tempSwap_;
};

// A whole install as the program runs it: the start with the program's version (that of its
// version block, 1.2.1.0) and mode, the install folder, each stage's start and its end with a
// result and a duration, the tar tool's exit code, and the final text.
TEST_F(SetupLogTest, InstallLogsStartStagesAndFinalText) {
    ReleaseSite site(L"setup_log_install");
    for (const std::wstring& name : kModelNames) ASSERT_TRUE(site.Put(MODEL_URL_PATH + name, "onnx"));
    ASSERT_TRUE(site.Publish("3.1.0", MakeZip(AppEntries("3.1.0"))));

    BeginSetupLog(L"install");
    MessageTrace trace;
    ASSERT_TRUE(attempt_.Run(trace));
    ASSERT_TRUE(Succeeded(trace.events())) << trace.Describe();

    const std::string bytes = ReadText(LogPath());
    EXPECT_EQ(bytes.rfind(kUtf8Mark, 0), 0u) << "the log does not start with the UTF-8 mark";
    const std::vector<LogLine> lines = ParseLog(bytes);
    ASSERT_FALSE(lines.empty());
    for (const LogLine& line : lines) EXPECT_TRUE(TimeWellFormed(line.time)) << line.time << " | " << line.rest;
    EXPECT_EQ(lines.front().rest, "setup | start TavrinSetup 1.2.1.0, install");
    const std::string stageEnd = " | end | ok | ";
    EXPECT_TRUE(LinesInOrder(lines, {
        "install | start, install folder " + Narrow(attempt_.installDir()),
        "release check | start",
        "download | GET " + Narrow(site.Url(MANIFEST_URL_PATH)) + " | ok",
        "release check | release 3.1.0, installed none, payload digest given",
        "release check" + stageEnd,
        "payload download | start",
        "download | GET " + site.PayloadUrl() + " | ok",
        "payload download" + stageEnd,
        "verification | start",
        "verification" + stageEnd,
        "extraction | start",
        "extraction | tar ended | ok | exit code 0",
        "extraction" + stageEnd,
        "shell registration | start",
        "shell registration" + stageEnd,
        "models | start",
        "models" + stageEnd,
        "install | final text 설치가 끝났습니다.",
    })) << DescribeLog(lines);
    // Each end's duration: seconds with three decimals.
    const std::regex end(R"(.* \| end \| (ok|failed|skipped) \| \d+\.\d{3} s)");
    for (const LogLine& line : lines) {
        if (line.rest.find(" | end | ") == std::string::npos) continue;
        EXPECT_TRUE(std::regex_match(line.rest, end)) << line.rest;
    }
}

struct FailureCase {
    const char* name;
    const wchar_t* fault;  // the manifest's fault on the host, or nullptr: no host there
    const char* call;      // the failed call as the log names it, before the URL
    const char* result;    // and its result, after it
    const wchar_t* finalText;
};

class FailedAttemptTest : public SetupLogTest, public ::testing::WithParamInterface<FailureCase> {};

// An attempt that fails at the release check logs what failed, with its error code or status,
// then the stage's failed end and the final text, which is the text the user is shown.
TEST_P(FailedAttemptTest, LogsTheFailureAndTheFinalText) {
    const FailureCase& c = GetParam();
    ReleaseSite site(L"setup_log_failure");
    ASSERT_TRUE(site.Publish("3.1.0", MakeZip(AppEntries("3.1.0"))));
    // Port 1 of loopback: nothing listens there, so the connection is refused.
    const std::wstring url =
        c.fault ? site.FaultUrl(c.fault, MANIFEST_URL_PATH) : L"https://127.0.0.1:1/dist/latest.json";
    wcsncpy_s(manifestUrl, url.c_str(), _TRUNCATE);

    MessageTrace trace;
    ASSERT_TRUE(attempt_.Run(trace));
    ASSERT_EQ(FailureText(trace.events()), c.finalText) << trace.Describe();

    const std::vector<LogLine> lines = Log();
    EXPECT_TRUE(LinesInOrder(lines, {
        "release check | start",
        "download | " + std::string(c.call) + " " + Narrow(url) + " | " + c.result,
        "release check | end | failed | ",
        "install | final text " + Narrow(c.finalText),
    })) << DescribeLog(lines);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedAttemptTest,
    ::testing::Values(
        // 12029: WinHTTP's ERROR_WINHTTP_CANNOT_CONNECT.
        FailureCase{"refused", nullptr, "WinHttpSendRequest", "failed | error 12029 (WinHTTP)",
                    L"서버에 연결할 수 없습니다 (인터넷 연결 확인)"},
        FailureCase{"status", L"status=404", "GET", "failed | status 404", L"서버 응답 404"}),
    [](const auto& info) { return std::string(info.param.name); });

// Each run's log starts afresh; the run before it is kept as the old log, in place of an older one.
TEST_F(SetupLogTest, StartKeepsThePreviousRunAsTheOldLog) {
    ASSERT_TRUE(testbed::WriteFileBytes(LogPath(), "previous run\r\n"));
    ASSERT_TRUE(testbed::WriteFileBytes(OldLogPath(), "older run\r\n"));

    BeginSetupLog(L"uninstall");

    EXPECT_EQ(ReadText(OldLogPath()), "previous run\r\n");
    const std::vector<LogLine> lines = Log();
    ASSERT_EQ(lines.size(), 1u) << DescribeLog(lines);
    EXPECT_EQ(lines[0].rest, "setup | start TavrinSetup 1.2.1.0, uninstall");
}

// Near its bound, a line is written only while it and the closing line fit; then the closing
// line says so, once, and nothing more is written. The file never passes 1 MiB.
TEST_F(SetupLogTest, StopsAtOneMebibyteWithOneClosingLine) {
    BeginSetupLog(L"install");
    std::string bytes = ReadText(LogPath());
    const std::string line = std::string(100, 'x');  // with its time and stage, a line of 136 to 137 bytes
    // Room for one such line and the closing line (34 bytes) after it, and for no second line.
    const size_t room = 200;
    bytes += std::string(kLimit - room - bytes.size() - 2, '.') + "\r\n";
    ASSERT_TRUE(testbed::WriteFileBytes(LogPath(), bytes));

    for (const char* stage : {"first", "second", "third"}) {
        LogEvent(std::wstring(stage, stage + strlen(stage)).c_str(), std::wstring(line.begin(), line.end()).c_str());
    }

    const std::string after = ReadText(LogPath());
    EXPECT_LE(after.size(), kLimit);
    const std::vector<LogLine> lines = ParseLog(after);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rest, "first | " + line);
    EXPECT_EQ(lines.back().rest, kFullLine);
}

// A log that cannot be written (its name and the old log's taken by folders) changes nothing:
// the attempt installs and posts exactly what it posts with a log, and no log appears.
TEST_F(SetupLogTest, UnwritableLogChangesNothing) {
    ASSERT_TRUE(CreateDirectoryW(LogPath().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(OldLogPath().c_str(), nullptr));
    ReleaseSite site(L"setup_log_unwritable");
    for (const std::wstring& name : kModelNames) ASSERT_TRUE(site.Put(MODEL_URL_PATH + name, "onnx"));
    ASSERT_TRUE(site.Publish("3.1.0", MakeZip(AppEntries("3.1.0"))));

    BeginSetupLog(L"install");
    MessageTrace trace;
    ASSERT_TRUE(attempt_.Run(trace));

    std::vector<TraceEvent> expected = {
        ProgressEvent(0),
        StatusEvent(L"최신 버전 확인 중..."),
        StatusEvent(L"v3.1.0 내려받는 중..."),
        StatusEvent(L"받은 파일 검증 중..."),
        ProgressEvent(PROGRESS_MARQUEE),
        StatusEvent(L"설치 중... (압축 해제, 1~3분)"),
        StatusEvent(L"바로가기 만드는 중..."),
        ProgressEvent(PROGRESS_MARQUEE),
    };
    for (int position = 1; position <= 5; ++position) {
        expected.push_back(StatusEvent(L"AI 모델 준비 중 (약 408MB)  " + std::to_wstring(position) + L" / 5"));
    }
    expected.push_back(ProgressEvent(PROGRESS_COMPLETE));
    expected.push_back(StatusEvent(L"설치가 끝났습니다."));
    expected.push_back(DoneEvent(1));
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    EXPECT_EQ(ReadText(attempt_.appFolder() + L"\\" + VERSION_FILE_NAME), "3.1.0\r\n");
    EXPECT_EQ(FolderEntries(LogPath()), std::vector<std::wstring>{}) << "something was written in the log's place";
    EXPECT_EQ(FolderEntries(temp_), (std::vector<std::wstring>{LOG_FILE_NAME, OLD_LOG_FILE_NAME}));
}

// WM_SETUP_DONE for a window that is gone is logged and given up at once: nobody is left to wait
// for it. (A post refused while the window lives is made again; the bed's Wine accepts every post
// to a live window, even past 20000 unhandled ones, so no real refusal can be made here.)
TEST_F(SetupLogTest, DoneForAGoneWindowIsLoggedAndNotPostedAgain) {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));
    installState.mainWindow = window;

    PostDone(true);

    const std::vector<LogLine> lines = Log();
    // 1400: ERROR_INVALID_WINDOW_HANDLE.
    ASSERT_EQ(lines.size(), 1u) << DescribeLog(lines);
    EXPECT_EQ(lines[0].rest, "worker | PostMessageW WM_SETUP_DONE | failed | error 1400");
}

}  // namespace

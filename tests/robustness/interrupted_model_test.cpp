// The setup program killed in the middle of a model download: a real install runs in a child
// process (this program, started again with kChildSwitch) whose model downloads trickle in; the
// child is terminated once the first model's partial file holds data, and the next attempt, run
// here, must overwrite that partial file and complete every model.
#include "engine/install_state.h"
#include "engine/release_host.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/model_fixture.h"
#include "tests/support/release_fixture.h"
#include "tests/support/self_child.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kChildSwitch[] = L"--interrupted-install";
constexpr wchar_t kSiteName[] = L"robustness_interrupted";
// Large enough that it is still trickling in (1 KiB a millisecond at best) well after its first
// 256 KiB read has reached the partial file.
constexpr size_t kFirstModelBytes = 4 * 1024 * 1024;
constexpr DWORD kChildDeadlineMs = 60000;

std::string PublishedModel(int position) {
    return HostModelBytes(position, position == 1 ? kFirstModelBytes : 3000);
}

// Size of the file, or -1 when it does not exist. Does not open the file, which the child holds
// without sharing.
long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The child: one whole attempt into the install folder it is given, with the models trickling in.
// USERPROFILE comes from the parent's environment.
int RunChildAttempt(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 1) return 2;
    const std::wstring& installDir = arguments[0];
    ResetInstallState();
    ReleaseSite site(kSiteName);
    wcsncpy_s(modelBaseUrl, site.FaultUrl(L"trickle=1", MODEL_URL_PATH).c_str(), _TRUNCATE);
    MessageTrace trace;
    wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
    installState.busy = true;
    trace.RunWorker(kChildDeadlineMs * 2);
    return 0;
}

TEST(InterruptedModelDownload, NextAttemptOverwritesThePartialFile) {
    AttemptScope attempt(L"interrupted");
    RemoveWorkerTempFiles();
    ReleaseSite site(kSiteName);
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
    for (int position = 1; position <= 5; ++position) {
        ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModelNames[position - 1], PublishedModel(position)));
    }

    SelfChild child(kChildSwitch, {attempt.installDir()});
    ASSERT_TRUE(child.Started());
    const std::wstring model = attempt.modelFolder() + L"\\" + kModelNames[0];
    const std::wstring part = model + L".part";
    const SelfChild::Outcome outcome = child.WaitFor([&] { return FileSize(part) > 0; }, kChildDeadlineMs);
    child.Kill();
    ASSERT_NE(outcome, SelfChild::Outcome::Ended) << "the child ended before it could be killed";
    ASSERT_EQ(outcome, SelfChild::Outcome::Reached) << "no data reached " << Narrow(part);

    const long long partial = FileSize(part);
    EXPECT_GT(partial, 0);
    EXPECT_LT(partial, static_cast<long long>(kFirstModelBytes));
    EXPECT_FALSE(FileExists(model)) << "a model taken for complete";
    ASSERT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.4.1\r\n") << "the child did not get that far";

    // The next attempt: the same release is installed, so the question comes; the user wants it.
    MessageTrace trace;
    BoxAnswerer yes(trace.window(), IDYES);
    ASSERT_TRUE(attempt.Run(trace)) << trace.Describe();
    yes.Stop();
    EXPECT_EQ(yes.boxes().size(), 1u);
    EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
    const std::vector<TraceEvent> events = trace.StageEvents();
    for (int position = 1; position <= 5; ++position) {
        EXPECT_NE(std::find(events.begin(), events.end(), Announce(position)), events.end()) << position;
    }
    for (int position = 1; position <= 5; ++position) {
        const std::wstring path = attempt.modelFolder() + L"\\" + kModelNames[position - 1];
        SCOPED_TRACE(Narrow(kModelNames[position - 1]));
        EXPECT_TRUE(ReadText(path) == PublishedModel(position)) << "not the host's model";
        EXPECT_FALSE(FileExists(path + L".part"));
    }
}

}  // namespace

// The child mode takes the place of GoogleTest's own main.
int main(int argc, char** argv) {
    return RunTestsOrChild(argc, argv, kChildSwitch, RunChildAttempt);
}

// The setup program killed in the middle of an install: during extraction, and after extraction
// before shell registration has written the uninstall entry. A real attempt runs in a child
// process (this program, started again with kChildSwitch), which is killed at that point; the
// next attempt, run here, must end in a working install with both shortcuts and the uninstall
// entry, answering the same-version question with Yes where the killed attempt left an app folder
// behind (a killed extraction leaves only its staging folder, which asks nothing).
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/process_list.h"
#include "tests/support/release_fixture.h"
#include "tests/support/self_child.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kChildSwitch[] = L"--interrupted-install";
constexpr wchar_t kAfterExtraction[] = L"after-extraction";
constexpr wchar_t kDuringExtraction[] = L"during-extraction";
constexpr DWORD kChildDeadlineMs = 120000;

// A release whose extraction takes a while (a few thousand small files after the program's
// own), so that the child can be caught inside it.
std::string SlowPayload() {
    std::vector<ZipEntry> entries = AppEntries("2.4.1");
    for (int i = 0; i < 3000; ++i) {
        entries.push_back({"TavrinStudio/lib/part_" + std::to_string(i / 100) + "/" + std::to_string(i) + ".py", "x"});
    }
    return MakeZip(entries);
}

// The child, given its mode and the install folder: one whole attempt into that folder. With
// kAfterExtraction its window thread stops answering once stage 5 announces itself, so the worker
// waits in the desktop-box query (after the setup copy and the Start-menu shortcut, before the
// desktop shortcut and the uninstall entry) until the process is killed. USERPROFILE comes from the parent's environment.
int RunChildAttempt(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 2) return 2;
    const std::wstring& mode = arguments[0];
    const std::wstring& installDir = arguments[1];
    ResetInstallState();
    ReleaseSite site(L"robustness_interrupted_install");
    MessageTrace trace;
    if (mode == kAfterExtraction) {
        trace.onEvent = [](const TraceEvent& event) {
            if (event == StatusEvent(L"바로가기 만드는 중...")) Sleep(INFINITE);
        };
    }
    wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
    installState.busy = true;
    trace.RunWorker(kChildDeadlineMs * 2);
    return 0;
}

struct InterruptCase {
    const char* name;
    const wchar_t* mode;
    // True once the child has reached the point where it is killed.
    bool (*reached)(DWORD childId, const AttemptScope& attempt);
    void (*verifyLeftover)(const AttemptScope& attempt);
    size_t sameVersionQuestions;  // asked by the next attempt
};

std::wstring StagedApp(const AttemptScope& attempt) {
    return attempt.installDir() + L"\\" + STAGING_FOLDER_NAME + L"\\" + APP_FOLDER_NAME;
}

TEST(InterruptedInstall, NextAttemptEndsInAWorkingInstall) {
    const InterruptCase cases[] = {
        {"killed during extraction", kDuringExtraction,
         [](DWORD childId, const AttemptScope& attempt) {
             return ChildProcessNamed(childId, L"tar.exe") != 0 && FileExists(StagedApp(attempt) + L"\\lib\\data.bin");
         },
         [](const AttemptScope& attempt) {
             EXPECT_FALSE(FileExists(StagedApp(attempt) + L"\\lib\\part_29\\2999.py")) << "extraction had ended";
             EXPECT_FALSE(FileExists(attempt.appFolder())) << "a partial app was switched in";
             EXPECT_TRUE(shell_readback::ReadUninstallEntry().empty());
         },
         0},
        {"killed after extraction, before the uninstall entry", kAfterExtraction,
         [](DWORD, const AttemptScope& attempt) {
             return FileExists(attempt.installDir() + L"\\TavrinSetup.exe") &&
                    FileExists(shell_readback::ShortcutPath(CSIDL_PROGRAMS));
         },
         [](const AttemptScope& attempt) {
             EXPECT_TRUE(FileExists(attempt.appFolder() + L"\\lib\\part_29\\2999.py"));
             EXPECT_FALSE(FileExists(shell_readback::ShortcutPath(CSIDL_DESKTOPDIRECTORY)));
             EXPECT_TRUE(shell_readback::ReadUninstallEntry().empty());
         },
         1},
    };
    const std::string payload = SlowPayload();
    for (const InterruptCase& c : cases) {
        SCOPED_TRACE(c.name);
        AttemptScope attempt(L"interrupted_install");
        RemoveWorkerTempFiles();
        ReleaseSite site(L"robustness_interrupted_install");
        ASSERT_TRUE(site.Publish("2.4.1", payload));

        SelfChild child(kChildSwitch, {c.mode, attempt.installDir()});
        ASSERT_TRUE(child.Started());
        const SelfChild::Outcome outcome =
            child.WaitFor([&] { return c.reached(child.Id(), attempt); }, kChildDeadlineMs);
        // tar.exe is a process of its own that would go on writing after the setup program ended:
        // it is killed right after it, as a crash of the machine would end both.
        const DWORD tar = ChildProcessNamed(child.Id(), L"tar.exe");
        child.Kill();
        EndProcess(tar);
        ASSERT_NE(outcome, SelfChild::Outcome::Ended) << "the child ended before it could be killed";
        ASSERT_EQ(outcome, SelfChild::Outcome::Reached) << "the child did not get there in time";
        c.verifyLeftover(attempt);

        // The next attempt: where the killed one left its app folder (the same release), the
        // question comes; the user wants the install.
        MessageTrace trace;
        BoxAnswerer yes(trace.window(), IDYES);
        ASSERT_TRUE(attempt.Run(trace, 300000)) << trace.Describe();
        yes.Stop();
        EXPECT_EQ(yes.boxes().size(), c.sameVersionQuestions);
        EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
        EXPECT_EQ(ReadText(attempt.appFolder() + L"\\version.txt"), "2.4.1\r\n");
        EXPECT_TRUE(FileExists(attempt.appFolder() + L"\\lib\\part_29\\2999.py"));
        EXPECT_TRUE(FileExists(attempt.installDir() + L"\\TavrinSetup.exe"));
        shell_readback::ExpectShortcut(shell_readback::ShortcutPath(CSIDL_PROGRAMS), attempt.appFolder(),
                                       L"TavrinAI.exe");
        shell_readback::ExpectShortcut(shell_readback::ShortcutPath(CSIDL_DESKTOPDIRECTORY), attempt.appFolder(),
                                       L"TavrinAI.exe");
        shell_readback::ExpectUninstallEntry(attempt.installDir(), L"2.4.1");
        EXPECT_FALSE(FileExists(TempFilePath(L"TavrinStudio_payload.zip")));
        EXPECT_FALSE(FileExists(attempt.installDir() + L"\\" + STAGING_FOLDER_NAME));
    }
}

}  // namespace

// The child mode takes the place of GoogleTest's own main.
int main(int argc, char** argv) {
    return RunTestsOrChild(argc, argv, kChildSwitch, RunChildAttempt);
}

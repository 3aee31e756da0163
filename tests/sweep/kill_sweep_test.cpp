// A process killed in the middle (a power cut, a logoff, the task manager): a child process runs
// a whole update, first install or uninstall and ends itself right before its Nth call. Between
// the kill and the next run the table records what the user has (is the previous or the new
// version launchable: its program, its whole folder, the shortcuts' targets, the entry's setup
// copy); then a fresh, unarmed run of the same kind, in this process, is held to the fault-free
// end state. CI runs each kind's first and last call and a fixed-seed sample of the rest;
// TAVRIN_SWEEP_FULL=1 runs every call. The table is expected_kill.tsv; to write it anew:
//   TAVRIN_SWEEP_WRITE=1 ctest --test-dir build/mingw -R kill_sweep_test
#include "tests/sweep/sweep.h"

#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/process_list.h"
#include "tests/support/release_fixture.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "uninstall/uninstall.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

namespace sweep {
namespace {

constexpr DWORD kChildLimitMs = 120000;
constexpr size_t kSampleSize = 16;

struct Kind {
    const char* name;
    bool previousInstall;
    bool uninstall;
};

const Kind kKinds[] = {
    {"update", true, false},
    {"first-install", false, false},
    {"uninstall", true, true},
};

// One whole run of the kind in this process, as the wizard or the uninstall entry starts it;
// interposer (armed on the running thread) may schedule a kill.
void RunKind(const Kind& kind, MessageTrace& trace, const std::wstring& installDir,
             const std::function<void(Interposer&)>& arm, std::vector<Call>* calls) {
    wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
    installState.cancelRequested = false;
    installState.busy = true;
    const std::wstring setupCopy = SetupCopyIn(installDir);
    const bool ended = trace.RunOnThread(
        [&] {
            Interposer interposer;
            interposer.AnswerBoxes();
            interposer.SetOwnModulePath(setupCopy);
            arm(interposer);
            if (kind.uninstall) {
                RunUninstall();
            } else {
                InstallWorker(nullptr);
            }
            interposer.Disarm();
            if (calls) *calls = interposer.Sequence();
        },
        kChildLimitMs);
    EXPECT_TRUE(ended) << kind.name << " did not end in time";
}

// The child's side: the kind, the install folder, and the call to die at (none: record every
// call into the calls file) come from the environment; the profile and temporary folder are the
// parent's, inherited.
TEST(KillChild, RunsTheKindAndDies) {
    const std::string kindName = testbed::Env("TAVRIN_KILL_KIND");
    if (kindName.empty()) GTEST_SKIP() << "started by KillSweep";
    const Kind* kind = nullptr;
    for (const Kind& candidate : kKinds) {
        if (kindName == candidate.name) kind = &candidate;
    }
    ASSERT_NE(kind, nullptr);
    const ReleaseSite site(L"sweep");  // points the engine at the parent's release
    const std::string function = testbed::Env("TAVRIN_KILL_FUNCTION");
    const unsigned occurrence = static_cast<unsigned>(std::atoi(testbed::Env("TAVRIN_KILL_OCCURRENCE").c_str()));
    std::vector<Call> calls;
    MessageTrace trace;
    RunKind(*kind, trace, Wide(testbed::Env("TAVRIN_KILL_INSTALL_DIR")),
            [&](Interposer& interposer) {
                if (!function.empty()) interposer.KillAt(function.c_str(), occurrence);
            },
            &calls);
    std::ostringstream out;
    for (const Call& call : calls) out << call.function << "\t" << call.occurrence << "\n";
    ASSERT_TRUE(testbed::WriteFileBytes(Wide(testbed::Env("TAVRIN_KILL_CALLS")), out.str()));
}

// When process was created; 0 when it cannot be read.
ULONGLONG CreationTime(HANDLE process) {
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Ends what the killed child had started (tar.exe, cmd.exe): a power cut ends them too. Process
// ids are reused at once, and a process outlives its parent with its parent's id: a process that
// names the dead child's id as its parent but is older than the child (the prefix's desktop, say)
// was started by an earlier holder of that id, and is left alone.
void EndChildrenOf(DWORD parent, ULONGLONG parentCreated) {
    const auto processes = RunningProcesses();
    if (!processes || parentCreated == 0) return;
    for (const RunningProcess& process : *processes) {
        if (process.parentId != parent) continue;
        OwnedKernelHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.id));
        if (handle && CreationTime(handle.get()) >= parentCreated) EndProcess(process.id);
    }
}

// Runs the kind in a child process of this test in bed; killAt empty: record its calls.
// Returns the child's exit code.
DWORD RunChild(const Kind& kind, const Bed& bed, const Call* killAt, std::vector<Call>* calls) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring callsFile = bed.scratch + L"\\calls.txt";
    testbed::EnvironmentChanges changes = {
        {L"TAVRIN_KILL_KIND", Wide(kind.name)},
        {L"TAVRIN_KILL_INSTALL_DIR", bed.installDir},
        {L"TAVRIN_KILL_CALLS", callsFile},
        {L"TAVRIN_KILL_FUNCTION", killAt ? std::optional<std::wstring>(Wide(killAt->function)) : std::nullopt},
        {L"TAVRIN_KILL_OCCURRENCE",
         killAt ? std::optional<std::wstring>(std::to_wstring(killAt->occurrence)) : std::nullopt},
    };
    std::vector<wchar_t> environment = testbed::EnvironmentBlock(changes);
    std::wstring command = std::wstring(L"\"") + self + L"\" --gtest_filter=KillChild.RunsTheKindAndDies";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), nullptr, &startup, &created)) {
        ADD_FAILURE() << "the child did not start";
        return 1;
    }
    OwnedKernelHandle process(created.hProcess);
    OwnedKernelHandle thread(created.hThread);
    EXPECT_EQ(WaitForSingleObject(process.get(), kChildLimitMs), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    EndChildrenOf(created.dwProcessId, CreationTime(process.get()));
    if (calls) {
        std::string text;
        EXPECT_TRUE(testbed::ReadFileBytes(callsFile, text));
        std::istringstream lines(text);
        std::string function;
        unsigned occurrence = 0;
        while (lines >> function >> occurrence) calls->push_back(Call{function, occurrence});
        DeleteFileW(callsFile.c_str());
    }
    return code;
}

// What the user has between the kill and the next run.
std::string Usable(const Bed& bed, const Snapshot& state, const Snapshot& previous, const Snapshot& clean) {
    std::vector<std::string> words;
    const bool program = testbed::FileExists(bed.AppFolder() + L"\\" + APP_PROGRAM_NAME);
    if (!previous.appFolder.empty() && state.appFolder == previous.appFolder) {
        words.push_back("old app whole");
    } else if (!clean.appFolder.empty() && state.appFolder == clean.appFolder) {
        words.push_back("new app whole");
    } else if (state.appFolder.empty()) {
        words.push_back("no app");
    } else {
        words.push_back(program ? "app broken" : "app without its program");
    }
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        const std::wstring path = shell_readback::ShortcutPath(csidl);
        if (!testbed::FileExists(path)) continue;
        const shell_readback::Shortcut link = shell_readback::ReadShortcut(path);
        if (!link.loaded || !testbed::FileExists(link.target)) {
            words.push_back(csidl == CSIDL_PROGRAMS ? "start-menu link dangling" : "desktop link dangling");
        }
    }
    if (!state.entry.empty()) {
        words.push_back(testbed::FileExists(SetupCopyIn(bed.installDir)) ? "entry works" : "entry without setup copy");
    } else {
        words.push_back("no entry");
    }
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

class KillSweep : public SweepSuite {};

// The self-removal of an uninstall deletes the setup copy a moment after the run: its start is
// what counts, so the setup copy is left out of an uninstall's comparison.
Snapshot Comparable(const Kind& kind, Snapshot snapshot) {
    if (kind.uninstall) snapshot.setupCopy.clear();
    snapshot.release.clear();
    snapshot.payload.clear();
    return snapshot;
}

TEST_F(KillSweep, AKilledRunLeavesSomethingUsableAndTheNextRunConverges) {
    const ComApartment com;  // once for the whole sweep: the beds read and write shell links here
    const SystemFolderWatch systemFolder;
    Table table("expected_kill.tsv");
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        // The fault-free end state, and the calls of a whole run in a fresh process.
        Snapshot clean;
        std::vector<Call> calls;
        {
            Bed bed;
            if (kind.previousInstall) bed.CompletePreviousInstall();
            RunKind(kind, bed.trace, bed.installDir, [](Interposer&) {}, nullptr);
            clean = Comparable(kind, bed.Take());
        }
        {
            Bed bed;
            if (kind.previousInstall) bed.CompletePreviousInstall();
            EXPECT_EQ(RunChild(kind, bed, nullptr, &calls), 0u);
        }
        ASSERT_FALSE(calls.empty());
        const std::vector<Call> chosen = Sample(calls, kSampleSize);
        std::printf("%s: %zu calls, %zu killed\n", kind.name, calls.size(), chosen.size());
        for (const Call& call : chosen) {
            Bed bed;
            if (kind.previousInstall) bed.CompletePreviousInstall();
            const Snapshot previous = Comparable(kind, bed.Take());
            const DWORD code = RunChild(kind, bed, &call, nullptr);
            RunResult row;
            if (code != interposer::KILLED_EXIT_CODE) {
                ADD_FAILURE() << kind.name << " " << call.function << "#" << call.occurrence
                              << ": the child was not killed (exit code " << code << ")";
            }
            row.ending = Usable(bed, Comparable(kind, bed.Take()), previous, clean);
            // The next run: the wizard again, or the uninstall from its entry while there is one.
            if (kind.uninstall && shell_readback::ReadUninstallEntry().empty()) {
                row.verdict = "no entry to uninstall from";
            } else {
                RunKind(kind, bed.trace, bed.installDir, [](Interposer&) {}, nullptr);
                const std::vector<std::string> differ = Differing(Comparable(kind, bed.Take()), clean);
                std::string text;
                for (const std::string& part : differ) text += " " + part;
                row.verdict = differ.empty() ? "converges" : "does not converge:" + text;
            }
            table.Add(kind.name, call.function + "#" + std::to_string(call.occurrence), row);
        }
    }
    table.Finish();
}

// A kill while tar extracts an update (the tool started, its end not yet awaited): the previous
// version stays launchable, and the next run, through the start's recovery, installs the new one.
TEST_F(KillSweep, AKillDuringTheExtractionOfAnUpdateKeepsTheOldAppAndTheNextRunCompletes) {
    const ComApartment com;
    const Kind& update = kKinds[0];
    Snapshot clean;
    {
        Bed bed;
        bed.CompletePreviousInstall();
        RunKind(update, bed.trace, bed.installDir, [](Interposer&) {}, nullptr);
        clean = Comparable(update, bed.Take());
    }
    std::vector<Call> calls;
    {
        Bed bed;
        bed.CompletePreviousInstall();
        EXPECT_EQ(RunChild(update, bed, nullptr, &calls), 0u);
    }
    // The wait for the tool that CreateProcessW started.
    std::optional<Call> duringTar;
    bool started = false;
    for (const Call& call : calls) {
        if (call.function == "CreateProcessW") started = true;
        if (started && call.function == "WaitForSingleObject") {
            duringTar = call;
            break;
        }
    }
    ASSERT_TRUE(duringTar);
    Bed bed;
    bed.CompletePreviousInstall();
    const Snapshot previous = Comparable(update, bed.Take());
    EXPECT_EQ(RunChild(update, bed, &*duringTar, nullptr), interposer::KILLED_EXIT_CODE);
    EXPECT_EQ(Usable(bed, Comparable(update, bed.Take()), previous, clean), "old app whole, entry works");
    RunKind(update, bed.trace, bed.installDir, [](Interposer&) {}, nullptr);
    EXPECT_EQ(Differing(Comparable(update, bed.Take()), clean), std::vector<std::string>{});
    for (const wchar_t* name : {STAGING_FOLDER_NAME, ASIDE_FOLDER_NAME, SWITCH_JOURNAL_NAME}) {
        EXPECT_FALSE(testbed::FileExists(bed.installDir + L"\\" + name));
    }
}

}  // namespace
}  // namespace sweep

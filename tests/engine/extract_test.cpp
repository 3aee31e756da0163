// Stage 4: the tar tool run hidden, and whole worker runs for each way the install folder
// preparation and the extraction can go. Runs under the ctest locks "payload" (the worker's
// temporary files) and "tar" (one case hides the system's tar.exe).
#include "engine/extract.h"
#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "engine/transient_retry.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/short_retry_bound.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <cwctype>

namespace {

using interposer::Interposer;
using testbed::FileExists;


std::string ReadText(const std::wstring& path) {
    std::string bytes;
    return testbed::ReadFileBytes(path, bytes) ? bytes : "<missing>";
}

// Moves "<system folder>\tar.exe" aside while it lives, as on a system that has no tar tool.
class HiddenTar {
public:
    HiddenTar() {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        tar_ = std::wstring(system) + L"\\tar.exe";
        aside_ = tar_ + L".hidden";
        moved_ = MoveFileExW(tar_.c_str(), aside_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }
    HiddenTar(const HiddenTar&) = delete;
    HiddenTar& operator=(const HiddenTar&) = delete;
    ~HiddenTar() {
        if (moved_) MoveFileExW(aside_.c_str(), tar_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    bool moved() const { return moved_; }

private:
    std::wstring tar_, aside_;
    bool moved_ = false;
};

TEST(ExtractArchive, RunsTheSystemTarOnTheArchive) {
    const std::wstring scratch = testbed::MakeScratchFolder(L"extract");
    const std::wstring archive = scratch + L"\\payload archive.zip";
    const std::string zip = MakeZip(AppEntries("3.0.0"));
    ASSERT_TRUE(testbed::WriteFileBytes(archive, zip));
    ASSERT_TRUE(testbed::WriteFileBytes(scratch + L"\\damaged.zip", zip.substr(0, zip.size() / 2)));
    const std::wstring korean = scratch + L"\\받은 파일.zip";
    ASSERT_TRUE(testbed::WriteFileBytes(korean, zip));
    ASSERT_TRUE(testbed::WriteFileBytes(scratch + L"\\손상.zip", zip.substr(0, zip.size() / 2)));
    struct Case {
        const char* name;
        std::wstring archive;
        std::wstring target;  // created before the run
        bool extracted;
    } const cases[] = {
        {"plain folder", archive, scratch + L"\\plain", true},
        // tar.exe takes its arguments in the ANSI code page (Windows-1252 in the bed, 949 on Korean
        // Windows): a letter outside the code page would reach it as "?".
        {"spaces and a non-ASCII letter in the target", archive, scratch + L"\\Tavrin Café 2", true},
        // Hangul has no code in 1252: the tool then runs in the target and reads the archive from
        // its standard input.
        {"a Korean target", archive, scratch + L"\\설치 폴더", true},
        {"a Korean archive and a Korean target", korean, scratch + L"\\한글\\", true},
        {"a damaged Korean archive", scratch + L"\\손상.zip", scratch + L"\\손상", false},
        // Without care the closing quote after "\" would be read as part of the path.
        {"target ending in a backslash", archive, scratch + L"\\trailing\\", true},
        {"damaged archive", scratch + L"\\damaged.zip", scratch + L"\\damaged", false},
        {"missing archive", scratch + L"\\missing.zip", scratch + L"\\missing", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(CreateDirectoryW(c.target.c_str(), nullptr));
        EXPECT_EQ(ExtractArchive(c.archive.c_str(), c.target.c_str()), c.extracted);
        std::wstring root = c.target;
        if (root.back() != L'\\') root += L'\\';
        if (c.extracted) {
            EXPECT_EQ(ReadText(root + APP_FOLDER_NAME + L"\\" + VERSION_FILE_NAME), "3.0.0\r\n");
            EXPECT_EQ(ReadText(root + APP_FOLDER_NAME + L"\\lib\\data.bin"), std::string(4096, 'd'));
        }
    }

    HiddenTar hidden;
    ASSERT_TRUE(hidden.moved());
    const std::wstring target = scratch + L"\\without_tar";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    EXPECT_FALSE(ExtractArchive(archive.c_str(), target.c_str())) << "no tar.exe, yet success";
}

// The form of the tar command for each ANSI code page: the command line exactly when both paths
// convert with no loss (a best-fit look-alike counts as a loss: the full-width quote would become a
// real one), the standard input otherwise, and nothing when the folder cannot be a current folder.
TEST(ChooseTarForm, CommandLineOnlyForPathsTheCodePageHolds) {
    const std::wstring ascii = L"C:\\Users\\kim\\AppData\\Local\\TavrinAI";
    const std::wstring payload = L"C:\\Users\\kim\\AppData\\Local\\Temp\\TavrinStudio_payload.zip";
    const std::wstring korean = L"C:\\Users\\김민지\\AppData\\Local\\TavrinAI";
    const std::wstring outside949 = L"C:\\Users\\अनु\\AppData\\Local\\TavrinAI";  // Devanagari
    const std::wstring bestFit = L"C:\\Users\\kim\\＂x＂\\TavrinAI";            // full-width quotes
    const std::wstring tooDeep = L"C:\\김" + std::wstring(256, L'd');                   // 260 units
    struct Case {
        const char* name;
        UINT codePage;
        std::wstring archive, target;
        TarForm form;
    } const cases[] = {
        {"ASCII on 1252", 1252, payload, ascii, TarForm::CommandLine},
        {"a Korean folder on 1252", 1252, payload, korean, TarForm::StandardInput},
        {"a Korean payload path on 1252", 1252, korean + L"\\p.zip", ascii, TarForm::StandardInput},
        {"a best-fit character on 1252", 1252, payload, bestFit, TarForm::StandardInput},
        {"a Korean folder on 949", 949, payload, korean, TarForm::CommandLine},
        {"a character outside 949 on 949", 949, payload, outside949, TarForm::StandardInput},
        {"everything on UTF-8", CP_UTF8, korean + L"\\p.zip", outside949, TarForm::CommandLine},
        {"a folder too long to be a current folder", 1252, payload, tooDeep, TarForm::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseTarForm(c.codePage, c.archive.c_str(), c.target.c_str()), c.form) << c.name;
    }
}

// What one worker run starts from, and what must hold after it.
struct StageCase {
    const char* name;
    // Lays out the case inside its scratch folder and returns the installDir to use.
    std::function<std::wstring(const std::wstring& scratch)> prepare;
    std::string payload;
    std::vector<TraceEvent> tail;  // after "설치 중... (압축 해제, 1~3분)"
    bool payloadKept;
    std::function<void(const std::wstring& scratch)> verify;
    bool hideTar;
    // Relative to scratch: held open as a running app holds its files (the interposer then
    // refuses to rename a folder above it, as Windows does) for the whole run.
    std::wstring heldFile;
};


// The app folder of the install folder "inst" in the case's scratch folder.
std::wstring InstalledApp(const std::wstring& scratch) { return AppFolderIn(scratch + L"\\inst"); }

void WriteOldInstallation(const std::wstring& installDir) {
    ASSERT_TRUE(testbed::WriteFileBytes(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME), "2.4.0\r\n"));
    ASSERT_TRUE(testbed::WriteFileBytes(InFolder(AppFolderIn(installDir), APP_PROGRAM_NAME), "old program"));
    ASSERT_TRUE(testbed::WriteFileBytes(AppFolderIn(installDir) + L"\\plugins\\old_only.dll", "old"));
    ASSERT_TRUE(testbed::WriteFileBytes(installDir + L"\\notes.txt", "the user's notes"));
    ASSERT_TRUE(testbed::WriteFileBytes(installDir + L"\\exports\\picks.csv", "a,b"));
}

// The old app folder and the user's files beside it, byte for byte; nothing of a switch left.
void ExpectOldInstallationWhole(const std::wstring& scratch) {
    EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), VERSION_FILE_NAME)), "2.4.0\r\n");
    EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), APP_PROGRAM_NAME)), "old program");
    EXPECT_EQ(ReadText(InstalledApp(scratch) + L"\\plugins\\old_only.dll"), "old");
    EXPECT_EQ(ReadText(scratch + L"\\inst\\notes.txt"), "the user's notes");
    for (const wchar_t* name : {STAGING_FOLDER_NAME, ASIDE_FOLDER_NAME, SWITCH_JOURNAL_NAME}) {
        EXPECT_FALSE(FileExists(scratch + L"\\inst\\" + name)) << testing::PrintToString(std::wstring(name));
    }
}

TEST(PrepareAndExtract, WorkerRunsThroughStageFour) {
    const std::string payload = MakeZip(AppEntries("2.4.1"));
    // Cut inside the entries: bsdtar reads a zip from its local headers when the central
    // directory at the end is damaged, so only lost entry data makes the extraction fail.
    const std::string damaged = payload.substr(0, payload.size() / 2);
    const TraceEvent cleaning = StatusEvent(L"이전 설치 정리 중...");
    const std::vector<TraceEvent> extractionFailed = {StatusEvent(L"압축 해제에 실패했습니다 (디스크 공간 확인)."),
                                                      DoneEvent(0)};
    const std::vector<TraceEvent> cannotCreate = {StatusEvent(L"설치 폴더를 만들 수 없습니다."), DoneEvent(0)};
    auto newInstall = [](const std::wstring& scratch) {
        EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), VERSION_FILE_NAME)), "2.4.1\r\n");
    };
    const StageCase cases[] = {
        {"first install creates the folder and its parents; nothing to clean",
         [](const std::wstring& scratch) { return scratch + L"\\inst"; }, payload, {}, false, newInstall, false, L""},
        {"reinstall replaces only the app folder",
         [](const std::wstring& scratch) {
             WriteOldInstallation(scratch + L"\\inst");
             return scratch + L"\\inst";
         },
         payload, {cleaning}, false,
         [&](const std::wstring& scratch) {
             newInstall(scratch);
             EXPECT_FALSE(FileExists(InstalledApp(scratch) + L"\\plugins\\old_only.dll"));
             EXPECT_EQ(ReadText(scratch + L"\\inst\\notes.txt"), "the user's notes");
             EXPECT_EQ(ReadText(scratch + L"\\inst\\exports\\picks.csv"), "a,b");
         }, false, L""},
        {"a file in use keeps the old app folder whole",
         [](const std::wstring& scratch) {
             WriteOldInstallation(scratch + L"\\inst");
             return scratch + L"\\inst";
         },
         payload,
         {cleaning, StatusEvent(L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요."),
          DoneEvent(0)},
         true, ExpectOldInstallationWhole, false, InFolder(AppFolderIn(L"inst"), APP_PROGRAM_NAME)},
        // The digest matched (the host publishes this archive's), and yet tar fails on it.
        {"an archive tar fails on keeps the old app folder whole",
         [](const std::wstring& scratch) {
             WriteOldInstallation(scratch + L"\\inst");
             return scratch + L"\\inst";
         },
         damaged, extractionFailed, true, ExpectOldInstallationWhole, false, L""},
        {"an installDir that is a file fails in extraction",
         [](const std::wstring& scratch) {
             EXPECT_TRUE(testbed::WriteFileBytes(scratch + L"\\inst", "a file"));
             return scratch + L"\\inst";
         },
         payload, extractionFailed, true,
         [](const std::wstring& scratch) { EXPECT_EQ(ReadText(scratch + L"\\inst"), "a file"); }, false, L""},
        {"an installDir below a file cannot be created",
         [](const std::wstring& scratch) {
             EXPECT_TRUE(testbed::WriteFileBytes(scratch + L"\\file", "a file"));
             return scratch + L"\\file\\inst";
         },
         payload, cannotCreate, true,
         [](const std::wstring& scratch) { EXPECT_EQ(ReadText(scratch + L"\\file"), "a file"); }, false, L""},
        // Found out before the old app folder is touched: the previous install stays usable.
        {"no tar.exe in the system folder leaves the previous install",
         [](const std::wstring& scratch) {
             WriteOldInstallation(scratch + L"\\inst");
             return scratch + L"\\inst";
         },
         payload,
         {StatusEvent(L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다."),
          DoneEvent(0)},
         true,
         [](const std::wstring& scratch) {
             EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), VERSION_FILE_NAME)), "2.4.0\r\n");
             EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), APP_PROGRAM_NAME)), "old program");
             EXPECT_EQ(ReadText(InstalledApp(scratch) + L"\\plugins\\old_only.dll"), "old");
         },
         true, L""},
        {"damaged archive", [](const std::wstring& scratch) { return scratch + L"\\inst"; }, damaged,
         extractionFailed, true, [](const std::wstring&) {}, false, L""},
        // The current folder holds what a relative app-folder path would name: it must survive.
        {"a relative installDir deletes nothing",
         [](const std::wstring& scratch) {
             WriteOldInstallation(scratch + L"\\inst");
             SetCurrentDirectoryW(scratch.c_str());
             return std::wstring(L"inst");
         },
         payload, cannotCreate, true,
         [](const std::wstring& scratch) {
             EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), APP_PROGRAM_NAME)), "old program");
         }, false, L""},
        {"an installDir too long for the app folder creates and deletes nothing",
         [](const std::wstring& scratch) {
             const std::wstring inst = scratch + L"\\" + std::wstring(250 - scratch.size(), L'x');
             return inst;
         },
         payload, cannotCreate, true,
         [](const std::wstring& scratch) {
             EXPECT_FALSE(FileExists(scratch + L"\\" + std::wstring(250 - scratch.size(), L'x')));
         }, false, L""},
    };

    wchar_t savedFolder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, savedFolder);
    int index = 0;
    for (const StageCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveWorkerTempFiles();
        ResetInstallState();
        MessageTrace trace;
        ReleaseSite site(L"extract_" + std::to_wstring(index++));
        ASSERT_TRUE(site.Publish("2.4.1", c.payload));
        const std::wstring scratch = testbed::MakeScratchFolder(L"stage4");
        const std::wstring installDir = c.prepare(scratch);
        wcscpy_s(installState.installDir, installDir.c_str());
        std::optional<HiddenTar> hidden;
        if (c.hideTar) {
            ASSERT_TRUE(hidden.emplace().moved());
        }

        // A held file is held for good here: it costs a shortened bound, not ten seconds.
        const ShortRetryBound shortBound;
        const bool ended = trace.RunOnThread([&] {
            Interposer interposer;
            if (!c.heldFile.empty()) interposer.Hold(scratch + L"\\" + c.heldFile);
            InstallWorker(nullptr);
        });
        hidden.reset();
        SetCurrentDirectoryW(savedFolder);
        ASSERT_TRUE(ended);

        std::vector<TraceEvent> expected = {
            ProgressEvent(0), StatusEvent(L"최신 버전 확인 중..."), StatusEvent(L"v2.4.1 내려받는 중..."),
            StatusEvent(L"받은 파일 검증 중..."), ProgressEvent(PROGRESS_MARQUEE), StatusEvent(L"설치 중... (압축 해제, 1~3분)")};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        const std::vector<TraceEvent> stageEvents = trace.StageEvents();
        EXPECT_EQ(EventsBeforeShellStage(stageEvents), expected) << trace.Describe(stageEvents);
        if (c.tail.empty() || c.tail.back() != DoneEvent(0)) {
            EXPECT_EQ(stageEvents.back(), DoneEvent(1)) << "extracted, so the attempt succeeds";
        }
        EXPECT_EQ(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)), c.payloadKept);
        c.verify(scratch);
    }
}

// A holder that lets go within the bound (a scanner, not a running app) only delays the update:
// the file is released from another thread as soon as the switch's first rename has met it, and
// the update completes under the default bound.
struct Releaser {
    Interposer* interposer;
    std::wstring held;
    volatile LONG workerDone = 0;
    volatile LONG released = 0;

    static DWORD WINAPI Run(void* parameter) {
        auto* self = static_cast<Releaser*>(parameter);
        while (!self->workerDone) {
            if (self->interposer->Calls("MoveFileExW") >= 1) {
                self->interposer->ReleaseHeld(self->held);
                self->released = 1;
                return 0;
            }
            SwitchToThread();
        }
        return 0;
    }
};

TEST(PrepareAndExtract, AHolderThatLetsGoWithinTheBoundIsOutlasted) {
    RemoveWorkerTempFiles();
    ResetInstallState();
    MessageTrace trace;
    ReleaseSite site(L"extract_released");
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
    const std::wstring scratch = testbed::MakeScratchFolder(L"stage4");
    WriteOldInstallation(scratch + L"\\inst");
    wcscpy_s(installState.installDir, (scratch + L"\\inst").c_str());
    ASSERT_EQ(transientRetryLimitMs, TRANSIENT_RETRY_LIMIT_MS);

    unsigned renames = 0;
    bool released = false;
    const bool ended = trace.RunOnThread([&] {
        Interposer interposer;
        Releaser releaser{&interposer, InFolder(InstalledApp(scratch), APP_PROGRAM_NAME)};
        interposer.Hold(releaser.held);
        const OwnedKernelHandle thread(CreateThread(nullptr, 0, Releaser::Run, &releaser, 0, nullptr));
        InstallWorker(nullptr);
        releaser.workerDone = 1;
        if (thread) WaitForSingleObject(thread.get(), INFINITE);
        renames = interposer.Calls("MoveFileExW");
        released = releaser.released != 0;
    });
    ASSERT_TRUE(ended);
    EXPECT_TRUE(released);
    EXPECT_GE(renames, 3u) << "the refused rename, its retry, and the staged app's";
    EXPECT_EQ(trace.StageEvents().back(), DoneEvent(1));
    EXPECT_EQ(ReadText(InFolder(InstalledApp(scratch), VERSION_FILE_NAME)), "2.4.1\r\n");
    EXPECT_FALSE(FileExists(InstalledApp(scratch) + L"\\plugins\\old_only.dll"));
    for (const wchar_t* name : {STAGING_FOLDER_NAME, ASIDE_FOLDER_NAME, SWITCH_JOURNAL_NAME}) {
        EXPECT_FALSE(FileExists(scratch + L"\\inst\\" + name));
    }
}

}  // namespace

namespace {

// The access list the product gives a folder no one else may write, for this user.
std::wstring PrivateList() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    const OwnedKernelHandle owner(token);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    wchar_t* sid = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
    const std::wstring list = L"D:P(A;OICI;FA;;;" + std::wstring(sid ? sid : L"?") + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    LocalFree(sid);
    return list;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

// An install folder created outside the profile gets the private list, one inside it (private
// already) or one that exists keeps what it has; the staging folder, and with it the app folder
// that the extraction creates in it, always gets the list. Wine keeps a list of its own whatever
// it is given, so the proof is the descriptor the product passes.
TEST(PrepareAndExtract, FoldersItCreatesGetThePrivateList) {
    const std::wstring privateList = PrivateList();
    struct Case {
        const char* name;
        bool insideProfile;
        bool exists;
        bool installFolderCreatedPrivate;
    } const cases[] = {
        {"a new folder outside the profile", false, false, true},
        {"a new folder inside the profile", true, false, false},
        {"an existing folder outside the profile", false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetInstallState();
        const std::wstring scratch = testbed::MakeScratchFolder(L"stage4_acl");
        const std::wstring installDir = scratch + L"\\inst";
        if (c.exists) {
            ASSERT_TRUE(CreateDirectoryW(installDir.c_str(), nullptr));
        }
        const std::wstring payload = scratch + L"\\payload.zip";
        ASSERT_TRUE(testbed::WriteFileBytes(payload, MakeZip(AppEntries("2.4.1"))));
        wcscpy_s(installState.installDir, installDir.c_str());
        const UserProfileSwap profile;
        profile.Set((c.insideProfile ? scratch : scratch + L"\\elsewhere").c_str());
        std::vector<std::pair<std::wstring, std::wstring>> created;
        static wchar_t errorText[WORKER_ERROR_CAPACITY];
        StageResult result = StageResult::Failed;
        {
            Interposer interposer;
            result = PrepareAndExtract(payload.c_str(), errorText);
            created = interposer.CreatedFolders();
        }
        EXPECT_EQ(result, StageResult::Continue);
        std::vector<std::pair<std::wstring, std::wstring>> expected;
        if (!c.exists) expected.emplace_back(Lower(installDir), c.installFolderCreatedPrivate ? privateList : L"");
        expected.emplace_back(Lower(installDir + L"\\" + STAGING_FOLDER_NAME), privateList);
        EXPECT_EQ(created, expected);
        EXPECT_TRUE(FileExists(InFolder(AppFolderIn(installDir), VERSION_FILE_NAME)));
    }
}

}  // namespace

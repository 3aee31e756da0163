// Whole install attempts through the wizard of the real TavrinSetup.exe against the local
// release host: success with and without "설치 후 바로 실행", failure and retry, cancelling and
// closing while busy, the skip exit, and the progress page as the worker drives it.
//
// The program's release host is fixed at build time, so these tests publish into the shared www
// root (dist/latest.json, models/auraface/) and take the "www" lock; the install writes the
// prefix's shortcuts, uninstall entry and temporary payload file ("shell", "payload").
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/process_list.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"
#include "tests/window/setup_driver.h"
#include "tests/window/wizard_pixels.h"
#include "window/controls.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kVersion = "1.2.1";
const wchar_t* const kPayloadPath = L"t/window_wizard/payload.zip";
// The manifest's path as the host's request log records it.
const std::string kManifestRequest = Narrow(L"/" MANIFEST_URL_PATH);

// The payload: the usual app folder with the sample application as TavrinAI.exe, which records
// each start (its working folder) in %USERPROFILE%\.tavrin_ai\started.txt. Without the
// application, the app folder has no TavrinAI.exe; its run_tavrin.bat starts the sample under
// another name, in the working folder the batch file was given.
std::string Payload(bool withApplication = true) {
    std::string application;
    EXPECT_TRUE(testbed::ReadFileBytes(testbed::FromUnixPath(TAVRIN_SAMPLE_APP_EXE), application));
    std::vector<ZipEntry> entries = AppEntries(kVersion);
    for (ZipEntry& entry : entries) {
        if (entry.name == AppEntryName(APP_PROGRAM_NAME)) entry.data = application;
    }
    if (!withApplication) {
        std::erase_if(entries, [](const ZipEntry& entry) { return entry.name == AppEntryName(APP_PROGRAM_NAME); });
        for (ZipEntry& entry : entries) {
            if (entry.name == AppEntryName(APP_SCRIPT_NAME)) entry.data = "@\"%~dp0sample_app.exe\"\r\n";
        }
        entries.push_back({AppEntryName(L"sample_app.exe"), application});
    }
    return MakeZip(entries);
}

// True while a program that a launch would start runs: the application, the command interpreter
// of its batch file, or the sample that the batch file starts.
bool LaunchedProgramRunning() {
    const auto processes = RunningProcesses();
    if (!processes) return true;
    for (const RunningProcess& process : *processes) {
        for (const wchar_t* name : {APP_PROGRAM_NAME, L"cmd.exe", L"sample_app.exe"}) {
            if (_wcsicmp(process.exeName.c_str(), name) == 0) return true;
        }
    }
    return false;
}

// Publishes the manifest naming payloadUrl (the payload's own URL unless a fault is wanted), the
// payload and the five models on the program's release host.
void Publish(const std::wstring& payloadUrl = testbed::HttpsUrl(kPayloadPath), bool withApplication = true) {
    const std::string payload = Payload(withApplication);
    ASSERT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(kPayloadPath), payload));
    for (const wchar_t* model : MODEL_NAMES) {
        ASSERT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(MODEL_URL_PATH + std::wstring(model)),
                                            "onnx " + std::string(3000, 'm')));
    }
    ASSERT_TRUE(testbed::WriteFileBytes(testbed::WwwPath(MANIFEST_URL_PATH),
                                        ManifestJson(kVersion, Narrow(payloadUrl), Sha256Hex(payload))));
}

std::wstring FaultUrl(const wchar_t* fault) {
    return testbed::HttpsUrl(std::wstring(L"_fault/") + fault + L"/" + kPayloadPath);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class WizardInstall : public testing::Test {
protected:
    void SetUp() override {
        // A payload an earlier case left whole would be taken up instead of requested.
        RemoveWorkerTempFiles();
        scratch_ = testbed::MakeScratchFolder(L"wizard");
        ASSERT_FALSE(scratch_.empty());
        installDir_ = scratch_ + L"\\Tavrin AI";
        profile_ = scratch_ + L"\\profile";
        ASSERT_TRUE(CreateDirectoryW(profile_.c_str(), nullptr));
    }

    // The wizard with its own profile folder (models, the sample application's record).
    std::unique_ptr<SetupProcess> Start() {
        auto setup = std::make_unique<SetupProcess>(std::vector<std::pair<std::wstring, std::wstring>>{
            {L"USERPROFILE", profile_}});
        EXPECT_TRUE(setup->Window());
        return setup;
    }

    // Licence accepted, the scratch install folder typed in, then "설치".
    void StartAttempt(const SetupProcess& setup, bool runAfter) const {
        setup.Click(IDC_AGREE);
        setup.Command(IDC_NEXT);
        SendMessageW(setup.PathEdit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(installDir_.c_str()));
        if (!runAfter) setup.Click(IDC_RUN_AFTER);
        ASSERT_EQ(setup.IsChecked(IDC_RUN_AFTER), runAfter);
        setup.Command(IDC_NEXT);
    }

    std::wstring AppFolder() const { return AppFolderIn(installDir_); }
    std::wstring StartRecordPath() const { return UserDataFolderIn(profile_) + L"\\started.txt"; }

    // The working folders the sample application recorded, one per line.
    std::string StartRecord() const {
        std::string record;
        testbed::ReadFileBytes(StartRecordPath(), record);
        return record;
    }

    std::wstring scratch_;
    std::wstring installDir_;
    std::wstring profile_;
};

void ExpectRunning(const SetupProcess& setup, const std::wstring& nextCaption) {
    HWND next = setup.Control(IDC_NEXT);
    EXPECT_EQ(TextOf(next), nextCaption);
    EXPECT_FALSE(IsWindowEnabled(next));
    EXPECT_EQ(TextOf(setup.Control(IDC_CANCEL)), L"취소");
    for (HWND page : {setup.LicenseEdit(), setup.PathEdit(), setup.Control(IDC_AGREE), setup.Control(IDC_BROWSE),
                      setup.Control(IDC_DESKTOP_SHORTCUT), setup.Control(IDC_RUN_AFTER), setup.Control(IDC_BACK)}) {
        EXPECT_FALSE(IsWindowVisible(page));
    }
}

// Captures when the window shows what ready expects; send is repeated before every capture, so
// a value the worker posts in between cannot win.
Capture CaptureAfter(HWND window, const std::function<void()>& send, const std::function<bool(const Capture&)>& ready) {
    Capture capture;
    WaitUntil([&] {
        send();
        capture = CaptureClient(window);
        return ready(capture);
    }, 15000);
    return capture;
}

// Where the progress bar runs: the track from 36 to W - 36.
constexpr RECT kBar{36, 172, 564, 178};

// The progress page is on the display (not still the location page): separator and third bar,
// and the disabled primary button.
bool ProgressPageShown(const Capture& cap) {
    return cap.All({36, 118, 564, 119}, kTrack) && cap.All({460, 60, 556, 62}, kAccent) &&
           cap.At(468, 460) == RGB(46, 46, 46) && cap.At(362, 460) == RGB(58, 58, 58);
}

TEST_F(WizardInstall, FinishedPageRunsTheApplicationOrCloses) {
    struct Case {
        const char* name;
        int button;
        bool launches;
        bool withApplication;  // false: the app folder has run_tavrin.bat but no TavrinAI.exe
    };
    int index = 0;
    for (const Case& c : {Case{"실행 launches", IDC_NEXT, true, true}, Case{"닫기 only closes", IDC_CANCEL, false, true},
                          Case{"실행 falls back to run_tavrin.bat", IDC_NEXT, true, false}}) {
        SCOPED_TRACE(c.name);
        Publish(testbed::HttpsUrl(kPayloadPath), c.withApplication);
        DeleteFileW(StartRecordPath().c_str());
        installDir_ = scratch_ + L"\\" + std::to_wstring(index++);  // a first install each time
        auto setup = Start();
        ASSERT_TRUE(setup->Window());
        StartAttempt(*setup, false);
        ExpectRunning(*setup, L"설치");
        ASSERT_TRUE(WaitUntil([&] { return TextOf(setup->Control(IDC_NEXT)) == L"실행"; }, 240000));
        EXPECT_EQ(CountMessageBoxes(setup->ProcessId()), 0);
        EXPECT_TRUE(IsWindowEnabled(setup->Control(IDC_NEXT)));
        EXPECT_EQ(TextOf(setup->Control(IDC_CANCEL)), L"닫기");
        EXPECT_EQ(Exists(InFolder(AppFolder(), APP_PROGRAM_NAME)), c.withApplication);
        EXPECT_TRUE(StartRecord().empty()) << "nothing launched before the button";

        const Capture finished = CaptureAfter(setup->Window(), [] {}, [](const Capture& cap) {
            return cap.All(kBar, kAccent) && cap.At(468, 460) == RGB(45, 74, 110) &&
                   cap.Count({36, 200, 564, 240}, kMuted) > 0;
        });
        if (c.launches && c.withApplication) finished.Save(L"page_finished");
        ExpectStepIndicator(finished, 2);
        EXPECT_TRUE(finished.All(kBar, kAccent));
        EXPECT_EQ(finished.At(564, 174), kBackground);
        ExpectText(finished, {36, 140, 564, 162}, kAccent, kText);   // status line, finished
        ExpectText(finished, {36, 200, 564, 216}, kMuted, kAccent);  // completion note, line 1
        ExpectText(finished, {36, 218, 564, 240}, kMuted, kAccent);  // and line 2
        ExpectButton(finished, ChildRect(setup->Control(IDC_NEXT)), RGB(45, 74, 110), RGB(255, 255, 255));

        PostMessageW(setup->Control(c.button), BM_CLICK, 0, 0);
        DWORD exitCode = 1;
        ASSERT_TRUE(setup->WaitForExit(30000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        if (c.launches) {
            ASSERT_TRUE(WaitUntil([&] { return !StartRecord().empty(); }, 30000));
            EXPECT_EQ(_stricmp(StartRecord().c_str(), (Narrow(AppFolder()) + "\n").c_str()), 0) << StartRecord();
        } else {
            // A launch starts its program before the setup program exits, and the program records
            // its start before it shows its window: once none runs, any launch has recorded.
            ASSERT_TRUE(WaitUntil([] { return !LaunchedProgramRunning(); }, 30000));
            EXPECT_TRUE(StartRecord().empty());
        }
    }
}

TEST_F(WizardInstall, RunAfterInstallLaunchesAndCloses) {
    Publish();
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    StartAttempt(*setup, true);
    DWORD exitCode = 1;
    ASSERT_TRUE(setup->WaitForExit(240000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    ASSERT_TRUE(WaitUntil([&] { return !StartRecord().empty(); }, 30000));
    EXPECT_EQ(_stricmp(StartRecord().c_str(), (Narrow(AppFolder()) + "\n").c_str()), 0) << StartRecord();
    for (const wchar_t* model : MODEL_NAMES) {
        EXPECT_TRUE(Exists(InFolder(ModelFolderIn(profile_), model)));
    }
}

TEST_F(WizardInstall, FailureShowsTheWorkersTextAndOffersARetry) {
    Publish(FaultUrl(L"status=404"));
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    StartAttempt(*setup, true);

    auto box = WaitForMessageBox(setup->Window(), 0, 120000);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, PRODUCT_NAME);
    EXPECT_EQ(box->text, L"서버 응답 404");
    EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
    // Out of the way of the capture: the progress page stays, now without a bar.
    SetWindowPos(box->box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    const Capture failed = CaptureAfter(setup->Window(), [] {}, [](const Capture& cap) {
        return ProgressPageShown(cap) && cap.All(kBar, kBackground);
    });
    failed.Save(L"page_failed");
    ExpectStepIndicator(failed, 2);
    EXPECT_TRUE(failed.All(kBar, kBackground));
    EXPECT_TRUE(failed.All({36, 118, 564, 119}, kTrack));
    ExpectText(failed, {36, 140, 564, 162}, kText, kAccent);

    AnswerMessageBox(box->box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(setup->PathEdit()) != FALSE; }, 10000));
    EXPECT_EQ(TextOf(setup->Control(IDC_NEXT)), L"다시 시도");
    EXPECT_TRUE(IsWindowEnabled(setup->Control(IDC_NEXT)));
    EXPECT_EQ(TextOf(setup->PathEdit()), installDir_);
    EXPECT_FALSE(Exists(AppFolder()));

    // The retry runs with the caption kept; this time the close box, then the cancel button,
    // stop the slow download, and the box shows the download's own reason.
    Publish(FaultUrl(L"trickle=200"));
    for (const bool closeBox : {true, false}) {
        SCOPED_TRACE(closeBox ? "close box" : "cancel button");
        setup->Command(IDC_NEXT);
        ExpectRunning(*setup, L"다시 시도");
        if (closeBox) {
            Deliver(setup->Window(), WM_CLOSE);
        } else {
            // One press: the trickle lets the worker end within a chunk, and a press that
            // arrives after its end is a plain "취소" that closes the window. Repeated presses
            // while the worker is held are the in-process wizard test's case.
            setup->Command(IDC_CANCEL);
        }
        EXPECT_TRUE(IsWindow(setup->Window()));
        auto cancelled = WaitForMessageBox(setup->Window(), 0, 120000);
        ASSERT_TRUE(cancelled);
        EXPECT_EQ(cancelled->text, L"취소됨");
        AnswerMessageBox(cancelled->box, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(setup->PathEdit()) != FALSE; }, 10000));
        EXPECT_EQ(TextOf(setup->Control(IDC_NEXT)), L"다시 시도");
    }
    EXPECT_TRUE(setup->Running());
}

// The failure box opens over a page already painted without a bar: the worker may have drawn
// its last value just before it reported the end, and the box's own loop paints only what is
// invalid by then.
TEST_F(WizardInstall, FailureBoxOpensOverAPageWithoutTheBar) {
    Publish(FaultUrl(L"stall"));  // the attempt waits in the payload download
    const size_t stalledBefore = testbed::HostRequests("/_fault/stall/").size();
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    StartAttempt(*setup, true);
    HWND window = setup->Window();
    // Once the host has the payload request, the worker has posted all it posts before the
    // download; the stand-in messages are posted after it, so none of the worker's overtakes them.
    ASSERT_TRUE(WaitUntil([&] { return testbed::HostRequests("/_fault/stall/").size() > stalledBefore; }, 60000))
        << "the payload was never requested";
    const Capture drawn = CaptureAfter(window, [&] { PostMessageW(window, WM_SETUP_PROGRESS, 500, 0); },
                                       [](const Capture& cap) {
        return ProgressPageShown(cap) && cap.All({36, 172, 300, 178}, kAccent) &&
               cap.All({302, 172, 564, 178}, kTrack);
    });
    ASSERT_TRUE(drawn.All({36, 172, 300, 178}, kAccent)) << "the bar was never drawn";

    PostMessageW(window, WM_SETUP_DONE, 0, 0);  // the worker's end, as a failure
    auto box = WaitForMessageBox(window, 0, 10000);
    ASSERT_TRUE(box);
    RECT boxRect{};
    GetWindowRect(box->box, &boxRect);
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&boxRect), 2);
    // The track's pixels that the box leaves in view.
    const auto uncovered = [&](const Capture& cap, COLORREF color) {
        int matching = 0, seen = 0;
        for (int y = kBar.top; y < kBar.bottom; ++y) {
            for (int x = kBar.left; x < kBar.right; ++x) {
                const POINT point{x, y};
                if (PtInRect(&boxRect, point)) continue;
                ++seen;
                if (cap.At(x, y) == color) ++matching;
            }
        }
        return std::make_pair(matching, seen);
    };
    ASSERT_GT(uncovered(drawn, kBackground).second, 0) << "the box hides the whole track";
    const Capture failed = CaptureAfter(window, [] {}, [&](const Capture& cap) {
        const auto [matching, seen] = uncovered(cap, kBackground);
        return matching == seen;
    });
    failed.Save(L"failure_box_open");
    const auto [background, seen] = uncovered(failed, kBackground);
    EXPECT_EQ(background, seen) << "a stale bar under the box";
    ExpectStepIndicator(failed, 2);
    AnswerMessageBox(box->box, IDOK);
}

// Folders the location page refuses at once, before anything is fetched, each with its warning,
// and folders it hands to an attempt (which here ends at the payload, "서버 응답 404", so nothing
// is written anywhere).
TEST_F(WizardInstall, LocationPageRefusesFoldersThatCannotInstall) {
    Publish(FaultUrl(L"status=404"));
    const std::wstring notAbsolute =
        L"설치 폴더를 전체 경로로 입력하세요.\n(예: C:\\TavrinAI 또는 \\\\서버\\공유\\TavrinAI)";
    const std::wstring tooLong = L"설치 폴더 경로가 너무 깁니다. 더 짧은 폴더를 입력하세요.";
    // The longest path an install forms (an update's staged program) must fit 259 units:
    // FoldersAtTheEdgeInstallWhole installs the longest folder.
    const std::wstring oneTooLong = L"C:\\" + std::wstring(MAX_INSTALL_DIR_LENGTH + 1 - 3, L'd');
    struct Case {
        const char* name;
        std::wstring folder;
        std::wstring refusal;  // empty: accepted
    };
    for (const Case& c : {Case{"a bare name", L"abc", notAbsolute}, Case{"rooted, without a drive", L"\\abc", notAbsolute},
                          Case{"a drive, without a root", L"C:abc", notAbsolute},
                          Case{"the \\\\?\\ form", L"\\\\?\\C:\\TavrinAI", notAbsolute},
                          Case{"the \\\\.\\ form", L"\\\\.\\C:\\TavrinAI", notAbsolute},
                          Case{"one unit too long", oneTooLong, tooLong},
                          Case{"a component ending in a blank", L"C:\\a \\TavrinAI", notAbsolute},
                          Case{"a drive path", installDir_, L""},
                          Case{"a share", L"\\\\tavrin-test-host\\share\\TavrinAI", L""}}) {
        SCOPED_TRACE(c.name);
        installDir_ = c.folder;
        auto setup = Start();
        ASSERT_TRUE(setup->Window());
        const size_t logStart = testbed::RequestLogLength();
        StartAttempt(*setup, true);
        auto box = WaitForMessageBox(setup->Window(), 0, 120000);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->caption, PRODUCT_NAME);
        EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
        if (c.refusal.empty()) {
            EXPECT_EQ(box->text, L"서버 응답 404");
            EXPECT_EQ(testbed::RequestsSince(logStart, kManifestRequest), 1);
            continue;
        }
        EXPECT_EQ(box->text, c.refusal);
        AnswerMessageBox(box->box, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return CountMessageBoxes(setup->ProcessId()) == 0; }, 10000));
        EXPECT_TRUE(IsWindowVisible(setup->PathEdit()));
        EXPECT_EQ(TextOf(setup->PathEdit()), c.folder);
        EXPECT_EQ(TextOf(setup->Control(IDC_NEXT)), L"설치");
        EXPECT_TRUE(IsWindowEnabled(setup->Control(IDC_NEXT)));
        EXPECT_EQ(testbed::RequestsSince(logStart, kManifestRequest), 0) << testbed::RequestLogSince(logStart);
    }
}

// Folders at the edge of what the location page takes, each installed whole: the folder as
// Windows creates it (the last component's trailing blanks and dots gone) is shown back and is
// the one that every path of the install names, with both shortcuts and the uninstall entry.
TEST_F(WizardInstall, FoldersAtTheEdgeInstallWhole) {
    Publish();
    const std::wstring base = scratch_ + L"\\";
    ASSERT_LT(base.size() + 1, MAX_INSTALL_DIR_LENGTH);
    const std::wstring longest = base + std::wstring(MAX_INSTALL_DIR_LENGTH - base.size(), L'l');  // one component of < 255
    struct Case {
        const char* name;
        std::wstring typed;
        std::wstring folder;
    };
    for (const Case& c : {Case{"the longest folder", longest, longest}, Case{"a trailing blank", base + L"blank ", base + L"blank"},
                          Case{"a trailing dot", base + L"dot.", base + L"dot"}}) {
        SCOPED_TRACE(c.name);
        shell_readback::RemoveShellTraces();
        installDir_ = c.typed;
        auto setup = Start();
        ASSERT_TRUE(setup->Window());
        StartAttempt(*setup, false);
        ASSERT_TRUE(WaitUntil([&] { return TextOf(setup->Control(IDC_NEXT)) == L"실행"; }, 240000));
        EXPECT_EQ(TextOf(setup->PathEdit()), c.folder);
        const std::wstring appFolder = AppFolderIn(c.folder);
        for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
            shell_readback::ExpectShortcut(shell_readback::ShortcutPath(csidl), appFolder, APP_PROGRAM_NAME);
        }
        shell_readback::ExpectUninstallEntry(c.folder, L"1.2.1");
        EXPECT_TRUE(Exists(SetupCopyIn(c.folder)));
        EXPECT_TRUE(Exists(InFolder(appFolder, VERSION_FILE_NAME)));
        PostMessageW(setup->Control(IDC_CANCEL), BM_CLICK, 0, 0);
        ASSERT_TRUE(setup->WaitForExit(30000, nullptr));
    }
}

// An owner-drawn button reports a double click as a click and then a double click; "다음" on the
// licence page must count it once: the location page, and nothing fetched until "설치".
TEST_F(WizardInstall, DoubleClickOnNextStopsAtTheLocationPage) {
    Publish(FaultUrl(L"status=404"));
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    setup->Click(IDC_AGREE);
    const size_t logStart = testbed::RequestLogLength();
    const LPARAM button = reinterpret_cast<LPARAM>(setup->Control(IDC_NEXT));
    Deliver(setup->Window(), WM_COMMAND, MAKEWPARAM(IDC_NEXT, BN_CLICKED), button);
    Deliver(setup->Window(), WM_COMMAND, MAKEWPARAM(IDC_NEXT, BN_DOUBLECLICKED), button);
    EXPECT_TRUE(IsWindowVisible(setup->PathEdit()));
    EXPECT_EQ(TextOf(setup->Control(IDC_NEXT)), L"설치");
    EXPECT_TRUE(IsWindowEnabled(setup->Control(IDC_NEXT)));
    EXPECT_EQ(CountMessageBoxes(setup->ProcessId()), 0);

    // "설치" starts the one attempt; by the time it has failed, a request of an attempt started
    // by the double click would be in the log as well.
    SendMessageW(setup->PathEdit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(installDir_.c_str()));
    setup->Command(IDC_NEXT);
    auto box = WaitForMessageBox(setup->Window(), 0, 120000);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, L"서버 응답 404");
    EXPECT_EQ(testbed::RequestsSince(logStart, kManifestRequest), 1) << testbed::RequestLogSince(logStart);
}

TEST_F(WizardInstall, DecliningTheSameVersionClosesWithoutABox) {
    Publish();
    ASSERT_TRUE(testbed::WriteFileBytes(InFolder(AppFolder(), VERSION_FILE_NAME), kVersion + "\r\n"));
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    StartAttempt(*setup, true);
    auto question = WaitForMessageBox(setup->Window(), 0, 120000);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text.rfind(L"이미 최신 버전(v1.2.1)", 0), 0u) << Narrow(question->text);
    AnswerMessageBox(question->box, IDNO);
    // A failure box would hold the program open.
    DWORD exitCode = 1;
    ASSERT_TRUE(setup->WaitForExit(30000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(StartRecord().empty());
}

TEST_F(WizardInstall, ProgressPageFollowsTheWorkersValues) {
    Publish(FaultUrl(L"stall"));  // the attempt waits in the payload download
    const size_t stalledBefore = testbed::HostRequests("/_fault/stall/").size();
    auto setup = Start();
    ASSERT_TRUE(setup->Window());
    StartAttempt(*setup, true);
    ExpectRunning(*setup, L"설치");
    HWND window = setup->Window();
    // Once the host has the payload request, the worker has posted all it posts before the
    // download: the marquee below is moved by the timer alone, never replaced by a value of the
    // worker's (a slow release check under load once did that).
    ASSERT_TRUE(WaitUntil([&] { return testbed::HostRequests("/_fault/stall/").size() > stalledBefore; }, 60000))
        << "the payload was never requested";
    auto progress = [&](int value) {
        return [=] { Deliver(window, WM_SETUP_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(value))); };
    };

    struct Case {
        const char* name;
        int value;
        int fillRight;  // accent from 36 up to here, track from here to 564; 0: no track at all
    };
    for (const Case& c : {Case{"no bar before the first value", -1, 0}, Case{"empty track", 0, 36},
                          Case{"half", 500, 300}, Case{"complete", 1000, 564}}) {
        SCOPED_TRACE(c.name);
        const Capture capture = CaptureAfter(window, progress(c.value), [&](const Capture& cap) {
            if (!ProgressPageShown(cap)) return false;
            if (!c.fillRight) return cap.All(kBar, kBackground);
            return cap.All({36, 172, c.fillRight, 178}, kAccent) && cap.All({c.fillRight, 172, 564, 178}, kTrack);
        });
        if (c.value == 500) capture.Save(L"page_progress");
        if (!c.fillRight) {
            EXPECT_TRUE(capture.All(kBar, kBackground));
        } else {
            EXPECT_TRUE(capture.All({36, 172, c.fillRight, 178}, kAccent));
            EXPECT_TRUE(capture.All({c.fillRight, 172, 564, 178}, kTrack));
        }
        EXPECT_EQ(capture.At(35, 174), kBackground);
        EXPECT_EQ(capture.At(564, 174), kBackground);
        EXPECT_TRUE(capture.All({36, 179, 564, 199}, kBackground)) << "no completion note while running";
        ExpectStepIndicator(capture, 2);
        EXPECT_TRUE(capture.All({36, 118, 564, 119}, kTrack));
        ExpectText(capture, {36, 140, 564, 162}, kText, kAccent);
        ExpectButton(capture, ChildRect(setup->Control(IDC_NEXT)), RGB(46, 46, 46), RGB(119, 119, 119));
        ExpectButton(capture, ChildRect(setup->Control(IDC_CANCEL)), RGB(58, 58, 58), RGB(255, 255, 255));
    }

    // The marquee: one accent segment of at most 120 pixels on the track, moved by the timer
    // alone (nothing is sent between the captures).
    auto segment = [](const Capture& cap, int& left, int& right) {
        left = right = -1;
        for (int x = 36; x < 564; ++x) {
            if (cap.At(x, 174) != kAccent) continue;
            if (left < 0) left = x;
            right = x + 1;
        }
        return left >= 0 && right - left <= 120 && cap.All({left, 172, right, 178}, kAccent) &&
               cap.All({36, 172, left, 178}, kTrack) && cap.All({right, 172, 564, 178}, kTrack);
    };
    int firstLeft = 0, firstRight = 0;
    const Capture marquee = CaptureAfter(window, progress(PROGRESS_MARQUEE), [&](const Capture& cap) {
        return segment(cap, firstLeft, firstRight);
    });
    marquee.Save(L"page_marquee");
    ASSERT_TRUE(segment(marquee, firstLeft, firstRight));
    EXPECT_LE(firstRight - firstLeft, 120);
    int left = 0, right = 0;
    EXPECT_TRUE(WaitUntil([&] {
        const Capture later = CaptureClient(window);
        return segment(later, left, right) && (left != firstLeft || right != firstRight);
    }, 10000));
}

}  // namespace

// One setup program per session, in either mode: a later copy of the real TavrinSetup.exe steps
// aside for the running one and leaves everything as it was; once the running copy has ended, the
// next one starts as usual.
#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"
#include "tests/window/setup_driver.h"
#include "window/controls.h"
#include "window/setup_window.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBoxMs = 20000;
constexpr DWORD kExitMs = 30000;

// A copy of the program started with arguments, ended by force if it still runs at the end.
class Copy {
public:
    Copy(const std::wstring& exe, const std::wstring& arguments, const std::wstring& profile) {
        std::wstring commandLine = L"\"" + exe + L"\"";
        if (!arguments.empty()) commandLine += L" " + arguments;
        std::vector<wchar_t> environment = testbed::EnvironmentBlock({{L"USERPROFILE", profile}});
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                            environment.data(), nullptr, &startup, &created)) {
            return;
        }
        CloseHandle(created.hThread);
        process_ = OwnedKernelHandle(created.hProcess);
        id_ = created.dwProcessId;
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;
    ~Copy() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), 1);
            WaitForSingleObject(process_.get(), 10000);
        }
    }

    DWORD Id() const { return id_; }
    // The exit code once the copy has ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD ExitCode(DWORD timeoutMs) const {
        DWORD code = STILL_ACTIVE;
        if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.get(), &code);
        }
        return code;
    }

private:
    OwnedKernelHandle process_;
    DWORD id_ = 0;
};

// Wizard windows of a process, shown or not.
int WizardWindowsOf(DWORD processId) {
    struct Search {
        DWORD processId;
        int count;
    } search{processId, 0};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            wchar_t className[64] = {};
            GetClassNameW(window, className, 64);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->processId && wcscmp(className, WIZARD_WINDOW_CLASS) == 0) ++s->count;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.count;
}

// What an install leaves for an uninstall to remove, in a scratch folder: the setup copy and the
// application in the install folder, a model and the application's data in the profile.
struct Install {
    std::wstring setupCopy;
    std::wstring profile;
    std::vector<std::wstring> files;

    void Make() {
        const std::wstring root = testbed::MakeScratchFolder(L"single_instance");
        ASSERT_FALSE(root.empty());
        const std::wstring folder = InFolder(root, INSTALL_FOLDER_NAME);
        profile = root + L"\\profile";
        setupCopy = SetupCopyIn(folder);
        files = {InFolder(AppFolderIn(folder), APP_PROGRAM_NAME), InFolder(ModelFolderIn(profile), MARKER_MODEL_NAME),
                 UserDataFolderIn(profile) + L"\\settings.json"};
        for (const std::wstring& file : files) ASSERT_TRUE(testbed::WriteFileBytes(file, "data"));
        ASSERT_TRUE(CopyFileW(SetupExePath().c_str(), setupCopy.c_str(), FALSE));
        files.push_back(setupCopy);
    }

    void ExpectKept() const {
        for (const std::wstring& file : files) EXPECT_TRUE(testbed::FileExists(file)) << Narrow(file);
    }
};

// An install and a copy of its setup program uninstalling it, holding at its question.
struct AskingUninstall {
    Install install;
    std::unique_ptr<Copy> copy;
    std::optional<MessageBoxInfo> question;

    void Start() {
        ASSERT_NO_FATAL_FAILURE(install.Make());
        copy = std::make_unique<Copy>(install.setupCopy, L"/uninstall", install.profile);
        question = WaitForMessageBox(nullptr, copy->Id(), kBoxMs);
        ASSERT_TRUE(question) << "no question";
        ASSERT_EQ(question->caption, L"Tavrin AI 제거");
    }
    // The user declines: the uninstaller ends with 0, having removed nothing.
    void Decline() const {
        AnswerMessageBox(question->box, IDNO);
        EXPECT_EQ(copy->ExitCode(kExitMs), 0u);
        install.ExpectKept();
    }
};

// A window of this test in front of everything, so that bringing the wizard forward shows.
class FrontWindow {
public:
    FrontWindow()
        : window_(CreateWindowExW(0, L"STATIC", L"in front", WS_POPUP | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr,
                                  nullptr, nullptr)) {
        SetForegroundWindow(window_);
    }
    FrontWindow(const FrontWindow&) = delete;
    FrontWindow& operator=(const FrontWindow&) = delete;
    ~FrontWindow() { DestroyWindow(window_); }
    HWND Get() const { return window_; }

private:
    HWND window_;
};

TEST(SingleInstance, SecondWizardBringsTheRunningOneToTheFront) {
    struct Case {
        const char* name;
        bool minimised;  // otherwise the wizard has its warning box open, which comes forward
    };
    for (const Case& c : {Case{"minimised wizard", true}, Case{"wizard with a box open", false}}) {
        SCOPED_TRACE(c.name);
        SetupProcess first;
        ASSERT_TRUE(first.Window());
        HWND expected = first.Window();
        if (!c.minimised) {
            first.Click(IDC_AGREE);
            first.Command(IDC_NEXT);
            SendMessageW(first.PathEdit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
            PostMessageW(first.Control(IDC_NEXT), BM_CLICK, 0, 0);
            auto box = WaitForMessageBox(first.Window(), 0, kBoxMs);
            ASSERT_TRUE(box);
            expected = box->box;
        }
        FrontWindow front;
        if (c.minimised) {
            ShowWindow(first.Window(), SW_MINIMIZE);
            ASSERT_TRUE(WaitUntil([&] { return IsIconic(first.Window()) != FALSE; }, 10000));
        }
        ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == front.Get(); }, 10000));

        SetupProcess second;
        EXPECT_FALSE(second.Window()) << "a second wizard opened";
        DWORD exitCode = 1;
        ASSERT_TRUE(second.WaitForExit(kExitMs, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(WaitUntil([&] { return !IsIconic(first.Window()) && GetForegroundWindow() == expected; }, 10000))
            << "foreground " << GetForegroundWindow() << ", expected " << expected;
        EXPECT_TRUE(first.Running());
    }
}

TEST(SingleInstance, UninstallWhileAWizardRunsTouchesNothing) {
    SetupProcess wizard;
    ASSERT_TRUE(wizard.Window());
    wizard.Click(IDC_AGREE);
    wizard.Command(IDC_NEXT);
    Install install;
    ASSERT_NO_FATAL_FAILURE(install.Make());

    Copy uninstall(install.setupCopy, L"/uninstall", install.profile);
    const auto box = WaitForMessageBox(nullptr, uninstall.Id(), kBoxMs);
    ASSERT_TRUE(box) << "no box";
    EXPECT_EQ(box->caption, PRODUCT_NAME);
    EXPECT_EQ(box->text, L"설치 프로그램이 이미 실행 중입니다. 설치 창을 닫은 뒤 다시 시도해 주세요.");
    EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
    EXPECT_EQ(box->owner, nullptr);
    AnswerMessageBox(box->box, IDOK);
    EXPECT_EQ(uninstall.ExitCode(kExitMs), 0u);
    install.ExpectKept();
    EXPECT_TRUE(wizard.Running());
    EXPECT_TRUE(IsWindowVisible(wizard.PathEdit()));
}

// The other way round: a wizard started while the uninstaller asks its question says so and
// ends; once the uninstaller has ended, a wizard opens as usual.
TEST(SingleInstance, WizardWhileAnUninstallRunsSaysSoAndEnds) {
    AskingUninstall uninstall;
    ASSERT_NO_FATAL_FAILURE(uninstall.Start());

    {
        Copy wizard(SetupExePath(), L"", uninstall.install.profile);
        const auto box = WaitForMessageBox(nullptr, wizard.Id(), kBoxMs);
        ASSERT_TRUE(box) << "no box";
        EXPECT_EQ(box->caption, PRODUCT_NAME);
        EXPECT_EQ(box->text, L"Tavrin AI 제거가 진행 중입니다. 제거가 끝난 뒤 다시 시도해 주세요.");
        EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
        EXPECT_EQ(WizardWindowsOf(wizard.Id()), 0);
        AnswerMessageBox(box->box, IDOK);
        EXPECT_EQ(wizard.ExitCode(kExitMs), 0u);
    }

    uninstall.Decline();
    SetupProcess after;
    EXPECT_TRUE(after.Window());
}

// A message box captioned as the uninstaller's question, shown by this test process: no box of
// the running uninstaller, so a second uninstall copy must leave it where it is.
class DecoyBox {
public:
    DecoyBox() : thread_(CreateThread(nullptr, 0, Show, nullptr, 0, nullptr)) {}
    DecoyBox(const DecoyBox&) = delete;
    DecoyBox& operator=(const DecoyBox&) = delete;
    ~DecoyBox() {
        if (box_) AnswerMessageBox(box_, IDOK);
        if (thread_) WaitForSingleObject(thread_.get(), kExitMs);
    }
    // The box once it is shown; nullptr when it never came.
    HWND Wait() {
        const auto found = WaitForMessageBox(nullptr, GetCurrentProcessId(), kBoxMs);
        box_ = found ? found->box : nullptr;
        return box_;
    }

private:
    static DWORD WINAPI Show(LPVOID) {
        MessageBoxW(nullptr, L"decoy", L"Tavrin AI 제거", MB_OK);
        return 0;
    }
    OwnedKernelHandle thread_;
    HWND box_ = nullptr;
};

// A second uninstall (a double click in the installed-programs list) shows no box of its own,
// which would keep the setup copy in use while the first removes it: it brings the first one's
// question to the front, not another process's box that merely bears its caption, and ends.
TEST(SingleInstance, SecondUninstallBringsTheRunningOnesBoxForwardAndShowsNone) {
    AskingUninstall first;
    ASSERT_NO_FATAL_FAILURE(first.Start());
    const HWND question = first.question->box;
    DecoyBox decoy;
    ASSERT_TRUE(decoy.Wait());
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() != question; }, 10000));

    Copy second(first.install.setupCopy, L"/uninstall", first.install.profile);
    EXPECT_EQ(second.ExitCode(kExitMs), 0u) << "the second copy is held by a box";
    EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == question; }, 10000))
        << "foreground " << GetForegroundWindow() << ", expected " << question;
    first.Decline();
}

// An uninstall copy marks the session before it takes the mutex. A second uninstall that comes
// in between (here the test holds the mark, with its own process id, and no copy the mutex) steps
// aside without a box and without uninstalling.
TEST(SingleInstance, SecondUninstallStepsAsideForAnUninstallNotYetHoldingTheMutex) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(install.Make());
    OwnedKernelHandle mark(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG),
                                              L"Local\\TavrinAI.Uninstalling"));
    ASSERT_TRUE(mark);
    OwnedMappedView value(MapViewOfFile(mark.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
    ASSERT_TRUE(value);
    *static_cast<volatile LONG*>(value.get()) = static_cast<LONG>(GetCurrentProcessId());

    Copy second(install.setupCopy, L"/uninstall", install.profile);
    EXPECT_EQ(second.ExitCode(kExitMs), 0u) << "the second copy is held by a box";
    install.ExpectKept();
}

}  // namespace

// Stage 5 on its own: RegisterShell runs on a thread of its own with COM initialised, as in the
// worker, against an app folder prepared by hand, the prefix's real Start menu, desktop and
// HKCU, and shortcuts read back through IShellLinkW.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/shell_registration.h"
#include "tests/support/message_trace.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

using namespace shell_readback;

namespace {

constexpr wchar_t kChildInstallDirVariable[] = L"TAVRIN_SELF_COPY_INSTALL_DIR";

// Writes an app folder as extraction leaves it; without the application when withApplication is
// false. Returns the app folder.
std::wstring MakeAppFolder(const std::wstring& installDir, bool withApplication) {
    const std::wstring app = AppFolderIn(installDir);
    testbed::WriteFileBytes(InFolder(app, VERSION_FILE_NAME), "2.4.1\r\n");
    testbed::WriteFileBytes(InFolder(app, APP_SCRIPT_NAME), "@echo off\r\n");
    testbed::WriteFileBytes(InFolder(app, APP_ICON_NAME), std::string("\0\0\1\0", 4));
    if (withApplication) testbed::WriteFileBytes(InFolder(app, APP_PROGRAM_NAME), "MZ application");
    return app;
}

void SetInstallDir(const std::wstring& installDir) {
    wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
}

using testbed::FileExists;

class ShellRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetInstallState();
        RemoveShellTraces();
        scratch_ = testbed::MakeScratchFolder(L"shell");
        ASSERT_FALSE(scratch_.empty());
        installDir_ = scratch_ + L"\\Tavrin AI";
        SetInstallDir(installDir_);
        wcscpy_s(installState.releaseVersion, L"2.4.1");
    }
    void TearDown() override {
        RemoveShellTraces();
        ResetInstallState();
    }

    // Runs the stage while the trace window answers the check-box query; the stage posts exactly
    // its one status.
    void RunStage(MessageTrace& trace) {
        ASSERT_TRUE(trace.RunOnThread(WithCom(RegisterShell)));
        EXPECT_EQ(trace.events(), std::vector<TraceEvent>{StatusEvent(L"바로가기 만드는 중...")}) << trace.Describe();
    }

    std::wstring scratch_;
    std::wstring installDir_;
};

struct ShellCase {
    const char* name;
    bool withApplication;    // "TavrinAI.exe" in the app folder
    bool desktopBoxChecked;  // the state the user left the desktop box in
    bool earlierInstall;     // an older setup copy, both shortcuts and the entry exist beforehand
};

class ShellRegistrationCases : public ShellRegistrationTest, public ::testing::WithParamInterface<ShellCase> {};

// What an earlier install of another version left behind, everything different from what the
// stage writes now.
void MakeEarlierInstall(const std::wstring& installDir, const std::wstring& oldApp) {
    testbed::WriteFileBytes(SetupCopyIn(installDir), "older setup program");
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        ComApartment com;
        CreateShortcut(ShortcutPath(csidl).c_str(), (oldApp + L"\\Old.exe").c_str(), oldApp.c_str(),
                       InFolder(oldApp, APP_ICON_NAME).c_str());
    }
    OwnedRegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    for (const wchar_t* name : {UNINSTALL_DISPLAY_NAME, UNINSTALL_DISPLAY_VERSION, UNINSTALL_PUBLISHER,
                                UNINSTALL_INSTALL_LOCATION, UNINSTALL_DISPLAY_ICON, UNINSTALL_STRING}) {
        const wchar_t old[] = L"old value";
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(old), sizeof old);
    }
    const DWORD zero = 0;
    RegSetValueExW(key.get(), UNINSTALL_NO_MODIFY, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    RegSetValueExW(key.get(), UNINSTALL_NO_REPAIR, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
}

TEST_P(ShellRegistrationCases, WritesSetupCopyShortcutsAndEntry) {
    const ShellCase& c = GetParam();
    const std::wstring app = MakeAppFolder(installDir_, c.withApplication);
    const std::wstring oldApp = scratch_ + L"\\Old Install";
    if (c.earlierInstall) MakeEarlierInstall(installDir_, oldApp);

    MessageTrace trace;
    trace.SetDesktopBoxChecked(c.desktopBoxChecked);
    RunStage(trace);

    std::string copy;
    ASSERT_TRUE(testbed::ReadFileBytes(SetupCopyIn(installDir_), copy));
    EXPECT_TRUE(copy == OwnExecutableBytes()) << "the setup copy is not the running program";

    const std::wstring launchName = c.withApplication ? APP_PROGRAM_NAME : APP_SCRIPT_NAME;
    ExpectShortcut(ShortcutPath(CSIDL_PROGRAMS), app, launchName);
    const std::wstring desktop = ShortcutPath(CSIDL_DESKTOPDIRECTORY);
    if (c.desktopBoxChecked) {
        ExpectShortcut(desktop, app, launchName);
    } else if (c.earlierInstall) {
        EXPECT_EQ(ReadShortcut(desktop).target, oldApp + L"\\Old.exe") << "the earlier desktop shortcut was touched";
    } else {
        EXPECT_FALSE(FileExists(desktop));
    }
    ExpectUninstallEntry(installDir_, L"2.4.1");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellRegistrationCases,
    ::testing::Values(ShellCase{"FirstInstallWithDesktopBoxTicked", true, true, false},
                      ShellCase{"DesktopBoxClearedLeavesEarlierDesktopShortcut", true, false, true},
                      ShellCase{"DesktopBoxClearedWritesOnlyStartMenu", true, false, false},
                      ShellCase{"PayloadWithoutApplicationLinksStartScript", false, true, false},
                      ShellCase{"ReinstallReplacesCopyShortcutsAndEveryValue", true, true, true}),
    [](const ::testing::TestParamInfo<ShellCase>& info) { return std::string(info.param.name); });

// A shortcut path that could not be formed (a failed folder look-up leaves it empty or bare)
// must not turn into a link in the current folder.
TEST_F(ShellRegistrationTest, ShortcutWithoutFolderIsNotWritten) {
    const std::wstring app = MakeAppFolder(installDir_, true);
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch_.c_str()));
    const std::wstring name = SHORTCUT_NAME;
    for (const std::wstring& path : {std::wstring(), name, L".\\" + name}) {
        ComApartment com;
        CreateShortcut(path.c_str(), InFolder(app, APP_PROGRAM_NAME).c_str(), app.c_str(),
                       InFolder(app, APP_ICON_NAME).c_str());
        EXPECT_FALSE(FileExists(InFolder(scratch_, SHORTCUT_NAME))) << Narrow(path);
    }
    SetCurrentDirectoryW(previous);
}

// An install folder so long that the launch target does not fit 260 units: no shortcut is
// written with a cut target, and nothing appears in the shell folders.
TEST_F(ShellRegistrationTest, InstallFolderTooLongForLaunchTargetWritesNoShortcut) {
    installDir_ = scratch_ + L"\\" + std::wstring(240 - scratch_.size() - 1, L'i');
    ASSERT_EQ(installDir_.size(), 240u);
    ASSERT_TRUE(CreateDirectoryW(installDir_.c_str(), nullptr));
    SetInstallDir(installDir_);

    MessageTrace trace;
    RunStage(trace);

    EXPECT_FALSE(FileExists(ShortcutPath(CSIDL_PROGRAMS)));
    EXPECT_FALSE(FileExists(ShortcutPath(CSIDL_DESKTOPDIRECTORY)));
    std::string copy;
    ASSERT_TRUE(testbed::ReadFileBytes(SetupCopyIn(installDir_), copy));
    EXPECT_TRUE(copy == OwnExecutableBytes());
}

// The setup copy started from the install folder (without "/uninstall") registers itself: the
// program file it runs from must come through unchanged. The test program copies itself there as
// "TavrinSetup.exe" and runs the child case below in that copy.
TEST_F(ShellRegistrationTest, RunningFromSetupCopyLeavesItUnchanged) {
    MakeAppFolder(installDir_, true);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring setupCopy = SetupCopyIn(installDir_);
    ASSERT_TRUE(CopyFileW(self, setupCopy.c_str(), FALSE));
    const std::string original = OwnExecutableBytes();

    std::wstring commandLine = L"\"" + setupCopy + L"\" --gtest_filter=SetupCopyChild.*";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    SetEnvironmentVariableW(kChildInstallDirVariable, installDir_.c_str());
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableW(kChildInstallDirVariable, nullptr);
    ASSERT_TRUE(started);
    OwnedKernelHandle processHandle(process.hProcess);
    OwnedKernelHandle threadHandle(process.hThread);
    ASSERT_EQ(WaitForSingleObject(processHandle.get(), 120000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "the child case failed";

    std::string after;
    ASSERT_TRUE(testbed::ReadFileBytes(setupCopy, after));
    EXPECT_TRUE(after == original) << "the running setup copy was changed (" << after.size() << " bytes)";
    ExpectShortcut(ShortcutPath(CSIDL_PROGRAMS), AppFolderIn(installDir_), APP_PROGRAM_NAME);
    ExpectUninstallEntry(installDir_, L"2.4.1");
}

// Runs only inside the copy started by the case above.
TEST(SetupCopyChild, RegistersFromInstallFolder) {
    wchar_t installDir[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(kChildInstallDirVariable, installDir, MAX_PATH)) GTEST_SKIP() << "child case only";
    ResetInstallState();
    SetInstallDir(installDir);
    wcscpy_s(installState.releaseVersion, L"2.4.1");
    MessageTrace trace;
    ASSERT_TRUE(trace.RunOnThread(WithCom(RegisterShell)));
    EXPECT_EQ(trace.StatusTexts(), std::vector<std::wstring>{L"바로가기 만드는 중..."});
}

}  // namespace

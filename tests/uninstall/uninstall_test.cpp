// Uninstall mode end to end: a copy of the real TavrinSetup.exe is run with "/uninstall" from a
// scratch layout of what an install leaves behind, its two boxes are read and answered from here,
// and the prefix's real shortcuts and registry and the scratch files are checked afterwards.
//
// The hidden cmd.exe that removes the setup copy is the prefix's real one, with its real ping:
// the uninstaller starts it as its last act, and it is found once the uninstaller has ended and
// waited for, so no check depends on how long anything takes.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/message_box.h"
#include "tests/support/self_removal.h"
#include "tests/support/setup_child.h"
#include "tests/support/setup_log_reader.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"

#include <algorithm>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kDoneText[] = L"제거가 끝났습니다.";
constexpr wchar_t kInUseText[] = L"일부 파일을 지우지 못했습니다.\n실행 중인 Tavrin AI 를 닫고 다시 제거해 주세요.";

constexpr DWORD kBoxTimeoutMs = 20000;
constexpr DWORD kSelfRemovalTimeoutMs = 30000;

std::wstring SetupExe() { return testbed::FromUnixPath(TAVRIN_SETUP_EXE); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void Put(const std::wstring& path) { ASSERT_TRUE(testbed::WriteFileBytes(path, "data")) << path; }

void CopySetup(const std::wstring& to) { ASSERT_TRUE(CopyFileW(SetupExe().c_str(), to.c_str(), FALSE)) << to; }

std::wstring StartMenuShortcut() { return shell_readback::ShortcutPath(CSIDL_PROGRAMS); }
std::wstring DesktopShortcut() { return shell_readback::ShortcutPath(CSIDL_DESKTOPDIRECTORY); }

void WriteShortcut(const std::wstring& path, const std::wstring& target) {
    ComPtr<IShellLinkW> link;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()));
    link->SetPath(target.c_str());
    link->SetDescription(PRODUCT_NAME);
    ComPtr<IPersistFile> file;
    ASSERT_HRESULT_SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put_void()));
    ASSERT_HRESULT_SUCCEEDED(file->Save(path.c_str(), TRUE));
}

bool UninstallKeyExists() {
    OwnedRegistryKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void WriteUninstallKey(const std::wstring& installFolder) {
    OwnedRegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    const auto set = [&](const wchar_t* name, const std::wstring& value) {
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    set(UNINSTALL_DISPLAY_NAME, PRODUCT_NAME);
    set(UNINSTALL_INSTALL_LOCATION, installFolder);
}

void RemoveShellEntries() {
    DeleteFileW(StartMenuShortcut().c_str());
    DeleteFileW(DesktopShortcut().c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, UNINSTALL_KEY);
}

// What an install leaves behind, in a scratch folder: the install folder with the setup copy and
// an app folder, a user profile with the model folder (beside another model set that is not
// ours) and the application's data folder, both shortcuts and the uninstall key.
struct Install {
    std::wstring root;
    std::wstring folder;
    std::wstring setupCopy;
    std::wstring appFolder;
    std::wstring profile;
};

void MakeInstall(Install& install) {
    install.root = testbed::MakeScratchFolder(L"uninstall");
    ASSERT_FALSE(install.root.empty());
    install.folder = InFolder(install.root, INSTALL_FOLDER_NAME);
    install.setupCopy = SetupCopyIn(install.folder);
    install.appFolder = AppFolderIn(install.folder);
    install.profile = install.root + L"\\profile";
    for (const wchar_t* file : {VERSION_FILE_NAME, APP_PROGRAM_NAME, APP_ICON_NAME, L"runtime\\python311.dll"}) {
        Put(install.appFolder + L"\\" + file);
    }
    CopySetup(install.setupCopy);
    for (const wchar_t* model : MODEL_NAMES) Put(InFolder(ModelFolderIn(install.profile), model));
    Put(ModelSetsFolderIn(install.profile) + L"\\buffalo_l\\det_10g.onnx");
    Put(UserDataFolderIn(install.profile) + L"\\settings.json");
    Put(UserDataFolderIn(install.profile) + L"\\auth\\session.dat");
    WriteShortcut(StartMenuShortcut(), InFolder(install.appFolder, APP_PROGRAM_NAME));
    WriteShortcut(DesktopShortcut(), InFolder(install.appFolder, APP_PROGRAM_NAME));
    WriteUninstallKey(install.folder);
}

// The per-user folders that uninstalling removes, and the parts of the profile that must stay.
void ExpectUserFoldersRemoved(const Install& install) {
    EXPECT_FALSE(Exists(ModelFolderIn(install.profile)));
    EXPECT_FALSE(Exists(UserDataFolderIn(install.profile)));
    EXPECT_TRUE(Exists(ModelSetsFolderIn(install.profile)));
    EXPECT_TRUE(Exists(ModelSetsFolderIn(install.profile) + L"\\buffalo_l\\det_10g.onnx"));
}

void ExpectUserFoldersKept(const Install& install) {
    for (const wchar_t* model : MODEL_NAMES) {
        EXPECT_TRUE(Exists(InFolder(ModelFolderIn(install.profile), model))) << model;
    }
    EXPECT_TRUE(Exists(UserDataFolderIn(install.profile) + L"\\auth\\session.dat"));
}

void ExpectShellEntriesRemoved() {
    EXPECT_FALSE(Exists(StartMenuShortcut()));
    EXPECT_FALSE(Exists(DesktopShortcut()));
    EXPECT_FALSE(UninstallKeyExists());
}

// How an uninstall that was answered Yes ends: removed (the final box says so and the hidden
// command runs), removed without the hidden command (a path it must not be given), or stopped
// by an app folder in use (a warning instead, and nothing else touched).
enum class Ending { Removed, RemovedWithoutSelfRemoval, AppFolderInUse };

// Answers Yes, reads the final box, leaves it open for boxOpenMs (and while whileBoxOpen runs)
// before it dismisses it, and waits for the uninstaller and then for the hidden command (when one
// is expected) to end.
void UninstallWithYes(const Launch& launch, Ending ending = Ending::Removed, DWORD boxOpenMs = 0,
                      const std::function<void()>& whileBoxOpen = {}) {
    Child child;
    Start(launch, child);
    ASSERT_NO_FATAL_FAILURE(AnswerConfirmation(child, IDYES));
    const auto box = WaitForMessageBox(nullptr, child.id, kBoxTimeoutMs);
    ASSERT_TRUE(box) << "no final box";
    EXPECT_EQ(box->caption, PRODUCT_NAME);
    EXPECT_EQ(box->owner, nullptr);
    if (ending == Ending::AppFolderInUse) {
        EXPECT_EQ(box->text, kInUseText);
        EXPECT_EQ(box->Style(), static_cast<UINT>(MB_OK | MB_ICONWARNING));
    } else {
        EXPECT_EQ(box->text, kDoneText);
        EXPECT_EQ(box->Style(), static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    }
    if (boxOpenMs > 0) Sleep(boxOpenMs);
    if (whileBoxOpen) whileBoxOpen();
    AnswerMessageBox(box->box, IDOK);
    ExpectExitCodeZero(child);
    const DWORD uninstallerId = child.id;
    // Under Wine a handle to the ended process keeps its image file open, which would stop del.
    child.process.reset();

    const SelfRemovalCommand command(uninstallerId);
    EXPECT_EQ(command.Found(), ending == Ending::Removed);
    if (command.Found()) {
        EXPECT_TRUE(command.WaitForEnd(kSelfRemovalTimeoutMs)) << "the hidden command did not end";
    }
}

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        RemoveShellEntries();
    }
    void TearDown() override {
        RemoveShellEntries();
        CoUninitialize();
    }
};

TEST_F(UninstallTest, YesRemovesEverythingTheInstallMadeAndTheFolderAfterExit) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    // Started from inside the install folder: the hidden command must still be able to remove it.
    UninstallWithYes({.exe = install.setupCopy, .workingFolder = install.folder,
                      .environment = {{L"USERPROFILE", install.profile}}});

    ExpectShellEntriesRemoved();
    ExpectUserFoldersRemoved(install);
    EXPECT_FALSE(Exists(install.setupCopy));
    EXPECT_FALSE(Exists(install.folder));
}

// The uninstall writes the setup log in the user's temporary folder, after setting the log
// before it (the install's) aside as the old log: the program's version, that of its version
// block, and the mode; the install folder; the question and its answer; each step with its
// result; the final text, its box and the answer; the hidden command.
TEST_F(UninstallTest, WritesTheSetupLog) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring temp = install.root + L"\\tmp";
    ASSERT_TRUE(testbed::WriteFileBytes(InFolder(temp, LOG_FILE_NAME), "the install's log\r\n"));

    UninstallWithYes({.exe = install.setupCopy,
                      .environment = {{L"USERPROFILE", install.profile}, {L"TMP", temp}, {L"TEMP", temp}}});

    std::string oldLog;
    EXPECT_TRUE(testbed::ReadFileBytes(InFolder(temp, OLD_LOG_FILE_NAME), oldLog));
    EXPECT_EQ(oldLog, "the install's log\r\n");
    std::wstring question = kConfirmText;
    std::replace(question.begin(), question.end(), L'\n', L' ');
    const std::vector<LogLine> lines = ReadLog(InFolder(temp, LOG_FILE_NAME));
    EXPECT_TRUE(LinesInOrder(lines, {
        "setup | start TavrinSetup 1.2.1.0, uninstall",
        "uninstall | start, install folder " + Narrow(install.folder),
        "message box | shown " + Narrow(question) + " | answer Yes",
        "app folder | start",
        "app folder | end | ok | ",
        "shortcuts | end | ok | ",
        "uninstall entry | end | ok | ",
        "model folder | end | ok | ",
        "data folder | end | ok | ",
        "uninstall | final text " + Narrow(kDoneText),
        "message box | shown " + Narrow(kDoneText) + " | answer OK",
        "uninstall | self removal started ",
    })) << DescribeLog(lines);
}

// A second uninstall started while the first one's final box is open (a double click in the
// installed-programs list) steps aside at once without a box of its own: the setup copy it runs
// from is free again when the first one's hidden command removes it with the install folder.
TEST_F(UninstallTest, ASecondUninstallStepsAsideSoTheFirstRemovesItsCopy) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const Launch launch{.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}};
    UninstallWithYes(launch, Ending::Removed, 0, [&] {
        Child second;
        Start(launch, second);
        const bool ended = WaitForSingleObject(second.process.get(), 20000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(second.process.get(), 1);
        EXPECT_TRUE(ended) << "the second uninstall stayed, with a box of its own";
        DWORD exitCode = 1;
        EXPECT_TRUE(GetExitCodeProcess(second.process.get(), &exitCode));
        EXPECT_EQ(exitCode, 0u);
    });

    ExpectShellEntriesRemoved();
    EXPECT_FALSE(Exists(install.setupCopy));
    EXPECT_FALSE(Exists(install.folder));
}

TEST_F(UninstallTest, NoLeavesEverythingAndShowsNoSecondBox) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    Child child;
    Start({.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}}, child);
    ASSERT_NO_FATAL_FAILURE(AnswerConfirmation(child, IDNO));
    // A second box would keep the process alive.
    ExpectExitCodeZero(child);
    EXPECT_EQ(FindSelfRemovalCommand(child.id), 0u) << "a hidden command was started";

    EXPECT_TRUE(Exists(StartMenuShortcut()));
    EXPECT_TRUE(Exists(DesktopShortcut()));
    EXPECT_TRUE(UninstallKeyExists());
    EXPECT_TRUE(Exists(install.appFolder + L"\\runtime\\python311.dll"));
    EXPECT_TRUE(Exists(install.setupCopy));
    ExpectUserFoldersKept(install);
}

TEST_F(UninstallTest, NothingInstalledStillEndsWithTheFinalBoxAndRemovesTheCopy) {
    const std::wstring root = testbed::MakeScratchFolder(L"uninstall_empty");
    const std::wstring folder = InFolder(root, INSTALL_FOLDER_NAME);
    const std::wstring profile = root + L"\\profile";
    ASSERT_TRUE(CreateDirectoryW(profile.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    CopySetup(SetupCopyIn(folder));

    UninstallWithYes({.exe = SetupCopyIn(folder), .environment = {{L"USERPROFILE", profile}}});

    ExpectShellEntriesRemoved();
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Exists(profile));
}

TEST_F(UninstallTest, ExtraFilesKeepTheInstallFolderButNotTheSetupCopy) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    Put(install.folder + L"\\notes.txt");

    UninstallWithYes({.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}});

    EXPECT_FALSE(Exists(install.appFolder));
    EXPECT_FALSE(Exists(install.setupCopy));
    EXPECT_TRUE(Exists(install.folder + L"\\notes.txt"));
}

// A folder link in the app folder, the model folder and the data folder, each to a folder outside
// with a file of the user's: nothing is deleted through a link. The bed cannot delete a link as a
// link (testbed_test AHostLinkCannotBeDeletedAsALink), so the app folder stays whole and the
// uninstall stops there as for an application in use, touching nothing else.
TEST_F(UninstallTest, DeletesNothingThroughALink) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring folders[] = {install.appFolder, ModelFolderIn(install.profile),
                                    UserDataFolderIn(install.profile)};
    std::vector<std::wstring> outsides;
    for (const std::wstring& folder : folders) {
        outsides.push_back(install.root + L"\\outside_" + std::to_wstring(outsides.size()));
        Put(outsides.back() + L"\\sentinel.txt");
        ASSERT_TRUE(testbed::MakeFolderLink(folder + L"\\linked", outsides.back()));
    }

    UninstallWithYes({.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}},
                     Ending::AppFolderInUse);

    for (size_t i = 0; i < outsides.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "link in " << Narrow(folders[i]));
        EXPECT_EQ(testbed::FolderEntries(outsides[i]), (std::vector<std::wstring>{L"sentinel.txt"}));
    }
    EXPECT_TRUE(Exists(install.appFolder + L"\\linked"));
    EXPECT_TRUE(UninstallKeyExists());
    ExpectUserFoldersKept(install);
    EXPECT_TRUE(Exists(install.setupCopy));
}

TEST_F(UninstallTest, RunFromAnotherFolderTakesThatFolderForTheInstallFolder) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring other = install.root + L"\\Downloads";
    Put(InFolder(AppFolderIn(other), APP_PROGRAM_NAME));
    Put(other + L"\\Photos\\IMG_0001.jpg");
    CopySetup(SetupCopyIn(other));

    // The uninstall key still names the real install folder; it must not matter.
    UninstallWithYes({.exe = SetupCopyIn(other), .environment = {{L"USERPROFILE", install.profile}}});

    EXPECT_FALSE(Exists(AppFolderIn(other)));
    EXPECT_FALSE(Exists(SetupCopyIn(other)));
    EXPECT_TRUE(Exists(other + L"\\Photos\\IMG_0001.jpg"));
    EXPECT_TRUE(Exists(InFolder(install.appFolder, APP_PROGRAM_NAME)));
    EXPECT_TRUE(Exists(install.setupCopy));
    ExpectShellEntriesRemoved();
}

// cmd.exe expands %NAME% in its command line, and !NAME! as well where the user has switched
// delayed expansion on, so a folder named like a variable could send del and rmdir elsewhere:
// the hidden command is not started for such a path.
struct VariableCase {
    const char* name;
    const wchar_t* folderName;
};

class VariableInTheFolderNameTest : public UninstallTest, public ::testing::WithParamInterface<VariableCase> {};

TEST_P(VariableInTheFolderNameTest, SkipsTheSelfRemoval) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring folder = install.root + L"\\" + GetParam().folderName;
    const std::wstring decoy = SetupCopyIn(install.root + L"\\decoy");
    Put(InFolder(AppFolderIn(folder), APP_PROGRAM_NAME));
    Put(decoy);
    CopySetup(SetupCopyIn(folder));

    UninstallWithYes({.exe = SetupCopyIn(folder),
                      .environment = {{L"USERPROFILE", install.profile}, {L"TAVRIN_DECOY", L"decoy"}}},
                     Ending::RemovedWithoutSelfRemoval);

    EXPECT_FALSE(Exists(AppFolderIn(folder)));
    EXPECT_TRUE(Exists(SetupCopyIn(folder)));
    EXPECT_TRUE(Exists(decoy));
    ExpectShellEntriesRemoved();
}

INSTANTIATE_TEST_SUITE_P(Folders, VariableInTheFolderNameTest,
                         ::testing::Values(VariableCase{"percent", L"%TAVRIN_DECOY%"},
                                           VariableCase{"exclamation_mark", L"!TAVRIN_DECOY!"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The final box read slowly: the hidden command starts only once it has been dismissed, so the
// setup copy and the emptied install folder still go after the uninstaller has ended.
TEST_F(UninstallTest, SelfRemovalWaitsUntilTheFinalBoxIsDismissed) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));

    UninstallWithYes({.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}},
                     Ending::Removed, /*boxOpenMs=*/6000);

    ExpectShellEntriesRemoved();
    EXPECT_FALSE(Exists(install.setupCopy));
    EXPECT_FALSE(Exists(install.folder));
}

// A program file of the app folder held open without sharing, as by the running application:
// the app folder cannot be set aside, so nothing is deleted (the shortcuts and the entry still
// lead to the whole app, and the setup copy is there to try again) and the user is told to close
// the application. Once it is closed, a second uninstall removes everything. Windows refuses to
// rename a folder that holds an open file; Wine renames it, so the folder itself is held open
// without delete sharing too, which Wine's rename respects. The refusal is outlasted for the
// full retry bound first (the child cannot have it shortened).
TEST_F(UninstallTest, AppFolderInUseTouchesNothingElseUntilItIsClosed) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const Launch launch{.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}};
    {
        OwnedFile running(CreateFileW(InFolder(install.appFolder, APP_PROGRAM_NAME).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(running);
        OwnedFile folder(CreateFileW(install.appFolder.c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(folder);
        UninstallWithYes(launch, Ending::AppFolderInUse);

        for (const wchar_t* file : {VERSION_FILE_NAME, APP_PROGRAM_NAME, APP_ICON_NAME, L"runtime\\python311.dll"}) {
            EXPECT_TRUE(Exists(install.appFolder + L"\\" + file)) << Narrow(file);
        }
        EXPECT_TRUE(Exists(StartMenuShortcut()));
        EXPECT_TRUE(Exists(DesktopShortcut()));
        EXPECT_TRUE(UninstallKeyExists());
        ExpectUserFoldersKept(install);
        EXPECT_TRUE(Exists(install.setupCopy));
    }

    UninstallWithYes(launch);

    ExpectShellEntriesRemoved();
    ExpectUserFoldersRemoved(install);
    EXPECT_FALSE(Exists(install.setupCopy));
    EXPECT_FALSE(Exists(install.folder));
}

// The hidden command is started by the system folder's cmd.exe: one lying in the install folder
// (where a search for "cmd.exe" would look first) is never run. The stand-in application serves
// as that cmd.exe here; it records each start in the per-user data folder.
TEST_F(UninstallTest, ACmdExeInTheInstallFolderIsNeverRun) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring planted = install.folder + L"\\cmd.exe";
    ASSERT_TRUE(CopyFileW(testbed::FromUnixPath(TAVRIN_SAMPLE_APP_EXE).c_str(), planted.c_str(), FALSE));

    UninstallWithYes({.exe = install.setupCopy, .environment = {{L"USERPROFILE", install.profile}}});

    EXPECT_FALSE(Exists(UserDataFolderIn(install.profile) + L"\\started.txt")) << "the planted cmd.exe ran";
    EXPECT_FALSE(Exists(install.setupCopy)) << "the system's cmd.exe did not run";
    EXPECT_TRUE(Exists(planted));
}

// A profile that cannot be used whole leaves both per-user folders alone, and never turns into
// a path relative to the current folder (which holds look-alike folders here).
struct ProfileCase {
    const char* name;
    std::optional<std::wstring> userProfile;  // nullopt: unset
};

class UnusableProfileTest : public UninstallTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(UnusableProfileTest, KeepsThePerUserFoldersAndRemovesTheRest) {
    Install install;
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install));
    const std::wstring current = install.root + L"\\current";
    const std::vector<std::wstring> lookAlikes = {
        InFolder(ModelFolderIn(current), MARKER_MODEL_NAME), UserDataFolderIn(current) + L"\\settings.json",
        InFolder(ModelFolderIn(current + L"\\profile"), MARKER_MODEL_NAME),
        UserDataFolderIn(current + L"\\profile") + L"\\settings.json"};
    for (const auto& path : lookAlikes) Put(path);

    UninstallWithYes({.exe = install.setupCopy, .workingFolder = current,
                      .environment = {{L"USERPROFILE", GetParam().userProfile}}});

    ExpectUserFoldersKept(install);
    for (const auto& path : lookAlikes) EXPECT_TRUE(Exists(path)) << path;
    ExpectShellEntriesRemoved();
    EXPECT_FALSE(Exists(install.appFolder));
    EXPECT_FALSE(Exists(install.folder));
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, UnusableProfileTest,
    ::testing::Values(ProfileCase{"unset", std::nullopt},
                      ProfileCase{"longer_than_its_buffer", L"C:\\" + std::wstring(300, L'p')},
                      ProfileCase{"relative", L"profile"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

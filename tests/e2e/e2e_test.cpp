// One user's story with the real TavrinSetup.exe, driven through its wizard as a user drives it,
// against releases that the publisher's release tool made for this run (tests/e2e/
// make_releases.py): a first install, the same version offered again (declined, then accepted),
// an update, the uninstall the uninstall entry names, and the faults a real install meets on the
// way (a connection that breaks off, a payload that does not match its digest, an old
// application file held open).
//
// The program's release host is compiled in, so a release is published by copying it into the
// host's www root. Each test has a scratch install folder and a scratch user profile (passed to
// the program as USERPROFILE); the prefix's shortcuts and uninstall entry are shared, and are
// removed again when a test ends, whatever its outcome.
#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/release_fixture.h"
#include "tests/support/self_removal.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/window/setup_driver.h"
#include "window/controls.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using shell_readback::ExpectShortcut;
using shell_readback::ExpectUninstallEntry;
using shell_readback::ReadUninstallEntry;
using shell_readback::ShortcutPath;

constexpr DWORD kAttemptMs = 120000;
constexpr DWORD kBoxMs = 20000;
constexpr DWORD kExitMs = 30000;
constexpr DWORD kSelfRemovalMs = 30000;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadText(const std::wstring& path) {
    std::string bytes;
    testbed::ReadFileBytes(path, bytes);
    return bytes;
}

std::wstring Wide(const std::string& utf8) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring out(units > 0 ? units - 1 : 0, L'\0');
    if (units > 1) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), units);
    return out;
}

// The program the stories run: this build's TavrinSetup.exe, or the one TAVRIN_E2E_SETUP_EXE
// names (a Linux path), such as the signed shipping build.
std::wstring StoryExePath() {
    const std::string chosen = testbed::Env("TAVRIN_E2E_SETUP_EXE");
    return chosen.empty() ? SetupExePath() : testbed::FromUnixPath(chosen);
}

// A release made by make_releases.py, in the bed's staging folder.
std::wstring ReleaseFolder(const wchar_t* name) { return testbed::Root() + L"\\e2e-releases\\" + name; }

// The file of a release folder that the host serves at hostPath ('/' separators).
std::wstring ReleaseFile(const std::wstring& release, std::wstring hostPath) {
    std::replace(hostPath.begin(), hostPath.end(), L'/', L'\\');
    return InFolder(release, hostPath);
}

void CopyInto(const std::wstring& from, const std::wstring& to) {
    std::string bytes;
    ASSERT_TRUE(testbed::ReadFileBytes(from, bytes)) << "no " << Narrow(from) << " (made by the e2e_releases step)";
    ASSERT_TRUE(testbed::WriteFileBytes(to, bytes));
}

// The value of a string member of a manifest as the release tool writes it; empty when absent.
std::string Member(const std::string& manifest, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(manifest, match, std::regex("\"" + key + "\"\\s*:\\s*\"([^\"]*)\""))) return "";
    return match[1].str();
}

// Puts a release on the host: its payload at the path its manifest's "url" names (after any
// /_fault/<fault>/ segment), its models under /models/auraface/, and last its manifest at
// /dist/latest.json, so that no manifest names a payload not yet there.
void Publish(const wchar_t* name) {
    const std::wstring release = ReleaseFolder(name);
    const std::string manifest = ReadText(ReleaseFile(release, MANIFEST_URL_PATH));
    const std::string url = Member(manifest, "url");
    const std::string path = std::regex_replace(url, std::regex(R"(^https?://[^/]+/(_fault/[^/]+/)?)"), "");
    ASSERT_NE(path, url) << manifest;
    // The tool writes the payload into dist/ under the name its URL ends with.
    ASSERT_NO_FATAL_FAILURE(CopyInto(ReleaseFile(release, L"dist/" + Wide(path.substr(path.rfind('/') + 1))),
                                     testbed::WwwPath(Wide(path))));
    for (const wchar_t* model : MODEL_NAMES) {
        ASSERT_NO_FATAL_FAILURE(CopyInto(ReleaseFile(release, MODEL_URL_PATH + std::wstring(model)),
                                         testbed::WwwPath(MODEL_URL_PATH + std::wstring(model))));
    }
    ASSERT_NO_FATAL_FAILURE(CopyInto(ReleaseFile(release, MANIFEST_URL_PATH), testbed::WwwPath(MANIFEST_URL_PATH)));
}

struct FindTraits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { FindClose(h); }
};

// Every entry below a folder by relative path: "folder", or the size and last-write time of a
// file. Equal listings mean nothing was added, removed, rewritten or touched.
using Listing = std::map<std::wstring, std::wstring>;

void ListInto(const std::wstring& root, const std::wstring& relative, Listing& out) {
    WIN32_FIND_DATAW entry = {};
    Owned<FindTraits> find(FindFirstFileW((root + relative + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative.substr(1) + L"\\" + name;
        const ULONGLONG written = (ULONGLONG{entry.ftLastWriteTime.dwHighDateTime} << 32) |
                                  entry.ftLastWriteTime.dwLowDateTime;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[path] = L"folder, written " + std::to_wstring(written);
            ListInto(root, relative + L"\\" + name, out);
        } else {
            out[path] = std::to_wstring((ULONGLONG{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow) +
                        L" bytes, written " + std::to_wstring(written);
        }
    } while (FindNextFileW(find.get(), &entry));
}

Listing ListTree(const std::wstring& root) {
    Listing out;
    ListInto(root, L"", out);
    return out;
}

std::set<std::wstring> Names(const Listing& listing) {
    std::set<std::wstring> names;
    for (const auto& [name, what] : listing) names.insert(name);
    return names;
}

// The app folder that the release tool packs for a version: the sample application, its start
// script and icon, a data file named for the version, and the version file the tool adds.
std::set<std::wstring> AppFiles(const std::string& version) {
    return {APP_PROGRAM_NAME, APP_ICON_NAME, APP_SCRIPT_NAME, VERSION_FILE_NAME, L"data",
            L"data\\blob.bin", L"data\\notes-" + Wide(version) + L".txt"};
}

// Everything of ours outside the scratch folder: both shortcuts and the uninstall entry.
struct ShellState {
    Listing startMenu;
    Listing desktop;
    std::map<std::wstring, std::wstring> entry;
    bool operator==(const ShellState&) const = default;
};

Listing DescribeFile(const std::wstring& path) {
    Listing out;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        out[path] = std::to_wstring((ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow) + L" bytes, written " +
                    std::to_wstring((ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                    data.ftLastWriteTime.dwLowDateTime);
    }
    return out;
}

ShellState ReadShellState() {
    ShellState state;
    state.startMenu = DescribeFile(ShortcutPath(CSIDL_PROGRAMS));
    state.desktop = DescribeFile(ShortcutPath(CSIDL_DESKTOPDIRECTORY));
    for (const auto& [name, value] : ReadUninstallEntry()) {
        state.entry[name] = std::to_wstring(value.type) + L":" +
                            (value.type == REG_DWORD ? std::to_wstring(value.Dword()) : value.Text());
    }
    return state;
}

void PrintTo(const ShellState& state, std::ostream* os) {
    *os << testing::PrintToString(state.startMenu) << testing::PrintToString(state.desktop)
        << testing::PrintToString(state.entry);
}

std::wstring UninstallString() {
    const auto values = ReadUninstallEntry();
    const auto found = values.find(UNINSTALL_STRING);
    return found == values.end() ? L"" : found->second.Text();
}

void DeleteFolder(const std::wstring& folder) {
    if (folder.empty()) return;
    std::wstring list = folder + L'\0';  // a list of names, ended by an empty one
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}


void WaitUntilClosed(HWND box) {
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kBoxMs)) << "the box did not close";
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        shell_readback::RemoveShellTraces();
        RemoveWorkerTempFiles();
        scratch_ = testbed::MakeScratchFolder(L"e2e");
        ASSERT_FALSE(scratch_.empty());
        installDir_ = scratch_ + L"\\Tavrin AI";
        profile_ = scratch_ + L"\\사용자";  // a user name in Korean, as many of our users have
        ASSERT_TRUE(CreateDirectoryW(profile_.c_str(), nullptr));
    }

    void TearDown() override {
        held_.reset();
        heldFolder_.reset();
        setup_.reset();  // ends a wizard still running
        if (uninstaller_ && WaitForSingleObject(uninstaller_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(uninstaller_.get(), 1);
            WaitForSingleObject(uninstaller_.get(), 10000);
        }
        uninstaller_.reset();
        shell_readback::RemoveShellTraces();
        RemoveWorkerTempFiles();
        DeleteFolder(scratch_);
    }

    std::wstring AppFolder() const { return AppFolderIn(installDir_); }
    std::wstring DataFolder() const { return UserDataFolderIn(profile_); }
    std::wstring ModelFolder() const { return ModelFolderIn(profile_); }
    HWND Next() const { return setup_->Control(IDC_NEXT); }

    // A new wizard with the scratch profile: the licence accepted, the install folder typed in,
    // "설치 후 바로 실행" cleared so that the finished page stays, then "설치".
    void StartInstall() {
        setup_.reset();
        setup_ = std::make_unique<SetupProcess>(std::vector<std::pair<std::wstring, std::wstring>>{
            {L"USERPROFILE", profile_}}, StoryExePath());
        ASSERT_TRUE(setup_->Window());
        setup_->Click(IDC_AGREE);
        setup_->Click(IDC_NEXT);
        ASSERT_TRUE(IsWindowVisible(setup_->PathEdit()));
        SendMessageW(setup_->PathEdit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(installDir_.c_str()));
        setup_->Click(IDC_RUN_AFTER);
        ASSERT_FALSE(setup_->IsChecked(IDC_RUN_AFTER));
        ASSERT_TRUE(setup_->IsChecked(IDC_DESKTOP_SHORTCUT));
        ASSERT_EQ(TextOf(Next()), L"설치");
        setup_->Click(IDC_NEXT);
    }

    // Waits for the attempt to end: the box it ended with (owned by the wizard), or nullopt on
    // the finished page.
    std::optional<MessageBoxInfo> WaitForAttempt() const {
        std::optional<MessageBoxInfo> box;
        EXPECT_TRUE(WaitUntil([&] {
            if (TextOf(Next()) == L"실행") return true;
            box = WaitForMessageBox(setup_->Window(), 0, 0);
            return box.has_value() || !setup_->Running();
        }, kAttemptMs)) << "the attempt did not end";
        return box;
    }

    void ExpectFinishedPage() const {
        const auto box = WaitForAttempt();
        ASSERT_FALSE(box) << "box: " << testing::PrintToString(box->text);
        ASSERT_EQ(TextOf(Next()), L"실행");
        EXPECT_TRUE(IsWindowEnabled(Next()));
        EXPECT_EQ(TextOf(setup_->Control(IDC_CANCEL)), L"닫기");
    }

    // "닫기" on the finished page: the program ends with 0 and launches nothing.
    void CloseFinishedPage() {
        setup_->Click(IDC_CANCEL);
        DWORD exitCode = 1;
        ASSERT_TRUE(setup_->WaitForExit(kExitMs, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_FALSE(Exists(DataFolder() + L"\\started.txt")) << "the application was started";
    }

    // The failure box with that text, dismissed: the wizard is back on the location page with
    // "다시 시도". A download that broke off leaves its partial payload file for the next attempt
    // to overwrite, and a published payload stays after a later failure; one whose digest
    // differs is deleted.
    void ExpectFailure(const std::wstring& text, bool payloadKept = false) const {
        const auto box = WaitForAttempt();
        ASSERT_TRUE(box) << "no failure box";
        EXPECT_EQ(box->caption, PRODUCT_NAME);
        EXPECT_EQ(box->text, text);
        EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
        AnswerMessageBox(box->box, IDOK);
        WaitUntilClosed(box->box);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(setup_->PathEdit()) != FALSE; }, 10000));
        EXPECT_EQ(TextOf(Next()), L"다시 시도");
        EXPECT_TRUE(IsWindowEnabled(Next()));
        EXPECT_EQ(TextOf(setup_->PathEdit()), installDir_);
        EXPECT_EQ(Exists(TempFilePath(PAYLOAD_TEMP_NAME)), payloadKept);
    }

    // What a finished install of the version leaves: its app folder, the setup copy, both
    // shortcuts to the application and the uninstall entry.
    void ExpectInstalled(const std::string& version) const {
        EXPECT_EQ(Names(ListTree(AppFolder())), AppFiles(version));
        EXPECT_EQ(ReadText(InFolder(AppFolder(), VERSION_FILE_NAME)), version + "\r\n");
        EXPECT_EQ(ReadText(AppFolder() + L"\\data\\notes-" + Wide(version) + L".txt"), "Tavrin AI " + version + "\r\n");
        EXPECT_EQ(ReadText(SetupCopyIn(installDir_)), ReadText(StoryExePath()));
        ExpectShortcut(ShortcutPath(CSIDL_PROGRAMS), AppFolder(), APP_PROGRAM_NAME);
        ExpectShortcut(ShortcutPath(CSIDL_DESKTOPDIRECTORY), AppFolder(), APP_PROGRAM_NAME);
        ExpectUninstallEntry(installDir_, Wide(version));
    }

    // The five models, as the release published by that name serves them.
    void ExpectModelsOf(const wchar_t* release) const {
        for (const wchar_t* model : MODEL_NAMES) {
            EXPECT_EQ(ReadText(InFolder(ModelFolder(), model)),
                      ReadText(ReleaseFile(ReleaseFolder(release), MODEL_URL_PATH + std::wstring(model))))
                << Narrow(model);
        }
    }

    // Runs the command of the uninstall entry, answers Yes, and dismisses the final box at once.
    void UninstallWithYes() {
        std::wstring command = UninstallString();
        ASSERT_EQ(command, L"\"" + SetupCopyIn(installDir_) + L"\" /uninstall");
        std::vector<wchar_t> environment = testbed::EnvironmentBlock({{L"USERPROFILE", profile_}});
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created = {};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                   environment.data(), nullptr, &startup, &created))
            << GetLastError();
        CloseHandle(created.hThread);
        uninstaller_ = OwnedKernelHandle(created.hProcess);

        const auto question = WaitForMessageBox(nullptr, created.dwProcessId, kBoxMs);
        ASSERT_TRUE(question) << "no confirmation box";
        EXPECT_EQ(question->caption, L"Tavrin AI 제거");
        AnswerMessageBox(question->box, IDYES);
        WaitUntilClosed(question->box);
        const auto done = WaitForMessageBox(nullptr, created.dwProcessId, kBoxMs);
        ASSERT_TRUE(done) << "no final box";
        EXPECT_EQ(done->text, L"제거가 끝났습니다.");
        AnswerMessageBox(done->box, IDOK);
        ASSERT_EQ(WaitForSingleObject(uninstaller_.get(), kExitMs), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        GetExitCodeProcess(uninstaller_.get(), &exitCode);
        EXPECT_EQ(exitCode, 0u);
        // Under Wine a handle to the ended process keeps its image file open, which would stop del.
        uninstaller_.reset();
        EXPECT_TRUE(SelfRemovalCommand(created.dwProcessId).Found()) << "no self-removal command";
        EXPECT_TRUE(WaitUntil([&] { return !Exists(installDir_); }, kSelfRemovalMs))
            << "the install folder is still there";
    }

    std::wstring scratch_;
    std::wstring installDir_;
    std::wstring profile_;
    std::unique_ptr<SetupProcess> setup_;
    OwnedKernelHandle uninstaller_;
    OwnedFile held_;
    OwnedFile heldFolder_;
};

TEST_F(EndToEnd, InstallSameVersionUpdateAndUninstall) {
    // A first install of 2.4.1.
    ASSERT_NO_FATAL_FAILURE(Publish(L"v2.4.1"));
    ASSERT_NO_FATAL_FAILURE(StartInstall());
    ASSERT_NO_FATAL_FAILURE(ExpectFinishedPage());
    ASSERT_NO_FATAL_FAILURE(CloseFinishedPage());
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled("2.4.1"));
    ExpectModelsOf(L"v2.4.1");
    ASSERT_TRUE(testbed::WriteFileBytes(DataFolder() + L"\\settings.json", R"({"theme":"dark"})"));

    // The same version offered again: the question names it and defaults to No.
    const auto askSameVersion = [&] {
        StartInstall();
        if (HasFatalFailure()) return std::optional<MessageBoxInfo>();
        const auto box = WaitForAttempt();
        EXPECT_TRUE(box) << "no question";
        if (!box) return std::optional<MessageBoxInfo>();
        EXPECT_EQ(box->caption, PRODUCT_NAME);
        EXPECT_EQ(box->text, L"이미 최신 버전(v2.4.1)이 설치되어 있습니다.\n\n같은 버전을 다시 설치할까요?\n"
                             L"(아니요 = 설치하지 않고 닫기)");
        EXPECT_EQ(box->Style(), UINT{MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2});
        return box;
    };
    {
        SCOPED_TRACE("same version, No: the wizard closes and nothing changes");
        const Listing install = ListTree(installDir_);
        const Listing profile = ListTree(profile_);
        const ShellState shell = ReadShellState();
        const auto question = askSameVersion();
        ASSERT_TRUE(question);
        AnswerMessageBox(question->box, IDNO);
        WaitUntilClosed(question->box);
        DWORD exitCode = 1;
        ASSERT_TRUE(setup_->WaitForExit(kExitMs, &exitCode)) << "still open (a box?)";
        EXPECT_EQ(exitCode, 0u);
        EXPECT_EQ(ListTree(installDir_), install);
        EXPECT_EQ(ListTree(profile_), profile);
        EXPECT_EQ(ReadShellState(), shell);
    }
    {
        SCOPED_TRACE("same version, Yes: installed again over what is there");
        ASSERT_TRUE(testbed::WriteFileBytes(AppFolder() + L"\\left-behind.txt", "stale"));
        ASSERT_TRUE(DeleteFileW(ShortcutPath(CSIDL_DESKTOPDIRECTORY).c_str()));
        const Listing profile = ListTree(profile_);
        const auto question = askSameVersion();
        ASSERT_TRUE(question);
        AnswerMessageBox(question->box, IDYES);
        WaitUntilClosed(question->box);
        ASSERT_NO_FATAL_FAILURE(ExpectFinishedPage());
        ASSERT_NO_FATAL_FAILURE(CloseFinishedPage());
        ExpectInstalled("2.4.1");  // the app folder replaced, the desktop shortcut back
        EXPECT_EQ(ListTree(profile_), profile) << "models or data touched";
    }
    {
        SCOPED_TRACE("update to 2.5.0: the app folder replaced, every model as the release publishes it, the data kept");
        ASSERT_NO_FATAL_FAILURE(Publish(L"v2.5.0"));  // its models differ from 2.4.1's
        // Every model is checked on every run: one deleted is fetched again, and those whose
        // digest is not the release's are replaced.
        ASSERT_TRUE(DeleteFileW(InFolder(ModelFolder(), MODEL_NAMES[3]).c_str()));
        const Listing data = ListTree(DataFolder());
        ASSERT_NO_FATAL_FAILURE(StartInstall());
        ASSERT_NO_FATAL_FAILURE(ExpectFinishedPage());  // no question for another version
        ASSERT_NO_FATAL_FAILURE(CloseFinishedPage());
        ExpectInstalled("2.5.0");
        ExpectModelsOf(L"v2.5.0");
        EXPECT_EQ(ListTree(DataFolder()), data) << "data touched";
        EXPECT_EQ(ReadText(DataFolder() + L"\\settings.json"), R"({"theme":"dark"})");
    }
    {
        SCOPED_TRACE("uninstall by the entry's command: nothing of ours is left");
        ASSERT_NO_FATAL_FAILURE(UninstallWithYes());
        for (const std::wstring& gone : {installDir_, ShortcutPath(CSIDL_PROGRAMS),
                                         ShortcutPath(CSIDL_DESKTOPDIRECTORY), ModelFolder(), DataFolder()}) {
            EXPECT_FALSE(Exists(gone)) << testing::PrintToString(gone);
        }
        EXPECT_TRUE(ReadUninstallEntry().empty());
        EXPECT_TRUE(Exists(ModelSetsFolderIn(profile_)));
    }
}

TEST_F(EndToEnd, FaultsInTheMiddleOfRealInstallsEndInARetryThatSucceeds) {
    {
        SCOPED_TRACE("the connection breaks off in the middle of the payload: the attempt takes it up");
        ASSERT_NO_FATAL_FAILURE(Publish(L"dropped"));
        ASSERT_NO_FATAL_FAILURE(StartInstall());
        ASSERT_NO_FATAL_FAILURE(ExpectFinishedPage());
        ASSERT_NO_FATAL_FAILURE(CloseFinishedPage());
        ExpectInstalled("2.4.1");
        ExpectModelsOf(L"dropped");
    }
    const Listing installed = ListTree(installDir_);
    const ShellState shell = ReadShellState();
    {
        SCOPED_TRACE("a payload that does not match its digest is not installed");
        ASSERT_NO_FATAL_FAILURE(Publish(L"baddigest"));
        ASSERT_NO_FATAL_FAILURE(StartInstall());
        ASSERT_NO_FATAL_FAILURE(ExpectFailure(L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."));
        EXPECT_EQ(ListTree(installDir_), installed);
        EXPECT_EQ(ReadShellState(), shell);
    }
    {
        SCOPED_TRACE("an old application file held open stops the update until it is closed");
        ASSERT_NO_FATAL_FAILURE(Publish(L"v2.5.0"));
        // Open without sharing, as a running application holds its files.
        held_ = OwnedFile(CreateFileW(InFolder(AppFolder(), APP_PROGRAM_NAME).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held_) << GetLastError();
        // Windows then refuses to rename the app folder; Wine renames it all the same, and
        // refuses only while the folder itself is open without delete sharing, as Windows does too.
        heldFolder_ = OwnedFile(CreateFileW(AppFolder().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(heldFolder_) << GetLastError();
        setup_->Click(IDC_NEXT);
        ASSERT_NO_FATAL_FAILURE(
            ExpectFailure(L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.",
                          /*payloadKept=*/true));
        EXPECT_TRUE(Exists(InFolder(AppFolder(), APP_PROGRAM_NAME)));
        EXPECT_EQ(ReadShellState(), shell);
        held_.reset();
        heldFolder_.reset();
        setup_->Click(IDC_NEXT);
        ASSERT_NO_FATAL_FAILURE(ExpectFinishedPage());
        ASSERT_NO_FATAL_FAILURE(CloseFinishedPage());
        ExpectInstalled("2.5.0");
        ExpectModelsOf(L"v2.5.0");  // the release's own, which replace those of the first install
    }
}

}  // namespace

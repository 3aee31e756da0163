#include "tests/sweep/sweep.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/release_check.h"
#include "engine/shell_registration.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace sweep {
namespace {

constexpr DWORD kRunLimitMs = 60000;
// What the bed puts where a previous install's setup copy lies, so that the snapshot tells it apart.
const char kPreviousSetupCopy[] = "previous setup program";

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

void ReadFolder(const std::wstring& root, const std::wstring& relative, std::map<std::wstring, std::string>& out) {
    WIN32_FIND_DATAW entry;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[child] = "<folder>";
            ReadFolder(root, child, out);
        } else {
            testbed::ReadFileBytes(root + L"\\" + child, out[child]);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// text with the run's own scratch folder written as "<bed>", so that runs in different scratch
// folders compare.
std::wstring Normalized(std::wstring text, const std::wstring& scratch) {
    const std::wstring lower = Lower(scratch);
    for (size_t at = Lower(text).find(lower); at != std::wstring::npos; at = Lower(text).find(lower, at + 5)) {
        text.replace(at, scratch.size(), L"<bed>");
    }
    return text;
}

std::string LinkState(int csidl, const std::wstring& scratch) {
    const std::wstring path = shell_readback::ShortcutPath(csidl);
    if (path.empty() || !testbed::FileExists(path)) return "";
    const shell_readback::Shortcut link = shell_readback::ReadShortcut(path);
    return link.loaded ? Narrow(Normalized(link.target + L"|" + link.workingFolder, scratch)) : "<unreadable>";
}

const std::string& OwnBytes() {
    static const std::string bytes = shell_readback::OwnExecutableBytes();
    return bytes;
}

std::string SetupCopyState(const std::wstring& path) {
    std::string bytes;
    if (!testbed::ReadFileBytes(path, bytes)) return "";
    if (bytes == kPreviousSetupCopy) return "previous";
    if (bytes == OwnBytes()) return "this program";
    return "other (" + std::to_string(bytes.size()) + " bytes)";
}

// What the release check found: the version, the payload's URL and digest, then the models'
// digests.
std::string ReleaseState() {
    std::string state = Narrow(installState.releaseVersion) + "|" + Narrow(installState.releaseUrl) + "|" +
                        Narrow(installState.releaseSha256);
    for (const auto& digest : installState.modelSha256) state += "|" + Narrow(digest);
    return state;
}

// Other tests of the run may work in the prefix's temporary folder at the same time, and it holds
// their folders by the thousand: there only the run's own scratch folder is listed.
void ListFolder(const std::wstring& folder, const std::wstring& sharedTemp, const std::wstring& scratch,
                const std::wstring& skipped, Listing& listing) {
    if (!sharedTemp.empty() && Lower(folder) == sharedTemp) {
        listing[scratch] = std::make_pair(~0ull, 0ull);
        ListFolder(scratch, L"", L"", skipped, listing);
        return;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = folder + L"\\" + name;
        const std::wstring key = Lower(child);
        if (key == skipped) continue;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        const ULONGLONG time =
            (static_cast<ULONGLONG>(entry.ftLastWriteTime.dwHighDateTime) << 32) | entry.ftLastWriteTime.dwLowDateTime;
        listing[key] = isFolder ? std::make_pair(~0ull, 0ull) : std::make_pair(size, time);
        // A link is listed, never entered.
        if (isFolder && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            ListFolder(child, sharedTemp, scratch, skipped, listing);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

bool Within(const std::wstring& key, const std::wstring& place) {
    const std::wstring lower = Lower(place);
    return key == lower || (key.size() > lower.size() && key.compare(0, lower.size(), lower) == 0 &&
                            key[lower.size()] == L'\\');
}

}  // namespace

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

Bed::Bed(bool outsideCodePage) : outsideCodePage(outsideCodePage) {
    // The standard-input form of the extraction: a folder name outside the ANSI code page.
    if (outsideCodePage) attempt.SetInstallDir(scratch + L"\\설치");
    installDir = attempt.installDir();
    EXPECT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    tempSwap.emplace(temp + L"\\");
    wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
}

Bed::~Bed() {
    tempSwap.reset();
    RemoveTree(scratch);
}

std::wstring Bed::AppFolder() const { return AppFolderIn(installDir); }

void Bed::WriteApp(const char* version) {
    for (const ZipEntry& entry : PayloadEntries(version)) {
        const std::wstring relative = Wide(entry.name.substr(entry.name.find('/') + 1));
        if (relative.empty()) continue;
        std::wstring path = AppFolder() + L"\\" + relative;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        if (path.back() == L'\\') {
            path.pop_back();
            CreateDirectoryW(path.c_str(), nullptr);
        } else {
            EXPECT_TRUE(testbed::WriteFileBytes(path, entry.data));
        }
    }
}

void Bed::CompletePreviousInstall() {
    WriteApp(kOldVersion);
    wcscpy_s(installState.releaseVersion, L"1.0.0");
    // On this thread, whose COM the sweep starts once: the desktop box it asks is this thread's.
    RegisterShell();
    ASSERT_TRUE(testbed::WriteFileBytes(SetupCopyIn(installDir), kPreviousSetupCopy));
    for (const std::wstring& name : ModelNames()) {
        EXPECT_TRUE(testbed::WriteFileBytes(ModelFolderIn(profile) + L"\\" + name, kModelBytes));
    }
    EXPECT_TRUE(testbed::WriteFileBytes(UserDataFolderIn(profile) + L"\\settings.json", "{}"));
}

namespace {

// What the release check finds in the published manifest, read once per process: the stages
// after it start from its findings without asking the host again.
struct ReleaseFindings {
    bool read = false;
    InstallState state;
};

ReleaseFindings& Findings() {
    static ReleaseFindings findings;
    return findings;
}

}  // namespace

void Bed::CheckRelease() {
    ReleaseFindings& findings = Findings();
    if (!findings.read) {
        wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
        StageResult result = StageResult::Failed;
        ASSERT_TRUE(trace.RunOnThread([&] { result = RunReleaseCheck(errorText); }, kRunLimitMs));
        ASSERT_EQ(result, StageResult::Continue) << Narrow(errorText);
        wcscpy_s(findings.state.releaseVersion, installState.releaseVersion);
        wcscpy_s(findings.state.releaseUrl, installState.releaseUrl);
        wcscpy_s(findings.state.releaseSha256, installState.releaseSha256);
        for (int i = 0; i < MODEL_COUNT; ++i) wcscpy_s(findings.state.modelSha256[i], installState.modelSha256[i]);
        findings.read = true;
        return;
    }
    wcscpy_s(installState.releaseVersion, findings.state.releaseVersion);
    wcscpy_s(installState.releaseUrl, findings.state.releaseUrl);
    wcscpy_s(installState.releaseSha256, findings.state.releaseSha256);
    for (int i = 0; i < MODEL_COUNT; ++i) wcscpy_s(installState.modelSha256[i], findings.state.modelSha256[i]);
}

void Bed::PlaceVerifiedPayload() { ASSERT_TRUE(testbed::WriteFileBytes(payloadPath, PayloadBytes())); }

void Bed::ReplaceApp() {
    RemoveTree(AppFolder());
    WriteApp(kNewVersion);
}

Snapshot Bed::Take() const {
    Snapshot snapshot;
    ReadFolder(AppFolder(), L"", snapshot.appFolder);
    snapshot.startMenuLink = LinkState(CSIDL_PROGRAMS, scratch);
    snapshot.desktopLink = LinkState(CSIDL_DESKTOPDIRECTORY, scratch);
    for (const auto& [name, value] : shell_readback::ReadUninstallEntry()) {
        snapshot.entry[name] = value.type == REG_DWORD ? std::to_wstring(value.Dword()) : Normalized(value.Text(), scratch);
    }
    snapshot.setupCopy = SetupCopyState(SetupCopyIn(installDir));
    ReadFolder(ModelFolderIn(profile), L"", snapshot.models);
    snapshot.release = ReleaseState();
    std::string payload;
    if (testbed::ReadFileBytes(payloadPath, payload)) {
        snapshot.payload = payload == PayloadBytes() ? "published" : "other (" + std::to_string(payload.size()) + " bytes)";
    }
    return snapshot;
}

Listing Bed::ListPrefix() const {
    Listing listing;
    const std::wstring sharedTemp = Lower(scratch.substr(0, scratch.rfind(L'\\')));
    ListFolder(L"C:", sharedTemp, Lower(scratch), Lower(WindowsFolder()), listing);
    return listing;
}

std::wstring WindowsFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return folder;
}

static Listing ListWindowsFolder() {
    Listing listing;
    ListFolder(WindowsFolder(), L"", L"", L"", listing);
    return listing;
}

SystemFolderWatch::SystemFolderWatch() : before_(ListWindowsFolder()) {}

SystemFolderWatch::~SystemFolderWatch() {
    const Listing after = ListWindowsFolder();
    for (const auto& [path, state] : after) {
        const auto was = before_.find(path);
        if (was == before_.end() || was->second != state) ADD_FAILURE() << "written in the system folder: " << Narrow(path);
    }
    for (const auto& [path, state] : before_) {
        if (!after.count(path)) ADD_FAILURE() << "removed from the system folder: " << Narrow(path);
    }
}

bool Bed::MayWrite(const std::wstring& key) const {
    for (const std::wstring& place : {installDir, ModelFolderIn(profile), UserDataFolderIn(profile)}) {
        if (Within(key, place)) return true;
    }
    for (const std::wstring& folder : {ModelSetsFolderIn(profile), profile + L"\\" + MODEL_ROOT_FOLDER_NAME}) {
        if (key == Lower(folder)) return true;
    }
    for (const wchar_t* name : {MANIFEST_TEMP_NAME, SIGNATURE_TEMP_NAME, PAYLOAD_TEMP_NAME, LOG_FILE_NAME,
                                OLD_LOG_FILE_NAME}) {
        if (key == Lower(temp + L"\\" + name)) return true;
    }
    // The payload's resume record, kept beside a payload that broke off.
    if (key == Lower(temp + L"\\" + PAYLOAD_TEMP_NAME + RESUME_RECORD_SUFFIX)) return true;
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        if (key == Lower(shell_readback::ShortcutPath(csidl))) return true;
    }
    return false;
}

}  // namespace sweep

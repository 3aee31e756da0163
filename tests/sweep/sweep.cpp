#include "tests/sweep/sweep.h"

#include "engine/extract.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/owned.h"
#include "engine/payload.h"
#include "engine/release_check.h"
#include "engine/shell_registration.h"
#include "tests/support/attempt.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"
#include "tests/support/zip_writer.h"
#include "uninstall/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace sweep {
namespace {

constexpr DWORD kRunLimitMs = 60000;
// Every model is published as "abc", whose SHA-256 is the published test vector below.
const char kModelBytes[] = "abc";
const char kModelDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// What the bed puts where a previous install's setup copy lies, so that the snapshot tells it apart.
const char kPreviousSetupCopy[] = "previous setup program";
// More than three of the download's 256 KiB reads.
constexpr size_t kBigFileBytes = 600 * 1024;

const std::wstring kInUseBoxStart = L"일부 파일을 지우지 못했습니다.";

std::vector<std::wstring> DownloadTexts(std::initializer_list<std::wstring> more) {
    std::vector<std::wstring> texts = {L"주소 해석 실패",
                                       L"네트워크 초기화 실패",
                                       L"서버에 연결할 수 없습니다 (인터넷 연결 확인)",
                                       L"임시 파일을 만들 수 없습니다",
                                       L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)",
                                       L"다운로드가 중간에 끊겼습니다"};
    texts.insert(texts.end(), more);
    return texts;
}

const std::vector<std::wstring> kExtractionTexts = {
    L"설치 폴더를 만들 수 없습니다.",
    L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다.",
    L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.",
    L"압축 해제에 실패했습니다 (디스크 공간 확인)."};

// ---- The published release -----------------------------------------------------------------

std::string& Payload() {
    static std::string bytes;
    return bytes;
}

std::vector<ZipEntry> PayloadEntries(const std::string& version) {
    std::mt19937 random(20261211);
    std::string big(kBigFileBytes, '\0');
    for (char& c : big) c = static_cast<char>(random());
    // version.txt last, as the release tool writes it: tar extracts in order.
    return {
        {AppEntryName(L""), ""},
        {AppEntryName(APP_PROGRAM_NAME), "MZ placeholder application " + version},
        {AppEntryName(APP_SCRIPT_NAME), "@echo off\r\n"},
        {AppEntryName(APP_ICON_NAME), std::string("\0\0\1\0", 4)},
        {AppEntryName(L"lib/"), ""},
        {AppEntryName(L"lib/big.bin"), big},
        {AppEntryName(VERSION_FILE_NAME), version + "\r\n"},
    };
}

ReleaseSite*& Site() {
    static ReleaseSite* site = nullptr;
    return site;
}

// ---- Helpers on the bed ----------------------------------------------------------------------

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

std::wstring FromUtf8(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
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

// Other tests of the run may work in the prefix's temporary folder at the same time: there only
// the run's own scratch folder is listed.
void ListFolder(const std::wstring& folder, const std::wstring& sharedTemp, const std::wstring& scratch,
                Listing& listing) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    const bool inSharedTemp = Lower(folder) == sharedTemp;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = folder + L"\\" + name;
        const std::wstring key = Lower(child);
        if (inSharedTemp && key != scratch) continue;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        const ULONGLONG time =
            (static_cast<ULONGLONG>(entry.ftLastWriteTime.dwHighDateTime) << 32) | entry.ftLastWriteTime.dwLowDateTime;
        listing[key] = isFolder ? std::make_pair(~0ull, 0ull) : std::make_pair(size, time);
        // A link is listed, never entered.
        if (isFolder && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            ListFolder(child, sharedTemp, scratch, listing);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

bool Within(const std::wstring& key, const std::wstring& place) {
    const std::wstring lower = Lower(place);
    return key == lower || (key.size() > lower.size() && key.compare(0, lower.size(), lower) == 0 &&
                            key[lower.size()] == L'\\');
}

DWORD HandleCount(std::vector<std::string>& faults) {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) faults.push_back("the handle count cannot be read");
    return count;
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

const std::string& PayloadBytes() { return Payload(); }

std::string Describe(const Fault& fault) {
    std::string text = fault.call.function + "#" + std::to_string(fault.call.occurrence);
    if (fault.times > 1 || fault.error != 0) {
        text += " x" + std::to_string(fault.times) + " " + std::to_string(fault.error);
    }
    return text;
}

PublishedRelease::PublishedRelease() {
    Site() = new ReleaseSite(L"sweep");
    Payload() = MakeZip(PayloadEntries(kNewVersion));
    EXPECT_TRUE(Site()->Put(PAYLOAD_FILE, Payload()));
    std::string manifest = "{\"version\": \"" + std::string(kNewVersion) + "\", \"url\": \"" + Site()->PayloadUrl() +
                           "\", \"sha256\": \"" + Sha256Hex(Payload()) + "\"";
    for (const std::wstring& name : ModelNames()) {
        EXPECT_TRUE(Site()->Put(MODEL_URL_PATH + name, kModelBytes));
        manifest += ", \"digest:" + Narrow(name) + "\": \"" + kModelDigest + "\"";
    }
    EXPECT_TRUE(Site()->PutManifest(manifest + "}"));
}

PublishedRelease::~PublishedRelease() {
    delete Site();
    Site() = nullptr;
}

// ---- The bed of one run ----------------------------------------------------------------------

Bed::Bed(bool outsideCodePage) {
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

void Bed::CompletePreviousInstall() {
    for (const ZipEntry& entry : PayloadEntries(kOldVersion)) {
        const std::wstring relative = FromUtf8(entry.name.substr(entry.name.find('/') + 1));
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
    wcscpy_s(installState.releaseVersion, L"1.0.0");
    ASSERT_TRUE(trace.RunOnThread(shell_readback::WithCom([] { RegisterShell(); }), kRunLimitMs));
    ASSERT_TRUE(testbed::WriteFileBytes(SetupCopyIn(installDir), kPreviousSetupCopy));
    for (const std::wstring& name : ModelNames()) {
        EXPECT_TRUE(testbed::WriteFileBytes(ModelFolderIn(profile) + L"\\" + name, kModelBytes));
    }
    EXPECT_TRUE(testbed::WriteFileBytes(UserDataFolderIn(profile) + L"\\settings.json", "{}"));
}

void Bed::Run(StageResult (*stage)(const wchar_t*, wchar_t*)) {
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
    StageResult result = StageResult::Failed;
    ASSERT_TRUE(trace.RunOnThread([&] { result = stage(payloadPath.c_str(), errorText); }, kRunLimitMs));
    ASSERT_EQ(result, StageResult::Continue) << Narrow(errorText);
}

void Bed::CheckRelease() {
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
    StageResult result = StageResult::Failed;
    ASSERT_TRUE(trace.RunOnThread([&] { result = RunReleaseCheck(errorText); }, kRunLimitMs));
    ASSERT_EQ(result, StageResult::Continue) << Narrow(errorText);
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
    ListFolder(L"C:", sharedTemp, Lower(scratch), listing);
    return listing;
}

bool Bed::MayWrite(const std::wstring& key) const {
    for (const std::wstring& place : {installDir, ModelFolderIn(profile), UserDataFolderIn(profile)}) {
        if (Within(key, place)) return true;
    }
    for (const std::wstring& folder : {ModelSetsFolderIn(profile), profile + L"\\" + MODEL_ROOT_FOLDER_NAME}) {
        if (key == Lower(folder)) return true;
    }
    for (const wchar_t* name : {MANIFEST_TEMP_NAME, SIGNATURE_TEMP_NAME, PAYLOAD_TEMP_NAME, L"TavrinSetup.log",
                                L"TavrinSetup.old.log"}) {
        if (key == Lower(temp + L"\\" + name)) return true;
    }
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        if (key == Lower(shell_readback::ShortcutPath(csidl))) return true;
    }
    return false;
}

// ---- The stages ------------------------------------------------------------------------------

namespace {

// The release check's findings about the payload (the models' digests follow them).
std::string PayloadFindings(const Snapshot& snapshot) {
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) end = snapshot.release.find('|', end + 1);
    return snapshot.release.substr(0, end);
}

bool SameAppFolder(const Snapshot& end, const Snapshot& clean) { return end.appFolder == clean.appFolder; }

}  // namespace

std::vector<Stage> AllStages() {
    const auto payloadTexts = DownloadTexts({L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."});
    const auto extract = [](Bed& bed, Interposer&, wchar_t* errorText) {
        return PrepareAndExtract(bed.payloadPath.c_str(), errorText);
    };
    const auto prepareExtraction = [](Bed& bed) {
        bed.CompletePreviousInstall();
        bed.CheckRelease();
        bed.Run(&DownloadPayload);
        bed.Run(&VerifyPayload);
    };
    return {
        {"release", [](Bed& bed) { bed.CompletePreviousInstall(); },
         [](Bed&, Interposer&, wchar_t* errorText) { return RunReleaseCheck(errorText); },
         DownloadTexts({L"버전 파일을 열 수 없습니다", L"버전 파일 형식 오류"}), true,
         [](const Snapshot& end, const Snapshot& clean) { return PayloadFindings(end) == PayloadFindings(clean); }},
        {"payload",
         [](Bed& bed) {
             bed.CompletePreviousInstall();
             bed.CheckRelease();
         },
         [](Bed& bed, Interposer&, wchar_t* errorText) {
             const StageResult result = DownloadPayload(bed.payloadPath.c_str(), errorText);
             return result == StageResult::Continue ? VerifyPayload(bed.payloadPath.c_str(), errorText) : result;
         },
         payloadTexts, true, [](const Snapshot& end, const Snapshot& clean) { return end.payload == clean.payload; }},
        {"extraction", prepareExtraction, extract, kExtractionTexts, true, SameAppFolder},
        {"extraction-stdin", prepareExtraction, extract, kExtractionTexts, true, SameAppFolder},
        {"shell",
         [](Bed& bed) {
             bed.CompletePreviousInstall();
             bed.CheckRelease();
             bed.Run(&DownloadPayload);
             bed.Run(&VerifyPayload);
             bed.Run(&PrepareAndExtract);
         },
         [](Bed&, Interposer&, wchar_t*) {
             RegisterShell();
             return StageResult::Continue;
         },
         {}, false, nullptr},
        {"models", [](Bed& bed) { bed.CheckRelease(); },
         [](Bed&, Interposer&, wchar_t*) {
             ProvisionModels();
             return StageResult::Continue;
         },
         {}, false, nullptr},
        {"completion", [](Bed&) {},
         [](Bed&, Interposer&, wchar_t*) {
             ReportCompletion();
             return StageResult::Continue;
         },
         {}, false, nullptr},
        {"uninstall", [](Bed& bed) { bed.CompletePreviousInstall(); },
         [](Bed& bed, Interposer& interposer, wchar_t*) {
             (void)bed;
             (void)interposer;
             RunUninstall();
             return StageResult::Continue;
         },
         {}, false, nullptr},
    };
}

// TAVRIN_SWEEP_STAGE names one stage to sweep alone (while working on it).
std::vector<Stage> Stages() {
    std::vector<Stage> stages = AllStages();
    const std::string only = testbed::Env("TAVRIN_SWEEP_STAGE");
    if (!only.empty()) {
        stages.erase(std::remove_if(stages.begin(), stages.end(), [&](const Stage& s) { return only != s.name; }),
                     stages.end());
    }
    return stages;
}

const Stage& StageNamed(const std::string& name) {
    static const std::vector<Stage> stages = Stages();
    for (const Stage& stage : stages) {
        if (name == stage.name) return stage;
    }
    ADD_FAILURE() << "no stage " << name;
    return stages.front();
}

// ---- One run -------------------------------------------------------------------------------

namespace {

std::string Ending(StageResult result, const wchar_t* errorText) {
    switch (result) {
    case StageResult::Continue:
        return "continue";
    case StageResult::Skipped:
        return "skipped";
    case StageResult::Failed:
        return "failed: " + Narrow(errorText);
    case StageResult::FailedDeletePayload:
        return "failed, payload deleted: " + Narrow(errorText);
    }
    return "?";
}

// The parts of the state in which a and b differ.
std::vector<std::string> Differing(const Snapshot& a, const Snapshot& b) {
    std::vector<std::string> parts;
    if (a.appFolder != b.appFolder) parts.push_back("app-folder");
    if (a.startMenuLink != b.startMenuLink) parts.push_back("start-menu-link");
    if (a.desktopLink != b.desktopLink) parts.push_back("desktop-link");
    if (a.entry != b.entry) parts.push_back("entry");
    if (a.setupCopy != b.setupCopy) parts.push_back("setup-copy");
    if (a.models != b.models) parts.push_back("models");
    if (a.release != b.release) parts.push_back("release");
    if (a.payload != b.payload) parts.push_back("payload");
    return parts;
}

// What was there before and is now neither as it was nor as the fault-free run leaves it.
std::vector<std::string> Lost(const Snapshot& before, const Snapshot& after, const Snapshot& clean) {
    std::vector<std::string> lost;
    if (!before.appFolder.empty() && after.appFolder != before.appFolder && after.appFolder != clean.appFolder) {
        lost.push_back("app-folder");
    }
    if (!before.startMenuLink.empty() && after.startMenuLink.empty() && !clean.startMenuLink.empty()) {
        lost.push_back("start-menu-link");
    }
    if (!before.desktopLink.empty() && after.desktopLink.empty() && !clean.desktopLink.empty()) {
        lost.push_back("desktop-link");
    }
    if (!before.entry.empty() && after.entry.empty() && !clean.entry.empty()) lost.push_back("entry");
    if (!before.setupCopy.empty() && after.setupCopy != before.setupCopy && after.setupCopy != clean.setupCopy) {
        lost.push_back("setup-copy");
    }
    for (const auto& [name, bytes] : before.models) {
        const auto now = after.models.find(name);
        const auto cleanNow = clean.models.find(name);
        const bool kept = now != after.models.end() && now->second == bytes;
        const bool asClean = cleanNow == clean.models.end() ? now == after.models.end()
                                                            : now != after.models.end() && now->second == cleanNow->second;
        if (!kept && !asClean) {
            lost.push_back("models");
            break;
        }
    }
    return lost;
}

std::string Verdict(const Snapshot& before, const RunResult& run, const Baseline* baseline) {
    if (!baseline) return "complete";
    const std::vector<std::string> lost = Lost(before, run.end, baseline->end);
    if (!lost.empty()) return "lost: " + Join(lost);
    std::vector<std::string> missing = Differing(run.end, baseline->end);
    if (missing.empty() && run.ending == baseline->ending) return "complete";
    return missing.empty() ? "degraded" : "degraded: " + Join(missing);
}

void CheckWrittenPlaces(const Bed& bed, const Listing& before, const Listing& after, std::vector<std::string>& faults) {
    std::set<std::wstring> changed;
    for (const auto& [path, state] : after) {
        const auto was = before.find(path);
        if (was == before.end() || was->second != state) changed.insert(path);
    }
    for (const auto& [path, state] : before) {
        if (!after.count(path)) changed.insert(path);
    }
    for (const std::wstring& path : changed) {
        if (!bed.MayWrite(path)) faults.push_back("written outside its places: " + Narrow(path));
    }
}

// The registrations that name a file that is not there: the uninstall entry's command and the
// shortcuts' targets.
std::vector<std::string> Dangling(const Bed& bed) {
    std::vector<std::string> dangling;
    const auto entry = shell_readback::ReadUninstallEntry();
    if (!entry.empty()) {
        const auto command = entry.find(UNINSTALL_STRING);
        if (command == entry.end() || command->second.Text().find(SetupCopyIn(bed.installDir)) == std::wstring::npos ||
            !testbed::FileExists(SetupCopyIn(bed.installDir))) {
            dangling.push_back("entry");
        }
    }
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        const std::wstring path = shell_readback::ShortcutPath(csidl);
        if (!testbed::FileExists(path)) continue;
        const shell_readback::Shortcut link = shell_readback::ReadShortcut(path);
        if (!link.loaded || link.target.empty() || !testbed::FileExists(link.target)) {
            dangling.push_back(std::string(csidl == CSIDL_PROGRAMS ? "start-menu-link" : "desktop-link") + " to " +
                               Narrow(link.target));
        }
    }
    return dangling;
}

// A model under its final name is the published one; its partial file never outlives the stage.
void CheckModels(const Snapshot& end, std::vector<std::string>& faults) {
    for (const auto& [name, bytes] : end.models) {
        const bool partial = name.size() > 5 && name.substr(name.size() - 5) == L".part";
        if (partial) faults.push_back("a partial model left: " + Narrow(name));
        if (!partial && bytes != kModelBytes) faults.push_back("a model not as published: " + Narrow(name));
    }
}

void CheckEnding(const Stage& stage, const std::string& ending, std::vector<std::string>& faults) {
    if (ending.rfind("failed", 0) != 0) return;
    const std::string text = ending.substr(ending.find(": ") + 2);
    for (const std::wstring& allowed : stage.texts) {
        if (Narrow(allowed) == text) return;
    }
    faults.push_back("an ending the stage does not have: " + ending);
}

void CheckBalance(const interposer::Balance& open, std::vector<std::string>& faults) {
    if (open.heapBlocks) faults.push_back("heap blocks not freed: " + std::to_string(open.heapBlocks));
    if (open.internetHandles) faults.push_back("WinHTTP handles not closed: " + std::to_string(open.internetHandles));
    if (open.bcryptHandles) faults.push_back("BCrypt handles not closed: " + std::to_string(open.bcryptHandles));
    if (open.comObjects) faults.push_back("shell links not released: " + std::to_string(open.comObjects));
}

// WinHTTP may close a connection's handles on a thread of its own a moment after the call that
// closed it returns: a leak is a count that does not come back.
void CheckHandles(DWORD before, std::vector<std::string>& faults) {
    DWORD after = HandleCount(faults);
    for (ULONGLONG start = GetTickCount64(); after > before && GetTickCount64() - start < 5000;) {
        Sleep(10);
        after = HandleCount(faults);
    }
    if (after > before) faults.push_back("handles leaked: " + std::to_string(after - before));
}

// What the armed run reports about itself.
struct Armed {
    StageResult result = StageResult::Continue;
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
    std::vector<Call> calls;
    std::vector<std::string> unreached;
    std::vector<std::wstring> boxes;
    unsigned processesStarted = 0;
};

// The uninstall's ending: its boxes' first lines, and whether the self-removal really started.
std::string UninstallEnding(const Armed& armed) {
    std::string words = "boxes:";
    for (const std::wstring& text : armed.boxes) words += " [" + Narrow(text.substr(0, text.find(L'\n'))) + "]";
    if (armed.processesStarted > 0) words += "; self-removal started";
    return words;
}

}  // namespace

RunResult RunStage(const Stage& stage, const std::vector<Fault>& faults, const Baseline* baseline) {
    RunResult run;
    const ULONGLONG t0 = GetTickCount64();
    Bed bed(stage.name == std::string("extraction-stdin"));
    stage.prepare(bed);
    const ULONGLONG t1 = GetTickCount64();
    if (::testing::Test::HasFatalFailure()) return {"<preparation failed>", "", {"preparation failed"}, {}, {}};
    const Snapshot before = bed.Take();
    const ULONGLONG t2 = GetTickCount64();
    const Listing listed = bed.ListPrefix();
    const ULONGLONG t3 = GetTickCount64();
    const bool uninstall = stage.name == std::string("uninstall");

    const DWORD handlesBefore = HandleCount(run.faults);
    Armed armed;
    // Constructed on the worker's thread, read after this thread has handled every message the
    // run posted (the status texts it allocated are freed there).
    std::optional<Interposer> interposer;
    const size_t eventsBefore = bed.trace.events().size();
    // Everything the test itself needs on the armed thread is made before arming: what the
    // armed thread allocates is the code under test's alone.
    const std::wstring setupCopy = SetupCopyIn(bed.installDir);
    const bool inTime = bed.trace.RunOnThread(
        [&] {
            ComApartment apartment;
            interposer.emplace();
            if (uninstall) {
                interposer->AnswerBoxes();
                interposer->SetOwnModulePath(setupCopy);
            }
            for (const Fault& fault : faults) {
                interposer->FailCall(fault.call.function.c_str(), fault.call.occurrence, fault.error, fault.times);
            }
            armed.result = stage.act(bed, *interposer, armed.errorText);
            interposer->Disarm();
        },
        kRunLimitMs);
    armed.calls = interposer->Sequence();
    armed.unreached = interposer->Unreached();
    armed.boxes = interposer->BoxTexts();
    // The self-removal is made suspended and started by its thread's resumption.
    const unsigned failedStarts = static_cast<unsigned>(std::count_if(faults.begin(), faults.end(), [](const Fault& f) {
        return f.call.function == "ResumeThread";
    }));
    const unsigned starts = interposer->Calls("ResumeThread");
    armed.processesStarted = starts > failedStarts ? starts - failedStarts : 0;
    const interposer::Balance open = interposer->Open();
    interposer.reset();
    const ULONGLONG t4 = GetTickCount64();
    if (!inTime) {
        run.faults.push_back("did not end in time");
        run.ending = "<hang>";
        return run;
    }

    run.calls = armed.calls;
    run.ending = uninstall ? UninstallEnding(armed) : Ending(armed.result, armed.errorText);
    if (stage.name == std::string("completion")) {
        const auto& events = bed.trace.events();
        const auto done = std::count_if(events.begin() + static_cast<std::ptrdiff_t>(eventsBefore), events.end(),
                                        [](const TraceEvent& e) { return e.kind == TraceEvent::Done; });
        run.ending = "done posted " + std::to_string(done) + " time(s)";
        if (done != 1) run.faults.push_back("WM_SETUP_DONE posted " + std::to_string(done) + " times");
    }
    run.end = bed.Take();
    run.verdict = Verdict(before, run, baseline);

    for (const Fault& fault : faults) {
        const std::string first = fault.call.function + " #" + std::to_string(fault.call.occurrence);
        if (std::find(armed.unreached.begin(), armed.unreached.end(), first) != armed.unreached.end()) {
            run.faults.push_back("the failure asked for was never reached: " + first);
        }
    }
    CheckEnding(stage, run.ending, run.faults);
    if (stage.continueIsComplete && run.ending == "continue" && baseline && !stage.finished(run.end, baseline->end)) {
        run.faults.push_back("a \"continue\" over an unfinished stage: " + run.verdict);
    }
    if (armed.result == StageResult::FailedDeletePayload) {
        std::string bytes;
        if (testbed::ReadFileBytes(bed.payloadPath, bytes) && bytes == PayloadBytes()) {
            run.faults.push_back("the published payload would be deleted");
        }
    }
    if (uninstall && !before.entry.empty() && run.end.entry.empty() && armed.processesStarted == 0 &&
        (armed.boxes.empty() || armed.boxes.back().rfind(kInUseBoxStart, 0) != 0)) {
        run.faults.push_back("the entry is gone, the setup copy's removal never started, and no box said so");
    }
    const ULONGLONG t5 = GetTickCount64();
    CheckBalance(open, run.faults);
    CheckHandles(handlesBefore, run.faults);
    const ULONGLONG t6 = GetTickCount64();
    CheckWrittenPlaces(bed, listed, bed.ListPrefix(), run.faults);
    const ULONGLONG t7 = GetTickCount64();
    // A registration left pointing at what a lost install took with it is part of that loss;
    // anywhere else it is a fault of its own.
    for (const std::string& dangling : Dangling(bed)) {
        if (run.verdict.rfind("lost", 0) == 0) {
            run.verdict += "; dangling " + dangling.substr(0, dangling.find(' '));
        } else {
            run.faults.push_back("a registration names a missing file: " + dangling);
        }
    }
    CheckModels(run.end, run.faults);
    if (!testbed::Env("TAVRIN_SWEEP_TIMING").empty()) {
        for (const Call& call : run.calls) std::printf("%s#%u ", call.function.c_str(), call.occurrence);
        std::printf("timing prepare %llu take %llu list %llu act %llu take %llu handles %llu list %llu targets %llu\n",
                    t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4, t6 - t5, t7 - t6, GetTickCount64() - t7);
    }
    return run;
}

std::vector<Call> CallsToFail(const std::vector<Call>& recorded) { return recorded; }

// ---- Sampling --------------------------------------------------------------------------------

bool FullSweep() { return !testbed::Env("TAVRIN_SWEEP_FULL").empty(); }

std::vector<Call> Sample(const std::vector<Call>& calls, size_t size) {
    if (FullSweep() || calls.size() <= size + 2) return calls;
    std::vector<size_t> middle(calls.size() - 2);
    for (size_t i = 0; i < middle.size(); ++i) middle[i] = i + 1;
    std::mt19937 random(2026);
    std::shuffle(middle.begin(), middle.end(), random);
    middle.resize(size);
    middle.push_back(0);
    middle.push_back(calls.size() - 1);
    std::sort(middle.begin(), middle.end());
    std::vector<Call> chosen;
    for (size_t index : middle) chosen.push_back(calls[index]);
    return chosen;
}

// ---- The table -------------------------------------------------------------------------------

namespace {

std::wstring TablePath(const std::string& file) {
    return testbed::FromUnixPath(testbed::Env("TAVRIN_SOURCE_DIR")) + L"\\tests\\sweep\\" +
           std::wstring(file.begin(), file.end());
}

constexpr char kUnconfirmed[] = "unconfirmed ";

}  // namespace

Table::Table(std::string file) : file_(std::move(file)) {}

void Table::Add(const std::string& stage, const std::string& faults, const RunResult& run) {
    rows_.push_back({stage + "\t" + faults, Row{run.ending, run.verdict}});
}

void Table::Finish() const {
    // The verdicts per stage, for the record.
    std::map<std::string, std::map<std::string, int>> counts;
    for (const auto& [key, row] : rows_) {
        const std::string verdict = row.verdict.substr(0, row.verdict.find(':'));
        ++counts[key.substr(0, key.find('\t'))][verdict];
    }
    for (const auto& [stage, verdicts] : counts) {
        std::printf("%s %s:", file_.c_str(), stage.c_str());
        for (const auto& [verdict, count] : verdicts) std::printf(" %s %d", verdict.c_str(), count);
        std::printf("\n");
    }

    std::map<std::string, Row> expected;
    std::string text;
    const bool haveTable = testbed::ReadFileBytes(TablePath(file_), text);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
        if (cells.size() == 4) expected[cells[0] + "\t" + cells[1]] = Row{cells[2], cells[3]};
    }

    const bool write = !testbed::Env("TAVRIN_SWEEP_WRITE").empty();
    std::ostringstream out;
    out << "# stage\tfaults\tending\tverdict  (a \"lost\" verdict is written by hand; see sweep.h)\n";
    std::set<std::string> seen;
    for (const auto& [key, row] : rows_) {
        seen.insert(key);
        const auto want = expected.find(key);
        Row written = row;
        const bool lost = row.verdict.rfind("lost", 0) == 0;
        if (lost && (want == expected.end() || want->second.verdict != row.verdict)) {
            written.verdict = kUnconfirmed + row.verdict;
        }
        out << key << "\t" << written.ending << "\t" << written.verdict << "\n";
        if (want == expected.end()) {
            if (write) std::printf("new row: %s -> %s | %s\n", key.c_str(), row.ending.c_str(), row.verdict.c_str());
            else ADD_FAILURE() << file_ << ": a row the table does not have: " << key << " -> " << row.ending << " | " << row.verdict;
        } else if (want->second.ending != row.ending || want->second.verdict != row.verdict) {
            if (write) {
                std::printf("changed: %s: %s | %s -> %s | %s\n", key.c_str(), want->second.ending.c_str(),
                            want->second.verdict.c_str(), row.ending.c_str(), row.verdict.c_str());
            } else {
                ADD_FAILURE() << file_ << ": " << key << "\n  table: " << want->second.ending << " | "
                              << want->second.verdict << "\n  run:   " << row.ending << " | " << row.verdict;
            }
        }
        if (lost && write && written.verdict != row.verdict) {
            ADD_FAILURE() << file_ << ": a loss to confirm by hand: " << key << " -> " << row.verdict;
        }
    }
    for (const auto& [key, row] : expected) {
        if (seen.count(key)) continue;
        if (write) std::printf("gone: %s\n", key.c_str());
        else ADD_FAILURE() << file_ << ": a row no run reached: " << key;
    }
    if (write) {
        EXPECT_TRUE(testbed::WriteFileBytes(TablePath(file_), out.str()));
    } else {
        EXPECT_TRUE(haveTable) << "no table " << file_ << ": write it with TAVRIN_SWEEP_WRITE=1";
    }
}

}  // namespace sweep

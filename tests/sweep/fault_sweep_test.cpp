// Every fallible system call of an install and of the uninstall fails once. Each stage runs once
// with the interposer recording its calls; then once more for each recorded call (see
// kOccurrences for the bound), with that call failing as its documentation says.
// Every run must end in time, in one of the endings its stage may have, without writing outside
// the install folder, the profile's model and data folders and the temporary folder's two worker
// files, without losing the previous install before its deletion begins, without a shortcut or
// an uninstall entry that points at a missing program, without a half-written model under its
// final name, and without leaking a handle.
//
// How each run ended is compared with the checked-in table expected_outcomes.tsv, so a change of
// behaviour shows in review. To write the table anew after a deliberate change:
//   TAVRIN_SWEEP_WRITE=1 ctest --test-dir build/mingw -R fault_sweep_test
#include "engine/extract.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/owned.h"
#include "engine/payload.h"
#include "engine/release_check.h"
#include "engine/shell_registration.h"
#include "engine/stage.h"
#include "tests/support/attempt.h"
#include "tests/support/installed_paths.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"
#include "tests/support/zip_writer.h"
#include "uninstall/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using interposer::Call;
using interposer::Interposer;

// Every recorded call is swept: the bed's payload and models are small enough to arrive in one
// read each, so each stage makes a few dozen calls (the whole sweep is some 370 runs). The bound
// only stops a stage that some change makes loop from turning the sweep into hours.
constexpr unsigned kOccurrences = 50;
constexpr DWORD kRunLimitMs = 60000;

const char kOldVersion[] = "1.0.0";
const char kNewVersion[] = "2.0.0";
// Every model is published as "abc", whose SHA-256 is the published test vector below.
const char kModelBytes[] = "abc";
const char kModelDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kPreviousProgram[] = "previous program";

// The texts each stage may end with (the README's lists); a stage that goes on ends "continue".
const std::set<std::wstring> kDownloadTexts = {
    L"주소 해석 실패", L"네트워크 초기화 실패", L"서버에 연결할 수 없습니다 (인터넷 연결 확인)",
    L"임시 파일을 만들 수 없습니다", L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)",
    L"다운로드가 중간에 끊겼습니다"};

std::set<std::wstring> DownloadTextsAnd(std::initializer_list<std::wstring> more) {
    std::set<std::wstring> texts = kDownloadTexts;
    texts.insert(more);
    return texts;
}

const std::map<std::string, std::set<std::wstring>> kStageTexts = {
    {"release", DownloadTextsAnd({L"버전 파일을 열 수 없습니다", L"버전 파일 형식 오류"})},
    {"payload", DownloadTextsAnd({L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."})},
    {"extraction",
     {L"설치 폴더를 만들 수 없습니다.",
      L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다.",
      L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.",
      L"압축 해제에 실패했습니다 (디스크 공간 확인)."}},
};

// One sweep case's world: an attempt's scratch folder (install folder, profile) with a temporary
// folder of its own beside them, each pointed at for the case's life.
struct CaseBed {
    AttemptScope attempt{L"sweep"};
    const std::wstring& scratch = attempt.scratch();
    const std::wstring& installDir = attempt.installDir();
    const std::wstring& profile = attempt.profile();
    std::wstring temp = scratch + L"\\tmp";
    std::wstring payloadPath = temp + L"\\" + PAYLOAD_TEMP_NAME;
    std::optional<TemporaryFolderSwap> tempSwap;

    CaseBed() {
        EXPECT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        tempSwap.emplace(temp + L"\\");
        wcsncpy_s(installState.installDir, installDir.c_str(), _TRUNCATE);
    }

    std::wstring AppFolder() const { return AppFolderIn(installDir); }

    // The install that the attempt replaces.
    void WritePreviousInstall() const {
        EXPECT_TRUE(testbed::WriteFileBytes(AppFolder() + L"\\" + VERSION_FILE_NAME,
                                            std::string(kOldVersion) + "\r\n"));
        EXPECT_TRUE(testbed::WriteFileBytes(AppFolder() + L"\\" + APP_PROGRAM_NAME, kPreviousProgram));
    }
    bool PreviousInstallIntact() const {
        std::string bytes;
        return testbed::ReadFileBytes(AppFolder() + L"\\" + APP_PROGRAM_NAME, bytes) && bytes == kPreviousProgram;
    }
};

// What one run of a stage left, as one line of the table, and what broke the rules.
struct RunResult {
    std::string outcome;
    std::vector<std::string> faults;
};

// How the code under test ended, kept without allocating: the armed thread's allocations are
// the code under test's alone.
struct Ended {
    StageResult result = StageResult::Continue;
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
};

struct Stage {
    const char* name;
    // Unarmed: brings the bed to where the stage begins.
    std::function<void(CaseBed&)> prepare;
    // Armed: the stage itself, nothing else.
    std::function<void(CaseBed&, Interposer&, Ended&)> act;
    // Unarmed: how it ended, in words.
    std::function<std::string(CaseBed&, Interposer&, const Ended&)> describe;
    // The stage never deletes the previous install, so it must survive any failure.
    bool keepsPreviousInstall;
};

std::string Ending(const Ended& ended) {
    switch (ended.result) {
    case StageResult::Continue:
        return "continue";
    case StageResult::Skipped:
        return "skipped";
    case StageResult::Failed:
        return "failed: " + Narrow(ended.errorText);
    case StageResult::FailedDeletePayload:
        return "failed, payload deleted: " + Narrow(ended.errorText);
    }
    return "?";
}

void RunUnarmed(StageResult (*stage)(const wchar_t*, wchar_t*), const CaseBed& bed) {
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
    ASSERT_EQ(stage(bed.payloadPath.c_str(), errorText), StageResult::Continue) << Narrow(errorText);
}

void CheckRelease(CaseBed&) {
    wchar_t errorText[WORKER_ERROR_CAPACITY] = {};
    ASSERT_EQ(RunReleaseCheck(errorText), StageResult::Continue) << Narrow(errorText);
}

// What shell registration and the uninstaller leave registered, in words.
std::string Registered() {
    std::string words;
    if (testbed::FileExists(shell_readback::ShortcutPath(CSIDL_PROGRAMS))) words += " start-menu-link";
    if (testbed::FileExists(shell_readback::ShortcutPath(CSIDL_DESKTOPDIRECTORY))) words += " desktop-link";
    const auto entry = shell_readback::ReadUninstallEntry();
    if (!entry.empty()) words += " entry(" + std::to_string(entry.size()) + " values)";
    return words.empty() ? " nothing" : words;
}

std::string ModelsPresent(const CaseBed& bed) {
    std::string words;
    const std::vector<std::wstring> names = ModelNames();
    for (size_t i = 0; i < names.size(); ++i) {
        if (testbed::FileExists(ModelFolderIn(bed.profile) + L"\\" + names[i])) words += std::to_string(i + 1);
    }
    return words.empty() ? "none" : words;
}

std::string DescribeEnding(CaseBed&, Interposer&, const Ended& ended) { return Ending(ended); }

std::vector<Stage> Stages() {
    return {
        {"release", [](CaseBed& bed) { bed.WritePreviousInstall(); },
         [](CaseBed&, Interposer&, Ended& ended) { ended.result = RunReleaseCheck(ended.errorText); },
         DescribeEnding, true},
        {"payload",
         [](CaseBed& bed) {
             bed.WritePreviousInstall();
             CheckRelease(bed);
         },
         [](CaseBed& bed, Interposer&, Ended& ended) {
             ended.result = DownloadPayload(bed.payloadPath.c_str(), ended.errorText);
             if (ended.result == StageResult::Continue) {
                 ended.result = VerifyPayload(bed.payloadPath.c_str(), ended.errorText);
             }
         },
         DescribeEnding, true},
        {"extraction",
         [](CaseBed& bed) {
             bed.WritePreviousInstall();
             CheckRelease(bed);
             RunUnarmed(&DownloadPayload, bed);
             RunUnarmed(&VerifyPayload, bed);
         },
         [](CaseBed& bed, Interposer&, Ended& ended) {
             ended.result = PrepareAndExtract(bed.payloadPath.c_str(), ended.errorText);
         },
         [](CaseBed& bed, Interposer&, const Ended& ended) {
             std::string ending = Ending(ended);
             if (ended.result == StageResult::Continue) {
                 std::string version;
                 testbed::ReadFileBytes(bed.AppFolder() + L"\\" + VERSION_FILE_NAME, version);
                 ending += version == std::string(kNewVersion) + "\r\n" ? " (new version)" : " (version file missing)";
             }
             return ending;
         },
         false},
        {"shell",
         [](CaseBed& bed) {
             EXPECT_TRUE(testbed::WriteFileBytes(bed.AppFolder() + L"\\" + VERSION_FILE_NAME,
                                                 std::string(kNewVersion) + "\r\n"));
             EXPECT_TRUE(testbed::WriteFileBytes(bed.AppFolder() + L"\\" + APP_PROGRAM_NAME, "new program"));
             EXPECT_TRUE(testbed::WriteFileBytes(bed.AppFolder() + L"\\" + APP_ICON_NAME, "icon"));
             wcscpy_s(installState.releaseVersion, L"2.0.0");
         },
         [](CaseBed&, Interposer&, Ended&) { RegisterShell(); },
         [](CaseBed& bed, Interposer&, const Ended&) {
             std::string words = "registered:" + Registered();
             if (testbed::FileExists(SetupCopyIn(bed.installDir))) words += " setup-copy";
             return words;
         },
         false},
        {"models", [](CaseBed& bed) { CheckRelease(bed); },
         [](CaseBed&, Interposer&, Ended&) { ProvisionModels(); },
         [](CaseBed& bed, Interposer&, const Ended&) { return "models: " + ModelsPresent(bed); }, false},
        {"uninstall",
         [](CaseBed& bed) {
             bed.WritePreviousInstall();
             EXPECT_TRUE(testbed::WriteFileBytes(bed.AppFolder() + L"\\" + APP_ICON_NAME, "icon"));
             wcscpy_s(installState.releaseVersion, L"1.0.0");
             RegisterShell();
             for (const std::wstring& name : ModelNames()) {
                 EXPECT_TRUE(testbed::WriteFileBytes(ModelFolderIn(bed.profile) + L"\\" + name, kModelBytes));
             }
             EXPECT_TRUE(testbed::WriteFileBytes(UserDataFolderIn(bed.profile) + L"\\settings.json", "{}"));
         },
         [](CaseBed&, Interposer&, Ended&) { RunUninstall(); },
         [](CaseBed& bed, Interposer& calls, const Ended&) {
             std::string words = "boxes:";
             for (const std::wstring& text : calls.BoxTexts()) {
                 words += " [" + Narrow(text.substr(0, text.find(L'\n'))) + "]";
             }
             words += "; left:" + Registered();
             if (testbed::FileExists(bed.AppFolder())) words += " app-folder";
             if (testbed::FileExists(ModelFolderIn(bed.profile))) words += " models";
             if (testbed::FileExists(UserDataFolderIn(bed.profile))) words += " data";
             // The hidden command deletes the setup copy a while later, so its start is what shows.
             if (calls.Calls("CreateProcessW") > 0) words += "; self-removal started";
             return words;
         },
         false},
    };
}

// The uninstall entry's command and each shortcut must name a file that is there.
void CheckRegisteredTargets(const CaseBed& bed, std::vector<std::string>& faults) {
    const auto entry = shell_readback::ReadUninstallEntry();
    if (!entry.empty()) {
        const auto command = entry.find(UNINSTALL_STRING);
        if (command == entry.end()) {
            faults.push_back("an uninstall entry without its command");
        } else if (command->second.Text().find(SetupCopyIn(bed.installDir)) == std::wstring::npos ||
                   !testbed::FileExists(SetupCopyIn(bed.installDir))) {
            faults.push_back("the uninstall entry names a missing setup program");
        }
    }
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        const std::wstring path = shell_readback::ShortcutPath(csidl);
        if (!testbed::FileExists(path)) continue;
        const shell_readback::Shortcut link = shell_readback::ReadShortcut(path);
        if (!link.loaded || link.target.empty() || !testbed::FileExists(link.target)) {
            faults.push_back("a shortcut to a missing program: " + Narrow(path));
        }
    }
}

// Nothing outside the install folder, the model and data folders and the two worker files.
void CheckWrittenPlaces(const CaseBed& bed, std::vector<std::string>& faults) {
    for (const std::wstring& name : testbed::FolderEntries(bed.scratch)) {
        if (name != L"inst" && name != L"profile" && name != L"tmp") faults.push_back("written: " + Narrow(name));
    }
    for (const std::wstring& name : testbed::FolderEntries(bed.profile)) {
        if (name != MODEL_ROOT_FOLDER_NAME && name != USER_DATA_FOLDER_NAME) {
            faults.push_back("written in the profile: " + Narrow(name));
        }
    }
    for (const std::wstring& name : testbed::FolderEntries(bed.temp)) {
        if (name != PAYLOAD_TEMP_NAME && name != MANIFEST_TEMP_NAME) {
            faults.push_back("written in the temporary folder: " + Narrow(name));
        }
    }
}

// A model under its final name is the published one; its partial file never outlives the stage.
void CheckModels(const CaseBed& bed, std::vector<std::string>& faults) {
    for (const std::wstring& name : testbed::FolderEntries(ModelFolderIn(bed.profile))) {
        std::string bytes;
        testbed::ReadFileBytes(ModelFolderIn(bed.profile) + L"\\" + name, bytes);
        const bool partial = name.size() > 5 && name.substr(name.size() - 5) == L".part";
        if (partial) faults.push_back("a partial model left: " + Narrow(name));
        if (!partial && bytes != kModelBytes) faults.push_back("a model not as published: " + Narrow(name));
    }
}

// The ending is one of the stage's own.
void CheckEnding(const Stage& stage, const std::string& outcome, std::vector<std::string>& faults) {
    const auto texts = kStageTexts.find(stage.name);
    if (texts == kStageTexts.end() || outcome.rfind("continue", 0) == 0) return;
    const size_t colon = outcome.find(": ");
    const std::string text = colon == std::string::npos ? "" : outcome.substr(colon + 2);
    for (const std::wstring& allowed : texts->second) {
        if (Narrow(allowed) == text) return;
    }
    faults.push_back("an ending the stage does not have: " + outcome);
}

// A download's payload is deleted only for a digest that does not match.
void CheckPayloadRule(const Stage& stage, const std::string& outcome, std::vector<std::string>& faults) {
    if (stage.name != std::string("payload")) return;
    const bool deletes = outcome.rfind("failed, payload deleted", 0) == 0;
    const bool corrupt = outcome.find(Narrow(L"받은 파일이 손상되었거나 변조되었습니다")) != std::string::npos;
    if (deletes != corrupt) faults.push_back("payload rule broken: " + outcome);
}

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// One run of the stage with failing (empty: none) failing; sequence gets the calls it made.
RunResult RunStage(const Stage& stage, const Call* failing, std::vector<Call>* sequence) {
    RunResult result;
    CaseBed bed;
    stage.prepare(bed);
    if (::testing::Test::HasFatalFailure()) return {"<preparation failed>", {"preparation failed"}};
    const bool previousBefore = bed.PreviousInstallIntact();

    MessageTrace trace;
    const DWORD handlesBefore = HandleCount();
    std::vector<Call> calls;
    const bool ended = trace.RunOnThread(
        [&] {
            ComApartment apartment;
            Interposer interposer;
            if (stage.name == std::string("uninstall")) {
                interposer.AnswerBoxes();
                interposer.SetOwnModulePath(SetupCopyIn(bed.installDir));
            }
            if (failing) interposer.FailCall(failing->function.c_str(), failing->occurrence);
            Ended ended;
            stage.act(bed, interposer, ended);
            interposer.Disarm();
            calls = interposer.Sequence();
            result.outcome = stage.describe(bed, interposer, ended);
        },
        kRunLimitMs);
    if (!ended) {
        result.faults.push_back("did not end in time");
        result.outcome = "<hang>";
        return result;
    }
    // WinHTTP may close a connection's handles on a thread of its own a moment after the call
    // that closed it returns: a leak is a count that does not come back.
    DWORD handlesAfter = HandleCount();
    for (ULONGLONG start = GetTickCount64(); handlesAfter > handlesBefore && GetTickCount64() - start < 5000;) {
        Sleep(10);
        handlesAfter = HandleCount();
    }
    if (handlesAfter > handlesBefore) {
        result.faults.push_back("handles leaked: " + std::to_string(handlesAfter - handlesBefore));
    }
    CheckEnding(stage, result.outcome, result.faults);
    CheckPayloadRule(stage, result.outcome, result.faults);
    CheckWrittenPlaces(bed, result.faults);
    CheckRegisteredTargets(bed, result.faults);
    CheckModels(bed, result.faults);
    const bool failed = result.outcome.rfind("failed", 0) == 0;
    if (previousBefore && failed && !bed.PreviousInstallIntact()) {
        // Lost before the stage began deleting it, or by a stage that never deletes it.
        const auto firstRemoval = std::find_if(calls.begin(), calls.end(), [](const Call& call) {
            return call.function == "DeleteFileW" || call.function == "RemoveDirectoryW" ||
                   call.function == "SetFileInformationByHandle";
        });
        const auto failedAt = failing ? std::find(calls.begin(), calls.end(), *failing) : calls.end();
        if (stage.keepsPreviousInstall || (failing && failedAt < firstRemoval)) {
            result.faults.push_back("the previous install was lost");
        }
    }
    if (sequence) *sequence = calls;
    return result;
}

// The calls to fail: each one the recording saw (up to kOccurrences of a function), in order.
std::vector<Call> CallsToFail(const std::vector<Call>& recorded) {
    std::vector<Call> chosen;
    for (const Call& call : recorded) {
        if (call.occurrence <= kOccurrences) chosen.push_back(call);
    }
    return chosen;
}

std::wstring TablePath() {
    return testbed::FromUnixPath(testbed::Env("TAVRIN_SOURCE_DIR")) + L"\\tests\\sweep\\expected_outcomes.tsv";
}

std::string Header() { return "stage\tfunction\toccurrence\toutcome\n"; }

class FaultSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site_ = new ReleaseSite(L"sweep");
        const std::string payload = MakeZip(AppEntries(kNewVersion));
        ASSERT_TRUE(site_->Put(PAYLOAD_FILE, payload));
        std::string manifest = "{\"version\": \"" + std::string(kNewVersion) + "\", \"url\": \"" +
                               site_->PayloadUrl() + "\", \"sha256\": \"" + Sha256Hex(payload) + "\"";
        for (const std::wstring& name : ModelNames()) {
            ASSERT_TRUE(site_->Put(MODEL_URL_PATH + name, kModelBytes));
            manifest += ", \"digest:" + Narrow(name) + "\": \"" + kModelDigest + "\"";
        }
        ASSERT_TRUE(site_->PutManifest(manifest + "}"));
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    static ReleaseSite* site_;
};

ReleaseSite* FaultSweep::site_ = nullptr;

TEST_F(FaultSweep, EveryCallFailsOnceAndEveryStageEndsSoundly) {
    std::ostringstream table;
    table << Header();
    for (const Stage& stage : Stages()) {
        SCOPED_TRACE(stage.name);
        std::vector<Call> recorded;
        const RunResult clean = RunStage(stage, nullptr, &recorded);
        for (const std::string& fault : clean.faults) ADD_FAILURE() << stage.name << " without a failure: " << fault;
        ASSERT_FALSE(recorded.empty());
        // The recording is also the warm run: what the platform sets up once per process (COM's
        // classes, WinHTTP's session machinery) is then not taken for a leak.
        const std::vector<Call> chosen = CallsToFail(recorded);
        std::printf("%s: %zu calls recorded, %zu swept\n", stage.name, recorded.size(), chosen.size());
        table << stage.name << "\t-\t0\t" << clean.outcome << "\n";
        for (const Call& call : chosen) {
            const RunResult run = RunStage(stage, &call, nullptr);
            for (const std::string& fault : run.faults) {
                ADD_FAILURE() << stage.name << " " << call.function << " #" << call.occurrence << ": " << fault
                              << " (ending: " << run.outcome << ")";
            }
            table << stage.name << "\t" << call.function << "\t" << call.occurrence << "\t" << run.outcome << "\n";
        }
    }

    if (!testbed::Env("TAVRIN_SWEEP_WRITE").empty()) {
        ASSERT_TRUE(testbed::WriteFileBytes(TablePath(), table.str()));
        return;
    }
    std::string expected;
    ASSERT_TRUE(testbed::ReadFileBytes(TablePath(), expected)) << "no table: write it with TAVRIN_SWEEP_WRITE=1";
    std::istringstream want(expected), got(table.str());
    std::string wantLine, gotLine;
    int line = 0;
    while (true) {
        const bool moreWant = static_cast<bool>(std::getline(want, wantLine));
        const bool moreGot = static_cast<bool>(std::getline(got, gotLine));
        if (!moreWant && !moreGot) break;
        ++line;
        EXPECT_EQ(moreWant ? wantLine : "<end>", moreGot ? gotLine : "<end>") << "table line " << line;
    }
}

}  // namespace

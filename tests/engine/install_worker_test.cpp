// Whole install attempts: InstallWorker against a release published on the local HTTPS release
// host, extracting with the prefix's tar.exe, registering in the prefix's Start menu, desktop and
// HKCU, and fetching the models into a scratch USERPROFILE.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/paths.h"
#include "engine/release_host.h"
#include "engine/shell_registration.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/model_fixture.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace shell_readback;

namespace {

const std::vector<std::wstring> kModels = ModelNames();

std::string ModelBytes(const std::wstring& name) { return "onnx " + Narrow(name) + std::string(2000, 'm'); }

using testbed::FileExists;

std::vector<ZipEntry> WithoutApplication(std::vector<ZipEntry> entries) {
    std::erase_if(entries, [](const ZipEntry& entry) { return entry.name == AppEntryName(APP_PROGRAM_NAME); });
    return entries;
}

// What an attempt posts up to the end of extraction, download reports left out.
std::vector<TraceEvent> EventsUntilExtracted(const std::wstring& version, bool previousInstall) {
    std::vector<TraceEvent> events = {
        ProgressEvent(0),
        StatusEvent(L"최신 버전 확인 중..."),
        StatusEvent(L"v" + version + L" 내려받는 중..."),
        StatusEvent(L"받은 파일 검증 중..."),
        ProgressEvent(PROGRESS_MARQUEE),
        StatusEvent(L"설치 중... (압축 해제, 1~3분)"),
    };
    if (previousInstall) events.push_back(StatusEvent(L"이전 설치 정리 중..."));
    return events;
}

// missing: the models the stage could not install, which the finished text counts.
void AppendRegistrationAndModels(std::vector<TraceEvent>& events, const std::vector<int>& announced, int missing = 0) {
    events.push_back(StatusEvent(L"바로가기 만드는 중..."));
    events.push_back(ProgressEvent(PROGRESS_MARQUEE));
    for (int position : announced) events.push_back(Announce(position));
    events.push_back(ProgressEvent(PROGRESS_COMPLETE));
    events.push_back(StatusEvent(missing == 0 ? std::wstring(L"설치가 끝났습니다.")
                                              : L"설치가 끝났지만 AI 모델 " + std::to_wstring(missing) +
                                                    L"개를 받지 못했습니다. 다시 설치하면 이어서 받습니다."));
    events.push_back(DoneEvent(1));
}

// Stands in for the desktop box during one attempt and sets the cancel flag when the worker asks
// it for its state: the worker is then past the payload download and waits for the answer, so
// the flag is set before the model stage begins.
WNDPROC originalBoxProc = nullptr;
LRESULT CALLBACK CancellingBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == BM_GETCHECK) installState.cancelRequested = true;
    return CallWindowProcW(originalBoxProc, box, message, wParam, lParam);
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetInstallState();
        RemoveShellTraces();
        scratch_ = testbed::MakeScratchFolder(L"worker");
        ASSERT_FALSE(scratch_.empty());
        profile_ = scratch_ + L"\\profile";
        ASSERT_TRUE(CreateDirectoryW(profile_.c_str(), nullptr));
        profileSwap_.Set(profile_.c_str());
        modelFolder_ = ModelFolderIn(profile_);
        installDir_ = scratch_ + L"\\Programs\\Tavrin AI";
        appFolder_ = AppFolderIn(installDir_);
    }
    void TearDown() override {
        RemoveShellTraces();
        ResetInstallState();
    }

    void PublishModels(const ReleaseSite& site) {
        for (const std::wstring& name : kModels) ASSERT_TRUE(site.Put(MODEL_URL_PATH + name, ModelBytes(name)));
    }

    // One attempt as the wizard starts it: the folder stored, cancel cleared, busy set.
    void RunAttempt(MessageTrace& trace) {
        wcsncpy_s(installState.installDir, installDir_.c_str(), _TRUNCATE);
        installState.cancelRequested = false;
        installState.busy = true;
        ASSERT_TRUE(trace.RunWorker());
    }

    void ExpectInstalled(const std::wstring& version, const std::wstring& launchName) {
        std::string text;
        ASSERT_TRUE(testbed::ReadFileBytes(InFolder(appFolder_, VERSION_FILE_NAME), text));
        EXPECT_EQ(text, Narrow(version) + "\r\n");
        for (const wchar_t* name : {APP_SCRIPT_NAME, APP_ICON_NAME, L"lib\\data.bin"}) {
            EXPECT_TRUE(FileExists(appFolder_ + L"\\" + name)) << Narrow(name);
        }
        std::string copy;
        ASSERT_TRUE(testbed::ReadFileBytes(SetupCopyIn(installDir_), copy));
        EXPECT_TRUE(copy == OwnExecutableBytes()) << "the setup copy is not the running program";
        ExpectShortcut(ShortcutPath(CSIDL_PROGRAMS), appFolder_, launchName);
        ExpectShortcut(ShortcutPath(CSIDL_DESKTOPDIRECTORY), appFolder_, launchName);
        ExpectUninstallEntry(installDir_, version);

        wchar_t payload[PATH_CAPACITY];
        ASSERT_TRUE(GetPayloadPath(payload));
        EXPECT_FALSE(FileExists(payload)) << "the payload file was left in the temporary folder";
        EXPECT_STREQ(installState.downloadLabel, DOWNLOAD_LABEL_PAYLOAD);
    }

    // Release 2.4.1 and its models published on site, installed by one attempt into installDir_:
    // every stage runs and everything lands.
    void ExpectFirstInstall(const ReleaseSite& site) {
        PublishModels(site);
        ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
        MessageTrace trace;
        RunAttempt(trace);
        std::vector<TraceEvent> expected = EventsUntilExtracted(L"2.4.1", false);
        AppendRegistrationAndModels(expected, {1, 2, 3, 4, 5});
        EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
        ExpectInstalled(L"2.4.1", APP_PROGRAM_NAME);
        ExpectAllModels();
    }

    void ExpectAllModels() {
        for (const std::wstring& name : kModels) {
            std::string bytes;
            EXPECT_TRUE(testbed::ReadFileBytes(modelFolder_ + L"\\" + name, bytes)) << Narrow(name);
            EXPECT_EQ(bytes, ModelBytes(name)) << Narrow(name);
            EXPECT_FALSE(FileExists(modelFolder_ + L"\\" + name + L".part")) << Narrow(name);
        }
    }

    std::wstring scratch_;
    std::wstring profile_;
    std::wstring modelFolder_;
    std::wstring installDir_;
    std::wstring appFolder_;
    UserProfileSwap profileSwap_;
};

TEST_F(WorkerTest, FirstInstallRunsEveryStage) {
    ReleaseSite site(L"worker_first");
    ExpectFirstInstall(site);

    // Every request the host saw, manifest, payload and each model, names the setup program; and
    // those are all it saw: a build without a release key never asks for latest.json.sig.
    std::set<std::string> paths;
    for (const testbed::HostRequest& request : testbed::HostRequests("/t/worker_first/")) {
        paths.insert(request.path);
        EXPECT_EQ(request.Header("User-Agent").value_or("<none>"), Narrow(USER_AGENT)) << request.path;
    }
    const auto hostPath = [&](const std::wstring& relative) { return Narrow(L"/" + site.HostPath(relative)); };
    std::set<std::string> expectedPaths = {hostPath(MANIFEST_URL_PATH), hostPath(PAYLOAD_FILE)};
    for (const std::wstring& name : kModels) expectedPaths.insert(hostPath(MODEL_URL_PATH + name));
    EXPECT_EQ(paths, expectedPaths);
}

// The system tar reads its command line in the ANSI code page, which in the bed (1252) holds no
// Hangul. A Korean install folder, and a Korean temporary folder that holds the payload, each
// still install completely: the files, both shortcuts and the entry.
class KoreanFolderTest : public WorkerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KoreanFolderTest, InstallsCompletely) {
    const bool koreanTemp = GetParam();
    ASSERT_EQ(GetACP(), 1252u) << "the bed's ANSI code page";
    std::optional<TemporaryFolderSwap> temp;
    if (koreanTemp) {
        const std::wstring folder = scratch_ + L"\\임시 폴더";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        temp.emplace(folder);
    } else {
        installDir_ = scratch_ + L"\\사용자\\김민지\\Tavrin AI";
        appFolder_ = AppFolderIn(installDir_);
    }
    ReleaseSite site(koreanTemp ? L"worker_korean_temp" : L"worker_korean_folder");
    ExpectFirstInstall(site);
}

INSTANTIATE_TEST_SUITE_P(Folders, KoreanFolderTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "temp" : "install"); });

// A newer release over an install: the app folder is replaced (this one has no application, so
// the shortcuts now name the start script), the stale setup copy and a redirected shortcut are
// rewritten, the entry carries the new version, and the models already there are not fetched.
TEST_F(WorkerTest, ReinstallReplacesInstallAndRegistration) {
    ReleaseSite site(L"worker_reinstall");
    PublishModels(site);
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));
    {
        MessageTrace trace;
        RunAttempt(trace);
        ASSERT_EQ(trace.events().back(), DoneEvent(1)) << trace.Describe();
    }
    ASSERT_TRUE(testbed::WriteFileBytes(SetupCopyIn(installDir_), "stale setup copy"));
    {
        ComApartment com;
        CreateShortcut(ShortcutPath(CSIDL_PROGRAMS).c_str(), L"C:\\elsewhere\\Other.exe", L"C:\\elsewhere", L"");
    }
    ASSERT_TRUE(site.Publish("2.5.0", MakeZip(WithoutApplication(AppEntries("2.5.0")))));

    MessageTrace trace;
    RunAttempt(trace);

    std::vector<TraceEvent> expected = EventsUntilExtracted(L"2.5.0", true);
    AppendRegistrationAndModels(expected, {});
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    EXPECT_FALSE(FileExists(InFolder(appFolder_, APP_PROGRAM_NAME)));
    ExpectInstalled(L"2.5.0", APP_SCRIPT_NAME);
    ExpectAllModels();
}

// A cancel request after the payload has arrived does not stop the attempt: verification,
// extraction and registration run, the model folder is made but nothing is fetched, and the
// attempt ends as finished, counting the five models it could not install.
TEST_F(WorkerTest, CancelAfterPayloadDownloadStillFinishes) {
    ReleaseSite site(L"worker_cancel");
    PublishModels(site);
    ASSERT_TRUE(site.Publish("2.4.1", MakeZip(AppEntries("2.4.1"))));

    MessageTrace trace;
    trace.onEvent = [](const TraceEvent& event) {
        if (event == StatusEvent(L"받은 파일 검증 중...")) installState.cancelRequested = true;
    };
    originalBoxProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        installState.desktopShortcutBox, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CancellingBoxProc)));
    wcsncpy_s(installState.installDir, installDir_.c_str(), _TRUNCATE);
    installState.busy = true;
    ASSERT_TRUE(trace.RunWorker());
    SetWindowLongPtrW(installState.desktopShortcutBox, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(originalBoxProc));

    std::vector<TraceEvent> expected = EventsUntilExtracted(L"2.4.1", false);
    AppendRegistrationAndModels(expected, {}, 5);
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    ExpectInstalled(L"2.4.1", APP_PROGRAM_NAME);
    EXPECT_TRUE(FileExists(modelFolder_));
    for (const std::wstring& name : kModels) EXPECT_FALSE(FileExists(modelFolder_ + L"\\" + name)) << Narrow(name);
}

// A body sent chunked carries no length: only its last chunk tells that it is whole. Served that
// way, the manifest, the payload and the models each arrive whole; broken off before the last
// chunk, each is a failed download, never a complete file. The manifest breaks off right before
// its digest, which would otherwise pass for a release without one; a model that broke off is
// left missing and fetched by the next attempt.
enum class Chunked { Manifest, Payload, Models };

struct ChunkedCase {
    const char* name;
    Chunked served;  // the download(s) served chunked; the rest as files
    bool cut;        // reset before the last chunk
};

class ChunkedBodyTest : public WorkerTest, public ::testing::WithParamInterface<ChunkedCase> {};

TEST_P(ChunkedBodyTest, ArrivesWholeOrFails) {
    const ChunkedCase& c = GetParam();
    ReleaseSite site(std::wstring(L"worker_chunked_") + std::wstring(c.name, c.name + strlen(c.name)));
    PublishModels(site);
    const std::string payload = MakeZip(AppEntries("2.4.1"));
    ASSERT_TRUE(site.Put(PAYLOAD_FILE, payload));
    const std::wstring payloadUrl =
        c.served != Chunked::Payload ? site.Url(PAYLOAD_FILE)
        : c.cut ? site.FaultUrl(L"chunkcut=" + std::to_wstring(payload.size() / 2), PAYLOAD_FILE)
                : site.FaultUrl(L"chunked", PAYLOAD_FILE);
    std::string manifest = ManifestJson("2.4.1", Narrow(payloadUrl), Sha256Hex(payload));
    if (c.served == Chunked::Models) {
        // Published with their digests: under Wine a retried cut can end as if whole (below), and
        // only a digest tells such a model from the published one.
        std::string digests;
        for (const std::wstring& name : kModels) {
            digests += ",\n  \"digest:" + Narrow(name) + "\": \"" + Sha256Hex(ModelBytes(name)) + "\"";
        }
        manifest = manifest.substr(0, manifest.rfind('}')) + digests + "\n}\n";
    }
    ASSERT_TRUE(site.PutManifest(manifest));
    if (c.served == Chunked::Manifest) {
        const size_t beforeDigest = manifest.find(",\n  \"sha256\"");
        ASSERT_NE(beforeDigest, std::string::npos);
        const std::wstring fault = c.cut ? L"chunkcut=" + std::to_wstring(beforeDigest) : L"chunked";
        wcsncpy_s(manifestUrl, site.FaultUrl(fault, MANIFEST_URL_PATH).c_str(), _TRUNCATE);
    }
    if (c.served == Chunked::Models) {
        const std::wstring fault = c.cut ? L"chunkcut=1000" : L"chunked";
        wcsncpy_s(modelBaseUrl, site.FaultUrl(fault, MODEL_URL_PATH).c_str(), _TRUNCATE);
    }

    MessageTrace trace;
    RunAttempt(trace);

    if (!c.cut) {
        EXPECT_EQ(trace.events().back(), DoneEvent(1)) << trace.Describe();
        ExpectInstalled(L"2.4.1", APP_PROGRAM_NAME);
        ExpectAllModels();
        return;
    }
    if (c.served != Chunked::Models) {
        const std::vector<TraceEvent> events = trace.StageEvents();
        ASSERT_GE(events.size(), 2u) << trace.Describe();
        // The platform: a reset that took every byte of the read it met is tried again, and Wine
        // may then take the next reset before the last chunk for the end of the body (Windows
        // reports it as a failed read); such a run goes on as if the body were whole.
        if (events.back() == DoneEvent(1)) {
            ExpectInstalled(L"2.4.1", APP_PROGRAM_NAME);
            return;
        }
        EXPECT_EQ(events[events.size() - 2], StatusEvent(L"다운로드가 중간에 끊겼습니다")) << trace.Describe();
        EXPECT_EQ(events.back(), DoneEvent(0)) << trace.Describe();
        EXPECT_FALSE(FileExists(appFolder_)) << "something was installed";
        return;
    }
    EXPECT_EQ(trace.events().back(), DoneEvent(1)) << trace.Describe();
    // A cut that took every byte of the read it met is tried again, and Wine may then take the
    // reset for the end of the body: each model is whole or missing, never cut, and no partial
    // file without a validator to take it up with stays.
    for (const std::wstring& name : kModels) {
        std::string bytes;
        if (testbed::ReadFileBytes(modelFolder_ + L"\\" + name, bytes)) {
            EXPECT_EQ(bytes, ModelBytes(name)) << Narrow(name);
        }
        EXPECT_FALSE(FileExists(modelFolder_ + L"\\" + name + L".part")) << Narrow(name);
    }

    // The next attempt (a newer release, so no question comes) meets a host that answers whole.
    wcsncpy_s(modelBaseUrl, site.Url(MODEL_URL_PATH).c_str(), _TRUNCATE);
    ASSERT_TRUE(site.Publish("2.4.2", MakeZip(AppEntries("2.4.2"))));
    MessageTrace next;
    RunAttempt(next);
    EXPECT_EQ(next.events().back(), DoneEvent(1)) << next.Describe();
    ExpectAllModels();
}

INSTANTIATE_TEST_SUITE_P(Bodies, ChunkedBodyTest,
                         ::testing::Values(ChunkedCase{"manifest", Chunked::Manifest, false},
                                           ChunkedCase{"manifest_cut", Chunked::Manifest, true},
                                           ChunkedCase{"payload", Chunked::Payload, false},
                                           ChunkedCase{"payload_cut", Chunked::Payload, true},
                                           ChunkedCase{"models", Chunked::Models, false},
                                           ChunkedCase{"models_cut", Chunked::Models, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

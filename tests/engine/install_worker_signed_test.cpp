// Whole install attempts of a setup program built with a release key: the key-built engine's
// InstallWorker against releases that the release tool signed with the build tree's throwaway
// key (tests/engine/signed_releases.py, run by ctest before this test, says what each holds).
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/attempt.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/model_fixture.h"
#include "tests/support/release_fixture.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

using namespace shell_readback;

namespace {

const std::vector<std::wstring> kModels = ModelNames();
constexpr wchar_t kSignatureText[] = L"버전 파일의 서명을 확인할 수 없습니다. 잠시 후 다시 시도해 주세요.";

// A model's bytes as signed_releases.py publishes them.
std::string PublishedModel(const std::wstring& name) {
    std::string bytes;
    for (int i = 0; i < 40; ++i) bytes += "onnx " + Narrow(name) + "\n";
    return bytes;
}

using testbed::FileExists;

// The URL paths of the case's requests, in the order the host answered them.
std::vector<std::string> RequestedPaths(const std::string& caseName) {
    std::vector<std::string> paths;
    for (const testbed::HostRequest& request : testbed::HostRequests("/t/signed_" + caseName + "/")) {
        paths.push_back(request.path);
    }
    return paths;
}

std::string CasePath(const std::string& caseName, const std::string& relative) {
    return "/t/signed_" + caseName + "/" + relative;
}

class SignedWorkerTest : public ::testing::Test {
protected:
    // The install folder's name holds a space, as under Programs.
    void SetUp() override {
        attempt_.SetInstallDir(attempt_.scratch() + L"\\Programs\\Tavrin AI");
        appFolder_ = attempt_.appFolder();
        modelFolder_ = attempt_.modelFolder();
        RemoveWorkerTempFiles();
    }

    // One attempt as the wizard starts it, against the case's release.
    void RunAttempt(const std::string& caseName, MessageTrace& trace) {
        ReleaseSite site(L"signed_" + std::wstring(caseName.begin(), caseName.end()));
        ASSERT_TRUE(attempt_.Run(trace));
    }

    std::string ModelBytes(const std::wstring& name, bool& present) const {
        std::string bytes;
        present = testbed::ReadFileBytes(modelFolder_ + L"\\" + name, bytes);
        return bytes;
    }

    AttemptScope attempt_{L"signed"};
    const std::wstring& installDir_ = attempt_.installDir();
    std::wstring appFolder_;
    std::wstring modelFolder_;
};

// The signed release installs completely: its files, the shortcuts, the entry and the five
// models; the signature is fetched right after the manifest, before anything else.
TEST_F(SignedWorkerTest, SignedReleaseInstalls) {
    MessageTrace trace;
    RunAttempt("good", trace);

    std::vector<TraceEvent> expected = {
        ProgressEvent(0),
        StatusEvent(L"최신 버전 확인 중..."),
        StatusEvent(L"v2.5.0 내려받는 중..."),
        StatusEvent(L"받은 파일 검증 중..."),
        ProgressEvent(PROGRESS_MARQUEE),
        StatusEvent(L"설치 중... (압축 해제, 1~3분)"),
        StatusEvent(L"바로가기 만드는 중..."),
        ProgressEvent(PROGRESS_MARQUEE),
    };
    for (int position = 1; position <= 5; ++position) expected.push_back(Announce(position));
    expected.push_back(ProgressEvent(PROGRESS_COMPLETE));
    expected.push_back(StatusEvent(L"설치가 끝났습니다."));
    expected.push_back(DoneEvent(1));
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();

    std::string bytes;
    ASSERT_TRUE(testbed::ReadFileBytes(InFolder(appFolder_, L"version.txt"), bytes));
    EXPECT_EQ(bytes, "2.5.0\r\n");
    ASSERT_TRUE(testbed::ReadFileBytes(InFolder(appFolder_, L"TavrinAI.exe"), bytes));
    EXPECT_EQ(bytes, "MZ signed release program");
    ASSERT_TRUE(testbed::ReadFileBytes(InFolder(appFolder_, L"lib\\data.bin"), bytes));
    EXPECT_EQ(bytes, "data of 2.5.0");
    ExpectShortcut(ShortcutPath(CSIDL_PROGRAMS), appFolder_, L"TavrinAI.exe");
    ExpectShortcut(ShortcutPath(CSIDL_DESKTOPDIRECTORY), appFolder_, L"TavrinAI.exe");
    ExpectUninstallEntry(installDir_, L"2.5.0");
    for (const std::wstring& name : kModels) {
        bool present = false;
        EXPECT_EQ(ModelBytes(name, present), PublishedModel(name)) << Narrow(name);
        EXPECT_TRUE(present) << Narrow(name);
    }
    EXPECT_FALSE(FileExists(TempFilePath(L"tavrin_latest.json.sig")));

    std::vector<std::string> expectedPaths = {CasePath("good", "dist/latest.json"),
                                              CasePath("good", "dist/latest.json.sig"),
                                              CasePath("good", "dist/TavrinStudio-2.5.0.zip")};
    for (const std::wstring& name : kModels) expectedPaths.push_back(CasePath("good", "models/auraface/" + Narrow(name)));
    EXPECT_EQ(RequestedPaths("good"), expectedPaths);
}

struct RefusalCase {
    const char* name;  // the release of signed_releases.py
    const wchar_t* text;
};

class RefusedReleaseTest : public SignedWorkerTest, public ::testing::WithParamInterface<RefusalCase> {};

// A release the signature does not vouch for ends the attempt at the release check: the host
// sees the manifest and signature requests and nothing more, and the previous install is left
// as it was.
TEST_P(RefusedReleaseTest, EndsAtReleaseCheckWithNothingDeleted) {
    const RefusalCase& c = GetParam();
    const std::vector<std::pair<std::wstring, std::string>> previous = {
        {L"version.txt", "2.4.1\r\n"}, {L"TavrinAI.exe", "MZ previous program"}, {L"lib\\data.bin", "data of 2.4.1"}};
    for (const auto& [name, bytes] : previous) ASSERT_TRUE(testbed::WriteFileBytes(InFolder(appFolder_, name), bytes));
    const std::wstring previousModel = modelFolder_ + L"\\scrfd_10g_bnkps.onnx";
    ASSERT_TRUE(testbed::WriteFileBytes(previousModel, "previous model"));

    MessageTrace trace;
    RunAttempt(c.name, trace);

    const std::vector<TraceEvent> expected = {ProgressEvent(0), StatusEvent(L"최신 버전 확인 중..."),
                                              StatusEvent(c.text), DoneEvent(0)};
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    EXPECT_EQ(RequestedPaths(c.name),
              (std::vector<std::string>{CasePath(c.name, "dist/latest.json"), CasePath(c.name, "dist/latest.json.sig")}));
    for (const auto& [name, bytes] : previous) {
        std::string now;
        EXPECT_TRUE(testbed::ReadFileBytes(InFolder(appFolder_, name), now)) << Narrow(name);
        EXPECT_EQ(now, bytes) << Narrow(name);
    }
    EXPECT_EQ(testbed::FolderEntries(appFolder_), (std::vector<std::wstring>{L"TavrinAI.exe", L"lib", L"version.txt"}));
    EXPECT_EQ(testbed::FolderEntries(modelFolder_), std::vector<std::wstring>{L"scrfd_10g_bnkps.onnx"});
    EXPECT_TRUE(ReadUninstallEntry().empty()) << "the attempt registered something";
    EXPECT_FALSE(FileExists(TempFilePath(L"tavrin_latest.json")));
    EXPECT_FALSE(FileExists(TempFilePath(L"tavrin_latest.json.sig")));
}

INSTANTIATE_TEST_SUITE_P(
    Releases, RefusedReleaseTest,
    ::testing::Values(RefusalCase{"version", kSignatureText},    // version changed after signing
                      RefusalCase{"url", kSignatureText},        // url changed after signing
                      RefusalCase{"digest", kSignatureText},     // sha256 changed after signing
                      RefusalCase{"missing", kSignatureText},    // no latest.json.sig (404)
                      RefusalCase{"otherkey", kSignatureText},   // signed by another key
                      RefusalCase{"truncated", kSignatureText},  // 63 bytes of signature
                      // Signed, but naming no payload digest: the signature would vouch for nothing.
                      RefusalCase{"nosha256", L"버전 파일 형식 오류"},
                      // Signed, but past its expiry or without one: an old manifest served again.
                      RefusalCase{"expired", L"버전 파일이 만료되었습니다. 잠시 후 다시 시도해 주세요."},
                      RefusalCase{"noexpires", L"버전 파일이 만료되었습니다. 잠시 후 다시 시도해 주세요."},
                      // Signed, but older than the installed 2.4.1.
                      RefusalCase{"older", L"설치된 버전보다 오래된 버전은 설치할 수 없습니다."}),
    [](const auto& info) { return std::string(info.param.name); });

// Under a signed manifest a model is installed only with its published digest: the one replaced
// on the host (genderage.onnx) is fetched, refused and its partial file deleted; the one without
// a digest member (1k3d68.onnx) is never fetched; the other three are installed and the attempt
// finishes.
TEST_F(SignedWorkerTest, ModelsWithoutTheirDigestAreLeftOut) {
    MessageTrace trace;
    RunAttempt("models", trace);

    ASSERT_FALSE(trace.events().empty());
    EXPECT_EQ(trace.events().back(), DoneEvent(1)) << trace.Describe();
    EXPECT_TRUE(FileExists(InFolder(appFolder_, L"TavrinAI.exe")));
    for (const std::wstring& name : kModels) {
        SCOPED_TRACE(Narrow(name));
        bool present = false;
        const std::string bytes = ModelBytes(name, present);
        if (name == L"genderage.onnx" || name == L"1k3d68.onnx") {
            EXPECT_FALSE(present);
        } else {
            EXPECT_EQ(bytes, PublishedModel(name));
        }
        EXPECT_FALSE(FileExists(modelFolder_ + L"\\" + name + L".part"));
    }
    const std::vector<std::string> paths = RequestedPaths("models");
    const auto requested = [&](const std::string& name) {
        return std::count(paths.begin(), paths.end(), CasePath("models", "models/auraface/" + name));
    };
    EXPECT_EQ(requested("genderage.onnx"), 1);
    EXPECT_EQ(requested("1k3d68.onnx"), 0);
    EXPECT_EQ(requested("2d106det.onnx"), 1);
}

}  // namespace

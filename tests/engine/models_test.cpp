// Stages 6 and 7 on their own: ProvisionModels and ReportCompletion run on a thread of their own
// against model files published on the local release host, with USERPROFILE pointed at a scratch
// folder of the test so that the prefix's real profile is never written.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/download.h"
#include "engine/release_host.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/model_fixture.h"
#include "tests/support/release_fixture.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const std::vector<std::wstring> kModels = ModelNames();

// The finished page's events; missing: the models the stage could not install.
void AppendCompletion(std::vector<TraceEvent>& events, int missing = 0) {
    events.push_back(ProgressEvent(PROGRESS_COMPLETE));
    events.push_back(StatusEvent(missing == 0 ? std::wstring(L"설치가 끝났습니다.")
                                              : L"설치가 끝났지만 AI 모델 " + std::to_wstring(missing) +
                                                    L"개를 받지 못했습니다. 다시 설치하면 이어서 받습니다."));
    events.push_back(DoneEvent(1));
}

using testbed::FileExists;

using testbed::FolderEntries;

void RunModelStages(MessageTrace& trace) {
    ASSERT_TRUE(trace.RunOnThread([] {
        ProvisionModels();
        ReportCompletion();
    }));
}

class ModelsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetInstallState();
        profile_ = testbed::MakeScratchFolder(L"profile");
        ASSERT_FALSE(profile_.empty());
        profileSwap_.Set(profile_.c_str());
        modelFolder_ = ModelFolderIn(profile_);
    }
    void TearDown() override { ResetInstallState(); }

    std::wstring ModelPath(int position) const { return modelFolder_ + L"\\" + kModels[position - 1]; }

    std::wstring profile_;
    std::wstring modelFolder_;
    UserProfileSwap profileSwap_;
};

struct FetchCase {
    const char* name;
    std::vector<int> presentBefore;  // positions already in the model folder (with other content)
    std::vector<int> missingOnHost;  // positions the host answers 404 for
    std::vector<int> announced;      // positions the stage announces, in order
};

class ModelFetchCases : public ModelsTest, public ::testing::WithParamInterface<FetchCase> {};

bool Contains(const std::vector<int>& positions, int position) {
    for (int p : positions) {
        if (p == position) return true;
    }
    return false;
}

TEST_P(ModelFetchCases, FetchesWhatIsMissing) {
    const FetchCase& c = GetParam();
    ReleaseSite site(std::wstring(L"models_") + std::wstring(c.name, c.name + strlen(c.name)));
    for (int position = 1; position <= 5; ++position) {
        if (!Contains(c.missingOnHost, position)) {
            ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], HostModelBytes(position)));
        }
        if (Contains(c.presentBefore, position)) {
            ASSERT_TRUE(testbed::WriteFileBytes(ModelPath(position), "kept"));
        }
    }

    MessageTrace trace;
    RunModelStages(trace);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE)};
    for (int position : c.announced) expected.push_back(Announce(position));
    AppendCompletion(expected, static_cast<int>(c.missingOnHost.size()));
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();

    for (int position = 1; position <= 5; ++position) {
        SCOPED_TRACE(Narrow(kModels[position - 1]));
        std::string bytes;
        const bool present = testbed::ReadFileBytes(ModelPath(position), bytes);
        if (Contains(c.presentBefore, position)) {
            EXPECT_EQ(bytes, "kept");
        } else if (Contains(c.missingOnHost, position)) {
            EXPECT_FALSE(present);
        } else {
            EXPECT_EQ(bytes, HostModelBytes(position));
        }
        EXPECT_FALSE(FileExists(ModelPath(position) + L".part"));
    }
    // The download lines of the loop carry the models' label; afterwards it is the payload's again.
    bool modelLine = false;
    for (const std::wstring& text : trace.StatusTexts()) modelLine |= text.rfind(L"AI 모델 내려받는 중  ", 0) == 0;
    EXPECT_TRUE(modelLine) << trace.Describe();
    EXPECT_STREQ(installState.downloadLabel, DOWNLOAD_LABEL_PAYLOAD);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModelFetchCases,
    ::testing::Values(FetchCase{"FirstInstallFetchesAllInOrder", {}, {}, {1, 2, 3, 4, 5}},
                      FetchCase{"FirstModelPresentIsPassedOver", {1}, {}, {2, 3, 4, 5}},
                      FetchCase{"MarkerModelPresentIsPassedOver", {2}, {}, {1, 3, 4, 5}},
                      FetchCase{"ModelMissingOnHostIsLeftOut", {}, {4}, {1, 2, 3, 4, 5}}),
    [](const ::testing::TestParamInfo<FetchCase>& info) { return std::string(info.param.name); });

// A cancel request during the third download: that download ends and its partial file goes (the
// host gave no validator to take it up with), the two fetched before stay, nothing further is
// fetched, and the attempt still completes, counting the three it could not install.
TEST_F(ModelsTest, CancelDuringDownloadKeepsModelsFetchedSoFar) {
    ReleaseSite site(L"models_cancel");
    for (int position = 1; position <= 5; ++position) {
        // The third is large enough to be still on its way (1 KiB per 20 ms) when the cancel comes.
        const size_t size = position == 3 ? 256 * 1024 : 1000;
        ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], HostModelBytes(position, size)));
    }
    wcsncpy_s(modelBaseUrl, site.FaultUrl(L"trickle=20", MODEL_URL_PATH).c_str(), _TRUNCATE);

    MessageTrace trace;
    trace.onEvent = [](const TraceEvent& event) {
        if (event == Announce(3)) installState.cancelRequested = true;
    };
    RunModelStages(trace);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE), Announce(1), Announce(2), Announce(3)};
    AppendCompletion(expected, 3);
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    for (int position = 1; position <= 5; ++position) {
        SCOPED_TRACE(Narrow(kModels[position - 1]));
        std::string bytes;
        const bool present = testbed::ReadFileBytes(ModelPath(position), bytes);
        if (position <= 2) {
            EXPECT_EQ(bytes, HostModelBytes(position, 1000));
        } else {
            EXPECT_FALSE(present);
        }
        EXPECT_FALSE(FileExists(ModelPath(position) + L".part"));
    }
}

// A cancel request that came before the stage (after the payload download): the folder is made
// ready, but the loop ends before its first download.
TEST_F(ModelsTest, CancelBeforeStageFetchesNothing) {
    ReleaseSite site(L"models_cancel_before");
    for (int position = 1; position <= 5; ++position) {
        ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], HostModelBytes(position)));
    }
    installState.cancelRequested = true;

    MessageTrace trace;
    RunModelStages(trace);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE)};
    AppendCompletion(expected, 5);
    EXPECT_EQ(trace.events(), expected) << trace.Describe();
    EXPECT_TRUE(FileExists(modelFolder_));
    EXPECT_TRUE(FolderEntries(modelFolder_).empty());
}

struct ProfileCase {
    const char* name;
    // The USERPROFILE value from the scratch folder (the test's current folder too); nullptr:
    // unset.
    std::wstring (*value)(const std::wstring& scratch);
};

class UnusableProfileCases : public ModelsTest, public ::testing::WithParamInterface<ProfileCase> {};

// Without a usable profile folder the stage posts only its marquee and creates nothing anywhere,
// neither under a cut value nor relative to the current folder.
TEST_P(UnusableProfileCases, SkipsStageAndCreatesNothing) {
    ReleaseSite site(L"models_profile");
    for (int position = 1; position <= 5; ++position) {
        ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], HostModelBytes(position)));
    }
    const std::wstring scratch = testbed::MakeScratchFolder(L"profile_case");
    const auto value = GetParam().value;
    profileSwap_.Set(value ? value(scratch).c_str() : nullptr);
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.c_str()));

    MessageTrace trace;
    RunModelStages(trace);
    SetCurrentDirectoryW(previous);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE)};
    AppendCompletion(expected);
    EXPECT_EQ(trace.events(), expected) << trace.Describe();
    EXPECT_TRUE(FolderEntries(scratch).empty());
}

std::wstring Padded(const std::wstring& scratch, size_t length) {
    return scratch + L"\\" + std::wstring(length - scratch.size() - 1, L'p');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableProfileCases,
    ::testing::Values(ProfileCase{"Unset", nullptr},
                      ProfileCase{"Empty", [](const std::wstring&) { return std::wstring(); }},
                      ProfileCase{"Relative", [](const std::wstring&) { return std::wstring(L"profile"); }},
                      ProfileCase{"LongerThanBuffer", [](const std::wstring& s) { return Padded(s, 300); }},
                      ProfileCase{"ExactlyBufferSize", [](const std::wstring& s) { return Padded(s, 260); }},
                      ProfileCase{"ModelFolderDoesNotFit", [](const std::wstring& s) { return Padded(s, 250); }}),
    [](const ::testing::TestParamInfo<ProfileCase>& info) { return std::string(info.param.name); });

}  // namespace

// A model whose digest the manifest names is installed only when its bytes have that digest: a
// replaced one is left out with its partial file deleted, and the others are installed. The
// digests are the published SHA-256 test vectors of "abc", of the empty message and of a million
// "a" (a body of several reads, hashed chunk by chunk while the next one arrives).
TEST_F(ModelsTest, ModelNotItsDigestIsLeftOut) {
    ReleaseSite site(L"models_digests");
    for (int position = 1; position <= 5; ++position) {
        const std::string bytes = position == 1 || position == 3 ? "abc"
                                  : position == 5                ? std::string(1000000, 'a')
                                                                 : HostModelBytes(position);
        ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], bytes));
    }
    wcscpy_s(installState.modelSha256[0], L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    wcscpy_s(installState.modelSha256[2], L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    wcscpy_s(installState.modelSha256[4], L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    MessageTrace trace;
    RunModelStages(trace);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE)};
    for (int position = 1; position <= 5; ++position) expected.push_back(Announce(position));
    AppendCompletion(expected, 1);
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    for (int position = 1; position <= 5; ++position) {
        SCOPED_TRACE(Narrow(kModels[position - 1]));
        std::string bytes;
        EXPECT_EQ(testbed::ReadFileBytes(ModelPath(position), bytes), position != 3);
        EXPECT_FALSE(FileExists(ModelPath(position) + L".part"));
    }
}

namespace {

class PublishedModels : public ModelsTest {
protected:
    // Publishes the five models (sizes by position, default 3000 bytes) with their digests in
    // installState, as the release check leaves them.
    void Publish(ReleaseSite& site, const std::vector<size_t>& sizes = {}) {
        for (int position = 1; position <= 5; ++position) {
            const size_t size = sizes.empty() ? 3000 : sizes[position - 1];
            bytes_[position - 1] = HostModelBytes(position, size);
            ASSERT_TRUE(site.Put(MODEL_URL_PATH + kModels[position - 1], bytes_[position - 1]));
            const std::string digest = Sha256Hex(bytes_[position - 1]);
            wcscpy_s(installState.modelSha256[position - 1], std::wstring(digest.begin(), digest.end()).c_str());
        }
    }
    void ExpectAllFiveWhole() {
        for (int position = 1; position <= 5; ++position) {
            SCOPED_TRACE(Narrow(kModels[position - 1]));
            std::string bytes;
            EXPECT_TRUE(testbed::ReadFileBytes(ModelPath(position), bytes));
            EXPECT_TRUE(bytes == bytes_[position - 1]);
            EXPECT_FALSE(FileExists(ModelPath(position) + MODEL_PART_SUFFIX));
        }
    }
    std::string bytes_[5];
};

// After an install a model was deleted and another zeroed (a power cut that kept its name): the
// next run fetches exactly those two, hashing the others, and every model is whole again.
TEST_F(PublishedModels, EveryRunRestoresADeletedAndAZeroedModel) {
    ReleaseSite site(L"models_repair_" + std::to_wstring(GetTickCount64()));
    Publish(site);
    for (int position = 1; position <= 5; ++position) {
        if (position == 4) continue;  // deleted
        const std::string bytes = position == 2 ? std::string(3000, '\0') : bytes_[position - 1];
        ASSERT_TRUE(testbed::WriteFileBytes(ModelPath(position), bytes));
    }

    MessageTrace trace;
    RunModelStages(trace);

    std::vector<TraceEvent> expected = {ProgressEvent(PROGRESS_MARQUEE), Announce(2), Announce(4)};
    AppendCompletion(expected);
    EXPECT_EQ(trace.StageEvents(), expected) << trace.Describe();
    ExpectAllFiveWhole();
}

// A model whose connection drops once is taken up where it ended: all five are installed, and the
// second request of the cut model asks for the rest only.
TEST_F(PublishedModels, ModelCutOnceIsTakenUp) {
    ReleaseSite site(L"models_cut_once_" + std::to_wstring(GetTickCount64()));
    Publish(site, {3000, 3000, 1000000, 3000, 3000});
    wcsncpy_s(modelBaseUrl, site.FaultUrl(L"cut=400000", MODEL_URL_PATH).c_str(), _TRUNCATE);

    MessageTrace trace;
    RunModelStages(trace);

    EXPECT_EQ(trace.StatusTexts().back(), L"설치가 끝났습니다.");
    ExpectAllFiveWhole();
    const auto requests = testbed::HostRequests("/_fault/cut=400000/" + Narrow(site.HostPath(MODEL_URL_PATH + kModels[2])));
    ASSERT_EQ(requests.size(), 2u);
    const auto range = requests[1].Header("Range");
    ASSERT_TRUE(range.has_value());
    EXPECT_NE(*range, "bytes=0-");
    EXPECT_TRUE(requests[1].Header("If-Range").has_value());
}

// A model that cannot be had in this run (its host keeps cutting it until the resumes are used
// up) is reported as missing; its partial file stays with its record, and the next run takes it
// up where it ended and completes.
TEST_F(PublishedModels, ModelStillMissingIsReportedAndTakenUpByTheNextRun) {
    ReleaseSite site(L"models_missing_" + std::to_wstring(GetTickCount64()));
    // Each cut well past a read and 64 KiB: a reset may take the bytes of the read it meets.
    Publish(site, {3000, 3000, 3000000, 3000, 3000});
    const std::wstring fault = L"cut=400000,400000,400000,400000,400000,400000";
    wcsncpy_s(modelBaseUrl, site.FaultUrl(fault, MODEL_URL_PATH).c_str(), _TRUNCATE);

    MessageTrace first;
    RunModelStages(first);
    EXPECT_EQ(first.StatusTexts().back(), L"설치가 끝났지만 AI 모델 1개를 받지 못했습니다. 다시 설치하면 이어서 받습니다.");
    EXPECT_FALSE(FileExists(ModelPath(3)));
    EXPECT_TRUE(FileExists(ModelPath(3) + MODEL_PART_SUFFIX));

    MessageTrace second;
    RunModelStages(second);
    EXPECT_EQ(second.StatusTexts().back(), L"설치가 끝났습니다.");
    ExpectAllFiveWhole();
    const auto requests = testbed::HostRequests("/_fault/" + Narrow(fault) + "/" + Narrow(site.HostPath(MODEL_URL_PATH + kModels[2])));
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_NE(requests[6].Header("Range").value_or("none"), "bytes=0-");
    EXPECT_NE(requests[6].Header("Range").value_or("none"), "none");
}

// A model larger than its published size stops at once and counts as missing; nothing of it stays.
TEST_F(PublishedModels, ModelLargerThanPublishedIsLeftOut) {
    ReleaseSite site(L"models_oversize_" + std::to_wstring(GetTickCount64()));
    Publish(site);
    installState.modelSize[1] = 2999;

    MessageTrace trace;
    RunModelStages(trace);

    EXPECT_EQ(trace.StatusTexts().back(), L"설치가 끝났지만 AI 모델 1개를 받지 못했습니다. 다시 설치하면 이어서 받습니다.");
    EXPECT_FALSE(FileExists(ModelPath(2)));
    EXPECT_FALSE(FileExists(ModelPath(2) + MODEL_PART_SUFFIX));
    EXPECT_FALSE(FileExists(ModelPath(2) + MODEL_PART_SUFFIX + RESUME_RECORD_SUFFIX));
}

}  // namespace

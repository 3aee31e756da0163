// Model stage: ProvisionModels fetching the five models with their digests in the manifest
// (each hashed while it downloads) against the same stage without digests, in the same process,
// with the real wizard window receiving what the stage posts. The digests are what a manifest of
// the release tool carries; a run that leaves a model missing does not count.
#include "bench/bare_loops.h"
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/wizard_host.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/release_host.h"
#include "engine/tree_delete.h"
#include "tests/support/installed_paths.h"
#include "tests/support/thread_run.h"
#include "tests/support/user_profile.h"

#include <shlobj.h>

#include <cwchar>
#include <string>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 900000;

bool ModelPresent(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           (data.nFileSizeHigh != 0 || data.nFileSizeLow != 0);
}

// One model stage from an empty model folder. Seconds on the stage's thread, or a negative value
// when it did not end or left a model missing.
double TimedStage(WizardHost& host, const std::wstring& profile, const std::wstring& folder,
                  const wchar_t* const* digests) {
    DeleteTree(InFolder(profile, MODEL_ROOT_FOLDER_NAME).c_str());
    for (int i = 0; i < MODEL_COUNT; ++i) {
        wcsncpy_s(installState.modelSha256[i], RELEASE_SHA256_CAPACITY, digests ? digests[i] : L"", _TRUNCATE);
    }
    host.EnterProgressPage();
    double seconds = -1.0;
    const bool ended = RunOnThread(
        [&] {
            const int64_t start = CounterNow();
            ProvisionModels();
            seconds = SecondsBetween(start, CounterNow());
        },
        RUN_TIMEOUT_MS);
    host.LeaveProgressPage();
    if (!ended) {
        EmitNote("the model stage did not end in time");
        return -1.0;
    }
    for (const wchar_t* name : MODEL_NAMES) {
        if (!ModelPresent(InFolder(folder, name))) {
            EmitNote(std::string("the model stage left ") + Narrow(name) + (digests ? " missing (with digests)" : " missing"));
            return -1.0;
        }
    }
    return seconds;
}

}  // namespace

int RunModelsFigure(const wchar_t* modelBase, const wchar_t* const* digests, int rounds) {
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, modelBase, _TRUNCATE);
    const std::wstring profile = TempFilePath(L"tavrin_bench_models");
    SHCreateDirectoryExW(nullptr, profile.c_str(), nullptr);
    const std::wstring folder = ModelFolderIn(profile);
    // The stage reads the model folder's parent from here; the bench's own profile stays clean.
    UserProfileSwap profileSwap;
    profileSwap.Set(profile.c_str());

    WizardHost host;
    if (!host.ok()) {
        EmitNote("the wizard window could not be created");
        return 1;
    }
    int failures = 0;
    // The process's first stage pays for what is set up once (WinHTTP's and TLS's machinery, the
    // host's first reads of the model files) and was the slowest of its run both times it was
    // looked at; counted, it would always weigh on the digests' side of the first round.
    for (const bool withDigests : {true, false}) {
        if (TimedStage(host, profile, folder, withDigests ? digests : nullptr) < 0) ++failures;
    }
    for (int round = 0; round < rounds; ++round) {
        const bool digestsFirst = round % 2 == 0;
        for (const bool withDigests : {digestsFirst, !digestsFirst}) {
            const double seconds = TimedStage(host, profile, folder, withDigests ? digests : nullptr);
            if (seconds < 0) {
                ++failures;
                continue;
            }
            EmitSample("models", withDigests ? "digests" : "none", seconds);
        }
    }
    DeleteTree(profile.c_str());
    return failures == 0 ? 0 : 1;
}

// Models present: the stage with all five models in place and their digests published, which
// then only hashes them, against the bare BCrypt loop over the same five files, in turns.
int RunModelsPresentFigure(const wchar_t* sourceFolder, const wchar_t* const* digests, int rounds) {
    const std::wstring profile = TempFilePath(L"tavrin_bench_models_present");
    const std::wstring folder = ModelFolderIn(profile);
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    for (const wchar_t* name : MODEL_NAMES) {
        if (!CopyFileW(InFolder(sourceFolder, name).c_str(), InFolder(folder, name).c_str(), FALSE)) {
            EmitNote("a model could not be placed: " + Narrow(name));
            return 1;
        }
    }
    UserProfileSwap profileSwap;
    profileSwap.Set(profile.c_str());
    for (int i = 0; i < MODEL_COUNT; ++i) wcsncpy_s(installState.modelSha256[i], RELEASE_SHA256_CAPACITY, digests[i], _TRUNCATE);
    // Nothing is fetched: a model the stage would replace means a digest that does not match.
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, L"https://localhost:1/none/", _TRUNCATE);

    WizardHost host;
    if (!host.ok()) {
        EmitNote("the wizard window could not be created");
        return 1;
    }
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        const bool stageFirst = round % 2 == 0;
        for (const bool stage : {stageFirst, !stageFirst}) {
            double seconds = -1.0;
            bool whole = true;
            host.EnterProgressPage();
            RunOnThread(
                [&] {
                    const int64_t start = CounterNow();
                    if (stage) {
                        ProvisionModels();
                        whole = installState.modelsMissing == 0;
                    } else {
                        for (int i = 0; i < MODEL_COUNT; ++i) {
                            whole &= BareHash(InFolder(folder, MODEL_NAMES[i]).c_str()) == digests[i];
                        }
                    }
                    seconds = SecondsBetween(start, CounterNow());
                },
                RUN_TIMEOUT_MS);
            host.LeaveProgressPage();
            if (seconds < 0 || !whole) {
                EmitNote(stage ? "the stage did not find every model whole" : "the bare loop's digests differ");
                ++failures;
                continue;
            }
            EmitSample("models_present", stage ? "stage" : "bare", seconds);
        }
    }
    DeleteTree(profile.c_str());
    return failures == 0 ? 0 : 1;
}

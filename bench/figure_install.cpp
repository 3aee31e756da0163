// Whole install: InstallWorker from its start to the wizard's handling of WM_SETUP_DONE 1,
// against the sum of its parts done with the same platform services in the same process: bare
// download loops for the manifest, the payload and each model, one bare hash loop over the
// payload, one run of the same tar.exe on it.
#include "bench/bare_loops.h"
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/wizard_host.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/release_host.h"
#include "engine/tree_delete.h"
#include "tests/support/installed_paths.h"
#include "tests/support/user_profile.h"

#include <psapi.h>
#include <shlobj.h>

#include <cwchar>
#include <functional>
#include <string>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 900000;

struct Folders {
    std::wstring root;        // everything of this figure, in the prefix's temporary folder
    std::wstring profile;     // USERPROFILE of the worker: the model folder goes below it
    std::wstring installDir;  // the install folder the worker is given
    std::wstring models;      // profile\.insightface\models\auraface
    std::wstring parts;       // where the parts put their files
};

Folders MakeFolders() {
    Folders f;
    f.root = TempFilePath(L"tavrin_bench_install");
    f.profile = f.root + L"\\profile";
    f.installDir = InFolder(f.root + L"\\apps", INSTALL_FOLDER_NAME);
    f.models = ModelFolderIn(f.profile);
    f.parts = f.root + L"\\parts";
    return f;
}

// Leaves no trace of an earlier run: no install folder, no model folder (the marker model would
// skip the stage), no temporary files of the worker, no parts.
void Clean(const Folders& f) {
    DeleteTree((f.root + L"\\apps").c_str());
    DeleteTree(InFolder(f.profile, MODEL_ROOT_FOLDER_NAME).c_str());
    DeleteTree(f.parts.c_str());
    RemoveWorkerTempFiles();
    SHCreateDirectoryExW(nullptr, f.profile.c_str(), nullptr);
}

void EmitMemory(const char* key) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return;
    }
    const std::string prefix = std::string("memory.") + key;
    EmitValue((prefix + ".working_set").c_str(), static_cast<double>(counters.WorkingSetSize));
    EmitValue((prefix + ".peak_working_set").c_str(), static_cast<double>(counters.PeakWorkingSetSize));
    EmitValue((prefix + ".peak_pagefile").c_str(), static_cast<double>(counters.PeakPagefileUsage));
}

// The whole worker. Seconds, or a negative value when the attempt failed or left a model or the
// app folder missing.
double TimedWhole(WizardHost& host, const Folders& f) {
    Clean(f);
    const double seconds = host.RunInstall(f.installDir.c_str(), RUN_TIMEOUT_MS);
    host.LeaveProgressPage();
    if (seconds < 0) {
        EmitNote("the install did not succeed: WM_SETUP_DONE " + std::to_string(host.doneValue()) + ", status \"" +
                 Narrow(installState.statusText) + "\"");
        return -1.0;
    }
    if (FileSize(InFolder(AppFolderIn(f.installDir), VERSION_FILE_NAME).c_str()) <= 0) {
        EmitNote("the install left no app folder");
        return -1.0;
    }
    for (const wchar_t* name : MODEL_NAMES) {
        if (FileSize((f.models + L"\\" + name).c_str()) <= 0) {
            EmitNote("the install left model " + Narrow(name) + " missing");
            return -1.0;
        }
    }
    return seconds;
}

// The parts, each timed on its own on a worker thread; their sum in seconds, or a negative
// value when one failed. Each part's time is emitted as well.
double TimedParts(const Folders& f, const std::wstring& base, const std::wstring& sha256) {
    Clean(f);
    SHCreateDirectoryExW(nullptr, (f.parts + L"\\extract").c_str(), nullptr);
    SHCreateDirectoryExW(nullptr, (f.parts + L"\\models").c_str(), nullptr);
    const std::wstring payload = f.parts + L"\\payload.zip";
    double sum = 0;
    bool ok = true;
    auto timed = [&](const char* part, const std::function<bool()>& work) {
        if (!ok) return;
        double seconds = 0;
        bool succeeded = false;
        const bool ended = RunOnThread(
            [&] {
                const int64_t start = CounterNow();
                succeeded = work();
                seconds = SecondsBetween(start, CounterNow());
            },
            RUN_TIMEOUT_MS);
        if (!ended || !succeeded) {
            EmitNote(std::string("part failed: ") + part);
            ok = false;
            return;
        }
        EmitSample("install.part", part, seconds);
        sum += seconds;
    };
    timed("manifest", [&] {
        return BareDownload((base + MANIFEST_URL_PATH).c_str(), (f.parts + L"\\manifest.json").c_str()) > 0;
    });
    timed("payload", [&] { return BareDownload((base + L"dist/payload.zip").c_str(), payload.c_str()) > 0; });
    timed("hash", [&] { return _wcsicmp(BareHash(payload.c_str()).c_str(), sha256.c_str()) == 0; });
    timed("tar", [&] { return BareTar(payload.c_str(), (f.parts + L"\\extract").c_str()); });
    for (const wchar_t* name : MODEL_NAMES) {
        const std::string part = "model." + Narrow(name);
        timed(part.c_str(), [&] {
            return BareDownload((base + MODEL_URL_PATH + name).c_str(),
                                (f.parts + L"\\models\\" + name).c_str()) > 0;
        });
    }
    Clean(f);
    return ok ? sum : -1.0;
}

}  // namespace

int RunInstallFigure(const wchar_t* releaseBase, const wchar_t* sha256, int rounds) {
    const std::wstring base = releaseBase;
    wcsncpy_s(manifestUrl, RELEASE_HOST_URL_CAPACITY, (base + MANIFEST_URL_PATH).c_str(), _TRUNCATE);
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, (base + MODEL_URL_PATH).c_str(), _TRUNCATE);
    const Folders f = MakeFolders();
    Clean(f);
    // The worker reads the model folder's parent from here; the bench's own profile stays clean.
    UserProfileSwap profileSwap;
    profileSwap.Set(f.profile.c_str());

    WizardHost host;
    if (!host.ok()) {
        EmitNote("the wizard window could not be created");
        return 1;
    }
    EmitMemory("before_install");
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        // The whole install goes first in the first round, so that the peak working set read
        // right after it is the worker's and not a bare loop's.
        const bool wholeFirst = round % 2 == 0;
        for (const bool whole : {wholeFirst, !wholeFirst}) {
            const double seconds = whole ? TimedWhole(host, f) : TimedParts(f, base, sha256);
            if (seconds < 0) {
                ++failures;
                continue;
            }
            EmitSample("install", whole ? "whole" : "parts", seconds);
            if (whole && round == 0) EmitMemory("after_first_install");
        }
    }
    Clean(f);
    DeleteTree(f.root.c_str());
    EmitMemory("end");
    return failures == 0 ? 0 : 1;
}

#include "tests/sweep/sweep.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/shell_readback.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>

// One run of a stage with its faults, and every check of it.
namespace sweep {
namespace {

constexpr DWORD kRunLimitMs = 60000;
const std::wstring kInUseBoxStart = L"일부 파일을 지우지 못했습니다.";

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

std::string Describe(const Fault& fault) {
    std::string text = fault.call.function + "#" + std::to_string(fault.call.occurrence);
    if (fault.times > 1 || fault.error != 0) {
        text += " x" + std::to_string(fault.times) + " " + std::to_string(fault.error);
    }
    return text;
}

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
    // Wine's shell link keeps its target in the ANSI code page (Windows keeps it whole): a target
    // outside it cannot be read back here.
    if (bed.outsideCodePage) return dangling;
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

// A model under its final name is the published one; its partial file outlives the stage only
// with its resume record (the next attempt takes it up), or when its own deletion was made to fail
// (the next attempt writes it anew).
void CheckModels(const Snapshot& end, const std::vector<Fault>& injected, std::vector<std::string>& faults) {
    const bool deletionFailed = std::any_of(injected.begin(), injected.end(),
                                            [](const Fault& fault) { return fault.call.function == "DeleteFileW"; });
    const auto endsWith = [](const std::wstring& name, const std::wstring& suffix) {
        return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    for (const auto& [name, bytes] : end.models) {
        const bool partial = endsWith(name, MODEL_PART_SUFFIX);
        const bool record = endsWith(name, std::wstring(MODEL_PART_SUFFIX) + RESUME_RECORD_SUFFIX);
        // A partial model kept for the next attempt to take up has its record beside it.
        const bool kept = partial && end.models.count(name + RESUME_RECORD_SUFFIX) != 0;
        if (partial && !kept && !deletionFailed) faults.push_back("a partial model left: " + Narrow(name));
        if (record && end.models.count(name.substr(0, name.size() - wcslen(RESUME_RECORD_SUFFIX))) == 0) {
            faults.push_back("a resume record without its partial model: " + Narrow(name));
        }
        if (!partial && !record && bytes != kModelBytes) faults.push_back("a model not as published: " + Narrow(name));
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

// The last lines of the run's setup log.
std::string LogTail(const Bed& bed) {
    std::string log;
    if (!testbed::ReadFileBytes(bed.temp + L"\\" + LOG_FILE_NAME, log)) return "<no setup log>";
    size_t start = log.size();
    for (int lines = 0; lines < 30 && start > 0; ++lines) {
        start = log.rfind('\n', start - 1);
        if (start == std::string::npos) {
            start = 0;
            break;
        }
    }
    return log.substr(start);
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

std::vector<std::string> Differing(const Snapshot& a, const Snapshot& b) {
    std::vector<std::string> parts;
    if (a.appFolder != b.appFolder) parts.push_back("app-folder");
    if (a.startMenuLink != b.startMenuLink) parts.push_back("start-menu-link");
    if (a.desktopLink != b.desktopLink) parts.push_back("desktop-link");
    if (a.entry != b.entry) parts.push_back("entry");
    if (a.setupCopy != b.setupCopy) parts.push_back("setup-copy");
    if (a.models != b.models) parts.push_back("models");
    if (a.release != b.release) parts.push_back("release");
    return parts;
}

RunResult RunStage(const Stage& stage, const std::vector<Fault>& faults, const Baseline* baseline) {
    RunResult run;
    Bed bed(stage.name == std::string("extraction-stdin"));
    stage.prepare(bed);
    if (::testing::Test::HasFatalFailure()) return {"<preparation failed>", "", {"preparation failed"}, {}, {}};
    const Snapshot before = bed.Take();
    const Listing listed = bed.ListPrefix();
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
            // The run took another way than the fault-free one: its log tells which.
            run.faults.push_back("the failure asked for was never reached: " + first + "\n" + LogTail(bed));
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
    CheckBalance(open, run.faults);
    CheckHandles(handlesBefore, run.faults);
    CheckWrittenPlaces(bed, listed, bed.ListPrefix(), run.faults);
    // A registration that worked before the run and now names a missing file is lost with what
    // it named; a new one that does is a fault of its own.
    for (const std::string& dangling : Dangling(bed)) {
        const std::string part = dangling.substr(0, dangling.find(' '));
        const bool registeredBefore = (part == "entry" && !before.entry.empty()) ||
                                      (part == "start-menu-link" && !before.startMenuLink.empty()) ||
                                      (part == "desktop-link" && !before.desktopLink.empty());
        if (!registeredBefore) {
            run.faults.push_back("a registration names a missing file: " + dangling);
        } else if (run.verdict.rfind("lost", 0) == 0) {
            run.verdict += " dangling-" + part;
        } else {
            run.verdict = "lost: dangling-" + part;
        }
    }
    CheckModels(run.end, faults, run.faults);
    return run;
}


}  // namespace sweep

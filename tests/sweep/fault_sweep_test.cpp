// Every fallible system call of each install stage and of the uninstall fails once; then, for the
// error paths and double faults, each call that only such a failing run made fails beside it.
// Every run must end in time, in one of its stage's endings, having kept the rules of RunStage
// (sweep.cpp); how each ended, and its verdict, is held to the checked-in tables
// expected_once.tsv and expected_double.tsv. To write them anew after a deliberate change:
//   TAVRIN_SWEEP_WRITE=1 ctest --test-dir build/mingw -R fault_sweep_test
// (a loss is never written as expected: see sweep.h).
#include "tests/sweep/sweep.h"

#include "engine/owned.h"
#include "tests/support/message_trace.h"

#include <gtest/gtest.h>

#include <set>

namespace sweep {
namespace {

class FaultSweep : public SweepSuite {};

void Report(const std::string& where, const RunResult& run) {
    for (const std::string& fault : run.faults) ADD_FAILURE() << where << ": " << fault << " (ending: " << run.ending << ")";
}

// The stage's fault-free run, after one warm run: what the platform sets up once per process
// (COM's classes, WinHTTP's session machinery) is then not taken for a leak.
Baseline CleanRun(const Stage& stage) {
    RunStage(stage, {}, nullptr);
    const RunResult clean = RunStage(stage, {}, nullptr);
    Report(std::string(stage.name) + " without a failure", clean);
    return Baseline{clean.ending, clean.end, clean.calls};
}

#ifdef TAVRIN_SWEEP_RELEASE_KEY
constexpr char kOnceTable[] = "expected_once_signed.tsv";
#else
constexpr char kOnceTable[] = "expected_once.tsv";
#endif

TEST_F(FaultSweep, EveryCallFailsOnce) {
    const ComApartment com;  // once for the whole sweep: the beds read and write shell links here
    const SystemFolderWatch systemFolder;
    Table table(kOnceTable);
    for (const Stage& stage : Stages()) {
        SCOPED_TRACE(stage.name);
        const Baseline clean = CleanRun(stage);
        ASSERT_FALSE(clean.calls.empty());
        std::printf("%s: %zu calls\n", stage.name, clean.calls.size());
        table.Add(stage.name, "-", RunResult{clean.ending, "complete", {}, {}, {}});
        for (const Call& call : clean.calls) {
            const Fault fault{call};
            const RunResult run = RunStage(stage, {fault}, &clean);
            Report(std::string(stage.name) + " " + Describe(fault), run);
            table.Add(stage.name, Describe(fault), run);
        }
    }
    table.Finish();
}

// For each call N of the fault-free run: the calls that the run failing N made and the
// fault-free run did not (its error path), each failing beside N.
TEST_F(FaultSweep, ErrorPathsFailToo) {
#ifdef TAVRIN_SWEEP_RELEASE_KEY
    GTEST_SKIP() << "the product's engine covers the error paths";
#endif
    const ComApartment com;  // once for the whole sweep: the beds read and write shell links here
    const SystemFolderWatch systemFolder;
    Table table("expected_double.tsv");
    for (const Stage& stage : Stages()) {
        SCOPED_TRACE(stage.name);
        const Baseline clean = CleanRun(stage);
        const std::set<Call> cleanCalls(clean.calls.begin(), clean.calls.end());
        size_t runs = 0;
        for (const Call& first : Sample(clean.calls, 4)) {
            const RunResult failing = RunStage(stage, {Fault{first}}, &clean);
            for (const Call& second : failing.calls) {
                if (cleanCalls.count(second)) continue;
                const std::vector<Fault> faults = {Fault{first}, Fault{second}};
                const RunResult run = RunStage(stage, faults, &clean);
                const std::string key = Describe(faults[0]) + "+" + Describe(faults[1]);
                Report(std::string(stage.name) + " " + key, run);
                table.Add(stage.name, key, run);
                ++runs;
            }
        }
        std::printf("%s: %zu double faults\n", stage.name, runs);
    }
    table.Finish();
}

}  // namespace
}  // namespace sweep

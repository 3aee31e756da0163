// The faults a real machine produces for a moment: a scanner, the indexer or a sync client
// holding a just-written file, a connection reset. Every recorded call of a file open, deletion,
// rename or copy, and every WinHTTP send and read, fails three times in a row with the error such a
// cause gives, then succeeds: the way through the retries is the one a single failure takes, only
// longer. TAVRIN_SWEEP_FULL=1 also fails each call once, on its own (rows the table does not hold,
// shown rather than compared). The table expected_transient.tsv holds how each run ended and its
// verdict; the goal is the fault-free ending for every row. To write it anew:
//   TAVRIN_SWEEP_WRITE=1 ctest --test-dir build/mingw -R transient_sweep_test
#include "tests/sweep/sweep.h"

#include "engine/owned.h"
#include "tests/support/message_trace.h"

#include <gtest/gtest.h>

#include <winhttp.h>

#include <map>

namespace sweep {
namespace {

// The errors a transient cause gives each kind of call.
const std::map<std::string, std::vector<DWORD>> kTransientErrors = {
    {"CreateFileW", {ERROR_SHARING_VIOLATION}},
    {"CopyFileW", {ERROR_SHARING_VIOLATION}},
    {"DeleteFileW", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
    {"RemoveDirectoryW", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
    {"SetFileInformationByHandle", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
    {"MoveFileW", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
    {"MoveFileExW", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
    {"WinHttpSendRequest", {ERROR_WINHTTP_CONNECTION_ERROR}},
    {"WinHttpReceiveResponse", {ERROR_WINHTTP_CONNECTION_ERROR}},
    {"WinHttpReadData", {ERROR_WINHTTP_CONNECTION_ERROR}},
};

class TransientSweep : public SweepSuite {};

TEST_F(TransientSweep, EveryFileAndTransferCallFailsForAWhile) {
    const ComApartment com;  // once for the whole sweep: the beds read and write shell links here
    const SystemFolderWatch systemFolder;
    Table table("expected_transient.tsv");
    for (const Stage& stage : Stages()) {
        SCOPED_TRACE(stage.name);
        RunStage(stage, {}, nullptr);  // the warm run
        const RunResult clean = RunStage(stage, {}, nullptr);
        for (const std::string& fault : clean.faults) ADD_FAILURE() << stage.name << " without a failure: " << fault;
        const Baseline baseline{clean.ending, clean.end, clean.calls};
        size_t runs = 0;
        const std::vector<unsigned> counts = FullSweep() ? std::vector<unsigned>{1, 3} : std::vector<unsigned>{3};
        for (const Call& call : clean.calls) {
            const auto errors = kTransientErrors.find(call.function);
            if (errors == kTransientErrors.end()) continue;
            for (DWORD error : errors->second) {
                for (unsigned times : counts) {
                    const Fault fault{call, error, times};
                    const RunResult run = RunStage(stage, {fault}, &baseline);
                    for (const std::string& broken : run.faults) {
                        ADD_FAILURE() << stage.name << " " << Describe(fault) << ": " << broken << " (ending: " << run.ending << ")";
                    }
                    table.Add(stage.name, Describe(fault), run);
                    ++runs;
                }
            }
        }
        std::printf("%s: %zu transient runs\n", stage.name, runs);
    }
    table.Finish();
}

}  // namespace
}  // namespace sweep

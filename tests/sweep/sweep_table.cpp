#include "tests/sweep/sweep.h"

#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>

// Which calls a sampled sweep runs, and the checked-in tables the runs are held to.
namespace sweep {

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
            // A full sweep reaches rows that CI's sample leaves out: they are shown, not held.
            if (write || FullSweep()) {
                std::printf("new row: %s -> %s | %s\n", key.c_str(), row.ending.c_str(), row.verdict.c_str());
            } else {
                ADD_FAILURE() << file_ << ": a row the table does not have: " << key << " -> " << row.ending << " | "
                              << row.verdict;
            }
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
    if (write && FullSweep()) {
        ADD_FAILURE() << "the tables hold what CI runs: write them without TAVRIN_SWEEP_FULL";
    } else if (write) {
        EXPECT_TRUE(testbed::WriteFileBytes(TablePath(file_), out.str()));
    } else {
        EXPECT_TRUE(haveTable) << "no table " << file_ << ": write it with TAVRIN_SWEEP_WRITE=1";
    }
}

}  // namespace sweep

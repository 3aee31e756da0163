// What the fault sweeps share: the published release (sweep_release.cpp), the bed of one run, a
// complete previous install where the stage meets one (sweep_bed.cpp), the stages
// (sweep_stages.cpp), one run of a stage with its faults and every check of it (sweep_run.cpp),
// and the checked-in tables the runs are held to (sweep_table.cpp).
//
// Each run ends in one of three verdicts, measured against the stage's fault-free run:
//  - "complete": the same ending and the same end state (app folder byte for byte, shortcuts,
//    uninstall entry, setup copy, models);
//  - "degraded": something the fault-free run makes is missing or old, but nothing that was
//    there before was lost;
//  - "lost: ...": something that was there before the run is neither as it was nor as the
//    fault-free run leaves it (a half-deleted app folder, an entry gone).
// A run must also keep every rule in Check (see sweep.cpp); a broken rule fails the test.
#pragma once

#include "engine/layout.h"
#include "engine/stage.h"
#include "tests/support/attempt.h"
#include "tests/support/interposer.h"
#include "tests/support/message_trace.h"
#include "tests/support/user_profile.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sweep {

using interposer::Call;
using interposer::Interposer;

constexpr char kOldVersion[] = "1.0.0";
constexpr char kNewVersion[] = "2.0.0";
// Every model is published as "abc", whose SHA-256 is the published test vector below.
constexpr char kModelBytes[] = "abc";
constexpr char kModelDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// The payload archive of a version: the app folder with a file of several download chunks, and
// version.txt last, as the release tool writes it (tar extracts in order).
std::vector<ZipEntry> PayloadEntries(const std::string& version);

// One failure a run schedules: the call, its error (0: the function's default) and how many
// calls of the function in a row fail from it on.
struct Fault {
    Call call;
    DWORD error = 0;
    unsigned times = 1;
};

// "CreateFileW#3", or with an error and a count: "CreateFileW#3 x3 32".
std::string Describe(const Fault& fault);

// The end state that the verdict compares.
struct Snapshot {
    std::map<std::wstring, std::string> appFolder;  // relative path -> bytes ("<folder>" for folders)
    std::string startMenuLink;                      // "" when absent, else "target|working folder"
    std::string desktopLink;
    std::map<std::wstring, std::wstring> entry;  // the uninstall entry's values as text
    std::string setupCopy;                       // "", "previous", "this program" or "other (N bytes)"
    std::map<std::wstring, std::string> models;  // name -> bytes
    std::string release;                         // the release check's findings
    // The payload file: "", "published" or "other (N bytes)". Only the payload stage's own
    // check reads it: after the extraction its deletion may still be pending while tar.exe's
    // inherited handle closes, which the bed's Wine does after the process has ended.
    std::string payload;
    bool operator==(const Snapshot&) const = default;
};


// Files and folders of the prefix's drive: path (lower case) -> size and write time; folders
// only by their presence.
using Listing = std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>>;

// The world of one run: an attempt's scratch folder (install folder, profile) with a temporary
// folder of its own beside them, each pointed at for the run's life, and a window standing in
// for the wizard's (its desktop box ticked). Removed with the object.
class Bed {
public:
    // outsideCodePage: the install folder's name holds a character outside the ANSI code page.
    explicit Bed(bool outsideCodePage = false);
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    const bool outsideCodePage;
    AttemptScope attempt{L"sweep"};
    MessageTrace trace;
    const std::wstring scratch = attempt.scratch();
    const std::wstring profile = attempt.profile();
    std::wstring installDir;
    const std::wstring temp = scratch + L"\\tmp";
    const std::wstring payloadPath = temp + L"\\" + PAYLOAD_TEMP_NAME;
    std::optional<TemporaryFolderSwap> tempSwap;

    std::wstring AppFolder() const;
    // A whole install of the previous version: its app folder, the setup copy, both shortcuts,
    // the uninstall entry, the five models and the application's data.
    void CompletePreviousInstall();
    // The app folder as the payload of that version makes it.
    void WriteApp(const char* version);
    // Where the stages before begin: the release check's findings (read from the host once per
    // process), the downloaded and verified payload, the new app folder in place of the old.
    void CheckRelease();
    void PlaceVerifiedPayload();
    void ReplaceApp();

    Snapshot Take() const;
    // The prefix's drive without the system folder (SystemFolderWatch) and, in the prefix's
    // temporary folder, without what other tests of the run keep there.
    Listing ListPrefix() const;
    // Where a run may write: the install folder, the model folder (and the two shared folders
    // above it), the application's data, the worker's files and the setup log in the temporary
    // folder, and the two shortcuts.
    bool MayWrite(const std::wstring& key) const;
};

// The system folder, which a run's own listing leaves out for speed (some 900 entries under the
// bed's Wine): listed when a sweep begins and again when it ends, where any change is a failure.
std::wstring WindowsFolder();
class SystemFolderWatch {
public:
    SystemFolderWatch();
    ~SystemFolderWatch();
    SystemFolderWatch(const SystemFolderWatch&) = delete;
    SystemFolderWatch& operator=(const SystemFolderWatch&) = delete;

private:
    Listing before_;
};

struct Stage {
    const char* name;
    // Unarmed: brings the bed to where the stage begins.
    std::function<void(Bed&)> prepare;
    // Armed, on the worker's thread with COM: the stage itself. Returns its result; stages
    // without one return Continue.
    std::function<StageResult(Bed&, Interposer&, wchar_t* errorText)> act;
    // The stage's failure texts (the README's lists).
    std::vector<std::wstring> texts;
    // A "continue" of this stage claims its work done: finished must then hold of its end state
    // against the fault-free run's.
    bool continueIsComplete;
    std::function<bool(const Snapshot& end, const Snapshot& clean)> finished;
};

// The stages of an install and the uninstall, in the worker's order.
std::vector<Stage> Stages();

// What one run left.
struct RunResult {
    std::string ending;
    std::string verdict;
    std::vector<std::string> faults;  // rules broken
    std::vector<Call> calls;          // every call the armed thread made
    Snapshot end;
};

// The fault-free run of a stage, which the others are measured against.
struct Baseline {
    std::string ending;
    Snapshot end;
    std::vector<Call> calls;
};

// One run of stage with faults (none: the fault-free run). baseline null: this is the fault-free
// run itself. Each fault's first call must be reached and fail.
RunResult RunStage(const Stage& stage, const std::vector<Fault>& faults, const Baseline* baseline);


// Publishes the release every run installs, for the life of the object: a payload of several
// download chunks, five models "abc" with their digests.
class PublishedRelease {
public:
    PublishedRelease();
    ~PublishedRelease();
    PublishedRelease(const PublishedRelease&) = delete;
    PublishedRelease& operator=(const PublishedRelease&) = delete;
};
// The published payload's bytes.
const std::string& PayloadBytes();

// A sweep's suite: the release is published for its life.
class SweepSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { release_ = new PublishedRelease; }
    static void TearDownTestSuite() {
        delete release_;
        release_ = nullptr;
    }

private:
    static inline PublishedRelease* release_ = nullptr;
};

// The parts of the state in which a and b differ ("app-folder", "entry", ...).
std::vector<std::string> Differing(const Snapshot& a, const Snapshot& b);

// UTF-8 to UTF-16.
std::wstring Wide(const std::string& text);

// The checked-in table of one sweep: rows keyed by stage and faults, with the ending and the
// verdict. Rows whose verdict is a loss are written by hand: a loss that the table does not
// already hold is written as "unconfirmed lost: ..." and fails until someone confirms it.
class Table {
public:
    explicit Table(std::string file);
    void Add(const std::string& stage, const std::string& faults, const RunResult& run);
    // Compares with the checked-in file (each difference one failure), or writes it anew when
    // TAVRIN_SWEEP_WRITE is set, printing what changed. Prints the verdicts per stage.
    void Finish() const;

private:
    struct Row {
        std::string ending;
        std::string verdict;
    };
    std::string file_;
    std::vector<std::pair<std::string, Row>> rows_;  // in run order; key "stage\tfaults"
};

// Every row (TAVRIN_SWEEP_FULL set), or each stage's first and last call and a fixed-seed
// sample of size of the rest, in order.
std::vector<Call> Sample(const std::vector<Call>& calls, size_t size);
bool FullSweep();

}  // namespace sweep

// The figures of the benchmark. Each runs in a process of its own (bench_main.cpp) and writes
// plain lines to standard output, which bench/results.py turns into RESULTS.md:
//   sample <figure> <contender> <seconds>   one timed run
//   value <key> <number>                    a single measurement
//   note <text>                             something a reader of the raw output should know
// Each returns the process exit code: 0 when every run completed and checked out.
#pragma once

// The test-side helpers the figures share with the tests: Narrow (UTF-16 to UTF-8 for the output
// lines) and TempFilePath (a file in the user's temporary folder, where downloads land).
#include "tests/support/release_fixture.h"

#include <cstdint>
#include <string>

void EmitSample(const char* figure, const char* contender, double seconds);
void EmitValue(const char* key, double value);
void EmitNote(const std::string& text);

// download HTTP_BASE HTTPS_BASE ROUNDS: DownloadToFile against the bare WinHTTP loop on
// <base>body.bin, both schemes, and DownloadToFile with the wizard hidden; the order rotates
// each round. <base>small.bin warms the contenders up.
int RunDownloadFigure(const wchar_t* httpBase, const wchar_t* httpsBase, int rounds);

// hash PATH ROUNDS: HashFileSha256 against the bare BCrypt loop on the same (cached) file.
int RunHashFigure(const wchar_t* path, int rounds);

// install RELEASE_BASE SHA256 ROUNDS: the whole InstallWorker against the sum of its parts.
// RELEASE_BASE ends with '/' and holds dist/latest.json, dist/payload.zip and
// models/auraface/<five models>; SHA256 is the payload's digest.
int RunInstallFigure(const wchar_t* releaseBase, const wchar_t* sha256, int rounds);

// models MODEL_BASE ROUNDS DIGEST x5: ProvisionModels with the five models' digests (in the
// fixed model order) against the same stage without digests, on MODEL_BASE<name>.
int RunModelsFigure(const wchar_t* modelBase, const wchar_t* const* digests, int rounds);

// models_present SOURCE_FOLDER ROUNDS DIGEST x5: ProvisionModels with all five models already in
// place (copied from SOURCE_FOLDER) and their digests, against the bare BCrypt loop over the same
// five files.
int RunModelsPresentFigure(const wchar_t* sourceFolder, const wchar_t* const* digests, int rounds);

// flaky URL SIZE ROUNDS: DownloadToFile of URL (the payload of SIZE bytes through the host's cut
// fault); the bytes the host sent over SIZE.
int RunFlakyFigure(const wchar_t* url, uint64_t size, int rounds);

// respond BASE...: the wizard's message handling delay and the report rate during a 1 GiB
// DownloadToFile of <base>body.bin, for each base given.
int RunRespondFigure(const wchar_t* const* bases, int count, unsigned probePeriodMs);

// startup SETUP_EXE BARE_EXE ROUNDS: seconds from process creation to the end of the first
// paint of the window, TavrinSetup.exe against the bare window program, in turns; the peak
// working set of each at that moment.
int RunStartupFigure(const wchar_t* setupExe, const wchar_t* bareExe, int rounds);

// setup_memory SETUP_EXE: TavrinSetup.exe installs the release its build names through its
// wizard, driven from outside; its own peak working set on the licence and the finished page.
int RunSetupMemoryFigure(const wchar_t* setupExe);

// flush PAYLOAD ROUNDS: ExtractArchive of PAYLOAD into a staging folder against FlushTree of the
// staged app folder afterwards (the cost of flushing every staged file before the switch), and
// the staged tree's bytes.
int RunFlushFigure(const wchar_t* payload, int rounds);

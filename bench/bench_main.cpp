// tavrin_bench.exe: the benchmarks of the setup program, run on demand by bench/run.sh inside
// the test bed's Wine prefix against its local release host. One figure per process, so that
// each starts from a fresh process and the install figure's peak memory is its own.
//
//   tavrin_bench download HTTP_BASE HTTPS_BASE ROUNDS
//   tavrin_bench hash PATH ROUNDS
//   tavrin_bench install RELEASE_BASE SHA256 ROUNDS
//   tavrin_bench models MODEL_BASE ROUNDS DIGEST DIGEST DIGEST DIGEST DIGEST
//   tavrin_bench models_present MODEL_FOLDER ROUNDS DIGEST DIGEST DIGEST DIGEST DIGEST
//   tavrin_bench flaky URL SIZE ROUNDS
//   tavrin_bench respond PROBE_MS BASE [BASE...]
//   tavrin_bench startup SETUP_EXE BARE_EXE ROUNDS
//   tavrin_bench setup_memory SETUP_EXE
//   tavrin_bench flush PAYLOAD ROUNDS
#include "bench/figures.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

int Usage() {
    std::fputs("usage: tavrin_bench download HTTP_BASE HTTPS_BASE ROUNDS\n"
               "       tavrin_bench hash PATH ROUNDS\n"
               "       tavrin_bench install RELEASE_BASE SHA256 ROUNDS\n"
               "       tavrin_bench models MODEL_BASE ROUNDS DIGEST DIGEST DIGEST DIGEST DIGEST\n"
               "       tavrin_bench models_present MODEL_FOLDER ROUNDS DIGEST DIGEST DIGEST DIGEST DIGEST\n"
               "       tavrin_bench flaky URL SIZE ROUNDS\n"
               "       tavrin_bench respond PROBE_MS BASE [BASE...]\n"
               "       tavrin_bench startup SETUP_EXE BARE_EXE ROUNDS\n"
               "       tavrin_bench setup_memory SETUP_EXE\n"
               "       tavrin_bench flush PAYLOAD ROUNDS\n",
               stderr);
    return 2;
}

int Count(const wchar_t* text) {
    const int value = _wtoi(text);
    return value > 0 && value <= 50 ? value : 0;
}

}  // namespace

void EmitSample(const char* figure, const char* contender, double seconds) {
    std::printf("sample %s %s %.6f\n", figure, contender, seconds);
    std::fflush(stdout);
}

void EmitValue(const char* key, double value) {
    std::printf("value %s %.6f\n", key, value);
    std::fflush(stdout);
}

void EmitNote(const std::string& text) {
    std::printf("note %s\n", text.c_str());
    std::fflush(stdout);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    // The wizard's thread is a single-threaded apartment in the program as well.
    CoInitialize(nullptr);
    int result = 2;
    const wchar_t* figure = argv[1];
    if (wcscmp(figure, L"download") == 0 && argc == 5 && Count(argv[4])) {
        result = RunDownloadFigure(argv[2], argv[3], Count(argv[4]));
    } else if (wcscmp(figure, L"hash") == 0 && argc == 4 && Count(argv[3])) {
        result = RunHashFigure(argv[2], Count(argv[3]));
    } else if (wcscmp(figure, L"install") == 0 && argc == 5 && Count(argv[4])) {
        result = RunInstallFigure(argv[2], argv[3], Count(argv[4]));
    } else if (wcscmp(figure, L"models") == 0 && argc == 9 && Count(argv[3])) {
        result = RunModelsFigure(argv[2], argv + 4, Count(argv[3]));
    } else if (wcscmp(figure, L"models_present") == 0 && argc == 9 && Count(argv[3])) {
        result = RunModelsPresentFigure(argv[2], argv + 4, Count(argv[3]));
    } else if (wcscmp(figure, L"flaky") == 0 && argc == 5 && Count(argv[4])) {
        result = RunFlakyFigure(argv[2], _wcstoui64(argv[3], nullptr, 10), Count(argv[4]));
    } else if (wcscmp(figure, L"respond") == 0 && argc >= 4 && Count(argv[2])) {
        result = RunRespondFigure(argv + 3, argc - 3, static_cast<unsigned>(Count(argv[2])));
    } else if (wcscmp(figure, L"startup") == 0 && argc == 5 && Count(argv[4])) {
        result = RunStartupFigure(argv[2], argv[3], Count(argv[4]));
    } else if (wcscmp(figure, L"flush") == 0 && argc == 4 && Count(argv[3])) {
        result = RunFlushFigure(argv[2], Count(argv[3]));
    } else if (wcscmp(figure, L"setup_memory") == 0 && argc == 3) {
        result = RunSetupMemoryFigure(argv[2]);
    } else {
        result = Usage();
    }
    CoUninitialize();
    return result;
}

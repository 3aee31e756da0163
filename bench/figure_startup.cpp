// Start-up: the time from process creation to the end of the first paint of the window, for
// TavrinSetup.exe (the wizard on its licence page) against the bare window program (one class,
// one 600 x 520 window painted once), started in turns in the same run. Both are watched from
// outside in the same way (WatchedProcess): first until the program has painted, then until the
// display shows it. The peak working set of each at its first paint is taken as well.
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/watched_process.h"

#include <string>

namespace {

constexpr DWORD PAINT_TIMEOUT_MS = 60000;
constexpr DWORD SHOWN_TIMEOUT_MS = 5000;
constexpr DWORD CLOSE_TIMEOUT_MS = 10000;
// Between two starts: the ended program's Wine process has gone and the wineserver is idle.
constexpr DWORD SETTLE_MS = 300;
// Both programs' first paint fills this client pixel with the wizard's background colour.
constexpr POINT BACKGROUND_POINT{1, 1};
constexpr COLORREF BACKGROUND = RGB(22, 24, 26);

struct Contender {
    const char* name;
    std::wstring exe;
    const wchar_t* windowClass;
};

// Seconds from process creation; negative when the start failed.
struct StartTimes {
    double painted = -1.0;  // to the end of the first paint, in the program
    double shown = -1.0;    // to the painted window on the display
};

// One start, watched until the display shows the window, then closed. With memoryKey, the
// process's peak working set right after its first paint is emitted under that key.
StartTimes TimedStart(const Contender& contender, const char* memoryKey) {
    StartTimes times;
    WatchedProcess program(contender.exe);
    if (!program.started()) {
        EmitNote(std::string("could not start the ") + contender.name + " program");
        return times;
    }
    const int64_t painted = program.WaitForFirstPaint(contender.windowClass, PAINT_TIMEOUT_MS);
    PROCESS_MEMORY_COUNTERS counters;
    if (painted >= 0 && memoryKey && program.Memory(counters)) {
        EmitValue(memoryKey, static_cast<double>(counters.PeakWorkingSetSize));
    }
    const int64_t shown = painted >= 0 ? program.WaitUntilShown(BACKGROUND_POINT, BACKGROUND, SHOWN_TIMEOUT_MS) : -1;
    const bool closed = program.Close(CLOSE_TIMEOUT_MS);
    Sleep(SETTLE_MS);
    if (painted < 0 || shown < 0) {
        EmitNote(std::string("the ") + contender.name + " program's window was not " +
                 (painted < 0 ? "painted" : "shown") + " in time");
        return times;
    }
    if (!closed) {
        EmitNote(std::string("the ") + contender.name + " program did not end on WM_CLOSE");
        return times;
    }
    times.painted = SecondsBetween(program.startCounter(), painted);
    times.shown = SecondsBetween(program.startCounter(), shown);
    return times;
}

}  // namespace

int RunStartupFigure(const wchar_t* setupExe, const wchar_t* bareExe, int rounds) {
    const Contender contenders[2] = {
        {"setup", setupExe, L"TavrinSetupWnd"},
        {"bare", bareExe, L"TavrinBareWindow"},
    };
    // One start of each that is not counted: the first start of a program under Wine reads its
    // files and the prefix's fonts and registry from disk.
    for (const Contender& contender : contenders) {
        if (TimedStart(contender, nullptr).painted < 0) return 1;
    }
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        // Turns: the first of a round alternates, so neither always follows the other.
        const int first = round % 2;
        StartTimes times[2];
        for (const int index : {first, 1 - first}) {
            const std::string memoryKey =
                std::string("memory.first_paint.") + contenders[index].name + ".peak_working_set";
            times[index] = TimedStart(contenders[index], round == 0 ? memoryKey.c_str() : nullptr);
        }
        // Both or neither: the results pair the two samples of each round.
        if (times[0].painted < 0 || times[1].painted < 0) {
            ++failures;
            continue;
        }
        for (int index = 0; index < 2; ++index) {
            EmitSample("startup.painted", contenders[index].name, times[index].painted);
            EmitSample("startup.shown", contenders[index].name, times[index].shown);
        }
    }
    return failures == 0 ? 0 : 1;
}

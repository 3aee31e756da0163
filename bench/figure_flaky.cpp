// Flaky host: DownloadToFile of the payload through the host's cut fault, which resets the
// connection a quarter of the way into each of the first three responses; the bytes the host sent
// for it, over the payload's size. Each round asks for a URL of its own (a query the host's file
// lookup ignores), since the host counts the requests of each URL.
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "engine/download.h"
#include "tests/support/testbed.h"
#include "tests/support/thread_run.h"

#include <windows.h>

#include <string>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 900000;

}  // namespace

int RunFlakyFigure(const wchar_t* url, uint64_t size, int rounds) {
    const std::wstring target = TempFilePath(L"tavrin_bench_flaky.bin");
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::wstring roundUrl = std::wstring(url) + L"?round=" + std::to_wstring(GetTickCount64());
        DeleteFileW(target.c_str());
        bool succeeded = false;
        double seconds = -1.0;
        const bool ended = RunOnThread(
            [&] {
                wchar_t error[256] = {};
                const int64_t start = CounterNow();
                succeeded = DownloadToFile(roundUrl.c_str(), target.c_str(), error, 256);
                seconds = SecondsBetween(start, CounterNow());
            },
            RUN_TIMEOUT_MS);
        if (!ended || !succeeded) {
            EmitNote("the flaky download did not complete");
            ++failures;
            continue;
        }
        const std::string narrow = Narrow(roundUrl);
        const std::string pathAndQuery = narrow.substr(narrow.find('/', narrow.find("://") + 3));
        EmitSample("flaky", "product", seconds);
        EmitValue(("flaky.ratio." + std::to_string(round)).c_str(),
                  static_cast<double>(testbed::HostBytesSent(pathAndQuery)) / static_cast<double>(size));
    }
    DeleteFileW(target.c_str());
    return failures == 0 ? 0 : 1;
}

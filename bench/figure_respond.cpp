// Window responsiveness during a full-speed download: a prober thread posts a message carrying
// the performance counter every few milliseconds to the real wizard window while DownloadToFile
// fetches the 1 GiB body and reports to it; the window thread takes the delay of each at its
// handling. The worker's report rate is counted from the post times of its WM_SETUP_STATUS.
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/wizard_host.h"
#include "engine/download.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 600000;

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return -1.0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least fraction of the samples at or below it.
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

// The largest number of post times within any window of windowMs (inclusive start, exclusive
// end), the times being in posting order.
size_t MostInWindow(const std::vector<DWORD>& times, DWORD windowMs) {
    size_t most = 0;
    size_t first = 0;
    for (size_t last = 0; last < times.size(); ++last) {
        while (times[last] - times[first] >= windowMs) ++first;
        most = std::max(most, last - first + 1);
    }
    return most;
}

// CPU time (user and kernel) of the calling thread so far, milliseconds.
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

}  // namespace

int RunRespondFigure(const wchar_t* const* bases, int count, unsigned probePeriodMs) {
    WizardHost host;
    if (!host.ok()) {
        EmitNote("the wizard window could not be created");
        return 1;
    }
    const std::wstring target = TempFilePath(L"tavrin_bench_body.bin");
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring url = std::wstring(bases[i]) + L"body.bin";
        const std::string key = std::string("respond.") + (url.rfind(L"https:", 0) == 0 ? "https" : "http");
        DeleteFileW(target.c_str());
        host.EnterProgressPage();
        host.ClearRecords();
        const double cpuBefore = ThreadCpuMs();
        host.StartProbing(probePeriodMs);
        bool succeeded = false;
        double seconds = 0;
        const bool ended = RunOnThread(
            [&] {
                wchar_t error[256] = {};
                const int64_t start = CounterNow();
                succeeded = DownloadToFile(url.c_str(), target.c_str(), error, 256);
                seconds = SecondsBetween(start, CounterNow());
            },
            RUN_TIMEOUT_MS);
        host.StopProbing();
        host.LeaveProgressPage();
        DeleteFileW(target.c_str());
        if (!ended || !succeeded) {
            ++failures;
            EmitNote(key + ": the download failed");
            continue;
        }
        const std::vector<double>& delays = host.probeDelaysMs();
        EmitValue((key + ".seconds").c_str(), seconds);
        EmitValue((key + ".probes").c_str(), static_cast<double>(delays.size()));
        EmitValue((key + ".probe_p50_ms").c_str(), Percentile(delays, 0.50));
        EmitValue((key + ".probe_p99_ms").c_str(), Percentile(delays, 0.99));
        EmitValue((key + ".probe_max_ms").c_str(), Percentile(delays, 1.0));
        std::vector<double> statusDelays(host.statusDelaysMs().begin(), host.statusDelaysMs().end());
        EmitValue((key + ".status_delay_max_ms").c_str(), Percentile(statusDelays, 1.0));
        const std::vector<DWORD>& posts = host.statusPostTimes();
        EmitValue((key + ".status_posts").c_str(), static_cast<double>(posts.size()));
        EmitValue((key + ".progress_posts").c_str(), static_cast<double>(host.progressCount()));
        EmitValue((key + ".status_most_in_1s").c_str(), static_cast<double>(MostInWindow(posts, 1000)));
        EmitValue((key + ".status_per_s").c_str(), seconds > 0 ? static_cast<double>(posts.size()) / seconds : 0);
        const std::vector<double>& paints = host.paintMs();
        double paintTotal = 0;
        for (double ms : paints) paintTotal += ms;
        EmitValue((key + ".paints").c_str(), static_cast<double>(paints.size()));
        EmitValue((key + ".paint_p50_ms").c_str(), Percentile(paints, 0.50));
        EmitValue((key + ".paint_max_ms").c_str(), Percentile(paints, 1.0));
        EmitValue((key + ".paint_total_ms").c_str(), paintTotal);
        EmitValue((key + ".window_thread_cpu_ms").c_str(), (ThreadCpuMs() - cpuBefore));
    }
    return failures == 0 ? 0 : 1;
}

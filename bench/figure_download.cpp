// Download: DownloadToFile, reporting to the real wizard window, against the bare WinHTTP loop,
// on the same 1 GiB body from the same host, into the same file of the prefix's drive. A third
// contender, DownloadToFile with the wizard hidden, tells what the drawing of the reports costs
// apart from the reports themselves.
#include "bench/bare_loops.h"
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "bench/wizard_host.h"
#include "engine/download.h"
#include "engine/install_state.h"

#include <string>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 600000;

enum class Contender { Product, Bare, ProductUnpainted };

const char* ContenderName(Contender contender) {
    switch (contender) {
    case Contender::Product: return "product";
    case Contender::Bare: return "bare";
    case Contender::ProductUnpainted: return "product_unpainted";
    }
    return "?";
}

// One timed download into target (deleted before and after). Every contender checks the stored
// length against Content-Length. ProductUnpainted is DownloadToFile with the wizard hidden: its
// reports are handled as always, but nothing is drawn. Seconds, or a negative value when the
// download failed.
double TimedDownload(WizardHost& host, Contender contender, const std::wstring& url, const std::wstring& target) {
    DeleteFileW(target.c_str());
    double seconds = -1.0;
    bool succeeded = false;
    host.SetVisible(contender != Contender::ProductUnpainted);
    host.EnterProgressPage();
    const bool ended = RunOnThread(
        [&] {
            const int64_t start = CounterNow();
            if (contender == Contender::Bare) {
                succeeded = BareDownload(url.c_str(), target.c_str()) >= 0;
            } else {
                wchar_t error[256] = {};
                succeeded = DownloadToFile(url.c_str(), target.c_str(), error, 256);
            }
            seconds = SecondsBetween(start, CounterNow());
        },
        RUN_TIMEOUT_MS);
    host.LeaveProgressPage();
    host.SetVisible(true);
    DeleteFileW(target.c_str());
    if (!ended || !succeeded) return -1.0;
    return seconds;
}

}  // namespace

int RunDownloadFigure(const wchar_t* httpBase, const wchar_t* httpsBase, int rounds) {
    WizardHost host;
    if (!host.ok()) {
        EmitNote("the wizard window could not be created");
        return 1;
    }
    const std::wstring target = TempFilePath(L"tavrin_bench_body.bin");
    struct Scheme {
        const char* figure;
        std::wstring base;
    } schemes[] = {{"download.http", httpBase}, {"download.https", httpsBase}};

    // Warm-up, untimed: loads the HTTP stack, TLS and the painting path once for both.
    for (const Scheme& scheme : schemes) {
        for (Contender contender : {Contender::Product, Contender::Bare}) {
            if (TimedDownload(host, contender, scheme.base + L"small.bin", target) < 0) {
                EmitNote("warm-up download failed: " + Narrow(scheme.base) + "small.bin");
                return 1;
            }
        }
    }

    const Contender contenders[] = {Contender::Product, Contender::Bare, Contender::ProductUnpainted};
    constexpr int CONTENDER_COUNT = 3;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const Scheme& scheme : schemes) {
            // Rotate who goes first, so that drift over the run favours none of them.
            for (int slot = 0; slot < CONTENDER_COUNT; ++slot) {
                const Contender contender = contenders[(slot + round) % CONTENDER_COUNT];
                const double seconds = TimedDownload(host, contender, scheme.base + L"body.bin", target);
                if (seconds < 0) {
                    ++failures;
                    EmitNote(std::string(scheme.figure) + " " + ContenderName(contender) + " run failed");
                    continue;
                }
                EmitSample(scheme.figure, ContenderName(contender), seconds);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}

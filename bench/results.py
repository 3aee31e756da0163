#!/usr/bin/env python3
"""Turns the raw lines of one benchmark run into bench/RESULTS.md.

    results.py RAW MACHINE OUT_MD

RAW holds the lines of tavrin_bench and native_times.py ("sample FIGURE CONTENDER SECONDS",
"value KEY NUMBER", "note TEXT"); MACHINE holds "key text" lines written by run.sh (the
"exe.check" lines, the executable check's output, may repeat). Contenders run next to each other
in every round; a verdict is taken on the median of the per-round ratios, reported with their
interquartile range. bench/findings.md, when present, is appended as the discussion of the
figures.
"""

import os
import statistics
import sys
from collections import defaultdict

MIB = 1 << 20


METHOD = """## How it is measured

- Everything Windows runs under Wine in a private prefix of the test bed (`tests/bed/setup.sh`):
  Xvfb, and the local release host (`tests/bed/release_host.py`) on loopback, over HTTP and
  over HTTPS with the run's CA trusted in the prefix. One process of `tavrin_bench.exe` per figure.
- The engine reports to the real wizard window: the program's own window procedure, controls,
  fonts, logo and painting, shown on the bed's display, pumped on the main thread while the
  contender runs on a thread of its own. The bare loops make the same platform calls as the
  product with nothing posted.
- Contenders alternate (the download's three rotate) within each round. A ratio is taken in
  each round between the contenders of that round; the verdict is on the median of these
  per-round ratios, given with their interquartile range (IQR: first to third quartile). Times
  are `QueryPerformanceCounter` around the call on the contender's thread; the whole install runs
  from the worker's start to the wizard's handling of `WM_SETUP_DONE` 1.
- Downloads land in the prefix's temporary folder (a real disk file) and are deleted after each
  run. Verification hashes the 1 GiB body after one read that puts it in the page cache; the
  native tools hash the same file.
- The whole install uses a scratch `USERPROFILE` and install folder, both removed before every
  run, so that every run fetches all five models and extracts into a new folder. Its parts:
  bare downloads of the manifest, the payload and each model, one bare hash of the payload, one
  run of the same `tar.exe` (the bed's bsdtar in the prefix's system folder) on it.
- Model stage: `ProvisionModels` on a thread of its own from an empty model folder (scratch
  `USERPROFILE`), the wizard on its progress page, once with the five digests a manifest of the
  release tool carries (each model hashed while it downloads, checked before its rename) and
  once without; the same five models of the whole-install figure over HTTPS. Runs that leave a
  model missing do not count.
- Responsiveness: a thread posts a message carrying the performance counter every 2 ms; the
  window thread takes the delay at its handling. The report rate counts the post times
  (`GetMessageTime`) of the worker's `WM_SETUP_STATUS` in any 1 s window.
- Start-up: the benchmark program starts `TavrinSetup.exe` and the bare window program in
  turns with `CreateProcessW` (one uncounted start of each first), reading the performance
  counter just before the call, and watches each from outside; neither carries any hook. It
  polls every millisecond for the program's visible window (`FindWindowExW` by class, owned by
  the new process) until neither the window nor any visible child has an update region left
  (`GetUpdateRect` with no erase only asks the server: every `WM_PAINT` has been taken, since
  `BeginPaint` validates), then sends `WM_NULL` (`SendMessageTimeoutW`): it comes back once the
  window's thread has returned from those paints to its message loop. That moment, with still
  nothing left to paint, is the end of the first paint ("painted"). It then reads the screen
  pixel at client point (1, 1) every millisecond until it shows the background colour
  RGB(22, 24, 26) that both programs paint there ("shown": Wine has copied the window's surface
  to the X display). The program is then closed with `WM_CLOSE` and must end by itself.
- Memory of `TavrinSetup.exe` itself: `GetProcessMemoryInfo` on the handle of the started
  program. For the finished page the program is driven through its wizard from outside as a
  user would (agree, next, a scratch install folder and `USERPROFILE`, "설치 후 바로 실행"
  unticked, "설치") against the run's release (the same payload and models as the whole-install
  figure, at the release host's root, which the build names), and the counters are read when
  the primary button reads "실행". Under Wine the working set is that of the whole Wine process
  of the program (its Unix resident set), loader and system libraries included.
""".split("\n")


def parse(raw_path, machine_path):
    samples = defaultdict(list)
    values = {}
    notes = []
    with open(raw_path, encoding="utf-8", errors="replace") as raw:
        for line in raw:
            parts = line.rstrip("\r\n").split(" ", 3)
            if parts[0] == "sample" and len(parts) == 4:
                samples[(parts[1], parts[2])].append(float(parts[3]))
            elif parts[0] == "value" and len(parts) >= 3:
                values[parts[1]] = float(parts[2])
            elif parts[0] == "note":
                notes.append(line.rstrip("\r\n")[5:])
    machine = {"exe.check": []}
    with open(machine_path, encoding="utf-8") as text:
        for line in text:
            key, _, rest = line.rstrip("\n").partition(" ")
            if key == "exe.check":
                machine[key].append(rest)
            else:
                machine[key] = rest
    return samples, values, notes, machine


def median(samples, key):
    runs = samples.get(key)
    return statistics.median(runs) if runs else None


def fmt(value, digits=2, unit=""):
    return "n/a" if value is None else ("%.*f%s" % (digits, value, unit))


def rate(nbytes, seconds):
    return None if not seconds else nbytes / MIB / seconds


def timing(nbytes, seconds):
    """"4.68 s (219 MiB/s)", or "n/a"."""
    return "n/a" if seconds is None else "%.2f s (%.0f MiB/s)" % (seconds, rate(nbytes, seconds))


class Paired:
    """The per-round ratios a_i / b_i of two contenders (each round's ran next to each other):
    median, first and third quartile, and the number of rounds."""

    def __init__(self, ratios):
        self.rounds = len(ratios)
        self.median = statistics.median(ratios)
        if len(ratios) > 1:
            self.q1, _, self.q3 = statistics.quantiles(ratios, n=4, method="inclusive")
        else:
            self.q1 = self.q3 = ratios[0]

    def text(self, digits=3):
        return "%.*f (IQR %.*f-%.*f, %d round%s)" % (digits, self.median, digits, self.q1, digits, self.q3,
                                                     self.rounds, "" if self.rounds == 1 else "s")


def paired(samples, key_a, key_b):
    """Paired ratios of the runs of key_a over those of key_b, or None when there are none or
    the runs cannot be matched round by round (a run failed, so the counts differ)."""
    a, b = samples.get(key_a, []), samples.get(key_b, [])
    if not a or len(a) != len(b) or not all(b):
        return None
    return Paired([x / y for x, y in zip(a, b)])


def pair_text(pair, digits=3):
    return "n/a" if pair is None else pair.text(digits)


def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "**short**")


def ratio_verdict(pair, meets):
    """Verdict on the median of the per-round ratios; says so when the quartile on the wrong side
    of the goal does not meet it, so that a marginal result reads as one."""
    if pair is None:
        return "n/a"
    if not meets(pair.median):
        return "**short**"
    return "met" if meets(pair.q1) and meets(pair.q3) else "met (the IQR crosses the goal)"


def spread_ms(runs):
    """"512 ms (IQR 500-530)" of runs in seconds, or "n/a"."""
    if not runs:
        return "n/a"
    pair = Paired(runs)
    return "%.0f ms (IQR %.0f-%.0f)" % (pair.median * 1000, pair.q1 * 1000, pair.q3 * 1000)


def mib(value):
    return fmt(value / MIB if value else None, 1, " MiB")


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    samples, values, notes, machine = parse(sys.argv[1], sys.argv[2])
    body = int(machine.get("data.body", 1 << 30))
    payload = int(machine.get("data.payload", 0))
    models = int(machine.get("data.models", 0))

    def runs(key):
        return ", ".join("%.2f" % s for s in samples.get(key, [])) or "none"

    summary = []  # (figure, measured, goal, verdict)
    lines = []

    # Download.
    lines += ["## Download (1 GiB body, `DownloadToFile` against the bare WinHTTP loop)", "",
              "| Scheme | product (wizard shown) | bare loop | bare time / product time, per round "
              "| product, wizard hidden | bare time / hidden product time, per round | curl (native, context) |",
              "|---|---|---|---|---|---|---|"]
    for scheme in ("http", "https"):
        product = median(samples, ("download." + scheme, "product"))
        bare = median(samples, ("download." + scheme, "bare"))
        hidden = median(samples, ("download." + scheme, "product_unpainted"))
        curl = median(samples, ("native", "curl." + scheme))
        per_round = paired(samples, ("download." + scheme, "bare"), ("download." + scheme, "product"))
        hidden_round = paired(samples, ("download." + scheme, "bare"), ("download." + scheme, "product_unpainted"))
        lines.append("| %s | %s | %s | **%s** | %s | %s | %s |" % (
            scheme.upper(), timing(body, product), timing(body, bare), pair_text(per_round),
            timing(body, hidden), pair_text(hidden_round), timing(body, curl)))
        summary.append(("Download over %s: product throughput / bare loop, per round" % scheme.upper(),
                        pair_text(per_round), "at least 0.95", ratio_verdict(per_round, lambda r: r >= 0.95)))
    lines += ["", "Runs in seconds, in order:", ""]
    for scheme in ("http", "https"):
        for who in ("product", "bare", "product_unpainted"):
            lines.append("- %s %s: %s" % (scheme.upper(), who, runs(("download." + scheme, who))))
    lines.append("")

    # Verification.
    product = median(samples, ("hash", "product"))
    bare = median(samples, ("hash", "bare"))
    per_round = paired(samples, ("hash", "bare"), ("hash", "product"))
    sha = median(samples, ("native", "sha256sum"))
    ossl = median(samples, ("native", "openssl"))
    lines += ["## Verification (SHA-256 of the 1 GiB body, from the page cache)", "",
              "| Contender | median |", "|---|---|",
              "| `HashFileSha256` (what `VerifyPayload` runs) | %s |" % timing(body, product),
              "| bare BCrypt loop, same 1 MiB buffer | %s |" % timing(body, bare),
              "| bare time / product time, per round | **%s** |" % pair_text(per_round),
              "| `sha256sum` (native, context) | %s |" % timing(body, sha),
              "| `openssl dgst -sha256` (native, context) | %s |" % timing(body, ossl),
              "", "Runs in seconds: product %s; bare %s." % (runs(("hash", "product")), runs(("hash", "bare"))), ""]
    summary.append(("Verification: product throughput / bare loop, per round", pair_text(per_round), "at least 0.95",
                    ratio_verdict(per_round, lambda r: r >= 0.95)))

    # Whole install.
    whole = median(samples, ("install", "whole"))
    parts = median(samples, ("install", "parts"))
    per_round = paired(samples, ("install", "whole"), ("install", "parts"))
    lines += ["## Whole install (%.0f MiB payload, five models of %.0f MiB together, HTTPS)" % (payload / MIB, models / MIB), "",
              "| | median |", "|---|---|",
              "| `InstallWorker`, start to `WM_SETUP_DONE` 1 handled by the wizard | %s s |" % fmt(whole),
              "| sum of the parts, same run | %s s |" % fmt(parts),
              "| whole / sum of parts, per round | **%s** |" % pair_text(per_round), "",
              "Runs in seconds: whole %s; sum of parts %s." % (runs(("install", "whole")), runs(("install", "parts"))), "",
              "Parts (medians): " + "; ".join(
                  "%s %s s" % (part, fmt(median(samples, ("install.part", part))))
                  for part in dict.fromkeys(k[1] for k in samples if k[0] == "install.part")) + ".", ""]
    summary.append(("Whole install: whole / sum of parts, per round", pair_text(per_round), "at most 1.10",
                    ratio_verdict(per_round, lambda r: r <= 1.10)))

    # Model stage.
    with_digests = median(samples, ("models", "digests"))
    without = median(samples, ("models", "none"))
    per_round = paired(samples, ("models", "digests"), ("models", "none"))
    lines += ["## Model stage with digests (five models of %.0f MiB together, HTTPS)" % (models / MIB), "",
              "| `ProvisionModels` | median |", "|---|---|",
              "| with the five digests (hashed while downloading) | %s |" % timing(models, with_digests),
              "| without digests | %s |" % timing(models, without),
              "| with / without, per round | **%s** |" % pair_text(per_round), "",
              "Runs in seconds: with digests %s; without %s." % (runs(("models", "digests")), runs(("models", "none"))),
              ""]
    summary.append(("Model stage: with digests / without, per round", pair_text(per_round), "at most 1.05",
                    ratio_verdict(per_round, lambda r: r <= 1.05)))

    # Models present.
    per_round = paired(samples, ("models_present", "stage"), ("models_present", "bare"))
    lines += ["## Model stage with every model present (five models of %.0f MiB together, digests published)"
              % (models / MIB), "",
              "| Contender | median |", "|---|---|",
              "| `ProvisionModels`, all five present and whole | %s |"
              % timing(models, median(samples, ("models_present", "stage"))),
              "| bare BCrypt loop over the same five files | %s |"
              % timing(models, median(samples, ("models_present", "bare"))),
              "| stage / bare, per round | **%s** |" % pair_text(per_round), "",
              "Runs in seconds: stage %s; bare %s." % (runs(("models_present", "stage")),
                                                       runs(("models_present", "bare"))), ""]
    summary.append(("Models present: stage / bare BCrypt loop, per round", pair_text(per_round), "at most 1.10",
                    ratio_verdict(per_round, lambda r: r <= 1.10)))

    # Flaky host.
    ratios = [value for key, value in sorted(values.items()) if key.startswith("flaky.ratio.")]
    worst = max(ratios) if ratios else None
    lines += ["## Flaky host (the %.0f MiB payload cut three times, HTTPS)" % (payload / MIB), "",
              "Bytes the host sent over the payload's size, per download: %s; download times in seconds: %s."
              % (", ".join("%.4f" % r for r in ratios) or "none", runs(("flaky", "product"))), ""]
    summary.append(("Flaky host: bytes received / size, three cuts (worst download)", fmt(worst, 4), "at most 1.02",
                    verdict(None if worst is None else worst <= 1.02)))

    # Responsiveness.
    lines += ["## Window responsiveness during a full-speed 1 GiB `DownloadToFile`", "",
              "| Scheme | download | probes | handling delay p50 | p99 | max | worker reports | most reports in any 1 s "
              "| reports per s | repaints (median ms each) |",
              "|---|---|---|---|---|---|---|---|---|---|"]
    for scheme in ("https", "http"):
        k = "respond." + scheme + "."
        if k + "probes" not in values:
            continue
        lines.append("| %s | %s s | %d | %s ms | %s ms | %s ms | %d | %d | %s | %d (%s ms) |" % (
            scheme.upper(), fmt(values.get(k + "seconds")), values[k + "probes"], fmt(values.get(k + "probe_p50_ms")),
            fmt(values.get(k + "probe_p99_ms")), fmt(values.get(k + "probe_max_ms")), values.get(k + "status_posts", 0),
            values.get(k + "status_most_in_1s", 0), fmt(values.get(k + "status_per_s")), values.get(k + "paints", 0),
            fmt(values.get(k + "paint_p50_ms"))))
        p99 = values.get(k + "probe_p99_ms")
        most = values.get(k + "status_most_in_1s")
        summary.append(("Handling delay p99 (%s download)" % scheme.upper(), fmt(p99, 2, " ms"), "under 16 ms",
                        verdict(None if p99 is None else p99 < 16)))
        summary.append(("Status reports in any 1 s (%s download)" % scheme.upper(), "%d" % most if most is not None else "n/a",
                        "at most 7", verdict(None if most is None else most <= 7)))
    lines.append("")

    # Start-up.
    painted = paired(samples, ("startup.painted", "setup"), ("startup.painted", "bare"))
    shown = paired(samples, ("startup.shown", "setup"), ("startup.shown", "bare"))
    lines += ["## Start-up (process creation to the first paint of the window)", "",
              "| Program | to the end of the first paint | to the window on the display |", "|---|---|---|",
              "| `TavrinSetup.exe`, licence page | %s | %s |" % (
                  spread_ms(samples.get(("startup.painted", "setup"))), spread_ms(samples.get(("startup.shown", "setup")))),
              "| bare window program, 600 x 520 painted once | %s | %s |" % (
                  spread_ms(samples.get(("startup.painted", "bare"))), spread_ms(samples.get(("startup.shown", "bare")))),
              "| `TavrinSetup.exe` / bare, per round | **%s** | %s |" % (pair_text(painted, 2), pair_text(shown, 2)), "",
              "Runs in milliseconds, in order (setup; bare): painted %s; %s. Shown %s; %s." % tuple(
                  ", ".join("%.0f" % (s * 1000) for s in samples.get(key, [])) or "none"
                  for key in (("startup.painted", "setup"), ("startup.painted", "bare"),
                              ("startup.shown", "setup"), ("startup.shown", "bare"))), "",
              "Peak working set at the first paint: `TavrinSetup.exe` %s, bare window program %s." % (
                  mib(values.get("memory.first_paint.setup.peak_working_set")),
                  mib(values.get("memory.first_paint.bare.peak_working_set"))), ""]
    summary.append(("Start-up to the first paint: TavrinSetup.exe / bare window, per round", pair_text(painted, 2),
                    "at most 1.2", ratio_verdict(painted, lambda r: r <= 1.2)))

    # Executable and memory.
    size = int(machine.get("exe.size", 0))
    summary.append(("TavrinSetup.exe size, all resources", "%d bytes (%.1f KiB)" % (size, size / 1024),
                    "at most 150 KiB", verdict(size <= 150 * 1024 if size else None)))
    finished = values.get("memory.setup.finished_page.peak_working_set")
    summary.append(("Peak working set of TavrinSetup.exe at the finished page after a full install", mib(finished),
                    "(reported)", ""))
    peak = values.get("memory.after_first_install.peak_working_set")
    commit = values.get("memory.after_first_install.peak_pagefile")
    before = values.get("memory.before_install.peak_working_set")
    lines += ["## Executable and memory", "",
              "- `TavrinSetup.exe` of this build (Release, stripped, all resources): %d bytes; the executable "
              "check (`tests/tools/executable_check.py`) says:" % size, ""]
    lines += ["  ```"] + ["  " + line for line in machine["exe.check"]] + ["  ```", ""]
    lines += ["- `TavrinSetup.exe` itself, driven through a whole install (%s s from \"설치\" to the finished page): "
              "peak working set %s on the licence page and %s on the finished page (working set there %s, peak "
              "commit %s). The bare window program peaks at %s at its first paint: what any window program "
              "takes under Wine." % (
                  fmt(values.get("setup.install_seconds")), mib(values.get("memory.setup.licence_page.peak_working_set")),
                  mib(finished), mib(values.get("memory.setup.finished_page.working_set")),
                  mib(values.get("memory.setup.finished_page.peak_pagefile")),
                  mib(values.get("memory.first_paint.bare.peak_working_set"))),
              "- Peak working set of the benchmark process right after its first whole install (the whole-install "
              "figure, `InstallWorker` with the real wizard window in the benchmark program), before any bare loop "
              "ran in it: %s; peak commit %s. Before the install (wizard window created, nothing downloaded) the peak "
              "was %s, so the install itself added %s." % (
                  mib(peak), mib(commit), mib(before), mib(peak - before if peak and before else None)), ""]

    out = ["# Benchmark results", "",
           "Written by `bench/run.sh`; a new run replaces this file. Contenders run side by side, alternating, "
           "in every round of the same run; every verdict is on the median of the per-round ratios, given "
           "with their interquartile range.", "",
           "- Command: `%s`" % machine.get("run.command", "bench/run.sh"),
           "- Date: %s, commit %s" % (machine.get("run.date", "?"), machine.get("run.commit", "?")),
           "- Machine: %s cores (`nproc`), %s, %s memory; %s; %s" % (
               machine.get("machine.nproc", "?"), machine.get("machine.cpu", "?"), machine.get("machine.memory", "?"),
               machine.get("machine.wine", "?"), machine.get("machine.kernel", "?")),
           "- Load average before / after: %s / %s" % (machine.get("machine.load_before", "?"),
                                                       machine.get("machine.load_after", "?")),
           "", "## Summary", "", "| Figure | Measured | Goal | Verdict |", "|---|---|---|---|"]
    out += ["| %s | %s | %s | %s |" % row for row in summary]
    out.append("")
    out += lines
    out += METHOD
    if notes:
        out += ["## Notes from the run", ""] + ["- " + n for n in notes] + [""]
    findings = os.path.join(os.path.dirname(os.path.abspath(__file__)), "findings.md")
    if os.path.exists(findings):
        with open(findings, encoding="utf-8") as text:
            out += [text.read().rstrip("\n"), ""]
    with open(sys.argv[3], "w", encoding="utf-8") as md:
        md.write("\n".join(out))
    for row in summary:
        print("%-75s %-40s %-16s %s" % row)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Turns the raw lines of one benchmark run into bench/RESULTS.md.

    results.py RAW MACHINE OUT_MD

RAW holds the lines of tavrin_bench and native_times.py ("sample FIGURE CONTENDER SECONDS",
"value KEY NUMBER", "note TEXT"); MACHINE holds "key text" lines written by run.sh. Every ratio
is taken between medians of the same run. bench/findings.md, when present, is appended as the
discussion of the figures.
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
- Contenders alternate (the download's three rotate) within each round; a ratio is taken between
  the medians of the same run. Times are `QueryPerformanceCounter` around the call on the
  contender's thread; the whole install runs from the worker's start to the wizard's handling of
  `WM_SETUP_DONE` 1.
- Downloads land in the prefix's temporary folder (a real disk file) and are deleted after each
  run. Verification hashes the 1 GiB body after one read that puts it in the page cache; the
  native tools hash the same file.
- The whole install uses a scratch `USERPROFILE` and install folder, both removed before every
  run, so that every run fetches all five models and extracts into a new folder. Its parts:
  bare downloads of the manifest, the payload and each model, one bare hash of the payload, one
  run of the same `tar.exe` (the bed's stand-in in the prefix's system folder) on it.
- Responsiveness: a thread posts a message carrying the performance counter every 2 ms; the
  window thread takes the delay at its handling. The report rate counts the post times
  (`GetMessageTime`) of the worker's `WM_SETUP_STATUS` in any 1 s window.
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
    machine = {}
    with open(machine_path, encoding="utf-8") as text:
        for line in text:
            key, _, rest = line.rstrip("\n").partition(" ")
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


def paired(samples, key_a, key_b):
    """Median over the rounds of a_i / b_i: each round's contenders ran next to each other."""
    a, b = samples.get(key_a, []), samples.get(key_b, [])
    ratios = [x / y for x, y in zip(a, b) if y]
    return statistics.median(ratios) if ratios else None


def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "**short**")


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
              "| Scheme | product (wizard shown) | bare loop | ratio (bare time / product time) "
              "| same, median of per-round ratios | product, wizard hidden | ratio hidden | curl (native, context) |",
              "|---|---|---|---|---|---|---|---|"]
    for scheme in ("http", "https"):
        product = median(samples, ("download." + scheme, "product"))
        bare = median(samples, ("download." + scheme, "bare"))
        hidden = median(samples, ("download." + scheme, "product_unpainted"))
        curl = median(samples, ("native", "curl." + scheme))
        ratio = bare / product if product and bare else None
        hidden_ratio = bare / hidden if hidden and bare else None
        per_round = paired(samples, ("download." + scheme, "bare"), ("download." + scheme, "product"))
        lines.append("| %s | %s | %s | **%s** | %s | %s | %s | %s |" % (
            scheme.upper(), timing(body, product), timing(body, bare), fmt(ratio, 3), fmt(per_round, 3),
            timing(body, hidden), fmt(hidden_ratio, 3), timing(body, curl)))
        summary.append(("Download over %s: product throughput / bare loop" % scheme.upper(), fmt(ratio, 3),
                        "at least 0.95", verdict(None if ratio is None else ratio >= 0.95)))
    lines += ["", "Runs in seconds, in order:", ""]
    for scheme in ("http", "https"):
        for who in ("product", "bare", "product_unpainted"):
            lines.append("- %s %s: %s" % (scheme.upper(), who, runs(("download." + scheme, who))))
    lines.append("")

    # Verification.
    product = median(samples, ("hash", "product"))
    bare = median(samples, ("hash", "bare"))
    ratio = bare / product if product and bare else None
    sha = median(samples, ("native", "sha256sum"))
    ossl = median(samples, ("native", "openssl"))
    lines += ["## Verification (SHA-256 of the 1 GiB body, from the page cache)", "",
              "| Contender | median |", "|---|---|",
              "| `HashFileSha256` (what `VerifyPayload` runs) | %s |" % timing(body, product),
              "| bare BCrypt loop, same 1 MiB buffer | %s |" % timing(body, bare),
              "| ratio (bare time / product time) | **%s** |" % fmt(ratio, 3),
              "| `sha256sum` (native, context) | %s |" % timing(body, sha),
              "| `openssl dgst -sha256` (native, context) | %s |" % timing(body, ossl),
              "", "Runs in seconds: product %s; bare %s." % (runs(("hash", "product")), runs(("hash", "bare"))), ""]
    summary.append(("Verification: product throughput / bare loop", fmt(ratio, 3), "at least 0.95",
                    verdict(None if ratio is None else ratio >= 0.95)))

    # Whole install.
    whole = median(samples, ("install", "whole"))
    parts = median(samples, ("install", "parts"))
    ratio = whole / parts if whole and parts else None
    lines += ["## Whole install (%.0f MiB payload, five models of %.0f MiB together, HTTPS)" % (payload / MIB, models / MIB), "",
              "| | median |", "|---|---|",
              "| `InstallWorker`, start to `WM_SETUP_DONE` 1 handled by the wizard | %s s |" % fmt(whole),
              "| sum of the parts, same run | %s s |" % fmt(parts),
              "| ratio (whole / sum of parts) | **%s** |" % fmt(ratio, 3), "",
              "Runs in seconds: whole %s; sum of parts %s." % (runs(("install", "whole")), runs(("install", "parts"))), "",
              "Parts (medians): " + "; ".join(
                  "%s %s s" % (part, fmt(median(samples, ("install.part", part))))
                  for part in dict.fromkeys(k[1] for k in samples if k[0] == "install.part")) + ".", ""]
    summary.append(("Whole install: whole / sum of parts", fmt(ratio, 3), "at most 1.10",
                    verdict(None if ratio is None else ratio <= 1.10)))

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

    # Executable and memory.
    size = int(machine.get("exe.size", 0))
    summary.append(("TavrinSetup.exe size, all resources", "%d bytes (%.1f KiB)" % (size, size / 1024), "under 256 KiB",
                    verdict(size < 256 * 1024 if size else None)))
    peak = values.get("memory.after_first_install.peak_working_set")
    commit = values.get("memory.after_first_install.peak_pagefile")
    before = values.get("memory.before_install.peak_working_set")
    summary.append(("Peak working set of the process that ran an install", fmt(peak / MIB if peak else None, 1, " MiB"),
                    "(reported)", ""))
    lines += ["## Executable and memory", "",
              "- `TavrinSetup.exe` of this build (Release, stripped, all resources): %d bytes." % size,
              "- Peak working set (`GetProcessMemoryInfo`) of the benchmark process right after its first whole "
              "install, before any bare loop ran in it: %s MiB; peak commit %s MiB. Before the install (wizard "
              "window created, nothing downloaded) the peak was %s MiB, so the install itself added %s MiB. The "
              "process is the benchmark program running `InstallWorker` with the real wizard window, not "
              "`TavrinSetup.exe` itself; the engine and window code are the same, the program around them is larger." % (
                  fmt(peak / MIB if peak else None, 1), fmt(commit / MIB if commit else None, 1),
                  fmt(before / MIB if before else None, 1),
                  fmt((peak - before) / MIB if peak and before else None, 1)), ""]

    out = ["# Benchmark results", "",
           "Written by `bench/run.sh`; a new run replaces this file. Every ratio is taken between medians of "
           "contenders run side by side, alternating, in the same run.", "",
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
        print("%-60s %-24s %-14s %s" % row)
    return 0


if __name__ == "__main__":
    sys.exit(main())

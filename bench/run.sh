#!/usr/bin/env bash
# bench/run.sh: the benchmarks of the setup program, in one command.
#
# Builds the benchmark program (and the bed's tools), makes the data once (bench/make_data.py),
# sets up a test bed (a private Wine prefix, Xvfb and the local release host, see
# tests/bed/setup.sh), runs every figure with its contenders side by side, tears the bed down
# and writes bench/RESULTS.md (replacing the previous run's). Needs what tools/install-deps.sh
# installs, plus curl. Takes about fifteen minutes on two cores.
#
# Settings (environment):
#   TAVRIN_BENCH_BUILD_DIR   build folder (default build/bench)
#   TAVRIN_BENCH_HTTP_PORT   loopback port of the release host (default 47180; HTTPS is set below)
#   TAVRIN_BENCH_HTTPS_PORT  (default 47543; the port after it is taken by the bed as well)
#   TAVRIN_BENCH_DISPLAY     Xvfb display number (default 89)
#   TAVRIN_BENCH_ROUNDS      runs per contender for download and verification (default 5)
#   TAVRIN_BENCH_INSTALL_ROUNDS  runs per contender for the whole install (default 3)
#   TAVRIN_BENCH_MODEL_ROUNDS    runs per contender for the model stage, with models absent and
#                                present (default 10: one run of either varies by 15 % from the next)
#   TAVRIN_BENCH_FLAKY_ROUNDS    downloads of the payload through a host that cuts it three times
#                                (default 3)
#   TAVRIN_BENCH_STARTUP_ROUNDS  starts per contender for the start-up figure (default 20)
#   TAVRIN_BENCH_FIGURES     the figures to take, of: native hash download respond install models
#                            models_present flaky startup setup_memory (default all). A run of only some writes its results to
#                            the build folder's bench-out/RESULTS.md, not bench/RESULTS.md.
#   TAVRIN_BENCH_JOBS        build parallelism (default: nproc)
#   TAVRIN_BENCH_QUIET_WAIT  seconds to wait in all for the machine to quiet down before the
#                            figures (default 300; the load of other work spoils the figures)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build=${TAVRIN_BENCH_BUILD_DIR:-build/bench}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
http_port=${TAVRIN_BENCH_HTTP_PORT:-47180}
https_port=${TAVRIN_BENCH_HTTPS_PORT:-47543}
display=${TAVRIN_BENCH_DISPLAY:-89}
rounds=${TAVRIN_BENCH_ROUNDS:-5}
install_rounds=${TAVRIN_BENCH_INSTALL_ROUNDS:-3}
model_rounds=${TAVRIN_BENCH_MODEL_ROUNDS:-10}
flaky_rounds=${TAVRIN_BENCH_FLAKY_ROUNDS:-3}
startup_rounds=${TAVRIN_BENCH_STARTUP_ROUNDS:-20}
all_figures="native startup hash download respond install models models_present flaky setup_memory"
figures=${TAVRIN_BENCH_FIGURES:-$all_figures}
jobs=${TAVRIN_BENCH_JOBS:-$(nproc)}
quiet_wait=${TAVRIN_BENCH_QUIET_WAIT:-300}
bed=$build/benchbed
data=$build/bench-data
out=$build/bench-out
command_line="bench/run.sh"
for name in TAVRIN_BENCH_BUILD_DIR TAVRIN_BENCH_HTTP_PORT TAVRIN_BENCH_HTTPS_PORT TAVRIN_BENCH_DISPLAY \
            TAVRIN_BENCH_ROUNDS TAVRIN_BENCH_INSTALL_ROUNDS TAVRIN_BENCH_MODEL_ROUNDS TAVRIN_BENCH_FLAKY_ROUNDS \
            TAVRIN_BENCH_STARTUP_ROUNDS \
            TAVRIN_BENCH_FIGURES TAVRIN_BENCH_JOBS TAVRIN_BENCH_QUIET_WAIT; do
  [ -n "${!name:-}" ] && command_line="$name=${!name} $command_line"
done

for tool in cmake ninja python3 curl sha256sum openssl x86_64-w64-mingw32-g++-posix /usr/lib/wine/wine64; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (run tools/install-deps.sh; curl too)" >&2; exit 2; }
done

say() { echo "bench: $(date +%T) $*"; }

say "configure and build in $build"
cmake --preset mingw -B "$build" -DTAVRIN_BUILD_BENCH=ON \
  -DTAVRIN_TEST_HTTP_PORT="$http_port" -DTAVRIN_TEST_HTTPS_PORT="$https_port" -DTAVRIN_TEST_DISPLAY="$display" \
  -DTAVRIN_RELEASE_BASE="https://localhost:$https_port" >/dev/null
cmake --build "$build" -j"$jobs" --target tavrin_bench tavrin_bare_window trust_ca TavrinSetup
bench_exe=$build/bench/tavrin_bench.exe
setup_exe=$build/window/TavrinSetup.exe
bare_window_exe=$build/bench/tavrin_bare_window.exe
windows_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
# The bed's tar.exe is bsdtar, the same program the tests run, from its cache (built there if
# missing).
tar_exe=$(tests/bed/build-bsdtar.sh)
trust_exe=$build/tests/bed/trust_ca/trust_ca.exe

say "data in $data"
python3 bench/make_data.py "$data"

say "test bed in $bed"
trap '"$repo/tests/bed/teardown.sh" "$bed" >/dev/null 2>&1 || true' EXIT
TAVRIN_TESTBED_OWNER_PID=$$ TAVRIN_TESTBED_LIFETIME=3600 \
  tests/bed/setup.sh "$bed" "$tar_exe" "$trust_exe" "$http_port" "$https_port" "$display"

# The release host serves www; hard links put the data there without copying 2 GB.
www=$bed/www/bench
mkdir -p "$www/install/dist" "$www/install/models/auraface"
place() { ln -f "$1" "$2" 2>/dev/null || cp -f "$1" "$2"; }
place "$data/body.bin" "$www/body.bin"
place "$data/small.bin" "$www/small.bin"
place "$data/TavrinStudio.zip" "$www/install/dist/payload.zip"
for model in "$data"/models/*; do place "$model" "$www/install/models/auraface/"; done
sha256=$(cut -c1-64 "$data/TavrinStudio.zip.sha256")
printf '{\n  "version": "9.9.9",\n  "url": "https://localhost:%s/bench/install/dist/payload.zip",\n  "sha256": "%s"\n}\n' \
  "$https_port" "$sha256" >"$www/install/dist/latest.json"
# The same release at the host's root, where the TavrinSetup.exe of this build looks for it.
root_www=$bed/www
mkdir -p "$root_www/dist" "$root_www/models/auraface"
place "$data/TavrinStudio.zip" "$root_www/dist/TavrinStudio.zip"
for model in "$data"/models/*; do place "$model" "$root_www/models/auraface/"; done
printf '{\n  "version": "9.9.9",\n  "url": "https://localhost:%s/dist/TavrinStudio.zip",\n  "sha256": "%s"\n}\n' \
  "$https_port" "$sha256" >"$root_www/dist/latest.json"

http_base=http://127.0.0.1:$http_port/bench/
https_base=https://localhost:$https_port/bench/
body_windows=$(windows_path "$www/body.bin")
mkdir -p "$out"
raw=$out/raw.txt
: >"$raw"
status=0
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# Percent of all CPU time that was busy over the next 5 seconds (every process, ours included:
# between figures ours are idle).
busy_percent() {
  local a b
  read -r -a a < <(head -1 /proc/stat)
  sleep 5
  read -r -a b < <(head -1 /proc/stat)
  local total=0 idle i
  for i in 1 2 3 4 5 6 7 8; do total=$((total + b[i] - a[i])); done
  idle=$((b[4] - a[4] + b[5] - a[5]))
  echo $(( total > 0 ? 100 * (total - idle) / total : 0 ))
}

# Waits, out of the run's quiet_wait seconds, until other work leaves the machine (at most 20%
# busy); notes how busy it was when the figure started.
wait_quiet() {
  local busy
  busy=$(busy_percent)
  while [ "$busy" -gt 20 ] && [ "$quiet_wait" -gt 0 ]; do
    say "machine $busy% busy, waiting (${quiet_wait} s left)"
    sleep 10
    quiet_wait=$((quiet_wait - 15))
    busy=$(busy_percent)
  done
  echo "note $1 started with the machine $busy% busy" | tee -a "$raw"
}

# True when the figure is one of this run's.
wanted() { [[ " $figures " == *" $1 "* ]]; }

# figure NAME TIMEOUT ARGS...: one process of the benchmark program in the bed's prefix.
figure() {
  local name=$1 timeout=$2
  shift 2
  wanted "$name" || return 0
  wait_quiet "$name"
  say "$name"
  if ! TAVRIN_TESTBED=$bed TAVRIN_WINE_TIMEOUT=$timeout tests/bed/wine-run.sh "$bench_exe" "$name" "$@" \
       </dev/null | tee -a "$raw"; then
    echo "note figure $name failed" | tee -a "$raw"
    status=1
  fi
}

if wanted native; then
  wait_quiet native
  say "native tools (context)"
  python3 bench/native_times.py 3 "${http_base}body.bin" "${https_base}body.bin" "$bed/ca/ca.pem" \
    "$bed/prefix/drive_c/bench_curl.bin" "$www/body.bin" | tee -a "$raw" || status=1
fi
# Start-up first: the large transfers of the other figures leave the disk writing back for a while.
figure startup 900 "$(windows_path "$setup_exe")" "$(windows_path "$bare_window_exe")" "$startup_rounds"
figure hash 600 "$body_windows" "$rounds"
figure download 1200 "$http_base" "$https_base" "$rounds"
figure respond 600 2 "$https_base" "$http_base"
figure install 1500 "https://localhost:$https_port/bench/install/" "$sha256" "$install_rounds"
# The model stage with the digests a manifest of the release tool carries, in the setup
# program's model order (tools/release/layout.py).
model_digests=()
for model in $(python3 -c 'import sys; sys.path.insert(0, "tools/release"); import layout; print(*layout.MODEL_NAMES)'); do
  model_digests+=("$(sha256sum "$data/models/$model" | cut -c1-64)")
done
figure models 1200 "https://localhost:$https_port/bench/install/models/auraface/" "$model_rounds" "${model_digests[@]}"
figure models_present 900 "$(windows_path "$data/models")" "$model_rounds" "${model_digests[@]}"
# The payload cut three times, a quarter of the way into each of the first three responses.
payload_size=$(stat -c %s "$data/TavrinStudio.zip")
quarter=$((payload_size / 4))
figure flaky 900 "https://localhost:$https_port/_fault/cut=$quarter,$quarter,$quarter/bench/install/dist/payload.zip" \
  "$payload_size" "$flaky_rounds"
figure setup_memory 1200 "$(windows_path "$setup_exe")"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

{
  echo "machine.nproc $(nproc)"
  echo "machine.cpu $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "machine.memory $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "machine.wine $(/usr/lib/wine/wine64 --version)"
  echo "machine.kernel $(uname -sr)"
  echo "machine.load_before $load_before"
  echo "machine.load_after $load_after"
  echo "exe.size $(stat -c %s "$setup_exe")"
  # Its verdict is the summary's; a failed check must not stop the run here.
  { python3 tests/tools/executable_check.py "$setup_exe" --objdump x86_64-w64-mingw32-objdump || true; } |
    sed 's/^/exe.check /'
  echo "data.body $(stat -c %s "$data/body.bin")"
  echo "data.payload $(stat -c %s "$data/TavrinStudio.zip")"
  echo "data.models $(cat "$data"/models/* | wc -c)"
  echo "run.command $command_line"
  echo "run.date $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "run.commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
} >"$out/machine.txt"

say "tear down"
"$repo/tests/bed/teardown.sh" "$bed" >/dev/null 2>&1 || true
trap - EXIT

results=bench/RESULTS.md
[ "$figures" = "$all_figures" ] || results=$out/RESULTS.md
python3 bench/results.py "$raw" "$out/machine.txt" "$results"
say "figures in $results"
exit $status

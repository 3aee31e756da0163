#!/usr/bin/env bash
# teardown.sh TESTBED_DIR
#
# Stops what setup.sh started for TESTBED_DIR: the watchdog, the release host, Xvfb and the
# prefix's wineserver (with every Wine process of the prefix). Only processes named by the bed's
# pid files are signalled, and only while their command line still matches what was started.
# Leaves the folders for inspection (setup.sh removes them). Never fails.
set -u

[ $# -eq 1 ] || { echo "usage: $0 TESTBED_DIR" >&2; exit 0; }
bed=${1%/}
run=$bed/run
[ -n "$bed" ] || exit 0

# True when pid's command line contains every given word.
matches() {
  local pid=$1 cmdline
  shift
  cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || return 1
  for word in "$@"; do
    [[ "$cmdline" == *"$word"* ]] || return 1
  done
}

# stop PIDFILE WORD... : TERM, then KILL after 5 s, the process of the pid file if it matches.
stop() {
  local file=$1 pid
  shift
  [ -f "$file" ] || return 0
  pid=$(cat "$file" 2>/dev/null)
  if [[ "$pid" =~ ^[0-9]+$ ]] && matches "$pid" "$@"; then
    kill -TERM "$pid" 2>/dev/null
    # A stopped process may linger as a zombie until init reaps it; its command line is empty
    # by then, so the match (not kill -0) tells whether it is still running.
    for _ in $(seq 50); do
      matches "$pid" "$@" || break
      sleep 0.1
    done
    if matches "$pid" "$@"; then
      kill -KILL "$pid" 2>/dev/null
    fi
  fi
  rm -f -- "$file"
}

# The watchdog first, so that it does not start a second teardown meanwhile. When the watchdog
# itself runs this script it has already removed its pid file.
stop "$run/watchdog.pid" watchdog.sh "$bed"
stop "$run/host.pid" release_host.py "$bed/www"
display=$(cat "$run/display" 2>/dev/null || true)
if [[ "$display" =~ ^[0-9]+$ ]]; then
  stop "$run/xvfb.pid" Xvfb ":$display "
fi
if [ -d "$bed/prefix" ]; then
  WINEPREFIX=$bed/prefix timeout 30 /usr/lib/wine/wineserver -k >/dev/null 2>&1
  WINEPREFIX=$bed/prefix timeout 15 /usr/lib/wine/wineserver -w >/dev/null 2>&1
fi
exit 0

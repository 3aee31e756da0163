#!/usr/bin/env bash
# wine-run.sh EXE [ARGS...]
#
# Runs a Windows executable in the test bed's prefix (TAVRIN_TESTBED, set by ctest) with the
# bed's environment and a bounded run time: TAVRIN_WINE_TIMEOUT seconds (required; ctest passes
# each test's own limit), then TERM, and KILL 10 s later. The exit code is the program's (124 on
# timeout).
set -u
if [ $# -lt 1 ]; then
  echo "usage: TAVRIN_WINE_TIMEOUT=SECONDS $0 EXE [ARGS...]" >&2
  exit 2
fi
if [ -z "${TAVRIN_TESTBED:-}" ] || [ ! -f "$TAVRIN_TESTBED/env" ]; then
  echo "wine-run: no test bed at '${TAVRIN_TESTBED:-}' (TAVRIN_TESTBED unset or setup.sh not run)" >&2
  exit 2
fi
if ! [[ "${TAVRIN_WINE_TIMEOUT:-}" =~ ^[1-9][0-9]*$ ]]; then
  echo "wine-run: TAVRIN_WINE_TIMEOUT must give the run's limit in seconds (got '${TAVRIN_WINE_TIMEOUT:-}')" >&2
  exit 2
fi
# shellcheck source=/dev/null
. "$TAVRIN_TESTBED/env"
# The program's output goes through a file, not straight into the caller's pipe: a Wine process
# that the program starts and that outlives it (the prefix's desktop, restarted after it went idle
# between two tests) inherits these descriptors, and would hold ctest's pipe open to the timeout.
output=$(mktemp "$TAVRIN_TESTBED/run/output.XXXXXX") || exit 2
timeout --kill-after=10 "$TAVRIN_WINE_TIMEOUT" /usr/lib/wine/wine64 "$@" >"$output" 2>&1
status=$?
cat "$output"
rm -f -- "$output"
exit $status

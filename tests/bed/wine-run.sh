#!/usr/bin/env bash
# wine-run.sh EXE [ARGS...]
#
# Runs a Windows executable in the test bed's prefix (TAVRIN_TESTBED, set by ctest) with the
# bed's environment and a bounded run time (TAVRIN_WINE_TIMEOUT seconds, default 280; then TERM,
# and KILL 10 s later). The exit code is the program's (124 on timeout).
set -u
if [ $# -lt 1 ]; then
  echo "usage: $0 EXE [ARGS...]" >&2
  exit 2
fi
if [ -z "${TAVRIN_TESTBED:-}" ] || [ ! -f "$TAVRIN_TESTBED/env" ]; then
  echo "wine-run: no test bed at '${TAVRIN_TESTBED:-}' (TAVRIN_TESTBED unset or setup.sh not run)" >&2
  exit 2
fi
# shellcheck source=/dev/null
. "$TAVRIN_TESTBED/env"
exec timeout --kill-after=10 "${TAVRIN_WINE_TIMEOUT:-280}" /usr/lib/wine/wine64 "$@"

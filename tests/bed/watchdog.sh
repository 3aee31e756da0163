#!/usr/bin/env bash
# watchdog.sh TESTBED_DIR OWNER_PID LIFETIME_S
#
# Tears the bed down once the owner process (the ctest run) is gone or LIFETIME_S seconds have
# passed, so that an interrupted run leaves nothing behind. Started by setup.sh; stopped by
# teardown.sh through the bed's pid file.
set -u
[ $# -eq 3 ] || { echo "usage: $0 TESTBED_DIR OWNER_PID LIFETIME_S" >&2; exit 2; }
bed=$1 owner=$2 lifetime=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
end=$(( $(date +%s) + lifetime ))
while kill -0 "$owner" 2>/dev/null && [ "$(date +%s)" -lt "$end" ]; do
  sleep 2
done
echo "$(date +%T) owner $owner gone or lifetime over: tearing down $bed"
rm -f -- "$bed/run/watchdog.pid"
exec "$here/teardown.sh" "$bed"

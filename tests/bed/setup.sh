#!/usr/bin/env bash
# setup.sh TESTBED_DIR TAR_EXE TRUST_CA_EXE HTTP_PORT HTTPS_PORT DISPLAY_NUM
#
# Makes the test bed of one test run: a fresh Wine prefix (Korean font replacements, no crash
# dialogs, no links into the host's home, bsdtar as system32\tar.exe, the run's test CA trusted), Xvfb,
# a persistent wineserver and the local release host on loopback (HTTP_PORT, HTTPS_PORT with a
# certificate of the run's CA, HTTPS_PORT+1 with an untrusted self-signed one, HTTPS_PORT+2 with
# an expired certificate of the run's CA and HTTPS_PORT+3 with one of the run's CA issued to
# another host name), serving TESTBED_DIR/www. Whatever an earlier run of the same TESTBED_DIR
# left running is stopped first.
#
# Writes TESTBED_DIR/env (sourced by wine-run.sh) and pid files under TESTBED_DIR/run; logs go to
# TESTBED_DIR/logs. Everything started here is stopped by teardown.sh, and also by a watchdog once
# the owner process (TAVRIN_TESTBED_OWNER_PID, default: the caller, i.e. ctest) is gone or after
# TAVRIN_TESTBED_LIFETIME seconds (default 3600). Exits non-zero with a message when a step fails.
set -euo pipefail

usage() {
  echo "usage: $0 TESTBED_DIR TAR_EXE TRUST_CA_EXE HTTP_PORT HTTPS_PORT DISPLAY_NUM" >&2
  exit 2
}
[ $# -eq 6 ] || usage
bed=$1 tar_exe=$2 trust_exe=$3 http_port=$4 https_port=$5 display_num=$6
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE_BIN=/usr/lib/wine/wine64
WINESERVER_BIN=/usr/lib/wine/wineserver
PYTHON=$(command -v /usr/bin/python3 || command -v python3 || true)
owner=${TAVRIN_TESTBED_OWNER_PID:-$PPID}
lifetime=${TAVRIN_TESTBED_LIFETIME:-3600}
started=$(date +%s%N)
current_step=""
current_log=""

fail() {
  echo "testbed setup: $*" >&2
  if [ -n "$current_log" ] && [ -s "$current_log" ]; then
    echo "--- last lines of $current_log:" >&2
    tail -n 20 "$current_log" >&2
  fi
  "$here/teardown.sh" "$bed" >/dev/null 2>&1 || true
  exit 1
}
step() {
  current_step=$1
  current_log=${2:-}
}
trap 'fail "step \"$current_step\" failed (line $LINENO)"' ERR

while [ "${bed%/}" != "$bed" ]; do bed=${bed%/}; done
case "$bed" in
  /?*/?*) ;;
  *) echo "testbed setup: TESTBED_DIR must be an absolute path below a top-level folder" >&2; exit 2 ;;
esac
for n in "$http_port" "$https_port" "$display_num" "$owner" "$lifetime"; do
  [[ "$n" =~ ^[0-9]+$ ]] || { echo "testbed setup: '$n' is not a number" >&2; exit 2; }
done
[ -f "$tar_exe" ] || { echo "testbed setup: no tar executable at $tar_exe" >&2; exit 2; }
[ -f "$trust_exe" ] || { echo "testbed setup: no trust_ca executable at $trust_exe" >&2; exit 2; }
[ -x "$WINE_BIN" ] || { echo "testbed setup: $WINE_BIN is missing (install wine64)" >&2; exit 2; }
[ -n "$PYTHON" ] || { echo "testbed setup: python3 is missing" >&2; exit 2; }
for tool in Xvfb openssl curl setsid; do
  command -v "$tool" >/dev/null || { echo "testbed setup: $tool is missing" >&2; exit 2; }
done

step "stop the previous run"
"$here/teardown.sh" "$bed"

# Only a folder that is a test bed is cleared: one with the marker, or holding nothing but the
# bed's own entries.
step "make the bed folders"
entries=(prefix www ca home run logs env env.tmp .tavrin-testbed)
if [ -d "$bed" ] && [ ! -f "$bed/.tavrin-testbed" ]; then
  while IFS= read -r -d '' found; do
    name=${found##*/}
    [[ " ${entries[*]} " == *" $name "* ]] \
      || fail "$bed holds $name: it does not look like a test bed, not clearing it"
  done < <(find "$bed" -mindepth 1 -maxdepth 1 -print0)
fi
for name in "${entries[@]}"; do
  rm -rf -- "${bed:?}/$name"
done
mkdir -p "$bed/www" "$bed/ca" "$bed/home" "$bed/run" "$bed/logs" "$bed/prefix"
touch "$bed/.tavrin-testbed"
logs=$bed/logs
run=$bed/run
echo "$display_num" >"$run/display"

step "start Xvfb :$display_num" "$logs/xvfb.log"
setsid Xvfb ":$display_num" -screen 0 1280x1024x24 -nolisten tcp -noreset \
  </dev/null >"$logs/xvfb.log" 2>&1 &
echo $! >"$run/xvfb.pid"

step "make the test CA and server certificates" "$logs/openssl.log"
ca=$bed/ca
cat >"$ca/ca.cnf" <<EOF
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
CN = Tavrin Test Root $(date +%Y%m%d%H%M%S)-$$
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF
cat >"$ca/server.cnf" <<EOF
[req]
distinguished_name = dn
prompt = no
x509_extensions = leaf_ext
[dn]
CN = localhost
[leaf_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
EOF
{
  openssl req -x509 -config "$ca/ca.cnf" -newkey rsa:2048 -nodes -days 7 \
    -keyout "$ca/ca.key" -out "$ca/ca.pem"
  openssl x509 -in "$ca/ca.pem" -outform DER -out "$ca/ca.der"
  openssl req -new -config "$ca/server.cnf" -newkey rsa:2048 -nodes \
    -keyout "$ca/server.key" -out "$ca/server.csr"
  openssl x509 -req -in "$ca/server.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 7 \
    -extfile "$ca/server.cnf" -extensions leaf_ext -out "$ca/server.pem"
  openssl req -x509 -config "$ca/server.cnf" -newkey rsa:2048 -nodes -days 7 \
    -keyout "$ca/untrusted.key" -out "$ca/untrusted.pem"
} >"$logs/openssl.log" 2>&1

# Two certificates of the run's CA that a client must still refuse: one that expired yesterday,
# and a current one issued to another host name. "openssl ca" because only it takes explicit
# validity dates.
step "make the expired and the wrong-name certificates" "$logs/openssl.log"
mkdir -p "$ca/issued"
: >"$ca/index.txt"
openssl rand -hex 8 >"$ca/serial"
cat >"$ca/signer.cnf" <<EOF
[ca]
default_ca = signer
[signer]
database = $ca/index.txt
new_certs_dir = $ca/issued
serial = $ca/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[other_host_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other-host.invalid
subjectKeyIdentifier = hash
EOF
{
  openssl req -new -config "$ca/server.cnf" -newkey rsa:2048 -nodes \
    -keyout "$ca/expired.key" -out "$ca/expired.csr"
  openssl ca -batch -notext -config "$ca/signer.cnf" -cert "$ca/ca.pem" -keyfile "$ca/ca.key" \
    -in "$ca/expired.csr" -out "$ca/expired.pem" \
    -startdate "$(date -u -d '-30 days' +%Y%m%d%H%M%SZ)" -enddate "$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)" \
    -extfile "$ca/server.cnf" -extensions leaf_ext
  openssl req -new -subj /CN=other-host.invalid -newkey rsa:2048 -nodes \
    -keyout "$ca/other_host.key" -out "$ca/other_host.csr"
  openssl ca -batch -notext -config "$ca/signer.cnf" -cert "$ca/ca.pem" -keyfile "$ca/ca.key" \
    -in "$ca/other_host.csr" -out "$ca/other_host.pem" -days 7 \
    -extfile "$ca/signer.cnf" -extensions other_host_ext
} >>"$logs/openssl.log" 2>&1

step "start the release host" "$logs/release_host.log"
setsid "$PYTHON" "$here/release_host.py" --root "$bed/www" \
  --http-port "$http_port" --https-port "$https_port" --untrusted-port "$((https_port + 1))" \
  --cert "$ca/server.pem" --key "$ca/server.key" \
  --untrusted-cert "$ca/untrusted.pem" --untrusted-key "$ca/untrusted.key" \
  --extra-https "$((https_port + 2)):$ca/expired.pem:$ca/expired.key" \
  --extra-https "$((https_port + 3)):$ca/other_host.pem:$ca/other_host.key" \
  --header-log "$logs/headers.log" \
  --bind 127.0.0.1 --parent-pid "$owner" --max-lifetime "$lifetime" --log "$logs/requests.log" \
  </dev/null >"$logs/release_host.log" 2>&1 &
echo $! >"$run/host.pid"

step "wait for Xvfb :$display_num" "$logs/xvfb.log"
xvfb_pid=$(cat "$run/xvfb.pid")
for _ in $(seq 100); do
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb :$display_num exited (display taken?)"
  if "$PYTHON" -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])' \
       "/tmp/.X11-unix/X$display_num" 2>/dev/null; then
    break
  fi
  sleep 0.1
done
"$PYTHON" -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])' \
  "/tmp/.X11-unix/X$display_num" 2>/dev/null || fail "Xvfb :$display_num does not answer"

# The environment of every Wine call of this run. HOME and the XDG folders point into the bed so
# that nothing Wine derives from them (folder links, menu entries) reaches the host's home.
{
  printf 'export WINEPREFIX=%q\n' "$bed/prefix"
  printf 'export WINEDLLOVERRIDES=%q\n' "mscoree,mshtml=;winemenubuilder.exe=d"
  printf 'export WINEDEBUG=-all\n'
  printf 'export DISPLAY=:%s\n' "$display_num"
  printf 'export TAVRIN_TESTBED=%q\n' "$bed"
  printf 'export HOME=%q\n' "$bed/home"
  printf 'export XDG_CONFIG_HOME=%q XDG_DATA_HOME=%q XDG_CACHE_HOME=%q\n' \
    "$bed/home/.config" "$bed/home/.local/share" "$bed/home/.cache"
  printf 'unset WINELOADER WINESERVER WINEARCH\n'
} >"$bed/env.tmp"
mv "$bed/env.tmp" "$bed/env"
# shellcheck source=/dev/null
. "$bed/env"

step "start the persistent wineserver" "$logs/wine.log"
setsid "$WINESERVER_BIN" -p </dev/null >>"$logs/wine.log" 2>&1

# Plain "wineboot": the loader initialises the new prefix once by itself. An explicit --init on
# top of that starts a second services.exe, after which RpcSs never starts and every process
# that opens a window waits 10 s for it.
step "create the Wine prefix (wineboot)" "$logs/wine.log"
timeout 120 "$WINE_BIN" wineboot </dev/null >>"$logs/wine.log" 2>&1 \
  || fail "wineboot failed or timed out"

step "replace the prefix's links into the host's home by empty folders"
while IFS= read -r -d '' link; do
  rm -f -- "$link"
  mkdir -p -- "$link"
done < <(find "$bed/prefix/drive_c/users" -type l -print0)
[ -z "$(find "$bed/prefix/drive_c/users" -type l -print -quit)" ] || fail "links remain under drive_c/users"

step "registry: font replacements, no crash dialogs" "$logs/wine.log"
printf '%s\r\n' 'REGEDIT4' '' \
  '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
  '"Malgun Gothic"="NanumGothic"' \
  '"Segoe UI"="NanumGothic"' '' \
  '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' \
  '"ShowCrash"=dword:00000000' '' >"$run/testbed.reg"
timeout 60 "$WINE_BIN" regedit /S "Z:${run//\//\\}\\testbed.reg" </dev/null >>"$logs/wine.log" 2>&1 \
  || fail "regedit failed"

step "install bsdtar as the system's tar.exe"
cp -- "$tar_exe" "$bed/prefix/drive_c/windows/system32/tar.exe"

step "trust the test CA in the prefix" "$logs/wine.log"
timeout 60 "$WINE_BIN" "$trust_exe" "Z:${ca//\//\\}\\ca.der" </dev/null >>"$logs/wine.log" 2>&1 \
  || fail "trust_ca could not add the test CA to the prefix's ROOT store"

step "wait for the release host" "$logs/release_host.log"
host_pid=$(cat "$run/host.pid")
answers() {
  [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$@")" = 404 ]
}
for _ in $(seq 100); do
  kill -0 "$host_pid" 2>/dev/null || fail "the release host exited (port taken?)"
  if answers "http://127.0.0.1:$http_port/_testbed_probe" \
     && answers --cacert "$ca/ca.pem" "https://localhost:$https_port/_testbed_probe" \
     && answers -k "https://localhost:$((https_port + 1))/_testbed_probe"; then
    break
  fi
  sleep 0.1
done
if ! { answers "http://127.0.0.1:$http_port/_testbed_probe" \
       && answers --cacert "$ca/ca.pem" "https://localhost:$https_port/_testbed_probe" \
       && answers -k "https://localhost:$((https_port + 1))/_testbed_probe"; }; then
  fail "the release host does not answer on $http_port, $https_port and $((https_port + 1))"
fi

step "wait for the expired and the wrong-name certificate servers" "$logs/release_host.log"
for port in $((https_port + 2)) $((https_port + 3)); do
  for _ in $(seq 100); do
    answers -k "https://localhost:$port/_testbed_probe" && break
    sleep 0.1
  done
  answers -k "https://localhost:$port/_testbed_probe" || fail "the release host does not answer on $port"
done

step "start the watchdog" "$logs/watchdog.log"
setsid "$here/watchdog.sh" "$bed" "$owner" "$lifetime" </dev/null >>"$logs/watchdog.log" 2>&1 &
echo $! >"$run/watchdog.pid"

trap - ERR
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
echo "testbed ready in $((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000))) s:" \
  "http://127.0.0.1:$http_port https://localhost:$https_port" \
  "(untrusted $((https_port + 1))), DISPLAY=:$display_num, owner pid $owner" \
  "($(tr '\0' ' ' 2>/dev/null <"/proc/$owner/cmdline" | cut -c1-60))"

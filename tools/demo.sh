#!/usr/bin/env bash
# The whole program at work, on this machine: builds TavrinSetup.exe for a release host on
# loopback, makes a sample release with the publisher's release tool, serves it over HTTPS with
# this run's test CA (trusted only inside a private Wine prefix), and runs the setup program under
# Wine. With a display ($DISPLAY) a person clicks through the wizard; without one the wizard is
# clicked through on a virtual display. Prints where everything landed and saves a screenshot of
# the finished page. Stops its server, display and wineserver when it ends.
#
# Usage: tools/demo.sh [--auto]     (--auto clicks through even when a display is there)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

http_port=47280
https_port=47643
virtual_display=77
version=2.4.1
build="$root/build/demo"
bed="$build/bed"
user_display="${DISPLAY:-}"
mode=watch
if [ -z "$user_display" ] || [ "${1:-}" = "--auto" ]; then mode=auto; fi

say() { printf '\n== %s\n' "$*"; }

say "Installing what the build needs"
if [ "$(id -u)" -eq 0 ]; then tools/install-deps.sh; else sudo tools/install-deps.sh; fi

say "Building (release host https://localhost:$https_port)"
cmake --preset mingw -B "$build" -DTAVRIN_RELEASE_BASE="https://localhost:$https_port" \
  -DTAVRIN_TEST_HTTP_PORT=$http_port -DTAVRIN_TEST_HTTPS_PORT=$https_port \
  -DTAVRIN_TEST_DISPLAY=$virtual_display >/dev/null
cmake --build "$build" -j"$(nproc)" --target TavrinSetup trust_ca sample_app demo_driver
# The bed's tar.exe: bsdtar, built by install-deps above (or now) and kept in its cache.
tar_exe=$(tests/bed/build-bsdtar.sh)

say "Starting a private Wine prefix, a virtual display and the release host"
export TAVRIN_TESTBED_OWNER_PID=$$
teardown() { "$root/tests/bed/teardown.sh" "$bed" >/dev/null 2>&1 || true; }
trap teardown EXIT
tests/bed/setup.sh "$bed" "$tar_exe" "$build/tests/bed/trust_ca/trust_ca.exe" \
  $http_port $https_port $virtual_display

say "Making release $version with the release tool"
app="$build/sample-app"
models="$build/sample-models"
rm -rf "$app" "$models"
mkdir -p "$app" "$models"
cp "$build/tests/bed/sample_app/TavrinAI.exe" "$app/TavrinAI.exe"
printf '@echo off\r\nstart "" "%%~dp0TavrinAI.exe"\r\n' > "$app/run_tavrin.bat"
cp res/app.ico "$app/app_icon.ico"
for name in scrfd_10g_bnkps.onnx glintr100.onnx genderage.onnx 1k3d68.onnx 2d106det.onnx; do
  head -c $((256 * 1024)) /dev/urandom > "$models/$name"   # stand-ins for the real model files
done
python3 tools/release/make_release.py --app "$app" --version $version \
  --base "https://localhost:$https_port" --out "$bed/www" --models "$models"

# shellcheck source=/dev/null
. "$bed/env"
screenshot_bmp="$build/finished-page.bmp"
screenshot="$build/finished-page.png"
rm -f "$screenshot_bmp" "$screenshot"
if [ "$mode" = watch ]; then
  # Wine keeps one display per wineserver: restart it on the person's display.
  /usr/lib/wine/wineserver -k || true
  export DISPLAY="$user_display"
  say "Running TavrinSetup.exe on your display $DISPLAY: click through the wizard"
else
  say "Running TavrinSetup.exe on the virtual display $DISPLAY, clicking through the wizard"
fi
driver_log="$build/demo-driver.log"
set +e
timeout 900 /usr/lib/wine/wine64 "$build/tools/demo/demo_driver.exe" $mode \
  "$build/window/TavrinSetup.exe" "Z:${screenshot_bmp//\//\\}" | tee "$driver_log"
status=${PIPESTATUS[0]}
set -e
[ -f "$screenshot_bmp" ] && convert "$screenshot_bmp" "$screenshot" && rm -f "$screenshot_bmp"

sleep 2  # the sample application records its start
users="$WINEPREFIX/drive_c/users"
say "Where everything landed (Linux paths inside the prefix $WINEPREFIX)"
install_dir=$(sed -n 's/^install folder: //p' "$driver_log" | tr -d '\r' | head -n 1)
if [ -n "$install_dir" ]; then
  unix_install=$(/usr/lib/wine/wine64 winepath -u "$install_dir" 2>/dev/null | tr -d '\r')
  echo "install folder:  $install_dir  ->  $unix_install"
  ls -la "$unix_install" "$unix_install/TavrinStudio" 2>/dev/null || echo "  (not there)"
fi
echo "shortcuts:"
find "$users" -name 'Tavrin AI.lnk' -printf '  %p\n' 2>/dev/null
echo "uninstall entry:"
/usr/lib/wine/wine64 reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TavrinAI' 2>/dev/null \
  | tr -d '\r' | sed 's/^/  /'
echo "models:"
find "$users" -path '*/.insightface/models/auraface/*' -printf '  %p  %s bytes\n' 2>/dev/null
echo "the application's own record of its start (working folder):"
find "$users" -path '*/.tavrin_ai/started.txt' -exec sed 's/^/  /' {} \; 2>/dev/null
if [ -f "$screenshot" ]; then
  echo "screenshot of the finished page: $screenshot"
else
  echo "no screenshot of the finished page (the window closed at once: '설치 후 바로 실행' was ticked)"
fi
exit "$status"

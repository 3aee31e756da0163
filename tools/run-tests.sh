#!/usr/bin/env bash
# Installs what the build needs, cross-builds everything and runs the whole test suite under Wine.
# Usage: tools/run-tests.sh [extra ctest arguments]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

if [ "$(id -u)" -eq 0 ]; then
  tools/install-deps.sh
elif command -v sudo >/dev/null 2>&1; then
  sudo tools/install-deps.sh
else
  tools/install-deps.sh
fi

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$(nproc)"
ctest --test-dir build/mingw --output-on-failure -j2 "$@"

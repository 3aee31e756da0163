#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent; run as root.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix   # cross compiler (posix threads model)
  binutils-mingw-w64-x86-64    # windres, objdump for the import-table check
  mingw-w64-x86-64-dev
  libz-mingw-w64-dev           # zlib for the stand-in tar.exe
  googletest                   # GoogleTest sources, compiled with mingw
  wine64                       # runs the Windows executables
  xvfb xauth                   # virtual display for window tests
  fonts-nanum                  # a Korean font for Wine's font replacements
  python3 openssl              # local release host and its test CA
  libarchive-tools             # bsdtar, the reference for the stand-in tar
  zip unzip
  curl procps                  # the test bed waits for its release host with curl
  imagemagick                  # screenshots of the window for the README demo
  osslsigncode                 # Authenticode signing of the shipped programs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

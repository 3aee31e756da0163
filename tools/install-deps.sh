#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and builds the test bed's tar.exe
# (bsdtar from Debian's libarchive sources, cached per source version). Idempotent; run as root.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix   # cross compiler (posix threads model)
  binutils-mingw-w64-x86-64    # windres, objdump for the import-table check
  mingw-w64-x86-64-dev
  libz-mingw-w64-dev           # zlib for the test bed's bsdtar.exe
  dpkg-dev make                # apt-get source and the build of bsdtar.exe
  googletest                   # GoogleTest sources, compiled with mingw
  wine64                       # runs the Windows executables
  xvfb xauth                   # virtual display for window tests
  fonts-nanum                  # a Korean font for Wine's font replacements
  python3 openssl              # local release host and its test CA
  zip unzip
  curl procps                  # the test bed waits for its release host with curl
  imagemagick                  # screenshots of the window for the README demo
  osslsigncode                 # Authenticode signing of the shipped programs
)

deb_src_list=/etc/apt/sources.list.d/tavrin-deb-src.sources

has_deb_src() {
  grep -Eqs '^[[:space:]]*deb-src[[:space:]]|^Types:.*deb-src' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}

# A deb-src entry for every enabled deb entry: the same URIs, suites and components, so that
# apt-get source fetches the sources of the packages this machine installs.
write_deb_src() {
  {
    echo "# Written by TavrinSetup's tools/install-deps.sh: sources of the machine's suites,"
    echo "# for the test bed's bsdtar.exe (apt-get source libarchive)."
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
      [ -f "$file" ] && [ "$file" != "$deb_src_list" ] || continue
      # deb822 paragraphs: keep those whose Types name "deb" and that are not disabled.
      awk 'function flush() {
             if (par != "" && deb && !off) { sub(/^Types:.*$/, "Types: deb-src", types); print types par "\n" }
             par = ""; types = ""; deb = 0; off = 0
           }
           /^[[:space:]]*$/ { flush(); next }
           /^#/ { next }
           /^Types:/ { types = $0; deb = ($0 ~ /[[:space:]]deb([[:space:]]|$)/); next }
           /^Enabled:[[:space:]]*no/ { off = 1 }
           { par = par "\n" $0 }
           END { flush() }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$file" ] || continue
      # One-line entries: "deb [options] URI SUITE COMPONENTS..." as a paragraph each.
      sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\)[[:space:]]*\(.*\)$/Types: deb-src\nURIs: \2\nSuites: \3\nComponents: \4\n/p' "$file"
    done
  } >"$deb_src_list.tmp"
  grep -q '^Types: deb-src' "$deb_src_list.tmp" || {
    rm -f "$deb_src_list.tmp"
    echo "install-deps: found no deb entry to derive a deb-src entry from" >&2
    exit 1
  }
  mv "$deb_src_list.tmp" "$deb_src_list"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
need_deb_src=0
has_deb_src || need_deb_src=1

if [ ${#missing[@]} -gt 0 ] || [ "$need_deb_src" -eq 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    [ ${#missing[@]} -eq 0 ] || echo "install-deps: missing packages (${missing[*]})" >&2
    [ "$need_deb_src" -eq 0 ] || echo "install-deps: no deb-src entry for apt-get source" >&2
    echo "install-deps: run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ "$need_deb_src" -eq 0 ] || write_deb_src
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

# The bed's tar.exe, built once per machine and source version.
"$here/../tests/bed/build-bsdtar.sh" >/dev/null

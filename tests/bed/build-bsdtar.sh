#!/usr/bin/env bash
# build-bsdtar.sh [--print-version] [OUT]
#
# The test bed's tar.exe: Windows ships libarchive's bsdtar as its system tar tool, so the bed runs
# the same program, built from Debian's "libarchive" source package (apt-get source) with
# mingw-w64 and zlib, linked statically (it imports system DLLs only).
#
# The result is cached outside the clone, keyed by the source version, in
#   ${TAVRIN_TOOL_CACHE:-/var/cache/tavrin}/bsdtar-<version>/bsdtar.exe
# so that only the first run on a machine builds it (two to five minutes on two cores, most of it
# in configure). The build runs in a temporary folder and the result is moved into the cache in
# one step, so an interrupted build never leaves a half-written program there. With OUT, the
# cached program is also copied to OUT (only when it differs, so that the copy's time stamp tells
# when it changed).
#
# Needs a deb-src entry for the machine's suites, dpkg-dev, make, the mingw-w64 C compiler and
# libz-mingw-w64-dev: tools/install-deps.sh provides all of them.
set -euo pipefail

source_package=libarchive
host=x86_64-w64-mingw32
cache_root=${TAVRIN_TOOL_CACHE:-/var/cache/tavrin}

die() {
  echo "build-bsdtar: $*" >&2
  exit 1
}

print_version=0
if [ "${1:-}" = "--print-version" ]; then
  print_version=1
  shift
fi
[ $# -le 1 ] || die "usage: $0 [--print-version] [OUT]"
out=${1:-}

# The version apt-get source would fetch, read from the local package lists (no network).
source_version() {
  local uris dsc
  if ! uris=$(apt-get source --print-uris -qq "$source_package" 2>&1); then
    die "apt-get source cannot find the '$source_package' source package:
$uris
The machine needs a deb-src entry for its suites and fresh package lists: run tools/install-deps.sh as root."
  fi
  dsc=$(printf '%s\n' "$uris" | sed -n "s/^'[^']*' \(${source_package}_[^ ]*\.dsc\) .*/\1/p" | head -n 1)
  [ -n "$dsc" ] || die "no .dsc file in the answer of apt-get source --print-uris $source_package:
$uris"
  dsc=${dsc#"${source_package}_"}
  # An epoch appears as %3a in file names; the cache key keeps it readable.
  printf '%s\n' "${dsc%.dsc}" | sed 's/%3a/:/'
}

version=$(source_version)
if [ "$print_version" -eq 1 ]; then
  echo "$version"
  exit 0
fi
cached=$cache_root/bsdtar-$version/bsdtar.exe

build() {
  local compiler=$host-gcc-posix
  command -v "$compiler" >/dev/null || compiler=$host-gcc
  for tool in "$compiler" make dpkg-source; do
    command -v "$tool" >/dev/null || die "$tool is missing: run tools/install-deps.sh as root"
  done
  [ -f /usr/$host/lib/libz.a ] || die "the static mingw zlib is missing (libz-mingw-w64-dev): run tools/install-deps.sh as root"
  mkdir -p "$cache_root" 2>/dev/null || die "cannot create the cache folder $cache_root (set TAVRIN_TOOL_CACHE or run as root)"
  [ -w "$cache_root" ] || die "the cache folder $cache_root is not writable (set TAVRIN_TOOL_CACHE or run as root)"

  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-bsdtar.XXXXXX")
  # shellcheck disable=SC2064 # the folder is fixed now
  trap "rm -rf -- '$work'" EXIT
  local started=$SECONDS
  echo "build-bsdtar: building bsdtar $version for $host in $work (a few minutes)" >&2
  (cd "$work" && apt-get source -qq "$source_package=$version" >"$work/source.log" 2>&1) || {
    tail -n 20 "$work/source.log" >&2
    die "apt-get source $source_package=$version failed (a deb-src entry, network access to the Debian mirror and dpkg-dev are needed)"
  }
  local tree
  tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$source_package-*" | head -n 1)
  [ -n "$tree" ] || die "apt-get source left no $source_package-* folder in $work"

  # Only zlib: the payload is a zip archive. Every other optional library is switched off so that
  # configure does not pick up a stray one, and the program stays one file with no DLL beside it.
  # The Debian patches may leave the autotools inputs newer than their outputs; the timestamps
  # are evened out so that make does not try to run automake.
  find "$tree" \( -name configure -o -name Makefile.in -o -name aclocal.m4 -o -name config.h.in \) \
    -exec touch {} +
  (
    cd "$tree"
    CC=$compiler ./configure --host=$host --disable-shared --enable-static \
      --disable-bsdcpio --disable-bsdcat --disable-acl --disable-xattr \
      --without-bz2lib --without-libb2 --without-iconv --without-lz4 --without-zstd --without-lzma \
      --without-cng --without-openssl --without-xml2 --without-expat --without-mbedtls \
      --without-nettle --with-zlib \
      CPPFLAGS="-I/usr/$host/include" LDFLAGS="-L/usr/$host/lib" >"$work/configure.log" 2>&1 \
      || { tail -n 30 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" bsdtar.exe LDFLAGS="-L/usr/$host/lib -all-static" >"$work/make.log" 2>&1 \
      || { tail -n 30 "$work/make.log" >&2; exit 1; }
    $host-strip bsdtar.exe
  ) || die "building bsdtar failed (logs in $work are removed; the lines above are their end)"

  local staged
  staged=$(mktemp -d "$cache_root/.bsdtar-$version.XXXXXX")
  cp -- "$tree/bsdtar.exe" "$staged/bsdtar.exe"
  printf 'bsdtar from Debian source package %s %s, built %s in %d s\n' \
    "$source_package" "$version" "$(date -u '+%Y-%m-%d %H:%M UTC')" $((SECONDS - started)) >"$staged/BUILD"
  chmod 755 "$staged"
  # A rename is atomic: another run sees either no folder or a complete one. When another run
  # finished first, its result stays.
  if ! mv -T -- "$staged" "$cache_root/bsdtar-$version" 2>/dev/null; then
    rm -rf -- "$staged"
  fi
  [ -f "$cached" ] || die "the built program did not reach $cached"
  echo "build-bsdtar: $cached ready after $((SECONDS - started)) s" >&2
}

[ -f "$cached" ] || build

if [ -n "$out" ]; then
  mkdir -p -- "$(dirname -- "$out")"
  if ! cmp -s -- "$cached" "$out"; then
    cp -- "$cached" "$out.tmp.$$"
    mv -f -- "$out.tmp.$$" "$out"
  fi
fi
echo "$cached"

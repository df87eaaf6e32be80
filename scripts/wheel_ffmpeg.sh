# shellcheck shell=bash
# FFmpeg and the libraries it links to, built for a wheel (sourced by
# scripts/wheel.sh, which sets cache, sources, jobs, python_version and
# host_release).
#
# Sources: Debian's source packages, Debian's patches applied, fetched by
# `apt-get source` through an apt configuration of its own under
# $cache/apt (the machine's apt sources and lists are left alone): ffmpeg
# and dav1d from Debian 13, zlib from Debian 12. Each architecture is built
# into $cache/ARCH/install with the toolchain of scripts/wheel_toolchain.sh:
# zlib as a static library (linked into libavcodec and libavformat, whose
# symbol maps keep its symbols private), dav1d as a shared library (AV1),
# FFmpeg decode-only and LGPL as shared libraries. A later run whose recipe
# (configure line, options, toolchain) is the same reuses the build.

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
dav1d_options=(--buildtype=release -Ddefault_library=shared -Denable_tools=false -Denable_tests=false
               -Denable_examples=false)
zlib_cflags="-O2 -fPIC"
join() { local IFS=,; echo "$*"; }

# FFmpeg's tree sits inside a directory that may be in a git checkout:
# should its VERSION file be missing, its version script must not describe
# that checkout's commit instead.
export GIT_CEILING_DIRECTORIES=$cache

private_apt() {  # private_apt APT-GET-ARGUMENTS...
  local apt_dir=$cache/apt
  apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/sources.list.d" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o Dir::State::status=/dev/null \
    -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none -o APT::Sandbox::User=root \
    -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 "$@"
}

# The source packages into $sources, and the Python headers of this
# machine's Python for both architectures (Debian's libpython3.X-dev; the
# limited API's headers differ by architecture in pyconfig.h only).
fetch_sources() {
  local mirror=${WHEEL_MIRROR:-$(find_mirror || true)}
  if [ -z "$mirror" ]; then
    echo "no Debian archive found in /etc/apt; set WHEEL_MIRROR" >&2
    exit 2
  fi
  local apt_dir=$cache/apt keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.pgp
  rm -rf "$apt_dir" "$sources"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$sources"
  cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] $mirror trixie main
deb-src [signed-by=$keyring] $mirror bookworm main
deb [arch=amd64,arm64 signed-by=$keyring] $mirror $host_release main
EOF
  echo "fetching the source packages (ffmpeg, dav1d from Debian 13; zlib from Debian 12) from $mirror"
  local log=$cache/fetch.log
  private_apt update >"$log" 2>&1 || { cat "$log"; exit 1; }
  (cd "$sources" &&
   private_apt source "ffmpeg${FFMPEG_SOURCE_VERSION:+=$FFMPEG_SOURCE_VERSION}/trixie" dav1d/trixie zlib/bookworm &&
   private_apt download "libpython$python_version-dev:amd64" "libpython$python_version-dev:arm64") \
    >>"$log" 2>&1 || { cat "$log"; exit 1; }
}

source_dir() { find "$sources" -mindepth 1 -maxdepth 1 -type d -name "$1-*" 2>/dev/null || true; }
source_version() { sed -n 's/^Version: //p' "$sources/$1"_*.dsc; }

# The Python headers for ARCH, unpacked once into $cache/python-ARCH.
python_headers() {
  local arch=$1 debian_arch
  debian_arch=$([ "$arch" = aarch64 ] && echo arm64 || echo amd64)
  local dir=$cache/python-$arch-$python_version
  if [ ! -f "$dir/.done" ]; then
    [ -n "$(ls "$sources"/libpython"$python_version"-dev_*_"$debian_arch".deb 2>/dev/null)" ] || fetch_sources
    rm -rf "$dir"
    dpkg-deb -x "$(ls "$sources"/libpython"$python_version"-dev_*_"$debian_arch".deb)" "$dir"
    touch "$dir/.done"
  fi
  echo "$dir/usr/include"
}

# What determines a build of ARCH, given the Debian version of ffmpeg's
# source: compared with the record of the build in place to decide on reuse.
# The libraries are stripped as they are linked (-s): FFmpeg's own stripping
# would run this machine's strip, which reads no aarch64 files.
recipe() {
  local arch=$1 revision=$2 zig_version=$3 prefix=$cache/$1/install
  echo "target $arch-linux-gnu.$WHEEL_GLIBC, zig $zig_version"
  echo "zlib: CFLAGS='$zlib_cflags' ./configure --static"
  echo "dav1d: meson setup ${dav1d_options[*]}"
  echo "ffmpeg: configure --prefix=$prefix --extra-version=$revision+quorvex_av" \
    "--enable-cross-compile --arch=$arch --target-os=linux" \
    "--enable-shared --disable-static --disable-programs --disable-doc --disable-debug --disable-stripping" \
    "--disable-autodetect --disable-everything --disable-network --disable-avdevice --disable-avfilter" \
    "--enable-pthreads --enable-zlib --enable-libdav1d" \
    "--enable-protocol=file,pipe" \
    "--enable-decoder=$(join "${decoders[@]}")" \
    "--enable-demuxer=$(join "${demuxers[@]}")" \
    "--enable-parser=$(join "${parsers[@]}")"
}

# The configure line of FFmpeg from the recipe, with the toolchain of ARCH.
configure_line() {
  local arch=$1 recipe_text=$2 tools=$cache/$1/toolchain static=$cache/$1/static
  echo "$recipe_text" | sed -n 's/^ffmpeg: configure //p' | tr -d '\n'
  echo " --cc=$tools/cc --cxx=$tools/c++ --ar=$tools/ar --ranlib=$tools/ranlib --nm=nm --pkg-config=pkg-config" \
    "--extra-cflags=-I$static/include --extra-ldflags=-L$static/lib --extra-ldflags=-s"
}

build_zlib() {
  local arch=$1 work=$cache/$1
  rm -rf "$work/zlib" "$work/static"
  cp -r "$(source_dir zlib)" "$work/zlib"
  (cd "$work/zlib" &&
   CC=$work/toolchain/cc AR=$work/toolchain/ar RANLIB=$work/toolchain/ranlib CFLAGS=$zlib_cflags \
     ./configure --static --prefix="$work/static" &&
   nice -n 10 make -j"$jobs" libz.a && make install) >"$work/zlib.log" 2>&1 ||
    { tail -n 30 "$work/zlib.log"; exit 1; }
}

build_dav1d() {
  local arch=$1 work=$cache/$1
  rm -rf "$work/dav1d"
  { meson setup "$work/dav1d" "$(source_dir dav1d)" --cross-file "$work/toolchain/meson.ini" \
      --prefix="$work/install" --libdir=lib "${dav1d_options[@]}" &&
    nice -n 10 ninja -C "$work/dav1d" -j"$jobs" install; } >"$work/dav1d.log" 2>&1 ||
    { tail -n 30 "$work/dav1d.log"; exit 1; }
}

build_ffmpeg_itself() {
  local arch=$1 line=$2 work=$cache/$1 source
  source=$(source_dir ffmpeg)
  rm -rf "$work/ffmpeg"
  mkdir -p "$work/ffmpeg"
  # shellcheck disable=SC2086  # the line is a list of plain words
  (cd "$work/ffmpeg" && PKG_CONFIG_LIBDIR=$work/install/lib/pkgconfig "$source/configure" $line) \
    >"$work/configure.log" 2>&1 ||
    { tail -n 30 "$work/configure.log"; tail -n 30 "$work/ffmpeg/ffbuild/config.log" 2>/dev/null; exit 1; }
  grep -q '^License: LGPL version 2.1 or later' "$work/configure.log" ||
    { echo "FFmpeg is not configured as LGPL 2.1 or later" >&2; grep '^License' "$work/configure.log" >&2; exit 1; }
  grep -q '^threading support *pthreads' "$work/configure.log" ||
    { echo "FFmpeg is configured without threads" >&2; exit 1; }
  # glibc 2.28 still links sysctl(), so configure finds it, but zig's glibc
  # headers are the newest release's, which dropped <sys/sysctl.h> (2.32).
  # FFmpeg calls it on the BSDs only.
  sed -i 's/^#define HAVE_SYSCTL 1$/#define HAVE_SYSCTL 0/' "$work/ffmpeg/config.h"
  echo "[$arch] building FFmpeg ($jobs jobs; log: $work/make.log)"
  { nice -n 10 make -C "$work/ffmpeg" -j"$jobs" && make -C "$work/ffmpeg" install; } >"$work/make.log" 2>&1 ||
    { tail -n 40 "$work/make.log"; exit 1; }
}

# What goes into the wheel beside the libraries: the licence texts, Debian's
# copyright files for the sources and the record of the build.
write_notes() {
  local arch=$1 line=$2 zig_version=$3 notes=$cache/$1/install/share/quorvex_av source
  source=$(source_dir ffmpeg)
  rm -rf "$notes"
  mkdir -p "$notes/ffmpeg" "$notes/dav1d" "$notes/zlib"
  cp "$source/LICENSE.md" "$source/COPYING.LGPLv2.1" "$notes/ffmpeg/"
  cp "$source/debian/copyright" "$notes/ffmpeg/debian-copyright"
  cp "$(source_dir dav1d)/debian/copyright" "$notes/dav1d/copyright"
  cp "$(source_dir zlib)/debian/copyright" "$notes/zlib/copyright"
  local version package
  version=$(source_version ffmpeg)
  {
    echo "FFmpeg $(cat "$source/VERSION") as built for the quorvex_av wheel ($arch)"
    echo
    echo "Source: Debian's source package ffmpeg, version $version, from Debian 13"
    echo "(trixie) main: apt-get source ffmpeg=$version (Debian's snapshot archive keeps"
    echo "every version). Debian's patches applied, as apt-get source extracts it."
    echo "Linked to: dav1d $(source_version dav1d) (Debian 13, shared) and zlib $(source_version zlib)"
    echo "(Debian 12, static), from their Debian source packages the same way."
    for package in ffmpeg dav1d zlib; do
      sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$sources/$package"_*.dsc | grep '^ ' | awk '{print "  sha256 " $1 "  " $3}'
      echo "  sha256 $(sha256sum "$sources/$package"_*.dsc | cut -d' ' -f1)  $(basename "$sources/$package"_*.dsc)"
    done
    echo
    echo "Licence: LGPL version 2.1 or later (LICENSE.md, COPYING.LGPLv2.1)."
    echo
    echo "Configure line (run in a build directory of its own; the toolchain is zig $zig_version's"
    echo "cc and c++ with -target $arch-linux-gnu.$WHEEL_GLIBC):"
    echo "$source/configure $line"
    echo
    echo "dav1d: meson setup ${dav1d_options[*]}; zlib: CFLAGS='$zlib_cflags' ./configure --static"
  } >"$notes/ffmpeg/BUILD.txt"
}

# ensure_ffmpeg ARCH ZIG_VERSION: $cache/ARCH/install, reused when its recipe
# is the current one.
ensure_ffmpeg() {
  local arch=$1 zig_version=$2 work=$cache/$1 revision_built=""
  local record=$work/install/recipe
  [ -f "$record" ] && revision_built=$(sed -n 's/.*--extra-version=\([^ ]*\)+quorvex_av .*/\1/p' "$record")
  if [ -n "$revision_built" ] && [ -z "${FFMPEG_SOURCE_VERSION:-}" ] &&
     [ "$(cat "$record")" = "$(recipe "$arch" "$revision_built" "$zig_version")" ]; then
    echo "[$arch] FFmpeg: reusing $work/install ($(head -n 1 "$work/install/share/quorvex_av/ffmpeg/BUILD.txt"))"
    return
  fi
  local begun=$SECONDS
  [ -n "$(source_dir ffmpeg)" ] && [ -z "${FFMPEG_SOURCE_VERSION:-}" ] || fetch_sources
  local version revision recipe_text line
  version=$(source_version ffmpeg)
  revision=${version##*-}
  recipe_text=$(recipe "$arch" "$revision" "$zig_version")
  line=$(configure_line "$arch" "$recipe_text")
  rm -rf "$work/install"
  echo "[$arch] building zlib and dav1d"
  build_zlib "$arch"
  build_dav1d "$arch"
  echo "[$arch] configuring FFmpeg $version"
  build_ffmpeg_itself "$arch" "$line"
  write_notes "$arch" "$line" "$zig_version"
  echo "$recipe_text" >"$record"
  echo "[$arch] FFmpeg built in $((SECONDS - begun)) s"
}

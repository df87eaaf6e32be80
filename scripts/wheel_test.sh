#!/usr/bin/env bash
# `make wheel-test`: the wheel in dist/ on a machine without FFmpeg.
#
# A bare Debian 12 root (debootstrap --variant=minbase plus python3 and
# python3-venv only; checked to hold no FFmpeg library) gets a fresh venv with
# the wheel and its test extra. There the wheel decodes clips of every codec
# and container it is built for, each compared with the ffmpeg tool's decoding
# of the same file, and then the package's test suite runs against it.
#
# The clips and the suite's references come from the ffmpeg tool of a second
# root (Debian 13, the FFmpeg release the wheel carries). It is mounted inside
# the bare root only after the check for FFmpeg libraries, and reached through
# two wrapper scripts on the suite's PATH that run the tool there, in the same
# directory: the work directory and /tmp are the same in both roots. Both the
# check and the suite read the libraries mapped into their own process
# (/proc/self/maps) and fail unless every FFmpeg library in it is one the
# wheel vendors.
#
# (A wheel built on Debian 13 needs glibc 2.41; it is tested in a bare
# Debian 13 root instead.)
#
#   WHEEL_TEST_ROOTS   where the roots live (default /var/cache/quorvex-av-wheel;
#                      made on the first run, reused after)
#   WHEEL_TEST_MIRROR  Debian archive to install from (default: the one this
#                      machine's apt sources name)
#   WHEEL_TEST_ARGS    extra arguments for pytest
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
checkout=$PWD

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=WHEEL_TEST_ROOTS,WHEEL_TEST_MIRROR,WHEEL_TEST_ARGS "$0" "$@"
fi

wheels=(dist/quorvex_av-*-cp310-abi3-manylinux_*_x86_64.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "expected exactly one wheel in dist/ (make wheel): ${wheels[*]}" >&2
  exit 2
fi
wheel=${wheels[0]}

roots=${WHEEL_TEST_ROOTS:-/var/cache/quorvex-av-wheel}
# Debian 12, unless the wheel needs a newer glibc than its 2.36 (a wheel
# built on Debian 13 is tagged manylinux_2_41): then Debian 13.
glibc_minor=$(basename "$wheel" | sed -E 's/.*manylinux_2_([0-9]+)_x86_64.*/\1/')
bare_release=bookworm
[ "$glibc_minor" -le 36 ] || bare_release=trixie
bare=$roots/$bare_release-bare
tools=$roots/trixie-tools
inside=/srv/quorvex-wheel-test   # the work directory, at this path in both roots
work=$bare$inside
tools_at=/opt/ffmpeg-tools       # where the tools root appears in the bare root
logs=$checkout/build/wheel-test
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -q)
started=$SECONDS

mirror=${WHEEL_TEST_MIRROR:-$(find_mirror || true)}
if [ -z "$mirror" ]; then
  echo "no Debian archive found in /etc/apt; set WHEEL_TEST_MIRROR" >&2
  exit 2
fi
apt_install_missing debootstrap
mkdir -p "$logs"

trap unmount_all EXIT
# Mounts left in the roots by a run that was killed.
awk -v roots="$roots/" 'index($2, roots) == 1 {print $2}' /proc/self/mounts | sort -r |
  while read -r target; do umount -l "$target" 2>/dev/null || true; done

bind() {  # bind SOURCE TARGET [--rbind]
  mkdir -p "$2"
  mount "${3:---bind}" "$1" "$2"
  mounted+=("$2")
}

# Makes a root once (a half-made one is started over), mounts /proc and /dev
# in it and installs whatever of the given packages it lacks.
prepare_root() {
  local release=$1 root=$2
  shift 2
  local log
  log=$logs/$(basename "$root").log
  if [ ! -f "$root/.ready" ]; then
    rm -rf --one-file-system "$root"
    mkdir -p "$roots"
    echo "[$(basename "$root")] creating the root from $mirror"
    debootstrap --variant=minbase "$release" "$root" "$mirror" >"$log" 2>&1 ||
      { tail -n 20 "$log"; return 1; }
    echo "deb $mirror $release main" >"$root/etc/apt/sources.list"
    touch "$root/.ready"
  fi
  bind /proc "$root/proc"
  bind /dev "$root/dev" --rbind
  mount --make-rslave "$root/dev"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  cp -L /etc/hosts "$root/etc/hosts" 2>/dev/null || true
  local missing=() package
  for package in "$@"; do
    in_root "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "[$(basename "$root")] installing ${missing[*]}"
    {
      in_root "$root" apt-get "${apt_options[@]}" update
      in_root "$root" apt-get "${apt_options[@]}" install -y "${missing[@]}"
      in_root "$root" apt-get clean
    } >>"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
  fi
  # The machine's certificate authorities, for pip; after apt, which rewrites
  # the bundle.
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$root/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  fi
}

prepare_root "$bare_release" "$bare" python3 python3-venv
prepare_root trixie "$tools" ffmpeg

# The work directory: the wheel, a fresh venv, the suite (the checkout's
# files without the package and its sources; pytest's cache, which keeps the
# suite's clips, survives between runs), the checks and the tool wrappers.
mkdir -p "$work"
find "$work/suite" -mindepth 1 -maxdepth 1 ! -name .pytest_cache -exec rm -rf {} + 2>/dev/null || true
rm -rf "${work:?}/venv" "${work:?}/wheel" "${work:?}/media" "${work:?}/bin" "${work:?}/check"
mkdir -p "$work/wheel" "$work/media" "$work/bin" "$work/check" "$work/suite"
cp "$wheel" "$work/wheel/"
cp scripts/wheel_check.py "$work/check/"
git ls-files -co --exclude-standard | grep -vE '^(quorvex_av|src)/' |
  while IFS= read -r file; do [ ! -e "$file" ] || printf '%s\n' "$file"; done |
  tar -cf - -T - | tar -xf - -C "$work/suite"
find "$work/suite" -name __pycache__ -prune -exec rm -rf {} +

echo "[bare] python $(in_root "$bare" python3 -c 'import platform; print(platform.python_version())'):" \
  "installing $(basename "$wheel") with its test extra into a fresh venv"
{
  in_root "$bare" python3 -m venv "$inside/venv"
  in_root "$bare" "$inside/venv/bin/pip" install "$inside/wheel/$(basename "$wheel")[test]"
} >"$logs/install.log" 2>&1 || { tail -n 30 "$logs/install.log"; exit 1; }

# No FFmpeg library in the bare root but the wheel's own: no package of
# FFmpeg's, nothing the dynamic linker knows of, no file anywhere outside the
# venv.
echo "[bare] looking for FFmpeg libraries outside the venv"
in_root "$bare" sh -c "
  set -e
  if dpkg-query -W -f='\${Package} \${Status}\n' 'libav*' 'libsw*' 'libpostproc*' 'ffmpeg' 2>/dev/null |
     grep ' installed\$'; then echo 'FFmpeg packages are installed' >&2; exit 1; fi
  if ldconfig -p | grep -E 'lib(av|sw|postproc|dav1d)'; then echo 'the linker knows FFmpeg libraries' >&2; exit 1; fi
  found=\$(find / \\( -path /proc -o -path /sys -o -path /dev -o -path $inside/venv -o -path $tools_at \\) -prune \
    -o \\( -name 'libav*' -o -name 'libsw*' -o -name 'libpostproc*' -o -name 'libdav1d*' \\) -print)
  if [ -n \"\$found\" ]; then echo \"FFmpeg libraries outside the venv:\"; echo \"\$found\"; exit 1; fi
  echo '  none: no package, no ldconfig entry, no libav*/libsw*/libpostproc*/libdav1d* file'
  echo '  the wheel vendors:' \$(ls $inside/venv/lib/python3*/site-packages/quorvex_av.libs)
"

# The tools root, mounted into the bare root with the work directory and
# /tmp shared, so that a path means the same file in both.
bind "$work" "$tools$inside"
bind "$bare/tmp" "$tools/tmp"
bind "$tools" "$bare$tools_at" --rbind
for tool in ffmpeg ffprobe; do
  cat >"$work/bin/$tool" <<EOF
#!/bin/sh
# The $tool tool of the Debian 13 root at $tools_at, run in the same directory.
exec /usr/sbin/chroot $tools_at /bin/sh -c 'cd "\$1" && shift && exec /usr/bin/$tool "\$@"' $tool "\$PWD" "\$@"
EOF
  chmod +x "$work/bin/$tool"
done
tool_version=$(in_root "$bare" "$inside/bin/ffmpeg" -version | head -n 1)
echo "[tools] $tool_version"

# Clips of every codec and container the wheel is built for, made by the
# tool, with its own decoding of each as the reference: video as rgb24 frames,
# audio as float samples at the stream's own rate and layout. (The AVI and
# MPEG-PS clips have no B-frames: the readers' frame index, from the packets'
# timestamps, does not hold for them in those containers, whichever FFmpeg;
# a raw H.264 or HEVC stream has no timestamps at all, so of those the check
# reads the header.)
V=(-f lavfi -i testsrc2=size=160x120:rate=25:duration=1)
A=(-f lavfi -i "aevalsrc=exprs=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):channel_layout=stereo:sample_rate=48000:duration=1")
X264=(-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 2 -g 12)
clips=()
clip() {  # clip NAME FFMPEG-ARGUMENTS...
  local name=$1
  shift
  clips+=("$name")
  in_root "$tools" sh -c '
    set -e
    cd "$1"; name=$2; shift 2
    ffmpeg -nostdin -v error -y "$@" "$name"
    ffprobe -v error -show_entries stream=codec_name,codec_type -of csv=p=0 "$name" >"$name.streams"
    if grep -qE ",video(,|$)" "$name.streams"; then
      ffmpeg -nostdin -v error -i "$name" -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt rgb24 "$name.rgb24"
    fi
    if grep -qE ",audio(,|$)" "$name.streams"; then
      ffmpeg -nostdin -v error -i "$name" -map 0:a:0 -f f32le "$name.f32le"
    fi
  ' sh "$inside/media" "$name" "$@" >>"$logs/media.log" 2>&1 || { echo "making $name failed:"; tail -n 20 "$logs/media.log"; exit 1; }
}
echo "[tools] making clips, and the tool's decoding of each"
: >"$logs/media.log"
clip h264_aac.mp4        "${V[@]}" "${A[@]}" "${X264[@]}" -c:a aac
clip h264.h264           "${V[@]}" "${X264[@]}"
clip hevc_eac3.mkv       "${V[@]}" "${A[@]}" -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p -c:a eac3
clip hevc.hevc           "${V[@]}" -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p
clip vp8_vorbis.webm     "${V[@]}" "${A[@]}" -c:v libvpx -b:v 300k -c:a libvorbis
clip vp9_opus.webm       "${V[@]}" "${A[@]}" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 300k -c:a libopus
clip av1.mp4             "${V[@]}" -c:v libaom-av1 -usage realtime -cpu-used 8 -row-mt 1 -b:v 200k -pix_fmt yuv420p
clip mpeg4_mp3.avi       "${V[@]}" "${A[@]}" -c:v mpeg4 -q:v 4 -bf 0 -c:a libmp3lame
clip mpeg1_mp2.mpg       "${V[@]}" "${A[@]}" -c:v mpeg1video -q:v 4 -bf 0 -c:a mp2 -f mpeg
clip mpeg2_ac3.ts        "${V[@]}" "${A[@]}" -c:v mpeg2video -q:v 4 -bf 2 -c:a ac3
clip mjpeg_pcm.avi       "${V[@]}" "${A[@]}" -c:v mjpeg -q:v 3 -c:a pcm_s16le
clip prores_alac.mov     "${V[@]}" "${A[@]}" -c:v prores -c:a alac
clip png.mov             "${V[@]}" -c:v png -pix_fmt rgb24
clip rawvideo_pcm.nut    "${V[@]}" "${A[@]}" -c:v rawvideo -pix_fmt yuv420p -c:a pcm_s24le
clip ffv1_flac.mkv       "${V[@]}" "${A[@]}" -c:v ffv1 -c:a flac
clip aac.aac             "${A[@]}" -c:a aac
clip mp3.mp3             "${A[@]}" -c:a libmp3lame
clip opus.ogg            "${A[@]}" -c:a libopus
clip vorbis.ogg          "${A[@]}" -c:a libvorbis
clip flac.flac           "${A[@]}" -c:a flac
clip alac.m4a            "${A[@]}" -c:a alac
clip ac3.ac3             "${A[@]}" -c:a ac3
clip s16.wav             "${A[@]}" -c:a pcm_s16le
clip f32.wav             "${A[@]}" -c:a pcm_f32le


clips_status=0
echo "[bare] decoding the clips with the wheel"
in_root "$bare" "$inside/venv/bin/python" "$inside/check/wheel_check.py" "$inside/media" "${clips[@]}" ||
  clips_status=$?

echo "[bare] the command line"
in_root "$bare" "$inside/venv/bin/quorvex-av" --version
in_root "$bare" "$inside/venv/bin/quorvex-av" info "$inside/media/h264_aac.mp4" || clips_status=1

# PyTorch is left out of the venv, as in the compat roots: its tests skip.
echo "[bare] the test suite against the installed wheel (log: build/wheel-test/pytest.log)"
set +e
# shellcheck disable=SC2086  # WHEEL_TEST_ARGS is a list of arguments
in_root "$bare" env PATH="$inside/bin:$inside/venv/bin:/usr/bin:/bin" PYTHONPATH="$inside/check" \
  QUORVEX_TEST_TORCH=skip \
  sh -c 'cd "$1" && shift && exec pytest -p wheel_check -q "$@"' sh "$inside/suite" ${WHEEL_TEST_ARGS:-} \
  2>&1 | tee "$logs/pytest.log"
suite_status=${PIPESTATUS[0]}
set -e
status=$((clips_status || suite_status))
echo "wheel test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status

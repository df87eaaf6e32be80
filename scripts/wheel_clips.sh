# shellcheck shell=bash
# The clips of `make wheel-test` (sourced by scripts/wheel_test.sh, which sets
# tools, inside and logs): every codec and container the wheels are built
# for, made by the ffmpeg tool of the tools root into the shared work
# directory, with the tool's own decoding of each as the reference: video as
# rgb24 frames, audio as float samples at the stream's own rate and layout.
# (The AVI and MPEG-PS clips have no B-frames: the readers' frame index, from
# the packets' timestamps, does not hold for them in those containers,
# whichever FFmpeg; a raw H.264 or HEVC stream has no timestamps at all, so
# of those the check reads the header.)

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
make_clips() {
  echo "[tools] making clips, and the tool's decoding of each"
  : >"$logs/media.log"
  in_root "$tools" uname -m >"$work/media/machine"
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
}

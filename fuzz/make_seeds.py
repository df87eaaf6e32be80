"""Writes the fuzzer's seed corpus: small media files, each behind a few
control headers (see fuzz_decoder.py for their layout).

The media come from the test suite's clip factory (cut down to their first
few kilobytes; MP4-family files are first remuxed with the index in front so
that a cut keeps it) and from the ffmpeg tool, in containers and codecs the
test clips do not use.  Nothing here is kept in the repository.

Usage: python fuzz/make_seeds.py OUT_DIR [--media-cache DIR] [--limit BYTES]
"""

from __future__ import annotations

import argparse
import hashlib
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

HEADER = 32  # must match fuzz_decoder.HEADER

# Clips of the test factory worth starting from.
FACTORY_CLIPS = [
    "h264", "vp9", "mpeg4", "gray8", "gray16be", "gray16le", "rgba", "rotated90",
    "mirrored", "multi", "aac", "mp3", "wav", "flac", "opus", "no_timestamps",
    "odd_width", "format_change", "vfr", "aac_negative", "unknown_duration",
]

TINY_VIDEO = ["-f", "lavfi", "-i", "testsrc2=size=48x32:rate=10:duration=0.5"]
TINY_AUDIO = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=0.25"]

# name: ffmpeg output arguments (inputs included).
TOOL_FILES = {
    "mpeg4_mp3.avi": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "mpeg4", "-bf", "1", "-g", "3",
                      "-c:a", "libmp3lame", "-b:a", "32k"],
    "mjpeg.avi": [*TINY_VIDEO, "-c:v", "mjpeg", "-q:v", "20"],
    "ffv1_flac.mkv": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "ffv1", "-c:a", "flac"],
    "h264_rgb.mkv": [*TINY_VIDEO, "-c:v", "libx264rgb", "-preset", "ultrafast", "-g", "3"],
    "vp8_vorbis.webm": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "libvpx", "-b:v", "50k",
                        "-c:a", "libvorbis", "-ac", "1"],
    "vp9_opus.webm": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "libvpx-vp9", "-deadline",
                      "realtime", "-cpu-used", "8", "-b:v", "50k", "-c:a", "libopus",
                      "-ar", "48000"],
    "rgb24.nut": [*TINY_VIDEO, "-frames:v", "2", "-c:v", "rawvideo", "-pix_fmt", "rgb24"],
    "gray.nut": [*TINY_VIDEO, "-frames:v", "2", "-c:v", "rawvideo", "-pix_fmt", "gray"],
    "gray16be.nut": [*TINY_VIDEO, "-frames:v", "2", "-c:v", "rawvideo", "-pix_fmt", "gray16be"],
    "rgba_png.mov": [*TINY_VIDEO, "-frames:v", "3", "-c:v", "png", "-pix_fmt", "rgba",
                     "-movflags", "faststart"],
    "gray12.nut": [*TINY_VIDEO, "-frames:v", "2", "-c:v", "rawvideo", "-pix_fmt", "gray12le"],
    "huffyuv_pcm.nut": [*TINY_VIDEO, *TINY_AUDIO, "-frames:v", "2", "-c:v", "huffyuv",
                        "-c:a", "pcm_u8"],
    "mpeg2_mp2.ts": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "mpeg2video", "-bf", "2", "-g", "4",
                     "-c:a", "mp2", "-b:a", "32k"],
    "h264.ts": [*TINY_VIDEO, "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "4"],
    "adpcm.wav": [*TINY_AUDIO, "-c:a", "adpcm_ima_wav"],
    "u8.wav": [*TINY_AUDIO, "-c:a", "pcm_u8", "-ac", "2"],
    "f32.wav": [*TINY_AUDIO, "-c:a", "pcm_f32le"],
    "stereo.flac": [*TINY_AUDIO, "-ac", "2", "-c:a", "flac"],
    "vorbis.ogg": [*TINY_AUDIO, "-c:a", "libvorbis"],
    "theora.ogg": [*TINY_VIDEO, "-c:v", "libtheora", "-q:v", "2"],
    "mono.mp3": [*TINY_AUDIO, "-c:a", "libmp3lame", "-b:a", "16k"],
    "yuv420p.y4m": [*TINY_VIDEO, "-frames:v", "2", "-pix_fmt", "yuv420p"],
    "gray.y4m": [*TINY_VIDEO, "-frames:v", "2", "-pix_fmt", "gray"],
    "h263_ac3.mov": [*TINY_VIDEO, *TINY_AUDIO, "-s", "128x96", "-c:v", "h263",
                     "-c:a", "ac3", "-b:a", "64k", "-movflags", "faststart"],
    "prores_alac.mov": [*TINY_VIDEO, *TINY_AUDIO, "-frames:v", "2", "-c:v", "prores",
                        "-c:a", "alac", "-movflags", "faststart"],
    "flv1.flv": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "flv", "-c:a", "adpcm_swf",
                 "-ar", "11025"],
    "wmav2.asf": [*TINY_AUDIO, "-c:a", "wmav2", "-b:a", "32k"],
    "ac3.ac3": [*TINY_AUDIO, "-c:a", "ac3", "-b:a", "64k"],
    "h264.mp4": [*TINY_VIDEO, *TINY_AUDIO, "-c:v", "libx264", "-preset", "ultrafast",
                 "-bf", "2", "-g", "4", "-c:a", "aac", "-b:a", "24k",
                 "-movflags", "faststart"],
    "fragmented.mp4": [*TINY_VIDEO, "-c:v", "libx264", "-preset", "ultrafast", "-g", "2",
                       "-movflags", "frag_keyframe+empty_moov"],
    # Timestamps the readers must not take on trust: frames in pairs that
    # share a timestamp, and audio with a half-second gap in its timestamps.
    "shared_pts.mkv": [*TINY_VIDEO, "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0",
                       "-g", "4", "-bsf:v", "setts=ts=trunc(N/2)*2"],
    "gap.mkv": [*TINY_AUDIO, "-c:a", "libmp3lame", "-b:a", "16k",
                "-bsf:a", "setts=ts=TS+gte(N\\,2)*500"],
}

# A header that promises pictures of 16000x16000 over a few bytes.
LYING_Y4M = b"YUV4MPEG2 W16000 H16000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + bytes(96)


def control(mode: int, *rest: int) -> bytes:
    """A control header: the mode byte, the dtypes byte, then the given
    bytes, zero padded."""
    body = bytes([mode, *rest])
    return body + bytes(HEADER - len(body))


# Headers for every file: video with each output dtype, audio, both, through
# a file object (one that misbehaves too), the media repeated, and arguments
# that ask for transforms and several targets.
HEADERS = [
    control(0, 0x00),
    control(0, 0x15),
    control(0, 0x2A),
    control(0, 0x3F),
    control(1),
    control(2, 0x3F, 3, 0, 0, 0, 0, 0, 2, 1, 1, 1, 9, 9, 9, 2, 1, 40, 40),
    control(0x20, 0x24, 0, 0, 2),
    control(0x80, 0x06, 255, 255, 255, 255, 1, 3, 2, 0, 3, 7, 7, 7, 0, 2, 31, 31),
    control(0x80 | 1, 0, 7, 200, 1, 40, 3, 1, 1),
    control(0xC0 | 2, 0, 0, 0, 20, 2),
]


def run_ffmpeg(args: list[str], out: Path) -> bool:
    cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args, str(out)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"skipped {out.name}: {done.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return False
    return True


def faststart(path: Path, work: Path) -> Path:
    """An MP4-family file with its index moved to the front (stream copy)."""
    out = work / f"fast-{path.name}"
    ok = run_ffmpeg(["-i", str(path), "-map", "0", "-c", "copy", "-movflags", "faststart"], out)
    return out if ok else path


def factory_media(cache: Path, work: Path) -> dict[str, bytes]:
    try:
        import media  # the test suite's clip factory
    except Exception as error:  # pragma: no cover - only without the test deps
        print(f"no test clips: {error}", file=sys.stderr)
        return {}
    factory = media.MediaFactory(cache)
    known = getattr(media, "CLIPS", {})
    found = {}
    for name in FACTORY_CLIPS:
        if known and name not in known:
            continue
        try:
            path = factory.path(name)
        except BaseException as error:  # pytest's skip is a BaseException
            if isinstance(error, KeyboardInterrupt):
                raise
            print(f"skipped clip {name}: {error}", file=sys.stderr)
            continue
        if path.suffix in (".mp4", ".mov", ".m4a"):
            path = faststart(path, work)
        found[f"clip-{name}{path.suffix}"] = path.read_bytes()
    return found


def tool_media(work: Path) -> dict[str, bytes]:
    found = {}
    for name, args in TOOL_FILES.items():
        out = work / name
        if run_ffmpeg(args, out):
            found[f"tool-{name}"] = out.read_bytes()
    # Two files joined byte for byte, as `cat a.mp3 a.mp3` makes them.
    if "tool-mono.mp3" in found:
        found["shape-joined.mp3"] = found["tool-mono.mp3"] * 2
    found["shape-lying.y4m"] = LYING_Y4M
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--media-cache", type=Path, default=Path("build/fuzz/media"))
    parser.add_argument("--limit", type=int, default=12 * 1024,
                        help="bytes of media kept per seed (default 12 KiB)")
    options = parser.parse_args()
    if shutil.which("ffmpeg") is None:
        sys.exit("make_seeds.py needs the ffmpeg tool")

    options.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        found = factory_media(options.media_cache, Path(work))
        found.update(tool_media(Path(work)))
    count = 0
    for name, data in sorted(found.items()):
        data = data[: options.limit]
        for header in HEADERS:
            seed = header + data
            digest = hashlib.sha1(seed).hexdigest()[:12]
            (options.out / f"seed-{name}-{digest}").write_bytes(seed)
            count += 1
    print(f"wrote {count} seeds from {len(found)} media files into {options.out}")


if __name__ == "__main__":
    main()

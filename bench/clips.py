"""Benchmark inputs, made once with the ffmpeg tool and cached.

Every clip is described by the ffmpeg arguments that make it; the file name
carries a hash of those arguments, so changing a recipe makes a new file
instead of silently reusing a stale one.  The pictures are a moving test
pattern with temporal noise on top, so that the decoder has real residual
data to work through (a clean synthetic pattern compresses to almost nothing
and decodes unrealistically fast).
"""

from __future__ import annotations

import hashlib
import subprocess
from dataclasses import dataclass
from pathlib import Path

DEFAULT_DIR = Path(__file__).resolve().parent / ".media"


@dataclass(frozen=True)
class Clip:
    key: str          # short name used by the rows
    label: str        # human description for the report
    suffix: str
    args: tuple[str, ...]  # ffmpeg arguments between the global options and the output
    # A clip made from another one: "{base}" in ``args`` stands for its path.
    base: Clip | None = None


def _video(width, height, seconds, codec_args, fps=30):
    source = (f"testsrc2=size={width}x{height}:rate={fps}:duration={seconds},"
              "noise=alls=5:allf=t,format=yuv420p")
    return ("-f", "lavfi", "-i", source, *codec_args)


def _h264(gop, bframes):
    return ("-c:v", "libx264", "-preset", "fast", "-crf", "23", "-pix_fmt", "yuv420p",
            "-g", str(gop), "-keyint_min", str(gop), "-sc_threshold", "0", "-bf", str(bframes))


def _vp9(gop):
    return ("-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1",
            "-b:v", "6M", "-g", str(gop), "-pix_fmt", "yuv420p")


def _audio(seconds, codec_args):
    # Two independent pink-noise channels: as busy as music, unlike a sine.
    graph = (f"anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:seed=1:duration={seconds}[l];"
             f"anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:seed=2:duration={seconds}[r];"
             "[l][r]join=inputs=2:channel_layout=stereo[out]")
    return ("-filter_complex", graph, "-map", "[out]", *codec_args)


def _tone_in_noise(seconds, codec_args):
    # A 440 Hz tone under pink noise, the second channel a softer copy.
    graph = (f"sine=frequency=440:sample_rate=44100:duration={seconds}[tone];"
             f"anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:seed=3:duration={seconds}[noise];"
             "[tone][noise]amix=inputs=2,pan=stereo|c0=c0|c1=0.7*c0[out]")
    return ("-filter_complex", graph, "-map", "[out]", "-ac", "2", "-ar", "44100", *codec_args)


def _looped(clip: Clip, key: str, label: str, times: int) -> Clip:
    """``clip`` played ``times`` times over, its packets copied: an hour of
    audio in seconds instead of the minutes an encoder takes."""
    return Clip(key, label, clip.suffix,
                ("-stream_loop", str(times - 1), "-i", "{base}", "-c", "copy"), base=clip)


def catalogue(tiny: bool) -> dict[str, Clip]:
    """The clips the rows use, full-size or tiny (for the smoke test)."""
    if tiny:
        clips = [
            Clip("h264_1080p", "H.264 320x240 tiny", "mp4",
                 _video(320, 240, 1, _h264(10, 2))),
            Clip("h264_720p", "H.264 256x144 tiny", "mp4",
                 _video(256, 144, 2, _h264(25, 2))),
            Clip("vp9_1080p", "VP9 320x240 tiny", "webm", _video(320, 240, 1, _vp9(10))),
            Clip("aac", "AAC tiny", "m4a", _audio(2, ("-c:a", "aac", "-b:a", "128k"))),
            Clip("mp3", "MP3 tiny", "mp3", _audio(2, ("-c:a", "libmp3lame", "-b:a", "128k"))),
        ]
        minute = 2
        loops = 10
    else:
        clips = [
            Clip("h264_1080p", "H.264 1920x1080 30 fps 10 s, GOP 60, B-frames", "mp4",
                 _video(1920, 1080, 10, _h264(60, 2))),
            Clip("h264_720p", "H.264 1280x720 30 fps 60 s, GOP 250, B-frames", "mp4",
                 _video(1280, 720, 60, _h264(250, 2))),
            Clip("vp9_1080p", "VP9 1920x1080 30 fps 10 s, GOP 60", "webm",
                 _video(1920, 1080, 10, _vp9(60))),
            Clip("aac", "AAC stereo 44.1 kHz 60 s, 128 kb/s", "m4a",
                 _audio(60, ("-c:a", "aac", "-b:a", "128k"))),
            Clip("mp3", "MP3 stereo 44.1 kHz 60 s, 128 kb/s", "mp3",
                 _audio(60, ("-c:a", "libmp3lame", "-b:a", "128k"))),
        ]
        minute = 60
        loops = 60
    # The 720p video with a soundtrack: its packets copied, noise in AAC beside.
    video = next(clip for clip in clips if clip.key == "h264_720p")
    seconds = 2 if tiny else 60
    clips.append(Clip("h264_720p_aac", f"{video.label}, AAC stereo 44.1 kHz 128 kb/s", "mp4",
                      ("-i", "{base}", *_audio(seconds, ("-map", "0:v", "-c:v", "copy", "-c:a", "aac",
                                                          "-b:a", "128k"))), base=video))
    # An hour of a tone under noise, looped from a minute of it.
    for key, suffix, codec in (("aac", "m4a", ("-c:a", "aac")), ("mp3", "mp3", ("-c:a", "libmp3lame"))):
        base = Clip(f"{key}_minute", f"{key} tone and noise", suffix,
                    _tone_in_noise(minute, (*codec, "-b:a", "128k")))
        seconds = minute * loops
        length = f"{seconds // 3600} hour" if seconds >= 3600 else f"{seconds} s"
        clips.append(_looped(base, f"{key}_hour", f"{key.upper()} stereo 44.1 kHz {length}, tone in noise, "
                                                  "128 kb/s", loops))
    return {clip.key: clip for clip in clips}


def _recipe(clip: Clip) -> list[str]:
    return [*clip.args, *(["from", *_recipe(clip.base)] if clip.base else [])]


def path_of(clip: Clip, directory: Path) -> Path:
    digest = hashlib.sha1("\0".join(_recipe(clip)).encode()).hexdigest()[:10]
    return directory / f"{clip.key}-{digest}.{clip.suffix}"


def ensure(clip: Clip, directory: Path = DEFAULT_DIR) -> Path:
    """Path of the clip, making it first if it is not in the cache."""
    path = path_of(clip, directory)
    if path.exists():
        return path
    directory.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.stem + ".part." + clip.suffix)
    args = list(clip.args)
    if clip.base is not None:
        base = str(ensure(clip.base, directory))
        args = [base if arg == "{base}" else arg for arg in args]
    print(f"making {path.name} ({clip.label}) ...", flush=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args, str(partial)], check=True)
    partial.replace(path)
    return path


def ensure_all(keys, tiny: bool, directory: Path = DEFAULT_DIR) -> dict[str, Path]:
    clips = catalogue(tiny)
    return {key: ensure(clips[key], directory) for key in keys}


def loader_files(tiny: bool, directory: Path = DEFAULT_DIR, count: int = 8) -> tuple[list[Path], str]:
    """The loader rows' files: alike but for their noise, so that none is a
    copy of another; made when missing. Returns their paths and a label."""
    width, height, seconds = (256, 144, 2) if tiny else (1280, 720, 10)
    label = f"{count} x H.264 {width}x{height} 30 fps {seconds} s, GOP 60, B-frames"
    made = []
    for number in range(count):
        source = (f"testsrc2=size={width}x{height}:rate=30:duration={seconds},"
                  f"noise=alls=5:allf=t:all_seed={number + 1},format=yuv420p")
        clip = Clip(f"loader_{number}", f"{label}: file {number + 1}", "mp4",
                    ("-f", "lavfi", "-i", source, *_h264(60, 2)))
        made.append(ensure(clip, directory))
    return made, label

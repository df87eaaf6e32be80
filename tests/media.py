"""Small media clips made on demand with the ffmpeg tool, and ffprobe helpers.

Nothing binary is kept in the repository: every clip is described here by the
ffmpeg arguments (or a Python builder) that make it, plus a dict of facts the
tests may rely on.  ``MediaFactory`` makes each clip the first time a test asks
for it and keeps it in a cache directory.

Facts hold what the recipe asked ffmpeg for and the header values ffprobe
reports for the resulting file; ``test_media.py`` checks them against
ffprobe.  The top level of a clip's facts describes its primary stream (the
first of its media type), with these keys:

every stream
    ``index``, ``type`` ("video", "audio" or "subtitle"), ``codec``
    (ffprobe's codec_name), ``time_base`` (Fraction) and ``first_pts`` (the
    smallest packet timestamp, pts or else dts, in ticks; None when packets
    carry neither).
video and audio streams
    ``start_time`` and ``duration`` (the stream header's, in seconds) and
    ``container_duration`` (the format's, in seconds); None where ffprobe
    reports N/A.
video
    ``width``, ``height``, ``pix_fmt``, ``fps`` (Fraction: the real base frame
    rate), ``frames`` (frames decoded), ``header_frames`` (the header's frame
    count or None), ``gop`` (packets from one key packet to the next, in file
    order; 1 for intra-only streams), ``b_frames`` (bool); optionally
    ``color_range``, ``color_space``, ``color_primaries`` and
    ``color_transfer`` (ffprobe's names), and ``rotation`` (ffprobe's
    display-matrix angle, degrees) with ``display_matrix`` (the nine values
    written to the track header).
audio
    ``sample_rate``, ``channels``, ``sample_fmt``, ``length`` (seconds of
    signal generated) and ``tones`` (each channel's sine frequency in Hz).

Also at the top level: ``streams``, the stream types in index order, and
``others``, mapping the index of every other stream to a dict of the same
shape.

The lossless synthetic clips (gray8, gray16le, gray16be, rgba) decode to
exactly ``source_frames(name)``.
"""

from __future__ import annotations

import contextlib
import copy
import dataclasses
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
from fractions import Fraction
from pathlib import Path
from typing import Callable, Sequence, Union

import numpy as np
import pytest

# --------------------------------------------------------------------------
# Synthetic picture content (lossless clips are built from these, so tests
# can compare decoded pixels exactly).

SYNTH_SIZE = (128, 96)  # width, height
SYNTH_FRAMES = 10
SYNTH_FPS = 25


def gray16_frames(count: int = SYNTH_FRAMES, size=SYNTH_SIZE) -> np.ndarray:
    """(count, height, width) uint16 ramps whose high and low bytes differ."""
    width, height = size
    t, y, x = np.ogrid[:count, :height, :width]
    return ((x * 521 + y * 263 + t * 4099) % 65536).astype(np.uint16)


def gray8_frames(count: int = SYNTH_FRAMES, size=SYNTH_SIZE) -> np.ndarray:
    """(count, height, width) uint8: the high byte of ``gray16_frames``."""
    return (gray16_frames(count, size) >> 8).astype(np.uint8)


def rgba_frames(count: int = SYNTH_FRAMES, size=SYNTH_SIZE) -> np.ndarray:
    """(count, height, width, 4) uint8 in R, G, B, A order; alpha varies."""
    width, height = size
    t, y, x = np.ogrid[:count, :height, :width]
    r = (x * 2 + t * 8) % 256
    g = (y * 2 + t * 4) % 256
    b = ((x + y) * 3) % 256
    a = ((x + 2 * y) * 2 + t * 16) % 256
    planes = [np.broadcast_to(p, (count, height, width)) for p in (r, g, b, a)]
    return np.stack(planes, axis=-1).astype(np.uint8)


# Decoded content of the synthetic clips, by clip name.
SOURCE_FRAMES = {
    "gray8": gray8_frames,
    "gray16le": gray16_frames,
    "gray16be": gray16_frames,
    "rgba": rgba_frames,
}


def source_frames(name: str) -> np.ndarray:
    """The exact pixels a lossless synthetic clip decodes to."""
    return SOURCE_FRAMES[name]()


# --------------------------------------------------------------------------
# Display matrices in ISO-BMFF track headers.

IDENTITY_MATRIX = (1, 0, 0, 0, 1, 0, 0, 0, 1)


def _matrix_words(matrix9: Sequence[float]) -> bytes:
    """a,b,u,c,d,v,x,y,w: u, v, w are 2.30 fixed point, the rest 16.16."""
    if len(matrix9) != 9:
        raise ValueError("a display matrix has nine values")
    words = []
    for i, value in enumerate(matrix9):
        shift = 30 if i % 3 == 2 else 16
        words.append(int(round(value * (1 << shift))))
    return struct.pack(">9i", *words)


def _boxes(data: bytes, start: int, end: int):
    """Yield (type, payload start, box end) of the boxes in data[start:end]."""
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            (size,) = struct.unpack_from(">Q", data, pos + 8)
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            raise ValueError(f"malformed box {kind!r} at offset {pos}")
        yield kind, pos + header, pos + size
        pos += size


def _child(data: bytes, start: int, end: int, kind: bytes):
    for k, s, e in _boxes(data, start, end):
        if k == kind:
            return s, e
    return None


def set_display_matrix(path, matrix9: Sequence[float]) -> int:
    """Overwrite the matrix in the track header of every video track.

    ``matrix9`` is (a, b, u, c, d, v, x, y, w) in real numbers.  Returns the
    number of tracks patched; raises ValueError if the file has no video
    track.
    """
    path = Path(path)
    data = bytearray(path.read_bytes())
    words = _matrix_words(matrix9)
    patched = 0
    for kind, s, e in _boxes(data, 0, len(data)):
        if kind != b"moov":
            continue
        for tkind, ts, te in _boxes(data, s, e):
            if tkind != b"trak":
                continue
            tkhd = _child(data, ts, te, b"tkhd")
            mdia = _child(data, ts, te, b"mdia")
            hdlr = mdia and _child(data, *mdia, b"hdlr")
            # hdlr payload: version/flags (4), pre_defined (4), handler (4)
            if not tkhd or not hdlr or data[hdlr[0] + 8:hdlr[0] + 12] != b"vide":
                continue
            version = data[tkhd[0]]
            offset = tkhd[0] + (52 if version == 1 else 40)
            if offset + 36 > tkhd[1]:
                raise ValueError("track header too short")
            data[offset:offset + 36] = words
            patched += 1
    if not patched:
        raise ValueError(f"{path} has no video track to patch")
    path.write_bytes(bytes(data))
    return patched


# --------------------------------------------------------------------------
# The clip table.

Recipe = Union[Sequence[str], Callable[["_Build"], None]]


@dataclasses.dataclass(frozen=True)
class Clip:
    filename: str
    recipe: Recipe
    facts: dict


@dataclasses.dataclass
class _Build:
    """What a builder function gets: where to write, and a way to run ffmpeg."""

    name: str
    out: Path
    workdir: Path

    def ffmpeg(self, args: Sequence[str], piped: bool = False) -> None:
        _run_ffmpeg(self.name, args, self.out, piped)


SMALL = "size=160x120:rate=25"


def _testsrc(seconds) -> list:
    return ["-f", "lavfi", "-i", f"testsrc2={SMALL}:duration={seconds}"]


def _tones(rate, seconds, freqs=(440, 660)) -> list:
    """A sine per channel, each at its own frequency and level."""
    exprs = "|".join(
        f"{0.5 / (i + 1)}*sin(2*PI*{f}*t)" for i, f in enumerate(freqs))
    layout = {1: "mono", 2: "stereo"}[len(freqs)]
    return ["-f", "lavfi", "-i",
            f"aevalsrc=exprs={exprs}:channel_layout={layout}"
            f":sample_rate={rate}:duration={seconds}"]


def _x264(b_frames: int) -> list:
    params = f"keyint=25:min-keyint=25:scenecut=0:bframes={b_frames}"
    if b_frames:
        params += ":b-adapt=0"  # always use the B-frames, never fewer
    return ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
            "-x264-params", params]


X264_GOP25 = _x264(2)
X264_PLAIN = _x264(0)
AAC = ["-c:a", "aac", "-b:a", "96k"]
FLAC16 = ["-c:a", "flac", "-sample_fmt", "s16"]


def _video(codec, *, width=160, height=120, pix_fmt="yuv420p", fps=25,
           frames, gop=25, b_frames=False, time_base=Fraction(1, 12800),
           start_time=0.0, duration, container_duration, header_frames=None,
           first_pts=0, index=0, **extra):
    return dict(index=index, type="video", codec=codec, width=width,
                height=height, pix_fmt=pix_fmt, fps=Fraction(fps),
                frames=frames, header_frames=header_frames, gop=gop,
                b_frames=b_frames, time_base=time_base, first_pts=first_pts,
                start_time=start_time, duration=duration,
                container_duration=container_duration, **extra)


def _audio(codec, *, sample_rate=44100, channels=2, sample_fmt="fltp",
           tones=(440, 660), length, time_base=None, first_pts=0,
           start_time=0.0, duration, container_duration, index=0):
    if time_base is None:
        time_base = Fraction(1, sample_rate)
    return dict(index=index, type="audio", codec=codec,
                sample_rate=sample_rate, channels=channels,
                sample_fmt=sample_fmt, tones=tuple(tones), length=length,
                time_base=time_base, first_pts=first_pts,
                start_time=start_time, duration=duration,
                container_duration=container_duration)


def _facts(primary: dict, *others: dict) -> dict:
    streams = sorted((primary, *others), key=lambda s: s["index"])
    assert [s["index"] for s in streams] == list(range(len(streams)))
    facts = dict(primary)
    facts["streams"] = tuple(s["type"] for s in streams)
    facts["others"] = {s["index"]: s for s in others}
    return facts


def _raw_input(build: _Build, frames: np.ndarray, pix_fmt: str) -> list:
    """Write frames to a raw file and return the ffmpeg input arguments."""
    raw = build.workdir / "frames.raw"
    raw.write_bytes(frames.tobytes())
    height, width = frames.shape[1:3]
    return ["-f", "rawvideo", "-pix_fmt", pix_fmt,
            "-video_size", f"{width}x{height}", "-framerate", str(SYNTH_FPS),
            "-i", str(raw)]


def _make_gray8(build: _Build) -> None:
    src = _raw_input(build, gray8_frames(), "gray")
    build.ffmpeg([*src, "-c:v", "ffv1", "-g", "5", "-pix_fmt", "gray"])


def _gray16_maker(pix_fmt: str):
    def make(build: _Build) -> None:
        src = _raw_input(build, gray16_frames().astype("<u2"), "gray16le")
        build.ffmpeg([*src, "-c:v", "rawvideo", "-pix_fmt", pix_fmt])
    return make


def _make_rgba(build: _Build) -> None:
    src = _raw_input(build, rgba_frames(), "rgba")
    build.ffmpeg([*src, "-c:v", "png", "-pix_fmt", "rgba"])


# A quarter turn, and a left-right mirror, of a 160x120 picture.
ROTATE90_MATRIX = (0, 1, 0, -1, 0, 0, 120, 0, 1)
MIRROR_MATRIX = (-1, 0, 0, 0, 1, 0, 160, 0, 1)


def _matrix_maker(matrix9):
    def make(build: _Build) -> None:
        build.ffmpeg([*_testsrc(1), *X264_PLAIN])
        set_display_matrix(build.out, matrix9)
    return make


SUBTITLES = """\
1
00:00:00,200 --> 00:00:00,900
first line

2
00:00:01,000 --> 00:00:01,800
second line
"""


def _make_multi(build: _Build) -> None:
    srt = build.workdir / "subs.srt"
    srt.write_text(SUBTITLES)
    build.ffmpeg([
        *_testsrc(2),
        *_tones(44100, 2),
        *_tones(16000, 2, freqs=(880,)),
        "-i", str(srt),
        "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
        *X264_GOP25, *AAC, "-c:a:1", "flac", "-sample_fmt:a:1", "s16",
        "-c:s", "srt",
    ])


def _make_no_duration(build: _Build) -> None:
    # Matroska written to a pipe: the muxer cannot seek back to fill in
    # the durations, so the header has none.
    build.ffmpeg([*_testsrc(1), *X264_PLAIN, "-f", "matroska"], piped=True)


# 16-bit grey, lossless; NUT picks its own time base.
_GRAY16 = dict(width=128, height=96, frames=10, gop=1,
               time_base=Fraction(1, 51200), duration=None,
               container_duration=0.36)
# Matroska shifts the other streams by the AAC priming (1024 samples).
_SHIFT = 0.023

CLIPS: dict[str, Clip] = {
    "h264": Clip(
        "h264.mp4",
        [*_testsrc(3), *X264_GOP25],
        _facts(_video("h264", frames=75, header_frames=75, b_frames=True,
                      duration=3.0, container_duration=3.0)),
    ),
    "h264_audio": Clip(
        "h264_audio.mp4",
        [*_testsrc(3), *_tones(44100, 3), *X264_GOP25, *AAC],
        _facts(
            _video("h264", frames=75, header_frames=75, b_frames=True,
                   duration=3.0, container_duration=3.0),
            _audio("aac", index=1, length=3.0, first_pts=-1024,
                   duration=3.0, container_duration=3.0),
        ),
    ),
    "vp9": Clip(
        "vp9.webm",
        [*_testsrc(2), "-c:v", "libvpx-vp9", "-deadline", "realtime",
         "-cpu-used", "8", "-b:v", "300k", "-g", "25", "-keyint_min", "25"],
        _facts(_video("vp9", frames=50, time_base=Fraction(1, 1000),
                      duration=None, container_duration=2.0,
                      color_range="tv")),
    ),
    # AVI with B-frames: I- and P-frame packets have a dts but no pts.
    "mpeg4": Clip(
        "mpeg4.avi",
        [*_testsrc(2), "-c:v", "mpeg4", "-q:v", "4", "-g", "25", "-bf", "2"],
        _facts(_video("mpeg4", frames=50, header_frames=50, b_frames=True,
                      time_base=Fraction(1, 25), duration=2.0,
                      container_duration=2.0)),
    ),
    "gray8": Clip(
        "gray8.mkv", _make_gray8,
        _facts(_video("ffv1", width=128, height=96, pix_fmt="gray",
                      frames=10, gop=5, time_base=Fraction(1, 1000),
                      duration=None, container_duration=0.4)),
    ),
    "gray16le": Clip(
        "gray16le.nut", _gray16_maker("gray16le"),
        _facts(_video("rawvideo", pix_fmt="gray16le", **_GRAY16)),
    ),
    "gray16be": Clip(
        "gray16be.nut", _gray16_maker("gray16be"),
        _facts(_video("rawvideo", pix_fmt="gray16be", **_GRAY16)),
    ),
    "rgba": Clip(
        "rgba.mov", _make_rgba,
        _facts(_video("png", width=128, height=96, pix_fmt="rgba", frames=10,
                      header_frames=10, gop=1, duration=0.4,
                      container_duration=0.4, color_range="pc")),
    ),
    "rotated90": Clip(
        "rotated90.mp4", _matrix_maker(ROTATE90_MATRIX),
        _facts(_video("h264", frames=25, header_frames=25, duration=1.0,
                      container_duration=1.0, rotation=-90,
                      display_matrix=ROTATE90_MATRIX)),
    ),
    "mirrored": Clip(
        "mirrored.mp4", _matrix_maker(MIRROR_MATRIX),
        _facts(_video("h264", frames=25, header_frames=25, duration=1.0,
                      container_duration=1.0, rotation=-180,
                      display_matrix=MIRROR_MATRIX)),
    ),
    "multi": Clip(
        "multi.mkv", _make_multi,
        _facts(
            _video("h264", frames=50, b_frames=True,
                   time_base=Fraction(1, 1000), first_pts=23,
                   start_time=_SHIFT, duration=None,
                   container_duration=2.0 + _SHIFT),
            _audio("aac", index=1, length=2.0, time_base=Fraction(1, 1000),
                   duration=None, container_duration=2.0 + _SHIFT),
            _audio("flac", index=2, sample_rate=16000, channels=1,
                   sample_fmt="s16", tones=(880,), length=2.0,
                   time_base=Fraction(1, 1000), first_pts=23,
                   start_time=_SHIFT, duration=None,
                   container_duration=2.0 + _SHIFT),
            dict(index=3, type="subtitle", codec="subrip",
                 time_base=Fraction(1, 1000), first_pts=223),
        ),
    ),
    # The first AAC packet is the encoder's priming, at pts -1024; the
    # header's start time is still 0.
    "aac": Clip(
        "aac.m4a",
        [*_tones(44100, 2), *AAC],
        _facts(_audio("aac", length=2.0, first_pts=-1024, duration=2.0,
                      container_duration=2.0)),
    ),
    "mp3": Clip(
        "mp3.mp3",
        [*_tones(44100, 2), "-c:a", "libmp3lame", "-b:a", "128k"],
        _facts(_audio("mp3", length=2.0, time_base=Fraction(1, 14112000),
                      start_time=0.025057, duration=2.037551,
                      container_duration=2.037551)),
    ),
    "wav": Clip(
        "wav.wav",
        [*_tones(44100, 1), "-c:a", "pcm_s16le"],
        _facts(_audio("pcm_s16le", sample_fmt="s16", length=1.0,
                      start_time=None, duration=1.0,
                      container_duration=1.0)),
    ),
    "flac": Clip(
        "flac.flac",
        [*_tones(48000, 1, freqs=(440,)), *FLAC16],
        _facts(_audio("flac", sample_rate=48000, channels=1, sample_fmt="s16",
                      tones=(440,), length=1.0, duration=1.0,
                      container_duration=1.0)),
    ),
    # Ogg Opus: the first packet starts 312 samples (the pre-skip) early.
    "opus": Clip(
        "opus.ogg",
        [*_tones(48000, 1), "-c:a", "libopus", "-b:a", "64k"],
        _facts(_audio("opus", sample_rate=48000, length=1.0, first_pts=-312,
                      duration=1.0065, container_duration=1.0065)),
    ),
    "fullrange": Clip(
        "fullrange.mp4",
        [*_testsrc(1), *X264_PLAIN, "-color_range", "pc"],
        _facts(_video("h264", pix_fmt="yuvj420p", frames=25, header_frames=25,
                      duration=1.0, container_duration=1.0,
                      color_range="pc")),
    ),
    "tagged": Clip(
        "tagged.mp4",
        [*_testsrc(1), *X264_PLAIN, "-color_range", "tv",
         "-color_primaries", "bt709", "-color_trc", "bt709",
         "-colorspace", "bt709"],
        _facts(_video("h264", frames=25, header_frames=25, duration=1.0,
                      container_duration=1.0, color_range="tv",
                      color_space="bt709", color_primaries="bt709",
                      color_transfer="bt709")),
    ),
    "no_duration": Clip(
        "no_duration.mkv", _make_no_duration,
        _facts(_video("h264", frames=25, time_base=Fraction(1, 1000),
                      duration=None, container_duration=None)),
    ),
    # A raw H.264 elementary stream: no duration, and packets carry
    # neither pts nor dts.
    "no_timestamps": Clip(
        "no_timestamps.h264",
        [*_testsrc(1), *X264_PLAIN],
        _facts(_video("h264", frames=25, time_base=Fraction(1, 1200000),
                      first_pts=None, start_time=None, duration=None,
                      container_duration=None)),
    ),
}


# --------------------------------------------------------------------------
# Making clips.

class ClipUnavailable(Exception):
    """The local ffmpeg cannot make a clip."""


def _last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "(no error output)"


def _require(tool: str) -> str:
    exe = shutil.which(tool)
    if exe is None:
        pytest.skip(f"the {tool} command-line tool is not installed (not on PATH)")
    return exe


def _run_ffmpeg(name: str, args: Sequence[str], out: Path,
                piped: bool = False) -> None:
    """Run ffmpeg writing ``out`` (through its stdout when ``piped``)."""
    cmd = [_require("ffmpeg"), "-hide_banner", "-nostdin", "-loglevel", "error",
           "-y", *map(str, args), "pipe:1" if piped else str(out)]
    with open(out, "wb") if piped else contextlib.nullcontext() as sink:
        proc = subprocess.run(cmd, stdout=sink, stderr=subprocess.PIPE,
                              text=True)
    if proc.returncode != 0:
        raise ClipUnavailable(
            f"ffmpeg cannot make clip {name!r}: {_last_line(proc.stderr)}")


class MediaFactory:
    """Makes the clips of ``CLIPS`` on first request and caches them.

    Clips live in a subdirectory of ``cache_dir`` named after a hash of this
    module's source and the ffmpeg version, so editing a recipe or changing
    ffmpeg makes fresh files.
    """

    def __init__(self, cache_dir, clips: dict[str, Clip] = CLIPS):
        self.cache_dir = Path(cache_dir)
        self.clips = clips
        self._dir = None
        self._unavailable: dict[str, str] = {}

    def names(self) -> list[str]:
        return list(self.clips)

    def facts(self, name: str) -> dict:
        return copy.deepcopy(self.clips[name].facts)

    def _clip_dir(self) -> Path:
        if self._dir is None:
            exe = _require("ffmpeg")
            version = subprocess.run([exe, "-version"], capture_output=True,
                                     text=True).stdout.partition("\n")[0]
            key = hashlib.sha256(Path(__file__).read_bytes())
            key.update(version.encode())
            self._dir = self.cache_dir / key.hexdigest()[:16]
            self._dir.mkdir(parents=True, exist_ok=True)
        return self._dir

    def path(self, name: str) -> Path:
        clip = self.clips[name]
        if name in self._unavailable:
            pytest.skip(self._unavailable[name])
        target = self._clip_dir() / clip.filename
        if target.exists():
            return target
        try:
            self._make(name, clip, target)
        except ClipUnavailable as exc:
            self._unavailable[name] = str(exc)
            pytest.skip(str(exc))
        return target

    def _make(self, name: str, clip: Clip, target: Path) -> None:
        # Build under a private name next to the target, then rename: a
        # concurrent or interrupted run never sees a partial file.
        with tempfile.TemporaryDirectory(dir=target.parent,
                                         prefix=f".{name}.") as work:
            work = Path(work)
            tmp = work / clip.filename
            if callable(clip.recipe):
                clip.recipe(_Build(name, tmp, work))
            else:
                _run_ffmpeg(name, clip.recipe, tmp)
            os.replace(tmp, target)


# --------------------------------------------------------------------------
# ffprobe reference readers.

def _ffprobe(path, stream_index: int, *args: str) -> dict:
    cmd = [_require("ffprobe"), "-v", "error", "-of", "json",
           "-select_streams", str(stream_index), *args, str(path)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"ffprobe failed on {path}: {_last_line(proc.stderr)}")
    return json.loads(proc.stdout)


def probe_stream(path, stream_index: int) -> dict:
    """ffprobe's dict for one stream, side data included."""
    streams = _ffprobe(path, stream_index, "-show_streams")["streams"]
    if not streams:
        raise IndexError(f"{path} has no stream {stream_index}")
    return streams[0]


def probe_packets(path, stream_index: int, keep_discarded: bool = False):
    """[(pts, duration, is_key)] for one stream's packets in file order.

    pts falls back to dts when the packet has none (None if neither);
    duration is 0 when the container gives none.  Packets flagged for
    discarding are left out unless ``keep_discarded``.
    """
    data = _ffprobe(path, stream_index, "-show_entries",
                    "packet=pts,dts,duration,flags")
    result = []
    for pkt in data.get("packets", []):
        flags = pkt.get("flags", "")
        if "D" in flags and not keep_discarded:
            continue
        pts = pkt.get("pts", pkt.get("dts"))
        result.append((pts, pkt.get("duration", 0), flags.startswith("K")))
    return result


def probe_frames(path, stream_index: int) -> list[dict]:
    """Decoded frames of one stream, in output order.

    Each dict has ``pts`` (ticks; the best-effort timestamp when the frame
    has no pts), ``time`` (seconds), ``duration`` (ticks or None) and
    ``key_frame`` (bool).
    """
    data = _ffprobe(
        path, stream_index, "-show_entries",
        # Older ffprobe calls the frame duration pkt_duration; unknown
        # entry names are ignored, so ask for both.
        "stream=time_base:frame=pts,best_effort_timestamp,duration,"
        "pkt_duration,key_frame")
    tb = Fraction(data["streams"][0]["time_base"])
    frames = []
    for f in data.get("frames", []):
        pts = f.get("pts", f.get("best_effort_timestamp"))
        frames.append({
            "pts": pts,
            "time": None if pts is None else pts * tb.numerator / tb.denominator,
            "duration": f.get("duration", f.get("pkt_duration")),
            "key_frame": bool(f.get("key_frame")),
        })
    return frames


# --------------------------------------------------------------------------
# Reference pictures made by the ffmpeg tool.

_RAW_LAYOUTS = {  # pix_fmt: (channels, sample dtype)
    "rgb24": (3, "u1"),
    "rgb48le": (3, "<u2"),
    "rgba": (4, "u1"),
    "gray": (1, "u1"),
    "gray16le": (1, "<u2"),
}


def ffmpeg_frames(path, pix_fmt: str = "rgb24", stream_index: int = 0,
                  vf: str = "null") -> np.ndarray:
    """Every decoded frame of one video stream, in presentation order, as the
    ffmpeg tool converts it to ``pix_fmt``.

    Returns (frames, height, width, channels) in native byte order.  Frames
    are passed through one for one (no frame-rate conversion); ``vf`` is a
    filter applied before the conversion and must keep the picture size.
    """
    channels, dtype = _RAW_LAYOUTS[pix_fmt]
    stream = probe_stream(path, stream_index)
    width, height = stream["width"], stream["height"]
    cmd = [_require("ffmpeg"), "-hide_banner", "-nostdin", "-loglevel", "error",
           "-i", str(path), "-map", f"0:{stream_index}", "-fps_mode",
           "passthrough", "-vf", vf, "-f", "rawvideo",
           "-pix_fmt", pix_fmt, "pipe:1"]
    proc = subprocess.run(cmd, capture_output=True)
    if proc.returncode != 0:
        raise RuntimeError(f"ffmpeg failed on {path}: "
                           f"{_last_line(proc.stderr.decode(errors='replace'))}")
    data = np.frombuffer(proc.stdout, dtype=dtype)
    return data.reshape(-1, height, width, channels).astype(
        data.dtype.newbyteorder("="))


def key_targets(packets, pts_list) -> list:
    """Pair every pts with the timestamp of the last key packet at or before
    it (the first key packet when there is none), given a scan() result."""
    keys = [pts for pts, _, key in packets if key]
    return [(pts, max((k for k in keys if k <= pts), default=keys[0]))
            for pts in pts_list]


# --------------------------------------------------------------------------
# Clips for playback and audio tests.

# The two halves of "format_change": (sample rate, tone per channel).
FORMAT_CHANGE_PARTS = ((44100, (440, 660)), (22050, (1000,)))


def _make_format_change(build: _Build) -> None:
    # Two ADTS streams joined byte for byte: the sample rate and the channel
    # count change at the join, with no container to announce it.
    parts = []
    for i, (rate, freqs) in enumerate(FORMAT_CHANGE_PARTS):
        part = build.workdir / f"part{i}.aac"
        _run_ffmpeg(build.name, [*_tones(rate, 1, freqs=freqs), *AAC, "-f", "adts"], part)
        parts.append(part.read_bytes())
    build.out.write_bytes(b"".join(parts))


CLIPS.update({
    # FLV keeps no frame durations, and a 1000 fps output rate stops the
    # demuxer from guessing them: every frame's duration is unknown.
    "unknown_duration": Clip(
        "unknown_duration.flv",
        [*_testsrc(1), *X264_PLAIN, "-fps_mode", "passthrough", "-r", "1000"],
        _facts(_video("h264", frames=25, time_base=Fraction(1, 1000),
                      duration=None, container_duration=0.961)),
    ),
    # Matroska allowed to keep the AAC priming frame at a negative time.
    "aac_negative": Clip(
        "aac_negative.mkv",
        [*_tones(44100, 2), *AAC, "-avoid_negative_ts", "disabled"],
        _facts(_audio("aac", length=2.0, time_base=Fraction(1, 1000),
                      first_pts=-23, start_time=-0.023, duration=None,
                      container_duration=2.0)),
    ),
    # A width that is not a multiple of 32: converted through a padded frame.
    "odd_width": Clip(
        "odd_width.mp4",
        ["-f", "lavfi", "-i", "testsrc2=size=100x76:rate=25:duration=1", *X264_GOP25],
        _facts(_video("h264", width=100, height=76, frames=25, header_frames=25,
                      b_frames=True, duration=1.0, container_duration=1.0)),
    ),
    # Stereo 44.1 kHz for one second, then mono 22.05 kHz for one second.
    # The header describes the first half; its duration is estimated from
    # the bit rate.
    "format_change": Clip(
        "format_change.aac", _make_format_change,
        _facts(_audio("aac", length=2.0, time_base=Fraction(1, 28224000),
                      start_time=None, duration=1.830835,
                      container_duration=1.830835)),
    ),
})


# --------------------------------------------------------------------------
# Reference sound made by the ffmpeg tool.

def ffmpeg_audio(path, sample_rate: int, channels: int,
                 stream_index: int = 0) -> np.ndarray:
    """One audio stream decoded by the ffmpeg tool and converted to float32
    at the given rate and channel count: (channels, samples)."""
    cmd = [_require("ffmpeg"), "-hide_banner", "-nostdin", "-loglevel", "error",
           "-i", str(path), "-map", f"0:{stream_index}", "-f", "f32le",
           "-ac", str(channels), "-ar", str(sample_rate), "pipe:1"]
    proc = subprocess.run(cmd, capture_output=True)
    if proc.returncode != 0:
        raise RuntimeError(f"ffmpeg failed on {path}: "
                           f"{_last_line(proc.stderr.decode(errors='replace'))}")
    data = np.frombuffer(proc.stdout, dtype="<f4").astype(np.float32)
    return data.reshape(-1, channels).T.copy()


def probe_audio_frames(path, stream_index: int) -> list[dict]:
    """Decoded audio frames of one stream, as the ffmpeg tool's ashowinfo
    filter reports them: ``samples`` (per channel), ``channels`` and
    ``sample_rate`` of every frame.  (Older ffprobe prints no sample rate per
    frame, and its packet durations keep the header's rate after a change.)
    """
    cmd = [_require("ffmpeg"), "-hide_banner", "-nostdin", "-loglevel", "info",
           "-i", str(path), "-map", f"0:{stream_index}", "-af", "ashowinfo",
           "-f", "null", "-"]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"ffmpeg failed on {path}: {_last_line(proc.stderr)}")
    pattern = re.compile(r"channels:(\d+) .*rate:(\d+) nb_samples:(\d+)")
    frames = []
    for line in proc.stderr.splitlines():
        match = "ashowinfo" in line and pattern.search(line)
        if match:
            channels, rate, samples = map(int, match.groups())
            frames.append({"samples": samples, "channels": channels,
                           "sample_rate": rate})
    return frames


CLIPS.update({
    # Variable frame rate: frame n at 40 * (n + n // 3) ms, so every third
    # interval is doubled; B-frames. The header's base rate stays 25 fps.
    "vfr": Clip(
        "vfr.mp4",
        [*_testsrc(2), "-vf", "setpts=(N+floor(N/3))/25/TB", "-fps_mode", "vfr",
         *X264_GOP25, "-video_track_timescale", "1000"],
        _facts(_video("h264", frames=50, header_frames=50, b_frames=True,
                      time_base=Fraction(1, 1000), duration=2.6,
                      container_duration=2.64)),
    ),
})

"""Small media clips made on demand with the ffmpeg tool, and reference readers.

Every clip in ``CLIPS`` is the recipe that makes it plus facts: what the recipe
asked for, completed by ``MediaFactory.facts`` with the header values ffprobe
reads from the file made.  The top level of the facts describes the primary
stream (the first of its media type); ``streams`` lists the stream types in
index order and ``others`` maps the index of every other stream to a dict of the
same shape.
"""

from __future__ import annotations

import copy
import hashlib
import io
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
from fractions import Fraction
from pathlib import Path
from typing import Callable, NamedTuple, Sequence, Union

import numpy as np
import pytest

# -- synthetic pictures: 10 frames of 128x96 at 25 fps, lossless in their clips ----

def _gray16() -> np.ndarray:
    """Ramps whose high and low bytes differ, so byte order matters."""
    t, y, x = np.ogrid[:10, :96, :128]
    return ((x * 521 + y * 263 + t * 4099) % 65536).astype(np.uint16)


def _rgba() -> np.ndarray:
    t, y, x = np.ogrid[:10, :96, :128]
    planes = [(x * 2 + t * 8) % 256, (y * 2 + t * 4) % 256, ((x + y) * 3) % 256,
              ((x + 2 * y) * 2 + t * 16) % 256]  # R, G, B and a varying alpha
    return np.stack(np.broadcast_arrays(*planes), axis=-1).astype(np.uint8)


SOURCE_FRAMES = {"gray8": lambda: (_gray16() >> 8).astype(np.uint8),
                 "gray16le": _gray16, "gray16be": _gray16, "rgba": _rgba}


def source_frames(name: str) -> np.ndarray:
    """The exact pixels a lossless synthetic clip decodes to."""
    return SOURCE_FRAMES[name]()


# -- display matrices in ISO-BMFF track headers ------------------------------------

def _boxes(data, start: int, end: int) -> dict:
    """{type: [(payload start, box end)]} of the boxes in data[start:end]."""
    boxes, pos = {}, start
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
        boxes.setdefault(kind, []).append((pos + header, pos + size))
        pos += size
    return boxes


def set_display_matrix(path, matrix9: Sequence[float]) -> int:
    """Overwrite the matrix (a, b, u, c, d, v, x, y, w) in the track header of
    every video track; returns the number patched (ValueError if none)."""
    path = Path(path)
    data = bytearray(path.read_bytes())
    # u, v and w are 2.30 fixed point, the rest 16.16.
    words = struct.pack(">9i", *(round(v * (1 << (30 if i % 3 == 2 else 16)))
                                 for i, v in enumerate(matrix9)))
    patched = 0
    for moov in _boxes(data, 0, len(data)).get(b"moov", []):
        for trak in _boxes(data, *moov).get(b"trak", []):
            children = _boxes(data, *trak)
            mdia = children.get(b"mdia", [None])[0]
            hdlr = mdia and _boxes(data, *mdia).get(b"hdlr", [None])[0]
            # hdlr payload: version/flags (4), pre_defined (4), handler (4)
            if b"tkhd" not in children or not hdlr or data[hdlr[0] + 8:hdlr[0] + 12] != b"vide":
                continue
            tkhd = children[b"tkhd"][0]
            offset = tkhd[0] + (52 if data[tkhd[0]] == 1 else 40)
            data[offset:offset + 36] = words
            patched += 1
    if not patched:
        raise ValueError(f"{path} has no video track to patch")
    path.write_bytes(bytes(data))
    return patched


# -- the clip table -----------------------------------------------------------------

class Clip(NamedTuple):
    filename: str
    recipe: Union[Sequence[str], Callable[[Path, Path], None]]  # ffmpeg arguments, or make(out, workdir)
    facts: dict


def _testsrc(seconds) -> list:
    return ["-f", "lavfi", "-i", f"testsrc2=size=160x120:rate=25:duration={seconds}"]


def _tones(rate, seconds, freqs=(440, 660)) -> list:
    """A sine per channel, each at its own frequency and level."""
    exprs = "|".join(f"{0.5 / (i + 1)}*sin(2*PI*{f}*t)" for i, f in enumerate(freqs))
    layout = {1: "mono", 2: "stereo"}[len(freqs)]
    return ["-f", "lavfi", "-i",
            f"aevalsrc=exprs={exprs}:channel_layout={layout}:sample_rate={rate}:duration={seconds}"]


def _x264(b_frames: int) -> list:
    params = f"keyint=25:min-keyint=25:scenecut=0:bframes={b_frames}"
    if b_frames:
        params += ":b-adapt=0"  # always use the B-frames, never fewer
    return ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-x264-params", params]


# A key frame every 25 frames; GOP25 puts two B-frames between the others, PLAIN none.
X264_GOP25 = _x264(2)
X264_PLAIN = _x264(0)
AAC = ["-c:a", "aac", "-b:a", "96k"]
TAG_BT709 = "setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709"


# Facts of every stream that follow from its recipe: index, type and codec.
# Video adds width, height, pix_fmt, fps (the real base frame rate), the
# colour tags the recipe asks for (``colours``, ffprobe's names) and rotation
# (the display matrix's angle); audio adds sample_rate, channels and
# sample_fmt.  What the muxer writes into the header beyond that (time base,
# start, durations, frame count, other colour tags) differs between releases
# of the tool and is read from the file itself (``probe_header``).
def _video(codec, **facts):
    return dict(index=0, type="video", codec=codec, width=160, height=120, pix_fmt="yuv420p",
                fps=Fraction(25), colours={}) | facts


def _audio(codec, sample_rate=44100, **facts):
    return dict(index=0, type="audio", codec=codec, sample_rate=sample_rate, channels=2,
                sample_fmt="fltp") | facts


def _clip(filename: str, recipe, primary: dict, *others: dict) -> Clip:
    streams = sorted((primary, *others), key=lambda s: s["index"])
    return Clip(filename, recipe, dict(primary, streams=tuple(s["type"] for s in streams),
                                       others={s["index"]: s for s in others}))


def _raw_maker(frames: Callable[[], np.ndarray], in_fmt: str, *codec: str):
    """A lossless clip of synthetic frames, written raw and then encoded."""
    def make(out: Path, work: Path) -> None:
        source = frames()
        raw = work / "frames.raw"
        raw.write_bytes(source.astype("<u2").tobytes() if source.dtype == np.uint16 else source.tobytes())
        _encode(["-f", "rawvideo", "-pix_fmt", in_fmt, "-video_size", "128x96",
                 "-framerate", "25", "-i", str(raw), *codec], out)
    return make


# A quarter turn, and a left-right mirror, of a 160x120 picture.
ROTATE90_MATRIX = (0, 1, 0, -1, 0, 0, 120, 0, 1)
MIRROR_MATRIX = (-1, 0, 0, 0, 1, 0, 160, 0, 1)


def _matrix_maker(matrix9):
    def make(out: Path, work: Path) -> None:
        _encode([*_testsrc(1), *X264_PLAIN], out)
        set_display_matrix(out, matrix9)
    return make


def _make_multi(out: Path, work: Path) -> None:
    srt = work / "subs.srt"
    srt.write_text("1\n00:00:00,200 --> 00:00:00,900\nfirst line\n\n"
                   "2\n00:00:01,000 --> 00:00:01,800\nsecond line\n")
    _encode([*_testsrc(2), *_tones(44100, 2), *_tones(16000, 2, freqs=(880,)),
             "-i", str(srt), "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
             *X264_GOP25, *AAC, "-c:a:1", "flac", "-sample_fmt:a:1", "s16", "-c:s", "srt",
             "-avoid_negative_ts", "make_zero"], out)


# The two halves of "format_change": (sample rate, tone per channel).
FORMAT_CHANGE_PARTS = ((44100, (440, 660)), (22050, (1000,)))


def _make_format_change(out: Path, work: Path) -> None:
    # Two ADTS streams joined byte for byte: the sample rate and the channel
    # count change at the join, with no container to announce it.
    parts = []
    for i, (rate, freqs) in enumerate(FORMAT_CHANGE_PARTS):
        _encode([*_tones(rate, 1, freqs=freqs), *AAC, "-f", "adts"], work / f"part{i}.aac")
        parts.append((work / f"part{i}.aac").read_bytes())
    out.write_bytes(b"".join(parts))


_GRAY16 = dict(width=128, height=96)

CLIPS: dict[str, Clip] = {
    "h264": _clip("h264.mp4", [*_testsrc(3), *X264_GOP25], _video("h264")),
    # The first AAC packet is the encoder's priming, at pts -1024; the header's start time is still 0.
    "h264_audio": _clip("h264_audio.mp4", [*_testsrc(3), *_tones(44100, 3), *X264_GOP25, *AAC],
                        _video("h264"), _audio("aac", index=1)),
    "vp9": _clip("vp9.webm", [*_testsrc(2), "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                              "-b:v", "300k", "-g", "25", "-keyint_min", "25"], _video("vp9")),
    # AVI with B-frames: I- and P-frame packets have a dts but no pts.
    "mpeg4": _clip("mpeg4.avi", [*_testsrc(2), "-c:v", "mpeg4", "-q:v", "4", "-g", "25", "-bf", "2"],
                   _video("mpeg4")),
    "gray8": _clip("gray8.mkv", _raw_maker(SOURCE_FRAMES["gray8"], "gray", "-c:v", "ffv1", "-g", "5", "-pix_fmt", "gray"),
                   _video("ffv1", pix_fmt="gray", **_GRAY16)),
    # 16-bit grey, lossless; NUT picks its own time base.
    "gray16le": _clip("gray16le.nut", _raw_maker(_gray16, "gray16le", "-c:v", "rawvideo", "-pix_fmt", "gray16le"),
                      _video("rawvideo", pix_fmt="gray16le", **_GRAY16)),
    "gray16be": _clip("gray16be.nut", _raw_maker(_gray16, "gray16le", "-c:v", "rawvideo", "-pix_fmt", "gray16be"),
                      _video("rawvideo", pix_fmt="gray16be", **_GRAY16)),
    "rgba": _clip("rgba.mov", _raw_maker(_rgba, "rgba", "-c:v", "png", "-pix_fmt", "rgba"),
                  _video("png", pix_fmt="rgba", **_GRAY16)),
    "rotated90": _clip("rotated90.mp4", _matrix_maker(ROTATE90_MATRIX), _video("h264", rotation=-90)),
    "mirrored": _clip("mirrored.mp4", _matrix_maker(MIRROR_MATRIX), _video("h264", rotation=-180)),
    # Every timestamp shifted so that the earliest is 0: the video's first
    # frame comes after 0 (by its B-frame delay and, with some muxers, the
    # AAC priming).
    "multi": _clip("multi.mkv", _make_multi, _video("h264"), _audio("aac", index=1),
                   _audio("flac", 16000, index=2, channels=1, sample_fmt="s16"),
                   dict(index=3, type="subtitle", codec="subrip")),
    "aac": _clip("aac.m4a", [*_tones(44100, 2), *AAC], _audio("aac")),  # priming at -1024
    "mp3": _clip("mp3.mp3", [*_tones(44100, 2), "-c:a", "libmp3lame", "-b:a", "128k"], _audio("mp3")),
    "wav": _clip("wav.wav", [*_tones(44100, 1), "-c:a", "pcm_s16le"], _audio("pcm_s16le", sample_fmt="s16")),
    "flac": _clip("flac.flac", [*_tones(48000, 1, freqs=(440,)), "-c:a", "flac", "-sample_fmt", "s16"],
                  _audio("flac", 48000, channels=1, sample_fmt="s16")),
    # Ogg Opus: the first packet starts 312 samples (the pre-skip) early.
    "opus": _clip("opus.ogg", [*_tones(48000, 1), "-c:a", "libopus", "-b:a", "64k"], _audio("opus", 48000)),
    # Converted to full range on purpose: the output option alone only tags
    # the stream on some releases of the tool.
    "fullrange": _clip("fullrange.mp4", [*_testsrc(1), "-vf", "scale=out_range=full", *X264_PLAIN,
                                         "-color_range", "pc"],
                       _video("h264", pix_fmt="yuvj420p", colours=dict(color_range="pc"))),
    # The tags are set on the frames, which every release of the tool hands
    # on to the encoder and the muxer (its output options do not reach both).
    "tagged": _clip("tagged.mp4", [*_testsrc(1), "-vf", TAG_BT709, *X264_PLAIN],
                    _video("h264", colours=dict(color_range="tv", color_space="bt709", color_primaries="bt709",
                                                color_transfer="bt709"))),
    # Matroska written to a pipe: the muxer cannot seek back to fill in the durations.
    "no_duration": _clip("no_duration.mkv",
                         lambda out, work: _encode([*_testsrc(1), *X264_PLAIN, "-f", "matroska"], out, piped=True),
                         _video("h264")),
    # A raw H.264 elementary stream: no duration, and packets carry neither pts nor dts.
    "no_timestamps": _clip("no_timestamps.h264", [*_testsrc(1), *X264_PLAIN], _video("h264")),
    # FLV keeps no frame durations, and frames passed through with their own
    # millisecond times give the demuxer no rate to guess them from: every
    # frame's duration is unknown.
    "unknown_duration": _clip("unknown_duration.flv",
                              [*_testsrc(1), *X264_PLAIN, "-fps_mode", "passthrough", "-enc_time_base", "1/1000"],
                              _video("h264")),
    # Matroska allowed to keep the AAC priming frame at a negative time.
    "aac_negative": _clip("aac_negative.mkv", [*_tones(44100, 2), *AAC, "-avoid_negative_ts", "disabled"],
                          _audio("aac")),
    # A width that is not a multiple of 32: converted through a padded frame.
    "odd_width": _clip("odd_width.mp4", ["-f", "lavfi", "-i", "testsrc2=size=100x76:rate=25:duration=1", *X264_GOP25],
                       _video("h264", width=100, height=76)),
    # Stereo 44.1 kHz for one second, then mono 22.05 kHz for one second.  The
    # header describes the first half; its duration is estimated from the bit rate.
    "format_change": _clip("format_change.aac", _make_format_change, _audio("aac")),
    # Variable frame rate: frame n at 40 * (n + n // 3) ms, so every third
    # interval is doubled; B-frames.  The header's base rate stays 25 fps.
    "vfr": _clip("vfr.mp4", [*_testsrc(2), "-vf", "setpts=(N+floor(N/3))/25/TB", "-fps_mode", "vfr",
                             *X264_GOP25, "-video_track_timescale", "1000"], _video("h264")),
}


# -- making clips --------------------------------------------------------------------

def _run(tool: str, args: Sequence[str], **kwargs) -> subprocess.CompletedProcess:
    """Run ffmpeg or ffprobe; RuntimeError with its last error line if it fails."""
    exe = shutil.which(tool)
    if exe is None:
        pytest.skip(f"the {tool} command-line tool is not installed (not on PATH)")
    quiet = ["-nostdin", "-v", "error"] if tool == "ffmpeg" else ["-v", "error"]
    proc = subprocess.run([exe, "-hide_banner", *quiet, *map(str, args)], capture_output=True, **kwargs)
    if proc.returncode != 0:
        stderr = proc.stderr if isinstance(proc.stderr, str) else proc.stderr.decode(errors="replace")
        last = [line.strip() for line in stderr.splitlines() if line.strip()][-1:] or ["(no error output)"]
        raise RuntimeError(f"{tool} {' '.join(map(str, args))} failed: {last[0]}")
    return proc


def _encode(args: Sequence[str], out: Path, piped: bool = False) -> None:
    """Run ffmpeg writing ``out`` (through its stdout when ``piped``)."""
    proc = _run("ffmpeg", ["-y", *args, "pipe:1" if piped else out])
    if piped:
        out.write_bytes(proc.stdout)


class MediaFactory:
    """Makes the clips of ``CLIPS`` on first request and caches them in a
    subdirectory of ``cache_dir`` named after a hash of this module and the
    ffmpeg version, so editing a recipe or changing ffmpeg makes fresh files."""

    def __init__(self, cache_dir, clips: dict[str, Clip] = CLIPS):
        self.cache_dir = Path(cache_dir)
        self.clips = clips
        self._dir = None
        self._unavailable: dict[str, str] = {}

    def facts(self, name: str) -> dict:
        """The recipe's facts, each stream's completed by ``probe_header``."""
        facts = copy.deepcopy(self.clips[name].facts)
        path = self.path(name)
        for stream in (facts, *facts["others"].values()):
            stream |= probe_header(path, stream["index"])
        return facts

    def path(self, name: str) -> Path:
        clip = self.clips[name]
        if name in self._unavailable:
            pytest.skip(self._unavailable[name])
        if self._dir is None:
            key = hashlib.sha256(Path(__file__).read_bytes())
            key.update(_run("ffmpeg", ["-version"]).stdout.partition(b"\n")[0])
            self._dir = self.cache_dir / key.hexdigest()[:16]
            self._dir.mkdir(parents=True, exist_ok=True)
        target = self._dir / clip.filename
        if target.exists():
            return target
        # Build under a private name next to the target, then rename: a
        # concurrent or interrupted run never sees a partial file.
        try:
            with tempfile.TemporaryDirectory(dir=target.parent, prefix=f".{name}.") as work:
                tmp = Path(work) / clip.filename
                if callable(clip.recipe):
                    clip.recipe(tmp, Path(work))
                else:
                    _encode(clip.recipe, tmp)
                os.replace(tmp, target)
        except RuntimeError as exc:  # this ffmpeg cannot make it
            self._unavailable[name] = f"cannot make clip {name!r}: {exc}"
            pytest.skip(self._unavailable[name])
        return target


class SeekCounter(io.BytesIO):
    """Bytes as a file object that records the absolute seeks made on it once
    ``seeks`` is a list."""

    seeks = None

    def seek(self, offset, whence=0):
        if self.seeks is not None and whence == 0:
            self.seeks.append(offset)
        return super().seek(offset, whence)


# -- references from ffprobe and the ffmpeg tool -------------------------------------

def _ffprobe(path, stream_index: int, *args: str) -> dict:
    proc = _run("ffprobe", ["-of", "json", "-select_streams", str(stream_index), *args, str(path)],
                text=True)
    return json.loads(proc.stdout)


def probe_stream(path, stream_index: int) -> dict:
    """ffprobe's dict for one stream, side data included."""
    return _ffprobe(path, stream_index, "-show_streams")["streams"][0]


_COLOUR_TAGS = ("color_range", "color_space", "color_primaries", "color_transfer")


def probe_header(path, stream_index: int) -> dict:
    """What the header of one stream says, as ffprobe reads it: time_base, and in
    seconds start_time, duration (the stream's) and container_duration; then
    header_frames and, for video, the colour tags.  Values the header leaves
    unset (or states as 0 or less, for durations and counts) are None."""
    data = _ffprobe(path, stream_index, "-show_streams", "-show_format")
    stream, container = data["streams"][0], data["format"]

    def number(value, kind=float, positive=True):
        if value in (None, "N/A"):
            return None
        value = kind(value)
        return None if positive and value <= 0 else value

    header = dict(time_base=Fraction(stream["time_base"]),
                  start_time=number(stream.get("start_time"), positive=False),
                  duration=number(stream.get("duration")),
                  container_duration=number(container.get("duration")),
                  header_frames=number(stream.get("nb_frames"), int))
    if stream["codec_type"] == "video":
        header |= {tag: None if stream.get(tag, "unknown") == "unknown" else stream[tag] for tag in _COLOUR_TAGS}
    return header


def probe_packets(path, stream_index: int):
    """[(pts, duration, is_key)] of one stream's packets in file order, without
    those flagged for discarding; pts falls back to dts (None if neither) and
    duration is 0 when the container gives none."""
    data = _ffprobe(path, stream_index, "-show_entries", "packet=pts,dts,duration,flags")
    return [(pkt.get("pts", pkt.get("dts")), pkt.get("duration", 0), pkt["flags"].startswith("K"))
            for pkt in data.get("packets", []) if "D" not in pkt.get("flags", "")]


def probe_frames(path, stream_index: int) -> list[dict]:
    """Decoded frames of one stream, in output order: ``pts`` (ticks; the
    best-effort timestamp when the frame has none), ``time`` (seconds),
    ``duration`` (ticks or None), ``seconds`` (the duration in seconds, 0 when
    unknown) and ``key_frame`` (bool)."""
    # Older ffprobe calls the frame duration pkt_duration; unknown entry names
    # are ignored, so ask for both.
    data = _ffprobe(path, stream_index, "-show_entries", "stream=time_base:frame=pts,"
                    "best_effort_timestamp,duration,pkt_duration,key_frame")
    tb = Fraction(data["streams"][0]["time_base"])
    frames = []
    for f in data.get("frames", []):
        pts, duration = f.get("pts", f.get("best_effort_timestamp")), f.get("duration", f.get("pkt_duration"))
        frames.append({"pts": pts, "time": None if pts is None else pts * tb.numerator / tb.denominator,
                       "duration": duration, "seconds": (duration or 0) * tb.numerator / tb.denominator,
                       "key_frame": bool(f.get("key_frame"))})
    return frames


_RAW_LAYOUTS = {"rgb24": (3, "u1"), "rgb48le": (3, "<u2"), "rgba": (4, "u1"), "gray": (1, "u1"),
                "gray16le": (1, "<u2")}  # pix_fmt: (channels, sample dtype)


def ffmpeg_frames(path, pix_fmt: str = "rgb24", stream_index: int = 0, vf: str = "null",
                  size: tuple[int, int] | None = None) -> np.ndarray:
    """Every frame of one video stream, in presentation order, as the ffmpeg tool
    converts it to ``pix_fmt``: (frames, height, width, channels) in native byte
    order.  ``vf`` is a filter chain applied before or, for a scale filter at its
    end, together with the conversion; ``size`` is (height, width) when it
    changes the size."""
    channels, dtype = _RAW_LAYOUTS[pix_fmt]
    stream = probe_stream(path, stream_index)
    height, width = size or (stream["height"], stream["width"])
    proc = _run("ffmpeg", ["-i", str(path), "-map", f"0:{stream_index}", "-fps_mode", "passthrough",
                           "-vf", vf, "-f", "rawvideo", "-pix_fmt", pix_fmt, "pipe:1"])
    data = np.frombuffer(proc.stdout, dtype=dtype)
    return data.reshape(-1, height, width, channels).astype(data.dtype.newbyteorder("="))


def shown_at(frames, t):
    """Index of the frame shown at t, given probe_frames(): the last one at or
    before t, the final one only inside its duration; None where nothing is
    shown."""
    before = [i for i, f in enumerate(frames) if f["time"] <= t]
    if not before:
        return None
    last = before[-1]
    if last == len(frames) - 1 and t >= frames[last]["time"] + frames[last]["seconds"]:
        return None
    return last


def ffmpeg_frames_read_as(path, raw_pix_fmt: str) -> np.ndarray:
    """Like ffmpeg_frames(path) in rgb24, but with the decoded samples handed to
    the tool again as raw ``raw_pix_fmt`` pictures: the same bytes read with
    other colour properties (say, a full-range picture read as limited range)."""
    stream = probe_stream(path, 0)
    # The stream's own pixel format, named: left to choose, newer releases of
    # the tool convert full-range pictures to limited range on the way out.
    raw = _run("ffmpeg", ["-i", str(path), "-map", "0:0", "-fps_mode", "passthrough", "-f", "rawvideo",
                          "-pix_fmt", stream["pix_fmt"], "pipe:1"]).stdout
    proc = _run("ffmpeg", ["-f", "rawvideo", "-pix_fmt", raw_pix_fmt, "-video_size",
                           f"{stream['width']}x{stream['height']}", "-i", "pipe:0", "-f", "rawvideo",
                           "-pix_fmt", "rgb24", "pipe:1"], input=raw)
    return np.frombuffer(proc.stdout, np.uint8).reshape(-1, stream["height"], stream["width"], 3)


def key_targets(packets, pts_list) -> list:
    """Pair every pts with the timestamp of the last key packet at or before
    it (the first key packet when there is none), given a scan() result."""
    keys = [pts for pts, _, key in packets if key]
    return [(pts, max((k for k in keys if k <= pts), default=keys[0])) for pts in pts_list]


def ffmpeg_audio(path, sample_rate: int, channels: int, stream_index: int = 0) -> np.ndarray:
    """One audio stream as the ffmpeg tool decodes and converts it to float32
    at the given rate and channel count: (channels, samples)."""
    proc = _run("ffmpeg", ["-i", str(path), "-map", f"0:{stream_index}", "-f", "f32le",
                           "-ac", str(channels), "-ar", str(sample_rate), "pipe:1"])
    return np.frombuffer(proc.stdout, dtype="<f4").astype(np.float32).reshape(-1, channels).T.copy()


def probe_audio_frames(path, stream_index: int) -> list[dict]:
    """``samples`` (per channel), ``channels`` and ``sample_rate`` of every decoded
    audio frame, as the tool's ashowinfo filter reports them."""
    # (Older ffprobe prints no rate per frame, and its packet durations keep the
    # header's rate after a change.)
    proc = _run("ffmpeg", ["-v", "info", "-i", str(path), "-map", f"0:{stream_index}",
                           "-af", "ashowinfo", "-f", "null", "-"], text=True)
    pattern = re.compile(r"channels:(\d+) .*rate:(\d+) nb_samples:(\d+)")
    matches = (pattern.search(line) for line in proc.stderr.splitlines() if "ashowinfo" in line)
    return [dict(zip(("channels", "sample_rate", "samples"), map(int, m.groups())))
            for m in matches if m]


def assert_like_the_tool(got: np.ndarray, want: np.ndarray, levels: int = 1) -> None:
    """Compare frames with the ffmpeg tool's conversion of the same frames."""
    # The same colour-conversion library, but the tool may pick other flags
    # (rounding, chroma interpolation): up to 3 levels (of 255, ``levels`` each in
    # the samples' unit) may differ at colour edges.  A frame's mean difference
    # stays under half a level; neighbouring frames of the clips differ by 4.5
    # levels or more, so this also tells which frame was returned.
    assert got.shape == want.shape
    diff = np.abs(got.astype(np.int64) - want.astype(np.int64)) / levels
    assert diff.max() <= 3 and np.all(diff.mean(axis=(1, 2, 3)) < 0.5)

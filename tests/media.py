"""Small media clips made on demand with the ffmpeg tool, and reference readers:
ffprobe's view of a file and the ffmpeg tool's decoding of it."""

from __future__ import annotations

import functools
import hashlib
import io
import itertools
import json
import os
import pickle
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
from fractions import Fraction
from pathlib import Path
from typing import Callable, NamedTuple, Sequence, Union

import numpy as np
import pytest


def source_frames(name: str) -> np.ndarray:
    """The exact pixels a lossless synthetic clip decodes to: 10 frames of 128x96."""
    t, y, x = np.ogrid[:10, :96, :128]
    if name == "rgba":  # R, G, B and a varying alpha
        planes = [(x * 2 + t * 8) % 256, (y * 2 + t * 4) % 256, ((x + y) * 3) % 256,
                  ((x + 2 * y) * 2 + t * 16) % 256]
        return np.stack(np.broadcast_arrays(*planes), axis=-1).astype(np.uint8)
    # Ramps whose high and low bytes differ, so byte order matters.
    gray = ((x * 521 + y * 263 + t * 4099) % 65536).astype(np.uint16)
    return (gray >> 8).astype(np.uint8) if name == "gray8" else gray


def set_display_matrix(path, matrix9: Sequence[float]) -> None:
    """Overwrite the matrix (a, b, u, c, d, v, x, y, w; u, v, w in 2.30 fixed point,
    the rest 16.16) in the header of every track of an ISO-BMFF file."""
    data = bytearray(Path(path).read_bytes())
    words = struct.pack(">9i", *(round(v * (1 << (30 if i % 3 == 2 else 16))) for i, v in enumerate(matrix9)))

    def children(kind: bytes, start: int, end: int):  # (payload start, end) of the boxes of a kind
        while start + 8 <= end:
            size, found = struct.unpack_from(">I4s", data, start)
            if size < 8:  # 64-bit and open-ended sizes are not written for clips this small
                raise ValueError(f"unexpected box size {size} at offset {start} of {path}")
            if found == kind:
                yield start + 8, start + size
            start += size

    tkhds = [tkhd for moov in children(b"moov", 0, len(data)) for trak in children(b"trak", *moov)
             for tkhd in children(b"tkhd", *trak)]
    if not tkhds:
        raise ValueError(f"{path} has no track to patch")
    for start, _ in tkhds:
        offset = start + (52 if data[start] == 1 else 40)  # after the version's times, ids and levels
        data[offset:offset + 36] = words
    Path(path).write_bytes(bytes(data))


# -- the clip table -----------------------------------------------------------------

class Clip(NamedTuple):
    filename: str
    recipe: Union[Sequence[str], Callable[[Path, Path], None]]  # ffmpeg arguments, or make(out, workdir)


def _testsrc(seconds, size="160x120") -> list:
    return ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25:duration={seconds}"]


def _tones(rate, seconds, freqs=(440, 660)) -> list:  # a sine per channel, each at its own level
    exprs = "|".join(f"{0.5 / (i + 1)}*sin(2*PI*{f}*t)" for i, f in enumerate(freqs))
    layout = {1: "mono", 2: "stereo"}[len(freqs)]
    return ["-f", "lavfi", "-i",
            f"aevalsrc=exprs={exprs}:channel_layout={layout}:sample_rate={rate}:duration={seconds}"]


def _x264(b_frames: int, keyint: int = 25, preset: str = "veryfast") -> list:
    params = f"keyint={keyint}:min-keyint={keyint}:scenecut=0:bframes={b_frames}"
    if b_frames:
        params += ":b-adapt=0"  # always use the B-frames, never fewer
    return ["-c:v", "libx264", "-preset", preset, "-pix_fmt", "yuv420p", "-x264-params", params]


# A key frame every 25 frames; GOP25 puts two B-frames between the others, PLAIN none.
X264_GOP25 = _x264(2)
X264_PLAIN = _x264(0)
AAC = ["-c:a", "aac", "-b:a", "96k"]


def _raw_maker(name: str, in_fmt: str, *codec: str):  # source_frames(name) written raw, then encoded
    def make(out: Path, work: Path) -> None:
        source = source_frames(name)
        raw = work / "frames.raw"
        raw.write_bytes(source.astype("<u2").tobytes() if source.dtype == np.uint16 else source.tobytes())
        encode(["-f", "rawvideo", "-pix_fmt", in_fmt, "-video_size", "128x96",
                 "-framerate", "25", "-i", str(raw), *codec], out)
    return make


ROTATE90_MATRIX = (0, 1, 0, -1, 0, 0, 120, 0, 1)  # a quarter turn of a 160x120 picture


def _matrix_maker(matrix9):
    def make(out: Path, work: Path) -> None:
        encode([*_testsrc(1), *X264_PLAIN], out)
        set_display_matrix(out, matrix9)
    return make


def _make_multi(out: Path, work: Path) -> None:
    srt = work / "subs.srt"
    srt.write_text("1\n00:00:00,200 --> 00:00:00,900\nfirst line\n\n"
                   "2\n00:00:01,000 --> 00:00:01,800\nsecond line\n")
    encode([*_testsrc(2), *_tones(44100, 2), *_tones(16000, 2, freqs=(880,)),
             "-i", str(srt), "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
             *X264_GOP25, *AAC, "-c:a:1", "flac", "-sample_fmt:a:1", "s16", "-c:s", "srt",
             "-avoid_negative_ts", "make_zero"], out)


# The two halves of "format_change": (sample rate, tone per channel).
FORMAT_CHANGE_PARTS = ((44100, (440, 660)), (22050, (1000,)))


def _make_format_change(out: Path, work: Path) -> None:
    # Two ADTS streams joined byte for byte: the rate and the channel count
    # change at the join, with no container to announce it.
    for i, (rate, freqs) in enumerate(FORMAT_CHANGE_PARTS):
        encode([*_tones(rate, 1, freqs=freqs), *AAC, "-f", "adts"], work / f"part{i}.aac")
    out.write_bytes(b"".join((work / f"part{i}.aac").read_bytes() for i in range(len(FORMAT_CHANGE_PARTS))))


# The two tones of "gap": (frequency, start in seconds by the file's timestamps).
GAP_PARTS = ((440, 0.0), (1000, 2.0))


def _make_gap(out: Path, work: Path) -> None:  # a second of each tone, the second one starting at 2 s
    (first, _), (second, start) = GAP_PARTS
    for i, freq in enumerate((first, second)):
        encode([*_tones(44100, 1, freqs=(freq,)), "-c:a", "pcm_s16le"], work / f"part{i}.mkv")
    (work / "list.txt").write_text(f"file 'part0.mkv'\nduration {start}\nfile 'part1.mkv'\n")
    encode(["-f", "concat", "-safe", "0", "-i", str(work / "list.txt"), "-c", "copy"], out)


def _make_empty_wav(out: Path, work: Path) -> None:  # stereo 16-bit, an empty data chunk (not every tool writes it)
    fmt = struct.pack("<HHIIHH", 1, 2, 44100, 44100 * 4, 4, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", 0)
    out.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)


def _make_mp3_joined(out: Path, work: Path) -> None:
    # The decoder rejects the second file's header as invalid data.
    encode([*_tones(44100, 2), "-c:a", "libmp3lame", "-b:a", "128k"], work / "one.mp3")
    out.write_bytes((work / "one.mp3").read_bytes() * 2)


def _mix(rate: int, seconds: float, *codec: str) -> list:
    """A tone under pink noise, stereo: noise makes the codecs use all their tools."""
    return ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate={rate}:duration={seconds}",
            "-f", "lavfi", "-i", f"anoisesrc=color=pink:seed=7:amplitude=0.1:sample_rate={rate}:duration={seconds}",
            "-filter_complex", "[0][1]amix=inputs=2,pan=stereo|c0=c0|c1=0.7*c0", "-ac", "2", *codec]


# The same mix in every codec that range reads are tested on.
MIXES = {
    "mix_wav": ("wav", 44100, ["-c:a", "pcm_s16le"]),
    "mix_flac": ("flac", 44100, ["-c:a", "flac"]),
    "mix_mp3": ("mp3", 44100, ["-c:a", "libmp3lame", "-b:a", "128k"]),
    "mix_aac": ("m4a", 44100, ["-c:a", "aac", "-b:a", "128k"]),
    "mix_adts": ("aac", 44100, ["-c:a", "aac", "-b:a", "128k", "-f", "adts"]),
    "mix_opus": ("ogg", 48000, ["-c:a", "libopus", "-b:a", "96k"]),
    "mix_vorbis": ("ogg", 44100, ["-c:a", "libvorbis", "-q:a", "4"]),
}

# A minute of it in the containers that seek without reading up to the target.
LONG_MIXES = {f"long_{name[4:]}": MIXES[name] for name in ("mix_wav", "mix_aac", "mix_opus", "mix_vorbis")}

# Video is 160x120 at 25 fps unless said otherwise; audio is stereo.
CLIPS: dict[str, Clip] = {
    **{name: Clip(f"{name}.{suffix}", _mix(rate, 60, *codec)) for name, (suffix, rate, codec) in LONG_MIXES.items()},
    **{name: Clip(f"{name}.{suffix}", _mix(rate, 8, *codec)) for name, (suffix, rate, codec) in MIXES.items()},
    "h264": Clip("h264.mp4", [*_testsrc(3), *X264_GOP25]),
    "h264_gop10": Clip("h264_gop10.mp4", [*_testsrc(2), *_x264(2, keyint=10)]),  # a key frame every 10 frames
    # 300 frames of 320x240 in three groups: a request for all keeps three decoders busy.
    "long_groups": Clip("long_groups.mp4", [*_testsrc(12, "320x240"), *_x264(0, 100)]),
    "h264_cavlc": Clip("h264_cavlc.mp4", [*_testsrc(2), *_x264(2, 10, "ultrafast")]),  # no CABAC
    # Stream 1: AAC whose first packet, the priming, is at pts -1024; the start time is still 0.
    "h264_audio": Clip("h264_audio.mp4", [*_testsrc(3), *_tones(44100, 3), *X264_GOP25, *AAC]),
    "vp9": Clip("vp9.webm", [*_testsrc(2), "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                             "-b:v", "300k", "-g", "25", "-keyint_min", "25"]),
    # AVI with B-frames: I- and P-frame packets have a dts but no pts.
    "mpeg4": Clip("mpeg4.avi", [*_testsrc(2), "-c:v", "mpeg4", "-q:v", "4", "-g", "25", "-bf", "2"]),
    # Every frame unlike the one before: most (packet 1 among them) are key frames, B-frames still between.
    "mpeg4_cuts": Clip("mpeg4_cuts.avi", ["-f", "lavfi", "-i", "nullsrc=s=64x48:r=25,geq=lum='16+4*N':cb=128:cr=128,"
                                          "format=yuv420p", "-t", "2", "-c:v", "mpeg4", "-q:v", "2", "-bf", "2"]),
    # Open groups of 12, three B-frames in a pyramid: decoded from the last key frame, H.264
    # drops the frames after it at the stream's end.
    "open_gop_pyramid": Clip("open_gop_pyramid.mkv", [*_testsrc(2), "-c:v", "libx264", "-preset", "veryfast",
                                                      "-pix_fmt", "yuv420p", "-x264-params",
                                                      "keyint=12:open-gop=1:bframes=3:b-pyramid=normal"]),
    # MPEG-PS with B-frames: most I- and P-frame packets carry only a decoding time (an earlier frame's pts).
    "mpeg2_ps": Clip("mpeg2_ps.mpg", [*_testsrc(2), "-c:v", "mpeg2video", "-g", "12", "-bf", "2"]),
    # MPEG-TS keeps no index (a seek searches the decoding times): B-frames; an open group of
    # pictures; two programs, each with a video stream (stream 1: 96x64 at 30 fps).
    "ts_bframes": Clip("ts_bframes.ts", [*_testsrc(3), *X264_GOP25]),
    "ts_open_gop": Clip("ts_open_gop.ts", [*_testsrc(3), *X264_GOP25[:-1], X264_GOP25[-1] + ":open-gop=1"]),
    "ts_programs": Clip("ts_programs.ts", [*_testsrc(2), "-f", "lavfi", "-i", "testsrc=size=96x64:rate=30:duration=2",
                                           "-map", "0:v", "-map", "1:v", *X264_GOP25,
                                           "-program", "title=one:st=0", "-program", "title=two:st=1"]),
    # Lossless 128x96 clips of source_frames(); NUT picks its own time base.
    "gray8": Clip("gray8.mkv", _raw_maker("gray8", "gray", "-c:v", "ffv1", "-g", "5", "-pix_fmt", "gray")),
    "gray16le": Clip("gray16le.nut", _raw_maker("gray16le", "gray16le", "-c:v", "rawvideo", "-pix_fmt", "gray16le")),
    "gray16be": Clip("gray16be.nut", _raw_maker("gray16be", "gray16le", "-c:v", "rawvideo", "-pix_fmt", "gray16be")),
    "rgba": Clip("rgba.mov", _raw_maker("rgba", "rgba", "-c:v", "png", "-pix_fmt", "rgba")),
    "rotated90": Clip("rotated90.mp4", _matrix_maker(ROTATE90_MATRIX)),  # rotation -90
    "mirrored": Clip("mirrored.mp4", _matrix_maker((-1, 0, 0, 0, 1, 0, 160, 0, 1))),  # left-right
    # H.264, AAC stereo 44.1 kHz, FLAC mono 16 kHz (s16), subtitles; shifted so that the earliest
    # timestamp is 0: the first frame comes later (its B-frame delay, with some muxers the priming).
    "multi": Clip("multi.mkv", _make_multi),
    "undecodable": Clip("undecodable.nut", [*_testsrc(1, "320x200"), "-c:v", "a64multi"]),  # not decodable: "none"
    "aac": Clip("aac.m4a", [*_tones(44100, 2), *AAC]),  # priming at -1024
    # Without noise substitution, which the encoder otherwise uses on pure tones too.
    "aac_no_pns": Clip("aac_no_pns.m4a", [*_tones(44100, 2), *AAC, "-aac_pns", "0"]),
    "mp3": Clip("mp3.mp3", [*_tones(44100, 2), "-c:a", "libmp3lame", "-b:a", "128k"]),
    "wav": Clip("wav.wav", [*_tones(44100, 1), "-c:a", "pcm_s16le"]),
    "flac": Clip("flac.flac", [*_tones(48000, 1, freqs=(440,)), "-c:a", "flac", "-sample_fmt", "s16"]),  # mono
    # Ogg Opus: the first packet starts 312 samples (the pre-skip) early.
    "opus": Clip("opus.ogg", [*_tones(48000, 1), "-c:a", "libopus", "-b:a", "64k"]),
    # Converted on purpose: the output option alone only tags the stream on some releases.
    "fullrange": Clip("fullrange.mp4", [*_testsrc(1), "-vf", "scale=out_range=full", *X264_PLAIN,
                                        "-color_range", "pc"]),
    # Tags set on the frames reach the encoder and the muxer on every release (output options do not).
    "tagged": Clip("tagged.mp4", [*_testsrc(1), "-vf", "setparams=range=tv:color_primaries=bt709:color_trc=bt709:"
                                  "colorspace=bt709", *X264_PLAIN]),
    # Matroska written to a pipe: the muxer cannot seek back to fill in the durations.
    "no_duration": Clip("no_duration.mkv",
                        lambda out, work: encode([*_testsrc(1), *X264_PLAIN, "-f", "matroska"], out, piped=True)),
    "no_timestamps": Clip("no_timestamps.h264", [*_testsrc(1), *X264_PLAIN]),  # raw H.264: no duration, pts or dts
    # FLV keeps no frame durations, and millisecond times passed through give no rate to guess them.
    "unknown_duration": Clip("unknown_duration.flv",
                             [*_testsrc(1), *X264_PLAIN, "-fps_mode", "passthrough", "-enc_time_base", "1/1000"]),
    # Matroska allowed to keep the AAC priming frame at a negative time.
    "aac_negative": Clip("aac_negative.mkv", [*_tones(44100, 2), *AAC, "-avoid_negative_ts", "disabled"]),
    "odd_width": Clip("odd_width.mp4", [*_testsrc(1, "100x76"), *X264_GOP25]),  # not a multiple of 32: padded
    # 30000/1001 fps: Matroska's millisecond ticks round every frame's time.
    **{f"ntsc_{suffix}": Clip(f"ntsc.{suffix}", ["-f", "lavfi", "-i", "testsrc2=size=96x64:rate=30000/1001:duration=3",
                                                 *X264_GOP25]) for suffix in ("mkv", "mp4")},
    # Stereo 44.1 kHz, then mono 22.05 kHz, a second each; the header describes the first half and
    # estimates the duration from the bit rate.
    "format_change": Clip("format_change.aac", _make_format_change),
    "gap": Clip("gap.mkv", _make_gap),  # mono, 440 Hz in [0, 1) s and 1000 Hz in [2, 3) s by the timestamps
    "mp3_joined": Clip("mp3_joined.mp3", _make_mp3_joined),  # two two-second MP3 files joined byte for byte
    # No frame count, and a duration that covers the longer audio: 50 frames promised, 25 there.
    "short_video": Clip("short_video.mkv", [*_testsrc(1), *_tones(44100, 2), *X264_PLAIN, "-c:a", "pcm_s16le"]),
    "empty_audio": Clip("empty_audio.wav", _make_empty_wav),  # an audio stream with no packets at all
    # 25 frames of distinct grey levels (28 + 9n) in pairs that share a pts:
    # every frame a key frame, written in order.
    "shared_pts": Clip("shared_pts.mkv", ["-f", "lavfi", "-i", "color=gray:size=64x48:rate=25,format=gray,geq=lum='28+N*9'",
                                          "-frames:v", "25", "-c:v", "mjpeg", "-q:v", "2",
                                          # Millisecond ticks going in, as the muxer's: releases
                                          # of the tool differ in which time base setts sees.
                                          "-enc_time_base", "1:1000", "-bsf:v", "setts=ts=trunc(N/2)*80"]),
    # The frames of "vfr" with PCM stereo tones that start 0.3 s after the first frame.
    "vfr_late_pcm": Clip("vfr_late_pcm.mkv", [*_testsrc(2), "-itsoffset", "0.3", *_tones(44100, 2),
                                              "-vf", "setpts=(N+floor(N/3))/25/TB", "-fps_mode", "vfr",
                                              *X264_GOP25, "-c:a", "pcm_s16le"]),
    # Variable frame rate: frame n at 40 * (n + n // 3) ms, B-frames; the base rate stays 25 fps.
    "vfr": Clip("vfr.mp4", [*_testsrc(2), "-vf", "setpts=(N+floor(N/3))/25/TB", "-fps_mode", "vfr",
                            *X264_GOP25, "-video_track_timescale", "1000"]),
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


def encode(args: Sequence[str], out: Path, piped: bool = False) -> None:
    """Run ffmpeg writing ``out`` (through its stdout when ``piped``)."""
    proc = _run("ffmpeg", ["-y", *args, "pipe:1" if piped else out])
    if piped:
        out.write_bytes(proc.stdout)


class MediaFactory:
    """Makes the clips of ``CLIPS`` on first request, cached under a hash of this
    module and the ffmpeg version: a changed recipe or tool makes fresh files."""

    def __init__(self, cache_dir):
        self.cache_dir = Path(cache_dir)
        self._dir = None
        self._unavailable: dict[str, str] = {}

    def path(self, name: str) -> Path:
        clip = CLIPS[name]
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
        # Built under a private name, then renamed: no run ever sees a partial file.
        try:
            with tempfile.TemporaryDirectory(dir=target.parent, prefix=f".{name}.") as work:
                tmp = Path(work) / clip.filename
                if callable(clip.recipe):
                    clip.recipe(tmp, Path(work))
                else:
                    encode(clip.recipe, tmp)
                os.replace(tmp, target)
        except RuntimeError as exc:  # this ffmpeg cannot make it
            self._unavailable[name] = f"cannot make clip {name!r}: {exc}"
            pytest.skip(self._unavailable[name])
        return target


# Transform steps of the video calls.
def crop(top, left, height, width):
    return ("crop", top, left, height, width)


def resize(height, width, ignored=0):  # the first two fields are not read
    return ("resize", ignored, -ignored, height, width)


def rotate(turns):
    return ("rotate", turns, 0, 0, 0)


GO_ON = object()  # what a BytesFile hook returns to let the call go on as usual


class BytesFile(io.BytesIO):
    """Bytes as a file object that can be weakly referenced and counts the bytes
    read (``read_bytes``); once set to lists, ``seeks`` and ``calls`` record the
    absolute seeks and the calls (name, arguments, position before, result).
    ``on_read`` and ``on_seek`` are called first: they may block or raise, and
    what they return, unless GO_ON, is the call's answer."""

    seeks = calls = on_read = on_seek = None
    read_bytes = 0

    def read(self, size=-1):
        answer, before = GO_ON if self.on_read is None else self.on_read(size), self.tell()
        if answer is GO_ON:
            answer = super().read(size)
            self.read_bytes += len(answer)
            if self.calls is not None:
                self.calls.append(("read", size, before, len(answer)))
        return answer

    def seek(self, offset, whence=0):
        answer, before = GO_ON if self.on_seek is None else self.on_seek(offset, whence), self.tell()
        if answer is not GO_ON:
            return answer
        if self.seeks is not None and whence == 0:
            self.seeks.append(offset)
        position = super().seek(offset, whence)
        if self.calls is not None:
            self.calls.append(("seek", (offset, whence), before, position))
        return position

    def before_first_read(self, wait):
        """Runs ``wait()`` in the next read, once, before it goes on."""
        def hook(size):
            self.on_read = None
            wait()
            return GO_ON
        self.on_read = hook


def failing(error: BaseException, after: int = 0):
    """A BytesFile hook that lets ``after`` calls go on, then raises ``error``."""
    calls = itertools.count()

    def hook(*arguments):
        if next(calls) >= after:
            raise error
        return GO_ON
    return hook


def outcome(call):
    """What a call gives: ("ok", result), or the exception's type and text."""
    try:
        return "ok", call()
    except Exception as error:  # compared, not hidden
        return type(error), str(error)


def run_forked(work, timeout=60):
    """``work()``'s return value (pickled) from a forked child, which must exit in time."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            os.close(read)
            try:
                result = ("ok", work())
            except BaseException as error:  # noqa: B036 - reported to the parent
                result = ("error", f"{type(error).__name__}: {error}")
            with os.fdopen(write, "wb") as out:
                pickle.dump(result, out)
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as results:
        finished = bool(select.select([results], [], [], timeout)[0])  # it writes once work() is done
        data = results.read() if finished else b""
    if not finished:
        os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    assert finished, "the forked child hung"
    return pickle.loads(data)


def require_protocol(name: str) -> None:
    """Skips where FFmpeg has no network protocol ``name`` (the wheel's has none)."""
    from quorvex_av import Decoder
    try:
        Decoder(f"{name}://127.0.0.1:1/", "video")
    except RuntimeError as error:
        if "Protocol not found" in str(error):
            pytest.skip(f"this FFmpeg has no {name} protocol")


# -- references from ffprobe and the ffmpeg tool -------------------------------------

def _ffprobe(path, stream_index: int, *args: str) -> dict:
    return json.loads(_run("ffprobe", ["-of", "json", "-select_streams", str(stream_index), *args, str(path)],
                           text=True).stdout)


def probe_stream(path, stream_index: int) -> dict:
    """ffprobe's dict for one stream, side data included, and the container's as "format"."""
    data = _ffprobe(path, stream_index, "-show_streams", "-show_format")
    return data["streams"][0] | {"format": data["format"]}


def probe_packets(path, stream_index: int):
    """[(pts or else dts or None, duration or 0, is_key)] of a stream's packets in
    file order, without those flagged for discarding."""
    data = _ffprobe(path, stream_index, "-show_entries", "packet=pts,dts,duration,flags")
    return [(pkt.get("pts", pkt.get("dts")), pkt.get("duration", 0), pkt["flags"].startswith("K"))
            for pkt in data.get("packets", []) if "D" not in pkt.get("flags", "")]


def damaged(path, stream_index: int, packet: int, value: int, offset: int = 0) -> bytes:
    """The file's bytes with byte ``offset`` of a stream's packet (in file order) set to ``value``."""
    data = _ffprobe(path, stream_index, "-show_entries", "packet=pos")
    changed = bytearray(Path(path).read_bytes())
    changed[int(data["packets"][packet]["pos"]) + offset] = value
    return bytes(changed)


def damaged_frame(path, stream_index: int, frame: int, how: str) -> bytes:
    """The file's bytes with the packet of frame ``frame`` (in presentation order)
    damaged: its first byte set to 0x7f ("first"), or its second half zeroed ("half")."""
    data = _ffprobe(path, stream_index, "-show_entries", "packet=pts,pos,size")["packets"]
    packet = sorted(data, key=lambda p: int(p["pts"]))[frame]
    changed = bytearray(Path(path).read_bytes())
    pos, size = int(packet["pos"]), int(packet["size"])
    if how == "first":
        changed[pos] = 0x7F
    else:
        changed[pos + size // 2:pos + size] = bytes(size - size // 2)
    return bytes(changed)


@functools.lru_cache(maxsize=None)  # the clips do not change within a session
def probe_frames(path, stream_index: int) -> list[dict]:
    """A stream's decoded frames in output order: ``pts`` (ticks, else the best-effort
    timestamp), ``time`` and ``seconds`` (its duration, 0 when unknown) in seconds."""
    # Older ffprobe calls the duration pkt_duration; unknown entry names are ignored.
    data = _ffprobe(path, stream_index, "-show_entries",
                    "stream=time_base:frame=pts,best_effort_timestamp,duration,pkt_duration")
    tb = Fraction(data["streams"][0]["time_base"])
    frames = []
    for f in data.get("frames", []):
        pts, duration = f.get("pts", f.get("best_effort_timestamp")), f.get("duration", f.get("pkt_duration"))
        frames.append({"pts": pts, "time": None if pts is None else pts * tb.numerator / tb.denominator,
                       "seconds": (duration or 0) * tb.numerator / tb.denominator})
    return frames


_RAW_LAYOUTS = {"rgb24": (3, "u1"), "rgb48le": (3, "<u2")}  # pix_fmt: (channels, sample dtype)


def ffmpeg_frames(path, pix_fmt: str = "rgb24", vf: str = "null", size: tuple[int, int] | None = None) -> np.ndarray:
    """The first stream's frames in presentation order as the ffmpeg tool converts
    them to ``pix_fmt`` (after the filters ``vf``, which a scale at their end joins):
    (frames, height, width, channels) in native byte order; ``size`` if they change it."""
    channels, dtype = _RAW_LAYOUTS[pix_fmt]
    stream = probe_stream(path, 0)
    height, width = size or (stream["height"], stream["width"])
    proc = _run("ffmpeg", ["-i", str(path), "-map", "0:0", "-fps_mode", "passthrough",
                           "-vf", vf, "-f", "rawvideo", "-pix_fmt", pix_fmt, "pipe:1"])
    data = np.frombuffer(proc.stdout, dtype=dtype)
    return data.reshape(-1, height, width, channels).astype(data.dtype.newbyteorder("="))


def shown_at(frames, t):
    """Index of the frame shown at t, given probe_frames(): the last one at or before
    t, the final one only inside its duration; None where nothing is shown."""
    before = [i for i, f in enumerate(frames) if f["time"] <= t]
    if not before or (before[-1] == len(frames) - 1 and t >= frames[-1]["time"] + frames[-1]["seconds"]):
        return None
    return before[-1]


def key_targets(packets, pts_list) -> list:
    """Every pts paired with the last key packet's at or before it (else the first's), given scan()."""
    keys = [pts for pts, _, key in packets if key]
    return [(pts, max((k for k in keys if k <= pts), default=keys[0])) for pts in pts_list]


def ffmpeg_audio(path, sample_rate: int, channels: int, stream_index: int = 0,
                 args: Sequence[str] = ()) -> np.ndarray:
    """An audio stream as the ffmpeg tool decodes it to float32 at the given rate and
    channel count (after output ``args``): (channels, samples)."""
    proc = _run("ffmpeg", ["-i", str(path), "-map", f"0:{stream_index}", *args, "-f", "f32le",
                           "-ac", str(channels), "-ar", str(sample_rate), "pipe:1"])
    return np.frombuffer(proc.stdout, dtype="<f4").astype(np.float32).reshape(-1, channels).T.copy()


@functools.lru_cache(maxsize=None)
def probe_audio_frames(path, stream_index: int) -> list[dict]:
    """``samples`` (per channel), ``channels`` and ``sample_rate`` of every decoded audio
    frame, by the tool's ashowinfo filter (older ffprobe prints no rate per frame)."""
    proc = _run("ffmpeg", ["-v", "info", "-i", str(path), "-map", f"0:{stream_index}",
                           "-af", "ashowinfo", "-f", "null", "-"], text=True)
    pattern = re.compile(r"channels:(\d+) .*rate:(\d+) nb_samples:(\d+)")
    matches = (pattern.search(line) for line in proc.stderr.splitlines() if "ashowinfo" in line)
    return [dict(zip(("channels", "sample_rate", "samples"), map(int, m.groups())))
            for m in matches if m]


def assert_like_the_tool(got: np.ndarray, want: np.ndarray, levels: int = 1) -> None:
    """Compare frames with the ffmpeg tool's conversion of the same frames."""
    # The tool may pick other flags: up to 3 levels (of 255, ``levels`` each in the
    # samples' unit) at colour edges, a frame's mean under half a level; neighbouring
    # frames of the clips differ by 4.5 or more.
    assert got.shape == want.shape
    diff = np.abs(got.astype(np.int64) - want.astype(np.int64)) / levels
    assert diff.max() <= 3 and np.all(diff.mean(axis=(1, 2, 3)) < 0.5)

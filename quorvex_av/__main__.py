"""Command line: ``quorvex-av`` or ``python -m quorvex_av``.

    quorvex-av info FILE [FILE ...] [--json]
    quorvex-av frames FILE (--at T [T ...] | --count N) -o sheet.png [--workers N] [--threads N]
    quorvex-av audio FILE -o out.wav [--rate R] [--channels C] [--start S] [--stop T] [--float]
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import os
import struct
import sys
import wave
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TextIO

import numpy as np
import numpy.typing as npt

from . import __version__, ffmpeg_version
from .errors import NoDecoderError
from .readers import AudioReader, VideoReader, list_streams

if TYPE_CHECKING:
    from ._av import StreamInfo

PROG = "quorvex-av"


class CommandError(Exception):
    """A failure reported as one line on stderr, with exit status 1."""


# -- progress ------------------------------------------------------------------


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a
    terminal (or when forced), and only for more than one step."""

    def __init__(self, total: int, label: str, enabled: bool | None = None,
                 stream: TextIO | None = None) -> None:
        self.total, self.label, self.done = total, label, 0
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            enabled = self.stream.isatty()
        self.enabled = enabled and total > 1

    def _draw(self) -> None:
        if self.enabled:
            width = 30
            filled = width * self.done // max(self.total, 1)
            self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] "
                              f"{self.done}/{self.total}")
            self.stream.flush()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def step(self, label: str | None = None) -> None:
        self.done += 1
        if label is not None:
            self.label = label
        self._draw()

    def __enter__(self) -> Progress:
        self._draw()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.clear()


# -- info ------------------------------------------------------------------------

def _stream(path: str, stream: StreamInfo) -> dict[str, Any]:
    """The description of one stream of the file."""
    index, media_type = stream["index"], stream["media_type"]
    if media_type not in ("video", "audio"):
        return {"type": "other", "stream_index": index}
    try:
        if media_type == "video":
            return _video_stream(path, index)
        with AudioReader(path, stream_index=index) as audio:
            return {"type": "audio", **dataclasses.asdict(audio.metadata)}
    except NoDecoderError as error:
        return {"type": media_type, "stream_index": index, "error": f"{error}"}


def _video_stream(path: str, index: int) -> dict[str, Any]:
    try:
        reader = VideoReader(path, stream_index=index)
        note = None
    except NotImplementedError as error:
        reader = VideoReader(path, stream_index=index, auto_rotate=False)
        note = f"{error.__cause__ or error}"  # the decoder's reason, without the reader's advice
    with reader:
        try:
            described = {"type": "video", **dataclasses.asdict(reader.metadata)}
        except RuntimeError as error:  # the header opened but the packets cannot be listed
            return {"type": "video", "stream_index": index, "codec": reader.header.codec,
                    "error": f"{error}"}
    if note:
        described["rotation_note"] = note
    return described


def shown(path: str) -> str:
    """A file name as text that can be printed: bytes that are not UTF-8
    (file names arrive with surrogate escapes for them) as \\x escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def describe(path: str) -> dict[str, Any]:
    """Every stream of one file, as JSON-ready dicts."""
    streams = [_stream(path, stream) for stream in list_streams(path)]
    return {"file": path, "ffmpeg_version": ffmpeg_version, "streams": streams}


def _num(value: object, unit: str = "", digits: int = 3) -> str:
    if value is None:
        return "unknown"
    if isinstance(value, float):
        text = f"{value:.{digits}f}"
        if "." in text:
            text = text.rstrip("0").rstrip(".")
    else:
        text = str(value)
    return text + unit


def _count(value: object, noun: str) -> str:
    return f"{_num(value)} {noun}{'' if value == 1 else 's'}"


def format_info(info: dict[str, Any]) -> str:
    lines = [f"{shown(info['file'])}: {len(info['streams'])} stream(s), read with FFmpeg "
             f"{info['ffmpeg_version']}"]
    for s in info["streams"]:
        head = f"  stream {s['stream_index']}: {s['type']}"
        if "error" in s:
            lines.append(f"{head}, {s.get('codec') or 'unreadable'} ({s['error']})")
        elif s["type"] == "video":
            end = s["start"] + s["duration"]
            lines.append(f"{head}, {s['codec']} {s['width']}x{s['height']} {s['pixel_format']}"
                         f" ({_num(s['bit_depth'])}-bit), {_num(s['fps'], ' fps')}")
            lines.append(f"    {_count(s['num_frames'], 'frame')} ({s['num_key_frames']} key)"
                         f" from {_num(s['start'], ' s')} to {_num(end, ' s')}"
                         f" ({_num(s['duration'], ' s')})")
            colour = ", ".join(f"{k} {s['color_' + k] or '-'}"
                               for k in ("range", "space", "primaries", "transfer"))
            rotation = "none" if s["rotation"] is None else _num(s["rotation"], " degrees")
            if s.get("rotation_note"):
                rotation += f" ({s['rotation_note']})"
            ratio = s["pixel_aspect_ratio"]
            lines.append(f"    colour: {colour}; rotation: {rotation}; pixel aspect "
                         f"{'unknown' if not ratio else f'{ratio[0]}:{ratio[1]}'}; bit rate "
                         f"{_num(s['bit_rate'] and s['bit_rate'] / 1000, ' kb/s', 0)}")
        elif s["type"] == "audio":
            lines.append(f"{head}, {s['codec']} {_num(s['sample_rate'], ' Hz')} "
                         f"{s['sample_format']}, {_count(s['channels'], 'channel')}")
            lines.append(f"    header: start {_num(s['start'], ' s')}, duration "
                         f"{_num(s['duration'], ' s')}, bit rate "
                         f"{_num(s['bit_rate'] and s['bit_rate'] / 1000, ' kb/s', 0)}")
        else:
            lines.append(f"{head} (not decodable here)")
    return "\n".join(lines)


def cmd_info(args: argparse.Namespace) -> int:
    failed = 0
    results = []
    with Progress(len(args.files), "info", args.progress) as progress:
        for path in args.files:
            try:
                info = describe(path)
            except (RuntimeError, ValueError, OSError) as error:
                progress.clear()
                print(f"{PROG}: {shown(path)}: {error}", file=sys.stderr)
                failed += 1
            else:
                if args.json:
                    results.append(info)
                else:
                    progress.clear()
                    print(format_info(info), flush=True)
            progress.step(shown(os.path.basename(path)))
    if args.json:
        print(json.dumps(results[0] if len(args.files) == 1 and results else results, indent=2))
    return 1 if failed else 0


# -- frames ----------------------------------------------------------------------


def _pillow() -> Any:
    try:
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise CommandError("making a contact sheet needs Pillow: "
                           "pip install 'quorvex_av[cli]' (or pip install Pillow)") from None
    return Image, ImageDraw, ImageFont


def _chunks(items: Sequence[float], size: int) -> Iterator[Sequence[float]]:
    for begin in range(0, len(items), size):
        yield items[begin:begin + size]


def contact_sheet(frames: npt.NDArray[np.uint8], captions: Sequence[Sequence[str]],
                  columns: int, caption_height: int = 22, gap: int = 4) -> Any:
    """A grid of frames, each with a caption in a strip beneath it: the first
    of its alternative captions that fits the frame's width."""
    Image, ImageDraw, ImageFont = _pillow()
    count, height, width = frames.shape[:3]
    columns = max(1, min(columns, count))
    rows = math.ceil(count / columns)
    tile_w, tile_h = width + gap, height + caption_height + gap
    sheet = Image.new("RGB", (columns * tile_w + gap, rows * tile_h + gap), (24, 24, 24))
    draw = ImageDraw.Draw(sheet)
    try:
        font = ImageFont.load_default(size=13)
    except TypeError:  # Pillow before 10.1: the fixed bitmap font
        font = ImageFont.load_default()
    for i, (frame, caption) in enumerate(zip(frames, captions)):
        x = gap + (i % columns) * tile_w
        y = gap + (i // columns) * tile_h
        sheet.paste(Image.fromarray(frame), (x, y))
        fitting = [c for c in caption if draw.textlength(c, font=font) <= width - 6]
        text = fitting[0] if fitting else caption[-1]
        while len(text) > 1 and draw.textlength(text, font=font) > width - 6:
            text = text[:-1]
        draw.text((x + 3, y + height + 4), text, fill=(235, 235, 235), font=font)
    return sheet


def cmd_frames(args: argparse.Namespace) -> int:
    _pillow()  # fail before decoding anything
    with VideoReader(args.file, stream_index=args.stream) as probe:
        height, width = probe.frame_size
    size = (max(1, round(height * args.width / width)), args.width)
    with VideoReader(args.file, stream_index=args.stream, resize=size,
                     workers=args.workers, threads=args.threads) as reader:
        if args.at is not None:
            times = list(args.at)
        else:
            meta = reader.metadata
            step = meta.duration / args.count
            times = [meta.start + (i + 0.5) * step for i in range(args.count)]
        indices = reader.index_at(times)
        frame_times = reader.times[indices]
        parts = []
        with Progress(math.ceil(len(times) / 16), "frames", args.progress) as progress:
            for chunk in _chunks(times, 16):
                parts.append(reader.at(chunk))
                progress.step()
    captions = [(f"{t:.3f} s: frame {i} ({ft:.3f} s)", f"{t:.3f} s: #{i}", f"{t:.2f}s")
                for t, i, ft in zip(times, indices, frame_times)]
    sheet = contact_sheet(np.concatenate(parts), captions, args.columns)
    sheet.save(args.output)
    print(f"wrote {shown(args.output)}: {len(times)} frames of {size[1]}x{size[0]} "
          f"in a {sheet.width}x{sheet.height} sheet")
    return 0


# -- audio -----------------------------------------------------------------------


def write_wav(path: str, samples: npt.NDArray[np.float32], rate: int, as_float: bool) -> None:
    """(channels, n) float samples to a WAV file: 16-bit PCM, or 32-bit float."""
    channels = samples.shape[0]
    if not as_float:
        # Full scale is 32768, as FFmpeg reads it back; +1.0 clips to 32767.
        pcm = np.clip(np.round(samples * 32768.0), -32768, 32767).astype("<i2")
        # Opened here: a failed wave.open(path) leaves a half-made writer
        # that complains again when it is collected.
        with open(path, "wb") as file, wave.open(file, "wb") as out:
            out.setnchannels(channels)
            out.setsampwidth(2)
            out.setframerate(rate)
            out.writeframes(pcm.T.tobytes())
        return
    # The wave module writes PCM only; IEEE float needs format tag 3 and a
    # fact chunk.
    data = samples.T.astype("<f4").tobytes()
    fmt = struct.pack("<HHIIHHH", 3, channels, rate, rate * channels * 4, channels * 4, 32, 0)
    fact = struct.pack("<I", samples.shape[1])
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"fact" + struct.pack("<I", len(fact)) + fact
            + b"data" + struct.pack("<I", len(data)) + data + b"\0" * (len(data) % 2))
    with open(path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def cmd_audio(args: argparse.Namespace) -> int:
    with AudioReader(args.file, stream_index=args.stream, sample_rate=args.rate,
                     channels=args.channels) as reader:
        samples = reader.read(args.start, args.stop)
        rate = reader.sample_rate
    write_wav(args.output, samples, rate, args.float)
    channels, count = samples.shape
    print(f"wrote {shown(args.output)}: {count} samples x {channels} channel(s) at {rate} Hz "
          f"({count / rate:.3f} s), {'32-bit float' if args.float else '16-bit PCM'}")
    return 0


# -- entry point -----------------------------------------------------------------


def _int_in_range(low: int, high: int = 2**31 - 1) -> Callable[[str], int]:
    """An argparse type: an integer in [low, high], else a usage error."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not in [{low}, {high}]")
        return value
    return parse


def _auto_or(parse: Callable[[str], int]) -> Callable[[str], int | None]:
    """An argparse type: "auto" (None, the readers' auto), else ``parse``'s."""
    def parse_or_auto(text: str) -> int | None:
        if text == "auto":
            return None
        try:
            return parse(text)
        except argparse.ArgumentTypeError as error:
            raise argparse.ArgumentTypeError(f"{error} (or auto)") from None
    return parse_or_auto


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG, description="Inspect media files, make contact sheets and extract audio.")
    top.add_argument("--version", action="version",
                     version=f"{PROG} {__version__} (FFmpeg {ffmpeg_version})")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def progress_flag(command: argparse.ArgumentParser) -> None:
        command.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                             help="show a progress bar on stderr (default: when it is a terminal)")

    info = commands.add_parser("info", help="describe the streams of media files")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print JSON instead of text")
    progress_flag(info)
    info.set_defaults(run=cmd_info)

    frames = commands.add_parser("frames", help="a contact sheet of the frames shown at given times")
    frames.add_argument("file", metavar="FILE")
    when = frames.add_mutually_exclusive_group(required=True)
    when.add_argument("--at", nargs="+", type=float, metavar="T", help="times in seconds")
    when.add_argument("--count", type=_int_in_range(1), metavar="N", help="N frames spread over the video")
    frames.add_argument("-o", "--output", required=True, help="image file to write (PNG, JPEG ...)")
    frames.add_argument("--width", type=_int_in_range(1), default=240,
                        help="width of each frame (default 240)")
    frames.add_argument("--columns", type=_int_in_range(1), default=4, help="frames per row (default 4)")
    frames.add_argument("--stream", type=_int_in_range(0), default=None, help="video stream index")
    frames.add_argument("--workers", type=_auto_or(_int_in_range(1, 64)), default=None,
                        help="decoders reading the file at once (default: auto, the cores this "
                             "process may use)")
    frames.add_argument("--threads", type=_auto_or(_int_in_range(0, 64)), default=None,
                        help="FFmpeg threads per decoder, 0 for FFmpeg's choice (default: auto, "
                             "what the workers leave)")
    progress_flag(frames)
    frames.set_defaults(run=cmd_frames)

    audio = commands.add_parser("audio", help="write an audio stream to a WAV file")
    audio.add_argument("file", metavar="FILE")
    audio.add_argument("-o", "--output", required=True, help="WAV file to write")
    audio.add_argument("--rate", type=_int_in_range(1), default=None,
                       help="sample rate (default: the stream's)")
    audio.add_argument("--channels", type=_int_in_range(1, 64), default=None,
                       help="channel count (default: the stream's)")
    audio.add_argument("--start", type=float, default=None, help="start time in seconds")
    audio.add_argument("--stop", type=float, default=None, help="stop time in seconds")
    audio.add_argument("--float", action="store_true", help="32-bit float samples, not 16-bit PCM")
    audio.add_argument("--stream", type=_int_in_range(0), default=None, help="audio stream index")
    audio.set_defaults(run=cmd_audio)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except (CommandError, IndexError, ValueError, RuntimeError, NotImplementedError,
            OSError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())

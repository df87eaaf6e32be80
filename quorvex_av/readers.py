"""Readers on top of the extension's ``Decoder``: video frames by index or by
time, a whole stream in bounded batches, and audio cut to a time range.

A ``VideoReader`` opens with the header alone.  By default (``seek_mode=
"exact"``) it lists the frames of its stream once, with one ``scan()`` pass,
the first time it needs them (for ``len``, indexing, ``batches``,
``index_at`` or ``metadata``); a ``FrameTable`` saved from an earlier scan
(``frame_index=``) replaces the scan, and ``seek_mode="approximate"`` does
without one, placing frames by the header's rate and count.  Frame ``i`` is
the ``i``-th frame in presentation order; its timestamp and the timestamp of
the key frame at or before it are all the extension needs to fetch it
exactly.  Every request, however many frames it names, is answered by one
extension call.
"""

from __future__ import annotations

import io
import math
import operator
import os
import weakref
from collections.abc import Callable, Iterator
from dataclasses import dataclass, fields
from typing import (IO, TYPE_CHECKING, Any, Literal, SupportsFloat, SupportsIndex, TypeAlias,
                    TypeVar, Union)

import numpy as np
import numpy.typing as npt

from . import _parallel
from ._av import Decoder
from .errors import (ERROR_TYPES, DamagedFrameError, NoFrameError, NotShownError,
                     SharedTimestampsError)
from .frame_table import FrameTable, _NominalFrames, load_table, shown_index

if TYPE_CHECKING:
    from ._av import StreamInfo, VideoStreamMetadata

__all__ = ["AudioMetadata", "AudioReader", "VideoHeader", "VideoMetadata", "VideoReader",
           "list_streams"]

#: What a reader can open: a path or URL, encoded media in memory, or a
#: binary file object with ``read`` and ``seek``.
Source: TypeAlias = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes]]
#: Sample type of returned frames.  "native" keeps the stream's own samples
#: for a few packed formats (grey, 16-bit grey, RGBA ...).
OutputDtype: TypeAlias = Literal["uint8", "uint16", "float32", "native"]
#: Frames as returned by the readers: (..., height, width, channels).
Frames: TypeAlias = npt.NDArray[Union[np.uint8, np.uint16, np.float32]]
#: Indices accepted by ``VideoReader.__getitem__``.
FrameIndex: TypeAlias = Union[SupportsIndex, slice, "npt.ArrayLike"]
#: How a ``VideoReader`` finds frame ``i`` without a saved table.
SeekMode: TypeAlias = Literal["exact", "approximate"]
_SEEK_MODES = ("exact", "approximate")

_DTYPES = ("uint8", "uint16", "float32", "native")
# The largest read from a file object.  The decoder's reads start at 64 KiB
# after each seek and double while it reads on, so one frame in the middle
# of a 720p file costs about ten reads (about seventy at the decoder's own
# 32 KiB) and hardly more bytes than its group of pictures; above 1 MiB the
# last read of a request starts to overshoot by megabytes.
_FILE_BUFFER_SIZE = 1 << 20
# What the checks that decode a stream's first frame convert: its corner
# (only its time counts; the whole picture's conversion would double the cost).
_CORNER = [("crop", 0, 0, 2, 2)]


def _open(source: Source, media_type: Literal["video", "audio"],
          stream_index: int | None, threads: int = 1,
          timeout: float | None = None) -> tuple[Decoder, _Held | None]:
    """A Decoder on ``source``, after turning path-likes and byte buffers
    into what the extension takes, and what must stay open while it is used
    (see ``_held_name``).  What is neither is the extension's to classify:
    it takes a binary file object and rejects anything else with
    ValueError."""
    options: dict[str, Any] = {"error_types": ERROR_TYPES}
    if timeout is not None:
        options["timeout"] = timeout
    value, held = _prepared(source)
    if not isinstance(value, (str, bytes)):  # a file object, maybe one from _held_name
        options["buffer_size"] = _FILE_BUFFER_SIZE
    try:
        return Decoder(value, media_type, stream_index, threads, **options), held
    except BaseException:
        if held is not None:
            held.close()
        raise


def _prepared(source: Source) -> tuple[str | bytes | IO[bytes], _Held | None]:
    """``source`` as the extension takes it, and what must stay open while
    it is read."""
    given: object = source  # checked at run time whatever its annotation says
    if isinstance(given, io.TextIOBase):
        raise TypeError("source is a text file; open it in binary mode ('rb')")
    if isinstance(source, (str, os.PathLike)) and not isinstance(source, bytes):
        # Never bytes from a path-like: those would be read as media.
        value = source if isinstance(source, str) else os.fsdecode(source)
        return _held_name(value) if not _utf8(value) else (value, None)
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source), None
    return source, None


def list_streams(source: Source, *, timeout: float | None = None) -> list[StreamInfo]:
    """Every stream of ``source`` (as a reader takes it) in index order: its
    index, media type ("video", "audio", "subtitle", ...), codec name and
    whether it can be decoded here.  One opening of the container, which
    decodes nothing."""
    value, held = _prepared(source)
    try:
        return Decoder.streams(value, timeout=timeout)
    finally:
        if held is not None:
            held.close()


def _utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class _Held:
    """What keeps a source open while a reader uses it; closed with it."""

    def __init__(self, close: Callable[[], None]) -> None:
        self.close = close


def _held_name(path: str) -> tuple[str | IO[bytes], _Held]:
    """A source the extension can open for a file whose name is not UTF-8
    (names from the file system arrive with surrogate escapes, which the
    extension refuses).  The file is opened by its name's own bytes; where
    the system names open descriptors (/proc/self/fd), the extension opens
    that name, which reads like a path (its own file position, reopened by
    name when needed, and in forked children); elsewhere it reads the open
    file as a file object."""
    name = os.fsencode(path)
    if os.path.isdir("/proc/self/fd"):
        descriptor = os.open(name, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        return f"/proc/self/fd/{descriptor}", _Held(lambda: os.close(descriptor))
    file = open(name, "rb")
    return file, _Held(file.close)


def _whole(name: str, value: object) -> int:
    """``value`` as an int; ValueError for a number that is not whole,
    TypeError for anything else."""
    if isinstance(value, float) and value.is_integer():
        return int(value)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        if isinstance(value, (int, float)) or hasattr(value, "__float__"):
            raise ValueError(f"{name} must be a whole number, not {value!r}") from None
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _skipped(decoder: Decoder | _parallel.Workers) -> int:
    """Invalid packets the decoder's latest call skipped (0 once closed)."""
    try:
        return decoder.skipped_packets()
    except RuntimeError:
        return 0


def _aspect(ratio: tuple[int, int]) -> tuple[int, int] | None:
    """A pixel aspect ratio, None where the header stores none (a zero)."""
    return ratio if ratio[0] and ratio[1] else None


def _seconds(value: float) -> str:
    return f"{value:.6g}"


@dataclass(frozen=True)
class _VideoFacts:
    """The header facts that ``VideoHeader`` and ``VideoMetadata`` share."""

    stream_index: int
    codec: str | None
    #: Width and height of the frames before any crop or resize, upright when
    #: the reader applies the display rotation.
    width: int
    height: int
    pixel_format: str | None
    bit_depth: int | None
    #: Shape of a pixel as (width, height), None when the file does not say.
    pixel_aspect_ratio: tuple[int, int] | None
    color_range: str | None
    color_space: str | None
    color_primaries: str | None
    color_transfer: str | None
    #: The display rotation stored in the file, in degrees counter-clockwise
    #: (None when there is none), whether or not the reader applies it.
    rotation: float | None
    bit_rate: float | None


@dataclass(frozen=True)
class VideoHeader(_VideoFacts):
    """What the container header says of a video stream: known as soon as
    a ``VideoReader`` is open, without reading any frame or packet.

    The counts and times here are the header's claims (None where it makes
    none); ``VideoMetadata`` has the ones a scan of the stream measures.
    """

    #: The frame count the header stores (MP4 does, Matroska does not).
    num_frames: int | None
    #: The header's base frame rate.
    fps: float | None
    #: The stream's start time and duration, in seconds.
    start: float | None
    duration: float | None
    #: The whole container's duration, in seconds.
    container_duration: float | None


@dataclass(frozen=True)
class VideoMetadata(_VideoFacts):
    """What a ``VideoReader`` knows about its stream.

    Sizes are those of the pictures as shown: with ``auto_rotate`` a quarter
    turn swaps ``width`` and ``height``.  ``num_frames``, ``num_key_frames``,
    ``start``, ``duration`` and ``fps`` are measured by the reader's frame
    table (its scan of the stream, or a saved table), so they hold for
    variable frame rates too; with ``seek_mode="approximate"`` and no table
    they are the header's nominal values instead (``num_key_frames`` is then
    None).  The other fields are header facts, also in ``VideoHeader``.
    """

    #: Frames in the stream, and how many of them are key frames.
    num_frames: int
    num_key_frames: int | None
    #: Time of the first frame, in seconds (not always 0).
    start: float
    #: From the first frame's time to the end of the last frame; the last
    #: frame counts for its own duration, or for nothing when that is unknown.
    duration: float
    #: Mean frame rate over the frame intervals, (frames - 1) / (last time -
    #: first time); the header's rate when there are fewer than two frames.
    fps: float | None


@dataclass(frozen=True)
class AudioMetadata:
    """What an ``AudioReader`` knows about its stream, from the header."""

    stream_index: int
    codec: str | None
    sample_rate: int | None
    channels: int | None
    sample_format: str | None
    #: The header's start time and duration in seconds (None when absent).
    start: float | None
    duration: float | None
    bit_rate: float | None


# The exact table of a stream's frames (kept under its former name too).
_FrameTable = FrameTable


def _source_size(source: Source) -> int | None:
    """Size in bytes of a source, where it is cheap to know: a local file,
    bytes in memory, or a seekable file object (put back where it was)."""
    given: object = source
    if isinstance(given, (bytes, bytearray, memoryview)):
        return len(given) if not isinstance(given, memoryview) else given.nbytes
    if isinstance(given, (str, os.PathLike)):
        try:
            return os.path.getsize(given)
        except (OSError, ValueError):
            return None  # a URL, or a name the system cannot stat
    try:
        if not getattr(given, "seekable", lambda: True)():
            return None
        position = given.tell()  # type: ignore[attr-defined]
        size = given.seek(0, io.SEEK_END)  # type: ignore[attr-defined]
        given.seek(position)  # type: ignore[attr-defined]
        return int(size)
    except Exception:  # a file object without a usable size
        return None


_R = TypeVar("_R", bound="_Closable")


class _Closable:
    """A reader's life cycle: ``close()``, also on leaving a ``with`` block."""

    _decoder: Decoder
    _release: weakref.finalize[[], _Closable] | None = None

    def _open(self, source: Source, media_type: Literal["video", "audio"],
              stream_index: int | None, threads: int = 1,
              timeout: float | None = None) -> None:
        self._decoder, held = _open(source, media_type, stream_index, threads, timeout)
        if held is not None:  # closed with the reader, or when it is collected
            self._release = weakref.finalize(self, held.close)

    def close(self) -> None:
        """Release the decoder; further calls raise RuntimeError."""
        self._decoder.close()
        if self._release is not None:
            self._release()

    def __enter__(self: _R) -> _R:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class VideoReader(_Closable):
    """Frames of one video stream as NumPy arrays.

    ``source`` is a path or URL, ``bytes`` holding encoded media, or a binary
    file object.  ``stream_index`` picks a stream (default: the best video
    stream) and ``threads`` the number of decoding threads.  ``timeout``
    (seconds) ends a read from a network source that gets no data for that
    long with RuntimeError.

    Frames come out as ``dtype`` ("uint8", "uint16", "float32" scaled to
    [0, 1], or "native" for a few packed source formats), RGB, upright
    (``auto_rotate``, following the file's display rotation), then cropped
    to ``crop`` = (top, left, height, width) of the upright picture, then
    resized to ``resize`` = (height, width).  The resize is bilinear and done
    by the colour conversion itself, from the decoded picture straight to the
    requested size; ``exact_resize=True`` converts the whole picture to RGB
    first and scales that, as the ffmpeg tool's ``format=rgb24,scale=...``
    does (slower; the two differ by a few levels at sharp edges).

    ``reader[i]``, ``reader[a:b:c]`` and ``reader[[i, j, ...]]`` give frames
    by their index in presentation order; ``reader.at(seconds)`` gives the
    frames a player shows at given times; ``reader.batches(n)`` walks the
    whole stream.  A reader is not safe to use from two threads at once; use
    one reader per thread or process.

    ``workers=N`` (default 1) decodes every request that spans several
    groups of pictures on up to N decoders of the source at once: the
    reader's own on the calling thread and N - 1 worker threads, each with a
    decoder opened on first use and closed with the reader.  The results are
    those of ``workers=1``, frame for frame and error for error.  Paths and
    bytes are shared by every decoder (bytes are not copied per worker); a
    file object is read by the reader's decoder alone.  Each decoder has its
    own ``threads``; see the guide for choosing the two.  A stream whose
    first frame does not decode at the time its table or header gives (AVI
    with B-frames) is read on the reader's decoder alone: there a seek finds
    other frames than decoding on does.

    Opening reads the header only (``header``).  Frame ``i`` is found in
    one of three ways:

    - ``seek_mode="exact"`` (the default): the first request that needs
      frame positions scans every packet of the stream once (``scan()``,
      reading the whole file but decoding nothing); frames are then exact.
      A stream whose packets carry decoding order only (AVI with B-frames)
      cannot be read by index then: see the guide's section on errors.
    - ``frame_index=``: a ``FrameTable`` from an earlier scan
      (``reader.frame_index``, saved with ``save``), or the path of a saved
      one, used instead of the scan after checking that it belongs to this
      stream (stream index, codec, time base, the header's frame count and
      the source's size where known); a mismatch raises ValueError.
    - ``seek_mode="approximate"``: no scan.  The header's frame rate and
      count (or duration x rate) give ``len()`` and frame ``i``'s time,
      start + i / fps (fps: the header's base rate, or its count / duration
      where the two disagree by more than 1 %); frame ``i`` is the first frame at or after that time
      less half a frame period, decoded from the seek point the container's
      index gives for it.  On a constant-rate stream these are exactly the
      frames of exact mode.  Otherwise (variable rate, frames sharing a
      timestamp, a header count that is wrong) they are the frames nearest
      the nominal times, ``len()`` is the header's count, and an index past
      the stream's real end raises IndexError; ``times`` and ``durations``
      are the nominal ones.  A header without a rate, or without both a
      count and a duration, leaves nothing to go by: the reader then scans
      as in exact mode.

    A packet the decoder rejects as invalid data (a damaged stretch of the
    file) is skipped and decoding goes on, as the ffmpeg tool does;
    ``skipped_packets`` counts those the latest request skipped.  With
    ``strict=True`` such a packet raises RuntimeError instead.
    """

    def __init__(
        self,
        source: Source,
        *,
        seek_mode: SeekMode = "exact",
        frame_index: FrameTable | str | os.PathLike[str] | None = None,
        stream_index: int | None = None,
        threads: int = 1,
        workers: int = 1,
        timeout: float | None = None,
        dtype: OutputDtype = "uint8",
        crop: tuple[int, int, int, int] | None = None,
        resize: tuple[int, int] | None = None,
        auto_rotate: bool = True,
        exact_resize: bool = False,
        strict: bool = False,
    ) -> None:
        if dtype not in _DTYPES:
            raise ValueError(f"dtype must be one of {', '.join(_DTYPES)}, not {dtype!r}")
        if dtype == "native" and (crop is not None or resize is not None):
            raise ValueError("crop and resize need an RGB dtype (uint8, uint16 or float32)")
        threads = _whole("threads", threads)
        if threads < 0:
            raise ValueError(f"threads must be 0 (FFmpeg chooses) or more, not {threads}")
        workers = _parallel.check_workers(workers)
        self._dtype: OutputDtype = dtype
        self._direct_resize = not exact_resize
        self._skip_invalid = not strict
        #: Invalid packets skipped by the latest request (0 with ``strict``).
        self.skipped_packets = 0
        if seek_mode not in _SEEK_MODES:
            raise ValueError(f"seek_mode must be 'exact' or 'approximate', not {seek_mode!r}")
        table = None if frame_index is None else load_table(frame_index)
        self._table: FrameTable | None = None
        self._table_given = table is not None
        self._nominal: _NominalFrames | None = None
        self._metadata: VideoMetadata | None = None
        self._source_size = _source_size(source)
        self._open(source, "video", stream_index, threads, timeout)
        self._workers: _parallel.Workers | None = None
        self._steady: bool | None = None  # see _sharing
        self._misplaced: str | None = None  # see _check_placed
        self._placed_checked = False
        try:
            self._configure(crop, resize, auto_rotate)
            self._start_workers(source, workers, threads, timeout)
            if table is not None:
                table.check(self._header, self._source_size)
                self._table = table
            elif seek_mode == "approximate":
                self._nominal = _NominalFrames.from_header(self._header)
        except BaseException:
            self.close()
            raise
        #: "exact" or "approximate": how frames are found (exact with a table).
        self.seek_mode: SeekMode = "approximate" if self._nominal is not None else "exact"

    def _start_workers(self, source: Source, count: int, threads: int,
                       timeout: float | None) -> None:
        """The workers behind ``workers=count`` (none for one, or for a file
        object); each opens the same stream of the shared source."""
        shared = _parallel.shared_source(source)
        if count < 2 or shared is None:
            return
        index = self._header["stream_index"]

        def opener() -> tuple[Decoder, _Held | None]:
            given = shared.open() if isinstance(shared, _parallel._SharedBytes) else shared
            return _open(given, "video", index, threads, timeout)  # type: ignore[arg-type]

        self._workers = workers = _parallel.Workers(count, self._decoder, opener)
        self._opener = opener
        # Collected with the reader: its workers stop and close their decoders.
        weakref.finalize(self, workers.close, True)

    def _sharing(self) -> Decoder | _parallel.Workers:
        """What a request runs on: the workers, or the reader's decoder alone
        where a seek does not find what decoding on finds (see
        ``_seeks_steadily``).  There a decoder's answer depends on where its
        earlier calls left it, so only the one decoder, taking every request
        in turn as a reader with one worker does, gives the same answers."""
        if self._workers is None or self._steady is False:
            return self._decoder
        if self._steady is None:
            self._steady = self._seeks_steadily()
        return self._workers if self._steady else self._decoder

    def _seeks_steadily(self) -> bool:
        """Whether the stream's first frame decodes at the time where the
        frame table (or, before a scan, the header) puts it, tried once on
        a decoder of its own, so that the reader's decoder is not moved.

        Where it does not, the container stores decode order only (AVI with
        B-frames: packets carry their place in decode order, and the decoder
        times each frame by the packet that released it).  Frames that follow
        a key frame in decode order but show before it then carry times after
        it, and a seek to the key frame, after which they cannot be decoded,
        finds other frames than decoding on through it.  Such containers
        count frames in their timestamps; a stream timed more finely carries
        presentation times and is not tried (nothing is opened)."""
        table = self._table
        num, den = self._header["time_base_num"], self._header["time_base_den"]
        if table is not None and len(table):
            if len(table) > 1 and np.diff(table.pts).min() > 1:
                return True  # presentation times, not frame counts (see _misplacement)
            start = int(table.pts[0])
        else:
            fps = self._header["average_fps_from_header"]
            if not fps or round(den / (num * fps)) > 1:
                return True  # a time base finer than the frame rate: presentation times
            begin = self._header["begin_stream_seconds_from_header"]
            start = round((begin or 0.0) * den / num)
        try:
            decoder, held = self._opener()
        except Exception:
            return False  # the workers could not open it either
        try:
            first = self._first_time(decoder, start)
        finally:
            decoder.close()
            if held is not None:
                held.close()
        # None: nothing to share out then, the reader's decoder reports it.
        return first is not None and first == float(start) * num / den

    def _first_time(self, decoder: Decoder, start: int) -> float | None:
        """The time of the first frame ``decoder`` gives from ``start`` on
        (only a corner of it converted), or None when that fails."""
        try:
            _, times, _ = decoder.decode_video([(start, start)], "uint8", False, _CORNER,
                                               skip_invalid=self._skip_invalid)
        except Exception:
            return None
        return float(times[0]) if times else None

    def close(self) -> None:
        """Release the decoders; further calls raise RuntimeError (and
        RuntimeError "Already borrowed" while a request runs on workers)."""
        if self._workers is not None:
            self._workers.close()
        super().close()

    def _configure(self, crop: tuple[int, int, int, int] | None,
                   resize: tuple[int, int] | None, auto_rotate: bool) -> None:
        """Read the header; plan the rotation, crop and resize."""
        self._header = self._read_header(auto_rotate)
        rotation = self._header["rotation"]
        turns = round(rotation / 90) % 4 if auto_rotate and rotation is not None else 0
        width, height = self._header["width"], self._header["height"]
        if turns % 2:
            width, height = height, width
        self._turns = turns  # quarter turns counter-clockwise
        self._size = (width, height)
        self._rotation = rotation
        # Applied in list order: the crop and the resize refer to the upright
        # picture.  "native" output takes no transforms; it is turned in NumPy.
        transforms: list[tuple[str, int, int, int, int]] = []
        if turns and self._dtype != "native":
            transforms.append(("rotate", turns, 0, 0, 0))
        upright = len(transforms)
        if crop is not None:
            top, left, crop_height, crop_width = (int(v) for v in crop)
            transforms.append(("crop", top, left, crop_height, crop_width))
        if resize is not None:
            new_height, new_width = (int(v) for v in resize)
            transforms.append(("resize", 0, 0, new_height, new_width))
        self._transforms = transforms
        self._out_size = (height, width)
        if transforms:  # "native" output takes none
            try:
                self._out_size = self._output_size(transforms)
            except (ValueError, OverflowError):
                # The extension's rule refused them; say which, of the reader's arguments.
                if crop is not None and not self._fits(transforms[:upright + 1]):
                    raise ValueError(
                        f"crop (top={top}, left={left}, height={crop_height}, "
                        f"width={crop_width}) does not fit in the {width}x{height} picture") from None
                raise ValueError("resize needs a positive (height, width), "
                                 f"not {tuple(resize or ())}") from None

    def _output_size(self, transforms: list[tuple[str, int, int, int, int]]) -> tuple[int, int]:
        """(height, width) of the frames that ``transforms`` make, by the
        extension's own rule: a request for no frame checks the transforms
        and sizes its empty batch, decoding nothing."""
        array, _, _ = self._decoder.decode_video([], self._dtype, True, transforms)
        return int(array.shape[1]), int(array.shape[2])

    def _fits(self, transforms: list[tuple[str, int, int, int, int]]) -> bool:
        try:
            self._output_size(transforms)
        except (ValueError, OverflowError):
            return False
        return True

    def _read_header(self, auto_rotate: bool) -> VideoStreamMetadata:
        try:
            header = self._decoder.metadata(apply_rotation=True)
        except NotImplementedError as error:
            if auto_rotate:
                # Chained: the decoder's own reason stays in __cause__.
                raise NotImplementedError(
                    f"{error}; open the reader with auto_rotate=False to read the "
                    "pictures as stored") from error
            # Not applying it: the stored pictures are read as they are.
            header = self._decoder.metadata(apply_rotation=False)
        if header["media_type"] != "video":
            raise AssertionError("a video decoder described an audio stream")
        return header

    # -- the frame table ------------------------------------------------------

    def _frames(self) -> FrameTable:
        """The exact table: the given one, or one scan of the stream."""
        if self._table is None:
            self._table = FrameTable.from_scan(self._decoder.scan(), self._header,
                                               self._source_size)
        return self._table

    def _locator(self) -> FrameTable | _NominalFrames:
        """What places the frames: the exact table, or the header's nominal
        frames in approximate mode."""
        if self._table is None and self._nominal is not None:
            return self._nominal
        return self._frames()

    def _check_placed(self) -> None:
        """RuntimeError where the exact table cannot place the stream's
        frames by index, checked once, on the reader's decoder.

        A table whose timestamps step by one tick (at the least) counts
        frames (AVI does: it stores no presentation times, only each
        packet's place in decode order).  With B-frames the decoder times
        each frame by the packet that released it, so its first frame
        decodes later than the first key frame's timestamp: frame ``i``
        would come out as the frame shown before it, frame 0 not at all.
        That is refused rather than answered off by one.  The time it
        decodes at may be a key frame's (the next packet is one where a
        scene cut made it so); a first frame decoded at a later key frame
        is taken for the stream's own only where the decoder skipped the
        packets before it as damaged, since a key frame listed first
        decodes at its own time."""
        if not self._placed_checked:
            self._misplaced = self._misplacement(self._frames())
            self._placed_checked = True
        if self._misplaced is not None:
            raise RuntimeError(self._misplaced)

    def _misplacement(self, table: FrameTable) -> str | None:
        """Why the table cannot place the frames (see ``_check_placed``)."""
        repeated = np.flatnonzero(np.diff(table.pts) == 0)
        if repeated.size and not self._repeats_decode(table, int(repeated[0])):
            return (f"the frames of this stream cannot be found by index: some of its packets "
                    f"carry a decoding time only (as MPEG-PS stores I- and P-frames), which the "
                    f"scan lists in place of their presentation time, so that "
                    f"{_seconds(float(table.times[repeated[0]]))} s is listed twice but decodes "
                    f"once; read it by time with at(), or with seek_mode='approximate'")
        key_times = table.times[table.key]
        if len(table) < 2 or not key_times.size or np.diff(table.pts).min() != 1:
            return None
        start = int(table.pts[0])
        first = self._first_time(self._decoder, start)
        if first is None:
            return None  # the request itself reports what is wrong
        if first <= key_times[0] or (first in key_times and _skipped(self._decoder)):
            return None
        return (f"the frames of this stream cannot be found by index: its packets carry "
                f"decoding order only (as AVI stores B-frames), and its first frame decodes at "
                f"{_seconds(first)} s, not at {_seconds(float(table.times[0]))} s where the "
                f"scan lists it; read it by time with at()")

    def _repeats_decode(self, table: FrameTable, row: int) -> bool:
        """Whether frames ``row`` and ``row + 1``, listed at one timestamp,
        both decode at it (only a corner of them converted): a stream whose
        frames share timestamps, not packets listed by their decoding time.
        A failure other than that answers yes: the request itself reports it."""
        targets, occurrences = table.targets(np.array([row, row + 1], dtype=np.intp))
        try:
            self._decoder.decode_video(targets, "uint8", True, _CORNER, occurrences=occurrences,
                                       skip_invalid=self._skip_invalid)
        except NoFrameError as error:
            return "occurrence" not in str(error)
        except Exception:
            return True
        return True

    @property
    def frame_index(self) -> FrameTable:
        """The exact table of the stream's frames (scanning it first unless
        the reader was given one): save it with ``frame_index.save(path)``
        and open the same source later with ``frame_index=path``."""
        return self._frames()

    def __len__(self) -> int:
        """Number of frames in the stream (exact mode scans it on first use;
        approximate mode gives the header's count)."""
        return len(self._locator())

    @property
    def frame_size(self) -> tuple[int, int]:
        """(height, width) of the frames returned, after rotation, crop and
        resize; known from the header, without a scan."""
        return self._out_size

    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Presentation time in seconds of every frame, in index order
        (nominal in approximate mode)."""
        return self._locator().times.copy()

    @property
    def durations(self) -> npt.NDArray[np.float64]:
        """Duration in seconds of every frame (0 where the file gives none;
        one frame period in approximate mode)."""
        return self._locator().durations.copy()

    @property
    def header(self) -> VideoHeader:
        """What the container header says of the stream; never scans."""
        header = self._header
        return VideoHeader(
            stream_index=header["stream_index"],
            codec=header["codec"],
            width=self._size[0],
            height=self._size[1],
            num_frames=header["num_frames_from_header"],
            fps=header["average_fps_from_header"],
            start=header["begin_stream_seconds_from_header"],
            duration=header["duration_seconds_from_header"],
            container_duration=header["container_duration"],
            pixel_format=header["pixel_format"],
            bit_depth=header["bit_depth"],
            pixel_aspect_ratio=_aspect(header["pixel_aspect_ratio"]),
            color_range=header["color_range"],
            color_space=header["color_space"],
            color_primaries=header["color_primaries"],
            color_transfer=header["color_transfer_characteristic"],
            rotation=self._rotation,
            bit_rate=header["bit_rate"] or None,
        )

    @property
    def metadata(self) -> VideoMetadata:
        """The stream's description.  Its counts and times need the frame
        table: exact mode scans the stream on first use (see
        ``VideoMetadata``); ``header`` has the header facts without a scan."""
        if self._metadata is None:
            locator = self._locator()
            header = self.header
            count = len(locator)
            if isinstance(locator, FrameTable):
                key_frames: int | None = locator.key_frames
                ticks = int(locator.pts[-1] - locator.pts[0]) if count else 0
                if count > 1 and ticks > 0:  # in whole ticks, for a round result
                    num, den = locator.time_base
                    fps: float | None = (count - 1) * den / (ticks * num)
                else:
                    fps = header.fps
            else:
                key_frames, fps = None, locator.fps
            start = float(locator.times[0]) if count else 0.0
            facts = {field.name: getattr(header, field.name) for field in fields(_VideoFacts)}
            self._metadata = VideoMetadata(
                num_frames=count, num_key_frames=key_frames, start=start,
                duration=locator.end - start if count else 0.0, fps=fps, **facts)
        return self._metadata

    # -- frames by index ------------------------------------------------------

    def __getitem__(self, key: FrameIndex) -> Frames:
        """Frames by index in presentation order.

        An integer gives one frame, (height, width, channels); a slice, a
        sequence or an array of integers gives a stack with one more leading
        axis per index axis; negative indices count from the end, and a
        boolean array of length ``len(reader)`` picks frames as a mask.
        """
        count = len(self)
        if isinstance(key, slice):
            return self._decode(np.arange(*key.indices(count)))
        if isinstance(key, (bool, np.bool_)):
            raise TypeError("frame indices must be integers, not bool")
        if isinstance(key, SupportsIndex) and not isinstance(key, np.ndarray):
            index = operator.index(key)
            frame: Frames = self._read(self._resolve(np.array([index]), count), alone=True)[0][0]
            return frame
        picks = np.asarray(key)
        if picks.dtype == np.bool_:
            if picks.shape != (count,):
                raise IndexError(f"a boolean mask must have one value per frame ({count}), "
                                 f"not shape {picks.shape}")
            return self._decode(np.flatnonzero(picks))
        if picks.size == 0:
            picks = picks.astype(np.intp)
        elif picks.dtype.kind not in "iu":
            raise TypeError(f"frame indices must be integers, not {picks.dtype}")
        frames = self._decode(self._resolve(picks.ravel(), count))
        return frames.reshape(picks.shape + frames.shape[1:])

    @staticmethod
    def _resolve(picks: npt.NDArray[Any], count: int) -> npt.NDArray[np.intp]:
        """Wrap negative indices; IndexError naming the valid range."""
        outside = picks >= count if picks.dtype.kind == "u" else (picks < -count) | (picks >= count)
        if outside.any():
            bad = int(picks[outside][0])
            if not count:
                raise IndexError(f"frame index {bad} is out of range: the video has no frames")
            raise IndexError(f"frame index {bad} is out of range: the video has {count} "
                             f"frames, valid indices are {-count} to {count - 1}")
        picks = picks.astype(np.intp)
        return np.where(picks < 0, picks + count, picks)

    def _decode(self, picks: npt.NDArray[np.intp]) -> Frames:
        """One decode_video call for the frames at these rows."""
        return self._read(picks)[0]

    def _read(self, picks: npt.NDArray[np.intp], decoder: Decoder | None = None,
              alone: bool = False) -> tuple[Frames, npt.NDArray[np.float64]]:
        """The frames at these rows (any shape) and the times the decoder
        gives for them, in one decode_video call (of ``decoder``, when
        given, which then keeps its own count of skipped packets).

        In exact mode, unless ``strict``, a frame lost to damaged packets
        (its own, or one it refers to, skipped) is answered by the next
        frame that decoded, as the extension's ``stand_in`` does; for a
        frame asked for ``alone`` (an integer index) that raises
        DamagedFrameError instead."""
        locator = self._locator()
        exact = isinstance(locator, FrameTable)
        if exact:
            self._check_placed()
        flat = picks.ravel()
        targets, occurrences = locator.targets(flat)
        calls = self._sharing() if decoder is None else decoder
        hints = _parallel.video_hints(locator) if calls is self._workers else {}
        # A decoder given walks the stream, its calls each going on from
        # the one before (batches, the workers' segments).
        continuation = {} if decoder is None else {"continuation": True}

        def decode(targets: list[tuple[int, int]]) -> tuple[Frames, list[float], list[float]]:
            try:
                return calls.decode_video(
                    targets, self._dtype, exact, self._transforms,
                    direct_resize=self._direct_resize, skip_invalid=self._skip_invalid,
                    occurrences=occurrences, seek_by_index=not exact, stand_in=exact,
                    **continuation, **hints)
            finally:
                if decoder is None:
                    self.skipped_packets = _skipped(calls)

        try:
            array, times, _ = decode(targets)
        except NoFrameError:
            if exact:
                raise
            # Without an index (FLV) a seek to a time at or past the last
            # frame can land after it: seek half a period earlier instead.
            try:
                array, times, _ = decode([(pts, pts) for pts, _ in targets])
            except NoFrameError:
                raise IndexError("a frame index is past the last frame of the stream: the header "
                                 f"counts {len(locator)} frames, the stream has fewer") from None
        if alone and exact and self._skip_invalid and calls.stand_ins():
            pts = targets[0][0]
            raise DamagedFrameError(
                f"frame {int(flat[0])} (PTS {pts}) did not decode: its packet, or a packet it "
                f"refers to, was damaged and skipped (no decoded frame at exact PTS {pts})")
        frames = self._turn(array)
        return (frames.reshape(picks.shape + frames.shape[1:]),
                np.array(times, dtype=np.float64).reshape(picks.shape))

    def _turn(self, array: Frames) -> Frames:
        if self._turns and self._dtype == "native":
            return np.ascontiguousarray(np.rot90(array, self._turns, axes=(1, 2)))
        return array

    def batches(self, size: int = 32) -> Iterator[Frames]:
        """The whole stream in order, ``size`` frames at a time (the last
        batch may be shorter).  Each batch continues where the previous one
        stopped, so the decoder never seeks back."""
        size = int(size)
        if size < 1:
            raise ValueError(f"batch size must be at least 1, not {size}")
        count = len(self)
        if self._table is not None:  # checked before the workers use their decoders
            self._check_placed()
        shared = None  # with one worker, or where the workers cannot share out
        if self._sharing() is not self._decoder:
            shared = _parallel.read_batches(self, size, count)
        if shared is not None:
            yield from shared
            return
        # Not shared out: every batch on the reader's decoder, going on from
        # the batch before, as with one worker (a batch shared into runs
        # would start each run with a seek, and so decode damage otherwise).
        for begin in range(0, count, size):
            try:
                frames, _ = self._read(np.arange(begin, min(begin + size, count), dtype=np.intp),
                                       self._decoder)
            finally:
                self.skipped_packets = _skipped(self._decoder)
            yield frames

    def __iter__(self) -> Iterator[Frames]:
        """Every frame in order, decoded in batches of 32."""
        for batch in self.batches():
            yield from batch

    # -- frames by time -------------------------------------------------------

    def at(self, seconds: SupportsFloat | npt.ArrayLike) -> Frames:
        """The frames a player shows at the given times, in seconds.

        A frame is shown from its own time until the next frame's; the last
        frame until its time plus its duration.  Times may come in any order
        and repeat; the result follows the order (and shape) given, and a
        single time gives a single frame.  Needs no scan: one decode pass.
        A time at which nothing is shown raises IndexError naming the
        video's time range.  Where frames share a timestamp, the last of them
        is the one shown (the others are shown for no time at all), as
        ``index_at`` says; such a stream is scanned and read by index.
        """
        wanted = np.asarray(seconds, dtype=np.float64)
        flat = wanted.ravel()
        if not np.isfinite(flat).all():
            raise ValueError("times must be finite numbers of seconds")
        unique, inverse = np.unique(flat, return_inverse=True)
        calls = self._sharing()
        try:
            hints = _parallel.time_hints(self._table) if calls is self._workers else {}
            array, _, _ = calls.decode_timestamps(
                unique.tolist(), self._dtype, self._transforms,
                direct_resize=self._direct_resize, skip_invalid=self._skip_invalid, **hints)
        except SharedTimestampsError:
            return self[self.index_at(wanted)]
        except NotShownError as error:
            outside = self._time_error(unique)
            if outside is None and self._skip_invalid and _skipped(calls):
                raise DamagedFrameError(
                    f"no frame is shown at {_seconds(float(unique[0]))} s: the frames up to it did "
                    f"not decode: their packets, or packets they refer to, were damaged and "
                    f"skipped ({error})") from None
            raise outside or error from None
        finally:
            self.skipped_packets = _skipped(calls)
        array = self._turn(array)
        if unique.size != flat.size or not np.array_equal(unique, flat):
            array = array[inverse.ravel()]
        return array.reshape(wanted.shape + array.shape[1:])

    def index_at(self, seconds: SupportsFloat | npt.ArrayLike) -> npt.NDArray[np.intp]:
        """Index of the frame shown at each time (same rule and errors as
        ``at``), in the shape given; scans the stream on first use."""
        table = self._locator()
        wanted = np.asarray(seconds, dtype=np.float64)
        error = self._time_error(wanted.ravel())
        if error is not None:
            raise error
        return shown_index(table.times, wanted)

    def _time_error(self, seconds: npt.NDArray[np.float64]) -> IndexError | None:
        """IndexError naming the first time outside the video's time range;
        None when all are inside (or the stream cannot be scanned)."""
        try:
            table = self._locator()
        except RuntimeError:
            return None
        if not table.times.size:
            return IndexError("the video has no frames")
        start, end = float(table.times[0]), table.end
        outside = ~((seconds >= start) & (seconds < end))  # NaN is outside
        if not outside.any():
            return None
        return IndexError(
            f"no frame is shown at {_seconds(float(seconds[outside][0]))} s: "
            f"valid times are [{_seconds(start)}, {_seconds(end)}) s")

    def __repr__(self) -> str:
        width, height = self._size
        return (f"<VideoReader stream {self._header['stream_index']}: "
                f"{self._header['codec']} {width}x{height}, dtype {self._dtype}>")


# A sample index past the end of any stream (the decoder works with indices
# up to about 2**60, and reads a bound beyond the stream's end as its end).
_FAR_INDEX = 2**62


class AudioReader(_Closable):
    """Samples of one audio stream as float32 arrays of shape (channels, samples).

    ``source`` is a path or URL, ``bytes`` or a binary file object;
    ``stream_index`` picks a stream (default: the best audio stream).
    Samples are resampled to ``sample_rate`` and mixed to ``channels``
    (defaults: the stream's own).  A channel count without a standard layout
    (9 to 15, 17 to 23, 25 to 64) gets the stream's channels in order, then
    silent ones.  ``timeout`` is as for ``VideoReader``.

    Samples are placed by the stream's own timestamps: where the timestamps
    jump forward by more than 0.1 s the gap is filled with silence, and where
    they step back by more than that the overlapping samples are dropped, as
    the ffmpeg tool's ``aresample=async=1`` does.  Smaller differences (the
    rounding of ordinary timestamps) are ignored.  Silence is made only up
    to the ``stop`` of a read; a read to the end refuses a gap of more than
    600 s with RuntimeError.

    A packet the decoder rejects as invalid data is skipped and decoding goes
    on, as the tool does; ``skipped_packets`` counts those the latest
    ``read`` skipped.  With ``strict=True`` such a packet raises RuntimeError
    instead.
    """

    def __init__(
        self,
        source: Source,
        *,
        stream_index: int | None = None,
        sample_rate: int | None = None,
        channels: int | None = None,
        strict: bool = False,
        timeout: float | None = None,
    ) -> None:
        rate = None if sample_rate is None else _whole("sample_rate", sample_rate)
        count = None if channels is None else _whole("channels", channels)
        self._skip_invalid = not strict
        #: Invalid packets skipped by the latest ``read`` (0 with ``strict``).
        self.skipped_packets = 0
        self._open(source, "audio", stream_index, timeout=timeout)
        header = self._decoder.metadata()
        if header["media_type"] != "audio":
            raise AssertionError("an audio decoder described a video stream")
        self.metadata = AudioMetadata(
            stream_index=header["stream_index"],
            codec=header["codec"],
            sample_rate=header["sample_rate"],
            channels=header["num_channels"],
            sample_format=header["sample_format"],
            start=header["begin_stream_seconds_from_header"],
            duration=header["duration_seconds_from_header"],
            bit_rate=header["bit_rate"] or None,
        )
        rate = self.metadata.sample_rate if rate is None else rate
        count = self.metadata.channels if count is None else count
        if not rate or rate <= 0 or not count or count <= 0:
            self.close()
            raise ValueError("sample_rate and channels must be positive "
                             f"(got {rate} and {count})")
        #: Output sample rate (Hz) and channel count.
        self.sample_rate: int = int(rate)
        self.channels: int = int(count)

    def read(self, start: float | None = None, stop: float | None = None) -> npt.NDArray[np.float32]:
        """Samples from ``start`` up to, not including, ``stop`` (seconds).

        ``start`` defaults to the stream's first sample, which is not always
        at 0; ``stop`` to its end.  Sample ``i`` of the result's timeline is
        at first-sample time + i / sample_rate (gaps in the stream's
        timestamps filled with silence, see the class), and exactly the
        samples in [start, stop) are returned.  A read with a bound seeks:
        it decodes from shortly before ``start`` (see the guide's section on
        audio ranges), and gives the samples that one whole read has there.
        A start or stop before the first sample, or a start or stop after the last
        one, raises IndexError naming the stream's time range.  A stream that
        decodes to no samples at all gives an empty (channels, 0) array when
        neither bound is given, and raises IndexError saying it holds no
        samples otherwise.
        """
        self._check_bounds(start, stop)
        if start is None and stop is None:
            return self._read_whole()
        first, low, high = self._span(start, stop)
        samples, total = self._read_range(low, high)
        self._check_end(first, first if start is None else start, stop, total)
        return samples

    def chunks(self, seconds: float, start: float | None = None,
               stop: float | None = None) -> Iterator[npt.NDArray[np.float32]]:
        """The samples of ``read(start, stop)`` in pieces of ``seconds``
        (the last one may be shorter), without holding more than one piece.

        Joined, the pieces equal that one read, sample for sample.  Each
        piece is a range read of its own, so memory stays bounded however
        long the stream.  Out-of-range bounds raise IndexError as ``read``
        does, but only once the iteration finds them out.
        """
        size = float(seconds) * self.sample_rate
        if not math.isfinite(float(seconds)) or size < 1:
            raise ValueError("a chunk must last at least one sample, not "
                             f"{seconds} s at {self.sample_rate} Hz")
        count = round(min(size, _FAR_INDEX))  # longer than any stream: one piece
        self._check_bounds(start, stop)
        if start is None and stop is None and self.first_sample_time is None:
            return  # no samples, as read() gives an empty array
        first, low, high = self._span(start, stop)
        index = low
        while True:  # once at least, for read()'s checks of an empty range
            upto = min(index + count, _FAR_INDEX if high is None else high)
            samples, total = self._read_range(index, upto)
            if total is not None:
                self._check_end(first, first if start is None else start, stop, total)
            if not samples.shape[1]:
                return  # the stream ended at ``index``, or the range is empty
            yield samples
            index += samples.shape[1]
            if (total is not None and index >= total) or (high is not None and index >= high):
                return

    @staticmethod
    def _check_bounds(start: float | None, stop: float | None) -> None:
        if start is not None and stop is not None and stop < start:
            raise ValueError(f"stop ({stop}) is before start ({start})")
        for name, value in (("start", start), ("stop", stop)):
            if value is not None and not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number of seconds, not {value}")

    def _read_whole(self) -> npt.NDArray[np.float32]:
        try:
            samples, _ = self._decoder.decode_audio(
                self.sample_rate, self.channels, None, honour_timestamps=True,
                skip_invalid=self._skip_invalid)
        finally:
            self.skipped_packets = _skipped(self._decoder)
        return samples

    def _span(self, start: float | None, stop: float | None) -> tuple[float, int, int | None]:
        """The first-sample time, and the sample indices [low, high) that
        [start, stop) covers on the whole read's timeline."""
        first = self.first_sample_time
        if first is None:
            raise IndexError("the audio stream holds no samples")
        rate = self.sample_rate
        begin = first if start is None else start
        for name, bound in (("start", begin), ("stop", stop)):
            if bound is not None and bound < first - 0.5 / rate:  # half a sample either way
                raise IndexError(f"{name} {_seconds(bound)} s is before the audio's first sample: "
                                 f"valid times begin at {_seconds(first)} s")
        # Compared as floats first: a bound of 1e300 s is past the end, not
        # an integer too large for the decoder.
        low = max(0, math.ceil(min((begin - first) * rate, _FAR_INDEX) - 1e-6))
        high = None if stop is None else max(
            low, math.ceil(min((stop - first) * rate, _FAR_INDEX) - 1e-6))
        return first, low, high

    @property
    def first_sample_time(self) -> float | None:
        """Time in seconds of the stream's first sample, sample 0 of
        ``read()`` (not always 0, nor the header's ``metadata.start``);
        None when the stream decodes to no samples.  Found by decoding the
        stream's first frame, once per reader."""
        return self._decoder.audio_start_time(skip_invalid=self._skip_invalid)

    def _read_range(self, low: int, high: int | None) -> tuple[npt.NDArray[np.float32], int | None]:
        try:
            samples, _, total = self._decoder.decode_audio_range(
                self.sample_rate, self.channels, low, high, skip_invalid=self._skip_invalid)
        finally:
            self.skipped_packets = _skipped(self._decoder)
        return samples, total

    def _check_end(self, first: float, begin: float, stop: float | None, total: int | None) -> None:
        """IndexError when a read that reached the stream's end (``total``
        samples in all) asked for more than there is."""
        if total is None:
            return
        end = first + total / self.sample_rate
        if stop is not None and stop > end + 0.5 / self.sample_rate:
            past = f"stop {_seconds(stop)} s"
        elif stop is None and begin >= end:
            past = f"start {_seconds(begin)} s"
        else:
            return
        raise IndexError(f"{past} is past the end of the audio: "
                         f"valid times are [{_seconds(first)}, {_seconds(end)}) s")

    def __repr__(self) -> str:
        return (f"<AudioReader stream {self.metadata.stream_index}: {self.metadata.codec}, "
                f"{self.sample_rate} Hz, {self.channels} channels>")

"""The video reader on top of the extension's ``Decoder``: frames by index
or by time, and a whole stream in bounded batches.

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

import operator
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

from ._budget import split
from ._checks import check_threads, check_workers
from ._locate import NominalFrames, TableLocator, outside_error, shown_index
from ._metadata import VideoHeader, VideoMetadata, video_header, video_metadata
from ._picture import plan_picture, read_header
from ._rows import FrameRows
from ._sources import Closable, sharer, size_of
from ._types import DTYPES, SEEK_MODES, FrameIndex, Frames, OutputDtype, SeekMode, Source
from .audio import AudioReader
from .errors import SharedTimestampsError
from .frame_table import FrameTable, load_table

if TYPE_CHECKING:
    from ._requests import Workers

__all__ = ["VideoReader"]


class VideoReader(Closable):
    """Frames of one video stream as NumPy arrays.

    ``source`` is a path or URL, ``bytes`` holding encoded media, or a binary
    file object.  ``stream_index`` picks a stream (default: the best video
    stream) and ``threads`` the number of decoding threads (default 1, see
    ``workers`` for None).  ``timeout``
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
    own ``threads``; see the guide for choosing the two.  None is "auto"
    for either: the cores this process may use (its affinity, its cgroup's
    quota, its share in a DataLoader worker or a Ray task; see the guide),
    as workers when both are None, else shared out beside the one given;
    ``threads`` stay 1 by default, which keeps damaged streams decoding
    reproducibly.  A stream whose
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
        threads: int | None = 1,
        workers: int | None = 1,
        timeout: float | None = None,
        dtype: OutputDtype = "uint8",
        crop: tuple[int, int, int, int] | None = None,
        resize: tuple[int, int] | None = None,
        auto_rotate: bool = True,
        exact_resize: bool = False,
        strict: bool = False,
    ) -> None:
        if dtype not in DTYPES:
            raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, not {dtype!r}")
        if dtype == "native" and (crop is not None or resize is not None):
            raise ValueError("crop and resize need an RGB dtype (uint8, uint16 or float32)")
        workers, threads = split(None if workers is None else check_workers(workers),
                                 None if threads is None else check_threads(threads))
        self._dtype: OutputDtype = dtype
        #: Invalid packets skipped by the latest request (0 with ``strict``).
        self.skipped_packets = 0
        if seek_mode not in SEEK_MODES:
            raise ValueError(f"seek_mode must be 'exact' or 'approximate', not {seek_mode!r}")
        table = None if frame_index is None else load_table(frame_index)
        self._metadata: VideoMetadata | None = None
        source_size = size_of(source)
        self._open(source, "video", stream_index, threads, timeout)
        self._share, self._timeout, self._closed = sharer(source), timeout, False
        self._workers: Workers | None = None
        try:
            header = read_header(self._decoder, auto_rotate)
            picture = plan_picture(self._decoder, header, dtype, crop, resize, auto_rotate)
            self._rows = rows = FrameRows(self._decoder, header, picture, dtype, not exact_resize,
                                          not strict, source_size, self._report_skipped)
            rows.start_workers(self, self._share, workers, threads, timeout)
            self._workers = rows.workers
            if table is not None:
                table.check(header, source_size)
                rows.table = TableLocator(table)
            elif seek_mode == "approximate":
                rows.nominal = NominalFrames.from_header(header)
        except BaseException:
            self.close()
            raise
        #: "exact" or "approximate": how frames are found (exact with a table).
        self.seek_mode: SeekMode = "approximate" if rows.nominal is not None else "exact"

    def close(self) -> None:
        """Release the decoders; further calls raise RuntimeError (and
        RuntimeError "Already borrowed" while a request runs on workers)."""
        if self._workers is not None:
            self._workers.close()
        self._share = None  # what it holds of the source is let go
        self._closed = True
        super().close()

    def _report_skipped(self, count: int) -> None:
        self.skipped_packets = count

    def open_audio(self, *, stream_index: int | None = None, sample_rate: int | None = None,
                   channels: int | None = None, strict: bool = False) -> AudioReader:
        """An ``AudioReader`` of an audio stream of this reader's source (the
        best one by default), with this reader's ``timeout``; close it
        yourself.  A path is opened again by name, and bytes are read through
        a file object over the same bytes, not a copy: each decoder reads and
        seeks on its own, as the workers' do.  A file object can be read by
        one decoder only: ValueError (open an ``AudioReader`` on a second
        file object of the same media instead)."""
        if self._closed:
            raise RuntimeError("decoder is closed")
        if self._share is None:
            raise ValueError("a file object is read by the video's decoder alone: open an "
                             "AudioReader on a second file object of the same media")
        return AudioReader(self._share(), stream_index=stream_index, sample_rate=sample_rate,
                           channels=channels, strict=strict, timeout=self._timeout)

    @property
    def frame_index(self) -> FrameTable:
        """The exact table of the stream's frames (scanning it first unless
        the reader was given one): save it with ``frame_index.save(path)``
        and open the same source later with ``frame_index=path``."""
        return self._rows.exact().table

    @property
    def scanned(self) -> bool:
        """Whether this reader has scanned its stream so far (never with a
        given ``frame_index``): then ``frame_index`` is that scan's table,
        worth saving, and reading it costs nothing more."""
        return self._rows.scanned

    def __len__(self) -> int:
        """Number of frames in the stream (exact mode scans it on first use;
        approximate mode gives the header's count)."""
        return len(self._rows.locator())

    @property
    def frame_size(self) -> tuple[int, int]:
        """(height, width) of the frames returned, after rotation, crop and
        resize; known from the header, without a scan."""
        return self._rows.picture.out_size

    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Presentation time in seconds of every frame, in index order
        (nominal in approximate mode)."""
        return self._rows.locator().times.copy()

    @property
    def durations(self) -> npt.NDArray[np.float64]:
        """Duration in seconds of every frame (0 where the file gives none;
        one frame period in approximate mode)."""
        return self._rows.locator().durations.copy()

    @property
    def header(self) -> VideoHeader:
        """What the container header says of the stream; never scans."""
        picture = self._rows.picture
        return video_header(self._rows.header, picture.size, picture.rotation)

    @property
    def metadata(self) -> VideoMetadata:
        """The stream's description.  Its counts and times need the frame
        table: exact mode scans the stream on first use (see
        ``VideoMetadata``); ``header`` has the header facts without a scan."""
        if self._metadata is None:
            self._metadata = video_metadata(self.header, self._rows.locator())
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
        rows = frame_rows(key, count)
        if rows is None:  # a single index
            index = operator.index(key)  # type: ignore[arg-type]
            frame: Frames = self._read(resolve(np.array([index]), count), alone=True)[0][0]
            return frame
        return self._read(rows)[0]

    def read_with_times(self, indices: npt.ArrayLike) -> tuple[Frames, npt.NDArray[np.float64]]:
        """The frames at ``indices`` (integers, in an array of any shape;
        negative ones count from the end) in one decoding call, as
        ``reader[indices]`` gives them, and the time in seconds the decoder
        gave each (in approximate mode the frame's own, not its nominal
        time).  Each frame asked for more than once is decoded once."""
        picks = np.asarray(indices)
        if picks.size == 0:
            picks = picks.astype(np.intp)
        elif picks.dtype.kind not in "iu":
            raise TypeError(f"frame indices must be integers, not {picks.dtype}")
        return self._read(resolve(picks.ravel(), len(self)).reshape(picks.shape))

    def _read(self, picks: npt.NDArray[np.intp],
              alone: bool = False) -> tuple[Frames, npt.NDArray[np.float64]]:
        return self._rows.read(picks, alone=alone)

    def batches(self, size: int = 32) -> Iterator[Frames]:
        """The whole stream in order, ``size`` frames at a time (the last
        batch may be shorter).  Each batch continues where the previous one
        stopped, so the decoder never seeks back."""
        size = int(size)
        if size < 1:
            raise ValueError(f"batch size must be at least 1, not {size}")
        yield from self._rows.batches(size)

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
        try:
            array = self._rows.shown_at(unique)
        except SharedTimestampsError:
            return self[self.index_at(wanted)]
        if unique.size != flat.size or not np.array_equal(unique, flat):
            array = array[inverse.ravel()]
        return array.reshape(wanted.shape + array.shape[1:])

    def index_at(self, seconds: SupportsFloat | npt.ArrayLike) -> npt.NDArray[np.intp]:
        """Index of the frame shown at each time (same rule and errors as
        ``at``), in the shape given; scans the stream on first use."""
        locator = self._rows.locator()
        wanted = np.asarray(seconds, dtype=np.float64)
        error = outside_error(locator, wanted.ravel())
        if error is not None:
            raise error
        return shown_index(locator.times, wanted)

    def __repr__(self) -> str:
        width, height = self._rows.picture.size
        return (f"<VideoReader stream {self._rows.header['stream_index']}: "
                f"{self._rows.header['codec']} {width}x{height}, dtype {self._dtype}>")


def frame_rows(key: FrameIndex, count: int) -> npt.NDArray[np.intp] | None:
    """The rows that ``reader[key]`` names, in the shape of the index (None
    for a single integer index, which the caller reads alone);
    IndexError or TypeError for what names no frames."""
    if isinstance(key, slice):
        return np.arange(*key.indices(count), dtype=np.intp)
    if isinstance(key, (bool, np.bool_)):
        raise TypeError("frame indices must be integers, not bool")
    if isinstance(key, SupportsIndex) and not isinstance(key, np.ndarray):
        return None
    picks = np.asarray(key)
    if picks.dtype == np.bool_:
        if picks.shape != (count,):
            raise IndexError(f"a boolean mask must have one value per frame ({count}), "
                             f"not shape {picks.shape}")
        return np.flatnonzero(picks).astype(np.intp)
    if picks.size == 0:
        picks = picks.astype(np.intp)
    elif picks.dtype.kind not in "iu":
        raise TypeError(f"frame indices must be integers, not {picks.dtype}")
    return resolve(picks.ravel(), count).reshape(picks.shape)


def resolve(picks: npt.NDArray[Any], count: int) -> npt.NDArray[np.intp]:
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

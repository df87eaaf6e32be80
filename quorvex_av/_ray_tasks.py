"""The read tasks of the Ray sources: what one task reads (its share of
each file) and how it turns frames, clips and audio windows into Arrow
blocks, opening and closing its own readers."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass, field, replace
from typing import IO, Any, Literal

import numpy as np
import numpy.typing as npt
import pyarrow as pa
from ray.data.extensions.tensor_extension import ArrowTensorArray

from ._locate import decode_starts
from ._types import FRAME_TYPES
from .audio import AudioReader
from .frame_table import FrameTable
from .loader import Failure, IndexSource, LoadError, cached_index_path, indexed_reader, keep_index
from ._ray_spans import ClipSpan, span_clips
from .samplers import ClipAudio, Clips, clip_audio
from .video import VideoReader

OnError = Literal["raise", "skip"]
# Frames in one block of frame rows: a task holds one such batch of decoded
# frames (and the block it becomes) at a time.
DEFAULT_BATCH_FRAMES = 32
# Ray gathers what a task yields into blocks of up to the dataset context's
# target_max_block_size (128 MiB by default) before storing them; smaller
# blocks let a task hand frames on as it decodes them and bound what it holds.
BLOCK_BYTES = 16 * 2**20


# -- where files come from ----------------------------------------------------------


@dataclass(frozen=True)
class Files:
    """Opens paths in a worker: by name (local paths and URLs, which the
    extension reads itself) or as file objects of a pyarrow or fsspec file
    system."""

    filesystem: Any = None

    @contextmanager
    def open(self, path: str) -> Iterator[str | IO[bytes]]:
        if self.filesystem is None:
            yield path
            return
        opener = getattr(self.filesystem, "open_input_file", None)
        file = opener(path) if opener is not None else self.filesystem.open(path, "rb")
        try:
            yield file
        finally:
            file.close()


# -- what a task reads ----------------------------------------------------------------


@dataclass(frozen=True)
class FileShare:
    """One file's share of a read task: ``position`` in the list of paths,
    and what of the file to read.

    Video: the frame ``rows`` to read, either rows of ``table`` (a slice of
    the file's frame index that starts at frame ``offset``, at a key frame)
    or, without a table, frame indices of a reader in approximate mode; or,
    when the read was not planned, nothing (the worker works out the rows
    itself, with the file's given ``index`` if there is one, keeping those
    of its share of ``frames`` when it has one).  Clips: those of ``span``.
    Audio: the
    windows [first, last) to read (last None: to the end of the stream)."""

    position: int
    path: str
    table: FrameTable | None = None
    offset: int = 0
    rows: npt.NDArray[np.intp] | None = None
    requests: npt.NDArray[np.intp] | None = None  # position of each row's frame in the request
    index: IndexSource | None = None
    windows: tuple[int, int | None] = (0, None)
    # Video read by a task that works out its own rows: the share of the
    # frames from nominal frame ``frames[0]`` to ``frames[1]`` (None: the end).
    frames: tuple[int, int | None] | None = None
    span: ClipSpan | None = None  # clips: the stretch of the timeline drawn from
    partition: Mapping[str, Any] = field(default_factory=dict)  # columns of its directories

    @property
    def known_rows(self) -> int | None:
        return None if self.rows is None else len(self.rows)


@dataclass(frozen=True)
class ReadJob:
    """What every task of a read needs besides its pieces."""

    kind: Literal["clips", "frames", "audio"]
    files: Files
    on_error: OnError
    options: Mapping[str, Any]       # reader options
    arguments: Mapping[str, Any]     # sampler arguments, frame request or window
    sampler: Callable[..., Clips] | None = None
    batch_frames: int = DEFAULT_BATCH_FRAMES
    seed: int = 0                    # random samplers: with the epoch, every file's seed
    epoch: int = 0
    index_cache: str | None = None   # directory of frame indexes kept by file
    indexes: Mapping[int, IndexSource] = field(default_factory=dict)  # given, by position
    include_paths: bool = True       # rows have a path column

    def cached_index(self, path: str) -> str | None:
        """Where the cache keeps the index of a path opened by name."""
        if self.files.filesystem is not None:
            return None
        return cached_index_path(self.index_cache, path, self.options.get("stream_index"))


def _table(columns: Mapping[str, Any]) -> pa.Table:
    """An Arrow block: arrays of more than one dimension become tensor
    columns (one value per row along the first axis), lists of strings
    string columns."""
    arrays = {}
    for name, value in columns.items():
        if isinstance(value, np.ndarray) and value.ndim > 1:
            arrays[name] = ArrowTensorArray.from_numpy(value)
        elif isinstance(value, list):
            arrays[name] = pa.array(value, type=pa.string())
        else:
            arrays[name] = pa.array(value)
    return pa.table(arrays)


# The data columns of each kind of row: dimensions of a value, and the
# NumPy type of a value (None: the frames' type), for the empty values in
# the row of a file that failed.
_COLUMNS: dict[str, dict[str, tuple[int, Any]]] = {
    "clips": {"clip": (0, np.int64), "frames": (4, None), "indices": (1, np.int64),
              "times": (1, np.float64)},
    "frames": {"request": (0, np.int64), "index": (0, np.int64), "time": (0, np.float64),
               "frame": (3, None)},
    "audio": {"window": (0, np.int64), "start": (0, np.float64), "samples": (2, np.float32)},
}


def _failure_row(job: ReadJob, piece: FileShare, error: Exception) -> pa.Table:
    """The row that stands for a failed file: its path and the error, with
    empty data (zero-size arrays of the right type, -1 and NaN)."""
    columns: dict[str, Any] = {"path": [piece.path], "position": np.array([piece.position])}
    data = dict(_COLUMNS[job.kind])
    if job.kind == "clips" and job.arguments.get("audio") is not None:
        data["audio"] = (2, np.float32)
    for name, (dimensions, kind) in data.items():
        kind = kind or FRAME_TYPES.get(job.options.get("dtype", "uint8"), np.uint8)
        if dimensions:
            columns[name] = np.zeros((1,) + (0,) * dimensions, dtype=kind)
        else:
            columns[name] = np.array([-1 if kind == np.int64 else math.nan], dtype=kind)
    columns["error"] = [f"{type(error).__name__}: {error}"]
    return _table(columns)


def run_task(job: ReadJob, pieces: Sequence[FileShare]) -> Iterator[pa.Table]:
    """The read function of one task: every piece in turn, its blocks with
    the piece's partition columns (and without the path unless asked)."""
    read = {"clips": _read_clips, "frames": _read_frames, "audio": _read_audio}[job.kind]
    for piece in pieces:
        try:
            for block in read(job, piece):
                yield _finished(job, piece, block)
        except Exception as error:
            if job.on_error == "raise":
                raise LoadError(Failure(piece.position, piece.path, error)) from error
            yield _finished(job, piece, _failure_row(job, piece, error))


def _finished(job: ReadJob, piece: FileShare, block: pa.Table) -> pa.Table:
    for name, value in piece.partition.items():
        block = block.append_column(name, pa.array([value] * block.num_rows))
    return block if job.include_paths else block.drop_columns(["path"])


def _with_error(columns: dict[str, Any], rows: int) -> pa.Table:
    columns["error"] = pa.nulls(rows, type=pa.string())
    return _table(columns)


# -- clips ------------------------------------------------------------------------------


def _read_clips(job: ReadJob, piece: FileShare) -> Iterator[pa.Table]:
    assert job.sampler is not None
    arguments = dict(job.arguments)
    span = piece.span or ClipSpan(0, None, None, None, 0)
    given = arguments.get("audio")
    audio = clip_audio(given) if isinstance(given, (ClipAudio, tuple)) else None
    with ExitStack() as stack:
        source = stack.enter_context(job.files.open(piece.path))
        reader = stack.enter_context(_video(job, piece, source))
        if audio is not None and audio.source is None and job.files.filesystem is not None:
            # A file object is read by one decoder: the sound gets its own.
            arguments["audio"] = replace(audio, source=stack.enter_context(job.files.open(piece.path)))
        clips = span_clips(reader, job.sampler, arguments, span, job.seed, job.epoch,
                           piece.position)
    # Handed on in blocks of whole clips of about BLOCK_BYTES each: one
    # table of all of a file's clips would be copied whole into Arrow
    # (twice the clips' bytes at once) before Ray cut it into blocks.
    count = len(clips)
    clip_bytes = clips.frames[:1].nbytes + (0 if clips.audio is None else clips.audio[:1].nbytes)
    per_block = max(1, BLOCK_BYTES // max(1, clip_bytes))
    for begin in range(0, count, per_block):
        part = slice(begin, min(count, begin + per_block))
        rows = part.stop - begin
        columns = {
            "path": [piece.path] * rows,
            "position": np.full(rows, piece.position),
            "clip": np.arange(begin, part.stop) + span.first_clip,
            "frames": clips.frames[part],
            "indices": clips.indices[part].astype(np.int64),
            "times": clips.times[part],
        }
        if clips.audio is not None:
            columns["audio"] = clips.audio[part]
        yield _with_error(columns, rows)


# -- frames ------------------------------------------------------------------------------


@contextmanager
def _video(job: ReadJob, piece: FileShare, source: str | IO[bytes]) -> Iterator[VideoReader]:
    """The reader of a piece: on its planned slice of the frame index, else
    with the file's given or cached index (a scan made here is kept in the
    cache once the piece is read)."""
    if piece.table is not None:
        with VideoReader(source, frame_index=piece.table, **job.options) as reader:
            yield reader
        return
    given = piece.index
    cached = None if given is not None else job.cached_index(piece.path)
    reader, indexed = indexed_reader(source, given, cached, job.options)
    with reader:
        yield reader
        if cached is not None and not indexed and reader.seek_mode == "exact":
            keep_index(reader.frame_index, cached)


def requested(reader: VideoReader, request: Mapping[str, Any],
               path: str) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp] | None]:
    """The frame indices a request names in the reader's video, in the
    request's order, and the request position of each (None for a
    stream)."""
    count = len(reader)
    if request["stride"] is not None:
        return np.arange(0, count, request["stride"], dtype=np.intp), None
    if request["indices"] is not None:
        wanted = np.asarray(_per_file(request["indices"], path), dtype=np.int64).ravel()
        outside = (wanted < -count) | (wanted >= count)
        if outside.any():
            raise IndexError(f"frame index {int(wanted[outside][0])} is out of range: the video "
                             f"has {count} frames")
        indices = np.where(wanted < 0, wanted + count, wanted).astype(np.intp)
    else:
        seconds = np.asarray(_per_file(request["times"], path), dtype=np.float64).ravel()
        indices = reader.index_at(seconds).astype(np.intp)
    return indices, np.arange(len(indices), dtype=np.intp)


def share_bounds(reader: VideoReader, frames: tuple[int, int | None]) -> tuple[int, int]:
    """The frames [begin, end) of a share of nominal frames [first, last):
    from the first place a decoder may start on its own at or after each
    bound (the end of the video for None), so that the shares of one file
    cover every frame once, however its exact count differs from the
    header's."""
    count = len(reader)
    starts = decode_starts(reader.frame_index)
    first, last = frames

    def bound(nominal: int | None) -> int:
        if nominal is None:
            return count
        if nominal <= 0:
            return 0
        later = starts[starts >= nominal]
        return int(later[0]) if later.size else count

    return bound(first), bound(last)


def _share(reader: VideoReader, rows: npt.NDArray[np.intp], requests: npt.NDArray[np.intp] | None,
           frames: tuple[int, int | None]) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp] | None]:
    begin, end = share_bounds(reader, frames)
    inside = (rows >= begin) & (rows < end)
    return rows[inside], None if requests is None else requests[inside]


def _per_file(value: Any, path: str) -> Any:
    return value[path] if isinstance(value, Mapping) else value


def _read_frames(job: ReadJob, piece: FileShare) -> Iterator[pa.Table]:
    with job.files.open(piece.path) as source, _video(job, piece, source) as reader:
        if piece.rows is None:
            rows, requests = requested(reader, job.arguments, piece.path)
            if piece.frames is not None:
                rows, requests = _share(reader, rows, requests, piece.frames)
        else:
            rows, requests = piece.rows, piece.requests
        times = reader.times
        # Frames in order of position, so that a batch never seeks back.
        order = np.argsort(rows, kind="stable")
        for begin in range(0, len(order), job.batch_frames):
            take = order[begin:begin + job.batch_frames]
            frames = reader[rows[take]]
            count = len(take)
            columns: dict[str, Any] = {"path": [piece.path] * count,
                                       "position": np.full(count, piece.position)}
            columns["request"] = (np.full(count, -1) if requests is None
                                  else requests[take].astype(np.int64))
            columns["index"] = (rows[take] + piece.offset).astype(np.int64)
            columns["time"] = times[rows[take]]
            columns["frame"] = frames
            yield _with_error(columns, count)
            del frames


# -- audio -----------------------------------------------------------------------------


def _read_audio(job: ReadJob, piece: FileShare) -> Iterator[pa.Table]:
    """The piece's windows, ``batch_frames`` of them to a block.  The
    samples come from one ``chunks`` iteration over the piece's stretch (one
    seek, to its first window, then decoding on), so they are those of one
    read of the whole stream, and the task holds about a block's worth."""
    window, hop = job.arguments["window"], job.arguments["hop"]
    per_block = max(1, job.batch_frames)
    with job.files.open(piece.path) as source, AudioReader(source, **job.options) as reader:
        rate = reader.sample_rate
        length, step = round(window * rate), max(1, round(hop * rate))
        # Window k starts at sample k x step of a whole read's timeline,
        # which begins at the stream's first sample.
        first = reader.first_sample_time
        if first is None:
            return  # no samples: no windows
        begin, last = piece.windows
        # Read on without a stop, until the piece's windows are complete:
        # the plan follows the header's duration, so a planned stop can lie
        # past the stream's real end, where chunks() would refuse the last
        # samples instead of handing them over.
        pieces = reader.chunks(max(per_block * step, length) / rate, first + begin * step / rate)
        cut = _Windows(piece, begin, last, length, step, per_block, first, rate)
        try:
            for samples in pieces:
                yield from cut.add(samples)
                if cut.complete:
                    break
        except IndexError:  # the piece starts past the stream's real end
            pass
        yield from cut.add(None)


class _Windows:
    """Cuts consecutive samples into blocks of window rows: keeps the
    samples not yet used by a window, from window ``begin`` on."""

    def __init__(self, piece: FileShare, begin: int, last: int | None, length: int, step: int,
                 per_block: int, first: float, rate: int) -> None:
        self.piece, self.next, self.last = piece, begin, last
        self.length, self.step, self.per_block, self.first, self.rate = (
            length, step, per_block, first, rate)
        self.held: npt.NDArray[np.float32] | None = None
        self.held_from = begin * step  # timeline index of held[:, 0]

    @property
    def complete(self) -> bool:
        """Whether every window of a bounded piece has been handed on."""
        return self.last is not None and self.next >= self.last

    def add(self, samples: npt.NDArray[np.float32] | None) -> Iterator[pa.Table]:
        """Blocks that the samples complete; with None (the end), the rest."""
        if samples is not None:
            self.held = samples if self.held is None else np.concatenate([self.held, samples], 1)
        if self.held is None:
            return
        while self.last is None or self.next < self.last:
            offset = self.next * self.step - self.held_from
            room = self.held.shape[1] - offset
            fit = 0 if room < self.length else (room - self.length) // self.step + 1
            wanted = self.per_block if self.last is None else min(self.per_block,
                                                                  self.last - self.next)
            count = min(fit, wanted)
            if not count or (count < wanted and samples is not None):
                return  # more samples to come
            yield self._block(offset, count)
            self.next += count
            used = min(self.next * self.step - self.held_from, self.held.shape[1])
            self.held, self.held_from = self.held[:, used:], self.held_from + used

    def _block(self, offset: int, count: int) -> pa.Table:
        assert self.held is not None
        windows = np.arange(self.next, self.next + count)
        picks = offset + (windows - self.next)[:, None] * self.step + np.arange(self.length)
        return _with_error({
            "path": [self.piece.path] * count,
            "position": np.full(count, self.piece.position),
            "window": windows,
            "start": self.first + windows * self.step / self.rate,
            "samples": np.ascontiguousarray(np.moveaxis(self.held[:, picks], 0, 1)),
        }, count)



"""Ray Data datasets of clips, frames and audio windows.

``read_clips`` draws clips from every video with one of the samplers of
``quorvex_av.samplers``, ``read_frames`` reads frames at given indices or
times, or every ``stride``-th frame, and ``read_audio`` cuts audio into
windows of a fixed length.  Each returns a lazy ``ray.data.Dataset`` of rows;
nothing is read until it is consumed.

Read tasks get paths, never readers: every worker opens its own readers
(through the ``filesystem`` when one is given) and closes them before the
task ends.  A long video is split into several read tasks at key frames,
from its frame index (given, kept in a cache directory, or from a scan of
its packets made once while the read is planned), so that the frames of one
file decode on several workers at once and a retried task redoes only its
part.  Every frame is still decoded exactly: a task seeks to the key frame
that each of its frames depends on.  Long audio is split the same way into
tasks of windows, each reading its own stretch with range reads.

Needs Ray Data (``pip install 'quorvex_av[ray]'``); ``import quorvex_av``
never imports it.
"""

from __future__ import annotations

import functools
import inspect
import math
import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from typing import IO, Any, Literal, Union

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import ray.data
from ray.data import Datasource, ReadTask
from ray.data.block import BlockMetadata
from ray.data.extensions.tensor_extension import ArrowTensorArray

from .frame_table import FrameTable
from .loader import (Failure, IndexSource, LoadError, cached_index_path, indexed_reader,
                     indexes_by_position, keep_index)
from .readers import AudioReader, VideoHeader, VideoReader
from .samplers import Clips, _check_arguments

__all__ = ["drop_failures", "file_seed", "read_audio", "read_clips", "read_frames"]

OnError = Literal["raise", "skip"]
#: Paths as the workers open them: local paths or URLs, or paths inside
#: ``filesystem``.
Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
#: Frame indexes given per file: in the order of the paths, or by path.
Indexes = Union[Sequence[Union[IndexSource, None]], Mapping[str, IndexSource]]

# Frames in one block of frame rows: a task holds one such batch of decoded
# frames (and the block it becomes) at a time.
DEFAULT_BATCH_FRAMES = 32
# A video whose header counts more frames than this is scanned while the
# read is planned and split into tasks of about this many frames: a few
# groups of pictures each, so that one file decodes on several workers.
DEFAULT_FRAMES_PER_TASK = 128
# Audio longer than this by its header is read by several tasks, each this
# many seconds of windows (16 kHz mono: 4 MB of samples).
DEFAULT_SECONDS_PER_TASK = 60.0
# Ray gathers what a task yields into blocks of up to the dataset context's
# target_max_block_size (128 MiB by default) before storing them; smaller
# blocks let a task hand frames on as it decodes them and bound what it holds.
BLOCK_BYTES = 16 * 2**20
# Planning opens files on this many threads (opening releases the
# interpreter lock).
_PLAN_THREADS = 8


def file_seed(seed: int | None, epoch: int, position: int) -> np.random.SeedSequence:
    """The seed a random sampler gets for the file at ``position`` in pass
    ``epoch``: the same derivation as ``ClipLoader``'s, so that a dataset of
    ``read_clips(..., seed=s, epoch=e)`` holds the clips of the loader's pass
    ``e`` with ``seed=s``."""
    entropy = np.random.SeedSequence(seed).entropy
    return np.random.SeedSequence(entropy, spawn_key=(1, epoch, position))


def drop_failures(dataset: ray.data.Dataset) -> ray.data.Dataset:
    """The rows of ``dataset`` that hold data: without the rows that
    ``on_error="skip"`` leaves for files that failed."""
    from ray.data.expressions import col

    return dataset.filter(expr=col("error").is_null())


# -- where files come from ----------------------------------------------------------


@dataclass(frozen=True)
class _Files:
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
class _Piece:
    """One file's share of a read task: ``position`` in the list of paths,
    and what of the file to read.

    Video: the frame ``rows`` to read, either rows of ``table`` (a slice of
    the file's frame index that starts at frame ``offset``, at a key frame)
    or, without a table, frame indices of a reader in approximate mode; or,
    when the read was not planned, nothing (the worker works out the rows
    itself, with the file's given ``index`` if there is one).  Audio: the
    windows [first, last) to read (last None: to the end of the stream)."""

    position: int
    path: str
    table: FrameTable | None = None
    offset: int = 0
    rows: npt.NDArray[np.intp] | None = None
    requests: npt.NDArray[np.intp] | None = None  # position of each row's frame in the request
    index: IndexSource | None = None
    windows: tuple[int, int | None] = (0, None)

    @property
    def known_rows(self) -> int | None:
        return None if self.rows is None else len(self.rows)


@dataclass(frozen=True)
class _Job:
    """What every task of a read needs besides its pieces."""

    kind: Literal["clips", "frames", "audio"]
    files: _Files
    on_error: OnError
    options: Mapping[str, Any]       # reader options
    arguments: Mapping[str, Any]     # sampler arguments, frame request or window
    sampler: Callable[..., Clips] | None = None
    batch_frames: int = DEFAULT_BATCH_FRAMES
    seed: int = 0                    # random samplers: with the epoch, every file's seed
    epoch: int = 0
    index_cache: str | None = None   # directory of frame indexes kept by file
    indexes: Mapping[int, IndexSource] = field(default_factory=dict)  # given, by position

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
_FRAME_TYPES = {"uint16": np.uint16, "float32": np.float32}


def _failure_row(job: _Job, piece: _Piece, error: Exception) -> pa.Table:
    """The row that stands for a failed file: its path and the error, with
    empty data (zero-size arrays of the right type, -1 and NaN)."""
    columns: dict[str, Any] = {"path": [piece.path], "position": np.array([piece.position])}
    for name, (dimensions, kind) in _COLUMNS[job.kind].items():
        kind = kind or _FRAME_TYPES.get(job.options.get("dtype", "uint8"), np.uint8)
        if dimensions:
            columns[name] = np.zeros((1,) + (0,) * dimensions, dtype=kind)
        else:
            columns[name] = np.array([-1 if kind == np.int64 else math.nan], dtype=kind)
    columns["error"] = [f"{type(error).__name__}: {error}"]
    return _table(columns)


def _run_task(job: _Job, pieces: Sequence[_Piece]) -> Iterator[pa.Table]:
    """The read function of one task: every piece in turn."""
    read = {"clips": _read_clips, "frames": _read_frames, "audio": _read_audio}[job.kind]
    for piece in pieces:
        try:
            yield from read(job, piece)
        except Exception as error:
            if job.on_error == "raise":
                raise LoadError(Failure(piece.position, piece.path, error)) from error
            yield _failure_row(job, piece, error)


def _with_error(columns: dict[str, Any], rows: int) -> pa.Table:
    columns["error"] = pa.nulls(rows, type=pa.string())
    return _table(columns)


# -- clips ------------------------------------------------------------------------------


def _read_clips(job: _Job, piece: _Piece) -> Iterator[pa.Table]:
    assert job.sampler is not None
    arguments = dict(job.arguments)
    if "seed" in inspect.signature(job.sampler).parameters:
        arguments["seed"] = np.random.default_rng(file_seed(job.seed, job.epoch, piece.position))
    with job.files.open(piece.path) as source, _video(job, piece, source) as reader:
        clips = job.sampler(reader, **arguments)
    # Handed on in blocks of whole clips of about BLOCK_BYTES each: one
    # table of all of a file's clips would be copied whole into Arrow
    # (twice the clips' bytes at once) before Ray cut it into blocks.
    count = len(clips)
    per_block = max(1, BLOCK_BYTES // max(1, clips.frames[:1].nbytes))
    for begin in range(0, count, per_block):
        part = slice(begin, min(count, begin + per_block))
        rows = part.stop - begin
        yield _with_error({
            "path": [piece.path] * rows,
            "position": np.full(rows, piece.position),
            "clip": np.arange(begin, part.stop),
            "frames": clips.frames[part],
            "indices": clips.indices[part].astype(np.int64),
            "times": clips.times[part],
        }, rows)


# -- frames ------------------------------------------------------------------------------


@contextmanager
def _video(job: _Job, piece: _Piece, source: str | IO[bytes]) -> Iterator[VideoReader]:
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


def _requested(reader: VideoReader, request: Mapping[str, Any],
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


def _per_file(value: Any, path: str) -> Any:
    return value[path] if isinstance(value, Mapping) else value


def _read_frames(job: _Job, piece: _Piece) -> Iterator[pa.Table]:
    with job.files.open(piece.path) as source, _video(job, piece, source) as reader:
        if piece.rows is None:
            rows, requests = _requested(reader, job.arguments, piece.path)
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


def _read_audio(job: _Job, piece: _Piece) -> Iterator[pa.Table]:
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

    def __init__(self, piece: _Piece, begin: int, last: int | None, length: int, step: int,
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


# -- planning -----------------------------------------------------------------------------


def _paths(paths: Paths) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.fspath(path) for path in paths]


def _header_frames(header: VideoHeader) -> float | None:
    """How many frames the header says the video has (None if it does not)."""
    if header.num_frames is not None:
        return float(header.num_frames)
    duration = header.duration or header.container_duration
    if duration is not None and header.fps is not None and math.isfinite(header.fps):
        return duration * header.fps
    return None


def _segments(table: FrameTable, frames_per_task: int) -> list[tuple[int, int]]:
    """[begin, end) frame ranges that cover the table, each beginning at a
    key frame and, where the key frames allow, at most ``frames_per_task``
    frames long."""
    count = len(table.pts)
    # Frames that decode from themselves and do not share the timestamp of
    # the frame before (a slice counts occurrences from its first frame).
    starts = np.flatnonzero(table.pts == table.seek)
    starts = starts[starts > 0]
    starts = starts[table.pts[starts] != table.pts[starts - 1]]
    bounds, begin = [], 0
    while begin < count:
        limit = begin + frames_per_task
        later = starts[(starts > begin) & (starts <= limit)]
        end = int(later[-1]) if later.size and limit < count else count
        if end == count and limit < count:  # no key frame in reach: run to the next one
            after = starts[starts > begin]
            end = int(after[0]) if after.size else count
        bounds.append((begin, end))
        begin = end
    return bounds


def _slice(table: FrameTable, begin: int, end: int) -> FrameTable:
    """Frames [begin, end) of the table as a table of their own, with the
    stream's identity.  Begun at a frame that decodes from itself (see
    ``_segments``), every frame keeps its seek point and occurrence."""
    part = slice(begin, end)
    return FrameTable(table.pts[part].copy(), table.packet_durations[part].copy(),
                      table.key[part].copy(), table.stream_index, table.codec, table.time_base,
                      table.header_frames, table.source_size)


def _plan_video(job: _Job, position: int, path: str, frames_per_task: int | None) -> list[_Piece]:
    """The pieces of one file: one for the whole file unless it is long by
    its header or has an index, in which case it is split at key frames (by
    its given or cached index, else a scan made here); in approximate mode,
    into runs of frames by the header alone."""
    given = job.indexes.get(position)
    whole = [_Piece(position, path, index=given)]
    if frames_per_task is None:
        return whole
    cached = None if given is not None else job.cached_index(path)
    try:
        with job.files.open(path) as source:
            reader, indexed = indexed_reader(source, given, cached, job.options)
            with reader:
                if reader.seek_mode == "approximate":
                    rows, requests = _requested(reader, job.arguments, path)
                    return _runs(position, path, rows, requests, len(reader), frames_per_task)
                estimate = None if indexed else _header_frames(reader.header)
                if estimate is not None and estimate <= frames_per_task:
                    return whole
                table = reader.frame_index  # a scan unless indexed
                if cached is not None and not indexed:
                    keep_index(table, cached)
                rows, requests = _requested(reader, job.arguments, path)
    except Exception:  # the worker meets the error again and reports it
        return whole
    pieces = []
    for begin, end in _segments(table, frames_per_task):
        inside = np.flatnonzero((rows >= begin) & (rows < end))
        if inside.size:
            pieces.append(_Piece(position, path, _slice(table, begin, end), begin,
                                 rows[inside] - begin,
                                 None if requests is None else requests[inside]))
    return pieces


def _runs(position: int, path: str, rows: npt.NDArray[np.intp],
          requests: npt.NDArray[np.intp] | None, count: int, frames_per_task: int) -> list[_Piece]:
    """Pieces of at most ``frames_per_task`` consecutive frames: a reader in
    approximate mode finds every frame by itself, so any frame may begin a
    task."""
    pieces = []
    for begin in range(0, count, frames_per_task):
        inside = np.flatnonzero((rows >= begin) & (rows < begin + frames_per_task))
        if inside.size:
            pieces.append(_Piece(position, path, rows=rows[inside],
                                 requests=None if requests is None else requests[inside]))
    return pieces


def _plan_audio(job: _Job, position: int, path: str, seconds_per_task: float | None) -> list[_Piece]:
    """The pieces of one audio file: runs of windows of about
    ``seconds_per_task`` each by the header's duration, the last one to the
    end of the stream, however long it turns out to be."""
    whole = [_Piece(position, path)]
    if seconds_per_task is None:
        return whole
    try:
        with job.files.open(path) as source, AudioReader(source, **job.options) as reader:
            duration, rate = reader.metadata.duration, reader.sample_rate
    except Exception:  # the worker meets the error again and reports it
        return whole
    if duration is None or not duration > seconds_per_task:
        return whole
    step = max(1, round(job.arguments["hop"] * rate))
    per_task = max(1, int(seconds_per_task * rate) // step)
    starts = range(0, math.ceil(duration * rate / step), per_task)
    return [_Piece(position, path, windows=(begin, begin + per_task if begin != starts[-1] else None))
            for begin in starts]


def _group(pieces: list[_Piece], tasks: int) -> list[list[_Piece]]:
    """At most ``tasks`` runs of consecutive pieces, of nearly equal length."""
    tasks = max(1, min(tasks, len(pieces)))
    edges = np.linspace(0, len(pieces), tasks + 1).round().astype(int)
    return [pieces[a:b] for a, b in zip(edges[:-1], edges[1:]) if b > a]


class _Source(Datasource):  # type: ignore[misc]
    """The datasource behind every dataset of this module: a list of paths,
    planned into pieces (once) and grouped into read tasks."""

    def __init__(self, job: _Job, paths: list[str], per_task: float | None) -> None:
        super().__init__()
        self._job = job
        self._paths = paths
        self._per_task = per_task  # frames (video) or seconds (audio) per task
        self._pieces: list[_Piece] | None = None

    def get_name(self) -> str:
        return f"quorvex_av.{self._job.kind}"

    def estimate_inmemory_data_size(self) -> int | None:
        return None

    def _plan(self) -> list[_Piece]:
        if self._pieces is None:
            planner = {"frames": _plan_video, "audio": _plan_audio}.get(self._job.kind)
            if planner is None or self._per_task is None:
                self._pieces = [_Piece(i, path, index=self._job.indexes.get(i))
                                for i, path in enumerate(self._paths)]
            else:
                plan = functools.partial(planner, self._job)
                with ThreadPoolExecutor(min(_PLAN_THREADS, max(1, len(self._paths)))) as pool:
                    planned = pool.map(plan, range(len(self._paths)), self._paths,
                                       [self._per_task] * len(self._paths))
                    self._pieces = [piece for pieces in planned for piece in pieces]
        return self._pieces

    def get_read_tasks(self, parallelism: int, per_task_row_limit: int | None = None,
                       data_context: Any = None) -> list[ReadTask]:
        tasks = []
        # Every piece carries its own file's index: the tasks need not
        # carry everyone's.
        job = replace(self._job, indexes={})
        for pieces in _group(self._plan(), parallelism):
            known = [piece.known_rows for piece in pieces]
            rows = None if None in known else sum(k for k in known if k is not None)
            metadata = BlockMetadata(num_rows=rows, size_bytes=None, exec_stats=None,
                                     input_files=tuple(piece.path for piece in pieces))
            read = functools.partial(_run_task, job, pieces)
            tasks.append(ReadTask(read, metadata, per_task_row_limit=per_task_row_limit))
        return tasks


# -- the public functions ------------------------------------------------------------------


def _checked(on_error: str, reader_options: Mapping[str, Any] | None,
             reader: type[VideoReader] | type[AudioReader]) -> dict[str, Any]:
    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    options = dict(reader_options or {})
    inspect.signature(reader).bind(None, **options)  # wrong names fail here, not per file
    return options


def _positive(name: str, value: int | None) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
        raise ValueError(f"{name} must be a positive integer, not {value!r}")


def _indexed_job(job: _Job, paths: list[str], frame_indexes: Indexes | None,
                 index_cache: str | os.PathLike[str] | None) -> _Job:
    """The job with the frame indexes given for the paths, by position, and
    the cache directory (made now)."""
    if "frame_index" in job.options:
        raise ValueError("give frame indexes file by file with frame_indexes=, "
                         "not in reader_options")
    cache = None if index_cache is None else os.fspath(index_cache)
    if cache is not None:
        os.makedirs(cache, exist_ok=True)
    return replace(job, indexes=indexes_by_position(paths, frame_indexes), index_cache=cache)


def _dataset(job: _Job, paths: list[str], per_task: float | None,
             ray_options: Mapping[str, Any] | None) -> ray.data.Dataset:
    source = _Source(job, paths, per_task)
    dataset = ray.data.read_datasource(source, **dict(ray_options or {}))
    context = dataset.context
    if context.target_max_block_size is None or context.target_max_block_size > BLOCK_BYTES:
        context.target_max_block_size = BLOCK_BYTES
    return dataset


def read_clips(paths: Paths, sampler: Callable[..., Clips], /, *, seed: int | None = None,
               epoch: int = 0, filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None,
               frame_indexes: Indexes | None = None,
               index_cache: str | os.PathLike[str] | None = None,
               ray_options: Mapping[str, Any] | None = None,
               **sampler_arguments: Any) -> ray.data.Dataset:
    """Clips of every video, drawn by ``sampler`` (a function of
    ``quorvex_av.samplers``) with ``sampler_arguments``.

    One row per clip: ``path``, ``position`` (the file's place in
    ``paths``), ``clip`` (its number in the file), ``frames`` (frames per
    clip, height, width, channels), ``indices`` and ``times`` of its frames,
    and ``error`` (None).  A random sampler gets a seed of its own for each
    file, from ``seed`` and ``epoch`` (see ``file_seed``): the same arguments
    give the same clips on any cluster, and a new ``epoch`` new clips.

    ``frame_indexes`` and ``index_cache`` spare the workers their scans, as
    for ``ClipLoader``: indexes given per file (in the order of ``paths``,
    or by path; tables or paths of saved ones, which the workers must see),
    or a directory, which every node must see, where the first reader of a
    file keeps its index for every later one.
    """
    options = _checked(on_error, reader_options, VideoReader)
    signature = inspect.signature(sampler)
    signature.bind(None, **sampler_arguments)
    _check_arguments(sampler, sampler_arguments)
    if isinstance(epoch, bool) or not isinstance(epoch, int) or epoch < 0:
        raise ValueError(f"epoch must be a whole number from 0, not {epoch!r}")
    # Fresh entropy is drawn here, once, so that retried tasks agree.
    if seed is None:
        seed = int(np.random.SeedSequence().generate_state(1, np.uint64)[0])
    job = _Job("clips", _Files(filesystem), on_error, options, sampler_arguments, sampler,
               seed=seed, epoch=epoch)
    files = _paths(paths)
    return _dataset(_indexed_job(job, files, frame_indexes, index_cache), files, None, ray_options)


def read_frames(paths: Paths, *, indices: Any = None, times: Any = None, stride: int | None = None,
                filesystem: Any = None, on_error: OnError = "raise",
                reader_options: Mapping[str, Any] | None = None,
                batch_frames: int = DEFAULT_BATCH_FRAMES,
                frames_per_task: int | None = DEFAULT_FRAMES_PER_TASK,
                frame_indexes: Indexes | None = None,
                index_cache: str | os.PathLike[str] | None = None,
                ray_options: Mapping[str, Any] | None = None) -> ray.data.Dataset:
    """Frames of every video: those at ``indices`` (frame indices in
    presentation order, negative ones from the end), or those shown at
    ``times`` (seconds, as ``VideoReader.at``), or every ``stride``-th frame
    from the first (the default: every frame).  ``indices`` and ``times``
    are one sequence for every file or a mapping from path to sequence.

    One row per frame: ``path``, ``position``, ``request`` (the frame's
    place in ``indices`` or ``times``, -1 for a stream), ``index``, ``time``
    (the frame's own start), ``frame`` (height, width, channels) and
    ``error`` (None).  A video with more than ``frames_per_task`` frames by
    its header is read by several tasks of about that many frames, split at
    key frames by its frame index: the one given in ``frame_indexes`` (as
    for ``read_clips``), else the one kept in ``index_cache``, else one scan
    made while the read is planned (and kept in ``index_cache``).  With
    ``seek_mode="approximate"`` in ``reader_options`` nothing is scanned:
    the header's frame count is split into runs of ``frames_per_task``.
    ``frames_per_task=None``: one task per file, no planning reads.  Each
    task decodes ``batch_frames`` frames at a time, in order of position,
    into one block.
    """
    options = _checked(on_error, reader_options, VideoReader)
    given = [name for name, value in (("indices", indices), ("times", times), ("stride", stride))
             if value is not None]
    if len(given) > 1:
        raise ValueError(f"give one of indices, times and stride, not {' and '.join(given)}")
    _positive("stride", stride)
    _positive("batch_frames", batch_frames)
    _positive("frames_per_task", frames_per_task)
    request = {"indices": indices, "times": times,
               "stride": stride if stride is not None or given else 1}
    job = _Job("frames", _Files(filesystem), on_error, options, request, batch_frames=batch_frames)
    files = _paths(paths)
    return _dataset(_indexed_job(job, files, frame_indexes, index_cache), files, frames_per_task,
                    ray_options)


def read_audio(paths: Paths, *, window: float, hop: float | None = None,
               sample_rate: int | None = None, channels: int | None = None,
               filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None, windows_per_block: int = 64,
               seconds_per_task: float | None = DEFAULT_SECONDS_PER_TASK,
               ray_options: Mapping[str, Any] | None = None) -> ray.data.Dataset:
    """Audio of every file in windows of ``window`` seconds, one starting
    every ``hop`` seconds (default: ``window``, no overlap) from the first
    sample on, resampled to ``sample_rate`` and mixed to ``channels``
    (defaults: the stream's own); a last window that would run past the end
    is left out.

    One row per window: ``path``, ``position``, ``window`` (its number),
    ``start`` (seconds), ``samples`` (channels, samples; float32) and
    ``error`` (None).  A file longer than ``seconds_per_task`` by its
    header is read by several tasks of windows covering about that many
    seconds each (None: one task per file, no planning reads).  A task reads
    ``windows_per_block`` windows at a time, each block one range read of
    the samples its windows span, so it holds one block's samples at a time;
    the windows are those that one read of the whole stream gives.
    """
    for name, value in (("window", window), ("hop", window if hop is None else hop)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    _positive("windows_per_block", windows_per_block)
    if seconds_per_task is not None and not (isinstance(seconds_per_task, (int, float))
                                             and math.isfinite(seconds_per_task)
                                             and seconds_per_task > 0):
        raise ValueError("seconds_per_task must be a positive number of seconds, "
                         f"not {seconds_per_task!r}")
    options = _checked(on_error, reader_options, AudioReader)
    options.update({key: value for key, value in (("sample_rate", sample_rate),
                                                  ("channels", channels)) if value is not None})
    arguments = {"window": float(window), "hop": float(window if hop is None else hop)}
    job = _Job("audio", _Files(filesystem), on_error, options, arguments,
               batch_frames=windows_per_block)
    return _dataset(job, _paths(paths), seconds_per_task, ray_options)


"""Ray Data datasets of clips, frames and audio windows.

``read_clips`` draws clips from every video with one of the samplers of
``quorvex_av.samplers``, ``read_frames`` reads frames at given indices or
times, or every ``stride``-th frame, and ``read_audio`` cuts audio into
windows of a fixed length.  Each returns a lazy ``ray.data.Dataset`` of rows;
nothing is read until it is consumed.

Read tasks get paths, never readers: every worker opens its own readers
(through the ``filesystem`` when one is given) and closes them before the
task ends.  A long video is split into several read tasks at key frames,
from a scan of its packets made once while the read is planned, so that the
frames of one file decode on several workers at once and a retried task
redoes only its part.  Every frame is still decoded exactly: a task seeks to
the key frame that each of its frames depends on.

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
from dataclasses import dataclass, replace
from typing import IO, Any, Literal, Union

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import ray.data
from ray.data import Datasource, ReadTask
from ray.data.block import BlockMetadata
from ray.data.extensions.tensor_extension import ArrowTensorArray

from ._av import Decoder
from .loader import Failure, LoadError
from .readers import AudioReader, VideoReader, _FrameTable
from .samplers import Clips, _check_arguments

__all__ = ["drop_failures", "file_seed", "read_audio", "read_clips", "read_frames"]

OnError = Literal["raise", "skip"]
#: Paths as the workers open them: local paths or URLs, or paths inside
#: ``filesystem``.
Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

# Frames in one block of frame rows: a task holds one such batch of decoded
# frames (and the block it becomes) at a time.
DEFAULT_BATCH_FRAMES = 32
# A video whose header counts more frames than this is scanned while the
# read is planned and split into tasks of about this many frames: a few
# groups of pictures each, so that one file decodes on several workers.
DEFAULT_FRAMES_PER_TASK = 128
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
    and for video either the frame rows to read (``table`` rows ``rows``,
    which start at frame ``offset`` of the file) or, when the file was not
    scanned while planning, nothing (the worker scans it and works out the
    rows itself)."""

    position: int
    path: str
    table: _FrameTable | None = None
    offset: int = 0
    rows: npt.NDArray[np.intp] | None = None
    requests: npt.NDArray[np.intp] | None = None  # position of each row's frame in the request

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
    with job.files.open(piece.path) as source, VideoReader(source, **job.options) as reader:
        clips = job.sampler(reader, **arguments)
    count = len(clips)
    yield _with_error({
        "path": [piece.path] * count,
        "position": np.full(count, piece.position),
        "clip": np.arange(count),
        "frames": clips.frames,
        "indices": clips.indices.astype(np.int64),
        "times": clips.times,
    }, count)


# -- frames ------------------------------------------------------------------------------


def _requested(table: _FrameTable, request: Mapping[str, Any], reader: VideoReader | None,
               path: str) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp] | None]:
    """The frame indices a request names in a file with this frame table, in
    the request's order, and the request position of each (None for a
    stream)."""
    count = len(table.pts)
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
        if reader is None:  # planning: the table alone answers
            indices = (np.searchsorted(table.times, seconds, side="right") - 1).astype(np.intp)
            if ((indices < 0) | (seconds >= table.end) | ~np.isfinite(seconds)).any():
                raise IndexError("a requested time is outside the video: valid times are "
                                 f"[{table.times[0]:.6g}, {table.end:.6g}) s")
        else:
            indices = reader.index_at(seconds).astype(np.intp)
    return indices, np.arange(len(indices), dtype=np.intp)


def _per_file(value: Any, path: str) -> Any:
    return value[path] if isinstance(value, Mapping) else value


def _read_frames(job: _Job, piece: _Piece) -> Iterator[pa.Table]:
    with job.files.open(piece.path) as source, VideoReader(source, **job.options) as reader:
        if piece.table is None:
            rows, requests = _requested(reader._frames(), job.arguments, reader, piece.path)
        else:
            # The scan made while planning stands in for the reader's own.
            reader._table = piece.table
            assert piece.rows is not None
            rows, requests = piece.rows, piece.requests
        times = reader._frames().times
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
    window, hop = job.arguments["window"], job.arguments["hop"]
    with job.files.open(piece.path) as source, AudioReader(source, **job.options) as reader:
        rate = reader.sample_rate
        # The decoder places samples by their timestamps, as read() does,
        # and tells where the first one is.
        samples, first = reader._decoder.decode_audio(
            rate, reader.channels, None, honour_timestamps=True,
            skip_invalid=reader._skip_invalid)
    length, step = round(window * rate), max(1, round(hop * rate))
    count = 0 if samples.shape[1] < length else (samples.shape[1] - length) // step + 1
    per_block = max(1, job.batch_frames)
    for begin in range(0, count, per_block):
        windows = np.arange(begin, min(count, begin + per_block))
        picks = windows[:, None] * step + np.arange(length)
        block = np.ascontiguousarray(np.moveaxis(samples[:, picks], 0, 1))
        yield _with_error({
            "path": [piece.path] * len(windows),
            "position": np.full(len(windows), piece.position),
            "window": windows,
            "start": first + windows * step / rate,
            "samples": block,
        }, len(windows))


# -- planning -----------------------------------------------------------------------------


def _paths(paths: Paths) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.fspath(path) for path in paths]


def _header_frames(source: str | IO[bytes], stream_index: int | None) -> float | None:
    """How many frames the header says the video has (None if it does not)."""
    decoder = Decoder(source, "video", stream_index)
    try:
        header = decoder.metadata(apply_rotation=False)
    finally:
        decoder.close()
    count = header.get("num_frames_from_header")
    if isinstance(count, int):
        return float(count)
    duration = header.get("duration_seconds_from_header") or header.get("container_duration")
    fps = header.get("average_fps_from_header")
    if isinstance(duration, float) and isinstance(fps, float) and math.isfinite(fps):
        return duration * fps
    return None


def _segments(table: _FrameTable, frames_per_task: int) -> list[tuple[int, int]]:
    """[begin, end) frame ranges that cover the table, each beginning at a
    key frame and, where the key frames allow, at most ``frames_per_task``
    frames long."""
    count = len(table.pts)
    starts = np.flatnonzero(table.pts == table.seek)  # frames that decode from themselves
    starts = starts[starts > 0]
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


def _slice(table: _FrameTable, begin: int, end: int) -> _FrameTable:
    part = slice(begin, end)
    occurrence = None if table.occurrence is None else table.occurrence[part].copy()
    return replace(table, pts=table.pts[part].copy(), seek=table.seek[part].copy(),
                   times=table.times[part].copy(), durations=table.durations[part].copy(),
                   occurrence=occurrence)


def _plan_video(job: _Job, position: int, path: str, frames_per_task: int | None) -> list[_Piece]:
    """The pieces of one file: one for the whole file unless its header says
    it is long, in which case it is scanned here and split at key frames."""
    whole = [_Piece(position, path)]
    if frames_per_task is None:
        return whole
    try:
        with job.files.open(path) as source:
            estimate = _header_frames(source, job.options.get("stream_index"))
        if estimate is not None and estimate <= frames_per_task:
            return whole
        with job.files.open(path) as source, VideoReader(source, **job.options) as reader:
            table = reader._frames()
        rows, requests = _requested(table, job.arguments, None, path)
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


def _group(pieces: list[_Piece], tasks: int) -> list[list[_Piece]]:
    """At most ``tasks`` runs of consecutive pieces, of nearly equal length."""
    tasks = max(1, min(tasks, len(pieces)))
    edges = np.linspace(0, len(pieces), tasks + 1).round().astype(int)
    return [pieces[a:b] for a, b in zip(edges[:-1], edges[1:]) if b > a]


class _Source(Datasource):  # type: ignore[misc]
    """The datasource behind every dataset of this module: a list of paths,
    planned into pieces (once) and grouped into read tasks."""

    def __init__(self, job: _Job, paths: list[str], frames_per_task: int | None) -> None:
        super().__init__()
        self._job = job
        self._paths = paths
        self._frames_per_task = frames_per_task
        self._pieces: list[_Piece] | None = None

    def get_name(self) -> str:
        return f"quorvex_av.{self._job.kind}"

    def estimate_inmemory_data_size(self) -> int | None:
        return None

    def _plan(self) -> list[_Piece]:
        if self._pieces is None:
            if self._job.kind != "frames" or self._frames_per_task is None:
                self._pieces = [_Piece(i, path) for i, path in enumerate(self._paths)]
            else:
                plan = functools.partial(_plan_video, self._job,
                                         frames_per_task=self._frames_per_task)
                with ThreadPoolExecutor(min(_PLAN_THREADS, max(1, len(self._paths)))) as pool:
                    planned = pool.map(plan, range(len(self._paths)), self._paths)
                    self._pieces = [piece for pieces in planned for piece in pieces]
        return self._pieces

    def get_read_tasks(self, parallelism: int, per_task_row_limit: int | None = None,
                       data_context: Any = None) -> list[ReadTask]:
        tasks = []
        for pieces in _group(self._plan(), parallelism):
            known = [piece.known_rows for piece in pieces]
            rows = None if None in known else sum(k for k in known if k is not None)
            metadata = BlockMetadata(num_rows=rows, size_bytes=None, exec_stats=None,
                                     input_files=tuple(piece.path for piece in pieces))
            read = functools.partial(_run_task, self._job, pieces)
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


def _dataset(job: _Job, paths: Paths, frames_per_task: int | None,
             ray_options: Mapping[str, Any] | None) -> ray.data.Dataset:
    source = _Source(job, _paths(paths), frames_per_task)
    dataset = ray.data.read_datasource(source, **dict(ray_options or {}))
    context = dataset.context
    if context.target_max_block_size is None or context.target_max_block_size > BLOCK_BYTES:
        context.target_max_block_size = BLOCK_BYTES
    return dataset


def read_clips(paths: Paths, sampler: Callable[..., Clips], /, *, seed: int | None = None,
               epoch: int = 0, filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None,
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
    return _dataset(job, paths, None, ray_options)


def read_frames(paths: Paths, *, indices: Any = None, times: Any = None, stride: int | None = None,
                filesystem: Any = None, on_error: OnError = "raise",
                reader_options: Mapping[str, Any] | None = None,
                batch_frames: int = DEFAULT_BATCH_FRAMES,
                frames_per_task: int | None = DEFAULT_FRAMES_PER_TASK,
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
    its header is scanned once while the read is planned and read by several
    tasks of about that many frames, split at key frames (None: one task per
    file, no planning reads).  Each task decodes ``batch_frames`` frames at a
    time, in order of position, into one block.
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
    return _dataset(job, paths, frames_per_task, ray_options)


def read_audio(paths: Paths, *, window: float, hop: float | None = None,
               sample_rate: int | None = None, channels: int | None = None,
               filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None, windows_per_block: int = 64,
               ray_options: Mapping[str, Any] | None = None) -> ray.data.Dataset:
    """Audio of every file in windows of ``window`` seconds, one starting
    every ``hop`` seconds (default: ``window``, no overlap) from the first
    sample on, resampled to ``sample_rate`` and mixed to ``channels``
    (defaults: the stream's own); a last window that would run past the end
    is left out.

    One row per window: ``path``, ``position``, ``window`` (its number),
    ``start`` (seconds), ``samples`` (channels, samples; float32) and
    ``error`` (None).  A file is decoded whole by one task, which holds its
    samples at the output rate while it cuts them into blocks of
    ``windows_per_block`` windows.
    """
    for name, value in (("window", window), ("hop", window if hop is None else hop)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    _positive("windows_per_block", windows_per_block)
    options = _checked(on_error, reader_options, AudioReader)
    options.update({key: value for key, value in (("sample_rate", sample_rate),
                                                  ("channels", channels)) if value is not None})
    arguments = {"window": float(window), "hop": float(window if hop is None else hop)}
    job = _Job("audio", _Files(filesystem), on_error, options, arguments,
               batch_frames=windows_per_block)
    return _dataset(job, paths, None, ray_options)


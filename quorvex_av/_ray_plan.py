"""Planning of the Ray sources' reads: every file cut into shares at key
frames (by a frame index given or kept in the cache) or by its header, the
shares grouped into read tasks, and the datasource that hands them to Ray.
Planning reads no more of a file than its header (and a saved index)."""

from __future__ import annotations

import functools
import math
from concurrent.futures import ThreadPoolExecutor
from dataclasses import replace
from typing import Any

import numpy as np
import numpy.typing as npt
from ray.data import Datasource, ReadTask
from ray.data.block import BlockMetadata

from ._locate import decode_starts, header_frame_count
from ._ray_files import FileList
from ._ray_spans import clip_spans
from ._ray_tasks import FileShare, ReadJob, requested, run_task
from .audio import AudioReader
from .frame_table import FrameTable
from .loader import indexed_reader
from .video import VideoReader

# Planning opens files on this many threads (opening releases the
# interpreter lock).
_PLAN_THREADS = 8




def segments(table: FrameTable, frames_per_task: int) -> list[tuple[int, int]]:
    """[begin, end) frame ranges that cover the table, each beginning at a
    key frame and, where the key frames allow, at most ``frames_per_task``
    frames long."""
    count = len(table.pts)
    # A slice counts occurrences from its first frame: it starts where a
    # decoder may start on its own.
    starts = decode_starts(table)
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


def table_slice(table: FrameTable, begin: int, end: int) -> FrameTable:
    """Frames [begin, end) of the table as a table of their own, with the
    stream's identity.  Begun at a frame that decodes from itself (see
    ``segments``), every frame keeps its seek point and occurrence."""
    part = slice(begin, end)
    return FrameTable(table.pts[part].copy(), table.packet_durations[part].copy(),
                      table.key[part].copy(), table.stream_index, table.codec, table.time_base,
                      table.header_frames, table.source_size)


def plan_video(job: ReadJob, position: int, path: str, frames_per_task: int | None) -> list[FileShare]:
    """The pieces of one file: one for the whole file unless it is long by
    its header or has an index, in which case it is split at key frames by
    its given or cached index; without one, into shares of about
    ``frames_per_task`` nominal frames that the tasks cut at key frames of
    their own scans (``share_bounds``); in approximate mode, into runs of
    frames by the header alone."""
    given = job.indexes.get(position)
    undivided = [FileShare(position, path, index=given)]
    if frames_per_task is None:
        return undivided
    cached = None if given is not None else job.cached_index(path)
    try:
        with job.files.open(path) as source:
            reader, indexed = indexed_reader(source, given, cached, job.options)
            with reader:
                if reader.seek_mode == "approximate":
                    rows, requests = requested(reader, job.arguments, path)
                    return _runs(position, path, rows, requests, len(reader), frames_per_task)
                header = reader.header
                estimate = None if indexed else header_frame_count(
                    header.num_frames, header.fps, header.duration, header.start,
                    header.container_duration)
                if estimate is not None and estimate <= frames_per_task:
                    return undivided
                if not indexed:  # no scan here: the tasks scan
                    if estimate is None:
                        return undivided
                    bounds = list(range(0, estimate, frames_per_task))
                    return [FileShare(position, path, frames=(begin, None if begin == bounds[-1]
                                                              else begin + frames_per_task))
                            for begin in bounds]
                table = reader.frame_index
                rows, requests = requested(reader, job.arguments, path)
    except Exception:  # the worker meets the error again and reports it
        return undivided
    pieces = []
    for begin, end in segments(table, frames_per_task):
        inside = np.flatnonzero((rows >= begin) & (rows < end))
        if inside.size:
            pieces.append(FileShare(position, path, table_slice(table, begin, end), begin,
                                    rows[inside] - begin,
                                    None if requests is None else requests[inside]))
    return pieces


def _runs(position: int, path: str, rows: npt.NDArray[np.intp],
          requests: npt.NDArray[np.intp] | None, count: int, frames_per_task: int) -> list[FileShare]:
    """Pieces of at most ``frames_per_task`` consecutive frames: a reader in
    approximate mode finds every frame by itself, so any frame may begin a
    task."""
    pieces = []
    for begin in range(0, count, frames_per_task):
        inside = np.flatnonzero((rows >= begin) & (rows < begin + frames_per_task))
        if inside.size:
            pieces.append(FileShare(position, path, rows=rows[inside],
                                    requests=None if requests is None else requests[inside]))
    return pieces


def plan_clips(job: ReadJob, position: int, path: str, seconds_per_task: float | None) -> list[FileShare]:
    """The pieces of one video for clips: one per span of its timeline
    (``clip_spans``), by its header."""
    undivided = [FileShare(position, path, index=job.indexes.get(position))]
    if seconds_per_task is None:
        return undivided
    assert job.sampler is not None
    try:
        with job.files.open(path) as source, VideoReader(
                source, **{**job.options, "seek_mode": "approximate"}) as reader:
            header = reader.header
            start, duration = header.start or 0.0, header.duration or header.container_duration
    except Exception:  # the worker meets the error again and reports it
        return undivided
    return [replace(undivided[0], span=span)
            for span in clip_spans(job.sampler, job.arguments, start, duration, seconds_per_task)]


def plan_audio(job: ReadJob, position: int, path: str, seconds_per_task: float | None) -> list[FileShare]:
    """The pieces of one audio file: runs of windows of about
    ``seconds_per_task`` each by the header's duration, the last one to the
    end of the stream, however long it turns out to be."""
    undivided = [FileShare(position, path)]
    if seconds_per_task is None:
        return undivided
    try:
        with job.files.open(path) as source, AudioReader(source, **job.options) as reader:
            duration, rate = reader.metadata.duration, reader.sample_rate
    except Exception:  # the worker meets the error again and reports it
        return undivided
    if duration is None or not duration > seconds_per_task:
        return undivided
    step = max(1, round(job.arguments["hop"] * rate))
    per_task = max(1, int(seconds_per_task * rate) // step)
    starts = range(0, math.ceil(duration * rate / step), per_task)
    return [FileShare(position, path, windows=(begin, begin + per_task if begin != starts[-1] else None))
            for begin in starts]


def group(pieces: list[FileShare], tasks: int) -> list[list[FileShare]]:
    """At most ``tasks`` runs of consecutive pieces, of nearly equal length."""
    tasks = max(1, min(tasks, len(pieces)))
    edges = np.linspace(0, len(pieces), tasks + 1).round().astype(int)
    return [pieces[a:b] for a, b in zip(edges[:-1], edges[1:]) if b > a]


class MediaSource(Datasource):  # type: ignore[misc]
    """The datasource behind every dataset of this module: a list of paths,
    planned into pieces (once) and grouped into read tasks."""

    def __init__(self, job: ReadJob, files: FileList, order: list[int],
                 per_task: float | None) -> None:
        super().__init__()
        self._job = job
        self._paths = files.paths
        self._partitions = files.partitions
        self._order = order  # positions in the order they are read
        self._per_task = per_task  # frames (video) or seconds (clips, audio) per task
        self._pieces: list[FileShare] | None = None

    def get_name(self) -> str:
        return f"quorvex_av.{self._job.kind}"

    def estimate_inmemory_data_size(self) -> int | None:
        return None

    def _plan(self) -> list[FileShare]:
        if self._pieces is None:
            planner = {"frames": plan_video, "audio": plan_audio, "clips": plan_clips}[self._job.kind]
            order = self._order
            if self._per_task is None:
                planned: Any = [[FileShare(i, self._paths[i], index=self._job.indexes.get(i))]
                                for i in order]
            else:
                plan = functools.partial(planner, self._job)
                with ThreadPoolExecutor(min(_PLAN_THREADS, max(1, len(order)))) as pool:
                    planned = list(pool.map(plan, order, [self._paths[i] for i in order],
                                            [self._per_task] * len(order)))
            self._pieces = [replace(piece, partition=self._partitions[piece.position])
                            if self._partitions[piece.position] else piece
                            for pieces in planned for piece in pieces]
        return self._pieces

    def get_read_tasks(self, parallelism: int, per_task_row_limit: int | None = None,
                       data_context: Any = None) -> list[ReadTask]:
        tasks = []
        # Every piece carries its own file's index: the tasks need not
        # carry everyone's.
        job = replace(self._job, indexes={})
        for pieces in group(self._plan(), parallelism):
            known = [piece.known_rows for piece in pieces]
            rows = None if None in known else sum(k for k in known if k is not None)
            metadata = BlockMetadata(num_rows=rows, size_bytes=None, exec_stats=None,
                                     input_files=tuple(piece.path for piece in pieces))
            read = functools.partial(run_task, job, pieces)
            tasks.append(ReadTask(read, metadata, per_task_row_limit=per_task_row_limit))
        return tasks



"""Ray Data datasets of clips, frames and audio windows.

``read_clips`` draws clips from every video with one of the samplers of
``quorvex_av.samplers``, ``read_frames`` reads frames at given indices or
times, or every ``stride``-th frame, and ``read_audio`` cuts audio into
windows of a fixed length.  Each returns a lazy ``ray.data.Dataset`` of rows;
nothing is read until it is consumed.

Paths follow Ray's own file readers: files, directories or globs, local or
URLs (opened through a pyarrow or fsspec file system, never by name), with
``file_extensions``, ``include_paths``, ``ignore_missing_paths``,
``partitioning`` and ``shuffle="files"``.  Read tasks get paths, never
readers: every worker opens its own readers and closes them before the task
ends.  Planning reads each file's header only (and saved indexes).  A long
video is split into several read tasks: frames at key frames (by a given or
cached index, else by the header, each task cutting its share at key frames
of its own scan), clips by spans of the timeline, each span drawing its
share of the clips with a seed of its own; so the frames of one file decode
on several workers at once and a retried task redoes only its part.  Long
audio is split the same way into tasks of windows, each reading its own
stretch with range reads.

Needs Ray Data (``pip install 'quorvex_av[ray]'``); ``import quorvex_av``
never imports it.
"""

from __future__ import annotations

import inspect
import math
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import replace
from typing import Any, Union

import numpy as np
import ray.data

from ._checks import check_on_error, positive_integer
from ._ray_files import FileList, Paths, check_shuffle, file_list, shuffled_order
from ._ray_plan import MediaSource
from ._ray_tasks import BLOCK_BYTES as BLOCK_BYTES
from ._ray_tasks import DEFAULT_BATCH_FRAMES as DEFAULT_BATCH_FRAMES
from ._ray_spans import file_seed
from ._ray_tasks import Files, OnError, ReadJob
from .audio import AudioReader
from .loader import IndexSource, indexes_by_position
from .samplers import Clips, check_sampler_arguments
from .video import VideoReader

__all__ = ["drop_failures", "file_seed", "read_audio", "read_clips", "read_clips_locally",
           "read_frames"]

#: Frame indexes given per file: in the order of the paths, or by path.
Indexes = Union[Sequence[Union[IndexSource, None]], Mapping[str, IndexSource]]

# A video whose header counts more frames than this is scanned while the
# read is planned and split into tasks of about this many frames: a few
# groups of pictures each, so that one file decodes on several workers.
DEFAULT_FRAMES_PER_TASK = 128
# Audio longer than this by its header is read by several tasks, each this
# many seconds of windows (16 kHz mono: 4 MB of samples).
DEFAULT_SECONDS_PER_TASK = 60.0
# A video longer than this by its header has its clips drawn by several
# tasks, one per span of this many seconds.
DEFAULT_CLIP_SECONDS_PER_TASK = 60.0


def drop_failures(dataset: ray.data.Dataset) -> ray.data.Dataset:
    """The rows of ``dataset`` that hold data: without the rows that
    ``on_error="skip"`` leaves for files that failed."""
    from ray.data.expressions import col

    return dataset.filter(expr=col("error").is_null())


# -- the public functions ------------------------------------------------------------------


def _checked(on_error: str, reader_options: Mapping[str, Any] | None,
             reader: type[VideoReader] | type[AudioReader]) -> dict[str, Any]:
    check_on_error(on_error)
    options = dict(reader_options or {})
    if reader is VideoReader and "frame_index" in options:
        raise ValueError("give frame indexes file by file with frame_indexes=, "
                         "not in reader_options")
    inspect.signature(reader).bind(None, **options)  # wrong names fail here, not per file
    if reader is VideoReader:
        # Resolved in each task: as many decoders as the CPUs Ray gave it.
        options.setdefault("workers", None)
    return options


def _indexed_job(job: ReadJob, paths: list[str], frame_indexes: Indexes | None,
                 index_cache: str | os.PathLike[str] | None) -> ReadJob:
    """The job with the frame indexes given for the paths, by position, and
    the cache directory (made now)."""
    cache = None if index_cache is None else os.fspath(index_cache)
    if cache is not None:
        os.makedirs(cache, exist_ok=True)
    return replace(job, indexes=indexes_by_position(paths, frame_indexes), index_cache=cache)


def _files(paths: Paths, filesystem: Any, file_extensions: Sequence[str] | None,
           ignore_missing_paths: bool, partitioning: Any, shuffle: Any) -> FileList:
    check_shuffle(shuffle)  # before any listing
    return file_list(paths, filesystem, file_extensions, ignore_missing_paths, partitioning)


def _dataset(job: ReadJob, files: FileList, order: list[int], per_task: float | None,
             ray_options: Mapping[str, Any] | None) -> ray.data.Dataset:
    source = MediaSource(job, files, order, per_task)
    dataset = ray.data.read_datasource(source, **dict(ray_options or {}))
    context = dataset.context
    if context.target_max_block_size is None or context.target_max_block_size > BLOCK_BYTES:
        context.target_max_block_size = BLOCK_BYTES
    return dataset


def _fresh_seed() -> int:
    return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])


def _clips_job(paths: Paths, sampler: Callable[..., Clips], seed: int | None, epoch: int,
               filesystem: Any, on_error: str, reader_options: Mapping[str, Any] | None,
               frame_indexes: Indexes | None, index_cache: str | os.PathLike[str] | None,
               file_extensions: Sequence[str] | None, include_paths: bool,
               ignore_missing_paths: bool, partitioning: Any, shuffle: Any,
               seconds_per_task: float | None,
               sampler_arguments: dict[str, Any]) -> tuple[ReadJob, FileList, list[int]]:
    options = _checked(on_error, reader_options, VideoReader)
    check_sampler_arguments(sampler, sampler_arguments)
    if isinstance(epoch, bool) or not isinstance(epoch, int) or epoch < 0:
        raise ValueError(f"epoch must be a whole number from 0, not {epoch!r}")
    _check_seconds(seconds_per_task)
    # Fresh entropy is drawn here, once, so that retried tasks agree.
    if seed is None:
        seed = _fresh_seed()
    files = _files(paths, filesystem, file_extensions, ignore_missing_paths, partitioning, shuffle)
    job = ReadJob("clips", Files(files.filesystem), on_error, options,  # type: ignore[arg-type]
                  sampler_arguments, sampler, seed=seed, epoch=epoch, include_paths=include_paths)
    order = shuffled_order(len(files.paths), shuffle, seed, epoch)
    return _indexed_job(job, files.paths, frame_indexes, index_cache), files, order


def _check_seconds(seconds_per_task: float | None) -> None:
    if seconds_per_task is not None and not (isinstance(seconds_per_task, (int, float))
                                             and math.isfinite(seconds_per_task)
                                             and seconds_per_task > 0):
        raise ValueError("seconds_per_task must be a positive number of seconds, "
                         f"not {seconds_per_task!r}")


def read_clips(paths: Paths, sampler: Callable[..., Clips], /, *, seed: int | None = None,
               epoch: int = 0, filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None,
               frame_indexes: Indexes | None = None,
               index_cache: str | os.PathLike[str] | None = None,
               seconds_per_task: float | None = DEFAULT_CLIP_SECONDS_PER_TASK,
               file_extensions: Sequence[str] | None = None, include_paths: bool = True,
               ignore_missing_paths: bool = False, partitioning: Any = None,
               shuffle: Any = None, ray_options: Mapping[str, Any] | None = None,
               **sampler_arguments: Any) -> ray.data.Dataset:
    """Clips of every video, drawn by ``sampler`` (a function of
    ``quorvex_av.samplers``) with ``sampler_arguments``.

    One row per clip: ``path``, ``position`` (the file's place in
    ``paths``), ``clip`` (its number in the file), ``frames`` (frames per
    clip, height, width, channels), ``indices`` and ``times`` of its frames,
    and ``error`` (None); with ``audio=`` among the sampler's arguments
    (see ``samplers.ClipAudio``), ``audio`` (channels, samples) too, the
    sound of the clip (a worker reading through ``filesystem`` opens the
    file a second time for it).

    A video longer than ``seconds_per_task`` by its header (None: never)
    has its clips drawn by one task per span of that many seconds of its
    timeline, the last span running to the end, for the samplers of
    ``quorvex_av.samplers`` not given ``start`` or ``stop``: each span draws
    its share of ``num_clips`` (by length; ``clips_at_regular_times``: the
    starts that fall in it, spans a whole number of periods) from clips
    that lie wholly inside it, and ``clip`` numbers run on across spans.
    A random sampler gets a seed of its own for each span of each file,
    from ``seed``, ``epoch``, the file's position and the span's number
    (see ``file_seed``), never from the tasks: the same arguments give the
    same clips on any cluster with any number of tasks, and a new
    ``epoch`` new clips.  ``read_clips_locally`` gives the same rows in one
    process.

    ``frame_indexes`` and ``index_cache`` spare the workers their scans, as
    for ``ClipLoader``: indexes given per file (in the order of ``paths``,
    or by path; tables or paths of saved ones, which the workers must see),
    or a directory, which every node must see, where the first reader of a
    file keeps its index for every later one.
    """
    job, files, order = _clips_job(paths, sampler, seed, epoch, filesystem, on_error,
                                   reader_options, frame_indexes, index_cache, file_extensions,
                                   include_paths, ignore_missing_paths, partitioning, shuffle,
                                   seconds_per_task, sampler_arguments)
    return _dataset(job, files, order, seconds_per_task, ray_options)


def read_clips_locally(paths: Paths, sampler: Callable[..., Clips], /, *, seed: int | None = None,
                       epoch: int = 0, filesystem: Any = None, on_error: OnError = "raise",
                       reader_options: Mapping[str, Any] | None = None,
                       frame_indexes: Indexes | None = None,
                       index_cache: str | os.PathLike[str] | None = None,
                       seconds_per_task: float | None = DEFAULT_CLIP_SECONDS_PER_TASK,
                       file_extensions: Sequence[str] | None = None, include_paths: bool = True,
                       ignore_missing_paths: bool = False, partitioning: Any = None,
                       shuffle: Any = None, **sampler_arguments: Any) -> Any:
    """The rows ``read_clips`` gives for the same arguments, read in this
    process, without Ray's scheduling: a ``pyarrow.Table`` of every file's
    spans in turn (in the order of ``shuffle``)."""
    import pyarrow as pa

    job, files, order = _clips_job(paths, sampler, seed, epoch, filesystem, on_error,
                                   reader_options, frame_indexes, index_cache, file_extensions,
                                   include_paths, ignore_missing_paths, partitioning, shuffle,
                                   seconds_per_task, sampler_arguments)
    source = MediaSource(job, files, order, seconds_per_task)
    blocks = [block for task in source.get_read_tasks(1) for block in task()]
    return pa.concat_tables(blocks)


def read_frames(paths: Paths, *, indices: Any = None, times: Any = None, stride: int | None = None,
                filesystem: Any = None, on_error: OnError = "raise",
                reader_options: Mapping[str, Any] | None = None,
                batch_frames: int = DEFAULT_BATCH_FRAMES,
                frames_per_task: int | None = DEFAULT_FRAMES_PER_TASK,
                frame_indexes: Indexes | None = None,
                index_cache: str | os.PathLike[str] | None = None,
                file_extensions: Sequence[str] | None = None, include_paths: bool = True,
                ignore_missing_paths: bool = False, partitioning: Any = None,
                shuffle: Any = None,
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
    for ``read_clips``), else the one kept in ``index_cache``; without
    either, each task scans the file itself and reads the frames from the
    first key frame at or after its share's first nominal frame to the one
    at or after the next share's (planning reads the header only).  With
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
    positive_integer("stride", stride)
    positive_integer("batch_frames", batch_frames)
    positive_integer("frames_per_task", frames_per_task)
    request = {"indices": indices, "times": times,
               "stride": stride if stride is not None or given else 1}
    files = _files(paths, filesystem, file_extensions, ignore_missing_paths, partitioning, shuffle)
    job = ReadJob("frames", Files(files.filesystem), on_error, options,
                  request, batch_frames=batch_frames, include_paths=include_paths)
    order = shuffled_order(len(files.paths), shuffle, _fresh_seed(), 0)
    return _dataset(_indexed_job(job, files.paths, frame_indexes, index_cache), files, order,
                    frames_per_task, ray_options)


def read_audio(paths: Paths, *, window: float, hop: float | None = None,
               sample_rate: int | None = None, channels: int | None = None,
               filesystem: Any = None, on_error: OnError = "raise",
               reader_options: Mapping[str, Any] | None = None, windows_per_block: int = 64,
               seconds_per_task: float | None = DEFAULT_SECONDS_PER_TASK,
               file_extensions: Sequence[str] | None = None, include_paths: bool = True,
               ignore_missing_paths: bool = False, partitioning: Any = None,
               shuffle: Any = None,
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
    the windows are those that one read of the whole stream gives, as far
    as range reads are (a task after a file's first seeks: AAC's
    noise-substituted bands differ there, see the guide's audio ranges).
    """
    for name, value in (("window", window), ("hop", window if hop is None else hop)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    positive_integer("windows_per_block", windows_per_block)
    _check_seconds(seconds_per_task)
    options = _checked(on_error, reader_options, AudioReader)
    options.update({key: value for key, value in (("sample_rate", sample_rate),
                                                  ("channels", channels)) if value is not None})
    arguments = {"window": float(window), "hop": float(window if hop is None else hop)}
    files = _files(paths, filesystem, file_extensions, ignore_missing_paths, partitioning, shuffle)
    job = ReadJob("audio", Files(files.filesystem), on_error, options,
                  arguments, batch_frames=windows_per_block, include_paths=include_paths)
    order = shuffled_order(len(files.paths), shuffle, _fresh_seed(), 0)
    return _dataset(job, files, order, seconds_per_task, ray_options)



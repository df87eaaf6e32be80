"""Clips from many videos: a loader that keeps several files decoding on a
pool of threads while the training loop works on what it has.

Each source is one task: open a ``VideoReader``, draw its clips with a
sampler (one decoding call), close the reader.  Frame indexes given per
source, or kept in a cache directory, spare each file's scan after the
first.  Decoding releases the
interpreter lock, so the tasks of different files run in parallel.  The
loader submits tasks only as results are taken, never more than
``prefetch`` ahead, which bounds the memory it holds.
"""

from __future__ import annotations

import hashlib
import inspect
import logging
import os
import tempfile
import threading
from collections import deque
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import CancelledError, Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Literal, Union

import numpy as np

from ._budget import split
from ._checks import check_on_error, check_threads, check_workers, positive_integer
from ._sources import describe, kind_of
from ._types import Source
from .frame_table import FrameTable
from .samplers import Clips, check_sampler_arguments
from .video import VideoReader

__all__ = ["ClipLoader", "Failure", "LoadError", "LoadedClips"]

_log = logging.getLogger(__name__)


@dataclass(frozen=True, eq=False, kw_only=True)
class LoadedClips(Clips):
    """The clips of one source, as its sampler returned them (with their
    ``audio`` when the sampler was given ``audio=``), with the source and
    its position in the loader's list of sources."""

    source: Source
    position: int


@dataclass(frozen=True, eq=False)
class Failure:
    """A source that could not be opened or sampled, and the exception."""

    position: int
    source: Source
    error: Exception

    def __str__(self) -> str:
        return (f"source {self.position} ({describe(self.source)}): "
                f"{type(self.error).__name__}: {self.error}")


class LoadError(Exception):
    """A source failed in a loader that raises (``on_error="raise"``).
    ``failure`` tells which source; the exception is also the cause."""

    def __init__(self, failure: Failure) -> None:
        super().__init__(str(failure))
        self.failure = failure


_Outcome = Union[LoadedClips, Failure]
#: A frame index as ``VideoReader(frame_index=...)`` takes it.
IndexSource = Union[FrameTable, str, "os.PathLike[str]"]


class ClipLoader:
    """Clips of every source in ``sources``, decoded a few files at a time.

    ``sampler`` is one of the functions of ``quorvex_av.samplers`` (or any
    callable taking a reader and keywords and returning ``Clips``);
    ``sampler_arguments`` go to it for every file (``num_clips``,
    ``frames_per_clip`` ...).  A sampler with a ``seed`` gets one of its own
    for each file and pass, derived from the loader's ``seed``, so a pass
    gives the same clips whatever the threads do; ``audio=`` (see
    ``samplers.ClipAudio``) gives every clip its sound.  ``reader_options`` go to
    every ``VideoReader`` (``dtype``, ``resize``, ``threads`` ...);
    ``workers`` is the readers' ``workers`` (decoders per file, see
    ``VideoReader``), so that up to ``threads`` x ``workers`` decoders run.
    ``threads`` and ``workers`` default to None, "auto": the cores this
    process may use (see the guide) go first to files at once (no more
    than there are sources), then to decoders per file; the readers'
    ``threads`` stay 1 unless ``reader_options`` gives them (None: what is
    left).

    Iterating gives one ``LoadedClips`` per source, in the order of
    ``sources``, or shuffled anew for each pass when ``shuffle`` is set
    (reproducibly with a ``seed``).  Each iteration is a pass; ``epoch``
    counts them and may be set to resume.  Starting a pass stops the one
    before if it is unfinished.

    ``threads`` files are decoded at once; at most ``prefetch`` (default
    twice ``threads``) files' clips are decoded, being decoded or waiting
    ahead of the consumer, so that the loader never holds more than
    ``prefetch`` results besides the one handed out last.

    A source that cannot be opened or sampled raises ``LoadError`` when its
    turn comes (``on_error="raise"``, the pass then ends) or is logged,
    recorded in ``failures`` and left out (``on_error="skip"``).

    ``close()``, leaving a ``with`` block, or dropping an unfinished
    iterator (as ``break`` does) cancels the files not started, waits for the
    threads to finish those being decoded and closes their readers.

    Frame indexes spare the readers their scans (see ``VideoReader``):
    ``frame_indexes`` gives one per source, as a sequence in the order of
    ``sources`` (None for a source without one) or a mapping from a source's
    path to its index (a ``FrameTable`` or the path of a saved one).
    ``index_cache`` names a directory where the loader keeps the index of
    every source given by path: the first reader of a file scans it and the
    index is saved there, keyed by the file's absolute path, size and
    modification time (and the reader's ``stream_index``); later readers,
    in this pass or any later run, load it instead.  A cached index that no
    longer fits its file, or is damaged, is replaced.  A given index wins
    over the cache.
    """

    def __init__(self, sources: Sequence[Source], sampler: Callable[..., Clips], /, *,
                 threads: int | None = None, workers: int | None = None,
                 prefetch: int | None = None,
                 shuffle: bool = False, seed: int | None = None,
                 on_error: Literal["raise", "skip"] = "raise",
                 reader_options: Mapping[str, Any] | None = None,
                 frame_indexes: Sequence[IndexSource | None] | Mapping[str, IndexSource] | None = None,
                 index_cache: str | os.PathLike[str] | None = None,
                 **sampler_arguments: Any) -> None:
        self.sources: list[Source] = list(sources)
        self._indexes = indexes_by_position(self.sources, frame_indexes)
        self.index_cache = None if index_cache is None else os.fspath(index_cache)
        if self.index_cache is not None:
            os.makedirs(self.index_cache, exist_ok=True)
        for name, value in (("threads", threads), ("prefetch", prefetch)):
            positive_integer(name, value)
        check_on_error(on_error)
        self.shuffle = bool(shuffle)
        self.on_error = on_error
        self._reader_options = options = dict(reader_options or {})
        # Files at once, decoders per file and FFmpeg threads per decoder
        # share the cores: the readers get counts, not "auto", so that each
        # does not take every core for itself.
        decoder_threads = options.get("threads", 1)
        per_file = options.get("workers") if workers is None else workers
        self.threads, options["workers"], decoder_threads = split(
            threads, None if per_file is None else check_workers(per_file),
            None if decoder_threads is None else check_threads(decoder_threads),
            most=(len(self.sources),))
        if "threads" in options:
            options["threads"] = decoder_threads
        self.prefetch = prefetch if prefetch is not None else 2 * self.threads
        # Wrong names fail here, once, rather than for every file.
        inspect.signature(VideoReader).bind(None, **self._reader_options)
        check_sampler_arguments(sampler, sampler_arguments)
        self._sampler = sampler
        self._arguments = sampler_arguments
        self._seeded = "seed" in inspect.signature(sampler).parameters
        self._entropy = np.random.SeedSequence(seed).entropy
        #: Passes started so far; the next pass is number ``epoch``.
        self.epoch = 0
        #: The sources left out by the latest pass (``on_error="skip"``).
        self.failures: list[Failure] = []
        self._run: _Run | None = None
        self._closed = False

    def __len__(self) -> int:
        return len(self.sources)

    def __iter__(self) -> Iterator[LoadedClips]:
        if self._closed:
            raise RuntimeError("the loader is closed")
        self._stop_run()
        epoch, self.epoch = self.epoch, self.epoch + 1
        order = list(range(len(self.sources)))
        if self.shuffle:
            rng = np.random.default_rng(np.random.SeedSequence(self._entropy, spawn_key=(0, epoch)))
            order = rng.permutation(len(order)).tolist()
        self.failures = []
        run = _Run(self, epoch, order)
        self._run = run
        return run.results()

    def _stop_run(self) -> None:
        if self._run is not None:
            self._run.stop()
            self._run = None

    def close(self) -> None:
        """Stop the current pass: cancel what has not started, wait for the
        files being decoded, close their readers.  Iterating again raises."""
        self._closed = True
        self._stop_run()

    def __enter__(self) -> ClipLoader:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _load(self, position: int, epoch: int) -> _Outcome:
        """One task, on a pool thread: the clips of one source."""
        source = self.sources[position]
        try:
            arguments = dict(self._arguments)
            if self._seeded:
                key = np.random.SeedSequence(self._entropy, spawn_key=(1, epoch, position))
                arguments["seed"] = np.random.default_rng(key)
            cached = self._cached_index(source)
            with self._reader(source, self._indexes.get(position), cached) as reader:
                clips = self._sampler(reader, **arguments)
                if cached is not None and reader.scanned:
                    keep_index(reader.frame_index, cached)
            return LoadedClips(clips.frames, clips.indices, clips.times, clips.audio,
                               source=source, position=position)
        except Exception as error:
            return Failure(position, source, error)

    def _reader(self, source: Source, given: IndexSource | None, cached: str | None) -> VideoReader:
        return indexed_reader(source, given, cached, self._reader_options)[0]

    def _cached_index(self, source: Source) -> str | None:
        return cached_index_path(self.index_cache, source, self._reader_options.get("stream_index"))

    def _failed(self, failure: Failure) -> None:
        if self.on_error == "raise":
            raise LoadError(failure) from failure.error
        _log.warning("skipped %s", failure)
        self.failures.append(failure)

    def __repr__(self) -> str:
        return (f"<ClipLoader of {len(self.sources)} sources, {self.threads} threads, "
                f"prefetch {self.prefetch}>")


def indexed_reader(source: Source, given: IndexSource | None, cached: str | None,
                   options: Mapping[str, Any]) -> tuple[VideoReader, bool]:
    """A reader with the source's given index, else its cached one (a
    cached index that is damaged or does not fit the file is dropped for a
    new scan), and whether it got one."""
    if given is not None:
        return VideoReader(source, frame_index=given, **options), True
    if cached is not None and os.path.exists(cached):
        try:
            return VideoReader(source, frame_index=cached, **options), True
        except ValueError as error:
            _log.warning("cached frame index %s dropped: %s", cached, error)
    return VideoReader(source, **options), False


def cached_index_path(cache: str | None, source: Source, stream_index: int | None) -> str | None:
    """Where the cache directory keeps the index of a source given by path
    (None without a cache, or for a source that is not a local file)."""
    if cache is None or kind_of(source) != "path":
        return None
    try:
        path = os.path.abspath(os.fspath(source))  # type: ignore[arg-type]
        status = os.stat(path)
    except (OSError, ValueError):
        return None  # a URL, or a file that is not there: no cache
    key = f"{path}\0{status.st_size}\0{status.st_mtime_ns}\0{stream_index}"
    digest = hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()[:32]
    return os.path.join(cache, f"{digest}.npz")


def indexes_by_position(sources: Sequence[Source], given: Sequence[IndexSource | None]
                         | Mapping[str, IndexSource] | None) -> dict[int, IndexSource]:
    if given is None:
        return {}
    if isinstance(given, Mapping):
        paths = {os.fspath(key): value for key, value in given.items()}
        named = {i: os.fspath(source) for i, source in enumerate(sources)  # type: ignore[arg-type]
                 if kind_of(source) == "path"}
        return {i: paths[name] for i, name in named.items() if name in paths}
    listed = list(given)
    if len(listed) != len(sources):
        raise ValueError(f"frame_indexes lists {len(listed)} indexes for {len(sources)} sources")
    return {i: index for i, index in enumerate(listed) if index is not None}


def keep_index(table: FrameTable, path: str) -> None:
    """Write the table under a private name, then rename it: a reader in
    another thread or process never loads half a file.  A cache that cannot
    be written costs the next run a scan, not this file its clips."""
    try:
        descriptor, partial = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".part")
    except OSError as error:
        _log.warning("frame index not cached in %s: %s", path, error)
        return
    try:
        with os.fdopen(descriptor, "wb") as file:
            table.save(file)
        os.replace(partial, path)
    except OSError as error:
        _log.warning("frame index not cached in %s: %s", path, error)
        os.unlink(partial)
    except BaseException:
        os.unlink(partial)
        raise


class _Run:
    """One pass of a loader: its thread pool and the tasks in flight, oldest
    first."""

    def __init__(self, loader: ClipLoader, epoch: int, order: list[int]) -> None:
        self._loader = loader
        self._epoch = epoch
        self._order = order
        self._next = 0
        self._limit = loader.prefetch
        self._pool = ThreadPoolExecutor(loader.threads, thread_name_prefix="quorvex-loader")
        self._pending: deque[Future[_Outcome]] = deque()
        self._lock = threading.Lock()
        self._stopped = False

    def _fill(self) -> None:
        with self._lock:
            while (not self._stopped and len(self._pending) < self._limit
                   and self._next < len(self._order)):
                position = self._order[self._next]
                self._next += 1
                self._pending.append(self._pool.submit(self._loader._load, position, self._epoch))

    def results(self) -> Iterator[LoadedClips]:
        try:
            self._fill()
            while True:
                with self._lock:
                    if not self._pending:
                        return
                    future = self._pending.popleft()
                try:
                    outcome = future.result()
                except CancelledError:  # stopped from another thread
                    return
                del future
                self._fill()
                if isinstance(outcome, Failure):
                    self._loader._failed(outcome)
                else:
                    yield outcome
                del outcome  # not kept alive while the next file is awaited
        finally:
            self.stop()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            for future in self._pending:
                future.cancel()
            self._pending.clear()
        self._pool.shutdown(wait=True, cancel_futures=True)

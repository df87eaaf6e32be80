"""Several decoders of one source working on one request: the machinery
behind ``VideoReader(..., workers=N)``.

A request that names frames in several groups of pictures is cut into runs
that a decoder can answer on its own: between two targets with different
seek points the extension seeks anyway, so a cut there changes nothing but
which decoder does the work.  The runs are handed out in order to the
calling thread, on the reader's own decoder, and to up to N - 1 worker
threads, each with a decoder of its own, opened on first use and kept until
the reader is closed.  Every run's frames are copied once into their slots
of the output, by the thread that decoded them, as soon as the run ends.

Where seek points say nothing (a request placed by the header alone, or
times in seconds without a frame table) the sorted targets are cut into
contiguous runs: each run starts with a seek, which may decode the group it
starts in a second time.  A run of timestamp targets placed by the header is
checked at its start against the run before it; when the two could have
answered differently from one decoder going on, the request is decoded
again on the reader's decoder alone.

A failure in a run fails the request with the exception of the earliest
failing run, which is the one a single decoder, walking the runs in order,
would have met first.

Damage breaks the rule that a run can start anywhere: a decoder going on
through damaged packets carries what it made of them (concealed pictures,
missing references, the decoder's error state) past the next key frame,
where a decoder that seeks there starts clean.  So a request any of whose
runs met damage (packets skipped as invalid, or frames that came out
concealed or corrupt) is decoded again on the reader's decoder alone, and
a whole-stream read goes on from the first damaged piece on that decoder
alone, as one decoder would have (see _joined).  Clean streams keep their
runs.
"""

from __future__ import annotations

import collections
import io
import math
import os
import queue
import threading
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._av import Decoder

_T = TypeVar("_T")
_Batch = tuple[Any, list[float], list[float]]
# The exception a busy decoder raises; a busy set of workers raises it too.
_BUSY = "Already borrowed"


def check_workers(value: object) -> int:
    """``workers`` as a positive int; ValueError or TypeError otherwise."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"workers must be an integer, not {type(value).__name__}")
    count = int(value)
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return count


def shared_source(source: object) -> object | None:
    """What a worker opens for ``source``: the same path, or a file object
    over the same bytes (one copy for all workers, never one each); None
    for a file object, which one decoder alone may read."""
    if isinstance(source, bytes):
        return _SharedBytes(source)
    if isinstance(source, (bytearray, memoryview)):
        return _SharedBytes(bytes(source))
    if hasattr(source, "read") and not isinstance(source, (str, bytes)):
        return None
    return source


class _SharedBytes:
    """Bytes that every worker reads through a file object of its own; the
    file objects share the bytes, which are not copied."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def open(self) -> io.BytesIO:
        return io.BytesIO(self.data)


# -- the workers ---------------------------------------------------------------------


class _Job:
    """The runs of one request, taken by whichever decoder is free: in
    ``order`` (default: as given), so that the longest can go first and the
    short ones fill in after them."""

    def __init__(self, runs: Sequence[Callable[[Decoder], _T]], participants: int,
                 done: Callable[[], None], order: Sequence[int] | None = None) -> None:
        self.runs = runs
        self.results: list[Any] = [None] * len(runs)
        self.errors: dict[int, BaseException] = {}
        self._order = list(range(len(runs))) if order is None else list(order)
        self._next = 0
        self._stopped = False
        self._lock = threading.Lock()
        self._left = participants
        self._done: Callable[[], None] | None = done
        self.finished = threading.Event()

    def _take(self) -> int | None:
        """The next run worth starting: none after a failed one is (its
        request fails with the earliest failure, as one decoder's would)."""
        with self._lock:
            failed = min(self.errors, default=len(self.runs))
            while not self._stopped and self._next < len(self._order):
                index = self._order[self._next]
                self._next += 1
                if index < failed:
                    return index
            return None

    def work(self, decoder: Decoder | None, first: int | None = None) -> None:
        """Runs on ``decoder`` (``first`` first, when taken for it) until
        none is left, then leaves."""
        try:
            while decoder is not None:
                index, first = (self._take() if first is None else first), None
                if index is None:
                    return
                try:
                    self.results[index] = self.runs[index](decoder)
                except Exception as error:
                    with self._lock:
                        self.errors[index] = error
        finally:
            self._leave()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True

    def _leave(self) -> None:
        with self._lock:
            self._left -= 1
            last = self._left == 0
        if last:
            self.end()

    def end(self) -> None:
        """The request is over (once, whoever calls it first): given back."""
        with self._lock:
            done, self._done = self._done, None
        if done is not None:
            done()
            self.finished.set()


class _Lane:
    """One worker thread and the decoder it owns, opened with its first task
    (or, where that fails, with the next)."""

    def __init__(self, opener: Callable[[], tuple[Decoder, Any]], number: int) -> None:
        self._opener = opener
        self.decoder: Decoder | None = None  # once opened, until closed
        self.inbox: queue.SimpleQueue[Callable[[Decoder | None], None] | None] = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._loop, name=f"quorvex-worker-{number}",
                                       daemon=True)
        self.thread.start()

    def _loop(self) -> None:
        decoder: Decoder | None = None
        held: Any = None
        try:
            while True:
                task = self.inbox.get()
                if task is None:
                    return
                if decoder is None:
                    try:
                        decoder, held = self._opener()
                    except Exception:
                        # Its share of this request goes to the others; the
                        # next one tries again (a network failure passes).
                        decoder = None
                    self.decoder = decoder
                task(decoder)
                del task
        finally:
            self.decoder = None
            if decoder is not None:
                decoder.close()
            if held is not None:
                held.close()


def _retire(lanes: Sequence[_Lane], interrupt: bool = False) -> None:
    """Ends the worker threads once their tasks are done (with
    ``interrupt``, their decoders' calls in progress are asked to stop
    until they do) and waits for them, unless on one of their own threads.
    A second Ctrl-C meanwhile does not cut the wait short: the first one
    is on its way out already."""
    for lane in lanes:
        lane.inbox.put(None)
    for lane in lanes:
        while lane.thread is not threading.current_thread() and lane.thread.is_alive():
            try:
                decoder = lane.decoder
                if interrupt and decoder is not None:
                    decoder.interrupt()
                lane.thread.join(_POLL if interrupt else None)
            except BaseException:
                if not interrupt:
                    raise


#: How often the decoders of a request left early are asked to stop while
#: their threads end (a run that starts meanwhile misses the first request).
_POLL = 0.05


class Workers:
    """Up to ``count`` decoders of one source: the reader's own, used on the
    calling thread, and ``count - 1`` worker threads with theirs.

    One request at a time: a second one while a request runs, or ``close``
    meanwhile, raises RuntimeError "Already borrowed", as the extension's
    decoder does, and does not disturb the running one.
    """

    def __init__(self, count: int, primary: Decoder,
                 opener: Callable[[], tuple[Decoder, Any]]) -> None:
        self.count = count
        self.primary = primary
        self._opener = opener
        self._lanes: list[_Lane] = []
        self._lock = threading.Lock()
        self._request = False
        self._closed = False
        self._stream: _Stream[Any] | None = None
        self._skipped: int | None = None
        self._stand_ins: list[int] | None = None
        self._pid = os.getpid()

    def _forked(self) -> None:
        """In a forked child the worker threads are gone (their decoders are
        left to the parent, as the reader's own are): start afresh."""
        if self._pid != os.getpid():
            self._pid = os.getpid()
            self._lock = threading.Lock()  # another thread may have held it
            self._lanes, self._request, self._stream = [], False, None

    def _lanes_for(self, wanted: int) -> list[_Lane]:
        while len(self._lanes) < min(wanted, self.count - 1):
            self._lanes.append(_Lane(self._opener, len(self._lanes) + 1))
        return self._lanes[:wanted]

    def _shares(self) -> int:
        """How many decoders the next request may use: one while the
        workers are closed or feed a stream that is being read."""
        if self._closed or (self._stream is not None and not self._stream.finished):
            return 1
        return self.count

    def _take(self) -> None:
        self._forked()
        with self._lock:
            if self._request:
                raise RuntimeError(_BUSY)
            self._request = True

    def _give_back(self) -> None:
        with self._lock:
            self._request = False

    def run(self, runs: Sequence[Callable[[Decoder], _T]],
            order: Sequence[int] | None = None) -> list[_T]:
        """Every run's result, in order (started in ``order``); the earliest
        failing run's exception."""
        self._take()
        try:
            lanes = self._lanes_for(min(len(runs), self.count) - 1)
        except BaseException:
            self._give_back()
            raise
        job = _Job(runs, len(lanes) + 1, self._give_back, order)
        # The reader's decoder takes the first run, whatever the threads do:
        # where it stands afterwards does not depend on their timing.
        first = job._take()
        try:
            for lane in lanes:  # queued behind what a stopped stream still decodes
                lane.inbox.put(job.work)
            job.work(self.primary, first)
            job.finished.wait()
        except BaseException:
            self._halt(job)
            raise
        if job.errors:
            raise job.errors[min(job.errors)]
        return job.results

    def _halt(self, job: _Job) -> None:
        """Ends a request that the calling thread leaves early (Ctrl-C):
        no run starts any more, the runs in progress are interrupted, and
        the worker threads are gone, their decoders closed, and the request
        given back, before this returns.  The next request starts workers
        afresh."""
        job.stop()
        with self._lock:
            lanes, self._lanes = self._lanes, []
        _retire(lanes, interrupt=True)
        job.end()  # in case the calling thread was stopped before it joined in

    def close(self, force: bool = False) -> None:
        """Stop the workers and close their decoders (waiting for the runs
        in progress); RuntimeError "Already borrowed" while a request runs,
        unless ``force`` (the reader is gone: nothing runs on its behalf but
        what an interrupted request left to finish)."""
        self._forked()
        with self._lock:
            if self._request and not force:
                raise RuntimeError(_BUSY)
            self._closed = True
            stream, self._stream = self._stream, None
            lanes, self._lanes = self._lanes, []
        if stream is not None:
            stream.stop()
        _retire(lanes)

    # -- requests ------------------------------------------------------------------

    def _counted(self, call: Callable[..., _Batch], output: _Output, index: int,
                 tally: _Tally, *arguments: Any) -> Callable[[Decoder], list[float]]:
        """Run ``index``, its frames placed into ``output`` on the thread that
        decoded them and its times returned, adding the packets its decoder
        skipped, the damage it met and its stand-ins to ``tally``."""
        def run(decoder: Decoder) -> list[float]:
            try:
                return output.place(index, call(decoder, *arguments))
            finally:
                tally.add(decoder, output, index)
        return run

    def _alone(self, call: Callable[..., _Batch], *arguments: Any) -> _Batch:
        self._take()
        try:
            # The reader's decoder counts for itself.
            self._skipped = self._stand_ins = None
            return call(self.primary, *arguments)
        finally:
            self._give_back()

    def _shared(self, runs: Sequence[Callable[[Decoder], list[float]]], tally: _Tally,
                order: Sequence[int] | None) -> list[list[float]] | None:
        """The runs' times, or None where a run met damage (the request is
        then decoded again on one decoder: see the module)."""
        try:
            results = self.run(runs, order)
        except Exception:
            if not tally.damaged:
                self._skipped, self._stand_ins = tally.skipped, tally.stand_ins
                raise
            return None
        if tally.damaged:
            return None
        self._skipped, self._stand_ins = tally.skipped, tally.stand_ins
        return results

    def decode_video(self, targets: Sequence[tuple[int, int]], output_dtype: str, exact: bool,
                     transforms: Sequence[tuple[str, int, int, int, int]] = (), *,
                     occurrences: Sequence[int] | None = None, period: float | None = None,
                     **options: Any) -> _Batch:
        """``Decoder.decode_video`` cut at its seek points (see the module);
        ``period`` is the frame period in ticks, to weigh the runs."""
        def call(decoder: Decoder, part: Sequence[tuple[int, int]],
                 part_occurrences: Sequence[int] | None, partial: bool = False) -> _Batch:
            return decoder.decode_video(part, output_dtype, exact, transforms,  # type: ignore[arg-type]
                                        occurrences=part_occurrences, partial=partial, **options)

        contiguous = bool(options.get("seek_by_index"))
        plan = _plan_targets(targets, occurrences, self._shares(), contiguous, period)
        if plan is None:
            return self._alone(call, targets, occurrences)
        picked = plan.occurrences
        output = _Output(plan.slots, len(targets))
        tally = _Tally()
        # Runs meet at least the damage one decoder meets around their
        # targets (partial), so that a request whose runs met none is
        # answered as one decoder answers it.
        runs = [self._counted(call, output, index, tally, [plan.targets[i] for i in part],
                              None if picked is None else [picked[i] for i in part], True)
                for index, part in enumerate(plan.runs)]
        results = self._shared(runs, tally, plan.order)
        if results is None or (contiguous and not _seams_ascend(results)):
            return self._alone(call, targets, occurrences)
        return output.result()

    def decode_timestamps(self, seconds: Sequence[float], output_dtype: str,
                          transforms: Sequence[tuple[str, int, int, int, int]] = (), *,
                          key_times: npt.NDArray[np.float64] | None = None,
                          **options: Any) -> _Batch:
        """``Decoder.decode_timestamps`` cut between groups of pictures
        (``key_times``: the key frames' times, when known)."""
        def call(decoder: Decoder, part: Sequence[float], partial: bool = False) -> _Batch:
            return decoder.decode_timestamps(part, output_dtype, transforms,  # type: ignore[arg-type]
                                             partial=partial, **options)

        parts = _plan_times(seconds, key_times, self._shares())
        if parts is None:
            return self._alone(call, seconds)
        output = _Output([np.arange(a, b) for a, b in parts], len(seconds))
        tally = _Tally()
        runs = [self._counted(call, output, index, tally, seconds[a:b], True)
                for index, (a, b) in enumerate(parts)]
        if self._shared(runs, tally, _longest_first(parts, seconds, key_times)) is None:
            return self._alone(call, seconds)
        return output.result()

    def skipped_packets(self) -> int:
        """Packets skipped by the latest request's decoders (see Decoder)."""
        if self._skipped is None:
            return self.primary.skipped_packets()
        return self._skipped

    def stand_ins(self) -> list[int]:
        """Output positions of the latest request answered by a stand-in
        for a lost frame (see Decoder)."""
        if self._stand_ins is None:
            return self.primary.stand_ins()
        return sorted(self._stand_ins)

    # -- whole streams ---------------------------------------------------------------

    def halt_stream(self) -> None:
        """Ends the current stream of batches as Ctrl-C ends it (see
        _Stream.halt); nothing when there is none."""
        with self._lock:
            stream = self._stream
        if stream is not None:
            stream.halt()

    def stream(self, pieces: Sequence[tuple[int, npt.NDArray[np.intp]]],
               decode: Callable[[Decoder, npt.NDArray[np.intp]], _T],
               ahead: int, helping: bool = True) -> Iterator[_T] | None:
        """The results of ``decode`` for every piece (segment number, rows),
        in order; each segment's pieces are decoded in order by one decoder,
        the segments taken in order by whichever decoder is free (the
        reader's own on the consumer's thread: see _Stream), at most
        ``ahead`` pieces ahead of the consumer.  None when the workers
        cannot take it (closed, or busy with a request or another stream)."""
        self._forked()
        with self._lock:
            if self._request or self._shares() < 2:
                return None
            stream: _Stream[_T] = _Stream(pieces, decode, ahead, self, helping)
            self._stream = stream
        stream.start()
        return stream.results()


class _Tally:
    """What the runs of one request met, added up as they end."""

    def __init__(self) -> None:
        self.skipped = 0
        self.damaged = False
        self.stand_ins: list[int] = []
        self._lock = threading.Lock()

    def add(self, decoder: Decoder, output: _Output, index: int) -> None:
        skipped, damaged = decoder.skipped_packets(), decoder.damaged_frames()
        stand_ins = output.positions(index, decoder.stand_ins())
        with self._lock:
            self.skipped += skipped
            self.damaged = self.damaged or bool(skipped or damaged)
            self.stand_ins += stand_ins


# -- planning --------------------------------------------------------------------------


@dataclass
class _TargetPlan:
    targets: list[tuple[int, int]]       # distinct targets, ascending
    occurrences: list[int] | None
    runs: list[range]                    # indices into targets
    slots: list[npt.NDArray[np.intp]]    # output positions of each run's results
    order: list[int]                     # the runs, costliest first


def _plan_targets(targets: Sequence[tuple[int, int]], occurrences: Sequence[int] | None,
                  workers: int, contiguous: bool, period: float | None) -> _TargetPlan | None:
    """The distinct targets in the extension's order (timestamp, then
    occurrence; the first occurrence's seek point), cut into runs; None when
    there is nothing to share out."""
    if workers < 2 or len(targets) < 2:
        return None
    try:
        table = np.array(targets, dtype=np.int64).reshape(len(targets), 2)
    except (TypeError, ValueError, OverflowError):
        return None  # the extension reports what is wrong with them
    pts, seek = table[:, 0], table[:, 1]
    occurrence = (np.zeros(len(targets), np.int64) if occurrences is None
                  else np.asarray(occurrences, dtype=np.int64))
    if occurrence.shape != pts.shape:
        return None
    order = np.lexsort((np.arange(len(targets)), occurrence, pts))
    first = np.ones(len(order), dtype=bool)
    first[1:] = (pts[order][1:] != pts[order][:-1]) | (occurrence[order][1:] != occurrence[order][:-1])
    unique = order[first]
    owner = np.cumsum(first) - 1  # distinct target of each sorted position
    u_pts, u_seek = pts[unique], seek[unique]
    if contiguous:
        # Frames decoded for each target, from its seek point (each may
        # start a run), to weigh one run per decoder.
        gap = (u_pts - u_seek).astype(np.float64)
        cost = 1.0 + (np.clip(gap, 0, None) / period if period and period > 0 else 0.0)
        bounds = _balanced(np.arange(1, len(unique)), np.cumsum(cost), workers)
    else:
        # A run per group of pictures: the decoders take them in order as
        # they come free, which evens out groups of unequal cost.
        bounds = [0, *(np.flatnonzero(u_seek[1:] != u_seek[:-1]) + 1).tolist(), len(unique)]
    if len(bounds) < 3:
        return None
    runs = [range(a, b) for a, b in zip(bounds[:-1], bounds[1:])]
    # Every output position, grouped by the run of its distinct target, in
    # the order of that run's results.
    slot_of = np.empty(len(targets), dtype=np.intp)
    slot_of[order] = owner
    by_target = np.argsort(slot_of, kind="stable")
    counts = np.bincount(slot_of, minlength=len(unique))
    offsets = np.concatenate([[0], np.cumsum(counts)])
    slots = [by_target[offsets[r.start]:offsets[r.stop]] for r in runs]
    return _TargetPlan([(int(p), int(s)) for p, s in zip(u_pts, u_seek)],
                       None if occurrences is None else occurrence[unique].tolist(), runs,
                       [_slot_rows(slot, slot_of, r.start) for slot, r in zip(slots, runs)],
                       _costliest_first(runs, u_pts, u_seek, period))


def _costliest_first(runs: Sequence[range], pts: npt.NDArray[np.int64],
                     seek: npt.NDArray[np.int64], period: float | None) -> list[int]:
    """The runs by their cost, highest first (a stable order among equals):
    given out in turn to the decoder that comes free first, the long runs
    then start at once and the short ones even out the end, where in their
    own order a long run drawn last keeps one decoder busy alone. A run
    decodes from its seek point to its last target, and converts each of
    its targets (about a third of a frame's decoding, at full size)."""
    step = period if period and period > 0 else 1.0
    costs = [float(pts[r.stop - 1] - seek[r.start]) / step + 1.0 + len(r) / 3 for r in runs]
    return sorted(range(len(runs)), key=lambda index: -costs[index])


def _slot_rows(positions: npt.NDArray[np.intp], slot_of: npt.NDArray[np.intp],
               start: int) -> npt.NDArray[np.intp]:
    """For one run: the output position of every target it answers, packed
    as (row of the run's result, output position) pairs."""
    return np.stack([slot_of[positions] - start, positions])


def _plan_times(seconds: Sequence[float], key_times: npt.NDArray[np.float64] | None,
                workers: int) -> list[tuple[int, int]] | None:
    """[start, end) ranges of ``seconds`` for the runs; None for one run (or
    times the extension refuses, which it then reports itself)."""
    if workers < 2 or len(seconds) < 2:
        return None
    try:
        times = np.asarray(seconds, dtype=np.float64)
    except (TypeError, ValueError):
        return None
    if times.ndim != 1 or not np.isfinite(times).all() or np.any(np.diff(times) <= 0):
        return None
    if key_times is not None and key_times.size:  # a run per group of pictures
        group = np.searchsorted(key_times, times, side="right")
        bounds = [0, *(np.flatnonzero(group[1:] != group[:-1]) + 1).tolist(), times.size]
    else:
        bounds = _balanced(np.arange(1, times.size), np.arange(1, times.size + 1, dtype=np.float64),
                           workers)
    if len(bounds) < 3:
        return None
    return list(zip(bounds[:-1], bounds[1:]))


def _longest_first(parts: Sequence[tuple[int, int]], seconds: Sequence[float],
                   key_times: npt.NDArray[np.float64] | None) -> list[int] | None:
    """Runs of times by the time they span from the key frame before them,
    longest first (see _costliest_first); None without key frames."""
    if key_times is None or not key_times.size:
        return None
    starts = key_times[np.maximum(np.searchsorted(key_times, [seconds[a] for a, _ in parts],
                                                  side="right") - 1, 0)]
    spans = [float(seconds[b - 1]) - float(start) for (_, b), start in zip(parts, starts)]
    return sorted(range(len(parts)), key=lambda index: -spans[index])


def _balanced(cuts: npt.NDArray[np.intp], cumulative: npt.NDArray[np.float64],
              parts: int) -> list[int]:
    """Bounds [0, ..., n] of at most ``parts`` runs of about equal cost,
    cutting only at ``cuts`` (positions where a run may start)."""
    total = len(cumulative)
    if not cuts.size or parts < 2:
        return [0, total]
    before = np.concatenate([[0.0], cumulative])  # cost of the targets before each position
    wanted = before[-1] * np.arange(1, parts) / parts
    chosen = cuts[np.clip(np.searchsorted(before[cuts], wanted), 0, cuts.size - 1)]
    return [0, *sorted(set(int(c) for c in chosen)), total]


# -- results ---------------------------------------------------------------------------


def _seams_ascend(results: Sequence[list[float]]) -> bool:
    """Whether each run's first frame comes after the run before it's last:
    then going on from that frame would have found the same one."""
    last = -math.inf
    for times in results:
        if times:
            if times[0] <= last:
                return False
            last = times[-1]
    return True


class _Output:
    """One result of ``count`` frames, each run's frames copied once into
    the positions they answer as soon as the run is decoded, on its own
    thread (the copy releases the interpreter lock): the copies overlap the
    decoding of the other runs, and a run's own result is released at once."""

    def __init__(self, slots: Sequence[npt.NDArray[np.intp]], count: int) -> None:
        self._slots = slots
        self._count = count
        self._frames: npt.NDArray[Any] | None = None
        self._times = [0.0] * count
        self._durations = [0.0] * count
        self._lock = threading.Lock()

    def place(self, index: int, result: _Batch) -> list[float]:
        """Places run ``index``'s result; its times."""
        array, run_times, run_durations = result
        with self._lock:
            if self._frames is None:
                self._frames = np.empty((self._count, *array.shape[1:]), dtype=array.dtype)
            frames = self._frames
        slot = self._slots[index]
        if slot.ndim == 1:  # contiguous, one frame per position
            frames[slot[0]:slot[-1] + 1] = array
            self._times[slot[0]:slot[-1] + 1] = run_times
            self._durations[slot[0]:slot[-1] + 1] = run_durations
            return run_times
        rows, positions = slot
        _copy_rows(frames, positions, array, rows)
        for row, position in zip(rows.tolist(), positions.tolist()):
            self._times[position] = run_times[row]
            self._durations[position] = run_durations[row]
        return run_times

    def positions(self, index: int, rows: Sequence[int]) -> list[int]:
        """The output positions that rows of run ``index``'s result answer."""
        if not rows:
            return []
        slot = self._slots[index]
        found: list[int]
        if slot.ndim == 1:
            found = (int(slot[0]) + np.asarray(rows, dtype=np.intp)).tolist()
        else:
            found = slot[1][np.isin(slot[0], rows)].tolist()
        return found

    def result(self) -> _Batch:
        assert self._frames is not None  # every run has placed its frames
        return self._frames, self._times, self._durations


def _copy_rows(into: npt.NDArray[Any], positions: npt.NDArray[np.intp], source: npt.NDArray[Any],
               rows: npt.NDArray[np.intp]) -> None:
    """``into[positions] = source[rows]``, one slice copy per stretch where
    both go up by one (clips of consecutive frames): gathering by index
    first would copy every frame twice, through a temporary."""
    breaks = np.flatnonzero((np.diff(rows) != 1) | (np.diff(positions) != 1)) + 1
    if 4 * len(breaks) > len(rows):  # scattered: few frames per stretch
        into[positions] = source[rows]
        return
    for low, high in zip([0, *breaks.tolist()], [*breaks.tolist(), len(rows)]):
        at, row = int(positions[low]), int(rows[low])
        into[at:at + high - low] = source[row:row + high - low]


# -- whole streams -----------------------------------------------------------------------


class _Stream(Generic[_T]):
    """Pieces of a stream decoded ahead by the workers (see Workers.stream).

    The pieces of one segment form a unit, decoded in order by one decoder,
    which goes on from each piece to the next without seeking.  Units are
    taken in stream order by whichever decoder is free: the workers take the
    next unit as soon as they finish one, the consumer when the piece it
    needs is in a unit nobody took, or (``helping``) while it waits for a
    piece a worker is decoding.  A piece is decoded only while it is fewer
    than ``ahead`` pieces past the consumer's."""

    _CONSUMER = 0

    def __init__(self, pieces: Sequence[tuple[int, npt.NDArray[np.intp]]],
                 decode: Callable[[Decoder, npt.NDArray[np.intp]], _T], ahead: int,
                 workers: Workers, helping: bool) -> None:
        self._pieces = pieces
        self._decode = decode
        self._ahead = ahead
        self._workers = workers
        self._helping = helping
        segments = [segment for segment, _ in pieces]
        firsts = [i for i in range(len(pieces)) if i == 0 or segments[i] != segments[i - 1]]
        #: [first, end) piece indices of each unit, and each piece's unit.
        self._units = list(zip(firsts, [*firsts[1:], len(pieces)]))
        self._unit_of = np.repeat(np.arange(len(self._units)),
                                  [end - first for first, end in self._units]).tolist()
        self._owner: list[int | None] = [None] * len(self._units)
        self._taken = 0  # units taken so far
        self._mine: dict[int, int] = {}  # the consumer's units: their next piece
        self._condition = threading.Condition()
        self._done: dict[int, tuple[bool, Any]] = {}  # piece: (ok, result or exception)
        self._gone: set[int] = set()  # workers that stopped
        self._consumed = 0
        self._threads: set[threading.Thread] = set()
        self.finished = False

    def start(self) -> None:
        lanes = self._workers._lanes_for(self._workers.count - 1)
        self._threads = {lane.thread for lane in lanes}
        for number, lane in enumerate(lanes, start=1):
            lane.inbox.put(_bind_lane(self._work, number))

    def _open(self, index: int) -> bool:
        """Whether piece ``index`` may be decoded now (under the condition)."""
        return index < self._consumed + self._ahead

    def _claim(self, lane: int) -> tuple[int, int] | None:
        """The next unit for ``lane``, once it may start (under the
        condition); None when none is left or the stream is over."""
        while not self.finished and self._taken < len(self._units):
            first, end = self._units[self._taken]
            if self._open(first):
                self._owner[self._taken] = lane
                self._taken += 1
                return first, end
            self._condition.wait()
        return None

    def _work(self, lane: int, decoder: Decoder | None) -> None:
        try:
            while decoder is not None:
                with self._condition:
                    unit = self._claim(lane)
                if unit is None:
                    return
                for index in range(*unit):
                    with self._condition:
                        while not self.finished and not self._open(index):
                            self._condition.wait()
                        if self.finished:
                            return
                    ok = self._store(index, decoder)
                    if not ok:
                        break  # the consumer stops at this piece
        finally:
            with self._condition:
                self._gone.add(lane)
                self._condition.notify_all()

    def _store(self, index: int, decoder: Decoder) -> bool:
        """Decodes piece ``index`` and keeps its outcome; whether it went well."""
        try:
            outcome: tuple[bool, Any] = (True, self._decode(decoder, self._pieces[index][1]))
        except Exception as error:
            outcome = (False, error)
        with self._condition:
            if not self.finished:
                self._done[index] = outcome
            self._condition.notify_all()
        return outcome[0]

    def stop(self) -> None:
        """End the stream; wait for the workers to finish the pieces they
        are decoding (not on a worker's own thread, which would wait for
        itself), so that nothing of the stream runs on afterwards."""
        with self._condition:
            self.finished = True
            self._done.clear()
            self._condition.notify_all()
            if threading.current_thread() not in self._threads:
                while len(self._gone) < len(self._threads):
                    self._condition.wait()
        with self._workers._lock:  # the reader is not kept alive through its workers
            if self._workers._stream is self:
                self._workers._stream = None

    def _next_own(self, index: int) -> int | None:
        """The piece the consumer decodes next, on its way to ``index`` or
        while a worker decodes that, or None to wait (under the condition)."""
        unit = self._unit_of[index]
        owner = self._owner[unit]
        if owner is None or (owner != self._CONSUMER and owner in self._gone):
            # Nobody took it (or its worker stopped short): the consumer's.
            self._owner[unit] = self._CONSUMER
            self._taken = max(self._taken, unit + 1)
            self._mine[unit] = index
        if self._owner[unit] == self._CONSUMER:
            return self._advance(unit)
        if not self._helping:
            return None
        for mine, piece in self._mine.items():
            if self._open(piece):
                return self._advance(mine)
        if self._taken < len(self._units) and self._open(self._units[self._taken][0]):
            self._owner[self._taken] = self._CONSUMER
            self._mine[self._taken] = self._units[self._taken][0]
            self._taken += 1
            return self._advance(self._taken - 1)
        return None

    def _advance(self, unit: int) -> int:
        """The consumer's next piece of its ``unit``, counted as started."""
        piece = self._mine.pop(unit)
        if piece + 1 < self._units[unit][1]:
            self._mine[unit] = piece + 1
        return piece

    def _result(self, index: int) -> _T:
        while True:
            own = None
            with self._condition:
                outcome = self._done.pop(index, None)
                while outcome is None and not self.finished:
                    own = self._next_own(index)
                    if own is not None:
                        break
                    self._condition.wait()
                    outcome = self._done.pop(index, None)
            if outcome is not None:
                ok, value = outcome
                if not ok:
                    raise value
                result: _T = value
                return result
            if own is None:  # stopped under the consumer: its decoder answers
                return self._decode(self._workers.primary, self._pieces[index][1])
            self._store(own, self._workers.primary)

    def results(self) -> Iterator[_T]:
        try:
            for index in range(len(self._pieces)):
                value = self._result(index)
                with self._condition:
                    self._consumed = index + 1
                    self._condition.notify_all()
                yield value
                del value
        except BaseException as error:
            if _interrupting(error):
                self.halt()
            raise
        finally:
            self.stop()

    def halt(self) -> None:
        """Ends the stream that the consumer leaves by Ctrl-C, as a request
        left so ends (see Workers._halt): the pieces in progress are
        interrupted and the worker threads gone, their decoders closed,
        before this returns; the next request starts workers afresh."""
        with self._condition:
            self.finished = True
            self._done.clear()
            self._condition.notify_all()
        with self._workers._lock:
            lanes, self._workers._lanes = self._workers._lanes, []
            if self._workers._stream is self:
                self._workers._stream = None
        _retire(lanes, interrupt=True)


def _interrupting(error: BaseException) -> bool:
    """Whether ``error`` stops the program (Ctrl-C, exit) rather than ends
    one call: not an Exception, nor the close of a generator left early."""
    return not isinstance(error, (Exception, GeneratorExit))


def _bind_lane(work: Callable[[int, Decoder | None], None], lane: int) -> Callable[[Decoder | None], None]:
    return lambda decoder: work(lane, decoder)


# -- what the readers hand over ------------------------------------------------------------


def video_hints(locator: Any) -> dict[str, Any]:
    """The frame period in ticks of a reader's frame table or nominal frames."""
    count = len(locator)
    if hasattr(locator, "key") and count > 1:  # a frame table
        span = float(locator.pts[-1] - locator.pts[0])
        return {"period": span / (count - 1)} if span > 0 else {}
    period = getattr(locator, "_period", None)
    return {"period": float(period)} if period else {}


def time_hints(table: Any) -> dict[str, Any]:
    """The key frames' times, where a reader has its frame table already."""
    if table is None or not len(table):
        return {}
    return {"key_times": table.times[table.key]}


def segments(locator: Any, size: int) -> tuple[npt.NDArray[np.intp], dict[int, int]]:
    """First rows of the segments that ``batches`` shares out, all at batch
    bounds, so that every batch is one decoder's: from a frame table, the
    first bound at or after each key frame at least ``size`` frames after
    the segment before; without one (key frames unknown), every 4 x
    ``size`` rows.  Also each start that is no key frame, mapped to the key
    frame before it, from which its decoder decodes."""
    count = len(locator)
    if not hasattr(locator, "key"):
        return np.arange(0, count, 4 * size, dtype=np.intp), {}
    keys = np.flatnonzero(locator.key)
    starts, inside = [0], {}
    for row in keys.tolist():
        bound = -(-row // size) * size
        if row - starts[-1] >= size and bound < count:
            starts.append(bound)
            key = int(keys[np.searchsorted(keys, bound, side="right") - 1])
            if bound != key:
                inside[bound] = key
    return np.array(starts, dtype=np.intp), inside


def pieces(starts: npt.NDArray[np.intp], size: int,
           count: int) -> list[tuple[int, npt.NDArray[np.intp]]]:
    """The batches of ``size`` rows as pieces (segment, rows): every
    segment starts at a batch bound, so each batch is one segment's."""
    bounds = [*range(0, count, size), count]
    segment = np.searchsorted(starts, bounds[:-1], side="right") - 1
    return [(int(s), np.arange(low, high, dtype=np.intp))
            for s, low, high in zip(segment.tolist(), bounds[:-1], bounds[1:])]


class _Reader(Protocol):
    """What read_batches needs of a VideoReader."""

    _workers: Workers | None
    skipped_packets: int

    def _locator(self) -> Any: ...

    def _read(self, picks: npt.NDArray[np.intp],
              decoder: Decoder | None = None) -> tuple[Any, npt.NDArray[np.float64]]: ...


_Piece = tuple[Any, npt.NDArray[np.float64], int, bool]  # frames, times, packets skipped, damaged


def read_batches(reader: _Reader, size: int, count: int) -> Iterator[Any] | None:
    """``reader.batches(size)`` with its segments decoded by the workers at
    once, or None when they cannot take it."""
    workers = reader._workers
    locator = reader._locator()
    if workers is None or count <= size:
        return None
    starts, inside = segments(locator, size)
    if len(starts) < 2:
        return None
    # Output held ahead of the consumer: about one segment per worker.
    longest = int(np.diff(np.append(starts, count)).max())
    ahead = workers.count * max(1, math.ceil(longest / size)) + 1
    table = hasattr(locator, "key")
    if table:
        tail = _split_tail(starts, size, count, workers.count, inside.get(int(starts[-1])))
        inside.update(tail)
        starts = np.union1d(starts, list(tail)).astype(np.intp)
    found = pieces(starts, size, count)

    def decode(decoder: Decoder, rows: npt.NDArray[np.intp]) -> _Piece:
        try:
            frames, times = reader._read(rows, decoder)
        except Exception as error:
            raise _PieceFailed(error, decoder.skipped_packets(), _damaged(decoder)) from None
        return frames, times, decoder.skipped_packets(), _damaged(decoder)

    # Without a table a segment may be decoded again on the reader's own
    # decoder (see _joined), which then must not be half-way through another.
    stream = workers.stream(found, decode, ahead, helping=table)
    if stream is None:
        return None
    # The key frame each segment decodes from: the parts of a cut tail share
    # one, and damage decoded in a part may show in the part before it.
    origins = [inside.get(int(start), int(start)) for start in starts.tolist()]
    return _joined(reader, workers, stream, found, origins, check=not table)


def _damaged(decoder: Decoder) -> bool:
    """Whether the decoder's latest call met damage (see the module)."""
    return bool(decoder.skipped_packets() or decoder.damaged_frames())


#: What decoding a frame that is not output costs, against one that is
#: (converted to RGB too): what a segment started inside a group of
#: pictures pays for each frame from the group's key frame.
_LEAD_COST = 0.5


def _split_tail(starts: npt.NDArray[np.intp], size: int, count: int, workers: int,
                key: int | None) -> dict[int, int]:
    """Rows at batch bounds where the last segment is cut, so that the
    decoders left idle by the last round of segments share it; each maps
    to the segment's key frame (``key``, or its first row), which a decoder
    starting there decodes from: {} when no cut pays for that."""
    parts = (-len(starts)) % workers + 1
    start = int(starts[-1])
    key = start if key is None else key
    bounds = list(range((start // size + 1) * size, count, size))
    if parts < 2 or not bounds:
        return {}

    def cost(low: int, high: int) -> float:
        return high - low + _LEAD_COST * (low - key)

    def cuts_within(limit: float) -> list[int] | None:
        cuts: list[int] = []
        low = start
        while cost(low, count) > limit:
            fitting = [b for b in bounds if b > low and cost(low, b) <= limit]
            if not fitting or len(cuts) == parts - 1:
                return None
            low = max(fitting)
            cuts.append(low)
        return cuts

    limits = sorted({cost(a, b) for a in [start, *bounds] for b in [*bounds, count] if b > a})
    for limit in limits:  # the smallest longest part
        cuts = cuts_within(limit)
        if cuts is not None:
            return dict.fromkeys(cuts, key)
    return {}


class _PieceFailed(Exception):
    """A piece's failure, the packets its decoder skipped before it and
    whether it met damage."""

    def __init__(self, error: Exception, skipped: int, damaged: bool) -> None:
        super().__init__(error)
        self.error, self.skipped, self.damaged = error, skipped, damaged


#: Frames a piece is held back for, until the pieces after it in its
#: segment show that its decoder met no damage there: a decoder decodes
#: frames ahead of their turn (H.264 reorders up to 16), so damage that
#: shows in a later frame may already have been decoded into this one.
_DAMAGE_LOOKAHEAD = 16


def _joined(reader: _Reader, workers: Workers, stream: Iterator[_Piece],
            found: list[tuple[int, npt.NDArray[np.intp]]], origins: Sequence[int],
            check: bool) -> Iterator[Any]:
    """The batches from the stream.  With ``check`` (segments not cut at
    known key frames), a segment whose first frame does not come after the
    frame before it is decoded again on the reader's decoder, going on from
    that frame, as a single decoder would have.  From the first piece that
    met damage on (and the pieces held back before it, of its segment or of
    the segments decoding from the same key frame, see _DAMAGE_LOOKAHEAD), the stream is decoded on the reader's decoder alone
    (see _alone_from)."""
    last_time = -math.inf
    last_row = -1
    redo = -1  # the segment being decoded again
    held: collections.deque[tuple[int, Any, int]] = collections.deque()  # index, frames, skipped
    behind = 0  # frames held after the first held piece
    try:
        for index, (segment, rows) in enumerate(found):
            # That segment ended clean (with the parts it was cut into).
            if held and origins[found[held[0][0]][0]] != origins[segment]:
                while held:
                    _, frames, reader.skipped_packets = held.popleft()
                    yield frames
                    del frames
                behind = 0
            try:
                piece = next(stream)
            except _PieceFailed as failed:  # as the batch's one call would fail
                if failed.damaged:
                    break
                while held:
                    _, frames, reader.skipped_packets = held.popleft()
                    yield frames
                    del frames
                reader.skipped_packets = failed.skipped
                raise failed.error from None
            if piece[3]:
                break
            starts_segment = index == 0 or found[index - 1][0] != segment
            if check and starts_segment and len(piece[1]) and piece[1].flat[0] <= last_time:
                redo = segment
            if redo == segment:
                piece = _again(reader, workers.primary, rows, last_row if starts_segment else -1)
            if len(piece[1]):
                last_time = float(piece[1].flat[-1])
            last_row = int(rows[-1])
            held.append((index, piece[0], piece[2]))
            behind += len(rows) if len(held) > 1 else 0
            del piece
            while len(held) > 1 and behind >= _DAMAGE_LOOKAHEAD:
                _, frames, reader.skipped_packets = held.popleft()
                behind -= len(found[held[0][0]][1])
                yield frames
                del frames
        else:
            while held:
                _, frames, reader.skipped_packets = held.popleft()
                yield frames
                del frames
            return
    except BaseException as error:
        if _interrupting(error):
            workers.halt_stream()
        raise
    finally:
        close = getattr(stream, "close", None)
        if close is not None:
            close()
    first = held[0][0] if held else index
    held.clear()
    yield from _alone_from(reader, workers.primary, found, first)


def _alone_from(reader: _Reader, decoder: Decoder,
                found: list[tuple[int, npt.NDArray[np.intp]]], index: int) -> Iterator[Any]:
    """The batches of ``found`` from ``index`` on, the first of which met
    damage, decoded in turn on ``decoder`` after the batches before it,
    which are decoded again from the stream start and dropped, one at a
    time.  What a decoder makes of damage (H.264's concealment) can depend
    on pictures decoded groups before it, even across key frames, so only
    a decoder that went through the batches before, as one decoder
    walking the stream does, decodes what it decodes: a damaged stream
    costs up to one more pass."""
    for _, rows in found[:index]:
        reader._read(rows, decoder)  # only to go on from
    for _, rows in found[index:]:
        try:
            frames, _ = reader._read(rows, decoder)
        finally:
            reader.skipped_packets = _skipped_by(decoder)
        yield frames
        del frames


def _skipped_by(decoder: Decoder) -> int:
    try:
        return decoder.skipped_packets()
    except RuntimeError:  # closed meanwhile
        return 0


def _again(reader: _Reader, decoder: Decoder, rows: npt.NDArray[np.intp], before: int) -> _Piece:
    """The piece decoded on ``decoder``, going on from row ``before`` (when
    not -1), which is asked for too and dropped."""
    picks = rows if before < 0 else np.concatenate([[before], rows]).astype(np.intp)
    frames, times = reader._read(picks, decoder)
    skip = 0 if before < 0 else 1
    return frames[skip:], times[skip:], decoder.skipped_packets(), _damaged(decoder)

"""One request on one decoder or on a pool of them, behind one interface
(``Calls``): ``OneDecoder`` passes it to its decoder; ``Workers`` cuts it
into runs (see ``_plan``), decodes them on the pool's decoders at once and
copies every run's frames once into their slots of the output, on the
thread that decoded them, as soon as the run ends.  The results are those
of one decoder, frame for frame and error for error.

Damage breaks the rule that a run can start anywhere: a decoder going on
through damaged packets carries what it made of them (concealed pictures,
missing references, the decoder's error state) past the next key frame,
where a decoder that seeks there starts clean.  So a request any of whose
runs met damage (packets skipped as invalid, or frames that came out
concealed or corrupt) is decoded again on the reader's decoder alone.  A
run of timestamp targets placed by the header is checked at its start
against the run before it; when the two could have answered differently
from one decoder going on, the request is decoded again on the reader's
decoder alone too.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from ._batches import ReadRows, ReportSkipped, read_batches
from ._plan import longest_first, plan_targets, plan_times, seams_ascend
from ._pool import Pool
from ._stream import Stream

if TYPE_CHECKING:
    from ._av import Decoder
    from ._locate import Locator, TableLocator

_T = TypeVar("_T")
_Batch = tuple[Any, list[float], list[float]]
Transforms = Sequence[tuple[str, int, int, int, int]]


class Calls(Protocol):
    """What a reader's request runs on: one decoder, or a pool of them."""

    def decode_video(self, targets: Sequence[tuple[int, int]], output_dtype: str, exact: bool,
                     transforms: Transforms = (), *, locator: Locator | None = None,
                     **options: Any) -> _Batch: ...

    def decode_timestamps(self, seconds: Sequence[float], output_dtype: str,
                          transforms: Transforms = (), *, frames: TableLocator | None = None,
                          **options: Any) -> _Batch: ...

    def skipped_packets(self) -> int: ...

    def stand_ins(self) -> list[int]: ...

    def batches(self, locator: Locator, read: ReadRows, report: ReportSkipped, size: int,
                count: int) -> Iterator[Any] | None:
        """The batches of a whole stream shared out, or None where they are
        not (one decoder, or a pool that cannot take them)."""


class OneDecoder:
    """A request on one decoder, which needs no hint of where frames are."""

    def __init__(self, decoder: Decoder) -> None:
        self.decoder = decoder

    def decode_video(self, targets: Sequence[tuple[int, int]], output_dtype: str, exact: bool,
                     transforms: Transforms = (), *, locator: Locator | None = None,
                     **options: Any) -> _Batch:
        return self.decoder.decode_video(targets, output_dtype, exact, transforms,  # type: ignore[arg-type]
                                         **options)

    def decode_timestamps(self, seconds: Sequence[float], output_dtype: str,
                          transforms: Transforms = (), *, frames: TableLocator | None = None,
                          **options: Any) -> _Batch:
        return self.decoder.decode_timestamps(seconds, output_dtype, transforms,  # type: ignore[arg-type]
                                              **options)

    def skipped_packets(self) -> int:
        return self.decoder.skipped_packets()

    def stand_ins(self) -> list[int]:
        return self.decoder.stand_ins()

    def batches(self, locator: Locator, read: ReadRows, report: ReportSkipped, size: int,
                count: int) -> None:
        return None


class Workers(Pool):
    """A pool that answers the requests of ``Calls``, each cut into runs."""

    def __init__(self, count: int, primary: Decoder,
                 opener: Callable[[], tuple[Decoder, Any]]) -> None:
        super().__init__(count, primary, opener)
        self._skipped: int | None = None
        self._stand_ins: list[int] | None = None

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

    def _on_primary(self, call: Callable[..., _Batch], *arguments: Any) -> _Batch:
        self.take()
        try:
            # The reader's decoder counts for itself.
            self._skipped = self._stand_ins = None
            return call(self.primary, *arguments)
        finally:
            self.give_back()

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
                     transforms: Transforms = (), *,
                     occurrences: Sequence[int] | None = None, locator: Locator | None = None,
                     **options: Any) -> _Batch:
        """``Decoder.decode_video`` cut at its seek points (see the module);
        ``locator``'s frame period weighs the runs."""
        def call(decoder: Decoder, part: Sequence[tuple[int, int]],
                 part_occurrences: Sequence[int] | None, partial: bool = False) -> _Batch:
            return decoder.decode_video(part, output_dtype, exact, transforms,  # type: ignore[arg-type]
                                        occurrences=part_occurrences, partial=partial, **options)

        contiguous = bool(options.get("seek_by_index"))
        period = None if locator is None else locator.period
        plan = plan_targets(targets, occurrences, self.shares(), contiguous, period)
        if plan is None:
            return self._on_primary(call, targets, occurrences)
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
        if results is None or (contiguous and not seams_ascend(results)):
            return self._on_primary(call, targets, occurrences)
        return output.result()

    def decode_timestamps(self, seconds: Sequence[float], output_dtype: str,
                          transforms: Transforms = (), *,
                          frames: TableLocator | None = None, **options: Any) -> _Batch:
        """``Decoder.decode_timestamps`` cut between groups of pictures
        (those of ``frames``, the exact table, when known)."""
        def call(decoder: Decoder, part: Sequence[float], partial: bool = False) -> _Batch:
            return decoder.decode_timestamps(part, output_dtype, transforms,  # type: ignore[arg-type]
                                             partial=partial, **options)

        key_times = None if frames is None else frames.key_times
        parts = plan_times(seconds, key_times, self.shares())
        if parts is None:
            return self._on_primary(call, seconds)
        output = _Output([np.arange(a, b) for a, b in parts], len(seconds))
        tally = _Tally()
        runs = [self._counted(call, output, index, tally, seconds[a:b], True)
                for index, (a, b) in enumerate(parts)]
        if self._shared(runs, tally, longest_first(parts, seconds, key_times)) is None:
            return self._on_primary(call, seconds)
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


    def batches(self, locator: Locator, read: ReadRows, report: ReportSkipped, size: int,
                count: int) -> Iterator[Any] | None:
        return read_batches(self, locator, read, report, size, count)

    def stream(self, pieces: Sequence[tuple[int, npt.NDArray[np.intp]]],
               decode: Callable[[Decoder, npt.NDArray[np.intp]], _T],
               ahead: int, helping: bool = True) -> Iterator[_T] | None:
        """The results of ``decode`` for every piece (segment number, rows),
        in order; each segment's pieces are decoded in order by one decoder,
        the segments taken in order by whichever decoder is free (the
        reader's own on the consumer's thread: see ``Stream``), at most
        ``ahead`` pieces ahead of the consumer.  None when the pool cannot
        take it (closed, or busy with a request or another stream)."""
        stream: Stream[_T] | None = self.start_stream(
            lambda: Stream(pieces, decode, ahead, self, helping))
        if stream is None:
            return None
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


"""A whole stream's batches decoded ahead by a pool's lanes while the
consumer takes them in order (see ``Stream``)."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeVar

import numpy as np
import numpy.typing as npt

from ._pool import interrupting, retire

if TYPE_CHECKING:
    from ._av import Decoder
    from ._pool import Pool

_T = TypeVar("_T")


class Stream(Generic[_T]):
    """Pieces of a stream decoded ahead by the lanes of a pool.

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
                 pool: Pool, helping: bool) -> None:
        self._pieces = pieces
        self._decode = decode
        self._ahead = ahead
        self._pool = pool
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
        lanes = self._pool.lanes(self._pool.count - 1)
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
        self._pool.end_stream(self)  # the reader is not kept alive through its pool

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
                return self._decode(self._pool.primary, self._pieces[index][1])
            self._store(own, self._pool.primary)

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
            if interrupting(error):
                self.halt()
            raise
        finally:
            self.stop()

    def halt(self) -> None:
        """Ends the stream that the consumer leaves by Ctrl-C, as a request
        left so ends (see ``Pool.run``): the pieces in progress are
        interrupted and the worker threads gone, their decoders closed,
        before this returns; the next request starts workers afresh."""
        with self._condition:
            self.finished = True
            self._done.clear()
            self._condition.notify_all()
        retire(self._pool.end_stream(self, retire_lanes=True), interrupt=True)



def _bind_lane(work: Callable[[int, Decoder | None], None], lane: int) -> Callable[[Decoder | None], None]:
    return lambda decoder: work(lane, decoder)


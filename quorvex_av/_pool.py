"""A pool of decoders of one source: the reader's own, used on the calling
thread, and worker threads ("lanes"), each with a decoder of its own,
opened on first use and kept until the pool is closed.  The pool takes one
request at a time; a request is a list of runs, each answered by one
decoder, taken in turn by whichever decoder is free.

A failure in a run fails the request with the exception of the earliest
failing run, which is the one a single decoder, walking the runs in order,
would have met first.  A request the calling thread leaves early (Ctrl-C)
interrupts the runs in progress and retires the lanes before it returns.
"""

from __future__ import annotations

import os
import queue
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

if TYPE_CHECKING:
    from ._av import Decoder

_T = TypeVar("_T")
_S = TypeVar("_S", bound="_Stopping")
# The exception a busy decoder raises; a busy pool raises it too.
BUSY = "Already borrowed"
#: How often the decoders of a request left early are asked to stop while
#: their threads end (a run that starts meanwhile misses the first request).
_POLL = 0.05


class _Counting(Protocol):
    def skipped_packets(self) -> int: ...


def skipped_by(decoder: _Counting) -> int:
    """Invalid packets the latest call of ``decoder`` (or of a pool)
    skipped; 0 once closed."""
    try:
        return decoder.skipped_packets()
    except RuntimeError:
        return 0


class _Stopping(Protocol):
    """What the pool stops on close: a stream of batches it feeds."""

    finished: bool

    def stop(self) -> None: ...

    def halt(self) -> None: ...


class _RunQueue:
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

    def next_run(self) -> int | None:
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
                index, first = (self.next_run() if first is None else first), None
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


def retire(lanes: Sequence[_Lane], interrupt: bool = False) -> None:
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



def interrupting(error: BaseException) -> bool:
    """Whether ``error`` stops the program (Ctrl-C, exit) rather than ends
    one call: not an Exception, nor the close of a generator left early."""
    return not isinstance(error, (Exception, GeneratorExit))



class Pool:
    """Up to ``count`` decoders of one source: the reader's own, used on the
    calling thread, and ``count - 1`` lanes with theirs.

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
        self._stream: _Stopping | None = None
        self._pid = os.getpid()

    def _forked(self) -> None:
        """In a forked child the worker threads are gone (their decoders are
        left to the parent, as the reader's own are): start afresh."""
        if self._pid != os.getpid():
            self._pid = os.getpid()
            self._lock = threading.Lock()  # another thread may have held it
            self._lanes, self._request, self._stream = [], False, None

    def lanes(self, wanted: int) -> list[_Lane]:
        """The first ``wanted`` lanes (at most ``count - 1``), started as needed."""
        while len(self._lanes) < min(wanted, self.count - 1):
            self._lanes.append(_Lane(self._opener, len(self._lanes) + 1))
        return self._lanes[:wanted]

    def shares(self) -> int:
        """How many decoders the next request may use: one while the
        workers are closed or feed a stream that is being read."""
        if self._closed or (self._stream is not None and not self._stream.finished):
            return 1
        return self.count

    def take(self) -> None:
        """Takes the pool for a request: RuntimeError "Already borrowed"
        while another one runs."""
        self._forked()
        with self._lock:
            if self._request:
                raise RuntimeError(BUSY)
            self._request = True

    def give_back(self) -> None:
        with self._lock:
            self._request = False

    def run(self, runs: Sequence[Callable[[Decoder], _T]],
            order: Sequence[int] | None = None) -> list[_T]:
        """Every run's result, in order (started in ``order``); the earliest
        failing run's exception."""
        self.take()
        try:
            lanes = self.lanes(min(len(runs), self.count) - 1)
        except BaseException:
            self.give_back()
            raise
        runs_left = _RunQueue(runs, len(lanes) + 1, self.give_back, order)
        # The reader's decoder takes the first run, whatever the threads do:
        # where it stands afterwards does not depend on their timing.
        first = runs_left.next_run()
        try:
            for lane in lanes:  # queued behind what a stopped stream still decodes
                lane.inbox.put(runs_left.work)
            runs_left.work(self.primary, first)
            runs_left.finished.wait()
        except BaseException:
            self._halt(runs_left)
            raise
        if runs_left.errors:
            raise runs_left.errors[min(runs_left.errors)]
        return runs_left.results

    def _halt(self, runs_left: _RunQueue) -> None:
        """Ends a request that the calling thread leaves early (Ctrl-C):
        no run starts any more, the runs in progress are interrupted, and
        the worker threads are gone, their decoders closed, and the request
        given back, before this returns.  The next request starts workers
        afresh."""
        runs_left.stop()
        with self._lock:
            lanes, self._lanes = self._lanes, []
        retire(lanes, interrupt=True)
        runs_left.end()  # in case the calling thread was stopped before it joined in

    def close(self, force: bool = False) -> None:
        """Stop the workers and close their decoders (waiting for the runs
        in progress); RuntimeError "Already borrowed" while a request runs,
        unless ``force`` (the reader is gone: nothing runs on its behalf but
        what an interrupted request left to finish)."""
        self._forked()
        with self._lock:
            if self._request and not force:
                raise RuntimeError(BUSY)
            self._closed = True
            stream, self._stream = self._stream, None
            lanes, self._lanes = self._lanes, []
        if stream is not None:
            stream.stop()
        retire(lanes)

    # -- a stream of batches fed by the lanes ----------------------------------------

    def start_stream(self, make: Callable[[], _S]) -> _S | None:
        """The stream ``make`` gives, registered as the one the lanes feed
        (one at a time, a request meanwhile gets one decoder); None while
        the pool cannot take it (closed, or busy with a request or another
        stream)."""
        self._forked()
        with self._lock:
            if self._request or self.shares() < 2:
                return None
            stream = make()
            self._stream = stream
        return stream

    def end_stream(self, stream: _Stopping, retire_lanes: bool = False) -> list[_Lane]:
        """Forgets ``stream`` (the pool does not keep it, nor its reader,
        alive); with ``retire_lanes`` also hands over every lane, for the
        caller to retire, so that the next request starts afresh."""
        with self._lock:
            lanes: list[_Lane] = []
            if retire_lanes:
                lanes, self._lanes = self._lanes, []
            if self._stream is stream:
                self._stream = None
        return lanes

    def halt_stream(self) -> None:
        """Ends the current stream of batches as Ctrl-C ends it (see
        ``_stream.Stream.halt``); nothing when there is none."""
        with self._lock:
            stream = self._stream
        if stream is not None:
            stream.halt()

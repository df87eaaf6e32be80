"""A whole stream in batches on a pool: ``VideoReader.batches`` with its
segments (see ``_plan.segments``) decoded by the pool's decoders at once
and handed over in order, with the batches one decoder would give.

Damage decoded in one part of a stream can show in the next (see
``_requests``), so a whole-stream read goes on from the first damaged
batch on the reader's decoder alone, as one decoder would have; a clean
stream keeps its segments.
"""

from __future__ import annotations

import collections
import math
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._plan import pieces, segments, split_tail
from ._pool import interrupting, skipped_by

if TYPE_CHECKING:
    from ._av import Decoder
    from ._locate import Locator
    from ._requests import Workers

#: Decodes rows on a decoder: their frames and the times it gave them.
ReadRows = Callable[["npt.NDArray[np.intp]", "Decoder"], tuple[Any, "npt.NDArray[np.float64]"]]
#: Takes the count of packets skipped by the batch handed over last.
ReportSkipped = Callable[[int], None]
#: A decoded batch: frames, times, packets skipped, whether it met damage.
DecodedBatch = tuple[Any, npt.NDArray[np.float64], int, bool]
Found = list[tuple[int, npt.NDArray[np.intp]]]


def read_batches(workers: Workers, locator: Locator, read: ReadRows, report: ReportSkipped,
                 size: int, count: int) -> Iterator[Any] | None:
    """The batches of ``size`` rows of ``count`` with their segments decoded
    by the workers at once, or None when they cannot take it."""
    if count <= size:
        return None
    starts, inside = segments(locator, size)
    if len(starts) < 2:
        return None
    # Output held ahead of the consumer: about one segment per worker.
    longest = int(np.diff(np.append(starts, count)).max())
    ahead = workers.count * max(1, math.ceil(longest / size)) + 1
    table = locator.exact
    if table:
        tail = split_tail(starts, size, count, workers.count, inside.get(int(starts[-1])))
        inside.update(tail)
        starts = np.union1d(starts, list(tail)).astype(np.intp)
    found = pieces(starts, size, count)

    def decode(decoder: Decoder, rows: npt.NDArray[np.intp]) -> DecodedBatch:
        try:
            frames, times = read(rows, decoder)
        except Exception as error:
            raise _BatchFailed(error, decoder.skipped_packets(), _damaged(decoder)) from None
        return frames, times, decoder.skipped_packets(), _damaged(decoder)

    # Without a table a segment may be decoded again on the reader's own
    # decoder (see _in_order), which then must not be half-way through another.
    stream = workers.stream(found, decode, ahead, helping=table)
    if stream is None:
        return None
    # The row each segment decodes from: the parts of a cut tail share one,
    # and damage decoded in a part may show in the part before it.
    origins = [inside.get(int(start), int(start)) for start in starts.tolist()]
    return _in_order(read, report, workers, stream, found, origins, check=not table)


def _damaged(decoder: Decoder) -> bool:
    """Whether the decoder's latest call met damage (see the module)."""
    return bool(decoder.skipped_packets() or decoder.damaged_frames())



class _BatchFailed(Exception):
    """A batch's failure, the packets its decoder skipped before it and
    whether it met damage."""

    def __init__(self, error: Exception, skipped: int, damaged: bool) -> None:
        super().__init__(error)
        self.error, self.skipped, self.damaged = error, skipped, damaged


#: Frames a piece is held back for, until the pieces after it in its
#: segment show that its decoder met no damage there: a decoder decodes
#: frames ahead of their turn (H.264 reorders up to 16), so damage that
#: shows in a later frame may already have been decoded into this one.
_DAMAGE_LOOKAHEAD = 16
#: Batches held back: (index, frames, packets skipped).
_Held = collections.deque[tuple[int, Any, int]]


def _release(held: _Held, report: ReportSkipped) -> Iterator[Any]:
    """Every batch held back, in order."""
    while held:
        _, frames, skipped = held.popleft()
        report(skipped)
        yield frames
        del frames


def _in_order(read: ReadRows, report: ReportSkipped, workers: Workers,
              stream: Iterator[DecodedBatch], found: Found, origins: Sequence[int],
              check: bool) -> Iterator[Any]:
    """The batches from the stream.  With ``check`` (segments not cut at
    known key frames), a segment whose first frame does not come after the
    frame before it is decoded again on the reader's decoder, going on from
    that frame, as a single decoder would have.  From the first piece that
    met damage on (and the pieces held back before it, of its segment or of
    the segments decoding from the same key frame, see _DAMAGE_LOOKAHEAD),
    the stream is decoded on the reader's decoder alone (see
    _on_one_decoder_from)."""
    last_time = -math.inf
    last_row = -1
    redo = -1  # the segment being decoded again
    held: _Held = collections.deque()
    behind = 0  # frames held after the first held piece
    try:
        for index, (segment, rows) in enumerate(found):
            # That segment ended clean (with the parts it was cut into).
            if held and origins[found[held[0][0]][0]] != origins[segment]:
                yield from _release(held, report)
                behind = 0
            try:
                piece = next(stream)
            except _BatchFailed as failed:  # as the batch's one call would fail
                if failed.damaged:
                    break
                yield from _release(held, report)
                report(failed.skipped)
                raise failed.error from None
            if piece[3]:
                break
            starts_segment = index == 0 or found[index - 1][0] != segment
            if check and starts_segment and len(piece[1]) and piece[1].flat[0] <= last_time:
                redo = segment
            if redo == segment:
                piece = _decoded_going_on(read, workers.primary, rows,
                                          last_row if starts_segment else -1)
            if len(piece[1]):
                last_time = float(piece[1].flat[-1])
            last_row = int(rows[-1])
            held.append((index, piece[0], piece[2]))
            behind += len(rows) if len(held) > 1 else 0
            del piece
            while len(held) > 1 and behind >= _DAMAGE_LOOKAHEAD:
                _, frames, skipped = held.popleft()
                report(skipped)
                behind -= len(found[held[0][0]][1])
                yield frames
                del frames
        else:
            yield from _release(held, report)
            return
    except BaseException as error:
        if interrupting(error):
            workers.halt_stream()
        raise
    finally:
        close = getattr(stream, "close", None)
        if close is not None:
            close()
    first = held[0][0] if held else index
    held.clear()
    yield from _on_one_decoder_from(read, report, workers.primary, found, first)


def _on_one_decoder_from(read: ReadRows, report: ReportSkipped, decoder: Decoder,
                         found: Found, index: int) -> Iterator[Any]:
    """The batches of ``found`` from ``index`` on, the first of which met
    damage, decoded in turn on ``decoder`` after the batches before it,
    which are decoded again from the stream start and dropped, one at a
    time.  What a decoder makes of damage (H.264's concealment) can depend
    on pictures decoded groups before it, even across key frames, so only
    a decoder that went through the batches before, as one decoder
    walking the stream does, decodes what it decodes: a damaged stream
    costs up to one more pass."""
    for _, rows in found[:index]:
        read(rows, decoder)  # only to go on from
    for _, rows in found[index:]:
        try:
            frames, _ = read(rows, decoder)
        finally:
            report(skipped_by(decoder))
        yield frames
        del frames


def _decoded_going_on(read: ReadRows, decoder: Decoder, rows: npt.NDArray[np.intp],
                      before: int) -> DecodedBatch:
    """The piece decoded on ``decoder``, going on from row ``before`` (when
    not -1), which is asked for too and dropped."""
    picks = rows if before < 0 else np.concatenate([[before], rows]).astype(np.intp)
    frames, times = read(picks, decoder)
    skip = 0 if before < 0 else 1
    return frames[skip:], times[skip:], decoder.skipped_packets(), _damaged(decoder)

"""Pure planning of shared requests: how the targets or times of one
request are cut into runs that decoders can answer on their own, in what
order the runs are handed out, and where a whole-stream read is cut into
segments.  Nothing here decodes.

Between two targets with different seek points the extension seeks
anyway, so a cut there changes nothing but which decoder does the work.
Where seek points say nothing (a request placed by the header alone, or
times in seconds without a frame table) the sorted targets are cut into
contiguous runs of about equal cost: each run starts with a seek, which may
decode the group it starts in a second time.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._locate import Locator


@dataclass
class TargetPlan:
    targets: list[tuple[int, int]]       # distinct targets, ascending
    occurrences: list[int] | None
    runs: list[range]                    # indices into targets
    slots: list[npt.NDArray[np.intp]]    # output positions of each run's results
    order: list[int]                     # the runs, costliest first


def plan_targets(targets: Sequence[tuple[int, int]], occurrences: Sequence[int] | None,
                  workers: int, contiguous: bool, period: float | None) -> TargetPlan | None:
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
    return TargetPlan([(int(p), int(s)) for p, s in zip(u_pts, u_seek)],
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


def plan_times(seconds: Sequence[float], key_times: npt.NDArray[np.float64] | None,
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


def longest_first(parts: Sequence[tuple[int, int]], seconds: Sequence[float],
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


def seams_ascend(results: Sequence[list[float]]) -> bool:
    """Whether each run's first frame comes after the run before it's last:
    then going on from that frame would have found the same one."""
    last = -math.inf
    for times in results:
        if times:
            if times[0] <= last:
                return False
            last = times[-1]
    return True


def segments(locator: Locator, size: int) -> tuple[npt.NDArray[np.intp], dict[int, int]]:
    """First rows of the segments that ``batches`` shares out, all at batch
    bounds, so that every batch is one decoder's: from a frame table, the
    first bound at or after each row where a decoder may start on its own
    (``Locator.decode_starts``) at least ``size`` frames after the segment
    before; without one (key frames unknown), every 4 x ``size`` rows.
    Also each start that is no such row, mapped to the one before it, from
    which its decoder decodes."""
    count = len(locator)
    found = locator.decode_starts()
    if found is None:
        return np.arange(0, count, 4 * size, dtype=np.intp), {}
    keys = np.concatenate([[0], found]).astype(np.intp)
    starts, inside = [0], {}
    for row in found.tolist():
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


#: What decoding a frame that is not output costs, against one that is
#: (converted to RGB too): what a segment started inside a group of
#: pictures pays for each frame from the group's key frame.
_LEAD_COST = 0.5


def split_tail(starts: npt.NDArray[np.intp], size: int, count: int, workers: int,
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

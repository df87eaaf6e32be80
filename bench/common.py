"""Shared pieces of the benchmark: what a job is, what a run returns, timing
and comparison helpers.

A *job* describes one measurement (a clip plus what to do with it) and
carries facts worked out beforehand, untimed, from this library's packet scan:
every frame's timestamp and the key frame it depends on.  Every library gets
the same job; each adapter module (``lib_*.py``) turns it into calls of its
own library and returns a ``Run``: the seconds the timed part took and an
``Output`` small enough to keep (timestamps of every frame, copies of a few
"probe" frames, or the audio samples) so that the libraries' results can be
compared afterwards.
"""

from __future__ import annotations

import bisect
import statistics
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

# Levels (of 255) by which the same frame may differ between libraries on
# average.  At full size all of them convert with the same colour-conversion
# library and settings, so they agree exactly; neighbouring frames of the
# clips differ by about 4 levels on average, so 1 level also tells frames
# apart.  Resized frames differ more: this library converts to RGB at full
# size and then scales, PyAV scales and converts in one pass, OpenCV uses its
# own bilinear filter, so only a coarse bound is meaningful there and the
# timestamps tell the frames apart.
FULL_SIZE_TOLERANCE = 1.0
RESIZED_TOLERANCE = 6.0
TIME_TOLERANCE = 1e-3        # seconds
AUDIO_LENGTH_TOLERANCE = 4   # samples
AUDIO_MIN_CORRELATION = 0.999


@dataclass
class Job:
    """One measurement's input; the frame facts come from an untimed scan."""

    path: Path
    pts: list[int] = field(default_factory=list)        # every frame, in presentation order
    keys: list[int] = field(default_factory=list)       # key frame each frame decodes from
    time_base: float = 0.0
    width: int = 0
    height: int = 0
    probes: frozenset[int] = frozenset()   # positions (in the output) whose pixels are kept
    indices: list[int] = field(default_factory=list)    # random_16: frame indices wanted
    seconds: list[float] = field(default_factory=list)  # times_32: times wanted
    size: tuple[int, int] = (0, 0)          # resize_224: (height, width)
    threads: int = 1                        # decoding threads; 0: the library's automatic choice
    end: float = 0.0                        # end of the last frame, seconds
    workers: int = 1                        # this library's decoders per reader (VideoReader workers=)
    table: Any = None                       # this library's frame index, from the untimed scan
    stride: int = 1                         # keep every stride-th frame of a request's output

    @property
    def frame_count(self) -> int:
        return len(self.pts)

    def key_positions(self) -> list[int]:
        """Key frame pts values, sorted."""
        return sorted(set(self.keys))

    def shown_at(self, second: float) -> int:
        """Index of the frame shown at ``second``: the last one starting at or before it."""
        starts = [p * self.time_base for p in self.pts]
        return max(bisect.bisect_right(starts, second + 1e-9) - 1, 0)


@dataclass
class Output:
    times: list[float] | None = None            # presentation time of every frame returned
    frames: dict[int, np.ndarray] = field(default_factory=dict)   # probe position -> RGB frame
    count: int | None = None                    # frames produced (when times are unknown)
    samples: np.ndarray | None = None           # audio: (N,) float32
    note: str = ""                              # e.g. accuracy remarks


@dataclass
class Run:
    seconds: float
    output: Output


class Clock:
    """``with Clock() as clock: ...`` then ``clock.seconds``."""

    def __enter__(self):
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        return False


def median(values) -> float:
    return statistics.median(values)


def keep_probe(frames: dict, position: int, probes, frame: np.ndarray) -> None:
    """Keep a copy of ``frame`` if ``position`` is a probe (a copy, so that a
    whole batch is not held alive by a view into it)."""
    if position in probes:
        frames[position] = np.array(frame, copy=True)


def probe_positions(count: int, wanted: int = 6) -> frozenset[int]:
    if count <= wanted:
        return frozenset(range(count))
    return frozenset(round(i * (count - 1) / (wanted - 1)) for i in range(wanted))


def mean_abs_diff(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.abs(a.astype(np.int16) - b.astype(np.int16)).mean())


def compare_video(ref: Output, other: Output, tolerance: float) -> tuple[str, float | None]:
    """Differences of ``other`` from the reference output: a short description
    (empty when they agree) and the worst per-frame mean difference in levels."""
    problems = []
    if ref.times is not None and other.times is not None:
        if len(other.times) != len(ref.times):
            problems.append(f"{len(other.times)} frames instead of {len(ref.times)}")
        else:
            off = sum(abs(a - b) > TIME_TOLERANCE for a, b in zip(ref.times, other.times))
            if off:
                problems.append(f"{off}/{len(ref.times)} timestamps differ")
    elif other.count is not None:
        ref_count = len(ref.times) if ref.times is not None else ref.count
        if ref_count is not None and other.count != ref_count:
            problems.append(f"{other.count} frames instead of {ref_count}")
    worst = None
    shared = sorted(set(ref.frames) & set(other.frames))
    bad = 0
    for position in shared:
        a, b = ref.frames[position], other.frames[position]
        if a.shape != b.shape:
            problems.append(f"shape {b.shape} instead of {a.shape}")
            break
        diff = mean_abs_diff(a, b)
        worst = diff if worst is None else max(worst, diff)
        bad += diff >= tolerance
    if bad:
        problems.append(f"{bad}/{len(shared)} frames differ by up to {worst:.1f} levels")
    if other.note:
        problems.append(other.note)
    return "; ".join(problems), worst


def compare_audio(ref: Output, other: Output) -> tuple[str, float | None]:
    a, b = ref.samples, other.samples
    problems = []
    if abs(len(a) - len(b)) > AUDIO_LENGTH_TOLERANCE:
        problems.append(f"{len(b)} samples instead of {len(a)}")
    n = min(len(a), len(b))
    correlation = float(np.corrcoef(a[:n], b[:n])[0, 1]) if n > 1 else float("nan")
    if not correlation >= AUDIO_MIN_CORRELATION:
        problems.append(f"correlation {correlation:.4f}")
    return "; ".join(problems), correlation


def pair_with_keys(scan) -> tuple[list[int], list[int]]:
    """Frame timestamps and, for each, the key frame at or before it, from a
    ``Decoder.scan()`` result (sorted by pts)."""
    pts, keys = [], []
    key = None
    for value, _, is_key in scan:
        if is_key or key is None:
            key = value
        pts.append(value)
        keys.append(key)
    return pts, keys


def groups_of(pts, keys) -> list[list[tuple[int, int]]]:
    """(pts, key pts) targets, one list per key frame, in presentation order."""
    groups: dict[int, list[tuple[int, int]]] = {}
    for value, key in zip(pts, keys):
        groups.setdefault(key, []).append((value, key))
    return list(groups.values())

"""Where frame ``i`` is: the ``Locator`` protocol that a reader's requests,
its workers' plans and the Ray planner ask, implemented over the exact
table of a scan or a saved index (``TableLocator``) and over the header's
nominal frames in approximate mode (``NominalFrames``), and the rules that
every path shares: which frame is shown at a time, where a decoder may
start decoding on its own, and how many frames the header counts.
"""

from __future__ import annotations

import functools
import math
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from ._checks import seconds_text

if TYPE_CHECKING:
    from ._av import VideoStreamMetadata
    from .frame_table import FrameTable

Targets = tuple[list[tuple[int, int]], "list[int] | None"]


class Locator(Protocol):
    """What places the frames of a stream for a reader."""

    #: Whether the frames are those of a table (exact), not nominal ones.
    exact: bool

    def __len__(self) -> int: ...

    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Presentation time in seconds of every frame, in index order."""

    @property
    def durations(self) -> npt.NDArray[np.float64]: ...

    @property
    def end(self) -> float:
        """End of the last frame, in seconds (0 without frames)."""

    @property
    def key_frames(self) -> int | None:
        """How many frames are key frames (None where unknown)."""

    @property
    def fps(self) -> float | None:
        """The frames' mean rate (None where it cannot be measured)."""

    @property
    def period(self) -> float | None:
        """Ticks from one frame to the next, on average (None where unknown)."""

    def targets(self, picks: npt.NDArray[np.intp]) -> Targets:
        """(pts, seek point) of the frames at these rows, and their
        occurrences among frames sharing a timestamp (None: none share)."""

    def decode_starts(self) -> npt.NDArray[np.intp] | None:
        """Rows after the first at which a decoder may start on its own
        (see ``decode_starts``); None where key frames are unknown."""


class TableLocator:
    """A ``FrameTable`` as a ``Locator``."""

    exact = True

    def __init__(self, table: FrameTable) -> None:
        self.table = table

    def __len__(self) -> int:
        return len(self.table)

    @property
    def times(self) -> npt.NDArray[np.float64]:
        return self.table.times

    @property
    def durations(self) -> npt.NDArray[np.float64]:
        return self.table.durations

    @property
    def end(self) -> float:
        return self.table.end

    @property
    def key_frames(self) -> int | None:
        return self.table.key_frames

    @property
    def fps(self) -> float | None:
        """(frames - 1) / (last time - first time), in whole ticks for a
        round result."""
        table, count = self.table, len(self.table)
        ticks = int(table.pts[-1] - table.pts[0]) if count else 0
        if count < 2 or ticks <= 0:
            return None
        num, den = table.time_base
        return (count - 1) * den / (ticks * num)

    @property
    def period(self) -> float | None:
        table, count = self.table, len(self.table)
        if count < 2:
            return None
        span = float(table.pts[-1] - table.pts[0])
        return span / (count - 1) if span > 0 else None

    @functools.cached_property
    def key_times(self) -> npt.NDArray[np.float64]:
        """Times of the key frames."""
        return self.table.times[self.table.key]

    def targets(self, picks: npt.NDArray[np.intp]) -> Targets:
        return self.table.targets(picks)

    def decode_starts(self) -> npt.NDArray[np.intp]:
        return decode_starts(self.table)


def decode_starts(table: FrameTable) -> npt.NDArray[np.intp]:
    """Rows after the first whose frame a decoder seeking there decodes
    first: frames that decode from themselves (their seek point is their
    own time) and do not share the timestamp of the frame before (frames
    of one timestamp are told apart by counting from a seek point before
    them all).  Runs of frames cut at these rows decode as the whole does."""
    starts = np.flatnonzero(table.pts == table.seek)
    starts = starts[starts > 0]
    found: npt.NDArray[np.intp] = starts[table.pts[starts] != table.pts[starts - 1]].astype(np.intp)
    return found


def header_frame_count(count: int | None, fps: float | None, duration: float | None,
                       start: float | None, container_duration: float | None) -> int | None:
    """How many frames the header says the stream has: its own count, else
    its duration (or the container's, from the stream's start) x its rate;
    None when it says neither."""
    if count is not None:
        return int(count)
    if fps is None or not math.isfinite(fps) or fps <= 0:
        return None
    if duration is None:
        # The container's duration runs from its own start, taken as 0.
        first = 0.0 if start is None else start
        duration = None if container_duration is None else container_duration - max(first, 0.0)
    if duration is None or duration <= 0:
        return None
    return max(round(duration * fps), 0)


class NominalFrames:
    """The frames a stream's header promises: ``count`` frames ``1 / fps``
    apart from the header's start time.  Frame ``i`` is asked for as the
    first frame at or after its nominal time less half a frame period,
    decoded from the key frame at or before a quarter period after its
    nominal time, so that a key frame on its time (give or take the
    rounding of a muxer) is landed on; the decoder goes on from the
    previous frame unless the container's index lists a key frame in
    between.  (Where that seek lands after the frame, as past the last
    frame of an FLV file, the reader asks again from half a period earlier.)
    Arrays over all frames are made only when asked for: a request works
    out its own frames alone."""

    exact = False
    key_frames = None

    def __init__(self, count: int, fps: float, start_ticks: int, time_base: tuple[int, int]) -> None:
        self.count, self.fps, self.start_ticks, self.time_base = count, fps, start_ticks, time_base
        self.period = time_base[1] / (fps * time_base[0])  # ticks per frame

    def _pts(self, steps: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        return self.start_ticks + np.round(steps * self.period).astype(np.int64)

    @functools.cached_property
    def times(self) -> npt.NDArray[np.float64]:
        """Nominal times, rounded to ticks as a muxer stores them."""
        num, den = self.time_base
        result: npt.NDArray[np.float64] = self._pts(np.arange(self.count, dtype=np.float64)).astype(
            np.float64) * num / den
        return result

    @functools.cached_property
    def durations(self) -> npt.NDArray[np.float64]:
        return np.full(self.count, 1.0 / self.fps)

    @classmethod
    def from_header(cls, header: VideoStreamMetadata) -> NominalFrames | None:
        """The nominal frames, or None when the header lacks the rate or
        both a frame count and a duration."""
        fps = header["average_fps_from_header"]
        if fps is None or not math.isfinite(fps) or fps <= 0:
            return None
        num, den = header["time_base_num"], header["time_base_den"]
        begin = header["begin_stream_seconds_from_header"]
        start = 0.0 if begin is None else begin
        count = header["num_frames_from_header"]
        duration = header["duration_seconds_from_header"]
        if count is not None and duration is not None and duration > 0:
            # A base rate that does not fit the count and the duration (a
            # variable rate) gives way to their mean rate.
            if abs(count - duration * fps) > max(2.0, 0.01 * count):
                fps = count / duration
        count = header_frame_count(count, fps, duration, begin, header["container_duration"])
        if count is None:
            return None
        return cls(count, fps, round(start * den / num), (num, den))

    def __len__(self) -> int:
        return self.count

    @property
    def end(self) -> float:
        if not self.count:
            return 0.0
        num, den = self.time_base
        return float(self._pts(np.array([self.count - 1.0]))[0]) * num / den + 1.0 / self.fps

    def targets(self, picks: npt.NDArray[np.intp]) -> Targets:
        steps = picks.astype(np.float64)
        wanted = self.start_ticks + np.ceil((steps - 0.5) * self.period).astype(np.int64)
        seek = self.start_ticks + np.floor((steps + 0.25) * self.period).astype(np.int64)
        return list(zip(wanted.tolist(), seek.tolist())), None

    def decode_starts(self) -> None:
        return None


def shown_index(times: npt.NDArray[np.float64], at: npt.ArrayLike) -> npt.NDArray[np.intp]:
    """Row of the frame shown at each time ``at``, for frames at ``times``
    (sorted): the last frame whose time is at or before it, so the last of
    frames sharing a time; -1 before the first frame.  The rule by which the
    extension's ``decode_timestamps`` picks its frames, on a frame table."""
    return (np.searchsorted(times, at, side="right") - 1).astype(np.intp)


def outside_error(locator: Locator, seconds: npt.NDArray[np.float64]) -> IndexError | None:
    """IndexError naming the first time at which no frame is shown (before
    the first frame, at or after the last one's end); None when all are
    inside."""
    times = locator.times
    if not times.size:
        return IndexError("the video has no frames")
    start, end = float(times[0]), locator.end
    outside = ~((seconds >= start) & (seconds < end))  # NaN is outside
    if not outside.any():
        return None
    return IndexError(
        f"no frame is shown at {seconds_text(float(seconds[outside][0]))} s: "
        f"valid times are [{seconds_text(start)}, {seconds_text(end)}) s")

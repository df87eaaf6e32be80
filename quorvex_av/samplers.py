"""Clips for training: ``num_clips`` clips of ``frames_per_clip`` frames from
one video, at random or evenly spread positions, chosen by frame index or by
time.

Every sampler works out all the frames it needs first, checks the request,
and then decodes them in one call of the reader (its seek mode or saved
frame index decides how frames are found; see ``VideoReader``): each frame wanted by
several clips is decoded once and copied where it repeats, and each group of
pictures that holds a wanted frame is visited once, in order.

Clips never run past the end of the range they are drawn from (by default
the whole video): the positions a clip may start at are those from which
all of its frames fit.  A range too short for a single clip raises
ValueError; frames are never repeated or wrapped around to fill a clip.
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, TypeAlias, Union

import numpy as np
import numpy.typing as npt

from ._checks import at_least_one, finite_seconds, integer, seconds_text
from ._locate import shown_index
from ._types import Frames
from .video import VideoReader

__all__ = [
    "Clips",
    "Seed",
    "clips_at_random_indices",
    "clips_at_random_times",
    "clips_at_regular_indices",
    "clips_at_regular_times",
]

#: What makes a random draw reproducible: an integer seed (or a
#: ``SeedSequence``), or a NumPy ``Generator`` to draw from; None draws
#: fresh entropy.
Seed: TypeAlias = Union[int, np.random.SeedSequence, np.random.Generator, None]

# A sampling time this close below a frame's start counts as that frame's:
# sums of frame periods then land on the frames they reach despite rounding.
_TIME_SLACK = 1e-9


@dataclass(frozen=True, eq=False)
class Clips:
    """Clips of one video, in the order of their first frame.

    ``frames`` is (clips, frames per clip, height, width, channels) in the
    reader's dtype, rotation, crop and resize; ``indices`` and ``times`` are
    (clips, frames per clip): each frame's index in presentation order and
    its own start time in seconds.
    """

    frames: Frames
    indices: npt.NDArray[np.intp]
    times: npt.NDArray[np.float64]

    def __len__(self) -> int:
        return len(self.indices)


def _frame_count(frames: int) -> str:
    return f"{frames} frame{'s' if frames != 1 else ''}"


def _index_starts(reader: VideoReader, frames_per_clip: int, step: int,
                  start: int | None, stop: int | None) -> tuple[int, int]:
    """First and last frame a clip may start at so that all of its frames
    lie in [start, stop)."""
    count = len(reader)
    if not count:
        raise ValueError("the video has no frames")
    bounds = []
    for name, value, default in (("start", start, 0), ("stop", stop, count)):
        if value is None:
            bounds.append(default)
            continue
        index = integer(name, value)
        if not -count <= index <= count:
            raise ValueError(f"{name} {index} is out of range: the video has {_frame_count(count)}, "
                             f"valid values are {-count} to {count}")
        bounds.append(index + count if index < 0 else index)
    low, high = bounds
    if high <= low:
        raise ValueError(f"no frames between start ({low}) and stop ({high})")
    span = (frames_per_clip - 1) * step + 1
    if high - low < span:
        clips = f"clips of {frames_per_clip} frames"
        if step > 1:
            clips += f", {step} apart, span {span} frames and"
        where = (f"the video's {_frame_count(count)}" if (low, high) == (0, count)
                 else f"frames {low} to {high - 1} ({_frame_count(high - low)})")
        raise ValueError(f"{clips} do not fit in {where}")
    return low, high - span


def _decode(reader: VideoReader, indices: npt.NDArray[np.intp]) -> Clips:
    """The frames at ``indices`` (clips, frames), in one decoding call: the
    reader's decoder answers repeated frames with one decoding, and any
    order with one pass.  The times are those of the frames decoded (in
    approximate seek mode, not the nominal ones)."""
    frames, times = reader.read_with_times(indices)
    return Clips(frames, indices, times)


def _clip_indices(starts: npt.NDArray[np.int64], frames_per_clip: int, step: int) -> npt.NDArray[np.intp]:
    offsets = np.arange(frames_per_clip, dtype=np.intp) * step
    result: npt.NDArray[np.intp] = starts.astype(np.intp)[:, None] + offsets
    return result


def clips_at_random_indices(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                            step: int = 1, start: int | None = None, stop: int | None = None,
                            seed: Seed = None) -> Clips:
    """``num_clips`` clips of ``frames_per_clip`` frames, ``step`` frames
    apart, starting at random frames.

    Every frame of every clip lies in [start, stop) (frame indices, negative
    ones counting from the end; default: the whole video).  Start frames are
    drawn uniformly and independently, so clips may overlap or repeat; the
    clips come sorted by their start.  ``seed`` makes the draw reproducible.
    """
    num_clips, frames_per_clip, step = _index_arguments(num_clips, frames_per_clip, step)
    rng = np.random.default_rng(seed)
    first, last = _index_starts(reader, frames_per_clip, step, start, stop)
    starts = np.sort(rng.integers(first, last, size=num_clips, endpoint=True))
    return _decode(reader, _clip_indices(starts, frames_per_clip, step))


def clips_at_regular_indices(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                             step: int = 1, start: int | None = None,
                             stop: int | None = None) -> Clips:
    """``num_clips`` clips of ``frames_per_clip`` frames, ``step`` frames
    apart, spread evenly over [start, stop) (frame indices, as for
    ``clips_at_random_indices``).

    The first clip starts at ``start`` and the last one ends on the last
    frame before ``stop``; the others start evenly between them, rounded
    down to a frame.  A single clip starts at ``start``.  When there are
    fewer positions than clips, clips repeat.
    """
    num_clips, frames_per_clip, step = _index_arguments(num_clips, frames_per_clip, step)
    first, last = _index_starts(reader, frames_per_clip, step, start, stop)
    spread = np.arange(num_clips, dtype=np.int64) * (last - first)
    starts = first + (spread // (num_clips - 1) if num_clips > 1 else spread)
    return _decode(reader, _clip_indices(starts, frames_per_clip, step))


def _time_starts(reader: VideoReader, frames_per_clip: int, seconds_between_frames: float | None,
                 start: float | None, stop: float | None) -> tuple[float, float, float, float]:
    """(start, latest clip start (excluded), time between frames, stop) for
    clips whose sampling times all lie in [start, stop)."""
    times = reader.times
    if not times.size:
        raise ValueError("the video has no frames")
    first, end = float(times[0]), float(times[-1] + reader.durations[-1])
    valid = f"valid times are [{seconds_text(first)}, {seconds_text(end)}) s"
    low = first if start is None else finite_seconds("start", start)
    high = end if stop is None else finite_seconds("stop", stop)
    if not first <= low < end:
        raise ValueError(f"start {seconds_text(low)} s is outside the video: {valid}")
    if not first < high <= end:
        raise ValueError(f"stop {seconds_text(high)} s is outside the video: {valid}")
    if high <= low:
        raise ValueError(f"stop ({seconds_text(high)} s) must be after start ({seconds_text(low)} s)")
    if seconds_between_frames is None:
        fps = reader.metadata.fps
        if frames_per_clip > 1 and not fps:
            raise ValueError("the video's frame rate is unknown: give seconds_between_frames")
        seconds_between_frames = 1 / fps if fps else 0.0
    span = (frames_per_clip - 1) * seconds_between_frames
    if high - span <= low:
        between, low_text, high_text = (seconds_text(value)
                                        for value in (seconds_between_frames, low, high))
        raise ValueError(
            f"a clip of {_frame_count(frames_per_clip)} {between} s apart spans "
            f"{seconds_text(span)} s, too long for the range [{low_text}, {high_text}) s")
    return low, high - span, seconds_between_frames, high


def _shown(reader: VideoReader, starts: npt.NDArray[np.float64], frames_per_clip: int,
           seconds_between_frames: float, stop: float) -> Clips:
    """Clips of the frames shown at ``starts`` + k x the time between frames."""
    sampling = starts[:, None] + np.arange(frames_per_clip) * seconds_between_frames
    # Rounding must not carry a sampling time to the end of the range.
    np.minimum(sampling, np.nextafter(stop, -math.inf), out=sampling)
    return _decode(reader, shown_index(reader.times, sampling + _TIME_SLACK))


def clips_at_random_times(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                          seconds_between_frames: float | None = None,
                          start: float | None = None, stop: float | None = None,
                          seed: Seed = None) -> Clips:
    """``num_clips`` clips of the frames shown at ``frames_per_clip`` times
    ``seconds_between_frames`` apart (default: one frame period at the
    stream's mean rate), each clip starting at a random time.

    All sampling times lie in [start, stop) seconds (default: from the first
    frame's time to the end of the last frame).  Start times are drawn
    uniformly and independently; the clips come sorted by their start.  The
    frame taken at a time is the one shown then, as for ``VideoReader.at``.
    """
    num_clips, frames_per_clip, seconds_between_frames = _time_arguments(
        frames_per_clip, seconds_between_frames, num_clips=num_clips)
    rng = np.random.default_rng(seed)
    low, latest, between, high = _time_starts(reader, frames_per_clip, seconds_between_frames,
                                              start, stop)
    starts = np.sort(low + rng.random(num_clips) * (latest - low))
    return _shown(reader, starts, frames_per_clip, between, high)


def clips_at_regular_times(reader: VideoReader, seconds_between_clip_starts: float,
                           frames_per_clip: int, *, seconds_between_frames: float | None = None,
                           start: float | None = None, stop: float | None = None) -> Clips:
    """Clips of the frames shown at ``frames_per_clip`` times
    ``seconds_between_frames`` apart, one clip starting every
    ``seconds_between_clip_starts`` from ``start`` on, as many as fit in
    [start, stop) seconds (defaults as for ``clips_at_random_times``)."""
    _, frames_per_clip, seconds_between_frames = _time_arguments(
        frames_per_clip, seconds_between_frames, period=seconds_between_clip_starts)
    period = float(seconds_between_clip_starts)
    low, latest, between, high = _time_starts(reader, frames_per_clip, seconds_between_frames,
                                              start, stop)
    count = max(math.ceil((latest - low) / period), 1)
    starts = low + np.arange(count, dtype=np.float64) * period
    return _shown(reader, starts[starts < latest], frames_per_clip, between, high)


# -- arguments that need no video --------------------------------------------------


def _index_arguments(num_clips: int, frames_per_clip: int, step: int) -> tuple[int, int, int]:
    return (at_least_one("num_clips", num_clips), at_least_one("frames_per_clip", frames_per_clip),
            at_least_one("step", step))


def _time_arguments(frames_per_clip: int, seconds_between_frames: float | None, *,
                    num_clips: int = 1, period: float = 1.0) -> tuple[int, int, float | None]:
    num_clips = at_least_one("num_clips", num_clips)
    finite_seconds("seconds_between_clip_starts", period, positive=True)
    frames_per_clip = at_least_one("frames_per_clip", frames_per_clip)
    if seconds_between_frames is not None:
        seconds_between_frames = finite_seconds("seconds_between_frames", seconds_between_frames, True)
    return num_clips, frames_per_clip, seconds_between_frames


def check_sampler_arguments(sampler: Callable[..., Clips], arguments: Mapping[str, Any]) -> None:
    """Raise what the sampler would raise for its arguments before reading
    any video: TypeError for names it does not take (any sampler), and
    for the samplers here bad counts, steps or periods."""
    inspect.signature(sampler).bind(None, **arguments)
    get = arguments.get
    if sampler in (clips_at_random_indices, clips_at_regular_indices):
        _index_arguments(get("num_clips", 1), get("frames_per_clip", 1), get("step", 1))
    elif sampler in (clips_at_random_times, clips_at_regular_times):
        _time_arguments(get("frames_per_clip", 1), get("seconds_between_frames"),
                        num_clips=get("num_clips", 1), period=get("seconds_between_clip_starts", 1.0))

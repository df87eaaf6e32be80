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

With ``audio=`` every clip comes with the sound played during it: a fixed
number of samples from the clip's first frame's time on (see ``ClipAudio``).
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias, Union

import numpy as np
import numpy.typing as npt

from ._checks import at_least_one, finite_seconds, integer, seconds_text
from ._locate import shown_index
from ._types import Frames, Source
from .audio import AudioReader
from .errors import StreamNotFoundError
from .video import VideoReader

__all__ = [
    "ClipAudio",
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
    its own start time in seconds.  ``audio`` is (clips, channels, samples),
    float32, the sound of each clip when the sampler was given ``audio=``
    (see ``ClipAudio``), else None.
    """

    frames: Frames
    indices: npt.NDArray[np.intp]
    times: npt.NDArray[np.float64]
    audio: npt.NDArray[np.float32] | None = None

    def __len__(self) -> int:
        return len(self.indices)


@dataclass(frozen=True)
class ClipAudio:
    """The sound a sampler returns with each clip (``audio=``; a pair
    ``(sample_rate, channels)`` stands for ``ClipAudio(sample_rate,
    channels)``).

    Samples are resampled to ``sample_rate`` and mixed to ``channels``, from
    the source's best audio stream or ``stream_index``, read by an
    ``AudioReader`` opened on the video reader's source (see
    ``VideoReader.open_audio``) or on ``source`` when given (a second file
    object of the same media, or a file of its own on the video's clock).

    Each clip gets ``round(span x sample_rate)`` samples, the same number
    for every clip, so that they stack: ``span`` is the clip's nominal
    length, (frames per clip - 1) x step + 1 frame periods at the stream's
    mean rate (``1 / metadata.fps``) for the samplers by index, frames per
    clip x ``seconds_between_frames`` for those by time.  They begin with the
    first sample at or after the clip's first frame's own time (not the time
    sampled), the sample ``AudioReader.read(time, ...)`` begins with, and are
    that read's samples.  The count follows the nominal span, not the clip's
    frames: on a variable-rate video the sound may end before or after the
    last frame does.  Where the stream has no sound (before its first sample,
    as when the audio starts later than the video, or past its end) the
    samples are silence (zeros).

    ``missing``: what a source without the audio stream gives: "raise"
    (``StreamNotFoundError``, before any frame is decoded) or "silence"
    (zeros).
    """

    sample_rate: int
    channels: int = 1
    stream_index: int | None = None
    missing: Literal["raise", "silence"] = "raise"
    source: Source | None = None


#: What a sampler's ``audio=`` takes.
AudioSpec: TypeAlias = Union[ClipAudio, tuple[int, int], None]


def clip_audio(audio: AudioSpec) -> ClipAudio | None:
    """``audio=`` as a checked ``ClipAudio`` (None without audio)."""
    if audio is None:
        return None
    if isinstance(audio, tuple):
        if len(audio) != 2:
            raise ValueError(f"audio must be (sample_rate, channels), not {audio!r}")
        audio = ClipAudio(*audio)
    elif not isinstance(audio, ClipAudio):
        raise TypeError(f"audio must be a ClipAudio or (sample_rate, channels), "
                        f"not {type(audio).__name__}")
    at_least_one("sample_rate", audio.sample_rate)
    at_least_one("channels", audio.channels)
    if audio.missing not in ("raise", "silence"):
        raise ValueError(f"missing must be 'raise' or 'silence', not {audio.missing!r}")
    return audio


def _open_sound(reader: VideoReader, audio: ClipAudio) -> AudioReader | None:
    """The audio reader of the clips' sound; None for silence."""
    options: dict[str, Any] = dict(stream_index=audio.stream_index, sample_rate=audio.sample_rate,
                                   channels=audio.channels)
    try:
        if audio.source is not None:
            return AudioReader(audio.source, **options)
        return reader.open_audio(**options)
    except StreamNotFoundError as error:
        if audio.missing == "silence":
            return None
        which = "no audio stream" if audio.stream_index is None else f"no audio stream {audio.stream_index}"
        raise StreamNotFoundError(f"the source has {which} for the clips' sound ({error}); "
                                  "ClipAudio(..., missing='silence') gives silent clips") from None


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


def _decode(reader: VideoReader, indices: npt.NDArray[np.intp],
            audio: ClipAudio | None = None, span: float = 0.0) -> Clips:
    """The frames at ``indices`` (clips, frames), in one decoding call: the
    reader's decoder answers repeated frames with one decoding, and any
    order with one pass.  The times are those of the frames decoded (in
    approximate seek mode, not the nominal ones).  With ``audio``, each
    clip's ``span`` seconds of sound from its first frame's time on."""
    if audio is None:
        frames, times = reader.read_with_times(indices)
        return Clips(frames, indices, times)
    count = round(span * audio.sample_rate)
    sound = _open_sound(reader, audio)  # a missing stream fails before any decoding
    try:
        frames, times = reader.read_with_times(indices)
        samples = (np.zeros((len(indices), audio.channels, count), dtype=np.float32)
                   if sound is None else sound.read_at(times[:, 0], count))
    finally:
        if sound is not None:
            sound.close()
    return Clips(frames, indices, times, samples)


def _index_span(reader: VideoReader, frames_per_clip: int, step: int,
                audio: ClipAudio | None) -> float:
    """The nominal length of a clip by index: its frames' periods."""
    if audio is None:
        return 0.0
    fps = reader.metadata.fps
    if not fps:
        raise ValueError("the video's frame rate is unknown: the clips' sound has no length")
    return ((frames_per_clip - 1) * step + 1) / fps


def _clip_indices(starts: npt.NDArray[np.int64], frames_per_clip: int, step: int) -> npt.NDArray[np.intp]:
    offsets = np.arange(frames_per_clip, dtype=np.intp) * step
    result: npt.NDArray[np.intp] = starts.astype(np.intp)[:, None] + offsets
    return result


def clips_at_random_indices(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                            step: int = 1, start: int | None = None, stop: int | None = None,
                            seed: Seed = None, audio: AudioSpec = None) -> Clips:
    """``num_clips`` clips of ``frames_per_clip`` frames, ``step`` frames
    apart, starting at random frames.

    Every frame of every clip lies in [start, stop) (frame indices, negative
    ones counting from the end; default: the whole video).  Start frames are
    drawn uniformly and independently, so clips may overlap or repeat; the
    clips come sorted by their start.  ``seed`` makes the draw reproducible.
    ``audio`` adds each clip's sound (see ``ClipAudio``).
    """
    num_clips, frames_per_clip, step = _index_arguments(num_clips, frames_per_clip, step)
    sound = clip_audio(audio)
    rng = np.random.default_rng(seed)
    first, last = _index_starts(reader, frames_per_clip, step, start, stop)
    starts = np.sort(rng.integers(first, last, size=num_clips, endpoint=True))
    return _decode(reader, _clip_indices(starts, frames_per_clip, step), sound,
                   _index_span(reader, frames_per_clip, step, sound))


def clips_at_regular_indices(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                             step: int = 1, start: int | None = None,
                             stop: int | None = None, audio: AudioSpec = None) -> Clips:
    """``num_clips`` clips of ``frames_per_clip`` frames, ``step`` frames
    apart, spread evenly over [start, stop) (frame indices, as for
    ``clips_at_random_indices``).

    The first clip starts at ``start`` and the last one ends on the last
    frame before ``stop``; the others start evenly between them, rounded
    down to a frame.  A single clip starts at ``start``.  When there are
    fewer positions than clips, clips repeat.  ``audio`` adds each clip's
    sound (see ``ClipAudio``).
    """
    num_clips, frames_per_clip, step = _index_arguments(num_clips, frames_per_clip, step)
    sound = clip_audio(audio)
    first, last = _index_starts(reader, frames_per_clip, step, start, stop)
    spread = np.arange(num_clips, dtype=np.int64) * (last - first)
    starts = first + (spread // (num_clips - 1) if num_clips > 1 else spread)
    return _decode(reader, _clip_indices(starts, frames_per_clip, step), sound,
                   _index_span(reader, frames_per_clip, step, sound))


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
           seconds_between_frames: float, stop: float, audio: ClipAudio | None) -> Clips:
    """Clips of the frames shown at ``starts`` + k x the time between frames."""
    sampling = starts[:, None] + np.arange(frames_per_clip) * seconds_between_frames
    # Rounding must not carry a sampling time to the end of the range.
    np.minimum(sampling, np.nextafter(stop, -math.inf), out=sampling)
    return _decode(reader, shown_index(reader.times, sampling + _TIME_SLACK), audio,
                   frames_per_clip * seconds_between_frames)


def clips_at_random_times(reader: VideoReader, num_clips: int, frames_per_clip: int, *,
                          seconds_between_frames: float | None = None,
                          start: float | None = None, stop: float | None = None,
                          seed: Seed = None, audio: AudioSpec = None) -> Clips:
    """``num_clips`` clips of the frames shown at ``frames_per_clip`` times
    ``seconds_between_frames`` apart (default: one frame period at the
    stream's mean rate), each clip starting at a random time.

    All sampling times lie in [start, stop) seconds (default: from the first
    frame's time to the end of the last frame).  Start times are drawn
    uniformly and independently; the clips come sorted by their start.  The
    frame taken at a time is the one shown then, as for ``VideoReader.at``.
    ``audio`` adds each clip's sound (see ``ClipAudio``).
    """
    num_clips, frames_per_clip, seconds_between_frames = _time_arguments(
        frames_per_clip, seconds_between_frames, num_clips=num_clips)
    sound = clip_audio(audio)
    rng = np.random.default_rng(seed)
    low, latest, between, high = _time_starts(reader, frames_per_clip, seconds_between_frames,
                                              start, stop)
    starts = np.sort(low + rng.random(num_clips) * (latest - low))
    return _shown(reader, starts, frames_per_clip, between, high, sound)


def clips_at_regular_times(reader: VideoReader, seconds_between_clip_starts: float,
                           frames_per_clip: int, *, seconds_between_frames: float | None = None,
                           start: float | None = None, stop: float | None = None,
                           audio: AudioSpec = None) -> Clips:
    """Clips of the frames shown at ``frames_per_clip`` times
    ``seconds_between_frames`` apart, one clip starting every
    ``seconds_between_clip_starts`` from ``start`` on, as many as fit in
    [start, stop) seconds (defaults as for ``clips_at_random_times``).
    ``audio`` adds each clip's sound (see ``ClipAudio``)."""
    _, frames_per_clip, seconds_between_frames = _time_arguments(
        frames_per_clip, seconds_between_frames, period=seconds_between_clip_starts)
    sound = clip_audio(audio)
    period = float(seconds_between_clip_starts)
    low, latest, between, high = _time_starts(reader, frames_per_clip, seconds_between_frames,
                                              start, stop)
    count = max(math.ceil((latest - low) / period), 1)
    starts = low + np.arange(count, dtype=np.float64) * period
    return _shown(reader, starts[starts < latest], frames_per_clip, between, high, sound)


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
    for the samplers here bad counts, steps, periods or ``audio``."""
    inspect.signature(sampler).bind(None, **arguments)
    get = arguments.get
    if sampler in _SAMPLERS:
        clip_audio(get("audio"))
    if sampler in (clips_at_random_indices, clips_at_regular_indices):
        _index_arguments(get("num_clips", 1), get("frames_per_clip", 1), get("step", 1))
    elif sampler in (clips_at_random_times, clips_at_regular_times):
        _time_arguments(get("frames_per_clip", 1), get("seconds_between_frames"),
                        num_clips=get("num_clips", 1), period=get("seconds_between_clip_starts", 1.0))


_SAMPLERS = (clips_at_random_indices, clips_at_regular_indices, clips_at_random_times,
             clips_at_regular_times)

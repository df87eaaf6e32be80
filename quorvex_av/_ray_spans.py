"""Spans of a video's timeline whose clips one Ray task draws, and the
seed of each: decided by the file's header, its position, the epoch and the
span, never by the tasks, so that the clips do not depend on how many tasks
read them."""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from .samplers import (Clips, clips_at_random_indices, clips_at_random_times,
                       clips_at_regular_indices, clips_at_regular_times)
from .video import VideoReader


def file_seed(seed: int | None, epoch: int, position: int, span: int = 0) -> np.random.SeedSequence:
    """The seed a random sampler gets for span ``span`` of the file at
    ``position`` in pass ``epoch``.  Span 0 (all of a file read whole) gets
    the same derivation as ``ClipLoader``'s, so that a dataset of
    ``read_clips(..., seed=s, epoch=e)`` holds the clips of the loader's pass
    ``e`` with ``seed=s`` for such files; a later span gets one of its own."""
    entropy = np.random.SeedSequence(seed).entropy
    key = (1, epoch, position) if span == 0 else (1, epoch, position, span)
    return np.random.SeedSequence(entropy, spawn_key=key)




_BY_INDEX = (clips_at_random_indices, clips_at_regular_indices)
_BY_TIME = (clips_at_random_times, clips_at_regular_times)


@dataclass(frozen=True)
class ClipSpan:
    """A stretch of a file's timeline whose clips one task draws: from
    ``start`` to ``stop`` seconds (None: the file's first frame, its end),
    ``num_clips`` of them (None: as the sampler's period gives), numbered
    from ``first_clip``."""

    number: int
    start: float | None
    stop: float | None
    num_clips: int | None
    first_clip: int


def clip_spans(sampler: Callable[..., Clips], arguments: Mapping[str, Any], start: float,
               duration: float | None, seconds_per_task: float | None) -> list[ClipSpan]:
    """The spans a file's clips are drawn in, by its header alone (its
    ``start`` time and ``duration``): one for a file no longer than
    ``seconds_per_task``, for a sampler other than this package's four or
    one given its own ``start`` or ``stop``; else spans of
    ``seconds_per_task`` (a whole number of the period, for
    ``clips_at_regular_times``), the last one running to the end.  A
    sampler's ``num_clips`` is shared out by the spans' lengths."""
    whole = [ClipSpan(0, None, None, None, 0)]
    if (seconds_per_task is None or duration is None or not duration > seconds_per_task
            or sampler not in _BY_INDEX + _BY_TIME or arguments.get("start") is not None
            or arguments.get("stop") is not None):
        return whole
    length = float(seconds_per_task)
    per_span = None
    if sampler is clips_at_regular_times:
        period = float(arguments["seconds_between_clip_starts"])
        per_span = max(1, round(length / period))
        length = per_span * period
    count = max(1, int(duration // length))
    if count == 1:
        return whole
    total = arguments.get("num_clips")
    spans = []
    for number in range(count):
        if total is None:
            clips, first = None, number * (per_span or 0)
        else:
            first = round(total * number * length / duration)
            end = total if number == count - 1 else round(total * (number + 1) * length / duration)
            clips = end - first
            if not clips:
                continue
        spans.append(ClipSpan(number, None if number == 0 else start + number * length,
                              None if number == count - 1 else start + (number + 1) * length,
                              clips, first))
    return spans


def span_clips(reader: VideoReader, sampler: Callable[..., Clips], arguments: Mapping[str, Any],
               span: ClipSpan, seed: int, epoch: int, position: int) -> Clips:
    """The clips of one span: the sampler on the span's stretch (frame
    indices for a sampler by index: the first frame starting at or after
    each bound), its share of ``num_clips`` and the span's seed."""
    given = dict(arguments)
    if "seed" in inspect.signature(sampler).parameters:
        given["seed"] = np.random.default_rng(file_seed(seed, epoch, position, span.number))
    if span.num_clips is not None:
        given["num_clips"] = span.num_clips
    bounds = {"start": span.start, "stop": span.stop}
    if sampler in _BY_INDEX:
        times = reader.times
        bounds = {name: None if value is None else int(np.searchsorted(times, value))
                  for name, value in bounds.items()}
    given.update({name: value for name, value in bounds.items() if value is not None})
    return sampler(reader, **given)

"""Probes of streams whose container places frames otherwise than their
frame table (or header) says, each decoding a frame's corner or two: AVI
with B-frames (packets that carry decode order only) and MPEG-PS (packets
listed by their decoding time).  The reader asks them once and refuses,
or keeps to one decoder, where a seek would find other frames than
decoding on."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from ._checks import seconds_text
from ._pool import skipped_by
from .errors import NoFrameError

if TYPE_CHECKING:
    from ._av import Decoder, VideoStreamMetadata
    from .frame_table import FrameTable

# What the checks that decode a stream's first frame convert: its corner
# (only its time counts; the whole picture's conversion would double the cost).
_CORNER = [("crop", 0, 0, 2, 2)]


def first_time(decoder: Decoder, start: int, skip_invalid: bool) -> float | None:
    """The time of the first frame ``decoder`` gives from ``start`` on
    (only a corner of it converted), or None when that fails."""
    try:
        _, times, _ = decoder.decode_video([(start, start)], "uint8", False, _CORNER,
                                           skip_invalid=skip_invalid)
    except Exception:
        return None
    return float(times[0]) if times else None


def seeks_steadily(header: VideoStreamMetadata, table: FrameTable | None,
                   open_decoder: Callable[[], tuple[Decoder, Any]], skip_invalid: bool) -> bool:
    """Whether the stream's first frame decodes at the time where the
    frame table (or, before a scan, the header) puts it, tried once on
    a decoder of its own (``open_decoder``), so that the reader's decoder
    is not moved.

    Where it does not, the container stores decode order only (AVI with
    B-frames: packets carry their place in decode order, and the decoder
    times each frame by the packet that released it).  Frames that follow
    a key frame in decode order but show before it then carry times after
    it, and a seek to the key frame, after which they cannot be decoded,
    finds other frames than decoding on through it.  Such containers
    count frames in their timestamps; a stream timed more finely carries
    presentation times and is not tried (nothing is opened)."""
    num, den = header["time_base_num"], header["time_base_den"]
    if table is not None and len(table):
        if len(table) > 1 and np.diff(table.pts).min() > 1:
            return True  # presentation times, not frame counts (see misplacement)
        start = int(table.pts[0])
    else:
        fps = header["average_fps_from_header"]
        if not fps or round(den / (num * fps)) > 1:
            return True  # a time base finer than the frame rate: presentation times
        begin = header["begin_stream_seconds_from_header"]
        start = round((begin or 0.0) * den / num)
    try:
        decoder, held = open_decoder()
    except Exception:
        return False  # the workers could not open it either
    try:
        first = first_time(decoder, start, skip_invalid)
    finally:
        decoder.close()
        if held is not None:
            held.close()
    # None: nothing to share out then, the reader's decoder reports it.
    return first is not None and first == float(start) * num / den


def misplacement(decoder: Decoder, table: FrameTable, skip_invalid: bool) -> str | None:
    """Why the exact table cannot place the stream's frames by index, or
    None where it can, found on ``decoder``.

    A table whose timestamps step by one tick (at the least) counts
    frames (AVI does: it stores no presentation times, only each
    packet's place in decode order).  With B-frames the decoder times
    each frame by the packet that released it, so its first frame
    decodes later than the first key frame's timestamp: frame ``i``
    would come out as the frame shown before it, frame 0 not at all.
    That is refused rather than answered off by one.  The time it
    decodes at may be a key frame's (the next packet is one where a
    scene cut made it so); a first frame decoded at a later key frame
    is taken for the stream's own only where the decoder skipped the
    packets before it as damaged, since a key frame listed first
    decodes at its own time."""
    repeated = np.flatnonzero(np.diff(table.pts) == 0)
    if repeated.size and not _repeats_decode(decoder, table, int(repeated[0]), skip_invalid):
        return (f"the frames of this stream cannot be found by index: some of its packets "
                f"carry a decoding time only (as MPEG-PS stores I- and P-frames), which the "
                f"scan lists in place of their presentation time, so that "
                f"{seconds_text(float(table.times[repeated[0]]))} s is listed twice but decodes "
                f"once; read it by time with at(), or with seek_mode='approximate'")
    key_times = table.times[table.key]
    if len(table) < 2 or not key_times.size or np.diff(table.pts).min() != 1:
        return None
    start = int(table.pts[0])
    first = first_time(decoder, start, skip_invalid)
    if first is None:
        return None  # the request itself reports what is wrong
    if first <= key_times[0] or (first in key_times and skipped_by(decoder)):
        return None
    return (f"the frames of this stream cannot be found by index: its packets carry "
            f"decoding order only (as AVI stores B-frames), and its first frame decodes at "
            f"{seconds_text(first)} s, not at {seconds_text(float(table.times[0]))} s where the "
            f"scan lists it; read it by time with at()")


def _repeats_decode(decoder: Decoder, table: FrameTable, row: int, skip_invalid: bool) -> bool:
    """Whether frames ``row`` and ``row + 1``, listed at one timestamp,
    both decode at it (only a corner of them converted): a stream whose
    frames share timestamps, not packets listed by their decoding time.
    A failure other than that answers yes: the request itself reports it."""
    targets, occurrences = table.targets(np.array([row, row + 1], dtype=np.intp))
    try:
        decoder.decode_video(targets, "uint8", True, _CORNER, occurrences=occurrences,
                             skip_invalid=skip_invalid)
    except NoFrameError as error:
        return "occurrence" not in str(error)
    except Exception:
        return True
    return True

"""The audio reader on top of the extension's ``Decoder``: samples of one
stream resampled and mixed as asked, whole, cut to a time range, or in
pieces of a fixed length."""

from __future__ import annotations

import math
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from ._checks import seconds_text, whole_number
from ._metadata import audio_metadata
from ._pool import skipped_by
from ._sources import Closable
from ._types import Source

__all__ = ["AudioReader"]


# A sample index past the end of any stream (the decoder works with indices
# up to about 2**60, and reads a bound beyond the stream's end as its end).
_FAR_INDEX = 2**62
# Windows of ``read_at`` less than this far apart (seconds) are read by one
# range read: decoding on through the gap costs less than a seek's pre-roll.
_JOIN_GAP = 0.5


def sample_index(seconds: npt.ArrayLike, rate: int) -> npt.NDArray[np.int64]:
    """The first sample at or after each time (seconds after the
    first-sample time) on a whole read's timeline: sample i lies at i / rate.
    Negative before the first sample; a time a millionth of a sample past a
    sample's own is still that sample's (rounding of time sums)."""
    with np.errstate(over="ignore"):  # 1e300 s is past any end, not an overflow
        scaled = np.clip(np.asarray(seconds, dtype=np.float64) * rate, -_FAR_INDEX, _FAR_INDEX)
    return np.ceil(scaled - 1e-6).astype(np.int64)


class AudioReader(Closable):
    """Samples of one audio stream as float32 arrays of shape (channels, samples).

    ``source`` is a path or URL, ``bytes`` or a binary file object;
    ``stream_index`` picks a stream (default: the best audio stream).
    Samples are resampled to ``sample_rate`` and mixed to ``channels``
    (defaults: the stream's own).  A channel count without a standard layout
    (9 to 15, 17 to 23, 25 to 64) gets the stream's channels in order, then
    silent ones.  ``timeout`` is as for ``VideoReader``.

    Samples are placed by the stream's own timestamps: where the timestamps
    jump forward by more than 0.1 s the gap is filled with silence, and where
    they step back by more than that the overlapping samples are dropped, as
    the ffmpeg tool's ``aresample=async=1`` does.  Smaller differences (the
    rounding of ordinary timestamps) are ignored.  Silence is made only up
    to the ``stop`` of a read; a read to the end refuses a gap of more than
    600 s with RuntimeError.

    A packet the decoder rejects as invalid data is skipped and decoding goes
    on, as the tool does; ``skipped_packets`` counts those the latest
    ``read`` skipped.  With ``strict=True`` such a packet raises RuntimeError
    instead.
    """

    def __init__(
        self,
        source: Source,
        *,
        stream_index: int | None = None,
        sample_rate: int | None = None,
        channels: int | None = None,
        strict: bool = False,
        timeout: float | None = None,
    ) -> None:
        rate = None if sample_rate is None else whole_number("sample_rate", sample_rate)
        count = None if channels is None else whole_number("channels", channels)
        self._skip_invalid = not strict
        #: Invalid packets skipped by the latest ``read`` (0 with ``strict``).
        self.skipped_packets = 0
        self._open(source, "audio", stream_index, timeout=timeout)
        header = self._decoder.metadata()
        if header["media_type"] != "audio":
            raise AssertionError("an audio decoder described a video stream")
        self.metadata = audio_metadata(header)
        rate = self.metadata.sample_rate if rate is None else rate
        count = self.metadata.channels if count is None else count
        if not rate or rate <= 0 or not count or count <= 0:
            self.close()
            raise ValueError("sample_rate and channels must be positive "
                             f"(got {rate} and {count})")
        #: Output sample rate (Hz) and channel count.
        self.sample_rate: int = int(rate)
        self.channels: int = int(count)

    def read(self, start: float | None = None, stop: float | None = None) -> npt.NDArray[np.float32]:
        """Samples from ``start`` up to, not including, ``stop`` (seconds).

        ``start`` defaults to the stream's first sample, which is not always
        at 0; ``stop`` to its end.  Sample ``i`` of the result's timeline is
        at first-sample time + i / sample_rate (gaps in the stream's
        timestamps filled with silence, see the class), and exactly the
        samples in [start, stop) are returned.  A read with a bound seeks:
        it decodes from shortly before ``start`` (see the guide's section on
        audio ranges), and gives the samples that one whole read has there.
        A start or stop before the first sample, or a start or stop after the last
        one, raises IndexError naming the stream's time range.  A stream that
        decodes to no samples at all gives an empty (channels, 0) array when
        neither bound is given, and raises IndexError saying it holds no
        samples otherwise.
        """
        self._check_bounds(start, stop)
        if start is None and stop is None:
            return self._readwhole_number()
        first, low, high = self._span(start, stop)
        samples, total = self._read_range(low, high)
        self._check_end(first, first if start is None else start, stop, total)
        return samples

    def chunks(self, seconds: float, start: float | None = None,
               stop: float | None = None) -> Iterator[npt.NDArray[np.float32]]:
        """The samples of ``read(start, stop)`` in pieces of ``seconds``
        (the last one may be shorter), without holding more than one piece.

        Joined, the pieces equal that one read, sample for sample.  Each
        piece is a range read of its own, so memory stays bounded however
        long the stream.  Out-of-range bounds raise IndexError as ``read``
        does, but only once the iteration finds them out.
        """
        size = float(seconds) * self.sample_rate
        if not math.isfinite(float(seconds)) or size < 1:
            raise ValueError("a chunk must last at least one sample, not "
                             f"{seconds} s at {self.sample_rate} Hz")
        count = round(min(size, _FAR_INDEX))  # longer than any stream: one piece
        self._check_bounds(start, stop)
        if start is None and stop is None and self.first_sample_time is None:
            return  # no samples, as read() gives an empty array
        first, low, high = self._span(start, stop)
        index = low
        while True:  # once at least, for read()'s checks of an empty range
            upto = min(index + count, _FAR_INDEX if high is None else high)
            samples, total = self._read_range(index, upto)
            if total is not None:
                self._check_end(first, first if start is None else start, stop, total)
            if not samples.shape[1]:
                return  # the stream ended at ``index``, or the range is empty
            yield samples
            index += samples.shape[1]
            if (total is not None and index >= total) or (high is not None and index >= high):
                return

    @staticmethod
    def _check_bounds(start: float | None, stop: float | None) -> None:
        if start is not None and stop is not None and stop < start:
            raise ValueError(f"stop ({stop}) is before start ({start})")
        for name, value in (("start", start), ("stop", stop)):
            if value is not None and not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number of seconds, not {value}")

    def _readwhole_number(self) -> npt.NDArray[np.float32]:
        try:
            samples, _ = self._decoder.decode_audio(
                self.sample_rate, self.channels, None, honour_timestamps=True,
                skip_invalid=self._skip_invalid)
        finally:
            self.skipped_packets = skipped_by(self._decoder)
        return samples

    def _span(self, start: float | None, stop: float | None) -> tuple[float, int, int | None]:
        """The first-sample time, and the sample indices [low, high) that
        [start, stop) covers on the whole read's timeline."""
        first = self.first_sample_time
        if first is None:
            raise IndexError("the audio stream holds no samples")
        rate = self.sample_rate
        begin = first if start is None else start
        for name, bound in (("start", begin), ("stop", stop)):
            if bound is not None and bound < first - 0.5 / rate:  # half a sample either way
                raise IndexError(f"{name} {seconds_text(bound)} s is before the audio's first sample: "
                                 f"valid times begin at {seconds_text(first)} s")
        # Compared as floats first: a bound of 1e300 s is past the end, not
        # an integer too large for the decoder.
        low = max(0, int(sample_index(begin - first, rate)))
        high = None if stop is None else max(low, int(sample_index(stop - first, rate)))
        return first, low, high

    def read_at(self, starts: npt.ArrayLike, count: int) -> npt.NDArray[np.float32]:
        """``count`` samples from each time of ``starts`` (seconds) on,
        stacked as (len(starts), channels, count).

        Row ``i`` begins with the sample ``read(starts[i], stop)`` begins
        with, and holds the samples of the whole read's timeline that follow
        it, so that it equals ``read(starts[i], stop)`` for the ``stop`` that
        gives ``count`` samples.  Where the timeline has no samples (before
        the stream's first sample, past its end, or a stream with none at
        all) the row holds silence (zeros) instead of raising.  Windows that
        overlap or lie close together are read by one range read.
        """
        times = np.asarray(starts, dtype=np.float64).ravel()
        if not np.isfinite(times).all():
            raise ValueError("starts must be finite numbers of seconds")
        count = whole_number("count", count)
        if count < 0:
            raise ValueError(f"count must be 0 or more, not {count}")
        out = np.zeros((times.size, self.channels, count), dtype=np.float32)
        first = self.first_sample_time
        if first is None or not count or not times.size:
            return out
        lows = sample_index(times - first, self.sample_rate)
        join = round(_JOIN_GAP * self.sample_rate)
        order = np.argsort(lows, kind="stable")
        total: int | None = None
        begin = 0
        while begin < len(order):
            # One read for the run of windows each within ``join`` of the last.
            end, high = begin + 1, int(lows[order[begin]]) + count
            while end < len(order) and lows[order[end]] <= high + join:
                high = max(high, int(lows[order[end]]) + count)
                end += 1
            low = max(0, int(lows[order[begin]]))
            if high > low and (total is None or low < total):
                samples, reached = self._read_range(low, high)
                total = reached if reached is not None else total
                for row in order[begin:end].tolist():
                    start = int(lows[row])
                    inside = slice(max(start, low) - low, min(start + count, low + samples.shape[1]) - low)
                    if inside.stop > inside.start:
                        at = inside.start + low - start
                        out[row, :, at:at + inside.stop - inside.start] = samples[:, inside]
            begin = end
        return out

    @property
    def first_sample_time(self) -> float | None:
        """Time in seconds of the stream's first sample, sample 0 of
        ``read()`` (not always 0, nor the header's ``metadata.start``);
        None when the stream decodes to no samples.  Found by decoding the
        stream's first frame, once per reader."""
        return self._decoder.audio_start_time(skip_invalid=self._skip_invalid)

    def _read_range(self, low: int, high: int | None) -> tuple[npt.NDArray[np.float32], int | None]:
        try:
            samples, _, total = self._decoder.decode_audio_range(
                self.sample_rate, self.channels, low, high, skip_invalid=self._skip_invalid)
        finally:
            self.skipped_packets = skipped_by(self._decoder)
        return samples, total

    def _check_end(self, first: float, begin: float, stop: float | None, total: int | None) -> None:
        """IndexError when a read that reached the stream's end (``total``
        samples in all) asked for more than there is."""
        if total is None:
            return
        end = first + total / self.sample_rate
        if stop is not None and stop > end + 0.5 / self.sample_rate:
            past = f"stop {seconds_text(stop)} s"
        elif stop is None and begin >= end:
            past = f"start {seconds_text(begin)} s"
        else:
            return
        raise IndexError(f"{past} is past the end of the audio: "
                         f"valid times are [{seconds_text(first)}, {seconds_text(end)}) s")

    def __repr__(self) -> str:
        return (f"<AudioReader stream {self.metadata.stream_index}: {self.metadata.codec}, "
                f"{self.sample_rate} Hz, {self.channels} channels>")

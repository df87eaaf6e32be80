#!/usr/bin/env python3
"""Coverage-guided fuzzing of the extension's Decoder with atheris.

Each input is a control header of HEADER bytes followed by the media bytes.
The first header byte picks what to open (bits 0-1: 0 video, 1 audio, 2 and
3 both; bit 5: the media repeated past the 32 KiB I/O buffer, so that seeks
reach the reader; bit 7: through an io.BytesIO instead of bytes, and with
bit 6 too, a file object that misbehaves after a while).  The second holds
the output dtype of up to three video calls, two bits each, so that every
seed file can be tried with each.  The rest feeds an
atheris.FuzzedDataProvider that chooses the stream, the thread count and
every other argument.  Each input runs the whole set of calls on one
decoder of each kind asked for: metadata (both rotation settings), scan,
decode_video (targets from the scan or arbitrary, exact or not, every output
dtype, crop/resize/rotate chains), decode_timestamps, a second decode_video
that may continue the first, decode_audio (small rates and channel counts,
with and without a stop), and a call after close.

The exceptions the extension documents are expected; any other exception,
a wrong result shape or a sanitizer report is a finding.  Sizes are kept
small: frames beyond MAX_PIXELS are not decoded, resizes stay under 64x64.

Run through fuzz/run.sh, which builds the instrumented extension and
preloads the sanitizer runtime.  Arguments are libFuzzer's.
"""

import ctypes
import ctypes.util
import io
import math
import os
import sys

import atheris

from quorvex_av import _av

HEADER = 32
EXPECTED = (RuntimeError, ValueError, TypeError, OverflowError, NotImplementedError,
            MemoryError, IndexError)
# Frames larger than this are not decoded (the converted frame, one batch
# slot and FFmpeg's own buffers must stay well within the RSS limit).
MAX_PIXELS = 1 << 21
MAX_TARGETS = 5
MIN_REPEATED = 48 * 1024  # past the extension's 32 KiB I/O buffer
DTYPES = ("uint8", "uint16", "float32", "native")
NUMPY_DTYPES = {"uint8": ("uint8",), "uint16": ("uint16",), "float32": ("float32",),
                "native": ("uint8", "uint16")}
# The resampler's set-up time grows with the conversion ratio: a header
# claiming hundreds of megahertz takes it seconds. Not worth the fuzzer's time.
MAX_SOURCE_RATE = 768000
RATES = (8000, 16000, 22050, 44100, 48000, 1, 11, 3000)


def quiet_ffmpeg() -> None:
    """FFmpeg logs every damaged packet to stderr: silence it."""
    if os.environ.get("FUZZ_VERBOSE"):
        return
    name = ctypes.util.find_library("avutil")
    if name:
        ctypes.CDLL(name).av_log_set_level(-8)  # AV_LOG_QUIET


def attempt(call, *args, **kwargs):
    """The call's result, or None when it raises an expected exception."""
    try:
        return call(*args, **kwargs)
    except EXPECTED:
        return None


def touch(array) -> None:
    """Copies the array's bytes: the sanitizer checks the whole buffer."""
    array.tobytes()


class Args:
    """Arguments drawn from the control header.  An exhausted or zero header
    gives the lowest choices, which are the common cases."""

    def __init__(self, data: bytes):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, low: int, high: int) -> int:
        return self.fdp.ConsumeIntInRange(low, high)

    def bool(self) -> bool:
        return self.fdp.ConsumeBool()

    def pick(self, options):
        return options[self.int(0, len(options) - 1)]

    def float(self, low: float, high: float) -> float:
        return low + (high - low) * self.fdp.ConsumeProbability()

    def any_float(self) -> float:
        return self.fdp.ConsumeFloat()

    def any_int(self) -> int:
        return self.fdp.ConsumeInt(8)


def transforms_for(args: Args, height: int, width: int):
    """A chain of up to three transforms, nearly always valid, and the size
    it should produce (None when it need not be valid)."""
    chain = []
    valid = True
    for _ in range(args.int(0, 3)):
        kind = args.int(0, 3)
        if kind == 0 and height > 0 and width > 0:
            top = args.int(0, height - 1)
            left = args.int(0, width - 1)
            h = args.int(1, height - top)
            w = args.int(1, width - left)
            chain.append(("crop", top, left, h, w))
            height, width = h, w
        elif kind == 1:
            h, w = args.int(1, 63), args.int(1, 63)
            chain.append(("resize", 0, 0, h, w))
            height, width = h, w
        elif kind == 2:
            turns = args.int(-5, 5)
            chain.append(("rotate", turns, 0, 0, 0))
            if turns & 1:
                height, width = width, height
        else:  # arbitrary values, mostly rejected
            name = args.pick(("crop", "resize", "rotate", "flip"))
            chain.append((name, args.int(-2, 70), args.int(-2, 70), args.int(-2, 70),
                          args.int(-2, 70)))
            valid = False
    return chain, ((height, width) if valid else None)


def check_batch(result, count: int, dtype: str, size) -> None:
    array, times, durations = result
    assert array.ndim == 4 and array.shape[0] == count, (array.shape, count)
    assert len(times) == count and len(durations) == count, (len(times), count)
    assert str(array.dtype) in NUMPY_DTYPES[dtype], (array.dtype, dtype)
    if size is not None and dtype != "native":
        assert array.shape[1:] == (*size, 3), (array.shape, size)
    touch(array)


def targets_for(args: Args, packets):
    """(pts, seek_pts) pairs: listed packets with a key packet before them
    or themselves as the seek point, or arbitrary numbers."""
    keys = [pts for pts, _, key in packets if key]
    targets = []
    for _ in range(args.int(0 if not packets else 1, MAX_TARGETS)):
        how = args.int(0, 7)
        if packets and how < 5:
            pts = packets[args.int(0, len(packets) - 1)][0]
            if how < 4:
                seek = max((k for k in keys if k <= pts), default=keys[0] if keys else pts)
            else:
                seek = pts
            targets.append((pts, seek))
        elif how == 5:
            targets.append((args.any_int(), args.any_int()))
        else:
            targets.append((args.int(-3, 100), args.int(-3, 100)))
    return targets


def seconds_for(args: Args, packets, time_base: float):
    seconds = []
    for _ in range(args.int(0, MAX_TARGETS)):
        how = args.int(0, 7)
        if packets and how < 5:
            pts = packets[args.int(0, len(packets) - 1)][0]
            seconds.append(pts * time_base + args.float(-0.05, 0.05))
        elif how == 5:
            seconds.append(args.any_float())
        else:
            seconds.append(args.float(-1.0, 5.0))
    if args.int(0, 15) != 15:  # now and then unsorted, repeated or NaN
        seconds = sorted(set(s for s in seconds if not math.isnan(s)))
    return seconds


def exercise_video(decoder, args: Args, dtypes: int) -> None:
    header = decoder.metadata(False)
    attempt(decoder.metadata, True)
    height, width = header["height"], header["width"]
    time_base = header["time_base_num"] / header["time_base_den"]
    packets = attempt(decoder.scan) or []
    for pts, duration, key in packets:
        assert isinstance(pts, int) and isinstance(duration, int) and isinstance(key, bool)
    if packets:
        assert all(a[0] <= b[0] for a, b in zip(packets, packets[1:])), "scan is not sorted"
    small = 0 < height * width <= MAX_PIXELS

    for call in range(args.int(1, 3)):
        dtype = DTYPES[dtypes >> (2 * call) & 3] if args.int(0, 31) != 31 else "bogus"
        chain, size = transforms_for(args, height, width)
        if args.int(0, 2) == 2:
            seconds = seconds_for(args, packets, time_base)
            if small or not seconds:
                result = attempt(decoder.decode_timestamps, seconds, dtype, chain)
                if result is not None:
                    check_batch(result, len(seconds), dtype, size)
        else:
            targets = targets_for(args, packets)
            exact = args.bool()
            if small or not targets:
                result = attempt(decoder.decode_video, targets, dtype, exact, chain)
                if result is not None:
                    check_batch(result, len(targets), dtype, size)


def exercise_audio(decoder, args: Args) -> None:
    header = decoder.metadata(args.bool())
    source_rate = header["sample_rate"] or 0
    if source_rate > MAX_SOURCE_RATE:
        return
    if args.int(0, 3) == 0:
        attempt(decoder.scan)
    for call in range(args.int(1, 2)):
        rate = args.pick(RATES)
        channels = args.int(1, 3) if args.int(0, 15) != 15 else args.pick((0, -1, 64, 65))
        # Upsampling by a large factor makes arbitrarily long output: only
        # with a stop, and then still bounded by one decoded frame.
        if args.bool() or source_rate < 1000 or rate > 4 * source_rate:
            stop = args.float(-0.5, 1.0)
            if source_rate < 1000:
                rate = min(rate, 8000)
        else:
            stop = None
        result = attempt(decoder.decode_audio, rate, channels, stop)
        if result is not None:
            samples, start = result
            assert samples.ndim == 2 and samples.shape[0] == channels, samples.shape
            assert str(samples.dtype) == "float32" and isinstance(start, float)
            touch(samples)


class QuirkyFile(io.BytesIO):
    """A file object that, from its n-th read or seek on, misbehaves in one
    way: longer reads than asked, text, an exception, or a bogus position."""

    def __init__(self, media: bytes, after: int, quirk: int):
        super().__init__(media)
        self.calls = 0
        self.after = after
        self.quirk = quirk

    def _due(self) -> bool:
        self.calls += 1
        return self.calls > self.after

    def read(self, size=-1):
        data = super().read(size)
        if not self._due():
            return data
        if self.quirk == 0:  # one byte more than asked (never an endless stream)
            return data + bytes(size - len(data) + 1) if size >= 0 else data
        if self.quirk == 1:
            return data.decode("latin-1")
        if self.quirk == 2:
            raise OSError("quirky read")
        return bytearray(data)

    def seek(self, offset, whence=0):
        position = super().seek(offset, whence)
        if not self._due():
            return position
        if self.quirk == 2:
            raise OSError("quirky seek")
        return None if self.quirk == 1 else -position - 1


def open_decoder(source, media: bytes, media_type: str, args: Args):
    stream_index = None if args.int(0, 3) != 3 else args.int(-1, 4)
    threads = 1 if args.int(0, 7) != 7 else args.pick((0, 2))
    if source == "file":
        source = io.BytesIO(media)
    elif source == "quirky":
        source = QuirkyFile(media, args.int(0, 40), args.int(0, 3))
    return attempt(_av.Decoder, source, media_type, stream_index, threads)


def test_one_input(data: bytes) -> None:
    header = data[:HEADER].ljust(HEADER, b"\0")
    media = data[HEADER:]
    mode = header[0]
    args = Args(header[2:])
    if mode & 0x20 and media:
        media *= -(-MIN_REPEATED // len(media))
    source = ("quirky" if mode & 0x40 else "file") if mode & 0x80 else media
    kinds = (("video",), ("audio",), ("video", "audio"), ("audio", "video"))[mode & 3]
    for kind in kinds:
        decoder = open_decoder(source, media, kind, args)
        if decoder is None:
            continue
        try:
            if kind == "video":
                exercise_video(decoder, args, header[1])
            else:
                exercise_audio(decoder, args)
        except EXPECTED:
            pass
        decoder.close()
        try:
            decoder.scan()
        except RuntimeError:
            pass
        else:
            raise AssertionError("a closed decoder scanned")


def fuzz(one_input) -> None:
    """Runs libFuzzer on ``one_input`` with the command line's options."""
    quiet_ffmpeg()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    fuzz(test_one_input)

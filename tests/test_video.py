"""Decoder.decode_video(): frames by presentation timestamp, as NumPy arrays."""

import functools
import os
from fractions import Fraction

import numpy as np
import pytest

from media import ffmpeg_frames, key_targets, probe_frames, probe_stream, source_frames
from quorvex_av import Decoder

FAR = 10**12  # a timestamp after the end of every clip


@functools.lru_cache(maxsize=None)
def reference(path, pix_fmt="rgb24"):
    return ffmpeg_frames(path, pix_fmt)


@functools.lru_cache(maxsize=None)
def frames_of(path):
    return probe_frames(path, 0)


def timed(path):
    """Indices of the frames that have a timestamp (the last frame of the
    AVI clip has none)."""
    return [i for i, frame in enumerate(frames_of(path)) if frame["pts"] is not None]


def open_clip(media, name):
    path = str(media.path(name))
    return Decoder(path, "video"), path


def decode(decoder, path, indices, dtype="uint8"):
    """Decode frames given by their index in presentation order."""
    pts = [frames_of(path)[i]["pts"] for i in indices]
    return decoder.decode_video(key_targets(decoder.scan(), pts), dtype, True)


def assert_frames(got, want, levels=1):
    """Compare with the ffmpeg tool's conversion of the same frames.

    Both go through the same colour-conversion library, but the tool may pick
    other flags (rounding, chroma interpolation), so up to 3 levels (of 255)
    may differ at colour edges; ``levels`` is one such level in the samples'
    unit (257 for 16-bit samples).  The mean difference of each frame must
    stay below 0.5 level: neighbouring frames of the clips differ by 4.5
    levels or more on average, so this also tells which frame was returned.
    """
    assert got.shape == want.shape
    diff = np.abs(got.astype(np.int64) - want.astype(np.int64)) / levels
    assert diff.max() <= 3
    assert np.all(diff.mean(axis=(1, 2, 3)) < 0.5)


def expected_times(path, indices):
    """ffprobe's times and durations, in seconds, of frames by index."""
    frames = frames_of(path)
    tb = Fraction(probe_stream(path, 0)["time_base"])
    times = [frames[i]["pts"] * tb.numerator / tb.denominator for i in indices]
    durations = [(frames[i]["duration"] or 0) * tb.numerator / tb.denominator for i in indices]
    return times, durations


# -- pixels ----------------------------------------------------------------------


@pytest.mark.parametrize("dtype, pix_fmt, levels", [("uint8", "rgb24", 1), ("uint16", "rgb48le", 257)])
@pytest.mark.parametrize("name", ["h264", "tagged", "vp9", "mpeg4", "gray8", "gray16be", "rgba"])
def test_pixels_match_the_tool(media, name, dtype, pix_fmt, levels):
    decoder, path = open_clip(media, name)
    indices = [timed(path)[i] for i in (0, 7, -1)]
    array, _, _ = decode(decoder, path, indices, dtype)
    assert array.dtype == np.dtype(dtype)
    assert_frames(array, reference(path, pix_fmt)[indices], levels)


def test_full_range_source_uses_full_range_levels(media):
    decoder, path = open_clip(media, "fullrange")
    full = reference(path)
    limited = ffmpeg_frames(path, vf="scale=in_range=limited")
    assert np.abs(full.astype(int) - limited).mean() > 5  # the clip tells them apart
    array, _, _ = decode(decoder, path, [0, 12])
    assert_frames(array, full[[0, 12]])


def test_float32_is_uint16_scaled(media):
    decoder, path = open_clip(media, "h264")
    wide, _, _ = decode(decoder, path, [0, 33], "uint16")
    real, _, _ = decode(decoder, path, [0, 33], "float32")
    assert real.dtype == np.float32
    assert np.array_equal(real, wide.astype(np.float32) / np.float32(65535))
    assert 0.0 <= real.min() and real.max() <= 1.0


@pytest.mark.parametrize(
    "name, dtype, channels",
    [("gray8", np.uint8, 1), ("gray16le", np.uint16, 1), ("gray16be", np.uint16, 1), ("rgba", np.uint8, 4)],
)
def test_native_output_is_the_source(media, name, dtype, channels):
    decoder, path = open_clip(media, name)
    indices = [7, 0, 3, 3, 9]
    array, times, _ = decode(decoder, path, indices, "native")
    source = source_frames(name)[indices]
    assert array.dtype == dtype and array.shape == (5, 96, 128, channels)
    assert np.array_equal(array, source.reshape(array.shape))  # alpha last for rgba
    assert times == expected_times(path, indices)[0]


# -- which frame -----------------------------------------------------------------


@pytest.mark.parametrize("name", ["h264", "vp9", "mpeg4", "multi"])
def test_every_frame_by_its_own_timestamp(media, name):
    decoder, path = open_clip(media, name)
    indices = timed(path)
    array, times, durations = decode(decoder, path, indices)
    assert_frames(array, reference(path)[indices])
    assert (times, durations) == expected_times(path, indices)


@pytest.mark.parametrize(
    "indices",
    [[60, 5, 30, 5], [24, 25, 26, 49, 50], [74, 0], [13, 13, 13]],
    ids=["unordered with duplicate", "across key frames", "last and first", "triplicate"],
)
def test_exact_targets_in_any_order(media, indices):
    decoder, path = open_clip(media, "h264")
    array, times, durations = decode(decoder, path, indices)
    assert_frames(array, reference(path)[indices])
    assert (times, durations) == expected_times(path, indices)
    first = {}
    for slot, index in enumerate(indices):  # a repeated target gets an identical copy
        assert np.array_equal(array[slot], array[first.setdefault(index, slot)])


def test_seek_point_after_the_target(media):
    decoder, path = open_clip(media, "h264")
    frames = frames_of(path)
    late_key = frames[50]["pts"]
    target = frames[10]["pts"]
    # Exact: the seek overshoots, so decoding restarts from the stream start.
    array, times, _ = decoder.decode_video([(target, late_key)], "uint8", True)
    assert times == [frames[10]["time"]]
    assert_frames(array, reference(path)[[10]])
    # Not exact: the first frame after the seek answers.
    array, times, _ = decoder.decode_video([(target, late_key)], "uint8", False)
    assert times == [frames[50]["time"]]
    assert_frames(array, reference(path)[[50]])


# h264 frames are 512 ticks apart.
@pytest.mark.parametrize(
    "targets, indices",
    [
        ([(600, 0)], [2]),
        ([(512, 0)], [1]),
        ([(-700, 0)], [0]),
        # The search for 2 starts after the frame that answered 1.
        ([(1, 0), (2, 0)], [1, 2]),
        ([(2, 0), (1, 0)], [2, 1]),
        ([(13000, 12800), (600, 0)], [26, 2]),
    ],
)
def test_not_exact_takes_the_first_frame_at_or_after(media, targets, indices):
    decoder, path = open_clip(media, "h264")
    array, times, durations = decoder.decode_video(targets, "uint8", False)
    assert (times, durations) == expected_times(path, indices)
    assert_frames(array, reference(path)[indices])


@pytest.mark.parametrize(
    "clip, exact, target, seek, message",
    [
        ("h264", True, 600, 0, "no decoded frame at exact PTS 600"),
        ("h264", True, 600, 25600, "no decoded frame at exact PTS 600"),
        ("h264", True, 38400, 25600, "no decoded frame at PTS 38400"),
        ("h264", False, 38400, 25600, "no decoded frame at PTS 38400"),
        ("h264", False, FAR, 0, f"no decoded frame at PTS {FAR}"),
        # The last frame of the AVI clip has neither pts nor a best-effort timestamp.
        ("mpeg4", False, 50, 25, "decoded frame has no timestamp"),
    ],
)
def test_no_frame_for_the_target(media, clip, exact, target, seek, message):
    decoder, path = open_clip(media, clip)
    if clip == "mpeg4":  # the case relies on the untimed last frame
        assert frames_of(path)[-1]["pts"] is None
    with pytest.raises(RuntimeError) as raised:
        decoder.decode_video([(0, 0), (target, seek)], "uint8", exact)
    assert str(raised.value) == message
    # The decoder stays usable.
    assert decode(decoder, path, [3])[1] == expected_times(path, [3])[0]


def test_width_that_is_not_a_multiple_of_32(media):
    decoder, path = open_clip(media, "odd_width")
    indices = [0, 13, 24]
    for dtype, pix_fmt, levels in [("uint8", "rgb24", 1), ("uint16", "rgb48le", 257)]:
        array, _, _ = decode(decoder, path, indices, dtype)
        assert_frames(array, reference(path, pix_fmt)[indices], levels)


def test_consecutive_calls_equal_one_call(media):
    # A group of pictures read in chunks (each call going on from where the
    # previous one stopped) gives what one call for all its frames gives, and
    # a call going back gets the same frames again.
    decoder, path = open_clip(media, "multi")
    packets = decoder.scan()
    targets = key_targets(packets, [pts for pts, _, _ in packets])[:20]
    whole = decoder.decode_video(targets, "uint8", True)
    chunks = [decoder.decode_video(targets[i:i + 5], "uint8", True) for i in range(0, 20, 5)]
    assert np.array_equal(np.concatenate([c[0] for c in chunks]), whole[0])
    assert sum((c[1] for c in chunks), []) == whole[1]
    assert np.array_equal(decoder.decode_video(targets[:5], "uint8", True)[0], chunks[0][0])
    # Each call stands alone: an earlier target than the last answer gets the
    # frame a fresh call gets, not the next one.
    h264 = Decoder(str(media.path("h264")), "video")
    assert h264.decode_video([(1, 0)], "uint8", False)[1] == h264.decode_video([(2, 0)], "uint8", False)[1]


# -- arguments and checks ------------------------------------------------------------


@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize(
    "changes, error, message",
    [
        (dict(targets="ab"), TypeError, "argument 'targets': Can't extract `str` to `Vec`"),
        (dict(targets=None), TypeError, "argument 'targets': 'NoneType' object cannot be converted to 'Sequence'"),
        (dict(targets=7), TypeError, "argument 'targets': 'int' object cannot be converted to 'Sequence'"),
        (dict(targets=[(0, 0), [1, 0]]), TypeError, "argument 'targets': 'list' object cannot be converted to 'PyTuple'"),
        (dict(targets=[(1, 0, 0)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (dict(targets=[(1.5, 0)]), TypeError, "argument 'targets': 'float' object cannot be interpreted as an integer"),
        (dict(targets=[(0, 2**63)]), OverflowError, "Python int too large to convert to C long"),
        (dict(output_dtype=8), TypeError, "argument 'output_dtype': 'int' object cannot be converted to 'PyString'"),
        (dict(exact=1), TypeError, "argument 'exact': 'int' object cannot be converted to 'PyBool'"),
        (dict(transforms=None), TypeError,
         "argument 'transforms': 'NoneType' object cannot be converted to 'Sequence'"),
        (dict(transforms="crop"), TypeError, "argument 'transforms': Can't extract `str` to `Vec`"),
        (dict(transforms=[["crop", 0, 0, 1, 1]]), TypeError,
         "argument 'transforms': 'list' object cannot be converted to 'PyTuple'"),
        (dict(transforms=[("crop", 0, 0, 1)]), ValueError, "expected tuple of length 5, but got tuple of length 4"),
        (dict(transforms=[(b"crop", 0, 0, 1, 1)]), TypeError,
         "argument 'transforms': 'bytes' object cannot be converted to 'PyString'"),
        (dict(transforms=[("resize", 0, 0, 1, 2**31)]), OverflowError, "number too large to fit in target type"),
        (dict(transforms=[("crop", -(2**31) - 1, 0, 1, 1)]), OverflowError, "number too small to fit in target type"),
        # Arguments are converted in order.
        (dict(targets=None, output_dtype=8, exact=1), TypeError,
         "argument 'targets': 'NoneType' object cannot be converted to 'Sequence'"),
        (dict(output_dtype=8, exact=1, transforms=None), TypeError,
         "argument 'output_dtype': 'int' object cannot be converted to 'PyString'"),
        (dict(output_dtype="bogus", exact=1), TypeError,
         "argument 'exact': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_badly_typed_arguments(media, closed, changes, error, message):
    decoder, _ = open_clip(media, "h264")
    if closed:
        decoder.close()
    arguments = dict(targets=[], output_dtype="uint8", exact=False, transforms=[]) | changes
    with pytest.raises(error) as raised:
        decoder.decode_video(**arguments)
    assert type(raised.value) is error and str(raised.value) == message


@pytest.mark.parametrize(
    "clip, media_type, closed, dtype, transforms, error, message",
    [
        ("h264", "video", True, "int8", [], RuntimeError, "decoder is closed"),
        ("h264", "video", True, "uint8", [("flip", 0, 0, 0, 0)], RuntimeError, "decoder is closed"),
        ("h264", "video", False, "UINT8", [], ValueError, "invalid video output dtype"),
        ("h264", "video", False, "uint8 ", [], ValueError, "invalid video output dtype"),
        ("h264", "video", False, "int8", [], ValueError, "invalid video output dtype"),
        ("h264", "video", False, "int8", [("flip", 0, 0, 0, 0)], ValueError, "invalid transform"),
        ("aac", "audio", False, "int8", [], ValueError, "invalid video output dtype"),
        ("aac", "audio", False, "uint8", [], RuntimeError, "cannot decode video from audio stream"),
        ("aac", "audio", False, "native", [("crop", 0, 0, 0, 0)], RuntimeError,
         "cannot decode video from audio stream"),
        ("h264", "video", False, "native", [], ValueError, "native output does not support this pixel format"),
        ("h264", "video", False, "native", [("crop", 0, 0, 0, 0)], ValueError, "transforms require RGB output"),
        ("gray8", "video", False, "native", [("rotate", 1, 0, 0, 0)], ValueError, "transforms require RGB output"),
        ("gray8", "video", False, "native", [("Crop", 0, 0, 1, 1)], ValueError, "invalid transform"),
    ],
)
@pytest.mark.parametrize("targets", [[], [(FAR, 0)]], ids=["no targets", "undecodable target"])
def test_request_checks_in_order(media, clip, media_type, closed, dtype, transforms, error, message, targets):
    decoder = Decoder(str(media.path(clip)), media_type)
    if closed:
        decoder.close()
    with pytest.raises(error) as raised:
        decoder.decode_video(targets, dtype, False, transforms)
    assert type(raised.value) is error and str(raised.value) == message


def test_numpy_bool_and_keywords_are_accepted(media):
    decoder, path = open_clip(media, "h264")
    first, times, _ = decoder.decode_video([(0, 0)], "uint8", np.bool_(True))
    second, _, _ = decoder.decode_video(output_dtype="uint8", exact=np.bool_(False), targets=((0, 0),), transforms=())
    assert times == [0.0] and np.array_equal(first, second)


# -- the array -------------------------------------------------------------------------


@pytest.mark.parametrize("dtype, size", [("uint8", 1), ("uint16", 2), ("float32", 4)])
def test_array_layout(media, dtype, size):
    decoder, _ = open_clip(media, "h264")
    array, times, durations = decoder.decode_video([(1024, 0), (0, 0)], dtype, True)
    assert array.dtype == np.dtype(dtype) and array.shape == (2, 120, 160, 3)
    assert array.strides == (120 * 160 * 3 * size, 160 * 3 * size, 3 * size, size)
    assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
    assert type(array.base).__name__ == "PySliceContainer"
    assert all(type(t) is float for t in times + durations)


@pytest.mark.parametrize(
    "clip, dtype, transforms, shape",
    [
        ("h264", "uint8", [], (0, 120, 160, 3)),
        ("h264", "float32", [("crop", 10, 20, 30, 40), ("rotate", 1, 0, 0, 0)], (0, 40, 30, 3)),
        ("gray16be", "native", [], (0, 96, 128, 1)),
        ("rgba", "native", [], (0, 96, 128, 4)),
    ],
)
def test_no_targets(media, clip, dtype, transforms, shape):
    decoder, _ = open_clip(media, clip)
    array, times, durations = decoder.decode_video([], dtype, False, transforms)
    assert array.shape == shape and array.strides == (0, 0, 0, 0)
    assert times == [] and durations == []


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("dtype", ["uint8", "float32"])  # kept as is / converted at the end
def test_arrays_free_their_memory(media, dtype):
    decoder, _ = open_clip(media, "h264")
    big = [("resize", 0, 0, 480, 640)]  # 1.8 MB (uint8) to 7.4 MB (float32) per call

    def call():
        array, _, _ = decoder.decode_video([(0, 0), (0, 0)], dtype, True, big)
        assert array.shape == (2, 480, 640, 3)

    for _ in range(20):
        call()
    before = resident_bytes()
    for _ in range(500):
        call()
    assert resident_bytes() - before < 30 * 2**20


@pytest.mark.parametrize("dtype, error, message", [("uint16", RuntimeError, "batch is too large"), ("uint8", MemoryError, None)])
def test_huge_batches_fail_before_decoding(media, dtype, error, message):
    decoder, _ = open_clip(media, "h264")
    huge = [("resize", 0, 0, 2**31 - 1, 2**31 - 1)]
    with pytest.raises(error) as raised:
        decoder.decode_video([(FAR, 0)], dtype, False, huge)
    if message is not None:
        assert str(raised.value) == message

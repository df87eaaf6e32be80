"""Decoder.decode_video() and decode_timestamps(): frames by presentation timestamp, or the frame a
player shows at each time, as NumPy arrays."""

import functools

import numpy as np
import pytest

from media import BytesFile, assert_like_the_tool, ffmpeg_frames, key_targets, probe_frames, shown_at, source_frames
from quorvex_av import Decoder


@functools.lru_cache(maxsize=None)
def reference(path, pix_fmt="rgb24"):
    return ffmpeg_frames(path, pix_fmt)


def open_clip(media, name):
    path = str(media.path(name))
    return Decoder(path, "video"), path


def decode(decoder, path, indices, dtype="uint8", transforms=(), direct=False):  # frames by presentation index
    pts = [probe_frames(path, 0)[i]["pts"] for i in indices]
    return decoder.decode_video(key_targets(decoder.scan(), pts), dtype, True, list(transforms), direct_resize=direct)


def expected_times(path, indices):  # ffprobe's (times, durations), in seconds
    frames = probe_frames(path, 0)
    return [frames[i]["time"] for i in indices], [frames[i]["seconds"] for i in indices]


# 16-bit output on each kind of conversion (the other clips are 4:2:0 like h264);
# native output is the lossless clips' own samples (alpha last).
U8, U16 = ("uint8", "rgb24", 1), ("uint16", "rgb48le", 257)


@pytest.mark.parametrize("name, dtype, pix_fmt, levels", [
    *[(name, *U8) for name in ("vp9", "mpeg4", "multi", "vfr", "ts_bframes", "ts_open_gop")],
    *[(name, *depth) for depth in (U8, U16)
      for name in ("h264", "tagged", "fullrange", "gray8", "gray16be", "rgba",
                   "odd_width")],  # a width that is not a multiple of 32
    *[(name, "native", None, None) for name in ("gray8", "gray16le", "gray16be", "rgba")]])
def test_every_frame_matches_the_tool(media, name, dtype, pix_fmt, levels):
    decoder, path = open_clip(media, name)
    indices = [i for i, frame in enumerate(probe_frames(path, 0)) if frame["pts"] is not None]  # not AVI's last
    array, times, durations = decode(decoder, path, indices, dtype)
    assert (times, durations) == expected_times(path, indices)
    if dtype == "native":
        source = source_frames(name)
        assert array.dtype == source.dtype and np.array_equal(array, source.reshape(array.shape))
    else:
        assert array.dtype == np.dtype(dtype)
        assert_like_the_tool(array, reference(path, pix_fmt)[indices], levels)


def exact(*indices):  # h264 frames by index: 512 ticks apart, key frames at 0, 12800 and 25600
    return [(512 * i, 12800 * (i // 25)) for i in indices], True, list(indices)


# (Targets no frame answers: the Decoder's error table in test_decoder.)
@pytest.mark.parametrize("targets, exact, expected", [
    exact(60, 5, 30, 5, 5),  # unordered, with repeats
    exact(24, 25, 26, 49, 50, 74, 0),  # across key frames, then back
    ([(600, 0)], False, [2]),  # not exact: the first frame at or after the target
    ([(512, 0)], False, [1]), ([(-700, 0)], False, [0]),
    # The search for 2 starts after the frame that answered 1.
    ([(1, 0), (2, 0)], False, [1, 2]), ([(2, 0), (1, 0)], False, [2, 1]),
    ([(13000, 12800), (600, 0)], False, [26, 2]),
    # A seek point after the target: exact decoding restarts from the stream
    # start; otherwise the first frame after the seek answers.
    ([(5120, 25600)], True, [10]), ([(5120, 25600)], False, [50]),
])
def test_frame_chosen_for_a_target(media, targets, exact, expected):
    decoder, path = open_clip(media, "h264")
    for _ in range(2):  # each call stands alone, wherever the previous one left the stream
        array, times, durations = decoder.decode_video(targets, "uint8", exact)
        assert (times, durations) == expected_times(path, expected)
        assert_like_the_tool(array, reference(path)[expected])
        for slot, index in enumerate(expected):  # a repeated target gets an identical copy
            assert np.array_equal(array[slot], array[expected.index(index)])
    assert decode(decoder, path, [3])[1] == expected_times(path, [3])[0]  # and the decoder stays usable


@pytest.mark.parametrize("chunk", [25, 7, 5])
def test_calls_in_chunks_equal_one_call(media, chunk):
    # Each call decodes on from the last rather than seek to the frame right after its last
    # answer (a seek flushes the frames in flight): the frames and seeks of one call.
    data = media.path("multi").read_bytes()  # Matroska: its seeks reach the file object
    packets = Decoder(data, "video").scan()
    targets = key_targets(packets, [pts for pts, _, _ in packets])
    assert len({seek for _, seek in targets}) == 2
    runs = []
    for calls in ([targets[i:i + chunk] for i in range(0, len(targets), chunk)],
                  [[(pts, targets[0][1]) for pts, _ in targets]]):
        source = BytesFile(data)
        decoder = Decoder(source, "video")
        source.seeks = []
        results = [decoder.decode_video(call, "uint8", True) for call in calls]
        runs.append((np.concatenate([r[0] for r in results]), sum((r[1] for r in results), []), list(source.seeks)))
        # A call going back gets the same frames again.
        assert np.array_equal(decoder.decode_video(calls[0][:5], "uint8", True)[0], results[0][0][:5])
    (walked, *walked_rest), (straight, *straight_rest) = runs
    assert np.array_equal(walked, straight) and walked_rest == straight_rest


def test_array_layout(media):
    decoder, _ = open_clip(media, "h264")
    arrays = {}
    for dtype in ("uint8", "uint16", "float32"):
        # Keywords, a tuple of targets and a NumPy bool are accepted.
        array, times, durations = decoder.decode_video(output_dtype=dtype, exact=np.bool_(True), targets=((1024, 0), (0, 0)))
        assert array.dtype == np.dtype(dtype) and array.shape == (2, 120, 160, 3) and array.flags.c_contiguous
        assert array.flags.writeable and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        assert all(type(t) is float for t in times + durations)
        arrays[dtype] = array
    # float32 is uint16 scaled to [0, 1]; not exact, the same frames answer here.
    assert np.array_equal(arrays["float32"], arrays["uint16"].astype(np.float32) / np.float32(65535))
    assert times == [0.08, 0.0]
    assert np.array_equal(decoder.decode_video([(1024, 0), (0, 0)], "uint8", np.bool_(False), ())[0], arrays["uint8"])


def test_released_batches_are_reused_without_touching_live_ones(media):
    # Batches of 8 MB and more reuse released ones of a similar size: every
    # frame is written again, and live arrays keep their frames.
    decoder, path = open_clip(media, "h264")
    targets = key_targets(decoder.scan(), [frame["pts"] for frame in probe_frames(path, 0)])[:30]
    big = [("resize", 0, 0, 360, 480)]  # 30 frames: 15.6 MB
    first = decoder.decode_video(targets, "uint8", True, big)[0]
    expected = first.copy()
    first[:] = 7
    del first
    second = decoder.decode_video(targets[::-1], "uint8", True, big)[0]
    third = decoder.decode_video(targets, "uint8", True, big)[0]
    del third
    fourth = decoder.decode_video(targets[:24], "uint8", True, big)[0]
    assert np.array_equal(second, expected[::-1]) and np.array_equal(fourth, expected[:24])
    floats = decoder.decode_video(targets, "float32", True, big)[0]
    assert np.abs(floats[10] * 255 - second[19]).max() <= 4  # resized at 16 bits, not 8


@pytest.mark.parametrize("clip, dtype, transforms, shape", [
    ("h264", "uint8", [], (0, 120, 160, 3)), ("gray16be", "native", [], (0, 96, 128, 1)),
    ("rgba", "native", [], (0, 96, 128, 4)),
    ("h264", "float32", [("crop", 10, 20, 30, 40), ("rotate", 1, 0, 0, 0)], (0, 40, 30, 3)),
    # The largest the scaler addresses: 3 x 32000 bytes a row (a multiple of 64) x 22000 rows < 2**31.
    ("h264", "uint8", [("resize", 0, 0, 22000, 32000)], (0, 22000, 32000, 3)),
])
def test_no_targets(media, clip, dtype, transforms, shape):
    array, times, durations = open_clip(media, clip)[0].decode_video([], dtype, False, transforms)
    assert array.shape == shape and array.strides == (0, 0, 0, 0) and times == durations == []


def test_occurrences_reach_frames_that_share_a_pts(media):
    decoder, path = open_clip(media, "shared_pts")
    want = reference(path)
    pts = [80 * (i // 2) for i in range(25)]  # pairs: 0, 0, 80, 80, ... ms
    every = decoder.decode_video([(p, 0) for p in pts], "uint8", True, occurrences=[i % 2 for i in range(25)])
    assert_like_the_tool(every[0], want)
    # Any order, repeats, seek points of their own, a continued walk.
    picks = [7, 3, 6, 3, 24, 2]
    array, times, _ = decoder.decode_video([(pts[i], pts[i]) for i in picks], "uint8", True,
                                           occurrences=[i % 2 for i in picks])
    assert_like_the_tool(array, want[picks])
    assert times == [pts[i] / 1000 for i in picks]
    # Without occurrences, targets of one pts still join: the pair's first frame.
    assert_like_the_tool(decoder.decode_video([(80, 0), (80, 0)], "uint8", True)[0], want[[2, 2]])


# (frame index, fraction of its duration): on and between frames, twice in one, either side of
# key frame 25, inside the final one.  (Times nothing is shown at: test_decoder's error table.)
PLACES = [(0, 0.0), (0, 0.5), (3, 0.25), (3, 0.75), (24, 0.99), (25, 0.0), (26, 0.5), (-1, 0.0), (-1, 0.999)]


@pytest.mark.parametrize("batched, dtype, transforms, direct", [
    (True, "uint8", [], False), (False, "uint8", [], False),
    (True, "float32", [("crop", 8, 4, 64, 48), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 40, 30)], False),
    (True, "uint8", [("resize", 0, 0, 60, 80)], True),
], ids=["one call", "call per time", "float32 transformed", "one-pass resize"])
@pytest.mark.parametrize("name", ["h264", "multi", "vp9"])
def test_frame_shown_matches_the_reference(media, name, batched, dtype, transforms, direct):
    decoder, path = open_clip(media, name)
    frames = probe_frames(path, 0)
    times = [frames[i]["time"] + frac * frames[i]["seconds"] for i, frac in PLACES]
    expected = [shown_at(frames, t) for t in times]
    assert None not in expected and expected[0] == 0 and expected[-1] == len(frames) - 1
    results = [decoder.decode_timestamps(call, dtype, transforms, direct_resize=direct)
               for call in ([times] if batched else [[t] for t in times])]
    assert tuple(sum((r[part] for r in results), []) for part in (1, 2)) == expected_times(path, expected)
    array = np.concatenate([r[0] for r in results])  # the frames decode_video gives for their exact pts
    assert array.dtype == np.dtype(dtype)
    assert np.array_equal(array, decode(decoder, path, expected, dtype, transforms, direct)[0])


def test_seeks_only_to_skip_a_key_frame(media):
    # Matroska's seeks reach the file object, key frames a second apart; opening may seek
    # several times, so the calls are compared with one for the first time alone.
    data = media.path("multi").read_bytes()

    def seeks_for(times):
        source = BytesFile(data)
        decoder = Decoder(source, "video")
        source.seeks = []
        assert len(decoder.decode_timestamps(times, "uint8")[1]) == len(times)
        return source.seeks

    alone = seeks_for([0.1])
    assert alone  # the counter sees the positioning
    # Later times inside the same group of pictures are reached by decoding on.
    assert seeks_for([0.1, 0.3, 0.6, 0.98]) == alone
    # A key frame between two times: a further seek, forward past the frames
    # in between rather than back to an earlier point.
    across = seeks_for([0.1, 1.1])
    assert across[:len(alone)] == alone and len(across) > len(alone) and min(across[len(alone):]) > alone[-1]


@pytest.mark.parametrize("name, seconds, times, durations", [
    ("h264", [0, 1, 2], [0.0, 1.0, 2.0], [0.04] * 3), ("h264", (0.5, 1.5), [0.48, 1.48], [0.04] * 2),
    ("h264", np.array([0.5, 1.5]), [0.48, 1.48], [0.04] * 2), ("h264", [], [], []),
    ("unknown_duration", [0.5], [0.48], [0.0]),  # frames without a duration report 0
], ids=["ints", "tuple", "ndarray", "empty", "no durations"])
def test_accepted_sequences(media, name, seconds, times, durations):
    array, got, got_durations = Decoder(str(media.path(name)), "video").decode_timestamps(seconds, "uint8")
    assert array.shape == (len(times), 120, 160, 3) and (got, got_durations) == (times, durations)
    assert times or array.strides == (0, 0, 0, 0)

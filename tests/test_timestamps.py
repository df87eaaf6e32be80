"""Decoder.decode_timestamps(): the frame a player shows at each time."""

import numpy as np
import pytest

from media import BytesFile, key_targets, probe_frames, shown_at
from quorvex_av import Decoder

NO_FRAME = "no frame at or before requested timestamp"
PAST_END = "timestamp exceeds final frame duration or duration is unknown"


# (frame index, fraction of that frame's duration): on frames, between
# frames, twice inside one frame, either side of the key frame at index 25,
# and inside the final frame's duration.
PLACES = [(0, 0.0), (0, 0.5), (3, 0.25), (3, 0.75), (24, 0.99), (25, 0.0),
          (26, 0.5), (-1, 0.0), (-1, 0.999)]


@pytest.mark.parametrize(
    "batched, dtype, transforms, direct",
    [(True, "uint8", [], False), (False, "uint8", [], False),
     (True, "float32", [("crop", 8, 4, 64, 48), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 40, 30)], False),
     (True, "uint8", [("resize", 0, 0, 60, 80)], True)],
    ids=["one call", "call per time", "float32 transformed", "one-pass resize"],
)
@pytest.mark.parametrize("name", ["h264", "multi", "vp9"])
def test_frame_shown_matches_the_reference(media, name, batched, dtype, transforms, direct):
    path = str(media.path(name))
    frames = probe_frames(path, 0)
    times = [frames[i]["time"] + frac * frames[i]["seconds"] for i, frac in PLACES]
    expected = [shown_at(frames, t) for t in times]
    assert None not in expected and expected[0] == 0 and expected[-1] == len(frames) - 1

    decoder = Decoder(path, "video")
    calls = [times] if batched else [[t] for t in times]
    results = [decoder.decode_timestamps(call, dtype, transforms, direct_resize=direct) for call in calls]
    array = np.concatenate([r[0] for r in results])
    got_times, durations = sum((r[1] for r in results), []), sum((r[2] for r in results), [])
    assert got_times == [frames[i]["time"] for i in expected]
    assert durations == [frames[i]["seconds"] for i in expected]
    # The same frames as decode_video gives for their exact pts.
    targets = key_targets(decoder.scan(), [frames[i]["pts"] for i in expected])
    assert array.dtype == np.dtype(dtype)
    assert np.array_equal(array, decoder.decode_video(targets, dtype, True, transforms, direct_resize=direct)[0])


# Times as functions of the first frame's time and the end of the last one.
@pytest.mark.parametrize(
    "name, times, message",
    [
        ("h264", lambda first, end: [-0.001], NO_FRAME),
        ("multi", lambda first, end: [first - 0.0001, 0.5], NO_FRAME),  # its first frame is after 0
        ("h264", lambda first, end: [end], PAST_END),  # the final frame covers [2.96, 3.0)
        ("h264", lambda first, end: [0.5, 2.97, end], PAST_END),
        # Its frames carry no duration, so nothing covers the final frame's own time.
        ("unknown_duration", lambda first, end: [end], PAST_END),
    ],
)
def test_times_nothing_is_shown_at(media, name, times, message):
    path = str(media.path(name))
    frames = probe_frames(path, 0)
    times = times(frames[0]["time"], frames[-1]["time"] + frames[-1]["seconds"])
    assert frames[0]["time"] > 0 or name != "multi"
    assert None in [shown_at(frames, t) for t in times]
    decoder = Decoder(path, "video")
    with pytest.raises(RuntimeError) as raised:
        decoder.decode_timestamps(times, "uint8")
    assert str(raised.value) == message
    # The decoder stays usable; unknown durations are 0.
    shown = frames[shown_at(frames, 0.5)]
    assert decoder.decode_timestamps([0.5], "uint8")[1:] == ([shown["time"]], [shown["seconds"]])


def test_seeks_only_to_skip_a_key_frame(media):
    # The Matroska clip is read through seeks we can see (its index is at the
    # end, clusters are far apart); key frames are a second apart, the first
    # one shortly after 0.
    # Opening the stream and finding the first time may seek several times
    # inside the library, so the calls are compared with a call for the
    # first time alone rather than with fixed counts.
    data = media.path("multi").read_bytes()

    def seeks_for(times):
        source = BytesFile(data)
        decoder = Decoder(source, "video")
        source.seeks = []
        _, got, _ = decoder.decode_timestamps(times, "uint8")
        assert len(got) == len(times)
        return source.seeks

    alone = seeks_for([0.1])
    assert alone  # the counter sees the positioning
    # Later times inside the same group of pictures are reached by decoding on.
    assert seeks_for([0.1, 0.3, 0.6, 0.98]) == alone
    # A key frame between two times: a further seek, forward past the frames
    # in between rather than back to an earlier point.
    across = seeks_for([0.1, 1.1])
    assert across[:len(alone)] == alone and len(across) > len(alone)
    assert min(across[len(alone):]) > alone[-1]


@pytest.mark.parametrize(
    "seconds, times",
    [([0, 1, 2], [0.0, 1.0, 2.0]), ((0.5, 1.5), [0.48, 1.48]), (np.array([0.5, 1.5]), [0.48, 1.48]), ([], [])],
    ids=["ints", "tuple", "ndarray", "empty"],
)
def test_accepted_sequences(media, seconds, times):
    array, got, durations = Decoder(str(media.path("h264")), "video").decode_timestamps(seconds, "uint8")
    assert array.shape == (len(times), 120, 160, 3) and got == times and len(durations) == len(times)
    assert times or array.strides == (0, 0, 0, 0)

"""Decoder.decode_timestamps(): the frame a player shows at each time."""

import numpy as np
import pytest

from media import BytesFile, key_targets, probe_frames, shown_at
from quorvex_av import Decoder

# (frame index, fraction of its duration): on and between frames, twice in one, either side of
# key frame 25, inside the final one.  (Times nothing is shown at: test_decoder's error table.)
PLACES = [(0, 0.0), (0, 0.5), (3, 0.25), (3, 0.75), (24, 0.99), (25, 0.0),
          (26, 0.5), (-1, 0.0), (-1, 0.999)]


@pytest.mark.parametrize("batched, dtype, transforms, direct", [
    (True, "uint8", [], False), (False, "uint8", [], False),
    (True, "float32", [("crop", 8, 4, 64, 48), ("rotate", 1, 0, 0, 0), ("resize", 0, 0, 40, 30)], False),
    (True, "uint8", [("resize", 0, 0, 60, 80)], True),
], ids=["one call", "call per time", "float32 transformed", "one-pass resize"])
@pytest.mark.parametrize("name", ["h264", "multi", "vp9"])
def test_frame_shown_matches_the_reference(media, name, batched, dtype, transforms, direct):
    path = str(media.path(name))
    frames = probe_frames(path, 0)
    times = [frames[i]["time"] + frac * frames[i]["seconds"] for i, frac in PLACES]
    expected = [shown_at(frames, t) for t in times]
    assert None not in expected and expected[0] == 0 and expected[-1] == len(frames) - 1
    decoder = Decoder(path, "video")
    results = [decoder.decode_timestamps(call, dtype, transforms, direct_resize=direct)
               for call in ([times] if batched else [[t] for t in times])]
    assert [sum((r[part] for r in results), []) for part in (1, 2)] == [
        [frames[i]["time"] for i in expected], [frames[i]["seconds"] for i in expected]]
    # The same frames as decode_video gives for their exact pts.
    array = np.concatenate([r[0] for r in results])
    targets = key_targets(decoder.scan(), [frames[i]["pts"] for i in expected])
    assert array.dtype == np.dtype(dtype)
    assert np.array_equal(array, decoder.decode_video(targets, dtype, True, transforms, direct_resize=direct)[0])


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

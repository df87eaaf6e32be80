"""Crop, resize and rotate transforms of the video calls."""

import numpy as np
import pytest

from media import assert_like_the_tool, crop, ffmpeg_frames, key_targets, resize, rotate
from quorvex_av import Decoder

# h264 clip: 120 rows x 160 columns; frame 0 is a key frame, 1024 a B-frame.
TARGETS = [(1024, 0), (0, 0), (1024, 0)]


@pytest.fixture
def decoder(media):
    return Decoder(str(media.path("h264")), "video")


def transformed(decoder, transforms, dtype="uint8", direct=False, targets=TARGETS):
    return decoder.decode_video(targets, dtype, True, transforms, direct_resize=direct)[0]


def every_target(decoder):
    packets = decoder.scan()
    return key_targets(packets, [pts for pts, _, _ in packets])


def rot90(turns):
    return lambda a: np.rot90(a, turns, axes=(1, 2))  # counter-clockwise for positive turns


def cropped(top, left, height, width):
    return lambda a: a[:, top:top + height, left:left + width]


@pytest.mark.parametrize("dtype", ["uint8", "uint16", "float32"])
@pytest.mark.parametrize("transforms, expected", [
    *[([rotate(turns)], rot90(turns)) for turns in (0, 1, 2, 3, -1, 5)],
    *[([crop(*box)], cropped(*box)) for box in [(0, 0, 120, 160), (10, 20, 50, 30), (119, 159, 1, 1),
                                                (0, 1, 120, 159)]],
    # Chains apply in order: each step reads the previous one's result.
    ([rotate(1), crop(5, 7, 150, 50)], lambda a: cropped(5, 7, 150, 50)(rot90(1)(a))),
    ([crop(10, 20, 50, 30), rotate(3)], lambda a: rot90(3)(cropped(10, 20, 50, 30)(a))),
    ([rotate(1), rotate(1)], rot90(2)), ([rotate(2), rotate(3), rotate(2), rotate(1)], rot90(0)),
    ([rotate(1), crop(3, 4, 100, 90), rotate(3)], lambda a: rot90(3)(cropped(3, 4, 100, 90)(rot90(1)(a)))),
])
def test_rotate_and_crop(decoder, dtype, transforms, expected):
    assert np.array_equal(transformed(decoder, transforms, dtype), expected(transformed(decoder, [], dtype)))


@pytest.mark.parametrize("transforms, shape, region", [
    ([resize(60, 80, ignored=7)], (60, 80), np.s_[:]), ([resize(241, 319)], (241, 319), np.s_[:]),
    ([resize(60, 80), rotate(1)], (80, 60), np.s_[:]), ([resize(60, 80), resize(30, 200)], (30, 200), np.s_[:]),
    ([crop(0, 0, 60, 60), resize(30, 90)], (30, 90), np.s_[:, :60, :60]),
    ([resize(60, 80), rotate(1), resize(100, 50)], (100, 50), np.s_[:]),
])
def test_resize(decoder, transforms, shape, region):
    scaled = transformed(decoder, transforms)
    assert scaled.shape == (3, *shape, 3)
    # Bilinear scaling keeps each channel's mean to within about one level; the
    # clip's channel means differ by several: a swapped order, a wrong stride or garbage shows.
    source = transformed(decoder, [])[region].astype(float)
    assert np.abs(scaled.mean(axis=(1, 2)) - source.mean(axis=(1, 2))).max() < 1.5


# One decoder keeps its scaling stages from call to call: each request gives
# what a fresh decoder gives, whichever request came before it.
@pytest.mark.parametrize("direct, requests", [
    (False, [("uint8", [resize(60, 80), rotate(1), resize(100, 50)]),
             ("uint16", [resize(60, 80), rotate(1), resize(100, 50)]),  # the same stages, another sample width
             ("uint8", [resize(30, 40), resize(200, 10)])]),
    (True, [("uint8", [crop(10, 20, 80, 100), resize(30, 40)]),  # planar YUV, then packed
            ("uint8", [crop(0, 0, 80, 100), resize(30, 40)]),  # another crop of the same size
            ("uint8", [crop(0, 0, 100, 120), resize(30, 40)]),  # another source size, same output
            ("uint16", [crop(0, 0, 100, 120), resize(30, 40)]),  # one step: another target format
            ("uint8", [resize(50, 75)]),  # one step: an odd width
            ("uint8", [resize(64, 64)])]),  # written in place
], ids=["two steps", "one pass"])
def test_scalers_follow_each_request(media, direct, requests):
    path = str(media.path("h264"))
    fresh = [transformed(Decoder(path, "video"), chain, dtype, direct) for dtype, chain in requests]
    decoder = Decoder(path, "video")
    for i in [*range(len(requests)), *reversed(range(len(requests)))]:
        assert np.array_equal(transformed(decoder, requests[i][1], requests[i][0], direct), fresh[i]), i


# The tool's scale filter, told the output format, converts and scales in one
# pass of the same library (allowing the other pixel tests' tolerance for flags).
@pytest.mark.parametrize("name, vf, transforms", [
    ("h264", "scale=224:224", [resize(224, 224)]),  # up, width a multiple of 32: written in place
    ("h264", "scale=75:50", [resize(50, 75)]),  # down, through the cached frame
    ("h264", "crop=100:80:20:10,scale=60:50", [crop(10, 20, 80, 100), resize(50, 60)]),  # source planes cut
    # To half the height or less, even width: scaled to planar YUV, then packed.
    ("h264", "crop=100:80:20:10,scale=40:30", [crop(10, 20, 80, 100), resize(30, 40)]),
    ("h264", "scale=64:40", [resize(40, 64)]),
    ("fullrange", "scale=64:48", [resize(48, 64)]),  # the frame's own range
])
@pytest.mark.parametrize("dtype, pix_fmt, levels", [("uint8", "rgb24", 1), ("uint16", "rgb48le", 257)])
def test_direct_resize_matches_the_tools_one_pass(media, name, vf, transforms, dtype, pix_fmt, levels):
    path = str(media.path(name))
    decoder = Decoder(path, "video")
    got = transformed(decoder, transforms, dtype, True, every_target(decoder))
    want = ffmpeg_frames(path, pix_fmt, vf=f"{vf}:flags=bilinear", size=transforms[-1][3:])
    assert_like_the_tool(got, want, levels)


@pytest.mark.parametrize("name, transforms", [
    # RGB pictures scaled to their own size are copied, so the one pass gives exactly the two
    # steps' pixels: a crop of the turned picture mapped wrongly onto the planes shows.
    *[("rgba", [rotate(before), crop(7, 11, 50, 30), resize(50, 30), rotate(after)])
      for before, after in [(0, 0), (1, 0), (2, 3), (3, 1), (0, 2)]],
    # Chains the one pass does not take: the two steps run.
    ("h264", [crop(11, 21, 80, 100), resize(50, 60)]),  # an odd offset would split the subsampled chroma
    ("h264", [resize(60, 80), resize(30, 40)]), ("h264", [resize(60, 80), crop(0, 0, 30, 40)]),
    ("h264", [crop(3, 4, 50, 60)]),
])
def test_direct_resize_gives_what_the_two_steps_give(media, name, transforms):
    decoder = Decoder(str(media.path(name)), "video")
    targets = every_target(decoder)[:3] if name == "rgba" else TARGETS
    assert np.array_equal(*(transformed(decoder, transforms, "uint8", direct, targets) for direct in (True, False)))

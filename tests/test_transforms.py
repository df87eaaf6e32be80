"""Crop, resize and rotate transforms of the video calls."""

import numpy as np
import pytest

from quorvex_av import Decoder

# h264 clip: 120 rows x 160 columns; frame 0 is a key frame, 1024 a B-frame.
TARGETS = [(1024, 0), (0, 0), (1024, 0)]
FAR = [(10**12, 0)]  # no frame there: a check that passes would decode and fail


@pytest.fixture
def decoder(media):
    return Decoder(str(media.path("h264")), "video")


def transformed(decoder, transforms, dtype="uint8"):
    return decoder.decode_video(TARGETS, dtype, True, transforms)[0]


def plain(decoder, dtype="uint8"):
    return transformed(decoder, [], dtype)


def rotate(turns):
    return ("rotate", turns, 0, 0, 0)


def crop(top, left, height, width):
    return ("crop", top, left, height, width)


def resize(height, width, ignored=0):
    return ("resize", ignored, -ignored, height, width)


@pytest.mark.parametrize("dtype", ["uint8", "uint16"])
@pytest.mark.parametrize(
    "turns, corner", [(0, (0, 0)), (1, (0, -1)), (2, (-1, -1)), (3, (-1, 0)), (-1, (-1, 0)), (4, (0, 0)), (5, (0, -1))]
)
def test_rotation(decoder, dtype, turns, corner):
    source = plain(decoder, dtype)
    turned = transformed(decoder, [rotate(turns)], dtype)
    assert turned.shape == ((3, 160, 120, 3) if turns % 2 else source.shape)
    # Counter-clockwise turns: the named source corner comes to the top left.
    assert np.array_equal(turned[:, 0, 0], source[:, corner[0], corner[1]])
    assert np.array_equal(turned, np.rot90(source, turns, axes=(1, 2)))


@pytest.mark.parametrize("dtype", ["uint8", "float32"])
@pytest.mark.parametrize("box", [(0, 0, 120, 160), (10, 20, 50, 30), (119, 159, 1, 1), (0, 1, 120, 159)])
def test_crop(decoder, dtype, box):
    top, left, height, width = box
    assert np.array_equal(
        transformed(decoder, [crop(*box)], dtype),
        plain(decoder, dtype)[:, top:top + height, left:left + width])


@pytest.mark.parametrize(
    "transforms, expected",
    [
        ([rotate(1), crop(0, 0, 160, 120)], lambda a: np.rot90(a, 1, (1, 2))),
        ([rotate(1), crop(5, 7, 150, 50)], lambda a: np.rot90(a, 1, (1, 2))[:, 5:155, 7:57]),
        ([crop(10, 20, 50, 30), rotate(3)], lambda a: np.rot90(a[:, 10:60, 20:50], 3, (1, 2))),
        # A second rotation reads the first one's result.
        ([rotate(1), rotate(1)], lambda a: a[:, ::-1, ::-1]),
        ([rotate(1), crop(3, 4, 100, 90), rotate(3)], lambda a: np.rot90(np.rot90(a, 1, (1, 2))[:, 3:103, 4:94], 3, (1, 2))),
        ([rotate(2), rotate(3), rotate(2), rotate(1)], lambda a: a),
    ],
)
def test_chains_apply_in_order(decoder, transforms, expected):
    assert np.array_equal(transformed(decoder, transforms), expected(plain(decoder)))


@pytest.mark.parametrize(
    "transforms, shape, region",
    [
        ([resize(60, 80, ignored=7)], (60, 80), np.s_[:]),
        ([resize(241, 319)], (241, 319), np.s_[:]),
        ([crop(0, 0, 60, 60), resize(30, 90)], (30, 90), np.s_[:, :60, :60]),
        ([resize(60, 80), rotate(1)], (80, 60), np.s_[:]),
        ([resize(60, 80), resize(30, 200)], (30, 200), np.s_[:]),
    ],
)
def test_resize(decoder, transforms, shape, region):
    scaled = transformed(decoder, transforms)
    assert scaled.shape == (3, *shape, 3)
    # Bilinear scaling keeps each channel's mean level to within about one
    # level; the clip's channel means differ by several levels, so a swapped
    # channel order, a wrong stride or garbage would show.
    source = plain(decoder)[region].astype(float)
    assert np.abs(scaled.mean(axis=(1, 2)) - source.mean(axis=(1, 2))).max() < 1.5


def test_resize_to_the_same_size_keeps_the_picture(decoder):
    diff = transformed(decoder, [resize(120, 160)]).astype(int) - plain(decoder)
    assert np.abs(diff).max() <= 1


def test_resize_stages_are_rebuilt_only_as_needed(decoder):
    chain = [resize(60, 80), rotate(1), resize(100, 50)]
    first = transformed(decoder, chain)
    assert first.shape == (3, 100, 50, 3)
    assert np.array_equal(transformed(decoder, chain), first)
    # Other sizes and another sample width for the same stages, then back.
    # 8- and 16-bit scaling round differently: a few levels; a stage kept
    # for the wrong sample width would give garbage.
    diff = np.abs((transformed(decoder, chain, "uint16") >> 8).astype(int) - first)
    assert diff.max() <= 6 and diff.mean() < 1
    assert transformed(decoder, [resize(30, 40), resize(200, 10)]).shape == (3, 200, 10, 3)
    assert np.array_equal(transformed(decoder, chain), first)


@pytest.mark.parametrize(
    "transforms, message",
    [
        ([crop(1, 0, 120, 160)], "crop exceeds the frame"),
        ([crop(0, 1, 120, 160)], "crop exceeds the frame"),
        ([crop(0, 0, 121, 1)], "crop exceeds the frame"),
        ([crop(0, 0, 0, 10)], "crop exceeds the frame"),
        ([crop(0, 0, 10, 0)], "crop exceeds the frame"),
        ([crop(-1, 0, 10, 10)], "crop exceeds the frame"),
        ([crop(0, -1, 10, 10)], "crop exceeds the frame"),
        ([crop(0, 0, -10, 10)], "crop exceeds the frame"),
        ([crop(2**31 - 1, 0, 2**31 - 1, 10)], "crop exceeds the frame"),
        ([crop(0, 2**31 - 1, 10, 2**31 - 1)], "crop exceeds the frame"),
        ([crop(100, 0, 2**31 - 1, 10)], "crop exceeds the frame"),
        # Checked against the size the earlier steps leave.
        ([rotate(1), crop(0, 0, 120, 160)], "crop exceeds the frame"),
        ([rotate(2), crop(0, 0, 120, 160), crop(0, 0, 121, 1)], "crop exceeds the frame"),
        ([resize(60, 80), crop(0, 0, 61, 80)], "crop exceeds the frame"),
        ([resize(0, 10)], "resize size must be positive"),
        ([resize(10, 0)], "resize size must be positive"),
        ([resize(-5, 10)], "resize size must be positive"),
        # The first failing step decides.
        ([resize(0, 10), crop(0, 0, 0, 0)], "resize size must be positive"),
        ([crop(0, 0, 0, 0), resize(0, 10)], "crop exceeds the frame"),
        # Names are parsed before any size is checked.
        ([crop(0, 0, 0, 0), ("flip", 0, 0, 0, 0)], "invalid transform"),
        ([("Crop", 0, 0, 10, 10)], "invalid transform"),
        ([("rotate ", 1, 0, 0, 0)], "invalid transform"),
        ([("", 0, 0, 0, 0)], "invalid transform"),
    ],
)
def test_refused_before_decoding(decoder, transforms, message):
    with pytest.raises(ValueError) as raised:
        decoder.decode_video(FAR, "uint8", False, transforms)
    assert str(raised.value) == message

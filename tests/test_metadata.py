"""Decoder.metadata(): the stream header as a dictionary."""


import numpy as np
import pytest

from quorvex_av import Decoder

COMMON = [
    "stream_index", "media_type", "time_base_num", "time_base_den", "codec", "bit_rate",
    "duration_seconds_from_header", "container_duration", "begin_stream_seconds_from_header",
]
VIDEO = COMMON + [
    "width", "height", "num_frames_from_header", "average_fps_from_header", "pixel_aspect_ratio",
    "pixel_format", "bit_depth", "color_range", "color_space", "color_primaries",
    "color_transfer_characteristic", "rotation",
]
AUDIO = COMMON + ["sample_rate", "num_channels", "sample_format"]


def approx(value):
    return None if value is None else pytest.approx(value, rel=1e-4, abs=1e-6)


@pytest.mark.parametrize(
    "name, media_type, index",
    [*[(name, "video", None) for name in ("h264", "vp9", "mpeg4", "gray8", "gray16be", "rgba", "fullrange",
                                          "tagged", "no_duration", "rotated90")],
     *[(name, "audio", None) for name in ("aac", "mp3", "wav", "flac", "opus")],
     ("h264_audio", "audio", 1), ("multi", "audio", 1), ("multi", "audio", 2)],
)
def test_metadata_matches_the_facts(media, name, media_type, index):
    facts = media.facts(name)
    facts = facts["others"].get(index, facts)
    metadata = Decoder(str(media.path(name)), media_type, index).metadata()
    assert list(metadata) == (VIDEO if media_type == "video" else AUDIO)
    assert metadata["stream_index"] == facts["index"] and metadata["media_type"] == media_type
    assert (metadata["time_base_num"], metadata["time_base_den"]) == (
        facts["time_base"].numerator, facts["time_base"].denominator)
    assert metadata["codec"] == facts["codec"]
    assert isinstance(metadata["bit_rate"], float) and metadata["bit_rate"] >= 0.0
    assert metadata["duration_seconds_from_header"] == approx(facts["duration"])
    assert metadata["container_duration"] == approx(facts["container_duration"])
    assert metadata["begin_stream_seconds_from_header"] == approx(facts["start_time"])
    if media_type == "audio":
        assert [metadata[key] for key in AUDIO[-3:]] == [facts["sample_rate"], facts["channels"], facts["sample_fmt"]]
        return
    assert (metadata["width"], metadata["height"]) == (facts["width"], facts["height"])
    assert metadata["num_frames_from_header"] == facts["header_frames"]
    assert metadata["average_fps_from_header"] == pytest.approx(float(facts["fps"]))
    assert metadata["pixel_format"] == facts["pix_fmt"]
    assert metadata["bit_depth"] == (16 if "16" in facts["pix_fmt"] else 8)
    num, den = metadata["pixel_aspect_ratio"]
    assert type(num) is int and type(den) is int
    # The tags the recipe asked for, and whatever else the muxer wrote; None when untagged.
    colours = ("color_range", "color_space", "color_primaries", "color_transfer")
    assert [metadata[key] for key in VIDEO[-5:-1]] == [facts[key] for key in colours]
    assert all(facts[key] == value for key, value in facts["colours"].items())


def test_rotation(media):
    facts = media.facts("rotated90")
    decoder = Decoder(str(media.path("rotated90")), "video")
    rotation = decoder.metadata()["rotation"]
    assert rotation == pytest.approx(facts["rotation"]) and abs(rotation) == 90.0
    assert decoder.metadata(apply_rotation=False)["rotation"] is None
    assert decoder.metadata(np.bool_(False))["rotation"] is None
    assert decoder.metadata(np.bool_(True))["rotation"] == rotation
    # Width and height stay as coded.
    assert (decoder.metadata()["width"], decoder.metadata()["height"]) == (facts["width"], facts["height"])
    # No display matrix, or the identity, is no rotation at all.
    assert Decoder(str(media.path("h264")), "video").metadata()["rotation"] is None


def test_mirrored_matrix(media):
    decoder = Decoder(str(media.path("mirrored")), "video")
    with pytest.raises(NotImplementedError, match="^reflected or singular display matrices are unsupported$"):
        decoder.metadata()
    metadata = decoder.metadata(apply_rotation=False)
    assert metadata["rotation"] is None and list(metadata) == VIDEO

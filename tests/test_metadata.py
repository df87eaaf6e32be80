"""Decoder.metadata(): the stream header as a dictionary."""

import math

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

VIDEO_CLIPS = ["h264", "vp9", "mpeg4", "gray8", "gray16be", "rgba", "fullrange", "tagged",
               "no_duration", "rotated90"]
AUDIO_CLIPS = ["aac", "mp3", "wav", "flac", "opus", "h264_audio"]


def approx(value):
    return None if value is None else pytest.approx(value, rel=1e-4, abs=1e-6)


def check_common(metadata, facts, media_type):
    assert metadata["stream_index"] == facts["index"]
    assert metadata["media_type"] == media_type
    assert (metadata["time_base_num"], metadata["time_base_den"]) == (
        facts["time_base"].numerator, facts["time_base"].denominator)
    assert metadata["codec"] == facts["codec"]
    assert isinstance(metadata["bit_rate"], float) and metadata["bit_rate"] >= 0.0
    assert metadata["duration_seconds_from_header"] == approx(facts["duration"])
    assert metadata["container_duration"] == approx(facts["container_duration"])
    assert metadata["begin_stream_seconds_from_header"] == approx(facts["start_time"])


@pytest.mark.parametrize("name", VIDEO_CLIPS)
def test_video_metadata(media, name):
    facts = media.facts(name)
    metadata = Decoder(str(media.path(name)), "video").metadata()
    assert list(metadata) == VIDEO
    check_common(metadata, facts, "video")
    assert (metadata["width"], metadata["height"]) == (facts["width"], facts["height"])
    assert metadata["num_frames_from_header"] == facts["header_frames"]
    assert metadata["average_fps_from_header"] == pytest.approx(float(facts["fps"]))
    assert metadata["pixel_format"] == facts["pix_fmt"]
    assert metadata["bit_depth"] == (16 if "16" in facts["pix_fmt"] else 8)
    num, den = metadata["pixel_aspect_ratio"]
    assert type(num) is int and type(den) is int
    assert metadata["color_range"] == facts.get("color_range")
    assert metadata["color_space"] == facts.get("color_space")
    assert metadata["color_primaries"] == facts.get("color_primaries")
    assert metadata["color_transfer_characteristic"] == facts.get("color_transfer")


@pytest.mark.parametrize("name", AUDIO_CLIPS)
def test_audio_metadata(media, name):
    facts = media.facts(name)
    if facts["type"] != "audio":
        facts = next(s for s in facts["others"].values() if s["type"] == "audio")
    metadata = Decoder(str(media.path(name)), "audio").metadata()
    assert list(metadata) == AUDIO
    check_common(metadata, facts, "audio")
    assert metadata["sample_rate"] == facts["sample_rate"]
    assert metadata["num_channels"] == facts["channels"]
    assert metadata["sample_format"] == facts["sample_fmt"]


def test_each_stream_of_a_multi_stream_file(media):
    path = str(media.path("multi"))
    facts = media.facts("multi")
    for index, stream in facts["others"].items():
        if stream["type"] != "audio":
            continue
        metadata = Decoder(path, "audio", index).metadata()
        check_common(metadata, stream, "audio")
        assert metadata["sample_rate"] == stream["sample_rate"]


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


@pytest.mark.parametrize("value", [1, 0, "yes", None, 1.0])
def test_apply_rotation_must_be_a_bool(media, value):
    decoder = Decoder(str(media.path("h264")), "video")
    message = f"^argument 'apply_rotation': '{type(value).__name__}' object cannot be converted to 'PyBool'$"
    with pytest.raises(TypeError, match=message):
        decoder.metadata(value)
    with pytest.raises(TypeError, match=message):
        decoder.metadata(apply_rotation=value)


def test_metadata_does_not_disturb_decoding(media):
    decoder = Decoder(str(media.path("h264")), "video")
    first = decoder.scan()
    decoder.metadata()
    assert decoder.scan() == first
    assert not math.isnan(decoder.metadata()["bit_rate"])

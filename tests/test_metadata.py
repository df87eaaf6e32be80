"""Decoder.metadata(): the stream header as a dictionary, and the listing of a
container's streams, as ffprobe reads them."""

import io
import json
from fractions import Fraction

import numpy as np
import pytest

from media import _run, probe_stream
from quorvex_av import Decoder, list_streams

COMMON = ["stream_index", "media_type", "time_base_num", "time_base_den", "codec", "bit_rate",
          "duration_seconds_from_header", "container_duration", "begin_stream_seconds_from_header"]
VIDEO = COMMON + ["width", "height", "num_frames_from_header", "average_fps_from_header", "pixel_aspect_ratio",
                  "pixel_format", "bit_depth", "color_range", "color_space", "color_primaries",
                  "color_transfer_characteristic", "rotation"]
AUDIO = COMMON + ["sample_rate", "num_channels", "sample_format"]
# Tags the recipes ask for, so that the comparison with ffprobe is not one of unset values.
TAGGED = {"fullrange": dict(color_range="pc"), "rotated90": dict(rotation=-90.0),
          "tagged": dict(color_range="tv", color_space="bt709", color_primaries="bt709",
                         color_transfer_characteristic="bt709")}


def number(value, kind=float, positive=True):  # None where ffprobe reads the value as unset
    value = None if value in (None, "N/A") else kind(value)
    return None if value is None or (positive and value <= 0) else value


def ffprobe_header(path, index, media_type):
    stream = probe_stream(path, index)
    time_base = Fraction(stream["time_base"])
    header = dict(stream_index=index, media_type=media_type, time_base_num=time_base.numerator,
                  time_base_den=time_base.denominator, codec=stream["codec_name"],
                  duration_seconds_from_header=number(stream.get("duration")),
                  container_duration=number(stream["format"].get("duration")),
                  begin_stream_seconds_from_header=number(stream.get("start_time"), positive=False))
    if media_type == "audio":
        return header | dict(sample_rate=int(stream["sample_rate"]), num_channels=stream["channels"],
                             sample_format=stream["sample_fmt"])
    tags = {key: None if stream.get(name, "unknown") == "unknown" else stream[name] for key, name in
            [("color_range", "color_range"), ("color_space", "color_space"),
             ("color_primaries", "color_primaries"), ("color_transfer_characteristic", "color_transfer")]}
    rotation = next((side["rotation"] for side in stream.get("side_data_list", []) if "rotation" in side), 0)
    return header | tags | dict(
        width=stream["width"], height=stream["height"], num_frames_from_header=number(stream.get("nb_frames"), int),
        average_fps_from_header=float(Fraction(stream["r_frame_rate"])), pixel_format=stream["pix_fmt"],
        bit_depth=16 if "16" in stream["pix_fmt"] else 8, rotation=float(rotation) or None)


@pytest.mark.parametrize("name, media_type, index", [
    *[(name, "video", None) for name in ("h264", "vp9", "mpeg4", "gray8", "gray16be", "rgba", "fullrange",
                                         "tagged", "no_duration", "no_timestamps", "rotated90")],
    *[(name, "audio", None) for name in ("aac", "mp3", "wav", "flac", "opus")],
    ("h264_audio", "audio", 1), ("multi", "audio", 1), ("multi", "audio", 2),
])
def test_metadata_matches_ffprobe(media, name, media_type, index):
    path = media.path(name)
    decoder = Decoder(str(path), media_type, index)
    metadata = decoder.metadata()
    assert list(metadata) == (VIDEO if media_type == "video" else AUDIO)
    expected = ffprobe_header(path, index or 0, media_type)
    assert expected.items() >= TAGGED.get(name, {}).items()
    assert {key: metadata[key] for key in expected} == {
        key: pytest.approx(value, rel=1e-4, abs=1e-6) if isinstance(value, float) else value
        for key, value in expected.items()}
    assert isinstance(metadata["bit_rate"], float) and metadata["bit_rate"] >= 0.0
    if media_type == "video":  # width and height stay as coded; without applying it, no rotation at all
        assert all(type(part) is int for part in metadata["pixel_aspect_ratio"])
        assert decoder.metadata(apply_rotation=np.bool_(False)) == metadata | {"rotation": None}


@pytest.mark.parametrize("name", ["multi", "h264_audio", "undecodable"])
def test_streams_are_those_ffprobe_shows(media, name):
    path = media.path(name)
    probed = json.loads(_run("ffprobe", ["-of", "json", "-show_streams", str(path)], text=True).stdout)["streams"]
    listed = Decoder.streams(str(path))
    assert [(s["index"], s["media_type"], s["codec"]) for s in listed] == [
        (s["index"], s["codec_type"], s.get("codec_name", "none")) for s in probed]
    # Decoders depend on the FFmpeg build (a wheel's has none for subtitles): a
    # video or audio stream is decodable exactly when a Decoder opens on it.
    for stream in (s for s in listed if name == "undecodable" or s["media_type"] in ("video", "audio")):
        try:
            Decoder(str(path), stream["media_type"], stream["index"]).close()
        except RuntimeError as error:
            assert str(error) == "FFmpeg has no decoder for this codec"
            assert not stream["decodable"]
        else:
            assert stream["decodable"]
    data = path.read_bytes()
    assert Decoder.streams(data) == listed == Decoder.streams(io.BytesIO(data))
    assert list_streams(path) == listed  # a path-like, as the readers take it

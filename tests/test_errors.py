"""Failures raised as the package's subclasses of the built-in exceptions,
and the listing of a container's streams."""

import io
import json

import pytest

from media import _run
from quorvex_av import AudioReader, Decoder, VideoReader, errors, list_streams


def _video(path, **options):
    return Decoder(path, "video", **options)


# (clip, failing call, class with ERROR_TYPES, built-in without, message)
KINDS = [
    ("h264", lambda p, **o: Decoder(p, "audio", **o), errors.StreamNotFoundError, ValueError,
     "no valid stream of the requested media type"),
    ("multi", lambda p, **o: Decoder(p, "video", 1, **o), errors.WrongMediaTypeError, ValueError,
     "stream has the wrong media type"),
    ("undecodable", _video, errors.NoDecoderError, RuntimeError,
     "FFmpeg has no decoder for this codec"),
    ("h264", lambda p, **o: _video(p, **o).decode_video([(10**9, 0)], "uint8", False),
     errors.NoFrameError, RuntimeError, "no decoded frame at PTS 1000000000"),
    ("h264", lambda p, **o: _video(p, **o).decode_video([(10**9, 0)], "uint8", True),
     errors.NoFrameError, RuntimeError, "no decoded frame at PTS 1000000000"),
    ("h264", lambda p, **o: _video(p, **o).decode_timestamps([-1.0], "uint8"),
     errors.NotShownError, RuntimeError, "no frame at or before requested timestamp"),
    ("h264", lambda p, **o: _video(p, **o).decode_timestamps([0.5, 100.0], "uint8"),
     errors.NotShownError, RuntimeError,
     "timestamp exceeds final frame duration or duration is unknown"),
    ("shared_pts", lambda p, **o: _video(p, **o).decode_timestamps([0.5], "uint8"),
     errors.SharedTimestampsError, RuntimeError,
     "timestamp mode requires strictly increasing frame PTS"),
]


@pytest.mark.parametrize("name, call, typed, builtin, message", KINDS)
def test_each_kind_raises_its_class_only_when_asked(media, name, call, typed, builtin, message):
    path = str(media.path(name))
    with pytest.raises(builtin) as plain:
        call(path)
    assert type(plain.value) is builtin and plain.value.args == (message,)
    assert plain.value.__cause__ is None and plain.value.__context__ is None
    with pytest.raises(typed) as raised:
        call(path, error_types=errors.ERROR_TYPES)
    assert type(raised.value) is typed and raised.value.args == (message,)
    assert issubclass(typed, builtin)
    # A kind left out of the mapping keeps its built-in.
    others = {kind: cls for kind, cls in errors.ERROR_TYPES.items() if cls is not typed}
    with pytest.raises(builtin) as left_out:
        call(path, error_types=others)
    assert type(left_out.value) is builtin


@pytest.mark.parametrize(
    "open_reader, typed",
    [(lambda p: VideoReader(p("wav")), errors.StreamNotFoundError),
     (lambda p: AudioReader(p("multi"), stream_index=0), errors.WrongMediaTypeError),
     (lambda p: VideoReader(p("undecodable")), errors.NoDecoderError)],
)
def test_readers_raise_the_package_classes(media, open_reader, typed):
    with pytest.raises(typed):
        open_reader(lambda name: str(media.path(name)))


def ffprobe_streams(path):
    return json.loads(_run("ffprobe", ["-of", "json", "-show_streams", str(path)], text=True).stdout)["streams"]


@pytest.mark.parametrize("name", ["multi", "h264_audio", "undecodable"])
def test_streams_are_those_ffprobe_shows(media, name):
    path = media.path(name)
    want = [(s["index"], s["codec_type"], s.get("codec_name", "none")) for s in ffprobe_streams(path)]
    listed = Decoder.streams(str(path))
    assert [(s["index"], s["media_type"], s["codec"]) for s in listed] == want
    # Which decoders exist depends on the FFmpeg build (a wheel's has no
    # subtitle decoders): a video or audio stream is decodable exactly when a
    # Decoder opens on it.
    for stream in listed:
        if name == "undecodable":
            assert not stream["decodable"]
        elif stream["media_type"] in ("video", "audio"):
            try:
                Decoder(str(path), stream["media_type"], stream["index"]).close()
                opens = True
            except RuntimeError as error:
                assert str(error) == "FFmpeg has no decoder for this codec"
                opens = False
            assert stream["decodable"] == opens
    data = path.read_bytes()
    assert Decoder.streams(data) == listed == Decoder.streams(io.BytesIO(data))
    assert list_streams(path) == listed  # a path-like, as the readers take it

"""Inputs that fuzzing (fuzz/) found mishandled, rebuilt small. They matter
most under the sanitizer build (scripts/sanitize.sh), where the defects they
caught were reports rather than silent."""

import io

import pytest

from media import encode
from quorvex_av import Decoder


def _tiny_mkv(path, *options: str) -> bytearray:
    encode(["-f", "lavfi", "-i", "testsrc2=size=32x32:rate=1:duration=1", "-c:v", "ffv1", "-pix_fmt", "yuv420p",
            *options], path)
    return bytearray(path.read_bytes())


def test_unknown_colour_tags_read_as_unset(tmp_path):
    # Matroska keeps colour tags as plain numbers, which FFmpeg hands on
    # unchecked: values no FFmpeg enumerator names must neither be read as
    # the enum types (undefined behaviour) nor break the colour conversion.
    data = _tiny_mkv(tmp_path / "tagged.mkv", "-vf", "setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709")
    for element, value in ((b"\x55\xb1", 68), (b"\x55\xbb", 99), (b"\x55\xba", 250)):
        at = data.find(element + b"\x81")  # matrix, primaries, transfer; one-byte values
        assert at >= 0, element
        data[at + 3] = value
    decoder = Decoder(bytes(data), "video")
    header = decoder.metadata()
    assert header["color_space"] is None
    assert header["color_primaries"] is None
    assert header["color_transfer_characteristic"] is None
    pts = decoder.scan()[0][0]
    frames, times, _ = decoder.decode_video([(pts, pts)], "uint8", True)
    assert frames.shape == (1, 32, 32, 3) and len(times) == 1


@pytest.mark.parametrize("wrap", [bytes, io.BytesIO], ids=["bytes", "file"])
def test_data_source_opens_no_other_files(tmp_path, monkeypatch, wrap):
    # A concat list given as data named a file beside the working directory,
    # and the demuxer read it: media given as bytes or a file object must
    # not open anything else.
    _tiny_mkv(tmp_path / "beside.mkv")
    monkeypatch.chdir(tmp_path)
    script = b"ffconcat version 1.0\nfile beside.mkv\n"
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(wrap(script), "video")
    Decoder(str(tmp_path / "beside.mkv"), "video").close()  # paths are unaffected

"""Decoder.scan(): every packet of the stream, in timestamp order."""

import pytest

from media import probe_packets
from quorvex_av import Decoder


def expected(path, index):
    """ffprobe's packets of one stream, stably sorted by timestamp."""
    return sorted(probe_packets(path, index), key=lambda packet: packet[0])


@pytest.mark.parametrize(
    "name, media_type, index",
    [
        ("h264", "video", None),  # B-frames: file order is not presentation order
        ("mpeg4", "video", None),  # AVI: packets without pts are listed by dts
        ("vp9", "video", None),
        ("multi", "video", 0),
        ("multi", "audio", 1),
        ("multi", "audio", 2),
        ("aac", "audio", None),  # priming packet before zero
        ("opus", "audio", None),
        ("wav", "audio", None),
    ],
)
def test_scan_matches_the_packets(media, name, media_type, index):
    path = media.path(name)
    decoder = Decoder(str(path), media_type, index)
    packets = decoder.scan()
    stream = decoder.metadata()["stream_index"]
    assert packets == [tuple(p) for p in expected(path, stream)]
    assert all(type(t) is int and type(d) is int and type(k) is bool for t, d, k in packets)
    assert packets[0][2] is True
    # The scan leaves the decoder at the start: scanning again gives the same.
    assert decoder.scan() == packets


def test_b_frames_are_listed_in_presentation_order(media):
    path = media.path("h264")
    in_file_order = [p[0] for p in probe_packets(path, 0)]
    scanned = [p[0] for p in Decoder(str(path), "video").scan()]
    assert in_file_order != scanned
    assert scanned == sorted(in_file_order)
    assert sum(key for _, _, key in Decoder(str(path), "video").scan()) == 3  # GOP 25 over 75 frames


def test_stream_that_cannot_seek(media):
    # A raw elementary stream has no index to seek by: the rewind fails.
    decoder = Decoder(str(media.path("no_timestamps")), "video")
    with pytest.raises(RuntimeError, match="^seek: "):
        decoder.scan()
    assert decoder.metadata()["duration_seconds_from_header"] is None


def test_scan_on_a_closed_decoder(media):
    decoder = Decoder(str(media.path("h264")), "video")
    decoder.close()
    with pytest.raises(RuntimeError, match="^decoder is closed$"):
        decoder.scan()

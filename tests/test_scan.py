"""Decoder.scan(): every packet of the stream, in timestamp order."""

import pytest

from media import probe_packets
from quorvex_av import Decoder


# h264: B-frames, so file order is not presentation order; mpeg4: AVI, packets
# without pts are listed by dts; aac: a priming packet before zero.
@pytest.mark.parametrize(
    "name, media_type, index",
    [("h264", "video", None), ("mpeg4", "video", None), ("vp9", "video", None), ("multi", "video", 0),
     ("multi", "audio", 1), ("multi", "audio", 2), ("aac", "audio", None), ("opus", "audio", None),
     ("wav", "audio", None)],
)
def test_scan_matches_the_packets(media, name, media_type, index):
    path = media.path(name)
    decoder = Decoder(str(path), media_type, index)
    packets = decoder.scan()
    in_file_order = probe_packets(path, decoder.metadata()["stream_index"])
    assert packets == sorted(in_file_order, key=lambda packet: packet[0])  # a stable sort
    assert name != "h264" or packets != in_file_order
    assert all(type(t) is int and type(d) is int and type(k) is bool for t, d, k in packets)
    assert packets[0][2] is True
    # The scan leaves the decoder at the start: scanning again gives the same.
    assert decoder.scan() == packets


def test_stream_that_cannot_seek(media):
    # A raw elementary stream has no index to seek by: the rewind fails.
    decoder = Decoder(str(media.path("no_timestamps")), "video")
    with pytest.raises(RuntimeError, match="^seek: "):
        decoder.scan()
    assert decoder.metadata()["duration_seconds_from_header"] is None

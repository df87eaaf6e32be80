"""Decoder.scan(): every packet of the stream, in timestamp order."""

import numpy as np
import pytest

from media import probe_frames, probe_packets
from quorvex_av import Decoder


def same_packets(got, fresh):
    # Every timestamp and key flag, and each duration the first read gave (some demuxers,
    # FFmpeg 7's Matroska, infer a missing one when reading on after a seek).
    return len(got) == len(fresh) and all(
        (t, k) == (t0, k0) and (d == d0 or d0 == 0) for (t, d, k), (t0, d0, k0) in zip(got, fresh))


# h264: B-frames, so file order is not presentation order; mpeg4: AVI, packets
# without pts are listed by dts; aac: a priming packet before zero.
@pytest.mark.parametrize("name, media_type, index", [
    ("h264", "video", None), ("mpeg4", "video", None), ("vp9", "video", None), ("multi", "video", 0),
    ("multi", "audio", 1), ("multi", "audio", 2), ("aac", "audio", None), ("opus", "audio", None),
    ("wav", "audio", None), ("aac_negative", "audio", None),
])
def test_scan_matches_the_packets(media, name, media_type, index):
    path = media.path(name)
    decoder = Decoder(str(path), media_type, index)
    packets = decoder.scan()
    in_file_order = probe_packets(path, decoder.metadata()["stream_index"])
    assert packets == sorted(in_file_order, key=lambda packet: packet[0])  # a stable sort
    assert name != "h264" or packets != in_file_order
    assert all(type(t) is int and type(d) is int and type(k) is bool for t, d, k in packets) and packets[0][2] is True
    assert same_packets(decoder.scan(), packets)  # the scan leaves the decoder at the start


@pytest.mark.parametrize("kind", ["path", "bytes", "file"])
def test_rewinds_reach_the_first_packet(media, kind):
    # Matroska keeps the AAC priming block at -23 ms, before the first seek point, which
    # a seek to the start passes: a rewind reads the input again from its first byte.
    path = media.path("aac_negative")
    packets = sorted(probe_packets(path, 0), key=lambda packet: packet[0])
    assert packets[0][0] < 0
    with open(path, "rb") as file:
        decoder = Decoder({"path": str(path), "bytes": path.read_bytes(), "file": file}[kind], "audio")
        first, start = decoder.decode_audio(44100, 2, 0.5)
        assert start == probe_frames(path, 0)[0]["time"]
        assert same_packets(decoder.scan(), packets) and same_packets(decoder.scan(), packets)
        again, again_start = decoder.decode_audio(44100, 2, 0.5)
        assert again_start == start and np.array_equal(again, first)
        decoder.close()

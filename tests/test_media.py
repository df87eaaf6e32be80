"""Checks that the clip factory makes what its facts promise, with this ffmpeg."""

import json
import struct
import subprocess
from fractions import Fraction

import numpy as np
import pytest

from media import (CLIPS, MIRROR_MATRIX, ROTATE90_MATRIX, Clip,
                   MediaFactory, probe_frames, probe_packets, probe_stream,
                   set_display_matrix, source_frames)


def _probe_all(path):
    """Streams (with counted frames), format and every packet, in one call."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-count_frames",
         "-show_format", "-show_streams",
         "-show_entries", "packet=stream_index,pts,dts,flags", str(path)],
        capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def _seconds(value):
    return None if value is None else float(value)


def _check_stream(facts, stream, packets, format_duration):
    assert stream["codec_type"] == facts["type"]
    assert stream["codec_name"] == facts["codec"]
    assert Fraction(stream["time_base"]) == facts["time_base"]
    stamps = [p.get("pts", p.get("dts")) for p in packets]
    known = [s for s in stamps if s is not None]
    assert (min(known) if known else None) == facts["first_pts"]
    if facts["type"] == "subtitle":
        return

    assert _seconds(stream.get("start_time")) == pytest.approx(
        facts["start_time"], abs=2e-6)
    assert _seconds(stream.get("duration")) == pytest.approx(
        facts["duration"], abs=2e-6)
    assert format_duration == pytest.approx(
        facts["container_duration"], abs=2e-6)

    if facts["type"] == "audio":
        assert int(stream["sample_rate"]) == facts["sample_rate"]
        assert stream["channels"] == facts["channels"]
        assert stream["sample_fmt"] == facts["sample_fmt"]
        return

    assert (stream["width"], stream["height"]) == (facts["width"],
                                                   facts["height"])
    assert stream["pix_fmt"] == facts["pix_fmt"]
    assert Fraction(stream["r_frame_rate"]) == facts["fps"]
    assert int(stream["nb_read_frames"]) == facts["frames"]
    header_frames = stream.get("nb_frames")
    assert (header_frames and int(header_frames)) == facts["header_frames"]
    assert (stream["has_b_frames"] > 0) == facts["b_frames"]
    keys = [i for i, p in enumerate(packets) if p["flags"].startswith("K")]
    assert keys == list(range(0, len(packets), facts["gop"]))
    for key in ("color_range", "color_space", "color_primaries",
                "color_transfer"):
        if key in facts:
            assert stream.get(key) == facts[key], key


@pytest.mark.parametrize("name", list(CLIPS))
def test_clip_matches_facts(media, name):
    path = media.path(name)
    assert path.name == CLIPS[name].filename
    facts = media.facts(name)
    info = _probe_all(path)
    streams = info["streams"]
    assert tuple(s["codec_type"] for s in streams) == facts["streams"]
    format_duration = _seconds(info["format"].get("duration"))
    for index, stream_facts in [(facts["index"], facts),
                                *facts["others"].items()]:
        packets = [p for p in info["packets"] if p["stream_index"] == index]
        _check_stream(stream_facts, streams[index], packets, format_duration)

    def matrices(stream):
        return [d for d in stream.get("side_data_list", [])
                if d.get("side_data_type") == "Display Matrix"]

    if "rotation" not in facts:
        assert matrices(streams[facts["index"]]) == []
        return
    [matrix] = matrices(probe_stream(path, facts["index"]))
    assert matrix["rotation"] == facts["rotation"]
    # The dump is three rows, each led by a row label such as "00000001:".
    words = [int(w) for row in matrix["displaymatrix"].split("\n") if row
             for w in row.split()[1:]]
    expected = [round(v * (1 << (30 if i % 3 == 2 else 16)))
                for i, v in enumerate(facts["display_matrix"])]
    assert words == expected


@pytest.mark.parametrize("name, pix_fmt", [
    ("gray8", "gray"), ("gray16le", "gray16le"), ("gray16be", "gray16le"),
    ("rgba", "rgba"),
])
def test_lossless_clip_decodes_to_source(media, name, pix_fmt):
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(media.path(name)),
         "-f", "rawvideo", "-pix_fmt", pix_fmt, "pipe:1"],
        capture_output=True, check=True).stdout
    expected = source_frames(name)
    dtype = "<u2" if pix_fmt == "gray16le" else np.uint8
    decoded = np.frombuffer(raw, dtype=dtype).reshape(expected.shape)
    np.testing.assert_array_equal(decoded, expected)
    if name.startswith("gray16"):  # byte order must matter for this content
        assert (expected.byteswap() != expected).mean() > 0.9
    if name == "rgba":
        assert len(np.unique(expected[..., 3])) > 100


def test_probe_helpers_on_reordered_frames(media):
    path = media.path("h264")
    packets = probe_packets(path, 0)
    pts = [p[0] for p in packets]
    assert pts != sorted(pts)  # B-frames: file order is not display order
    assert sorted(pts) == [512 * i for i in range(75)]
    assert all(duration == 512 for _, duration, _ in packets)
    assert [i for i, p in enumerate(packets) if p[2]] == [0, 25, 50]

    frames = probe_frames(path, 0)
    assert [f["pts"] for f in frames] == [512 * i for i in range(75)]
    assert [f["time"] for f in frames] == [i / 25 for i in range(75)]
    assert {f["duration"] for f in frames} == {512}
    assert [i for i, f in enumerate(frames) if f["key_frame"]] == [0, 25, 50]


@pytest.mark.parametrize("name, first, missing", [
    ("mpeg4", [0, 1, 2, 3, 4, 5], 0),      # pts absent on some: dts used
    ("no_timestamps", [None] * 6, 25),     # neither pts nor dts
])
def test_probe_packets_timestamp_fallback(media, name, first, missing):
    packets = probe_packets(media.path(name), 0)
    assert [p[0] for p in packets[:6]] == first
    assert sum(p[0] is None for p in packets) == missing


def _box(kind, payload):
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def _track(handler, version):
    # version/flags, then times, id and duration: 20 bytes (v0) or 32 (v1),
    # then 16 bytes of layer/volume fields, the matrix and the size.
    head = bytes([version, 0, 0, 3]) + bytes(20 if version == 0 else 32)
    identity = struct.pack(">9i", 65536, 0, 0, 0, 65536, 0, 0, 0, 1 << 30)
    size = struct.pack(">II", 160 << 16, 120 << 16)
    tkhd = _box(b"tkhd", head + bytes(16) + identity + size)
    hdlr = _box(b"hdlr", bytes(8) + handler + bytes(13))
    return _box(b"trak", tkhd + _box(b"mdia", hdlr)), identity, size


@pytest.mark.parametrize("version", [0, 1])
def test_set_display_matrix_patches_video_track_only(tmp_path, version):
    video, identity, size = _track(b"vide", version)
    audio, _, _ = _track(b"soun", version)
    path = tmp_path / "t.mp4"
    path.write_bytes(_box(b"ftyp", b"isom") + _box(b"moov", audio + video))
    assert set_display_matrix(path, ROTATE90_MATRIX) == 1
    data = path.read_bytes()
    rotated = struct.pack(">9i", 0, 65536, 0, -65536, 0, 0, 120 << 16, 0,
                          1 << 30)
    assert data.count(rotated + size) == 1
    assert data.count(identity + size) == 1  # the audio track's
    assert data.index(identity) < data.index(rotated)

    path.write_bytes(_box(b"moov", audio))
    with pytest.raises(ValueError):
        set_display_matrix(path, MIRROR_MATRIX)


def test_clips_are_reused(media):
    first = media.path("wav")
    stamp = first.stat().st_mtime_ns
    again = MediaFactory(media.cache_dir).path("wav")
    assert again == first and again.stat().st_mtime_ns == stamp


def test_unmakeable_clip_skips_and_leaves_nothing(tmp_path):
    bogus = Clip("bogus.mkv", ["-f", "lavfi", "-i", "testsrc2=duration=0.1",
                               "-c:v", "no_such_encoder"], {})
    factory = MediaFactory(tmp_path, clips={"bogus": bogus})
    with pytest.raises(pytest.skip.Exception) as info:
        factory.path("bogus")
    prefix = "ffmpeg cannot make clip 'bogus': "
    reason = str(info.value)
    assert reason.startswith(prefix) and "\n" not in reason
    assert len(reason) > len(prefix) + 5 and "no error output" not in reason
    assert [p for p in tmp_path.rglob("*") if p.is_file()] == []


def test_missing_ffmpeg_skips(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(pytest.skip.Exception, match="ffmpeg"):
        MediaFactory(tmp_path).path("h264")

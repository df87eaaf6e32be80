"""Finding frames without a scan: approximate seek mode, saved frame tables, the loader's index cache."""

import io
import re
import zipfile

import numpy as np
import pytest

from media import X264_GOP25, X264_PLAIN, BytesFile, _testsrc, encode, probe_frames
from quorvex_av import ClipLoader, Decoder, FrameTable, VideoReader, samplers


def scans(decoder_calls):
    return [name for name, _ in decoder_calls].count("scan")


# (Approximate mode on constant-rate streams, and saved indexes: the identity table of test_workers.py.)
def test_approximate_mode_on_a_variable_rate_stream(media):
    # Frame i is the first at or after (i - 1/2) / fps: the header's base rate, or where it
    # disagrees with the header's count and duration, their mean rate (50 frames in 2.6 s).
    path = str(media.path("vfr"))
    real = np.array([f["time"] for f in probe_frames(path, 0)])
    reader, exact = VideoReader(path, seek_mode="approximate"), VideoReader(path)
    if len(reader) != len(real):  # newer muxers end the edit list before the last frame the header counts
        pytest.skip("this ffmpeg tool's MP4 hides a sample that the header counts")
    assert reader.metadata.fps == 50 / 2.6 and reader.header.fps == 25
    every = samplers.clips_at_regular_indices(reader, len(reader), 1)
    got = np.searchsorted(real, every.times[:, 0] - 1e-9)
    assert np.array_equal(every.times[:, 0], real[got]) and np.array_equal(every.frames[:, 0], exact[got])
    # Never the key frame after it: MP4 seeks by shifted decoding times, which B-frames at a
    # varying rate outrun, and a seek landing on a key frame after its target seeks earlier.
    assert np.array_equal(got, np.searchsorted(real, (np.arange(len(reader)) - 0.5) / (50 / 2.6) - 1e-9))
    assert reader.metadata.num_frames == len(real) and reader.metadata.num_key_frames is None


@pytest.mark.parametrize("name, count, mode", [
    ("gray16le", 9, "approximate"),  # NUT: the container's duration ends at the last frame's start
    ("gray16be", 9, "approximate"),
    ("no_duration", 25, "exact"),  # no count and no duration: the reader scans
])
def test_approximate_mode_without_a_header_count(media, name, count, mode):
    path = str(media.path(name))
    reader = VideoReader(path, seek_mode="approximate")
    assert (len(reader), reader.seek_mode) == (count, mode)
    assert np.array_equal(reader[:], VideoReader(path)[:count])


# A call's last frame, its seek landing on its key frame, is decoded alone unless later packets
# could hold an earlier frame (open groups); MPEG-TS seeks by decoding times, which land in the
# group before unless the decoder aims earlier.  One frame per call, back and forth.
@pytest.mark.parametrize("name", ["h264", "open_gop", "open_gop_pyramid", "vp9", "multi", "shared_pts",
                                  "ts_bframes", "ts_open_gop", "ts_programs"])
def test_single_frames_at_and_around_key_frames(media, tmp_path, name):
    path = tmp_path / "open_gop.mkv" if name == "open_gop" else media.path(name)
    if name == "open_gop":  # ts_open_gop's stream in Matroska
        encode([*_testsrc(3), *X264_GOP25[:-1], X264_GOP25[-1] + ":open-gop=1"], path)
    stream = 1 if name == "ts_programs" else None  # the second program's
    exact = VideoReader(str(path), stream_index=stream)
    every = samplers.clips_at_regular_indices(exact, len(exact), 1)
    keys, last = np.flatnonzero(exact.frame_index.key), len(exact) - 1
    around = np.unique(np.clip(np.concatenate([keys - 1, keys, keys + 1, [last]]), 0, last))
    order = [*np.random.default_rng(5).permutation(around), *[i for k in keys for i in (k, k + 1) if i <= last]]
    exact.frame_index.save(tmp_path / "index")
    constant = name not in ("multi", "shared_pts")  # constant rate, counted by the header
    for options in [dict(frame_index=tmp_path / "index")] + ([dict(seek_mode="approximate")] if constant else []):
        reader = VideoReader(BytesFile(path.read_bytes()), stream_index=stream, **options)
        for i in order:
            frames, times = reader._read(np.array([i]))
            assert np.array_equal(frames[0], every.frames[i, 0]) and times[0] == every.times[i, 0], (options, i)


def renumbered(table):  # the same table under another stream's number
    return FrameTable(table.pts, table.packet_durations, table.key, 1, table.codec, table.time_base)


@pytest.mark.parametrize("name", ["h264", "shared_pts"])  # shared_pts: frames that share timestamps
def test_a_saved_index_loads_as_it_was_saved(media, tmp_path, name):
    path = str(media.path(name))
    table = VideoReader(path).frame_index
    table.save(tmp_path / "index")  # written as named, no suffix added
    table.save(buffer := io.BytesIO())
    buffer.seek(0)
    for given in (tmp_path / "index", FrameTable.load(buffer)):
        loaded = VideoReader(path, frame_index=given).frame_index
        for field in ("pts", "seek", "times", "durations", "key", "occurrence", "codec", "time_base", "source_size"):
            assert np.array_equal(getattr(loaded, field), getattr(table, field)), field
    # A file loaded again gives each reader its own arrays; one saved anew
    # under the same name is read anew.
    VideoReader(path, frame_index=tmp_path / "index").frame_index.pts[:] = -1
    assert np.array_equal(VideoReader(path, frame_index=tmp_path / "index").frame_index.pts, table.pts)
    renumbered(table).save(tmp_path / "index")
    with pytest.raises(ValueError, match="stream index 1 in the index, 0 in the stream"):
        VideoReader(path, frame_index=tmp_path / "index")


@pytest.mark.parametrize("index_of, opened, change, message", [
    ("vp9", "h264", None, "codec vp9 in the index, h264 in the stream; time base 1/1000 in the index, "
                          "1/12800 in the stream; source size {size} in the index, {other} in the stream"),
    ("h264", "h264_audio", None, "source size {size} in the index, {other} in the stream"),
    ("multi", "multi", renumbered, "stream index 1 in the index, 0 in the stream"),
])
def test_an_index_of_another_stream_is_refused(media, index_of, opened, change, message):
    table = VideoReader(media.path(index_of)).frame_index
    with pytest.raises(ValueError) as raised:
        VideoReader(media.path(opened), frame_index=change(table) if change else table)
    sizes = dict(size=media.path(index_of).stat().st_size, other=media.path(opened).stat().st_size)
    assert str(raised.value) == "the frame index does not belong to this stream: " + message.format(**sizes)


def _archive(arrays, **changes):
    np.savez_compressed(buffer := io.BytesIO(), **(arrays | changes))
    return buffer.getvalue()


def _flipped(data, member):  # one bit of a member's compressed data
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = archive.getinfo(member)
    at = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra) + info.compress_size // 2
    return data[:at] + bytes([data[at] ^ 0x04]) + data[at + 1:]


def _declaring(shape, descr="<i8", body=64):  # a version and one tiny member that declares a huge array
    header, version, out = io.BytesIO(), io.BytesIO(), io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": descr, "fortran_order": False, "shape": shape})
    np.save(version, np.int64(1))
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("format_version.npy", version.getvalue())
        archive.writestr("pts_steps.npy", header.getvalue() + bytes(body))
    return out.getvalue()


# make(bytes, arrays) of a saved table: the bytes of a malformed one.
@pytest.mark.parametrize("make, message", [
    (lambda data, arrays: _archive(arrays, format_version=np.int64(2)),
     "frame table format version 2 is not supported (this release reads version 1)"),
    (lambda data, arrays: _archive({"numbers": np.arange(3)}), "it has no format version"),
    (lambda data, arrays: b"not an archive", "it is not a zip archive"),
    (lambda data, arrays: data[:600], "its zip archive is damaged or cut short (File is not a zip file)"),
    *[(lambda data, arrays, member=member: _flipped(data, f"{member}.npy"), f"its {member} is damaged (")
      for member in ("durations", "identity")],
    *[(lambda data, arrays, value=value: _archive(arrays, format_version=value), "its format version is not an integer")
      for value in (np.array([1, 1]), np.float64(1.5), np.str_("1"))],
    (lambda data, arrays: _archive(arrays, durations=-arrays["durations"]), "it has negative durations"),
    (lambda data, arrays: _archive(arrays, pts_steps=arrays["pts_steps"].astype(float)),
     "its pts_steps is not a row of integers"),
    (lambda data, arrays: _archive(arrays, pts_steps=np.full_like(arrays["pts_steps"], 2**62)), "its timestamps are not sorted"),
    (lambda data, arrays: _archive(arrays, key_bits=arrays["key_bits"][:2]), "its arrays do not fit together"),
    (lambda data, arrays: _archive(arrays, identity=arrays["identity"][:3]), "its identity has 3 values, not 5"),
    (lambda data, arrays: _archive(arrays, codec=np.array(["h264", None], dtype=object)),
     "its codec holds Python objects, which are not loaded"),
    (lambda data, arrays: _declaring((2**40,)),  # 8 TiB in 400 bytes: refused before any allocation
     "its pts_steps declares 8796093022208 bytes of data but holds 64"),
    (lambda data, arrays: _declaring((10**20,), "|V0", 0),  # no bytes, more elements than memory holds
     "its pts_steps declares 100000000000000000000 elements of no size"),
])
def test_malformed_indexes_are_refused_naming_the_file(media, tmp_path, make, message):
    VideoReader(media.path("h264")).frame_index.save(saved := tmp_path / "ok.npz")
    path = tmp_path / "bad.npz"
    with np.load(saved) as arrays:
        path.write_bytes(make(saved.read_bytes(), dict(arrays)))
    prefix = "" if message.startswith("frame table format") else "not a saved frame table: "
    expected = "^" + re.escape(prefix + message) + ".*, in " + re.escape(repr(str(path))) + "$"
    with pytest.raises(ValueError, match=expected):
        FrameTable.load(path)
    with pytest.raises(ValueError, match=expected):  # read through the cache of loaded tables
        VideoReader(media.path("h264"), frame_index=path)


def test_loader_scans_each_file_once_ever(media, decoder_calls, tmp_path):
    paths, cache = [str(media.path(name)) for name in ("h264", "vp9", "multi")], tmp_path / "indexes"

    def one_pass(**options):
        with ClipLoader(paths, samplers.clips_at_random_indices, threads=2, seed=1, num_clips=2,
                        frames_per_clip=4, **options) as loader:
            return [(item.indices.tolist(), item.frames.sum()) for item in loader]

    want = one_pass()
    decoder_calls.clear()
    assert one_pass(index_cache=cache) == want and scans(decoder_calls) == 3 and len(list(cache.iterdir())) == 3
    assert one_pass(index_cache=cache) == want and scans(decoder_calls) == 3  # none more
    # A damaged entry counts as missing: that file is scanned again and its entry replaced.
    damaged = sorted(cache.iterdir())[0]
    damaged.write_bytes(damaged.read_bytes()[:600])
    assert one_pass(index_cache=cache) == want and scans(decoder_calls) == 4
    FrameTable.load(damaged)
    assert one_pass(index_cache=cache) == want and scans(decoder_calls) == 4
    given = {paths[0]: VideoReader(paths[0]).frame_index}
    decoder_calls.clear()
    assert one_pass(frame_indexes=given) == want and scans(decoder_calls) == 2
    assert one_pass(frame_indexes=[None, None, VideoReader(paths[2]).frame_index]) == want
    with pytest.raises(ValueError, match="^frame_indexes lists 1 indexes for 3 sources$"):
        one_pass(frame_indexes=[None])


# The readers read a file object in reads that double from 64 KiB after a
# seek, which on this 0.8 MB file (1000 frames, a key frame every 25) is most of what is read.
@pytest.mark.parametrize("suffix", ["mp4", "mkv"])
def test_a_frame_of_a_long_file_reads_only_its_group_of_pictures(tmp_path, suffix):
    encode([*_testsrc(40), *X264_PLAIN], path := tmp_path / f"long.{suffix}")
    data, want = path.read_bytes(), VideoReader(path)[[510, 512]]
    VideoReader(path).frame_index.save(tmp_path / "saved")
    for options in [{}, dict(seek_mode="approximate"), dict(frame_index=tmp_path / "saved")]:
        file = BytesFile(data)
        with VideoReader(file, **options) as reader:
            assert np.array_equal(reader[[510, 512]], want)
        assert file.read_bytes < len(data) / 3 if options else file.read_bytes >= len(data)


@pytest.mark.parametrize("name", ["h264", "multi", "vp9"])
def test_decoding_on_by_the_index_finds_what_seeking_finds(media, name):
    # Targets between frames, each with its own seek point: decoding on from
    # the previous answer (seek_by_index) must find the frames a seek finds.
    path = str(media.path(name))
    pts = VideoReader(path).frame_index.pts.tolist()
    picks = [1, 2, 5, 5, 30, 31, 45, len(pts) - 1, 0]  # ascending runs, repeats, a jump back
    targets = [(pts[i] - 1, pts[i]) for i in picks]
    plain = Decoder(path, "video").decode_video(targets, "uint8", False)
    onward = Decoder(path, "video").decode_video(targets, "uint8", False, seek_by_index=True)
    assert np.array_equal(plain[0], onward[0]) and plain[1] == onward[1]

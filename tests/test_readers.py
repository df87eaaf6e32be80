"""VideoReader and AudioReader: frames by index and time, rotation, metadata, audio cut to a range."""

import functools
import shutil

import numpy as np
import pytest

import quorvex_av
from media import (ROTATE90_MATRIX, assert_like_the_tool, ffmpeg_audio, ffmpeg_frames, probe_frames,
                   set_display_matrix, source_frames)
from quorvex_av import AudioReader, VideoReader, readers


@functools.lru_cache(maxsize=None)
def sequential(path):  # every frame, decoded in order by the reader's batches
    return np.concatenate(list(VideoReader(path).batches(16)))


class CountingDecoder:  # stands in for Decoder inside the readers and counts scan() calls

    scans = 0

    def __init__(self, *args):
        self._decoder = quorvex_av.Decoder(*args)

    def __getattr__(self, name):
        CountingDecoder.scans += name == "scan"
        return getattr(self._decoder, name)


# h264: constant rate, B-frames; vfr: irregular frame times, B-frames; multi:
# first frame at 0.023 s (Matroska); vp9: another codec and container.
@pytest.mark.parametrize("name", ["h264", "vfr", "multi", "vp9"])
def test_index_gives_the_frame_of_a_sequential_decode(media, monkeypatch, name):
    path = str(media.path(name))
    whole = sequential(path)  # through a reader of its own
    monkeypatch.setattr(readers, "Decoder", CountingDecoder)
    CountingDecoder.scans = 0
    reader = VideoReader(path)
    assert_like_the_tool(whole, ffmpeg_frames(path))
    assert reader.times.tolist() == [f["time"] for f in probe_frames(path, 0)]
    count = len(whole)
    picks = [count - 1, 0, count // 2 + 1, 7, count - 1]  # last first, unordered, repeated
    assert np.array_equal(reader[picks], whole[picks])
    assert np.array_equal(reader.at(reader.times[picks]), whole[picks])
    assert len(reader) == reader.metadata.num_frames == count
    assert CountingDecoder.scans == 1


@pytest.mark.parametrize(
    "key, rows",
    [(5, 5), (np.int32(-75), 0), (slice(-3, None), [72, 73, 74]), (slice(5, 2), []), ([3, 1, 3], [3, 1, 3]),
     (np.array([[0, 74], [25, 24]], np.uint16), [[0, 74], [25, 24]]), (np.arange(75) % 25 == 0, [0, 25, 50])],
)
def test_index_forms(media, key, rows):
    path = str(media.path("h264"))
    got = VideoReader(path)[key]
    assert np.array_equal(got, sequential(path)[np.array(rows, dtype=np.intp)])


V, A = VideoReader, AudioReader
RANGE = "is out of range: the video has 75 frames, valid indices are -75 to 74"


@pytest.mark.parametrize(
    "name, call, error, message",
    [
        ("h264", lambda p: V(p)[75], IndexError, f"frame index 75 {RANGE}"),
        ("h264", lambda p: V(p)[np.ones(3, bool)], IndexError,
         "a boolean mask must have one value per frame (75), not shape (3,)"),
        ("h264", lambda p: V(p)[1.0], TypeError, "frame indices must be integers, not float64"),
        ("multi", lambda p: V(p).index_at([1.0, 2.1]), IndexError,
         "no frame is shown at 2.1 s: valid times are [0.023, 2.023) s"),
        # Frames without durations: nothing is known to be shown past the last frame's time.
        ("unknown_duration", lambda p: V(p).at(0.96), IndexError,
         "no frame is shown at 0.96 s: valid times are [0, 0.96) s"),
        ("h264", lambda p: V(p).at([0.5, np.nan]), ValueError, "times must be finite numbers of seconds"),
        ("mirrored", V, NotImplementedError, "reflected or singular display matrices are unsupported; "
         "open the reader with auto_rotate=False to read the pictures as stored"),
        ("mirrored", lambda p: V(p, auto_rotate=False, crop=(0, 100, 120, 61)), ValueError,
         "crop (top=0, left=100, height=120, width=61) does not fit in the 160x120 picture"),
        ("gray8", lambda p: V(p, dtype="native", resize=(2, 2)), ValueError,
         "crop and resize need an RGB dtype (uint8, uint16 or float32)"),
        ("h264", lambda p: V(open(p)), TypeError, "source is a text file; open it in binary mode ('rb')"),
        ("mp3", lambda p: A(p).read(0.0, 1.0), IndexError,
         "start 0 s is before the audio's first sample: valid times begin at 0.0250567 s"),
        ("wav", lambda p: A(p).read(0.5, 1.5), IndexError,
         "stop 1.5 s is past the end of the audio: valid times are [0, 1) s"),
        ("wav", lambda p: A(p).read(0.6, 0.5), ValueError, "stop (0.5) is before start (0.6)"),
    ],
)
def test_errors(media, name, call, error, message):
    with pytest.raises(error) as raised:
        call(str(media.path(name)))
    assert str(raised.value) == message


# (times, indices of the frames shown): on a frame, inside a doubled
# interval, repeated, unordered, inside the last frame's duration.
@pytest.mark.parametrize(
    "name, times, indices",
    [("vfr", [[0.30, 0.0], [2.639, 0.30]], [[5, 0], [49, 5]]),
     ("multi", [1.0, 0.023, 0.0629, 2.0229], [24, 0, 0, 49]),
     ("h264", 1.5, 37)],
)
def test_frames_shown_at_times(media, name, times, indices):
    path = str(media.path(name))
    reader = VideoReader(path)
    assert np.array_equal(reader.index_at(times), indices)
    assert np.array_equal(reader.at(times), sequential(path)[np.array(indices)])


@pytest.mark.parametrize(
    "options, expected",
    [(dict(), lambda up: up),
     (dict(crop=(10, 20, 100, 60)), lambda up: up[:, 10:110, 20:80]),  # of the upright picture
     (dict(auto_rotate=False), lambda up: np.rot90(up, 1, axes=(1, 2)))],
)
def test_rotation_matches_the_tool(media, options, expected):
    path = media.path("rotated90")
    upright = ffmpeg_frames(path).reshape(-1, 160, 120, 3)  # the tool applies the rotation
    assert_like_the_tool(VideoReader(path, **options)[:], expected(upright))


def test_native_frames_are_turned_too(media, tmp_path):
    path = tmp_path / "rgba.mov"
    shutil.copy(media.path("rgba"), path)
    set_display_matrix(path, ROTATE90_MATRIX)
    reader = VideoReader(path, dtype="native")
    assert reader.frame_size == (128, 96)
    assert np.array_equal(reader[:], np.rot90(source_frames("rgba"), 3, axes=(1, 2)))


@pytest.mark.parametrize(
    "name, expected",
    [("h264", dict(num_frames=75, num_key_frames=3, start=0.0, duration=3.0, fps=25.0)),
     ("vfr", dict(num_frames=50, start=0.0, duration=2.64, fps=49 / 2.6)),  # header says 25 fps
     ("multi", dict(num_frames=50, start=0.023, duration=2.0, fps=25.0)),
     ("rotated90", dict(width=120, height=160, rotation=-90.0))],
)
def test_metadata(media, name, expected):
    metadata = VideoReader(media.path(name)).metadata
    assert {key: getattr(metadata, key) for key in expected} == pytest.approx(expected)


@pytest.mark.parametrize("make", [lambda p: p, str, lambda p: p.read_bytes(),
                                  lambda p: bytearray(p.read_bytes()), lambda p: open(p, "rb")],
                         ids=["path", "str", "bytes", "bytearray", "file"])
def test_sources(media, make):
    path = media.path("h264")
    with VideoReader(make(path)) as reader:
        assert np.array_equal(reader[[10, 60]], sequential(str(path))[[10, 60]])


# The first sample of mp3 is at 1105 / 44100 s, of multi's stream 2 at 0.023 s.
@pytest.mark.parametrize(
    "name, index, start, stop, first",
    [("wav", 0, None, None, 0.0), ("wav", 0, 0.25, 0.5, 0.0), ("mp3", 0, 0.5, 1.0, 1105 / 44100),
     ("multi", 2, 1.0, 2.023, 0.023), ("flac", 0, 0.1, 0.1, 0.0)],
)
def test_audio_is_cut_exactly(media, name, index, start, stop, first):
    path = media.path(name)
    reader = AudioReader(path, stream_index=index)
    want = ffmpeg_audio(path, reader.sample_rate, reader.channels, index)
    low = 0 if start is None else round((start - first) * reader.sample_rate)
    high = want.shape[1] if stop is None else round((stop - first) * reader.sample_rate)
    assert np.array_equal(reader.read(start, stop), want[:, low:high])

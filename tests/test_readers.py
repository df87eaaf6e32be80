"""VideoReader and AudioReader: frames by index and time, rotation, metadata, audio cut to a range."""

import functools
import gc
import os
import pathlib
import shutil

import numpy as np
import pytest

import quorvex_av
from media import (ROTATE90_MATRIX, assert_like_the_tool, crop, damaged, encode, ffmpeg_audio,
                   ffmpeg_frames, probe_frames, resize, rotate, set_display_matrix, shown_at, source_frames)
from quorvex_av import AudioReader, VideoReader


@functools.lru_cache(maxsize=None)
def sequential(path):  # every frame, decoded in order by the reader's batches (7 cut shared_pts' pairs)
    return np.concatenate(list(VideoReader(path).batches(7)))


# h264: B-frames; vfr: irregular times (frames 5 and 6 80 ms apart); multi: first frame after 0;
# vp9: another codec and container; open_gop_pyramid: the last frame after an open group's key
# frame; shared_pts: pairs of frames 80 ms apart, of which a player shows the later.  Times, of the
# first frame's time and the last one's end: on a frame, inside a doubled interval, repeated,
# unordered, at the first frame, inside the last frame's duration.
@pytest.mark.parametrize("name, times", [
    ("h264", lambda first, end: 1.5), ("vfr", lambda first, end: [[0.30, 0.0], [end - 0.001, 0.30]]),
    ("multi", lambda first, end: [first + 0.977, first, first + 0.0399, end - 0.0001]),
    ("vp9", lambda first, end: [end - 0.001, first + 1.0]),
    ("open_gop_pyramid", lambda first, end: [end - 0.001, first + 1.93]),
    ("shared_pts", lambda first, end: [0.0, 0.04, 0.08, 0.959]),
])
def test_frames_by_index_and_time_are_those_of_a_sequential_decode(media, decoder_calls, name, times):
    path = str(media.path(name))
    # The sequential decode itself is compared with the tool in test_video.py (these
    # tests also run on aarch64, where the tool's references, made on x86_64, round otherwise).
    whole, frames = sequential(path), probe_frames(path, 0)  # through a reader of its own
    times = times(frames[0]["time"], frames[-1]["time"] + frames[-1]["seconds"])
    shown = np.vectorize(lambda t: shown_at(frames, t))(times)
    assert None not in shown.ravel().tolist()
    decoder_calls.clear()
    reader = VideoReader(path)
    assert np.array_equal(reader.at(times), whole[np.array(shown)]) and np.array_equal(reader.index_at(times), shown)
    assert reader.times.tolist() == [f["time"] for f in frames]
    picks = [len(whole) - 1, 0, len(whole) // 2 + 1, 7, len(whole) - 1]  # last first, unordered, repeated
    shown = [shown_at(frames, t) for t in reader.times[picks]]  # the pick, or the later frame of its pair
    assert np.array_equal(reader[picks], whole[picks]) and np.array_equal(reader.at(reader.times[picks]), whole[shown])
    assert len(reader) == reader.metadata.num_frames == len(whole)
    assert [call for call, _ in decoder_calls].count("scan") == 1


@pytest.mark.parametrize("key, rows", [
    (5, 5), (np.int32(-75), 0), (slice(-3, None), [72, 73, 74]), (slice(5, 2), []), ([3, 1, 3], [3, 1, 3]),
    (np.array([[0, 74], [25, 24]], np.uint16), [[0, 74], [25, 24]]), (np.arange(75) % 25 == 0, [0, 25, 50]),
])
def test_index_forms(media, key, rows):
    path = str(media.path("h264"))
    assert np.array_equal(VideoReader(path)[key], sequential(path)[np.array(rows, dtype=np.intp)])


V, A = VideoReader, AudioReader
RANGE = "is out of range: the video has 75 frames, valid indices are -75 to 74"
BEFORE = "{} s is before the audio's first sample: valid times begin at {} s"
PAST = "{} s is past the end of the audio: valid times are [0, {}) s"
AVI = ("the frames of this stream cannot be found by index: its packets carry decoding order only (as AVI "
       "stores B-frames), and its first frame decodes at 0.04 s, not at 0 s where the scan lists it; read it "
       "by time with at()")
PS = ("the frames of this stream cannot be found by index: some of its packets carry a decoding time only (as "
      "MPEG-PS stores I- and P-frames), which the scan lists in place of their presentation time, so that "
      "1.14 s is listed twice but decodes once; read it by time with at(), or with seek_mode='approximate'")


@pytest.mark.parametrize("name, call, error, message", [
    ("h264", lambda p: V(p)[75], IndexError, f"frame index 75 {RANGE}"),
    ("h264", lambda p: V(p)[np.ones(3, bool)], IndexError,
     "a boolean mask must have one value per frame (75), not shape (3,)"),
    ("h264", lambda p: V(p)[1.0], TypeError, "frame indices must be integers, not float64"),
    ("h264", lambda p: V(p).read_with_times([[0], [-76]]), IndexError, f"frame index -76 {RANGE}"),
    ("multi", lambda p: V(p).index_at([1.0, 2.1]), IndexError,
     "no frame is shown at 2.1 s: valid times are [{first:g}, {end:g}) s"),
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
    # mp3's first sample comes after the encoder's delay; a stop before it, the start left to default.
    ("mp3", lambda p: A(p).read(0.0, 1.0), IndexError, BEFORE.format("start 0", 0.0250567)),
    ("mp3", lambda p: A(p).read(None, 0.01), IndexError, BEFORE.format("stop 0.01", 0.0250567)),
    ("wav", lambda p: list(A(p).chunks(0.5, None, -5)), IndexError, BEFORE.format("stop -5", 0)),
    ("wav", lambda p: A(p).read(0.5, 1.5), IndexError, PAST.format("stop 1.5", 1)),
    ("wav", lambda p: A(p).read(0.6, 0.5), ValueError, "stop (0.5) is before start (0.6)"),
    ("wav", lambda p: A(p, sample_rate=8000.5), ValueError, "sample_rate must be a whole number, not 8000.5"),
    ("wav", lambda p: A(p, channels="2"), TypeError, "channels must be an integer, not str"),
    ("h264", lambda p: V(p, threads=-1), ValueError, "threads must be 0 (FFmpeg chooses) or more, not -1"),
    ("h264", lambda p: V(p, seek_mode="fast"), ValueError, "seek_mode must be 'exact' or 'approximate', not 'fast'"),
    # AVI with B-frames: the frames decode one period after the packet times the scan lists
    # (mpeg4_cuts: at the time of packet 1, a key frame too).
    *[(name, call, RuntimeError, AVI) for name in ("mpeg4", "mpeg4_cuts")
      for call in (lambda p: V(p)[5], lambda p: list(V(p, workers=2).batches(8)))],
    # MPEG-PS: a P-frame listed at its decoding time, a B-frame's presentation time.
    *[("mpeg2_ps", call, RuntimeError, PS)
      for call in (lambda p: V(p)[:], lambda p: V(p)[20], lambda p: list(V(p, workers=2).batches(8)))],
    ("h264", lambda p: V(p, frame_index=3), TypeError,
     "frame_index must be a FrameTable or the path of a saved one, not int"),
    # Audio read by range (mix_wav: 8 s at 44.1 kHz).
    ("mix_wav", lambda p: A(p).read(9.5), IndexError, PAST.format("start 9.5", 8)),
    ("mix_wav", lambda p: list(A(p).chunks(1.0, 6.0, 9.0)), IndexError, PAST.format("stop 9", 8)),
    ("mix_wav", lambda p: list(A(p).chunks(0.0)), ValueError,
     "a chunk must last at least one sample, not 0.0 s at 44100 Hz"),
    # Bounds whose sample indices pass 64 bits are past the end all the same.
    ("wav", lambda p: A(p, sample_rate=16000).read(1e15), IndexError, PAST.format("start 1e+15", 1)),
    ("wav", lambda p: A(p, sample_rate=8000).read(0, 1e17), IndexError, PAST.format("stop 1e+17", 1)),
    ("mix_wav", lambda p: list(A(p).chunks(1e300, 1e300, 1e308)), IndexError, PAST.format("stop 1e+308", 8)),
    *[("mix_wav", lambda p, bounds=bounds: A(p)._decoder.decode_audio_range(44100, 2, *bounds), ValueError,
       "first and end must be sample indices with 0 <= first <= end") for bounds in [(5, 2), (-1,)]],
    # Frames 3 and 24 exist, 30 does not.
    ("short_video", lambda p: [V(p, seek_mode="approximate")[picks] for picks in ([24, 3], [10, 30])], IndexError,
     "a frame index is past the last frame of the stream: the header counts 50 frames, the stream has fewer"),
    # The package's classes for what the decoders find.
    ("wav", V, quorvex_av.errors.StreamNotFoundError, "no valid stream of the requested media type"),
    ("multi", lambda p: A(p, stream_index=0), quorvex_av.errors.WrongMediaTypeError, "stream has the wrong media type"),
    ("undecodable", V, quorvex_av.errors.NoDecoderError, "FFmpeg has no decoder for this codec"),
    # Workers, of a reader and of the loader.
    *[("h264", make(value), error, f"workers must be {rule}, not {shown}")
      for make in (lambda w: lambda p: V(p, workers=w),
                   lambda w: lambda p: quorvex_av.ClipLoader([p], quorvex_av.samplers.clips_at_random_indices,
                                                             workers=w, num_clips=1, frames_per_clip=1))
      for value, error, rule, shown in [(0, ValueError, "at least 1", 0), (-2, ValueError, "at least 1", -2),
                                        (1.5, TypeError, "an integer", "float"), ("2", TypeError, "an integer", "str"),
                                        (True, TypeError, "an integer", "bool")]],
])
def test_errors(media, name, call, error, message):
    with pytest.raises(error) as raised:
        call(str(media.path(name)))
    if "{first" in message:  # the video's time range, as the file gives it
        frames = probe_frames(media.path(name), 0)
        message = message.format(first=frames[0]["time"], end=frames[-1]["time"] + frames[-1]["seconds"])
    assert str(raised.value) == message


@pytest.mark.parametrize("options, expected", [
    (dict(), lambda up: up),
    (dict(crop=(10, 20, 100, 60)), lambda up: up[:, 10:110, 20:80]),  # of the upright picture
    (dict(auto_rotate=False), lambda up: np.rot90(up, 1, axes=(1, 2))),
])
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


def timing(frames):  # what the frames of a clip say of its timing
    first, last = frames[0]["time"], frames[-1]
    return dict(num_frames=len(frames), start=first, duration=last["time"] + last["seconds"] - first,
                fps=(len(frames) - 1) / (last["time"] - first))


@pytest.mark.parametrize("name, expected", [
    ("h264", lambda frames: dict(num_frames=75, num_key_frames=3, start=0.0, duration=3.0, fps=25.0)),
    ("vfr", timing),  # the header says 25 fps
    ("multi", lambda frames: timing(frames) | dict(num_frames=50, duration=2.0, fps=25.0)),
    ("rotated90", lambda frames: dict(width=120, height=160, rotation=-90.0)),
])
def test_metadata(media, name, expected):
    expected = expected(probe_frames(media.path(name), 0))
    metadata = VideoReader(media.path(name)).metadata
    assert {key: getattr(metadata, key) for key in expected} == pytest.approx(expected)


def test_file_names_that_are_not_utf8(media, tmp_path):
    # Names from the file system arrive with surrogate escapes for such bytes.
    name, sound = (os.fsdecode(os.fsencode(tmp_path) + b"/clip-\xff" + suffix) for suffix in (b".mp4", b".m4a"))
    shutil.copyfile(media.path("h264"), os.fsencode(name))
    shutil.copyfile(media.path("aac"), os.fsencode(sound))
    want = sequential(str(media.path("h264")))[[0, 60, 10]]
    for source in (name, pathlib.Path(name)):
        with VideoReader(source) as reader:  # the second read rewinds (reopening by name if it must)
            assert np.array_equal(reader[[0, 60]], want[:2]) and np.array_equal(reader[10], want[2])
    with AudioReader(sound) as audio:
        assert np.array_equal(audio.read(), AudioReader(str(media.path("aac"))).read())
    VideoReader(name)  # collected without close(): nothing left open on the files
    gc.collect()
    assert not [fd for fd in os.listdir("/proc/self/fd")
                if b"/clip-\xff." in os.fsencode(os.path.realpath(f"/proc/self/fd/{fd}"))]


# The first sample of mp3 comes after its encoder delay, of multi's stream 2
# after 0 ("end": the stream's very end, as a stop); gap's tones are at their
# times, silence between, as the tool's resampling that follows timestamps puts them.
@pytest.mark.parametrize("name, index, start, stop", [
    ("wav", 0, None, None), ("wav", 0, 0.25, 0.5), ("mp3", 0, 0.5, 1.0), ("multi", 2, 1.0, "end"),
    ("flac", 0, 0.1, 0.1), ("gap", 0, None, None), ("gap", 0, 0.5, 2.5),
])
def test_audio_is_cut_exactly(media, name, index, start, stop):
    path = media.path(name)
    reader = AudioReader(path, stream_index=index)
    args = ("-af", "aresample=async=1") if name == "gap" else ()
    want = ffmpeg_audio(path, reader.sample_rate, reader.channels, index, args)
    first = probe_frames(path, index)[0]["time"]
    assert first > 0 or name not in ("mp3", "multi")
    if stop == "end":
        stop = first + want.shape[1] / reader.sample_rate
    low = 0 if start is None else round((start - first) * reader.sample_rate)
    high = want.shape[1] if stop is None else round((stop - first) * reader.sample_rate)
    assert np.array_equal(reader.read(start, stop), want[:, low:high])


# One pass by default, the two steps (whole picture to RGB, then scaled) when asked.
@pytest.mark.parametrize("exact_resize", [False, True])
def test_resize_path(media, exact_resize):
    path = str(media.path("rotated90"))
    reader = VideoReader(path, crop=(10, 20, 100, 80), resize=(50, 40), exact_resize=exact_resize)
    decoder = quorvex_av.Decoder(path, "video")
    packets = decoder.scan()
    want = decoder.decode_video([(packets[i][0], packets[0][0]) for i in (3, 20)], "uint8", True,
                                [rotate(3), crop(10, 20, 100, 80), resize(50, 40)], direct_resize=not exact_resize)[0]
    assert np.array_equal(reader[[3, 20]], want) and np.array_equal(reader.at(reader.times[[3, 20]]), want)


def test_a_gap_of_hours_costs_only_what_is_asked(tmp_path):
    # Half a second of tone, then timestamps ten hours later.
    encode(["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=16000:duration=1", "-c:a", "pcm_s16le",
            "-enc_time_base", "1:1000", "-bsf:a", "setts=ts=TS+gte(TS\\,500)*36000000"], path := tmp_path / "far.mkv")
    reader = AudioReader(path)
    with pytest.raises(RuntimeError, match=r"^audio timestamps jump ahead by 36000(\.\d+)? s at 0\.5\d* s; "
                                           "give a stop time to read across the gap$"):
        reader.read()
    samples = reader.read(0.0, 3.0)  # a stop bounds the silence
    assert samples.shape == (1, 48000) and not samples[:, 8200:].any() and samples[:, :8000].any()


@pytest.mark.parametrize("kind, name, packet, value, read", [
    (AudioReader, "aac", 20, 0xFF, lambda reader: reader.read()),  # an element id the decoder rejects
    # An impossible NAL unit size at the start of a P-frame's packet.
    (VideoReader, "tagged", 10, 0x7F, lambda reader: reader[[9, 11, 24]])])
def test_readers_skip_invalid_packets_unless_strict(media, kind, name, packet, value, read):
    data = damaged(media.path(name), 0, packet, value)
    reader, want = kind(data), read(kind(media.path(name)))
    got = read(reader)
    assert reader.skipped_packets == 1
    if kind is AudioReader:
        assert got.shape[0] == 2 and 0 <= want.shape[1] - got.shape[1] <= 1024  # the skipped frame
    else:  # the frame before the damage as ever; the count is the last call's
        assert got.shape == want.shape and np.array_equal(got[0], want[0])
        assert np.array_equal(reader[9], want[0]) and reader.skipped_packets == 0
    with pytest.raises(RuntimeError, match="^send packet: Invalid data found when processing input$"):
        read(kind(data, strict=True))

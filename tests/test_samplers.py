"""Clip samplers: the frames and times of plain reader indexing in one decoding
call, reproducible draws, the audio reader's sound, bad requests refused first."""

import numpy as np
import pytest

from quorvex_av import AudioReader, StreamNotFoundError, VideoReader
from quorvex_av.samplers import (ClipAudio, clips_at_random_indices, clips_at_random_times,
                                 clips_at_regular_indices, clips_at_regular_times)


def requests(decoder_calls):  # the pts of every frame decoding request (an empty one decodes nothing)
    return [[pts for pts, _ in args[0]] for name, args in decoder_calls
            if name == "decode_video" and args[0]]


SAMPLERS = {
    "random_indices": lambda r, **kw: clips_at_random_indices(r, 6, 5, step=2, seed=3, **kw),
    "regular_indices": lambda r, **kw: clips_at_regular_indices(r, 4, 8, start=5, stop=-5, **kw),
    "random_times": lambda r, **kw: clips_at_random_times(r, 5, 4, seconds_between_frames=0.07, seed=3, **kw),
    "regular_times": lambda r, **kw: clips_at_regular_times(r, 0.3, 6, **kw),
}
# Each sampler's nominal clip length, given the frame rate: frame periods by
# index ((frames - 1) x step + 1), frames x the time between them by time.
SPANS = {"random_indices": lambda fps: 9 / fps, "regular_indices": lambda fps: 8 / fps,
         "random_times": lambda fps: 4 * 0.07, "regular_times": lambda fps: 6 / fps}


# h264: B-frames; vfr: irregular frame times; multi: starts after 0;
# rotated90 with a crop and resize to a float32 picture.
@pytest.mark.parametrize("name, options", [("h264", {}), ("vfr", {}), ("multi", {}),
                                           ("rotated90", dict(dtype="float32", crop=(10, 0, 100, 120),
                                                              resize=(50, 40)))])
@pytest.mark.parametrize("sampler", SAMPLERS)
def test_clips_are_the_frames_of_plain_indexing(media, decoder_calls, name, options, sampler):
    path = media.path(name)
    clips = SAMPLERS[sampler](VideoReader(path, **options))
    reader = VideoReader(path, **options)
    assert requests(decoder_calls) == [reader.frame_index.pts[clips.indices.ravel()].tolist()]
    assert clips.frames.shape == clips.indices.shape + reader[0].shape
    assert np.array_equal(clips.frames, reader[clips.indices])
    assert np.array_equal(clips.times, reader.times[clips.indices])
    if sampler.endswith("indices"):
        assert (np.diff(clips.indices, axis=1) == (2 if sampler.startswith("random") else 1)).all()
    else:  # each clip's frames are those shown at its times from some start time
        between = 0.07 if sampler.startswith("random") else 1 / reader.metadata.fps
        offsets = np.arange(clips.indices.shape[1]) * between
        ends = np.append(reader.times[1:], reader.times[-1] + reader.durations[-1])
        latest_start = (reader.times[clips.indices] - offsets).max(axis=1)
        assert (latest_start < (ends[clips.indices] - offsets).min(axis=1) + 1e-9).all()
    assert (np.diff(clips.indices[:, 0]) >= 0).all()  # clips in order of their start


def separate_reads(path, starts, count, rate, channels):
    """Each clip's sound read on its own from its first frame's time, silence
    where the stream has no samples."""
    whole = AudioReader(path, sample_rate=rate, channels=channels)
    first, end = whole.first_sample_time, whole.first_sample_time + whole.read().shape[1] / rate
    sounds = []
    for start in starts:
        low = int(np.ceil((start - first) * rate - 1e-6))  # the read's first sample
        stop = min(first + (low + count) / rate, end)
        samples = AudioReader(path, sample_rate=rate, channels=channels).read(max(start, first), stop)
        before = max(0, -low)
        sounds.append(np.pad(samples, ((0, 0), (before, count - before - samples.shape[1]))))
    return np.stack(sounds)


# vfr_late_pcm: variable frame rate, PCM that starts 0.3 s after the first
# frame (bit for bit); h264_audio: AAC, which a seek reads within its noise
# substitution's bound; h264: no audio stream, silence asked for.
@pytest.mark.parametrize("name, rate, channels, bound", [
    ("vfr_late_pcm", 16000, 1, 0.0), ("vfr_late_pcm", 44100, 2, 0.0), ("h264_audio", 16000, 1, 1e-4),
    ("h264", 8000, 2, None)])
@pytest.mark.parametrize("sampler", SAMPLERS)
def test_clips_sound_is_the_audio_readers(media, sampler, name, rate, channels, bound):
    path = str(media.path(name))
    reader = VideoReader(path)
    audio = ClipAudio(rate, channels, missing="raise" if bound is not None else "silence")
    clips, silent = SAMPLERS[sampler](reader, audio=audio), SAMPLERS[sampler](reader)
    for field in ("frames", "indices", "times"):  # what the sampler gives without sound
        assert np.array_equal(getattr(clips, field), getattr(silent, field))
    assert silent.audio is None
    count = round(SPANS[sampler](reader.metadata.fps) * rate)
    assert clips.audio.shape == (len(clips), channels, count) and clips.audio.dtype == np.float32
    if bound is None:
        assert not clips.audio.any()
        return
    want = separate_reads(path, clips.times[:, 0], count, rate, channels)
    assert np.abs(clips.audio - want).max() <= bound
    if name == "vfr_late_pcm":  # silence until the sound starts, then sound
        for start, sound in zip(clips.times[:, 0], clips.audio):
            lead = round((0.3 - start) * rate)
            if lead > 0:
                assert not sound[:, :lead - 1].any() and np.abs(sound[:, lead + 1:lead + 50]).min() > 0


@pytest.mark.parametrize("call, starts", [
    (lambda r: clips_at_regular_indices(r, 4, 5, step=3), [0, 20, 41, 62]),  # the last one ends on frame 74
    (lambda r: clips_at_regular_indices(r, 3, 10, start=-30, stop=-5), [45, 52, 60]),
    (lambda r: clips_at_regular_indices(r, 1, 75), [0]),  # the whole video
    (lambda r: clips_at_regular_indices(r, 5, 73), [0, 0, 1, 1, 2]),  # more clips than positions
    # One frame period apart: sums of periods must not fall just short of a frame.
    (lambda r: clips_at_regular_times(r, 0.2, 10), list(range(0, 66, 5))),
    (lambda r: clips_at_regular_times(r, 1.0, 3, start=0.5, stop=2.6, seconds_between_frames=0.5), [12, 37]),
    # Random clips: all their frames within the range given.
    (lambda r: clips_at_random_indices(r, 50, 4, step=3, seed=1), range(75)),
    (lambda r: clips_at_random_indices(r, 50, 4, step=3, start=60, seed=1), range(60, 75)),
    (lambda r: clips_at_random_indices(r, 50, 4, step=3, start=-20, stop=-3, seed=1), range(55, 72)),
    (lambda r: clips_at_random_indices(r, 50, 4, step=3, start=0, stop=13, seed=1), range(13))])
def test_positions(media, call, starts):
    clips = call(VideoReader(media.path("h264")))  # 75 frames, 25 fps
    if isinstance(starts, range):
        assert starts[0] <= clips.indices.min() and clips.indices.max() <= starts[-1]
    else:
        assert clips.indices[:, 0].tolist() == starts
    if clips.indices.shape[1] > 1 and not clips.times[0, 1] - clips.times[0, 0] > 0.1:
        assert (np.diff(clips.indices, axis=1) == 1).all()


@pytest.mark.parametrize("sampler", [clips_at_random_indices, clips_at_random_times])
def test_seeded_draws_repeat(media, sampler):
    reader = VideoReader(media.path("vfr"))
    first, again, other = (sampler(reader, 5, 3, seed=seed) for seed in (7, 7, 8))
    assert np.array_equal(first.indices, again.indices) and np.array_equal(first.frames, again.frames)
    assert not np.array_equal(first.indices, other.indices)
    rng = np.random.default_rng(7)  # a Generator is drawn from, not reset
    assert np.array_equal(sampler(reader, 5, 3, seed=rng).indices, first.indices)
    assert not np.array_equal(sampler(reader, 5, 3, seed=rng).indices, first.indices)


@pytest.mark.parametrize("call, error, message", [
    (lambda r: clips_at_random_indices(r, 0, 4), ValueError, "num_clips must be at least 1, not 0"),
    (lambda r: clips_at_regular_indices(r, 2, 1.5), TypeError, "frames_per_clip must be an integer, not float"),
    (lambda r: clips_at_random_indices(r, 1, 76), ValueError, "clips of 76 frames do not fit in the video's 75 frames"),
    (lambda r: clips_at_regular_indices(r, 1, 10, step=3, start=50), ValueError,
     "clips of 10 frames, 3 apart, span 28 frames and do not fit in frames 50 to 74 (25 frames)"),
    (lambda r: clips_at_random_indices(r, 1, 2, start=80), ValueError,
     "start 80 is out of range: the video has 75 frames, valid values are -75 to 75"),
    (lambda r: clips_at_random_indices(r, 1, 2, start=10, stop=-65), ValueError,
     "no frames between start (10) and stop (10)"),
    (lambda r: clips_at_random_times(r, 1, 2, start=3.0), ValueError,
     "start 3 s is outside the video: valid times are [0, 3) s"),
    (lambda r: clips_at_random_times(r, 1, 2, start=2, stop=1), ValueError, "stop (1 s) must be after start (2 s)"),
    (lambda r: clips_at_random_times(r, 1, 2, seconds_between_frames=0), ValueError,
     "seconds_between_frames must be a positive number of seconds, not 0"),
    (lambda r: clips_at_regular_times(r, 1, 40, seconds_between_frames=0.1), ValueError,
     "a clip of 40 frames 0.1 s apart spans 3.9 s, too long for the range [0, 3) s"),
    (lambda r: clips_at_random_indices(r, 2, 4, audio=(16000, 1)), StreamNotFoundError,
     "the source has no audio stream for the clips' sound (no valid stream of the requested media "
     "type); ClipAudio(..., missing='silence') gives silent clips"),
    (lambda r: clips_at_regular_times(r, 1, 2, audio=ClipAudio(16000, 0)), ValueError,
     "channels must be at least 1, not 0"),
    (lambda r: clips_at_random_times(r, 1, 2, audio=16000), TypeError,
     "audio must be a ClipAudio or (sample_rate, channels), not int")])
def test_bad_requests_decode_nothing(media, decoder_calls, call, error, message):
    with pytest.raises(error) as raised:
        call(VideoReader(media.path("h264")))
    assert str(raised.value) == message
    assert requests(decoder_calls) == []

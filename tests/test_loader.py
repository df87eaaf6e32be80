"""ClipLoader: the clips of many files, decoded on threads, in a fixed or a
seeded shuffled order, with bounded read-ahead, failures reported, and its
threads and readers gone when it stops."""

import re
import threading
from pathlib import Path

import numpy as np
import pytest

from media import probe_frames
from quorvex_av import ClipLoader, LoadError, VideoReader
from quorvex_av.samplers import (ClipAudio, clips_at_random_indices, clips_at_regular_indices,
                                 clips_at_regular_times)

NAMES = ["h264", "vfr", "multi", "vp9", "odd_width", "rotated90"]


@pytest.fixture
def paths(media):
    return [str(media.path(name)) for name in NAMES]


def loader_threads():
    return [t for t in threading.enumerate() if t.name.startswith("quorvex-loader")]


def test_clips_are_those_of_the_sampler_whatever_the_threads(paths):
    options = dict(num_clips=3, frames_per_clip=4, step=2, seed=5)
    runs = [list(ClipLoader(paths, clips_at_random_indices, threads=threads, workers=workers, **options))
            for threads, workers in [(1, 1), (3, 1), (1, 2)]]  # workers: decoders per reader
    assert not [t for t in threading.enumerate() if t.name.startswith("quorvex-worker")]
    for position, (path, *items) in enumerate(zip(paths, *runs, strict=True)):
        reader, picks = VideoReader(path), items[0].indices
        assert np.array_equal(items[0].times, reader.times[picks])
        for item, want in zip(items, [reader[picks]] * 3):
            assert (item.source, item.position) == (path, position)
            assert np.array_equal(item.indices, picks) and np.array_equal(item.frames, want)
    # With sound, silent where a file has none ("multi" has).
    audio = ClipAudio(16000, 1, missing="silence")
    regular = ClipLoader(paths, clips_at_regular_times, threads=2, seconds_between_clip_starts=0.5,
                         frames_per_clip=3, reader_options=dict(resize=(24, 32)), audio=audio)
    for item, path in zip(regular, paths, strict=True):
        direct = clips_at_regular_times(VideoReader(path, resize=(24, 32)), 0.5, 3, audio=audio)
        assert np.array_equal(item.indices, direct.indices) and np.array_equal(item.frames, direct.frames)
        assert np.array_equal(item.audio, direct.audio) and item.audio.any() == path.endswith(".mkv")


def test_seeded_shuffle_and_epochs(paths):
    def passes(seed):
        loader = ClipLoader(paths, clips_at_random_indices, shuffle=True, seed=seed, num_clips=2,
                            frames_per_clip=2)
        return [[(item.position, item.indices.tolist()) for item in loader] for _ in range(2)]

    first, again, other = passes(1), passes(1), passes(2)
    assert first == again
    orders = [tuple(position for position, _ in epoch) for epoch in first + other]
    assert all(sorted(order) == list(range(len(paths))) for order in orders)
    assert len(set(orders)) == 4  # each pass shuffled anew


@pytest.mark.parametrize("on_error", ["skip", "raise"])
def test_failures_are_reported(paths, media, tmp_path, on_error):
    (broken := tmp_path / "broken.mp4").write_bytes(b"\0" * 1000)
    sources = [paths[0], str(broken), str(tmp_path / "missing.mp4"), str(media.path("wav")), paths[1]]
    # h264 has 75 frames, vfr about 50: a clip of 60 fits in the first only.
    loader = ClipLoader(sources, clips_at_regular_indices, threads=2, on_error=on_error,
                        num_clips=1, frames_per_clip=60)
    if on_error == "raise":
        results = iter(loader)
        assert next(results).position == 0
        with pytest.raises(LoadError) as raised:
            next(results)
        assert str(raised.value).startswith(f"source 1 ({str(broken)!r}): RuntimeError: open input: ")
        assert raised.value.failure.position == 1 and raised.value.__cause__ is raised.value.failure.error
        assert list(results) == [] and loader_threads() == []
        return
    assert [item.position for item in loader] == [0]
    failures = {f.position: f"{type(f.error).__name__}: {f.error}" for f in loader.failures}
    assert list(failures) == [1, 2, 3, 4]
    assert failures[2].startswith("RuntimeError: open input: No such file or directory")
    assert failures[3] == "StreamNotFoundError: no valid stream of the requested media type"
    vfr_frames = len(probe_frames(media.path("vfr"), 0))  # 50, or fewer from some releases of the tool
    assert failures[4] == f"ValueError: clips of 60 frames do not fit in the video's {vfr_frames} frames"


class Recorder:
    """A sampler that records its readers and can hold every call until released."""

    def __init__(self, hold=False):
        self.readers, self.lock = [], threading.Lock()
        self.release = threading.Event()
        if not hold:
            self.release.set()

    def __call__(self, reader, **arguments):
        with self.lock:
            self.readers.append(reader)
        self.release.wait(30)
        return clips_at_regular_indices(reader, 1, 2)


# Read ahead stays within prefetch; stopping early (leaving a for loop,
# close(), the end of the with block) cancels the files not started.
@pytest.mark.parametrize("stop", [None, "break", "close", "with"])
def test_read_ahead_is_bounded_and_stopping_ends_threads_and_closes_readers(paths, stop):
    record = Recorder(hold=stop is not None)
    sources = paths * 2
    with ClipLoader(sources, record, threads=2, prefetch=4) as loader:
        results = iter(loader)
        threading.Timer(0.2, record.release.set).start()  # the first two files wait until then
        for taken, item in enumerate(results, start=1):
            assert item.position == taken - 1 and len(record.readers) <= min(taken + 4, len(sources))
            if stop is not None:
                break
        if stop == "break":
            del results  # as leaving a for loop drops its iterator
        elif stop == "close":
            loader.close()
    assert loader_threads() == []
    assert 2 <= len(record.readers) <= 1 + 4 if stop else len(record.readers) == len(sources)
    for reader in record.readers:
        with pytest.raises(RuntimeError, match="decoder is closed"):
            reader.at(0.0)
    if stop != "break":
        with pytest.raises(RuntimeError, match="the loader is closed"):
            iter(loader)


@pytest.mark.parametrize("arguments, message", [
    (dict(threads=0), "threads must be a positive integer, not 0"),
    (dict(prefetch=0), "prefetch must be a positive integer, not 0"),
    (dict(on_error="ignore"), "on_error must be 'raise' or 'skip', not 'ignore'"),
    (dict(num_clips=0), "num_clips must be at least 1, not 0"),
    (dict(audio=(16000,)), "audio must be (sample_rate, channels), not (16000,)"),
])
def test_bad_arguments_fail_at_once(paths, arguments, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        ClipLoader(paths, clips_at_random_indices, **dict(num_clips=1, frames_per_clip=2) | arguments)


def test_the_guide_example_runs(paths):
    guide = (Path(__file__).resolve().parent.parent / "docs" / "guide.md").read_text()
    code = guide.split("\n## Training\n", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    placeholder = '["a.mp4", "b.mp4", "c.mp4"]'
    assert placeholder in code
    exec(compile(code.replace(placeholder, repr(paths[:3])), "guide.md", "exec"), {})

"""quorvex_av, this project's library: one decode call per key-frame group
(or one for everything when the frames are kept), with one decoding thread."""

from __future__ import annotations

import importlib

import numpy as np

from common import Clock, Job, Output, Run, groups_of, keep_probe, pair_with_keys

NAME = "quorvex_av"
_module = None


def load():
    """The installed package.  `make bench` installs it before it starts the
    benchmark, so an import that fails does so for good: most often the
    source tree (which has no built extension) shadows the installed
    package, as when the benchmark is run with `python -m` from the
    repository root; run it as a script (`python bench/run.py`)."""
    global _module
    if _module is None:
        _module = importlib.import_module("quorvex_av")
    return _module


def available() -> bool:
    try:
        load()
        return True
    except ImportError:
        return False


def versions() -> str:
    import datetime
    import os

    module = load()
    built = datetime.datetime.fromtimestamp(os.path.getmtime(module._av.__file__))
    return (f"quorvex_av {module.__version__} (extension built {built:%Y-%m-%d %H:%M}), "
            f"linked against FFmpeg {module.ffmpeg_version} (system)")


def _video(job: Job):
    return load().Decoder(str(job.path), "video", threads=job.threads)


def _decode_groups(job: Job, transforms=(), direct_resize=False) -> Output:
    decoder = _video(job)
    pts, keys = pair_with_keys(decoder.scan())
    times, frames, position = [], {}, 0
    for group in groups_of(pts, keys):
        batch, batch_times, _ = decoder.decode_video(group, "uint8", True, transforms=list(transforms),
                                                     direct_resize=direct_resize)
        times.extend(batch_times)
        for i in range(len(group)):
            keep_probe(frames, position + i, job.probes, batch[i])
        position += len(group)
        del batch
    decoder.close()
    return Output(times=times, frames=frames)


def seq(job: Job) -> Run:
    with Clock() as clock:
        output = _decode_groups(job)
    return Run(clock.seconds, output)


def resize(job: Job) -> Run:
    height, width = job.size
    with Clock() as clock:
        # The readers' default: scaled by the colour conversion itself.
        output = _decode_groups(job, [("resize", 0, 0, height, width)], direct_resize=True)
    return Run(clock.seconds, output)


def seq_keep(job: Job) -> Run:
    with Clock() as clock:
        decoder = _video(job)
        pts, keys = pair_with_keys(decoder.scan())
        batch, times, _ = decoder.decode_video(list(zip(pts, keys)), "uint8", True)
        decoder.close()
    frames: dict[int, np.ndarray] = {}
    for position in job.probes:
        keep_probe(frames, position, job.probes, batch[position])
    del batch
    return Run(clock.seconds, Output(times=list(times), frames=frames))


def random_frames(job: Job) -> Run:
    targets = [(job.pts[i], job.keys[i]) for i in job.indices]
    with Clock() as clock:
        decoder = _video(job)
        batch, times, _ = decoder.decode_video(targets, "uint8", True)
        decoder.close()
    frames = {position: np.array(batch[position]) for position in range(len(batch))}
    return Run(clock.seconds, Output(times=list(times), frames=frames))


def times_at(job: Job) -> Run:
    with Clock() as clock:
        decoder = _video(job)
        batch, times, _ = decoder.decode_timestamps(job.seconds, "uint8")
        decoder.close()
    frames = {position: np.array(batch[position]) for position in range(len(batch))}
    return Run(clock.seconds, Output(times=list(times), frames=frames))


def audio(job: Job) -> Run:
    with Clock() as clock:
        decoder = load().Decoder(str(job.path), "audio", threads=1)
        samples, _ = decoder.decode_audio(16000, 1)
        decoder.close()
    return Run(clock.seconds, Output(samples=samples[0]))


def audio_range(job: Job) -> Run:
    """``job.seconds`` = [start, stop] of a read at 16 kHz mono, through the
    reader (which seeks), opening included."""
    start, stop = job.seconds
    with Clock() as clock:
        reader = load().AudioReader(str(job.path), sample_rate=16000, channels=1)
        samples = reader.read(start, stop)
        reader.close()
    return Run(clock.seconds, Output(samples=samples[0]))


# -- the readers with several decoders (workers=N) -------------------------------------


def _reader(job: Job, **options):
    """A reader with the job's untimed scan as its frame index, as the
    extension is given the key frames in the rows above."""
    module = load()
    table = job.table if job.table is not None else module.VideoReader(str(job.path)).frame_index
    job.table = table
    return module.VideoReader(str(job.path), frame_index=table, **options)


def _batches(job: Job, **options) -> Output:
    times, frames, position = [], {}, 0
    with _reader(job, workers=job.workers, threads=job.threads, **options) as reader:
        for batch in reader.batches(32):
            for i in range(len(batch)):
                keep_probe(frames, position + i, job.probes, batch[i])
            position += len(batch)
            del batch
        times = reader.times.tolist()
    return Output(times=times, frames=frames)


def seq_batches(job: Job) -> Run:
    """The whole stream through ``VideoReader.batches(32)``."""
    _reader(job).close()  # the index is made before the clock starts
    with Clock() as clock:
        output = _batches(job)
    return Run(clock.seconds, output)


def resize_batches(job: Job) -> Run:
    _reader(job).close()
    with Clock() as clock:
        output = _batches(job, resize=job.size)
    return Run(clock.seconds, output)


def random_frames_reader(job: Job) -> Run:
    """``reader[indices]`` with ``job.workers`` decoders."""
    _reader(job).close()
    with Clock() as clock:
        with _reader(job, workers=job.workers) as reader:
            batch, times = reader.read_with_times(np.array(job.indices))
    frames = {position: np.array(batch[position]) for position in range(0, len(batch), job.stride)}
    return Run(clock.seconds, Output(times=times.tolist(), frames=frames))


def times_at_reader(job: Job) -> Run:
    """``reader.at(seconds)`` with ``job.workers`` decoders, without a frame
    index (the times are cut into one run per decoder)."""
    module = load()
    with Clock() as clock:
        with module.VideoReader(str(job.path), workers=job.workers) as reader:
            # The reader's own call, for the frames' times beside the frames.
            batch, times, _ = reader._rows.calls().decode_timestamps(job.seconds, "uint8")
    frames = {position: np.array(batch[position]) for position in range(len(batch))}
    return Run(clock.seconds, Output(times=list(times), frames=frames))

"""torchcodec, used as its documentation shows: a ``VideoDecoder`` in exact
seek mode (its own scan of the file, timed), ``get_frame_at`` for every index
in turn where frames are dropped after use, one batch call otherwise, frames
in NHWC order so that its tensors become the same arrays as the other
libraries' without a copy.  One decoding thread (``num_ffmpeg_threads=1``;
0, its automatic choice, in the ``seq_threads`` row) and one thread for
torch's own operations.  It loads the system's FFmpeg
libraries, like this library.

An optional peer: it needs the CUDA build of torch even to decode on the CPU,
so it is not in the bench extra; scripts/bench_peers.sh installs it when
``make bench`` runs, and the suite skips it when it does not import."""

from __future__ import annotations

import numpy as np

from common import Clock, Job, Output, Run, keep_probe

NAME = "torchcodec"

try:
    import torch
    import torchcodec
    from torchcodec.decoders import AudioDecoder, VideoDecoder
    from torchcodec.transforms import Resize
except Exception as error:  # reported as skipped, with the reason
    torchcodec = None
    if isinstance(error, ModuleNotFoundError) and error.name in ("torch", "torchcodec"):
        REASON = "not installed"
    else:  # e.g. it found no FFmpeg libraries it can load
        REASON = f"{type(error).__name__}: {(str(error).splitlines() or [''])[0]}"
else:
    REASON = ""
    torch.set_num_threads(1)


def available() -> bool:
    return torchcodec is not None


def versions() -> str:
    return (f"torchcodec {torchcodec.__version__} (torch {torch.__version__}), "
            f"loading the system's FFmpeg {torchcodec.ffmpeg_major_version} libraries")


def _video(job: Job, transforms=None):
    return VideoDecoder(str(job.path), seek_mode="exact", num_ffmpeg_threads=job.threads,
                        dimension_order="NHWC", transforms=transforms)


def _frames(job: Job, transforms=None) -> Output:
    decoder = _video(job, transforms)
    times, frames = [], {}
    for position in range(len(decoder)):
        frame = decoder.get_frame_at(position)
        times.append(frame.pts_seconds)
        keep_probe(frames, position, job.probes, frame.data.numpy())
    return Output(times=times, frames=frames)


def _batch(batch) -> Output:
    frames = batch.data.numpy()
    return Output(times=batch.pts_seconds.tolist(),
                  frames={position: np.array(frame) for position, frame in enumerate(frames)})


def seq(job: Job) -> Run:
    with Clock() as clock:
        output = _frames(job)
    return Run(clock.seconds, output)


def resize(job: Job) -> Run:
    with Clock() as clock:
        output = _frames(job, [Resize(job.size)])
    return Run(clock.seconds, output)


def seq_keep(job: Job) -> Run:
    with Clock() as clock:
        batch = _video(job).get_all_frames()
    frames = {position: np.array(batch.data[position].numpy()) for position in job.probes}
    times = batch.pts_seconds.tolist()
    del batch
    return Run(clock.seconds, Output(times=times, frames=frames))


def random_frames(job: Job) -> Run:
    with Clock() as clock:
        batch = _video(job).get_frames_at(job.indices)
    return Run(clock.seconds, _batch(batch))


def times_at(job: Job) -> Run:
    with Clock() as clock:
        batch = _video(job).get_frames_played_at(job.seconds)
    return Run(clock.seconds, _batch(batch))


def audio(job: Job) -> Run:
    with Clock() as clock:
        samples = AudioDecoder(str(job.path), sample_rate=16000, num_channels=1).get_all_samples()
        mono = samples.data[0].numpy()
    return Run(clock.seconds, Output(samples=mono))


def audio_range(job: Job) -> Run:
    start, stop = job.seconds
    with Clock() as clock:
        decoder = AudioDecoder(str(job.path), sample_rate=16000, num_channels=1)
        samples = decoder.get_samples_played_in_range(start, stop)
        mono = samples.data[0].numpy()
    return Run(clock.seconds, Output(samples=mono))


def random_frames_approximate(job: Job) -> Run:
    """get_frames_at in approximate mode: frames placed by the header."""
    with Clock() as clock:
        decoder = VideoDecoder(str(job.path), seek_mode="approximate", num_ffmpeg_threads=1,
                               dimension_order="NHWC")
        batch = decoder.get_frames_at(job.indices)
    return Run(clock.seconds, _batch(batch))

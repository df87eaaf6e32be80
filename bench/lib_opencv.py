"""OpenCV's VideoCapture (its FFmpeg back end), frame by frame, converted
from its BGR output to RGB.  One decoding thread, one thread for its own
image functions."""

from __future__ import annotations

import re

import numpy as np

from common import Clock, Job, Output, Run, keep_probe

NAME = "OpenCV"

try:
    import cv2
except ImportError:  # reported as skipped
    cv2 = None
else:
    cv2.setNumThreads(1)


def available() -> bool:
    return cv2 is not None


def versions() -> str:
    found = re.findall(r"(avcodec|avformat|avutil|swscale):\s+YES \(([\d.]+)\)", cv2.getBuildInformation())
    libs = ", ".join(f"lib{name} {version}" for name, version in found)
    return f"OpenCV {cv2.__version__}, bundled FFmpeg ({libs})"


def _open(path, threads=1):
    # 0: OpenCV's own choice (all cores).
    params = [cv2.CAP_PROP_N_THREADS, threads] if threads and hasattr(cv2, "CAP_PROP_N_THREADS") else []
    capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG, params)
    if not capture.isOpened():
        raise RuntimeError(f"OpenCV cannot open {path}")
    return capture


def _now(capture) -> float:
    return capture.get(cv2.CAP_PROP_POS_MSEC) / 1000


def _frames(job: Job, convert, keep: list | None = None) -> Output:
    capture = _open(job.path, job.threads)
    times, frames, position = [], {}, 0
    while True:
        ok, bgr = capture.read()
        if not ok:
            break
        array = convert(bgr)
        times.append(_now(capture))
        keep_probe(frames, position, job.probes, array)
        if keep is not None:
            keep.append(array)
        position += 1
    capture.release()
    return Output(times=times, frames=frames)


def _rgb(bgr):
    return cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB)


def seq(job: Job) -> Run:
    with Clock() as clock:
        output = _frames(job, _rgb)
    return Run(clock.seconds, output)


def resize(job: Job) -> Run:
    height, width = job.size
    with Clock() as clock:
        output = _frames(job, lambda bgr: _rgb(
            cv2.resize(bgr, (width, height), interpolation=cv2.INTER_LINEAR)))
    return Run(clock.seconds, output)


def seq_keep(job: Job) -> Run:
    kept: list[np.ndarray] = []
    with Clock() as clock:
        output = _frames(job, _rgb, kept)
    del kept
    return Run(clock.seconds, output)


def _seek_and_read(job: Job, prop, values) -> Run:
    times, frames = [], {}
    with Clock() as clock:
        capture = _open(job.path)
        for position, value in enumerate(values):
            capture.set(prop, value)
            ok, bgr = capture.read()
            if not ok:
                raise RuntimeError(f"OpenCV could not read after seeking to {value}")
            frames[position] = _rgb(bgr)
            times.append(_now(capture))
        capture.release()
    return Run(clock.seconds, Output(times=times, frames=frames))


def random_frames(job: Job) -> Run:
    """Seeks by frame number (CAP_PROP_POS_FRAMES); OpenCV maps it to a time
    through the frame rate, so its accuracy is checked, not assumed."""
    return _seek_and_read(job, cv2.CAP_PROP_POS_FRAMES, job.indices)


def times_at(job: Job) -> Run:
    """Seeks by time (CAP_PROP_POS_MSEC)."""
    return _seek_and_read(job, cv2.CAP_PROP_POS_MSEC, [s * 1000 for s in job.seconds])

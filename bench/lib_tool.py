"""The ffmpeg command-line tool, the practical limit: it decodes with the
same FFmpeg libraries as this library (the system's), with one decoding
thread, and writes nothing (``-f null``) or raw samples to a pipe.  Its
process start-up is measured on a tiny input and subtracted by the caller."""

from __future__ import annotations

import shutil
import subprocess
import threading

import numpy as np

from common import Clock, Job, Output, Run

NAME = "ffmpeg tool"
_BASE = ["ffmpeg", "-v", "error", "-nostdin", "-threads", "1"]


def available() -> bool:
    return shutil.which("ffmpeg") is not None


def versions() -> str:
    first = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    return first.split(" Copyright")[0]


def _null_output() -> list[str]:
    # -progress reports the number of frames decoded, to check against the others.
    return ["-progress", "pipe:1", "-nostats", "-f", "null", "-"]


def _frames_reported(stdout: str) -> int | None:
    counts = [int(line.split("=", 1)[1]) for line in stdout.splitlines() if line.startswith("frame=")]
    return counts[-1] if counts else None


def _run(args: list[str]) -> subprocess.CompletedProcess:
    return subprocess.run([*_BASE, *args], check=True, capture_output=True)


def _count(args: list[str]) -> Run:
    with Clock() as clock:
        done = _run(args)
    return Run(clock.seconds, Output(count=_frames_reported(done.stdout.decode())))


def startup_video() -> Run:
    return _count(["-f", "lavfi", "-i", "color=size=16x16:rate=30:duration=0.04", *_null_output()])


def startup_audio() -> Run:
    with Clock() as clock:
        _run(["-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo", "-t", "0.001",
              "-ac", "1", "-ar", "16000", "-f", "f32le", "-"])
    return Run(clock.seconds, Output())


def seq(job: Job) -> Run:
    """Decode only: no colour conversion, nothing written."""
    return _count(["-threads", str(job.threads), "-i", str(job.path), *_null_output()])


def resize(job: Job) -> Run:
    """Decode, then scale and convert to RGB in one pass."""
    height, width = job.size
    return _count(["-filter_threads", "1", "-i", str(job.path),
                   "-vf", f"scale={width}:{height}:flags=bilinear,format=rgb24", *_null_output()])


def audio(job: Job) -> Run:
    with Clock() as clock:
        done = _run(["-i", str(job.path), "-ac", "1", "-ar", "16000", "-f", "f32le", "-"])
    return Run(clock.seconds, Output(samples=np.frombuffer(done.stdout, np.float32)))


def seq_pair(job: Job) -> float:
    """Two decode-only processes at once; the seconds until both are done."""
    with Clock() as clock:
        runs = [threading.Thread(target=seq, args=(job,)) for _ in range(2)]
        for run in runs:
            run.start()
        for run in runs:
            run.join()
    return clock.seconds

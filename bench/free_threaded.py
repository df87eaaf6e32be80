"""Threads on a free-threaded interpreter against the same CPython with the
interpreter lock: run once on each by scripts/bench_ft.sh, which joins the
two outputs into one table.

``python bench/free_threaded.py [--media DIR]`` prints one line of JSON with
the median seconds, over ``--repeat`` rounds, of:

- ``decode_1`` and ``decode_2``: one decoder reading ``--frames`` frames, and
  two decoders on two threads each reading the same (``parallel``);
- ``loader_1``, ``loader_2``: one ClipLoader pass over the loader files on
  one and on two threads, with a per-clip transform in Python (NumPy
  operations of about the cost of decoding a clip) done by the sampler, in
  the loader's threads;
- ``processes_2``: the same files split over two processes of one thread
  each, one loader per half (the processes started for the pass, as a
  DataLoader's workers are for an epoch);
- ``tool_1``, ``tool_2``: the ffmpeg tool decoding the same frames on one
  thread, once and twice at once: what two cores of this machine give two
  jobs that share nothing, the ceiling for every row's speed-up.

Every pass's items are digested; the output lists any that threads or
processes changed.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import multiprocessing
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np

import clips
import quorvex_av
from quorvex_av import samplers

CLIPS, FRAMES = 4, 16


def augment(frames: np.ndarray) -> np.ndarray:
    """A few NumPy operations on every clip, as a training transform does
    (about the cost of decoding the clips): half size, to float, normalised,
    mirrored."""
    values = frames[:, :, ::2, ::2].astype(np.float32)
    values *= 1 / 127.5
    values -= 1
    return np.ascontiguousarray(values[:, :, :, ::-1])


def augmented_clips(reader: quorvex_av.VideoReader, *, seed: Any = None,
                    **arguments: Any) -> samplers.Clips:
    clips = samplers.clips_at_random_indices(reader, seed=seed, **arguments)
    return dataclasses.replace(clips, frames=augment(clips.frames))


def digest(frames: np.ndarray) -> str:
    """Of every frame, one pixel in 64: enough to tell frames apart, cheap
    enough not to weigh in the times (a copy of the whole array would be
    made under the interpreter lock)."""
    return hashlib.sha1(np.ascontiguousarray(frames[..., ::8, ::8, :])).hexdigest()


def decode(path: str, frames: int) -> str:
    with quorvex_av.VideoReader(path) as reader:
        return digest(reader[:frames])


def tool_decode(path: str, frames: int, count: int) -> None:
    command = ["ffmpeg", "-v", "error", "-nostdin", "-threads", "1", "-i", path,
               "-frames:v", str(frames), "-pix_fmt", "rgb24", "-f", "null", "-"]
    for process in [subprocess.Popen(command) for _ in range(count)]:
        if process.wait() != 0:
            raise SystemExit(f"the ffmpeg tool failed on {path}")


def timed(work: Any) -> tuple[float, Any]:
    begun = time.perf_counter()
    result = work()
    return time.perf_counter() - begun, result


def on_threads(work: Any, count: int) -> list[Any]:
    results: list[Any] = [None] * count

    def run(slot: int) -> None:
        results[slot] = work()
    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def loader_pass(paths: list[str], threads: int) -> list[str]:
    digests = []
    with quorvex_av.ClipLoader(paths, augmented_clips, threads=threads, workers=1, seed=0,
                               num_clips=CLIPS, frames_per_clip=FRAMES) as loader:
        for item in loader:
            digests.append(hashlib.sha1(item.indices.tobytes()).hexdigest() + digest(item.frames))
    return digests


def halves(paths: list[str]) -> list[list[str]]:
    return [paths[0::2], paths[1::2]]


def half_pass(paths: list[str]) -> list[str]:  # for the pool: a function it can pickle
    return loader_pass(paths, 1)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--media", type=Path, default=clips.DEFAULT_DIR,
                        help="the benchmark's inputs, made there when missing")
    parser.add_argument("--prepare", action="store_true", help="only make the inputs")
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    video = str(clips.ensure(clips.catalogue(False)["h264_1080p"], options.media))
    loader_files = [str(path) for path in clips.loader_files(False, options.media)[0]]
    if options.prepare:
        return
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    seconds: dict[str, list[float]] = {}
    problems: list[str] = []

    def note(name: str, value: float) -> None:
        seconds.setdefault(name, []).append(value)

    decode(video, 8)  # libraries loaded, caches warm
    context = multiprocessing.get_context("spawn")
    split_items = [half_pass(half) for half in halves(loader_files)]
    for _ in range(options.repeat):
        one, expected = timed(lambda: decode(video, options.frames))
        two, pair = timed(lambda: on_threads(lambda: decode(video, options.frames), 2))
        note("decode_1", one)
        note("decode_2", two)
        note("tool_1", timed(lambda: tool_decode(video, options.frames, 1))[0])
        note("tool_2", timed(lambda: tool_decode(video, options.frames, 2))[0])
        if pair != [expected, expected]:
            problems.append("two decoders on two threads read other frames")
        one, items = timed(lambda: loader_pass(loader_files, 1))
        two, items_two = timed(lambda: loader_pass(loader_files, 2))
        note("loader_1", one)
        note("loader_2", two)
        if items_two != items:
            problems.append("the loader's items differ between one thread and two")
        begun = time.perf_counter()
        with context.Pool(2) as pool:
            items_split = pool.map(half_pass, halves(loader_files))
        note("processes_2", time.perf_counter() - begun)
        if items_split != split_items:
            problems.append("the loader's items differ between one process and two")
    print(json.dumps({
        "python": sys.version.split()[0], "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "gil": gil, "seconds": {name: statistics.median(values) for name, values in seconds.items()},
        "problems": sorted(set(problems)),
    }))


if __name__ == "__main__":
    main()

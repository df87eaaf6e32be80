"""Decode a set of video files on a Dask cluster of worker processes.

Usage: python examples/distributed.py [--json] FILE [FILE ...]

Each task gets a path, not a decoder: decoders hold open files and FFmpeg
state, so they are created inside the worker that uses them and never
pickled.  Every file is summarised by a few frames spread over it (their
times, mean colours and a digest of their pixels); the same summary made in
this process must come out identical, which the script checks.

Needs Dask's distributed scheduler: pip install 'dask[distributed]'.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
from typing import Any

# This file shares its name with Dask's ``distributed`` package: keep its
# folder off the import path so that ``import distributed`` finds Dask's.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _HERE]

import numpy as np  # noqa: E402

from quorvex_av import VideoReader  # noqa: E402


def summarize(path: str, samples: int = 8, size: tuple[int, int] = (64, 64)) -> dict[str, Any]:
    """Frame count, rate and duration of one video, and ``samples`` frames
    spread over it, small, described by their times, mean RGB values and a
    digest of their pixels."""
    with VideoReader(path, resize=size) as reader:
        meta = reader.metadata
        picks = np.linspace(0, len(reader) - 1, num=min(samples, len(reader))).round().astype(int)
        frames = reader[picks]  # one decoding pass for all of them
        times = reader.times[picks]
    return {
        "path": path,
        "frames": meta.num_frames,
        "fps": meta.fps,
        "duration": meta.duration,
        "times": times.tolist(),
        "means": frames.mean(axis=(1, 2)).round(3).tolist(),
        "digest": hashlib.sha256(frames.tobytes()).hexdigest(),
    }


def on_cluster(paths: list[str], workers: int = 2) -> tuple[list[dict[str, Any]], list[int]]:
    """``summarize`` every file on a local cluster of worker processes;
    also returns the workers' process ids."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        futures = client.map(summarize, paths)
        results: list[dict[str, Any]] = client.gather(futures)
        pids = sorted(client.run(os.getpid).values())
        return results, pids


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    options.add_argument("files", nargs="+", metavar="FILE")
    options.add_argument("--json", action="store_true",
                         help="print the summaries and the workers' process ids as JSON")
    args = options.parse_args()

    distributed, pids = on_cluster(args.files)
    local = [summarize(path) for path in args.files]
    if distributed != local:
        sys.exit("the cluster's results differ from this process's")
    if args.json:
        print(json.dumps({"workers": pids, "summaries": distributed}, indent=1))
        return
    for summary in distributed:
        print(f"{summary['path']}: {summary['frames']} frames, {summary['fps']:.3f} fps, "
              f"{summary['duration']:.3f} s, digest {summary['digest'][:16]}")
    print(f"{len(local)} files decoded on worker processes {', '.join(map(str, pids))} "
          f"(this one is {os.getpid()}): identical to decoding them here")


if __name__ == "__main__":
    main()

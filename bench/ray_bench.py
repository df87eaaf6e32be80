"""quorvex_av.ray against Ray Data's own video reader on one cluster.

Usage: python bench/ray_bench.py [--files N] [--seconds S] [--size WxH] [--repeat N] [--out FILE]

Starts the two-node local cluster of examples/ray_cluster.py (one CPU and
200 MB of object store a node), makes N H.264 files with the ffmpeg tool,
and times two reads of them, each consumed with ``iter_batches`` by this
process: the full stream (every frame) and 8 clips of 16 frames per file at
random places.  For each it reports frames per second delivered to the
consumer, the peak object-store use (sampled every 0.2 s while the read
runs) and what was spilled to disk, and checks a sample of the frames
against the ffmpeg tool's decoding of the same file (mean difference in
levels of 255, and whether each frame is the one at its index).

Ray's ``read_videos`` decodes every frame of a file in order and has no
seeking: its clips are the frames of the whole stream filtered down to the
clips' indices.  It needs decord; without it only this library's rows are
measured.  Needs ``pip install 'quorvex_av[bench-ray]'`` (``make bench-ray``).
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np

HERE = Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"
NUM_CLIPS, FRAMES_PER_CLIP, PROBE_EVERY = 8, 16, 23
# Levels of 255 by which a frame may differ from the tool's on average (the
# same conversion library; the exact flags may differ).
TOLERANCE = 1.0


def _cluster_module() -> Any:
    spec = importlib.util.spec_from_file_location("ray_cluster", EXAMPLES / "ray_cluster.py")
    assert spec is not None and spec.loader is not None
    module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_files(folder: Path, count: int, seconds: int, size: str) -> list[str]:
    """H.264 files, 30 fps, a key frame every 2 s, B-frames, noisy test
    pattern (so that decoding has real work), each with its own pattern."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for number in range(count):
        path = folder / f"video{number}_{size}_{seconds}s.mp4"
        if not path.exists():
            source = (f"testsrc2=size={size}:rate=30:duration={seconds},"
                      f"hue=h={number * 40},noise=alls=5:allf=t,format=yuv420p")
            subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", source,
                            "-c:v", "libx264", "-preset", "fast", "-crf", "23", "-g", "60",
                            "-keyint_min", "60", "-sc_threshold", "0", "-bf", "2",
                            str(path.with_suffix(".part.mp4"))], check=True)
            path.with_suffix(".part.mp4").rename(path)
        paths.append(str(path))
    return paths


def tool_frames(path: str, picks: set[int]) -> dict[int, np.ndarray]:
    """The ffmpeg tool's RGB frames at ``picks`` (frame indices)."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", path],
                           capture_output=True, text=True, check=True)
    width, height = map(int, probe.stdout.strip().split(","))
    tool = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0",
                             "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24",
                             "pipe:1"], stdout=subprocess.PIPE)
    assert tool.stdout is not None
    size, frames, index = width * height * 3, {}, 0
    while chunk := tool.stdout.read(size):
        if index in picks:
            frames[index] = np.frombuffer(chunk, np.uint8).reshape(height, width, 3)
        index += 1
    tool.wait()
    return frames


class StoreWatch:
    """Peak object-store use and bytes spilled, from the cluster's memory
    summary, sampled on a thread while a read runs."""

    _USED = re.compile(r"Plasma memory usage (\d+) MiB")
    _SPILLED = re.compile(r"Spilled (\d+) MiB")

    def __init__(self) -> None:
        self.peak_mib = 0
        self.spilled_mib = 0  # during the read: the summary counts from the cluster's start
        self._spilled_before: int | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _sample(self) -> None:
        from ray._private.internal_api import memory_summary

        text = memory_summary(stats_only=True)
        self.peak_mib = max([self.peak_mib, *map(int, self._USED.findall(text))])
        spilled = max([0, *map(int, self._SPILLED.findall(text))])
        if self._spilled_before is None:
            self._spilled_before = spilled
        self.spilled_mib = spilled - self._spilled_before

    def _watch(self) -> None:
        while not self._stop.wait(0.2):
            self._sample()

    def __enter__(self) -> StoreWatch:
        self._sample()
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stop.set()
        self._thread.join()
        self._sample()


def consume(dataset: Any, columns: tuple[str, str, str],
            probes: dict[str, set[int]]) -> dict[str, Any]:
    """Frames per second to this process, the store's peak and spill, and
    the frames at ``probes`` kept for the comparison.  A row holds a frame,
    or a clip of frames with their indices."""
    frame_key, index_key, path_key = columns
    kept: dict[tuple[str, int], np.ndarray] = {}
    frames = 0
    with StoreWatch() as store:
        start = time.perf_counter()
        for batch in dataset.iter_batches(batch_size=32, batch_format="numpy"):
            pictures, indices = batch[frame_key], batch[index_key]
            frames += indices.size
            for row, path in enumerate(batch[path_key]):
                wanted = probes.get(path, set())
                for place, index in enumerate(np.atleast_1d(indices[row]).tolist()):
                    if index in wanted:
                        kept[(path, index)] = np.array(
                            pictures[row] if indices.ndim == 1 else pictures[row][place])
        seconds = time.perf_counter() - start
    return {"frames": frames, "seconds": seconds, "fps": frames / seconds,
            "peak_mib": store.peak_mib, "spilled_mib": store.spilled_mib, "kept": kept}


def exactness(kept: dict[tuple[str, int], np.ndarray], reference: dict[str, dict[int, np.ndarray]],
              wanted: int) -> str:
    """"n/m frames within TOLERANCE (worst mean difference d)"."""
    if not kept:
        return "no frames"
    worst, good = 0.0, 0
    for (path, index), frame in kept.items():
        want = reference[path][index]
        diff = (float(np.abs(frame.astype(np.int16) - want).mean())
                if frame.shape == want.shape else float("inf"))
        worst, good = max(worst, diff), good + (diff <= TOLERANCE)
    return f"{good}/{wanted} within {TOLERANCE:g} (worst {worst:.2f})"


def clip_indices(paths: list[str]) -> dict[str, np.ndarray]:
    """The clips' frame indices of every file, as read_clips draws them (in
    this process, on pictures of 2x2)."""
    from quorvex_av.ray import read_clips_locally
    from quorvex_av.samplers import clips_at_random_indices

    rows = read_clips_locally(paths, clips_at_random_indices, num_clips=NUM_CLIPS,
                              frames_per_clip=FRAMES_PER_CLIP, seed=0,
                              reader_options=dict(resize=(2, 2)))
    indices = rows.column("indices").combine_chunks().to_numpy_ndarray()
    positions = rows.column("position").to_numpy()
    return {path: indices[positions == position] for position, path in enumerate(paths)}


def run(paths: list[str], have_decord: bool, repeat: int) -> list[dict[str, Any]]:
    import ray

    from quorvex_av import VideoReader
    from quorvex_av import ray as quorvex_ray
    from quorvex_av.samplers import clips_at_random_indices

    counts = {}
    for path in paths:
        with VideoReader(path) as reader:
            counts[path] = len(reader)
    stream_probes = {path: set(range(0, count, PROBE_EVERY)) for path, count in counts.items()}
    clips = clip_indices(paths)
    clip_probes = {path: set(indices[:, ::5].ravel().tolist()) for path, indices in clips.items()}
    reference = {path: tool_frames(path, stream_probes[path] | clip_probes[path]) for path in paths}

    def ours_stream() -> Any:
        return quorvex_ray.read_frames(paths)

    def ours_clips() -> Any:
        return quorvex_ray.read_clips(paths, clips_at_random_indices, num_clips=NUM_CLIPS,
                                      frames_per_clip=FRAMES_PER_CLIP, seed=0)

    def theirs_stream() -> Any:
        return ray.data.read_videos(paths, include_paths=True)

    def theirs_clips() -> Any:
        wanted = {path: np.unique(indices) for path, indices in clips.items()}

        def pick(batch: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
            keep = np.array([index in wanted[path] for path, index
                             in zip(batch["path"], batch["frame_index"].tolist())], dtype=bool)
            return {name: values[keep] for name, values in batch.items()}

        return theirs_stream().map_batches(pick, batch_format="numpy")

    reads: list[tuple[str, str, Callable[[], Any], tuple[str, str, str], dict[str, set[int]]]] = [
        ("full stream", "quorvex_av.ray.read_frames", ours_stream, ("frame", "index", "path"),
         stream_probes),
        ("8 clips x 16 frames", "quorvex_av.ray.read_clips", ours_clips,
         ("frames", "indices", "path"), clip_probes),
    ]
    if have_decord:
        reads += [
            ("full stream", "ray.data.read_videos", theirs_stream,
             ("frame", "frame_index", "path"), stream_probes),
            ("8 clips x 16 frames", "ray.data.read_videos + filter", theirs_clips,
             ("frame", "frame_index", "path"), clip_probes),
        ]
    results = []
    for task, reader, make, columns, probes in reads:
        # The fastest of the repeats (the machine is shared); the largest
        # store use and spill of any.
        runs = [consume(make(), columns, probes) for _ in range(repeat)]
        result = min(runs, key=lambda run: run["seconds"])
        result["peak_mib"] = max(run["peak_mib"] for run in runs)
        result["spilled_mib"] = max(run["spilled_mib"] for run in runs)
        wanted = sum(len(picks) for picks in probes.values())
        result.update(task=task, reader=reader,
                      exact=exactness(result.pop("kept"), reference, wanted))
        print(f"{task:22s} {reader:32s} {result['frames']:6d} frames {result['seconds']:6.1f} s "
              f"{result['fps']:8.1f} fps "
              f"peak {result['peak_mib']} MiB, spilled {result['spilled_mib']} MiB; "
              f"{result['exact']}", flush=True)
        results.append(result)
    return results


def report(results: list[dict[str, Any]], setting: str, note: str) -> str:
    lines = [f"Ray Data on a two-node local cluster: {setting}.", "",
             "| read | reader | frames | seconds | frames/s to the consumer | peak object store "
             "| spilled | frames like the ffmpeg tool's |",
             "| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |"]
    for r in results:
        lines.append(f"| {r['task']} | `{r['reader']}` | {r['frames']} | {r['seconds']:.1f} | "
                     f"{r['fps']:.1f} | "
                     f"{r['peak_mib']} MiB | {r['spilled_mib']} MiB | {r['exact']} |")
    if note:
        lines += ["", note]
    return "\n".join(lines) + "\n"


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    options.add_argument("--files", type=int, default=4)
    options.add_argument("--seconds", type=int, default=60)
    options.add_argument("--size", default="640x360")
    options.add_argument("--repeat", type=int, default=2)
    options.add_argument("--media", type=Path, default=HERE / ".media" / "ray")
    options.add_argument("--out", type=Path, default=HERE.parent / "build" / "ray_bench.md")
    args = options.parse_args()

    have_decord = importlib.util.find_spec("decord") is not None
    note = ("Clips: this library delivers 8 x 16 frames per file (a frame that two clips share "
            "comes twice); read_videos decodes every frame and the filter keeps each frame of a "
            "clip once.")
    if not have_decord:
        note += " decord is not installed: Ray's read_videos was not measured."
    paths = make_files(args.media, args.files, args.seconds, args.size)
    local = _cluster_module()
    import ray

    with local.LocalCluster(object_store_mb=200) as cluster:
        local.connect(cluster)
        ray.data.DataContext.get_current().enable_progress_bars = False
        try:
            results = run(paths, have_decord, args.repeat)
        finally:
            ray.shutdown()
    setting = (f"{args.files} H.264 files of {args.size}, 30 fps, {args.seconds} s, GOP 60 with "
               f"B-frames; 1 CPU and 200 MB of object store per node; best of {args.repeat}")
    text = report(results, setting, note)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()

"""Benchmark suite: quorvex_av against PyAV, OpenCV, torchcodec and the ffmpeg tool.

Usage (from the repository root, with the package installed in .venv-bench,
as ``make bench`` does):

    .venv-bench/bin/python bench/run.py [--rows seq,seq_keep,...] [--repeat N]
                                  [--out DIR] [--tiny]
    make bench

Run it as a script, as above, not with ``python -m`` or from a ``-c``
string: those put the repository root on ``sys.path``, where the source tree's
``quorvex_av`` (without the compiled extension) hides the installed package.

Rows (``--rows``, comma-separated; default all): seq, seq_threads, seq_keep, random_16,
times_32 (these two also with the reader on two decoders, ``workers=2``), resize_224,
batches_workers (seq and resize_224 through ``batches()`` with ``workers=2``), audio_16k, audio_range, parallel, memory, clips_8x16, av_clips_8x16, loader_8 (these
three in training.py), frame_mid_hour, clips_8x16_hour (these two on an hour
of video, in long_video.py, cached under build/bench), seq_threads_auto,
clips_8x16_auto, loader_8_auto, dataloader_2 (auto threads and workers against
settings picked by hand, on the work of those rows and in a DataLoader, in
budget.py).  Inputs are made with the ffmpeg tool on first use
and cached in bench/.media/.  Each row reports the median of ``--repeat``
timed runs (default 3) after one untimed run, checks that the libraries
returned the same frames or samples, and compares the times with the fastest
peer and with the limit set by the ffmpeg tool.  The Markdown table, the
targets met or missed, and the chart go to DIR/benchmarks.md and
DIR/benchmarks.png (default: docs/); the table and the targets are also
printed.  PyAV, OpenCV, torchcodec or the tool are skipped,
with a note, when they are not installed or do not import.  ``--tiny`` uses
small, short inputs to check that the suite works; its numbers mean nothing,
and by default it leaves out the rows that only repeat calls other rows make
(``TINY_SKIPS``).

PyAV and OpenCV come with the ``bench`` extra.  torchcodec does not: it needs
the CUDA build of torch and NVIDIA's runtime compiler even to decode on the
CPU (about 5.5 GB), so ``make bench`` first runs scripts/bench_peers.sh, which
tries to install it into .venv-bench and carries on without it when that fails
(``BENCH_TORCHCODEC=0`` skips the attempt).  ``make setup`` and ``make test``
never install it.
"""

from __future__ import annotations

import os

# NumPy's linear-algebra library otherwise starts helper threads that spin
# after each use (the output checks use it) and take a core from the timed
# runs on a small machine.  Set before NumPy is first imported.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse
import sys
import time
from pathlib import Path

import budget
import clips
import lib_opencv
import lib_ours
import lib_pyav
import lib_tool
import lib_torchcodec
import long_video
import report
import training
from rows import ROWS, Suite

ROOT = Path(__file__).resolve().parent.parent

ROW_CLIPS = {
    "seq": ["h264_1080p", "vp9_1080p"], "seq_threads": ["h264_1080p"], "seq_keep": ["h264_1080p"],
    "random_16": ["h264_720p"],
    "times_32": ["h264_720p"], "resize_224": ["h264_1080p"], "audio_16k": ["aac", "mp3"],
    "parallel": ["h264_1080p"], "memory": ["h264_1080p"], "audio_range": ["aac_hour", "mp3_hour"],
    "batches_workers": ["h264_1080p"],
}
# Rows defined beside the others: training.py (samplers and the clip loader).
ROWS.update(training.ROWS)
ROW_CLIPS.update(training.ROW_CLIPS)
# Auto threads and workers against settings picked by hand: budget.py.
ROWS.update(budget.ROWS)
ROW_CLIPS.update(budget.ROW_CLIPS)
# One hour of video made from the 60 s clip: long_video.py.
ROWS.update(long_video.ROWS)
ROW_CLIPS.update(long_video.ROW_CLIPS)
# Rows that make only calls other rows make too (seq with other threads or on
# two threads at once, seq_keep in a process of its own, the reader on a
# saved index): --tiny, which checks that every library's code path runs,
# leaves them out unless --rows names them.
TINY_SKIPS = {"seq_threads", "parallel", "memory", "frames_256_hour", *budget.ROWS}


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", help=f"comma-separated rows to run (default: all of {','.join(ROWS)}; "
                                       f"with --tiny, all but {','.join(sorted(TINY_SKIPS))})")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per measurement (median)")
    parser.add_argument("--warmup", type=int, default=1, help="untimed runs first")
    parser.add_argument("--out", type=Path, default=ROOT / "docs",
                        help="directory for benchmarks.md and benchmarks.png")
    parser.add_argument("--media", type=Path, default=clips.DEFAULT_DIR, help="cache of generated inputs")
    parser.add_argument("--tiny", action="store_true", help="small inputs, to check that the suite runs")
    args = parser.parse_args(argv)
    if args.rows is None:
        args.rows = ",".join(row for row in ROWS if not (args.tiny and row in TINY_SKIPS))
    args.rows = [row.strip() for row in args.rows.split(",") if row.strip()]
    unknown = [row for row in args.rows if row not in ROWS]
    if unknown:
        parser.error(f"unknown rows: {', '.join(unknown)} (known: {', '.join(ROWS)})")
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    return args


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parse(argv)
    load_at_start = report.load_average()
    if not args.tiny:  # a second to see whether other processes would make the times noisy
        with report.OtherLoad() as before:
            time.sleep(1)
        if before.cores >= 0.2:
            print(f"warning: other processes are using {before.cores:.1f} cores; times will be noisy",
                  flush=True)
    lib_ours.load()
    peers = (lib_pyav, lib_opencv, lib_torchcodec)
    libraries = {module.NAME: module for module in (lib_ours, *peers) if module.available()}
    tool = lib_tool if lib_tool.available() else None
    for module in (*peers, lib_tool):
        if not module.available():
            reason = getattr(module, "REASON", "")
            print(f"{module.NAME} is not available{f' ({reason})' if reason else ''}: skipped", flush=True)
    suite = Suite(repeat=args.repeat, warmup=args.warmup, tiny=args.tiny, media=args.media,
                  libraries=libraries, tool=tool)
    catalogue = clips.catalogue(args.tiny)
    used = sorted({key for row in args.rows for key in ROW_CLIPS[row]})
    for key in used:
        suite.path(key)

    results = []
    for row in args.rows:
        start = time.perf_counter()
        print(f"{row} ...", end=" ", flush=True)
        with report.OtherLoad() as other:
            row_results = ROWS[row](suite)
        for result in row_results:
            result.extra["other_cores"] = other.cores
        results.extend(row_results)
        busy = f", other processes busy {other.cores:.2f} cores" if other.cores >= 0.1 else ""
        print(f"{time.perf_counter() - start:.0f} s{busy}", flush=True)

    env = report.environment(libraries, tool, load_at_start)
    markdown, targets = report.write(results, env, argv, args.out,
                                     [(key, catalogue[key].label) for key in used])
    print()
    for line in env:
        print(line)
    print()
    report.print_summary(results, targets)
    print(f"\nwritten: {markdown} and {markdown.with_suffix('.png').name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The page of scripts/bench_ft.sh: ``python free_threaded_report.py
GIL.jsonl FT.jsonl LOAD_BEFORE LOAD_AFTER``, each file one line of
bench/free_threaded.py's output per round. Prints Markdown: seconds (median over rounds), how two threads or
two processes scale on each build, and the free-threaded build's cost on one
thread against the build with the lock."""

from __future__ import annotations

import json
import os
import statistics
import sys
import time


def medians(path: str) -> tuple[dict[str, float], dict[str, object]]:
    with open(path, encoding="utf-8") as file:
        runs = [json.loads(line) for line in file if line.strip()]
    if not runs:
        raise SystemExit(f"{path}: no run")
    names = runs[0]["seconds"].keys()
    seconds = {name: statistics.median(run["seconds"][name] for run in runs) for name in names}
    # A speed-up is taken within each run, whose passes follow each other
    # closely, and its median over the runs given: a machine whose speed
    # drifts between runs moves both of a run's times alike.
    for name, (one, many, factor) in SPEED_UPS.items():
        seconds[name] = statistics.median(factor * run["seconds"][one] / run["seconds"][many]
                                          for run in runs)
    facts = {"python": runs[0]["python"], "gil": runs[0]["gil"],
             "problems": sorted({problem for run in runs for problem in run["problems"]})}
    return seconds, facts


SPEED_UPS = {"decode_speed_up": ("decode_1", "decode_2", 2), "tool_speed_up": ("tool_1", "tool_2", 2),
             "loader_speed_up": ("loader_1", "loader_2", 1),
             "processes_speed_up": ("loader_1", "processes_2", 1)}

INTRO = """# Threads on a free-threaded CPython

Written by `make bench-ft` (scripts/bench_ft.sh, bench/free_threaded.py); each
run overwrites it. The same CPython release built twice from one source
package, with its interpreter lock and free-threaded, each with this package
built for it, runs the same work in alternating rounds (medians over the
rounds; a speed-up is the median of each round's own):
one decoder reading 120 frames of the 1080p H.264 clip, and two
such decoders on two threads; a `ClipLoader` pass over the eight files of
`loader_8` (4 clips of 16 frames each) whose sampler adds a per-clip
transform in NumPy (half size, to float, normalised, mirrored: about the
cost of decoding the clips), on one thread, on two threads, and the files
split over two processes of one thread each (started for the pass, as a
DataLoader's workers are for an epoch). The ffmpeg tool decoding the same
frames once and twice at once, on one thread each, shows what two cores of
this machine give two jobs that share nothing: the ceiling of every speed-up.

Both builds decode without the interpreter lock, and NumPy's array
operations drop it too: what the free-threaded build can add is only the
Python between those calls.
"""


def main() -> None:
    (gil, gil_facts), (ft, ft_facts) = medians(sys.argv[1]), medians(sys.argv[2])
    print(INTRO)
    print(f"Generated {time.strftime('%Y-%m-%d %H:%M')}; load average before "
          f"{sys.argv[3]}, after {sys.argv[4]} (1/5/15 min), {os.cpu_count()} cores.\n")
    kept = os.environ.get("MALLOC_MMAP_MAX_") == "0"
    print("glibc's malloc " + ("kept freed memory in the process (MALLOC_MMAP_MAX_=0; see "
                               "scripts/bench_ft.sh)" if kept else "ran with its defaults") + ".\n")
    print(f"CPython {gil_facts['python']} with its lock (lock on: {gil_facts['gil']}) against "
          f"its free-threaded build (lock on: {ft_facts['gil']})\n")
    print("| row | with the lock | free-threaded | free-threaded / with the lock |")
    print("|---|---|---|---|")

    def line(name: str, a: float, b: float, unit: str) -> None:
        print(f"| {name} | {a:.3f} {unit} | {b:.3f} {unit} | {b / a:.2f} |")
    line("one decoder, one thread", gil["decode_1"], ft["decode_1"], "s")
    line("parallel: 2 decoders on 2 threads, throughput vs one",
         gil["decode_speed_up"], ft["decode_speed_up"], "x")
    line("ffmpeg tool: 2 processes at once, throughput vs one (the ceiling)",
         gil["tool_speed_up"], ft["tool_speed_up"], "x")
    line("loader_8 + transform, 1 thread", gil["loader_1"], ft["loader_1"], "s")
    line("loader_8 + transform, 2 threads", gil["loader_2"], ft["loader_2"], "s")
    line("loader_8 + transform, 2 threads: speed-up", gil["loader_speed_up"],
         ft["loader_speed_up"], "x")
    line("loader_8 + transform, 2 processes", gil["processes_2"], ft["processes_2"], "s")
    line("loader_8 + transform, 2 processes: speed-up", gil["processes_speed_up"],
         ft["processes_speed_up"], "x")
    problems = gil_facts["problems"] + ft_facts["problems"]  # type: ignore[operator]
    print("\nchecks: " + ("; ".join(problems) if problems else
                          "ok (threads and processes gave the items of one thread)"))


if __name__ == "__main__":
    main()

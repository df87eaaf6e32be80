"""The rows of the benchmark table: what each measures and how the
libraries' results are checked against each other.

Each row function takes the ``Suite`` (options, inputs, libraries) and
returns a ``Result``.  Times are medians over the repeats; the libraries take
turns within each repeat so that a slow phase of the machine does not fall on
one library only.  This library's output is the reference the others are
compared with, and it is itself checked against the frame timestamps that the
untimed scan predicts.
"""

from __future__ import annotations

import json
import random
import subprocess
import sys
import threading
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import clips
import lib_ours
import lib_opencv
import lib_pyav
import lib_tool
import lib_torchcodec
from common import (FULL_SIZE_TOLERANCE, RESIZED_TOLERANCE, TIME_TOLERANCE, Clock, Job, Output,
                    compare_audio, compare_video, median, pair_with_keys, probe_positions)

OURS, PYAV, OPENCV, TOOL = lib_ours.NAME, lib_pyav.NAME, lib_opencv.NAME, lib_tool.NAME
TORCHCODEC = lib_torchcodec.NAME
PEERS = (PYAV, OPENCV, TORCHCODEC)
HERE = Path(__file__).resolve().parent


@dataclass
class Result:
    row: str
    input: str
    unit: str                                   # "s" (lower is better), "x" or "MB"
    cells: dict[str, float] = field(default_factory=dict)
    errors: dict[str, str] = field(default_factory=dict)
    limit: float | None = None                  # the best that can be expected, same unit
    check: str = ""                             # "" when every library agrees
    extra: dict = field(default_factory=dict)

    def fastest_peer(self) -> tuple[str, float] | None:
        peers = [(self.cells[name], name) for name in PEERS if name in self.cells]
        if not peers:
            return None
        value, name = (max if self.unit == "x" else min)(peers)
        return name, value


@dataclass
class Suite:
    repeat: int
    warmup: int
    tiny: bool
    media: Path
    libraries: dict = field(default_factory=dict)   # name -> adapter module, ours first
    tool: object | None = None
    _paths: dict = field(default_factory=dict)
    _startup: dict = field(default_factory=dict)

    def path(self, key: str) -> Path:
        if key not in self._paths:
            self._paths[key] = clips.ensure(clips.catalogue(self.tiny)[key], self.media)
        return self._paths[key]

    def label(self, key: str) -> str:
        return clips.catalogue(self.tiny)[key].label

    # -- preparing jobs ---------------------------------------------------------------

    def video_job(self, key: str, **extra) -> Job:
        """Frame facts from this library's scan, worked out before any timing."""
        decoder = lib_ours.load().Decoder(str(self.path(key)), "video")
        meta = decoder.metadata()
        scan = decoder.scan()
        decoder.close()
        pts, keys = pair_with_keys(scan)
        job = Job(path=self.path(key), pts=pts, keys=keys,
                  time_base=meta["time_base_num"] / meta["time_base_den"],
                  width=meta["width"], height=meta["height"], **extra)
        job.end = (scan[-1][0] + scan[-1][1]) * job.time_base
        return job

    # -- measuring ----------------------------------------------------------------------

    def measure(self, job: Job, task: str, names=None) -> tuple[dict, dict, dict]:
        """Median seconds, last output and errors of each library doing ``task``."""
        runners = {name: getattr(module, task) for name, module in self.libraries.items()
                   if (names is None or name in names) and hasattr(module, task)}
        seconds: dict[str, list[float]] = {name: [] for name in runners}
        outputs, errors = {}, {}
        for round_ in range(self.warmup + self.repeat):
            for name, run in runners.items():
                if name in errors:
                    continue
                try:
                    result = run(job)
                except Exception as error:  # reported in the table, not hidden
                    errors[name] = f"{type(error).__name__}: {error}"
                    continue
                if round_ >= self.warmup:
                    seconds[name].append(result.seconds)
                outputs[name] = result.output
                del result
        cells = {name: median(values) for name, values in seconds.items() if values and name not in errors}
        return cells, outputs, errors

    def startup(self, kind: str) -> float:
        if kind not in self._startup:
            run = getattr(self.tool, f"startup_{kind}")
            run()
            self._startup[kind] = median(run().seconds for _ in range(max(self.repeat, 3)))
        return self._startup[kind]

    def tool_net(self, job: Job, task: str, kind: str = "video") -> tuple[float | None, Output | None, str]:
        """The tool's median seconds net of its start-up, and its last output."""
        if self.tool is None:
            return None, None, ""
        run = getattr(self.tool, task)
        try:
            for _ in range(self.warmup):
                run(job)
            runs = [run(job) for _ in range(self.repeat)]
        except Exception as error:
            return None, None, f"{type(error).__name__}: {error}"
        return max(median(r.seconds for r in runs) - self.startup(kind), 1e-6), runs[-1].output, ""


# -- checking ------------------------------------------------------------------------


def check_video(outputs: dict, tolerance: float, expected_times=None, tool_output=None,
                exact_counts=False) -> str:
    problems = []
    reference = outputs.get(OURS)
    if reference is not None and expected_times is not None:
        off = sum(abs(a - b) > TIME_TOLERANCE for a, b in zip(reference.times, expected_times))
        if len(reference.times) != len(expected_times) or off:
            problems.append(f"{OURS}: {off} of {len(expected_times)} frames are not the ones asked for")
    if reference is None and outputs:
        reference = next(iter(outputs.values()))
    notes = []
    for name, output in outputs.items():
        if output is reference:
            continue
        problem, _ = compare_video(reference, output, tolerance)
        if problem:
            problems.append(f"{name}: {problem}")
        elif exact_counts:
            notes.append(f"{name} {len(output.times)}/{len(output.times)} exact")
    if tool_output is not None and reference is not None:
        problem, _ = compare_video(reference, tool_output, tolerance)
        if problem:
            problems.append(f"{TOOL}: {problem}")
    if problems:
        return "MISMATCH " + "; ".join(problems)
    return "ok" + (f" ({', '.join(notes)})" if notes else "")


def with_errors(result: Result, errors: dict) -> Result:
    result.errors.update(errors)
    return result


# -- rows ------------------------------------------------------------------------------


def row_seq(suite: Suite, key: str, threads: int = 1) -> Result:
    job = suite.video_job(key)
    job.threads = threads
    job.probes = probe_positions(job.frame_count)
    cells, outputs, errors = suite.measure(job, "seq")
    limit, tool_output, tool_error = suite.tool_net(job, "seq")
    if tool_error:
        errors[TOOL] = tool_error
    expected = [p * job.time_base for p in job.pts]
    check = check_video(outputs, FULL_SIZE_TOLERANCE, expected, tool_output)
    return Result("seq" if threads == 1 else "seq_threads", suite.label(key), "s", cells, errors, limit,
                  check, {"frames": job.frame_count})


def numpy_fill_seconds(nbytes: int, repeat: int) -> float:
    """Allocating and filling ``nbytes`` of fresh memory (first touch included)."""
    def once():
        with Clock() as clock:
            block = np.empty(nbytes, np.uint8)
            block.fill(1)
        del block
        return clock.seconds
    once()
    return median(once() for _ in range(repeat))


def row_seq_keep(suite: Suite, key: str) -> Result:
    job = suite.video_job(key)
    job.probes = probe_positions(job.frame_count)
    cells, outputs, errors = suite.measure(job, "seq_keep")
    decode, tool_output, tool_error = suite.tool_net(job, "seq")
    if tool_error:
        errors[TOOL] = tool_error
    nbytes = job.frame_count * job.height * job.width * 3
    fill = numpy_fill_seconds(nbytes, suite.repeat)
    limit = None if decode is None else decode + fill
    expected = [p * job.time_base for p in job.pts]
    check = check_video(outputs, FULL_SIZE_TOLERANCE, expected, tool_output)
    return Result("seq_keep", suite.label(key), "s", cells, errors, limit, check,
                  {"frames": job.frame_count, "bytes": nbytes, "decode": decode, "fill": fill})


def row_random(suite: Suite, key: str, count: int = 16, seed: int = 20240601) -> Result:
    job = suite.video_job(key)
    job.indices = sorted(random.Random(seed).sample(range(job.frame_count), min(count, job.frame_count)))
    cells, outputs, errors = suite.measure(job, "random_frames")
    expected = [job.pts[i] * job.time_base for i in job.indices]
    check = check_video(outputs, FULL_SIZE_TOLERANCE, expected, exact_counts=True)
    return [Result(f"random_{count}", suite.label(key), "s", cells, errors, None, check,
                   {"frames": len(job.indices)}),
            with_workers(suite, job, f"random_{count}", "random_frames_reader", cells, outputs, expected)]


def with_workers(suite: Suite, job: Job, row: str, task: str, cells: dict, outputs: dict,
                 expected, workers: int = 2) -> Result:
    """The row again with this library's reader on ``workers`` decoders (and
    on one, for the ratio), beside the peers' times just measured; its
    output must be the one decoder's, frame for frame."""
    job.workers = 1
    one, one_outputs, one_errors = suite.measure(job, task, names=[OURS])
    job.workers = workers
    many, many_outputs, errors = suite.measure(job, task, names=[OURS])
    job.workers = 1
    peers = {name: value for name, value in cells.items() if name != OURS}
    mine = {OURS: many[OURS]} if OURS in many else {}
    check = check_video({**{n: o for n, o in outputs.items() if n != OURS}, **many_outputs},
                        FULL_SIZE_TOLERANCE, expected)
    if OURS in many_outputs and OURS in one_outputs:
        problem, _ = compare_video(one_outputs[OURS], many_outputs[OURS], 1e-9)
        if problem:
            check = f"MISMATCH workers={workers} against one decoder: {problem}; {check}"
    ratio = one.get(OURS, 0) / many[OURS] if many.get(OURS) else None
    return Result(f"{row} workers={workers}", suite.label(key_of(suite, job)), "s", {**peers, **mine},
                  {**one_errors, **errors}, None, check,
                  {"one_decoder": one.get(OURS), "speedup": ratio})


def key_of(suite: Suite, job: Job) -> str:
    return next(key for key, path in suite._paths.items() if path == job.path)


def row_times(suite: Suite, key: str, count: int = 32) -> Result:
    job = suite.video_job(key)
    start = job.pts[0] * job.time_base
    span = job.end - start
    # Half-way between evenly spaced marks, so no time falls on a frame boundary.
    job.seconds = [start + (i + 0.5) * span / count for i in range(count)]
    cells, outputs, errors = suite.measure(job, "times_at")
    expected = [job.pts[job.shown_at(second)] * job.time_base for second in job.seconds]
    check = check_video(outputs, FULL_SIZE_TOLERANCE, expected, exact_counts=True)
    starts = [p * job.time_base for p in job.pts]
    nearest = [min(starts, key=lambda start: abs(start - second)) for second in job.seconds]
    for name, output in outputs.items():
        wrong = sum(abs(a - b) > TIME_TOLERANCE for a, b in zip(output.times, expected))
        if wrong and len(output.times) == len(nearest) and all(
                abs(a - b) <= TIME_TOLERANCE for a, b in zip(output.times, nearest)):
            check += f" ({name} returns the frame nearest each time, not the one shown)"
    return [Result(f"times_{count}", suite.label(key), "s", cells, errors, None, check,
                   {"frames": count}),
            with_workers(suite, job, f"times_{count}", "times_at_reader", cells, outputs, expected)]


def row_resize(suite: Suite, key: str, side: int = 224) -> Result:
    job = suite.video_job(key, size=(side, side))
    job.probes = probe_positions(job.frame_count)
    cells, outputs, errors = suite.measure(job, "resize")
    limit, tool_output, tool_error = suite.tool_net(job, "resize")
    if tool_error:
        errors[TOOL] = tool_error
    expected = [p * job.time_base for p in job.pts]
    check = check_video(outputs, RESIZED_TOLERANCE, expected, tool_output)
    return Result(f"resize_{side}", suite.label(key), "s", cells, errors, limit, check,
                  {"frames": job.frame_count})


def row_batches(suite: Suite, key: str, resize: bool, workers: int = 2) -> Result:
    """The whole stream through this library's ``batches()`` on ``workers``
    decoders of one thread each, against the peers with their automatic
    threads."""
    job = suite.video_job(key, size=(224, 224)) if resize else suite.video_job(key)
    job.probes = probe_positions(job.frame_count)
    job.threads = 0
    task = "resize" if resize else "seq"
    cells, outputs, errors = suite.measure(job, task, names=PEERS)
    job.threads, job.workers = 1, workers
    mine, mine_outputs, mine_errors = suite.measure(job, f"{task}_batches", names=[OURS])
    expected = [p * job.time_base for p in job.pts]
    check = check_video({**outputs, **mine_outputs}, RESIZED_TOLERANCE if resize else FULL_SIZE_TOLERANCE,
                        expected)
    row = ("resize_224" if resize else "seq") + f" batches workers={workers}"
    return Result(row, suite.label(key), "s", {**cells, **mine}, {**errors, **mine_errors}, None, check,
                  {"frames": job.frame_count, "peer_threads": "automatic"})


def row_audio(suite: Suite, key: str) -> Result:
    job = Job(path=suite.path(key))
    cells, outputs, errors = suite.measure(job, "audio")
    limit, tool_output, tool_error = suite.tool_net(job, "audio", "audio")
    if tool_error:
        errors[TOOL] = tool_error
    if tool_output is not None:
        outputs[TOOL] = tool_output
    problems = []
    reference = outputs.get(OURS) or next(iter(outputs.values()), None)
    for name, output in outputs.items():
        if output is reference:
            continue
        problem, _ = compare_audio(reference, output)
        if problem:
            problems.append(f"{name}: {problem}")
    check = "MISMATCH " + "; ".join(problems) if problems else "ok"
    samples = 0 if reference is None else len(reference.samples)
    return Result("audio_16k", suite.label(key), "s", cells, errors, limit, check,
                  {"samples": samples})


def _audio_check(outputs: dict) -> str:
    reference = outputs.get(OURS)
    problems = [f"{name}: {problem}" for name, output in outputs.items() if output is not reference
                for problem in [compare_audio(reference, output)[0]] if reference is not None and problem]
    return "MISMATCH " + "; ".join(problems) if problems else "ok"


def row_audio_range(suite: Suite, key: str) -> list[Result]:
    """A short read far into a long file (and, for scale, the same read near
    its start), to 16 kHz mono; then the peak memory of the far read."""
    far, near, length = (15.0, 1.0, 2.0) if suite.tiny else (3500.0, 10.0, 10.0)
    label = suite.label(key)
    job = Job(path=suite.path(key), seconds=[far, far + length])
    cells, outputs, errors = suite.measure(job, "audio_range")
    near_cells, _, near_errors = suite.measure(Job(path=job.path, seconds=[near, near + length]),
                                               "audio_range", names=[OURS])
    result_bytes = round(length * 16000) * 4
    done = subprocess.run([sys.executable, str(HERE / "memory.py"), "ours", str(job.path),
                           "audio_range", str(far), str(far + length)], capture_output=True, text=True)
    memory, memory_errors = {}, {}
    if done.returncode == 0:
        memory[OURS] = json.loads(done.stdout.strip().splitlines()[-1])["growth"] / 2**20
    else:
        memory_errors[OURS] = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"
    extra = {"near": near_cells.get(OURS), "far": far, "seconds": length, "bytes": result_bytes}
    return [Result("audio_range", label, "s", cells, errors, None, _audio_check(outputs), extra),
            Result(f"audio_range at {near:g} s", label, "s", near_cells, near_errors, None, "ok", extra),
            Result("audio_range memory", label, "MB", memory, memory_errors, result_bytes / 2**20, "ok",
                   extra)]


def _pair(task, job: Job) -> tuple[float, list]:
    """Two instances of ``task`` on two threads; wall seconds until both are done."""
    results: list = [None, None]

    def work(slot):
        try:
            results[slot] = task(job)
        except Exception as error:
            results[slot] = error

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(2)]
    with Clock() as clock:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    for result in results:
        if isinstance(result, Exception):
            raise result
    return clock.seconds, [result.output for result in results]


def row_parallel(suite: Suite, key: str) -> Result:
    """Throughput of two decoders on two threads relative to one:
    2 x (one decoder's time) / (time for both).  One decoder and the pair run
    back to back in every round, and the ratio is the median of the rounds'
    ratios, so that a machine getting faster or slower during the row does
    not bias it."""
    job = suite.video_job(key)
    job.probes = probe_positions(job.frame_count, 2)
    ratios: dict[str, list[float]] = {name: [] for name in suite.libraries}
    singles: dict[str, list[float]] = {name: [] for name in suite.libraries}
    pairs: dict[str, list[float]] = {name: [] for name in suite.libraries}
    outputs, errors, problems = {}, {}, {}
    for round_ in range(suite.warmup + suite.repeat):
        for name, module in suite.libraries.items():
            if name in errors:
                continue
            try:
                single = module.seq(job)
                seconds, pair_outputs = _pair(module.seq, job)
            except Exception as error:  # reported in the table, not hidden
                errors[name] = f"{type(error).__name__}: {error}"
                continue
            outputs[name] = single.output
            for output in pair_outputs:
                problem, _ = compare_video(single.output, output, FULL_SIZE_TOLERANCE)
                if problem:
                    problems.setdefault(name, f"{name} on two threads: {problem}")
            if round_ >= suite.warmup:
                singles[name].append(single.seconds)
                pairs[name].append(seconds)
                ratios[name].append(2 * single.seconds / seconds)
    cells = {name: median(values) for name, values in ratios.items() if values and name not in errors}
    extra = {"single": {n: median(v) for n, v in singles.items() if v},
             "pair": {n: median(v) for n, v in pairs.items() if v}}
    if suite.tool is not None:
        tool_ratios, tool_times = [], []
        for _ in range(suite.repeat):
            one, two = suite.tool.seq(job).seconds, suite.tool.seq_pair(job)
            tool_ratios.append(2 * one / two)
            tool_times.append((one, two))
        extra["tool"] = tuple(median(t[i] for t in tool_times) for i in range(2))
        limit = median(tool_ratios)
    else:
        limit = None
    check = check_video(outputs, FULL_SIZE_TOLERANCE, None, None)
    if problems:
        check = "MISMATCH " + "; ".join(problems.values())
    return Result("parallel", suite.label(key), "x", cells, errors, limit, check, extra)


def row_memory(suite: Suite, key: str) -> Result:
    """Peak memory growth of seq_keep, each library in a fresh process."""
    job = suite.video_job(key)
    nbytes = job.frame_count * job.height * job.width * 3
    cells, errors, problems = {}, {}, []
    children = {OURS: "ours", PYAV: "pyav", OPENCV: "opencv", TORCHCODEC: "torchcodec"}
    for name in suite.libraries:
        done = subprocess.run([sys.executable, str(HERE / "memory.py"), children[name], str(job.path)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            errors[name] = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"
            continue
        report = json.loads(done.stdout.strip().splitlines()[-1])
        cells[name] = report["growth"] / 2**20
        if report["frames"] != job.frame_count:
            problems.append(f"{name}: {report['frames']} frames instead of {job.frame_count}")
    check = "MISMATCH " + "; ".join(problems) if problems else "ok"
    return Result("seq_keep memory", suite.label(key), "MB", cells, errors, nbytes / 2**20, check,
                  {"bytes": nbytes})


ROWS = {
    "seq": lambda suite: [row_seq(suite, "h264_1080p"), row_seq(suite, "vp9_1080p")],
    "seq_threads": lambda suite: [row_seq(suite, "h264_1080p", threads=0)],
    "seq_keep": lambda suite: [row_seq_keep(suite, "h264_1080p")],
    "random_16": lambda suite: row_random(suite, "h264_720p"),
    "times_32": lambda suite: row_times(suite, "h264_720p"),
    "resize_224": lambda suite: [row_resize(suite, "h264_1080p")],
    "batches_workers": lambda suite: [row_batches(suite, "h264_1080p", False),
                                      row_batches(suite, "h264_1080p", True)],
    "audio_16k": lambda suite: [row_audio(suite, "aac"), row_audio(suite, "mp3")],
    "parallel": lambda suite: [row_parallel(suite, "h264_1080p")],
    "memory": lambda suite: [row_memory(suite, "h264_1080p")],
    "audio_range": lambda suite: [*row_audio_range(suite, "aac_hour"), *row_audio_range(suite, "mp3_hour")],
}

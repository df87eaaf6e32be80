"""Turning results into the Markdown page, the bar chart and the verdicts on
the targets this project sets itself."""

from __future__ import annotations

import datetime
import os
import platform
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from rows import OPENCV, OURS, PYAV, TORCHCODEC, Result

COLUMNS = (OURS, PYAV, OPENCV, TORCHCODEC)

LIMITS = {
    "seq": "the ffmpeg tool decoding only (`-f null`), net of start-up",
    "seq_threads": "the ffmpeg tool decoding only with automatic threads, net of start-up",
    "seq_keep": "the tool decoding only + NumPy allocating and filling the batch's bytes",
    "resize_224": "the tool decoding, scaling and converting to RGB in one pass",
    "audio_16k": "the tool converting to 16 kHz mono float32 into a pipe, net of start-up",
    "parallel": "two ffmpeg processes at once vs one",
    "audio_range memory": "the result's bytes (seconds x 16000 x 4)",
    "seq_keep memory": "the batch's bytes (frames x height x width x 3)",
    "loader_8 memory": "the guide's bound, (prefetch + 1) x the bytes of one file's clips",
    "clips_8x16_hour": "the same draws from the 60 s clip, scanned by the reader",
    "av_clips_8x16": "the same draws without sound",
}


# -- environment ---------------------------------------------------------------------


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def memory_total() -> str:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                return f"{int(line.split()[1]) / 2**20:.1f} GiB RAM"
    except OSError:
        pass
    return "unknown RAM"


def os_name() -> str:
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                return line.split("=", 1)[1].strip('"')
    except OSError:
        pass
    return platform.platform()


def load_average() -> str:
    try:
        return " / ".join(f"{value:.2f}" for value in os.getloadavg())
    except OSError:
        return "unknown"


class OtherLoad:
    """CPU time that other processes took while a block ran, in cores:
    (the whole machine's busy time - this process's and its children's) /
    wall time.  ``cores`` stays 0 where /proc/stat cannot be read."""

    cores = 0.0

    @staticmethod
    def _machine_busy() -> float | None:
        try:
            with open("/proc/stat") as stat:
                fields = [int(value) for value in stat.readline().split()[1:]]
        except (OSError, ValueError):
            return None
        # user nice system idle iowait irq softirq steal ...
        busy = sum(fields[:3]) + sum(fields[5:8])
        return busy / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _own() -> float:
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    def __enter__(self):
        self.wall, self.machine, self.own = time.monotonic(), self._machine_busy(), self._own()
        return self

    def __exit__(self, *exc):
        machine = self._machine_busy()
        wall = time.monotonic() - self.wall
        if machine is not None and self.machine is not None and wall > 0:
            other = (machine - self.machine) - (self._own() - self.own)
            self.cores = max(other / wall, 0.0)
        return False


def environment(libraries: dict, tool, load_at_start: str) -> list[str]:
    lines = [
        f"Machine: {cpu_model()}, {os.cpu_count()} cores, {memory_total()}, {os_name()}; "
        f"load average at start {load_at_start} (1/5/15 min)",
        f"Python {platform.python_version()}, NumPy {np.__version__}",
    ]
    for module in (*libraries.values(), tool):
        if module is not None:
            lines.append(module.versions())
    return lines


# -- numbers -------------------------------------------------------------------------


def fmt(value: float | None, unit: str) -> str:
    if value is None:
        return "-"
    if unit == "x":
        return f"{value:.2f}x"
    if unit == "MB":
        return f"{value:,.0f} MB"
    return f"{value:.3f} s" if value < 10 else f"{value:.1f} s"


def ratio(a: float | None, b: float | None) -> float | None:
    if a is None or b is None or b <= 0:
        return None
    return a / b


def cell(result: Result, name: str) -> str:
    if name in result.errors:
        return "error"
    if name in result.cells:
        return fmt(result.cells[name], result.unit)
    return "-"


def ratio_text(value: float | None, suffix: str = "") -> str:
    return "-" if value is None else f"{value:.2f}x{suffix}"


def table(results: list[Result]) -> str:
    head = ["Row", "Input", *COLUMNS, "Limit", f"{OURS} / fastest peer", f"{OURS} / limit", "Same output"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for result in results:
        ours = result.cells.get(OURS)
        peer = result.fastest_peer()
        versus_peer = "-"
        if peer is not None and result.unit != "MB":
            versus_peer = ratio_text(ratio(ours, peer[1]), f" ({peer[0]})")
        versus_limit = ratio_text(ratio(ours, result.limit))
        row = [f"`{result.row}`", result.input, *(cell(result, name) for name in COLUMNS),
               fmt(result.limit, result.unit), versus_peer, versus_limit, result.check]
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def other_load(results: list[Result]) -> str:
    busy = [f"`{r.row}` ({r.input.split(',')[0]}) {r.extra['other_cores']:.2f}"
            for r in results if r.extra.get("other_cores", 0) >= 0.1]
    if not busy:
        return "Other processes used less than 0.1 core during every row."
    return ("Other processes were busy during some rows (cores in use on average; those rows' "
            "times are less reliable): " + ", ".join(busy) + ".")


def errors(results: list[Result]) -> list[str]:
    return [f"`{result.row}` ({result.input}), {name}: {message}"
            for result in results for name, message in result.errors.items()]


# -- targets -------------------------------------------------------------------------


@dataclass
class Verdict:
    row: str
    goal: str
    value: float | None      # the measured ratio
    bound: float
    at_least: bool = False   # True: value >= bound is met; False: value <= bound

    @property
    def met(self) -> bool | None:
        if self.value is None:
            return None
        return self.value >= self.bound if self.at_least else self.value <= self.bound

    def text(self) -> str:
        if self.value is None:
            return f"`{self.row}`: {self.goal}: not measured"
        sign = ">=" if self.at_least else "<="
        if self.met:
            verdict = "met"
        elif self.at_least:
            verdict = f"MISSED, {1 - self.value / self.bound:.0%} short"
        else:
            verdict = f"MISSED, {self.value / self.bound - 1:.0%} over"
        return f"`{self.row}`: {self.goal}: {self.value:.2f} (target {sign} {self.bound:g}), {verdict}"

    def line(self) -> str:
        return f"- [{'x' if self.met else ' '}] {self.text()}"


def verdicts(results: list[Result]) -> list[Verdict]:
    found = []
    for r in results:
        ours = r.cells.get(OURS)
        pyav = r.cells.get(PYAV)
        name = f"{r.row}, {r.input.split(',')[0]}"
        peer = r.fastest_peer()
        if r.row == "seq":
            found.append(Verdict(name, "time / the tool's decode-only time", ratio(ours, r.limit), 1.25))
            found.append(Verdict(name, "time / PyAV's (faster than PyAV)", ratio(ours, pyav), 1.0))
        if r.row in ("seq", "seq_threads"):
            bound = 1.0 if "VP9" in r.input else 1.03 if r.row == "seq" else 0.95
            found.append(Verdict(name, "time / the fastest peer's", ratio(ours, peer and peer[1]), bound))
        if r.row == "seq_keep":
            found.append(Verdict(name, "time / (tool decode-only + NumPy alloc-and-fill)",
                                 ratio(ours, r.limit), 1.2))
            found.append(Verdict(name, "fastest peer's time / ours", ratio(peer and peer[1], ours),
                                 2.0, at_least=True))
        elif r.row.endswith("workers=2") and r.row.startswith(("random_", "times_", "clips_")):
            found.append(Verdict(name, "time with two decoders / the fastest peer's",
                                 ratio(ours, peer and peer[1]), 0.55))
        elif r.row.endswith(" auto"):
            found.append(Verdict(name, "best hand-picked setting's time / auto's",
                                 r.cells.get(OURS), 0.95, at_least=True))
        elif r.row == "frames_256_hour workers=2":
            found.append(Verdict(name, "time with two decoders / the fastest peer's",
                                 ratio(ours, peer and peer[1]), 0.5))
        elif r.row.endswith("batches workers=2"):
            found.append(Verdict(name, "time with two decoders / the fastest peer's, automatic threads",
                                 ratio(ours, peer and peer[1]), 0.9))
        elif r.row.startswith(("random_", "times_")):
            found.append(Verdict(name, "time / PyAV's", ratio(ours, pyav), 0.8))
            found.append(Verdict(name, "time / the fastest peer's", ratio(ours, peer and peer[1]), 0.7))
        elif r.row.startswith("resize_"):
            found.append(Verdict(name, "time / PyAV's", ratio(ours, pyav), 0.75))
            found.append(Verdict(name, "time / the fastest peer's", ratio(ours, peer and peer[1]), 0.9))
            found.append(Verdict(name, "time / the tool's one-pass time", ratio(ours, r.limit), 1.1))
        elif r.row == "audio_16k":
            found.append(Verdict(name, "time / PyAV's", ratio(ours, pyav), 0.5))
            found.append(Verdict(name, "time / the fastest peer's", ratio(ours, peer and peer[1]), 0.9))
            found.append(Verdict(name, "time / the tool's net time", ratio(ours, r.limit), 1.5))
        elif r.row == "audio_range":
            found.append(Verdict(name, "time / the same read near the start", ratio(ours, r.extra.get("near")), 2.0))
            found.append(Verdict(name, "time / the fastest peer's", ratio(ours, peer and peer[1]), 0.9))
        elif r.row == "audio_range memory":
            budget = 2 * r.limit + 32 if r.limit is not None else None
            found.append(Verdict(name, "peak growth / (2 x result + 32 MB)", ratio(ours, budget), 1.0))
        elif r.row == "parallel":
            found.append(Verdict(name, "throughput of two decoders / one", ours, 1.8, at_least=True))
        elif r.row == "seq_keep memory":
            budget = r.limit + 100 if r.limit is not None else None
            found.append(Verdict(name, "peak growth / (batch bytes + 100 MB)", ratio(ours, budget), 1.0))
        elif r.row == "clips_8x16":
            found.append(Verdict(name, "time / torchcodec's sampler, same clips",
                                 ratio(ours, r.cells.get(TORCHCODEC)), 0.7))
        elif r.row.startswith("frame_mid_hour"):
            found.append(Verdict(f"{r.row}, {r.input.rsplit(', ', 1)[-1]}", "bytes read / (header + 2 x GOP)",
                                 ratio(r.extra.get("ours_bytes"), r.extra.get("budget")), 1.0))
            if r.row == "frame_mid_hour":
                found.append(Verdict(f"{r.row}, {r.input.rsplit(', ', 1)[-1]}", "time / the fastest peer's",
                                     ratio(ours, peer and peer[1]), 0.9))
        elif r.row == "av_clips_8x16":
            found.append(Verdict(name, "time / the same draws without sound", ratio(ours, r.limit), 1.1))
        elif r.row == "clips_8x16_hour":
            found.append(Verdict(name, "time / the same draws from the 60 s clip", ratio(ours, r.limit), 1.2))
        elif r.row == "loader_8":
            found.append(Verdict(name, "throughput with two threads / one", ours, 1.7, at_least=True))
        elif r.row == "loader_8 memory":
            found.append(Verdict(name, "peak growth / the guide's bound", ratio(ours, r.limit), 1.0))
    return found


# -- chart ---------------------------------------------------------------------------


def chart(results: list[Result], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    timed = [r for r in results if r.unit == "s" and OURS in r.cells]
    others = [r for r in results if r.unit != "s"]
    panels = 1 + len(others)
    fig, axes = plt.subplots(1, panels, figsize=(7 + 3.5 * len(others), 1.2 + 0.55 * max(len(timed), 3)),
                             width_ratios=[2] + [1] * len(others), squeeze=False)
    axes = axes[0]
    names = [*COLUMNS, "limit"]
    colours = {OURS: "#1f77b4", PYAV: "#ff7f0e", OPENCV: "#2ca02c", TORCHCODEC: "#d62728",
               "limit": "#7f7f7f"}
    ax = axes[0]
    height = 0.8 / len(names)
    for row_index, result in enumerate(timed):
        base = result.cells[OURS]
        values = {**result.cells, "limit": result.limit}
        for name_index, name in enumerate(names):
            value = values.get(name)
            if value is None:
                continue
            y = row_index + (name_index - (len(names) - 1) / 2) * height
            ax.barh(y, value / base, height, color=colours[name],
                    label=name if row_index == 0 or name not in ax.get_legend_handles_labels()[1] else None)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_yticks(range(len(timed)))
    ax.set_yticklabels([f"{r.row}\n{r.input.split(',')[0]}\n({fmt(r.cells[OURS], 's')})" for r in timed],
                       fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(f"time relative to {OURS} (lower is faster)")
    handles, labels = ax.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    ax.legend(unique.values(), unique.keys(), fontsize=8, loc="upper right")
    for ax, result in zip(axes[1:], others):
        bars = [name for name in COLUMNS if name in result.cells]
        heights = [result.cells[name] for name in bars]
        if result.limit is not None:
            bars.append("ffmpeg tool" if result.unit == "x"
                        else "batch bytes" if result.row == "seq_keep memory" else "bound")
            heights.append(result.limit)
        ax.bar(range(len(heights)), heights, color=[colours.get(n, "#7f7f7f") for n in bars])
        ax.set_xticks(range(len(heights)))
        ax.set_xticklabels(bars, rotation=30, ha="right", fontsize=8)
        if result.unit == "x":
            two = "two decoders" if result.row == "parallel" else f"{result.row}: two threads"
            ax.set_title(f"{two} vs one\n(throughput, higher is better)", fontsize=9)
            ax.axhline(2, color="black", linewidth=0.6, linestyle=":")
        else:
            ax.set_title(f"peak memory growth of {result.row.removesuffix(' memory')} (MB)", fontsize=9)
            if result.limit is not None and result.row == "seq_keep memory":
                ax.axhline(result.limit + 100, color="black", linewidth=0.6, linestyle=":")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# -- page ----------------------------------------------------------------------------

METHOD = """\
## What each row measures

Every library decodes with one thread, except in `seq_threads` (`threads=1` here; PyAV
`codec_context.thread_count = 1`; OpenCV `cv2.setNumThreads(1)` and
`CAP_PROP_N_THREADS = 1`; torchcodec `num_ffmpeg_threads=1` and
`torch.set_num_threads(1)`; `ffmpeg -threads 1`) and returns RGB `uint8`
frames unless stated.  torchcodec's `VideoDecoder` is opened with
`seek_mode="exact"` (its own scan of the file, timed) and
`dimension_order="NHWC"`, and its tensors are handed over as NumPy arrays.  Times are the median of the repeats; each library
runs once untimed first, and the libraries take turns within every repeat.
The ffmpeg tool's times are net of its start-up (process launch, library
loading), measured on a tiny generated input with the same options.

- `seq`: every frame of the clip.  This library: the packet scan plus one
  `decode_video` call per key-frame group, each batch dropped after use.
  PyAV: `frame.to_ndarray(format="rgb24")` frame by frame; OpenCV: `read()`
  and a BGR to RGB conversion; torchcodec: `get_frame_at(i)` for every
  index in turn.  Limit: `ffmpeg -threads 1 -i clip -f null -`,
  which decodes but does not convert colours.
- `audio_range`: 10 s at 3500 s of a one-hour file (a minute of a tone in
  noise, looped by stream copy) to 16 kHz mono, from opening the file:
  `AudioReader.read(3500, 3510)` here; PyAV seeks to the packet before
  3500 s, decodes and resamples to 3510 s and cuts by the frames' times;
  torchcodec `AudioDecoder(...).get_samples_played_in_range(3500, 3510)`.
  The row below it is this library's same read at 10 s, for scale;
  `audio_range memory` is the peak memory growth of the read at 3500 s.
  Raw MP3 has no index: a reader's first seek demuxes (without decoding)
  up to its target, and later seeks of the same reader use what it found.
- `seq_threads`: `seq` with each library's automatic decoding threads
  (`threads=0` here, in PyAV with `thread_type = "AUTO"`; OpenCV's default;
  torchcodec `num_ffmpeg_threads=0`; `ffmpeg -threads 0`).  This library
  decodes on from one key-frame group into the next without seeking, so the
  frame threads never stall between groups.
- `seq_keep`: every frame, all kept in memory (one `decode_video` call;
  torchcodec `get_all_frames()`; the other peers append each frame's array
  to a list).  Limit: the tool's decode-only
  time plus the time NumPy takes to allocate and fill (first touch) as many
  bytes as the batch holds.
- `random_16`: 16 frames at seeded random indices, exactly those frames.
  Both this library and PyAV are given the key frame each target depends on
  (from a scan done beforehand): this library in one `decode_video` call,
  PyAV seeking to the key frame and decoding forward, without seeking again
  when the next target depends on the same key frame.  torchcodec:
  `get_frames_at(indices)`.  OpenCV seeks with `CAP_PROP_POS_FRAMES`;
  whether it lands on the right frame is checked.
- `times_32`: the frame shown at each of 32 evenly spaced times (half-way
  between marks, so that no time falls on a frame boundary), starting from
  the file alone: `decode_timestamps` here; PyAV demuxes once to find the key
  frames (timed), then seeks and decodes forward, keeping the last frame
  starting at or before each time; torchcodec `get_frames_played_at(seconds)`;
  OpenCV seeks with `CAP_PROP_POS_MSEC`.
- `resize_224`: every frame scaled to 224x224 (`("resize", 0, 0, 224, 224)`
  here, `frame.reformat(width=224, height=224, format="rgb24")` in PyAV,
  `cv2.resize(..., INTER_LINEAR)` then BGR to RGB in OpenCV, the decoder's
  own `transforms=[Resize((224, 224))]` in torchcodec, frame by frame as in
  `seq`).  Limit: the
  tool with `-vf scale=224:224:flags=bilinear,format=rgb24 -f null`.
- `audio_16k`: a 60 s stereo 44.1 kHz file to 16 kHz mono `float32`.
  PyAV: `av.AudioResampler(format="fltp", layout="mono", rate=16000)`;
  torchcodec: `AudioDecoder(path, sample_rate=16000,
  num_channels=1).get_all_samples()`.
  Limit: `ffmpeg -threads 1 -i file -ac 1 -ar 16000 -f f32le -` into a pipe.
- `parallel`: `seq` on two decoders on two threads at once, reported as
  throughput relative to one decoder (2 x one decoder's time / the pair's
  time; 2.00x is perfect scaling on two cores).  Every round runs one
  decoder and then the pair, and the median of the rounds' ratios is shown.
  Limit: two ffmpeg processes, measured the same way.
- `seq_keep memory`: growth of the peak resident set size
  (`ru_maxrss`) during `seq_keep`, each library in a fresh process,
  compared with the batch's bytes.
- `clips_8x16`: 8 clips of 16 consecutive frames at random places, from
  the file alone (opening and listing the frames are timed), one decoding
  thread.  torchcodec: a `VideoDecoder` in exact seek mode and its
  `samplers.clips_at_random_indices`.  Draws differ between the libraries'
  generators, and so does the decoding they need (up to twice from one draw
  to another), so the cells compare the same clips: for each draw of
  torchcodec's, this library decodes the clips it drew the way its own
  `samplers.clips_at_random_indices` decodes a draw (a `VideoReader`, one
  indexing call for all the frames; drawing the starts takes
  microseconds).  This library's sampler on its own draws is timed too and
  shown beside the check, with how much decoding each library's draws need
  (frames from each visited key frame to the last frame wanted after it).
  Every round is 8 draws with new seeds (round r: seeds 8r to 8r + 7); the
  cells are the medians of the rounds' mean times per call.  Same frames:
  torchcodec's frames and this library's for the same clips are compared
  (every frame in the first round, every eighth after); this library's own
  clips must be consecutive frames, their first frames equal to what
  `VideoReader.at` (another decoding path) shows at their times.  Without
  torchcodec the cell is this library's sampler on its own draws.
- `av_clips_8x16`: the draws of `clips_8x16` (this library's own sampler
  and seeds) from the same video with an AAC stereo 44.1 kHz soundtrack,
  with `audio=(16000, 1)`: each clip with its 16/30 s of sound at 16 kHz
  mono; the limit is the same draws without sound, timed in turns with
  them.  The frames must be those without sound, and the first draw's
  sound that of an `AudioReader.read` of each clip's span, within 0.08
  (AAC's noise substitution, on noise three times as loud as the guide's
  table's).
- `loader_8`: `ClipLoader` over 8 files alike but for their noise (720p,
  10 s, GOP 60), 4 random clips of 16 frames from each, with two threads
  and with one (prefetch: twice the threads); throughput with two threads
  relative to one, the median of the rounds' ratios (each round runs both).
  The items must be the same with two threads as with one.  No peer has a
  loader over many files to compare with.
- `loader_8 memory`: growth of the peak resident set size during a loader
  pass with two threads in a fresh process, the item in hand kept until
  the next one arrives; the limit is the guide's bound, (prefetch + 1) x
  one file's clips.
- `frame_mid_hour`: the frame at index N/2 of one hour of video (the 60 s
  clip of `random_16` repeated 60 times with `-stream_loop` and `-c copy`,
  as MP4 and as Matroska), from the file alone, through a file object that
  counts the bytes read; one decoding thread.  This library:
  `VideoReader(file, seek_mode="approximate")[len(reader) // 2]`, and in
  `frame_mid_hour saved index` a reader given the frame index saved from
  one earlier scan (loading it is timed).  torchcodec: `VideoDecoder(file,
  seek_mode="approximate")[N // 2]`.  PyAV: a backward seek to the
  frame's time, then decoding up to it.  Every frame must equal the one
  exact mode gives.  The check lists the bytes each read; the target is
  the bytes this library reads to open the file and read its header, plus
  twice the packets of the group of pictures that holds the frame.
- `clips_8x16_hour`: the draws of `clips_8x16` (this library's own sampler
  and seeds) from the hour of MP4, with a saved frame index; the limit is
  the same draws from the 60 s clip, whose frames the reader scans.
- `seq_threads auto`, `clips_8x16 auto`, `loader_8 auto`, `dataloader_2
  auto`: this library with `threads=None` and `workers=None` ("auto",
  sized by the cores the process may use) against settings picked by
  hand, on the same work: the 1080p clip walked with `batches(32)` (a
  saved frame index, nothing scanned); three draws of 8 clips of 16 frames
  from the 60 s clip; a `ClipLoader` pass over the 8 files of `loader_8`;
  and those 8 files read by a PyTorch `DataLoader` with two worker
  processes, each item one file's clips drawn in the worker (handed back
  as a digest, so that the frames' transfer between processes is not
  timed). The settings take turns in every round; the cell is the best
  hand-picked median time over auto's (target: at least 0.95), the check
  lists what auto chose and every setting's median.

## How outputs are compared

This library's output is the reference, and it is itself checked against
the frame times its scan predicts (for `times_32`: the last frame starting at
or before each time).  For every other library the row checks the number of
frames, every timestamp (within 1 ms) and the pixels of a few probe frames:
at full size the mean absolute difference per frame must stay below 1 level
of 255 (all libraries convert with FFmpeg's scaler and default flags and
agree exactly here; neighbouring frames of the clips differ by about 4
levels), for 224x224 below 6 levels (the libraries scale differently: this
library converts at full size then scales, PyAV scales and converts in one
pass, OpenCV uses its own filter, torchcodec's decoder scales bilinearly with
anti-aliasing), so there the timestamps identify the frames.  The ffmpeg
tool writes no frames; its frame count is checked.
Audio: same length within 4 samples and a correlation of at least 0.999.
Any disagreement is written in the *Same output* column as `MISMATCH`.

## Inputs

Made once with the ffmpeg tool into `bench/.media/` (git-ignored): a
`testsrc2` pattern with temporal noise (so that there is real residual data
to decode), `yuv420p`; two independent pink-noise channels for the audio.

## Reading the numbers

- Times vary by several percent between runs, much more on a shared or
  busy machine: the page records the load average at the start and, under
  the table, the rows during which other processes took CPU time (measured
  from /proc/stat, net of the suite's own use).  On a virtual machine the
  host's other guests are invisible there, and ratios near a target can
  land on either side of it from one run to the next (10 to 25% swings
  were seen on the project's 2-core machine with an idle guest).  Compare
  rows of one run rather than runs, and repeat a run before trusting a
  single ratio.
- `seq_keep` and its memory row allocate about 1.8 GB; how fast the kernel
  hands out fresh pages (huge pages, compaction, a virtual machine's memory
  being backed lazily) weighs on them as much as decoding does.  This
  library keeps the memory of released batches for the next call of a
  similar size (see the guide's *Memory* section), so its timed `seq_keep`
  runs, which follow an untimed one, reuse it; the peers' arrays come from
  the C allocator, which may keep freed memory as well.  The memory row
  runs each library once in a fresh process.
- PyAV and OpenCV decode with their own FFmpeg builds, so part of a
  difference can come from the decoder version rather than from the
  library around it; this library, torchcodec and the ffmpeg tool share the
  system's.
- torchcodec is optional: it needs the CUDA build of torch (about 5.5 GB)
  even on the CPU, so `make bench` tries to install it
  (scripts/bench_peers.sh) and the suite leaves its column empty when it is
  missing or does not import.
- `parallel` runs two decoders inside one process (two threads) for the
  libraries, but two processes for the tool, which share nothing.
- `make bench BENCH_ARGS="--rows seq --repeat 5"` passes options through;
  `--tiny` runs on small inputs in seconds (the smoke test does), leaving
  out the rows that only repeat other rows' calls, and its numbers mean
  nothing.
"""


def page(results, targets, env, argv, chart_name, clips_used) -> str:
    now = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    parts = [
        "# Benchmarks",
        "",
        "How fast `quorvex_av` turns media into NumPy arrays, next to PyAV, OpenCV,",
        "torchcodec and the `ffmpeg` tool (the limit: the same decoders with nothing",
        "around them).  Run it with `make bench`, or `.venv/bin/python bench/run.py`",
        "(`--rows seq,random_16`, `--repeat N`, `--out DIR`; `--help` lists all).",
        "The table below is overwritten by each run.",
        "",
        "## Results",
        "",
        f"Generated {now} by `{' '.join(['bench/run.py', *argv])}`.",
        "",
        *[f"- {line}" for line in env],
        "",
        "Note that PyAV and OpenCV bundle their own, newer FFmpeg builds, while this",
        "library, torchcodec and the `ffmpeg` tool use the system's FFmpeg.",

        "",
        table(results),
        "",
        other_load(results),
        "",
        "Limits: " + "; ".join(f"`{row}`: {text}" for row, text in LIMITS.items()
                               if any(r.row == row for r in results)) + ".",
        "",
    ]
    problems = errors(results)
    if problems:
        parts += ["Errors:", "", *[f"- {line}" for line in problems], ""]
    parts += ["### Targets", "", *[v.line() for v in targets], ""]
    if chart_name:
        parts += [f"![Benchmark chart]({chart_name})", ""]
    parts += ["Inputs of this run:", "", *[f"- `{key}`: {label}" for key, label in clips_used], ""]
    parts.append(METHOD)
    return "\n".join(parts)


def write(results, env, argv, out: Path, clips_used) -> tuple[Path, list[Verdict]]:
    out.mkdir(parents=True, exist_ok=True)
    targets = verdicts(results)
    chart_path = out / "benchmarks.png"
    try:
        chart(results, chart_path)
        chart_name = chart_path.name
    except ImportError:  # matplotlib is a bench extra; the table stands alone
        chart_name = None
    markdown = out / "benchmarks.md"
    markdown.write_text(page(results, targets, env, argv, chart_name, clips_used))
    return markdown, targets


def print_summary(results, targets, stream=sys.stdout) -> None:
    print(table(results), file=stream)
    print(other_load(results), file=stream)
    for line in errors(results):
        print("error:", line, file=stream)
    print("\nTargets:", file=stream)
    for verdict in targets:
        print("  " + verdict.text(), file=stream)

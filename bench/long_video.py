"""The long-file rows (``frame_mid_hour``, ``clips_8x16_hour``,
``frames_256_hour``): one hour of
720p H.264 made from the 60 s clip repeated with ``-stream_loop`` and
``-c copy`` (MP4 and Matroska, cached under build/bench), read through a
file object that counts the bytes asked of it.

``frame_mid_hour`` fetches frame N/2 from the file alone: this library with
``seek_mode="approximate"`` and with a saved frame index, torchcodec with
``seek_mode="approximate"`` (when it imports) and PyAV seeking to the
frame's time and decoding up to it.  ``clips_8x16_hour`` draws the clips of
``clips_8x16`` from the hour with a saved index, beside the same draws from
the 60 s clip, which this library scans.  ``frames_256_hour`` fetches 256
frames spread evenly over the hour: this library with a saved index on one
and on two decoders (``workers=2``), torchcodec's ``get_frames_at`` in
both seek modes, PyAV seeking before each frame and OpenCV by frame number,
each checked against this library's frames and times.
"""

from __future__ import annotations

import io
import json
import subprocess
from pathlib import Path

import numpy as np

import clips
import lib_ours
import lib_pyav
import lib_torchcodec
from common import Clock, median
from rows import OURS, PYAV, TORCHCODEC, Result, Suite
from training import FRAMES_PER_CLIP, NUM_CLIPS, decoding_work

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench"
DRAWS = 8
APPROXIMATE = f"{OURS} approximate"
INDEXED = f"{OURS} saved index"


class CountingFile(io.RawIOBase):
    """A binary file whose reads are counted: ``count`` bytes so far."""

    def __init__(self, path: Path) -> None:
        self._file = open(path, "rb")
        self.count = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[override]
        got = self._file.readinto(buffer)
        self.count += got or 0
        return got

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self.count += len(data)
        return data

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._file.seek(offset, whence)

    def tell(self) -> int:
        return self._file.tell()

    def close(self) -> None:
        self._file.close()
        super().close()


def loops(suite: Suite) -> int:
    return 3 if suite.tiny else 60


def label(suite: Suite, container: str) -> str:
    """The short clip's label, with its length times the repeats."""
    first, *rest = suite.label("h264_720p").split(", ")
    return ", ".join([f"{first} x {loops(suite)}", *rest, container])


def hour_files(suite: Suite) -> tuple[Path, dict[str, Path]]:
    """The short clip and its repeats, one per container; the tiny suite
    repeats its short clip three times."""
    short = suite.path("h264_720p")
    loops_ = loops(suite)
    directory = suite.media if suite.tiny else CACHE
    directory.mkdir(parents=True, exist_ok=True)
    made = {}
    for suffix in ("mp4", "mkv"):
        target = directory / f"{short.stem}-x{loops_}.{suffix}"
        if not target.exists():
            print(f"making {target.name} ({loops_} x {short.name}) ...", flush=True)
            partial = target.with_name(target.stem + ".part." + suffix)
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", str(loops_ - 1), "-i",
                            str(short), "-map", "0:v", "-c", "copy", str(partial)], check=True)
            partial.replace(target)
        made[suffix] = target
    return short, made


def saved_index(path: Path) -> Path:
    """The frame index of ``path``, scanned once and kept beside it."""
    saved = path.with_name(path.name + ".frames.npz")
    if not saved.exists():
        with lib_ours.load().VideoReader(str(path)) as reader:
            reader.frame_index.save(saved)
    return saved


def gop_bytes(short: Path, index: int) -> int:
    """Bytes of the packets of the group of pictures holding frame ``index``
    of the short clip (in presentation order), from ffprobe."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-of", "json",
                            "-show_entries", "packet=pts,size,flags", str(short)],
                           capture_output=True, text=True, check=True)
    packets = json.loads(probe.stdout)["packets"]
    order = sorted(range(len(packets)), key=lambda i: int(packets[i]["pts"]))
    wanted = order[index]  # file position of the frame's packet
    keys = [i for i, p in enumerate(packets) if p["flags"].startswith("K")]
    start = max(k for k in keys if k <= wanted)
    end = min([k for k in keys if k > start] + [len(packets)])
    return sum(int(p["size"]) for p in packets[start:end])


# -- the libraries -------------------------------------------------------------------


def ours(path: Path, index: int | None, saved: Path | None):
    """Frame ``index`` (the middle when None) of the file: seconds, bytes
    read, frame, and its time."""
    module = lib_ours.load()
    file = CountingFile(path)
    with Clock() as clock:
        options = {"frame_index": saved} if saved else {"seek_mode": "approximate"}
        with module.VideoReader(file, **options) as reader:
            wanted = len(reader) // 2 if index is None else index
            frames, times = reader.read_with_times(np.array([wanted]))
    file.close()
    return clock.seconds, file.count, frames[0], float(times[0])


def opened_bytes(path: Path) -> int:
    """Bytes this library reads to open the file and read its header."""
    file = CountingFile(path)
    with lib_ours.load().VideoReader(file, seek_mode="approximate") as reader:
        len(reader)
    file.close()
    return file.count


def pyav(path: Path, index: int):
    import av

    file = CountingFile(path)
    with Clock() as clock:
        with av.open(file) as container:
            stream = container.streams.video[0]
            stream.thread_count = 1
            rate = stream.guessed_rate or stream.average_rate
            start = stream.start_time or 0
            target = start + round(index / rate / stream.time_base)
            container.seek(target, stream=stream, backward=True)
            for frame in container.decode(stream):
                if frame.pts is not None and frame.pts >= target - round(0.5 / rate / stream.time_base):
                    picture = frame.to_ndarray(format="rgb24")
                    time = float(frame.pts * stream.time_base)
                    break
    file.close()
    return clock.seconds, file.count, picture, time


def torchcodec(path: Path, index: int):
    file = CountingFile(path)
    with Clock() as clock:
        decoder = lib_torchcodec.VideoDecoder(file, seek_mode="approximate", dimension_order="NHWC",
                                              num_ffmpeg_threads=1)
        frame = decoder[index]
        picture = frame.numpy()
    del decoder
    file.close()
    return clock.seconds, file.count, picture, None


# -- rows ------------------------------------------------------------------------------


def row_frame_mid_hour(suite: Suite) -> list[Result]:
    short, files = hour_files(suite)
    results = []
    for suffix, path in files.items():
        saved = saved_index(path)
        with lib_ours.load().VideoReader(str(path), frame_index=saved) as exact:
            middle = len(exact) // 2
            want, want_time = exact[middle], float(exact.times[middle])
        runners = {APPROXIMATE: lambda: ours(path, None, None), INDEXED: lambda: ours(path, None, saved)}
        if PYAV in suite.libraries:
            runners[PYAV] = lambda: pyav(path, middle)
        if TORCHCODEC in suite.libraries:
            runners[TORCHCODEC] = lambda: torchcodec(path, middle)
        seconds: dict[str, list[float]] = {name: [] for name in runners}
        read: dict[str, int] = {}
        errors, problems = {}, []
        for round_ in range(suite.warmup + suite.repeat):
            for name, run in runners.items():
                if name in errors:
                    continue
                try:
                    elapsed, count, frame, time = run()
                except Exception as error:  # reported in the table, not hidden
                    errors[name] = f"{type(error).__name__}: {error}"
                    continue
                if round_ >= suite.warmup:
                    seconds[name].append(elapsed)
                read[name] = count
                if round_ == 0 and not np.array_equal(frame, want):
                    problems.append(f"{name}: not the exact mode's frame")
                if round_ == 0 and time is not None and abs(time - want_time) > 1e-3:
                    problems.append(f"{name}: frame at {time:.3f} s, not {want_time:.3f} s")
        header = opened_bytes(path)
        with lib_ours.load().VideoReader(str(short), seek_mode="approximate") as clip:
            gop = gop_bytes(short, middle % len(clip))
        budget = header + 2 * gop
        notes = ", ".join(f"{name} {count / 1e6:.2f} MB" for name, count in read.items())
        check = ("MISMATCH " + "; ".join(problems) if problems else "ok (same frame as exact mode)")
        check += f"; bytes read: {notes}; header {header / 1e6:.2f} MB + 2 x GOP {gop / 1e6:.2f} MB"
        extra = {"bytes": read, "header_bytes": header, "gop_bytes": gop, "budget": budget,
                 "frame": middle}
        for mode in (APPROXIMATE, INDEXED):
            cells = {name: median(values) for name, values in seconds.items()
                     if values and name not in errors and name not in (APPROXIMATE, INDEXED)}
            if seconds[mode] and mode not in errors:
                cells[OURS] = median(seconds[mode])
            row = "frame_mid_hour" if mode == APPROXIMATE else "frame_mid_hour saved index"
            mine = {name: text for name, text in errors.items() if name not in (APPROXIMATE, INDEXED)}
            if mode in errors:
                mine[OURS] = errors[mode]
            results.append(Result(row, label(suite, suffix.upper()), "s", cells, mine, None, check,
                                  extra | {"ours_bytes": read.get(mode)}))
    return results


def draws(path: Path, saved: Path | None, seed: int) -> tuple[float, int]:
    """Seconds of one sampler call from the file alone, and the frames it
    has to decode (from each visited key frame to the last wanted after it)."""
    module = lib_ours.load()
    options = {"frame_index": saved} if saved else {}
    with Clock() as clock:
        with module.VideoReader(str(path), **options) as reader:
            clips = module.samplers.clips_at_random_indices(reader, NUM_CLIPS, FRAMES_PER_CLIP,
                                                            seed=seed)
    table = reader.frame_index
    key_of = np.searchsorted(table.pts, table.seek)
    return clock.seconds, decoding_work(clips.indices, key_of)


def row_clips_hour(suite: Suite) -> list[Result]:
    short, files = hour_files(suite)
    path = files["mp4"]
    saved = saved_index(path)
    hour, minute = [], []
    work = {"hour": [], "minute": []}
    for round_ in range(suite.warmup + suite.repeat):
        totals = [0.0, 0.0]
        for draw in range(DRAWS):
            seed = round_ * DRAWS + draw
            for slot, (name, source, index) in enumerate((("hour", path, saved), ("minute", short, None))):
                elapsed, frames = draws(source, index, seed)
                totals[slot] += elapsed
                work[name].append(frames)
        if round_ >= suite.warmup:
            hour.append(totals[0] / DRAWS)
            minute.append(totals[1] / DRAWS)
    ours_hour, ours_minute = median(hour), median(minute)
    check = (f"ok; the same draws from {short.name} (scanned by the reader): {ours_minute:.3f} s "
             f"per call, hour / 60 s clip {ours_hour / ours_minute:.2f}x; frames to decode from key "
             f"frames per draw, mean: hour {np.mean(work['hour']):.0f}, "
             f"60 s clip {np.mean(work['minute']):.0f} (clips of the short clip share groups of pictures); "
             f"time per frame decoded, hour / 60 s clip "
             f"{ours_hour / np.mean(work['hour']) / (ours_minute / np.mean(work['minute'])):.2f}x")
    return [Result("clips_8x16_hour", label(suite, "MP4, saved index"), "s",
                   {OURS: ours_hour}, {}, ours_minute, check,
                   {"minute": ours_minute, "work": {k: float(np.mean(v)) for k, v in work.items()}})]


ROWS = {"frame_mid_hour": row_frame_mid_hour, "clips_8x16_hour": row_clips_hour}
ROW_CLIPS = {"frame_mid_hour": ["h264_720p"], "clips_8x16_hour": ["h264_720p"]}


# -- frames_256_hour -------------------------------------------------------------------

FRAMES_256 = 256


def hour_job(path: Path, saved: Path) -> "Job":
    """The hour's frame facts from its saved index; 256 evenly spaced frames."""
    from common import Job

    module = lib_ours.load()
    with module.VideoReader(str(path), frame_index=saved) as reader:
        table = reader.frame_index
        header = reader.header
    num, den = table.time_base
    job = Job(path=path, pts=table.pts.tolist(), keys=table.seek.tolist(), time_base=num / den,
              width=header.width, height=header.height)
    job.table = table
    count = len(table)
    job.indices = [int((i + 0.5) * count / FRAMES_256) for i in range(FRAMES_256)]
    job.stride = 16  # frames kept for the comparison (256 720p frames are 700 MB)
    return job


def _thinned(run, job):
    result = run(job)
    result.output.frames = {p: f for p, f in result.output.frames.items() if p % job.stride == 0}
    return result


def row_frames_256_hour(suite: Suite) -> list[Result]:
    """256 frames evenly spaced over the hour (each in a group of pictures
    of its own): this library with a saved index on one decoder and on two,
    torchcodec's get_frames_at (approximate and exact mode), PyAV seeking
    before each frame, OpenCV seeking by frame number."""
    from common import FULL_SIZE_TOLERANCE
    from rows import check_video

    _, files = hour_files(suite)
    path = files["mp4"]
    job = hour_job(path, saved_index(path))
    runners = {f"{OURS} workers=1": (lib_ours.random_frames_reader, 1),
               f"{OURS} workers=2": (lib_ours.random_frames_reader, 2)}
    for name, module in suite.libraries.items():
        if name != OURS and hasattr(module, "random_frames"):
            runners[name] = (lambda job, module=module: _thinned(module.random_frames, job), 1)
    if TORCHCODEC in suite.libraries:
        runners[f"{TORCHCODEC} approximate"] = (
            lambda job: _thinned(lib_torchcodec.random_frames_approximate, job), 1)
    seconds: dict[str, list[float]] = {name: [] for name in runners}
    outputs, errors = {}, {}
    for round_ in range(suite.repeat):  # each run decodes some 30 000 frames: no warm-up
        for name, (run, workers) in runners.items():
            if name in errors:
                continue
            job.workers = workers
            try:
                result = run(job)
            except Exception as error:  # reported in the table, not hidden
                errors[name] = f"{type(error).__name__}: {error}"
                continue
            seconds[name].append(result.seconds)
            outputs[name] = result.output
            del result
    job.workers = 1
    expected = [job.pts[i] * job.time_base for i in job.indices]
    mine = {name: outputs[name] for name in outputs if not name.startswith(OURS)}
    reference = outputs.get(f"{OURS} workers=1")
    shared = outputs.get(f"{OURS} workers=2")
    results = []
    for workers in (1, 2):
        name = f"{OURS} workers={workers}"
        cells = {n: median(v) for n, v in seconds.items() if v and n in suite.libraries}
        approximate = seconds.get(f"{TORCHCODEC} approximate")
        if approximate:  # the faster of its two modes stands for torchcodec
            cells[TORCHCODEC] = min(cells.get(TORCHCODEC, np.inf), median(approximate))
        if seconds[name]:
            cells[OURS] = median(seconds[name])
        ours_output = outputs.get(name)
        check = check_video({OURS: ours_output, **mine} if ours_output else mine, FULL_SIZE_TOLERANCE,
                            expected, exact_counts=True)
        if workers == 2 and reference is not None and shared is not None:
            if not (reference.times == shared.times and all(
                    np.array_equal(reference.frames[p], shared.frames[p]) for p in reference.frames)):
                check = "MISMATCH workers=2 against one decoder; " + check
        modes = {n: median(v) for n, v in seconds.items() if v and n.startswith(TORCHCODEC)}
        if modes:
            check += "; torchcodec " + ", ".join(
                f"{'exact' if n == TORCHCODEC else 'approximate'} {t:.2f} s" for n, t in modes.items())
        extra = {"frames": FRAMES_256, "torchcodec_modes": modes}
        errs = {n: e for n, e in errors.items() if n in suite.libraries or n == name}
        results.append(Result(f"frames_256_hour workers={workers}", label(suite, "MP4, saved index"), "s",
                              cells, errs, None, check, extra))
    return results


ROWS["frames_256_hour"] = row_frames_256_hour
ROW_CLIPS["frames_256_hour"] = ["h264_720p"]

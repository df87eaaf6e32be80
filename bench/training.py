"""The training rows (``clips_8x16``, ``av_clips_8x16``, ``loader_8``):
clips drawn at random from one long video, this library's sampler against
torchcodec's, the same sampler with each clip's sound against it without,
and the clip loader over eight files with two threads against one, with its
peak memory.  What they measure and how outputs are compared is described on the
benchmark page (report.METHOD).
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
from pathlib import Path

import numpy as np

import clips
import lib_ours
import lib_torchcodec
from common import FULL_SIZE_TOLERANCE, TIME_TOLERANCE, Clock, mean_abs_diff, median
from rows import OURS, TORCHCODEC, Result, Suite

HERE = Path(__file__).resolve().parent
NUM_CLIPS, FRAMES_PER_CLIP, DRAWS = 8, 16, 8
WORKERS = f"{OURS} workers=2"
LOADER_FILES, LOADER_CLIPS, LOADER_FRAMES = 8, 4, 16


# -- clips_8x16 ------------------------------------------------------------------------


def ours_clips(path: Path, seed: int):
    """This library's sampler on its own draw, from the file alone."""
    module = lib_ours.load()
    with Clock() as clock:
        with module.VideoReader(str(path)) as reader:
            result = module.samplers.clips_at_random_indices(reader, NUM_CLIPS, FRAMES_PER_CLIP,
                                                              seed=seed)
    return clock.seconds, result.indices, result.frames


def ours_same_clips(path: Path, indices: np.ndarray, workers: int = 1):
    """The clips at ``indices``, from the file alone, as this library's
    sampler decodes its own draw: one indexing call for all the frames."""
    module = lib_ours.load()
    with Clock() as clock:
        with module.VideoReader(str(path), workers=workers) as reader:
            frames = reader[indices]
            times = reader.times[indices]
    return clock.seconds, times, frames


def torchcodec_clips(path: Path, seed: int):
    from torchcodec.samplers import clips_at_random_indices

    lib_torchcodec.torch.manual_seed(seed)
    with Clock() as clock:
        decoder = lib_torchcodec.VideoDecoder(str(path), seek_mode="exact", dimension_order="NHWC",
                                              num_ffmpeg_threads=1)
        batch = clips_at_random_indices(decoder, num_clips=NUM_CLIPS, num_frames_per_clip=FRAMES_PER_CLIP)
    return clock.seconds, batch.pts_seconds.numpy().astype(np.float64), batch.data.numpy()


def decoding_work(indices: np.ndarray, key_of: np.ndarray) -> int:
    """Frames from each visited key frame to the last frame wanted after it."""
    last = {}
    for index in np.unique(indices).tolist():
        last[int(key_of[index])] = index
    return sum(end - key + 1 for key, end in last.items())


def row_clips(suite: Suite, key: str = "h264_720p") -> Result:
    """Per draw: this library's sampler on its own draw, torchcodec's sampler
    on its draw, and this library decoding torchcodec's clips; the cells
    compare the last two (the same clips), the first is shown beside."""
    path = suite.path(key)
    job = suite.video_job(key)
    position = {pts: i for i, pts in enumerate(job.pts)}
    key_of = np.array([position[k] for k in job.keys])
    reference = lib_ours.load().VideoReader(str(path))
    table = reference.times
    peer = TORCHCODEC in suite.libraries
    seconds: dict[str, list[float]] = {"own": [], OURS: [], TORCHCODEC: [], WORKERS: []}
    work: dict[str, list[int]] = {"own": [], TORCHCODEC: []}
    errors, problems = {}, []

    def note(problem):
        if problem not in problems:
            problems.append(problem)

    for round_ in range(suite.warmup + suite.repeat):
        totals = dict.fromkeys(seconds, 0.0)
        for draw in range(DRAWS):  # new draws in every round
            seed = round_ * DRAWS + draw
            elapsed, indices, frames = ours_clips(path, seed)
            totals["own"] += elapsed
            work["own"].append(decoding_work(indices, key_of))
            if round_ == 0:  # the first frames again, through another decoding path
                if not (np.diff(indices, axis=1) == 1).all():
                    note(f"{OURS}: clips of non-consecutive frames")
                if not np.array_equal(reference.at(table[indices[:, 0]]), frames[:, 0]):
                    note(f"{OURS}: first frames differ from VideoReader.at")
            # The same draw with the reader on two decoders.
            elapsed, _, shared = ours_same_clips(path, indices, workers=2)
            totals[WORKERS] += elapsed
            if not np.array_equal(shared, frames):
                note(f"{OURS} workers=2: not the frames of one decoder")
            del frames, shared
            if not peer or TORCHCODEC in errors:
                continue
            try:
                elapsed, times, peer_frames = torchcodec_clips(path, seed)
            except Exception as error:  # reported in the table, not hidden
                errors[TORCHCODEC] = f"{type(error).__name__}: {error}"
                continue
            totals[TORCHCODEC] += elapsed
            found = np.minimum(np.searchsorted(table, times.ravel() - TIME_TOLERANCE), len(table) - 1)
            if not np.all(np.abs(table[found] - times.ravel()) <= TIME_TOLERANCE):
                note(f"{TORCHCODEC}: times that are no frame's")
                continue
            indices = found.reshape(times.shape)
            work[TORCHCODEC].append(decoding_work(indices, key_of))
            elapsed, _, frames = ours_same_clips(path, indices)
            totals[OURS] += elapsed
            every = 1 if round_ == 0 else 8
            pairs = zip(frames.reshape(-1, *frames.shape[2:])[::every],
                        peer_frames.reshape(-1, *frames.shape[2:])[::every])
            worst = max(mean_abs_diff(a, b) for a, b in pairs)
            if worst >= FULL_SIZE_TOLERANCE:
                note(f"{TORCHCODEC}: frames differ from {OURS}'s by up to {worst:.1f} levels")
            del frames, peer_frames
        if round_ >= suite.warmup:
            for name, total in totals.items():
                seconds[name].append(total / DRAWS)
    reference.close()
    own = median(seconds["own"])
    if peer and TORCHCODEC not in errors:
        cells = {OURS: median(seconds[OURS]), TORCHCODEC: median(seconds[TORCHCODEC])}
        text = (f"; on the same clips as torchcodec; {OURS}'s sampler on its own draws: {own:.3f} s"
                f" per call; frames to decode from key frames per draw, mean: {OURS} "
                f"{np.mean(work['own']):.0f}, torchcodec {np.mean(work[TORCHCODEC]):.0f}")
    else:
        cells, text = {OURS: own}, ""
    check = ("MISMATCH " + "; ".join(problems) if problems else "ok") + text
    row = f"clips_{NUM_CLIPS}x{FRAMES_PER_CLIP}"
    both = [Result(row, suite.label(key), "s", cells, errors, None, check,
                   {"draws": DRAWS, "own_draws": own})]
    if seconds[WORKERS]:
        shared = {**cells, OURS: median(seconds[WORKERS])}
        both.append(Result(f"{row} workers=2", suite.label(key), "s", shared, errors, None, check,
                           {"draws": DRAWS, "one_decoder": own}))
    return both


# -- av_clips_8x16 ----------------------------------------------------------------------

AV_KEY, AV_RATE = "h264_720p_aac", 16000


def ours_av_clips(path: Path, seed: int, audio: bool):
    """This library's sampler on a draw, from the file alone, with each
    clip's sound at 16 kHz mono or without it."""
    module = lib_ours.load()
    extra = {"audio": (AV_RATE, 1)} if audio else {}
    with Clock() as clock:
        with module.VideoReader(str(path)) as reader:
            result = module.samplers.clips_at_random_indices(reader, NUM_CLIPS, FRAMES_PER_CLIP,
                                                              seed=seed, **extra)
    return clock.seconds, result


def row_av_clips(suite: Suite) -> list[Result]:
    """Per draw: the sampler with sound and without, in turns; the cell is
    the time with sound, the limit the time without.  The sound is checked against reads of an
    AudioReader per clip (AAC within its noise substitution's bound: the
    guide's table is for noise at 0.1, this noise is at 0.3)."""
    module = lib_ours.load()
    path = suite.path(AV_KEY)
    seconds: dict[str, list[float]] = {"with": [], "without": []}
    problems: list[str] = []
    for round_ in range(suite.warmup + suite.repeat):
        totals = dict.fromkeys(seconds, 0.0)
        for draw in range(DRAWS):
            seed = round_ * DRAWS + draw
            plain_seconds, plain = ours_av_clips(path, seed, audio=False)
            sound_seconds, clips_ = ours_av_clips(path, seed, audio=True)
            totals["without"] += plain_seconds
            totals["with"] += sound_seconds
            if not np.array_equal(plain.frames, clips_.frames):
                problems.append("frames differ with sound")
            if round_ == 0 and draw == 0:
                with module.VideoReader(str(path)) as reader:
                    count = round(FRAMES_PER_CLIP / reader.metadata.fps * AV_RATE)
                with module.AudioReader(str(path), sample_rate=AV_RATE, channels=1) as audio:
                    first = audio.first_sample_time
                    for start, sound in zip(clips_.times[:, 0], clips_.audio):
                        low = max(0, int(np.ceil((start - first) * AV_RATE - 1e-6)))
                        want = audio.read(first + low / AV_RATE, first + (low + count) / AV_RATE)
                        if sound.shape != (1, count) or np.abs(sound - want).max() > 0.08:
                            problems.append("sound differs from AudioReader.read")
                            break
            del plain, clips_
        if round_ >= suite.warmup:
            for name, total in totals.items():
                seconds[name].append(total / DRAWS)
    with_sound, without = median(seconds["with"]), median(seconds["without"])
    check = ("MISMATCH " + "; ".join(sorted(set(problems))) if problems else "ok") + (
        f"; with sound / without: {with_sound / without:.3f}")
    return [Result(f"av_clips_{NUM_CLIPS}x{FRAMES_PER_CLIP}", suite.label(AV_KEY), "s",
                   {OURS: with_sound}, {}, without, check, {"draws": DRAWS})]


# -- loader_8 --------------------------------------------------------------------------


def loader_inputs(suite: Suite) -> tuple[list[Path], str]:
    """Eight files alike but for their noise, so that none is a copy."""
    return clips.loader_files(suite.tiny, suite.media, LOADER_FILES)


def run_loader(paths: list[Path], threads: int, prefetch: int | None = None) -> tuple[float, list[str]]:
    """Seconds to take every item of a loader pass, and a digest of each item."""
    module = lib_ours.load()
    digests = []
    with Clock() as clock:
        loader = module.ClipLoader([str(p) for p in paths], module.samplers.clips_at_random_indices,
                                   threads=threads, prefetch=prefetch, seed=0,
                                   num_clips=LOADER_CLIPS, frames_per_clip=LOADER_FRAMES)
        with loader:
            for item in loader:
                digest = hashlib.sha1(item.indices.tobytes())
                digest.update(np.ascontiguousarray(item.frames[:, :, ::16, ::16]).tobytes())
                digests.append(digest.hexdigest())
    return clock.seconds, digests


def row_loader(suite: Suite) -> list[Result]:
    paths, label = loader_inputs(suite)
    ratios, singles, pairs = [], [], []
    problems, errors = [], {}
    try:
        for round_ in range(suite.warmup + suite.repeat):
            one, one_digests = run_loader(paths, 1)
            two, two_digests = run_loader(paths, 2)
            if one_digests != two_digests and not problems:
                problems.append("items differ between one thread and two")
            if round_ >= suite.warmup:
                ratios.append(one / two)
                singles.append(one)
                pairs.append(two)
    except Exception as error:
        errors[OURS] = f"{type(error).__name__}: {error}"
    cells = {OURS: median(ratios)} if ratios else {}
    extra = {"single": median(singles) if singles else None, "pair": median(pairs) if pairs else None}
    check = "MISMATCH " + "; ".join(problems) if problems else "ok (same items with two threads as one)"
    results = [Result(f"loader_{LOADER_FILES}", label, "x", cells, errors, None, check, extra)]

    done = subprocess.run([sys.executable, str(HERE / "loader_memory.py"), "2", str(LOADER_CLIPS),
                           str(LOADER_FRAMES), *map(str, paths)], capture_output=True, text=True)
    memory_cells, memory_errors, bound = {}, {}, None
    if done.returncode != 0:
        memory_errors[OURS] = (done.stderr.strip().splitlines() or ["failed"])[-1]
    else:
        measured = json.loads(done.stdout.strip().splitlines()[-1])
        memory_cells[OURS] = measured["growth"] / 2**20
        bound = (measured["prefetch"] + 1) * measured["item_bytes"] / 2**20
        extra = measured
    results.append(Result(f"loader_{LOADER_FILES} memory", label, "MB", memory_cells, memory_errors, bound,
                          "ok", extra))
    return results


ROWS = {
    "clips_8x16": lambda suite: row_clips(suite),
    "av_clips_8x16": row_av_clips,
    "loader_8": row_loader,
}
ROW_CLIPS = {"clips_8x16": ["h264_720p"], "av_clips_8x16": [AV_KEY], "loader_8": []}

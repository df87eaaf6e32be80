"""Auto (``threads=None``, ``workers=None``) against settings picked by
hand, on the work of ``seq_threads``, ``clips_8x16`` and ``loader_8`` (the
rows ``seq_threads_auto``, ``clips_8x16_auto``, ``loader_8_auto``) and on a
PyTorch DataLoader with two worker processes (``dataloader_2``).

Each comparison takes the settings in turn within every round, starting
one later each round, so that a slow phase of a shared machine does not
fall on one setting only; its cell is the best hand-picked median time over
auto's (1.00x: auto is as fast as the best setting; the target is 0.95x),
and the check column lists every setting's median.
"""

from __future__ import annotations

import hashlib
import importlib
from collections.abc import Callable

import numpy as np

import lib_ours
from common import Clock, median
from rows import OURS, Result, Suite

AUTO = "auto"


def budget():
    """The package's budget module (what auto resolves with)."""
    return importlib.import_module(f"{lib_ours.NAME}._budget")


def compare(suite: Suite, row: str, label: str, settings: dict[str, Callable[[], float]],
            chosen: str) -> Result:
    """Median seconds of each setting, the settings taking turns."""
    names = list(settings)
    seconds: dict[str, list[float]] = {name: [] for name in names}
    errors = {}
    try:
        for round_ in range(suite.warmup + suite.repeat):
            shift = round_ % len(names)
            for name in names[shift:] + names[:shift]:
                elapsed = settings[name]()
                if round_ >= suite.warmup:
                    seconds[name].append(elapsed)
    except Exception as error:  # reported in the table, not hidden
        errors[OURS] = f"{type(error).__name__}: {error}"
        return Result(row, label, "x", {}, errors)
    medians = {name: median(values) for name, values in seconds.items()}
    best, fastest = min((value, name) for name, value in medians.items() if name != AUTO)
    listed = "; ".join(f"{name} {value:.3f} s" for name, value in medians.items())
    check = f"ok (auto: {chosen}; {listed}; best by hand: {fastest})"
    return Result(row, label, "x", {OURS: best / medians[AUTO]}, errors, None, check,
                  {"seconds": medians, "auto": chosen})


def _named(options: dict) -> str:
    return ", ".join(f"{key}={value}" for key, value in options.items()) or "defaults"


# -- seq_threads: one decoder walking the stream -------------------------------------------


def row_seq_auto(suite: Suite, key: str = "h264_1080p") -> Result:
    module = lib_ours.load()
    path = str(suite.path(key))
    with module.VideoReader(path) as reader:
        table = reader.frame_index

    def walk(threads: int | None) -> float:
        with Clock() as clock:
            with module.VideoReader(path, frame_index=table, threads=threads) as reader:
                for _ in reader.batches(32):
                    pass
        return clock.seconds

    settings = {AUTO: lambda: walk(None), **{f"threads={t}": (lambda t=t: walk(t)) for t in (1, 2, 3, 0)}}
    chosen = f"threads={budget().split(1, None)[1]}"
    return compare(suite, "seq_threads auto", suite.label(key), settings, chosen)


# -- clips_8x16: clips at random places in one long video ----------------------------------


def row_clips_auto(suite: Suite, key: str = "h264_720p", draws: int = 3) -> Result:
    module = lib_ours.load()
    path = str(suite.path(key))
    with module.VideoReader(path) as reader:
        table = reader.frame_index
        drawn = [module.samplers.clips_at_random_indices(reader, 8, 16, seed=seed).indices
                 for seed in range(draws)]

    def draw(options: dict) -> float:
        with Clock() as clock:
            for indices in drawn:
                with module.VideoReader(path, frame_index=table, **options) as reader:
                    reader[indices]
        return clock.seconds / draws

    fixed = [dict(workers=1), dict(workers=2), dict(threads=2), dict(workers=2, threads=2)]
    settings = {AUTO: lambda: draw(dict(workers=None)),
                **{_named(options): (lambda options=options: draw(options)) for options in fixed}}
    workers, threads = budget().split(None, 1)
    return compare(suite, "clips_8x16 auto", f"{suite.label(key)}, {draws} draws of 8 x 16",
                   settings, f"workers={workers}, threads={threads}")


# -- loader_8: the clip loader over eight files --------------------------------------------


def _loader_pass(paths: list, options: dict) -> float:
    import training

    module = lib_ours.load()
    with Clock() as clock:
        with module.ClipLoader([str(p) for p in paths], module.samplers.clips_at_random_indices,
                               seed=0, num_clips=training.LOADER_CLIPS,
                               frames_per_clip=training.LOADER_FRAMES, **options) as loader:
            for _ in loader:
                pass
    return clock.seconds


def row_loader_auto(suite: Suite) -> Result:
    import training

    module = lib_ours.load()
    paths, label = training.loader_inputs(suite)
    fixed = [dict(threads=1), dict(threads=2), dict(threads=1, workers=2), dict(threads=2, workers=2)]
    settings = {AUTO: lambda: _loader_pass(paths, {}),
                **{_named(options): (lambda options=options: _loader_pass(paths, options))
                   for options in fixed}}
    probe = module.ClipLoader([str(p) for p in paths], module.samplers.clips_at_random_indices,
                              num_clips=1, frames_per_clip=1)
    chosen = f"threads={probe.threads}, workers={probe._reader_options['workers']}"
    return compare(suite, "loader_8 auto", label, settings, chosen)


# -- dataloader_2: two DataLoader worker processes, each with its readers --------------------


class _Clips:
    """A dataset of one item per file: its clips, drawn in the worker
    process with the given reader options, handed back as a digest (the row
    measures decoding, not the transfer of frames between processes)."""

    def __init__(self, paths: list, options: dict) -> None:
        self.paths, self.options = [str(p) for p in paths], options

    def __len__(self) -> int:
        return len(self.paths)

    def __getitem__(self, position: int):
        import training

        module = lib_ours.load()
        with module.VideoReader(self.paths[position], **self.options) as reader:
            clips = module.samplers.clips_at_random_indices(
                reader, training.LOADER_CLIPS, training.LOADER_FRAMES, seed=position)
        digest = hashlib.sha1(np.ascontiguousarray(clips.frames[:, :, ::16, ::16]).tobytes())
        return digest.hexdigest(), budget().cpu_budget()


def _dataloader_pass(paths: list, options: dict, seen: dict) -> float:
    from torch.utils.data import DataLoader

    with Clock() as clock:
        items = list(DataLoader(_Clips(paths, options), batch_size=None, num_workers=2))
    digests = [digest for digest, _ in items]
    if seen.setdefault("digests", digests) != digests:
        seen["mismatch"] = True
    seen["budgets"] = sorted({cores for _, cores in items})
    return clock.seconds


def row_dataloader(suite: Suite) -> Result:
    import training

    paths, label = training.loader_inputs(suite)
    label = f"{label}; DataLoader, 2 worker processes"
    try:
        import torch.utils.data  # noqa: F401
    except ImportError as error:
        return Result("dataloader_2 auto", label, "x", {}, {OURS: f"ImportError: {error}"})
    seen: dict = {}
    fixed = [dict(workers=1, threads=1), dict(workers=2), dict(threads=2), dict(workers=2, threads=2)]
    settings = {AUTO: lambda: _dataloader_pass(paths, dict(workers=None, threads=None), seen),
                **{_named(options): (lambda options=options: _dataloader_pass(paths, options, seen))
                   for options in fixed}}
    result = compare(suite, "dataloader_2 auto", label, settings,
                     "workers and threads sized per worker process")
    if seen.get("budgets"):
        result.check = result.check.replace("sized per worker process",
                                            f"each worker process's budget {seen['budgets']} core(s)")
    if seen.get("mismatch"):
        result.check = "MISMATCH items differ between settings; " + result.check
    return result


ROWS = {
    "seq_threads_auto": lambda suite: [row_seq_auto(suite)],
    "clips_8x16_auto": lambda suite: [row_clips_auto(suite)],
    "loader_8_auto": lambda suite: [row_loader_auto(suite)],
    "dataloader_2": lambda suite: [row_dataloader(suite)],
}
ROW_CLIPS = {"seq_threads_auto": ["h264_1080p"], "clips_8x16_auto": ["h264_720p"],
             "loader_8_auto": [], "dataloader_2": []}

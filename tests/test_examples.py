"""The scale-out examples: a Dask cluster and a PyTorch-style dataset."""

import importlib.util
import json
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quorvex_av import VideoReader

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_cluster_results_equal_one_process(media):
    pytest.importorskip("distributed")
    paths = [str(media.path(name)) for name in ("h264", "vfr", "multi")]
    with subprocess.Popen([sys.executable, str(EXAMPLES / "distributed.py"), "--json", *paths],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
        out, err = run.communicate(timeout=300)
    assert run.returncode == 0, err
    result = json.loads(out)
    assert len(result["workers"]) == 2 and run.pid not in result["workers"]
    assert result["summaries"] == [example("distributed").summarize(path) for path in paths]


def test_dataset_opens_decoders_per_process(media):
    paths = [str(media.path("h264")), str(media.path("multi"))]
    dataset = example("torch_dataset").VideoClips(paths, clip_length=4, step=3)  # 10 frames a clip
    assert len(dataset) == 75 // 10 + 50 // 10
    frames, video = dataset[8]  # the second clip of multi
    assert video == 1 and np.array_equal(frames, VideoReader(paths[1])[10:20:3])
    copy = pickle.loads(pickle.dumps(dataset))  # as sent to a spawned worker
    assert copy._readers == {} and np.array_equal(copy[8][0], frames)


def test_torch_dataloader_workers(media):
    pytest.importorskip("torch")
    from torch.utils.data import DataLoader

    paths = [str(media.path("h264")), str(media.path("multi"))]
    dataset = example("torch_dataset").VideoClips(paths, clip_length=4, step=3)
    batches = list(DataLoader(dataset, batch_size=4, num_workers=2))
    frames = np.concatenate([b[0].numpy() for b in batches])
    assert np.array_equal(frames, np.stack([dataset[i][0] for i in range(len(dataset))]))

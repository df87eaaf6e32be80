"""threads and workers "auto": a child process held to one core (by affinity, a
cgroup quota or the environment) and DataLoader workers size their threads by
the cores they may use; counts given stay as given."""

import contextlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quorvex_av import ClipLoader
from quorvex_av._budget import split
from quorvex_av.samplers import clips_at_random_indices


# What auto gives in a process: its budget, a loader's files at once, a
# reader's (workers, threads) with both auto and with threads given.
REPORT = """
import json, os, sys
from quorvex_av import ClipLoader, _budget
from quorvex_av.samplers import clips_at_random_indices

def report():
    loader = ClipLoader(["a.mp4"] * 8, clips_at_random_indices, num_clips=1, frames_per_clip=1)
    return [_budget.cpu_budget(), loader.threads, _budget.split(None, None), _budget.split(None, 3)]
"""

SETUPS = {"affinity": "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})",
          "cgroup": "open(sys.argv[1], 'w').write(str(os.getpid()))"}

IN_PROCESS = "print(json.dumps([report()]))"

# Two DataLoader workers, one item each: each reports what auto gives in it.
IN_DATALOADER = """
import torch.utils.data as data

class Reports(data.Dataset):
    __len__ = lambda self: 2
    __getitem__ = lambda self, i: json.dumps([data.get_worker_info().id, report()])

found = sorted(json.loads(item) for item in data.DataLoader(Reports(), batch_size=None, num_workers=2))
print(json.dumps([entry for _, entry in found]))
"""


@contextlib.contextmanager
def half_a_core(version):
    """The cgroup.procs file of a new cgroup with a quota of half a CPU,
    removed afterwards; skips where none can be made."""
    with open("/proc/self/mountinfo") as file:  # mount point, then file system type and options
        mounts = [(line.split(" - ")[0].split()[4], *line.split(" - ")[1].split()[:3:2]) for line in file]
    points = [point for point, kind, options in mounts
              if (kind == "cgroup2" if version == 2 else kind == "cgroup" and "cpu" in options.split(","))]
    if not points:
        pytest.skip(f"no cgroup v{version} hierarchy with the cpu controller is mounted")
    point = points[0]
    if version == 2 and "cpu" not in Path(point, "cgroup.controllers").read_text().split():
        pytest.skip(f"the cgroup v2 hierarchy at {point} has no cpu controller (bound to v1 here)")
    group = Path(point, f"quorvex-budget-{os.getpid()}")
    try:
        group.mkdir()
    except OSError as error:
        pytest.skip(f"cannot make a cgroup under {point}: {error}")
    try:
        try:
            if version == 2 and not (group / "cpu.max").exists():
                Path(point, "cgroup.subtree_control").write_text("+cpu")
            quota = {"cpu.max": "50000 100000"} if version == 2 else {
                "cpu.cfs_period_us": "100000", "cpu.cfs_quota_us": "50000"}
            for name, value in quota.items():
                (group / name).write_text(value)
        except OSError as error:
            pytest.skip(f"cannot set a CPU quota in cgroup v{version} under {point}: {error}")
        yield str(group / "cgroup.procs")
    finally:
        group.rmdir()  # the child has ended: the group is empty


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two cores to hold a child to one")
@pytest.mark.parametrize("limit, variable, budgets", [
    ("affinity", None, [1]),
    ("cgroup v2", None, [1]),
    ("cgroup v1", None, [1]),
    ("environment", "1", [1]),
    # The workers share the cores, the remainder going to the first.
    ("dataloader", "5", [3, 2]),
    ("dataloader", None, [1, 1]),
])
def test_auto_uses_the_cores_the_process_may_use(limit, variable, budgets, tmp_path):
    if limit == "dataloader":
        pytest.importorskip("torch")
    environment = {key: value for key, value in os.environ.items() if key != "QUORVEX_AV_CPUS"}
    environment |= {"QUORVEX_AV_CPUS": variable} if variable else {}
    script = "\n".join([REPORT, SETUPS.get(limit.split()[0], ""),
                        IN_DATALOADER if limit == "dataloader" else IN_PROCESS])
    with (half_a_core(int(limit[-1])) if limit.startswith("cgroup")
          else contextlib.nullcontext("")) as procs:
        done = subprocess.run([sys.executable, "-c", script, procs], cwd=tmp_path, env=environment,
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[cores, cores, [cores, 1], [max(1, cores // 3), 3]]
                                       for cores in budgets]


@pytest.mark.parametrize("levels, most, cores, expected", [
    ((3, 2), (), 1, (3, 2)),  # given counts win over a budget of one core
    ((None, 2), (), 1, (1, 2)),  # auto never goes below one
    ((2, None, 1), (), 8, (2, 4, 1)),
    ((None, None, 1), (3,), 8, (3, 2, 1)),  # files at once: no more than there are files
    ((None, 0), (), 8, (1, 0)),  # FFmpeg's own choice of threads takes every core
])
def test_given_counts_stay_and_auto_fills_the_rest(levels, most, cores, expected):
    assert split(*levels, most=most, cores=cores) == expected


def test_the_loader_passes_counts_to_its_readers(monkeypatch):
    monkeypatch.setenv("QUORVEX_AV_CPUS", "4")
    loader = ClipLoader(["a.mp4"], clips_at_random_indices, reader_options={"threads": None},
                        workers=2, num_clips=1, frames_per_clip=1)
    # One file: one thread, two decoders of its own, two FFmpeg threads each.
    assert (loader.threads, loader.prefetch) == (1, 2)
    assert loader._reader_options == {"threads": 2, "workers": 2}

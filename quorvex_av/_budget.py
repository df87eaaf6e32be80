"""The cores this process may use, and how ``threads=None`` and
``workers=None`` ("auto") share them out.

The budget is the fewest of: the CPUs of the process's affinity mask, its
cgroup's CPU quota (v2 ``cpu.max`` or v1 ``cpu.cfs_quota_us``, on its own
cgroup and every parent, rounded up), and, inside a Ray task or actor, the
CPUs Ray assigned it.  ``QUORVEX_AV_CPUS`` replaces the first two, for a
container whose quota cannot be seen from inside.  A PyTorch DataLoader
worker gets its share of the budget among the loader's workers.  Torch and
Ray are consulted only when the program has imported them already.

``split`` turns the budget into counts for nested levels of parallelism
(files at once, decoders per file, FFmpeg threads per decoder): levels
given stay as given, and the outermost level left to choose takes what they
leave, the levels inside it one each.  Every caller resolves auto with it.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Iterator, Sequence

#: The environment variable that sets the cores of the process.
ENVIRONMENT = "QUORVEX_AV_CPUS"

_MOUNTS = "/proc/self/mountinfo"
_CGROUPS = "/proc/self/cgroup"


def cpu_budget() -> int:
    """The cores this process may use (at least 1); see the module."""
    cores = _from_environment()
    if cores is None:
        cores = _affinity()
        quota = _quota()
        if quota is not None:
            cores = min(cores, max(1, math.ceil(quota)))
    assigned = _ray_cpus()
    if assigned is not None:
        cores = min(cores, assigned)
    return max(1, _dataloader_share(cores))


def split(*levels: int | None, most: Sequence[int | None] = (),
          cores: int | None = None) -> tuple[int, ...]:
    """Counts for nested levels of parallelism, outermost first, from
    ``cores`` (default: ``cpu_budget()``).  A level given as an int is kept
    (0, FFmpeg's own choice of threads, counts as taking every core); the
    first level given as None gets the cores the given ones leave, at most
    its ``most`` (a bound such as the number of files), and each later None
    what that leaves, at least 1."""
    if all(level is not None for level in levels):
        return tuple(level for level in levels if level is not None)
    left = cpu_budget() if cores is None else cores
    for level in levels:
        if level == 0:
            left = 1
        elif level is not None:
            left //= level
    counts = []
    for position, level in enumerate(levels):
        if level is None:
            bound = most[position] if position < len(most) else None
            level = max(1, left if bound is None else min(left, bound))
            left //= level
        counts.append(level)
    return tuple(counts)


def _from_environment() -> int | None:
    text = os.environ.get(ENVIRONMENT, "").strip()
    if not text:
        return None
    try:
        cores = int(text)
    except ValueError:
        cores = 0
    if cores < 1:
        raise ValueError(f"{ENVIRONMENT} must be a positive whole number of cores, not {text!r}")
    return cores


def _affinity() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # not on Linux
        return os.cpu_count() or 1


def _quota() -> float | None:
    """The smallest CPU quota (in cores) of the process's cgroup and its
    parents, in either cgroup version; None without one."""
    try:
        with open(_CGROUPS, encoding="utf-8") as file:
            memberships = file.read().splitlines()
        with open(_MOUNTS, encoding="utf-8") as file:
            mounts = file.read().splitlines()
    except OSError:
        return None
    quotas = [quota for directory, version in _cpu_cgroups(memberships, mounts)
              for quota in _quotas_up_from(directory, version)]
    return min(quotas, default=None)


def _cpu_cgroups(memberships: list[str], mounts: list[str]) -> Iterator[tuple[list[str], int]]:
    """For each hierarchy that may hold a CPU quota (the unified one, and a
    version 1 one with the cpu controller): the directories from the
    process's cgroup up to the mount's root, and the version."""
    paths = {}
    for line in memberships:
        number, controllers, path = (line.split(":", 2) + ["", ""])[:3]
        if number == "0" and controllers == "":
            paths[2] = path
        elif "cpu" in controllers.split(","):
            paths[1] = path
    for line in mounts:
        head, _, tail = line.partition(" - ")
        fields, kinds = head.split(), tail.split()
        if len(fields) < 5 or len(kinds) < 3:
            continue
        version = {"cgroup2": 2, "cgroup": 1}.get(kinds[0])
        if version is None or version not in paths or (
                version == 1 and "cpu" not in kinds[2].split(",")):
            continue
        root, point, path = fields[3], fields[4], paths[version]
        if not (path == root or path.startswith(root.rstrip("/") + "/")):
            continue
        inside = [part for part in path[len(root):].split("/") if part]
        yield [os.path.join(point, *inside[:depth]) for depth in range(len(inside), -1, -1)], version


def _quotas_up_from(directories: list[str], version: int) -> Iterator[float]:
    for directory in directories:
        try:
            if version == 2:
                with open(os.path.join(directory, "cpu.max"), encoding="ascii") as file:
                    quota, period = (file.read().split() + ["100000"])[:2]
            else:
                with open(os.path.join(directory, "cpu.cfs_quota_us"), encoding="ascii") as file:
                    quota = file.read().strip()
                with open(os.path.join(directory, "cpu.cfs_period_us"), encoding="ascii") as file:
                    period = file.read().strip()
            if quota != "max" and int(quota) > 0 and int(period) > 0:
                yield int(quota) / int(period)
        except (OSError, ValueError):
            continue  # no quota file at this level (the root cgroup has none)


def _dataloader_share(cores: int) -> int:
    """Inside a DataLoader worker process, this worker's part of ``cores``
    (the remainder going to the first workers); else ``cores``."""
    data = sys.modules.get("torch.utils.data")
    info = getattr(data, "get_worker_info", lambda: None)() if data is not None else None
    if info is None:
        return cores
    count, number = max(1, int(info.num_workers)), int(info.id)
    return cores // count + (1 if number < cores % count else 0)


def _ray_cpus() -> int | None:
    """The CPUs Ray assigned the task or actor running in this process
    (rounded up; 1 for one assigned none), or None outside one."""
    ray = sys.modules.get("ray")
    if ray is None or not getattr(ray, "is_initialized", lambda: False)():
        return None
    try:
        context = ray.get_runtime_context()
        if context.worker.mode != ray.WORKER_MODE:
            return None  # the driver
        cpus = float(context.get_assigned_resources().get("CPU", 0.0))
    except Exception:  # a Ray without this interface: go by the machine
        return None
    return max(1, math.ceil(cpus))

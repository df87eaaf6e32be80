"""A two-node Ray cluster on one machine, and clips read on it.

Usage: python examples/ray_cluster.py FILE [FILE ...]

``LocalCluster`` starts a head node and a second worker node with
``ray start``, each a process tree of its own with one CPU and a small
object store, all on a loopback address, and tears both down again: the
set-up that the tests and bench/ray_bench.py use.  Run as a script, it reads
8 clips of 16 frames from every file through ``quorvex_av.ray`` on that
cluster and checks them against the same clips decoded in this process.

Needs Ray Data: pip install 'quorvex_av[ray]'.  Linux only (it finds the
cluster's processes through /proc).
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

# Ray turns 127.0.0.1 and "localhost" into the machine's outward address; any
# other loopback address is kept, so the cluster never leaves the machine.
HOST = "127.0.0.2"
# No usage reports; no token authentication (a loopback cluster of one user),
# which Ray would otherwise turn on when it finds a token file in the home
# directory.
RAY_ENV = {"RAY_USAGE_STATS_ENABLED": "0", "RAY_AUTH_MODE": "disabled"}


def free_ports(count: int) -> list[int]:
    """``count`` different ports that nothing listens on now."""
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind((HOST, 0))
        return [int(probe.getsockname()[1]) for probe in probes]
    finally:
        for probe in probes:
            probe.close()


def _cmdline(pid: int) -> bytes:
    """The command line of a process, empty once it is gone."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return cmdline.read()
    except OSError:
        return b""


def _processes_naming(text: str) -> list[int]:
    """Process ids whose command line contains ``text``."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        if text.encode() in _cmdline(int(entry)):
            found.append(int(entry))
    return found


class LocalCluster:
    """A head node and ``workers`` worker nodes, ``cpus`` CPUs and
    ``object_store_mb`` MB of object store each, their files under
    ``temp_dir`` (a fresh short directory by default: Ray's socket paths must
    stay under about 100 characters).  ``address`` is for ``ray.init``;
    ``stop()`` (or leaving a ``with`` block) ends every process of the
    cluster, found by the temporary directory on its command line."""

    def __init__(self, temp_dir: str | os.PathLike[str] | None = None, *, workers: int = 1,
                 cpus: int = 1, object_store_mb: int = 100,
                 env: dict[str, str] | None = None, timeout: float = 90.0) -> None:
        self._own_dir = temp_dir is None
        self.temp_dir = Path(tempfile.mkdtemp(prefix="qvray") if temp_dir is None else temp_dir)
        self.temp_dir.mkdir(parents=True, exist_ok=True)
        self._ports = iter(free_ports(64 * (1 + workers)))
        self.address = f"{HOST}:{next(self._ports)}"
        self._env = {**os.environ, **(env or {}), **RAY_ENV}
        #: How many nodes the cluster has.
        self.nodes = 1 + workers
        self._nodes: list[subprocess.Popen[bytes]] = []
        self._logs: list[Any] = []
        self._ray = str(Path(sys.executable).with_name("ray"))
        try:
            self._start("--head", f"--port={self.address.rsplit(':', 1)[1]}",
                        "--include-dashboard=false",
                        f"--dashboard-port={next(self._ports)}", cpus=cpus, store=object_store_mb)
            self.wait(1, timeout)
            for number in range(workers):
                self._start(f"--address={self.address}", cpus=cpus, store=object_store_mb)
                self.wait(2 + number, timeout)
        except BaseException:
            self.stop()
            raise

    def _start(self, *options: str, cpus: int, store: int) -> None:
        log = open(self.temp_dir / f"node{len(self._nodes)}.log", "wb")
        self._logs.append(log)
        ports = [f"--{name}-port={next(self._ports)}" for name in (
            "node-manager", "object-manager", "dashboard-agent-listen", "dashboard-agent-grpc",
            "runtime-env-agent", "metrics-export")]
        workers = ",".join(str(next(self._ports)) for _ in range(48))
        self._nodes.append(subprocess.Popen(
            [self._ray, "start", "--block", *options, f"--node-ip-address={HOST}",
             f"--num-cpus={cpus}", f"--object-store-memory={store * 10**6}",
             f"--temp-dir={self.temp_dir}", "--disable-usage-stats", *ports,
             f"--worker-port-list={workers}"],
            stdout=log, stderr=subprocess.STDOUT, env=self._env, start_new_session=True))

    def wait(self, nodes: int, timeout: float = 90.0) -> None:
        """Wait until the first ``nodes`` nodes say they have started;
        RuntimeError with the end of their logs when a node process ends or
        time runs out."""
        deadline = time.monotonic() + timeout
        logs = [self.temp_dir / f"node{index}.log" for index in range(nodes)]
        while time.monotonic() < deadline:
            if any(node.poll() is not None for node in self._nodes):
                break
            if all(b"Ray runtime started" in log.read_bytes() for log in logs):
                return
            time.sleep(0.2)
        tails = "\n".join(log.read_text(errors="replace")[-1500:] for log in logs)
        raise RuntimeError(f"the Ray cluster did not reach {nodes} nodes:\n{tails}")

    def node_pids(self, index: int) -> list[int]:
        """The ``ray start`` process of node ``index`` and everything it
        started (the raylet, the workers ...)."""
        root = self._nodes[index].pid
        tree, todo = [root], [root]
        while todo:
            parent = todo.pop()
            try:
                with open(f"/proc/{parent}/task/{parent}/children") as children:
                    found = [int(pid) for pid in children.read().split()]
            except OSError:
                continue
            tree += found
            todo += found
        return tree

    def processes(self) -> dict[int, bytes]:
        """Every process of the cluster now, with its command line."""
        return {pid: _cmdline(pid) for index in range(len(self._nodes))
                for pid in self.node_pids(index)}

    def stop(self) -> None:
        """End every process of the cluster: each node's ``ray start``
        first, which stops the processes it started, then whatever is left
        of the process trees the nodes had (some of Ray's agents outlive
        their raylet) or names the cluster's directory."""
        tree = self.processes()
        for node in reversed(self._nodes):
            if node.poll() is None:
                node.send_signal(signal.SIGTERM)
        for node in self._nodes:
            try:
                node.wait(30)
            except subprocess.TimeoutExpired:
                node.kill()
                node.wait()
        deadline = time.monotonic() + 10
        while True:
            left = [pid for pid, cmdline in tree.items() if cmdline and _cmdline(pid) == cmdline]
            left += _processes_naming(str(self.temp_dir))
            if not left or time.monotonic() > deadline:
                break
            for pid in left:  # asked first, then told
                try:
                    late = time.monotonic() > deadline - 7
                    os.kill(pid, signal.SIGKILL if late else signal.SIGTERM)
                except OSError:
                    pass
            time.sleep(0.5)
        for log in self._logs:
            log.close()
        self._nodes, self._logs = [], []
        if self._own_dir:
            shutil.rmtree(self.temp_dir, ignore_errors=True)

    def __enter__(self) -> LocalCluster:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def connect(cluster: LocalCluster, timeout: float = 60.0) -> None:
    """``ray.init`` as the cluster's driver, once all its nodes are alive.
    Ray puts the driver's working directory on the workers' import path:
    connecting from the cluster's directory keeps a source checkout of the
    package (without its built extension) from shadowing the installed one."""
    import ray

    os.environ.update(RAY_ENV)
    here = os.getcwd()
    os.chdir(cluster.temp_dir)
    try:
        ray.init(address=cluster.address, _node_ip_address=HOST, logging_level="warning",
                 log_to_driver=False)
    finally:
        os.chdir(here)
    deadline = time.monotonic() + timeout
    while sum(node["Alive"] for node in ray.nodes()) < cluster.nodes:
        if time.monotonic() > deadline:
            ray.shutdown()
            raise RuntimeError(f"fewer than {cluster.nodes} nodes of the Ray cluster are alive")
        time.sleep(0.2)


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    options.add_argument("files", nargs="+", metavar="FILE")
    args = options.parse_args()

    import numpy as np
    import ray

    from quorvex_av import VideoReader
    from quorvex_av import ray as quorvex_ray
    from quorvex_av.samplers import clips_at_random_indices

    with LocalCluster() as cluster:
        connect(cluster)
        try:
            dataset = quorvex_ray.read_clips(args.files, clips_at_random_indices, num_clips=8,
                                             frames_per_clip=16, seed=0)
            rows = {(row["path"], int(row["clip"])): row for row in dataset.iter_rows()}
        finally:
            ray.shutdown()
    for position, path in enumerate(args.files):
        with VideoReader(path) as reader:
            seed = quorvex_ray.file_seed(0, 0, position)
            here = clips_at_random_indices(reader, 8, 16, seed=seed)
        for clip in range(len(here)):
            row = rows[(path, clip)]
            if not (np.array_equal(row["frames"], here.frames[clip])
                    and np.array_equal(row["indices"], here.indices[clip])):
                sys.exit(f"{path}: clip {clip} differs from this process's")
    print(f"{len(rows)} clips from {len(args.files)} files read on a two-node cluster: "
          "identical to decoding them here")


if __name__ == "__main__":
    main()

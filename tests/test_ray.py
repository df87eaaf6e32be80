"""quorvex_av.ray on a real two-node Ray cluster: the rows equal a read in
one process, failures become rows or errors, and a worker that dies while
it reads loses and repeats nothing."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("QUORVEX_SANITIZED"):
    # The sanitizer runtime preloaded into the interpreter would be preloaded
    # into Ray's own binaries too; the readers are covered without Ray.
    pytest.skip("the Ray cluster does not run under the sanitizer build", allow_module_level=True)
ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'quorvex_av[ray]')")

from media import assert_like_the_tool, ffmpeg_frames  # noqa: E402
from quorvex_av import AudioReader, ClipLoader, LoadError, VideoReader  # noqa: E402
from quorvex_av import ray as qray  # noqa: E402
from quorvex_av.samplers import clips_at_random_indices, clips_at_regular_times  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
VIDEOS = ("h264", "vfr", "multi", "vp9")


def _cluster_module():
    spec = importlib.util.spec_from_file_location("ray_cluster", EXAMPLES / "ray_cluster.py")
    module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A head node and a worker node, one CPU and 100 MB of object store
    each, and this process connected as the driver; every process of the
    cluster is gone afterwards."""
    local = _cluster_module()
    temp = tmp_path_factory.mktemp("ray")
    with local.LocalCluster(temp) as nodes:
        local.connect(nodes)
        # The workers cannot import this module: what it defines travels by value.
        ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars = False
        try:
            yield nodes
        finally:
            ray.shutdown()
            processes = nodes.processes()
    assert processes and not [pid for pid, cmdline in processes.items()
                              if local._cmdline(pid) == cmdline]
    assert not local._processes_naming(str(temp))


def paths(media, names=VIDEOS):
    return [str(media.path(name)) for name in names]


def by_file(rows, key):
    """{position: rows sorted by ``key``}."""
    files = {}
    for row in sorted(rows, key=lambda row: (row["position"], row[key])):
        files.setdefault(int(row["position"]), []).append(row)
    return files


@pytest.mark.parametrize("request_, filesystem", [
    (dict(stride=3), None),
    (dict(indices=[0, 49, 21, 21, -1, 30]), None),
    (dict(times=[1.9, 0.1, 0.5, 1.234]), None),
    (dict(stride=2), "pyarrow"),
])
def test_frames_equal_one_process(cluster, media, request_, filesystem):
    files = paths(media)
    if filesystem == "pyarrow":  # relative paths opened as file objects in the workers
        from pyarrow import fs
        root = os.path.dirname(files[0])
        filesystem = fs.SubTreeFileSystem(root, fs.LocalFileSystem())
        names = [os.path.relpath(path, root) for path in files]
    else:
        names = files
    given = dict(request_)
    if "indices" in given:  # the same list for every file, given file by file
        given["indices"] = {name: given["indices"] for name in names}
    # 20 frames a task: every file is split at its key frames (25 apart).
    dataset = qray.read_frames(names, **given, filesystem=filesystem, frames_per_task=20,
                               batch_frames=8)
    key = "index" if "stride" in request_ else "request"
    got = by_file(dataset.iter_rows(), key)
    for position, path in enumerate(files):
        with VideoReader(path) as reader:
            if "stride" in request_:
                picks = np.arange(0, len(reader), request_["stride"])
            elif "indices" in request_:
                picks = np.array(request_["indices"]) % len(reader)
            else:
                picks = reader.index_at(request_["times"])
            want = reader[picks]
            times = reader.times[picks]
        rows = got[position]
        assert [row["index"] for row in rows] == picks.tolist()
        assert np.array_equal(np.stack([row["frame"] for row in rows]), want)
        assert np.array_equal([row["time"] for row in rows], times)
        assert {row["path"] for row in rows} == {names[position]}
        assert all(row["error"] is None for row in rows)
    if request_.get("stride") == 3:  # and as the ffmpeg tool decodes the first file
        frames = np.stack([row["frame"] for row in got[0]])
        assert_like_the_tool(frames, ffmpeg_frames(files[0])[::3])


def test_clips_equal_the_loader_and_follow_epochs(cluster, media):
    files = paths(media)
    options = dict(num_clips=3, frames_per_clip=4, step=2, reader_options=dict(resize=(48, 64)))

    def clips(epoch):
        dataset = qray.read_clips(files, clips_at_random_indices, seed=11, epoch=epoch, **options)
        batches = dataset.drop_columns(["path", "error"]).iter_torch_batches(batch_size=5)
        columns = {}
        for batch in batches:
            for name, tensor in batch.items():
                columns.setdefault(name, []).append(tensor.numpy())
        columns = {name: np.concatenate(parts) for name, parts in columns.items()}
        order = np.lexsort((columns["clip"], columns["position"]))
        return {name: values[order] for name, values in columns.items()}

    first, again, later = clips(1), clips(1), clips(2)
    with ClipLoader(files, clips_at_random_indices, seed=11, **options) as loader:
        loader.epoch = 1
        want = list(loader)
    assert np.array_equal(first["frames"], np.concatenate([item.frames for item in want]))
    assert np.array_equal(first["indices"], np.concatenate([item.indices for item in want]))
    assert np.array_equal(first["times"], np.concatenate([item.times for item in want]))
    assert np.array_equal(first["position"], np.repeat(np.arange(len(files)), 3))
    assert all(np.array_equal(first[name], again[name]) for name in first)
    assert not np.array_equal(first["indices"], later["indices"])


def test_audio_windows_equal_one_process(cluster, media):
    files = paths(media, ("h264_audio", "wav", "multi"))
    rate, window, hop = 16000, 0.25, 0.1
    dataset = qray.read_audio(files, window=window, hop=hop, sample_rate=rate, channels=1,
                              windows_per_block=7)
    got = by_file(dataset.iter_rows(), "window")
    length, step = int(window * rate), int(hop * rate)
    for position, path in enumerate(files):
        with AudioReader(path, sample_rate=rate, channels=1) as reader:
            samples = reader.read()
        rows = got[position]
        count = (samples.shape[1] - length) // step + 1
        assert [row["window"] for row in rows] == list(range(count))
        for row in rows[::5]:
            begin = row["window"] * step
            assert np.array_equal(row["samples"], samples[:, begin:begin + length])
        assert np.allclose(np.diff([row["start"] for row in rows]), hop)


@pytest.fixture
def broken(tmp_path):
    path = tmp_path / "broken.mp4"
    path.write_bytes(b"not a video at all" * 100)
    return str(path)


@pytest.mark.parametrize("read, column", [
    (lambda files: qray.read_frames(files, stride=10, on_error="skip",
                                    reader_options=dict(dtype="float32")), "frame"),
    (lambda files: qray.read_clips(files, clips_at_regular_times, on_error="skip",
                                   seconds_between_clip_starts=0.5, frames_per_clip=2), "frames"),
    (lambda files: qray.read_audio(files, window=0.5, on_error="skip"), "samples"),
])
def test_skipped_files_become_rows(cluster, media, broken, read, column):
    files = [str(media.path("h264_audio")), broken, str(media.path("multi"))]
    rows = read(files).take_all()
    failed = [row for row in rows if row["error"] is not None]
    assert [(row["path"], row["position"]) for row in failed] == [(broken, 1)]
    assert failed[0]["error"].startswith("RuntimeError: open input: ")
    assert failed[0][column].size == 0
    # Without the failure rows the data stacks into tensors.
    kept = qray.drop_failures(read(files)).select_columns([column, "position"])
    positions = np.concatenate([batch["position"].numpy()
                                for batch in kept.iter_torch_batches(batch_size=4)])
    assert set(positions.tolist()) == {0, 2}
    assert len(positions) == len(rows) - 1


def test_raise_names_the_file(cluster, media, broken):
    dataset = qray.read_frames([str(media.path("h264")), broken], indices=[0])
    with pytest.raises(LoadError, match=r"source 1 \('.*broken.mp4'\): RuntimeError: open input"):
        dataset.take_all()


class DyingFiles:
    """Local files as file objects; a worker process that reads past the
    middle of one ends at once, the first time only (``marker`` remembers).
    The driver (``driver`` is its process id), which plans the read, never
    dies."""

    def __init__(self, marker, driver):
        self.marker, self.driver = str(marker), driver

    def open(self, path, mode="rb"):
        file = open(path, mode)
        size = os.fstat(file.fileno()).st_size
        marker, driver = self.marker, self.driver

        class Dying:
            def read(self, count=-1):
                if (file.tell() > size // 2 and os.getpid() != driver
                        and not os.path.exists(marker)):
                    Path(marker).write_text(str(os.getpid()))
                    os._exit(1)
                return file.read(count)

            def __getattr__(self, name):
                return getattr(file, name)

        return Dying()


def test_worker_killed_mid_read_loses_and_repeats_nothing(cluster, media, tmp_path):
    files = paths(media, ("h264", "vp9"))
    marker = tmp_path / "died"
    # One task per file, stored in blocks of about 0.5 MB (9 frames): the
    # task that dies has handed blocks on already.
    dataset = qray.read_frames(files, filesystem=DyingFiles(marker, os.getpid()),
                               frames_per_task=None, batch_frames=5)
    dataset.context.target_max_block_size = 500_000
    rows = [pair for batch in dataset.iter_batches(batch_size=16)
            for pair in zip(batch["position"].tolist(), batch["index"].tolist())]
    assert marker.exists()  # a worker did die
    counts = [len(VideoReader(path)) for path in files]
    assert sorted(rows) == [(p, i) for p, count in enumerate(counts) for i in range(count)]


@pytest.mark.parametrize("frames_per_task", [1, 20, 30, 60, 1000])
def test_tasks_split_at_key_frames(media, frames_per_task):
    with VideoReader(str(media.path("h264"))) as reader:  # key frames at 0, 25, 50 of 75
        table = reader._frames()
    segments = qray._segments(table, frames_per_task)
    assert [begin for begin, _ in segments][0] == 0 and segments[-1][1] == 75
    assert all(end == begin for (_, end), (begin, _) in zip(segments, segments[1:]))
    assert all(begin in (0, 25, 50) for begin, _ in segments)
    longest = max(end - begin for begin, end in segments)
    assert longest == (25 if frames_per_task < 50 else 50 if frames_per_task < 75 else 75)


@pytest.mark.parametrize("call, message", [
    (lambda: qray.read_frames(["a.mp4"], indices=[0], times=[0.0]), "give one of indices, times"),
    (lambda: qray.read_frames(["a.mp4"], stride=0), "stride must be a positive integer"),
    (lambda: qray.read_frames(["a.mp4"], on_error="ignore"), "on_error must be"),
    (lambda: qray.read_clips(["a.mp4"], clips_at_random_indices, num_clips=0, frames_per_clip=2),
     "num_clips must be at least 1"),
    (lambda: qray.read_audio(["a.wav"], window=0), "window must be a positive number"),
])
def test_bad_arguments_raise_before_reading(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_the_package_does_not_import_ray():
    code = "import sys, quorvex_av; print('ray' in sys.modules, 'pyarrow' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=Path(__file__).parent, check=True)
    assert done.stdout.split() == ["False", "False"]

"""quorvex_av.ray on a real two-node Ray cluster: the rows equal a read in one
process, failures become rows or errors, a worker that dies mid-read loses
and repeats nothing.  The driver is a process of its own: Ray keeps a
driver's descriptors and threads until its process ends."""

import contextlib
import importlib.util
import os
import pickle
import re
import runpy
import subprocess
import sys
import threading
import types
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("QUORVEX_SANITIZED"):
    # The sanitizer runtime preloaded into the interpreter would be preloaded
    # into Ray's own binaries too; the readers are covered without Ray.
    pytest.skip("the Ray cluster does not run under the sanitizer build", allow_module_level=True)
ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'quorvex_av[ray]')")

from media import X264_GOP25, _testsrc, assert_like_the_tool, encode, ffmpeg_frames  # noqa: E402
from quorvex_av import AudioReader, ClipLoader, LoadError, VideoReader  # noqa: E402
from quorvex_av import _ray_plan, _ray_tasks  # noqa: E402
from quorvex_av import ray as qray  # noqa: E402
from quorvex_av.samplers import (  # noqa: E402
    ClipAudio, clips_at_random_indices, clips_at_random_times, clips_at_regular_times)

CLUSTER = Path(__file__).resolve().parent.parent / "examples" / "ray_cluster.py"
VIDEOS = ("h264", "vfr", "multi", "vp9")


# The driver: connects to the cluster, then runs the (function, arguments)
# it reads from its standard input and writes back each outcome.
DRIVER = r"""
import os, pickle, runpy, sys, types
out = os.fdopen(os.dup(1), "wb")
os.dup2(2, 1)  # what Ray prints goes to stderr
import ray, ray.cloudpickle as cloudpickle
connect = runpy.run_path(sys.argv[1])["connect"]
connect(types.SimpleNamespace(address=sys.argv[2], temp_dir=sys.argv[3], nodes=2))
ray.data.DataContext.get_current().enable_progress_bars = False
try:
    while sys.stdin.buffer.peek(1):
        function, arguments, keywords = pickle.load(sys.stdin.buffer)
        try:
            outcome = (True, function(*arguments, **keywords))
        except Exception as error:
            outcome = (False, RuntimeError(f"{type(error).__name__}: {error}"))
        cloudpickle.dump(outcome, out)
        out.flush()
finally:
    ray.shutdown()
"""


def _held():
    """This process's open descriptors (with what they name) and threads."""
    links = {}
    for entry in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own descriptor, closed by now
            links[entry] = os.readlink(f"/proc/self/fd/{entry}")
    return set(links.items()), {thread.ident for thread in threading.enumerate()}


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """Runs functions (by value) in the driver of two nodes of one CPU and
    100 MB of object store each; afterwards every process of the cluster is
    gone, and this process holds no descriptor or thread it did not before."""
    local = types.SimpleNamespace(**runpy.run_path(str(CLUSTER)))
    temp = tmp_path_factory.mktemp("ray")
    # Neither the driver nor the workers can import this module.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    before = _held()
    # No draining on SIGTERM: the head node would otherwise wait out Ray's
    # 30 s drain timeout for the Ray Data actors that never go idle.
    with local.LocalCluster(temp, env={"RAY_GRACEFUL_SHUTDOWN_DRAIN_TIMEOUT_S": "0"}) as nodes:
        driver = subprocess.Popen([sys.executable, "-c", DRIVER, str(CLUSTER), nodes.address, str(temp)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=temp)

        def run(function, *arguments, **keywords):
            ray.cloudpickle.dump((function, arguments, keywords), driver.stdin)
            driver.stdin.flush()
            ok, value = pickle.load(driver.stdout)  # (EOFError: the driver process ended)
            if not ok:
                raise value
            return value

        try:
            yield run
        finally:
            driver.stdin.close()
            driver.stdout.close()
            assert driver.wait(60) == 0
            processes = nodes.processes()
    assert processes and not [pid for pid, cmdline in processes.items()
                              if local._cmdline(pid) == cmdline]
    assert not local._processes_naming(str(temp))
    after = _held()  # (other tests' objects may have closed theirs meanwhile)
    assert after[0] <= before[0] and after[1] <= before[1]


def paths(media, names=VIDEOS):
    return [str(media.path(name)) for name in names]


def by_file(rows, key):  # {position: rows sorted by key}
    rows = sorted(rows, key=lambda row: (row["position"], row[key]))
    return {int(p): [row for row in rows if row["position"] == p] for p in {row["position"] for row in rows}}


def subtree(files):  # relative names of the files, and a pyarrow file system that opens them
    from pyarrow import fs
    root = os.path.dirname(files[0])
    return [os.path.relpath(path, root) for path in files], fs.SubTreeFileSystem(root, fs.LocalFileSystem())


@pytest.mark.parametrize("request_, how", [
    (dict(stride=3), None),
    (dict(indices=[0, 49, 21, 21, -1, 30]), None),
    (dict(times=[1.9, 0.1, 0.5, 1.234]), None),
    (dict(stride=2), "pyarrow"),
    (dict(stride=1), "approximate"),
    (dict(times=[1.9, 0.1, 0.5]), "frame_indexes"),
    (dict(indices=[0, 49, 21, -3]), "index_cache"),
])
def test_frames_equal_one_process(cluster, media, tmp_path, request_, how):
    files = paths(media)
    names, extra, options = files, {}, {}
    if how == "pyarrow":  # relative paths opened as file objects in the workers
        names, extra["filesystem"] = subtree(files)
    elif how == "approximate":
        options = extra["reader_options"] = dict(seek_mode="approximate")
    elif how == "frame_indexes":  # saved tables for some files, by path
        extra["frame_indexes"] = {path: str(tmp_path / Path(path).name) for path in files[::2]}
        for path, saved in extra["frame_indexes"].items():
            VideoReader(path).frame_index.save(saved)
    elif how == "index_cache":
        extra["index_cache"] = str(tmp_path / "cache")
    given = dict(request_)
    if "indices" in given:  # the same list for every file, given file by file
        given["indices"] = {name: given["indices"] for name in names}
    # 20 frames a task: every file is split at its key frames (25 apart).
    got = by_file(cluster(lambda: qray.read_frames(names, **given, **extra, frames_per_task=20,
                                                   batch_frames=8).take_all()),
                  "index" if "stride" in request_ else "request")
    for position, path in enumerate(files):
        with VideoReader(path, **options) as reader:
            picks = (np.arange(0, len(reader), request_["stride"]) if "stride" in request_
                     else np.array(request_["indices"]) % len(reader) if "indices" in request_
                     else reader.index_at(request_["times"]))
            want, times = reader[picks], reader.times[picks]
        rows = got[position]
        assert [row["index"] for row in rows] == picks.tolist()
        assert np.array_equal(np.stack([row["frame"] for row in rows]), want)
        assert np.array_equal([row["time"] for row in rows], times)
        assert {row["path"] for row in rows} == {names[position]}
        assert all(row["error"] is None for row in rows)
    if request_.get("stride") == 3:  # and as the ffmpeg tool decodes the first file
        assert_like_the_tool(np.stack([row["frame"] for row in got[0]]), ffmpeg_frames(files[0])[::3])
    if how == "index_cache":  # the planning scans were kept, one per file
        assert len(os.listdir(tmp_path / "cache")) == len(files)


def test_clips_equal_the_loader_and_follow_epochs(cluster, media, tmp_path):
    def columns(files, epoch, **options):  # in the driver: numpy batches, by file and clip
        dataset = qray.read_clips(files, clips_at_random_indices, seed=11, epoch=epoch, **options)
        batches = dataset.drop_columns(["path", "error"]).iter_batches(batch_size=5, batch_format="numpy")
        rows = sorted((dict(zip(batch, values)) for batch in batches for values in zip(*batch.values())),
                      key=lambda row: (row["position"], row["clip"]))
        return {name: np.concatenate([np.ravel(row[name]) for row in rows]) for name in rows[0]}

    files = paths(media)
    # With sound: "multi" has some, the others are silent.
    options = dict(num_clips=3, frames_per_clip=4, step=2, reader_options=dict(resize=(48, 64)),
                   audio=ClipAudio(16000, 1, missing="silence"))
    cache = str(tmp_path / "cache")
    # The first read keeps each file's scan in the cache, the later ones load it.
    first = cluster(columns, files, 1, index_cache=cache, **options)
    names, filesystem = subtree(files)  # file objects (the sound's reader opens its own)
    again = cluster(columns, names, 1, filesystem=filesystem, **options)
    later = cluster(columns, files, 2, index_cache=cache, **options)
    assert len(os.listdir(cache)) == len(files)
    with ClipLoader(files, clips_at_random_indices, seed=11, **options) as loader:
        loader.epoch = 1
        want = list(loader)
    for name in ("frames", "indices", "times", "audio"):
        items = np.concatenate([getattr(item, name).ravel() for item in want])
        assert np.array_equal(first[name], items) and np.array_equal(first[name], again[name])
    assert np.array_equal(first["position"], np.repeat(np.arange(len(files)), 3))
    assert not np.array_equal(first["indices"], later["indices"])


@pytest.mark.parametrize("names, seconds_per_task, tolerance", [
    (("h264_audio", "wav", "multi"), 60.0, 0),
    # A minute each, read by tasks of 7 s that seek to their first window.
    (("long_opus", "long_vorbis", "long_wav"), 7.0, 0),
    # Tasks of 20 s: the last bounded piece's planned stop lies past the
    # real end (the header says a little more than the samples hold).
    (("long_opus",), 20.0, 0),
    # AAC's noise substitution cannot be restored by a seek (see the guide).
    (("long_aac",), 7.0, 0.02),
])
def test_audio_windows_equal_one_process(cluster, media, names, seconds_per_task, tolerance):
    files = paths(media, names)
    rate, window, hop = 16000, 0.25, 0.1
    got = by_file(cluster(lambda: qray.read_audio(
        files, window=window, hop=hop, sample_rate=rate, channels=1, windows_per_block=7,
        seconds_per_task=seconds_per_task).take_all()), "window")
    length, step = int(window * rate), int(hop * rate)
    for position, path in enumerate(files):
        samples = AudioReader(path, sample_rate=rate, channels=1).read()
        rows = got[position]
        count = (samples.shape[1] - length) // step + 1
        assert [row["window"] for row in rows] == list(range(count))
        want = samples[:, np.arange(count)[:, None] * step + np.arange(length)]
        assert np.allclose(np.stack([row["samples"] for row in rows]), np.moveaxis(want, 0, 1),
                           rtol=0, atol=tolerance)
        assert np.allclose(np.diff([row["start"] for row in rows]), hop)


@pytest.mark.parametrize("read, column", [
    (lambda files: qray.read_frames(files, stride=10, on_error="skip",
                                    reader_options=dict(dtype="float32")), "frame"),
    (lambda files: qray.read_clips(files, clips_at_regular_times, on_error="skip", audio=(16000, 1),
                                   seconds_between_clip_starts=0.5, frames_per_clip=2), "audio"),
    (lambda files: qray.read_audio(files, window=0.5, on_error="skip"), "samples"),
    (lambda files: qray.read_frames(files, indices=[0]), None),  # raises
])
def test_failed_files_become_rows_or_errors(cluster, media, tmp_path, read, column):
    def rows_and_kept(files):  # in the driver: the rows and the positions of those kept as tensors
        try:
            rows = read(files).take_all()
        except LoadError as error:
            return str(error), None
        kept = qray.drop_failures(read(files)).select_columns([column, "position"])
        return rows, np.concatenate([batch["position"].numpy()
                                     for batch in kept.iter_torch_batches(batch_size=4)])

    (broken := tmp_path / "broken.mp4").write_bytes(b"not a video at all" * 100)
    rows, positions = cluster(rows_and_kept, [str(media.path("h264_audio")), str(broken),
                                              str(media.path("multi"))])
    if column is None:
        assert re.search(r"source 1 \('.*broken.mp4'\): RuntimeError: open input", rows)
        return
    failed = [row for row in rows if row["error"] is not None]
    assert [(row["path"], row["position"]) for row in failed] == [(str(broken), 1)]
    assert failed[0]["error"].startswith("RuntimeError: open input: ")
    assert failed[0][column].size == 0
    assert set(positions.tolist()) == {0, 2} and len(positions) == len(rows) - 1


class HookedFiles:
    """Local files as file objects that count the bytes read, call ``hook(file)``
    before each read and, opened in a Ray task, leave a mark "task-node" in ``marks``."""

    bytes = 0

    def __init__(self, hook=None, marks=None):
        self.hook, self.marks = hook, marks

    def open(self, path, mode="rb"):
        if self.marks is not None and (task := ray.get_runtime_context().get_task_id()) is not None:
            Path(self.marks, f"{task}-{ray.get_runtime_context().get_node_id()}").touch()
        file, files = open(path, mode), self

        class Hooked:
            def read(self, count=-1):
                if files.hook is not None:
                    files.hook(file)
                data = file.read(count)
                files.bytes += len(data)
                return data

            def __getattr__(self, name):
                return getattr(file, name)

        return Hooked()


def test_worker_killed_mid_read_loses_and_repeats_nothing(cluster, media, tmp_path):
    files, marker = paths(media, ("h264", "vp9")), str(tmp_path / "died")

    def rows():  # in the driver: (position, index) of every row
        driver = os.getpid()

        def die(file):  # a worker (the driver plans) past the middle of a file, the first time
            if (file.tell() > os.fstat(file.fileno()).st_size // 2 and os.getpid() != driver
                    and not os.path.exists(marker)):
                Path(marker).touch()
                os._exit(1)

        # One task per file, in blocks of about 0.5 MB (9 frames): the task
        # that dies has handed some on.
        dataset = qray.read_frames(files, filesystem=HookedFiles(die), frames_per_task=None,
                                   batch_frames=5)
        dataset.context.target_max_block_size = 500_000
        return [pair for batch in dataset.iter_batches(batch_size=16)
                for pair in zip(batch["position"].tolist(), batch["index"].tolist())]

    got = cluster(rows)
    assert os.path.exists(marker)  # a worker did die
    assert sorted(got) == [(p, i) for p, path in enumerate(files) for i in range(len(VideoReader(path)))]


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2 or "QUORVEX_AV_CPUS" in os.environ,
                    reason="needs two cores, and auto going by them")
def test_auto_in_a_task_goes_by_the_cpus_ray_gave_it(cluster):
    def budgets():  # in the driver: in a task given one CPU, an actor given none, the driver
        from quorvex_av._budget import cpu_budget

        @ray.remote(num_cpus=0)
        class Actor:
            def budget(self):
                return cpu_budget()

        task = ray.remote(num_cpus=1)(lambda: cpu_budget())
        return ray.get(task.remote()), ray.get(Actor.remote().budget.remote()), cpu_budget()

    assert cluster(budgets) == (1, 1, len(os.sched_getaffinity(0)))


# Tasks of at most one frame, of one or two groups of pictures, and of the whole video.
@pytest.mark.parametrize("frames_per_task", [1, 30, 60, 1000])
@pytest.mark.parametrize("name", ["h264", "vfr", "vp9", "shared_pts"])
def test_tasks_on_their_slices_of_the_index_decode_the_video(media, name, frames_per_task):
    path = str(media.path(name))
    with VideoReader(path) as reader:
        table, want = reader.frame_index, reader[:]
    segments = _ray_plan.segments(table, frames_per_task)
    assert [begin for begin, _ in segments] == [0, *(end for _, end in segments[:-1])]  # contiguous
    # Each ends at the last place to start a task within reach (the tasks of
    # frames_per_task=1 start at every one), else at the first one after it.
    places = [begin for begin, _ in _ray_plan.segments(table, 1)][1:] + [len(want)]
    for begin, end in segments:
        reach = [place for place in places if begin < place <= begin + frames_per_task]
        assert end == (reach[-1] if reach else next(place for place in places if place > begin))
        part = _ray_plan.table_slice(table, begin, end)
        assert np.array_equal(part.seek, table.seek[begin:end])
        with VideoReader(path, frame_index=part) as reader:
            assert np.array_equal(reader[:], want[begin:end])


@pytest.fixture(scope="module")
def long_video(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.mp4"
    encode([*_testsrc(40), *X264_GOP25], path)  # 1000 frames, a key frame every 25
    return str(path)


@pytest.mark.parametrize("how", ["header", "frame_indexes", "approximate", "clips"])
def test_planning_reads_headers_and_splits_long_videos(long_video, how):
    files = HookedFiles()
    if how == "clips":  # spans of 4 s of the timeline
        job = _ray_tasks.ReadJob("clips", _ray_tasks.Files(files), "raise", {},
                                 dict(num_clips=20, frames_per_clip=2), clips_at_random_indices)
        pieces = _ray_plan.plan_clips(job, 0, long_video, 4.0)
    else:
        job = _ray_tasks.ReadJob("frames", _ray_tasks.Files(files), "raise",
                                 dict(seek_mode="approximate") if how == "approximate" else {},
                                 {"indices": None, "times": None, "stride": 3})
        indexes = [VideoReader(long_video).frame_index] if how == "frame_indexes" else None
        job = qray._indexed_job(job, [long_video], indexes, None)
        pieces = _ray_plan.plan_video(job, 0, long_video, 100)
    # Planning reads the header only (a given index is no read of the file).
    assert files.bytes < os.path.getsize(long_video) / 4
    assert len(pieces) == 10
    if how == "clips":
        return
    # Read by the tasks, the pieces give every row once, each piece from a key frame.
    rows = [np.concatenate([block.column("index").to_numpy()
                            for block in _ray_tasks.run_task(job, [piece])]) for piece in pieces]
    assert np.array_equal(np.concatenate(rows), np.arange(0, 1000, 3))
    assert all(len(part) <= 34 and part[0] % 25 < 3 for part in rows)
    assert all((piece.table is None) == (how != "frame_indexes") for piece in pieces)


@pytest.mark.parametrize("read, arguments, message", [
    ("read_frames", dict(indices=[0], times=[0.0]), "give one of indices, times"),
    ("read_frames", dict(stride=0), "stride must be a positive integer"),
    ("read_frames", dict(on_error="ignore"), "on_error must be"),
    ("read_frames", dict(reader_options=dict(frame_index="a.npz")), "give frame indexes file by file"),
    ("read_clips", dict(num_clips=0, frames_per_clip=2), "num_clips must be at least 1"),
    ("read_clips", dict(num_clips=1, frames_per_clip=2, seconds_per_task=-1), "seconds_per_task must"),
    ("read_audio", dict(window=0), "window must be a positive number"),
    ("read_audio", dict(window=1, seconds_per_task=0), "seconds_per_task must"),
    ("read_audio", dict(window=1, shuffle="rows"), "shuffle must be None"),
])
def test_bad_arguments_raise_before_reading(read, arguments, message):
    sampler = [clips_at_random_indices] if read == "read_clips" else []
    with pytest.raises(ValueError, match=message):
        getattr(qray, read)(["a.mp4"], *sampler, **arguments)


def test_the_package_does_not_import_ray():
    code = "import sys, quorvex_av; print('ray' in sys.modules, 'pyarrow' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=Path(__file__).parent, check=True)
    assert done.stdout.split() == ["False", "False"]


@pytest.mark.parametrize("sampler, arguments, ray_options", [
    (clips_at_random_indices, dict(num_clips=10, frames_per_clip=3, step=2), None),
    (clips_at_random_indices, dict(num_clips=10, frames_per_clip=3, step=2),
     dict(override_num_blocks=2)),
    (clips_at_random_times, dict(num_clips=7, frames_per_clip=2,
                                 audio=ClipAudio(8000, 1, missing="silence")), None),
    (clips_at_regular_times, dict(seconds_between_clip_starts=3.0, frames_per_clip=2), None),
])
def test_clips_of_a_long_video_spread_over_tasks(cluster, long_video, tmp_path, sampler,
                                                 arguments, ray_options):
    rows = cluster(lambda: qray.read_clips(
        [long_video], sampler, seed=5, epoch=1, seconds_per_task=8, ray_options=ray_options,
        filesystem=HookedFiles(marks=str(tmp_path)), **arguments).take_all())
    want = qray.read_clips_locally([long_video], sampler, seed=5, epoch=1, seconds_per_task=8,
                                   filesystem=HookedFiles(), **arguments).to_pylist()
    # Whatever the number of tasks, the rows are those of one process.
    rows.sort(key=lambda row: row["clip"])
    assert [row["clip"] for row in rows] == [row["clip"] for row in want]
    for name in ("indices", "times", "frames", "audio"):
        if name in rows[0]:
            assert all(np.array_equal(got[name], np.asarray(w[name]).reshape(got[name].shape))
                       for got, w in zip(rows, want))
    assert len(rows) == arguments.get("num_clips", len(rows))
    # Every clip lies inside one span of 8 s (the last, from 32 s, runs to the end).
    spans = [np.minimum(np.asarray(row["times"]) // 8, 3) for row in rows]
    assert all(span.min() == span.max() for span in spans)
    assert len({int(span[0]) for span in spans}) >= 3
    if ray_options is None:  # a task per span, on both nodes
        tasks = [name.split("-") for name in os.listdir(tmp_path)]
        assert len({task for task, _ in tasks}) >= 4 and len({node for _, node in tasks}) == 2


def test_paths_like_rays_file_readers(cluster, media, tmp_path):
    """A directory URL: its videos (not its other files), with the values of
    their key=value directories as columns, shuffled, and no path column."""
    for name, video in {"year=2024/kind=a/x.mp4": "h264", "year=2025/kind=b/y.MP4": "vp9",
                        "year=2025/kind=b/notes.txt": None}.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(media.path(video).read_bytes() if video else b"not a video")
    def rows(root):  # in the driver
        from ray.data.datasource.partitioning import Partitioning
        return qray.read_frames([f"file://{root}", f"{root}/gone.mp4"], indices=[0, -1],
                                file_extensions=["MP4"], partitioning=Partitioning("hive"),
                                include_paths=False, ignore_missing_paths=True,
                                shuffle="files").take_all()

    rows = cluster(rows, str(tmp_path))
    assert "path" not in rows[0]
    assert sorted((row["position"], row["year"], row["kind"], row["request"]) for row in rows) == [
        (0, "2024", "a", 0), (0, "2024", "a", 1), (1, "2025", "b", 0), (1, "2025", "b", 1)]


@pytest.mark.skipif(importlib.util.find_spec("decord") is None,
                    reason="Ray's read_videos needs decord (pip install decord)")
def test_every_frame_as_rays_read_videos_gives_it(cluster, media):
    files = paths(media, ("h264", "multi"))  # decord reads no VP9

    def both():  # in the driver: (path, index, frame) of each reader's rows
        ours = [(r["path"], r["index"], r["frame"]) for r in qray.read_frames(files).take_all()]
        theirs = ray.data.read_videos(files, include_paths=True).take_all()
        return ours, [(r["path"], r["frame_index"], r["frame"]) for r in theirs]

    for rows in cluster(both):
        for path in files:
            frames = [frame for p, _, frame in sorted((r for r in rows if r[0] == path),
                                                      key=lambda r: r[1])]
            assert_like_the_tool(np.stack(frames), ffmpeg_frames(path))


@pytest.mark.parametrize("paths, options, want", [
    ("memory://tree", {}, ["/tree/a/one.mp4", "/tree/a/two.wav", "/tree/b/three.mp4"]),
    ("memory://tree/*/*.mp4", {}, ["/tree/a/one.mp4", "/tree/b/three.mp4"]),
    (["memory://tree/b", "memory://tree/a/two.wav"], {}, ["/tree/b/three.mp4", "/tree/a/two.wav"]),
    ("memory://tree", dict(file_extensions=["WAV"]), ["/tree/a/two.wav"]),
    (["memory://tree/b", "memory://nothing"], dict(ignore_missing_paths=True),
     ["/tree/b/three.mp4"]),
    (["memory://nothing"], {}, FileNotFoundError),
    (["memory://tree/b", "local.mp4"], {}, ValueError),
])
def test_paths_expand_as_rays_readers_do(paths, options, want):
    import fsspec
    from quorvex_av._ray_files import file_list
    memory = fsspec.filesystem("memory")
    for name in ("a/one.mp4", "a/two.wav", "b/three.mp4", "b/.hidden.mp4"):
        memory.pipe(f"/tree/{name}", b"x")
    if isinstance(want, type):
        with pytest.raises(want):
            file_list(paths, **options)
    else:
        listed = file_list(paths, **options)
        assert listed.paths == want and listed.filesystem is memory

"""Readers with several decoders (``workers=N``): every request gives what one decoder gives,
frames, times and errors alike; the workers share the source, stop with the reader, leave no thread."""

import gc
import io
import json
import subprocess
import sys
import threading

import numpy as np
import pytest

from media import damaged, damaged_frame, outcome
from test_frame_index import scans
from quorvex_av import DamagedFrameError, Decoder, VideoReader, samplers
from quorvex_av._requests import Workers

# Every video clip of the suite that a reader opens ("mirrored" as stored), and output options.
VIDEO_CLIPS = [*((name, {}) for name in ["h264", "h264_audio", "vp9", "mpeg4", "gray8", "gray16le", "gray16be", "rgba",
                                         "rotated90", "multi", "fullrange", "tagged", "no_duration", "unknown_duration",
                                         "odd_width", "shared_pts", "vfr", "ntsc_mkv", "ntsc_mp4", "ts_bframes"]),
               ("mirrored", dict(auto_rotate=False)), ("rotated90", dict(dtype="float32", resize=(40, 50))),
               ("rotated90", dict(dtype="native", auto_rotate=False)),
               ("rotated90", dict(crop=(10, 20, 64, 48), dtype="uint16"))]
# Where approximate mode finds the exact frames: constant rate, and a header that counts them (not
# "multi": Matroska's duration is its longest track's, which newer muxers end a fraction of a frame later).
CONSTANT_RATE = {"h264", "h264_audio", "vp9", "gray8", "rgba", "rotated90", "mirrored", "fullrange",
                 "tagged", "unknown_duration", "odd_width", "ntsc_mkv", "ntsc_mp4", "ts_bframes"}


def worker_threads():
    return [t for t in threading.enumerate() if t.name.startswith("quorvex-worker")]


@pytest.fixture(autouse=True)
def no_worker_left():  # every test's readers are gone with it, and their workers too
    yield
    gc.collect()
    assert not worker_threads()


def assert_same(one, many):
    if one[0] != "ok" or many[0] != "ok":
        assert one == many
        return
    arrays = [(a.frames, a.indices, a.times) if isinstance(a, samplers.Clips) else a if isinstance(a, (list, tuple))
              else [a] for a in (one[1], many[1])]
    assert [(a.dtype, a.shape) for a in arrays[0]] == [(a.dtype, a.shape) for a in arrays[1]]
    assert all(np.array_equal(a, b) for a, b in zip(*arrays))


def spread(reader):  # frame indices all over the stream, unsorted, with repeats
    count = len(reader)
    picks = np.random.default_rng(7).integers(0, count, 14)
    return [*picks.tolist(), 0, count - 1, int(picks[3])]


def times(reader):
    start = reader.header.start or 0.0
    return np.concatenate([np.linspace(start + 0.01, start + 2.7, 11), [start + 0.3]])


ALL = {
    "indices": lambda r: r[spread(r)],
    "slice": lambda r: r[1::3],
    "batches": lambda r: list(r.batches(7)),
    "random_clips": lambda r: samplers.clips_at_random_indices(r, 5, 3, step=2, seed=4),
    "regular_clips": lambda r: samplers.clips_at_regular_indices(r, 4, 4),
    "time_clips": lambda r: samplers.clips_at_regular_times(r, 0.35, 3),
    "at": lambda r: r.at(times(r)),
    # After a scan the key frames are known, and the times are cut at them.
    "at_scanned": lambda r: (len(r), r.at(times(r)))[1],
    "at_past_the_end": lambda r: r.at([0.1, 0.9, 60.0]),
    "every_frame": lambda r: samplers.clips_at_regular_indices(r, len(r), 1),  # each frame with its time
}


@pytest.mark.parametrize("name, options", VIDEO_CLIPS, ids=["-".join([n, *o]) for n, o in VIDEO_CLIPS])
def test_every_way_of_reading_gives_what_a_scanning_reader_gives(media, decoder_calls, tmp_path, name, options):
    # One decoder in exact mode is the reference for a saved index and for
    # workers=2 sharing bytes, in approximate mode for approximate mode with
    # workers=2.  On constant-rate clips approximate mode finds the exact
    # frames too (its times are nominal, and so are the ranges its errors name).
    path = str(media.path(name))
    exact = VideoReader(path, **options)
    want = {key: outcome(lambda: request(exact)) for key, request in ALL.items()}
    exact.frame_index.save(tmp_path / "index")
    decoder_calls.clear()
    saved = VideoReader(path, frame_index=tmp_path / "index", **options)
    assert saved.metadata == exact.metadata and saved.header == exact.header
    for key, request in ALL.items():
        assert_same(want[key], outcome(lambda: request(saved)))
    approximate = VideoReader(path, seek_mode="approximate", **options)
    if name in CONSTANT_RATE:
        assert approximate.seek_mode == "approximate" and len(approximate) == approximate.metadata.num_frames
        assert (len(approximate), approximate.header) == (len(exact), exact.header)
        # Matroska's ticks put a few real times a millisecond off the nominal ones.
        assert approximate.times == pytest.approx(exact.times, abs=1.001e-3 if name == "ntsc_mkv" else 1e-6)
        for key in ("indices", "slice", "batches", "random_clips", "regular_clips", "every_frame"):
            assert_same(want[key], outcome(lambda: ALL[key](approximate)))
    assert scans(decoder_calls) == 0  # neither the saved index nor approximate mode scans, nor their headers
    approximate_want = {key: outcome(lambda: request(approximate)) for key, request in ALL.items()}
    for reader, expected in [(VideoReader(media.path(name).read_bytes(), workers=2, **options), want),
                             (VideoReader(path, seek_mode="approximate", workers=2, **options), approximate_want)]:
        for key, request in ALL.items():
            assert_same(expected[key], outcome(lambda: request(reader)))
        reader.close()


def two_damaged_groups(media, tmp_path):  # impossible NAL unit sizes at the start of P-frames in two groups
    (tmp_path / "once.mp4").write_bytes(damaged(media.path("h264"), 0, 30, 0x7F))
    return damaged(tmp_path / "once.mp4", 0, 62, 0x7F), 2


def frame_damaged(clip, frame, how, lost):
    return lambda media, tmp_path: (damaged_frame(media.path(clip), 0, frame, how), lost)


# "cavlc": a P-frame half zeroed without CABAC, whose damaged slice leaves
# coefficients behind that a flush keeps; its concealment depends on groups before.
DAMAGED = {
    "two_groups": two_damaged_groups,
    # P-frame 13 of the second group half zeroed: concealed, skipping nothing, from what came before.
    "concealed": frame_damaged("h264_gop10", 13, "half", 0),
    "skipped": frame_damaged("h264_gop10", 13, "first", 1),  # refused as invalid: the frame lost
    "concealed_cavlc": frame_damaged("h264_cavlc", 23, "half", 0),  # the third group
    "concealed_cavlc_end": frame_damaged("h264_cavlc", 49, "half", 0),  # the last frame
    # Frame 43: the B-frames before it, decoded after it, show the damage unflagged; batches
    # of 7 cut the last segment (from key frame 30) at 42.
    "concealed_cavlc_tail": frame_damaged("h264_cavlc", 43, "half", 0),
    # The first key frame refused (and, its header unreadable, not listed as
    # a key frame): the first group is lost, frame 10 stands in.
    "first_key_frame": frame_damaged("h264_gop10", 0, "first", 1),
}
DAMAGED_REQUESTS = {
    "all": lambda r: r[:], "step": lambda r: r[::2], "batches_9": lambda r: list(r.batches(9)),
    "batches_2": lambda r: list(r.batches(2)), "batches_7": lambda r: list(r.batches(7)),
    "iter": lambda r: np.stack(list(r)), "at": lambda r: r.at(times(r)), "at_start": lambda r: r.at([0.01, 0.5]),
    "picks": lambda r: r[[31, len(r) - 1, 10, 13, 12]], "clips": lambda r: samplers.clips_at_regular_indices(r, 6, 4),
    "frame_13": lambda r: r[13],
    # Frame 19 reads on into the next group's damage ("concealed_cavlc"), which the seek back must not keep.
    "after_frame_19": lambda r: (r[19], r[:])[1],
    "batches_25": lambda r: list(r.batches(25)),  # one segment, not shared out: on through the damaged group
    # After a request that met the damage, one decoder does not go on through what it made of it.
    "after_13": lambda r: (r[10:14], r[14:])[1], "after_23": lambda r: (r[20:24], r[24:])[1],
    "up_to_48": lambda r: (r[[20, 6]], r[10:49])[1],  # frame 49's damage reaches 47 and 48, shown before it
    "regular_times": lambda r: samplers.clips_at_regular_times(r, 0.13, 5, seconds_between_frames=0.03),
    "key_frame_10": lambda r: r[[3, 7, 10, 47]],  # key frame 10 last in its run: decoded on into frame 13's packet
}


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("damage", DAMAGED)
def test_damaged_packets_fail_or_are_skipped_alike(media, tmp_path, strict, damage):
    # Frames, times, counts and errors of one decoder: a decoder that seeks to a key frame
    # after damage (or into it) does not always decode what one going on through it decodes.
    data, lost = DAMAGED[damage](media, tmp_path)
    one = VideoReader(data, strict=strict)
    want = {key: (outcome(lambda: request(one)), one.skipped_packets) for key, request in DAMAGED_REQUESTS.items()}
    if not strict:  # one bad packet costs its frame only, which the next one stands in for
        assert all(want[key][0][0] == "ok" for key in DAMAGED_REQUESTS if key not in ("at", "frame_13", "at_start"))
        assert len(want["all"][0][1]) == len(one)
        assert want["all"][1] == lost
        assert_same(want["all"][0], want["after_frame_19"][0])
        assert want["frame_13"][0][0] == (DamagedFrameError if damage == "skipped" else "ok")
        if damage in ("first_key_frame", "skipped"):  # nothing decoded at 0.01 s, or frame 13 lost
            failed = want["at_start" if damage == "first_key_frame" else "frame_13"][0]
            assert failed[0] == DamagedFrameError and "damaged and skipped" in failed[1]
        if damage == "skipped":
            assert np.array_equal(want["all"][0][1][13], want["all"][0][1][14])
    for workers in (2, 3):
        many = VideoReader(data, strict=strict, workers=workers)
        for key, request in DAMAGED_REQUESTS.items():
            assert_same(want[key][0], outcome(lambda: request(many)))
            assert many.skipped_packets == want[key][1], key
        many.close()


@pytest.mark.parametrize("finish", ["close", "with", "collect", "break_then_close", "break_then_collect"])
def test_no_thread_or_reference_is_left_behind(media, finish):
    data = media.path("h264").read_bytes()
    one = VideoReader(data)
    for other, threads in ((bytearray(data), 2), (io.BytesIO(data), 0)):  # copied once; a file object: one decoder
        with VideoReader(other, workers=3) as reader:
            assert np.array_equal(reader[spread(reader)], one[spread(one)]) and len(worker_threads()) == threads
    before = sys.getrefcount(data)
    reader = VideoReader(data, workers=3)
    reader[spread(reader)]
    # The reader and each worker's file object hold the caller's bytes, not copies of them.
    assert len(worker_threads()) == 2 and sys.getrefcount(data) == before + 3
    if finish.startswith("break"):  # a loop left after its first batch
        next(reader.batches(5))
    if finish == "with":
        with reader:
            pass
    elif finish.endswith("close"):
        reader.close()
    else:
        del reader
        gc.collect()
    assert not worker_threads()
    reader = None
    gc.collect()
    assert sys.getrefcount(data) == before


@pytest.mark.parametrize("meanwhile", ["close", "request"])
def test_calls_while_a_request_runs_are_refused_and_the_request_completes(media, meanwhile):
    # close() and a request from another thread are refused ("Already
    # borrowed") while a request runs, which then completes as one decoder's.
    path = media.path("h264")
    reader = VideoReader(path, workers=2)
    wanted = list(range(len(reader)))[::-1] * 8
    expected = VideoReader(path)[wanted]
    results, refused, closed = [], 0, False
    worker = threading.Thread(target=lambda: results.append(outcome(lambda: reader[wanted])))
    worker.start()
    while worker.is_alive() and not closed:
        if reader._workers._request:
            got = outcome(reader.close if meanwhile == "close" else lambda: reader[[5, 60]])
            closed = meanwhile == "close" and got[0] == "ok"  # the request had just ended
            assert got[0] == "ok" or got == (RuntimeError, "Already borrowed")
            refused += got[0] != "ok"
    worker.join()
    assert refused, "the call never met the running request"
    assert_same(("ok", expected), results[0])
    if not closed:
        assert np.array_equal(reader[[3, 40]], expected[[-4, -41]])  # still open
        reader.close()
    with pytest.raises(RuntimeError, match="^decoder is closed$"):
        reader[[3, 40]]
    assert not worker_threads()


# Run in a process of its own, which sends itself SIGINT once a decoder is
# inside a call (its counter taken).  Without the interpreter lock a request
# may end before the signal is sent: it is made again until the signal meets one.
CTRL_C = """
import contextlib, json, signal, sys, threading
import numpy as np
from quorvex_av import VideoReader

def outcome(call):
    try:
        return call()
    except Exception as error:
        return f"{type(error).__name__}: {error}"

def ctrl_c_when_busy(decoder):
    def watch():
        while not isinstance(outcome(decoder.skipped_packets), str):
            threading.Event().wait(0.001)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    threading.Thread(target=watch, daemon=True).start()

def workers_alive():
    return [t.name for t in threading.enumerate() if t.name.startswith("quorvex-worker")]

path = sys.argv[1]
want = VideoReader(path)[[3, 77]]
for within in (False, True):  # the reader used as it is, or as a context manager
    reader = VideoReader(path, workers=3)
    len(reader)
    ctrl_c_when_busy(reader._decoder)
    try:
        with reader if within else contextlib.nullcontext():
            for _ in range(20):
                REQUEST
        print(json.dumps("not interrupted"))
    except KeyboardInterrupt:
        print(json.dumps(workers_alive()))  # all stopped before it propagates
    print(json.dumps(outcome(lambda: bool(np.array_equal(reader[[3, 77]], want)))))
    print(json.dumps(outcome(lambda: sum(len(batch) for batch in reader.batches(16)) == len(reader))))
    print(json.dumps(outcome(reader.close)))
"""


@pytest.mark.parametrize("request_", ["reader[list(range(300))]", "list(reader.batches(16))"])
def test_ctrl_c_during_a_request_stops_every_worker_and_leaves_the_reader_usable(media, tmp_path, request_):
    done = subprocess.run([sys.executable, "-c", CTRL_C.replace("REQUEST", request_), str(media.path("long_groups"))],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)  # not the unbuilt source tree
    assert done.returncode == 0, done.stderr
    closed = "RuntimeError: decoder is closed"  # after the with block
    assert [json.loads(line) for line in done.stdout.splitlines()] == [[], True, True, None, [], closed, closed, None]


@pytest.mark.parametrize("order", [None, [2, 1, 0], [1, 2, 0]])
def test_runs_started_out_of_order_fail_with_the_earliest_failure(media, order):
    path = str(media.path("h264"))
    workers = Workers(2, Decoder(path, "video"), lambda: (Decoder(path, "video"), None))
    ran = []

    def run(index):
        def call(decoder):
            ran.append(index)
            if index > 0:
                raise ValueError(f"run {index}")
            return index
        return call

    with pytest.raises(ValueError, match="^run 1$"):
        workers.run([run(0), run(1), run(2)], order)
    assert 0 in ran and 1 in ran
    assert workers.run([run(0)]) == [0]  # usable after the failure
    workers.close()

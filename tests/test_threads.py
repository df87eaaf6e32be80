"""Objects shared by threads (truly at once on a free-threaded interpreter): a call succeeds with the
single-threaded answer or fails at once with a message the guide lists; nothing crashes or hangs."""

import io
import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from media import BytesFile, outcome, run_forked
from quorvex_av import ClipLoader, Decoder, VideoReader
from quorvex_av.samplers import clips_at_regular_indices

BUSY = {"Already borrowed", "Already mutably borrowed"}
INTERRUPTED = "interrupted: another thread asked this decoder to stop (Decoder.interrupt)"
REFUSED = "a decoder reading a file object cannot be used in a forked child process; open it in the child"
THREADS = 6
BIG = [("resize", 0, 0, 240, 320)]  # 15 rounds of the clip's targets: 27 MB, from the pool all decoders share


def run_together(work, count=THREADS):
    """work(i) on `count` threads released at once; the RuntimeError messages they met
    (other exceptions propagate, and a thread that hangs raises TimeoutError)."""
    start = threading.Barrier(count, timeout=30)

    def run(i):
        start.wait()
        try:
            work(i)
        except RuntimeError as error:
            return str(error)

    pool = ThreadPoolExecutor(count)
    try:
        return [message for message in pool.map(run, range(count), timeout=120) if message is not None]
    finally:
        pool.shutdown(wait=False)


@pytest.fixture(scope="module")
def clip(media):
    """(path, bytes, targets of 8 frames, their frames decoded on one thread)."""
    path = str(media.path("h264"))
    decoder = Decoder(path, "video")
    targets = [(pts, 0) for pts, _, _ in decoder.scan()[10:18]]
    return path, media.path("h264").read_bytes(), targets, decoder.decode_video(targets, "uint8", True)[0]


def shared(kind, clip, source=None, threads=1):
    """A decoder or reader of the clip, and its calls of one round with the answers they must give."""
    path, _, targets, expected = clip
    if kind == "decoder":
        decoder = Decoder(source or path, "video", threads=threads)
        return decoder, [(lambda: decoder.decode_video(targets, "uint8", True)[0], expected),
                         (lambda: decoder.metadata()["width"], 160), (lambda: len(decoder.scan()), 75),
                         (decoder.skipped_packets, 0),
                         (lambda: decoder.decode_timestamps([0.5], "uint8")[0].shape[0], 1)]
    one, picks = VideoReader(path), [*range(10, 18), 40, 70]  # in three groups of pictures: workers decode too
    reader = VideoReader(source or path, workers=int(kind[-1]), threads=threads)
    return reader, [(lambda: reader[picks], one[picks]), (lambda: reader.metadata.width, 160),
                    (lambda: reader.at([0.5, 1.0]), one.at([0.5, 1.0]))]


@pytest.mark.parametrize("kind, racer", [("decoder", "none"), ("decoder", "interrupt"), ("decoder", "close"),
                                         ("reader1", "none"), ("reader2", "none"), ("reader2", "close")])
def test_one_decoder_or_reader_shared_by_threads(clip, kind, racer):
    # With a racer, one more thread keeps interrupting the callers, and for
    # "close" one of them closes it part-way.
    target, calls = shared(kind, clip)
    answers = []  # whether each answer given was right

    def work(i):
        if i == THREADS - 1 and racer == "interrupt":
            for _ in range(300):
                target.interrupt()
            return
        for round_ in range(8):
            while racer == "close" and i == 0 and round_ == 2:  # close needs exclusive use: retried
                try:
                    return target.close()
                except RuntimeError as error:
                    assert str(error) in BUSY
            for call, want in calls:
                try:
                    answer = call()
                except RuntimeError as error:
                    if str(error) == "decoder is closed":
                        return
                    if str(error) not in BUSY and str(error) != INTERRUPTED:
                        raise
                    continue
                answers.append(np.array_equal(answer, want))

    assert run_together(work) == []
    assert answers and all(answers)
    if racer == "close":
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            calls[0][0]()
    else:  # as good as new, and calls that only read it never conflict
        assert np.array_equal(calls[0][0](), calls[0][1])
        assert run_together(lambda i: [calls[1][0]() for _ in range(200)]) == []
        target.close()


# Forking with decoding threads running is the point here (newer Pythons warn).
@pytest.mark.skipif(not hasattr(os, "fork") or bool(os.environ.get("QUORVEX_TSAN")),
                    reason="needs fork (and threads after it, which ThreadSanitizer cannot follow)")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("kind, source, threads, busy", [
    ("decoder", "path", 1, True), ("decoder", "bytes", 1, True), ("decoder", "path", 2, False),
    ("decoder", "bytes", 2, False), ("decoder", "file", 1, False),
    *(pytest.param(kind, source, 1, True, marks=pytest.mark.skipif(bool(os.environ.get("QUORVEX_SANITIZED")),
                   reason="the sanitizer's allocator is not fork-safe while a reader's workers allocate"))
      for kind, source in [("reader1", "path"), ("reader1", "file"), ("reader3", "path"), ("reader3", "bytes")])])
def test_a_forked_child_reopens_or_refuses_what_it_inherits(clip, kind, source, threads, busy):
    # Busy: forked while a parent thread is in a call on it, taking and giving
    # back pooled batches; the child's threads race for their first use of a
    # count the parent left taken, and the pool's lock is not left held.
    path, data, targets, _ = clip
    target, calls = shared(kind, clip, {"path": path, "bytes": data, "file": io.BytesIO(data)}[source], threads)
    big = int(Decoder(path, "video").decode_video(targets * 15, "uint8", True, BIG)[0].sum(dtype=np.uint64))
    stop = threading.Event()

    def churn():  # a reader's request for every frame keeps its workers decoding too
        while busy and not stop.is_set():
            target.decode_video(targets * 15, "uint8", True, BIG) if kind == "decoder" else target[:]

    def child():
        answers = []

        def work(i):
            for index, (call, want) in [*enumerate(calls[:2])] * 3:
                try:
                    answers.append((index, np.array_equal(call(), want)))
                except RuntimeError as error:
                    if str(error) not in BUSY:
                        raise
        messages = sorted(set(run_together(work, THREADS if busy else 1)))
        target.close()  # frees nothing of the parent's
        return (messages, (0, True) in answers and all(right for _, right in answers),  # frames decoded, all right
                int(Decoder(path, "video").decode_video(targets * 15, "uint8", True, BIG)[0].sum(dtype=np.uint64)))

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(3 if busy else 1):
            while busy and outcome((target if kind == "decoder" else target._decoder).skipped_packets)[0] == "ok":
                threading.Event().wait(0.001)  # until a call is in progress
            assert run_forked(child) == ("ok", ([REFUSED], False, big) if source == "file" else ([], True, big))
    finally:
        stop.set()
        thread.join(60)
    assert np.array_equal(calls[0][0](), calls[0][1])  # the parent's is undisturbed
    target.close()


@pytest.mark.parametrize("kind", ["bytes", "path", "file"])
def test_separate_decoders_of_one_source(clip, kind):
    path, data, targets, expected = clip
    meet = threading.Barrier(THREADS, timeout=30)  # file objects: the first reads wait for each other
    results = [None] * THREADS

    def work(i):
        source = BytesFile(data) if kind == "file" else data if kind == "bytes" else path
        decoder = Decoder(source, "video")
        if kind == "file":
            source.before_first_read(meet.wait)
        results[i] = [decoder.decode_video(targets, "uint8", True)[0] for _ in range(3)]
        decoder.close()

    assert run_together(work) == []
    assert all(result is not None and all(np.array_equal(got, expected) for got in result) for result in results)


@pytest.mark.parametrize("racer", ["none", "close"])
def test_one_clip_loader_shared_by_threads(clip, racer):
    # Consumers take the clips of one pass in turns (a generator is not
    # re-entrant); the loader's own threads decode meanwhile.
    path, data, _, _ = clip
    sources = [path, data] * 4
    arguments = dict(num_clips=2, frames_per_clip=2, step=3)
    expected = {clips.position: clips.frames for clips in ClipLoader(sources, clips_at_regular_indices,
                                                                  threads=1, **arguments)}
    loader = ClipLoader(sources, clips_at_regular_indices, threads=3, prefetch=4, **arguments)
    taken, turn, got = iter(loader), threading.Lock(), {}

    def work(i):
        if racer == "close" and i == THREADS - 1:
            return loader.close()
        while True:
            with turn:
                clips = next(taken, None)
            if clips is None:
                return
            got[clips.position] = clips.frames

    assert run_together(work) == []
    if racer == "none":
        assert sorted(got) == sorted(expected)
    assert all(np.array_equal(data, expected[position]) for position, data in got.items())

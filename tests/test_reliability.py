"""Bad input and concurrency: nothing crashes, leaks or stays open."""

import gc
import io
import os
import threading
import tracemalloc
import weakref

import numpy as np
import pytest

from quorvex_av import Decoder

SANITIZED = bool(os.environ.get("QUORVEX_SANITIZED"))


def rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Blob(io.BytesIO):
    """A BytesIO that can be weakly referenced."""


def cycle(kind, data, path):
    """One open, decode and close on a source of the given kind."""
    source = {"path": path, "bytes": data, "file": Blob(data)}[kind]
    alive = weakref.ref(source) if kind == "file" else None
    decoder = Decoder(source, "video")
    frames, _, _ = decoder.decode_video([(0, 0)], "uint8", True)
    decoder.close()
    del source, decoder
    assert alive is None or alive() is None
    return frames.shape


def failures(data):
    """Calls that fail, each in its own way."""
    yield lambda: Decoder(b"\0" * 4096, "video")
    yield lambda: Decoder(io.BytesIO(data), "audio")
    yield lambda: Decoder(data, "video").decode_video("x", "uint8", True)
    yield lambda: Decoder(data, "video").decode_video([(0, 0)], "uint9", True)
    yield lambda: Decoder(data, "video").decode_video([(10**9, 0)], "uint8", False)
    yield lambda: Decoder(data, "video").decode_audio(16000, 1)
    closed = Decoder(data, "video")
    closed.close()
    yield closed.scan


@pytest.mark.skipif(SANITIZED or not os.path.isdir("/proc/self/fd"),
                    reason="needs /proc; the sanitizer's allocator keeps freed memory")
@pytest.mark.parametrize("kind", ["path", "bytes", "file", "failures"])
def test_cycles_leave_memory_and_descriptors_flat(media, kind):
    path = str(media.path("h264"))
    data = media.path("h264").read_bytes()

    def run(n):
        for _ in range(n):
            if kind == "failures":
                for call in failures(data):
                    with pytest.raises((RuntimeError, ValueError, TypeError)):
                        call()
            else:
                cycle(kind, data, path)
        gc.collect()

    run(50)  # warm-up: codecs, caches and the buffer pool settle
    fds, rss = open_fds(), rss_mib()
    tracemalloc.start()
    run(100)
    before = tracemalloc.get_traced_memory()[0]
    run(400)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert open_fds() == fds
    assert after - before < 64 * 1024  # Python objects: nothing accumulates
    assert rss_mib() - rss < 16  # native memory too


def test_parallel_decoders_match_single_threaded(media):
    path = str(media.path("h264"))
    packets = Decoder(path, "video").scan()
    targets = [(pts, 0) for pts, _, _ in packets[:30]]
    expected = Decoder(path, "video").decode_video(targets, "uint8", True)[0]
    results = [None] * 6

    def work(i):
        decoder = Decoder(path if i % 2 else open(path, "rb"), "video")
        results[i] = decoder.decode_video(targets, "uint8", True)[0]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(result, expected) for result in results)


def test_threads_racing_on_one_decoder_get_only_borrow_errors(media):
    path = str(media.path("h264"))
    decoder = Decoder(path, "video")
    targets = [(pts, 0) for pts, _, _ in decoder.scan()[:10]]
    expected = decoder.decode_video(targets, "uint8", True)[0]
    errors, unexpected = [], []

    def hammer():
        for _ in range(30):
            try:
                result = decoder.decode_video(targets, "uint8", True)[0]
                if not np.array_equal(result, expected):
                    unexpected.append("different frames")
                decoder.metadata()
            except RuntimeError as error:
                (errors if str(error) in ("Already borrowed", "Already mutably borrowed")
                 else unexpected).append(str(error))

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert unexpected == []
    assert np.array_equal(decoder.decode_video(targets, "uint8", True)[0], expected)


class Gate(io.BytesIO):
    """Reads wait for the gate once armed; counts the waits."""

    def __init__(self, data):
        super().__init__(data)
        self.armed = False
        self.entered = threading.Event()
        self.gate = threading.Event()

    def read(self, size=-1):
        if self.armed:
            self.entered.set()
            assert self.gate.wait(30)
        return super().read(size)


def test_close_during_a_decode_is_refused_and_the_decode_completes(media):
    data = media.path("h264_audio").read_bytes()  # larger than one read
    expected = Decoder(data, "audio").decode_audio(16000, 1)
    source = Gate(data)
    decoder = Decoder(source, "audio")
    source.armed = True
    result = []
    worker = threading.Thread(target=lambda: result.append(decoder.decode_audio(16000, 1)))
    worker.start()
    assert source.entered.wait(30)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        decoder.close()
    source.armed = False
    source.gate.set()
    worker.join(30)
    assert np.array_equal(result[0][0], expected[0]) and result[0][1] == expected[1]
    decoder.close()


class Hostile(io.BytesIO):
    """A file object that turns hostile once armed."""

    def __init__(self, data, read=None, seek=None):
        super().__init__(data)
        self.armed = False
        self.bad_read, self.bad_seek = read, seek

    def read(self, size=-1):
        if self.armed and self.bad_read:
            return self.bad_read(self, size)
        return super().read(size)

    def seek(self, offset, whence=0):
        if self.armed and self.bad_seek:
            return self.bad_seek(self, offset, whence)
        return super().seek(offset, whence)


def raise_io(self, *args):
    raise OSError("gone")


def wait_then_raise(self, *args):
    threading.Event().wait(0.05)
    raise OSError("timed out")


@pytest.mark.parametrize(
    "read, seek",
    [
        (lambda self, n: b"x" * (n + 1), None),
        (lambda self, n: "text", None),
        (lambda self, n: None, None),
        (lambda self, n: bytearray(n), None),
        (raise_io, None),
        (wait_then_raise, None),
        (None, lambda self, offset, whence: "0"),
        (None, lambda self, offset, whence: 1.5),
        (None, raise_io),
    ],
)
def test_hostile_file_objects_fail_cleanly(media, read, seek):
    data = media.path("multi").read_bytes()
    expected = Decoder(data, "video").decode_video([(23, 23)], "uint8", True)[0]
    source = Hostile(data, read, seek)
    decoder = Decoder(source, "video")
    source.armed = True
    for call in (decoder.scan, lambda: decoder.decode_video([(23, 23)], "uint8", True),
                 lambda: decoder.decode_timestamps([0.5], "uint8")):
        try:
            call()
        except RuntimeError as error:  # one of the media layer's own messages
            assert str(error).split(":")[0] in {
                "seek", "scan packets", "read packet", "no decoded frame at PTS 23",
                "no frame at or before requested timestamp"}, str(error)
    source.armed = False
    # Once the file behaves, a decode starting from a seek works again, or the
    # decoder keeps failing with the same kind of error; it is never corrupt.
    try:
        assert np.array_equal(decoder.decode_video([(23, 23)], "uint8", True)[0], expected)
    except RuntimeError:
        pass
    decoder.close()


@pytest.mark.parametrize(
    "size, count, dtype, error",
    [
        (2**31 - 1, 1, "uint16", RuntimeError),  # the byte count overflows
        (2**31 - 1, 1, "uint8", MemoryError),  # counts, but cannot exist
        (60000, 1_000, "uint8", MemoryError),  # 10 TB: the allocation fails
    ],
)
def test_huge_sizes_fail_before_decoding(media, size, count, dtype, error):
    decoder = Decoder(str(media.path("h264")), "video")
    targets = [(0, 0)] * count
    transforms = [("resize", 0, 0, size, size)]
    with pytest.raises(error):
        decoder.decode_video(targets, dtype, True, transforms)
    assert decoder.decode_video([(0, 0)], "uint8", True)[0].shape == (1, 120, 160, 3)


@pytest.mark.parametrize(
    "width, height, message",
    [(60000, 60000, "^open input: "), (8000, 8000, "^no decoded frame at PTS 0$")],
)
def test_streams_claiming_absurd_sizes(width, height, message):
    # A header that promises far more picture than the file holds.
    data = f"YUV4MPEG2 W{width} H{height} F25:1 Ip A1:1 C420jpeg\nFRAME\n".encode() + b"\x80" * 10000
    with pytest.raises(RuntimeError, match=message):
        Decoder(data, "video").decode_video([(0, 0)], "uint8", True)

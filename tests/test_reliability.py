"""Bad input and concurrency: nothing crashes, leaks or stays open.  Among the
inputs, those fuzzing (fuzz/) found mishandled, rebuilt small: they matter most
under the sanitizer build (scripts/sanitize.sh), where their defects were reports."""

import gc
import io
import os
import subprocess
import sys
import threading
import tracemalloc
import weakref

import numpy as np
import pytest

from media import GO_ON, PEAK_RSS, BytesFile, encode, probe_frames, run_forked
from quorvex_av import Decoder

SANITIZED = bool(os.environ.get("QUORVEX_SANITIZED"))


def usage():
    """(open descriptors, resident MiB) of this process."""
    with open("/proc/self/statm") as statm:
        return len(os.listdir("/proc/self/fd")), int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def cycle(kind, data, path, close):
    """One open and decode on a source of the given kind, closed or just dropped."""
    source = {"path": path, "bytes": data, "file": BytesFile(data)}[kind]
    alive = weakref.ref(source) if kind == "file" else None
    decoder = Decoder(source, "video")
    decoder.decode_video([(0, 0)], "uint8", True)
    if close:
        decoder.close()
    del source, decoder
    assert alive is None or alive() is None


def failures(data):  # calls that fail, each in its own way
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
@pytest.mark.parametrize("kind", ["path", "bytes", "file", "failures", "arrays"])
def test_cycles_leave_memory_and_descriptors_flat(media, kind):
    path = str(media.path("h264"))
    data = media.path("h264").read_bytes()
    decoder = Decoder(path, "video")
    big = [("resize", 0, 0, 480, 640)]  # 0.9 MB per frame (uint8), 3.7 MB (float32)

    def run(n):
        for i in range(n):
            if kind == "failures":
                for call in failures(data):
                    with pytest.raises((RuntimeError, ValueError, TypeError)):
                        call()
            elif kind == "arrays":  # kept as is, or converted at the end
                # 9 to 44 MB: released memory is reused for batches of other sizes.
                count, dtype = (12, 10)[i % 2], ("uint8", "float32")[i // 2 % 2]
                array = decoder.decode_video([(0, 0)] * count, dtype, True, big)[0]
                assert array.shape == (count, 480, 640, 3)
            else:
                cycle(kind, data, path, close=i % 2)
        gc.collect()

    # A leaked batch of megabytes shows in a few rounds, a leaked context or
    # exception in 200 rounds of seven failing calls.
    rounds = {"arrays": 40, "failures": 200}.get(kind, 400)
    run(rounds // 4)  # warm-up: codecs, caches and the buffer pool settle (4 calls a round)
    fds, rss = usage()
    tracemalloc.start()
    run(rounds // 4)
    before = tracemalloc.get_traced_memory()[0]
    run(rounds)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 64 * 1024  # Python objects: nothing accumulates
    now_fds, now_rss = usage()
    assert now_fds == fds and now_rss - rss < 16  # nor descriptors or native memory


def run_threads(target, count):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)


def test_parallel_decoders_overlap_and_match_single_threaded(media):
    path = str(media.path("h264"))
    targets = [(pts, 0) for pts, _, _ in Decoder(path, "video").scan()[:30]]
    expected = Decoder(path, "video").decode_video(targets, "uint8", True)[0]
    # The two file objects' first reads wait for each other: the decodes must overlap.
    barrier = threading.Barrier(2, timeout=30)

    def meeting(source):  # its first read waits for the other's
        def meet(size):
            source.on_read = None
            barrier.wait()
            return GO_ON
        return meet

    sources = [BytesFile(media.path("h264").read_bytes()) for _ in range(2)]
    decoders = [Decoder(source, "video") for source in sources]
    decoders += [Decoder(path if i % 2 else open(path, "rb"), "video") for i in range(4)]
    for source in sources:
        source.on_read = meeting(source)
    results = [None] * len(decoders)

    def work(i):
        results[i] = decoders[i].decode_video(targets, "uint8", True)[0]

    run_threads(work, len(decoders))
    assert all(result is not None and np.array_equal(result, expected) for result in results)


def _checksum(path):
    batch = Decoder(path, "video").decode_video([(0, 0)] * 120, "uint8", True, [("resize", 0, 0, 240, 320)])[0]
    return int(batch.sum(dtype=np.uint64))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_decodes_while_the_parent_decodes_on(media):
    # Large batches (here 27 MB) come from memory shared by all decoders; a
    # child forked while a parent thread allocates and releases it must not
    # inherit a lock that nobody will release.
    path = str(media.path("h264"))
    expected = _checksum(path)
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            _checksum(path)

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(3):  # three children, each forked while the thread churns
            assert run_forked(lambda: _checksum(path)) == ("ok", expected)
    finally:
        stop.set()
        thread.join(60)


def test_threads_racing_on_one_decoder_get_only_borrow_errors(media):
    decoder = Decoder(str(media.path("h264")), "video")
    targets = [(pts, 0) for pts, _, _ in decoder.scan()[:10]]
    expected = decoder.decode_video(targets, "uint8", True)[0]
    unexpected = []

    def hammer(_):
        for _ in range(30):
            try:
                if not np.array_equal(decoder.decode_video(targets, "uint8", True)[0], expected):
                    unexpected.append("different frames")
                decoder.metadata()
            except RuntimeError as error:
                if str(error) not in ("Already borrowed", "Already mutably borrowed"):
                    unexpected.append(str(error))

    run_threads(hammer, 4)
    assert unexpected == []
    assert np.array_equal(decoder.decode_video(targets, "uint8", True)[0], expected)
    # Calls that only read the decoder never conflict.
    done = []  # a thread that meets an error appends nothing
    run_threads(lambda _: done.append([decoder.metadata() for _ in range(200)]), 4)
    assert len(done) == 4


def raise_io(*args):
    raise OSError("gone")


def wait_then_raise(*args):
    threading.Event().wait(0.05)
    raise OSError("timed out")


@pytest.mark.parametrize(
    "read, seek",
    [
        pytest.param(lambda n: b"x" * (n + 1), None, id="too long"),
        pytest.param(lambda n: "text", None, id="str"),
        pytest.param(lambda n: None, None, id="None"),
        pytest.param(lambda n: bytearray(n), None, id="bytearray"),
        pytest.param(raise_io, None, id="raises"),
        pytest.param(wait_then_raise, None, id="blocks then raises"),
        pytest.param(None, lambda offset, whence: "0", id="seek gives str"),
        pytest.param(None, lambda offset, whence: 1.5, id="seek gives float"),
        pytest.param(None, raise_io, id="seek raises"),
    ],
)
def test_hostile_file_objects_fail_cleanly(media, read, seek):
    data = media.path("multi").read_bytes()
    first = probe_frames(media.path("multi"), 0)[0]["pts"]
    source = BytesFile(data)
    if read:  # hostile from the first read: nothing can be opened
        source.on_read = read
        with pytest.raises(RuntimeError, match="^open input: ") as raised:
            Decoder(source, "video")
        assert "gone" not in str(raised.value) and "timed out" not in str(raised.value)
    expected = Decoder(data, "video").decode_video([(first, first)], "uint8", True)[0]
    source = BytesFile(data)
    decoder = Decoder(source, "video")
    source.on_read, source.on_seek = read, seek
    if read:  # after the header: the packets cannot be read
        with pytest.raises(RuntimeError, match="^(scan packets|seek): "):
            decoder.scan()
    for call in (decoder.scan, lambda: decoder.decode_video([(first, first)], "uint8", True),
                 lambda: decoder.decode_timestamps([0.5], "uint8")):
        try:
            call()
        except RuntimeError as error:  # one of the media layer's own messages
            assert str(error).split(":")[0] in {
                "seek", "scan packets", "read packet", f"no decoded frame at PTS {first}",
                "no frame at or before requested timestamp"}, str(error)
    source.on_read = source.on_seek = None
    # Once the file behaves, a decode starting from a seek works again, or the
    # decoder keeps failing with the same kind of error; it is never corrupt.
    try:
        assert np.array_equal(decoder.decode_video([(first, first)], "uint8", True)[0], expected)
    except RuntimeError:
        pass
    decoder.close()


# In a process of its own: a scaler writing past what it can address would
# crash it.  Each call is refused before any slot is written, so the lazily
# mapped batch costs (almost) no memory: one slot of the scaler's is over
# 2 GiB, and the lying header's four slots would be 3 GB.
REFUSED_BATCHES = PEAK_RSS + """
import sys
from quorvex_av import Decoder, VideoReader
path, liar = sys.argv[1], VideoReader(sys.argv[2])
big = [("resize", 0, 0, 12000, 32000)]
calls = [
    lambda: VideoReader(path, resize=(23000, 32000))[0],
    lambda: Decoder(path, "video").decode_video([(0, 0)], "uint16", True, big, direct_resize=True),
    lambda: Decoder(path, "video").decode_video([(0, 0)], "uint16", True, big),
    lambda: Decoder(path, "video").decode_video(
        [(0, 0)], "uint16", True, [("rotate", 1, 0, 0, 0), ("resize", 0, 0, 32000, 12000)], direct_resize=True),
    lambda: Decoder(path, "video").decode_timestamps([0.5], "uint8", [("resize", 0, 0, 24000, 32000)],
                                                     direct_resize=True),
    lambda: liar.at([0, 0.01, 0.02, 0.03]),
]
for call in calls:
    reset_peak()
    try:
        call()
    except (RuntimeError, IndexError) as error:
        print(error, peak_mib(), sep=",")
"""


def test_refused_batches_cost_no_memory(media, tmp_path):
    # The reader, the one pass and the two steps at 16 bits, a turned picture
    # in one pass and a read by time, all too large to scale; and 150 bytes
    # claiming 16000 x 16000 pictures.
    liar = tmp_path / "liar.y4m"
    liar.write_bytes(b"YUV4MPEG2 W16000 H16000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + b"\x80" * 96)
    proc = subprocess.run([sys.executable, "-c", REFUSED_BATCHES, str(media.path("h264")), str(liar)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcomes = [line.split(",") for line in proc.stdout.splitlines()]
    assert [message for message, _ in outcomes] == ["frame is too large to scale"] * 5 + ["the video has no frames"]
    # (The sanitizer's checked heap commits what the lying header's reader allocates.)
    assert all(int(peak_mib) < 1024 for _, peak_mib in outcomes[:5 if SANITIZED else 6])


class LyingLength(list):
    def __len__(self):
        return 2**62


@pytest.mark.parametrize("call, count", [
    (lambda d: d.decode_video(LyingLength([(0, 0)]), "uint8", True), 1),
    (lambda d: d.decode_video([(0, 0)], "uint8", True, LyingLength([("crop", 0, 0, 8, 8)])), 1),
    (lambda d: d.decode_video([(0, 0)], "uint8", True, occurrences=LyingLength([0])), 1),
    (lambda d: d.decode_timestamps(LyingLength([0.0]), "uint8"), 1),
    (lambda d: d.decode_timestamps([0.0], "uint8", LyingLength([("crop", 0, 0, 8, 8)])), 1),
    (lambda d: d.decode_video([(0, 0)] * 10000, "uint8", True, [("crop", 0, 0, 1, 1)]), 10000),  # past the reservation
], ids=["targets", "transforms", "occurrences", "seconds", "timestamp transforms", "long"])
def test_sequence_lengths_are_not_trusted_nor_limited(media, call, count):
    assert call(Decoder(str(media.path("h264")), "video"))[0].shape[0] == count


# -- inputs found by fuzzing ----------------------------------------------------------


def _tiny_mkv(path, *options: str) -> bytearray:
    encode(["-f", "lavfi", "-i", "testsrc2=size=32x32:rate=1:duration=1", "-c:v", "ffv1", "-pix_fmt", "yuv420p",
            *options], path)
    return bytearray(path.read_bytes())


def test_unknown_colour_tags_read_as_unset(tmp_path):
    # Matroska keeps colour tags as plain numbers, which FFmpeg hands on
    # unchecked: values no FFmpeg enumerator names must neither be read as
    # the enum types (undefined behaviour) nor break the colour conversion.
    data = _tiny_mkv(tmp_path / "tagged.mkv", "-vf", "setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709")
    for element, value in ((b"\x55\xb1", 68), (b"\x55\xbb", 99), (b"\x55\xba", 250)):
        at = data.find(element + b"\x81")  # matrix, primaries, transfer; one-byte values
        assert at >= 0, element
        data[at + 3] = value
    decoder = Decoder(bytes(data), "video")
    header = decoder.metadata()
    assert header["color_space"] is None
    assert header["color_primaries"] is None
    assert header["color_transfer_characteristic"] is None
    pts = decoder.scan()[0][0]
    frames, times, _ = decoder.decode_video([(pts, pts)], "uint8", True)
    assert frames.shape == (1, 32, 32, 3) and len(times) == 1


@pytest.mark.parametrize("wrap", [bytes, io.BytesIO], ids=["bytes", "file"])
def test_data_source_opens_no_other_files(tmp_path, monkeypatch, wrap):
    # A concat list given as data named a file beside the working directory,
    # and the demuxer read it: media given as bytes or a file object must
    # not open anything else.
    _tiny_mkv(tmp_path / "beside.mkv")
    monkeypatch.chdir(tmp_path)
    script = b"ffconcat version 1.0\nfile beside.mkv\n"
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(wrap(script), "video")
    Decoder(str(tmp_path / "beside.mkv"), "video").close()  # paths are unaffected

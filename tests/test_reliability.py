"""Bad input: nothing crashes, leaks or stays open.  Among the inputs, those fuzzing (fuzz/) found
mishandled, rebuilt small: they matter most under the sanitizer build, where their defects were reports."""

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

from media import BytesFile, encode, failing, probe_frames
from quorvex_av import Decoder

SANITIZED = bool(os.environ.get("QUORVEX_SANITIZED"))


def usage():  # (open descriptors, resident MiB) of this process
    with open("/proc/self/statm") as statm:
        return len(os.listdir("/proc/self/fd")), int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


@pytest.mark.skipif(SANITIZED or not os.path.isdir("/proc/self/fd"),
                    reason="needs /proc; the sanitizer's allocator keeps freed memory")
@pytest.mark.parametrize("kind", ["path", "bytes", "file", "failures", "arrays"])
def test_cycles_leave_memory_and_descriptors_flat(media, kind):
    path = str(media.path("h264"))
    data = media.path("h264").read_bytes()
    decoder = Decoder(path, "video")
    big = [("resize", 0, 0, 480, 640)]  # 0.9 MB per frame (uint8), 3.7 MB (float32)

    def failures():  # calls that fail, each in its own way
        closed = Decoder(data, "video")
        closed.close()
        return [lambda: Decoder(b"\0" * 4096, "video"), lambda: Decoder(io.BytesIO(data), "audio"),
                lambda: Decoder(data, "video").decode_video("x", "uint8", True),
                lambda: Decoder(data, "video").decode_video([(0, 0)], "uint9", True),
                lambda: Decoder(data, "video").decode_video([(10**9, 0)], "uint8", False),
                lambda: Decoder(data, "video").decode_audio(16000, 1), closed.scan]

    def run(n):
        for i in range(n):
            if kind == "failures":
                for call in failures():
                    with pytest.raises((RuntimeError, ValueError, TypeError)):
                        call()
            elif kind == "arrays":  # 9 to 44 MB: released memory is reused for batches of other sizes
                count, dtype = (12, 10)[i % 2], ("uint8", "float32")[i // 2 % 2]
                assert decoder.decode_video([(0, 0)] * count, dtype, True, big)[0].shape == (count, 480, 640, 3)
            else:  # one open and decode, closed or just dropped
                source = {"path": path, "bytes": data, "file": BytesFile(data)}[kind]
                alive = weakref.ref(source) if kind == "file" else None
                opened = Decoder(source, "video")
                opened.decode_video([(0, 0)], "uint8", True)
                if i % 2:
                    opened.close()
                del source, opened
                assert alive is None or alive() is None
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


def wait_then_raise(*args):
    threading.Event().wait(0.05)
    raise OSError("timed out")


HOSTILE = {"too long": (lambda n: b"x" * (n + 1), None), "str": (lambda n: "text", None),
           "None": (lambda n: None, None), "bytearray": (lambda n: bytearray(n), None),
           "raises": (failing(OSError("gone")), None), "blocks then raises": (wait_then_raise, None),
           "seek gives str": (None, lambda offset, whence: "0"), "seek gives float": (None, lambda offset, whence: 1.5),
           "seek raises": (None, failing(OSError("gone")))}


@pytest.mark.parametrize("hostile", HOSTILE)
def test_hostile_file_objects_fail_cleanly(media, hostile):
    read, seek = HOSTILE[hostile]
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
# 2 GiB, and the lying header's four slots would be 3 GB.  The peak resident
# size is reset to the resident size before each call (getrusage's peak is
# inherited across fork and exec, and the interpreter's own share varies).
REFUSED_BATCHES = """
import sys
from quorvex_av import Decoder, VideoReader

def status_mib(key):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) // 1024 for line in status if line.startswith(key))
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
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    baseline = status_mib("VmRSS:")
    try:
        call()
    except (RuntimeError, IndexError) as error:
        print(error, status_mib("VmHWM:") - baseline, sep=",")
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
    assert [header[f"color_{key}"] for key in ("space", "primaries", "transfer_characteristic")] == [None] * 3
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
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(wrap(b"ffconcat version 1.0\nfile beside.mkv\n"), "video")
    Decoder(str(tmp_path / "beside.mkv"), "video").close()  # paths are unaffected

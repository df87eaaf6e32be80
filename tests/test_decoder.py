"""The Decoder object: arguments, sources, lifecycle and the use counter."""

import gc
import io
import os
import sys
import threading
import weakref

import numpy as np
import pytest

from quorvex_av import Decoder


@pytest.fixture
def h264(media):
    return str(media.path("h264"))


# -- arguments ---------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "Decoder.__new__() missing 2 required positional arguments: 'source' and 'media_type'"),
        (("x",), {}, TypeError, "Decoder.__new__() missing 1 required positional argument: 'media_type'"),
        (("x", "video", None, 1, 5), {}, TypeError,
         "Decoder.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (("x", "video"), {"source": "y"}, TypeError, "Decoder.__new__() got multiple values for argument 'source'"),
        (("x", "video"), {"thread": 2}, TypeError, "Decoder.__new__() got an unexpected keyword argument 'thread'"),
        (("x", 3), {}, TypeError, "argument 'media_type': 'int' object cannot be converted to 'PyString'"),
        (("x", "video"), {"threads": None}, TypeError,
         "argument 'threads': 'NoneType' object cannot be interpreted as an integer"),
        (("x", "video"), {"threads": 1.5}, TypeError,
         "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (("x", "video"), {"stream_index": "0"}, TypeError,
         "argument 'stream_index': 'str' object cannot be interpreted as an integer"),
        (("x", "video"), {"threads": 2**31}, OverflowError, "number too large to fit in target type"),
        (("x", "video"), {"stream_index": -(2**31) - 1}, OverflowError, "number too small to fit in target type"),
        (("x", "video"), {"threads": 2**40}, OverflowError, "number too large to fit in target type"),
        (("x", "video"), {"threads": 2**70}, OverflowError, "Python int too large to convert to C long"),
        # The source is classified before the media type's value is checked.
        ((3, "audio"), {}, ValueError, "source must be a path/URL or encoded bytes"),
        ((3, "neither"), {}, ValueError, "source must be a path/URL or encoded bytes"),
        (("\ud800", "video"), {}, ValueError, "source must be a path/URL or encoded bytes"),
        ((bytearray(b"abc"), "video"), {}, ValueError, "source must be a path/URL or encoded bytes"),
        (("x", "Video"), {}, ValueError, "media_type must be video or audio"),
        (("x\0y", "video"), {}, ValueError, "path contains NUL"),
    ],
)
def test_constructor_rejects(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        Decoder(*args, **kwargs)
    assert str(raised.value) == message
    assert type(raised.value) is error


class ReadOnly:
    def read(self, size):
        return b""


class RaisingAttribute:
    @property
    def read(self):
        raise KeyError("read")


class RaisingSeekAttribute:
    def read(self, size):
        return b""

    @property
    def seek(self):
        raise LookupError("seek")


def test_source_classification_of_objects():
    with pytest.raises(ValueError, match="^source must be a path/URL or encoded bytes$"):
        Decoder(ReadOnly(), "video")
    # Anything but AttributeError from the attribute lookups propagates as is.
    with pytest.raises(KeyError):
        Decoder(RaisingAttribute(), "video")
    with pytest.raises(LookupError):
        Decoder(RaisingSeekAttribute(), "video")


def test_stream_index_none_and_absent_agree(h264):
    assert Decoder(h264, "video", None).metadata() == Decoder(h264, "video").metadata()
    assert Decoder(h264, "video", stream_index=None, threads=0).metadata()["stream_index"] == 0


@pytest.mark.parametrize(
    "clip, media_type, index, error, message",
    [
        ("h264", "audio", None, ValueError, "no valid stream of the requested media type"),
        ("h264", "video", -1, ValueError, "no valid stream of the requested media type"),
        ("h264", "video", 1, ValueError, "no valid stream of the requested media type"),
        ("multi", "video", 1, ValueError, "stream has the wrong media type"),
        ("multi", "audio", 0, ValueError, "stream has the wrong media type"),
        ("aac", "video", None, ValueError, "no valid stream of the requested media type"),
    ],
)
def test_stream_choice_errors(media, clip, media_type, index, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        Decoder(str(media.path(clip)), media_type, index)


def test_stream_choice_in_a_multi_stream_file(media):
    path = str(media.path("multi"))
    assert Decoder(path, "video").metadata()["stream_index"] == 0
    assert Decoder(path, "audio").metadata()["stream_index"] in (1, 2)
    second = Decoder(path, "audio", 2).metadata()
    assert second["stream_index"] == 2 and second["media_type"] == "audio"


# -- sources that cannot be opened ---------------------------------------------


@pytest.mark.parametrize(
    "make_source",
    [
        pytest.param(lambda media, tmp: str(tmp / "missing.mp4"), id="missing path"),
        pytest.param(lambda media, tmp: str(tmp), id="directory"),
        pytest.param(lambda media, tmp: b"", id="empty bytes"),
        pytest.param(lambda media, tmp: np.random.default_rng(1).bytes(50_000), id="random bytes"),
        pytest.param(lambda media, tmp: io.BytesIO(b""), id="empty file object"),
        # An MP4 cut before its index cannot be opened at all.
        pytest.param(lambda media, tmp: media.path("h264").read_bytes()[:20_000], id="truncated mp4"),
    ],
)
def test_unopenable_sources(media, tmp_path, make_source):
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(make_source(media, tmp_path), "video")


def test_truncated_stream_keeps_what_is_there(media):
    data = media.path("vp9").read_bytes()
    whole = Decoder(data, "video").scan()
    part = Decoder(data[: len(data) // 2], "video").scan()
    assert 0 < len(part) < len(whole)
    assert part == whole[: len(part)]


# -- lifecycle ---------------------------------------------------------------


def test_close_is_idempotent_and_final(h264):
    decoder = Decoder(h264, "video")
    assert decoder.close() is None
    assert decoder.close() is None
    for call in (decoder.scan, decoder.metadata):
        with pytest.raises(RuntimeError, match="^decoder is closed$"):
            call()


def test_argument_errors_come_before_the_closed_check(h264):
    decoder = Decoder(h264, "video")
    decoder.close()
    with pytest.raises(TypeError, match="^argument 'apply_rotation'"):
        decoder.metadata("yes")
    with pytest.raises(TypeError, match="takes no arguments"):
        decoder.scan(1)


def test_bytes_source_is_copied_not_kept(media):
    source = media.path("h264").read_bytes()
    before = Decoder(source, "video").scan()
    references = sys.getrefcount(source)
    decoder = Decoder(source, "video")
    assert sys.getrefcount(source) == references
    del source
    gc.collect()
    assert decoder.scan() == before


class Blob(io.BytesIO):
    """A BytesIO that can be weakly referenced and carry attributes."""


def test_file_object_released_with_the_decoder(media):
    blob = Blob(media.path("h264").read_bytes())
    alive = weakref.ref(blob)
    decoder = Decoder(blob, "video")
    del blob
    gc.collect()
    assert alive() is not None
    decoder.close()
    assert alive() is None

    blob = Blob(media.path("h264").read_bytes())
    alive = weakref.ref(blob)
    decoder = Decoder(blob, "video")
    del blob, decoder
    assert alive() is None


def test_file_object_released_after_failed_open():
    blob = Blob(b"not a media file" * 100)
    alive = weakref.ref(blob)
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(blob, "video")
    del blob
    assert alive() is None


def test_cycle_through_file_object_is_collected(media):
    blob = Blob(media.path("h264").read_bytes())
    blob.decoder = Decoder(blob, "video")
    alive = weakref.ref(blob)
    del blob
    gc.collect()
    assert alive() is None


# -- the use counter -----------------------------------------------------------


class GatedFile(io.BytesIO):
    """A file object whose reads wait on a gate once armed."""

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


def test_borrow_errors_while_a_call_runs(media):
    path = media.path("h264")
    expected = Decoder(str(path), "video").scan()
    gated = GatedFile(path.read_bytes())
    decoder = Decoder(gated, "video")
    gated.armed = True
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("scan", decoder.scan()))
    worker.start()
    try:
        assert gated.entered.wait(30)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            decoder.metadata()
        for call in (decoder.scan, decoder.close):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call()
        # Argument binding comes before the borrow, conversion after it.
        with pytest.raises(TypeError, match="unexpected keyword"):
            decoder.metadata(rotate=True)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            decoder.metadata("not a bool")
    finally:
        gated.armed = False
        gated.gate.set()
        worker.join(30)
    assert result["scan"] == expected
    assert decoder.metadata()["codec"] == "h264"  # still open and usable
    decoder.close()


def test_shared_use_does_not_conflict(h264):
    decoder = Decoder(h264, "video")
    errors = []

    def many():
        try:
            for _ in range(200):
                decoder.metadata()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=many) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_read_calling_back_into_the_same_decoder(media):
    seen = []

    class Reentrant(io.BytesIO):
        decoder = None

        def read(self, size=-1):
            if self.decoder is not None and not seen:
                for call in (self.decoder.metadata, self.decoder.scan):
                    try:
                        call()
                    except RuntimeError as error:
                        seen.append(str(error))
            return super().read(size)

    source = Reentrant(media.path("h264").read_bytes())
    decoder = Decoder(source, "video")
    source.decoder = decoder
    assert decoder.scan()
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    source.decoder = None


def test_decoders_run_in_parallel(media):
    # Two scans on two decoders overlap: each holds its read until both entered.
    data = media.path("h264").read_bytes()
    barrier = threading.Barrier(2, timeout=30)

    class Meeting(io.BytesIO):
        armed = False

        def read(self, size=-1):
            if self.armed:
                self.armed = False
                barrier.wait()
            return super().read(size)

    sources = [Meeting(data), Meeting(data)]
    decoders = [Decoder(source, "video") for source in sources]
    for source in sources:
        source.armed = True
    results = [None, None]

    def run(i):
        results[i] = decoders[i].scan()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert results[0] == results[1] and results[0]


# -- resources ---------------------------------------------------------------


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_many_decoders_leave_nothing_open(media):
    path = str(media.path("h264"))
    data = media.path("h264").read_bytes()
    for _ in range(20):  # warm-up: lazily loaded codecs and caches
        Decoder(path, "video").close()
    fds = open_fds()
    for i in range(2000):
        source = (path, data, io.BytesIO(data))[i % 3]
        decoder = Decoder(source, "video")
        if i % 2:
            decoder.close()
        del decoder
    assert open_fds() == fds

"""The Decoder object: arguments, sources, lifecycle and the use counter."""

import gc
import io
import math
import sys
import threading
import weakref

import numpy as np
import pytest

from media import GO_ON, BytesFile, failing
from quorvex_av import Decoder, errors

NOT_A_SOURCE = "source must be a path/URL or encoded bytes"
BUFFER = "buffer_size must be from 4096 to 67108864 bytes, not "


class ReadOnly:  # no seek: not a file object
    def read(self, size):
        return b""


class RaisingSeek(ReadOnly):  # anything but AttributeError from the lookups propagates
    @property
    def seek(self):
        raise LookupError("no seek here")


def bad_seek(error):  # a file object whose seek raises this error
    file = BytesFile(b"\0" * 100)
    file.on_seek = failing(error)
    return file


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


# -- arguments ---------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "Decoder.__new__() missing 2 required positional arguments: 'source' and 'media_type'"),
        (("x", "video", None, 1, 5), {}, TypeError,
         "Decoder.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (("x", "video"), {"source": "y"}, TypeError, "Decoder.__new__() got multiple values for argument 'source'"),
        (("x", "video"), {"thread": 2}, TypeError, "Decoder.__new__() got an unexpected keyword argument 'thread'"),
        (("x", 3), {}, TypeError, "argument 'media_type': 'int' object cannot be converted to 'PyString'"),
        (("x", "video"), {"threads": None}, TypeError,
         "argument 'threads': 'NoneType' object cannot be interpreted as an integer"),
        (("x", "video"), {"threads": 2**31}, OverflowError, "number too large to fit in target type"),
        (("x", "video"), {"stream_index": -(2**31) - 1}, OverflowError, "number too small to fit in target type"),
        (("x", "video"), {"threads": 2**70}, OverflowError, "Python int too large to convert to C long"),
        *[(("x", "video"), {"buffer_size": size}, ValueError, f"{BUFFER}{size}") for size in (4095, 64 * 2**20 + 1)],
        (("x", "video"), {"buffer_size": "1M"}, TypeError,
         "argument 'buffer_size': 'str' object cannot be interpreted as an integer"),
        (("x", "video"), {"buffer_size": 2**40}, OverflowError, "number too large to fit in target type"),
        *[(("x", "video"), {"timeout": value}, ValueError, "timeout must be a positive number of seconds")
          for value in (0, -1.0, math.nan)],
        (("x", "video"), {"timeout": "1"}, TypeError, "argument 'timeout': must be real number, not str"),
        # The source is classified before the media type's value is checked.
        ((3, "neither"), {}, ValueError, NOT_A_SOURCE),
        (("\ud800", "video"), {}, ValueError, NOT_A_SOURCE),
        ((bytearray(b"abc"), "video"), {}, ValueError, NOT_A_SOURCE),
        ((ReadOnly(), "video"), {}, ValueError, NOT_A_SOURCE),
        ((RaisingSeek(), "video"), {}, LookupError, "no seek here"),
        # An error from the file object's seek at open: "TypeName: message".
        ((bad_seek(OSError("not seekable")), "video"), {}, RuntimeError, "OSError: not seekable"),
        ((bad_seek(io.UnsupportedOperation("seek")), "video"), {}, RuntimeError, "UnsupportedOperation: seek"),
        ((bad_seek(Unprintable()), "video"), {}, RuntimeError, "Unprintable: <exception str() failed>"),
        (("x", "Video"), {}, ValueError, "media_type must be video or audio"),
        # The mapping of error kinds to the package's exception classes.
        (("x", "video"), {"error_types": 1}, TypeError,
         "error_types must be a dict of error kind names to exception classes"),
        (("x", "video"), {"error_types": {3: RuntimeError}}, TypeError, "error kind names must be str"),
        (("x", "video"), {"error_types": {"no_frames": RuntimeError}}, ValueError, "unknown error kind 'no_frames' "
         "(kinds: no_stream, wrong_media_type, no_decoder, no_frame, not_shown, shared_timestamps)"),
        *[(("x", "video"), {"error_types": {kind: cls}}, TypeError,
           f"error_types['{kind}'] must be a subclass of {base}")
          for kind, cls, base in [("no_frame", ValueError, "RuntimeError"), ("no_stream", RuntimeError, "ValueError"),
                                  ("not_shown", errors.NotShownError("x"), "RuntimeError")]],
        (("x\0y", "video"), {}, ValueError, "path contains NUL"),
    ],
)
def test_constructor_rejects(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        Decoder(*args, **kwargs)
    assert type(raised.value) is error and str(raised.value) == message
    if error is RuntimeError:  # the file object's own error is not chained
        assert raised.value.__cause__ is None and raised.value.__context__ is None


@pytest.mark.parametrize(
    "clip, media_type, index, expected",
    [("h264", "video", None, (0,)), ("multi", "video", None, (0,)), ("multi", "audio", None, (1, 2)),
     *[("h264", media_type, index, "no valid stream of the requested media type")
       for media_type, index in [("audio", None), ("video", -1), ("video", 1)]],
     ("multi", "video", 1, "stream has the wrong media type"), ("multi", "audio", 0, "stream has the wrong media type")],
)
def test_stream_choice(media, clip, media_type, index, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=f"^{expected}$"):
            Decoder(str(media.path(clip)), media_type, index)
    else:
        decoder = Decoder(str(media.path(clip)), media_type, stream_index=index, threads=0)
        assert decoder.metadata()["stream_index"] in expected


# -- the calls' argument checks --------------------------------------------------

FAR = [(10**12, 0)]  # no frame there: a check made after decoding would fail otherwise
NUMBERS = "sample_rate and num_channels must be positive (channels <= 64)"
UNSORTED = "timestamps must be finite, sorted and unique"


# Arguments are bound and converted in order, all before the closed check; then
# the values (the transforms' names first, then the dtype, the stream's media
# type and the transforms against the output), all before any decoding.  A
# message ending in ": " is followed by the interpreter's own words.
@pytest.mark.parametrize(
    "call, clip, closed, args, error, message",
    [
        ("metadata", "h264", False, (1,), TypeError,
         "argument 'apply_rotation': 'int' object cannot be converted to 'PyBool'"),
        ("metadata", "h264", True, ("yes",), TypeError,
         "argument 'apply_rotation': 'str' object cannot be converted to 'PyBool'"),
        ("metadata", "h264", True, (), RuntimeError, "decoder is closed"),
        ("scan", "h264", True, (), RuntimeError, "decoder is closed"),
        ("scan", "h264", True, (1,), TypeError, "Decoder.scan() takes no arguments (1 given)"),
        ("decode_video", "h264", True, ("ab", "uint8", False, []), TypeError,
         "argument 'targets': Can't extract `str` to `Vec`"),
        ("decode_video", "h264", False, (None, 8, 1, []), TypeError,
         "argument 'targets': 'NoneType' object cannot be converted to 'Sequence'"),
        ("decode_video", "h264", True, ([(0, 0), [1, 0]], "uint8", False, []), TypeError,
         "argument 'targets': 'list' object cannot be converted to 'PyTuple'"),
        ("decode_video", "h264", False, ([(1, 0, 0)], "uint8", False, []), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        ("decode_video", "h264", True, ([(1.5, 0)], "uint8", False, []), TypeError,
         "argument 'targets': 'float' object cannot be interpreted as an integer"),
        ("decode_video", "h264", False, ([], 8, False, []), TypeError,
         "argument 'output_dtype': 'int' object cannot be converted to 'PyString'"),
        ("decode_video", "h264", True, ([], "bogus", 1, []), TypeError,
         "argument 'exact': 'int' object cannot be converted to 'PyBool'"),
        ("decode_video", "h264", False, ([], "uint8", False, [("crop", 0, 0, 1)]), ValueError,
         "expected tuple of length 5, but got tuple of length 4"),
        ("decode_video", "h264", True, (FAR, "int8", False, [("flip", 0, 0, 0, 0)]), RuntimeError, "decoder is closed"),
        ("decode_video", "h264", False, (FAR, "UINT8", False, []), ValueError, "invalid video output dtype"),
        ("decode_video", "h264", False, ([], "int8", False, [("flip", 0, 0, 0, 0)]), ValueError, "invalid transform"),
        ("decode_video", "aac", False, ([], "int8", False, []), ValueError, "invalid video output dtype"),
        ("decode_video", "aac", False, (FAR, "uint8", False, []), RuntimeError, "cannot decode video from audio stream"),
        ("decode_video", "aac", False, ([], "native", False, [("crop", 0, 0, 0, 0)]), RuntimeError,
         "cannot decode video from audio stream"),
        ("decode_video", "h264", False, (FAR, "native", False, []), ValueError,
         "native output does not support this pixel format"),
        ("decode_video", "h264", False, ([], "native", False, [("crop", 0, 0, 0, 0)]), ValueError,
         "transforms require RGB output"),
        ("decode_video", "gray8", False, (FAR, "native", False, [("rotate", 1, 0, 0, 0)]), ValueError,
         "transforms require RGB output"),
        ("decode_video", "gray8", False, (FAR, "native", False, [("Crop", 0, 0, 1, 1)]), ValueError, "invalid transform"),
        ("decode_timestamps", "h264", True, ("0.5", "uint8"), TypeError, "argument 'seconds': Can't extract `str` to `Vec`"),
        ("decode_timestamps", "h264", False, ([0.5, "1"], "uint8"), TypeError, "argument 'seconds': "),
        ("decode_timestamps", "h264", True, ([0.5, 0.5], "rgb"), RuntimeError, "decoder is closed"),
        ("decode_timestamps", "h264", False, ([0.5, 0.5], "rgb"), ValueError, "invalid video output dtype"),
        ("decode_timestamps", "h264", False, ([0.5], "uint8", [("flip", 0, 0, 0, 0)]), ValueError, "invalid transform"),
        ("decode_timestamps", "aac", False, ([math.nan], "uint8"), RuntimeError, "cannot decode video from audio stream"),
        ("decode_timestamps", "h264", False, ([0.5, 0.5], "uint8"), RuntimeError, UNSORTED),
        ("decode_timestamps", "h264", False, ([0.5, 0.4], "uint8"), RuntimeError, UNSORTED),
        ("decode_timestamps", "h264", False, ([0.5, math.nan], "uint8"), RuntimeError, UNSORTED),
        ("decode_timestamps", "h264", False, ([math.inf], "uint8"), RuntimeError, UNSORTED),
        ("decode_audio", "h264", False, (-1, 0), RuntimeError, "cannot decode audio from video stream"),
        ("decode_audio", "aac", False, (0, 1), ValueError, NUMBERS),
        ("decode_audio", "aac", False, (16000, 0), ValueError, NUMBERS),
        ("decode_audio", "aac", False, (16000, 65), ValueError, NUMBERS),
        ("decode_audio", "aac", False, (16000.0, 1), TypeError, "argument 'sample_rate': "),
        ("decode_audio", "aac", False, (16000, 1.5), TypeError, "argument 'channels': "),
        ("decode_audio", "aac", True, (16000, 1, "1"), TypeError, "argument 'stop': "),
        ("decode_audio", "h264", False, (2**31, 1), OverflowError, "number too large to fit in target type"),
        ("decode_audio", "aac", True, (0, 0), RuntimeError, "decoder is closed"),
    ],
)
def test_call_argument_errors(media, call, clip, closed, args, error, message):
    decoder = Decoder(str(media.path(clip)), "audio" if clip == "aac" else "video")
    if closed:  # closing is final, and can be repeated
        assert decoder.close() is None and decoder.close() is None
    with pytest.raises(error) as raised:
        getattr(decoder, call)(*args)
    assert type(raised.value) is error and str(raised.value).startswith(message)
    assert message.endswith(": ") or str(raised.value) == message


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
        pytest.param(lambda media, tmp: open(media.path("h264"), encoding="latin-1"), id="text-mode file"),
    ],
)
def test_unopenable_sources(media, tmp_path, make_source):
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(make_source(media, tmp_path), "video")


def test_truncated_stream_keeps_what_is_there(media):
    data = media.path("vp9").read_bytes()
    whole = Decoder(data, "video").scan()
    part = Decoder(data[: len(data) // 2], "video").scan()
    assert 0 < len(part) < len(whole) and part == whole[: len(part)]


# -- lifecycle ---------------------------------------------------------------


def test_bytes_source_is_copied_not_kept(media):
    source = media.path("h264").read_bytes()
    before = Decoder(source, "video").scan()
    references = sys.getrefcount(source)
    decoder = Decoder(source, "video")
    assert sys.getrefcount(source) == references
    del source
    gc.collect()
    assert decoder.scan() == before


def test_file_object_is_released(media):
    # (Release by close() or with the decoder: the leak cycles in test_reliability.)
    data = media.path("h264").read_bytes()
    blob = BytesFile(data)
    alive = weakref.ref(blob)
    decoder = Decoder(blob, "video")
    del blob
    gc.collect()
    assert alive() is not None  # kept while open
    decoder.close()
    blob = BytesFile(b"not a media file" * 100)
    alive = weakref.ref(blob)
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(blob, "video")
    del blob  # after a failed open
    assert alive() is None
    blob = BytesFile(data)
    blob.decoder = Decoder(blob, "video")
    alive = weakref.ref(blob)
    del blob  # a cycle through the file object
    gc.collect()
    assert alive() is None


# -- the use counter -----------------------------------------------------------


@pytest.mark.parametrize("clip, media_type, call", [
    pytest.param("h264", "video", lambda decoder: decoder.scan(), id="scan"),
    pytest.param("h264_audio", "audio", lambda decoder: decoder.decode_audio(16000, 1), id="decode_audio")])
def test_borrow_errors_while_a_call_runs(media, clip, media_type, call):
    data = media.path(clip).read_bytes()  # larger than one read
    expected = call(Decoder(data, media_type))
    gated = BytesFile(data)
    decoder = Decoder(gated, media_type)
    entered, gate, reentrant = threading.Event(), threading.Event(), []

    def enter(size):  # calls back into the decoder (on the thread running the call), then waits
        if not entered.is_set():
            for reentry in (decoder.metadata, decoder.scan):
                try:
                    reentry()
                except RuntimeError as error:
                    reentrant.append(str(error))
        entered.set()
        assert gate.wait(30)
        return GO_ON

    gated.on_read = enter
    result = []
    worker = threading.Thread(target=lambda: result.append(call(decoder)))
    worker.start()
    try:
        assert entered.wait(30)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            decoder.metadata()
        # close() is refused too: the running call completes.
        for refused in (decoder.scan, decoder.close):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                refused()
        # Argument binding comes before the borrow, conversion after it.
        with pytest.raises(TypeError, match="unexpected keyword"):
            decoder.metadata(rotate=True)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            decoder.metadata("not a bool")
    finally:
        gated.on_read = None
        gate.set()
        worker.join(30)
    [got] = result
    assert reentrant == ["Already mutably borrowed", "Already borrowed"]
    assert len(got) == len(expected) and all(np.array_equal(a, b) for a, b in zip(got, expected))
    assert decoder.metadata()["media_type"] == media_type  # still open and usable
    decoder.close()

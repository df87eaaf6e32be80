"""The Decoder object: arguments, sources, lifecycle and the use counter."""

import functools
import gc
import io
import math
import sys
import threading
import types
import weakref

import numpy as np
import pytest

from media import GO_ON, BytesFile, crop, failing, outcome, probe_frames, resize, rotate
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


def y4m(width):  # a header promising a width x width picture, and little data
    return f"YUV4MPEG2 W{width} H{width} F25:1 Ip A1:1 C420jpeg\nFRAME\n".encode() + b"\x80" * 10000


def at(name, change=str):  # an argument made from a clip's path when the test runs
    return lambda media: change(media.path(name))


SOURCES = {"y4m": y4m(8000)}  # sources of the method calls that are not clips
FAR = [(10**12, 0)]  # no frame there: a check made after decoding would fail otherwise
SHARED = [(0, 0), (80, 0)]  # two pts of shared_pts, each on two frames
NUMBERS = "sample_rate and num_channels must be positive (channels <= 64)"
UNSORTED = "timestamps must be finite, sorted and unique"
NO_STREAM = "no valid stream of the requested media type"
CROP = "crop exceeds the frame"
CLOSED = "decoder is closed"
NO_FRAME = "no frame at or before requested timestamp"
PAST_END = "timestamp exceeds final frame duration or duration is unknown"  # h264's final frame covers [2.96, 3)
TOO_LARGE = "number too large to fit in target type"
CONVERTED = "argument '{}': '{}' object cannot be converted to '{}'"
INTEGER = "argument '{}': '{}' object cannot be interpreted as an integer"
LENGTH = "expected tuple of length {}, but got tuple of length {}"
POSITIONAL = "Decoder.{}() takes from {} to {} positional arguments but {} were given"
# Just before multi's first frame, which comes after 0.
FIRST_MULTI = lambda media: [probe_frames(media.path("multi"), 0)[0]["time"] - 0.0001, 0.5]  # noqa: E731


# Every error of the Decoder. call: "new" constructs one, "streams" lists a source's streams,
# "clip.method" calls a method of a decoder of the clip or of SOURCES ("clip!" closed first).
# Arguments are bound and converted in order, the source classified before the media type is
# checked, all before the closed check; then transform names, dtype, the stream's media type and
# the transforms against the output, before any decoding.  A message ending in ": " goes on in
# the interpreter's (or FFmpeg's) words.
@pytest.mark.parametrize("call, args, kwargs, error, message", [
    ("new", (), {}, TypeError, "Decoder.__new__() missing 2 required positional arguments: 'source' and 'media_type'"),
    ("new", ("x", "video", None, 1, 5), {}, TypeError, POSITIONAL.format("__new__", 2, 4, 5)),
    ("new", ("x", "video"), {"source": "y"}, TypeError, "Decoder.__new__() got multiple values for argument 'source'"),
    ("new", ("x", "video"), {"thread": 2}, TypeError, "Decoder.__new__() got an unexpected keyword argument 'thread'"),
    ("new", ("x", 3), {}, TypeError, CONVERTED.format("media_type", "int", "PyString")),
    ("new", ("x", "video"), {"threads": None}, TypeError, INTEGER.format("threads", "NoneType")),
    ("new", ("x", "video"), {"threads": 2**31}, OverflowError, TOO_LARGE),
    ("new", ("x", "video"), {"stream_index": -(2**31) - 1}, OverflowError, "number too small to fit in target type"),
    ("new", ("x", "video"), {"threads": 2**70}, OverflowError, "Python int too large to convert to C long"),
    *[("new", ("x", "video"), {"buffer_size": size}, ValueError, f"{BUFFER}{size}") for size in (4095, 64 * 2**20 + 1)],
    ("new", ("x", "video"), {"buffer_size": "1M"}, TypeError, INTEGER.format("buffer_size", "str")),
    ("new", ("x", "video"), {"buffer_size": 2**40}, OverflowError, TOO_LARGE),
    *[("new", ("x", "video"), {"timeout": value}, ValueError, "timeout must be a positive number of seconds")
      for value in (0, -1.0, math.nan)],
    ("new", ("x", "video"), {"timeout": "1"}, TypeError, "argument 'timeout': must be real number, not str"),
    *[("new", (source, media_type), {}, ValueError, NOT_A_SOURCE)
      for source, media_type in [(3, "neither"), ("\ud800", "video"), (bytearray(b"abc"), "video"),
                                 (ReadOnly(), "video")]],
    ("new", (RaisingSeek(), "video"), {}, LookupError, "no seek here"),
    # An error from the file object's seek at open: "TypeName: message", not chained.
    *[("new", (bad_seek(error), "video"), {}, RuntimeError, message) for error, message in [
        (OSError("not seekable"), "OSError: not seekable"),
        (io.UnsupportedOperation("seek"), "UnsupportedOperation: seek"),
        (Unprintable(), "Unprintable: <exception str() failed>")]],
    ("new", ("x", "Video"), {}, ValueError, "media_type must be video or audio"),
    # The mapping of error kinds to the package's exception classes.
    ("new", ("x", "video"), {"error_types": 1}, TypeError,
     "error_types must be a dict of error kind names to exception classes"),
    ("new", ("x", "video"), {"error_types": {3: RuntimeError}}, TypeError, "error kind names must be str"),
    ("new", ("x", "video"), {"error_types": {"no_frames": RuntimeError}}, ValueError, "unknown error kind "
     "'no_frames' (kinds: no_stream, wrong_media_type, no_decoder, no_frame, not_shown, shared_timestamps)"),
    *[("new", ("x", "video"), {"error_types": {kind: cls}}, TypeError,
       f"error_types['{kind}'] must be a subclass of {base}")
      for kind, cls, base in [("no_frame", ValueError, "RuntimeError"), ("no_stream", RuntimeError, "ValueError"),
                              ("not_shown", errors.NotShownError("x"), "RuntimeError")]],
    ("new", ("x\0y", "video"), {}, ValueError, "path contains NUL"),
    *[("new", (at("h264"), media_type), {"stream_index": index}, (ValueError, errors.StreamNotFoundError),
       NO_STREAM) for media_type, index in [("audio", None), ("video", -1), ("video", 1)]],
    *[("new", (at("multi"), media_type, index), {}, (ValueError, errors.WrongMediaTypeError),
       "stream has the wrong media type") for media_type, index in [("video", 1), ("audio", 0)]],
    ("new", (at("undecodable"), "video"), {}, (RuntimeError, errors.NoDecoderError),
     "FFmpeg has no decoder for this codec"),
    # Sources that cannot be opened; an MP4 cut before its index cannot be opened at all.
    *[("new", (source, "video"), {}, RuntimeError, "open input: ") for source in [
        "/nonexistent/missing.mp4", "/", b"", np.random.default_rng(1).bytes(50_000), io.BytesIO(b""),
        at("h264", lambda path: path.read_bytes()[:20_000]), at("h264", lambda path: open(path, encoding="latin-1")),
        y4m(60000)]],  # a header promising far more picture than the file holds
    ("streams", ("/nonexistent/missing.mp4",), {}, RuntimeError, "open input: "),
    ("streams", (3,), {}, ValueError, NOT_A_SOURCE),
    ("h264.metadata", (1,), {}, TypeError, CONVERTED.format("apply_rotation", "int", "PyBool")),
    ("h264!.metadata", ("yes",), {}, TypeError, CONVERTED.format("apply_rotation", "str", "PyBool")),
    *[(f"{clip}!.{method}", args, {}, RuntimeError, CLOSED) for clip, method, args in [
        ("h264", "metadata", ()), ("h264", "scan", ()), ("aac", "decode_audio", (0, 0)),
        ("h264", "decode_video", (FAR, "int8", False, [("flip", 0, 0, 0, 0)])),
        ("h264", "decode_timestamps", ([0.5, 0.5], "rgb"))]],
    ("h264!.scan", (1,), {}, TypeError, "Decoder.scan() takes no arguments (1 given)"),
    ("h264!.decode_video", ("ab", "uint8", False, []), {}, TypeError, "argument 'targets': Can't extract `str` to `Vec`"),
    ("h264.decode_video", (None, 8, 1, []), {}, TypeError, CONVERTED.format("targets", "NoneType", "Sequence")),
    ("h264!.decode_video", ([(0, 0), [1, 0]], "uint8", False, []), {}, TypeError,
     CONVERTED.format("targets", "list", "PyTuple")),
    ("h264.decode_video", ([(1, 0, 0)], "uint8", False, []), {}, ValueError, LENGTH.format(2, 3)),
    ("h264!.decode_video", ([(1.5, 0)], "uint8", False, []), {}, TypeError, INTEGER.format("targets", "float")),
    ("h264.decode_video", ([], 8, False, []), {}, TypeError, CONVERTED.format("output_dtype", "int", "PyString")),
    ("h264!.decode_video", ([], "bogus", 1, []), {}, TypeError, CONVERTED.format("exact", "int", "PyBool")),
    ("h264.decode_video", ([], "uint8", False, [("crop", 0, 0, 1)]), {}, ValueError, LENGTH.format(5, 4)),
    ("h264.decode_video", (FAR, "UINT8", False, []), {}, ValueError, "invalid video output dtype"),
    ("h264.decode_video", ([], "int8", False, [("flip", 0, 0, 0, 0)]), {}, ValueError, "invalid transform"),
    ("aac.decode_video", ([], "int8", False, []), {}, ValueError, "invalid video output dtype"),
    *[("aac.decode_video", args, {}, RuntimeError, "cannot decode video from audio stream")
      for args in [(FAR, "uint8", False, []), ([], "native", False, [crop(0, 0, 0, 0)])]],
    ("h264.decode_video", (FAR, "native", False, []), {}, ValueError, "native output does not support this pixel format"),
    *[(f"{clip}.decode_video", (targets, "native", False, [step]), {}, ValueError, "transforms require RGB output")
      for clip, targets, step in [("h264", [], crop(0, 0, 0, 0)), ("gray8", FAR, rotate(1))]],
    ("gray8.decode_video", (FAR, "native", False, [("Crop", 0, 0, 1, 1)]), {}, ValueError, "invalid transform"),
    # direct_resize is keyword-only.
    ("h264.decode_video", (FAR, "uint8", True, [], True), {}, TypeError, POSITIONAL.format("decode_video", 3, 4, 5)),
    ("h264.decode_timestamps", ([0.5], "uint8", [], True), {}, TypeError,
     POSITIONAL.format("decode_timestamps", 2, 3, 4)),
    # Transforms are checked against the size the earlier steps leave; the
    # first failing step decides, and names are parsed before any size is checked.
    *[("h264.decode_video", (FAR, "uint8", False, chain), {}, ValueError, message) for chain, message in [
        ([crop(1, 0, 120, 160)], CROP), ([crop(0, 0, 0, 10)], CROP), ([crop(-1, 0, 10, 10)], CROP),
        ([crop(0, 0, -10, 10)], CROP), ([crop(0, 2**31 - 1, 10, 2**31 - 1)], CROP),  # the sum overflows 32 bits
        ([rotate(1), crop(0, 0, 120, 160)], CROP), ([resize(60, 80), crop(0, 0, 61, 80)], CROP),
        ([resize(0, 10)], "resize size must be positive"),
        ([resize(0, 10), crop(0, 0, 0, 0)], "resize size must be positive"),
        ([crop(0, 0, 0, 0), resize(0, 10)], CROP), ([crop(0, 0, 0, 0), ("flip", 0, 0, 0, 0)], "invalid transform"),
        ([("rotate ", 1, 0, 0, 0)], "invalid transform")]],
    # Occurrences of frames that share a pts.
    *[("shared_pts.decode_video", (SHARED, "uint8", True), {"occurrences": occurrences}, error, message)
      for occurrences, error, message in [
          ([0], ValueError, "occurrences must match targets"),
          ([0, 0, 0], ValueError, "occurrences must match targets"),
          ([0, -1], ValueError, "occurrences must not be negative"),
          ([0, 2], (RuntimeError, errors.NoFrameError), "no decoded frame at PTS 80 occurrence 2")]],
    ("h264!.decode_timestamps", ("0.5", "uint8"), {}, TypeError, "argument 'seconds': Can't extract `str` to `Vec`"),
    ("h264.decode_timestamps", ([0.5, "1"], "uint8"), {}, TypeError, "argument 'seconds': "),
    ("h264.decode_timestamps", ([0.5, 0.5], "rgb"), {}, ValueError, "invalid video output dtype"),
    ("h264.decode_timestamps", ([0.5], "uint8", [("flip", 0, 0, 0, 0)]), {}, ValueError, "invalid transform"),
    ("aac.decode_timestamps", ([math.nan], "uint8"), {}, RuntimeError, "cannot decode video from audio stream"),
    *[("h264.decode_timestamps", (seconds, "uint8"), {}, RuntimeError, UNSORTED)
      for seconds in ([0.5, 0.5], [0.5, 0.4], [0.5, math.nan], [math.inf])],
    ("h264.decode_audio", (-1, 0), {}, RuntimeError, "cannot decode audio from video stream"),
    *[("aac.decode_audio", numbers, {}, ValueError, NUMBERS) for numbers in [(0, 1), (16000, 0), (16000, 65)]],
    *[(f"aac{closed}.decode_audio", args, {}, TypeError, f"argument '{name}': ")
      for closed, args, name in [("", (16000.0, 1), "sample_rate"), ("", (16000, 1.5), "channels"),
                                 ("!", (16000, 1, "1"), "stop")]],
    ("h264.decode_audio", (2**31, 1), {}, OverflowError, TOO_LARGE),
    # Batches too large to exist fail before decoding (the first's byte count overflows).
    ("h264.decode_video", (FAR, "uint16", False, [resize(2**31 - 1, 2**31 - 1)]), {}, RuntimeError, "batch is too large"),
    ("h264.decode_video", (FAR, "uint8", False, [resize(2**31 - 1, 2**31 - 1)]), {}, MemoryError, ""),
    ("h264.decode_video", (FAR * 1000, "uint8", False, [resize(60000, 60000)]), {}, MemoryError, ""),  # 10 TB
    # Decoding outcomes, each of its kind: targets no frame answers (exact
    # decoding restarts from the start for a seek point after its target),
    # a frame without a timestamp (the AVI clip's last), packets without any.
    *[("h264.decode_video", (targets, "uint8", exact), {}, (RuntimeError, errors.NoFrameError), message)
      for targets, exact, message in [([(0, 0), (600, 0)], True, "no decoded frame at exact PTS 600"),
                                      ([(0, 0), (600, 25600)], True, "no decoded frame at exact PTS 600"),
                                      ([(0, 0), (38400, 25600)], True, "no decoded frame at PTS 38400"),
                                      ([(0, 0), FAR[0]], False, "no decoded frame at PTS 1000000000000"),
                                      ([(10**9, 0)], False, "no decoded frame at PTS 1000000000"),
                                      ([(10**9, 0)], True, "no decoded frame at PTS 1000000000")]],
    ("mpeg4.decode_video", ([(0, 0), (50, 25)], "uint8", False), {}, RuntimeError, "decoded frame has no timestamp"),
    ("no_timestamps.scan", (), {}, RuntimeError, "video packet has neither PTS nor DTS"),
    ("y4m.decode_video", ([(0, 0)], "uint8", True), {}, (RuntimeError, errors.NoFrameError), "no decoded frame at PTS 0"),
    # Times nothing is shown at: before the first frame (multi's is after 0), at or after the final
    # frame's end, and at the final frame's own time where frames carry no duration.
    *[(f"{clip}.decode_timestamps", (seconds, "uint8"), {}, (RuntimeError, errors.NotShownError), message)
      for clip, seconds, message in [
          ("h264", [-1.0], NO_FRAME), ("h264", [-0.001], NO_FRAME), ("multi", FIRST_MULTI, NO_FRAME),
          ("h264", [0.5, 100.0], PAST_END), ("h264", [3.0], PAST_END), ("h264", [0.5, 2.97, 3.0], PAST_END),
          ("unknown_duration", [0.96], PAST_END)]],
    ("shared_pts.decode_timestamps", ([0.5], "uint8"), {}, (RuntimeError, errors.SharedTimestampsError),
     "timestamp mode requires strictly increasing frame PTS"),
])
def test_decoder_errors(media, call, args, kwargs, error, message):
    # A pair: a decoding outcome's built-in class and the subclass error_types maps its kind to
    # (a kind left out of the mapping keeps its built-in).
    builtin, typed = error if isinstance(error, tuple) else (error, None)
    args = [arg(media) if isinstance(arg, types.FunctionType) else arg for arg in args]
    clip, _, method = call.partition(".")
    others = {kind: cls for kind, cls in errors.ERROR_TYPES.items() if cls is not typed}
    for error_types, expected in [({}, builtin)] + ([(errors.ERROR_TYPES, typed), (others, builtin)] if typed else []):
        options = {"error_types": error_types} if error_types else {}
        if call == "new":
            function = functools.partial(Decoder, **options)
        elif call == "streams":
            function = Decoder.streams
        else:
            source = SOURCES[clip] if clip in SOURCES else str(media.path(clip.rstrip("!")))
            decoder = Decoder(source, "audio" if clip.startswith("aac") else "video", **options)
            if clip.endswith("!"):  # closing is final, and can be repeated
                assert decoder.close() is None and decoder.close() is None
            function = getattr(decoder, method)
        for _ in range(2):  # each call stands alone, wherever the one before left the decoder
            with pytest.raises(builtin) as raised:
                function(*args, **kwargs)
            assert type(raised.value) is expected and str(raised.value).startswith(message)
            assert message.endswith(": ") or str(raised.value) == message
            if typed or (error is RuntimeError and call == "new"):  # nothing chained, a file object's error neither
                assert raised.value.__cause__ is None and raised.value.__context__ is None
    if clip == "h264":  # the decoder stays usable
        assert decoder.decode_video([(0, 0)], "uint8", True)[0].shape == (1, 120, 160, 3)


def test_truncated_stream_keeps_what_is_there(media):
    data = media.path("vp9").read_bytes()
    whole = Decoder(data, "video").scan()
    part = Decoder(data[: len(data) // 2], "video").scan()
    assert 0 < len(part) < len(whole) and part == whole[: len(part)]


def test_sources_are_copied_or_released(media):
    # Bytes are copied, not kept; a file object is kept while open, and
    # released after a failed open or through a cycle (by close() or with the
    # decoder: the leak cycles in test_reliability).
    data, source = (media.path("h264").read_bytes() for _ in range(2))
    references = sys.getrefcount(source)
    decoder = Decoder(source, "video")
    assert sys.getrefcount(source) == references
    del source
    gc.collect()
    assert decoder.scan() == Decoder(data, "video").scan()
    blobs = [BytesFile(data), BytesFile(b"not a media file" * 100), BytesFile(data)]
    alive = [weakref.ref(blob) for blob in blobs]
    decoder = Decoder(blobs[0], "video")
    with pytest.raises(RuntimeError, match="^open input: "):
        Decoder(blobs[1], "video")
    blobs[2].decoder = Decoder(blobs[2], "video")  # a cycle through the file object
    del blobs
    assert alive[1]() is None  # at once, after the failed open
    gc.collect()
    assert [ref() is not None for ref in alive] == [True, False, False]
    decoder.close()


MUTABLY, BORROWED = (RuntimeError, "Already mutably borrowed"), (RuntimeError, "Already borrowed")


@pytest.mark.parametrize("clip, media_type, call", [
    pytest.param("h264", "video", lambda decoder: decoder.scan(), id="scan"),
    pytest.param("h264_audio", "audio", lambda decoder: decoder.decode_audio(16000, 1), id="decode_audio")])
def test_borrow_errors_while_a_call_runs(media, clip, media_type, call):
    data = media.path(clip).read_bytes()  # larger than one read
    expected = call(Decoder(data, media_type))
    gated = BytesFile(data)
    decoder = Decoder(gated, media_type)
    entered, gate, reentrant, result = threading.Event(), threading.Event(), [], []

    def enter(size):  # calls back into the decoder (on the thread running the call), then waits
        if not entered.is_set():
            reentrant.extend(outcome(reentry) for reentry in (decoder.metadata, decoder.scan))
        entered.set()
        assert gate.wait(30)
        return GO_ON

    gated.on_read = enter
    worker = threading.Thread(target=lambda: result.append(call(decoder)))
    worker.start()
    try:
        assert entered.wait(30)
        # close() is refused too: the running call completes.  Argument binding comes before the borrow,
        # conversion after it.
        assert [outcome(refused) for refused in (decoder.metadata, decoder.scan, decoder.close,
                                                 lambda: decoder.metadata("not a bool"),
                                                 lambda: decoder.metadata(rotate=True))] == [
            MUTABLY, BORROWED, BORROWED, MUTABLY,
            (TypeError, "Decoder.metadata() got an unexpected keyword argument 'rotate'")]
    finally:
        gated.on_read = None
        gate.set()
        worker.join(30)
    [got] = result
    assert reentrant == [MUTABLY, BORROWED]
    assert len(got) == len(expected) and all(np.array_equal(a, b) for a, b in zip(got, expected))
    assert decoder.metadata()["media_type"] == media_type  # still open and usable
    decoder.close()

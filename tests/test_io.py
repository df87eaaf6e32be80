"""Reading from bytes and from Python file objects."""

import io

import pytest

from quorvex_av import Decoder


@pytest.mark.parametrize("clip, media_type", [("h264", "video"), ("multi", "audio"), ("flac", "audio")])
def test_every_source_kind_reads_the_same(media, clip, media_type):
    path = media.path(clip)
    data = path.read_bytes()
    expected = Decoder(str(path), media_type).scan()
    with open(path, "rb") as file:
        sources = [data, io.BytesIO(data), file]
        for source in sources:
            decoder = Decoder(source, media_type)
            assert decoder.scan() == expected
            assert decoder.metadata() == Decoder(str(path), media_type).metadata()


def test_file_object_is_rewound_at_open(media):
    data = media.path("h264").read_bytes()
    source = io.BytesIO(data)
    source.seek(0, io.SEEK_END)
    assert Decoder(source, "video").scan() == Decoder(data, "video").scan()


class Hostile(io.BytesIO):
    """A file object whose read misbehaves from a chosen call on."""

    def __init__(self, data, result, after=0):
        super().__init__(data)
        self.result = result
        self.after = after

    def read(self, size=-1):
        chunk = super().read(size)
        if self.after > 0:
            self.after -= 1
            return chunk
        return self.result(chunk, size)


def raise_oserror(chunk, size):
    raise OSError("disk gone")


@pytest.mark.parametrize(
    "result",
    [
        pytest.param(lambda chunk, size: chunk.decode("latin-1"), id="str"),
        pytest.param(lambda chunk, size: chunk + b"x" * (size + 1), id="too long"),
        pytest.param(lambda chunk, size: None, id="None"),
        pytest.param(lambda chunk, size: bytearray(chunk), id="bytearray"),
        pytest.param(raise_oserror, id="raises"),
    ],
)
def test_misbehaving_read_fails_with_the_operation_context(media, result):
    data = media.path("h264").read_bytes()
    with pytest.raises(RuntimeError, match="^open input: ") as raised:
        Decoder(Hostile(data, result), "video")
    assert "disk gone" not in str(raised.value)
    # Failing after the header was read surfaces in the scan instead.
    mkv = media.path("multi").read_bytes()
    decoder = Decoder(Hostile(mkv, result, after=3), "video")
    with pytest.raises(RuntimeError, match="^(scan packets|seek): "):
        decoder.scan()


def test_text_mode_file_is_refused(media):
    with open(media.path("h264"), encoding="latin-1") as file:
        with pytest.raises(RuntimeError, match="^open input: "):
            Decoder(file, "video")


class BadSeek(io.BytesIO):
    def __init__(self, data, error):
        super().__init__(data)
        self.error = error

    def seek(self, *args):
        raise self.error


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(
    "error, message",
    [
        (OSError("not seekable"), "OSError: not seekable"),
        (io.UnsupportedOperation("seek"), "UnsupportedOperation: seek"),
        (Unprintable(), "Unprintable: <exception str() failed>"),
    ],
)
def test_seek_raising_at_open(error, message):
    with pytest.raises(RuntimeError) as raised:
        Decoder(BadSeek(b"\0" * 100, error), "video")
    assert str(raised.value) == message
    assert raised.value.__cause__ is None and raised.value.__context__ is None


def test_size_queries_leave_the_position(media):
    calls = []

    class Recording(io.BytesIO):
        def seek(self, offset, whence=0):
            position = super().seek(offset, whence)
            calls.append((offset, whence, position))
            return position

    data = media.path("h264").read_bytes()
    decoder = Decoder(Recording(data), "video")
    decoder.scan()
    ends = [i for i, call in enumerate(calls) if call[:2] == (0, 2)]
    assert ends, "FFmpeg asked for the size"
    for i in ends:
        current = calls[i - 1]
        assert current[:2] == (0, 1)
        assert calls[i + 1] == (current[2], 0, current[2])

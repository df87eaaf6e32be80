"""What a source is and how it is opened: one set of functions that the
readers, their workers, the loader and the Ray sources all use to tell a
path from bytes from a file object, to hand it to the extension, to keep
it open, to share it between decoders and to know its size."""

from __future__ import annotations

import io
import os
import weakref
from collections.abc import Callable
from typing import IO, TYPE_CHECKING, Any, Literal, TypeVar

from ._av import Decoder
from ._types import Source
from .errors import ERROR_TYPES

if TYPE_CHECKING:
    from ._av import StreamInfo

# The largest read from a file object.  The decoder's reads start at 64 KiB
# after each seek and double while it reads on, so one frame in the middle
# of a file costs a few reads (several times as many at the decoder's own
# 32 KiB) and hardly more bytes than its group of pictures; larger reads
# would make the last read of a request overshoot by megabytes.
FILE_BUFFER_SIZE = 1 << 20

SourceKind = Literal["path", "bytes", "file"]


def kind_of(source: object) -> SourceKind:
    """"path" for a path or URL (str or path-like), "bytes" for encoded
    media in memory, "file" for anything else (a file object, or what the
    extension will refuse)."""
    if isinstance(source, (str, os.PathLike)) and not isinstance(source, bytes):
        return "path"  # never bytes from a path-like: those would be read as media
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "bytes"
    return "file"


def describe(source: object) -> str:
    """The source as a message names it."""
    kind = kind_of(source)
    if kind == "path":
        return repr(os.fsdecode(source))  # type: ignore[arg-type]
    if kind == "bytes":
        return f"<{len(source)} bytes>"  # type: ignore[arg-type]
    return repr(source)


class Held:
    """What keeps a source open while a reader uses it; closed with it."""

    def __init__(self, close: Callable[[], None]) -> None:
        self.close = close


def prepare(source: Source) -> tuple[str | bytes | IO[bytes], Held | None]:
    """``source`` as the extension takes it, and what must stay open while
    it is read."""
    given: object = source  # checked at run time whatever its annotation says
    if isinstance(given, io.TextIOBase):
        raise TypeError("source is a text file; open it in binary mode ('rb')")
    kind = kind_of(source)
    if kind == "path":
        value = source if isinstance(source, str) else os.fsdecode(source)  # type: ignore[arg-type]
        return _held_name(value) if not _utf8(value) else (value, None)
    if kind == "bytes" and not isinstance(source, bytes):
        return bytes(source), None  # type: ignore[arg-type]
    return source, None  # type: ignore[return-value]


def _utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _held_name(path: str) -> tuple[str | IO[bytes], Held]:
    """A source the extension can open for a file whose name is not UTF-8
    (names from the file system arrive with surrogate escapes, which the
    extension refuses).  The file is opened by its name's own bytes; where
    the system names open descriptors (/proc/self/fd), the extension opens
    that name, which reads like a path (its own file position, reopened by
    name when needed, and in forked children); elsewhere it reads the open
    file as a file object."""
    name = os.fsencode(path)
    if os.path.isdir("/proc/self/fd"):
        descriptor = os.open(name, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        return f"/proc/self/fd/{descriptor}", Held(lambda: os.close(descriptor))
    file = open(name, "rb")
    return file, Held(file.close)


def open_decoder(source: Source, media_type: Literal["video", "audio"],
                 stream_index: int | None, threads: int = 1,
                 timeout: float | None = None) -> tuple[Decoder, Held | None]:
    """A Decoder on ``source`` (see ``prepare``), and what must stay open
    while it is used.  What is neither a path nor bytes is the extension's
    to classify: it takes a binary file object and rejects anything else
    with ValueError."""
    options: dict[str, Any] = {"error_types": ERROR_TYPES}
    if timeout is not None:
        options["timeout"] = timeout
    value, held = prepare(source)
    if not isinstance(value, (str, bytes)):  # a file object, maybe one for a name
        options["buffer_size"] = FILE_BUFFER_SIZE
    try:
        return Decoder(value, media_type, stream_index, threads, **options), held
    except BaseException:
        if held is not None:
            held.close()
        raise


def list_streams(source: Source, *, timeout: float | None = None) -> list[StreamInfo]:
    """Every stream of ``source`` (as a reader takes it) in index order: its
    index, media type ("video", "audio", "subtitle", ...), codec name and
    whether it can be decoded here.  One opening of the container, which
    decodes nothing."""
    value, held = prepare(source)
    try:
        return Decoder.streams(value, timeout=timeout)
    finally:
        if held is not None:
            held.close()


def sharer(source: Source) -> Callable[[], Source] | None:
    """What gives each further decoder of ``source`` its own view of it:
    the same path, or a file object over the same bytes (one copy for all,
    never one each); None for a file object, which one decoder alone may
    read."""
    kind = kind_of(source)
    if kind == "file":
        return None
    if kind == "bytes":
        data = source if isinstance(source, bytes) else bytes(source)  # type: ignore[arg-type]
        return lambda: io.BytesIO(data)
    return lambda: source


def size_of(source: Source) -> int | None:
    """Size in bytes of a source, where it is cheap to know: a local file,
    bytes in memory, or a seekable file object (put back where it was)."""
    given: object = source
    kind = kind_of(given)
    if kind == "bytes":
        return len(given) if not isinstance(given, memoryview) else given.nbytes  # type: ignore[arg-type]
    if kind == "path":
        try:
            return os.path.getsize(given)  # type: ignore[arg-type]
        except (OSError, ValueError):
            return None  # a URL, or a name the system cannot stat
    try:
        if not getattr(given, "seekable", lambda: True)():
            return None
        position = given.tell()  # type: ignore[attr-defined]
        size = given.seek(0, io.SEEK_END)  # type: ignore[attr-defined]
        given.seek(position)  # type: ignore[attr-defined]
        return int(size)
    except Exception:  # a file object without a usable size
        return None


_R = TypeVar("_R", bound="Closable")


class Closable:
    """A reader's life cycle: ``close()``, also on leaving a ``with`` block;
    what holds its source open is closed with it, or when it is collected."""

    _decoder: Decoder
    _release: weakref.finalize[[], Closable] | None = None

    def _open(self, source: Source, media_type: Literal["video", "audio"],
              stream_index: int | None, threads: int = 1,
              timeout: float | None = None) -> None:
        self._decoder, held = open_decoder(source, media_type, stream_index, threads, timeout)
        if held is not None:
            self._release = weakref.finalize(self, held.close)

    def close(self) -> None:
        """Release the decoder; further calls raise RuntimeError."""
        self._decoder.close()
        if self._release is not None:
            self._release()

    def __enter__(self: _R) -> _R:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

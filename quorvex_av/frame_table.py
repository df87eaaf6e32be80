"""The exact table of a video stream's frames that one scan of the stream
gives (``FrameTable``), and its saved form: written and read back, every
field checked, so that a file is scanned once, ever.  A reader asks it
through ``_locate.TableLocator``.
"""

from __future__ import annotations

import functools
import io
import math
import os
import threading
import zipfile
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from typing import IO, TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._av import VideoStreamMetadata

__all__ = ["FrameTable"]

#: Version of the saved format; ``FrameTable.load`` reads this one only.
FORMAT_VERSION = 1
#: What ``save`` and ``load`` take: a path, or a binary file open for writing
#: or reading.
TablePath = Union[str, "os.PathLike[str]", IO[bytes]]
# The header facts a saved table is checked against, in the order named in
# a mismatch: (field, what the message calls it).
_IDENTITY = (("stream_index", "stream index"), ("codec", "codec"), ("time_base", "time base"),
             ("header_frames", "frame count in the header"), ("source_size", "source size"))


@dataclass(frozen=True, eq=False)
class FrameTable:
    """Every frame of one video stream in presentation order, from one scan.

    ``pts`` (ticks of the stream's time base), ``times`` and ``durations``
    (seconds), and for each frame ``seek``, the pts of the key frame to
    decode it from.  Frames may share a timestamp (in the scan's order,
    which is the order in which they are decoded); each keeps its own index,
    and ``occurrence`` tells them apart: how many frames of the same
    timestamp come before it (None when no timestamp repeats).

    The table also records what identifies its stream: ``stream_index``,
    ``codec``, ``time_base`` (num, den), the header's frame count
    (``header_frames``) and the source's size in bytes (``source_size``),
    None where they are unknown.  ``VideoReader(source, frame_index=table)``
    checks them before it uses the table instead of scanning.

    ``save`` writes it as a compressed NumPy archive (a few bytes per frame)
    and ``FrameTable.load`` reads it back.
    """

    pts: npt.NDArray[np.int64]
    packet_durations: npt.NDArray[np.int64]
    key: npt.NDArray[np.bool_]
    stream_index: int
    codec: str | None
    time_base: tuple[int, int]
    header_frames: int | None = None
    source_size: int | None = None
    seek: npt.NDArray[np.int64] = field(init=False)
    occurrence: npt.NDArray[np.int64] | None = field(init=False)

    def __post_init__(self) -> None:
        pts, key = self.pts, self.key
        keys = pts[key]
        if keys.size == 0:  # no key flags: start every search at the first frame
            keys = pts[:1]
        before = np.searchsorted(keys, pts, side="right") - 1
        # A frame before the first key frame (a stream cut in a group, or one
        # whose first key frame is too damaged to be flagged one) is decoded
        # from the stream start: its seek point is the first frame's time.
        # (A seek to the next key frame would find it passed, and the search
        # from the start that follows could not let the next frame stand in
        # for one lost to the damage.)
        seek = np.where(before >= 0, keys[np.maximum(before, 0)], pts[:1]) if keys.size else pts
        occurrence = None
        repeated = np.flatnonzero(np.diff(pts) == 0)
        if repeated.size:
            first = np.searchsorted(pts, pts, side="left")  # first row of each timestamp
            occurrence = np.arange(pts.size, dtype=np.int64) - first
            # Occurrences count from the seek point, which must come before
            # the whole group: a seek to the group's own timestamp may land
            # on any of its frames.
            shared = np.zeros(pts.size, dtype=bool)
            shared[repeated] = shared[repeated + 1] = True
            earlier = np.maximum(np.searchsorted(keys, pts, side="left") - 1, 0)
            seek = np.where(shared, keys[earlier], seek) if keys.size else seek
        object.__setattr__(self, "seek", seek)
        object.__setattr__(self, "occurrence", occurrence)

    def _copy(self) -> FrameTable:
        """The same table with arrays of its own, without working out the
        seek points again."""
        copy = object.__new__(FrameTable)
        for item in fields(self):
            value = getattr(self, item.name)
            object.__setattr__(copy, item.name,
                               value.copy() if isinstance(value, np.ndarray) else value)
        return copy

    # Seconds as the extension computes them: ticks * num / den.
    @functools.cached_property
    def times(self) -> npt.NDArray[np.float64]:
        num, den = self.time_base
        result: npt.NDArray[np.float64] = self.pts.astype(np.float64) * num / den
        return result

    @functools.cached_property
    def durations(self) -> npt.NDArray[np.float64]:
        num, den = self.time_base
        result: npt.NDArray[np.float64] = self.packet_durations.astype(np.float64) * num / den
        return result

    @classmethod
    def from_scan(cls, packets: list[tuple[int, int, bool]], header: VideoStreamMetadata,
                  source_size: int | None = None) -> FrameTable:
        """The table of a ``Decoder.scan()`` result, with the identity of the
        stream taken from the decoder's ``metadata()``."""
        table = np.array(packets, dtype=np.int64).reshape(-1, 3)
        return cls(np.ascontiguousarray(table[:, 0]), np.ascontiguousarray(table[:, 1]),
                   table[:, 2] != 0, **_identity(header), source_size=source_size)

    def __len__(self) -> int:
        return int(self.pts.size)

    @property
    def key_frames(self) -> int:
        return int(np.count_nonzero(self.key))

    @property
    def end(self) -> float:
        """End of the last frame in seconds (its time when its duration is unknown)."""
        return float(self.times[-1] + self.durations[-1]) if self.times.size else 0.0

    def __repr__(self) -> str:
        num, den = self.time_base
        return (f"<FrameTable of stream {self.stream_index} ({self.codec}): {len(self)} frames, "
                f"{self.key_frames} key frames, time base {num}/{den}>")

    # -- what VideoReader asks ------------------------------------------------------

    def targets(self, picks: npt.NDArray[np.intp]) -> tuple[list[tuple[int, int]], list[int] | None]:
        """(pts, seek point) of the frames at these rows, and their occurrences."""
        targets = list(zip(self.pts[picks].tolist(), self.seek[picks].tolist()))
        occurrences = None if self.occurrence is None else self.occurrence[picks].tolist()
        return targets, occurrences

    def check(self, header: VideoStreamMetadata, source_size: int | None) -> None:
        """ValueError naming every identity fact that differs from the
        stream's (facts unknown on either side are not compared)."""
        stream = _identity(header) | {"source_size": source_size}
        differences = []
        for name, label in _IDENTITY:
            mine, theirs = getattr(self, name), stream[name]
            if mine is None or theirs is None or mine == theirs:
                continue
            if name == "time_base":
                mine, theirs = "/".join(map(str, mine)), "/".join(map(str, theirs))
            differences.append(f"{label} {mine} in the index, {theirs} in the stream")
        if differences:
            raise ValueError("the frame index does not belong to this stream: "
                             + "; ".join(differences))

    # -- saving ---------------------------------------------------------------------

    def save(self, file: TablePath) -> None:
        """Write the table to ``file`` (a path, written as given, or a binary
        file) as a compressed NumPy archive."""
        # Steps between timestamps and bit-packed key flags compress to a
        # few bytes for a regular stream, and load in a millisecond.
        # The identity facts go in one array (-1 for unknown): each array
        # of an archive costs its own read.
        identity = (self.stream_index, *self.time_base, _unknown(self.header_frames),
                    _unknown(self.source_size))
        arrays: dict[str, Any] = {
            "format_version": np.int64(FORMAT_VERSION),
            "pts_steps": np.diff(self.pts, prepend=np.int64(0)), "durations": self.packet_durations,
            "key_bits": np.packbits(self.key), "identity": np.array(identity, dtype=np.int64),
            "codec": np.str_(self.codec if self.codec is not None else ""),
        }
        if isinstance(file, (str, os.PathLike)):
            with open(file, "wb") as out:  # np.savez would add ".npz" to a bare name
                np.savez_compressed(out, **arrays)
        else:
            np.savez_compressed(file, **arrays)

    @classmethod
    def load(cls, file: TablePath) -> FrameTable:
        """A table written by ``save``.  ValueError naming the file and what
        is wrong for one that is not such a table (damaged, cut short, of
        another format version, with fields out of shape or range)."""
        where = _where(file)
        if isinstance(file, (str, os.PathLike)):
            try:
                opened = open(file, "rb")
            except FileNotFoundError:
                raise
            except OSError as error:
                raise _refused(f"not a saved frame table: {error.strerror or error}", where) from None
            with opened:
                return _read_saved(opened, where)
        return _read_saved(file, where)


#: The most bytes that deflate gives for one compressed byte (a run of one
#: byte value: 258 bytes per two-bit code), with room for block headers: a
#: member claiming more than that, or a stored one claiming more than it
#: stores, is damaged, and nothing is allocated for it.
_MOST_INFLATED = 1032
_SLACK = 1024
#: The fields of a saved table besides its version, and what each holds.
_FIELDS = {"pts_steps": "integers", "durations": "integers", "key_bits": "bytes",
           "identity": "integers", "codec": "text"}


def _where(file: object) -> str:
    """The file as a message names it."""
    if isinstance(file, (str, os.PathLike)):
        return repr(os.fsdecode(file))
    name = getattr(file, "name", None)
    if isinstance(name, (str, bytes)):
        return repr(os.fsdecode(name))
    return f"a {type(file).__name__}"


def _refused(problem: str, where: str) -> ValueError:
    return ValueError(f"{problem}, in {where}")


def _read_saved(file: IO[bytes], where: str) -> FrameTable:
    """The table saved in ``file`` (from where it stands), every field checked."""
    def refuse(problem: str) -> ValueError:
        return _refused(f"not a saved frame table: {problem}", where)

    try:
        start = file.tell()
        head = file.read(6)
        size = file.seek(0, os.SEEK_END) - start
        file.seek(start)
    except Exception as error:
        raise refuse(f"it cannot be read ({error})") from None
    if head == b"\x93NUMPY":
        raise refuse("a single array, not an archive")
    if head[:4] != b"PK\x03\x04":
        raise refuse("it is not a zip archive")
    try:
        archive = zipfile.ZipFile(file)
    except Exception as error:
        raise refuse(f"its zip archive is damaged or cut short ({error})") from None
    with archive:
        def read(name: str) -> npt.NDArray[Any]:
            return _member_array(archive, name, size, refuse)

        if "format_version.npy" not in archive.namelist():
            raise refuse("it has no format version")
        version = read("format_version")
        if version.shape != () or not _integral(version.dtype):
            raise refuse("its format version is not an integer")
        if int(version) != FORMAT_VERSION:
            raise _refused(f"frame table format version {int(version)} is not supported "
                           f"(this release reads version {FORMAT_VERSION})", where)
        arrays = {}
        for name, kind in _FIELDS.items():
            if f"{name}.npy" not in archive.namelist():
                raise refuse(f"it has no {name}")
            array = read(name)
            fits = {"integers": array.ndim == 1 and _integral(array.dtype),
                    "bytes": array.ndim == 1 and array.dtype == np.uint8,
                    "text": array.shape == () and array.dtype.kind == "U"}[kind]
            if not fits:
                raise refuse(f"its {name} is not {'a string' if kind == 'text' else 'a row of ' + kind}")
            arrays[name] = array
    steps = arrays["pts_steps"].astype(np.int64)
    pts = np.cumsum(steps)
    durations = arrays["durations"].astype(np.int64)
    if not pts.shape == durations.shape or arrays["key_bits"].size != (pts.size + 7) // 8:
        raise refuse("its arrays do not fit together")
    # Steps after the first are never negative; a sum past the range of
    # int64 wraps around, which the comparison catches.
    if np.any(steps[1:] < 0) or np.any(pts[1:] < pts[:-1]):
        raise refuse("its timestamps are not sorted")
    if np.any(durations < 0):
        raise refuse("it has negative durations")
    identity = arrays["identity"].astype(np.int64).tolist()
    if len(identity) != 5:
        raise refuse(f"its identity has {len(identity)} values, not 5")
    stream_index, num, den, frames, source_size = identity
    for bad, label in ((stream_index < 0, "stream index"), (num < 1 or den < 1, "time base"),
                       (frames < -1, "frame count in the header"), (source_size < -1, "source size")):
        if bad:
            raise refuse(f"its {label} is out of range")
    key = np.unpackbits(arrays["key_bits"], count=pts.size).astype(bool)
    codec = str(arrays["codec"])
    return FrameTable(pts, durations, key, stream_index, codec or None, (num, den),
                      None if frames < 0 else frames, None if source_size < 0 else source_size)


def _integral(dtype: np.dtype[Any]) -> bool:
    """Whether values of ``dtype`` are integers that int64 holds exactly."""
    return dtype.kind in "iu" and np.can_cast(dtype, np.int64)


def _member_array(archive: zipfile.ZipFile, name: str, size: int,
                  refuse: Callable[[str], ValueError]) -> npt.NDArray[Any]:
    """The array stored as ``name``.npy, its sizes checked against what the
    archive of ``size`` bytes can hold before anything is allocated for it;
    no objects, no pickles."""
    member = archive.getinfo(f"{name}.npy")
    if member.compress_type == zipfile.ZIP_STORED:
        holds = member.compress_size
    elif member.compress_type == zipfile.ZIP_DEFLATED:
        holds = member.compress_size * _MOST_INFLATED + _SLACK
    else:
        raise refuse(f"its {name} is compressed in a way that saved tables are not")
    if member.compress_size > size or member.file_size > holds:
        raise refuse(f"its {name} claims more data than the file holds")

    def damaged(error: Exception) -> ValueError:
        return refuse(f"its {name} is damaged ({error})")

    try:
        stream = archive.open(member)
        version = np.lib.format.read_magic(stream)
        if version not in ((1, 0), (2, 0)):
            raise ValueError(f"array format version {version[0]}.{version[1]} is not read")
        shape, fortran, dtype = (np.lib.format.read_array_header_1_0(stream) if version == (1, 0)
                                 else np.lib.format.read_array_header_2_0(stream))
        header = stream.tell()
    except Exception as error:
        raise damaged(error) from None
    with stream:
        if dtype.hasobject:
            raise refuse(f"its {name} holds Python objects, which are not loaded")
        declared = math.prod(shape) * dtype.itemsize
        if declared != member.file_size - header:
            raise refuse(f"its {name} declares {declared} bytes of data but holds "
                         f"{member.file_size - header}")
        try:
            data = stream.read(declared)
            stream.read(1)  # the end of the member, where its checksum is compared
        except Exception as error:
            raise damaged(error) from None
    if len(data) != declared:
        raise refuse(f"its {name} is cut short")
    count = math.prod(shape)
    if not dtype.itemsize and count > 1:  # no saved field has elements of no size
        raise refuse(f"its {name} declares {count} elements of no size")
    array = np.frombuffer(data, dtype=dtype, count=count) if dtype.itemsize else np.empty(count, dtype)
    return array.reshape(shape, order="F" if fortran else "C")


def _unknown(value: int | None) -> int:
    return -1 if value is None else value


def _identity(header: VideoStreamMetadata) -> dict[str, Any]:
    return {"stream_index": header["stream_index"], "codec": header["codec"],
            "time_base": (header["time_base_num"], header["time_base_den"]),
            "header_frames": header["num_frames_from_header"]}


def load_table(value: FrameTable | str | os.PathLike[str]) -> FrameTable:
    """A table given as itself or as the path of a saved one."""
    if isinstance(value, FrameTable):
        return value
    if isinstance(value, (str, os.PathLike)):
        return _loaded.get(value)
    raise TypeError(f"frame_index must be a FrameTable or the path of a saved one, "
                    f"not {type(value).__name__}")


class _LoadedTables:
    """The tables lately loaded from saved files, for readers that open the
    same source with the same saved index again and again (a data loader's
    epochs, a service answering one frame per request): loading a long
    table (inflating it, summing its steps, finding every frame's seek
    point) costs many times what reading its few kilobytes and copying a
    kept table does.  Tables are kept by the saved bytes themselves,
    so a file saved anew is loaded anew however its times look; each reader
    gets its own copy, so changing one reader's arrays changes no other's."""

    _KEPT = 8

    def __init__(self) -> None:
        self._tables: OrderedDict[bytes, FrameTable] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, path: str | os.PathLike[str]) -> FrameTable:
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError:
            return FrameTable.load(path)  # raises as a load does
        with self._lock:
            kept = self._tables.get(data)
            if kept is not None:
                self._tables.move_to_end(data)
        if kept is None:
            kept = _read_saved(io.BytesIO(data), _where(path))
            with self._lock:
                self._tables[data] = kept
                while len(self._tables) > self._KEPT:
                    self._tables.popitem(last=False)
        return kept._copy()


_loaded = _LoadedTables()

"""A binary file object that counts what is asked of it, standing in for a
network source, where every ``read`` and every ``seek`` that moves is a
round trip."""

from __future__ import annotations

import io
import os
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Counts:
    reads: int = 0
    bytes: int = 0
    seeks: int = 0      # every seek() call
    moves: int = 0      # seek() calls that changed the position
    sizes: list[int] = field(default_factory=list)  # bytes returned by each read

    @property
    def round_trips(self) -> int:
        """Reads plus seeks that moved: what a remote source pays for."""
        return self.reads + self.moves

    def as_dict(self) -> dict[str, int]:
        return {"reads": self.reads, "bytes": self.bytes, "seeks": self.seeks,
                "moves": self.moves}


class CountingFile(io.RawIOBase):
    """A file read through an unbuffered descriptor, counting the calls."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        super().__init__()
        self._file = open(Path(path), "rb", buffering=0)
        self.counts = Counts()

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self.counts.reads += 1
        self.counts.bytes += len(data)
        self.counts.sizes.append(len(data))
        return data

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def seek(self, offset: int, whence: int = 0) -> int:
        before = self._file.tell()
        position = self._file.seek(offset, whence)
        self.counts.seeks += 1
        self.counts.moves += position != before
        return position

    def tell(self) -> int:
        return self._file.tell()

    def close(self) -> None:
        self._file.close()
        super().close()

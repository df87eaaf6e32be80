"""The names of what the readers take and give, shared by every module
that handles sources, frames and output types."""

from __future__ import annotations

import os
from typing import IO, Literal, SupportsIndex, TypeAlias, Union, get_args

import numpy as np
import numpy.typing as npt

from . import _av

#: What a reader can open: a path or URL, encoded media in memory, or a
#: binary file object with ``read`` and ``seek``.
Source: TypeAlias = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes]]
#: Sample type of returned frames.  "native" keeps the stream's own samples
#: for a few packed formats (grey, 16-bit grey, RGBA ...).  For type
#: checkers; the names themselves are the extension's (``DTYPES``).
OutputDtype: TypeAlias = Literal["uint8", "uint16", "float32", "native"]
#: The names the extension decodes to, in the order messages list them.
DTYPES: tuple[str, ...] = _av._output_dtypes
#: The NumPy type of the frames of each RGB dtype ("native" frames are of
#: the stream's own type).
FRAME_TYPES: dict[str, type[np.generic]] = {"uint8": np.uint8, "uint16": np.uint16,
                                            "float32": np.float32}
#: Frames as returned by the readers: (..., height, width, channels).
Frames: TypeAlias = npt.NDArray[Union[np.uint8, np.uint16, np.float32]]
#: Indices accepted by ``VideoReader.__getitem__``.
FrameIndex: TypeAlias = Union[SupportsIndex, slice, "npt.ArrayLike"]
#: How a ``VideoReader`` finds frame ``i`` without a saved table.
SeekMode: TypeAlias = Literal["exact", "approximate"]
SEEK_MODES: tuple[str, ...] = get_args(SeekMode)

from collections.abc import Sequence
from typing import IO, Literal, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__: list[str]
__version__: str
ffmpeg_version: str

_Source: TypeAlias = str | bytes | IO[bytes]
_OutputDtype: TypeAlias = Literal["uint8", "uint16", "float32", "native"]
_Transform: TypeAlias = tuple[str, int, int, int, int]
_Batch: TypeAlias = tuple[npt.NDArray[np.uint8 | np.uint16 | np.float32], list[float], list[float]]

class Decoder:
    def __init__(
        self,
        source: _Source,
        media_type: Literal["video", "audio"],
        stream_index: int | None = None,
        threads: int = 1,
        *,
        timeout: SupportsFloat | SupportsIndex | None = None,
    ) -> None: ...
    def metadata(self, apply_rotation: bool | np.bool_ = True) -> dict[str, object]: ...
    def scan(self) -> list[tuple[int, int, bool]]: ...
    def decode_video(
        self,
        targets: Sequence[tuple[SupportsIndex, SupportsIndex]],
        output_dtype: _OutputDtype,
        exact: bool | np.bool_,
        transforms: Sequence[_Transform] = ...,
        *,
        direct_resize: bool | np.bool_ = False,
    ) -> _Batch: ...
    def decode_timestamps(
        self,
        seconds: Sequence[SupportsFloat | SupportsIndex],
        output_dtype: _OutputDtype,
        transforms: Sequence[_Transform] = ...,
        *,
        direct_resize: bool | np.bool_ = False,
    ) -> _Batch: ...
    def decode_audio(
        self,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        stop: SupportsFloat | SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.float32], float]: ...
    def close(self) -> None: ...

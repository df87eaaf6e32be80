"""Readers on top of the extension's ``Decoder``: video frames by index or by
time, a whole stream in bounded batches, and audio cut to a time range.

``VideoReader`` lives in ``quorvex_av.video``, ``AudioReader`` in
``quorvex_av.audio`` and the classes that describe their streams in
``quorvex_av._metadata``; this module gathers them under one name.
"""

from __future__ import annotations

from ._metadata import AudioMetadata, VideoHeader, VideoMetadata
from ._sources import list_streams
from ._types import FrameIndex as FrameIndex
from ._types import Frames as Frames
from ._types import OutputDtype as OutputDtype
from ._types import SeekMode as SeekMode
from ._types import Source as Source
from .audio import AudioReader
from .frame_table import FrameTable as FrameTable
from .video import VideoReader

__all__ = ["AudioMetadata", "AudioReader", "VideoHeader", "VideoMetadata", "VideoReader",
           "list_streams"]

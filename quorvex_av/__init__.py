"""Decode video and audio into NumPy arrays through the FFmpeg libraries.

``VideoReader`` and ``AudioReader`` are the everyday interface: frames by
index or time, whole streams in batches, audio cut to a time range.
``Decoder`` is the extension's own, lower-level class that they are built on.
"""

from ._av import Decoder, __version__, ffmpeg_version
from .readers import AudioMetadata, AudioReader, VideoMetadata, VideoReader

__all__ = [
    "AudioMetadata",
    "AudioReader",
    "Decoder",
    "VideoMetadata",
    "VideoReader",
    "__version__",
    "ffmpeg_version",
]

"""Decode video and audio into NumPy arrays through the FFmpeg libraries."""

from ._av import Decoder, __version__, ffmpeg_version

__all__ = ["Decoder", "__version__", "ffmpeg_version"]

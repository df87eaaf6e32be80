"""Decode video and audio into NumPy arrays through the FFmpeg libraries.

``VideoReader`` and ``AudioReader`` are the everyday interface: frames by
index or time, whole streams in batches, audio cut to a time range.
``quorvex_av.samplers`` draws clips of a video for training, and
``ClipLoader`` decodes the clips of many files on a pool of threads.
``FrameTable`` is a video's exact frame index, which can be saved so that a
file is scanned once, ever.  ``Decoder`` is the extension's own, lower-level class that they are built on.
"""

from . import samplers
from ._av import Decoder, __version__, ffmpeg_version
from .errors import (DamagedFrameError, NoDecoderError, NoFrameError, NotShownError,
                     SharedTimestampsError, StreamNotFoundError, WrongMediaTypeError)
from .frame_table import FrameTable
from .loader import ClipLoader, LoadedClips, LoadError
from .readers import (AudioMetadata, AudioReader, VideoHeader, VideoMetadata, VideoReader,
                      list_streams)
from .samplers import Clips

__all__ = [
    "AudioMetadata",
    "AudioReader",
    "ClipLoader",
    "Clips",
    "DamagedFrameError",
    "Decoder",
    "FrameTable",
    "LoadError",
    "LoadedClips",
    "NoDecoderError",
    "NoFrameError",
    "NotShownError",
    "SharedTimestampsError",
    "StreamNotFoundError",
    "VideoHeader",
    "VideoMetadata",
    "VideoReader",
    "WrongMediaTypeError",
    "__version__",
    "ffmpeg_version",
    "list_streams",
    "samplers",
]

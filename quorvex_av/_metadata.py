"""What the readers tell of their streams: the header's facts of a video
stream (``VideoHeader``), what a reader measures of it (``VideoMetadata``)
and the header's facts of an audio stream (``AudioMetadata``), each made
from the extension's ``metadata()`` in one place."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._av import AudioStreamMetadata, VideoStreamMetadata
    from ._locate import Locator


@dataclass(frozen=True)
class _VideoFacts:
    """The header facts that ``VideoHeader`` and ``VideoMetadata`` share."""

    stream_index: int
    codec: str | None
    #: Width and height of the frames before any crop or resize, upright when
    #: the reader applies the display rotation.
    width: int
    height: int
    pixel_format: str | None
    bit_depth: int | None
    #: Shape of a pixel as (width, height), None when the file does not say.
    pixel_aspect_ratio: tuple[int, int] | None
    color_range: str | None
    color_space: str | None
    color_primaries: str | None
    color_transfer: str | None
    #: The display rotation stored in the file, in degrees counter-clockwise
    #: (None when there is none), whether or not the reader applies it.
    rotation: float | None
    bit_rate: float | None


@dataclass(frozen=True)
class VideoHeader(_VideoFacts):
    """What the container header says of a video stream: known as soon as
    a ``VideoReader`` is open, without reading any frame or packet.

    The counts and times here are the header's claims (None where it makes
    none); ``VideoMetadata`` has the ones a scan of the stream measures.
    """

    #: The frame count the header stores (MP4 does, Matroska does not).
    num_frames: int | None
    #: The header's base frame rate.
    fps: float | None
    #: The stream's start time and duration, in seconds.
    start: float | None
    duration: float | None
    #: The whole container's duration, in seconds.
    container_duration: float | None


@dataclass(frozen=True)
class VideoMetadata(_VideoFacts):
    """What a ``VideoReader`` knows about its stream.

    Sizes are those of the pictures as shown: with ``auto_rotate`` a quarter
    turn swaps ``width`` and ``height``.  ``num_frames``, ``num_key_frames``,
    ``start``, ``duration`` and ``fps`` are measured by the reader's frame
    table (its scan of the stream, or a saved table), so they hold for
    variable frame rates too; with ``seek_mode="approximate"`` and no table
    they are the header's nominal values instead (``num_key_frames`` is then
    None).  The other fields are header facts, also in ``VideoHeader``.
    """

    #: Frames in the stream, and how many of them are key frames.
    num_frames: int
    num_key_frames: int | None
    #: Time of the first frame, in seconds (not always 0).
    start: float
    #: From the first frame's time to the end of the last frame; the last
    #: frame counts for its own duration, or for nothing when that is unknown.
    duration: float
    #: Mean frame rate over the frame intervals, (frames - 1) / (last time -
    #: first time); the header's rate when there are fewer than two frames.
    fps: float | None


@dataclass(frozen=True)
class AudioMetadata:
    """What an ``AudioReader`` knows about its stream, from the header."""

    stream_index: int
    codec: str | None
    sample_rate: int | None
    channels: int | None
    sample_format: str | None
    #: The header's start time and duration in seconds (None when absent).
    start: float | None
    duration: float | None
    bit_rate: float | None


def _aspect(ratio: tuple[int, int]) -> tuple[int, int] | None:
    """A pixel aspect ratio, None where the header stores none (a zero)."""
    return ratio if ratio[0] and ratio[1] else None


def _stream_facts(header: VideoStreamMetadata | AudioStreamMetadata) -> dict[str, Any]:
    """The facts every stream's header gives, under the names the
    descriptions use."""
    return {"stream_index": header["stream_index"], "codec": header["codec"],
            "start": header["begin_stream_seconds_from_header"],
            "duration": header["duration_seconds_from_header"],
            "bit_rate": header["bit_rate"] or None}


def video_header(header: VideoStreamMetadata, size: tuple[int, int],
                 rotation: float | None) -> VideoHeader:
    """The header's facts, with the (width, height) of the pictures as the
    reader turns them and the display rotation stored in the file."""
    return VideoHeader(
        width=size[0],
        height=size[1],
        num_frames=header["num_frames_from_header"],
        fps=header["average_fps_from_header"],
        container_duration=header["container_duration"],
        pixel_format=header["pixel_format"],
        bit_depth=header["bit_depth"],
        pixel_aspect_ratio=_aspect(header["pixel_aspect_ratio"]),
        color_range=header["color_range"],
        color_space=header["color_space"],
        color_primaries=header["color_primaries"],
        color_transfer=header["color_transfer_characteristic"],
        rotation=rotation,
        **_stream_facts(header),
    )


def video_metadata(header: VideoHeader, locator: Locator) -> VideoMetadata:
    """The header's facts with the counts and times of ``locator``."""
    count = len(locator)
    fps = locator.fps if locator.fps is not None else header.fps
    start = float(locator.times[0]) if count else 0.0
    facts = {field.name: getattr(header, field.name) for field in fields(_VideoFacts)}
    return VideoMetadata(num_frames=count, num_key_frames=locator.key_frames, start=start,
                         duration=locator.end - start if count else 0.0, fps=fps, **facts)


def audio_metadata(header: AudioStreamMetadata) -> AudioMetadata:
    return AudioMetadata(sample_rate=header["sample_rate"], channels=header["num_channels"],
                         sample_format=header["sample_format"], **_stream_facts(header))

from collections.abc import Sequence
from typing import IO, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt

from ._types import OutputDtype as _OutputDtype

__all__: list[str]
__version__: str
ffmpeg_version: str
# For the package: the output dtype names, and each error kind's built-in class.
_output_dtypes: tuple[str, ...]
_error_kinds: dict[str, type[Exception]]

_Source: TypeAlias = str | bytes | IO[bytes]
_Transform: TypeAlias = tuple[str, int, int, int, int]
_Batch: TypeAlias = tuple[npt.NDArray[np.uint8 | np.uint16 | np.float32], list[float], list[float]]

class _StreamMetadata(TypedDict):
    stream_index: int
    time_base_num: int
    time_base_den: int
    codec: str | None
    bit_rate: float
    duration_seconds_from_header: float | None
    container_duration: float | None
    begin_stream_seconds_from_header: float | None

class VideoStreamMetadata(_StreamMetadata):
    """``metadata()`` of a decoder opened on a video stream."""

    media_type: Literal["video"]
    width: int
    height: int
    num_frames_from_header: int | None
    average_fps_from_header: float | None
    pixel_aspect_ratio: tuple[int, int]
    pixel_format: str | None
    bit_depth: int | None
    color_range: str | None
    color_space: str | None
    color_primaries: str | None
    color_transfer_characteristic: str | None
    rotation: float | None

class AudioStreamMetadata(_StreamMetadata):
    """``metadata()`` of a decoder opened on an audio stream."""

    media_type: Literal["audio"]
    sample_rate: int
    num_channels: int
    sample_format: str | None

class StreamInfo(TypedDict):
    """One stream of a container, as ``Decoder.streams`` lists it."""

    index: int
    #: FFmpeg's name of the media type: "video", "audio", "subtitle",
    #: "data", "attachment" or "unknown".
    media_type: str
    codec: str | None
    #: Whether the linked FFmpeg has a decoder for the codec.
    decodable: bool

class Decoder:
    def __init__(
        self,
        source: _Source,
        media_type: Literal["video", "audio"],
        stream_index: int | None = None,
        threads: int = 1,
        *,
        timeout: SupportsFloat | SupportsIndex | None = None,
        buffer_size: SupportsIndex | None = None,
        error_types: dict[str, type[Exception]] | None = None,
    ) -> None:
        """``error_types`` maps kinds of failure ("no_stream",
        "wrong_media_type", "no_decoder", "no_frame", "not_shown",
        "shared_timestamps") to the classes raised for them (see
        quorvex_av.errors), each a subclass of the built-in exception that
        kind raises by default; kinds left out raise that built-in."""
    @staticmethod
    def streams(source: _Source, *, timeout: SupportsFloat | SupportsIndex | None = None
                ) -> list[StreamInfo]:
        """Every stream of the source's container in index order, from one
        opening that decodes nothing."""
    def metadata(
        self, apply_rotation: bool | np.bool_ = True
    ) -> VideoStreamMetadata | AudioStreamMetadata: ...
    def scan(self) -> list[tuple[int, int, bool]]: ...
    def decode_video(
        self,
        targets: Sequence[tuple[SupportsIndex, SupportsIndex]],
        output_dtype: _OutputDtype,
        exact: bool | np.bool_,
        transforms: Sequence[_Transform] = ...,
        *,
        direct_resize: bool | np.bool_ = False,
        occurrences: Sequence[SupportsIndex] | None = None,
        skip_invalid: bool | np.bool_ = False,
        seek_by_index: bool | np.bool_ = False,
        stand_in: bool | np.bool_ = False,
        partial: bool | np.bool_ = False,
        continuation: bool | np.bool_ = False,
    ) -> _Batch:
        """With ``seek_by_index=True`` a target later than the previous
        answer is reached by decoding on, without a seek, unless the
        container's index lists a key frame after that answer and at or
        before the target's seek point; seek points may then differ for
        every target.

        With ``stand_in=True`` (and ``exact`` and ``skip_invalid``) an exact
        target that no frame answers because packets were skipped since the
        seek (its own, or one it refers to) is answered by the next frame
        decoded instead of failing the call; ``stand_ins()`` lists those
        positions.

        With ``partial=True`` (here and in ``decode_timestamps``) the
        targets are part of a larger request whose other targets another
        call decodes: the last one is decoded like the others, where a last
        target that is the key frame a seek lands on is otherwise taken
        without reading the packets after it; and the frames the decoder
        holds decoded past the last answer are taken out, their damage
        counted in ``damaged_frames()``, so the next call seeks.

        A call goes on from where the previous one stopped, without a seek,
        where its first target lies ahead there; but not after the decoder
        met damage, and a call that went on and met damage is decoded again
        from a seek: what a decoder makes of damage depends on the pictures
        it decoded before, so the answer would depend on the calls before.
        With ``continuation=True`` (the batches of one walk through the
        stream) the call goes on whatever the calls before met."""
    def decode_timestamps(
        self,
        seconds: Sequence[SupportsFloat | SupportsIndex],
        output_dtype: _OutputDtype,
        transforms: Sequence[_Transform] = ...,
        *,
        direct_resize: bool | np.bool_ = False,
        skip_invalid: bool | np.bool_ = False,
        partial: bool | np.bool_ = False,
    ) -> _Batch: ...
    def decode_audio(
        self,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        stop: SupportsFloat | SupportsIndex | None = None,
        *,
        honour_timestamps: bool | np.bool_ = False,
        skip_invalid: bool | np.bool_ = False,
    ) -> tuple[npt.NDArray[np.float32], float]:
        """The stream's samples as (channels, samples) and the first frame's time.

        By default sample k is at that time + k / sample_rate, whatever the
        later frames' timestamps say.  With ``honour_timestamps`` every frame
        is placed at its own timestamp: a gap of more than 0.1 s since the
        samples before it is filled with silence, an overlap of more than
        0.1 s is dropped; silence is made only up to ``stop``, and without
        one a gap of more than 600 s raises RuntimeError.  A channel count
        without a standard layout gets the
        stream's channels in order, then silence.
        """
    def decode_audio_range(
        self,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        first: SupportsIndex,
        end: SupportsIndex | None = None,
        *,
        skip_invalid: bool | np.bool_ = False,
    ) -> tuple[npt.NDArray[np.float32], float, int | None]:
        """Samples [first, end) of ``decode_audio(sample_rate, channels,
        honour_timestamps=True)`` (``end`` None: to the stream's end), found
        by seeking; the first-sample time; and the whole read's length in
        samples when this read reached the stream's end, else None.

        Decoding starts at a seek point far enough before ``first`` for the
        decoder and the resampler to give what the whole read gives there,
        so the cost follows the range, not its place in the stream.
        ValueError "first and end must be sample indices with 0 <= first <=
        end" when they are not.
        """
    def audio_start_time(self, *, skip_invalid: bool | np.bool_ = False) -> float | None:
        """The time of the stream's first sample (that of decode_audio), or
        None when the stream decodes to nothing; decodes only the first
        frame, once per decoder."""
    def skipped_packets(self) -> int:
        """Packets the latest decode_video, decode_timestamps or decode_audio
        call skipped.  With ``skip_invalid=True`` a packet the decoder rejects
        as invalid data (AVERROR_INVALIDDATA, when sending it or receiving its
        frame) is counted and skipped instead of raising RuntimeError "send
        packet: ..." / "receive decoded frame: ..."; other failures still
        raise."""
    def damaged_frames(self) -> int:
        """Frames of the latest decode call that came out damaged: with
        errors concealed, or flagged corrupt (a reference missing)."""
    def stand_ins(self) -> list[int]:
        """Output positions of the latest decode_video call answered by a
        stand-in (see ``stand_in``), ascending."""
    def close(self) -> None: ...
    def interrupt(self) -> None:
        """From another thread: the call running on this decoder, if any,
        stops at its next read and raises RuntimeError "interrupted: ...";
        the decoder stays usable.  Takes no use of the decoder, so never
        raises "Already borrowed"; a call that starts meanwhile may miss it."""

"""Exceptions for the failures a caller may want to handle on their own.

Each is a subclass of the built-in exception the extension raises for that
failure by default (``ValueError`` or ``RuntimeError``), with the same
message, so code that catches the built-in keeps working.  The readers,
samplers and loader open their decoders with ``ERROR_TYPES``; a ``Decoder``
opened directly raises them when given ``error_types=ERROR_TYPES``.
"""

from __future__ import annotations

from . import _av

__all__ = [
    "ERROR_TYPES",
    "DamagedFrameError",
    "NoDecoderError",
    "NoFrameError",
    "NotShownError",
    "SharedTimestampsError",
    "StreamNotFoundError",
    "WrongMediaTypeError",
]


class StreamNotFoundError(ValueError):
    """The source has no stream of the media type asked for, or the stream
    index given is out of range."""

    kind = "no_stream"


class WrongMediaTypeError(ValueError):
    """The stream index given names a stream of another media type."""

    kind = "wrong_media_type"


class NoDecoderError(RuntimeError):
    """The linked FFmpeg has no decoder for the stream's codec."""

    kind = "no_decoder"


class NoFrameError(RuntimeError):
    """A frame asked for by timestamp lies after the last frame of the
    stream (or a repeated timestamp has fewer frames than asked for)."""

    kind = "no_frame"


class DamagedFrameError(NoFrameError):
    """A frame asked for by index did not decode: its packet, or one it
    refers to, was damaged and skipped (see the guide's Damaged packets)."""


class NotShownError(RuntimeError):
    """No frame is shown at a time asked for: it is before the first frame,
    or after the last frame's end."""

    kind = "not_shown"


class SharedTimestampsError(RuntimeError):
    """Frames of the stream share a timestamp, which reading by time
    cannot order."""

    kind = "shared_timestamps"


_BY_KIND = {error.kind: error for error in (StreamNotFoundError, WrongMediaTypeError,
                                             NoDecoderError, NoFrameError, NotShownError,
                                             SharedTimestampsError)}

#: The ``error_types`` argument of ``Decoder``: the kind of each failure
#: mapped to the class raised for it, in the extension's order of kinds.
ERROR_TYPES: dict[str, type[Exception]] = {kind: _BY_KIND[kind] for kind in _av._error_kinds}

"""The pictures a video reader gives: its header read upright (or as
stored), and the plan of rotation, crop and resize that the extension
applies, checked by the extension's own rule."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from ._types import Frames, OutputDtype

if TYPE_CHECKING:
    from ._av import Decoder, VideoStreamMetadata

Transform = tuple[str, int, int, int, int]


def read_header(decoder: Decoder, auto_rotate: bool) -> VideoStreamMetadata:
    """The decoder's video header, upright unless ``auto_rotate`` is off."""
    try:
        header = decoder.metadata(apply_rotation=True)
    except NotImplementedError as error:
        if auto_rotate:
            # Chained: the decoder's own reason stays in __cause__.
            raise NotImplementedError(
                f"{error}; open the reader with auto_rotate=False to read the "
                "pictures as stored") from error
        # Not applying it: the stored pictures are read as they are.
        header = decoder.metadata(apply_rotation=False)
    if header["media_type"] != "video":
        raise AssertionError("a video decoder described an audio stream")
    return header


@dataclass(frozen=True)
class Picture:
    """How the decoded pictures become the frames returned."""

    #: Quarter turns counter-clockwise, and the rotation the file stores.
    turns: int
    rotation: float | None
    #: (width, height) of the upright picture, before crop and resize.
    size: tuple[int, int]
    #: What the extension applies, in order, and the (height, width) it makes.
    transforms: list[Transform]
    out_size: tuple[int, int]
    dtype: OutputDtype

    def turned(self, array: Frames) -> Frames:
        """``array`` upright: "native" output takes no transforms, it is
        turned here."""
        if self.turns and self.dtype == "native":
            return np.ascontiguousarray(np.rot90(array, self.turns, axes=(1, 2)))
        return array


def plan_picture(decoder: Decoder, header: VideoStreamMetadata, dtype: OutputDtype,
                 crop: tuple[int, int, int, int] | None, resize: tuple[int, int] | None,
                 auto_rotate: bool) -> Picture:
    """The rotation, crop and resize; ValueError, in the reader's terms,
    where the extension refuses them."""
    rotation = header["rotation"]
    turns = round(rotation / 90) % 4 if auto_rotate and rotation is not None else 0
    width, height = header["width"], header["height"]
    if turns % 2:
        width, height = height, width
    # Applied in list order: the crop and the resize refer to the upright
    # picture.  "native" output takes no transforms; it is turned in NumPy.
    transforms: list[Transform] = []
    if turns and dtype != "native":
        transforms.append(("rotate", turns, 0, 0, 0))
    upright = len(transforms)
    if crop is not None:
        top, left, crop_height, crop_width = (int(v) for v in crop)
        transforms.append(("crop", top, left, crop_height, crop_width))
    if resize is not None:
        new_height, new_width = (int(v) for v in resize)
        transforms.append(("resize", 0, 0, new_height, new_width))
    out_size = (height, width)
    if transforms:  # "native" output takes none
        try:
            out_size = _output_size(decoder, dtype, transforms)
        except (ValueError, OverflowError):
            # The extension's rule refused them; say which, of the reader's arguments.
            if crop is not None and not _fits(decoder, dtype, transforms[:upright + 1]):
                raise ValueError(
                    f"crop (top={top}, left={left}, height={crop_height}, "
                    f"width={crop_width}) does not fit in the {width}x{height} picture") from None
            raise ValueError("resize needs a positive (height, width), "
                             f"not {tuple(resize or ())}") from None
    return Picture(turns, rotation, (width, height), transforms, out_size, dtype)


def _output_size(decoder: Decoder, dtype: OutputDtype,
                 transforms: list[Transform]) -> tuple[int, int]:
    """(height, width) of the frames that ``transforms`` make, by the
    extension's own rule: a request for no frame checks the transforms
    and sizes its empty batch, decoding nothing."""
    array, _, _ = decoder.decode_video([], dtype, True, transforms)
    return int(array.shape[1]), int(array.shape[2])


def _fits(decoder: Decoder, dtype: OutputDtype, transforms: list[Transform]) -> bool:
    try:
        _output_size(decoder, dtype, transforms)
    except (ValueError, OverflowError):
        return False
    return True

"""A map-style dataset of short clips from a set of videos, for PyTorch's
DataLoader.

Usage: python examples/torch_dataset.py FILE [FILE ...]

The dataset itself needs no PyTorch: it has ``__len__`` and ``__getitem__``
and returns NumPy arrays, which the DataLoader's default collation turns
into tensors.  Decoders are opened lazily, in the process that uses them,
and are never pickled or shared: a DataLoader worker (forked or spawned)
starts with none and opens its own, keeping a few recently used ones open.
"""

from __future__ import annotations

import os
import sys
from collections import OrderedDict
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvex_av import VideoReader


class VideoClips:
    """Clips of ``clip_length`` frames, ``step`` frames apart, starting every
    ``stride`` frames (default: back to back) in each of ``paths``.

    Item ``i`` is ``(frames, video)``: a (clip_length, height, width, 3)
    array and the index of the video it came from.  ``reader_options`` go to
    every ``VideoReader`` (``resize``, ``dtype`` ...).
    """

    def __init__(self, paths: list[str], clip_length: int = 8, step: int = 1,
                 stride: int | None = None, open_readers: int = 4,
                 **reader_options: Any) -> None:
        self.paths = [os.fspath(p) for p in paths]
        self.step = step
        self.span = (clip_length - 1) * step + 1  # frames covered by one clip
        self.reader_options = reader_options
        self.open_readers = open_readers
        stride = stride or self.span
        # Count the frames once, here; these readers are closed straight away.
        self.clips: list[tuple[int, int]] = []
        for video, path in enumerate(self.paths):
            with VideoReader(path) as reader:
                count = len(reader)
            self.clips += [(video, start) for start in range(0, count - self.span + 1, stride)]
        self._readers: OrderedDict[int, VideoReader] = OrderedDict()
        self._pid = os.getpid()

    def _reader(self, video: int) -> VideoReader:
        if self._pid != os.getpid():  # a forked worker: the parent's decoders are not ours
            self._readers, self._pid = OrderedDict(), os.getpid()
        reader = self._readers.pop(video, None)
        if reader is None:
            reader = VideoReader(self.paths[video], **self.reader_options)
        self._readers[video] = reader  # most recently used last
        while len(self._readers) > self.open_readers:
            self._readers.popitem(last=False)[1].close()
        return reader

    def __len__(self) -> int:
        return len(self.clips)

    def __getitem__(self, index: int) -> tuple[npt.NDArray[Any], int]:
        video, start = self.clips[index]
        frames = self._reader(video)[start:start + self.span:self.step]
        return frames, video

    def __getstate__(self) -> dict[str, Any]:
        # Sent to spawned workers without decoders; they open their own.
        state = self.__dict__.copy()
        state["_readers"] = OrderedDict()
        return state


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    dataset = VideoClips(sys.argv[1:], clip_length=8, step=2, resize=(112, 112))
    print(f"{len(dataset)} clips of 8 frames from {len(dataset.paths)} videos")
    try:
        import torch
        from torch.utils.data import DataLoader
    except ImportError:
        print("PyTorch is not installed; reading the dataset directly")
        for index in range(min(len(dataset), 4)):
            frames, video = dataset[index]
            print(f"clip {index}: {frames.shape} {frames.dtype} from video {video}")
        return
    loader = DataLoader(dataset, batch_size=4, shuffle=True, num_workers=2)
    for frames, videos in loader:
        clips = frames.permute(0, 4, 1, 2, 3).to(torch.float32) / 255  # N, C, T, H, W
        print(f"batch {tuple(clips.shape)} from videos {videos.tolist()}")


if __name__ == "__main__":
    main()

"""Map-style datasets of clips from a set of videos, for PyTorch's DataLoader.

Usage: python examples/torch_dataset.py FILE [FILE ...]

- ``VideoClips``: every clip of ``clip_length`` frames of every video; item
  ``i`` is one clip.
- ``SampledClips``: item ``i`` is a set of clips of video ``i`` drawn by a
  sampler of ``quorvex_av.samplers`` (random ones by default), decoded in
  one call; the draw is seeded by (seed, epoch, i), so whichever worker
  reads an item, it gets the same clips.

Neither dataset needs PyTorch: they have ``__len__`` and ``__getitem__``
and return NumPy arrays, which the DataLoader's default collation turns into
tensors.  Decoders are opened lazily, in the process that uses them, and are
never pickled or shared: a DataLoader worker (forked or spawned) starts with
none and opens its own, keeping a few recently used ones open.
"""

from __future__ import annotations

import inspect
import os
import sys
from collections import OrderedDict
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

from quorvex_av import Clips, VideoReader
from quorvex_av.samplers import clips_at_random_indices


class _Readers:
    """Readers opened on demand in the current process, a few kept open."""

    def __init__(self, paths: list[str], open_readers: int, reader_options: dict[str, Any]) -> None:
        self.paths = [os.fspath(p) for p in paths]
        self.open_readers = open_readers
        self.reader_options = reader_options
        self._readers: OrderedDict[int, VideoReader] = OrderedDict()
        self._pid = os.getpid()

    def open(self, video: int) -> VideoReader:
        return VideoReader(self.paths[video], **self.reader_options)

    def _reader(self, video: int) -> VideoReader:
        if self._pid != os.getpid():  # a forked worker: the parent's decoders are not ours
            self._readers, self._pid = OrderedDict(), os.getpid()
        reader = self._readers.pop(video, None)
        if reader is None:
            reader = self.open(video)
        self._readers[video] = reader  # most recently used last
        while len(self._readers) > self.open_readers:
            self._readers.popitem(last=False)[1].close()
        return reader

    def __getstate__(self) -> dict[str, Any]:
        # Sent to spawned workers without decoders; they open their own.
        state = self.__dict__.copy()
        state["_readers"] = OrderedDict()
        return state


class VideoClips(_Readers):
    """Clips of ``clip_length`` frames, ``step`` frames apart, starting every
    ``stride`` frames (default: back to back) in each of ``paths``.

    Item ``i`` is ``(frames, video)``: a (clip_length, height, width, 3)
    array and the index of the video it came from.  ``reader_options`` go to
    every ``VideoReader`` (``resize``, ``dtype`` ...).
    """

    def __init__(self, paths: list[str], clip_length: int = 8, step: int = 1,
                 stride: int | None = None, open_readers: int = 4,
                 **reader_options: Any) -> None:
        super().__init__(paths, open_readers, reader_options)
        self.step = step
        self.span = (clip_length - 1) * step + 1  # frames covered by one clip
        stride = stride or self.span
        # Count the frames once, here; these readers are closed straight away.
        self.clips: list[tuple[int, int]] = []
        for video, path in enumerate(self.paths):
            with VideoReader(path) as reader:
                count = len(reader)
            self.clips += [(video, start) for start in range(0, count - self.span + 1, stride)]

    def __len__(self) -> int:
        return len(self.clips)

    def __getitem__(self, index: int) -> tuple[npt.NDArray[Any], int]:
        video, start = self.clips[index]
        frames = self._reader(video)[start:start + self.span:self.step]
        return frames, video


class SampledClips(_Readers):
    """Item ``i`` is ``(frames, indices, i)``: the clips that ``sampler``
    draws from video ``i`` with ``sampler_arguments`` (``num_clips``,
    ``frames_per_clip`` ...), frames of shape (clips, frames per clip,
    height, width, 3) and their indices in the video.

    A random sampler's draw depends on ``seed``, the ``epoch`` (set it with
    ``set_epoch`` before each pass for fresh clips) and ``i`` only.
    """

    def __init__(self, paths: list[str], sampler: Callable[..., Clips] = clips_at_random_indices,
                 seed: int = 0, open_readers: int = 4, reader_options: dict[str, Any] | None = None,
                 **sampler_arguments: Any) -> None:
        super().__init__(paths, open_readers, reader_options or {})
        self.sampler = sampler
        self.sampler_arguments = sampler_arguments
        self.seed = seed
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def __len__(self) -> int:
        return len(self.paths)

    def __getitem__(self, index: int) -> tuple[npt.NDArray[Any], npt.NDArray[np.intp], int]:
        arguments = dict(self.sampler_arguments)
        if "seed" in inspect.signature(self.sampler).parameters:
            arguments["seed"] = np.random.SeedSequence([self.seed, self.epoch, index])
        clips = self.sampler(self._reader(index), **arguments)
        return clips.frames, clips.indices, index


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    clips = VideoClips(sys.argv[1:], clip_length=8, step=2, resize=(112, 112))
    sampled = SampledClips(sys.argv[1:], num_clips=4, frames_per_clip=8, step=2,
                           reader_options=dict(resize=(112, 112)))
    print(f"{len(clips)} clips of 8 frames from {len(clips.paths)} videos")
    try:
        import torch
        from torch.utils.data import DataLoader
    except ImportError:
        print("PyTorch is not installed; reading the datasets directly")
        for index in range(min(len(clips), 4)):
            frames, video = clips[index]
            print(f"clip {index}: {frames.shape} {frames.dtype} from video {video}")
        frames, indices, video = sampled[0]
        print(f"video {video}: {frames.shape[0]} clips starting at frames {indices[:, 0].tolist()}")
        return
    for frames, videos in DataLoader(clips, batch_size=4, shuffle=True, num_workers=2):
        batch = frames.permute(0, 4, 1, 2, 3).to(torch.float32) / 255  # N, C, T, H, W
        print(f"batch {tuple(batch.shape)} from videos {videos.tolist()}")
    for epoch in range(2):
        sampled.set_epoch(epoch)
        for frames, indices, videos in DataLoader(sampled, batch_size=2, num_workers=2):
            print(f"epoch {epoch}: clips {tuple(frames.shape)} from videos {videos.tolist()}, "
                  f"starting at frames {indices[:, :, 0].tolist()}")


if __name__ == "__main__":
    main()

"""What the reader layer adds on top of one decode_video call.

Usage: .venv/bin/python bench/reader_overhead.py [--runs N] [--frames K]

Fetches K scattered frames (default 64, in random order) of a 20-second
640x360 H.264 clip with B-frames two ways:

- ``reader[indices]`` on a VideoReader whose frame list is already made;
- the single ``Decoder.decode_video`` call with the same targets, built
  beforehand, outside the timing.

Runs alternate between the two, each going first in turn; the medians and their ratio are printed
(the aim is a ratio within 1.05). The reader's own work, everything but the
decoding, is also timed alone, with the decoder's call replaced by one that
returns at once.  The clip is made with the ffmpeg tool into bench/.media/.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import time
from pathlib import Path
from typing import Any

import numpy as np

from quorvex_av import Decoder, VideoReader

CLIP = Path(__file__).resolve().parent / ".media" / "reader_overhead.mp4"


def make_clip() -> Path:
    if not CLIP.exists():
        CLIP.parent.mkdir(parents=True, exist_ok=True)
        partial = CLIP.with_suffix(".part.mp4")
        subprocess.run(
            ["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
             "-i", "testsrc2=size=640x360:rate=30:duration=20",
             "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
             "-g", "60", "-bf", "2", str(partial)],
            check=True)
        partial.replace(CLIP)
    return CLIP


def direct_targets(path: Path, indices: np.ndarray) -> list[tuple[int, int]]:
    """(pts, key frame pts) for the frames at these indices, the plain way."""
    packets = Decoder(str(path), "video").scan()
    keys = [pts for pts, _, key in packets if key]
    targets = []
    for index in indices.tolist():
        pts = packets[index][0]
        targets.append((pts, max((k for k in keys if k <= pts), default=keys[0])))
    return targets


class NoDecoding:
    """Wraps a Decoder; decode_video returns a batch decoded earlier, at once."""

    def __init__(self, decoder: Any, batch: np.ndarray) -> None:
        self._decoder = decoder
        self._batch = batch

    def decode_video(self, *args: Any) -> Any:
        return self._batch, [], []

    def __getattr__(self, name: str) -> Any:
        return getattr(self._decoder, name)


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    options.add_argument("--runs", type=int, default=9)
    options.add_argument("--frames", type=int, default=64)
    args = options.parse_args()

    path = make_clip()
    reader = VideoReader(path)
    count = len(reader)  # the scan, untimed
    indices = np.random.default_rng(7).choice(count, size=args.frames, replace=False)
    targets = direct_targets(path, indices)
    decoder = Decoder(str(path), "video")

    via_reader = reader[indices]
    direct, _, _ = decoder.decode_video(targets, "uint8", True)
    assert np.array_equal(via_reader, direct), "the two ways return different frames"

    def through_reader() -> None:
        reader[indices]

    def through_decoder() -> None:
        decoder.decode_video(targets, "uint8", True)

    reader_times: list[float] = []
    direct_times: list[float] = []
    for run in range(args.runs):
        # Alternate which goes first, so neither always meets a warmer cache.
        pair = [(through_reader, reader_times), (through_decoder, direct_times)]
        for call, times in pair if run % 2 == 0 else pair[::-1]:
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)

    reader._rows.decoder = NoDecoding(reader._rows.decoder, direct)  # type: ignore[assignment]
    bookkeeping = []
    for _ in range(200):
        start = time.perf_counter()
        reader[indices]
        bookkeeping.append(time.perf_counter() - start)

    r, d = statistics.median(reader_times), statistics.median(direct_times)
    print(f"clip: {path.name}, {count} frames 640x360; {args.frames} scattered frames, "
          f"median of {args.runs} runs each")
    print(f"reader[indices]       {r * 1000:9.2f} ms")
    print(f"decode_video(targets) {d * 1000:9.2f} ms")
    print(f"ratio                 {r / d:9.4f}  (aim: at most 1.05)")
    print(f"reader bookkeeping    {statistics.median(bookkeeping) * 1e6:9.1f} us "
          f"(index checks and target list, decoding left out)")


if __name__ == "__main__":
    main()

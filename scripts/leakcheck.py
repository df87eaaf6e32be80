"""Open, decode and close a decoder thousands of times on each kind of
source, and through calls that fail, and report how memory and open file
descriptors move.

Usage: .venv/bin/python scripts/leakcheck.py [CYCLES]   (default 5000)
"""

from __future__ import annotations

import gc
import io
import os
import subprocess
import sys
import tempfile
import tracemalloc
from pathlib import Path

from quorvex_av import Decoder


def rss_mib() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def make_clip(directory: Path) -> Path:
    path = directory / "clip.mp4"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25",
         "-f", "lavfi", "-i", "sine=frequency=440", "-t", "2", "-c:v", "libx264", "-bf", "2",
         "-pix_fmt", "yuv420p", "-c:a", "aac", str(path)],
        check=True)
    return path


def main() -> None:
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    with tempfile.TemporaryDirectory() as directory:
        path = make_clip(Path(directory))
        data = path.read_bytes()

        def once(kind: str) -> None:
            if kind == "failing calls":
                for call in (lambda: Decoder(b"\0" * 4096, "video"),
                             lambda: Decoder(io.BytesIO(data), "video", 1),
                             lambda: Decoder(data, "video").decode_video([(10**9, 0)], "uint8", False)):
                    try:
                        call()
                    except (RuntimeError, ValueError):
                        pass
                return
            source = {"path": str(path), "bytes": data, "file object": io.BytesIO(data),
                      "remote file": io.BytesIO(data)}[kind]
            # The remote kind: a file object read in large reads (buffer_size).
            options = {"buffer_size": 1 << 20} if kind == "remote file" else {}
            decoder = Decoder(source, "video", **options)
            decoder.decode_video([(0, 0), (512, 0)], "uint8", True)
            audio = Decoder(source, "audio", **options)
            audio.decode_audio(16000, 1)
            decoder.close()

        print(f"{cycles} cycles of open, decode_video, decode_audio and close per source kind")
        for kind in ("path", "bytes", "file object", "remote file", "failing calls"):
            for _ in range(100):
                once(kind)
            gc.collect()
            start_rss, start_fds = rss_mib(), fds()
            tracemalloc.start()
            for _ in range(cycles):
                once(kind)
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            print(f"  {kind:14s} RSS {start_rss:7.1f} -> {rss_mib():7.1f} MiB, "
                  f"Python heap {traced / 1024:7.1f} KiB still traced, "
                  f"descriptors {start_fds} -> {fds()}")


if __name__ == "__main__":
    main()

"""What typical requests ask of a file object: read and seek calls and bytes.

Usage (from the repository root, with the package installed in .venv):

    .venv/bin/python bench/remote_calls.py [--buffer-sizes 32768,262144,...]

Each request runs on a fresh reader over a fresh ``CountingFile`` (see
counting.py), as a program that opens a remote file for one request would.
Clips (H.264 in MP4 and Matroska, VP9 in WebM, AAC in M4A, MP3; 1280x720,
30 s, GOP 250) are made with the ffmpeg tool on first use and cached in
build/bench/remote.  With ``--buffer-sizes`` the one-frame and audio
requests are also made straight on ``Decoder`` with each I/O buffer size,
to show what the size changes.
"""

from __future__ import annotations

import argparse
import inspect
import random
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from counting import CountingFile, Counts

from quorvex_av import AudioReader, Decoder, VideoReader

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "remote"
SECONDS = 30

_PICTURE = (f"testsrc2=size=1280x720:rate=25:duration={SECONDS},"
            "noise=alls=5:allf=t,format=yuv420p")
_SOUND = f"sine=frequency=440:sample_rate=44100:duration={SECONDS * 2}"
_H264 = ["-c:v", "libx264", "-preset", "veryfast", "-b:v", "3M", "-g", "250",
         "-keyint_min", "250", "-sc_threshold", "0", "-bf", "2"]
_AAC = ["-c:a", "aac", "-b:a", "128k", "-ac", "2"]
CLIPS: dict[str, list[str]] = {
    "h264.mp4": ["-f", "lavfi", "-i", _PICTURE, "-f", "lavfi", "-i", _SOUND, "-shortest",
                 *_H264, *_AAC],
    "h264.mkv": ["-i", "{h264.mp4}", "-c", "copy"],
    "vp9.webm": ["-f", "lavfi", "-i", _PICTURE, "-c:v", "libvpx-vp9", "-deadline", "realtime",
                 "-cpu-used", "8", "-row-mt", "1", "-b:v", "3M", "-g", "250"],
    "aac.m4a": ["-f", "lavfi", "-i", _SOUND, *_AAC],
    "mp3.mp3": ["-f", "lavfi", "-i", _SOUND, "-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2"],
}


def clip(name: str) -> Path:
    path = CACHE / name
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        args = [str(clip(a[1:-1])) if a.startswith("{") else a for a in CLIPS[name]]
        part = path.with_name("part." + name)
        subprocess.run(["ffmpeg", "-v", "error", "-y", *args, str(part)], check=True)
        part.rename(path)
    return path


def counted(path: Path, request: Callable[[CountingFile], Any]) -> Counts:
    with CountingFile(path) as file:
        request(file)
        return file.counts


def video_requests(duration: float) -> dict[str, Callable[[CountingFile], Any]]:
    rng = random.Random(1)
    picks = rng.sample(range(int(duration * 25) - 1), 16)
    times = sorted(rng.uniform(0, duration - 0.1) for _ in range(16))
    return {
        "open": lambda f: VideoReader(f),
        "metadata": lambda f: VideoReader(f).metadata,
        "at(middle)": lambda f: VideoReader(f).at(duration / 2),
        "at(16 random)": lambda f: VideoReader(f).at(times),
        "[16 random]": lambda f: VideoReader(f)[picks],
    }


def audio_requests(duration: float) -> dict[str, Callable[[CountingFile], Any]]:
    middle = duration / 2
    return {
        "open": lambda f: AudioReader(f),
        "read(1, 11)": lambda f: AudioReader(f).read(1, 11),
        "read(mid, mid+10)": lambda f: AudioReader(f).read(middle, middle + 10),
    }


def row(clip_name: str, request: str, counts: Counts, size: int) -> str:
    per_read = counts.bytes / counts.reads if counts.reads else 0
    return (f"| {clip_name} | {request} | {counts.reads} | {counts.bytes / 1e6:.2f} "
            f"| {per_read / 1024:.0f} | {counts.seeks} | {counts.moves} "
            f"| {100 * counts.bytes / size:.0f} |")


def readers_table() -> None:
    print("| clip | request | reads | MB read | KiB per read | seek calls | moves | % of file |")
    print("|---|---|---|---|---|---|---|---|")
    for name in CLIPS:
        path = clip(name)
        video = not name.endswith((".m4a", ".mp3"))
        duration = SECONDS if video else SECONDS * 2
        requests = video_requests(duration) if video else audio_requests(duration)
        size = path.stat().st_size
        for request, call in requests.items():
            print(row(name, request, counted(path, call), size), flush=True)


def buffer_table(sizes: list[int]) -> None:
    if "buffer_size" not in inspect.signature(Decoder).parameters:
        print("\nDecoder takes no buffer_size yet")
        return
    print("\n| clip | Decoder request | buffer KiB | reads | MB read | KiB per read "
          "| seek calls | moves | % of file |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in CLIPS:
        path = clip(name)
        video = not name.endswith((".m4a", ".mp3"))
        for size in sizes:
            def request(file: CountingFile) -> None:
                decoder = Decoder(file, "video" if video else "audio", buffer_size=size)
                if video:
                    decoder.decode_timestamps([SECONDS / 2], "uint8")
                else:
                    decoder.decode_audio(16000, 1, 10.0)
            counts = counted(path, request)
            label = "at(middle)" if video else "audio to 10 s"
            print(row(name, label, counts, path.stat().st_size).replace(
                f"| {label} |", f"| {label} | {size // 1024} |"), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--buffer-sizes", default="",
                        help="comma-separated I/O buffer sizes to compare on Decoder")
    args = parser.parse_args()
    readers_table()
    if args.buffer_sizes:
        buffer_table([int(s) for s in args.buffer_sizes.split(",")])


if __name__ == "__main__":
    sys.exit(main())

"""Requests on hour-long files: bytes read, time and peak memory of each.

Usage (from the repository root, with the package installed in .venv; ``make
bench-long`` does this):

    .venv/bin/python bench/long_media.py [--only NAME,...]

Inputs, made with the ffmpeg tool on first use and cached in build/bench/long:
one hour of 1280x720 H.264 at 25 fps (GOP 250, 2 Mb/s), in MP4 and in
Matroska, both made from a 20 s encode repeated with ``-stream_loop`` and
``-c copy``, and one hour of stereo AAC at 44.1 kHz made the same way from
one minute.  Each request runs in a fresh Python process (so that its peak
memory is its own) on a reader over a ``CountingFile`` (counting.py), as a
program that opens a remote file for one request would: the table gives the
bytes that reached the file object, the number of read calls, the wall time
of the request (opening included) and the growth of the process's peak
resident set over it.  A request whose keyword the installed readers do not
take prints "n/a".
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from counting import CountingFile
from memory import peak_bytes, start_peak

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench" / "long"
HOUR = 3600
_PIECE = 20          # seconds of the encoded video piece
_SOUND_PIECE = 60    # seconds of the encoded audio piece

_VIDEO_PIECE_ARGS = [
    "-f", "lavfi", "-i",
    f"testsrc2=size=1280x720:rate=25:duration={_PIECE},noise=alls=5:allf=t,format=yuv420p",
    "-c:v", "libx264", "-preset", "veryfast", "-b:v", "2M", "-maxrate", "2M",
    "-bufsize", "4M", "-g", "250", "-keyint_min", "250", "-sc_threshold", "0", "-bf", "2"]
_AUDIO_PIECE_ARGS = [
    "-f", "lavfi", "-i",
    f"anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:duration={_SOUND_PIECE}",
    "-ac", "2", "-c:a", "aac", "-b:a", "128k"]


def _ffmpeg(args: list[str], out: Path) -> Path:
    if not out.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        part = out.with_name("part." + out.name)
        print(f"making {out.relative_to(ROOT)} ...", file=sys.stderr, flush=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", *args, str(part)], check=True)
        part.rename(out)
    return out


def _looped(piece: Path, seconds: int, out: Path) -> Path:
    # The piece plays `loops + 1` times; its timestamps continue across the joins.
    loops = HOUR // seconds - 1
    return _ffmpeg(["-stream_loop", str(loops), "-i", str(piece), "-c", "copy"], out)


def inputs() -> dict[str, Path]:
    video = _ffmpeg(_VIDEO_PIECE_ARGS, CACHE / "piece.mp4")
    sound = _ffmpeg(_AUDIO_PIECE_ARGS, CACHE / "piece.m4a")
    return {
        "mp4": _looped(video, _PIECE, CACHE / "hour.mp4"),
        "mkv": _looped(video, _PIECE, CACHE / "hour.mkv"),
        "aac": _looped(sound, _SOUND_PIECE, CACHE / "hour.m4a"),
    }


def _middle(reader: Any) -> Any:
    return reader[len(reader) // 2]


def _requests() -> dict[str, tuple[str, Callable[[CountingFile], Any]]]:
    """name -> (input kind, request on a file object)."""
    from quorvex_av import AudioReader, VideoReader

    video: dict[str, Callable[[CountingFile], Any]] = {
        "VideoReader(f).at(1800.0)": lambda f: VideoReader(f).at(1800.0),
        "VideoReader(f)[N//2]": lambda f: _middle(VideoReader(f)),
        'VideoReader(f, seek_mode="approximate")[N//2]':
            lambda f: _middle(VideoReader(f, seek_mode="approximate")),
        "VideoReader(f, frame_index=saved)[N//2]":
            lambda f: _middle(VideoReader(f, frame_index=f.saved_index)),
        "VideoReader(f).header": lambda f: VideoReader(f).header,
        "VideoReader(f).metadata (scans)": lambda f: VideoReader(f).metadata,
    }
    audio: dict[str, Callable[[CountingFile], Any]] = {
        "AudioReader(f, 16000, 1).read(10, 20)":
            lambda f: AudioReader(f, sample_rate=16000, channels=1).read(10, 20),
        "AudioReader(f, 16000, 1).read(3500, 3510)":
            lambda f: AudioReader(f, sample_rate=16000, channels=1).read(3500, 3510),
        "AudioReader(f, 48000, 2).read(3500, 3510)":
            lambda f: AudioReader(f, sample_rate=48000, channels=2).read(3500, 3510),
    }
    return ({f"{kind}: {name}": (kind, call) for kind in ("mp4", "mkv")
             for name, call in video.items()}
            | {f"aac: {name}": ("aac", call) for name, call in audio.items()})


def _one(name: str, path: Path) -> dict[str, Any]:
    """Runs one request here; what it cost, or why it could not run."""
    _, call = _requests()[name]
    saved = path.with_name(path.name + ".frames")
    if "frame_index=saved" in name and not saved.exists():
        from quorvex_av import VideoReader  # a scan once, outside the count
        VideoReader(str(path)).frame_index.save(saved)
    with CountingFile(path) as file:
        file.saved_index = saved  # type: ignore[attr-defined]
        before = start_peak()
        started = time.perf_counter()
        try:
            call(file)
        except TypeError as error:
            if "unexpected keyword argument" in str(error):
                return {"skipped": str(error)}
            raise
        seconds = time.perf_counter() - started
        return {"bytes": file.counts.bytes, "reads": file.counts.reads,
                "seconds": seconds, "growth": peak_bytes() - before}


def _child(name: str, path: Path) -> dict[str, Any]:
    run = subprocess.run([sys.executable, __file__, "--child", name, str(path)],
                         capture_output=True, text=True)
    if run.returncode != 0:
        return {"failed": (run.stderr.strip().splitlines() or ["?"])[-1]}
    result: dict[str, Any] = json.loads(run.stdout)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="", help="comma-separated parts of request names")
    parser.add_argument("--child", nargs=2, metavar=("REQUEST", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(_one(args.child[0], Path(args.child[1]))))
        return
    files = inputs()
    wanted = [part for part in args.only.split(",") if part]
    print("| input | request | MB read | reads | seconds | peak memory growth, MB |")
    print("|---|---|---|---|---|---|")
    for name, (kind, _) in _requests().items():
        if wanted and not any(part in name for part in wanted):
            continue
        path = files[kind]
        label = f"{kind} ({path.stat().st_size / 1e6:.0f} MB)"
        result = _child(name, path)
        request = name.split(": ", 1)[1]
        if "skipped" in result:
            print(f"| {label} | {request} | n/a | n/a | n/a | n/a |", flush=True)
        elif "failed" in result:
            print(f"| {label} | {request} | failed: {result['failed']} | | | |", flush=True)
        else:
            print(f"| {label} | {request} | {result['bytes'] / 1e6:.1f} | {result['reads']} "
                  f"| {result['seconds']:.2f} | {result['growth'] / 1e6:.0f} |", flush=True)


if __name__ == "__main__":
    main()

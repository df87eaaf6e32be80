"""Decoding a 60 s stereo AAC file to 16 kHz mono float32: this library
against the ffmpeg tool doing the same conversion, net of its start-up.

Usage: python bench/audio_speed.py [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import time
from pathlib import Path

from quorvex_av import Decoder

MEDIA = Path(__file__).resolve().parent / ".media"


def make_input() -> Path:
    path = MEDIA / "aac_60s.m4a"
    if not path.exists():
        MEDIA.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["ffmpeg", "-v", "error", "-y",
             # Pink noise in both channels: a signal as busy as music.
             "-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:duration=60",
             "-ac", "2",
             "-c:a", "aac", "-b:a", "128k", str(path)],
            check=True)
    return path


def timed(run) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    repeat = parser.parse_args().repeat
    path = make_input()

    def ours():
        samples, _ = Decoder(str(path), "audio").decode_audio(16000, 1)
        assert samples.shape[0] == 1

    def tool(args):
        return lambda: subprocess.run(["ffmpeg", "-v", "error", "-threads", "1", *args],
                                      check=True, stdout=subprocess.DEVNULL)

    convert = tool(["-i", str(path), "-ac", "1", "-ar", "16000", "-f", "f32le", "-"])
    startup = tool(["-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo", "-t", "0.001",
                    "-ac", "1", "-ar", "16000", "-f", "f32le", "-"])
    ours()  # warm-up
    results = {name: statistics.median(timed(run) for _ in range(repeat))
               for name, run in [("quorvex_av", ours), ("ffmpeg", convert), ("start-up", startup)]}
    net = results["ffmpeg"] - results["start-up"]
    print(f"quorvex_av {results['quorvex_av']:.3f} s; ffmpeg {results['ffmpeg']:.3f} s "
          f"(start-up {results['start-up']:.3f} s, net {net:.3f} s); "
          f"ratio {results['quorvex_av'] / net:.2f}x the tool's net time")


if __name__ == "__main__":
    main()

"""Open a video file, describe its stream, decode frames and its audio.

Usage: python examples/demo.py [FILE]

Without FILE, a short sample clip is made with the ffmpeg tool (once) and
used instead.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import quorvex_av

SAMPLE = Path(__file__).resolve().parent.parent / "build" / "sample" / "sample.mp4"


def default_sample() -> Path:
    if SAMPLE.exists():
        return SAMPLE
    if shutil.which("ffmpeg") is None:
        sys.exit("no FILE given and the ffmpeg tool is not installed to make a sample")
    SAMPLE.parent.mkdir(parents=True, exist_ok=True)
    partial = SAMPLE.with_suffix(".part.mp4")
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
         "-t", "4", "-c:v", "libx264", "-g", "30", "-bf", "2", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-ac", "2", str(partial)],
        check=True,
    )
    partial.replace(SAMPLE)
    return SAMPLE


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else default_sample()
    print(f"quorvex_av {quorvex_av.__version__} with FFmpeg {quorvex_av.ffmpeg_version}")
    print(f"input: {path}")
    decoder = quorvex_av.Decoder(str(path), "video")
    metadata = decoder.metadata(apply_rotation=False)
    width, height = metadata["width"], metadata["height"]
    print(f"video stream {metadata['stream_index']}: {metadata['codec']} {width}x{height} "
          f"{metadata['pixel_format']}, {metadata['average_fps_from_header']} fps, "
          f"{metadata['duration_seconds_from_header']} s")
    for key, value in metadata.items():
        print(f"  {key}: {value}")

    packets = decoder.scan()
    keys = [timestamp for timestamp, _, key in packets if key]
    tick = metadata["time_base_num"] / metadata["time_base_den"]
    print(f"scan: {len(packets)} packets, {len(keys)} key frames at "
          f"{', '.join(f'{t * tick:.3f}' for t in keys[:8])}{' ...' if len(keys) > 8 else ''} s")

    # Four frames spread over the clip, each exactly, seeking from the key
    # frame at or before it; then the same frames resized for a model.
    frames = [timestamp for timestamp, _, _ in packets]
    picks = [frames[i * (len(frames) - 1) // 3] for i in range(4)]
    targets = [(pts, max((k for k in keys if k <= pts), default=keys[0])) for pts in picks]
    batch, times, durations = decoder.decode_video(targets, "uint8", True)
    print(f"decode_video: {batch.dtype} array of shape {batch.shape}, "
          f"times {[round(t, 3) for t in times]} s, durations {[round(d, 3) for d in durations]} s")
    small, _, _ = decoder.decode_video(targets, "float32", True, [("resize", 0, 0, 224, 224)])
    print(f"resized: {small.dtype} array of shape {small.shape}, "
          f"values in [{small.min():.3f}, {small.max():.3f}]")
    shown, times, _ = decoder.decode_timestamps([0.5, 1.0, 1.5], "uint8")
    print(f"decode_timestamps: frames shown at 0.5, 1.0, 1.5 s are those of {times} s")
    decoder.close()

    try:
        audio = quorvex_av.Decoder(str(path), "audio")
    except ValueError:
        print("audio: the input has no audio stream")
        return
    samples, start = audio.decode_audio(16000, 1)
    print(f"decode_audio: {samples.dtype} array of shape {samples.shape} "
          f"({samples.shape[1] / 16000:.3f} s at 16 kHz mono) starting at {start:.4f} s")
    audio.close()


if __name__ == "__main__":
    main()

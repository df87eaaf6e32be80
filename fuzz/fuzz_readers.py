#!/usr/bin/env python3
"""Coverage-guided fuzzing of the readers (``VideoReader``, ``AudioReader``)
with atheris, on the same inputs as fuzz_decoder.py: a control header, then
the media bytes.

The readers add their own work on top of the extension: the frame table from
the scan, indices and masks, times, batches, audio cut to a range, packets
skipped when a decoder rejects them, and audio laid out by its timestamps.
Each input opens a reader of each kind the header asks for (bytes or a file
object; strict or not), then runs a few requests chosen by the header.
The exceptions the readers document are expected; any other exception, a
result of the wrong shape or a sanitizer report is a finding.

Run through fuzz/run.sh with FUZZ_TARGET=readers.
"""

import io
import math

import atheris
import numpy as np

with atheris.instrument_imports(include=["quorvex_av"]):
    from quorvex_av import AudioReader, VideoReader

from fuzz_decoder import EXPECTED, HEADER, MAX_PIXELS, MIN_REPEATED, Args, QuirkyFile, fuzz, touch

MAX_FRAMES = 6
RATES = (8000, 16000, 44100, 1, 7)


def video_requests(reader, args: Args) -> None:
    height, width = reader.frame_size
    small = 0 < height * width <= MAX_PIXELS
    count = len(reader)
    meta = reader.metadata
    assert meta.num_frames == count and meta.num_key_frames <= count
    for _ in range(args.int(1, 3)):
        how = args.int(0, 5)
        if how == 0:
            picks = [args.int(-count - 1, count) for _ in range(args.int(0, MAX_FRAMES))]
        elif how == 1:
            start, stop, step = args.int(-3, count), args.int(-3, count + 2), args.pick((1, 2, 5, -1))
            picks = list(range(*slice(start, stop, step).indices(count)))[:MAX_FRAMES]
        elif how == 2:
            seconds = [args.float(meta.start - 0.1, meta.start + meta.duration + 0.1)
                       for _ in range(args.int(1, MAX_FRAMES))]
            if args.int(0, 7) == 7:
                seconds.append(args.any_float())
            if small:
                frames = reader.at(seconds)
                assert frames.shape[0] == len(seconds)
                touch(frames)
                indices = reader.index_at(seconds)
                assert indices.shape == (len(seconds),)
            continue
        elif how == 3:
            if small and count <= 60:
                seen = sum(len(batch) for batch in reader.batches(args.int(1, 9)))
                assert seen == count, (seen, count)
            continue
        else:
            picks = [args.int(0, max(count - 1, 0))]
        if not small:
            continue
        frames = reader[picks] if how != 4 else reader[picks[0]][None]
        assert frames.shape[0] == len(picks) and frames.shape[1:3] == (height, width), frames.shape
        touch(frames)


def audio_requests(reader, args: Args) -> None:
    duration = reader.metadata.duration or 1.0
    for _ in range(args.int(1, 2)):
        start = None if args.bool() else args.float(-0.1, min(duration, 5.0) + 0.1)
        stop = None if args.bool() else args.float(-0.1, min(duration, 5.0) + 0.2)
        if stop is None and (duration > 10 or reader.sample_rate > 4 * (reader.metadata.sample_rate or 1)):
            stop = (start or 0.0) + 1.0  # bounded output for long or upsampled streams
        samples = reader.read(start, stop)
        assert samples.ndim == 2 and samples.shape[0] == reader.channels, samples.shape
        assert samples.dtype == np.float32
        if start is not None and stop is not None and math.isfinite(stop - start):
            assert samples.shape[1] <= max(0, math.ceil((stop - start) * reader.sample_rate)) + 1
        touch(samples)


def open_reader(kind: str, source, args: Args):
    options = {"strict": args.int(0, 3) == 3}
    if args.int(0, 3) == 3:
        options["stream_index"] = args.int(0, 3)
    if kind == "video":
        options["dtype"] = args.pick(("uint8", "uint8", "float32", "uint16", "native"))
        if options["dtype"] != "native" and args.int(0, 3) == 3:
            options["resize"] = (args.int(1, 40), args.int(1, 40))
        return VideoReader(source, **options)
    if args.bool():
        options["sample_rate"] = args.pick(RATES)
        options["channels"] = args.int(1, 3)
    return AudioReader(source, **options)


def test_one_input(data: bytes) -> None:
    header = data[:HEADER].ljust(HEADER, b"\0")
    media = data[HEADER:]
    mode = header[0]
    args = Args(header[1:])
    if mode & 0x20 and media:
        media *= -(-MIN_REPEATED // len(media))
    kinds = (("video",), ("audio",), ("video", "audio"), ("audio", "video"))[mode & 3]
    for kind in kinds:
        if mode & 0x80:
            source = QuirkyFile(media, args.int(0, 40), args.int(0, 3)) if mode & 0x40 else io.BytesIO(media)
        else:
            source = media
        try:
            reader = open_reader(kind, source, args)
        except EXPECTED:
            continue
        try:
            if kind == "video":
                video_requests(reader, args)
            else:
                audio_requests(reader, args)
        except EXPECTED:
            pass
        reader.close()


if __name__ == "__main__":
    fuzz(test_one_input)

"""PyAV, used as a competent user would: frame by frame, seeking only when a
target needs a key frame other than the one being decoded from, converting
only the frames that are returned.  One decoding thread."""

from __future__ import annotations

import bisect

import numpy as np

from common import Clock, Job, Output, Run, keep_probe

NAME = "PyAV"

try:
    import av
except ImportError:  # reported as skipped
    av = None


def available() -> bool:
    return av is not None


def versions() -> str:
    libs = ", ".join(f"{name} {'.'.join(map(str, version))}"
                     for name, version in sorted(av.library_versions.items()))
    bundled = getattr(av, "ffmpeg_version_info", None)
    text = f"PyAV {av.__version__}, bundled FFmpeg"
    if bundled:
        text += f" {bundled}"
    return f"{text} ({libs})"


def _open(path, kind="video", threads=1):
    container = av.open(str(path))
    stream = container.streams.video[0] if kind == "video" else container.streams.audio[0]
    stream.codec_context.thread_count = threads
    if threads != 1:
        stream.codec_context.thread_type = "AUTO"
    return container, stream


def _frames(job: Job, convert, keep: list | None = None) -> Output:
    container, stream = _open(job.path, threads=job.threads)
    times, frames = [], {}
    for position, frame in enumerate(container.decode(stream)):
        array = convert(frame)
        times.append(frame.time)
        keep_probe(frames, position, job.probes, array)
        if keep is not None:
            keep.append(array)
    container.close()
    return Output(times=times, frames=frames)


def _rgb(frame):
    return frame.to_ndarray(format="rgb24")


def seq(job: Job) -> Run:
    with Clock() as clock:
        output = _frames(job, _rgb)
    return Run(clock.seconds, output)


def resize(job: Job) -> Run:
    height, width = job.size
    with Clock() as clock:
        output = _frames(job, lambda frame: frame.reformat(
            width=width, height=height, format="rgb24").to_ndarray())
    return Run(clock.seconds, output)


def seq_keep(job: Job) -> Run:
    kept: list[np.ndarray] = []
    with Clock() as clock:
        output = _frames(job, _rgb, kept)
    del kept
    return Run(clock.seconds, output)


class _Cursor:
    """Forward decoding from a key frame, re-seeking only when needed."""

    def __init__(self, path):
        self.container, self.stream = _open(path)
        self.key = None
        self.frames = None
        self.last = None      # latest frame handed out or passed over
        self.pending = None   # a frame decoded past the previous request

    def start_from(self, key):
        if key != self.key:
            self.container.seek(key, stream=self.stream, backward=True, any_frame=False)
            self.frames = self.container.decode(self.stream)
            self.key, self.last, self.pending = key, None, None

    def next_frame(self):
        if self.pending is not None:
            frame, self.pending = self.pending, None
            return frame
        return next(self.frames, None)

    def close(self):
        self.container.close()


def random_frames(job: Job) -> Run:
    """Exact frames by index; the key-frame index is given, as it is to this
    library."""
    wanted = [(job.pts[i], job.keys[i]) for i in job.indices]
    times, frames = [], {}
    with Clock() as clock:
        cursor = _Cursor(job.path)
        for position, (pts, key) in enumerate(wanted):
            if cursor.last is not None and cursor.last.pts >= pts:
                cursor.key = None  # behind the decoding position: seek again
            cursor.start_from(key)
            while True:
                frame = cursor.next_frame()
                if frame is None or frame.pts > pts:
                    raise RuntimeError(f"PyAV did not return the frame at pts {pts}")
                cursor.last = frame
                if frame.pts == pts:
                    break
            frames[position] = frame.to_ndarray(format="rgb24")
            times.append(frame.time)
        cursor.close()
    return Run(clock.seconds, Output(times=times, frames=frames))


def _key_frames(container, stream) -> list[int]:
    """What a user must do to know where the key frames are: demux once."""
    keys = sorted(packet.pts for packet in container.demux(stream)
                  if packet.is_keyframe and packet.pts is not None)
    return keys


def times_at(job: Job) -> Run:
    """The frame shown at each time: the last one starting at or before it.
    Starts from the file alone, like this library's decode_timestamps, so the
    demuxing pass that finds the key frames is timed too."""
    times, frames = [], {}
    with Clock() as clock:
        cursor = _Cursor(job.path)
        keys = _key_frames(cursor.container, cursor.stream)
        base = float(cursor.stream.time_base)
        previous = None
        for position, second in enumerate(job.seconds):
            key = keys[max(bisect.bisect_right(keys, second / base) - 1, 0)]
            if previous is not None and second < previous:
                cursor.key = None
            cursor.start_from(key)
            shown = cursor.last
            while True:
                frame = cursor.next_frame()
                if frame is None:
                    break
                if frame.time > second + 1e-9:
                    cursor.pending = frame
                    break
                shown = frame
            cursor.last = shown
            previous = second
            frames[position] = shown.to_ndarray(format="rgb24")
            times.append(shown.time)
        cursor.close()
    return Run(clock.seconds, Output(times=times, frames=frames))


def audio(job: Job) -> Run:
    with Clock() as clock:
        container, stream = _open(job.path, "audio")
        resampler = av.AudioResampler(format="fltp", layout="mono", rate=16000)
        chunks = []
        for frame in container.decode(stream):
            for out in resampler.resample(frame):
                chunks.append(out.to_ndarray())
        for out in resampler.resample(None):
            chunks.append(out.to_ndarray())
        samples = np.concatenate(chunks, axis=1)[0]
        container.close()
    return Run(clock.seconds, Output(samples=samples))


def audio_range(job: Job) -> Run:
    """A seek to the key frame before the start, then decoding and
    resampling until the stop, cut to [start, stop) by the frames' times."""
    start, stop = job.seconds
    with Clock() as clock:
        container, stream = _open(job.path, "audio")
        container.seek(int(start / stream.time_base), stream=stream)
        resampler = av.AudioResampler(format="fltp", layout="mono", rate=16000)
        chunks, first = [], None
        for frame in container.decode(stream):
            end = frame.time + frame.samples / frame.sample_rate
            if end <= start:
                continue
            if first is None:
                first = frame.time
            for out in resampler.resample(frame):
                chunks.append(out.to_ndarray())
            if end >= stop:
                break
        container.close()
        samples = np.concatenate(chunks, axis=1)[0]
        low = max(0, round((start - first) * 16000))
        samples = samples[low:low + round((stop - start) * 16000)]
    return Run(clock.seconds, Output(samples=samples))

"""Checks of the installed wheel, run in the bare root by scripts/wheel_test.sh.

As a script, ``wheel_check.py MEDIA_DIR CLIP ...`` decodes every stream of
each clip with the readers and compares it with the ffmpeg tool's decoding of
the same file (``CLIP.rgb24`` for the first video stream, ``CLIP.f32le`` for
the first audio stream, ``CLIP.streams`` for the codec names); then it checks
the libraries mapped into its own process.

As a pytest plugin (``-p wheel_check``), it checks the libraries mapped into
the test process at the end of the session and fails the session if the
check fails.

The library check: every FFmpeg library (libav*, libsw*, libpostproc, and
libdav1d, which the bundled FFmpeg links to) mapped into the process is one
of the wheel's own, in ``quorvex_av.libs`` beside the installed package; each
of those the extension needs is mapped exactly once; and the extension
reports the FFmpeg version recorded in the wheel.
"""

from __future__ import annotations

import importlib.metadata
import os
import sys
from pathlib import Path
from typing import Any

FFMPEG_PREFIXES = ("libav", "libsw", "libpostproc", "libdav1d")
RAW_VIDEO = (".h264", ".hevc")
NEEDED = ("libavcodec", "libavformat", "libavutil", "libswscale", "libswresample", "libdav1d")


def mapped_files() -> list[str]:
    """Files mapped into this process, in the order of /proc/self/maps."""
    paths: list[str] = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and fields[5].startswith("/"):
                path = fields[5].rstrip("\n")
                if path not in paths:
                    paths.append(path)
    return paths


def _library_name(path: str) -> str:
    """libavcodec for libavcodec.so.61 and for libavcodec-1a2b3c4d.so.61.19.101."""
    return os.path.basename(path).split(".so")[0].split("-")[0]


def check_libraries() -> list[str]:
    """Lines describing the FFmpeg libraries in this process; AssertionError
    when one is not the wheel's."""
    import quorvex_av
    from quorvex_av import _av

    extension = Path(_av.__file__).resolve()
    vendored = extension.parent.parent / "quorvex_av.libs"
    mapped = mapped_files()
    problems = []
    if "site-packages" not in extension.parts:
        problems.append(f"the extension is not an installed one: {extension}")
    if str(extension) not in (str(Path(p).resolve()) for p in mapped):
        problems.append(f"{extension} is not mapped")
    found: dict[str, list[str]] = {}
    for path in mapped:
        name = _library_name(path)
        if name.startswith(FFMPEG_PREFIXES):
            found.setdefault(name, []).append(path)
            if Path(path).resolve().parent != vendored.resolve():
                problems.append(f"{path} is not the wheel's")
    for name in NEEDED:
        if len(found.get(name, [])) != 1:
            problems.append(f"{name}: mapped {len(found.get(name, []))} times: {found.get(name)}")

    record = next((f for f in importlib.metadata.files("quorvex_av") or []
                   if str(f).endswith("licenses/ffmpeg/BUILD.txt")), None)
    if record is None:
        problems.append("the wheel has no FFmpeg build record")
    else:
        # First line: "FFmpeg 7.1.5 as built for the quorvex_av wheel"
        built = record.read_text().split()[1]
        if not (quorvex_av.ffmpeg_version.startswith(built + "-")
                and quorvex_av.ffmpeg_version.endswith("+quorvex_av")):
            problems.append(f"ffmpeg_version {quorvex_av.ffmpeg_version!r} is not the bundled {built}")
    if problems:
        raise AssertionError("FFmpeg libraries in this process:\n  " + "\n  ".join(problems))
    lines = [f"quorvex_av {quorvex_av.__version__} from {extension.parent}, "
             f"ffmpeg_version {quorvex_av.ffmpeg_version}",
             f"FFmpeg libraries mapped into process {os.getpid()} (/proc/self/maps), "
             f"all from {vendored}:"]
    lines += [f"  {os.path.basename(paths[0])}" for _, paths in sorted(found.items())]
    others = [p for p in mapped if ".so" in os.path.basename(p) and not p.startswith(str(vendored))]
    lines.append(f"other shared objects mapped: {len(others)}, none of them FFmpeg's")
    return lines


# -- the clips ---------------------------------------------------------------


def _like_the_tool(got: Any, want: Any, across: bool) -> str | None:
    """None when the frames match the tool's conversion of the same
    pictures (the test suite's measure: at most 3 levels apart, under half a
    level on average in every frame), else what differs. ``across``: the
    tool ran on another architecture, whose SIMD code converts the pixels
    with rounding of its own: at most 4 levels apart, under one on average."""
    import numpy as np

    if got.shape != want.shape:
        return f"shape {got.shape}, the tool's {want.shape}"
    diff = np.abs(got.astype(np.int16) - want.astype(np.int16))
    most, mean = (4, 1.0) if across else (3, 0.5)
    if diff.max() > most or diff.mean(axis=(1, 2, 3)).max() >= mean:
        return f"differs from the tool's frames: max {diff.max()}, mean {diff.mean():.3f}"
    return None


def _same_samples(got: Any, want: Any, across: bool) -> bool:
    """Identical samples; across architectures the floating-point decoders
    (AAC, MP3, Opus, Vorbis, AC-3) round differently in their SIMD code, by
    a few units in the last place: within 1e-5 (-100 dB) then."""
    import numpy as np

    return bool(np.array_equal(got, want) or (across and np.allclose(got, want, rtol=0, atol=1e-5)))


def tool_machine(media: Path) -> str:
    """The architecture the clips' references were decoded on (written by
    scripts/wheel_clips.sh), or this one's when not recorded."""
    import platform

    record = media / "machine"
    return record.read_text().strip() if record.exists() else platform.machine()


def check_clip(media: Path, name: str) -> tuple[str, list[str]]:
    """One line describing what was decoded, and the problems found."""
    import numpy as np

    from quorvex_av import AudioReader, Decoder, VideoReader

    import platform

    path = media / name
    across = tool_machine(media) != platform.machine()
    tool_codecs: dict[str, str] = {}
    for line in (media / f"{name}.streams").read_text().split():
        codec, kind = line.split(",")[:2]
        tool_codecs.setdefault(kind, codec)
    parts, problems = [], []
    if path.suffix in RAW_VIDEO:
        # Packets without timestamps: the readers cannot index the frames
        # (the documented "video packet has neither PTS nor DTS"), so the
        # check is that the demuxer and parser read the stream's header.
        header = Decoder(str(path), "video").metadata()
        parts.append(f"{header['codec']} {header['width']}x{header['height']} (raw stream: header only)")
        if header["codec"] != tool_codecs["video"]:
            problems.append(f"video codec {header['codec']}, the tool's {tool_codecs['video']}")
        want = np.fromfile(media / f"{name}.rgb24", np.uint8)
        if want.size % (header["width"] * header["height"] * 3):
            problems.append("the size differs from the tool's")
        return ", ".join(parts), problems
    if "video" in tool_codecs:
        with VideoReader(str(path)) as video:
            meta = video.metadata
            frames = np.concatenate(list(video.batches(64)))
        want = np.fromfile(media / f"{name}.rgb24", np.uint8).reshape(-1, meta.height, meta.width, 3)
        parts.append(f"{meta.codec} {meta.width}x{meta.height} {len(frames)} frames")
        if meta.codec != tool_codecs["video"]:
            problems.append(f"video codec {meta.codec}, the tool's {tool_codecs['video']}")
        if (difference := _like_the_tool(frames, want, across)) is not None:
            problems.append(f"video {difference}")
    if "audio" in tool_codecs:
        with AudioReader(str(path)) as audio:
            samples = audio.read()
            codec, rate = audio.metadata.codec, audio.sample_rate
        want = np.fromfile(media / f"{name}.f32le", "<f4").reshape(-1, samples.shape[0]).T
        parts.append(f"{codec} {rate} Hz x{samples.shape[0]} {samples.shape[1]} samples")
        if codec != tool_codecs["audio"]:
            problems.append(f"audio codec {codec}, the tool's {tool_codecs['audio']}")
        if samples.shape != want.shape:
            problems.append(f"audio shape {samples.shape}, the tool's {want.shape}")
        elif not _same_samples(samples, want, across):
            problems.append(f"audio differs from the tool's: max {np.abs(samples - want).max():.3g}")
    return ", ".join(parts), problems


def main(argv: list[str]) -> int:
    import platform

    media, names = Path(argv[0]), argv[1:]
    failed = 0
    for name in names:
        try:
            line, problems = check_clip(media, name)
        except Exception as error:  # a clip that cannot be decoded at all
            line, problems = "", [f"{type(error).__name__}: {error}"]
        failed += bool(problems)
        print(f"  {'ok  ' if not problems else 'FAIL'} {name:<18} {line}")
        for problem in problems:
            print(f"       {problem}")
    try:
        lines = check_libraries()
    except AssertionError as error:
        print(error)
        return 1
    print("\n".join(lines))
    machine = tool_machine(media)
    where = "" if machine == platform.machine() else f" (its references decoded on {machine})"
    print(f"{len(names) - failed} of {len(names)} clips decoded as the tool decodes them{where}")
    return 1 if failed else 0


# -- the pytest plugin ----------------------------------------------------------


def pytest_sessionfinish(session: Any, exitstatus: int) -> None:
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    write = reporter.write_line if reporter is not None else print
    try:
        lines = check_libraries()
    except AssertionError as error:
        write(f"wheel_check: {error}")
        session.exitstatus = 1
        return
    write("")
    for line in lines:
        write(f"wheel_check: {line}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

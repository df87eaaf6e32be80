"""The media layer (src/ffmpeg/) on its own: it includes nothing of the
Python side, and a C++ program linked against it alone decodes a clip as
the ffmpeg tool does."""
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from media import probe_frames

ROOT = pathlib.Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
if not (SRC / "ffmpeg").is_dir():  # the suite run against an installed wheel is given the tests, not the sources
    pytest.skip("the extension's sources are not beside the tests", allow_module_level=True)
# The one header outside src/ffmpeg/ that the media layer may include: the
# sample buffers, which need no interpreter (the rest of src/arrays/ is NumPy).
MEDIA_MAY_INCLUDE = {SRC / "arrays" / "buffer.hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
PYTHON_API = re.compile(r"\bPy[A-Z_]\w*|\bpy::")


def boundary_uses(text: str, directory: pathlib.Path = SRC / "ffmpeg") -> list[str]:
    found = PYTHON_API.findall(text)
    for name in INCLUDE.findall(text):
        resolved = next(((place / name).resolve() for place in (directory, SRC) if (place / name).exists()), None)
        boundary = (resolved is not None and SRC in resolved.parents and (SRC / "ffmpeg") not in resolved.parents
                    and resolved not in MEDIA_MAY_INCLUDE)
        if boundary or pathlib.PurePath(name).name == "Python.h":
            found.append(f"#include {name}")
    return found


def test_media_layer_includes_no_boundary_header():
    uses = {path.name: boundary_uses(path.read_text()) for path in (SRC / "ffmpeg").iterdir()}
    assert {name: found for name, found in uses.items() if found} == {}
    # The check sees each kind of breach, and lets the allowed includes through.
    assert all(boundary_uses(line) for line in ['#include "py.hpp"', "#include <Python.h>", '#include "calls.hpp"',
                                                '#include "arrays/array.hpp"', "PyObject* object;", "py::Ref object;"])
    assert boundary_uses('#include "arrays/buffer.hpp"\n#include "ffmpeg/io.hpp"\n#include <cstdint>') == []


def test_lock_released_in_one_place():
    # Media work runs without the interpreter lock only through opening_call
    # (src/calls.hpp), which also watches it for signals; py.hpp defines the release.
    released = re.compile(r"without_lock\(|PyEval_SaveThread|Py_BEGIN_ALLOW_THREADS")
    sites = {path.relative_to(SRC).as_posix() for path in SRC.rglob("*.[ch]pp") if released.search(path.read_text())}
    assert sites == {"calls.hpp", "py.hpp"}


@pytest.fixture(scope="module")
def decode_clip(request, tmp_path_factory) -> pathlib.Path:
    # A build tree of this checkout (not a fuzzing one, nor one of pip's build environment), else a fresh one.
    for cache in sorted(ROOT.glob("build/*/CMakeCache.txt"), key=lambda p: p.stat().st_mtime, reverse=True):
        text = cache.read_text(errors="replace")
        command = re.search(r"^CMAKE_COMMAND:INTERNAL=(.+)$", text, re.M)
        tools = re.findall(r"^CMAKE_(?:COMMAND|MAKE_PROGRAM):\w+=(.+)$", text, re.M)
        if (command and f"CMAKE_HOME_DIRECTORY:INTERNAL={ROOT}\n" in text and "fuzzer" not in text
                and all(pathlib.Path(tool).exists() for tool in tools)):
            tree, cmake = cache.parent, command.group(1)
            break
    else:
        if (cmake := shutil.which("cmake")) is None:
            pytest.skip("no CMake build tree of this checkout and no cmake to make one")
        cache_dir = getattr(request.config, "cache", None)
        tree = tmp_path_factory.mktemp("native") if cache_dir is None else cache_dir.mkdir("native")
        subprocess.run([cmake, "-S", ROOT, "-B", tree, f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, capture_output=True)
    built = subprocess.run([cmake, "--build", tree, "--target", "decode_clip"], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    return tree / "decode_clip"


@pytest.mark.parametrize("clip", ["h264", "ts_bframes"])  # B-frames; MPEG-TS starts at 1.4 s
def test_native_program_decodes_as_ffmpeg(media, decode_clip, clip):
    path = media.path(clip)
    run = subprocess.run([decode_clip, path, "video"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    frames = probe_frames(path, 0)
    expected = f"{len(frames)} {frames[0]['pts']}"
    assert run.stdout.splitlines() == [f"path {expected}", f"memory {expected}"]

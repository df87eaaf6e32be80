"""The extension module: its attributes, its build's guard, and the Decoder's text signatures."""

import ast
import inspect
import pathlib
import subprocess
import sys
import sysconfig
from typing import get_args

import pytest

import quorvex_av
from quorvex_av import _av
from quorvex_av._types import DTYPES, OutputDtype
from quorvex_av.errors import ERROR_TYPES

# The established signatures keep their texts; there the stub may only add keyword-only arguments.
ESTABLISHED = {
    "__init__": "(source, media_type, stream_index=None, threads=1)",
    "decode_video": "(self, /, targets, output_dtype, exact, transforms=Ellipsis)",
    "decode_timestamps": "(self, /, seconds, output_dtype, transforms=Ellipsis)",
    "decode_audio": "(self, /, sample_rate, channels, stop=None)",
}


def test_module_attributes():
    assert _av.__all__ == ["Decoder", "ffmpeg_version", "__version__"]
    assert _av.__version__ == "0.4.1" == quorvex_av.__version__
    assert isinstance(_av.ffmpeg_version, str) and _av.ffmpeg_version
    assert _av.__doc__ == "" and quorvex_av.Decoder is _av.Decoder
    # What the package checks before it calls comes from the extension, and the
    # names type checkers see are the same.
    assert get_args(OutputDtype) == _av._output_dtypes == DTYPES
    assert {kind: error.__mro__[1:] for kind, error in ERROR_TYPES.items()} == {
        kind: (base, Exception, BaseException, object) for kind, base in _av._error_kinds.items()}


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_a_stable_abi_build_refuses_a_free_threaded_interpreter():
    # Such an interpreter may still load `.abi3.so` files, whose inline reference
    # counting does not fit its objects: the import must fail cleanly, not crash.
    builds = sorted(pathlib.Path(__file__).parents[1].glob("build/cp3*-abi3-*/_av.abi3.so"))  # make test's
    if not builds:
        pytest.skip("no stable-ABI build in the checkout")
    load = ("import importlib.util as u, sys; "
            "u.module_from_spec(u.spec_from_file_location('quorvex_av._av', sys.argv[1]))")
    run = subprocess.run([sys.executable, "-c", load, str(builds[0])], capture_output=True, text=True, timeout=120)
    assert run.returncode == 1, run.stderr
    assert "ImportError: this build of quorvex_av._av uses the stable ABI" in run.stderr


def test_text_signatures_name_every_stub_parameter():
    # A keyword added to a method but not to its text signature (or the other
    # way round) shows here: the two list the same parameters, keyword-only ones included.
    runtime = lambda name: _av.Decoder if name == "__init__" else getattr(_av.Decoder, name)  # noqa: E731
    assert {name: str(inspect.signature(runtime(name))) for name in ESTABLISHED} == ESTABLISHED
    # The stub beside the installed package, else the checkout's (a staged build may install the package without it).
    places = [pathlib.Path(quorvex_av.__file__).parent, pathlib.Path(__file__).parents[1] / "quorvex_av"]
    found = [place / "_av.pyi" for place in places if (place / "_av.pyi").exists()]
    if not found:
        pytest.skip("no _av.pyi beside the package or in the checkout")
    decoder = next(node for node in ast.parse(found[0].read_text()).body
                   if isinstance(node, ast.ClassDef) and node.name == "Decoder")
    for function in (node for node in decoder.body if isinstance(node, ast.FunctionDef)):
        name, arguments = function.name, function.args
        parameters = [(p.name, p.kind is inspect.Parameter.KEYWORD_ONLY)
                      for p in inspect.signature(runtime(name)).parameters.values() if p.name != "self"]
        stub = [(a.arg, False) for a in arguments.posonlyargs + arguments.args if a.arg != "self"]
        stub += [(a.arg, True) for a in arguments.kwonlyargs]
        if name in ESTABLISHED:
            assert stub[:len(parameters)] == parameters and all(keyword for _, keyword in stub[len(parameters):]), name
        else:
            assert parameters == stub, name

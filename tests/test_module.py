import importlib
import inspect
import subprocess
import sys

import quorvex_av
from quorvex_av import _av


def test_module_attributes():
    assert _av.__all__ == ["Decoder", "ffmpeg_version", "__version__"]
    assert _av.__version__ == "0.4.1" == quorvex_av.__version__
    assert isinstance(_av.ffmpeg_version, str) and _av.ffmpeg_version
    assert _av.__doc__ == ""
    assert quorvex_av.Decoder is _av.Decoder


def test_import_twice_gives_the_same_module():
    assert importlib.import_module("quorvex_av._av") is _av
    # A fresh interpreter prints the three names, the version and FFmpeg's text.
    out = subprocess.run(
        [sys.executable, "-c",
         "import quorvex_av._av as m; print(m.__all__, m.__version__, m.ffmpeg_version)"],
        capture_output=True, text=True, check=True, cwd="/",
    ).stdout
    assert out.startswith("['Decoder', 'ffmpeg_version', '__version__'] 0.4.1 ")


def test_text_signatures():
    Decoder = _av.Decoder
    assert str(inspect.signature(Decoder)) == "(source, media_type, stream_index=None, threads=1)"
    expected = {
        "metadata": "(self, /, apply_rotation=True)",
        "scan": "(self, /)",
        "decode_video": "(self, /, targets, output_dtype, exact, transforms=Ellipsis)",
        "decode_timestamps": "(self, /, seconds, output_dtype, transforms=Ellipsis)",
        "decode_audio": "(self, /, sample_rate, channels, stop=None)",
        "close": "(self, /)",
    }
    for name, signature in expected.items():
        assert str(inspect.signature(getattr(Decoder, name))) == signature
    assert [name for name in vars(Decoder) if not name.startswith("__")][: len(expected)] == list(expected)

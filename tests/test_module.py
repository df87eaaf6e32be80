import inspect

import quorvex_av
from quorvex_av import _av


def test_module_attributes():
    assert _av.__all__ == ["Decoder", "ffmpeg_version", "__version__"]
    assert _av.__version__ == "0.4.1" == quorvex_av.__version__
    assert isinstance(_av.ffmpeg_version, str) and _av.ffmpeg_version
    assert _av.__doc__ == ""
    assert quorvex_av.Decoder is _av.Decoder


def test_text_signatures():
    Decoder = _av.Decoder
    assert str(inspect.signature(Decoder)) == (
        "(source, media_type, stream_index=None, threads=1, *, timeout=None, buffer_size=None, "
        "error_types=None)")
    expected = {
        "metadata": "(self, /, apply_rotation=True)",
        "scan": "(self, /)",
        "decode_video": "(self, /, targets, output_dtype, exact, transforms=Ellipsis)",
        "decode_timestamps": "(self, /, seconds, output_dtype, transforms=Ellipsis)",
        "decode_audio": "(self, /, sample_rate, channels, stop=None)",
        "close": "(self, /)",
        "streams": "(source, *, timeout=None)",
    }
    assert {name: str(inspect.signature(getattr(Decoder, name))) for name in expected} == expected

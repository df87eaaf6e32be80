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
        "(source, media_type, stream_index=None, threads=1, *, timeout=None, buffer_size=None)")
    expected = {
        "metadata": "(self, /, apply_rotation=True)",
        "scan": "(self, /)",
        "decode_video": "(self, /, targets, output_dtype, exact, transforms=Ellipsis, *, "
                        "direct_resize=False, occurrences=None, skip_invalid=False, "
                        "seek_by_index=False)",
        "decode_timestamps": "(self, /, seconds, output_dtype, transforms=Ellipsis, *, "
                             "direct_resize=False, skip_invalid=False)",
        "decode_audio": "(self, /, sample_rate, channels, stop=None, *, honour_timestamps=False, "
                        "skip_invalid=False)",
        "decode_audio_range": "(self, /, sample_rate, channels, first, end=None, *, "
                              "skip_invalid=False)",
        "audio_start_time": "(self, /, *, skip_invalid=False)",
        "skipped_packets": "(self, /)",
        "close": "(self, /)",
    }
    assert {name: str(inspect.signature(getattr(Decoder, name))) for name in expected} == expected

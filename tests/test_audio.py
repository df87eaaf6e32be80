"""Decoder.decode_audio(): a whole audio stream as float32 samples."""

import math

import numpy as np
import pytest

from media import FORMAT_CHANGE_PARTS, damaged, ffmpeg_audio, probe_audio_frames, probe_frames
from quorvex_av import Decoder


def decode(media, name, index, *args, **kwargs):  # on a fresh decoder, like the tool's single pass
    return Decoder(str(media.path(name)), "audio", stream_index=index).decode_audio(*args, **kwargs)


def native(media, name, index):  # (sample rate, channels, samples per channel) as the tool decodes them
    frames = probe_audio_frames(str(media.path(name)), index)
    return frames[0]["sample_rate"], frames[0]["channels"], sum(f["samples"] for f in frames)


@pytest.mark.parametrize("name, index, rate, channels", [
    ("wav", 0, 44100, 2), ("flac", 0, 48000, 1), ("multi", 2, 16000, 1),  # unchanged
    ("aac", 0, 44100, 2), ("aac_negative", 0, 44100, 2),  # a priming block before 0
    ("aac", 0, 16000, 1), ("mp3", 0, 22050, 2), ("opus", 0, 44100, 1),
    ("h264_audio", 1, 16000, 1), ("multi", 1, 22050, 2), ("multi", 2, 44100, 2),  # the last: mono up-mixed
])
def test_matches_the_tool(media, name, index, rate, channels):
    path = media.path(name)
    decoder = Decoder(str(path), "audio", stream_index=index)
    array, start = decoder.decode_audio(rate, channels)
    # ffprobe's first decoded frame: after MP4's trimmed priming, before 0 where Matroska keeps it.
    assert type(start) is float and start == probe_frames(path, index)[0]["time"]
    # Calls repeat after one that stopped mid-stream (AAC's noise and Opus's pre-roll need a fresh
    # decoder each call); honouring ordinary timestamps changes nothing.
    decoder.decode_audio(rate, channels, 0.5)
    for again in (decoder.decode_audio(rate, channels), decoder.decode_audio(rate, channels, honour_timestamps=True)):
        assert again[1] == start and np.array_equal(again[0], array)
    assert array.dtype == np.float32 and array.ndim == 2 and array.shape[0] == channels
    assert array.flags.c_contiguous and array.flags.writeable and type(array.base).__name__ == "PySliceContainer"
    source_rate, source_channels, _ = native(media, name, index)
    assert source_channels > 1 or all(np.array_equal(array[0], row) for row in array[1:])
    # Kept at its own rate and layout, exactly the tool's; converted, within 2 samples of length
    # and -60 dB RMS (a shifted or missing frame would not be).
    expected = ffmpeg_audio(path, rate, channels, index)
    if (rate, channels) == (source_rate, source_channels):
        assert np.array_equal(array, expected)
        return
    n = min(array.shape[1], expected.shape[1])
    assert abs(array.shape[1] - expected.shape[1]) <= 2
    assert np.sqrt(np.mean((array[:, :n] - expected[:, :n]) ** 2)) < 1e-3
    assert all(np.corrcoef(a[:n], e[:n])[0, 1] > 0.999 for a, e in zip(array, expected))


@pytest.mark.parametrize("name, index, stop", [
    ("aac", 0, 1.0), ("aac", 0, 0.0), ("wav", 0, 1), ("mp3", 0, -5.0), ("opus", 0, 0.5), ("multi", 2, 1.0),
    ("flac", 0, 100.0), ("mp3", 0, math.nan), ("mp3", 0, math.inf),  # the last three never stop
])
def test_stop_keeps_the_frame_that_reaches_it(media, name, index, stop):
    # At the stream's own rate and layout there is no resampling delay, so
    # the result ends exactly at a frame boundary of the stream.
    rate, channels, _ = native(media, name, index)
    full, start = decode(media, name, index, rate, channels)
    array, stopped_start = decode(media, name, index, rate, channels, stop)
    ends = np.cumsum([f["samples"] for f in probe_audio_frames(str(media.path(name)), index)])
    reaching = [n for n in ends if start + n / rate >= stop]
    assert stopped_start == start and array.shape[1] == (reaching[0] if reaching else ends[-1])
    assert np.array_equal(array, full[:, :array.shape[1]])


@pytest.mark.parametrize("stop", [0.0, 0.6, 1.2])
def test_stop_with_resampling(media, stop):
    full, start = decode(media, "aac", 0, 16000, 1)
    array, _ = decode(media, "aac", 0, 16000, 1, stop)
    end = start + array.shape[1] / 16000
    # Past the stop by less than one AAC frame (1024 samples at 44.1 kHz) plus
    # the resampler's flushed tail (allow 10 ms); up to that tail, the full decode's samples.
    assert stop <= end < max(stop, start) + 1024 / 44100 + 0.01 and array.shape[1] < full.shape[1]
    assert np.array_equal(array[:, :array.shape[1] - 64], full[:, :array.shape[1] - 64])


def dominant_hz(samples, rate):
    return np.argmax(np.abs(np.fft.rfft(samples * np.hanning(len(samples))))) * rate / len(samples)


@pytest.mark.parametrize("rate, channels", [(16000, 1), (44100, 2), (22050, 2)])
def test_format_change_mid_stream(media, rate, channels):
    frames = probe_audio_frames(str(media.path("format_change")), 0)
    assert [(f["sample_rate"], f["channels"]) for f in frames[::len(frames) - 1]] == [(44100, 2), (22050, 1)]
    parts = [sum(f["samples"] for f in frames if f["sample_rate"] == r) * rate / r for r, _ in FORMAT_CHANGE_PARTS]
    array, _ = decode(media, "format_change", 0, rate, channels)
    # Both halves in full: each resampler rounds its length, and the first is
    # flushed before the second takes over.
    assert abs(array.shape[1] - sum(parts)) <= 4
    # Each half carries its own tones (0.1 s kept clear of the join and of
    # the encoder's priming and padding); the mono half is up-mixed.
    margin, join = int(0.1 * rate), int(parts[0])
    first, second = array[:, margin:join - margin], array[:, join + margin:join + int(0.9 * rate)]
    resolution = 2 * rate / first.shape[1]
    (_, tones), (_, (second_tone,)) = FORMAT_CHANGE_PARTS
    for row, tone in [*zip(first, tones), *((row, second_tone) for row in second)]:
        assert abs(dominant_hz(row, rate) - tone) <= resolution and np.sqrt(np.mean(row ** 2)) > 0.1
    assert np.array_equal(second[0], second[-1])


# Rates down to 1 Hz give every sample; channel counts with no standard layout
# to mix into (24 has one: 22.2) hold the source's channels, then silence.
@pytest.mark.parametrize("name, rate, channels", [
    *[(name, rate, 1) for name in ("aac", "wav") for rate in (1, 2, 7, 10, 11, 20)],
    *[("wav", 8000, channels) for channels in (9, 15, 17, 23, 24, 25, 64)]])
def test_low_rates_and_many_channels(media, name, rate, channels):
    native_rate, _, samples = native(media, name, 0)
    decoder = Decoder(str(media.path(name)), "audio")
    array, _ = decoder.decode_audio(channels=channels, stop=None, sample_rate=rate)  # by keyword
    assert array.shape[0] == channels and abs(array.shape[1] - samples * rate / native_rate) <= 1
    if channels > 1:
        stereo = decoder.decode_audio(rate, 2)[0]
        assert array.shape[1] == stereo.shape[1]
        assert channels == 24 or (np.array_equal(array[:2], stereo) and not array[2:].any())


def test_honoured_gap_matches_the_tools_async_resampling(media):
    plain, _ = decode(media, "gap", 0, 16000, 1)  # the default packs the samples
    honoured, start = decode(media, "gap", 0, 16000, 1, honour_timestamps=True)
    assert start == 0.0 and plain.shape == (1, 32000) and honoured.shape == (1, 48000)
    np.testing.assert_allclose(honoured, ffmpeg_audio(media.path("gap"), 16000, 1, args=("-af", "aresample=async=1")),
                               atol=1e-6)


@pytest.mark.parametrize("name", ["mp3_joined", "aac"])
def test_invalid_packets_are_skipped_when_asked(media, name):
    path = media.path(name)
    # The second file's header; an element id the decoder rejects.
    data = path.read_bytes() if name == "mp3_joined" else damaged(path, 0, 20, 0xFF)
    decoder = Decoder(data, "audio")
    with pytest.raises(RuntimeError, match="^send packet: Invalid data found when processing input$"):
        decoder.decode_audio(44100, 2)
    array, _ = decoder.decode_audio(44100, 2, skip_invalid=True)  # at most the skipped frames lost
    assert decoder.skipped_packets() >= 1 and abs(array.shape[1] - ffmpeg_audio(path, 44100, 2).shape[1]) <= 2 * 1152
    decoder.decode_audio(44100, 2, stop=0.1, skip_invalid=True)
    assert decoder.skipped_packets() == 0  # counted per call

"""Audio read by range: the same samples as one whole read, by seeking."""

import numpy as np
import pytest

from media import MIXES, BytesFile, _mix, damaged, encode
from quorvex_av import AudioReader, Decoder

# Per mix: samples per packet, and the largest difference from the whole read
# (AAC's noise substitution draws from a generator that a seek cannot restore).
PACKETS = {"mix_wav": (1024, 0.0), "mix_flac": (4608, 0.0), "mix_mp3": (1152, 0.0), "mix_aac": (1024, 0.03),
           "mix_adts": (1024, 0.03), "mix_opus": (960, 0.0), "mix_vorbis": (1024, 0.0)}


def sample(seconds, rate):  # the index of the first sample at or after a time
    return int(np.ceil(seconds * rate - 1e-6))


# Output (rate, channels): the stream's own (None), speech-model input, 44.1 to 48 kHz.
@pytest.mark.parametrize("rate, channels", [(None, None), (16000, 1), (48000, 2)])
@pytest.mark.parametrize("name", list(MIXES))
def test_ranges_and_chunks_match_the_whole_read(media, name, rate, channels):
    path = str(media.path(name))
    reader = AudioReader(path, sample_rate=rate, channels=channels)
    whole = reader.read()
    rate, first = reader.sample_rate, reader.first_sample_time
    end = first + whole.shape[1] / rate
    packet, bound = PACKETS[name]
    boundary = first + (4.0 // (packet / reader.metadata.sample_rate)) * packet / reader.metadata.sample_rate
    # From the start, mid stream, to the end, across a packet boundary, inside one packet.
    for start, stop in [(None, first + 0.5), (first + 3.0, first + 4.2501), (end - 0.3, None),
                        (boundary - 0.0007, boundary + 0.0011), (first + 0.0001, first + 0.0002)]:
        low = 0 if start is None else sample(start - first, rate)
        high = whole.shape[1] if stop is None else sample(stop - first, rate)
        got = AudioReader(path, sample_rate=rate, channels=channels).read(start, stop)
        assert got.shape == (reader.channels, high - low), (start, stop)
        assert np.abs(got - whole[:, low:high]).max(initial=0) <= bound, (start, stop)
    # Chunks decode on from one to the next: exact even where a seek is not, and in one-sample pieces.
    for seconds, stop in [(1.3, None), (0.0123, None), (1 / rate, first + 0.05)]:
        joined = np.concatenate(list(reader.chunks(seconds, None, stop)), axis=1)
        assert np.array_equal(joined, whole[:, :whole.shape[1] if stop is None else round(0.05 * rate)]), seconds
    assert [p.shape for p in reader.chunks(1e300)] == [whole.shape]  # longer than any stream
    pieces = list(reader.chunks(0.7, first + 2.2, first + 5.01))  # the first piece seeks, the rest go on
    assert [p.shape[1] for p in pieces[:-1]] == [round(0.7 * rate)] * (len(pieces) - 1)
    joined, low = np.concatenate(pieces, axis=1), sample(2.2, rate)
    assert np.abs(joined - whole[:, low:low + joined.shape[1]]).max() <= bound
    # Windows: before the first sample, two overlapping (one read), one far off, one past the end.
    starts, count = [-0.3, 3.1, 3.0, 6.0, end - first - 0.1], round(0.4 * rate)
    padded = np.pad(whole, ((0, 0), (count, count)))
    want = np.stack([padded[:, sample(start, rate) + count:sample(start, rate) + 2 * count] for start in starts])
    got = AudioReader(path, sample_rate=rate, channels=channels).read_at([first + s for s in starts], count)
    assert got.shape == want.shape and np.abs(got - want).max() <= bound


# Containers with an index, or (Ogg) pages to bisect by position: raw MP3
# and ADTS have neither, and their first seek reads up to its target.
@pytest.mark.parametrize("name, part", [("long_wav", 0.05), ("long_aac", 0.05), ("long_opus", 0.35),
                                        ("long_vorbis", 0.35)])
def test_a_range_near_the_end_reads_a_bounded_part_of_the_file(media, name, part):
    file = BytesFile(data := media.path(name).read_bytes())
    reader = AudioReader(file, sample_rate=16000, channels=1)
    opened = file.read_bytes
    assert reader.read(58.2, 58.5).shape == (1, 4800)
    # The reads after the last seek (64 KiB, then 128 KiB, ...) may run past that part.
    assert file.read_bytes - opened < part * len(data) + (64 + 128) * 1024


def test_a_stream_without_samples(media):
    decoder = Decoder(str(media.path("empty_audio")), "audio")
    samples, start, total = decoder.decode_audio_range(16000, 2, 0)
    assert decoder.audio_start_time() is None and samples.shape == (2, 0) and total == 0
    reader = AudioReader(media.path("empty_audio"))
    assert list(reader.chunks(1.0)) == [] and reader.read().shape == (2, 0)
    with pytest.raises(IndexError, match="^the audio stream holds no samples$"):
        reader.read(0.5)


# Matroska's millisecond times place only frames of a fixed size (PCM there is
# read from the start); AAC differs by noise substitution only, exact without
# it ("aac_no_pns"); "gap" has no samples in [1, 2) s, where reads begin.
@pytest.mark.parametrize("name, index, bound", [
    ("aac_negative", 0, 1e-4), ("gap", 0, 0.0), ("multi", 2, 0.0), ("h264_audio", 1, 1e-4), ("aac_no_pns", 0, 0.0)])
def test_ranges_of_other_streams(media, name, index, bound):
    path = str(media.path(name))
    reader = AudioReader(path, stream_index=index, sample_rate=16000)
    whole, first = reader.read(), reader.first_sample_time
    for start in (0.3, 0.9, 1.4) + ((1.75, 1.95) if name == "gap" else ()):
        got = AudioReader(path, stream_index=index, sample_rate=16000).read(first + start, first + start + 0.3)
        low = sample(start, 16000)
        assert got.shape == (reader.channels, 4800) and np.abs(got - whole[:, low:low + 4800]).max() <= bound, start
    for seconds in (0.0123, 0.3):
        assert np.array_equal(np.concatenate(list(reader.chunks(seconds)), axis=1), whole), seconds


# A read that begins where the last one stopped goes on decoding; anything
# that moved the decoder in between must make it seek instead.
@pytest.mark.parametrize("between", [
    lambda d: d.decode_audio(16000, 1), lambda d: d.scan(),
    lambda d: d.decode_audio_range(16000, 1, 90000, 91000), lambda d: d.decode_audio_range(8000, 1, 16000, 24000),
])
def test_reading_on_after_another_call(media, between):
    path = str(media.path("mix_mp3"))
    whole = Decoder(path, "audio").decode_audio(16000, 1, honour_timestamps=True)[0]
    decoder = Decoder(path, "audio")
    head = decoder.decode_audio_range(16000, 1, 16000, 32000)[0]
    between(decoder)
    tail, _, total = decoder.decode_audio_range(16000, 1, 32000, 48000)
    assert total is None and np.array_equal(np.concatenate([head, tail], axis=1), whole[:, 16000:48000])


def _damaged(path) -> bytes:
    # Noise a third of the way in: the walk over frame headers stops there, the demuxer resynchronises.
    data = path.read_bytes()
    return data[:len(data) // 3] + bytes(range(7, 255, 3)) * 20 + data[len(data) // 3 + 4000:]


# Raw MP3 and ADTS have no index: a seek walks the frame headers (every layout
# counted right, stopping where the demuxer does), or, after a whole read, goes
# to the positions noted; both land the same.  Skipped packets keep the times.
MP3, ADTS, M4A = ("mp3", "-c:a", "libmp3lame"), ("aac", "-c:a", "aac", "-f", "adts"), ("m4a", "-c:a", "aac")


@pytest.mark.parametrize("name, codec, args, change", [
    ("vbr", MP3, ["-ar", "44100", "-q:a", "3"], None),
    ("mpeg2_mono", MP3, ["-ar", "22050", "-ac", "1", "-b:a", "48k"], None),
    ("mpeg25", MP3, ["-ar", "8000", "-b:a", "24k"], None),
    ("id3v1_tail", MP3, ["-ar", "48000", "-b:a", "96k", "-write_id3v1", "1", "-metadata", "title=x"], None),
    ("damaged", MP3, ["-ar", "44100", "-b:a", "128k"], _damaged),
    ("adts", ADTS, ["-ar", "44100", "-b:a", "128k"], None),
    ("adts_mono_low", ADTS, ["-ar", "11025", "-ac", "1", "-b:a", "24k"], None),
    ("adts_damaged", ADTS, ["-ar", "48000", "-b:a", "96k"], _damaged),
    # Packet 150 (3.5 s in) made invalid: in MP3 its side information, in ADTS the first byte
    # after the header, in MP4 the AAC element id.
    ("mp3_bad_packet", MP3, ["-ar", "44100", "-b:a", "128k"], lambda path: damaged(path, 0, 150, 0xFF, 8)),
    ("adts_bad_packet", ADTS, ["-ar", "44100", "-b:a", "128k"], lambda path: damaged(path, 0, 150, 0x00, 7)),
    ("m4a_bad_packet", M4A, ["-ar", "44100", "-b:a", "128k"], lambda path: damaged(path, 0, 150, 0xFF, 0)),
])
def test_raw_audio_seeks_land_where_the_demuxer_puts_the_samples(tmp_path, name, codec, args, change):
    path = tmp_path / f"{name}.{codec[0]}"
    encode([*_mix(44100, 12, *codec[1:], *args)], path)
    if change is not None:
        path.write_bytes(change(path))
    walked = AudioReader(BytesFile(path.read_bytes()), sample_rate=16000, channels=1)
    noted = AudioReader(str(path), sample_rate=16000, channels=1)
    whole, first = noted.read(), noted.first_sample_time
    assert noted.skipped_packets > 0 or "bad_packet" not in name
    # (AAC's noise differs with where the decoder starts; a frame's error in time by the signal itself.)
    bound = 0.0 if codec is MP3 else PACKETS["mix_adts"][1]
    for start in (1.3, 10.7, 6.05, 9.5):  # on, then back
        low, span = sample(start, 16000), (first + start, first + start + 0.4)
        got = AudioReader(str(path), sample_rate=16000, channels=1).read(*span)
        # Noise is cut into packets one way when read through and another after
        # a seek (raw streams are timed by their packets): only seeking reads agree.
        others = [noted.read(*span), walked.read(*span)] + ([] if change is _damaged else [whole[:, low:low + 6400]])
        for other in others:
            assert got.shape == other.shape and np.abs(got - other).max() <= bound, start
    # Pieces from before the damage to after it, and from after it.
    for start in () if change is _damaged else (1.3, 6.05):
        low = sample(start, 16000)
        joined = np.concatenate(list(walked.chunks(0.3, first + start, first + 9.5)), axis=1)
        assert np.abs(joined - whole[:, low:low + joined.shape[1]]).max() <= bound, start

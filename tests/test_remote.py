"""Remote sources: file objects whose calls are round trips, and files over
HTTP (through fsspec or FFmpeg's own protocol) from a server on 127.0.0.1."""

from pathlib import Path

import numpy as np
import pytest

from media import BytesFile, encode, require_protocol
from quorvex_av import AudioReader, Decoder, VideoReader
from quorvex_av.samplers import clips_at_random_indices
from range_server import RangeServer

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")

MIB = 1 << 20


@pytest.fixture(scope="module")
def movie(tmp_path_factory):
    """12 s of H.264 at about 1.5 Mb/s (frames small enough to come through
    the demuxer's buffer), a key frame every 4 s, AAC sound, index at the end."""
    path = tmp_path_factory.mktemp("remote") / "movie.mp4"
    encode(["-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=12,noise=alls=8:allf=t",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=12",
            "-c:v", "libx264", "-preset", "veryfast", "-b:v", "1500k", "-g", "100",
            "-keyint_min", "100", "-sc_threshold", "0", "-pix_fmt", "yuv420p",
            "-c:a", "aac", "-b:a", "96k"], path)
    return path


@pytest.fixture(scope="module")
def http():
    with RangeServer() as server:
        yield fsspec.filesystem("http", skip_instance_cache=True), server


def test_file_object_is_asked_only_what_is_needed(movie):
    file = BytesFile(movie.read_bytes())
    file.calls = []
    decoder = Decoder(file, "video", buffer_size=MIB)
    decoder.scan()
    decoder.decode_timestamps([6.0], "uint8")
    decoder.decode_timestamps([1.0], "uint8")  # back again
    seeks = [call for call in file.calls if call[0] == "seek"]
    reads = [call for call in file.calls if call[0] == "read"]
    assert seeks[0][1] == (0, 0)  # the rewind at open
    assert all(before != after for _, _, before, after in seeks[1:])  # every later seek moves
    # The size is asked once, then the file goes back to where it was.
    [end] = [i for i, call in enumerate(file.calls) if call[:2] == ("seek", (0, 2))]
    (_, _, here, _), (_, back, _, landed) = file.calls[end:end + 2]
    assert back == (here, 0) and landed == here
    assert max(size for _, size, _, _ in reads) <= MIB
    # Reading in order grows to whole buffers, plus the short reads after each seek.
    assert len(reads) <= len(file.getvalue()) / MIB + 20


def _video(source):
    reader = VideoReader(source)
    return reader.at([0.5, 1.0, 1.9]), reader[[3, 40, 0]]


def _audio(source):
    return AudioReader(source, sample_rate=16000, channels=1).read(0.5, 1.5),


@pytest.mark.parametrize("clip, read", [("movie", _video), ("vp9", _video), ("movie", _audio),
                                        ("mp3", _audio), ("aac", _audio)])
def test_frames_and_audio_over_http_match_the_file(http, movie, media, clip, read):
    filesystem, server = http
    path = movie if clip == "movie" else media.path(clip)
    with filesystem.open(server.add("/" + path.name, path), "rb", cache_type="none") as remote:
        got = read(remote)
    for remote_part, local_part in zip(got, read(path), strict=True):
        np.testing.assert_array_equal(remote_part, local_part)


def test_one_frame_in_the_middle_costs_a_few_requests(http, movie):
    filesystem, server = http
    url = server.add("/middle.mp4", movie)
    server.reset()
    with filesystem.open(url, "rb", cache_type="none") as remote:
        VideoReader(remote).at(6.0)
    # The frame at 6 s decodes from the key frame at 4 s: a sixth of the
    # file, the headers and the index at the end; reads double as they go
    # on, so the last may reach as far past the frame again.
    assert server.bytes_sent < 0.45 * movie.stat().st_size, server.requests
    requests = len(server.requests)
    assert requests <= 12, server.requests
    server.reset()  # the decoder's own 32 KiB reads need many more
    with filesystem.open(url, "rb", cache_type="none") as remote:
        Decoder(remote, "video").decode_timestamps([6.0], "uint8")
    assert len(server.requests) > 2 * requests


def test_the_guide_example_runs(http, movie):
    guide = (Path(__file__).resolve().parent.parent / "docs" / "guide.md").read_text()
    code = guide.split("## Remote files", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    names = {"url": http[1].add("/guide.mp4", movie)}
    exec(compile(code, "guide.md", "exec"), names)
    np.testing.assert_array_equal(names["frame"], VideoReader(movie).at(6.0))
    assert names["speech"].shape == (1, 32000)


# A network read fails before it moves the object; a remote reader also
# copes with one that read part of its answer before it failed.
@pytest.mark.parametrize("options, failure", [({}, "raises first"), ({"buffer_size": 4096}, "raises first"),
                                              ({"buffer_size": 4096}, "raises after"),
                                              ({"buffer_size": 4096}, "returns str")])
def test_a_failed_read_leaves_the_next_call_right(media, options, failure):
    path = media.path("h264")
    reference = Decoder(str(path), "video")
    targets = [(pts, pts) for pts, _, key in reference.scan() if key][-1:]
    file = BytesFile(path.read_bytes())
    decoder = Decoder(file, "video", **options)

    def fail(size):  # once
        file.on_read = None
        if failure != "raises first":
            BytesFile.read(file, size)  # the position moves
            if failure == "returns str":
                return "text"
        raise OSError("connection reset")

    file.on_read = fail
    with pytest.raises(RuntimeError, match="Input/output error"):
        decoder.decode_video(targets, "uint8", True)
    np.testing.assert_array_equal(decoder.decode_video(targets, "uint8", True)[0],
                                  reference.decode_video(targets, "uint8", True)[0])


# A server that fails one answer (breaks it off, or stalls past the reader's
# timeout) and is good again afterwards: so is the reader, whose next call
# reconnects rather than meet the failure of the call before again.  The
# movie's pictures alone (copied): each decoder's request for a group of
# pictures is one long answer.
@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("failure", ["drop", "cut", "stall"])
def test_a_network_failure_leaves_the_next_call_right(http, movie, failure, workers):
    require_protocol("http")
    pictures = movie.with_name("pictures.mp4")
    if not pictures.exists():
        encode(["-i", str(movie), "-an", "-c", "copy"], pictures)
    url = http[1].add("/flaky.mp4", pictures)
    reference = VideoReader(pictures)
    with VideoReader(url, timeout=1.0, workers=workers) as reader:
        reader[[50, 150, 250]]  # a group of pictures each (key frames every 100 frames)
        http[1].failed.clear()
        http[1].fail_once(failure)
        with pytest.raises(RuntimeError, match="read timed out" if failure == "stall" else None):
            reader[[120, 220]]  # every decoder asks anew for its group: one fails
        assert len(http[1].failed) == 1
        for picks in ([120, 220], [121], [299], [20, 260, 110]):
            np.testing.assert_array_equal(reader[picks], reference[picks])


# Here, not beside the cluster tests: fsspec's HTTP file system keeps its
# I/O thread and connections for the rest of the process.
def test_url_paths_go_through_a_file_system(http, media):
    """An http URL is opened through fsspec (range reads), not by name."""
    qray = pytest.importorskip("quorvex_av.ray")
    from quorvex_av._ray_files import file_list
    path, url = str(media.path("h264")), http[1].add("/v/a.mp4", media.path("h264"))
    assert type(file_list(url).filesystem).__module__.startswith("fsspec")
    got, want = (qray.read_clips_locally(source, clips_at_random_indices, num_clips=2, frames_per_clip=3,
                                         seed=4).drop_columns(["path"]) for source in (url, path))
    assert got.equals(want)

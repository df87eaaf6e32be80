"""The quorvex-av command line."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from media import ffmpeg_audio, probe_frames, probe_stream
import quorvex_av
from quorvex_av import AudioReader, VideoReader
from quorvex_av.__main__ import main


def test_info(media, tmp_path, capsys):
    bad = tmp_path / "not_media.mp4"
    bad.write_bytes(b"no media here")
    files = [bad, media.path("rotated90"), media.path("undecodable")]
    assert main(["info", *map(str, files)]) == 1  # goes on past a bad file
    out, err = capsys.readouterr()
    assert "stream 0: video, h264 120x160 yuv420p (8-bit), 25 fps" in out and "rotation: -90 degrees" in out
    assert "stream 0: video, unreadable (FFmpeg has no decoder for this codec)" in out
    assert f"quorvex-av: {bad}: open input: " in err
    assert main(["info", "--json", str(media.path("multi"))]) == 0
    info = json.loads(capsys.readouterr().out)
    assert info["ffmpeg_version"] == quorvex_av.ffmpeg_version  # the FFmpeg this package loads
    assert [s["type"] for s in info["streams"]] == ["video", "audio", "audio", "other"]
    video, _, flac, _ = info["streams"]
    first = probe_frames(media.path("multi"), 0)[0]["time"]
    assert (video["num_frames"], video["start"], video["duration"]) == pytest.approx((50, first, 2.0))
    assert (flac["codec"], flac["sample_rate"], flac["channels"]) == ("flac", 16000, 1)


@pytest.mark.parametrize("workers", [["--workers", "1"], ["--workers", "3", "--threads", "auto"],
                                     ["--workers", "auto", "--threads", "2"]])
def test_contact_sheet_holds_the_frames(media, tmp_path, capsys, workers):
    image = pytest.importorskip("PIL.Image")
    path, sheet_path = str(media.path("h264")), tmp_path / "sheet.png"
    assert main(["frames", path, "--at", "2.5", "0.5", "--width", "80", "--columns", "2",
                 *workers, "-o", str(sheet_path)]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {sheet_path}: 2 frames of 80x60")
    sheet = np.asarray(image.open(sheet_path).convert("RGB"))
    frames = VideoReader(path, resize=(60, 80)).at([2.5, 0.5])
    # Tiles of 80 + 4 pixels, each with a 22-pixel caption strip beneath it.
    assert np.array_equal(sheet[4:64, 4:84], frames[0])
    assert np.array_equal(sheet[4:64, 88:168], frames[1])
    assert sheet[64:86, 4:84].std() > 10  # the caption is written


def test_contact_sheet_without_pillow(media, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "PIL", None)
    assert main(["frames", str(media.path("h264")), "--at", "1", "-o", str(tmp_path / "s.png")]) == 1
    assert "pip install 'quorvex_av[cli]'" in capsys.readouterr().err


@pytest.mark.parametrize("options, codec, tolerance", [([], "pcm_s16le", 0.5 / 32768),
                                                       (["--float"], "pcm_f32le", 0)])
def test_audio_to_wav(media, tmp_path, options, codec, tolerance):
    path, out = media.path("aac"), tmp_path / "out.wav"
    assert main(["audio", str(path), "--rate", "16000", "--channels", "1", "--start", "0.5",
                 "--stop", "1.5", "-o", str(out), *options]) == 0
    assert probe_stream(out, 0)["codec_name"] == codec
    want = AudioReader(path, sample_rate=16000, channels=1).read(0.5, 1.5)
    np.testing.assert_allclose(ffmpeg_audio(out, 16000, 1), want, rtol=0, atol=tolerance)


@pytest.mark.parametrize("bound, past", [("--stop", "2"), ("--start", "1e300")])
def test_module_entry_point(media, tmp_path, bound, past):
    run = subprocess.run([sys.executable, "-m", "quorvex_av", "audio", str(media.path("wav")),
                          bound, past, "-o", str(tmp_path / "a.wav")],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr == (f"quorvex-av: error: {bound[2:]} {float(past):g} s is past the end of the audio: "
                          "valid times are [0, 1) s\n")


@pytest.mark.parametrize("options, message", [
    (["audio", "X", "-o", "a.wav", "--rate", "99999999999"], "argument --rate: 99999999999 is not in"),
    (["audio", "X", "-o", "a.wav", "--channels", "65"], "argument --channels: 65 is not in [1, 64]"),
    (["audio", "X", "-o", "a.wav", "--stream", "-1"], "argument --stream: -1 is not in"),
    (["frames", "X", "--count", "0", "-o", "s.png"], "argument --count: 0 is not in"),
    (["frames", "X", "--at", "1", "--stream", "99999999999", "-o", "s.png"], "argument --stream:"),
    (["frames", "X", "--at", "1", "--width", "wide", "-o", "s.png"], "argument --width: not an integer: 'wide'"),
    (["frames", "X", "--at", "1", "--workers", "0", "-o", "s.png"], "argument --workers: 0 is not in [1, 64]"),
    (["frames", "X", "--at", "1", "--threads", "all", "-o", "s.png"],
     "argument --threads: not an integer: 'all' (or auto)"),
])
def test_bad_options_are_usage_errors(options, message, capsys):
    with pytest.raises(SystemExit) as exited:
        main(options)
    assert exited.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("output", ["", "missing/a.wav"])
def test_audio_output_that_cannot_be_written(media, tmp_path, output):
    run = subprocess.run([sys.executable, "-m", "quorvex_av", "audio", str(media.path("wav")),
                          "-o", str(tmp_path / output)], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr.startswith("quorvex-av: error: [Errno ") and run.stderr.count("\n") == 1


def test_file_names_that_are_not_utf8(media, tmp_path):
    name = os.fsdecode(os.fsencode(tmp_path) + b"/clip-\xff.mp4")
    shutil.copyfile(media.path("h264"), os.fsencode(name))
    run = subprocess.run([os.fsencode(sys.executable), b"-m", b"quorvex_av", b"info", os.fsencode(name)],
                         cwd=tmp_path, capture_output=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(os.fsencode(tmp_path) + b"/clip-\\xff.mp4: 1 stream(s)")

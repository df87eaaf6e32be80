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
    (bad := tmp_path / "not_media.mp4").write_bytes(b"no media here")
    assert main(["info", str(bad), str(media.path("rotated90")), str(media.path("undecodable"))]) == 1
    out, err = capsys.readouterr()
    assert "stream 0: video, h264 120x160 yuv420p (8-bit), 25 fps" in out and "rotation: -90 degrees" in out
    assert "stream 0: video, unreadable (FFmpeg has no decoder for this codec)" in out
    assert f"quorvex-av: {bad}: open input: " in err  # and went on past the bad file
    assert main(["info", "--json", str(media.path("multi"))]) == 0
    info = json.loads(capsys.readouterr().out)
    assert info["ffmpeg_version"] == quorvex_av.ffmpeg_version  # the FFmpeg this package loads
    assert [s["type"] for s in info["streams"]] == ["video", "audio", "audio", "other"]
    video, _, flac, _ = info["streams"]
    first = probe_frames(media.path("multi"), 0)[0]["time"]
    assert (video["num_frames"], video["start"], video["duration"]) == pytest.approx((50, first, 2.0))
    assert (flac["codec"], flac["sample_rate"], flac["channels"]) == ("flac", 16000, 1)


@pytest.mark.parametrize("workers", [["--workers", "1"], ["--workers", "3", "--threads", "auto"],
                                     ["--workers", "auto", "--threads", "2"], None])  # None: no Pillow
def test_contact_sheet_holds_the_frames(media, tmp_path, capsys, monkeypatch, workers):
    path, sheet_path = str(media.path("h264")), tmp_path / "sheet.png"
    if workers is None:
        monkeypatch.setitem(sys.modules, "PIL", None)
        assert main(["frames", path, "--at", "1", "-o", str(sheet_path)]) == 1
        assert "pip install 'quorvex_av[cli]'" in capsys.readouterr().err
        return
    image = pytest.importorskip("PIL.Image")
    assert main(["frames", path, "--at", "2.5", "0.5", "--width", "80", "--columns", "2",
                 *workers, "-o", str(sheet_path)]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {sheet_path}: 2 frames of 80x60")
    sheet = np.asarray(image.open(sheet_path).convert("RGB"))
    frames = VideoReader(path, resize=(60, 80)).at([2.5, 0.5])
    # Tiles of 80 + 4 pixels, each with a 22-pixel caption strip beneath it.
    assert np.array_equal(sheet[4:64, 4:84], frames[0])
    assert np.array_equal(sheet[4:64, 88:168], frames[1])
    assert sheet[64:86, 4:84].std() > 10  # the caption is written


@pytest.mark.parametrize("options, codec, tolerance", [([], "pcm_s16le", 0.5 / 32768),
                                                       (["--float"], "pcm_f32le", 0)])
def test_audio_to_wav(media, tmp_path, options, codec, tolerance):
    path, out = media.path("aac"), tmp_path / "out.wav"
    assert main(["audio", str(path), "--rate", "16000", "--channels", "1", "--start", "0.5",
                 "--stop", "1.5", "-o", str(out), *options]) == 0
    assert probe_stream(out, 0)["codec_name"] == codec
    want = AudioReader(path, sample_rate=16000, channels=1).read(0.5, 1.5)
    np.testing.assert_allclose(ffmpeg_audio(out, 16000, 1), want, rtol=0, atol=tolerance)


# Through `python -m`, names passed and printed as bytes: one line per error,
# a name that is not UTF-8 printed escaped.
@pytest.mark.parametrize("arguments, status, out, err", [
    ("audio {wav} --stop 2 -o {tmp}/a.wav", 1, "",
     "quorvex-av: error: stop 2 s is past the end of the audio: valid times are [0, 1) s\n"),
    ("audio {wav} --start 1e300 -o {tmp}/a.wav", 1, "",
     "quorvex-av: error: start 1e+300 s is past the end of the audio: valid times are [0, 1) s\n"),
    ("audio {wav} -o {tmp}/", 1, "", "quorvex-av: error: [Errno "),
    ("audio {wav} -o {tmp}/missing/a.wav", 1, "", "quorvex-av: error: [Errno "),
    ("info {tmp}/clip-\udcff.mp4", 0, "{tmp}/clip-\\xff.mp4: 1 stream(s)", ""),
])
def test_module_entry_point(media, tmp_path, arguments, status, out, err):
    shutil.copyfile(media.path("h264"), os.fsencode(tmp_path) + b"/clip-\xff.mp4")
    names = dict(wav=media.path("wav"), tmp=tmp_path)
    run = subprocess.run([sys.executable, "-m", "quorvex_av", *arguments.format(**names).split()],
                         cwd=tmp_path, capture_output=True)
    got_out, got_err = map(os.fsdecode, (run.stdout, run.stderr))
    assert run.returncode == status, got_err
    assert got_out.startswith(out.format(**names))
    assert got_err.startswith(err) and got_err.count("\n") == bool(err)


@pytest.mark.parametrize("options, message", [
    ("audio X -o a.wav --rate 99999999999", "argument --rate: 99999999999 is not in"),
    ("audio X -o a.wav --channels 65", "argument --channels: 65 is not in [1, 64]"),
    ("audio X -o a.wav --stream -1", "argument --stream: -1 is not in"),
    ("frames X --count 0 -o s.png", "argument --count: 0 is not in"),
    ("frames X --at 1 --stream 99999999999 -o s.png", "argument --stream:"),
    ("frames X --at 1 --width wide -o s.png", "argument --width: not an integer: 'wide'"),
    ("frames X --at 1 --workers 0 -o s.png", "argument --workers: 0 is not in [1, 64]"),
    ("frames X --at 1 --threads all -o s.png", "argument --threads: not an integer: 'all' (or auto)"),
])
def test_bad_options_are_usage_errors(options, message, capsys):
    with pytest.raises(SystemExit) as exited:
        main(options.split())
    assert exited.value.code == 2 and message in capsys.readouterr().err

"""bench/run.py --tiny runs its rows and writes its report; timings are not checked."""

import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="the ffmpeg tool makes the inputs")
def test_suite_runs_on_tiny_inputs(request, tmp_path):
    # The inputs persist in pytest's cache (named by their recipes' hashes);
    # the saved frame indexes are written again by this build.
    cache = getattr(request.config, "cache", None)
    media = tmp_path / "media" if cache is None else cache.mkdir("bench-media")
    for saved in media.glob("*.frames.npz"):
        saved.unlink()
    # Run as a script (not -m): the source tree must not shadow the installed package.
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--tiny", "--repeat", "1",
         "--out", str(tmp_path / "out"), "--media", str(media)],
        capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    page = (tmp_path / "out" / "benchmarks.md").read_text()
    rows = ("seq, seq_keep, random_16, random_16 workers=2, times_32, times_32 workers=2, resize_224, "
            "seq batches workers=2, resize_224 batches workers=2, audio_16k, audio_range, audio_range memory, "
            "clips_8x16, clips_8x16 workers=2, av_clips_8x16, loader_8, loader_8 memory, frame_mid_hour, "
            "frame_mid_hour saved index, clips_8x16_hour")
    assert [row for row in rows.split(", ") if f"| `{row}` |" not in page] == []
    assert "| `parallel` |" not in page  # it only repeats seq's calls
    assert "), quorvex_av:" not in page  # none of this library's cells failed
    assert "| MISMATCH" not in page  # nor gave other frames or samples than expected
    chart = tmp_path / "out" / "benchmarks.png"
    assert chart.exists() == (importlib.util.find_spec("matplotlib") is not None)
    assert "Targets" in done.stdout

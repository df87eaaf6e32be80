"""bench/run.py on tiny inputs runs every row and writes its report; timings are not checked."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(subprocess.run(["which", "ffmpeg"], capture_output=True).returncode != 0,
                    reason="the ffmpeg tool makes the inputs")
def test_suite_runs_on_tiny_inputs(tmp_path):
    # Run as a script (not -m): the source tree must not shadow the installed package.
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--tiny", "--repeat", "1",
         "--out", str(tmp_path / "out"), "--media", str(tmp_path / "media")],
        capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    page = (tmp_path / "out" / "benchmarks.md").read_text()
    for row in ("seq", "seq_keep", "random_16", "times_32", "resize_224", "audio_16k", "audio_range",
                "parallel", "clips_8x16", "loader_8", "loader_8 memory", "frame_mid_hour",
                "frame_mid_hour saved index", "clips_8x16_hour"):
        assert f"| `{row}` |" in page
    assert "), quorvex_av:" not in page  # none of this library's cells failed
    chart = tmp_path / "out" / "benchmarks.png"
    assert chart.exists() == (importlib.util.find_spec("matplotlib") is not None)
    assert "Targets" in done.stdout

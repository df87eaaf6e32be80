"""The clip factory makes, with this ffmpeg, what each clip's facts promise."""

import json
import subprocess
from fractions import Fraction

import numpy as np
import pytest

from media import CLIPS, probe_stream, source_frames

HEADER = {"video": ("width", "height", "pix_fmt", "header_frames", "color_range", "color_space",
                    "color_primaries", "color_transfer"),
          "audio": ("sample_rate", "channels", "sample_fmt")}
PROBED = {"header_frames": "nb_frames"}  # ffprobe's name where it differs


@pytest.mark.parametrize("name", list(CLIPS))
def test_clip_matches_its_facts(media, name):
    path, facts = media.path(name), media.facts(name)
    info = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams",
                                      str(path)], capture_output=True, text=True, check=True).stdout)
    streams = info["streams"]
    assert tuple(s["codec_type"] for s in streams) == facts["streams"]
    for want in [facts, *facts["others"].values()]:
        got = streams[want["index"]]
        assert (got["codec_name"], Fraction(got["time_base"])) == (want["codec"], want["time_base"])
        if want["type"] == "subtitle":
            continue
        seconds = [got.get("start_time"), got.get("duration"), info["format"].get("duration")]
        assert [None if s is None else float(s) for s in seconds] == pytest.approx(
            [want["start_time"], want["duration"], want["container_duration"]], abs=2e-6)
        keys = [k for k in HEADER[want["type"]] if want.get(k) is not None]  # colour tags are optional
        assert [str(got.get(PROBED.get(k, k))) for k in keys] == [str(want[k]) for k in keys]
        if want["type"] == "video":
            assert Fraction(got["r_frame_rate"]) == want["fps"]
            assert want["header_frames"] is not None or "nb_frames" not in got
    # The display matrix is in the side data when ffprobe is asked for the stream alone.
    rotations = [d["rotation"] for d in probe_stream(path, facts["index"]).get("side_data_list", [])
                 if d.get("side_data_type") == "Display Matrix"]
    assert rotations == ([facts["rotation"]] if "rotation" in facts else [])
    if name in ("gray16le", "gray16be"):  # byte order must matter for this content
        assert (source_frames(name).byteswap() != source_frames(name)).mean() > 0.9
    if name == "rgba":
        assert len(np.unique(source_frames(name)[..., 3])) > 100

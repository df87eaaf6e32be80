"""Reading from bytes and from Python file objects."""

import io

import pytest

from quorvex_av import Decoder


@pytest.mark.parametrize("clip, media_type", [("h264", "video"), ("multi", "audio"), ("flac", "audio")])
def test_every_source_kind_reads_the_same(media, clip, media_type):
    path = media.path(clip)
    data = path.read_bytes()
    reference = Decoder(str(path), media_type)
    rewound = io.BytesIO(data)
    rewound.seek(0, io.SEEK_END)  # the file object is rewound at open
    with open(path, "rb") as file:
        for source in (data, io.BytesIO(data), file, rewound):
            decoder = Decoder(source, media_type)
            assert decoder.scan() == reference.scan()
            assert decoder.metadata() == reference.metadata()


def test_size_queries_leave_the_position(media):
    calls = []

    class Recording(io.BytesIO):
        def seek(self, offset, whence=0):
            position = super().seek(offset, whence)
            calls.append((offset, whence, position))
            return position

    Decoder(Recording(media.path("h264").read_bytes()), "video").scan()
    ends = [i for i, call in enumerate(calls) if call[:2] == (0, 2)]
    assert ends, "FFmpeg asked for the size"
    for i in ends:  # the current position, the end, then back to the same place
        current = calls[i - 1]
        assert current[:2] == (0, 1) and calls[i + 1] == (current[2], 0, current[2])

"""Reading from bytes and from Python file objects, through buffers of any size."""

import io

import numpy as np
import pytest

from quorvex_av import Decoder


class Trickle(io.BytesIO):  # at most 1000 bytes a read, as sockets and some SDK streams give
    def read(self, size=-1):
        return super().read(1000 if size < 0 else min(size, 1000))


def rewound(data):  # a file object left at its end: it is rewound at open
    file = io.BytesIO(data)
    file.seek(0, io.SEEK_END)
    return file


# Each buffer size with bytes, a file object and one that gives short reads.
@pytest.mark.parametrize("make, buffer_size", [
    (bytes, 4096), (io.BytesIO, 1 << 20), (Trickle, 4096), (Trickle, 1 << 20), (rewound, None), (open, None)],
    ids=["bytes", "file", "trickle-4k", "trickle-1M", "rewound", "opened"])
@pytest.mark.parametrize("clip, media_type", [("h264", "video"), ("vp9", "video"), ("multi", "audio"),
                                              ("mp3", "audio"), ("flac", "audio")])
def test_every_source_kind_reads_the_same(media, clip, media_type, make, buffer_size):
    path = media.path(clip)
    reference = Decoder(str(path), media_type)
    with open(path, "rb") as opened:
        source = opened if make is open else make(path.read_bytes())
        decoder = Decoder(source, media_type, **({} if buffer_size is None else dict(buffer_size=buffer_size)))
        assert decoder.metadata() == reference.metadata()
        assert (packets := decoder.scan()) == reference.scan()
        if media_type == "video":  # the last frame, then the first: seeks both ways
            targets = [(packets[-1][0], packets[0][0]), (packets[0][0], packets[0][0])]
            got, want = (d.decode_video(targets, "uint8", True) for d in (decoder, reference))
        else:
            got, want = (d.decode_audio(16000, 1) for d in (decoder, reference))
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1:] == want[1:]
        decoder.close()

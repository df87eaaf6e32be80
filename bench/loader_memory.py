"""Peak memory of one ClipLoader pass, in a fresh process.

Run by training.py as ``python bench/loader_memory.py THREADS CLIPS FRAMES
PATH ...``; prints one line of JSON: the growth of the process's peak
resident set over the pass (libraries loaded and a first frame decoded
beforehand), the loader's prefetch, and the bytes of the largest item's
clips.  The item in hand is kept until the next one arrives, as a training
loop does.
"""

from __future__ import annotations

import json
import sys

import lib_ours
from memory import peak_bytes, start_peak


def main() -> None:
    threads, num_clips, frames = (int(value) for value in sys.argv[1:4])
    paths = sys.argv[4:]
    module = lib_ours.load()
    with module.VideoReader(paths[0]) as reader:
        reader[0]
    before = start_peak()
    loader = module.ClipLoader(paths, module.samplers.clips_at_random_indices, threads=threads,
                               seed=0, num_clips=num_clips, frames_per_clip=frames)
    item_bytes = items = 0
    with loader:
        for item in loader:
            item_bytes = max(item_bytes, item.frames.nbytes)
            items += 1
    after = peak_bytes()
    print(json.dumps({"growth": after - before, "threads": threads, "prefetch": loader.prefetch,
                      "item_bytes": item_bytes, "items": items}))


if __name__ == "__main__":
    main()

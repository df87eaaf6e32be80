"""Peak memory of keeping every frame of a clip, one library per process.

Run by run.py as ``python bench/memory.py LIBRARY PATH``; prints one line of
JSON: the growth of the process's peak resident set size over the decoding
call (libraries already imported) and the number of frames decoded.  With
``audio_range START STOP`` after the path, of that audio read instead (and
the samples it gave).

The peak is read from /proc/self/status (VmHWM), after resetting it to the
current size through /proc/self/clear_refs.  ``getrusage``'s ru_maxrss is
only the fallback: on Linux a new process inherits its parent's peak across
fork and exec, so after a benchmark parent has held a large batch, a child's
ru_maxrss would not move at all.
"""

from __future__ import annotations

import json
import resource
import sys
from pathlib import Path

from common import Job

MODULES = {"ours": "lib_ours", "pyav": "lib_pyav", "opencv": "lib_opencv", "torchcodec": "lib_torchcodec"}


def _status(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024  # kB
    except OSError:
        pass
    return None


def start_peak() -> int:
    """Resets the peak if possible; returns the baseline to subtract."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        current = _status("VmRSS")
        if current is not None:
            return current
    except OSError:
        pass
    return peak_bytes()


def peak_bytes() -> int:
    peak = _status("VmHWM")
    if peak is not None:
        return peak
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def main() -> None:
    library, path = sys.argv[1], Path(sys.argv[2])
    module = __import__(MODULES[library])
    if hasattr(module, "load"):
        module.load()
    if sys.argv[3:4] == ["audio_range"]:
        job = Job(path=path, seconds=[float(sys.argv[4]), float(sys.argv[5])])
        before = start_peak()
        run = module.audio_range(job)
        after = peak_bytes()
        print(json.dumps({"growth": after - before, "samples": len(run.output.samples),
                          "seconds": run.seconds}))
        return
    before = start_peak()
    run = module.seq_keep(Job(path=path))
    after = peak_bytes()
    print(json.dumps({"growth": after - before, "frames": len(run.output.times),
                      "seconds": run.seconds}))


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# `make bench-ft`: threads on the free-threaded CPython against the same
# CPython release built with its interpreter lock, in one run
# (bench/free_threaded.py on each, rounds alternating between them).
#
# Both interpreters come from scripts/ft_python.sh (the second with
# FT_PYTHON_GIL=1), built once and cached; each gets an environment of its
# own (.venv-bench-ft, .venv-bench-gil) with the package built from this
# checkout. The media are the main benchmark's (the loader's eight files and
# the 1080p clip, made on the first run if make bench has not made them). The
# page lands in docs/benchmarks-free-threaded.md.
#
#   BENCH_FT_ROUNDS rounds per build (default 5)
#   BENCH_FT_ARGS   more arguments for bench/free_threaded.py (--repeat ...)
#   BENCH_MEDIA     where the benchmark's media are (default bench/.media,
#                   make bench's)
set -euo pipefail
cd "$(dirname "$0")/.."

media=${BENCH_MEDIA:-bench/.media}
free_threaded=$(bash scripts/ft_python.sh | tail -n 1)
# The same source package and version as the free-threaded build.
read -r package version <"$(dirname "$(dirname "$free_threaded")")/.built"
with_lock=$(FT_PYTHON_GIL=1 FT_PYTHON_SOURCES=$package FT_PYTHON_VERSION=$version \
            bash scripts/ft_python.sh | tail -n 1)
export PIP_ONLY_BINARY=:all:
PYTHON=$free_threaded VENV=.venv-bench-ft EXTRAS=cli bash scripts/setup.sh >/dev/null
PYTHON=$with_lock VENV=.venv-bench-gil EXTRAS=cli bash scripts/setup.sh >/dev/null

.venv-bench-gil/bin/python bench/free_threaded.py --media "$media" --prepare

out=build/bench-ft
mkdir -p "$out"
read -r -a extra <<<"${BENCH_FT_ARGS:-}"
load() { cut -d' ' -f1-3 /proc/loadavg | sed 's| | / |g'; }
before=$(load)
echo "load before: $before"
# On a virtual machine whose host takes freed memory back (virtio's free page
# reporting, as on the machines this was written on), the first touch of
# memory freed a few seconds before costs the host's fault, about 3 ms per MB
# against 0.1 ms: the passes, which allocate some GB of frames each, would
# time the host. So glibc's malloc keeps what is freed in the process, for
# both builds alike; BENCH_FT_KEEP_MEMORY=0 runs with its defaults.
if [ "${BENCH_FT_KEEP_MEMORY:-1}" = 1 ] && [ -z "${MALLOC_MMAP_MAX_:-}" ]; then
  export MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=$((1 << 40))
fi
# Alternating, so that a machine getting faster or slower biases neither.
: >"$out/gil.jsonl"
: >"$out/ft.jsonl"
for round in $(seq "${BENCH_FT_ROUNDS:-5}"); do
  for build in gil ft; do
    venv=.venv-bench-$build
    env -u PYTHON_GIL "$venv/bin/python" bench/free_threaded.py --media "$media" \
      --repeat 2 "${extra[@]}" | tail -n 1 >>"$out/$build.jsonl"
  done
  echo "round $round done, load $(load)"
done
python3 bench/free_threaded_report.py "$out/gil.jsonl" "$out/ft.jsonl" "$before" "$(load)" |
  tee docs/benchmarks-free-threaded.md

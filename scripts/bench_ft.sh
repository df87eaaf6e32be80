#!/usr/bin/env bash
# `make bench-ft`: threads on the free-threaded CPython against the same
# CPython release built with its interpreter lock, in one run
# (bench/free_threaded.py on each, rounds alternating between them).
#
# Both interpreters come from scripts/ft_python.sh (the second with
# FT_PYTHON_GIL=1), built once and cached; each gets an environment of its
# own (.venv-bench-ft, .venv-bench-gil) with the package built from this
# checkout. The media are the main benchmark's (make bench makes them; the
# loader's eight files and the 1080p clip). The page lands in
# docs/benchmarks-free-threaded.md.
#
#   BENCH_FT_ARGS   more arguments for bench/free_threaded.py (--repeat ...)
#   BENCH_MEDIA     where the benchmark's media are (default /work/bench-media
#                   if it exists, else build/bench-media)
set -euo pipefail
cd "$(dirname "$0")/.."

media=${BENCH_MEDIA:-}
if [ -z "$media" ]; then
  for candidate in /work/bench-media build/bench-media; do
    [ -d "$candidate" ] && { media=$candidate; break; }
  done
fi
video=$(ls "$media"/h264_1080p-*.mp4 2>/dev/null | head -n 1 || true)
mapfile -t loader_files < <(ls "$media"/loader_[0-7]-*.mp4 2>/dev/null)
if [ -z "$video" ] || [ ${#loader_files[@]} -ne 8 ]; then
  echo "the benchmark's media are missing from '${media:-build/bench-media}' (run make bench, or set BENCH_MEDIA)" >&2
  exit 2
fi

free_threaded=$(bash scripts/ft_python.sh | tail -n 1)
# The same source package and version as the free-threaded build.
read -r package version <"$(dirname "$(dirname "$free_threaded")")/.built"
with_lock=$(FT_PYTHON_GIL=1 FT_PYTHON_SOURCES=$package FT_PYTHON_VERSION=$version \
            bash scripts/ft_python.sh | tail -n 1)
export PIP_ONLY_BINARY=:all:
PYTHON=$free_threaded VENV=.venv-bench-ft EXTRAS=cli bash scripts/setup.sh >/dev/null
PYTHON=$with_lock VENV=.venv-bench-gil EXTRAS=cli bash scripts/setup.sh >/dev/null

out=build/bench-ft
mkdir -p "$out"
read -r -a extra <<<"${BENCH_FT_ARGS:-}"
load() { cut -d' ' -f1-3 /proc/loadavg | sed 's| | / |g'; }
before=$(load)
echo "load before: $before"
# Alternating, so that a machine getting faster or slower biases neither.
: >"$out/gil.jsonl"
: >"$out/ft.jsonl"
for round in 1 2 3; do
  for build in gil ft; do
    venv=.venv-bench-$build
    env -u PYTHON_GIL "$venv/bin/python" bench/free_threaded.py "$video" "${loader_files[@]}" \
      --repeat 2 "${extra[@]}" | tail -n 1 >>"$out/$build.jsonl"
  done
  echo "round $round done, load $(load)"
done
python3 bench/free_threaded_report.py "$out/gil.jsonl" "$out/ft.jsonl" "$before" "$(load)" |
  tee docs/benchmarks-free-threaded.md

#!/usr/bin/env bash
# Fuzzes the extension: builds the instrumented extension (fuzz/build.sh),
# makes the seed corpus into build/fuzz/corpus the first time
# (fuzz/make_seeds.py) and runs each entry point's harness under atheris for
# a while, one after the other: fuzz/fuzz_decoder.py (the Decoder's calls)
# and fuzz/fuzz_readers.py (the readers on top of it). Each keeps the inputs
# it finds in build/fuzz/corpus-TARGET. Inputs that crash, time out or that
# a sanitizer reports land in build/fuzz/crashes and fail the run.
#
# Usage: bash fuzz/run.sh [SECONDS] [libFuzzer options ...]
#          SECONDS (per entry point) defaults to $FUZZ_SECONDS, else 60.
#          FUZZ_TARGETS names the harnesses (default "decoder readers").
#          With FUZZ_FORK=1 it
#          runs in libFuzzer's fork mode (one child at a time), which goes on
#          past out-of-memory inputs and timeouts.
#        bash fuzz/run.sh 0 INPUT ...
#          replays the given inputs (a crash file, say) without fuzzing,
#          through each harness of FUZZ_TARGETS.
#        bash fuzz/run.sh coverage
#          replays the corpus through a source-coverage build and prints
#          llvm-cov's report for src/.
set -euo pipefail
cd "$(dirname "$0")/.."

python=.venv/bin/python
out=build/fuzz
# The newest of an LLVM tool, with or without a version suffix.
llvm_tool() {
  compgen -c "$1" | grep -E "^$1(-[0-9]+)?$" | sort -V | tail -1
}
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1:handle_abort=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PATH="$PWD/.venv/bin:$PATH"

if [ "${1:-}" = coverage ]; then
  FUZZ_COVERAGE=1 bash fuzz/build.sh
  cov=build/fuzz-coverage
  rm -f "$cov"/*.profraw
  # atheris's own libFuzzer runs every corpus input once (-runs=0).
  LLVM_PROFILE_FILE="$PWD/$cov/replay-%p.profraw" PYTHONPATH="$PWD/$cov/package" \
    "$python" fuzz/fuzz_decoder.py -runs=0 -rss_limit_mb=4096 -timeout=30 "$out/corpus"
  "$(llvm_tool llvm-profdata)" merge -sparse "$cov"/*.profraw -o "$cov/replay.profdata"
  "$(llvm_tool llvm-cov)" report "$cov"/_av*.so -instr-profile="$cov/replay.profdata" src
  exit
fi

seconds=${1:-${FUZZ_SECONDS:-60}}
[ $# -gt 0 ] && shift
bash fuzz/build.sh
mkdir -p "$out/corpus" "$out/crashes"
if [ -z "$(ls -A "$out/corpus")" ]; then
  "$python" fuzz/make_seeds.py "$out/corpus" --media-cache "$out/media"
fi

symbolizer=$(llvm_tool llvm-symbolizer)
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$(command -v "$symbolizer")"
# Leaks are the leak tests' business: the interpreter's own allocations
# would drown LeakSanitizer's report. A huge request fails as a MemoryError.
export PYTHONPATH="$PWD/$out/package"
site=$("$python" -c 'import atheris; print(atheris.path())')
# FFmpeg's demuxers may allocate up to 2 GiB on a header's word (its own
# cap): within the limits. A larger single request would be the extension's.
# The MOV demuxer can hold several such buffers at once: an MP4 of repeated
# moov atoms held three of about 950 MB (2.7 GB without the sanitizer), so
# the whole-process limit leaves room for that and the sanitizer's quarantine.
options=(-rss_limit_mb=8192 -malloc_limit_mb=2200 -timeout=30 -max_len=16384
         -print_final_stats=1 -artifact_prefix="$out/crashes/")
read -r -a targets <<<"${FUZZ_TARGETS:-decoder readers}"
for target in "${targets[@]}"; do
  run_options=("${options[@]}")
  if [ "$seconds" = 0 ] && [ $# -gt 0 ]; then
    runs=("$@")
  else
    # New inputs go to the target's own corpus; the seeds are shared.
    mkdir -p "$out/corpus-$target"
    run_options+=(-max_total_time="$seconds")
    [ -n "${FUZZ_FORK:-}" ] && run_options+=(-fork=1 -ignore_ooms=1 -ignore_timeouts=1)
    runs=("$out/corpus-$target" "$@" "$out/corpus")
  fi
  echo "== fuzzing $target =="
  LD_PRELOAD="$site/asan_with_fuzzer.so" "$python" "fuzz/fuzz_$target.py" "${run_options[@]}" "${runs[@]}"
done

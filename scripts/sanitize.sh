#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/sanitize and runs the test suite against that build, with the
# sanitizer runtime preloaded into the interpreter. Any report fails the run.
#
# Usage: bash scripts/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# shellcheck source=scripts/common.sh
. scripts/common.sh
build=build/sanitize
build_instrumented "$build" QUORVEX_SANITIZE .venv

runtime=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# Leaks are checked by the leak tests and valgrind; the interpreter's own
# allocations at exit would drown LeakSanitizer's report.
# Huge requests must fail as MemoryError, not abort.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$PWD/$build/package"
export QUORVEX_SANITIZED=1
LD_PRELOAD="$runtime $ubsan" .venv/bin/pytest -q "$@"

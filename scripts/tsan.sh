#!/usr/bin/env bash
# `make tsan`: the extension built with ThreadSanitizer for the free-threaded
# interpreter (scripts/ft_python.sh) into build/tsan, and the tests of
# objects shared by threads (tests/test_threads.py, or the pytest arguments
# given) run against it with the sanitizer's runtime preloaded. Any report
# fails the run; scripts/tsan.supp holds the suppressions, each with its
# reason (what the uninstrumented interpreter, NumPy and the loader do out
# of the sanitizer's sight). The interpreter's own locks and thread joins
# are out of its sight too, so an object handed from one thread to another
# through them may still be reported; an interpreter built with
# --with-thread-sanitizer would see them.
# The test of threads after a fork skips (the sanitizer cannot follow them).
#
# Usage: bash scripts/tsan.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/test_ft.sh --co -q >/dev/null  # the interpreter and .venv-ft, set up
venv=${FT_VENV:-.venv-ft}

# shellcheck source=scripts/common.sh
. scripts/common.sh
build=build/tsan
build_instrumented "$build" QUORVEX_TSAN "$venv"

runtime=$(g++ -print-file-name=libtsan.so)
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
export PYTHONPATH="$PWD/$build/package"
export QUORVEX_SANITIZED=1 QUORVEX_TSAN=1
[ $# -gt 0 ] || set -- tests/test_threads.py
LD_PRELOAD="$runtime" env -u PYTHON_GIL QUORVEX_TEST_TORCH=skip "$venv/bin/pytest" -q "$@"

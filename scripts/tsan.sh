#!/usr/bin/env bash
# `make tsan`: the extension built with ThreadSanitizer into build/tsan, and
# the tests of objects shared by threads (tests/test_threads.py, or the
# pytest arguments given) run against it on a free-threaded interpreter that
# is itself built with ThreadSanitizer (scripts/ft_python.sh, FT_PYTHON_TSAN=1),
# so that the sanitizer sees the interpreter's own locks, atomics and
# allocator, which hand objects from one thread to another. Any report
# fails the run; the suppressions are scripts/tsan.supp (each with its
# reason: NumPy and the dynamic loader, which are not instrumented) and
# CPython's own list for its release.
# The test of threads after a fork skips (the sanitizer cannot follow them).
#
# Usage: bash scripts/tsan.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
export FT_PYTHON_TSAN=1 FT_VENV=${FT_VENV:-.venv-tsan}
# The interpreter and its venv, set up; what the sanitizer finds in pip and
# the build tools is not this package's.
TSAN_OPTIONS=report_bugs=0 bash scripts/test_ft.sh --co -q >/dev/null
venv=$FT_VENV

# shellcheck source=scripts/common.sh
. scripts/common.sh
build=build/tsan
TSAN_OPTIONS=report_bugs=0 build_instrumented "$build" QUORVEX_TSAN "$venv"

python=$(bash scripts/ft_python.sh | tail -n 1)
suppressions=$build/suppressions.txt
cat scripts/tsan.supp "$(dirname "$(dirname "$python")")"/share/tsan/suppressions_free_threading.txt >"$suppressions"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/$suppressions"
export PYTHONPATH="$PWD/$build/package"
export QUORVEX_SANITIZED=1 QUORVEX_TSAN=1
[ $# -gt 0 ] || set -- tests/test_threads.py
env -u PYTHON_GIL QUORVEX_TEST_TORCH=skip "$venv/bin/pytest" -q "$@"

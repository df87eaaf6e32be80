#!/usr/bin/env bash
# `make tsan`: the extension built with ThreadSanitizer for the free-threaded
# interpreter (scripts/ft_python.sh) into build/tsan, and the tests of
# objects shared by threads (tests/test_threads.py, or the pytest arguments
# given) run against it with the sanitizer's runtime preloaded. Any report
# fails the run; scripts/tsan.supp holds the two suppressions, for the
# interpreter's and NumPy's own calls, which the sanitizer cannot see into.
# The test of threads after a fork skips (the sanitizer cannot follow them).
#
# Usage: bash scripts/tsan.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/test_ft.sh --co -q >/dev/null  # the interpreter and .venv-ft, set up
venv=${FT_VENV:-.venv-ft}
python=$PWD/$venv/bin/python

build=build/tsan
[ -x "$venv/bin/cmake" ] && [ -x "$venv/bin/ninja" ] || "$python" -m pip install -q cmake ninja
export PATH="$PWD/$venv/bin:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEX_TSAN=ON -DQUORVEX_WERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"

# A package directory that imports the instrumented extension first.
staged="$build/package/quorvex_av"
mkdir -p "$staged"
cp quorvex_av/*.py quorvex_av/py.typed "$staged/"
cp "$build"/_av*.so "$staged/"

runtime=$(g++ -print-file-name=libtsan.so)
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
export PYTHONPATH="$PWD/$build/package"
export QUORVEX_SANITIZED=1 QUORVEX_TSAN=1
[ $# -gt 0 ] || set -- tests/test_threads.py
LD_PRELOAD="$runtime" env -u PYTHON_GIL QUORVEX_TEST_TORCH=skip "$venv/bin/pytest" -q "$@"

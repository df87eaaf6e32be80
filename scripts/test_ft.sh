#!/usr/bin/env bash
# `make test-ft`: the test suite on a free-threaded CPython (scripts/ft_python.sh,
# built once and cached), against the package built from source for that
# interpreter's own API, with the interpreter lock verified off once the
# package is imported (tests/conftest.py fails the session otherwise).
#
# Its environment is .venv-ft (FT_VENV), set up by scripts/setup.sh with the
# package and its cli extra; then each requirement of the `test` extra but mypy (type
# checking is `make test`'s) is installed from a wheel if one exists for this
# interpreter, and otherwise left out with a note (the tests that need it
# skip; scripts/install_test_requirements.py). PyTorch is left out (its example's test skips); Ray, which has no
# free-threaded build, is no requirement of the `test` extra.
#
# Usage: bash scripts/test_ft.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(bash scripts/ft_python.sh | tail -n 1)
venv=${FT_VENV:-.venv-ft}
# Wheels only: the newest release built for this interpreter, never a build
# from source of a newer one (NumPy's would take longer than the suite, and
# some need a toolchain from outside the package index).
export PIP_ONLY_BINARY=:all:
PYTHON=$python VENV=$venv EXTRAS=cli bash scripts/setup.sh

"$venv/bin/python" scripts/install_test_requirements.py --known-missing "$venv/.no-wheel"
"$venv/bin/python" -c 'import pytest' || { echo "pytest is needed" >&2; exit 1; }

# A lock turned on by the environment would hide one turned on at import.
env -u PYTHON_GIL QUORVEX_TEST_TORCH=skip "$venv/bin/pytest" -q "$@"

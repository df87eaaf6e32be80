#!/usr/bin/env bash
# `make test-ft`: the test suite on a free-threaded CPython (scripts/ft_python.sh,
# built once and cached), against the package built from source for that
# interpreter's own API, with the interpreter lock verified off once the
# package is imported (tests/conftest.py fails the session otherwise).
#
# Its environment is .venv-ft (FT_VENV), set up by scripts/setup.sh with the
# test requirements; PyTorch is left out (its example's test skips) and Ray,
# which has no free-threaded build, is not a requirement there (its tests
# skip).
#
# Usage: bash scripts/test_ft.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(bash scripts/ft_python.sh | tail -n 1)
venv=${FT_VENV:-.venv-ft}
PYTHON=$python VENV=$venv EXTRAS=test QUORVEX_TEST_TORCH=skip bash scripts/setup.sh
# A lock turned on by the environment would hide one turned on at import.
env -u PYTHON_GIL QUORVEX_TEST_TORCH=skip "$venv/bin/pytest" -q "$@"

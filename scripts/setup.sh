#!/usr/bin/env bash
# Prepares a fresh Debian machine for building and testing quorvex_av:
# installs the missing system packages, creates the virtual environment
# (VENV, default .venv) and installs the package into it with its extras
# (EXTRAS, default "test,test-cluster"; with "test", PyTorch's CPU build
# too, see below).
# Safe to run again: it only adds what is missing and rebuilds the extension
# incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(pkg-config g++ make ffmpeg
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev)
python=${PYTHON:-python3}
venv=${VENV:-.venv}
extras=${EXTRAS:-test,test-cluster}

# shellcheck source=scripts/common.sh
source scripts/common.sh

if ! command -v "$python" >/dev/null; then
  packages+=(python3 python3-dev python3-venv)
  python=python3
elif ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
  packages+=(python3-venv)
fi
if command -v "$python" >/dev/null &&
   ! "$python" -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  packages+=(python3-dev)
fi
apt_install_missing "${packages[@]}"

# An environment made by another interpreter (an older release, a build since
# replaced or removed) is made again.
if [ -d "$venv" ] && [ "$(python_identity "$venv/bin/python" 2>/dev/null)" != "$(python_identity "$python")" ]; then
  rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# Warnings are errors here, as in CI; a plain `pip install .` keeps them
# non-fatal.
"$venv/bin/python" -m pip install -q -Ccmake.define.QUORVEX_WERROR=ON ".[$extras]"

# PyTorch for the tests (examples/torch_dataset.py under a DataLoader): the
# CPU build, pinned exactly, since a looser requirement can pull the CUDA
# build (several GB). Users get torch through the `torch` extra instead.
# QUORVEX_TEST_TORCH names another requirement, or "skip" to leave torch out
# (its tests then skip; otherwise they fail without it).
torch_requirement=${QUORVEX_TEST_TORCH:-torch==2.13.0}
if [[ ",$extras," == *",test,"* && "$torch_requirement" != skip ]]; then
  "$venv/bin/python" -m pip install -q "$torch_requirement"
fi

#!/usr/bin/env bash
# Tries to add torchcodec, an optional peer of the benchmark, to the venv
# (default .venv). It is not in the bench extra because its wheel needs the
# CUDA build of torch and NVIDIA's runtime compiler even to decode on the CPU,
# about 5.5 GB. Run by `make bench` only. Never fails: when the packages
# cannot be installed (no network, no wheel for this Python) or torchcodec
# does not import, it prints a note and bench/run.py leaves it out.
# BENCH_TORCHCODEC=0 skips the attempt.
set -uo pipefail
cd "$(dirname "$0")/.."

python=${VENV:-.venv}/bin/python
packages=(torch==2.14.1 nvidia-cuda-nvrtc torchcodec==0.17.0)

if [ "${BENCH_TORCHCODEC:-1}" = 0 ]; then
  echo "torchcodec: not installed (BENCH_TORCHCODEC=0)"
  exit 0
fi
if "$python" -c 'import torchcodec.decoders' 2>/dev/null; then
  exit 0
fi
echo "installing torchcodec for the benchmark (${packages[*]}; about 5.5 GB) ..."
if ! "$python" -m pip install -q --retries 1 "${packages[@]}"; then
  echo "torchcodec could not be installed: the benchmark runs without it"
elif ! "$python" -c 'import torchcodec.decoders' 2>/dev/null; then
  echo "torchcodec was installed but does not import: the benchmark runs without it"
fi
exit 0

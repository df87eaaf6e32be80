#!/usr/bin/env bash
# Builds the extension for fuzzing with clang: libFuzzer's coverage
# instrumentation plus AddressSanitizer and UndefinedBehaviorSanitizer, into
# build/fuzz, and stages it as an importable package in build/fuzz/package.
# Installs what is missing (clang, atheris in .venv) but never touches the
# package installed in .venv.
#
# Usage: bash fuzz/build.sh            (the fuzzing build)
#        FUZZ_COVERAGE=1 bash fuzz/build.sh
#                                      (a source-coverage build into
#                                       build/fuzz-coverage, for reports)
# FUZZ_BUILD_JOBS sets the compile jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

python=.venv/bin/python
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# A fresh machine: the project's own set-up makes .venv first.
[ -x "$python" ] || bash scripts/setup.sh

find_clang() {
  local candidate
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then
      echo "$candidate"
      return
    fi
  done
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() {
  echo "installing: $*"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "$@"
}
cxx=$(find_clang)
if [ -z "$cxx" ]; then
  apt_install clang
  cxx=$(find_clang)
fi
major=$("$cxx" -dumpversion | cut -d. -f1)
# The sanitizers' link-time parts, and the symbolizer (readable reports)
# with llvm-cov and llvm-profdata (coverage reports).
missing=()
for package in "libclang-rt-$major-dev" "llvm-$major"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
"$python" -c 'import atheris' 2>/dev/null || "$python" -m pip install -q --only-binary atheris atheris
[ -x .venv/bin/cmake ] && [ -x .venv/bin/ninja ] || "$python" -m pip install -q cmake ninja
export PATH="$PWD/.venv/bin:$PATH"

if [ -n "${FUZZ_COVERAGE:-}" ]; then
  build=build/fuzz-coverage
  flags="-fprofile-instr-generate -fcoverage-mapping -O1 -g"
else
  build=build/fuzz
  # The vptr and function checks need a C++ UBSan runtime that atheris's
  # preloaded one lacks; every other UBSan check aborts at once so that
  # libFuzzer records the input.
  flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function"
  flags+=" -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$flags" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --parallel "${FUZZ_BUILD_JOBS:-2}"

staged="$build/package/quorvex_av"
mkdir -p "$staged"
cp quorvex_av/*.py quorvex_av/py.typed "$staged/"
# Replaced, not overwritten: a fuzzer still running maps the old file, and
# rewriting a mapped library in place crashes it.
for library in "$build"/_av*.so; do
  cp "$library" "$staged/.new.so" && mv -f "$staged/.new.so" "$staged/$(basename "$library")"
done
echo "staged $staged ($cxx)"

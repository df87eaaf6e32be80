# `make run`: set up and run the command line on the default sample (or on
# FILE=path). `make test`: set up, type-check and run the tests. `make bench`:
# set up and run the benchmark suite (bench/run.py). All install what is
# missing first (scripts/setup.sh).
VENV := .venv
# The installed console script: running from the repository root with
# `python -m` would import the unbuilt package folder instead.
CLI := $(VENV)/bin/quorvex-av
SAMPLE := build/sample/sample.mp4
FILE ?= $(SAMPLE)
OUT := build/run

.PHONY: setup run test test-ft tsan sanitize fuzz bench bench-ft bench-long bench-ray compat wheel wheel-test clean

setup:
	bash scripts/setup.sh

# Four seconds of test pattern and a 440 Hz tone, made with the ffmpeg tool
# (which setup installs).
$(SAMPLE): | setup
	mkdir -p $(@D)
	ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 \
	  -f lavfi -i sine=frequency=440:sample_rate=44100 -t 4 \
	  -c:v libx264 -g 30 -bf 2 -pix_fmt yuv420p -c:a aac -ac 2 $(@D)/sample.part.mp4
	mv $(@D)/sample.part.mp4 $@

# The audio step is allowed to fail: FILE may have no audio.
run: setup $(FILE)
	mkdir -p $(OUT)
	$(CLI) info "$(FILE)"
	$(CLI) frames "$(FILE)" --count 8 -o $(OUT)/sheet.png
	-$(CLI) audio "$(FILE)" --rate 16000 --channels 1 -o $(OUT)/audio.wav

test: setup
	$(VENV)/bin/mypy
	$(VENV)/bin/pytest -q $(PYTEST_ARGS)

# The test suite on a free-threaded CPython (built once into a cache by
# scripts/ft_python.sh), in an environment of its own, .venv-ft, with the
# package built for that interpreter and its lock verified off
# (scripts/test_ft.sh).
test-ft:
	bash scripts/test_ft.sh $(PYTEST_ARGS)

# The tests of objects shared by threads against a ThreadSanitizer build of
# the extension on a free-threaded interpreter built with ThreadSanitizer
# too (scripts/tsan.sh).
tsan:
	bash scripts/tsan.sh $(PYTEST_ARGS)

# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
sanitize: setup
	bash scripts/sanitize.sh $(PYTEST_ARGS)

# Coverage-guided fuzzing of the extension on a sanitizer build, for
# FUZZ_SECONDS (default 60); findings land in build/fuzz/crashes.
fuzz: setup
	bash fuzz/run.sh $(FUZZ_SECONDS)

# The benchmark has an environment of its own, .venv-bench, with the peers
# (PyAV, OpenCV) beside the package. torchcodec, an optional peer (it needs
# the CUDA build of torch, about 5.5 GB), is tried by scripts/bench_peers.sh:
# when it cannot be installed or imported the suite runs without it.
# BENCH_TORCHCODEC=0 skips the attempt.
BENCH_VENV := .venv-bench
bench:
	VENV=$(BENCH_VENV) EXTRAS=bench bash scripts/setup.sh
	VENV=$(BENCH_VENV) bash scripts/bench_peers.sh
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

# Bytes read, time and peak memory of single requests on hour-long files
# through a counting file object (bench/long_media.py); the files, about
# 2 GB, are made once in build/bench/long.
bench-long: setup
	$(VENV)/bin/python bench/long_media.py $(BENCH_ARGS)

# Threads on the free-threaded CPython against the same release with its
# lock: two decoders on two threads, the loader with a Python transform on
# two threads and on two processes (scripts/bench_ft.sh; the media are the
# benchmark's, made by make bench); the page lands in docs/benchmarks-free-threaded.md.
bench-ft:
	bash scripts/bench_ft.sh

# quorvex_av.ray against Ray Data's own video reader on a two-node local
# cluster (bench/ray_bench.py), in the benchmark's environment with Ray and
# decord added; the table lands in build/ray_bench.md.
bench-ray:
	VENV=$(BENCH_VENV) EXTRAS=bench-ray bash scripts/setup.sh
	$(BENCH_VENV)/bin/python bench/ray_bench.py $(BENCH_ARGS)

# `make test` inside fresh Debian 13 and Debian unstable roots, each with that
# release's FFmpeg, Python and compiler (scripts/compat.sh; needs root).
compat:
	bash scripts/compat.sh

# Self-contained wheels in dist/, tagged manylinux_2_28, for x86_64 and
# aarch64 (or ARCH=x86_64 / ARCH=aarch64), abi3 and free-threaded (or
# KIND=abi3 / KIND=ft), cross-built on this machine with
# zig's compilers; each carries its own decode-only FFmpeg 7.1, built from
# Debian 13's source package and kept, with the tools, in
# /var/cache/quorvex-av-wheel-build (scripts/wheel.sh, docs/wheels.md).
ARCH ?=
KIND ?=
wheel:
	WHEEL_ARCH="$(ARCH)" WHEEL_KIND="$(KIND)" bash scripts/wheel.sh

# Those wheels installed and tested in bare roots with no FFmpeg: x86_64 in
# Debian 11 and 12, aarch64 in an arm64 Debian 12 under qemu-user
# (scripts/wheel_test.sh; needs root).
wheel-test:
	WHEEL_TEST_ARCH="$(ARCH)" bash scripts/wheel_test.sh

clean:
	rm -rf build $(VENV) $(BENCH_VENV) .venv-ft .venv-tsan .venv-bench-ft .venv-bench-gil

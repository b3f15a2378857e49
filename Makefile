# Two commands a newcomer needs, each from a fresh clone:
#   make demo   set up .venv, build, open the bundled sample files
#   make test   set up .venv, build, run the whole test suite
# PYTHON picks the interpreter (3.10 or newer); VENV the environment folder.

PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src python -type f -not -path "*/__pycache__/*") CMakeLists.txt pyproject.toml
# The build treats compiler warnings as errors, so a warning cannot land.
BUILD_FLAGS ?= --config-settings=cmake.define.KELVARA_WERROR=ON

.PHONY: all build test test-asan test-tsan test-windows fuzz fuzz-replay wheel test-wheel demo samples bench bench-leaks clean

all: build

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		$(BUILD_FLAGS) .
	touch $@

build: $(VENV)/.built

test: build fuzz-replay
	$(PY) -m pytest -q tests

# The committed fuzz corpus (tests/fuzz/corpus/<target>/) through each fuzz
# target, once per input, built with the ordinary compiler (no libFuzzer).
FUZZ_TARGETS ?= cfb decoders open
REPLAY_DIR := build/replay
fuzz-replay: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(REPLAY_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKELVARA_PYTHON=OFF -DKELVARA_FUZZ_REPLAY=ON -DKELVARA_WERROR=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(REPLAY_DIR)
	for t in $(FUZZ_TARGETS); do $(REPLAY_DIR)/fuzz_replay_$$t tests/fuzz/corpus/$$t || exit 1; done

# A libFuzzer campaign (Clang, ASan + UBSan), one target after another,
# FUZZ_TIME seconds each (0: no limit; FUZZ_RUNS caps the executions, -1: no
# cap). Inputs may grow to FUZZ_MAX_LEN bytes. The committed corpus seeds
# each run, without the inputs of FUZZ_SEED_MAX_KB or more (the bundled
# sample files): libFuzzer starts mutating at the size of its largest seed,
# and large inputs cost more per execution. New inputs go to
# build/fuzz/corpus-<target>, faults to build/fuzz/artifacts/<target>/.
# Clang and its runtime libraries come from Debian's clang and
# libclang-rt-dev, installed here when missing and the machine allows it.
FUZZ_CXX ?= clang++
FUZZ_TIME ?= 600
FUZZ_RUNS ?= -1
FUZZ_MAX_LEN ?= 1048576
FUZZ_SEED_MAX_KB ?= 32
FUZZ_DIR := build/fuzz
fuzz: $(VENV)/.ready
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ] && \
		apt-get install -y -qq clang libclang-rt-dev >/dev/null; } || \
		{ echo "make fuzz needs $(FUZZ_CXX) (Debian: apt-get install clang libclang-rt-dev)"; exit 1; }
	$(VENV)/bin/cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKELVARA_PYTHON=OFF -DKELVARA_FUZZ=ON -DKELVARA_WERROR=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_DIR)
	for t in $(FUZZ_TARGETS); do \
		rm -rf $(FUZZ_DIR)/seeds-$$t && \
		mkdir -p $(FUZZ_DIR)/seeds-$$t $(FUZZ_DIR)/corpus-$$t $(FUZZ_DIR)/artifacts/$$t && \
		find tests/fuzz/corpus/$$t -type f -size -$(FUZZ_SEED_MAX_KB)k -exec cp {} $(FUZZ_DIR)/seeds-$$t/ \; && \
		$(FUZZ_DIR)/fuzz_$$t -max_len=$(FUZZ_MAX_LEN) -rss_limit_mb=2048 -timeout=20 \
			-max_total_time=$(FUZZ_TIME) -runs=$(FUZZ_RUNS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_DIR)/artifacts/$$t/ $(FUZZ_DIR)/corpus-$$t $(FUZZ_DIR)/seeds-$$t || exit 1; \
	done

demo: build
	$(PY) tools/demo.py samples
	$(VENV)/bin/kelvara info samples/*.qgd samples/*.lcd
	$(PY) tools/demo_pictures.py samples build/demo

# Regenerate the bundled sample files (they are committed; this is how they were made).
samples: build
	$(PY) tools/make_samples.py samples

# The suite and the fuzz corpus replay against a build with AddressSanitizer,
# UBSan and the standard library's assertions (GCC or Clang on Linux), with
# leak detection on. The interpreter gets the sanitizer runtime of the
# compiler CMake used for this build, preloaded; tests/lsan.supp suppresses
# the interpreter's own allocations and nothing else.
ASAN_DIR := build/asan
SANITIZER_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test-asan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKELVARA_SANITIZE=ON -DKELVARA_WERROR=ON -DKELVARA_FUZZ_REPLAY=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	cp src/reader/kelvara.pyi $(ASAN_DIR)/
	for t in $(FUZZ_TARGETS); do $(SANITIZER_ENV) $(ASAN_DIR)/fuzz_replay_$$t tests/fuzz/corpus/$$t || exit 1; done
	# kelvara_tools as the wheel lays it out, around the sanitized extension.
	rm -rf $(ASAN_DIR)/kelvara_tools
	cp -r python/kelvara_tools $(ASAN_DIR)/kelvara_tools
	cp $(ASAN_DIR)/_columns*.so $(ASAN_DIR)/kelvara_tools/
	runtime="$$(tools/sanitizer_runtime.sh $(ASAN_DIR))" && \
	LD_PRELOAD="$$runtime" $(SANITIZER_ENV) \
	PYTHONPATH=$(ASAN_DIR) $(PY) -m pytest -q -p no:cacheprovider tests

# The threaded paths under ThreadSanitizer (Clang, libclang-rt-dev): the
# fuzz corpus replay, whose decoder target compares one thread with two,
# three, five and eight, and the digest driver over the digest inputs and a
# large run of every layout, on one thread and on eight, then through the
# streaming walk (iter_batches') on four threads, and with two files walked
# at once; all the digests must be the same. Clang's -Wthread-safety checks
# the lock annotations on the way.
TSAN_DIR := build/tsan
TSAN_CXX ?= clang++
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
test-tsan: build
	$(VENV)/bin/cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(TSAN_CXX) -DKELVARA_PYTHON=OFF -DKELVARA_TSAN=ON -DKELVARA_FUZZ_REPLAY=ON \
		-DKELVARA_DIGEST=ON -DKELVARA_WERROR=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_DIR)
	for t in $(FUZZ_TARGETS); do $(TSAN_ENV) $(TSAN_DIR)/fuzz_replay_$$t tests/fuzz/corpus/$$t || exit 1; done
	rm -rf $(TSAN_DIR)/inputs
	$(PY) tools/digest/make_inputs.py $(TSAN_DIR)/inputs --samples samples --corpus tests/fuzz/corpus >/dev/null
	$(PY) tools/digest/make_large.py $(TSAN_DIR)/inputs
	cat $(TSAN_DIR)/inputs/large.txt >>$(TSAN_DIR)/inputs/inputs.txt
	cd $(TSAN_DIR)/inputs && for n in 1 8; do \
		KELVARA_THREADS=$$n $(TSAN_ENV) ../kelvara_digest @inputs.txt >../digest-$$n.txt || exit 1; done
	cd $(TSAN_DIR)/inputs && KELVARA_THREADS=4 $(TSAN_ENV) ../kelvara_digest --stream @inputs.txt >../digest-stream.txt && \
		KELVARA_THREADS=4 $(TSAN_ENV) ../kelvara_digest --stream --jobs 2 @inputs.txt >../digest-stream-jobs.txt
	for d in 8 stream stream-jobs; do cmp $(TSAN_DIR)/digest-1.txt $(TSAN_DIR)/digest-$$d.txt || exit 1; done
	@echo "test-tsan: $$(grep -c '^file ' $(TSAN_DIR)/digest-1.txt) files, the same digests on 1 and 8 threads," \
		"streamed on 4 threads, and streamed two files at a time"

# The core cross-built for 64-bit Windows with mingw-w64 and run under Wine
# over the samples, generated files of every layout and the fuzz corpus; its
# digest of every spectrum must equal the native build's. Needs Debian's
# g++-mingw-w64-x86-64-posix and wine64 (.ci/run installs them).
test-windows: $(VENV)/.ready
	bash tools/digest/test_windows.sh $(VENV)

# The abi3 wheel, into dist/. On Linux every extension module is compiled
# by zig's Clang against glibc 2.17 (tools/wheel/zig-cxx), and the wheel is
# tagged manylinux_2_17 by auditwheel, which refuses a wheel that needs
# newer symbols; `auditwheel show` then must confirm the tag. Elsewhere the
# platform's own compiler builds a plain wheel.
WHEEL_RAW := build/wheel-raw
ARCH := $(shell uname -m)
$(VENV)/.wheel-tools: $(VENV)/.ready requirements-wheel.txt
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-wheel.txt
	touch $@

ifeq ($(shell uname -s),Linux)
wheel: $(VENV)/.wheel-tools
	rm -rf $(WHEEL_RAW) && mkdir -p dist && rm -f dist/kelvara-*.whl
	KELVARA_ZIG_PYTHON=$(abspath $(PY)) $(PY) -m pip wheel --quiet --disable-pip-version-check --no-deps \
		--no-build-isolation -w $(WHEEL_RAW) $(BUILD_FLAGS) \
		--config-settings=build-dir=build/wheel/{wheel_tag} \
		--config-settings=cmake.define.CMAKE_CXX_COMPILER=$(abspath tools/wheel/zig-cxx) .
	PATH="$(abspath $(VENV)/bin):$$PATH" auditwheel repair --plat manylinux_2_17_$(ARCH) -w dist $(WHEEL_RAW)/kelvara-*.whl
	$(VENV)/bin/auditwheel show dist/kelvara-*.whl | tee $(WHEEL_RAW)/show.txt
	tr -s ' \n' ' ' < $(WHEEL_RAW)/show.txt | grep -q 'consistent with the following platform tag: "manylinux_2_17_$(ARCH)"'
else
wheel: $(VENV)/.ready
	mkdir -p dist && rm -f dist/kelvara-*.whl
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation -w dist $(BUILD_FLAGS) .
endif

# The wheel in dist/ installed into fresh virtual environments of each
# interpreter in WHEEL_PYTHONS (found on the PATH or through pyenv), and the
# suite run against it there.
WHEEL_PYTHONS ?= 3.10 3.12 3.13
test-wheel:
	bash tools/wheel/test_wheel.sh $(WHEEL_PYTHONS)

# Open speed and memory on realistic files of every layout, against the read
# and materialisation floors, on one thread and on every core (not part of
# the tests; `tools/bench.py --help` for sizes and rounds). The conversion
# goals compare with the converter of BENCH_BASELINE, built once into
# build/baseline-<commit>/ (empty: no comparison), and measure memory on
# runs of BENCH_LARGE_MB too (0: none). A quick run:
#   make bench BENCH_BASELINE= BENCH_LARGE_MB=0
BENCH_BASELINE ?= 03f5e3c
BENCH_LARGE_MB ?= 1500
bench: build
	$(PY) tools/bench.py
	$(PY) tools/bench_columns.py
	$(PY) tools/bench_convert.py
	$(PY) tools/bench_convert.py --goals --against=$(BENCH_BASELINE) --large-mb $(BENCH_LARGE_MB)
	$(PY) tools/bench_encode.py
	$(PY) tools/bench_batches.py

# Resident memory growth over 10,000 opens of each sample file (and of two
# files that fail to open); fails when any grows by 1 MB or more.
bench-leaks: build
	$(PY) tools/bench_leaks.py

clean:
	rm -rf build dist $(VENV) .pytest_cache .hypothesis

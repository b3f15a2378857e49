# Two commands a newcomer needs, each from a fresh clone:
#   make demo   set up .venv, build, open the bundled sample files
#   make test   set up .venv, build, run the whole test suite
# PYTHON picks the interpreter (3.10 or newer); VENV the environment folder.

PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
# The build treats compiler warnings as errors, so a warning cannot land.
BUILD_FLAGS ?= --config-settings=cmake.define.KELVARA_WERROR=ON

.PHONY: all build test test-asan test-windows wheel test-wheel demo samples bench clean

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

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) tools/demo.py samples

# Regenerate the bundled sample files (they are committed; this is how they were made).
samples: build
	$(PY) tools/make_samples.py samples

# The suite against a build with AddressSanitizer and UBSan (GCC or Clang on
# Linux): the sanitizer runtime is preloaded into the interpreter.
ASAN_DIR := build/asan
test-asan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKELVARA_SANITIZE=ON -DKELVARA_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	cp src/reader/kelvara.pyi $(ASAN_DIR)/
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(ASAN_DIR) $(PY) -m pytest -q -p no:cacheprovider tests

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

# Open speed and memory on a large synthetic GC-MS file (not part of the tests).
bench: build
	$(PY) tools/bench.py

clean:
	rm -rf build dist $(VENV) .pytest_cache .hypothesis

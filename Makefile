# make demo: set up, build, run the main job on sample data.
# make test: set up, build, run every C++ and Python test, then the C++ tests
#            again under AddressSanitizer and UndefinedBehaviorSanitizer.
# make test-tsan: the concurrent C++ test cases under ThreadSanitizer.
# make bench: build and run the benchmarks.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
ROOT := $(CURDIR)
VENV := $(ROOT)/.venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
CMAKE_COMMON := -G Ninja -DPython_EXECUTABLE=$(PY)
# The project's own builds treat warnings as errors; `pip install .` does not.
CMAKE_CHECKED := $(CMAKE_COMMON) -DRS_WERROR=ON

.PHONY: setup build build-asan install test test-cpp test-python test-asan test-tsan demo bench clean

setup:
	bash scripts/setup

build: setup
	cmake -S . -B build/release $(CMAKE_CHECKED) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS)

build-asan: setup
	cmake -S . -B build/asan $(CMAKE_CHECKED) -DCMAKE_BUILD_TYPE=Debug -DRS_SANITIZE=ON >/dev/null
	cmake --build build/asan -j $(JOBS)

install: setup
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

test-cpp: build
	cd build/release && ctest --output-on-failure -j $(JOBS)

# Against the installed module, from outside the source tree; exit 5 (no test
# collected) is a failure too.
test-python: install build
	cd build && RS_TEST_EXT_DIR=$(ROOT)/build/release $(PY) -m pytest -q -p no:cacheprovider \
	  --rootdir=$(ROOT)/tests $(ROOT)/tests

test-asan: build-asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Only the C++ test programs are built; the filter picks the multi-threaded tests.
test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_CHECKED) -DCMAKE_BUILD_TYPE=Debug -DRS_TSAN=ON >/dev/null
	cmake --build build/tsan -j $(JOBS) --target storage_tests rs_cpp_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/storage_tests \
	  --gtest_filter='*Stress*:*Concurrent*'
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  build/tsan/rs_cpp_tests --gtest_filter='*Stress*:*Concurrent*'

test: test-cpp test-python test-tsan test-asan

demo: install
	$(PY) scripts/demo.py

bench: setup install
	cmake -S . -B build/bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DRS_BUILD_BENCH=ON -DRS_BUILD_TESTS=OFF >/dev/null
	cmake --build build/bench -j $(JOBS)
	bash scripts/bench

clean:
	rm -rf build

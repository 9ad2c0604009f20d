# The two commands of the README:
#   make demo   set up what is missing, build, run the demo
#   make test   set up what is missing, build, run every C++ and Python test,
#               then the hardening stages (sanitizers, threads, fuzzing)
# and, apart from them:
#   make bench  the C++ and Python benchmarks (bench/), results in bench/results/,
#               after the accuracy benchmark (make accuracy)
#   make fuzz   run the fuzzer for FUZZ_SECONDS (e.g. make fuzz FUZZ_SECONDS=3600)
# Set-up is incremental: a second run with nothing changed only checks.

SHELL := /bin/bash
PYTHON ?= python3
VENV ?= .venv
BUILD ?= build/release
JOBS ?= $(shell nproc)

APT_PACKAGES := g++ libgoogle-glog-dev libgtest-dev clang-14 libclang-rt-14-dev
VENV_PY := $(VENV)/bin/python
VENV_STAMP := $(VENV)/.requirements.stamp
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest

WHEEL_DIR := build/wheel
WHEEL_STAMP := $(WHEEL_DIR)/.installed
PACKAGE_SOURCES := CMakeLists.txt pyproject.toml $(shell find python include src core cmake -type f -not -name '*.pyc')

.PHONY: demo test setup apt-packages build python-package cpp-test python-test bench accuracy clean \
	asan-test tsan-test fuzz-build fuzz-test fuzz

demo: build python-package
	$(BUILD)/examples/strided_trace
	$(BUILD)/examples/curve_fit
	$(VENV_PY) examples/tour.py

test: cpp-test python-test asan-test tsan-test fuzz-test

setup: apt-packages $(VENV_STAMP)

# Debian packages: installed when running as root, otherwise named.
apt-packages:
	@missing=""; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -eq 0 ]; then \
	    echo "installing Debian packages:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing Debian packages; run as root:"; \
	    echo "  apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

$(VENV_STAMP): requirements.txt
	test -x $(VENV_PY) || $(PYTHON) -m venv $(VENV)
	$(VENV_PY) -m pip install --quiet --disable-pip-version-check -r requirements.txt
	touch $@

$(BUILD)/CMakeCache.txt: | setup
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_PREFIX_PATH="$$($(VENV_PY) -m cmeel cmake)"

build: setup $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

cpp-test: build
	$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The Python package is built as a wheel (reusing its CMake build tree under
# build/cp*) and installed into the venv; the tests use the installed copy.
$(WHEEL_STAMP): $(PACKAGE_SOURCES) $(VENV_STAMP)
	rm -rf $(WHEEL_DIR)
	$(VENV_PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(VENV_PY) -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	touch $@

python-package: setup $(WHEEL_STAMP)

# pytest exits with 5 when it collects nothing; that is not a failure.
python-test: python-package
	$(VENV_PY) -m pytest tests/python || [ $$? -eq 5 ]

# The benchmarks need Google Benchmark and two more Python packages, which
# neither the demo nor the tests need. Their build tree holds the library and
# the C++ benchmark only. NumPy's BLAS runs without this machine's
# OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE overrides here, and only here.
BENCH_BUILD := build/bench
BENCH_STAMP := $(VENV)/.bench-requirements.stamp
BENCH_DATE := $(shell date +%Y-%m-%d)
BENCH_ENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE
bench: APT_PACKAGES += libbenchmark-dev

$(BENCH_STAMP): bench/requirements.txt $(VENV_STAMP)
	$(VENV_PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	touch $@

# Accuracy against high-precision references; it runs before the timings so
# that nothing else competes with them.
accuracy: python-package $(BENCH_STAMP)
	$(BENCH_ENV) $(VENV_PY) bench/accuracy.py

bench: python-package $(BENCH_STAMP) accuracy
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DZORVANE_BUILD_BENCHMARKS=ON -DZORVANE_BUILD_TESTS=OFF -DZORVANE_BUILD_EXAMPLES=OFF \
	  -DZORVANE_INSTALL=OFF -DCMAKE_PREFIX_PATH="$$($(VENV_PY) -m cmeel cmake)"
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)
	mkdir -p bench/results
	$(BENCH_ENV) $(BENCH_BUILD)/bench/zorvane_bench_cpp --benchmark_min_time=0.05 \
	  --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=bench/results/$(BENCH_DATE)-cpp.json --benchmark_out_format=json > /dev/null
	$(VENV_PY) bench/summarize_cpp.py bench/results/$(BENCH_DATE)-cpp.json
	$(BENCH_ENV) $(VENV_PY) bench/bench_python.py

# ---- Hardening stages -------------------------------------------------------
# Each keeps its own build tree, so a second run only rebuilds what changed.
# -O1 without NDEBUG: fast enough to compile, and Eigen's own range asserts stay on.
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
HARDENING_CONFIG = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DZORVANE_BUILD_EXAMPLES=OFF \
	  -DCMAKE_PREFIX_PATH="$$($(VENV_PY) -m cmeel cmake)"
# Leaks are errors; any report stops the program with a failing status.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# 1. The whole C++ test suite under AddressSanitizer (with LeakSanitizer) and UBSan.
ASAN_BUILD := build/asan
$(ASAN_BUILD)/CMakeCache.txt: | setup
	$(CMAKE) -S . -B $(ASAN_BUILD) $(HARDENING_CONFIG) -DCMAKE_CXX_FLAGS="$(SANITIZE)"

asan-test: setup $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	$(SANITIZER_ENV) $(CTEST) --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# 2. The concurrency test alone under ThreadSanitizer.
TSAN_BUILD := build/tsan
$(TSAN_BUILD)/CMakeCache.txt: | setup
	$(CMAKE) -S . -B $(TSAN_BUILD) $(HARDENING_CONFIG) -DZORVANE_INSTALL=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread"

tsan-test: setup $(TSAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS) --target zorvane_concurrency_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/zorvane_concurrency_tests

# 3. The libFuzzer harness (clang, ASan + UBSan): the committed regression
# inputs once each, then fuzzing from the committed seeds plus the corpus it
# grew before (build/fuzz/corpus). `make test` fuzzes for FUZZ_TEST_SECONDS,
# `make fuzz` for FUZZ_SECONDS. Crashing inputs land in build/fuzz/artifacts.
FUZZ_BUILD := build/fuzz
FUZZ_CXX ?= clang++-14
FUZZ_TEST_SECONDS ?= 60
FUZZ_SECONDS ?= 600
FUZZER := $(FUZZ_BUILD)/tests/fuzz/zorvane_linalg_fuzzer
FUZZ_RUN = mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts && \
	$(SANITIZER_ENV) $(FUZZER) -artifact_prefix=$(FUZZ_BUILD)/artifacts/ -timeout=10 \
	  -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus -max_total_time=

$(FUZZ_BUILD)/CMakeCache.txt: | setup
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(HARDENING_CONFIG) -DZORVANE_INSTALL=OFF \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DZORVANE_BUILD_FUZZER=ON \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE) -fsanitize=fuzzer-no-link"

fuzz-build: setup $(FUZZ_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target zorvane_linalg_fuzzer

fuzz-test: fuzz-build
	regressions=$$(find tests/fuzz/regressions -type f -not -name '*.md' | sort); \
	if [ -n "$$regressions" ]; then $(SANITIZER_ENV) $(FUZZER) $$regressions; fi
	$(FUZZ_RUN)$(FUZZ_TEST_SECONDS)

fuzz: fuzz-build
	$(FUZZ_RUN)$(FUZZ_SECONDS)

clean:
	rm -rf build

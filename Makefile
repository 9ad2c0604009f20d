# The two commands of the README:
#   make demo   set up what is missing, build, run the demo
#   make test   set up what is missing, build, run every C++ and Python test
# and, apart from them:
#   make bench  the C++ and Python benchmarks (bench/), results in bench/results/
# Set-up is incremental: a second run with nothing changed only checks.

SHELL := /bin/bash
PYTHON ?= python3
VENV ?= .venv
BUILD ?= build/release
JOBS ?= $(shell nproc)

APT_PACKAGES := g++ libgoogle-glog-dev libgtest-dev
VENV_PY := $(VENV)/bin/python
VENV_STAMP := $(VENV)/.requirements.stamp
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest

WHEEL_DIR := build/wheel
WHEEL_STAMP := $(WHEEL_DIR)/.installed
PACKAGE_SOURCES := CMakeLists.txt pyproject.toml $(shell find python include src core cmake -type f -not -name '*.pyc')

.PHONY: demo test setup apt-packages build python-package cpp-test python-test bench clean

demo: build python-package
	$(BUILD)/examples/strided_trace
	$(BUILD)/examples/curve_fit
	$(VENV_PY) examples/tour.py

test: cpp-test python-test

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

bench: python-package $(BENCH_STAMP)
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

clean:
	rm -rf build

# The two commands of the README:
#   make demo   set up what is missing, build what the demo runs, run the demo
#   make test   set up what is missing, build, run every C++ and Python test,
#               build the documentation site and open it in a headless browser,
#               run the release artifacts' tests, then the hardening stages
#               (sanitizers, threads, fuzzing)
# and, apart from them:
#   make bench  the C++ and Python benchmarks (bench/), results in build/bench/results/,
#               after the accuracy benchmark (make accuracy)
#   make docs   the documentation site in build/docs/html (make docs-test opens it
#               in headless Chromium)
#   make fuzz   run the fuzzer for FUZZ_SECONDS (e.g. make fuzz FUZZ_SECONDS=3600)
#   make dist   the release artifacts in dist/ (sdist, wheel, C++ package, SHA256SUMS)
#   make wheels the wheels for every CPython from 3.11 in dist/, each tested with
#               the Python suite under every interpreter it serves here (as root)
#   make fresh-check   the two commands' set-up on fresh minimal Debian 12, 13
#               and sid roots (debootstrap; as root; about twenty minutes)
# Set-up is incremental: a second run with nothing changed only checks.
# Every build configuration is a preset of CMakePresets.json, with its tree in
# build/<preset>; this file sets up the machine and runs the presets.

SHELL := /bin/bash
PYTHON ?= python3
# The presets name this environment's Python (and through it Eigen) and its
# Ninja; every tool a recipe runs comes from it, from the Debian packages of
# the set-up, or from the base system, never from whatever else is on PATH.
VENV := .venv
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
JOBS ?= $(shell nproc)

# Debian packages beyond what tools/system-packages.sh always asks for.
APT_PACKAGES :=
# The clang the set-up chose, which the fuzz preset compiles with.
CLANG_LINK := build/tools/clang++
VENV_PY := $(VENV)/bin/python
VENV_STAMP := $(VENV)/.requirements.stamp
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
PIP := $(VENV_PY) -m pip --disable-pip-version-check
BUILD := build/release

WHEEL_DIR := build/wheel
WHEEL_STAMP := $(WHEEL_DIR)/.installed
PACKAGE_SOURCES := CMakeLists.txt CMakePresets.json pyproject.toml README.md \
	$(shell find python include src core cmake -type f -not -name '*.pyc')

.PHONY: demo test setup apt-packages fresh-check build python-package cpp-test python-test bench accuracy \
	docs docs-test clean dist dist-test dist-wheel wheels wheel-suite asan-test tsan-test fuzz-build fuzz-test fuzz
# The recipes share build trees; one at a time.
.NOTPARALLEL:

demo: python-package
	$(CMAKE) --build --preset release -j $(JOBS) --target strided_trace curve_fit
	$(BUILD)/examples/strided_trace
	$(BUILD)/examples/curve_fit
	$(VENV_PY) examples/tour.py
	$(VENV_PY) examples/curve_fit.py

test: cpp-test python-test docs-test dist-test asan-test tsan-test fuzz-test

setup: apt-packages $(VENV_STAMP)

# Debian packages: installed when running as root, otherwise named.
apt-packages:
	@tools/system-packages.sh $(PYTHON) $(CLANG_LINK) $(APT_PACKAGES)

# The venv gets the pinned pip before anything else is installed with it:
# the pip of the system's venv module may be too old for the options used
# here. The Dask example and its test bring their own pinned requirements.
$(VENV_STAMP): requirements.txt tests/python/requirements.txt examples/requirements.txt
	test -x $(VENV_PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet "$$(grep '^pip==' requirements.txt)"
	$(PIP) install --quiet -r requirements.txt -r examples/requirements.txt
	touch $@

# `make demo` on minimal Debian 12, 13 and sid roots, each with a fresh clone,
# the fuzzing stage on Debian 13 and the Python suite on sid (Python 3.14):
# proves that the set-up brings every tool.
fresh-check:
	tools/fresh-check.sh

# A tree is configured from its preset, and again when the presets change
# (CMake itself re-runs when a CMakeLists.txt changes).
build/%/.preset: CMakePresets.json | setup
	$(CMAKE) --preset $*
	touch $@

build: setup $(BUILD)/.preset
	$(CMAKE) --build --preset release -j $(JOBS)

# The suites run at the widest level this machine runs (the library's
# default); the C++ suite also compares every other level it runs with the
# baseline, operation by operation, in one process.
cpp-test: build
	$(CTEST) --preset release -j $(JOBS)

# The Python package is built as a wheel and installed into the venv; the
# tests use the installed copy. scikit-build-core builds it in the release
# tree (with the release preset, the module's target only), so the library
# and the module are compiled once for the tests, the demo and the wheel.
$(WHEEL_STAMP): $(PACKAGE_SOURCES) $(VENV_STAMP) | $(BUILD)/.preset
	rm -rf $(WHEEL_DIR)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) wheel --quiet --no-build-isolation --no-deps \
	  -Cbuild-dir=$(BUILD) -Ccmake.args=--preset=release -w $(WHEEL_DIR) .
	$(PIP) install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	touch $@

python-package: setup $(WHEEL_STAMP)

# pytest exits with 5 when it collects nothing; that is not a failure.
python-test: python-package
	$(VENV_PY) -m pytest tests/python || [ $$? -eq 5 ]

# ---- Documentation site -----------------------------------------------------
# Sphinx, its theme and extensions (docs/requirements.txt, installed into .venv
# here only), Doxygen from Debian reading the public headers for the C++
# reference (through Breathe), and the installed package for the Python
# reference. Warnings are errors; -E reads every page again, since the package
# and the headers the references come from are not sources Sphinx watches.
# docs-test (tests/docs) serves the site on 127.0.0.1 and opens it in Debian's
# headless Chromium; its screenshots stay in build/docs/screenshots.
DOCS_BUILD := build/docs
DOCS_STAMP := $(VENV)/.docs-requirements.stamp
# The set-up runs once per make: under make test it runs first for cpp-test,
# so test asks for the site's Debian packages too.
DOCS_APT_PACKAGES := doxygen chromium
test docs docs-test: APT_PACKAGES += $(DOCS_APT_PACKAGES)

$(DOCS_STAMP): docs/requirements.txt $(VENV_STAMP)
	$(PIP) install --quiet -r docs/requirements.txt
	touch $@

docs: python-package $(DOCS_STAMP)
	rm -rf $(DOCS_BUILD)/doxygen $(DOCS_BUILD)/html
	mkdir -p $(DOCS_BUILD)
	ZORVANE_DOXYGEN_OUT=$(DOCS_BUILD)/doxygen doxygen docs/Doxyfile
	ZORVANE_DOXYGEN_XML=$(CURDIR)/$(DOCS_BUILD)/doxygen/xml $(VENV_PY) -m sphinx -W --keep-going -E -q \
	  -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html

docs-test: docs
	$(VENV_PY) -m pytest -p no:cacheprovider tests/docs

# ---- Release artifacts --------------------------------------------------------
# The sdist; the wheel built from it alone, with build isolation (the build
# requirements come from the index) and CMake's default generator, as pip
# builds it for a user without a wheel (its CMake tree stays in
# $(DIST_BUILD)/cmake); that wheel repaired by auditwheel, which bundles the
# libraries outside the manylinux policy and tags it with the oldest policy
# it meets; the C++ package from the release tree; their checksums.
# tests/dist checks them.
DIST := dist
DIST_BUILD := build/dist
DIST_STAMP := $(DIST)/SHA256SUMS
# An sdist to build the wheel from (by default the one this checkout makes),
# and the Python API the wheel is for: empty for this interpreter alone,
# cp312 for the stable ABI of CPython 3.12 and newer.
SDIST ?=
WHEEL_PY_API ?=

define sdist_and_repaired_wheel
	rm -rf $(DIST) $(DIST_BUILD)
	$(if $(SDIST),mkdir -p $(DIST) && cp $(SDIST) $(DIST)/,$(VENV_PY) -m build --sdist --no-isolation --outdir $(DIST) . > /dev/null)
	CMAKE_GENERATOR="Unix Makefiles" CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) wheel --quiet --no-deps \
	  -Cbuild-dir=$(CURDIR)/$(DIST_BUILD)/cmake $(if $(WHEEL_PY_API),-Cwheel.py-api=$(WHEEL_PY_API)) \
	  -w $(DIST_BUILD) $(DIST)/zorvane_linalg-*.tar.gz
	$(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST_BUILD)/zorvane_linalg-*.whl
endef

$(DIST_STAMP): $(PACKAGE_SOURCES) $(VENV_STAMP) | $(BUILD)/.preset
	$(sdist_and_repaired_wheel)
	$(CMAKE) --build --preset release -j $(JOBS) --target cpp_package
	cd $(DIST) && sha256sum -- *.tar.gz *.whl > SHA256SUMS

dist: setup $(DIST_STAMP)

# The sdist and the repaired wheel alone (make wheels builds the stable-ABI
# wheel with it, in a root of another Debian).
dist-wheel: setup
	$(sdist_and_repaired_wheel)

# ---- Wheels for every CPython from 3.11 ---------------------------------------
# make dist's wheel for this interpreter, and the stable-ABI wheel for CPython
# 3.12 and newer built from the same sdist in a fresh Debian 13 root; each
# tested with the Python suite in a fresh venv of every interpreter it serves
# here (tools/wheels.sh; as root). WHEEL_BENCH=1 also times the single calls
# at n = 4 with each.
wheels: dist
	tools/wheels.sh

# The Python suite against one wheel (WHEEL=path), installed without an index
# into a fresh venv of this interpreter; the suite's own packages come from
# the index, pinned.
SUITE_VENV := build/wheel-suite/venv
WHEEL_BENCH ?=
wheel-suite: apt-packages
	@test -n "$(WHEEL)" || { echo "make wheel-suite needs WHEEL=path/to/wheel" >&2; exit 1; }
	rm -rf $(SUITE_VENV)
	$(PYTHON) -m venv $(SUITE_VENV)
	$(SUITE_VENV)/bin/pip install --quiet --disable-pip-version-check "$$(grep '^pip==' requirements.txt)"
	$(SUITE_VENV)/bin/pip install --quiet -r tests/python/requirements.txt -r examples/requirements.txt
	$(SUITE_VENV)/bin/pip install --quiet --no-index --no-deps $(WHEEL)
	ZORVANE_WHEEL=$(abspath $(WHEEL)) $(SUITE_VENV)/bin/python -m pytest -p no:cacheprovider tests/python
	$(if $(WHEEL_BENCH),$(SUITE_VENV)/bin/pip install --quiet -r bench/requirements.txt && \
	  $(BENCH_ENV) $(SUITE_VENV)/bin/python bench/bench_python.py --orders 4 --no-first-touch \
	  --results-dir build/wheel-suite/bench)

dist-test: dist
	$(VENV_PY) -m pytest tests/dist

# The benchmarks need Google Benchmark and two more Python packages, which
# neither the demo nor the tests need. Their build tree holds the library and
# the C++ benchmark only. NumPy's BLAS runs without this machine's
# OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE overrides here, and only here.
BENCH_STAMP := $(VENV)/.bench-requirements.stamp
BENCH_DATE := $(shell date +%Y-%m-%d)
BENCH_ENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE
# Results stay in the build tree, named by date; bench/docs_figures.py copies
# the figures of a named run that the documentation cites into bench/results/.
BENCH_RESULTS := build/bench/results
bench: APT_PACKAGES += libbenchmark-dev

$(BENCH_STAMP): bench/requirements.txt $(VENV_STAMP)
	$(PIP) install --quiet -r bench/requirements.txt
	touch $@

# Accuracy against high-precision references; it runs before the timings so
# that nothing else competes with them.
accuracy: python-package $(BENCH_STAMP)
	$(BENCH_ENV) $(VENV_PY) bench/accuracy.py

# The C++ benchmarks set the library against bare Eigen loops compiled for the
# portable instruction set, so the library runs at that level there too;
# bench_levels.py times every level against NumPy/SciPy.
bench: python-package $(BENCH_STAMP) build/bench/.preset accuracy
	$(CMAKE) --build --preset bench -j $(JOBS)
	mkdir -p $(BENCH_RESULTS)
	$(BENCH_ENV) ZORVANE_CPU_LEVEL=baseline build/bench/bench/zorvane_bench_cpp --benchmark_min_time=0.05 \
	  --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_RESULTS)/$(BENCH_DATE)-cpp.json --benchmark_out_format=json > /dev/null
	$(VENV_PY) bench/summarize_cpp.py $(BENCH_RESULTS)/$(BENCH_DATE)-cpp.json
	$(BENCH_ENV) $(VENV_PY) bench/bench_python.py
	$(BENCH_ENV) ZORVANE_CPU_LEVEL=baseline build/bench/bench/zorvane_bench_batched_cpp \
	  --benchmark_min_time=0.2 \
	  --benchmark_out=$(BENCH_RESULTS)/$(BENCH_DATE)-batched-cpp.json --benchmark_out_format=json > /dev/null
	$(BENCH_ENV) $(VENV_PY) bench/bench_batched.py
	$(BENCH_ENV) $(VENV_PY) bench/bench_levels.py

# ---- Hardening stages -------------------------------------------------------
# Each has its own preset and build tree, so a second run only rebuilds what
# changed. Leaks are errors; any report stops the program with a failing status.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# 1. The whole C++ test suite under AddressSanitizer (with LeakSanitizer) and
# UBSan; then the Python suite against the sanitized library and modules
# (installed into build/asan/python-site), with ASan's runtime preloaded into
# the interpreter. Leak checking is off there: every allocation's stack runs
# through the interpreter's frames, so no suppression list could keep the
# interpreter's own allocations out and ours in. Ours are checked under
# LeakSanitizer by the C++ suite, and from Python by the suite's allocation
# counts. The resident-memory test is left out there, as ASan keeps freed
# blocks in quarantine.
ASAN_SITE := build/asan/python-site
# The runtime is preloaded with the C++ standard library, which the
# interpreter does not link: ASan must find the real __cxa_throw at start-up
# to intercept the library's exceptions.
ASAN_CXX = $$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
ASAN_RUNTIME = "$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libstdc++.so)"
ASAN_PYTHON = LD_PRELOAD=$(ASAN_RUNTIME) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(ASAN_SITE) $(VENV_PY)
asan-test: setup build/asan/.preset
	$(CMAKE) --build --preset asan -j $(JOBS)
	$(SANITIZER_ENV) $(CTEST) --preset asan -j $(JOBS)
	rm -rf $(ASAN_SITE)
	$(CMAKE) --install build/asan --component python --prefix $(ASAN_SITE) > /dev/null
	$(ASAN_PYTHON) -c 'import zorvane_linalg as z; assert "/python-site/" in z.__file__, z.__file__'
	$(ASAN_PYTHON) -m pytest -p no:cacheprovider tests/python -k "not resident_memory"

# 2. The concurrency test alone under ThreadSanitizer.
tsan-test: setup build/tsan/.preset
	$(CMAKE) --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/zorvane_concurrency_tests

# 3. The libFuzzer harness (clang, ASan + UBSan): the committed regression
# inputs once each, then fuzzing from the committed seeds plus the corpus it
# grew before (build/fuzz/corpus). `make test` fuzzes for FUZZ_TEST_SECONDS,
# `make fuzz` for FUZZ_SECONDS. Crashing inputs land in build/fuzz/artifacts.
FUZZ_BUILD := build/fuzz
FUZZ_TEST_SECONDS ?= 60
FUZZ_SECONDS ?= 600
FUZZER := $(FUZZ_BUILD)/tests/fuzz/zorvane_linalg_fuzzer
FUZZ_RUN = mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts && \
	$(SANITIZER_ENV) $(FUZZER) -artifact_prefix=$(FUZZ_BUILD)/artifacts/ -timeout=10 \
	  -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus -max_total_time=

fuzz-build: setup $(FUZZ_BUILD)/.preset
	$(CMAKE) --build --preset fuzz -j $(JOBS)

fuzz-test: fuzz-build
	regressions=$$(find tests/fuzz/regressions -type f -not -name '*.md' | sort); \
	if [ -n "$$regressions" ]; then $(SANITIZER_ENV) $(FUZZER) $$regressions; fi
	$(FUZZ_RUN)$(FUZZ_TEST_SECONDS)

fuzz: fuzz-build
	$(FUZZ_RUN)$(FUZZ_SECONDS)

clean:
	rm -rf build $(DIST)

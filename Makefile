# The two commands of the README:
#   make demo   set up what is missing, build, run the demo
#   make test   set up what is missing, build, run every C++ and Python test
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

.PHONY: demo test setup apt-packages build python-package cpp-test python-test clean

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

clean:
	rm -rf build

# Two entry points for a fresh machine: `make demo` and `make test`.
# Everything is installed into .venv inside the repository; the C++ tests
# need Debian's libgtest-dev, installed with apt-get when it is missing.

VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
CMAKE_ARGS ?=

.PHONY: demo test test-cpp test-python install venv system-deps bench

demo: install
	$(PIP) install --quiet --disable-pip-version-check -r requirements-demo.txt
	$(PY) examples/demo.py

test: test-cpp test-python

venv:
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PIP) install --quiet --disable-pip-version-check -r requirements-dev.txt

install: venv
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation .

system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libgtest-dev; }

test-cpp: system-deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja $(CMAKE_ARGS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(CPP_BUILD)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: install
	$(PY) -m pytest

# Benchmarks against numpy, ONNX Runtime (and PyTorch when installed). numpy's
# OpenBLAS is slowed by OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE where they are
# set, so both are unset for this command alone.
bench: install
	$(PIP) install --quiet --disable-pip-version-check -r bench/requirements.txt
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BENCH_BUILD) -G Ninja -DQEN_BUILD_TESTS=OFF $(CMAKE_ARGS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BENCH_BUILD) --target qen_machine_peak
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/run_bench.py $(BENCH_BUILD)/bench/qen_machine_peak

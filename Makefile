# Two entry points for a fresh machine: `make demo` and `make test`.
# Everything is installed into .venv inside the repository; the C++ tests
# need Debian's libgtest-dev, installed with apt-get when it is missing.

VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CPP_BUILD := build/cpp
CMAKE_ARGS ?=

.PHONY: demo test test-cpp test-python install venv system-deps

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

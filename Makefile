# Two entry points for a fresh machine: `make demo` and `make test`.
# Everything is installed into .venv inside the repository (the package with
# the extras its tests and demo use: torch is pinned by the extra); the C++
# tests need Debian's libgtest-dev and libmpfr-dev, the fuzz targets clang with its
# runtimes, the Windows tests MinGW-w64, Wine and GoogleTest's sources, and
# the emulated AVX-512 tests SIMDe, the ARM64 tests Debian's aarch64 cross
# compiler, qemu-user and GoogleTest's sources, the ARM64 package tests a Debian
# arm64 root (debootstrap, qemu-user-static, binfmt-support), installed with
# apt-get when they are missing.

VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
WITH_VENV := PATH="$(CURDIR)/$(VENV)/bin:$$PATH"
CPP_BUILD  := build/cpp
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
BENCH_BUILD := build/bench
WIN_BUILD  := build/windows
ARM64_BUILD := build/arm64
EMU_BUILD  := build/avx512-emulated
PACKAGE_BUILD := build/cpp-package
CMAKE_ARGS ?=
# Every tests/fuzz/fuzz_*.cc is a target; FUZZ_TIME is seconds per target.
FUZZ_TARGETS := $(basename $(notdir $(wildcard tests/fuzz/fuzz_*.cc)))
FUZZ_TIME  ?= 60
FUZZ_FLAGS ?=

.PHONY: demo test check lint format test-cpp test-cpp-package exhaustive test-avx512-emulated test-asan test-tsan test-python test-python-versions test-windows test-arm64 test-arm64-package wheels wheel-tools wheel-reference check-macos install install-extras venv system-deps fuzz-deps windows-deps arm64-deps fuzz-build fuzz-smoke fuzz fuzz-python bench

demo: venv
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation ".[sklearn]"
	$(PY) examples/demo.py

test: lint test-cpp test-cpp-package exhaustive test-avx512-emulated test-asan test-tsan test-python test-python-versions fuzz-smoke fuzz-python test-windows test-arm64

# The edit-test loop: the C++ tests of the default build and the package's
# Python tests on this Python, in a few minutes. `make test` is the full run.
check: test-cpp test-python

# Formatting, lint and types with the pinned tools of requirements-dev.txt;
# fails on any finding. `make format` applies the formatters.
PY_SOURCES := python tests bench examples
CPP_SOURCES = $(shell git ls-files '*.cc' '*.h')
lint: venv
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	@echo "clang-format --dry-run --Werror (every tracked .cc and .h)"
	@$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(VENV)/bin/mypy

format: venv
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)

venv:
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PIP) install --quiet --disable-pip-version-check -r requirements-dev.txt

install: venv
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation .

# The package with every optional framework: what the Python tests exercise.
install-extras: venv
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation ".[torch,onnx,sklearn,ray,tests]"

# Installs those of the Debian packages $(1) that are missing.
apt_install = @missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	test -z "$$missing" || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; }

system-deps:
	$(call apt_install,libgtest-dev libmpfr-dev)

fuzz-deps:
	$(call apt_install,clang libclang-rt-14-dev)

windows-deps:
	$(call apt_install,g++-mingw-w64-x86-64-posix wine64 googletest)

arm64-deps:
	$(call apt_install,g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user googletest)

# Configures build directory $(1) with CMake arguments $(2) and builds it.
cmake_build = $(WITH_VENV) cmake -S . -B $(1) -G Ninja $(2) && $(WITH_VENV) cmake --build $(1)
run_ctest   = $(WITH_VENV) ctest --test-dir $(1) --output-on-failure

test-cpp: system-deps venv
	$(call cmake_build,$(CPP_BUILD),$(CMAKE_ARGS))
	$(call run_ctest,$(CPP_BUILD))

# The library alone (no tests, benchmarks or Python) installed with its
# headers and CMake package under $(PACKAGE_BUILD)/<kind>/prefix, static and
# shared; examples/cpp built against each as a project of its own and run on
# examples/cpp/digits.txt; its printout checked against the Python Session's
# on the same digits, bit for bit, and the shared library's exports.
package_check = $(WITH_VENV) cmake -S . -B $(PACKAGE_BUILD)/$(1)/library -G Ninja \
	  -DQEN_BUILD_TESTS=OFF -DQEN_BUILD_BENCH=OFF -DBUILD_SHARED_LIBS=$(2) -DCMAKE_INSTALL_LIBDIR=lib $(CMAKE_ARGS) && \
	$(WITH_VENV) cmake --build $(PACKAGE_BUILD)/$(1)/library --target $(3) && \
	$(WITH_VENV) cmake --install $(PACKAGE_BUILD)/$(1)/library --prefix $(PACKAGE_BUILD)/$(1)/prefix && \
	$(WITH_VENV) cmake -S examples/cpp -B $(PACKAGE_BUILD)/$(1)/example -G Ninja \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/$(PACKAGE_BUILD)/$(1)/prefix && \
	$(WITH_VENV) cmake --build $(PACKAGE_BUILD)/$(1)/example && \
	$(PACKAGE_BUILD)/$(1)/example/classify_digits examples/digits.qen examples/cpp/digits.txt >$(PACKAGE_BUILD)/$(1)/printout.txt && \
	cat $(PACKAGE_BUILD)/$(1)/printout.txt && \
	$(PY) tests/cpp/check_cpp_package.py $(PACKAGE_BUILD)/$(1)/printout.txt $(4)
test-cpp-package: install
	$(call package_check,static,OFF,qen_runtime,)
	$(call package_check,shared,ON,qen_runtime_shared,$(PACKAGE_BUILD)/shared/prefix/lib/libqen.so)

# Every float through each variant's expf and tanhf (the scalar one too)
# against an independent correctly rounded reference (MPFR near rounding
# boundaries), in the Release build of test-cpp, on every core.
exhaustive: system-deps venv
	$(WITH_VENV) cmake -S . -B $(CPP_BUILD) -G Ninja $(CMAKE_ARGS)
	$(WITH_VENV) cmake --build $(CPP_BUILD) --target libm_exhaustive
	$(CPP_BUILD)/tests/cpp/libm_exhaustive

# The AVX-512 kernels on CPUs without AVX-512: built from AVX2 and FMA
# instructions by Debian's SIMDe (-DQEN_EMULATE_AVX512=ON), they run the C++
# tests, but for the two that read the real CPU and the objects' instructions,
# and the exhaustive check.
test-avx512-emulated: system-deps venv
	$(call apt_install,libsimde-dev)
	$(call cmake_build,$(EMU_BUILD),-DQEN_EMULATE_AVX512=ON $(CMAKE_ARGS))
	$(WITH_VENV) ctest --test-dir $(EMU_BUILD) --output-on-failure -E 'CpuFeatures|kernels_have_no_fused_multiply_add'
	$(EMU_BUILD)/tests/cpp/libm_exhaustive avx512

# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: system-deps venv
	$(call cmake_build,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEN_SANITIZE=ON $(CMAKE_ARGS))
	$(call run_ctest,$(ASAN_BUILD))

# The tests that run kernels on several threads, built with ThreadSanitizer,
# then the hostile-use Python tests (threads, fork, signals, exit) on the
# extension module so built, ahead of the installed one (about two and a half
# minutes on two cores, most of it the build).
TSAN_TESTS := kernels_test engine_test
test-tsan: system-deps install
	$(WITH_VENV) cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEN_TSAN=ON -DQEN_BUILD_BENCH=OFF \
	  -DQEN_BUILD_PYTHON=ON -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) $(CMAKE_ARGS)
	$(WITH_VENV) cmake --build $(TSAN_BUILD) --target $(TSAN_TESTS) _qen_core
	@for t in $(TSAN_TESTS); do \
	  TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/cpp/$$t --gtest_filter='*Thread*' --gtest_brief=1 || exit 1; \
	done
	PYTHONPATH=$(TSAN_BUILD)/bindings LD_PRELOAD=$$($${CXX:-c++} -print-file-name=libtsan.so) TSAN_OPTIONS=halt_on_error=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python/test_hostile_use.py

# The C++ tests cross-built for 64-bit Windows, GoogleTest with them from
# Debian's sources, and run by ctest under Wine, whose prefix is made in
# $(WIN_BUILD)/wine on the first run.
test-windows: windows-deps venv
	$(call cmake_build,$(WIN_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DQEN_GTEST_SOURCES=/usr/src/googletest -DQEN_BUILD_BENCH=OFF)
	$(call run_ctest,$(WIN_BUILD))

# The C++ tests cross-built for 64-bit ARM Linux (the NEON kernels),
# GoogleTest with them from Debian's sources, and run by ctest under
# qemu-user; then the aarch64 wheel in a Debian arm64 root.
test-arm64: arm64-deps venv
	$(call cmake_build,$(ARM64_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DQEN_GTEST_SOURCES=/usr/src/googletest -DQEN_BUILD_BENCH=OFF)
	$(call run_ctest,$(ARM64_BUILD))
	$(MAKE) --no-print-directory test-arm64-package

# Wheels: the sdist and, for each CPython of WHEEL_PYTHONS found, a manylinux
# wheel for x86-64 and one for aarch64, built with zig (cmake/zig-*.cmake) by
# tests/wheels/build_wheel.py, which prints each wheel's tag. Then each
# x86-64 wheel, and the module built from the sdist, in a fresh virtual
# environment: the tests of test-python-versions and the output bits of
# certified models against the GCC build's.
WHEEL_TOOLS   := build/wheel-tools
WHEEL_PY      := $(WHEEL_TOOLS)/bin/python
WHEEL_PYTHONS := 3.10 3.11 3.12 3.13
WHEEL_ARCHS   := x86_64 aarch64
CERTIFIED     := build/wheels/certified
ARM64_ROOT    := build/arm64-root
# The version of Debian's python3 in the arm64 root.
ARM64_PYTHON  := 3.11

# Sets py to build/py$$v/venv/bin/python, the virtual environment of CPython
# $$v with the build tools, made when missing; py is empty when no python$$v is found.
version_venv = exe=$$(python3 tests/python/interpreters.py $$v); py=; \
	if [ -n "$$exe" ]; then py=build/py$$v/venv/bin/python; \
	  { test -x $$py || $$exe -m venv build/py$$v/venv; } && \
	  $$py -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt || exit 1; fi

wheel-tools:
	$(call apt_install,libgcc-s1-arm64-cross)
	@test -x $(WHEEL_PY) || python3 -m venv $(WHEEL_TOOLS)
	$(WHEEL_PY) -m pip install --quiet --disable-pip-version-check -r requirements-wheels.txt

# Certified models and their output bits from the GCC build: what every
# wheel must reproduce.
wheel-reference: install
	$(PY) tests/wheels/digests.py write $(CERTIFIED)
	$(PY) tests/wheels/digests.py $(CERTIFIED) >build/wheels/digests.txt

wheels: wheel-tools wheel-reference
	rm -rf dist
	nice $(WHEEL_PY) -m build --sdist --outdir dist . >/dev/null
	@for v in $(WHEEL_PYTHONS); do $(version_venv); \
	  if [ -z "$$py" ]; then echo "Python $$v: no python$$v found, no wheels"; continue; fi; \
	  for arch in $(WHEEL_ARCHS); do nice $(WHEEL_PY) tests/wheels/build_wheel.py $$arch $$py dist || exit 1; done; \
	done
	@summary=""; for v in $(WHEEL_PYTHONS); do \
	  exe=$$(python3 tests/python/interpreters.py $$v); test -n "$$exe" || continue; \
	  rm -rf build/wheels/venv$$v && $$exe -m venv build/wheels/venv$$v && \
	  result=$$(tests/wheels/test_wheel.sh build/wheels/venv$$v dist/*-cp$$(echo $$v | tr -d .)-*x86_64.whl \
	    $(VERSION_TESTS)) || { echo "$$result"; exit 1; }; \
	  summary="$$summary\nPython $$v x86-64 wheel: $$result"; \
	done; \
	rm -rf build/wheels/venv-sdist && python3 -m venv build/wheels/venv-sdist && \
	result=$$(nice tests/wheels/test_wheel.sh build/wheels/venv-sdist dist/*.tar.gz \
	  tests/python/test_module_surface.py tests/python/test_package_session.py) || { echo "$$result"; exit 1; }; \
	printf '%b\n' "$$summary\nsdist, built here: $$result"

# The C++ core and its C++ tests compiled and linked by zig for macOS on
# ARM64 and on x86-64 (build/<target>): running them needs a Mac.
MACOS_TARGETS := aarch64-macos x86_64-macos
check-macos: wheel-tools venv
	$(call apt_install,googletest)
	@zig=$$($(WHEEL_PY) -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig; \
	for t in $(MACOS_TARGETS); do \
	  $(call cmake_build,build/$$t,-DCMAKE_TOOLCHAIN_FILE=cmake/zig-$$t.cmake -DQEN_ZIG=$$zig \
	    -DQEN_GTEST_SOURCES=/usr/src/googletest -DQEN_BUILD_BENCH=OFF) || exit 1; \
	done

$(ARM64_ROOT):
	$(call apt_install,debootstrap qemu-user-static binfmt-support)
	$(SUDO) nice tests/arm64/make_root.sh $@

# The aarch64 wheel for Debian's python3 installed in the arm64 root, where
# the module and package tests that need no framework run under qemu-user,
# the certified models give the GCC build's bits and `qen verify` holds.
# tests/arm64/run_in_root.sh runs any other command there.
test-arm64-package: wheel-tools wheel-reference $(ARM64_ROOT)
	@v=$(ARM64_PYTHON); $(version_venv); nice $(WHEEL_PY) tests/wheels/build_wheel.py aarch64 $$py dist
	$(SUDO) tests/arm64/run_in_root.sh $(ARM64_ROOT) tests/wheels/test_wheel.sh /opt/venv \
	  dist/*-cp$(subst .,,$(ARM64_PYTHON))-*aarch64.whl $(VERSION_TESTS)

test-python: install-extras
	$(PY) -m pytest

# The core and package tests once on each other CPython version found
# (tests/python/interpreters.py), each in its own virtual environment with the
# build tools, numpy and pytest: the converter and Ray tests need the
# frameworks pinned for 3.11 and stay in test-python. The module is built once
# per version (build/<wheel tag>); a version not found is skipped.
OTHER_PYTHONS := 3.10 3.12 3.13
VERSION_TESTS := $(addprefix tests/python/test_,module_surface.py array_conversion.py hostile_use.py \
  malformed_files.py threads.py package_session.py package_writer.py package_cli.py)
test-python-versions:
	@summary=""; failed=0; \
	for v in $(OTHER_PYTHONS); do \
	  exe=$$(python3 tests/python/interpreters.py $$v); \
	  if [ -z "$$exe" ]; then summary="$$summary\nPython $$v: skipped, no python$$v found"; continue; fi; \
	  dir=build/py$$v; py=build/py$$v/venv/bin/python; rm -f $$dir/pytest.log $$dir/status; \
	  echo "== Python $$v: $$exe"; \
	  if { test -x $$py || $$exe -m venv $$dir/venv; } && \
	     $$py -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt && \
	     $$py -m pip install --quiet --disable-pip-version-check --no-build-isolation .; then \
	    { $$py -m pytest $(VERSION_TESTS); echo $$? >$$dir/status; } | tee $$dir/pytest.log; \
	    result=$$(tail -n 1 $$dir/pytest.log | sed 's/^=* *//; s/ *=*$$//'); \
	  else result="build failed"; fi; \
	  test "$$(cat $$dir/status 2>/dev/null)" = 0 || failed=1; \
	  summary="$$summary\nPython $$v: $$result"; \
	done; \
	printf '%b\n' "Tests per Python version (3.11: test-python):$$summary"; exit $$failed

fuzz-build: fuzz-deps install
	$(call cmake_build,$(FUZZ_BUILD),-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEN_FUZZ=ON)
	$(PY) tests/fuzz/make_seeds.py $(FUZZ_BUILD)/seeds

# Runs each target for FUZZ_TIME seconds on its growing corpus, the seeds and
# its regression inputs. A finding is saved in build/fuzz/findings and fails the run.
fuzz-smoke: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	  $(FUZZ_BUILD)/tests/fuzz/$$t -max_total_time=$(FUZZ_TIME) -timeout=10 -print_final_stats=1 \
	    -dict=tests/fuzz/model.dict -artifact_prefix=$(FUZZ_BUILD)/findings/$$t- $(FUZZ_FLAGS) \
	    $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds $$(ls -d tests/fuzz/regressions/$$t 2>/dev/null) || exit 1; \
	done

# The Python reader of model files (qen.format.read_model and what qen inspect
# derives from it) for PY_FUZZ_TIME seconds, after replaying the findings kept
# in tests/fuzz/regressions/fuzz_read_model: with atheris where it installs for
# this Python, else with a seeded mutation loop. A finding fails the run.
PY_FUZZ_TIME ?= 45
fuzz-python: install
	@$(PIP) install --quiet --disable-pip-version-check atheris || \
	  echo "atheris does not install here: a seeded mutation loop instead"
	$(PY) tests/fuzz/fuzz_read_model.py --seconds $(PY_FUZZ_TIME)

# The longer local run: ten minutes per target unless FUZZ_TIME says otherwise.
fuzz: FUZZ_TIME = 600
fuzz: fuzz-smoke

# Benchmarks against numpy, ONNX Runtime (and PyTorch when installed). numpy's
# OpenBLAS is slowed by OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE where they are
# set, so both are unset for this command alone.
bench: install
	$(PIP) install --quiet --disable-pip-version-check -r bench/requirements.txt
	$(WITH_VENV) cmake -S . -B $(BENCH_BUILD) -G Ninja -DQEN_BUILD_TESTS=OFF $(CMAKE_ARGS)
	$(WITH_VENV) cmake --build $(BENCH_BUILD) --target qen_machine_peak qen_replaced_libm
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/run_bench.py $(BENCH_BUILD)/bench/qen_machine_peak \
	  $(BENCH_BUILD)/bench/libqen_replaced_libm.so

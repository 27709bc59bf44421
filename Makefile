# One command on a fresh machine: `make test`.
#
# PYTHON may be given on the command line; otherwise the first CPython 3.12
# found on PATH or under pyenv is used (the default python3 may be older).

SHELL := /bin/bash
# Build and test dependencies (the test extra of pyproject.toml, plus the
# build backend and tools for --no-build-isolation builds).  tqdm and Dask
# are optional extras of the package; their tests need them.
DEV_DEPS := "scikit-build-core>=0.10" "cmake>=3.18" ninja "numpy>=1.26" "pandas>=2.1" \
	"pytest>=7" "hypothesis>=6" scipy matplotlib mypy tqdm "dask[dataframe]" distributed
VENV  := .venv
VPY   := $(VENV)/bin/python
NATIVE_BUILD := build/native

PYTHON ?= $(shell for c in python3.12 $$(pyenv root 2>/dev/null)/versions/3.12*/bin/python3.12 \
	$$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do \
	  if "$$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then \
	    echo "$$c"; break; fi; done)

AARCH64_BUILD := build/aarch64
AARCH64_TOOLCHAIN := $(CURDIR)/cmake/aarch64-linux-gnu.cmake
AARCH64_GTEST := $(CURDIR)/$(AARCH64_BUILD)/googletest-root

ASAN_BUILD := build/asan
ASAN_SITE  := build/asan-site
# The interpreter is not instrumented: the sanitizer runtimes must be loaded
# first.  Python's own allocations at exit are not leaks of ours, so leak
# detection is left to the native tests, where LeakSanitizer runs by default.
# Kernels are tested with sizes no allocator can serve: malloc must say so.
ASAN_NATIVE_ENV := ASAN_OPTIONS=allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_ENV := ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"

.PHONY: test test-asan test-aarch64 demo bench venv gtest aarch64-tools install native-test pytest clean

test: install native-test pytest

$(VENV)/.stamp: pyproject.toml Makefile
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found; run make PYTHON=/path/to/python3.12"; exit 1; }
	test -x $(VPY) || "$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install --upgrade pip
	$(VPY) -m pip install $(DEV_DEPS)
	touch $@

venv: $(VENV)/.stamp

# GoogleTest for the native tests comes from Debian when it is missing.
gtest:
	@if ! ls /usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then \
	  echo "installing GoogleTest with apt-get"; \
	  apt-get -o DPkg::Lock::Timeout=600 update && apt-get -o DPkg::Lock::Timeout=600 install -y libgtest-dev; fi

# The package, built by scikit-build-core into the virtual environment.  The
# lock keeps concurrent builds from sharing the build directory.
install: venv
	flock build.lock $(VPY) -m pip install --no-build-isolation --no-deps .

native-test: venv gtest
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DKSX_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j2
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure

# The main job: the diagnostics report on the bundled US macro data.
demo: install
	$(VPY) -P -m Kestrix.diagnostics

# Timings against plain NumPy formulations, the roofline probe, call overhead;
# then the Python API's cost over the kernels it calls.
bench: install
	$(VPY) -P benchmarks/bench.py
	$(VPY) -P benchmarks/api_overhead.py
	$(VPY) -P benchmarks/panel.py

# -P: never import the source tree in place of the installed package.
pytest: install
	$(VPY) -P -m pytest -q

# Everything again under AddressSanitizer and UndefinedBehaviorSanitizer: the
# native tests, and the pytest suite against an instrumented build of the
# extension installed beside (not over) the normal one.  The Dask cluster
# tests are left out there: their worker processes add nothing the in-process
# panel tests do not already run through the instrumented kernels.
test-asan: venv gtest
	flock build.lock $(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade \
	  --target $(ASAN_SITE) -C cmake.define.KSX_SANITIZE=ON -C build-dir=$(ASAN_BUILD)/wheel .
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD)/native -DKSX_NATIVE_TESTS=ON -DKSX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(ASAN_BUILD)/native -j2
	$(ASAN_NATIVE_ENV) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD)/native --output-on-failure
	$(ASAN_ENV) PYTHONPATH=$(ASAN_SITE) $(VPY) -P -c \
	  'import Kestrix._ckernels.diag._diag as m, sys; sys.exit("$(ASAN_SITE)" not in m.__file__)'
	$(ASAN_ENV) PYTHONPATH=$(ASAN_SITE) $(VPY) -P -m pytest -q --ignore=tests/test_panel_dask.py

# The cross compiler, the emulator and GoogleTest's sources come from Debian
# when any is missing.  The emulator is called by name: no binfmt_misc
# registration is wanted (nor available in every container).
aarch64-tools:
	@if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null || \
	    ! test -f /usr/src/googletest/CMakeLists.txt; then \
	  echo "installing the aarch64 cross compiler, qemu-user and GoogleTest's sources with apt-get"; \
	  apt-get -o DPkg::Lock::Timeout=600 update && apt-get -o DPkg::Lock::Timeout=600 install -y \
	    --no-install-recommends g++-aarch64-linux-gnu qemu-user googletest; fi

# The core, the kernels and the native tests cross-compiled for aarch64 and
# run under qemu-aarch64, GoogleTest built for the target from Debian's
# sources.  ctest there also runs the x86-64 bit-identity driver of the
# native build against the aarch64 one: every output bit of every operation
# must agree across the two architectures.
test-aarch64: venv gtest aarch64-tools
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DKSX_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j2 --target ksx_bitcheck
	$(VENV)/bin/cmake -S /usr/src/googletest -B $(AARCH64_BUILD)/googletest \
	  -DCMAKE_TOOLCHAIN_FILE=$(AARCH64_TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release \
	  -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX=$(AARCH64_GTEST) -Wno-deprecated
	$(VENV)/bin/cmake --build $(AARCH64_BUILD)/googletest -j2 --target install
	$(VENV)/bin/cmake -S . -B $(AARCH64_BUILD)/native -DCMAKE_TOOLCHAIN_FILE=$(AARCH64_TOOLCHAIN) \
	  -DKSX_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release -DGTest_DIR=$(AARCH64_GTEST)/lib/cmake/GTest \
	  -DKSX_BITCHECK_REFERENCE=$(CURDIR)/$(NATIVE_BUILD)/tests/native/ksx_bitcheck
	$(VENV)/bin/cmake --build $(AARCH64_BUILD)/native -j2
	$(VENV)/bin/ctest --test-dir $(AARCH64_BUILD)/native --output-on-failure

clean:
	rm -rf build $(VENV) build.lock

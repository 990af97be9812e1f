# Developer commands. Everything the project needs is installed from the package index into
# .venv by these rules; nothing has to be installed by hand.
PYTHON   ?= python3.11
VENV     ?= .venv
VPY      := $(VENV)/bin/python
PIP      := $(VPY) -m pip --disable-pip-version-check -q
BUILDDIR ?= build/release
# Warnings are errors (CI and local builds alike), so a warning never slips in unseen.
WERROR   ?= ON
PYTEST_ARGS ?=

.PHONY: all build test bench replay sanitize lint clean

all: test

# The environment is (re)made when pyproject.toml or the development distribution changes.
$(VENV)/.deps: pyproject.toml sim/pyproject.toml
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core==1.1.2" "cmake>=3.20" ninja
	$(PIP) install --no-build-isolation -Cbuild-dir=$(BUILDDIR) -Ccmake.define.ORVANE_WERROR=$(WERROR) ".[test]"
	$(PIP) install -e sim
	touch $@

# Incremental: CMake and Ninja keep their state in $(BUILDDIR); pip then installs the wheel.
build: $(VENV)/.deps
	$(PIP) install --no-build-isolation --no-deps -Cbuild-dir=$(BUILDDIR) \
		-Ccmake.define.ORVANE_WERROR=$(WERROR) .

test: build
	$(VPY) -m pytest -q $(PYTEST_ARGS)

$(VENV)/.bench: $(VENV)/.deps
	$(PIP) install --no-build-isolation -Cbuild-dir=$(BUILDDIR) ".[bench]"
	touch $@

bench: build $(VENV)/.bench
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) .pytest_cache

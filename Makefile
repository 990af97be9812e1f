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

# Replays the bundled trading day through the bridge and prints the summary.
# REPLAY_ARGS passes options on, e.g. make replay REPLAY_ARGS="--json".
REPLAY_ARGS ?=
replay: build
	$(VPY) -m tidesim.replay $(REPLAY_ARGS)

$(VENV)/.bench: $(VENV)/.deps
	$(PIP) install --no-build-isolation -Cbuild-dir=$(BUILDDIR) ".[bench]"
	touch $@

bench: build $(VENV)/.bench
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) .pytest_cache

# AddressSanitizer + UndefinedBehaviorSanitizer build of both modules, in a build directory
# and virtual environment of its own, tested in the ordinary interpreter with the sanitizer
# runtime preloaded. Leak detection is off (the interpreter's own allocations would drown the
# report); reference leaks are covered by the leak tests.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_LIB   = $(shell g++ -print-file-name=libasan.so)

$(ASAN_VENV)/.deps: pyproject.toml sim/pyproject.toml
	test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --upgrade pip
	$(ASAN_PY) -m pip --disable-pip-version-check -q install "scikit-build-core==1.1.2" "cmake>=3.20" ninja
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.ORVANE_SANITIZE=ON -Ccmake.build-type=Debug ".[test]"
	$(ASAN_PY) -m pip --disable-pip-version-check -q install -e sim
	touch $@

sanitize: $(ASAN_VENV)/.deps
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
		-Cbuild-dir=build/asan -Ccmake.define.ORVANE_SANITIZE=ON -Ccmake.build-type=Debug .
	LD_PRELOAD=$(ASAN_LIB) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ORVANE_SANITIZED=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Static analysis of the project's C++ sources (cppcheck from Debian when missing).
lint:
	command -v cppcheck >/dev/null || { apt-get update -qq && apt-get install -y -qq cppcheck; }
	cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --inline-suppr \
		--enable=warning,performance,portability \
		--suppress=missingIncludeSystem --suppress=unknownMacro \
		-I src/common -I src/utils/tidewell -I src/core/events \
		src/common src/core src/utils

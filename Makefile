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

.PHONY: all build test bench bench-instructions replay sanitize fuzz lint clean

all: test

# The environment is (re)made when pyproject.toml or the development distribution changes.
$(VENV)/.deps: pyproject.toml sim/pyproject.toml rec/pyproject.toml
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core==1.1.2" "cmake>=3.20" ninja
	$(PIP) install --no-build-isolation -Cbuild-dir=$(BUILDDIR) -Ccmake.define.ORVANE_WERROR=$(WERROR) ".[test]"
	$(REC_INSTALL)
	$(PIP) install -e "sim[plot]"
	touch $@

# The recorder's distribution, editable, with its native parts built by CMake (in
# rec/build); rebuilt when its sources change.
REC_INSTALL = $(PIP) install --no-build-isolation -Ccmake.define.TIDEREC_WERROR=$(WERROR) -e rec
REC_SOURCES := rec/CMakeLists.txt $(wildcard rec/src/*.cpp rec/src/*.hpp rec/src/include/ov/*.hpp)
$(VENV)/.rec: $(VENV)/.deps $(REC_SOURCES)
	$(REC_INSTALL)
	touch $@

# Incremental: CMake and Ninja keep their state in $(BUILDDIR); pip then installs the wheel.
build: $(VENV)/.deps $(VENV)/.rec
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

# BENCH_ARGS passes options on to bench/run.py: module names, --rows TEXT (only the rows whose
# "group: operation vs baseline" contains TEXT), and for instruction counts --check (count
# twice, fail unless equal), --calls SHORT,LONG and --jobs N.
BENCH_ARGS ?=
bench: build $(VENV)/.bench
	$(VPY) bench/run.py $(BENCH_ARGS)

# Instructions per call under valgrind (cachegrind without cache simulation) beside the
# baseline's, instead of times: counts that repeat exactly where times move by 20-30%. The whole
# table takes a long while; narrow it, e.g. make bench-instructions BENCH_ARGS="--rows on_snapshot".
bench-instructions: build $(VENV)/.bench
	command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
	$(VPY) bench/run.py --instructions $(BENCH_ARGS)

clean:
	rm -rf build rec/build $(VENV) .pytest_cache

# AddressSanitizer + UndefinedBehaviorSanitizer build of both modules, in a build directory
# and virtual environment of its own, tested in the ordinary interpreter with the sanitizer
# runtime preloaded. Leak detection is off (the interpreter's own allocations would drown the
# report); reference leaks are covered by the leak tests. A huge allocation that fails returns
# NULL (MemoryError, as in the ordinary build) instead of aborting. pytest captures only
# Python-level output (--capture=sys): a report, written by the runtime to the process's
# stderr just before it aborts, then reaches the terminal instead of a capture file that dies
# with the process. ORVANE_SANITIZED=1 lets the memory-growth measurements skip.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_PIP  := $(ASAN_PY) -m pip --disable-pip-version-check -q
ASAN_LIB   = $(shell $(CXX) -print-file-name=libasan.so)
ASAN_BUILD := --no-build-isolation -Cbuild-dir=build/asan -Ccmake.define.ORVANE_SANITIZE=ON \
	-Ccmake.build-type=Debug

$(ASAN_VENV)/.deps: pyproject.toml sim/pyproject.toml rec/pyproject.toml
	test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PIP) install --upgrade pip
	$(ASAN_PIP) install "scikit-build-core==1.1.2" "cmake>=3.20" ninja
	$(ASAN_PIP) install $(ASAN_BUILD) ".[test]"
	$(ASAN_REC_INSTALL)
	$(ASAN_PIP) install -e sim
	touch $@

# The recorder's native capture under the sanitizers too (its own build directory, rec/build/asan).
ASAN_REC_INSTALL = $(ASAN_PIP) install --no-build-isolation -Cbuild-dir=build/asan \
	-Ccmake.define.TIDEREC_SANITIZE=ON -Ccmake.build-type=Debug -e rec

sanitize: $(ASAN_VENV)/.deps
	$(ASAN_PIP) install $(ASAN_BUILD) --no-deps .
	$(ASAN_REC_INSTALL)
	test -f "$(ASAN_LIB)"
	LD_PRELOAD=$(ASAN_LIB) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ORVANE_SANITIZED=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

# Static analysis of the project's C++ sources (cppcheck from Debian when missing). The
# interpreter's API is described to it by its python library configuration; a file it cannot
# parse (an unknown macro) fails the pass instead of being skipped in silence.
lint:
	command -v cppcheck >/dev/null || { apt-get update -qq && apt-get install -y -qq cppcheck; }
	cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --inline-suppr \
		--enable=warning,performance,portability --inconclusive --library=python \
		--suppress=missingIncludeSystem -DTIDEREC_HAVE_ZLIB \
		-I src/common -I rec/src/include -I src/utils/tidewell -I src/core/events \
		src/common src/core src/utils rec/src

# Coverage-guided fuzzing (fuzz/README.md): each harness of FUZZ_TARGETS runs for FUZZ_SECONDS
# under AddressSanitizer + UndefinedBehaviorSanitizer, from the committed seed corpus and the
# regression inputs, growing its own corpus in build/fuzz/corpus. The recorder's native
# modules are built by Debian's clang with coverage instrumentation (TIDEREC_FUZZ) in a build
# directory and virtual environment of their own; the interpreter runs with the fuzzer's
# runtime preloaded (the sanitizers and libFuzzer in one library, shipped by atheris), so the
# extension's coverage counters feed the fuzzer. A crash, a sanitizer report or a decoding
# that differs from the Python one stops the run and leaves the input in build/fuzz/artifacts.
# A harness's tokens (fuzz/TARGET.dict) are handed to the fuzzer's mutations. At the end, the share of the lines of each
# file of the decoder, the capture, the line encoder and the event encoder that all the harnesses together executed
# (gcov's counts, kept by the build).
FUZZ_SECONDS ?= 180
FUZZ_TARGETS ?= json_lines binary_lines session_files capture encoder events
FUZZ_ARGS ?=
FUZZ_VENV := .venv-fuzz
FUZZ_PY   := $(FUZZ_VENV)/bin/python
FUZZ_PIP  := $(FUZZ_PY) -m pip --disable-pip-version-check -q
FUZZ_REC_INSTALL = CC=clang CXX=clang++ $(FUZZ_PIP) install --no-build-isolation \
	-Cbuild-dir=build/fuzz -Ccmake.define.TIDEREC_FUZZ=ON -Ccmake.build-type=Debug -e "rec[fuzz]"

$(FUZZ_VENV)/.deps: pyproject.toml sim/pyproject.toml rec/pyproject.toml
	command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang libfuzzer-14-dev; }
	test -x $(FUZZ_PY) || $(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PIP) install --upgrade pip
	$(FUZZ_PIP) install "scikit-build-core==1.1.2" "cmake>=3.20" ninja
	$(FUZZ_REC_INSTALL)
	$(FUZZ_PIP) install -e sim
	touch $@

$(FUZZ_VENV)/.rec: $(FUZZ_VENV)/.deps $(REC_SOURCES)
	$(FUZZ_REC_INSTALL)
	touch $@

LLVM_COV = $(shell command -v llvm-cov-14 || command -v llvm-cov)

fuzz: $(FUZZ_VENV)/.rec
	mkdir -p build/fuzz/artifacts
	find rec/build/fuzz -name '*.gcda' -delete
	set -e; runtime="$$($(FUZZ_PY) -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"; \
	for target in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$target; \
		echo "== fuzz $$target, $(FUZZ_SECONDS) s"; \
		LD_PRELOAD="$$runtime" PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:handle_abort=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(FUZZ_PY) fuzz/run.py $$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=build/fuzz/artifacts/$$target- -timeout=20 -rss_limit_mb=4096 \
			$$(test -f fuzz/$$target.dict && echo -dict=fuzz/$$target.dict) $(FUZZ_ARGS) \
			build/fuzz/corpus/$$target $$(ls -d fuzz/corpus/$$target fuzz/regressions/$$target 2>/dev/null); \
	done
	@echo "== lines of the native modules that the run executed (gcov)"
	@for obj in _lines.dir/src/lines _capture.dir/src/capture _capture.dir/src/line_encoder _events.dir/src/event_encoder; do \
		$(LLVM_COV) gcov -n -o rec/build/fuzz/CMakeFiles/$$obj.cpp.gcno rec/src/$${obj##*/}.cpp | \
			grep --no-group-separator -A1 "^File '.*rec/src/[a-z_]*\.[ch]pp'"; \
	done

"""The fuzz harnesses (fuzz/) in the ordinary test run: every input that ever made one fail
(fuzz/regressions/TARGET/*) and the committed seed corpus are replayed through it, each target
in a child process (an input may crash the interpreter), with no known finding excused.

An input named known-KEY-* belongs to a finding listed in fuzz/common.py's KNOWN_FINDINGS whose
mend is not merged yet: it must still fail (strictly: once the mend is in, the test says so,
and the finding's line in KNOWN_FINDINGS is deleted). Under `make sanitize` the children
inherit the sanitizer runtime, so an input that reads out of bounds fails there too."""
from __future__ import annotations

import pathlib
import subprocess
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
from common import KNOWN_FINDINGS  # noqa: E402

TARGETS = ["json_lines", "binary_lines", "session_files", "capture", "encoder", "events"]


def replay(target: str, paths: list[pathlib.Path]) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(FUZZ / "run.py"), "--replay", target,
                           *map(str, paths)], capture_output=True, text=True, timeout=600)


def regressions() -> list:
    out = []
    for target in TARGETS:
        for path in sorted((FUZZ / "regressions" / target).glob("*")):
            marks = []
            if path.name.startswith("known-"):
                key = path.name.split("-")[1]
                if key in KNOWN_FINDINGS:
                    marks.append(pytest.mark.xfail(strict=True, reason=KNOWN_FINDINGS[key]))
            out.append(pytest.param(target, path, marks=marks, id=f"{target}/{path.name}"))
    return out


@pytest.mark.parametrize("target, path", regressions())
def test_each_input_that_once_failed_now_passes(target, path):
    proc = replay(target, [path])
    assert proc.returncode == 0, proc.stderr[-3000:]


@pytest.mark.parametrize("target", TARGETS)
def test_the_seed_corpus_replays_cleanly(target):
    seeds = sorted((FUZZ / "corpus" / target).glob("seed-*"))
    assert len(seeds) >= 10
    proc = replay(target, seeds)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert f"replayed {len(seeds)} input(s)" in proc.stdout


SABOTAGE = {
    # the Python side of each comparison made to differ: the harness must say so
    "json_lines": "import harness_lines as h, tiderec.schema as s\n"
                  "h.REFERENCE.records = lambda n, f: s.adopt_record(n, {**f, 'x': 1})\n",
    "binary_lines": "import harness_lines as h, tiderec.schema as s\n"
                    "h.REFERENCE = h.Decoder(records=lambda n, f: s.adopt_record(n, {**f, 'x': 1}))\n",
    "session_files": "import harness_session as h\n"
                     "real = h.read\n"
                     "h.read = lambda native: real(native) + ([] if native else ['extra'])\n",
    "capture": "import harness_capture as h\n"
               "real = h.call\n"
               "def call(strategy, rec, r):\n"
               "    raised, items = real(strategy, rec, r)\n"
               "    return raised, items + [('extra',)] if rec is h.PYTHON_REC else items\n"
               "h.call = call\n",
    "encoder": "import harness_encoder as h\n"
               "real = h.python_line\n"
               "h.python_line = lambda item: (lambda line: line and line + b' ')(real(item))\n",
    "events": "import harness_events as h\n"
              "real = h.digest._packed\n"
              "h.digest._packed = lambda fields: real(fields) + b'x'\n",
}


@pytest.mark.parametrize("target", TARGETS)
def test_a_harness_fails_when_the_two_sides_differ(target):
    seeds = sorted((FUZZ / "corpus" / target).glob("seed-*"))[:4]
    code = ("import os, sys\n"
            f"sys.path.insert(0, {str(FUZZ)!r})\n"
            "os.environ['FUZZ_STRICT'] = '1'\n"
            + SABOTAGE[target] +
            "import run\n"
            f"sys.exit(run.replay({target!r}, {[str(s) for s in seeds]!r}))\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 1, proc.stdout + proc.stderr[-3000:]
    assert "Failure" in proc.stderr and f"FAILED {target}" in proc.stderr

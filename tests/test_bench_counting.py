"""The instruction-count mode of bench/run.py: every benchmark row it counts must name probes that
a child process, running the module again from the start, reaches with the same numbers (a
numbering that drifted between the two would count the wrong operation). The children here run
without valgrind: what is checked is the plan and the exits, not the counts."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

# The benchmark modules whose rows are counted (the whole-replay and cluster rows, which run
# threads or whole sessions, are not; the recorder's are, with its writer thread asleep).
COUNTED = ["bench_callbacks", "bench_events", "bench_order_callbacks", "bench_queries",
           "bench_recorder", "bench_ring_buffer"]

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"

PLAN = """
import json, sys
sys.path.insert(0, sys.argv[1])
sys.argv = sys.argv[:1]
import run
out = {}
for module, row in run.plan([], []):
    for p in row.probes:
        if p is not None:
            out.setdefault(module, []).append([p.probe, p.share, p.per])
print(json.dumps(out))
"""


def child(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300,
                          cwd=BENCH.parent)


# Planning runs every benchmark module once: minutes under the sanitizer, which checks the
# modules themselves elsewhere.
pytestmark = pytest.mark.skipif(os.environ.get("ORVANE_SANITIZED") == "1",
                                reason="benchmark harness, not run under the sanitizer")


@pytest.fixture(scope="module")
def planned():
    pytest.importorskip("numpy_ringbuffer")
    proc = child("-c", PLAN, str(BENCH))
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_plan_numbers_each_modules_probes_once(planned):
    assert set(planned) == set(COUNTED)
    for module, probes in planned.items():
        numbers = [n for n, _, _ in probes]
        assert sorted(numbers) == list(range(len(numbers))), module
        assert all(0 < share <= 1 and per >= 1 for _, share, per in probes), module


@pytest.mark.parametrize("module", COUNTED)
def test_count_child_reaches_the_last_probe_and_no_further(planned, module):
    last = max(n for n, _, _ in planned[module])
    reached = child(str(BENCH / "run.py"), "--count-child", module, str(last), "3")
    assert reached.returncode == 0, reached.stderr
    beyond = child(str(BENCH / "run.py"), "--count-child", module, str(last + 1), "3")
    assert beyond.returncode == 3 and "never reached" in beyond.stderr


def test_counted_probe_runs_exactly_the_calls_it_is_given_and_ends_the_process():
    # Earlier probes return without running; the chosen one runs the calls run.py computed
    # (its share already applied), and nothing after it runs.
    code = (f"import sys; sys.path.insert(0, {str(BENCH)!r}); import common\n"
            "common.set_mode('count', 1, 7)\n"
            "common.probe(lambda n: print('first', n, flush=True), 0.5)\n"
            "common.probe(lambda n: print('second', n, flush=True), 0.05)\n"
            "print('after', flush=True)\n")
    proc = child("-c", code)
    assert (proc.returncode, proc.stdout.split()) == (0, ["second", "7"])

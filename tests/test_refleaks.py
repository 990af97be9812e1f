"""Reference and memory leaks of every public function and callback of the bridge.

Each row of helpers_hardening.ROWS drives one path of one function with instrumented
stand-ins whose results are fixed objects. After many calls, and once the event queue and the
caches are emptied, the reference counts of everything passed in and of every stand-in result
must be where they were, and no object or memory block may have been left behind. The same
holds on every failure path: each operation of the call on a stand-in made to raise in turn,
and each module global replaced by one that raises.
"""
from __future__ import annotations

import os
import sys

import pytest

from helpers_hardening import (PUBLIC_FUNCTIONS, ROWS, SANITIZED, Patcher, Raiser, World,
                               bridge, global_candidates, measure)

# Calls per measured path: a leak of one object per call stands far above the noise.
N_SUCCESS = 60 if SANITIZED else 600
N_FAILURE = 30 if SANITIZED else 200
N_FLAT = 100_000


@pytest.fixture
def worlds():
    made = []

    def make(row, instrumented=True):
        w = World(instrumented, row.clock_time)
        made.append(w)
        return w, row.make(w)
    yield make
    for w in made:
        w.close()


def row_params(rows):
    return [pytest.param(r, id=r.id) for r in rows]


def test_every_public_function_and_callback_has_rows():
    tw = bridge()
    methods = [n for n, v in vars(tw.VornStrategy).items() if callable(v)]
    public = set(methods) | {"get_current_bar", "get_current_tick", "history_bars",
                             "history_ticks"}
    assert len(methods) == 27
    assert set(PUBLIC_FUNCTIONS) == public
    flat = sorted(r.function for r in ROWS if r.flat)
    assert flat == sorted(public), "each function needs exactly one row for the 100,000 calls"


def _fail(row, problems):
    pytest.fail(f"{row.id}:\n  " + "\n  ".join(problems), pytrace=False)


@pytest.mark.parametrize("row", row_params(ROWS))
def test_success_path_releases_every_reference(worlds, row):
    w, go = worlds(row)
    m = measure(w, go, N_SUCCESS, row.expected)
    outcome = set(m.outcomes)
    assert outcome == ({t.__name__ for t in row.expected} or {"ok"}), m.outcomes
    if problems := m.problems(N_SUCCESS):
        _fail(row, problems)


@pytest.mark.parametrize("row", row_params(ROWS))
def test_each_failing_step_releases_every_reference(worlds, row):
    """Operation k of the call (an attribute read or write on a record or stand-in, a call of
    a converter, constructor, logger or SDK operation) raises, for every k in turn."""
    w, go = worlds(row)
    w.run(go, 2, row.expected)
    outcome, trace = w.probe(go, row.expected)
    if not trace:
        pytest.skip("the path performs no operation on an instrumented stand-in")
    problems = []
    for k, step in enumerate(trace, 1):
        w.plan.fail_at = k
        m = measure(w, go, N_FAILURE, row.expected)
        # The bridge catches only the presence tests of start-up and the per-position guard;
        # everywhere else the failure reaches the caller.
        if not set(m.outcomes) <= {"Boom", "ok"} | {t.__name__ for t in row.expected}:
            problems.append(f"step {k} ({step}): outcomes {dict(m.outcomes)}")
        problems += [f"step {k} ({step}): {p}" for p in m.problems(N_FAILURE)]
    if problems:
        _fail(row, problems)


@pytest.mark.parametrize("row", row_params(ROWS))
def test_each_failing_global_releases_every_reference(worlds, row):
    """Each module global the path uses is replaced, in turn, by one whose every use raises;
    so is AlgoControlType of the SDK's enumerations, which the control callback imports, and
    the SDK base class's constructor."""
    w, go = worlds(row)
    tw = w.tw
    enums = sys.modules["pyvorn.enums"]
    targets = [(tw, n) for n in global_candidates(tw)] + [(enums, "AlgoControlType"),
                                                          (tw.VornStrategy.__base__, "__init__")]
    problems, used = [], 0
    usual, _ = w.probe(go, (Exception,))
    for owner, name in targets:
        patch = Patcher()
        patch.setattr(owner, name, Raiser(name))
        try:
            outcome, _ = w.probe(go, (Exception,))
            if outcome == usual:
                continue  # not used on this path
            used += 1
            m = measure(w, go, N_FAILURE, (Exception,))
        finally:
            patch.restore()
        if "SystemError" in m.outcomes:
            problems.append(f"{name}: SystemError {dict(m.outcomes)}")
        problems += [f"{name}: {p}" for p in m.problems(N_FAILURE)]
    if row.function not in ("on_initialize", "on_trade"):
        assert used, "the path uses no module global"
    if problems:
        _fail(row, problems)


def test_missing_algo_control_type_releases_every_reference(worlds):
    """The control callback's import of AlgoControlType fails when the SDK lacks it."""
    row = next(r for r in ROWS if r.id == "on_control_algo_parent_order_res[Pause]")
    w, go = worlds(row)
    patch = Patcher()
    patch.delattr(sys.modules["pyvorn.enums"], "AlgoControlType")
    try:
        m = measure(w, go, N_FAILURE, (ImportError,))
    finally:
        patch.restore()
    assert set(m.outcomes) == {"ImportError"}
    assert not m.problems(N_FAILURE), m.problems(N_FAILURE)


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="memory growth is not measured under the sanitizer")
@pytest.mark.parametrize("row", row_params([r for r in ROWS if r.flat]))
def test_memory_stays_flat_over_100000_calls(worlds, row):
    import gc

    w, go = worlds(row, instrumented=False)
    chunks, size = 10, N_FLAT // 10
    readings = []
    for _ in range(chunks):
        outcome = w.run(go, size, row.expected)
        assert set(outcome) <= {"ok"} | {t.__name__ for t in row.expected}, outcome
        w.cleanup()
        gc.collect()
        readings.append((sys.getallocatedblocks(), len(gc.get_objects()), _rss()))
    (b1, o1, r1), (b2, o2, r2) = readings[0], readings[-1]
    # Between the first and the last reading lie 90,000 calls: one object kept per call would
    # add 90,000 blocks; the limits leave room for the interpreter's own caches only.
    assert b2 - b1 < 500, readings
    assert o2 - o1 < 100, readings
    assert r2 - r1 < 2 * 1024 * 1024, readings

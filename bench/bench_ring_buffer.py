"""The event queue's RingBuffer: append against collections.deque(maxlen=N).append (the C floor
for a bounded queue) and numpy_ringbuffer's RingBuffer; bulk removal against single pops.

Appends are measured on full buffers of the event queue's capacity, the steady state of a queue
that nobody drains: every append also discards the oldest entry. The items stay referenced by
the source list, so discarding one frees nothing in any of the contenders.
"""
from __future__ import annotations

import collections
import time

import common
from common import Row, ns_per_op

import tidesim

tidesim.install()   # the bridge imports the SDK and framework modules: the stand-ins serve

from orvane.tamsel.utils import tidewell  # noqa: E402

N = 1_000_000
BATCH = 10_000
GROUP = "ring buffer"
# When counting instructions the buffers are smaller: an append to a full buffer executes the
# same instructions whatever its capacity, and filling a million slots under valgrind would
# cost more than all the counting. COUNT_DRAIN entries are enough for the drain's longest run.
if common.counting():
    N = 20_000
COUNT_DRAIN = 100_000
# Calls of the batch operations, as shares of run.py's call counts (each is a batch of work).
APPEND_SHARE, SLOW_APPEND_SHARE, DRAIN_SHARE = 0.05, 0.02, 0.05


def _full(append, n=N):
    item = object()
    for _ in range(n):
        append(item)


def _python_loop(append, items):
    def run():
        for x in items:
            append(x)
    return run


def _c_loop(append, items):
    # map() drives the calls from C, so the loop's own cost is small next to the method call.
    sink = collections.deque(maxlen=0).extend

    def run():
        sink(map(append, items))
    return run


def _append_rows(items) -> list[Row]:
    rb = tidewell.RB(capacity=N, dtype=object)
    dq = collections.deque(maxlen=N)
    _full(rb.append)
    _full(dq.append)
    rows = []
    for label, loop in (("Python loop", _python_loop), ("C-driven (map)", _c_loop)):
        ours = ns_per_op(loop(rb.append, items), share=APPEND_SHARE) / BATCH
        base = ns_per_op(loop(dq.append, items), share=APPEND_SHARE) / BATCH
        rows.append(Row(GROUP, f"append, full N=1e6, {label}", ours, "deque(maxlen=N).append", base))
    try:
        import numpy_ringbuffer
    except ImportError:
        return rows
    nrb = numpy_ringbuffer.RingBuffer(capacity=N, dtype=object)
    _full(nrb.append)
    few = items[:1000]  # much slower per call: fewer items keep the run short
    ours = ns_per_op(_python_loop(rb.append, few), share=SLOW_APPEND_SHARE) / len(few)
    base = ns_per_op(_python_loop(nrb.append, few), share=SLOW_APPEND_SHARE) / len(few)
    rows.append(Row(GROUP, "append, full N=1e6, Python loop", ours,
                    "numpy_ringbuffer.RingBuffer.append", base))
    return rows


def _drain_ns(rb, take_batch, repeat=5) -> float:
    """Best-of-`repeat` ns to remove one batch of 1000 entries, draining a full buffer each time
    (refilling it is not timed). When counting, the buffer is filled once with COUNT_DRAIN
    entries and the batches are taken from it."""
    if common.counting():
        item = object()
        rb.extend(item for _ in range(COUNT_DRAIN))

        def run(n):
            if n * 1000 > COUNT_DRAIN:
                raise SystemExit(f"drain: {n} batches need more than {COUNT_DRAIN} entries")
            for _ in range(n):
                take_batch()
        return common.probe(run, DRAIN_SHARE)
    best = float("inf")
    batches = N // 1000
    item = object()
    for _ in range(repeat):
        rb.extend(item for _ in range(N))
        t0 = time.perf_counter_ns()
        for _ in range(batches):
            take_batch()
        best = min(best, (time.perf_counter_ns() - t0) / batches)
        assert len(rb) == 0
    return best


def _removal_rows() -> list[Row]:
    rb = tidewell.RB(capacity=max(N, COUNT_DRAIN))

    def many():
        rb.popleft_many(1000)

    popleft = rb.popleft
    steps = range(1000)

    def singles():
        for _ in steps:
            popleft()

    ours = _drain_ns(rb, many)
    base = _drain_ns(rb, singles)
    return [Row(GROUP, "popleft_many(1000), per call", ours, "1000 x popleft()", base)]


def collect() -> list[Row]:
    items = [object() for _ in range(BATCH)]
    return _append_rows(items) + _removal_rows()

"""Shared measuring helpers for the benchmarks: ns per operation, best of 5, via timeit; and the
probes behind the instruction-count mode.

Every measuring helper of the benchmarks (here and in the bench modules) hands the operation it
is about to time to `probe()` first when `counting()` is true. Instruction counting then works
in two steps, both driven by run.py:

- plan: collect() runs in the parent with no operation run at all. Each probe gets the next
  number of its module and returns a `Probe` (NaN carrying that number), so each row knows
  which probes are its ours and baseline sides.
- count: collect() runs again in a child process under valgrind. Probes before the chosen one
  return at once; the chosen one runs its operation `calls` times and ends the process on the
  spot, so neither the rest of collect() nor the interpreter's shutdown is counted.

run.py counts each probe at two numbers of calls, so that start-up and set-up cancel out of the
difference. Nothing in a module may depend on a probe's value for its control flow, or the
numbering of plan and count would differ.
"""
from __future__ import annotations

import gc
import itertools
import math
import os
import timeit
from dataclasses import dataclass
from typing import Callable

# Measuring mode: None (time), "plan" or "count"; see the module's documentation.
_mode: str | None = None
_next_probe = 0
_target = -1
_calls = 0


class Probe(float):
    """A NaN standing for a measurement not taken, carrying the number of its probe.

    `share` is the fraction of run.py's call counts the probe runs (heavy operations run
    fewer); `per` how many operations one call performs: dividing by a number (ns per batch ->
    ns per item) keeps the probe and multiplies `per`, as the time would be divided.
    """

    probe: int
    share: float
    per: float

    def __new__(cls, probe: int, share: float = 1.0, per: float = 1.0):
        p = super().__new__(cls, math.nan)
        p.probe, p.share, p.per = probe, share, per
        return p

    def __truediv__(self, other):
        if isinstance(other, (int, float)) and not isinstance(other, Probe):
            return Probe(self.probe, self.share, self.per * other)
        return math.nan

    def __reduce__(self):
        return Probe, (self.probe, self.share, self.per)


def set_mode(mode: str | None, target: int = -1, calls: int = 0) -> None:
    global _mode, _next_probe, _target, _calls
    _mode, _next_probe, _target, _calls = mode, 0, target, calls


def counting() -> bool:
    """True when measurements are planned or counted rather than timed."""
    return _mode is not None


def calls_for(share: float, calls: int) -> int:
    """How many calls a probe of this share makes when run.py asks for `calls`."""
    return max(1, round(calls * share))


def probe(run: Callable[[int], object], share: float = 1.0) -> Probe:
    """Registers one measured operation; `run(n)` performs it n times in a row.

    In count mode, the chosen probe runs with the collector off (as timeit times) and then ends
    the process without any clean-up.
    """
    global _next_probe
    number = _next_probe
    _next_probe += 1
    if _mode == "count" and number == _target:
        gc.collect()
        gc.disable()
        run(_calls)  # run.py has already applied the probe's share
        os._exit(0)
    return Probe(number, share)


def calls(fn: Callable[[], object]) -> Callable[[int], object]:
    """A probe's runner for a callable of no arguments."""

    def run(n: int) -> None:
        for _ in itertools.repeat(None, n):
            fn()
    return run


def statement(stmt: str, namespace: dict) -> Callable[[int], object]:
    """A probe's runner for a statement, timed inline as timeit does (no wrapper call)."""
    timer = timeit.Timer(stmt, globals=namespace)
    return timer.timeit


def ns_per_op(fn: Callable[[], object], number: int | None = None, repeat: int = 5,
              share: float = 1.0) -> float:
    """Best-of-`repeat` time of one call of `fn`, in nanoseconds.

    `number` calls are timed per repetition; when not given it is chosen so that one
    repetition lasts about 0.1 s. When counting, `share` scales the number of calls (for an
    operation that is a whole batch of work).
    """
    if counting():
        return probe(calls(fn), share)
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
        number = max(1, number // 2)
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


@dataclass
class Row:
    """One line of the table: our operation against one baseline measured in the same run."""

    group: str
    operation: str
    ours_ns: float
    baseline: str = ""
    baseline_ns: float | None = None

    @property
    def speedup(self) -> float | None:
        if self.baseline_ns is None or self.ours_ns <= 0:
            return None
        return self.baseline_ns / self.ours_ns

    @property
    def probes(self) -> tuple[Probe | None, Probe | None]:
        """The probes of ours and the baseline (None for a side that was not probed)."""
        return tuple(v if isinstance(v, Probe) else None for v in (self.ours_ns, self.baseline_ns))

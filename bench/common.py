"""Shared measuring helpers for the benchmarks: ns per operation, best of 5, via timeit."""
from __future__ import annotations

import timeit
from dataclasses import dataclass
from typing import Callable


def ns_per_op(fn: Callable[[], object], number: int | None = None, repeat: int = 5) -> float:
    """Best-of-`repeat` time of one call of `fn`, in nanoseconds.

    `number` calls are timed per repetition; when not given it is chosen so that one
    repetition lasts about 0.1 s.
    """
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

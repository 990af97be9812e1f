"""Virtual time: a clock whose timers fire only when it is advanced, and a patch that makes a
module read that clock instead of the wall clock.

Times are naive local date-times, as the bridge uses them.
"""
from __future__ import annotations

import contextlib
import datetime as _dt
import heapq
import itertools
from typing import Callable, Iterator

import numpy

__all__ = ["VirtualClock", "patch_time"]


def _plain(value: _dt.datetime, what: str) -> _dt.datetime:
    """`value` as a plain naive datetime.datetime (a subclass instance is rebuilt)."""
    if not isinstance(value, _dt.datetime):
        raise TypeError(f"{what} must be a datetime.datetime, not {type(value).__name__}")
    if value.tzinfo is not None:
        raise ValueError(f"{what} must be a naive local date-time")
    if type(value) is _dt.datetime:
        return value
    return _dt.datetime.combine(value.date(), value.time())


class VirtualClock:
    """A clock that moves only when told to, firing the timers that fall due on the way.

    Invariants: `now` never decreases; the heap holds (due, seq, callback) with due >= now for
    every entry, seq strictly increasing in registration order, so timers with equal due times
    fire in registration order and callbacks are never compared.
    """

    def __init__(self, start: _dt.datetime) -> None:
        self._now = _plain(start, "start")
        self._heap: list[tuple[_dt.datetime, int, Callable[[], object]]] = []
        self._seq = itertools.count()
        self._advancing = False

    @property
    def now(self) -> _dt.datetime:
        return self._now

    def schedule(self, due: _dt.datetime, callback: Callable[[], object]) -> None:
        """Registers `callback` (called without arguments) for `due`.

        A due time in the past is taken as `now`: the timer fires at the next advance, after
        the timers already due then, and time never runs backwards.
        """
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        due = max(_plain(due, "due"), self._now)
        heapq.heappush(self._heap, (due, next(self._seq), callback))

    def advance_to(self, dt: _dt.datetime) -> None:
        """Fires every timer due at or before `dt`, in (due, registration) order, with `now` set
        to each timer's due time while it runs; then sets `now` to `dt`.

        Timers that a callback registers fire in the same advance when they fall due by `dt`.
        An exception from a callback propagates: `now` stays at that timer's due time and the
        timers not yet fired stay pending.
        """
        dt = _plain(dt, "dt")
        if dt < self._now:
            raise ValueError(f"cannot move the clock back from {self._now} to {dt}")
        if self._advancing:
            raise RuntimeError("the clock is already advancing (advance called from a timer)")
        self._advancing = True
        try:
            while self._heap and self._heap[0][0] <= dt:
                due, _, callback = heapq.heappop(self._heap)
                self._now = due
                callback()
            self._now = dt
        finally:
            self._advancing = False

    def advance(self, seconds: float) -> None:
        """advance_to(now + `seconds`)."""
        self.advance_to(self._now + _dt.timedelta(seconds=seconds))

    def pending(self) -> list[tuple[_dt.datetime, Callable[[], object]]]:
        """The timers not yet fired, as (due, callback), in firing order."""
        return [(due, cb) for due, _, cb in sorted(self._heap, key=lambda e: (e[0], e[1]))]

    def next_due(self) -> _dt.datetime | None:
        return self._heap[0][0] if self._heap else None

    def __repr__(self) -> str:
        return f"VirtualClock(now={self._now!r}, pending={len(self._heap)})"


class _ClockNumpy:
    """numpy as seen by a patched module: `datetime64("today", ...)` follows the clock, every
    other attribute is numpy's own. `datetime64` here is a function, not the scalar type."""

    def __init__(self, clock: VirtualClock) -> None:
        self._clock = clock

    def datetime64(self, value=None, unit=None, /):
        if isinstance(value, str) and value == "today":
            day = numpy.datetime64(self._clock.now.date(), "D")
            return day if unit is None or unit == "D" else day.astype(f"datetime64[{unit}]")
        if unit is None:
            return numpy.datetime64(value)
        return numpy.datetime64(value, unit)

    def __getattr__(self, name: str):
        return getattr(numpy, name)


def _clock_datetime(clock: VirtualClock) -> type:
    class datetime(_dt.datetime):  # noqa: N801 - stands in for the class of that name
        """datetime.datetime whose now() and today() read the virtual clock."""

        @classmethod
        def now(cls, tz=None):
            now = clock.now
            return now if tz is None else now.astimezone(tz)

        @classmethod
        def today(cls):
            return clock.now

    return datetime


_MISSING = object()


@contextlib.contextmanager
def patch_time(module, clock: VirtualClock) -> Iterator[None]:
    """Makes `module` read `clock`: its globals `datetime`, `time`, `timedelta` and `np` are
    replaced for the duration of the block and put back (or removed, if they were absent) on
    exit, whatever happens inside."""
    shims = {
        "datetime": _clock_datetime(clock),
        "time": _dt.time,
        "timedelta": _dt.timedelta,
        "np": _ClockNumpy(clock),
    }
    saved = {name: module.__dict__.get(name, _MISSING) for name in shims}
    try:
        for name, value in shims.items():
            setattr(module, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)

"""The SDK context handed to a strategy: it records every operation the strategy asks of it,
and runs timers on a VirtualClock.

Clock choice: a context uses the clock given to its constructor, or else the module's default
clock as it is when the context is built (set_default_clock / get_default_clock; tidesim.reset()
installs a fresh one). The strategy base class builds its context without arguments, so a test
that drives the strategy's timers sets the default clock before constructing the strategy.
"""
from __future__ import annotations

import datetime
import operator

from ..clock import VirtualClock

DEFAULT_START = datetime.datetime(2026, 1, 5, 7, 0, 0)  # a Monday, before the session

_default_clock = VirtualClock(DEFAULT_START)


def get_default_clock() -> VirtualClock:
    return _default_clock


def set_default_clock(clock: VirtualClock) -> None:
    global _default_clock
    if not isinstance(clock, VirtualClock):
        raise TypeError(f"clock must be a VirtualClock, not {type(clock).__name__}")
    _default_clock = clock


class SimContext:
    """Records each operation as (method name, positional arguments) in `calls`, in call order.
    Every operation takes positional arguments only, as the SDK's do. Registrations and queries
    have no other effect: the answers to query_asset and query_position are left to whoever
    drives the strategy."""

    def __init__(self, clock: VirtualClock | None = None) -> None:
        self.clock = _default_clock if clock is None else clock
        self.calls: list[tuple[str, tuple]] = []

    def _record(self, name: str, args: tuple) -> None:
        self.calls.append((name, args))

    def calls_of(self, name: str) -> list[tuple]:
        """The arguments of every recorded call of operation `name`, in order."""
        return [args for called, args in self.calls if called == name]

    def add_md_broker(self, md_type, /) -> None:
        self._record("add_md_broker", (md_type,))

    def set_order_way(self, order_way, /) -> None:
        self._record("set_order_way", (order_way,))

    def add_td_broker(self, td_type, /) -> None:
        self._record("add_td_broker", (td_type,))

    def add_algo_broker(self, algo_type, /) -> None:
        self._record("add_algo_broker", (algo_type,))

    def subscribe(self, md_type, market_type, data_type, codes, period, /) -> None:
        self._record("subscribe", (md_type, market_type, data_type, codes, period))

    def add_timer_interval(self, interval_ns, callback, /) -> None:
        """Calls `callback()` once, `interval_ns` nanoseconds (an integer) from the clock's now,
        truncated to whole microseconds; a zero or negative interval fires at the next advance."""
        self._record("add_timer_interval", (interval_ns, callback))
        interval_ns = operator.index(interval_ns)
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        delay = datetime.timedelta(microseconds=interval_ns // 1000)
        self.clock.schedule(self.clock.now + delay, callback)

    def query_asset(self, fund_account_id, /) -> None:
        self._record("query_asset", (fund_account_id,))

    def query_position(self, fund_account_id, /) -> None:
        self._record("query_position", (fund_account_id,))

"""Deterministic synthetic trading days.

`generate_session(path, ...)` writes a session (docs/session-format.md) for N securities: the
SDK's login and account answers before the open; snapshots every 3 s per security from 09:15
to 15:00 with ten price levels; level-2 orders and transactions as a Poisson stream per
security; one-minute bars; about a hundred orders of the strategy with their acceptances,
partial fills, fills, cancellations, refused cancellations and rejects (each placed into the
framework's open-order cache by a place_order act just before the SDK reports on it); and a
few algorithmic parent orders with their child orders and trades, one paused and resumed, one
cancelled, plus one refused creation.

Everything comes from random generators seeded with text derived from `seed`, so the same
arguments give the same file byte for byte. Entries are produced in delivery order through a
small heap that holds only the entries whose delivery time may still be overtaken, so a large
day is streamed, never held in memory.

The day is made of three scenario parts sharing one time-ordered writer (gen_writer): the
market (gen_market), the strategy's orders and accounts (gen_orders) and the algorithmic orders
(gen_algo). The generated calendar has no trading on weekends and on its holidays (`HOLIDAYS`);
`generate_days` writes consecutive trading days, each with its own seed derived from one.

The generator knows the stand-ins' codes (exchange suffixes, level-2 character codes); it is a
development tool and reads them from the stand-in modules.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import hashlib
import os
import random
from typing import Any, Callable

from .format import SESSION_BINARY_SUFFIX, SessionHeader, SessionWriter
from .gen_algo import AlgoScenario
from .gen_market import MarketScenario, make_securities
from .gen_orders import OrderScenario
from .gen_writer import CLOSE, OPEN_CALL, Expectations, TimedWriter, _ms

# The generated calendar's holidays, (month, day) every year; weekends are never trading days.
HOLIDAYS = frozenset({(1, 1), (5, 1), (12, 25), (12, 26)})


def is_trading_day(day: _dt.date) -> bool:
    """Whether the generated calendar trades on `day`."""
    return day.weekday() < 5 and (day.month, day.day) not in HOLIDAYS


def trading_days_from(first: _dt.date, n: int) -> list[_dt.date]:
    """The first `n` trading days on or after `first`."""
    out = []
    day = first
    while len(out) < n:
        if is_trading_day(day):
            out.append(day)
        day += _dt.timedelta(days=1)
    return out


def _trading_calendar(day: _dt.date) -> list[str]:
    """The trading days of the four weeks around `day` (which is one)."""
    first = day - _dt.timedelta(days=14)
    days = (first + _dt.timedelta(days=i) for i in range(29))
    return [d.isoformat() for d in days if is_trading_day(d)]


def day_seed(seed: int, day: _dt.date) -> int:
    """The seed of one day of a series generated from `seed`: different for every day and
    every series, the same on every machine."""
    h = hashlib.blake2b(f"{seed}/{day.isoformat()}".encode(), digest_size=6).digest()
    return int.from_bytes(h, "big")


@dataclasses.dataclass
class GeneratedSession:
    """What the generator wrote, and what a correct replay must end with."""

    path: str
    entries: int
    callbacks: dict[str, int]
    acts: int
    # client order id -> (framework ORDER_STATUS member name, filled quantity) after the day
    expected_orders: dict[int, tuple[str, int]]
    # expected number of each event type the bridge emits for this session (by EVENT name)
    expected_events: dict[str, int]


def _day_events(start: _dt.datetime, end: _dt.datetime) -> dict[str, int]:
    """The trading-day events a replay from `start` to `end` sees (the session's day being a
    trading day): before trading at 09:00 or 3 s after a later start, the open auction only
    when started before 09:27, after trading at 15:30 or 20 s after a later start."""
    def due(at: _dt.datetime) -> bool:
        return at <= end
    t = start.time()
    day = start.date()
    out = {}
    before = _dt.datetime.combine(day, _dt.time(9)) if t < _dt.time(9) else start + _dt.timedelta(seconds=3)
    if due(before):
        out["BEFORE_TRADING"] = 1
    if t < _dt.time(9, 27) and due(max(start, _dt.datetime.combine(day, _dt.time(9, 24)))):
        out["OPEN_AUCTION"] = 1
    after = _dt.datetime.combine(day, _dt.time(15, 30)) if t < _dt.time(15, 30) \
        else start + _dt.timedelta(seconds=20)
    if due(after):
        out["AFTER_TRADING"] = 1
    return out


def generate_session(path: str | os.PathLike, *, securities: int = 4, seed: int = 1,
                     day: _dt.date = _dt.date(2026, 1, 5), l2_rate: float = 0.3,
                     orders: int = 100, algo_parents: int = 3, levels: int = 10,
                     data_until: _dt.time = _dt.time(15, 0), start: _dt.datetime | None = None,
                     end: _dt.datetime | None = None, compress: bool | None = None,
                     fund_account: str = "100012345", algo_trader: str = "200012345",
                     md_type: str = "VoMD") -> GeneratedSession:
    """Writes a synthetic session to `path` (gzip-compressed when the name ends in ".gz" or
    `compress` is true, in the binary encoding when it ends in ".tsb") and returns what it
    wrote.

    `securities` (at least one) alternate between the two exchanges; `l2_rate` is level-2
    messages per security per second (orders and transactions together; 0 for none); `orders`
    is the number of the strategy's orders; `algo_parents` the number of parent orders;
    `levels` the number of price levels of a snapshot; `data_until` ends the market data early
    (a short day: the orders and algorithmic orders are planned to finish before it). `day`
    must be a trading day of the generated calendar. The header's start and end default to
    08:30 and 15:31 of `day`. The file is written under a temporary name and renamed when
    complete, so a failure leaves nothing behind that looks like a session.
    """
    if securities < 1 or orders < 0 or algo_parents < 0 or levels < 1 \
            or not (0 <= l2_rate < float("inf")):
        raise ValueError("securities and levels must be >= 1; orders, algo_parents and l2_rate "
                         ">= 0 (l2_rate finite)")
    if not is_trading_day(day):
        raise ValueError(f"{day} ({day:%A}) is not a trading day of the generated calendar")
    start = start or SessionHeader.default_start(day)
    end = end or SessionHeader.default_end(day)
    until = _ms(data_until.hour, data_until.minute, data_until.second)
    header = SessionHeader(
        day=day, start=start, end=end,
        config={"md_type": md_type, "accounts": {"stock": f"{fund_account}_sim"},
                "algo_account": f"{algo_trader}_atx", "trading_calendar": _trading_calendar(day)},
        universe=[], instruments={},
        source={"generator": "tidesim.replay.generator", "seed": seed, "securities": securities,
                "l2_rate": l2_rate, "orders": orders, "algo_parents": algo_parents,
                "levels": levels, "data_until": data_until.isoformat()})
    expected = Expectations()
    secs = make_securities(securities, seed, l2_rate)
    order_side = OrderScenario(secs, seed, random.Random(f"{seed}/orders"), expected, orders, until,
                               fund_account, algo_trader)
    algo = AlgoScenario(secs, random.Random(f"{seed}/algo"), expected, algo_parents, until)
    header.universe = [s.code for s in secs]
    header.instruments = {s.code: {"symbol": f"{s.market.name} {s.security_id}", "round_lot": 100}
                          for s in secs}
    for name, n in _day_events(start, end).items():
        expected.expect(name, n)
    path = os.fspath(path)
    if compress is None:
        compress = path.endswith(".gz")
    partial = f"{path}.part"
    try:
        with SessionWriter(partial, header, compress=compress,
                           binary=path.endswith(SESSION_BINARY_SUFFIX)) as writer:
            out = order_side.out = algo.out = TimedWriter(writer, day)
            market = MarketScenario(secs, out, expected, l2_rate, levels)
            start_ms = (start - _dt.datetime.combine(day, _dt.time())) // _dt.timedelta(milliseconds=1)
            order_side.morning(max(start_ms, 0))
            algo.algo()
            ts = OPEN_CALL
            last = min(CLOSE, until)
            while ts <= last:
                out.flush(ts - 3000)
                market.step(ts)
                order_side.due(ts)
                ts += 3000
            out.flush()
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return GeneratedSession(path, out.entries, dict(out.callbacks), out.acts,
                            order_side.expected_orders, dict(expected))


def generate_days(outdir: str | os.PathLike, days: int, *, first_day: _dt.date = _dt.date(2026, 1, 5),
                  seed: int = 1, progress: Callable[[int, int, GeneratedSession], Any] | None = None,
                  **options) -> list[GeneratedSession]:
    """Writes `days` consecutive trading days from `first_day` (a trading day) into `outdir`
    as YYYY-MM-DD.jsonl.gz, each a single-day session with its own seed derived from `seed`
    (`day_seed`); `options` are generate_session's. `progress(days done, days, the day just
    written)` is called after each day."""
    if days < 1:
        raise ValueError(f"days must be at least 1, not {days}")
    if not is_trading_day(first_day):
        raise ValueError(f"{first_day} ({first_day:%A}) is not a trading day of the generated calendar")
    outdir = os.fspath(outdir)
    out = []
    for d in trading_days_from(first_day, days):
        out.append(generate_session(os.path.join(outdir, f"{d.isoformat()}.jsonl.gz"),
                                    seed=day_seed(seed, d), day=d, **options))
        if progress is not None:
            progress(len(out), days, out[-1])
    return out

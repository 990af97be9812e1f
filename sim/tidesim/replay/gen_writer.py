"""What the generator's scenario parts share: the day's timetable, a security's state, the
time-ordered writer, and the count of the events a correct replay publishes."""
from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
import heapq
import itertools
import math
import random
from typing import Any

from ..pyvorn.enums import MarketType
from .format import SessionWriter

MS_MIN = 60_000
MS_HOUR = 3_600_000


def _ms(h: int, m: int, s: int = 0, ms: int = 0) -> int:
    return h * MS_HOUR + m * MS_MIN + s * 1000 + ms


OPEN_CALL = _ms(9, 15)       # opening call auction starts; first snapshot
OPEN_MATCH = _ms(9, 25)      # opening price set
CONTINUOUS_AM = _ms(9, 30)
LUNCH = _ms(11, 30)
CONTINUOUS_PM = _ms(13, 0)
CLOSE_CALL = _ms(14, 57)
CLOSE = _ms(15, 0)           # last snapshot

ENUM_SZSE = {"$enum": "MarketType.SZSE"}
ENUM_SSE = {"$enum": "MarketType.SSE"}


def _status(name: str) -> dict:
    return {"$enum": f"OrderStatusType.{name}"}


@dataclasses.dataclass
class Security:
    index: int
    security_id: str
    market: MarketType
    code: str
    rng: random.Random
    prev_close: float
    price: float
    tick: float = 0.01
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    volume: int = 0
    turnover: float = 0.0
    # the minute bar being built
    bar_open: float = 0.0
    bar_high: float = 0.0
    bar_low: float = 0.0
    bar_volume: int = 0
    bar_amount: float = 0.0
    # level-2 sequence numbers and the next arrival time (ms since midnight)
    biz_index: int = 0
    appl_seq: int = 0
    next_l2: float = 0.0
    recent_orders: list = dataclasses.field(default_factory=list)

    @property
    def market_enum(self) -> dict:
        return ENUM_SZSE if self.market is MarketType.SZSE else ENUM_SSE

    @property
    def high_limited(self) -> float:
        return round(self.prev_close * 1.1, 2)

    @property
    def low_limited(self) -> float:
        return round(self.prev_close * 0.9, 2)


class TimedWriter:
    """Time-ordered output: entries wait in a heap until no later-generated entry can be
    delivered before them (flush(t) releases those due at or before t)."""

    def __init__(self, writer: SessionWriter, day: _dt.date) -> None:
        self.w = writer
        self.prefix = day.isoformat() + "T"
        self.sdk_day = day.year * 10_000_000_000_000 + day.month * 100_000_000_000 + \
            day.day * 1_000_000_000
        self.heap: list[tuple[int, int, dict]] = []
        self.seq = itertools.count()
        self.entries = 0
        self.callbacks: dict[str, int] = {}
        self.acts = 0

    def sdk_time(self, ms: int) -> int:
        """YYYYMMDDHHMMSSmmm of a time of the session's day given in ms since midnight.

        Never ends in 999 ms: the bridge divides SDK times by 1000 into a float, which at this
        magnitude resolves 1/256 s, so HHMMSS.999 becomes (HHMMSS+1).000 and a time at second
        59 reads as second 60, which the framework's converter refuses. Real recordings can hold
        such times (the replay then reports the converter's error); a synthetic day shifts them
        by a millisecond so that it replays cleanly."""
        h, rest = divmod(ms, MS_HOUR)
        m, rest = divmod(rest, MS_MIN)
        s, milli = divmod(rest, 1000)
        return self.sdk_day + h * 10_000_000 + m * 100_000 + s * 1000 + min(milli, 998)

    def local(self, ms: int) -> str:
        h, rest = divmod(ms, MS_HOUR)
        m, rest = divmod(rest, MS_MIN)
        s, milli = divmod(rest, 1000)
        return f"{self.prefix}{h:02d}:{m:02d}:{s:02d}.{milli:03d}"

    def cb(self, ms: int, name: str, *args: Any) -> None:
        heapq.heappush(self.heap, (ms, next(self.seq), {"cb": name, "args": list(args)}))

    def act(self, ms: int, name: str, *args: Any) -> None:
        heapq.heappush(self.heap, (ms, next(self.seq), {"act": name, "args": list(args)}))

    def flush(self, upto: int | None = None) -> None:
        heap = self.heap
        while heap and (upto is None or heap[0][0] <= upto):
            ms, _, body = heapq.heappop(heap)
            line = {"t": self.local(ms)}
            line.update(body)
            self.w.write_json(line)
            self.entries += 1
            if "cb" in body:
                self.callbacks[body["cb"]] = self.callbacks.get(body["cb"], 0) + 1
            else:
                self.acts += 1



class Expectations(collections.Counter):
    """The number of each event type (by EVENT name) a replay of the day publishes."""

    def expect(self, event: str, n: int = 1) -> None:
        self[event] += n


def poisson_gap(rng: random.Random, rate_per_s: float) -> float:
    return rng.expovariate(rate_per_s) * 1000.0 if rate_per_s > 0 else math.inf


def clamp(sec: Security, p: float) -> float:
    """A price rounded to the tick and held within the security's daily limits."""
    return round(min(max(p, sec.low_limited), sec.high_limited), 2)

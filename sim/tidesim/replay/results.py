"""The bookkeeping of a replay: what it delivered, what was published, what went wrong, and the
framework's view of the orders at the end. `ReplayResult` is what `replay()` returns; `Tally`
records problems and callback times into it while the replay runs."""
from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
import math
import sys
from typing import Any, Callable, TextIO

from .format import SessionFormatError, SessionHeader

MAX_REPORTED = 20  # problems described one by one on the report stream; the rest are counted
TRACE_FRAMES = 3  # the last frames of an exception's traceback shown with its problem

# Exit status of an interrupted replay (the shell's code for SIGINT).
EXIT_INTERRUPTED = 130


@dataclasses.dataclass
class Problem:
    """One reported problem: an exception out of a callback, a timer or a listener, a bad line
    of the session, or entries that were not delivered."""

    kind: str  # "callback", "timer", "listener", "act", "input", "undelivered"
    where: str  # file:line, or the virtual time for timers and listeners
    name: str  # callback, timer or event name ("" for input)
    time: _dt.datetime | None
    error: str  # "TypeError: ..."
    trace: str = ""  # the last frames of the exception's traceback, formatted ("" for none)

    def __str__(self) -> str:
        what = f"{self.kind} {self.name}" if self.name else self.kind
        when = f" at {self.time}" if self.time is not None and self.kind != "input" else ""
        return f"{self.where}: {what}{when}: {self.error}"

    def described(self) -> str:
        """The problem on one line, then its traceback's last frames, if any."""
        return str(self) + ("\n" + self.trace if self.trace else "")


@dataclasses.dataclass
class OrderState:
    """The framework's view of one order, kept by the order-book listener."""

    key: Any  # the client order id it was placed under
    order_id: Any
    market_code: str
    side: Any
    quantity: Any
    status: Any = None
    filled_quantity: Any = 0
    avg_price: Any = 0.0
    trades: int = 0
    events: int = 0
    cancel_rejects: int = 0

    @property
    def status_name(self) -> str:
        return getattr(self.status, "name", str(self.status))


class OrderBook:
    """System listener for the order and trade events: applies each event's copy of the order
    to the framework's record of that order (placed orders are registered by the replay when
    it puts them into orders_dict). Returns None, so later system listeners still run."""

    def __init__(self) -> None:
        self.orders: dict[Any, OrderState] = {}
        self.unknown_events = 0

    def placed(self, key: Any, order: Any) -> None:
        self.orders[order.order_id] = OrderState(key, order.order_id, order.market_code, order.side,
                                                 order.quantity, order.status)

    def __call__(self, event: Any) -> None:
        order = event.order
        state = self.orders.get(order.order_id)
        if state is None:
            self.unknown_events += 1
            state = self.orders[order.order_id] = OrderState(None, order.order_id, order.market_code,
                                                             order.side, order.quantity)
        state.events += 1
        state.status = order.status
        state.filled_quantity = order.filled_quantity
        state.avg_price = order.avg_price
        if event.__dict__.get("trade") is not None:
            state.trades += 1
        elif event.event_type.name == "ORDER_CANCELLATION_REJECT":
            state.cancel_rejects += 1
        return None

    def final_states(self) -> dict[str, int]:
        return dict(collections.Counter(s.status_name for s in self.orders.values()))


LOG_RATIO = math.log(1.01)


class LatencyHistogram:
    """Call times in logarithmic buckets 1 % wide: memory stays flat however long the day,
    percentiles are within 1 % (and exact at the extremes), and histograms of several replays
    merge by adding their counts."""

    __slots__ = ("counts", "n", "min", "max")

    def __init__(self) -> None:
        self.counts: dict[int, int] = {}
        self.n = 0
        self.min = math.inf
        self.max = -math.inf

    def append(self, ns: float) -> None:
        i = int(math.log(ns) / LOG_RATIO) if ns > 1 else 0
        counts = self.counts
        counts[i] = counts.get(i, 0) + 1
        self.n += 1
        if ns < self.min:
            self.min = ns
        if ns > self.max:
            self.max = ns

    def extend(self, values: list) -> None:
        """Adds many call times at once (bucketed together: the same buckets as one append
        each, at a fraction of the cost per value)."""
        if not values:
            return
        if len(values) < 32:
            for ns in values:
                self.append(ns)
            return
        import numpy as np
        a = np.asarray(values, dtype=np.float64)
        idx = (np.log(np.maximum(a, 1.0)) / LOG_RATIO).astype(np.int64)
        keys, counts = np.unique(idx, return_counts=True)
        mine = self.counts
        for i, c in zip(keys.tolist(), counts.tolist()):
            mine[i] = mine.get(i, 0) + c
        self.n += len(values)
        lo, hi = min(values), max(values)
        if lo < self.min:
            self.min = lo
        if hi > self.max:
            self.max = hi

    def __len__(self) -> int:
        return self.n

    @staticmethod
    def bucket_value(i: int) -> float:
        """The value a bucket stands for: the geometric middle of its bounds."""
        return math.exp((i + 0.5) * LOG_RATIO) if i > 0 else 1.0

    def buckets(self) -> list[tuple[float, int]]:
        """(value, count) of each bucket in use, in increasing order."""
        return [(self.bucket_value(i), self.counts[i]) for i in sorted(self.counts)]

    def percentile(self, p: float) -> float:
        """The p-th percentile (the bucket of the value of rank p/100 * (n - 1), clamped to the
        observed extremes)."""
        if not self.n:
            return math.nan
        rank = (self.n - 1) * p / 100.0
        seen = 0
        for i in sorted(self.counts):
            seen += self.counts[i]
            if seen > rank:
                return min(max(self.bucket_value(i), self.min), self.max)
        return float(self.max)

    def merge(self, other: LatencyHistogram) -> None:
        for i, c in other.counts.items():
            self.counts[i] = self.counts.get(i, 0) + c
        self.n += other.n
        self.min = min(self.min, other.min)
        self.max = max(self.max, other.max)

    def to_json(self) -> dict[str, Any]:
        return {"count": self.n, "min": self.min if self.n else None,
                "max": self.max if self.n else None, "log_base": 1.01,
                "buckets": [[i, self.counts[i]] for i in sorted(self.counts)]}


@dataclasses.dataclass
class ReplayResult:
    path: str
    header: SessionHeader
    entries: int = 0  # entries delivered (callbacks and acts)
    callbacks: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    acts: int = 0
    timers: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    events: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    # per callback kind: the whole time of each call; and for a sample of the calls (see
    # Replay's split_latency) the bridge's own time, the stand-ins' calls subtracted
    latency_ns: dict[str, LatencyHistogram] = dataclasses.field(default_factory=dict)
    bridge_ns: dict[str, LatencyHistogram] = dataclasses.field(default_factory=dict)
    standin_calls: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    # per callback kind, over the sampled calls: their whole time and the bridge's share of it
    # (summed, so that the share is a ratio of totals of the same calls)
    sampled_ns: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    sampled_bridge_ns: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    queue_high_water: int = 0
    queue_dropped: int = 0
    events_per_minute: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    # (minute, event type name) -> events published in that virtual minute
    events_by_minute_type: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    problems: list[Problem] = dataclasses.field(default_factory=list)
    problem_counts: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    errors_by_name: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    before_start: int = 0  # entries earlier than the session start, not delivered
    after_end: int = 0  # entries later than the session end, not delivered
    filtered: int = 0  # market data entries left out by a selection
    stopped: SessionFormatError | None = None  # the bad input the replay stopped at
    interrupted: bool = False  # stopped by Ctrl-C: the counts are those of a partial day
    wall_s: float = 0.0
    first_entry: _dt.datetime | None = None
    last_entry: _dt.datetime | None = None
    virtual_end: _dt.datetime | None = None
    order_book: OrderBook = dataclasses.field(default_factory=OrderBook)
    signatures: list | None = None
    digest: str | None = None  # of the published event stream, when asked for

    @property
    def entries_per_s(self) -> float:
        return self.entries / self.wall_s if self.wall_s > 0 else 0.0

    @property
    def undelivered(self) -> int:
        return self.before_start + self.after_end

    @property
    def ok(self) -> bool:
        return self.stopped is None and not self.problem_counts and not self.interrupted

    @property
    def exit_code(self) -> int:
        """0: every entry delivered cleanly; 1: completed with problems; 2: stopped at bad
        input; 130: interrupted."""
        if self.interrupted:
            return EXIT_INTERRUPTED
        if self.stopped is not None:
            return 2
        return 1 if self.problem_counts else 0

    def latency_percentiles(self) -> dict[str, tuple[int, float, float]]:
        """Per callback kind: (count, p50 ns, p99 ns) of the whole call."""
        return _percentiles(self.latency_ns)

    def bridge_percentiles(self) -> dict[str, tuple[int, float, float]]:
        """Per callback kind: (calls sampled, p50 ns, p99 ns) of the bridge's own time: the
        whole call's percentiles scaled by the bridge's share of the sampled calls' time (their
        time less the time spent in the stand-ins they called). The share is taken as a ratio
        of totals over the same calls, because a sampled call runs slower than the others (the
        timing wrappers are in place, and the first calls of a kind are cold): percentiles of
        the sampled calls alone would not be comparable with those of every call."""
        out = {}
        for name, (n, p50, p99) in _percentiles(self.latency_ns).items():
            sampled, whole = len(self.bridge_ns.get(name, ())), self.sampled_ns[name]
            if not sampled:
                continue
            share = min(max(self.sampled_bridge_ns[name] / whole, 0.0), 1.0) if whole > 0 else 1.0
            out[name] = (sampled, p50 * share, p99 * share)
        return out


def _percentiles(by_name: dict[str, LatencyHistogram]) -> dict[str, tuple[int, float, float]]:
    return {name: (len(h), h.percentile(50), h.percentile(99))
            for name, h in sorted(by_name.items()) if len(h)}


def percentile(sorted_values: list, p: float) -> float:
    """Linear interpolation between closest ranks (numpy's default)."""
    if not sorted_values:
        return math.nan
    k = (len(sorted_values) - 1) * p / 100.0
    lo = math.floor(k)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (k - lo)


class Tally:
    """Records problems into a result and describes the first `max_reported` of them on the
    report stream (anything with write(), or a callable taking one line, or None)."""

    def __init__(self, result: ReplayResult, report: TextIO | Callable[[str], Any] | None,
                 max_reported: int = MAX_REPORTED) -> None:
        self.result = result
        self.max_reported = max_reported
        if report is None or callable(report) and not hasattr(report, "write"):
            self._say = report
        else:
            self._say = lambda text: print(text, file=report)

    def say(self, text: str) -> None:
        if self._say is not None:
            self._say(f"replay: {text}")

    def problem(self, kind: str, where: str, name: str, when: _dt.datetime | None,
                exc: BaseException | str, *, shown: str | None = None) -> None:
        """Counts a problem; describes it (as `shown` when given) while few have been."""
        res = self.result
        text = exc if isinstance(exc, str) else f"{type(exc).__name__}: {exc}"
        res.problem_counts[kind] += 1
        if name:
            res.errors_by_name[name] += 1
        if len(res.problems) < self.max_reported:
            p = Problem(kind, where, name, when, text, _last_frames(exc))
            res.problems.append(p)
            self.say(p.described() if shown is None else shown)
        elif len(res.problems) == self.max_reported:
            res.problems.append(Problem("more", "", "", None, "further problems are only counted"))
            self.say("further problems are only counted (see the summary)")

    def bad_input(self, exc: SessionFormatError, note: str) -> None:
        self.problem("input", f"{exc.path}:{exc.line}" if exc.line else exc.path, "", None,
                     exc.message, shown=f"{exc}{note}")


def _last_frames(exc: BaseException | str) -> str:
    """The last TRACE_FRAMES frames of an exception's traceback, as the interpreter prints
    them, indented; "" when there is none."""
    tb = getattr(exc, "__traceback__", None)
    if tb is None:
        return ""
    import traceback
    frames = traceback.extract_tb(tb)[-TRACE_FRAMES:]
    return "".join("    " + line for chunk in traceback.format_list(frames)
                   for line in chunk.splitlines(True)).rstrip("\n")


def stderr_report() -> Callable[[str], None]:
    return lambda text: print(text, file=sys.stderr)

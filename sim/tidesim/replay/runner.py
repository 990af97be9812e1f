"""Replaying a session through the bridge, offline and deterministically.

The replay plays the SDK's part with the stand-ins: it builds `VornStrategy` from the session
header at the virtual start, calls `initialize`, then delivers the entries in file order on a
virtual clock. Timers that the strategy registers with its SDK context fire at their virtual
times (one due at an entry's time fires before that entry). While it runs, the bridge's time
globals follow the virtual clock. A consumer takes the events out of `event_queue` in arrival
order, in batches, and publishes them on an `EventBus` with example listeners: a system
listener that applies the order and trade events to the framework's orders, and user listeners
that count.

Like the SDK, the replay does not stop when the bridge raises out of a callback: the exception
is reported with the entry that caused it and counted. Bad input (a malformed line, an unknown
callback, a time going backwards) stops the replay unless `keep_going` is set.
"""
from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
import importlib
import inspect
import math
import os
import sys
import time as _time
from array import array
from typing import Any, Callable, Iterable, TextIO

from .format import Decoder, Entry, SessionFormatError, SessionHeader, SessionReader, make_record

BRIDGE_MODULE = "orvane.tamsel.utils.tidewell"
EVENTS_MODULE = "orvane.tamsel.core.events"

# The bridge's module-level containers that a replay starts from empty (cleared in place).
BRIDGE_STATE = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
                "algo_child_orders", "algo_child_trades", "vorn_params")

ORDER_EVENTS = ("ORDER_CREATION_PASS", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS",
                "ORDER_CANCELLATION_REJECT", "ORDER_UNSOLICITED_UPDATE", "TRADE")

MAX_REPORTED = 20  # problems described one by one on the report stream; the rest are counted


@dataclasses.dataclass
class Problem:
    """One reported problem: an exception out of a callback, a timer or a listener, or a bad
    line of the session."""

    kind: str  # "callback", "timer", "listener", "act", "input"
    where: str  # file:line, or the virtual time for timers and listeners
    name: str  # callback, timer or event name ("" for input)
    time: _dt.datetime | None
    error: str  # "TypeError: ..."

    def __str__(self) -> str:
        what = f"{self.kind} {self.name}" if self.name else self.kind
        when = f" at {self.time}" if self.time is not None and self.kind != "input" else ""
        return f"{self.where}: {what}{when}: {self.error}"


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


@dataclasses.dataclass
class ReplayResult:
    path: str
    header: SessionHeader
    entries: int = 0  # entries delivered (callbacks and acts)
    callbacks: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    acts: int = 0
    timers: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    events: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    latency_ns: dict[str, array] = dataclasses.field(default_factory=dict)
    queue_high_water: int = 0
    queue_dropped: int = 0
    events_per_minute: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    problems: list[Problem] = dataclasses.field(default_factory=list)
    problem_counts: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    errors_by_name: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    after_end: int = 0  # entries later than the session end, not delivered
    stopped: SessionFormatError | None = None  # the bad input the replay stopped at
    wall_s: float = 0.0
    virtual_end: _dt.datetime | None = None
    order_book: OrderBook = dataclasses.field(default_factory=OrderBook)
    signatures: list | None = None

    @property
    def entries_per_s(self) -> float:
        return self.entries / self.wall_s if self.wall_s > 0 else 0.0

    @property
    def ok(self) -> bool:
        return self.stopped is None and not self.problem_counts

    @property
    def exit_code(self) -> int:
        """0: every entry delivered cleanly; 1: completed with problems; 2: stopped at bad input."""
        if self.stopped is not None:
            return 2
        return 1 if self.problem_counts else 0

    def latency_percentiles(self) -> dict[str, tuple[int, float, float]]:
        """Per callback kind: (count, p50 ns, p99 ns)."""
        out = {}
        for name, samples in sorted(self.latency_ns.items()):
            if samples:
                s = sorted(samples)
                out[name] = (len(s), _percentile(s, 50), _percentile(s, 99))
        return out


def _percentile(sorted_values: list, p: float) -> float:
    """Linear interpolation between closest ranks (numpy's default)."""
    if not sorted_values:
        return math.nan
    k = (len(sorted_values) - 1) * p / 100.0
    lo = math.floor(k)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (k - lo)


# ---------------------------------------------------------------------------------------------
# Event signatures: what "the same events" means for a round trip


def signature(event: Any) -> tuple:
    """(event type name, field names, field values) of an event, values reduced to plain data:
    objects by their type name and attributes (so records compare by the values they were built
    from, and live objects such as accounts by their state, not their identity)."""
    fields = dict(vars(event))
    etype = fields.pop("event_type", None)
    return (getattr(etype, "name", etype), tuple(fields), tuple(_plain(v, 0) for v in fields.values()))


def _plain(v: Any, depth: int) -> Any:
    if depth > 50:
        return ("<deep>", repr(v))
    t = type(v)
    if v is None or t in (str, int, bool, bytes):
        return v
    if t is float:
        return ("nan",) if v != v else v
    if t in (list, tuple, collections.deque):
        return (t.__name__, tuple(_plain(x, depth + 1) for x in v))
    if t is dict:
        return ("dict", tuple((k, _plain(x, depth + 1)) for k, x in v.items()))
    if isinstance(v, (_dt.date, _dt.time, _dt.timedelta)) or hasattr(v, "__members__") \
            or hasattr(t, "__members__"):
        return v
    d = getattr(v, "__dict__", None)
    if d is not None and not isinstance(v, type):
        return (t.__qualname__, tuple((k, _plain(x, depth + 1)) for k, x in d.items()))
    return v


# ---------------------------------------------------------------------------------------------
# The replay


class ReplayAborted(Exception):
    """The replay cannot start: the strategy cannot be built from the session header."""


class Replay:
    """One replay of one session file. `run()` returns a ReplayResult.

    keep_going: report bad lines and go on instead of stopping at the first.
    drain_every: the consumer empties event_queue after every this many entries (and after
        timers); larger values let the queue grow, as a slow consumer would.
    collect_events: keep the signature of every published event (for comparisons).
    record_to: also record the replayed callbacks into a new session file
        (record_overwrite: even when that file exists).
    listeners: extra (EVENT member or name, callable, user flag) registrations on the bus.
    report: where problems are described as they happen (stderr by default; None: silent).
    progress: a callable(ReplayProgress) polled during the run, or None.
    """

    def __init__(self, path: str, *, keep_going: bool = False, drain_every: int = 1,
                 collect_events: bool = False, record_to: str | None = None,
                 listeners: Iterable[tuple[Any, Callable[[Any], Any], bool]] = (),
                 report: TextIO | None | str = "stderr", progress: Callable[..., None] | None = None,
                 max_reported: int = MAX_REPORTED, record_overwrite: bool = False) -> None:
        if drain_every < 1:
            raise ValueError("drain_every must be at least 1")
        self.path = str(path)
        self.keep_going = keep_going
        self.drain_every = drain_every
        self.collect_events = collect_events
        self.record_to = record_to
        self.record_overwrite = record_overwrite
        self.extra_listeners = list(listeners)
        self.report = sys.stderr if report == "stderr" else report
        self.progress = progress
        self.max_reported = max_reported
        self.clock = None
        self.strategy = None
        self.bus = None
        self.bridge = None

    # -- problems ----------------------------------------------------------------------------

    def _problem(self, kind: str, where: str, name: str, when: _dt.datetime | None,
                 exc: BaseException | str) -> None:
        res = self.result
        text = exc if isinstance(exc, str) else f"{type(exc).__name__}: {exc}"
        p = Problem(kind, where, name, when, text)
        res.problem_counts[kind] += 1
        if name:
            res.errors_by_name[name] += 1
        if len(res.problems) < self.max_reported:
            res.problems.append(p)
            if self.report is not None:
                print(f"replay: {p}", file=self.report)
        elif len(res.problems) == self.max_reported and self.report is not None:
            res.problems.append(Problem("more", "", "", None, "further problems are only counted"))
            print("replay: further problems are only counted (see the summary)", file=self.report)

    # -- set-up ------------------------------------------------------------------------------

    def _framework_object(self, type_name: str, fields: dict) -> Any:
        if type_name != "Order":
            return make_record(type_name, fields)
        from ..framework.model.order import Order
        params = inspect.signature(Order).parameters
        ctor = {k: v for k, v in fields.items() if k in params}
        order = Order(**ctor)
        for k, v in fields.items():
            if k not in params:
                setattr(order, k, v)
        return order

    def _config(self, header: SessionHeader):
        from ..framework.config import ABSENT, make_config, trading_days
        c = header.config
        return make_config(accounts=c["accounts"],
                           md_type=c.get("md_type", ABSENT), order_way=c.get("order_way", ABSENT),
                           algo_account=c.get("algo_account", ABSENT),
                           trading_calendar=trading_days(*c.get("trading_calendar", [])))

    def _environment(self, header: SessionHeader) -> None:
        from ..framework.environment import Environment, reset
        from ..framework.model.instrument import Instrument
        reset()
        instruments = []
        for code, fields in header.instruments.items():
            try:
                instruments.append(Instrument(**{**fields, "market_code": code}))
            except TypeError as exc:
                raise SessionFormatError(self.path, 1, f"instrument {code!r}: {exc}") from None
        Environment.get_instance().configure(instruments=instruments, universe=header.universe)

    def _reset_bridge(self, bridge) -> None:
        for name in BRIDGE_STATE:
            getattr(bridge, name).clear()
        bridge.event_queue.clear()

    # -- the run -----------------------------------------------------------------------------

    def run(self) -> ReplayResult:
        import tidesim
        tidesim.install()
        from ..clock import VirtualClock, patch_time
        from ..framework.utils import logger
        from ..pyvorn import context as sdk_context

        if self.record_to is not None and _same_file(self.record_to, self.path):
            raise ReplayAborted(f"the recording would overwrite the session it replays: {self.path}")
        bridge = self.bridge = importlib.import_module(BRIDGE_MODULE)
        events = importlib.import_module(EVENTS_MODULE)
        reader = SessionReader(self.path, Decoder(acts=self._framework_object))
        header = reader.header
        res = self.result = ReplayResult(self.path, header)
        if self.collect_events:
            res.signatures = []
        wall0 = _time.perf_counter()
        runner = self

        class ReplayClock(VirtualClock):
            """Runs each timer through the replay, which times it and reports its exception."""

            def schedule(self, due, callback):
                super().schedule(due, lambda: runner._timer(callback))

        clock = self.clock = ReplayClock(header.start)
        saved_clock = sdk_context.get_default_clock()
        dropped0 = getattr(bridge.event_queue, "dropped", 0)
        recorder = None
        try:
            self._environment(header)
            logger.reset()
            self._reset_bridge(bridge)
            sdk_context.set_default_clock(clock)
            bus = self.bus = events.EventBus()
            self._listen(bus, events.EVENT)
            config = self._config(header)
            cls = bridge.VornStrategy
            if self.record_to is not None:
                from .recorder import SessionRecorder, recording_strategy
                recorder = SessionRecorder(self.record_to, now=lambda: clock.now, end=header.end,
                                           overwrite=self.record_overwrite)
                cls = recording_strategy(cls, recorder)
            with patch_time(bridge, clock):
                try:
                    self.strategy = cls(config)
                except Exception as exc:
                    raise ReplayAborted(f"VornStrategy could not be built from the session header: "
                                        f"{type(exc).__name__}: {exc}") from exc
                self._call("initialize", self.strategy.initialize, (config,), {},
                           f"{self.path}:1", "callback")
                self._drain()
                self._deliver(reader, header)
                if res.stopped is None:
                    self._fire_until(header.end)
                self._drain()
                res.virtual_end = clock.now
        finally:
            sdk_context.set_default_clock(saved_clock)
            reader.close()
            if recorder is not None:
                recorder.close()
            res.wall_s = _time.perf_counter() - wall0
            res.queue_dropped = getattr(bridge.event_queue, "dropped", 0) - dropped0
        return res

    def _listen(self, bus, EVENT) -> None:
        res = self.result
        counts = res.events

        def count(event, _counts=counts):
            _counts[event.event_type.name] += 1

        for member in EVENT:
            bus.add_listener(member, count, True)
        for name in ORDER_EVENTS:
            bus.add_listener(EVENT[name], res.order_book)
        for etype, fn, user in self.extra_listeners:
            bus.add_listener(EVENT[etype] if isinstance(etype, str) else etype, fn, user)

    # -- delivery ----------------------------------------------------------------------------

    def _call(self, name: str, fn: Callable, args: tuple, kwargs: dict, where: str, kind: str) -> None:
        lat = self.result.latency_ns.get(name)
        if lat is None:
            lat = self.result.latency_ns[name] = array("q")
        t0 = _time.perf_counter_ns()
        try:
            fn(*args, **kwargs)
        except Exception as exc:
            lat.append(_time.perf_counter_ns() - t0)
            self._problem(kind, where, name, self.clock.now, exc)
        else:
            lat.append(_time.perf_counter_ns() - t0)

    def _timer(self, callback: Callable) -> None:
        name = getattr(callback, "__name__", repr(callback))
        self.result.timers[name] += 1
        self._call(name, callback, (), {}, f"timer {self.clock.now:%H:%M:%S.%f}", "timer")

    def _fire_until(self, t: _dt.datetime) -> None:
        clock = self.clock
        nd = clock.next_due()
        if nd is not None and nd <= t:
            # one due time at a time, so that each timer's events are published before the next
            while nd is not None and nd <= t:
                clock.advance_to(nd)
                self._drain()
                nd = clock.next_due()
        clock.advance_to(t)

    def _bad(self, exc: SessionFormatError) -> None:
        if not self.keep_going:
            raise exc
        self.result.problem_counts["input"] += 1
        if len(self.result.problems) < self.max_reported:
            self.result.problems.append(Problem("input", f"{exc.path}:{exc.line}", "", None, exc.message))
            if self.report is not None:
                print(f"replay: {exc} (skipped)", file=self.report)

    def _deliver(self, reader: SessionReader, header: SessionHeader) -> None:
        res = self.result
        clock = self.clock
        strategy = self.strategy
        bridge = self.bridge
        end = header.end
        drain_every = self.drain_every
        callbacks = res.callbacks
        progress = self.progress
        path = self.path
        latency = res.latency_ns
        perf = _time.perf_counter_ns
        n = 0
        try:
            for entry in reader.entries(on_error=self._bad):
                t = entry.time
                if t < clock.now:
                    what = "the session start" if t < header.start else "the entry before it"
                    self._bad(SessionFormatError(path, entry.line,
                                                 f"time {t} goes back before {what} ({clock.now})"))
                    t = clock.now
                elif t > end:
                    res.after_end = 1 + reader.count_remaining()
                    break
                if clock.next_due() is not None:
                    self._fire_until(t)
                else:
                    clock.advance_to(t)
                if entry.kind == "cb":
                    name = entry.name
                    callbacks[name] += 1
                    fn = getattr(strategy, name)
                    lat = latency.get(name)
                    if lat is None:
                        lat = latency[name] = array("q")
                    t0 = perf()
                    try:
                        fn(*entry.args, **entry.kwargs)
                    except Exception as exc:
                        lat.append(perf() - t0)
                        self._problem("callback", f"{path}:{entry.line}", name, t, exc)
                    else:
                        lat.append(perf() - t0)
                else:
                    self._act(entry, bridge)
                n += 1
                if n % drain_every == 0:
                    self._drain()
                if progress is not None and n & 1023 == 0:
                    progress(n, reader.fraction(), t)
        except SessionFormatError as exc:
            res.stopped = exc
            if self.report is not None:
                print(f"replay: {exc}", file=self.report)
                print("replay: stopped at bad input (use --keep-going to report and go on)",
                      file=self.report)
        finally:
            res.entries = n
            res.acts = n - sum(callbacks.values())
            if progress is not None:
                progress(n, reader.fraction(), clock.now)

    def _act(self, entry: Entry, bridge) -> None:
        if entry.name == "place_order":
            try:
                key, order = entry.args if not entry.kwargs else \
                    (entry.kwargs.get("key", entry.args[0] if entry.args else None),
                     entry.kwargs.get("order", entry.args[1] if len(entry.args) > 1 else None))
                bridge.orders_dict[key] = order
                self.result.order_book.placed(key, order)
            except Exception as exc:
                self._problem("act", f"{self.path}:{entry.line}", entry.name, entry.time, exc)

    def _drain(self) -> None:
        q = self.bridge.event_queue
        n = len(q)
        if not n:
            return
        res = self.result
        if n > res.queue_high_water:
            res.queue_high_water = n
        batch = q.popleft_many(n)
        now = self.clock.now
        res.events_per_minute[now.replace(second=0, microsecond=0)] += len(batch)
        publish = self.bus.publish_event
        sigs = res.signatures
        for ev in batch:
            if sigs is not None:
                sigs.append(signature(ev))
            try:
                publish(ev)
            except Exception as exc:
                name = getattr(getattr(ev, "event_type", None), "name", "?")
                self._problem("listener", f"{now:%H:%M:%S.%f}", name, now, exc)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def replay(path: str, **options: Any) -> ReplayResult:
    """Replays one session file; see Replay for the options."""
    return Replay(path, **options).run()

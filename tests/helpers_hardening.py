"""Machinery shared by the hardening tests: reference leaks, arbitrary records, threads.

- Instrumented stand-ins. A `Rec` is an attribute record, an `Fn` a callable with a fixed
  result. Every operation the bridge performs on one of them (reading or writing an attribute,
  a call) is counted by the world's `Plan`, which can make the k-th operation of each call
  raise `Boom`, and can record the operations as a trace. `Raiser` stands in for a module
  global whose every use raises `Boom`.
- `World` replaces the bridge's module globals (converters, record classes, loggers,
  Environment, copy) and the strategy's SDK context with such stand-ins. Their results are
  fixed objects made once, so that a reference the bridge fails to release shows up as a
  reference count that grows with the number of calls.
- `ROWS` lists every public function and callback of the bridge, one row per path: how to set
  the world up and how to make one call whose arguments are fresh objects.
- `measure` runs a row's call many times and compares reference counts, the number of
  objects the collector tracks and the number of allocated memory blocks before and after.

"""
from __future__ import annotations

import collections
import contextlib
import datetime as _dt
import gc
import os
import sys
from dataclasses import dataclass
from typing import Callable

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"

_get = object.__getattribute__
_set = object.__setattr__


class Boom(Exception):
    """Raised by an instrumented stand-in at the operation it was told to fail."""


class Plan:
    """Counts the operations of one call on instrumented objects (`ops` is reset before each
    call); raises Boom at operation number `fail_at`; appends a label per operation to `trace`
    when it is a list."""

    def __init__(self) -> None:
        self.ops = 0
        self.fail_at: int | None = None
        self.trace: list[str] | None = None

    def step(self, owner: str, what: str) -> None:
        self.ops += 1
        if self.trace is not None:
            self.trace.append(f"{owner}.{what}")
        if self.ops == self.fail_at:
            raise Boom(f"{owner}.{what}")


class Rec:
    """An attribute record whose every read and write is an operation of the plan. Written
    values are dropped, so every call sees the record as it was built; a field that is absent
    raises AttributeError like a missing attribute."""

    __slots__ = ("_plan", "_label", "_fields")

    def __init__(self, plan: Plan, label: str, fields: dict) -> None:
        _set(self, "_plan", plan)
        _set(self, "_label", label)
        _set(self, "_fields", fields)

    def __getattribute__(self, name: str):
        label = _get(self, "_label")
        _get(self, "_plan").step(label, name)
        try:
            return _get(self, "_fields")[name]
        except KeyError:
            raise AttributeError(f"{label!r} record has no attribute {name!r}") from None

    def __setattr__(self, name: str, value) -> None:
        _get(self, "_plan").step(_get(self, "_label"), "=" + name)

    def __repr__(self) -> str:
        return f"<rec {_get(self, '_label')}>"


class PlainRec:
    """A record without instrumentation (cheap attribute reads); written values are dropped,
    as with Rec."""

    def __init__(self, plan: Plan, label: str, fields: dict) -> None:
        self.__dict__.update(fields)
        self.__dict__["_label"] = label

    def __setattr__(self, name: str, value) -> None:
        pass

    def __repr__(self) -> str:
        return f"<rec {self.__dict__['_label']}>"


class Fn:
    """A callable that counts as one operation and returns `result`, or raises `exc` (an
    exception class) when one is given."""

    __slots__ = ("plan", "label", "result", "exc")

    def __init__(self, plan: Plan, label: str, result=None, exc=None) -> None:
        self.plan = plan
        self.label = label
        self.result = result
        self.exc = exc

    def __call__(self, *args, **kwargs):
        self.plan.step(self.label, "()")
        if self.exc is not None:
            raise self.exc(self.label)
        return self.result

    def __repr__(self) -> str:
        return f"<fn {self.label}>"


class Raiser:
    """Stands in for a module global: calling it, reading any attribute of it or using it as a
    container, number or truth value raises Boom."""

    def __init__(self, name: str) -> None:
        _set(self, "_name", name)

    def _boom(self, *args, **kwargs):
        raise Boom(f"global {_get(self, '_name')}")

    __call__ = __getitem__ = __setitem__ = __delitem__ = __contains__ = _boom
    __len__ = __iter__ = __bool__ = __index__ = __int__ = __float__ = _boom

    def __getattr__(self, name):
        raise Boom(f"global {_get(self, '_name')}.{name}")

    def __repr__(self) -> str:
        return f"<raiser {_get(self, '_name')}>"


class Token:
    """A fixed result of a stand-in."""

    __slots__ = ("label",)

    def __init__(self, label: str) -> None:
        self.label = label

    def __repr__(self) -> str:
        return f"<{self.label}>"


class TStr(str):
    """A text result of a stand-in (an exchange suffix): a str subclass instance, never shared
    with the interpreter's interned or cached strings."""


def fresh(value):
    """A new object equal to `value` (a float, int or str), not shared with any other holder
    (small ints and one-character strings are the interpreter's own and come back as such)."""
    if isinstance(value, bool) or value is None:
        return value
    if type(value) is float:
        return float(repr(value))
    if type(value) is int:
        return int(str(value))
    if type(value) is str:
        return value[:1] + value[1:] if len(value) > 1 else value
    raise TypeError(f"no fresh copy of {type(value).__name__}")


def _shared(obj) -> bool:
    """Objects whose reference count the whole interpreter moves: not worth comparing."""
    if obj is None or obj is True or obj is False or obj is Ellipsis:
        return True
    if type(obj) is int and -5 <= obj <= 256:
        return True
    if type(obj) is str and len(obj) <= 1:
        return True
    if type(obj) is tuple and not obj:
        return True
    return False


def fields_of(rec) -> dict:
    """The live field dictionary of a Rec or PlainRec (changes show in later reads)."""
    return _get(rec, "_fields") if type(rec) is Rec else rec.__dict__


class Patcher:
    """Sets and deletes attributes, and puts every one back on restore()."""

    _ABSENT = object()

    def __init__(self) -> None:
        self._undo: list[Callable[[], None]] = []

    def setattr(self, obj, name: str, value) -> None:
        if hasattr(obj, "__dict__"):
            old = obj.__dict__.get(name, self._ABSENT)
        else:
            old = getattr(obj, name)
        setattr(obj, name, value)
        if old is self._ABSENT:
            self._undo.append(lambda: delattr(obj, name))
        else:
            self._undo.append(lambda: setattr(obj, name, old))

    def delattr(self, obj, name: str) -> None:
        old = obj.__dict__[name]
        delattr(obj, name)
        self._undo.append(lambda: setattr(obj, name, old))

    def restore(self) -> None:
        while self._undo:
            self._undo.pop()()


def bridge():
    """The bridge module (the stand-ins must be installed first)."""
    import orvane.tamsel.utils.tidewell as tidewell
    return tidewell


# ---------------------------------------------------------------------------------------------
# The world

CLOCK_DAY = _dt.date(2026, 1, 5)


class World:
    """The bridge with its globals replaced by instrumented stand-ins (or plain ones, when
    `instrumented` is false), a strategy object whose SDK context is such a stand-in, and the
    list of objects whose reference counts are compared (`tracked`)."""

    def __init__(self, instrumented: bool = True, clock_time: _dt.time = _dt.time(7, 0)) -> None:
        from tidesim.clock import VirtualClock, patch_time

        self.tw = tw = bridge()
        self.plan = Plan()
        self.instrumented = instrumented
        self.patcher = Patcher()
        self.tracked: list = []
        self._tracked_ids: set[int] = set()
        self.keep: list = []  # containers that cleanup() leaves alone
        self.before_each: Callable[[], None] | None = None
        # The module's own containers, held here so that cleanup works while a test has
        # replaced the globals that name them.
        self.queue = tw.event_queue
        self.containers = {n: getattr(tw, n) for n in (
            "history_bar", "history_tick", "orders_dict", "algo_parent_orders",
            "algo_child_orders", "algo_child_trades")}
        self._stack = contextlib.ExitStack()
        self.clock = VirtualClock(_dt.datetime.combine(CLOCK_DAY, clock_time))
        try:
            self._stack.enter_context(patch_time(tw, self.clock))
            self._install()
        except BaseException:
            self.close()
            raise

    # -- building blocks

    def track(self, obj):
        if not _shared(obj) and id(obj) not in self._tracked_ids:
            self._tracked_ids.add(id(obj))
            self.tracked.append(obj)
        return obj

    def v(self, value):
        """A fresh value, tracked."""
        return self.track(fresh(value))

    def tok(self, label: str) -> Token:
        return self.track(Token(label))

    def fn(self, label: str, result=None, exc=None) -> Fn:
        return self.track(Fn(self.plan, label, result, exc))

    def rec(self, label: str, **fields):
        for value in fields.values():
            self.track(value)
        cls = Rec if self.instrumented else PlainRec
        return self.track(cls(self.plan, label, fields))

    def _install(self) -> None:
        tw, fn, rec, tok = self.tw, self.fn, self.rec, self.tok
        self.dt = tok("dt")
        self.whole = tok("whole date")
        self.suffix = self.track(TStr("XSHE"))
        self.tick = tok("TickObject")
        self.l2o = tok("L2Order")
        self.l2t = tok("L2Transaction")
        self.trade = tok("Trade")
        self.asset = tok("Asset")
        self.account = tok("account")
        self.instrument = tok("instrument")
        self.copy = tok("deep copy")
        self.algo = {n: tok(n) for n in ("AlgoParentOrder", "AlgoChildOrder", "AlgoChildTrade")}
        self.universe = self.track([tok("universe code")])
        self.position = rec("position", set_state=fn("position.set_state"))
        self.env = rec("environment",
                       data_proxy=rec("data_proxy", instruments=fn("instruments", self.instrument)),
                       get_universe=fn("get_universe", self.universe),
                       get_account=fn("get_account", self.account))
        self.f_position = fn("Position", self.position)
        self.f_universe = fields_of(self.env)["get_universe"]
        fakes = {
            "Environment": rec("Environment", get_instance=fn("get_instance", self.env)),
            "TickObject": fn("TickObject", self.tick),
            "Trade": rec("Trade", __from_create__=fn("Trade.__from_create__", self.trade)),
            "L2Order": rec("L2Order", __from_create__=fn("L2Order.__from_create__", self.l2o)),
            "L2Transaction": rec("L2Transaction",
                                 __from_create__=fn("L2Transaction.__from_create__", self.l2t)),
            "convert_int_to_whole_date": fn("convert_int_to_whole_date", self.whole),
            "convert_int_to_datetime": fn("convert_int_to_datetime", self.dt),
            "get_exchane_from_vorn_mdtype": fn("get_exchane_from_vorn_mdtype", self.suffix),
            "get_vorn_tdtype": fn("get_vorn_tdtype", tok("td type")),
            "get_side_from_vorn_l2_order": fn("get_side_from_vorn_l2_order", tok("side")),
            "get_order_type_from_vorn_l2_order": fn("get_order_type_from_vorn_l2_order",
                                                    tok("order type")),
            "get_trade_type_from_vorn": fn("get_trade_type_from_vorn", tok("trade type")),
            "get_l2order_type_from_vorn": fn("get_l2order_type_from_vorn", tok("l2 kind")),
            "system_log": rec("system_log", info=fn("system_log.info")),
            "user_system_log": rec("user_system_log", warning=fn("user_system_log.warning")),
            "AlgoParentOrder": rec("AlgoParentOrder", from_vorn=fn(
                "AlgoParentOrder.from_vorn", self.algo["AlgoParentOrder"])),
            "AlgoChildOrder": rec("AlgoChildOrder", from_vorn=fn(
                "AlgoChildOrder.from_vorn", self.algo["AlgoChildOrder"])),
            "AlgoChildTrade": rec("AlgoChildTrade", from_vorn=fn(
                "AlgoChildTrade.from_vorn", self.algo["AlgoChildTrade"])),
            "Asset": fn("Asset", self.asset),
            "Position": self.f_position,
            "copy": rec("copy", deepcopy=fn("deepcopy", self.copy)),
        }
        for name, value in fakes.items():
            self.patcher.setattr(tw, name, value)
        # The enumerations and constants stay the real ones; their members are compared.
        for group in (tw.EVENT, tw.ORDER_STATUS, tw.SIDE, tw.POSITION_DIRECTION,
                      tw.OrderStatusType, tw.AlgoControlType, tw.MDType, tw.AlgoType):
            for member in group:
                self.track(member)
        self.context = rec("context", **{op: fn(op) for op in (
            "add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe",
            "add_timer_interval", "query_asset", "query_position")})
        today = self.clock.now.date().isoformat()
        self.base = rec("base", md_type=self.v("VoMD"), order_way=tok("order way"),
                        accounts=self.track({self.v("stock"): self.v("1001_sim")}),
                        algo_account=self.v("9001_atx"),
                        trading_calendar=self.track([tw.np.datetime64(today, "D")]))
        self.config = rec("config", base=self.base)
        self.strategy = self.track(tw.VornStrategy(self.config))
        self.strategy.context = self.context
        self.track(self.strategy.__dict__)

    # -- running

    def cleanup(self) -> None:
        """Empties what the calls legitimately fill: the event queue and the caches (except
        those a row keeps as its set-up), and the strategy's timers."""
        self.queue.clear()
        for c in self.containers.values():
            if not any(c is k for k in self.keep):
                c.clear()

    def run(self, go: Callable[[], object], n: int, expected=()) -> collections.Counter:
        """Calls `go` n times; counts the outcomes by name ("ok", "Boom", or the exception
        type's name for the `expected` exception types). Anything else propagates."""
        outcomes: collections.Counter = collections.Counter()
        plan, before = self.plan, self.before_each
        for _ in range(n):
            if before is not None:
                before()
            plan.ops = 0
            try:
                go()
            except Boom:
                outcomes["Boom"] += 1
                continue
            except expected as exc:
                outcomes[type(exc).__name__] += 1
                continue
            outcomes["ok"] += 1
        return outcomes

    def probe(self, go, expected=()) -> tuple[str, list[str]]:
        """One call with the operations traced: (outcome, trace)."""
        self.plan.trace = []
        try:
            outcome = self.run(go, 1, expected)
        finally:
            trace, self.plan.trace = self.plan.trace, None
        return next(iter(outcome)), trace

    def close(self) -> None:
        self.cleanup()
        self.patcher.restore()
        self._stack.close()


@dataclass
class Measure:
    outcomes: collections.Counter
    refcount_changes: list
    gc_objects: int
    blocks: int | None

    def problems(self, n: int) -> list[str]:
        out = [f"refcount of {o} went from {b} to {a}" for o, b, a in self.refcount_changes]
        # A leak of one object per call shows as n; a handful is the interpreter's own churn.
        if self.gc_objects > n // 10:
            out.append(f"{self.gc_objects} more objects tracked by the collector after {n} calls")
        if self.blocks is not None and self.blocks > n // 10:
            out.append(f"{self.blocks} more memory blocks allocated after {n} calls")
        return out


def _describe(obj) -> str:
    try:
        return f"{type(obj).__name__} {obj!r}"[:120]
    except Exception:  # a hostile repr must not hide the finding
        return type(obj).__name__


def _measure_once(world: World, go, n: int, expected, warmup: int) -> Measure:
    world.run(go, warmup, expected)
    world.cleanup()
    # Everything alive now (garbage of the warm-up included) moves to the collector's
    # permanent generation: the collection and object counts below visit only what the
    # measured calls created.
    gc.freeze()
    try:
        tracked = world.tracked
        before = [sys.getrefcount(o) for o in tracked]
        objects0 = len(gc.get_objects())
        blocks0 = sys.getallocatedblocks()
        outcomes = world.run(go, n, expected)
        world.cleanup()
        gc.collect()
        blocks1 = sys.getallocatedblocks()
        objects1 = len(gc.get_objects())
        after = [sys.getrefcount(o) for o in tracked]
    finally:
        gc.unfreeze()
    changes = [(_describe(o), b, a) for o, b, a in zip(tracked, before, after) if a != b]
    # With PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks.
    blocks = blocks1 - blocks0 if blocks0 else None
    return Measure(outcomes, changes, objects1 - objects0, blocks)


def measure(world: World, go, n: int, expected=(), warmup: int = 5) -> Measure:
    """Runs `go` `warmup` times, then n times between two readings of the reference counts of
    the tracked objects, the collector's object count and the allocated blocks (cleanup before
    each reading, so only what the calls kept beyond the caches and the queue remains). A
    path's first calls may fill the interpreter's own caches (method caches, free lists, a
    resized dictionary); so a reading that shows growth is taken again, and only growth that
    repeats is reported."""
    m = _measure_once(world, go, n, expected, warmup)
    if m.problems(n):
        m = _measure_once(world, go, n, expected, warmup)
    return m


# ---------------------------------------------------------------------------------------------
# The rows: every public function and callback, one row per path

@dataclass
class Row:
    id: str
    make: Callable[[World], Callable[[], object]]
    function: str = ""  # the public function or callback the row calls
    flat: bool = False  # the row of its function that the 100,000-call test runs
    expected: tuple = ()  # exception types the call raises on this path by design
    clock_time: _dt.time = _dt.time(7, 0)

    def __post_init__(self):
        if not self.function:
            self.function = self.id.split("[")[0]


ROWS: list[Row] = []


def row(id, **kw):
    def deco(make):
        ROWS.append(Row(id, make, **kw))
        return make
    return deco


# Start-up and day switch


@row("__init__", flat=True)
def _(w):
    cls, cfg = w.tw.VornStrategy, w.config
    return lambda: (cls(cfg), None)[1]


@row("initialize[VoMD, one account, algorithmic broker]", flat=True)
def _(w):
    s, arg = w.strategy, w.tok("ignored")
    return lambda: s.initialize(arg)


@row("initialize[defaults, holiday]")
def _(w):
    fields = fields_of(w.base)
    for name in ("md_type", "order_way"):
        fields.pop(name)
    fields["accounts"] = w.track({})
    fields["algo_account"] = None
    fields["trading_calendar"] = w.track([])
    s, arg = w.strategy, w.tok("ignored")
    return lambda: s.initialize(config=arg)


@row("on_initialize", flat=True)
def _(w):
    return w.strategy.on_initialize


@row("on_switch_day", flat=True)
def _(w):
    key, value = w.v("000001.XSHE"), w.tok("entry")
    containers = list(w.containers.values())

    def refill():
        for c in containers:
            c[key] = value
    w.before_each = refill
    return w.strategy.on_switch_day


# Trading-day clock


@row("set_timer", flat=True)
def _(w):
    return w.strategy.set_timer


@row("create_time_listener[07:00]", flat=True)
def _(w):
    return w.strategy.create_time_listener


@row("create_time_listener[09:25]", clock_time=_dt.time(9, 25))
def _(w):
    return w.strategy.create_time_listener


@row("create_time_listener[16:00]", clock_time=_dt.time(16, 0))
def _(w):
    return w.strategy.create_time_listener


@row("create_time_listener[holiday]")
def _(w):
    fields_of(w.base)["trading_calendar"] = w.track([])
    return w.strategy.create_time_listener


@row("send_before_trading_event", flat=True)
def _(w):
    return w.strategy.send_before_trading_event


@row("send_open_auction_event", flat=True)
def _(w):
    return w.strategy.send_open_auction_event


@row("send_after_trading_event", flat=True)
def _(w):
    key, value, orders = w.v("4711"), w.tok("open order"), w.containers["orders_dict"]

    def refill():
        orders[key] = value
    w.before_each = refill
    return w.strategy.send_after_trading_event


@row("send_day_event", flat=True)
def _(w):
    s, member, dt = w.strategy, w.tw.EVENT.USER, w.tok("when")
    return lambda: s.send_day_event(member, dt)


@row("send_day_event[keywords]")
def _(w):
    s, member, dt = w.strategy, w.tw.EVENT.HEARTBEAT, w.tok("when")
    return lambda: s.send_day_event(event_type=member, dt=dt)


# Market data


def _snapshot(w):
    return w.rec(
        "snapshot", security_id=w.v("000001"), market_type=w.tok("market"),
        orig_time=w.v(20260105093000123), open_price=w.v(10.5), close_price=w.v(10.25),
        high_price=w.v(10.75), low_price=w.v(10.125), total_value_trade=w.v(123456.5),
        total_volume_trade=w.v(987654321), pre_close_price=w.v(10.0625),
        ask_volume=w.track([w.v(1000)]), ask_price=w.track([w.v(10.5)]),
        bid_volume=w.track([w.v(2000)]), bid_price=w.track([w.v(10.25)]),
        high_limited=w.v(11.5), last_price=w.v(10.375), low_limited=w.v(9.5),
        open_interest=w.v(123456), prev_settlement=w.v(1.5), iopv=w.v(2.5),
        trading_phase_code=w.v("T0"))


@row("on_snapshot", flat=True)
def _(w):
    s, rec = w.strategy, _snapshot(w)
    return lambda: s.on_snapshot(rec)


@row("on_tick_order", flat=True)
def _(w):
    rec = w.rec("tick_order", security_id=w.v("000002"), market_type=w.tok("market"),
                order_time=w.v(20260105093000456), biz_index=w.v(100001), side=49,
                order_price=w.v(10.5), order_volume=w.v(30000), order_type=50,
                orig_order_no=w.v(200002))
    s = w.strategy
    return lambda: s.on_tick_order(tick_order=rec)


def _tick_trade(w, bid, offer):
    return w.rec("tick_trade", security_id=w.v("000003"), market_type=w.tok("market"),
                 trade_time=w.v(20260105093000789), biz_index=w.v(300003),
                 trade_price=w.v(10.5), trade_volume=w.v(40000), value_trade=w.v(420000.5),
                 trade_type=70, bid_appl_seq_num=w.v(bid), offer_appl_seq_num=w.v(offer))


@row("on_tick_trade[buy]", flat=True)
def _(w):
    s, rec = w.strategy, _tick_trade(w, 700000, 600000)
    return lambda: s.on_tick_trade(rec)


@row("on_tick_trade[sell]")
def _(w):
    s, rec = w.strategy, _tick_trade(w, 600000, 600000)
    return lambda: s.on_tick_trade(rec)


def _bar(w):
    return w.rec("bar", security_id=w.v("000004"), market_type=w.tok("market"),
                 end_time=w.v(20260105093100000), open=w.v(10.5), close=w.v(10.25),
                 high=w.v(10.75), low=w.v(10.125), amount=w.v(5000000.5),
                 volume=w.v(4000000), prev_close=w.v(10.0625))


@row("on_bar[universe complete]", flat=True)
def _(w):
    s, rec = w.strategy, _bar(w)
    return lambda: s.on_bar(rec)


@row("on_bar[universe incomplete]")
def _(w):
    w.f_universe.result = w.track(range(10 ** 12))
    s, rec = w.strategy, _bar(w)
    return lambda: s.on_bar(bar=rec)


@row("on_bar[new bar time]")
def _(w):
    w.f_universe.result = w.track(range(10 ** 12))
    s, rec, other = w.strategy, _bar(w), w.v(1.5)

    def other_time():
        s.current_trade_dt = other
    w.before_each = other_time
    return lambda: s.on_bar(rec)


# Login and account queries


def _login(w, code):
    return w.rec("login", fund_account_id=w.v("100100"), error_code=code,
                 client_seq_id=w.v(5000001), error_msg=w.v("no error"))


@row("on_login[accepted]", flat=True)
def _(w):
    s, rec = w.strategy, _login(w, w.v(0.0))
    return lambda: s.on_login(rec)


@row("on_login[refused]")
def _(w):
    s, rec = w.strategy, _login(w, w.v(5.5))
    return lambda: s.on_login(login_res=rec)


def _asset(w):
    return w.rec("asset", fund_account_id=w.v("100100"), leaves_value=w.v(1000.5),
                 available_t1=w.v(2000.5), frozen_all=w.v(3000.5), market_value=w.v(4000.5),
                 total_asset=w.v(5000.5), init_leaves_value=w.v(6000.5))


@row("on_query_asset[answered]", flat=True)
def _(w):
    s, rec, rid, code, msg = w.strategy, _asset(w), w.v(7000001), w.v(0.0), w.v("fine")
    return lambda: s.on_query_asset(rec, rid, code, msg)


@row("on_query_asset[failed, keywords]")
def _(w):
    s, rec, rid, code, msg = w.strategy, _asset(w), w.v(7000002), w.v(3.5), w.v("refused")
    return lambda: s.on_query_asset(asset_res=rec, request_id=rid, code=code, msg=msg)


def _positions(w, n=2):
    return [w.rec(f"pos{i}", security_id=w.v(f"00000{i}"), market_id=w.tok("market"),
                  init_qty=w.v(1000 + i * 1000), leaves_qty=w.v(900 + i * 1000),
                  available_qty=w.v(800 + i * 1000), cost_price=w.v(10.5 + i),
                  last_price=w.v(11.5 + i), market_value=w.v(12000.5 + i),
                  profit_loss=w.v(500.5 + i)) for i in range(1, n + 1)]


@row("on_query_position[answered]", flat=True)
def _(w):
    s, res = w.strategy, w.track(_positions(w))
    rid, code, msg = w.v(8000001), w.v(0.0), w.v("fine")
    return lambda: s.on_query_position(res, rid, code, msg)


@row("on_query_position[a position refused]")
def _(w):
    bad = w.rec("refusing position", set_state=w.fn("set_state", exc=ValueError))
    w.f_position.result = bad
    s, res = w.strategy, w.track(_positions(w))
    rid, code, msg = w.v(8000002), w.v(0.0), w.v("fine")
    return lambda: s.on_query_position(res, rid, code, msg)


@row("on_query_position[failed]")
def _(w):
    s, res = w.strategy, w.track(_positions(w))
    rid, code, msg = w.v(8000003), w.v(2.5), w.v("refused")
    return lambda: s.on_query_position(query_position_res=res, request_id=rid, code=code,
                                       msg=msg)


@row("on_query_position[tuple]")
def _(w):
    s, res = w.strategy, w.track(tuple(_positions(w)))
    rid, code, msg = w.v(8000004), w.v(0.0), w.v("fine")
    return lambda: s.on_query_position(res, rid, code, msg)


# Order and trade reports

CLIENT_ID = 9000001


def _order_world(w, *, status=None, filled=1000.0):
    """Puts a framework order under CLIENT_ID into orders_dict; returns the order."""
    st = w.tw.ORDER_STATUS
    order = w.rec("order", market_code=w.v("000001.XSHE"), order_id=w.v(4000001),
                  side=w.tok("order side"), position_effect=w.tok("position effect"),
                  price=w.v(10.5), status=status if status is not None else st.PENDING_NEW,
                  filled_quantity=w.v(filled),
                  set_frozen_cash=w.fn("set_frozen_cash"), mark_rejected=w.fn("mark_rejected"))
    w.containers["orders_dict"][w.v(CLIENT_ID)] = order
    w.keep.append(w.containers["orders_dict"])
    return order


def _report(w, status, *, client=CLIENT_ID, counter=6000001, last_qty=300.0, code=40001):
    return w.rec("report", client_order_id=w.v(client), security_id=w.v("000001"),
                 order_price=w.v(10.5), order_status=status, order_qty=w.v(1000.0),
                 trade_qty=w.v(400.0), total_trade_value=w.v(4200.0), error_code=w.v(code),
                 error_msg=w.v("refused by the exchange"), last_match_qty=w.v(last_qty),
                 last_match_price=w.v(10.5), counter_order_id=w.v(counter),
                 frozen_trade_value=w.v(10500.5))


def _on_order(status_name, **report_kw):
    def make(w):
        kw = dict(report_kw)
        order_kw = {k: kw.pop(k) for k in ("filled",) if k in kw}
        st = kw.pop("order_status", None)
        _order_world(w, status=getattr(w.tw.ORDER_STATUS, st) if st else None, **order_kw)
        status = getattr(w.tw.OrderStatusType, status_name) if status_name else w.tok("other")
        s, rec = w.strategy, _report(w, status, **kw)
        return lambda: s.on_order(rec)
    return make


for _id, _status, _kw in [
    ("on_order[UnSend, accepted]", "UnSend", {}),
    ("on_order[Sended, no counter id]", "Sended", {"counter": 0.0}),
    ("on_order[Sended, already active]", "Sended", {"order_status": "ACTIVE"}),
    ("on_order[PartiallyFilled]", "PartiallyFilled", {}),
    ("on_order[Filled]", "Filled", {}),
    ("on_order[Filled, no match]", "Filled", {"last_qty": 0.0}),
    ("on_order[PartiallyFilledPartiallyCancelled]", "PartiallyFilledPartiallyCancelled", {}),
    ("on_order[WaitCancelled]", "WaitCancelled", {}),
    ("on_order[PartiallyFilledWaitCancelled, nothing filled]", "PartiallyFilledWaitCancelled",
     {"filled": 0.0, "last_qty": 0.0}),
    ("on_order[Cancelled, no match]", "Cancelled", {"last_qty": 0.0}),
    ("on_order[Reject]", "Reject", {}),
    ("on_order[other status]", None, {}),
    ("on_order[unknown order]", "Filled", {"client": 9000002}),
]:
    ROWS.append(Row(_id, _on_order(_status, **_kw), flat=_id == "on_order[Filled]"))


@row("on_order[Reject, text code]")
def _(w):
    _order_world(w)
    rec = _report(w, w.tw.OrderStatusType.Reject)
    fields_of(rec)["error_code"] = w.v("E42")
    s = w.strategy
    return lambda: s.on_order(order=rec)


@row("on_trade", flat=True)
def _(w):
    s, rec = w.strategy, w.rec("trade report", client_order_id=w.v(CLIENT_ID))
    return lambda: s.on_trade(rec)


@row("on_order_action_error[known order]", flat=True)
def _(w):
    _order_world(w)
    s, rec = w.strategy, w.rec("action error", client_order_id=w.v(CLIENT_ID))
    return lambda: s.on_order_action_error(rec)


@row("on_order_action_error[unknown order]")
def _(w):
    _order_world(w)
    s, rec = w.strategy, w.rec("action error", client_order_id=w.v(9000003))
    return lambda: s.on_order_action_error(order_action_error=rec)


# Algorithmic orders


def _result(w, label, **extra):
    return w.rec(label, client_seq_id=w.v(1100001), trader_id=w.v("trader-1"),
                 sys_quote_id=w.v(1200001), error_code=w.v(1300001),
                 error_msg=w.v("algorithmic result"), **extra)


for _name in ("on_algo_login", "on_create_algo_parent_order_res",
              "on_cancel_algo_parent_order_res"):
    def _make(w, _name=_name):
        method, rec = getattr(w.strategy, _name), _result(w, _name)
        return lambda: method(rec)
    ROWS.append(Row(_name, _make, flat=True))


for _control in ("Pause", "Resume", None):
    def _make(w, _control=_control):
        kind = getattr(w.tw.AlgoControlType, _control) if _control else w.tok("other control")
        s, rec = w.strategy, _result(w, "control result", control_type=kind,
                                     algo_control_type=kind)
        return lambda: s.on_control_algo_parent_order_res(rec)
    ROWS.append(Row(f"on_control_algo_parent_order_res[{_control or 'other'}]", _make,
                    flat=_control == "Pause"))


for _name, _cache in (("on_algo_parent_order_update", "algo_parent_orders"),
                      ("on_algo_child_order_update", "algo_child_orders"),
                      ("on_algo_child_order_trade", "algo_child_trades")):
    for _first in (True, False):
        def _make(w, _name=_name, _cache=_cache, _first=_first):
            method, rec = getattr(w.strategy, _name), w.rec("update", sys_quote_id=w.v(1400001))
            if _first:
                w.before_each = w.containers[_cache].clear
            return lambda: method(rec)
        ROWS.append(Row(f"{_name}[{'first' if _first else 'repeated'}]", _make,
                        flat=not _first))


# Queries


def _history(w, cache):
    code = w.v("000001.XSHE")
    entries = [w.tok(f"entry {i}") for i in range(3)]
    w.containers[cache][code] = w.track(collections.deque(entries))
    w.keep.append(w.containers[cache])
    return fresh(code)  # equal, not the same object: the lookup hashes and compares


def _query(name, cache, args, *, miss=False, expected=(), flat=False, keywords=False):
    def make(w):
        code = _history(w, cache)
        if miss:
            code = w.v("000009.XSHE")
        f = getattr(w.tw, name)
        call_args = [code] + [a if _shared(a) else w.track(fresh(a)) for a in args]
        if keywords:
            kw = dict(zip(("market_code", "count"), call_args))
            return lambda: f(**kw)
        return lambda: f(*call_args)
    tag = ", ".join(["miss" if miss else "hit"] + [repr(a) for a in args]
                    + (["keywords"] if keywords else []))
    ROWS.append(Row(f"{name}[{tag}]", make, function=name, expected=expected, flat=flat))


_query("get_current_bar", "history_bar", [], flat=True)
_query("get_current_bar", "history_bar", [], miss=True)
_query("get_current_tick", "history_tick", [], flat=True, keywords=True)
_query("get_current_tick", "history_tick", [], miss=True)
_query("history_bars", "history_bar", [2], flat=True)
_query("history_bars", "history_bar", [0])
_query("history_bars", "history_bar", [-1])
_query("history_bars", "history_bar", [10 ** 30])
_query("history_bars", "history_bar", ["2"], expected=(TypeError,))
_query("history_bars", "history_bar", [2], miss=True)
_query("history_ticks", "history_tick", [2], flat=True, keywords=True)
_query("history_ticks", "history_tick", [2.5], expected=(TypeError,))
_query("history_ticks", "history_tick", [-(10 ** 30)])

PUBLIC_FUNCTIONS = sorted({r.function for r in ROWS})


def global_candidates(tw) -> list[str]:
    """Every module global a callback may look up (all but the module's own functions, class
    and dunder names)."""
    own = {"VornStrategy", "get_current_bar", "get_current_tick", "history_bars",
           "history_ticks"}
    return sorted(n for n in vars(tw) if not n.startswith("__") and n not in own)

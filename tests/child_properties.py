"""Child process of the property tests: feeds one group of the bridge's callbacks records of
arbitrary shapes and types, drawn by hypothesis, and checks that a call either returns None
or raises an ordinary exception (an Exception, never SystemError, which marks a misuse of the
interpreter's interface). A crash ends this process; the parent then reports the last example
announced on stdout.

    python child_properties.py GROUP [EXAMPLES [SEED]]

Records are mostly plausible (so the calls reach their later steps), with a few fields
replaced by arbitrary values or removed; some are arbitrary values altogether. Arbitrary values
include objects whose special methods raise, return objects of the wrong type, or empty the
bridge's caches and event queue while the bridge is using them. Module globals and strategy
attributes are replaced with arbitrary values too.
"""
from __future__ import annotations

import collections
import contextlib
import datetime as _dt
import faulthandler
import os
import random
import sys
import traceback

import tidesim

tidesim.install()

from hypothesis import HealthCheck, Phase, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import numpy  # noqa: E402
from tidesim.clock import VirtualClock, patch_time  # noqa: E402
from tidesim.framework.config import make_config  # noqa: E402
from tidesim.framework.environment import Environment  # noqa: E402
from tidesim.framework.model.order import Order  # noqa: E402
from tidesim.pyvorn import context as sdk_context  # noqa: E402
from tidesim.pyvorn.enums import AlgoControlType, MarketType, OrderStatusType  # noqa: E402

import orvane.tamsel.utils.tidewell as tw  # noqa: E402
from helpers_hardening import Patcher, global_candidates  # noqa: E402

CONTAINERS = [tw.history_bar, tw.history_tick, tw.orders_dict, tw.algo_parent_orders,
              tw.algo_child_orders, tw.algo_child_trades]
QUEUE = tw.event_queue


def empty_everything() -> None:
    """What a hostile object does behind the bridge's back: empties every cache and the event
    queue, dropping the references they held."""
    for c in CONTAINERS:
        c.clear()
    QUEUE.clear()


# ---------------------------------------------------------------------------------------------
# Arbitrary values

class Hostile:
    """An object whose special methods misbehave in one way: "raise" (every one raises
    ValueError), "wrong" (each returns an object of the wrong type, or a hostile one),
    "empty" (each empties the bridge's caches and queue, then returns a plausible value) or
    "notimpl" (comparisons and arithmetic return NotImplemented)."""

    __slots__ = ("kind",)

    def __init__(self, kind: str) -> None:
        object.__setattr__(self, "kind", kind)

    def __repr__(self) -> str:
        return f"Hostile({self.kind!r})"

    def _act(self, op: str, plausible, wrong):
        kind = self.kind
        if kind == "raise":
            raise ValueError(f"hostile {op}")
        if kind == "empty":
            empty_everything()
            return plausible
        if kind == "wrong":
            return wrong
        return NotImplemented

    def __eq__(self, other):
        return self._act("==", False, Hostile("raise"))

    def __ne__(self, other):
        return self._act("!=", True, Hostile("raise"))

    def __lt__(self, other):
        return self._act("<", False, Hostile("raise"))

    def __le__(self, other):
        return self._act("<=", False, Hostile("wrong"))

    def __gt__(self, other):
        return self._act(">", True, Hostile("raise"))

    def __ge__(self, other):
        return self._act(">=", True, Hostile("wrong"))

    def __hash__(self):
        r = self._act("hash", 7, "not a number")
        return 7 if r is NotImplemented else r

    def __bool__(self):
        r = self._act("bool", True, 2)
        return True if r is NotImplemented else r

    def __str__(self):
        r = self._act("str", "hostile", 5)
        return "hostile" if r is NotImplemented else r

    def __format__(self, spec):
        r = self._act("format", "hostile", 5)
        return "hostile" if r is NotImplemented else r

    def __index__(self):
        r = self._act("index", 49, 1.5)
        return 49 if r is NotImplemented else r

    def __int__(self):
        r = self._act("int", 1, "one")
        return 1 if r is NotImplemented else r

    def __float__(self):
        r = self._act("float", 1.0, "one")
        return 1.0 if r is NotImplemented else r

    def __len__(self):
        r = self._act("len", 1, -1)
        return 1 if r is NotImplemented else r

    def __iter__(self):
        r = self._act("iter", iter(()), 5)
        return iter(()) if r is NotImplemented else r

    def __contains__(self, item):
        return self._act("in", True, Hostile("raise"))

    def __getitem__(self, key):
        return self._act("[]", Hostile(self.kind), Hostile("wrong"))

    def __setitem__(self, key, value):
        self._act("[]=", None, None)

    def __call__(self, *args, **kwargs):
        return self._act("()", Hostile(self.kind), Hostile("wrong"))

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self._act("." + name, Hostile(self.kind), Hostile("wrong"))

    def __add__(self, other):
        return self._act("+", "hostile", Hostile("wrong"))

    def __radd__(self, other):
        return self._act("+", "hostile", Hostile("wrong"))

    def __sub__(self, other):
        return self._act("-", 1.0, Hostile("wrong"))

    __rsub__ = __sub__

    def __mul__(self, other):
        return self._act("*", -2, Hostile("wrong"))

    __rmul__ = __mul__

    def __truediv__(self, other):
        return self._act("/", 1.5, Hostile("raise"))

    __rtruediv__ = __truediv__


class OddStr(str):
    """A str subclass whose comparisons raise and whose concatenation empties the caches."""

    def __eq__(self, other):
        raise ValueError("OddStr ==")

    __hash__ = str.__hash__

    def __add__(self, other):
        empty_everything()
        return str.__add__(self, other)


class OddInt(int):
    """An int subclass whose comparisons raise (dictionary lookups compare on equal hashes)."""

    def __eq__(self, other):
        raise ValueError("OddInt ==")

    __hash__ = int.__hash__

    def __gt__(self, other):
        raise ValueError("OddInt >")


class Record:
    """An SDK record: attributes from a dictionary."""

    def __init__(self, fields: dict) -> None:
        self.__dict__.update(fields)

    def __repr__(self) -> str:
        return f"Record({self.__dict__!r})"


class EmptyingRecord(Record):
    """A record whose every attribute read first empties the bridge's caches and queue."""

    def __getattribute__(self, name):
        if not name.startswith("__"):
            empty_everything()
        return object.__getattribute__(self, name)

    def __repr__(self) -> str:
        return f"EmptyingRecord({object.__getattribute__(self, '__dict__')!r})"


ENUM_MEMBERS = [*MarketType, *OrderStatusType, *AlgoControlType]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 3), st.integers(),
    st.integers(-(2 ** 80), 2 ** 80), st.floats(), st.text(max_size=6), st.binary(max_size=3),
    st.sampled_from(ENUM_MEMBERS), st.sampled_from(["000001", "XSHE", "1001_sim", "VoMD", "_"]),
    st.builds(Hostile, st.sampled_from(["raise", "wrong", "empty", "notimpl"])),
    st.builds(OddStr, st.text(max_size=4)), st.builds(OddInt, st.integers(-2, 2)),
    st.just(numpy.float64("nan")), st.just(numpy.int64(7)),
)
anything = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=6)

DELETE = object()


def _time_ms():
    """An SDK time YYYYMMDDHHMMSSmmm of the test day."""
    return st.builds(lambda h, m, sec, ms: ((((20260105 * 100 + h) * 100 + m) * 100 + sec) * 1000
                                            + ms),
                     st.integers(0, 23), st.integers(0, 59), st.integers(0, 59),
                     st.integers(0, 999))


PLAUSIBLE = {
    "security_id": st.sampled_from(["000001", "000002", "600000"]),
    "market_type": st.sampled_from(list(MarketType)),
    "market_id": st.sampled_from(list(MarketType)),
    "orig_time": _time_ms(), "order_time": _time_ms(), "trade_time": _time_ms(),
    "end_time": _time_ms(),
    "side": st.sampled_from([ord(c) for c in "12"]),
    "order_type": st.sampled_from([ord(c) for c in "12U"]),
    "trade_type": st.sampled_from([ord(c) for c in "F4"]),
    "order_status": st.sampled_from(list(OrderStatusType)),
    "client_order_id": st.sampled_from([1, 2, 3]),
    "counter_order_id": st.one_of(st.integers(-1, 3), st.none()),
    "error_code": st.one_of(st.integers(-1, 2), st.text(max_size=3)),
    "error_msg": st.text(max_size=5),
    "control_type": st.sampled_from(list(AlgoControlType)),
    "algo_control_type": st.sampled_from(list(AlgoControlType)),
    "sys_quote_id": st.integers(0, 3),
    "fund_account_id": st.sampled_from(["1001", "1002"]),
    "trading_phase_code": st.text(max_size=2),
    "ask_volume": st.lists(st.integers(0, 9), max_size=3),
    "ask_price": st.lists(st.floats(0, 20), max_size=3),
    "bid_volume": st.lists(st.integers(0, 9), max_size=3),
    "bid_price": st.lists(st.floats(0, 20), max_size=3),
}
NUMBER = st.one_of(st.integers(-5, 10 ** 6), st.floats(-1e6, 1e6))

SNAPSHOT = ["security_id", "market_type", "orig_time", "open_price", "close_price",
            "high_price", "low_price", "total_value_trade", "total_volume_trade",
            "pre_close_price", "ask_volume", "ask_price", "bid_volume", "bid_price",
            "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement",
            "iopv", "trading_phase_code"]
TICK_ORDER = ["security_id", "market_type", "order_time", "biz_index", "side", "order_price",
              "order_volume", "order_type", "orig_order_no"]
TICK_TRADE = ["security_id", "market_type", "trade_time", "biz_index", "trade_price",
              "trade_volume", "value_trade", "trade_type", "bid_appl_seq_num",
              "offer_appl_seq_num"]
BAR = ["security_id", "market_type", "end_time", "open", "close", "high", "low", "amount",
       "volume", "prev_close"]
LOGIN = ["fund_account_id", "error_code", "client_seq_id", "error_msg"]
ASSET = ["fund_account_id", "leaves_value", "available_t1", "frozen_all", "market_value",
         "total_asset", "init_leaves_value"]
POSITION = ["security_id", "market_id", "init_qty", "leaves_qty", "available_qty",
            "cost_price", "last_price", "market_value", "profit_loss"]
ORDER = ["client_order_id", "security_id", "order_price", "order_status", "order_qty",
         "trade_qty", "total_trade_value", "error_code", "error_msg", "last_match_qty",
         "last_match_price", "counter_order_id", "frozen_trade_value"]
ALGO_RESULT = ["client_seq_id", "trader_id", "sys_quote_id", "error_code", "error_msg",
               "control_type", "algo_control_type"]
UPDATE = ["sys_quote_id", "security_id", "market_type", "order_qty", "trade_qty"]


@st.composite
def record(draw, fields, *, plausible=PLAUSIBLE):
    """Mostly a plausible record with up to three fields replaced by arbitrary values or
    removed; sometimes an arbitrary value instead of a record."""
    # Hypothesis favours small integers: the plausible shapes get the small ones.
    if draw(st.integers(0, 19)) == 19:
        return draw(anything)
    values = {f: draw(plausible.get(f, NUMBER)) for f in fields}
    changes = draw(st.dictionaries(st.sampled_from(fields),
                                   st.one_of(anything, st.just(DELETE)), max_size=3))
    for f, v in changes.items():
        if v is DELETE:
            values.pop(f, None)
        else:
            values[f] = v
    cls = EmptyingRecord if draw(st.integers(0, 7)) == 7 else Record
    return cls(values)


globals_patch = st.one_of(
    st.just({}), st.just({}),
    st.dictionaries(st.sampled_from(global_candidates(tw)), anything, min_size=1, max_size=2))


# ---------------------------------------------------------------------------------------------
# The world of one example

CODES = [f"{sid}.{exchange}" for sid in ("000001", "000002", "600000")
         for exchange in ("XSHE", "XSHG")]


def fresh_world(clock_time=_dt.time(10, 0)):
    """Resets the stand-ins, configures the environment, makes a strategy; returns
    (strategy, patcher, exit stack)."""
    tidesim.reset()
    empty_everything()
    clock = VirtualClock(_dt.datetime.combine(_dt.date(2026, 1, 5), clock_time))
    sdk_context.set_default_clock(clock)
    stack = contextlib.ExitStack()
    stack.enter_context(patch_time(tw, clock))
    Environment.get_instance().configure(CODES)
    cfg = make_config(accounts={"stock": "1001_sim"}, md_type="VoMD", order_way=1,
                      algo_account="9_atx",
                      trading_calendar=[numpy.datetime64("2026-01-05", "D")])
    s = tw.VornStrategy(cfg)
    tw.orders_dict[1] = Order(order_id=1, market_code="000001.XSHE")
    tw.orders_dict[2] = Order(order_id=2, market_code="600000.XSHG", quantity=0)
    return s, Patcher(), stack


class Call:
    """One call of a function of the bridge: how its arguments were drawn and passed."""

    def __init__(self, fn, args, kwargs, label):
        self.fn, self.args, self.kwargs, self.label = fn, args, kwargs, label

    def __repr__(self) -> str:
        return f"{self.label}(*{self.args!r}, **{self.kwargs!r})"


@st.composite
def call_style(draw, fn, label, params, args):
    """Passes `args` to `fn` by position (mostly), by keyword, or wrongly (one argument too
    many, one missing, an unknown keyword): the wrong ones must fail with TypeError."""
    style = draw(st.sampled_from(["pos"] * 14 + ["kw"] * 7 + ["extra", "missing", "unknown"]))
    if style == "pos":
        return Call(fn, list(args), {}, label)
    if style == "kw":
        return Call(fn, [], dict(zip(params, args)), label)
    if style == "extra":
        return Call(fn, list(args) + [draw(anything)], {}, label)
    if style == "missing":
        return Call(fn, list(args)[:-1], {}, label)
    return Call(fn, list(args), {"no_such_parameter": draw(anything)}, label)


# The contents of a market-data cache: a queue of arbitrary entries for the first two codes
# (or something else than a queue), and a few arbitrary entries besides.
QUERY_CACHE = st.tuples(
    st.fixed_dictionaries({code: st.one_of(
        st.lists(anything, max_size=4).map(collections.deque),
        st.lists(anything, max_size=4), anything) for code in CODES[:2]}),
    # Keys the generator itself can compare (it keeps them unique).
    st.dictionaries(st.one_of(st.sampled_from(CODES), st.text(max_size=3), st.integers(),
                              st.tuples(st.integers(), st.none())),
                    anything, max_size=2),
).map(lambda parts: {**parts[1], **parts[0]})
QUERY_CODE = st.one_of(st.sampled_from(CODES[:2]), st.sampled_from(CODES), anything)
QUERY_COUNT = st.one_of(st.integers(-5, 5), st.integers(), st.floats(), anything)

# Each callback: (parameter names, strategies of its arguments). Strategy attributes that a
# callback reads are drawn as well.
METHODS = {
    "startup": {
        "__init__": (["config"], [anything]),
        "initialize": (["config"], [anything]),
        "on_initialize": ([], []),
        "on_switch_day": ([], []),
    },
    "clock": {
        "set_timer": ([], []),
        "create_time_listener": ([], []),
        "send_before_trading_event": ([], []),
        "send_open_auction_event": ([], []),
        "send_after_trading_event": ([], []),
        "send_day_event": (["event_type", "dt"],
                           [st.one_of(st.sampled_from(list(tw.EVENT)), anything), anything]),
    },
    "market_data": {
        "on_snapshot": (["snapshot"], [record(SNAPSHOT)]),
        "on_tick_order": (["tick_order"], [record(TICK_ORDER)]),
        "on_tick_trade": (["tick_trade"], [record(TICK_TRADE)]),
        "on_bar": (["bar"], [record(BAR)]),
    },
    "account": {
        "on_login": (["login_res"], [record(LOGIN)]),
        "on_query_asset": (["asset_res", "request_id", "code", "msg"],
                           [record(ASSET), anything, st.one_of(st.just(0), anything), anything]),
        "on_query_position": (["query_position_res", "request_id", "code", "msg"],
                              [st.one_of(st.lists(record(POSITION), max_size=3), anything),
                               anything, st.one_of(st.just(0), anything), anything]),
    },
    "orders": {
        "on_order": (["order"], [record(ORDER)]),
        "on_trade": (["trade"], [anything]),
        "on_order_action_error": (["order_action_error"], [record(["client_order_id"])]),
    },
    "algo": {
        "on_algo_login": (["algo_login_res"], [record(ALGO_RESULT)]),
        "on_create_algo_parent_order_res": (["create_parent_order_res"],
                                            [record(ALGO_RESULT)]),
        "on_cancel_algo_parent_order_res": (["cancel_parent_order_res"],
                                            [record(ALGO_RESULT)]),
        "on_control_algo_parent_order_res": (["control_parent_order_res"],
                                             [record(ALGO_RESULT)]),
        "on_algo_parent_order_update": (["parent_order"], [record(UPDATE)]),
        "on_algo_child_order_update": (["child_order"], [record(UPDATE)]),
        "on_algo_child_order_trade": (["child_trade"], [record(UPDATE)]),
    },
    "queries": {
        "get_current_bar": (["market_code"], [QUERY_CODE]),
        "get_current_tick": (["market_code"], [QUERY_CODE]),
        "history_bars": (["market_code", "count"], [QUERY_CODE, QUERY_COUNT]),
        "history_ticks": (["market_code", "count"], [QUERY_CODE, QUERY_COUNT]),
    },
}

# Strategy attributes drawn before a call (plausible value, or anything).
STRATEGY_ATTRS = {
    "bar_cnt": st.one_of(st.integers(0, 3), anything),
    "current_trade_dt": st.one_of(st.just(0), st.floats(2.0260105093e13, 2.0260105094e13),
                                  anything),
    "config": st.one_of(st.none(), anything),
    "context": anything,
}



def make_property(group: str, name: str, params: list, arg_strategies: list, counts: dict):
    """The property of one function: a hypothesis test over the world, the arguments and the
    way they are passed."""

    @seed(counts["seed"])
    @settings(max_examples=counts["examples"], database=None, deadline=None,
              suppress_health_check=list(HealthCheck),
              phases=[Phase.explicit, Phase.generate, Phase.shrink])
    @given(data=st.data())
    def prop(data):
        clock_time = data.draw(st.times(), label="clock time")
        s, patch, stack = fresh_world(clock_time)
        try:
            if name in ("get_current_bar", "history_bars"):
                tw.history_bar.update(data.draw(QUERY_CACHE, label="history_bar"))
            if name in ("get_current_tick", "history_ticks"):
                tw.history_tick.update(data.draw(QUERY_CACHE, label="history_tick"))
            for attr, strat in STRATEGY_ATTRS.items():
                if data.draw(st.integers(0, 7), label=f"replace {attr}?") == 7:
                    setattr(s, attr, data.draw(strat, label=attr))
            if group == "orders":
                order = tw.orders_dict[1]
                for attr, value in data.draw(st.dictionaries(
                        st.sampled_from(["status", "filled_quantity", "market_code",
                                         "order_id", "price", "side"]),
                        anything, max_size=2), label="order attributes").items():
                    setattr(order, attr, value)
            for gname, value in data.draw(globals_patch, label="globals").items():
                patch.setattr(tw, gname, value)
            args = [data.draw(a, label=p) for p, a in zip(params, arg_strategies)]
            if name == "__init__":
                fn = tw.VornStrategy
            elif group == "queries":
                fn = getattr(tw, name)
            else:
                fn = getattr(s, name)
            call = data.draw(call_style(fn, name, params, args), label="call")
            print("CALL", repr(call)[:600], flush=True)
            counts["calls"] += 1
            try:
                result = call.fn(*call.args, **call.kwargs)
            except SystemError as exc:
                raise AssertionError(f"SystemError from {name}: {exc}") from exc
            except Exception as exc:
                counts["raised"][f"{type(exc).__name__}: {str(exc)[:60]}"] += 1
                return
            if name not in ("__init__", "get_current_bar", "get_current_tick",
                            "history_bars", "history_ticks"):
                assert result is None, f"{name} returned {result!r}"
        finally:
            patch.restore()
            stack.close()
            empty_everything()

    return prop


def run_group(group: str, examples: int, seed_value: int) -> int:
    failures = []
    print(f"SEED {seed_value}", flush=True)
    for name, (params, arg_strategies) in METHODS[group].items():
        counts = {"examples": examples, "seed": seed_value, "calls": 0,
                  "raised": collections.Counter()}
        try:
            make_property(group, name, params, arg_strategies, counts)()
        except Exception:
            failures.append(f"{name}:\n{traceback.format_exc()}")
        raised = counts["raised"]
        print(f"SUMMARY {name} calls={counts['calls']} raised={sum(raised.values())} "
              f"{dict(raised.most_common(int(os.environ.get('ORVANE_PROPERTY_VERBOSE', 0))))}",
              flush=True)
    print(f"DONE {group}", flush=True)
    if failures:
        print("\n\n".join(failures), file=sys.stderr, flush=True)
        return 1
    return 0


def main(argv: list[str]) -> int:
    faulthandler.enable()
    group = argv[0]
    examples = int(argv[1]) if len(argv) > 1 else 100
    seed_value = int(argv[2]) if len(argv) > 2 else random.randrange(2 ** 32)
    return run_group(group, examples, seed_value)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

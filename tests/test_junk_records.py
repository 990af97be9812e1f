"""Bad input to the SDK callbacks: None, records missing attributes, strings for numbers, huge
integers, NaN, wrong types. Each callback must fail with an ordinary Python exception (never a
crash, never SystemError), keep what it did before the failure, and leak no reference to what
it was given.

The calls run in a child process (this file, run as a script for one callback), so a crash
fails the test instead of killing the run. To cover another callback, add rows to JUNK.
"""
from __future__ import annotations

import gc
import json
import math
import pathlib
import subprocess
import sys
import types

import pytest

from tidesim.pyvorn.enums import MarketType
from tidesim.pyvorn import records as R

CODE = "000001.XSHE"
HUGE = 10**400
NAN = float("nan")


def ns(**fields):
    return types.SimpleNamespace(**fields)


def snap(**fields):
    return R.Snapshot(**fields)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadStr:
    """An object whose text form fails."""

    def __str__(self):
        raise RuntimeError("no text")


class BadEq:
    """An object whose comparison fails."""

    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __ne__ = __eq__
    __gt__ = __eq__


# One row per bad input:
#   (callback, label, build(strategy) -> positional arguments, expected outcome, effect check)
# The expected outcome is the name of the exception raised, or "ok" when the input is odd but
# acceptable. The builder may also prepare the strategy's state. The effect check (or None),
# given (tidewell, strategy) after 200 calls, tells whether what the callback did before
# failing is still in place.
JUNK = [
    # market data -------------------------------------------------------------------------
    ("on_snapshot", "None", lambda s: (None,), "AttributeError", None),
    ("on_snapshot", "empty object", lambda s: (ns(),), "AttributeError", None),
    ("on_snapshot", "time as text", lambda s: (snap(orig_time="20260105093000000"),),
     "TypeError", None),
    ("on_snapshot", "huge time", lambda s: (snap(orig_time=HUGE),), "OverflowError", None),
    ("on_snapshot", "NaN time", lambda s: (snap(orig_time=NAN),), "ValueError", None),
    ("on_snapshot", "numeric security id", lambda s: (snap(security_id=1),), "TypeError", None),
    ("on_snapshot", "unknown market", lambda s: (snap(market_type="SZ"),), "ValueError", None),
    ("on_snapshot", "missing last field", lambda s: (ns(**{
        k: v for k, v in vars(snap()).items() if k != "trading_phase_code"}),),
     "AttributeError", lambda tw, s: tw.history_tick == {}),
    ("on_snapshot", "junk prices pass through", lambda s: (snap(open_price="x", ask_price=None,
                                                              iopv=NAN),), "ok",
     lambda tw, s: tw.history_tick[CODE][-1]["open_price"] == "x"),
    ("on_snapshot", "unknown instrument after the cache write",
     lambda s: (snap(security_id="999999"),), "KeyError",
     lambda tw, s: len(tw.history_tick["999999.XSHE"]) == 60),
    ("on_tick_order", "None", lambda s: (None,), "AttributeError", None),
    ("on_tick_order", "side as text", lambda s: (R.TickOrder(side="1"),), "TypeError", None),
    ("on_tick_order", "side as float", lambda s: (R.TickOrder(side=49.0),), "TypeError", None),
    ("on_tick_order", "negative side", lambda s: (R.TickOrder(side=-1),), "ValueError", None),
    ("on_tick_order", "side beyond unicode", lambda s: (R.TickOrder(side=0x110000),),
     "ValueError", None),
    ("on_tick_order", "huge side", lambda s: (R.TickOrder(side=HUGE),), "OverflowError", None),
    ("on_tick_order", "failing __index__", lambda s: (R.TickOrder(order_type=Index(None)),),
     "TypeError", None),
    ("on_tick_order", "huge order type", lambda s: (R.TickOrder(order_type=2**64),),
     "OverflowError", None),
    ("on_tick_order", "huge time", lambda s: (R.TickOrder(order_time=-HUGE),), "OverflowError",
     None),
    ("on_tick_order", "no orig_order_no", lambda s: (ns(**{
        k: v for k, v in vars(R.TickOrder()).items() if k != "orig_order_no"}),),
     "AttributeError", None),
    ("on_tick_trade", "None", lambda s: (None,), "AttributeError", None),
    ("on_tick_trade", "sequence numbers not comparable",
     lambda s: (R.TickTrade(bid_appl_seq_num="1", offer_appl_seq_num=2),), "TypeError", None),
    ("on_tick_trade", "failing comparison", lambda s: (R.TickTrade(bid_appl_seq_num=BadEq()),),
     "RuntimeError", None),
    ("on_tick_trade", "NaN sequence numbers",
     lambda s: (R.TickTrade(bid_appl_seq_num=NAN, offer_appl_seq_num=NAN),), "ok", None),
    ("on_tick_trade", "trade type None", lambda s: (R.TickTrade(trade_type=None),), "TypeError",
     None),
    ("on_tick_trade", "time as list", lambda s: (R.TickTrade(trade_time=[1]),), "TypeError", None),
    ("on_bar", "None", lambda s: (None,), "AttributeError", None),
    ("on_bar", "time as text", lambda s: (R.Bar(end_time="x"),), "TypeError", None),
    ("on_bar", "huge time", lambda s: (R.Bar(end_time=HUGE),), "OverflowError", None),
    ("on_bar", "no volume", lambda s: (ns(**{
        k: v for k, v in vars(R.Bar()).items() if k != "volume"}),), "AttributeError",
     lambda tw, s: tw.history_bar == {}),
    ("on_bar", "current time not comparable, after the cache write",
     lambda s: (setattr(s, "current_trade_dt", BadEq()) or R.Bar(),), "RuntimeError",
     lambda tw, s: len(tw.history_bar[CODE]) == 200 and s.bar_cnt == 0),
    # account ---------------------------------------------------------------------------------
    ("on_login", "None", lambda s: (None,), "AttributeError", None),
    ("on_login", "unprintable account", lambda s: (R.LoginResult(fund_account_id=BadStr()),),
     "RuntimeError", lambda tw, s: len(tw.event_queue) == 0),
    ("on_login", "failing code comparison after the event",
     lambda s: (R.LoginResult(error_code=BadEqCode()),), "RuntimeError",
     lambda tw, s: len(tw.event_queue) == 200 and s.logged_in is False),
    ("on_login", "no error_msg", lambda s: (ns(fund_account_id="1", error_code=0,
                                            client_seq_id=1),), "AttributeError",
     lambda tw, s: len(tw.event_queue) == 0),
    ("on_query_asset", "None", lambda s: (None, 1, 0, "ok"), "AttributeError", None),
    ("on_query_asset", "unprintable message", lambda s: (R.AssetResult(), 1, 0, BadStr()),
     "RuntimeError", None),
    ("on_query_asset", "failing code comparison", lambda s: (R.AssetResult(), 1, BadEq(), "x"),
     "RuntimeError", None),
    ("on_query_asset", "asset missing a field after the log",
     lambda s: (ns(fund_account_id="1", leaves_value=1.0), 1, 0, "ok"), "AttributeError",
     lambda tw, s: len(tw.event_queue) == 0),
    ("on_query_asset", "junk values pass through",
     lambda s: (R.AssetResult(leaves_value=NAN, total_asset=HUGE), None, 0, None), "ok",
     lambda tw, s: len(tw.event_queue) == 200),
    ("on_query_position", "None answer", lambda s: (None, 1, 0, "ok"), "ok",
     lambda tw, s: len(tw.event_queue) == 0),
    ("on_query_position", "unprintable code", lambda s: ([], 1, BadStr(), "ok"), "RuntimeError",
     None),
    ("on_query_position", "junk elements are skipped",
     lambda s: ([ns(security_id="a"), R.PositionRecord(market_id="SZ"),
                 R.PositionRecord(init_qty=NAN), R.PositionRecord(leaves_qty="x")], 1, 0, "ok"),
     "ok", lambda tw, s: [len(e.positions) for e in tw.event_queue.popleft_many(1)] == [2]),
    ("on_query_position", "element None: the warning cannot name it",
     lambda s: ([R.PositionRecord(), None], 1, 0, "ok"), "AttributeError",
     lambda tw, s: len(tw.event_queue) == 0),
    ("on_query_position", "unprintable id of a failing element",
     lambda s: ([ns(security_id=BadStr())], 1, 0, "ok"), "RuntimeError", None),
    ("on_query_position", "element without security_id",
     lambda s: ([ns(market_id=MarketType.SZSE)], 1, 0, "ok"), "AttributeError", None),
]


class BadEqCode(BadEq):
    def __str__(self):
        return "code"


# ---------------------------------------------------------------------------------------------
# The child process

def watched_objects(args):
    """The objects handed to the callback that are not shared constants: the arguments, the
    elements of list arguments and the attribute values of each."""
    out = []
    stack = list(args)
    while stack:
        obj = stack.pop()
        if obj is None or isinstance(obj, bool) or (type(obj) is int and -5 <= obj <= 256):
            continue
        if isinstance(obj, (MarketType, type)) or sys.getrefcount(obj) > 10**8:
            continue  # enumeration members, classes, statically allocated constants
        out.append(obj)
        if type(obj) is list:
            stack.extend(obj)
        elif hasattr(obj, "__dict__") and not isinstance(obj, type):
            stack.extend(vars(obj).values())
    return out


def run_child(callback: str) -> list:
    import tidesim

    tidesim.install()
    from orvane.tamsel.utils import tidewell
    from tidesim.framework.environment import Environment
    from tidesim.framework.utils import logger
    from tidesim.pyvorn.context import SimContext

    results = []
    for name, label, build, expected, effect in JUNK:
        if name != callback:
            continue
        tidesim.reset()
        Environment.get_instance().configure([CODE])
        strategy = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
        strategy.context = SimContext()
        strategy.logged_in = False
        strategy.current_trade_dt = 0
        strategy.bar_cnt = 0
        args = build(strategy)
        watched = watched_objects(args)
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        outcomes = set()
        method = getattr(strategy, callback)
        for _ in range(200):
            try:
                method(*args)
                outcomes.add("ok")
            except Exception as exc:  # noqa: BLE001 - what comes out is what is checked
                outcomes.add(type(exc).__name__)
        effect_ok = effect(tidewell, strategy) if effect is not None else True
        tidewell.event_queue.clear()
        tidewell.history_tick.clear()
        tidewell.history_bar.clear()
        strategy.context.calls.clear()
        logger.clear_lines()
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        leaks = [f"{type(o).__name__}: {b} -> {a}" for o, b, a in zip(watched, before, after)
                 if a != b]
        results.append({"label": label, "outcomes": sorted(outcomes), "expected": expected,
                        "effect_ok": effect_ok, "leaks": leaks})
    return results


# ---------------------------------------------------------------------------------------------
# The tests

@pytest.mark.parametrize("callback", sorted({row[0] for row in JUNK}))
def test_junk_records_fail_cleanly(callback):
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__)), callback],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.strip().splitlines()
    assert lines and lines[-1] == "interpreter alive", proc.stdout[-3000:]
    results = json.loads(lines[-2])
    assert len(results) == sum(1 for row in JUNK if row[0] == callback)
    for r in results:
        assert r["outcomes"] == [r["expected"]], r["label"]
        assert r["effect_ok"], r["label"]
        assert r["leaks"] == [], r["label"]


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    print(json.dumps(run_child(sys.argv[1])))
    print("interpreter alive")

"""The stand-ins for the trading SDK and the framework: registration, virtual time and the
converters whose errors would otherwise hide in the bridge's tests."""
import copy
import datetime as dt
import importlib
import sys
import types
from fractions import Fraction

import numpy
import pytest

import tidesim
from tidesim.clock import VirtualClock, patch_time
from tidesim.framework.config import ABSENT, make_config, trading_days
from tidesim.framework.const import ORDER_STATUS, SIDE
from tidesim.framework.environment import Environment
from tidesim.framework.model.algo_child_order import AlgoChildOrder
from tidesim.framework.model.algo_parent_order import AlgoParentOrder
from tidesim.framework.model.order import Order
from tidesim.framework.utils import logger
from tidesim.framework.utils.datetime_func import (convert_int_to_datetime,
                                                   convert_int_to_whole_date)
from tidesim.framework.utils.trade_func import (get_exchane_from_vorn_mdtype,
                                                get_side_from_vorn_l2_order,
                                                get_trade_type_from_vorn, get_vorn_tdtype)
from tidesim.pyvorn import context as sdk_context
from tidesim.pyvorn import records
from tidesim.pyvorn.enums import MarketType, TDType


@pytest.fixture
def clean_modules(monkeypatch):
    """sys.modules without the stand-ins; whatever the test registers is undone afterwards."""
    for name in tidesim.STANDINS:
        monkeypatch.delitem(sys.modules, name, raising=False)


# Registration ------------------------------------------------------------------------------

# What the bridge imports, module by module.
BRIDGE_IMPORTS = [
    ("orvane.tamsel.environment", ["Environment"]),
    ("orvane.tamsel.model.tick", ["TickObject"]),
    ("orvane.tamsel.model.trade", ["Trade"]),
    ("orvane.tamsel.model.l2_order", ["L2Order"]),
    ("orvane.tamsel.model.l2_transaction", ["L2Transaction"]),
    ("orvane.tamsel.utils.datetime_func", ["convert_int_to_whole_date", "convert_int_to_datetime"]),
    ("orvane.tamsel.utils.trade_func", [
        "get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
        "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn",
        "get_l2order_type_from_vorn"]),
    ("orvane.tamsel.utils.logger", ["system_log", "user_system_log"]),
    ("orvane.tamsel.model.algo_parent_order", ["AlgoParentOrder"]),
    ("orvane.tamsel.model.algo_child_order", ["AlgoChildOrder"]),
    ("orvane.tamsel.model.algo_child_trade", ["AlgoChildTrade"]),
    ("orvane.tamsel.const", ["ORDER_STATUS", "POSITION_DIRECTION", "SIDE"]),
    ("orvane.tamsel.portfolio.account", ["Asset"]),
    ("orvane.tamsel.portfolio.position", ["Position"]),
    ("pyvorn.strategy", ["VornStrategy"]),
    ("pyvorn.enums", ["MDType", "MarketType", "SubscribeDataType", "AlgoType",
                      "OrderStatusType", "AlgoControlType"]),
]


@pytest.mark.parametrize("module, names", BRIDGE_IMPORTS, ids=[m for m, _ in BRIDGE_IMPORTS])
def test_bridge_imports_resolve_to_standins(clean_modules, module, names):
    tidesim.install()
    mod = importlib.import_module(module)
    assert mod is tidesim.STANDINS[module]
    for name in names:
        assert getattr(mod, name) is not None


def test_install_is_idempotent_and_packages_hold_only_standins(clean_modules):
    tidesim.install()
    first = {name: sys.modules[name] for name in tidesim.STANDINS}
    tidesim.install()
    assert all(sys.modules[name] is first[name] for name in tidesim.STANDINS)
    assert sys.modules["orvane.tamsel.model"].tick is first["orvane.tamsel.model.tick"]
    # Nothing else can be imported from beneath a stand-in package, not even tidesim's own
    # files (which would load a second copy of the classes).
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("orvane.tamsel.model.order")
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("pyvorn.records")
    namespaces = ("orvane", "orvane.tamsel", "orvane.tamsel.core", "orvane.tamsel.utils")
    assert not any(sys.modules.get(name) in first.values() for name in namespaces)


def test_install_leaves_a_loaded_module_alone_unless_replace(clean_modules, monkeypatch):
    mine = types.ModuleType("pyvorn.enums")
    monkeypatch.setitem(sys.modules, "pyvorn.enums", mine)
    tidesim.install()
    assert sys.modules["pyvorn.enums"] is mine
    assert sys.modules["pyvorn.strategy"] is tidesim.strategy
    tidesim.install(replace=True)
    assert sys.modules["pyvorn.enums"] is tidesim.enums


def test_install_does_not_shadow_an_importable_package(clean_modules, monkeypatch, tmp_path):
    package = tmp_path / "pyvorn"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "enums.py").write_text("REAL = True\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    tidesim.install()
    assert importlib.import_module("pyvorn").__file__ == str(package / "__init__.py")
    assert importlib.import_module("pyvorn.enums").REAL
    # What the real package lacks is still stood in for.
    assert sys.modules["pyvorn.strategy"] is tidesim.strategy


def test_reset_restores_standin_state():
    env = Environment.get_instance().configure(instruments=["000001.XSHE"])
    logger.system_log.info("line")
    old_clock = sdk_context.get_default_clock()
    old_clock.schedule(old_clock.now, lambda: None)
    tidesim.reset()
    assert Environment.get_instance() is not env
    assert Environment.get_instance().get_universe() == []
    assert logger.lines == []
    fresh = sdk_context.get_default_clock()
    assert fresh is not old_clock and fresh.pending() == []
    assert fresh.now == sdk_context.DEFAULT_START


# Virtual clock -----------------------------------------------------------------------------

T0 = dt.datetime(2026, 1, 5, 8, 0)


def recorder(clock, fired, label):
    return lambda: fired.append((label, clock.now))


def test_clock_fires_by_due_time_then_registration_order():
    clock = VirtualClock(T0)
    fired = []
    at_9 = T0 + dt.timedelta(hours=1)
    for label, due in [("a", at_9), ("early", T0 + dt.timedelta(minutes=5)), ("b", at_9),
                       ("late", T0 + dt.timedelta(hours=3)), ("c", at_9)]:
        clock.schedule(due, recorder(clock, fired, label))
    assert [due for due, _ in clock.pending()] == sorted(due for due, _ in clock.pending())
    clock.advance_to(at_9)
    assert fired == [("early", T0 + dt.timedelta(minutes=5)), ("a", at_9), ("b", at_9),
                     ("c", at_9)]
    assert clock.now == at_9
    assert clock.next_due() == T0 + dt.timedelta(hours=3)


def test_timers_registered_by_a_callback_fire_in_the_same_advance_when_due():
    clock = VirtualClock(T0)
    fired = []

    def first():
        fired.append(("first", clock.now))
        clock.schedule(clock.now, recorder(clock, fired, "same instant"))
        clock.schedule(clock.now + dt.timedelta(minutes=1), recorder(clock, fired, "in range"))
        clock.schedule(clock.now + dt.timedelta(hours=5), recorder(clock, fired, "beyond"))

    clock.schedule(T0 + dt.timedelta(minutes=10), first)
    clock.schedule(T0 + dt.timedelta(minutes=10), recorder(clock, fired, "second"))
    clock.advance(3600)
    t10 = T0 + dt.timedelta(minutes=10)
    assert fired == [("first", t10), ("second", t10), ("same instant", t10),
                     ("in range", t10 + dt.timedelta(minutes=1))]
    assert clock.now == T0 + dt.timedelta(hours=1)
    assert [due for due, _ in clock.pending()] == [t10 + dt.timedelta(hours=5)]


@pytest.mark.parametrize("interval_ns, delay", [
    (-60_000_000_000, dt.timedelta(0)),   # in the past: fires at the next advance, at now
    (0, dt.timedelta(0)),
    (1_500, dt.timedelta(microseconds=1)),  # truncated to whole microseconds
    (3_000_000_000, dt.timedelta(seconds=3)),
])
def test_context_timer_interval(interval_ns, delay):
    clock = VirtualClock(T0)
    ctx = sdk_context.SimContext(clock)
    fired = []
    ctx.add_timer_interval(interval_ns, recorder(clock, fired, "t"))
    assert ctx.calls[0][0] == "add_timer_interval" and ctx.calls[0][1][0] == interval_ns
    clock.advance(0)
    assert fired == ([("t", T0)] if delay == dt.timedelta(0) else [])
    clock.advance(delay.total_seconds())
    assert fired == [("t", T0 + delay)]


@pytest.mark.parametrize("bad, error", [(3.0e9, TypeError), ("5", TypeError)])
def test_context_timer_interval_must_be_integer_nanoseconds(bad, error):
    with pytest.raises(error):
        sdk_context.SimContext(VirtualClock(T0)).add_timer_interval(bad, lambda: None)


def test_clock_never_moves_back():
    clock = VirtualClock(T0)
    with pytest.raises(ValueError):
        clock.advance_to(T0 - dt.timedelta(seconds=1))
    clock.schedule(T0 - dt.timedelta(hours=1), lambda: None)
    assert clock.pending()[0][0] == T0


def test_patch_time_follows_the_clock_and_restores_globals():
    module = types.ModuleType("fake_bridge")
    module.datetime, module.np, module.timedelta = dt.datetime, numpy, dt.timedelta
    clock = VirtualClock(dt.datetime(2026, 12, 8, 7, 0))
    with patch_time(module, clock):
        now = module.datetime.now()
        assert type(now) is dt.datetime and now == clock.now
        nine = module.datetime.combine(now.date(), module.time(9, 0, 0))
        assert nine - now == module.timedelta(hours=2)
        assert module.np.datetime64("today", "D") == numpy.datetime64("2026-12-08", "D")
        assert module.np.datetime64("2026-01-02", "D") == numpy.datetime64("2026-01-02")
        assert module.np.int64 is numpy.int64
        clock.advance(86400)
        assert module.datetime.today() == dt.datetime(2026, 12, 9, 7, 0)
    assert (module.datetime, module.np, module.timedelta) == (dt.datetime, numpy, dt.timedelta)
    assert not hasattr(module, "time")
    with pytest.raises(RuntimeError), patch_time(module, clock):
        raise RuntimeError
    assert module.datetime is dt.datetime and not hasattr(module, "time")


# Converters --------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (20261208093003125 / 1000, dt.datetime(2026, 12, 8, 9, 30, 3, 125000)),
    (20261208235959500 / 1000, dt.datetime(2026, 12, 8, 23, 59, 59, 500000)),
    (Fraction(20261208093003123, 1000), dt.datetime(2026, 12, 8, 9, 30, 3, 123000)),
    (Fraction(20261208093059999_6, 10000), dt.datetime(2026, 12, 8, 9, 31, 0)),  # carries
    (20261208093003, dt.datetime(2026, 12, 8, 9, 30, 3)),
    # …59.999 divided by 1000 is the float …60.0: the minute carries instead of failing.
    (20261208093059999 / 1000, dt.datetime(2026, 12, 8, 9, 31, 0)),
    (20261208235959999 / 1000, dt.datetime(2026, 12, 9, 0, 0, 0)),
])
def test_convert_int_to_datetime(value, expected):
    assert convert_int_to_datetime(value) == expected


def test_a_float_quotient_of_a_17_digit_time_is_within_two_milliseconds():
    # A float near 2e13 resolves 1/256 s, so the division has already lost up to 2 ms.
    base = dt.datetime(2026, 12, 8, 9, 30, 3)
    for millis in range(1000):
        got = convert_int_to_datetime((20261208093003000 + millis) / 1000)
        assert abs(got - (base + dt.timedelta(milliseconds=millis))) <= dt.timedelta(
            milliseconds=2)


@pytest.mark.parametrize("value, error", [
    (20261208093003123, ValueError),  # not divided by 1000
    (20261308093003, ValueError),     # month 13
    (-1, ValueError),
    (float("nan"), ValueError),
])
def test_convert_int_to_datetime_refuses_non_times(value, error):
    with pytest.raises(error):
        convert_int_to_datetime(value)


def test_convert_int_to_whole_date():
    assert convert_int_to_whole_date(20261208093100) == dt.datetime(2026, 12, 8)
    with pytest.raises(TypeError):
        convert_int_to_whole_date(20261208093100.0)


@pytest.mark.parametrize("call, expected", [
    (lambda: get_exchane_from_vorn_mdtype(MarketType.SZSE), "XSHE"),
    (lambda: get_exchane_from_vorn_mdtype(MarketType.SSE), "XSHG"),
    (lambda: get_exchane_from_vorn_mdtype("SZSE"), ValueError),
    (lambda: get_vorn_tdtype("SIM"), TDType.SIM),
    (lambda: get_vorn_tdtype("sim"), ValueError),  # destinations arrive upper-cased
    (lambda: get_side_from_vorn_l2_order("1", MarketType.SZSE), SIDE.BUY),
    (lambda: get_side_from_vorn_l2_order("S", MarketType.SSE), SIDE.SELL),
    (lambda: get_side_from_vorn_l2_order(ord("1"), MarketType.SZSE), TypeError),  # no chr()
    (lambda: get_side_from_vorn_l2_order("1", "XSHE"), ValueError),
    (lambda: get_trade_type_from_vorn("F"), "trade"),
    (lambda: get_trade_type_from_vorn(ord("F")), TypeError),
])
def test_code_converters(call, expected):
    if isinstance(expected, type) and issubclass(expected, Exception):
        with pytest.raises(expected):
            call()
    else:
        assert call() == expected


# Records the bridge deep-copies or inspects ------------------------------------------------

def test_algo_record_copy_is_distinct_equal_and_shares_history():
    first = AlgoParentOrder.from_vorn(records.ParentOrder(trade_qty=0), None)
    second = AlgoParentOrder.from_vorn(records.ParentOrder(trade_qty=100), first)
    clone = copy.deepcopy(second)
    assert clone is not second and clone == second and clone.previous is first
    assert clone.trade_qty == 100 and second != first
    clone.fields["trade_qty"] = 1
    assert second.trade_qty == 100
    with pytest.raises(TypeError):
        AlgoChildOrder.from_vorn(records.ChildOrder(), first)  # another cache's record


def test_order_copy_and_rejection():
    order = Order(order_id=7, side=SIDE.SELL)
    order.set_frozen_cash(1000.0)
    clone = copy.deepcopy(order)
    assert clone == order and clone is not order
    order.mark_rejected("12_no money")
    assert (order.status, order.reject_reason, order.frozen_cash) == (
        ORDER_STATUS.REJECTED, "12_no money", 0.0)
    assert clone.status is ORDER_STATUS.PENDING_NEW and clone != order
    with pytest.raises(TypeError):
        order.mark_rejected(12)


def test_config_absent_settings_are_not_attributes():
    config = make_config(accounts={"stock": "1001_sim"}, order_way=None,
                         trading_calendar=trading_days("2026-12-08"))
    assert not hasattr(config.base, "md_type") and not hasattr(config.base, "algo_account")
    assert config.base.order_way is None
    assert numpy.datetime64("2026-12-08", "D") in config.base.trading_calendar
    assert make_config(md_type=ABSENT, algo_account="x_atx").base.algo_account == "x_atx"

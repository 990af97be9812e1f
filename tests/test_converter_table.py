"""The stand-ins' time converter answers a remembered time from its table with no Python
frame, gives what converting gives for every value, and is timed with the stand-ins."""
from __future__ import annotations

import datetime as dt
import decimal
import fractions
import sys

import numpy
import pytest

from tidesim.framework.utils import datetime_func
from tidesim.framework.utils.datetime_func import convert_int_to_datetime
from tidesim.replay.standin_timing import Meter, timed_globals

from frames_support import python_calls

SECOND = dt.datetime(2026, 12, 8, 9, 30, 3)


def test_a_remembered_time_is_answered_without_a_python_frame():
    datetime_func._RECENT.clear()
    value = 20261208093003.125
    first, ran = python_calls(convert_int_to_datetime, value)
    assert ran  # converted, then remembered
    again, ran = python_calls(convert_int_to_datetime, value)
    assert again is first and again == SECOND + dt.timedelta(milliseconds=125) and not ran


@pytest.mark.parametrize("equal", [20261208093003, decimal.Decimal("20261208093003"),
                                   fractions.Fraction(20261208093003),
                                   numpy.float64(20261208093003.0)])
def test_a_number_equal_to_a_remembered_time_converts_to_the_same_date_time(equal):
    datetime_func._RECENT.clear()
    assert convert_int_to_datetime(20261208093003.0) == SECOND
    assert convert_int_to_datetime(equal) == SECOND
    datetime_func._RECENT.clear()
    assert convert_int_to_datetime(equal) == SECOND  # not remembered: the same answer


@pytest.mark.parametrize("value, error", [
    ([20261208093003.0], TypeError),   # not a number (and not hashable)
    ("20261208093003", TypeError),
    (float("nan"), ValueError),
    (float("inf"), ValueError),
    (20261308093003.0, ValueError),    # a 13th month
    (-1.0, ValueError),
])
def test_what_is_no_time_is_refused_every_time_and_never_remembered(value, error):
    datetime_func._RECENT.clear()
    for _ in range(2):
        with pytest.raises(error):
            convert_int_to_datetime(value)
    assert not datetime_func._RECENT


def test_the_converters_table_is_timed_with_the_standins():
    """The converter is a stand-in table's look-up, not a function: the timing still counts it
    among the stand-ins' calls."""
    module = type(sys)("bridge_like")
    module.convert_int_to_datetime = convert_int_to_datetime
    module.lookup = {}.get  # a builtin's method bound to no stand-in object: the bridge's own
    meter = Meter()
    timed = timed_globals(module, meter)
    assert set(timed) == {"convert_int_to_datetime"}
    assert timed["convert_int_to_datetime"](20261208093003.5) == SECOND.replace(microsecond=500000)
    assert meter.calls == 1



# -- the trade type and the level-2 codes ----------------------------------------------------

from tidesim.framework.utils import trade_func  # noqa: E402
from tidesim.pyvorn.enums import MarketType  # noqa: E402


class Other(str):
    pass


@pytest.mark.parametrize("char, expected", [
    ("F", "trade"), ("4", "cancel"), (Other("F"), "trade"),
    ("X", ValueError), ("", TypeError), ("FF", TypeError), (70, TypeError), (None, TypeError),
    (["F"], TypeError),
])
def test_trade_types_convert_from_the_table(char, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            trade_func.get_trade_type_from_vorn(char)
        return
    got, ran = python_calls(trade_func.get_trade_type_from_vorn, char)
    assert got == expected and not ran


@pytest.mark.parametrize("call, char, market, expected", [
    (trade_func.get_side_from_vorn_l2_order, "1", MarketType.SZSE, "BUY"),
    (trade_func.get_side_from_vorn_l2_order, "S", MarketType.SSE, "SELL"),
    (trade_func.get_side_from_vorn_l2_order, "S", MarketType.SZSE, ValueError),
    (trade_func.get_side_from_vorn_l2_order, "1", MarketType.SSE, ValueError),
    (trade_func.get_order_type_from_vorn_l2_order, "U", MarketType.SZSE, "best_own"),
    (trade_func.get_order_type_from_vorn_l2_order, "D", MarketType.SSE, "limit"),
    (trade_func.get_l2order_type_from_vorn, "D", MarketType.SSE, "cancel"),
    (trade_func.get_l2order_type_from_vorn, "2", MarketType.SZSE, "new"),
    (trade_func.get_l2order_type_from_vorn, "2", "SZSE", ValueError),
])
def test_level2_codes_convert_by_market(call, char, market, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            call(char, market)
    else:
        assert getattr(call(char, market), "name", call(char, market)) == expected


def test_the_trade_types_table_is_timed_with_the_standins():
    module = type(sys)("bridge_like")
    module.get_trade_type_from_vorn = trade_func.get_trade_type_from_vorn
    meter = Meter()
    timed = timed_globals(module, meter)
    assert timed["get_trade_type_from_vorn"]("F") == "trade" and meter.calls == 1

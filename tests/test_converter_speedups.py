"""The stand-ins' converters after they were made cheap give exactly what the straightforward
arithmetic gives, on every float the bridge can pass them (and on the odd values)."""
from __future__ import annotations

import datetime as dt
import math
import operator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tidesim.framework.utils.datetime_func import convert_int_to_datetime
from tidesim.framework.utils.trade_func import (get_exchane_from_vorn_mdtype,
                                                get_l2order_type_from_vorn,
                                                get_order_type_from_vorn_l2_order,
                                                get_side_from_vorn_l2_order)
from tidesim.pyvorn.enums import MarketType


def straightforward(value):
    """Floor, round the fraction to milliseconds, carry a rounded-up 60th second, then build
    the date-time and add the milliseconds (ValueError for what is not a time)."""
    try:
        whole, millis = operator.index(value), 0
    except TypeError:
        if not math.isfinite(value):
            raise ValueError("not a time") from None
        whole = math.floor(value)
        millis = round((value - whole) * 1000)
        if whole % 100 == 60:
            whole, millis = whole - 1, millis + 1000
    if whole < 0:
        raise ValueError("not a time")
    ymd, hms = divmod(whole, 1000000)
    return dt.datetime(ymd // 10000, ymd // 100 % 100, ymd % 100, hms // 10000, hms // 100 % 100,
                       hms % 100) + dt.timedelta(milliseconds=millis)


def outcome(fn, value):
    try:
        return fn(value)
    except (ValueError, OverflowError) as exc:
        return type(exc)


sdk_times = st.builds(lambda d, ms: int(d.strftime("%Y%m%d%H%M%S")) * 1000 + ms,
                      st.datetimes(dt.datetime(1990, 1, 1), dt.datetime(2099, 12, 31)),
                      st.integers(0, 999))


@settings(max_examples=3000, deadline=None)
@given(st.one_of(sdk_times.map(lambda t: t / 1000), sdk_times.map(lambda t: t // 1000),
                 st.floats(0, 1e14), st.floats(allow_nan=True, allow_infinity=True)))
def test_times_convert_as_the_straightforward_arithmetic_does(value):
    assert outcome(convert_int_to_datetime, value) == outcome(straightforward, value)


@pytest.mark.parametrize("value", [20260105093059.999, 20260105235959.999, 20261305093000.5,
                                   20260105246000.0, 20260105093060.0, -1.5, 0.0])
def test_edge_times_convert_as_before(value):
    assert outcome(convert_int_to_datetime, value) == outcome(straightforward, value)


@pytest.mark.parametrize("call, args, expected", [
    (get_exchane_from_vorn_mdtype, (MarketType.SZSE,), "XSHE"),
    (get_exchane_from_vorn_mdtype, (MarketType.SSE,), "XSHG"),
    (get_side_from_vorn_l2_order, ("1", MarketType.SZSE), "BUY"),
    (get_side_from_vorn_l2_order, ("S", MarketType.SSE), "SELL"),
    (get_order_type_from_vorn_l2_order, ("U", MarketType.SZSE), "best_own"),
    (get_l2order_type_from_vorn, ("D", MarketType.SSE), "cancel"),
    (get_side_from_vorn_l2_order, ("B", MarketType.SZSE), ValueError),  # the other market's code
    (get_side_from_vorn_l2_order, ("1", "SZSE"), ValueError),  # not a member
    (get_side_from_vorn_l2_order, ("1", [MarketType.SZSE]), ValueError),  # unhashable
    (get_side_from_vorn_l2_order, (49, MarketType.SZSE), TypeError),
    (get_exchane_from_vorn_mdtype, (None,), ValueError),
])
def test_code_look_ups_by_member_identity_keep_their_answers(call, args, expected):
    try:
        got = call(*args)
    except (ValueError, TypeError) as exc:
        got = type(exc)
    assert getattr(got, "name", got) == expected

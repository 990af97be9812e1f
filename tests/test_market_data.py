"""Market-data callbacks of VornStrategy: snapshots, level-2 orders and transactions, bars.

Driven as the SDK drives them (records in, through the public callbacks) and observed as the
framework observes them (event_queue, history_tick, history_bar). Converters and framework
services are the stand-ins, or recording fakes put into the bridge's namespace where a test
needs to see exactly what reached them.
"""
from __future__ import annotations

import decimal
import fractions
import types
from collections import deque

import pytest

from orvane.tamsel.core.events import EVENT
from orvane.tamsel.utils import tidewell
from bridge_support import bare_strategy, take_events
from tidesim.framework.const import SIDE
from tidesim.framework.environment import Environment
from tidesim.pyvorn.enums import MarketType
from tidesim.pyvorn.records import Bar, Snapshot, TickOrder, TickTrade

CODE = "000001.XSHE"


@pytest.fixture(autouse=True)
def clean_bridge():
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()
    tidewell.history_bar.clear()
    Environment.get_instance().configure([CODE])
    yield
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()
    tidewell.history_bar.clear()


@pytest.fixture
def strategy():
    return bare_strategy()


def fields(event):
    return list(vars(event))


class Recorder:
    """A converter stand-in that records its arguments and returns a fresh marker object."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args):
        self.calls.append(args)
        if self.result is not None:
            return self.result(*args)
        return types.SimpleNamespace(args=args)


# ---------------------------------------------------------------------------------------------
# Snapshots

def test_snapshot_builds_tick_dict_caches_it_and_emits_tick(strategy, monkeypatch):
    snap = Snapshot(orig_time=20261208093003125)
    strategy.on_snapshot(snap)

    (ev,) = take_events()
    assert ev.event_type is EVENT.TICK
    assert fields(ev) == ["calendar_dt", "trading_dt", "tick", "event_type"]
    assert ev.calendar_dt is ev.trading_dt
    assert str(ev.calendar_dt) == "2026-12-08 09:30:03.125000"

    tick = ev.tick.tick_dict
    assert list(tick) == [
        "market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
        "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
        "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement", "iopv",
        "trading_phase_code"]
    assert tick["market_code"] == CODE
    assert tick["datetime"] is ev.calendar_dt
    assert tick["total_turnover"] is snap.total_value_trade
    assert tick["volume"] is snap.total_volume_trade
    assert tick["prev_close"] is snap.pre_close_price
    # Level sequences are passed on unchanged, not copied.
    assert tick["asks"] is snap.ask_price and tick["ask_vols"] is snap.ask_volume
    assert tick["bids"] is snap.bid_price and tick["bid_vols"] is snap.bid_volume
    assert ev.tick.instrument is Environment.get_instance().data_proxy.instruments(CODE)

    # The cached dictionary is the one inside the TickObject.
    queue = tidewell.history_tick[CODE]
    assert type(queue) is deque and queue.maxlen == 60
    assert len(queue) == 1 and queue[0] is tick
    assert tidewell.get_current_tick(CODE) is tick


def test_snapshot_reads_fields_in_table_order(strategy):
    order = []

    class Spy(Snapshot):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                order.append(name)
            return object.__getattribute__(self, name)

    strategy.on_snapshot(Spy())
    assert order == [
        "orig_time", "security_id", "market_type", "open_price", "close_price", "high_price",
        "low_price", "total_value_trade", "total_volume_trade", "pre_close_price", "ask_volume",
        "ask_price", "bid_volume", "bid_price", "high_limited", "last_price", "low_limited",
        "open_interest", "prev_settlement", "iopv", "trading_phase_code"]


@pytest.mark.parametrize("count", [1, 60, 61, 125])
def test_tick_history_keeps_the_latest_60(strategy, count):
    for k in range(count):
        strategy.on_snapshot(Snapshot(last_price=k))
    queue = tidewell.history_tick[CODE]
    kept = min(count, 60)
    assert len(queue) == kept
    first = count - kept
    assert [t["last_price"] for t in queue] == list(range(first, count))
    assert len(take_events()) == count


def test_snapshot_queue_created_once_per_code_through_module_deque(strategy, monkeypatch):
    made = []

    def fake_deque(*args, **kwargs):
        made.append((args, kwargs))
        return deque(*args, **kwargs)

    monkeypatch.setattr(tidewell, "deque", fake_deque)
    Environment.get_instance().configure([CODE, "000002.XSHE"])
    strategy.on_snapshot(Snapshot())
    strategy.on_snapshot(Snapshot())
    strategy.on_snapshot(Snapshot(security_id="000002"))
    assert made == [((), {"maxlen": 60}), ((), {"maxlen": 60})]
    assert sorted(tidewell.history_tick) == [CODE, "000002.XSHE"]


def _no_instrument(monkeypatch):
    Environment.get_instance().configure([])  # the stand-in raises KeyError for the code


def _broken_tick_object(monkeypatch):
    def broken(instrument, tick):
        raise KeyError("tick object")

    monkeypatch.setattr(tidewell, "TickObject", broken)


@pytest.mark.parametrize("break_it", [_no_instrument, _broken_tick_object])
def test_failure_after_the_cache_write_leaves_the_snapshot_cached(strategy, monkeypatch,
                                                                  break_it):
    break_it(monkeypatch)
    with pytest.raises(KeyError):
        strategy.on_snapshot(Snapshot())
    assert len(tidewell.history_tick[CODE]) == 1
    assert take_events() == []


def test_snapshot_accepts_its_record_by_keyword(strategy):
    strategy.on_snapshot(snapshot=Snapshot())
    assert len(take_events()) == 1
    with pytest.raises(TypeError, match="unexpected keyword argument 'tick'"):
        strategy.on_snapshot(tick=Snapshot())
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'snapshot'"):
        strategy.on_snapshot()


# ---------------------------------------------------------------------------------------------
# Every callback: time quotient and market code

TIME_FIELD = {
    "on_snapshot": (Snapshot, "orig_time"),
    "on_tick_order": (TickOrder, "order_time"),
    "on_tick_trade": (TickTrade, "trade_time"),
    "on_bar": (Bar, "end_time"),
}


@pytest.mark.parametrize("callback", list(TIME_FIELD))
@pytest.mark.parametrize("raw", [
    20261208093003121,           # 17 digits: the quotient is 20261208093003.12109375
    20261208093003123,
    123,
    7.5,
    decimal.Decimal("20261208093003123"),
    fractions.Fraction(20261208093003123),
])
def test_time_reaches_the_converter_as_the_true_quotient(strategy, monkeypatch, callback, raw):
    record_type, field = TIME_FIELD[callback]
    conv = Recorder()
    monkeypatch.setattr(tidewell, "convert_int_to_datetime", conv)
    monkeypatch.setattr(tidewell, "convert_int_to_whole_date", Recorder())
    getattr(strategy, callback)(record_type(**{field: raw}))

    expected = raw / 1000
    (args,) = conv.calls
    assert len(args) == 1
    assert type(args[0]) is type(expected)
    assert args[0] == expected
    if isinstance(expected, float):
        assert args[0].hex() == expected.hex()
    if raw == 20261208093003121:
        assert args[0] == 20261208093003.12109375


@pytest.mark.parametrize("callback", list(TIME_FIELD))
def test_market_code_is_id_dot_exchange(strategy, monkeypatch, callback):
    record_type, _ = TIME_FIELD[callback]
    exchange = Recorder(lambda market_type: "X")
    monkeypatch.setattr(tidewell, "get_exchane_from_vorn_mdtype", exchange)
    instruments = {}

    class Proxy:
        def instruments(self, code):
            instruments[code] = True
            return "instrument"

    Environment.get_instance().data_proxy = Proxy()
    record = record_type(security_id="A", market_type=MarketType.SSE)
    if callback == "on_tick_order":
        record.side, record.order_type = ord("B"), ord("A")
    getattr(strategy, callback)(record)

    assert exchange.calls[0] == (MarketType.SSE,)
    (ev,) = take_events()
    if callback == "on_snapshot":
        assert ev.tick.tick_dict["market_code"] == "A.X"
        assert instruments == {"A.X": True}
        assert list(tidewell.history_tick) == ["A.X"]
    elif callback == "on_tick_order":
        assert ev.l2_order.market_code == "A.X"
    elif callback == "on_tick_trade":
        assert ev.l2_transaction.market_code == "A.X"
    else:
        assert list(tidewell.history_bar) == ["A.X"]
        assert tidewell.history_bar["A.X"][0]["market_code"] == "A.X"


@pytest.mark.parametrize("callback", ["on_tick_order", "on_tick_trade"])
def test_level2_callbacks_leave_the_caches_alone(strategy, callback):
    record_type, _ = TIME_FIELD[callback]
    getattr(strategy, callback)(record_type())
    assert tidewell.history_tick == {} and tidewell.history_bar == {}
    assert len(take_events()) == 1


# ---------------------------------------------------------------------------------------------
# Level-2 orders and transactions

def test_tick_order_record_arguments_and_event(strategy):
    rec = TickOrder(order_time=20260105093000250, biz_index=41, side=ord("2"), order_price=9.5,
                    order_volume=700, order_type=ord("1"), orig_order_no=88)
    strategy.on_tick_order(rec)
    (ev,) = take_events()
    assert ev.event_type is EVENT.L2_ORDER
    assert fields(ev) == ["calendar_dt", "trading_dt", "l2_order", "event_type"]
    assert ev.calendar_dt is ev.trading_dt
    o = ev.l2_order
    assert o._values() == (41, CODE, ev.calendar_dt, SIDE.SELL, 9.5, 700, "market", 88, "new")
    assert o.price is rec.order_price


def test_tick_trade_record_arguments_and_event(strategy):
    rec = TickTrade(trade_time=20260105093000250, biz_index=42, trade_price=9.5,
                    trade_volume=700, value_trade=6650.0, trade_type=ord("4"),
                    bid_appl_seq_num=11, offer_appl_seq_num=5)
    strategy.on_tick_trade(rec)
    (ev,) = take_events()
    assert ev.event_type is EVENT.L2_TRANSACTION
    assert fields(ev) == ["calendar_dt", "trading_dt", "l2_transaction", "event_type"]
    assert ev.calendar_dt is ev.trading_dt
    t = ev.l2_transaction
    assert t._values() == (42, CODE, ev.calendar_dt, SIDE.BUY, 9.5, 700, 6650.0, "cancel", 11, 5)


@pytest.mark.parametrize("bid, offer, side", [
    (10, 7, SIDE.BUY),
    (7, 10, SIDE.SELL),
    (7, 7, SIDE.SELL),
    (7.5, 7, SIDE.BUY),
    (7.0, 7, SIDE.SELL),
])
def test_transaction_side_rule(strategy, bid, offer, side):
    strategy.on_tick_trade(TickTrade(bid_appl_seq_num=bid, offer_appl_seq_num=offer))
    (ev,) = take_events()
    assert ev.l2_transaction.side is side


class Index:
    """An integer-like object: chr() accepts anything with __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("code, char", [
    (ord("1"), "1"),
    (ord("U"), "U"),
    (0x4E2D, "\u4e2d"),
    (0x10FFFF, "\U0010ffff"),
    (True, "\x01"),
    (Index(ord("B")), "B"),
])
def test_character_codes_reach_the_converters_as_text(strategy, monkeypatch, code, char):
    side = Recorder()
    order_type = Recorder()
    l2_type = Recorder()
    trade_type = Recorder()
    monkeypatch.setattr(tidewell, "get_side_from_vorn_l2_order", side)
    monkeypatch.setattr(tidewell, "get_order_type_from_vorn_l2_order", order_type)
    monkeypatch.setattr(tidewell, "get_l2order_type_from_vorn", l2_type)
    monkeypatch.setattr(tidewell, "get_trade_type_from_vorn", trade_type)

    strategy.on_tick_order(TickOrder(side=code, order_type=code, market_type=MarketType.SSE))
    strategy.on_tick_trade(TickTrade(trade_type=code))

    assert side.calls == [(char, MarketType.SSE)]
    assert order_type.calls == [(char, MarketType.SSE)]
    assert l2_type.calls == [(char, MarketType.SSE)]
    assert trade_type.calls == [(char,)]
    order_ev, trade_ev = take_events()
    o = order_ev.l2_order
    assert (o.side.args, o.order_type.args, o.l2_order_type.args) == (
        (char, MarketType.SSE), (char, MarketType.SSE), (char, MarketType.SSE))
    assert trade_ev.l2_transaction.trade_type.args == (char,)


@pytest.mark.parametrize("code", [-1, 0x110000, 2**31, 2**80, 1.0, "1", None, Index(-5)])
def test_bad_character_codes_fail_as_chr_fails(strategy, code):
    with pytest.raises(Exception) as expected:
        chr(code)
    for callback, record in [("on_tick_order", TickOrder(side=code)),
                             ("on_tick_order", TickOrder(order_type=code)),
                             ("on_tick_trade", TickTrade(trade_type=code))]:
        with pytest.raises(type(expected.value)) as got:
            getattr(strategy, callback)(record)
        assert str(got.value) == str(expected.value)
    assert take_events() == []


# ---------------------------------------------------------------------------------------------
# Bars

T1 = 20260105093100000
T2 = 20260105093200000


def bar_of(code="000001", end_time=T1):
    return Bar(security_id=code, end_time=end_time)


def test_bar_dict_and_cache(strategy):
    rec = Bar(end_time=20260105093100500, open=1.5, close=2.5, high=3.5, low=0.5,
              amount=99.0, volume=7, prev_close=1.25)
    strategy.on_bar(rec)
    queue = tidewell.history_bar[CODE]
    assert type(queue) is deque and queue.maxlen is None
    (entry,) = queue
    assert list(entry) == ["market_code", "orig_time", "open_price", "close_price",
                           "high_price", "low_price", "total_turnover", "volume", "prev_close"]
    assert list(entry.values())[2:] == [1.5, 2.5, 3.5, 0.5, 99.0, 7, 1.25]
    assert entry["market_code"] == CODE
    assert str(entry["orig_time"]) == "2026-01-05 09:31:00.500000"
    assert tidewell.get_current_bar(CODE) is entry


def test_bar_queue_is_unbounded_and_made_through_module_deque(strategy, monkeypatch):
    made = []

    def fake_deque(*args, **kwargs):
        made.append((args, kwargs))
        return deque(*args, **kwargs)

    monkeypatch.setattr(tidewell, "deque", fake_deque)
    for k in range(70):
        strategy.on_bar(bar_of(end_time=T1 + k))
    assert made == [((), {})]
    assert len(tidewell.history_bar[CODE]) == 70


# (universe size, bars as (code, end time)) -> number of BAR events after each bar, final count
@pytest.mark.parametrize("universe, bars, events_after, final_cnt", [
    # three codes, one bar each at the same time: the third completes the set
    (3, [("1", T1), ("2", T1), ("3", T1)], [0, 0, 1], 0),
    # a later time restarts the count; nothing is emitted for the earlier time
    (3, [("1", T1), ("2", T1), ("1", T2)], [0, 0, 0], 1),
    # a single code: every bar completes
    (1, [("1", T1), ("1", T2), ("1", T2)], [1, 2, 3], 0),
    # an empty universe never completes
    (0, [("1", T1), ("2", T1), ("3", T1)], [0, 0, 0], 3),
    # the counter does not look at codes: two bars of one code count twice
    (2, [("1", T1), ("1", T1)], [0, 1], 0),
    # after a BAR event a bar of the same time counts from 1 again
    (2, [("1", T1), ("2", T1), ("1", T1), ("2", T1)], [0, 1, 1, 2], 0),
])
def test_bar_counting(strategy, universe, bars, events_after, final_cnt):
    Environment.get_instance().configure([CODE], universe=[f"C{k}" for k in range(universe)])
    seen = 0
    for (code, t), expected in zip(bars, events_after):
        strategy.on_bar(bar_of(code=f"00000{code}", end_time=t))
        seen += len([e for e in take_events() if e.event_type is EVENT.BAR])
        assert seen == expected
    assert strategy.bar_cnt == final_cnt
    assert strategy.current_trade_dt == bars[-1][1] / 1000
    assert type(strategy.current_trade_dt) is float


def test_universe_size_is_fetched_for_every_bar(strategy):
    env = Environment.get_instance()
    env.configure([CODE], universe=["a", "b", "c"])
    strategy.on_bar(bar_of())
    assert take_events() == []
    env.configure([CODE], universe=["a", "b"])
    strategy.on_bar(bar_of())  # the second bar now completes the smaller universe
    assert len(take_events()) == 1
    env.configure([CODE], universe=["a"])
    strategy.on_bar(bar_of())
    assert len(take_events()) == 1


@pytest.mark.parametrize("initial", [0, 0.0, False])
def test_initial_bar_time_zero_counts_the_first_bar(strategy, initial):
    Environment.get_instance().configure([CODE], universe=["a", "b"])
    strategy.current_trade_dt = initial
    strategy.bar_cnt = 5
    strategy.on_bar(bar_of())
    assert strategy.bar_cnt == 6
    assert strategy.current_trade_dt == T1 / 1000


def test_bar_event_uses_whole_date_of_the_integer_bar_time(strategy, monkeypatch):
    whole = Recorder()
    monkeypatch.setattr(tidewell, "convert_int_to_whole_date", whole)
    strategy.on_bar(bar_of(end_time=20260105093100500))
    (ev,) = take_events()
    assert ev.event_type is EVENT.BAR
    assert fields(ev) == ["calendar_dt", "trading_dt", "event_type"]
    assert ev.calendar_dt is ev.trading_dt
    (args,) = whole.calls
    assert type(args[0]) is int and args[0] == 20260105093100
    assert ev.calendar_dt.args == args
    assert strategy.bar_cnt == 0
    assert strategy.current_trade_dt == 20260105093100.5


def test_failing_universe_leaves_bar_cached_and_counted(strategy, monkeypatch):
    def broken():
        raise RuntimeError("universe")

    monkeypatch.setattr(Environment.get_instance(), "get_universe", broken)
    with pytest.raises(RuntimeError, match="universe"):
        strategy.on_bar(bar_of())
    assert len(tidewell.history_bar[CODE]) == 1
    assert strategy.bar_cnt == 1
    assert strategy.current_trade_dt == T1 / 1000
    assert take_events() == []


def test_failing_whole_date_keeps_the_count(strategy, monkeypatch):
    def broken(value):
        raise ValueError("date")

    monkeypatch.setattr(tidewell, "convert_int_to_whole_date", broken)
    with pytest.raises(ValueError, match="date"):
        strategy.on_bar(bar_of())
    # the count is reset only after the event went out
    assert strategy.bar_cnt == 1
    assert take_events() == []


def test_bar_time_compared_only_when_current_time_is_not_zero(strategy):
    reads = []

    class Spy(Bar):
        def __getattribute__(self, name):
            if name == "end_time":
                reads.append(name)
            return object.__getattribute__(self, name)

    Environment.get_instance().configure([CODE], universe=["a", "b", "c"])
    strategy.on_bar(Spy(end_time=T1))
    assert len(reads) == 2  # the bar dictionary, then the new current time
    reads.clear()
    strategy.on_bar(Spy(end_time=T1))
    assert len(reads) == 3  # plus the comparison with the current time

"""Baseline for the callback benchmarks: the bridge's callbacks as a straightforward Python
module would have them (a Python `Event` class, the pure-Python `numpy_ringbuffer.RingBuffer`
as the queue, module globals looked up by the interpreter), plus the machinery both sides run
on: near-free stand-ins, a way to put them into the native bridge's namespace for the length
of a measurement, and a timer that drains the queue between repetitions.

The stand-ins are chosen so that the bridge's own work dominates what is measured: records
are `types.SimpleNamespace`; converters are C builtins of the right arity; record classes are
C types; log methods are `len`; the environment's methods are bound methods of builtin
containers. Both sides read the same stand-ins through their module globals.

Other benchmark modules reuse this one: add a callback to `PlainStrategy`, its stand-ins to
`standins()`, and measure with `measure()` inside `native_globals()`.
"""
from __future__ import annotations

import contextlib
import gc
import itertools
import math
import time
import types

import common
from collections import deque

from numpy_ringbuffer import RingBuffer

QUEUE_CAPACITY = 1_000_000


# ---------------------------------------------------------------------------------------------
# The plain-Python bridge. Its globals (converters, record classes, loggers, EVENT, ...) are
# filled by install(); event_queue is replaced by fresh_queue() between measurements.

class Event:
    """The event record as a plain Python class: keyword fields, then event_type."""

    def __init__(self, event_type, **kwargs):
        self.__dict__ = kwargs
        self.event_type = event_type


history_tick = {}
history_bar = {}
event_queue = RingBuffer(capacity=16, dtype=object)


class PlainStrategy:
    def __init__(self, context):
        self.context = context
        self.logged_in = False
        self.current_trade_dt = 0
        self.bar_cnt = 0

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vorn_mdtype(snapshot.market_type)
        tick = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick)
        event_queue.append(Event(
            EVENT.TICK, calendar_dt=dt, trading_dt=dt,
            tick=TickObject(Environment.get_instance().data_proxy.instruments(market_code), tick)))

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_vorn_mdtype(tick_order.market_type)
        side = get_side_from_vorn_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price,
            tick_order.order_volume,
            get_order_type_from_vorn_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_vorn(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vorn_mdtype(tick_trade.market_type)
        if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num:
            side = SIDE.BUY
        else:
            side = SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price,
            tick_trade.trade_volume, tick_trade.value_trade,
            get_trade_type_from_vorn(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                 l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vorn_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        if self.current_trade_dt == 0 or self.current_trade_dt == bar.end_time / 1000:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = bar.end_time / 1000
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            d = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=d, trading_dt=d))
            self.bar_cnt = 0

    def on_login(self, login_res):
        system_log.info("on_login fund_account_id:" + str(login_res.fund_account_id)
                        + ", error_code:" + str(login_res.error_code))
        event_queue.append(Event(EVENT.LOGIN, rid=login_res.client_seq_id,
                                 account_id=login_res.fund_account_id,
                                 code=login_res.error_code, msg=login_res.error_msg))
        if login_res.error_code == 0:
            self.logged_in = True
            self.context.query_asset(login_res.fund_account_id)
            self.context.query_position(login_res.fund_account_id)

    def on_query_asset(self, asset_res, request_id, code, msg):
        system_log.info("on_query_asset, " + str(asset_res.fund_account_id) + ", leaves_value:"
                        + str(asset_res.leaves_value) + " code " + str(code) + "  ms " + str(msg))
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id,
                                     account_id=asset_res.fund_account_id, code=code, msg=msg))
            return
        event_queue.append(Event(
            EVENT.QUERY_ACCOUNT, rid=request_id, account_id=asset_res.fund_account_id,
            asset=Asset(asset_res.fund_account_id, asset_res.available_t1, asset_res.frozen_all,
                        asset_res.market_value, asset_res.total_asset, asset_res.leaves_value,
                        asset_res.init_leaves_value)))

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info("on_query_position: code:" + str(code) + ", msg:" + str(msg))
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, code=code, msg=msg))
            return
        if type(query_position_res) is list and len(query_position_res) > 0:
            positions = []
            for pos in query_position_res:
                try:
                    position = Position(
                        pos.security_id + "." + get_exchane_from_vorn_mdtype(pos.market_id),
                        POSITION_DIRECTION.LONG, pos.init_qty)
                    position.set_state({
                        "quantity": pos.leaves_qty,
                        "available_qty": pos.available_qty,
                        "avg_price": pos.cost_price,
                        "last_price": pos.last_price,
                        "market_value": pos.market_value,
                        "daily_pnl": pos.profit_loss,
                    })
                except Exception as err:
                    user_system_log.warning("on_query_position position do not add: "
                                            + str(pos.security_id) + "  exception: " + str(err))
                    continue
                positions.append(position)
            event_queue.append(Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))


# ---------------------------------------------------------------------------------------------
# Near-free stand-ins shared by both sides.

class _Position(itertools.chain):
    """A position record: built from any positional arguments, set_state takes one mapping."""

    __slots__ = ()
    set_state = staticmethod(len)


def standins(universe_size: int = 1) -> dict:
    """The module globals both bridges read, as near-free C callables and plain containers."""
    instrument = object()
    instruments = {}
    for k in range(1000):
        instruments[f"{k:06d}.SZ"] = instrument
    env = types.SimpleNamespace(
        data_proxy=types.SimpleNamespace(instruments=instruments.get),
        get_universe=[f"{k:06d}.SZ" for k in range(universe_size)].copy,
    )
    return {
        "convert_int_to_datetime": float,
        "convert_int_to_whole_date": int,
        "get_exchane_from_vorn_mdtype": str,
        "get_side_from_vorn_l2_order": max,
        "get_order_type_from_vorn_l2_order": max,
        "get_l2order_type_from_vorn": max,
        "get_trade_type_from_vorn": str,
        "TickObject": slice,
        "L2Order": types.SimpleNamespace(__from_create__=itertools.chain),
        "L2Transaction": types.SimpleNamespace(__from_create__=itertools.chain),
        "Asset": itertools.chain,
        "Position": _Position,
        "SIDE": types.SimpleNamespace(BUY="BUY", SELL="SELL"),
        "POSITION_DIRECTION": types.SimpleNamespace(LONG="LONG"),
        "Environment": types.SimpleNamespace(get_instance=itertools.repeat(env).__next__),
        "system_log": types.SimpleNamespace(info=len),
        "user_system_log": types.SimpleNamespace(warning=len),
    }


def context():
    """The SDK context: query calls are `len` of the account id."""
    return types.SimpleNamespace(query_asset=len, query_position=len)


def install(values: dict, event_type_enum) -> None:
    """Fills the plain bridge's globals with the stand-ins and the event-type enumeration."""
    globals().update(values)
    globals()["EVENT"] = event_type_enum


def fresh_queue() -> None:
    """A new, empty plain event queue (the old one and its events are released)."""
    global event_queue
    event_queue = RingBuffer(capacity=QUEUE_CAPACITY, dtype=object)


def clear_caches() -> None:
    history_tick.clear()
    history_bar.clear()


@contextlib.contextmanager
def native_globals(module, values: dict):
    """Puts `values` into the native module's namespace, restoring the old ones on exit."""
    missing = object()
    saved = {k: module.__dict__.get(k, missing) for k in values}
    try:
        module.__dict__.update(values)
        yield
    finally:
        for k, v in saved.items():
            if v is missing:
                module.__dict__.pop(k, None)
            else:
                module.__dict__[k] = v


# ---------------------------------------------------------------------------------------------
# Records (SDK side), all SimpleNamespace.

def snapshot(code: int = 1):
    return types.SimpleNamespace(
        orig_time=20261208093003121, security_id=f"{code:06d}", market_type="SZ",
        open_price=10.0, close_price=10.1, high_price=10.3, low_price=9.9,
        total_value_trade=1.5e8, total_volume_trade=1500000, pre_close_price=10.0,
        ask_volume=[100] * 10, ask_price=[10.1] * 10, bid_volume=[100] * 10, bid_price=[10.0] * 10,
        high_limited=11.0, last_price=10.1, low_limited=9.0, open_interest=0,
        prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")


def tick_order(code: int = 1):
    return types.SimpleNamespace(
        order_time=20261208093003121, security_id=f"{code:06d}", market_type="SZ", side=49,
        biz_index=12345, order_price=10.05, order_volume=300, order_type=50, orig_order_no=777)


def tick_trade(code: int = 1):
    return types.SimpleNamespace(
        trade_time=20261208093003121, security_id=f"{code:06d}", market_type="SZ",
        bid_appl_seq_num=10, offer_appl_seq_num=7, biz_index=54321, trade_price=10.05,
        trade_volume=300, value_trade=3015.0, trade_type=70)


def bar(code: int = 1):
    return types.SimpleNamespace(
        security_id=f"{code:06d}", market_type="SZ", end_time=20261208093100000, open=10.0,
        close=10.1, high=10.2, low=9.9, amount=1.0e6, volume=100000, prev_close=10.0)


def login():
    return types.SimpleNamespace(fund_account_id="A001", error_code=0, client_seq_id=7,
                                 error_msg="ok")


def asset():
    return types.SimpleNamespace(fund_account_id="A001", leaves_value=1.0e6, available_t1=9.0e5,
                                 frozen_all=1.0e5, market_value=5.0e5, total_asset=1.5e6,
                                 init_leaves_value=1.0e6)


def positions(n: int = 3):
    return [types.SimpleNamespace(
        security_id=f"{k:06d}", market_id="SZ", init_qty=100 * k, leaves_qty=100 * k,
        available_qty=100 * k, cost_price=10.0, last_price=10.5, market_value=1050.0 * k,
        profit_loss=50.0 * k) for k in range(1, n + 1)]


# ---------------------------------------------------------------------------------------------
# Timing

def _counted_run(call, args, reset):
    """A probe's runner: one reset, then the calls (as one timed batch has them)."""

    def run(n):
        reset()
        for _ in itertools.repeat(None, n):
            call(*args)
    return run


def measure(runs, number: int = 20000, repeat: int = 9, share: float = 1.0) -> list[float]:
    """Best time of one call, in ns, for each of `runs`: (call, args, reset) triples.

    The runs take turns, one batch of `number` calls each per round, so that a change of load
    on the machine touches them alike; each keeps its best round. `reset()` runs before each
    batch, outside the timing: it gives the callback an empty queue and empty caches, so no
    batch works against a fuller queue than another. The collector is off while timing, as
    timeit has it. When counting instructions, each run is a probe making `share` of the
    counted calls.
    """
    if common.counting():
        return [common.probe(_counted_run(call, args, reset), share) for call, args, reset in runs]
    best = [math.inf] * len(runs)
    enabled = gc.isenabled()
    try:
        for _ in range(repeat):
            for i, (call, args, reset) in enumerate(runs):
                reset()
                gc.collect()
                gc.disable()
                loop = itertools.repeat(None, number)
                t0 = time.perf_counter_ns()
                for _ in loop:
                    call(*args)
                best[i] = min(best[i], time.perf_counter_ns() - t0)
                if enabled:
                    gc.enable()
    finally:
        if enabled:
            gc.enable()
        for _, _, reset in runs:
            reset()
    return [b / number for b in best]

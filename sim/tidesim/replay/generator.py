"""Deterministic synthetic trading days.

`generate_session(path, ...)` writes a session (docs/session-format.md) for N securities: the
SDK's login and account answers before the open; snapshots every 3 s per security from 09:15
to 15:00 with ten price levels; level-2 orders and transactions as a Poisson stream per
security; one-minute bars; about a hundred orders of the strategy with their acceptances,
partial fills, fills, cancellations, refused cancellations and rejects (each placed into the
framework's open-order cache by a place_order act just before the SDK reports on it); and a
few algorithmic parent orders with their child orders and trades, one paused and resumed, one
cancelled, plus one refused creation.

Everything comes from random generators seeded with text derived from `seed`, so the same
arguments give the same file byte for byte. Entries are produced in delivery order through a
small heap that holds only the entries whose delivery time may still be overtaken, so a large
day is streamed, never held in memory.

The generator knows the stand-ins' codes (exchange suffixes, level-2 character codes); it is a
development tool and reads them from the stand-in modules.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import heapq
import itertools
import math
import os
import random
from typing import Any

from ..framework.utils.trade_func import get_exchane_from_vorn_mdtype
from ..pyvorn.enums import MarketType
from .format import SessionHeader, SessionWriter

MS_MIN = 60_000
MS_HOUR = 3_600_000


def _ms(h: int, m: int, s: int = 0, ms: int = 0) -> int:
    return h * MS_HOUR + m * MS_MIN + s * 1000 + ms


OPEN_CALL = _ms(9, 15)       # opening call auction starts; first snapshot
OPEN_MATCH = _ms(9, 25)      # opening price set
CONTINUOUS_AM = _ms(9, 30)
LUNCH = _ms(11, 30)
CONTINUOUS_PM = _ms(13, 0)
CLOSE_CALL = _ms(14, 57)
CLOSE = _ms(15, 0)           # last snapshot

ENUM_SZSE = {"$enum": "MarketType.SZSE"}
ENUM_SSE = {"$enum": "MarketType.SSE"}


def _status(name: str) -> dict:
    return {"$enum": f"OrderStatusType.{name}"}


@dataclasses.dataclass
class GeneratedSession:
    """What the generator wrote, and what a correct replay must end with."""

    path: str
    entries: int
    callbacks: dict[str, int]
    acts: int
    # client order id -> (framework ORDER_STATUS member name, filled quantity) after the day
    expected_orders: dict[int, tuple[str, int]]
    # expected number of each event type the bridge emits for this session (by EVENT name)
    expected_events: dict[str, int]


@dataclasses.dataclass
class _Security:
    index: int
    security_id: str
    market: MarketType
    code: str
    rng: random.Random
    prev_close: float
    price: float
    tick: float = 0.01
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    volume: int = 0
    turnover: float = 0.0
    # the minute bar being built
    bar_open: float = 0.0
    bar_high: float = 0.0
    bar_low: float = 0.0
    bar_volume: int = 0
    bar_amount: float = 0.0
    # level-2 sequence numbers and the next arrival time (ms since midnight)
    biz_index: int = 0
    appl_seq: int = 0
    next_l2: float = 0.0
    recent_orders: list = dataclasses.field(default_factory=list)

    @property
    def market_enum(self) -> dict:
        return ENUM_SZSE if self.market is MarketType.SZSE else ENUM_SSE

    @property
    def high_limited(self) -> float:
        return round(self.prev_close * 1.1, 2)

    @property
    def low_limited(self) -> float:
        return round(self.prev_close * 0.9, 2)


class _Writer:
    """Time-ordered output: entries wait in a heap until no later-generated entry can be
    delivered before them (flush(t) releases those due at or before t)."""

    def __init__(self, writer: SessionWriter, day: _dt.date) -> None:
        self.w = writer
        self.prefix = day.isoformat() + "T"
        self.sdk_day = day.year * 10_000_000_000_000 + day.month * 100_000_000_000 + \
            day.day * 1_000_000_000
        self.heap: list[tuple[int, int, dict]] = []
        self.seq = itertools.count()
        self.entries = 0
        self.callbacks: dict[str, int] = {}
        self.acts = 0

    def sdk_time(self, ms: int) -> int:
        """YYYYMMDDHHMMSSmmm of a time of the session's day given in ms since midnight.

        Never ends in 999 ms: the bridge divides SDK times by 1000 into a float, which at this
        magnitude resolves 1/256 s, so HHMMSS.999 becomes (HHMMSS+1).000 and a time at second
        59 reads as second 60, which the framework's converter refuses. Real recordings can hold
        such times (the replay then reports the converter's error); a synthetic day shifts them
        by a millisecond so that it replays cleanly."""
        h, rest = divmod(ms, MS_HOUR)
        m, rest = divmod(rest, MS_MIN)
        s, milli = divmod(rest, 1000)
        return self.sdk_day + h * 10_000_000 + m * 100_000 + s * 1000 + min(milli, 998)

    def local(self, ms: int) -> str:
        h, rest = divmod(ms, MS_HOUR)
        m, rest = divmod(rest, MS_MIN)
        s, milli = divmod(rest, 1000)
        return f"{self.prefix}{h:02d}:{m:02d}:{s:02d}.{milli:03d}"

    def cb(self, ms: int, name: str, *args: Any) -> None:
        heapq.heappush(self.heap, (ms, next(self.seq), {"cb": name, "args": list(args)}))

    def act(self, ms: int, name: str, *args: Any) -> None:
        heapq.heappush(self.heap, (ms, next(self.seq), {"act": name, "args": list(args)}))

    def flush(self, upto: int | None = None) -> None:
        heap = self.heap
        while heap and (upto is None or heap[0][0] <= upto):
            ms, _, body = heapq.heappop(heap)
            line = {"t": self.local(ms)}
            line.update(body)
            self.w.write_json(line)
            self.entries += 1
            if "cb" in body:
                self.callbacks[body["cb"]] = self.callbacks.get(body["cb"], 0) + 1
            else:
                self.acts += 1


def _trading_calendar(day: _dt.date) -> list[str]:
    """The weekdays of the four weeks around `day` (the session's day always included)."""
    first = day - _dt.timedelta(days=14)
    days = (first + _dt.timedelta(days=i) for i in range(29))
    return [d.isoformat() for d in days if d.weekday() < 5 or d == day]


def _poisson_gap(rng: random.Random, rate_per_s: float) -> float:
    return rng.expovariate(rate_per_s) * 1000.0 if rate_per_s > 0 else math.inf


class _Day:
    def __init__(self, securities: int, seed: int, l2_rate: float, orders: int,
                 algo_parents: int, levels: int, data_until: int, fund_account: str,
                 algo_trader: str) -> None:
        self.out: _Writer = None  # type: ignore[assignment]  # set once the header is written
        self.seed = seed
        self.l2_rate = l2_rate
        self.levels = levels
        self.data_until = data_until
        self.fund_account = fund_account
        self.algo_trader = algo_trader
        self.secs: list[_Security] = []
        for i in range(securities):
            rng = random.Random(f"{seed}/security/{i}")
            if i % 2 == 0:
                market, sid = MarketType.SZSE, f"{i // 2 + 1:06d}"
            else:
                market, sid = MarketType.SSE, f"{600000 + i // 2:06d}"
            code = f"{sid}.{get_exchane_from_vorn_mdtype(market)}"
            prev = round(rng.uniform(4.0, 60.0), 2)
            sec = _Security(i, sid, market, code, rng, prev, prev)
            sec.next_l2 = OPEN_CALL + _poisson_gap(rng, l2_rate)
            self.secs.append(sec)
        self.order_rng = random.Random(f"{seed}/orders")
        self.algo_rng = random.Random(f"{seed}/algo")
        self.expected_orders: dict[int, tuple[str, int]] = {}
        self.expected_events: dict[str, int] = {}
        self._plan_orders(orders)
        self._plan_algo(algo_parents)

    def expect(self, event: str, n: int = 1) -> None:
        self.expected_events[event] = self.expected_events.get(event, 0) + n

    # -- before the open -----------------------------------------------------------------

    def morning(self, start_ms: int) -> None:
        out, rng = self.out, random.Random(f"{self.seed}/morning")
        t = start_ms + 40 + rng.randrange(30)
        out.cb(t, "on_initialize")
        t += 1000 + rng.randrange(400)
        out.cb(t, "on_login", {"fund_account_id": self.fund_account, "error_code": 0,
                               "client_seq_id": 1, "error_msg": ""})
        self.expect("LOGIN")
        cash = 5_000_000.0
        held = self.secs[: min(3, len(self.secs))]
        positions = []
        market_value = 0.0
        for sec in held:
            qty = 100 * rng.randrange(10, 200)
            cost = round(sec.prev_close * rng.uniform(0.85, 1.1), 3)
            value = round(qty * sec.prev_close, 2)
            market_value += value
            positions.append({
                "security_id": sec.security_id, "market_id": sec.market_enum, "init_qty": qty,
                "leaves_qty": qty, "available_qty": qty, "cost_price": cost,
                "last_price": sec.prev_close, "market_value": value,
                "profit_loss": round(value - qty * cost, 2)})
        t += 60 + rng.randrange(40)
        out.cb(t, "on_query_asset", {
            "fund_account_id": self.fund_account, "leaves_value": cash, "available_t1": cash,
            "frozen_all": 0.0, "market_value": round(market_value, 2),
            "total_asset": round(cash + market_value, 2), "init_leaves_value": cash},
            2, 0, "success")
        self.expect("QUERY_ACCOUNT")
        t += 20 + rng.randrange(40)
        out.cb(t, "on_query_position", positions, 3, 0, "success")
        if positions:
            self.expect("QUERY_POSITION")
        t += 600 + rng.randrange(400)
        out.cb(t, "on_algo_login", {"client_seq_id": 1, "trader_id": self.algo_trader,
                                    "error_code": 0, "error_msg": ""})
        self.expect("ALGO_LOGIN")

    # -- market data ---------------------------------------------------------------------

    def phase(self, ms: int) -> str:
        if ms < OPEN_MATCH:
            return "O0"
        if ms < CONTINUOUS_AM:
            return "B0"
        if ms < LUNCH:
            return "T0"
        if ms < CONTINUOUS_PM:
            return "B0"
        if ms < CLOSE_CALL:
            return "T0"
        if ms < CLOSE:
            return "C0"
        return "E0"

    def step(self, ts: int) -> None:
        """Everything whose SDK time falls in (ts - 3 s, ts], for every security."""
        phase = self.phase(ts)
        minute_end = ts % MS_MIN == 0 and (CONTINUOUS_AM < ts <= LUNCH or CONTINUOUS_PM < ts <= CLOSE)
        for sec in self.secs:
            self._l2(sec, ts)
            self._move(sec, ts, phase)
            self._snapshot(sec, ts, phase)
        if minute_end:
            for sec in self.secs:
                self._bar(sec, ts)
            if self.secs:
                self.expect("BAR")
        self._orders_due(ts)

    def _move(self, sec: _Security, ts: int, phase: str) -> None:
        rng = sec.rng
        if phase == "T0" or (ts == OPEN_MATCH) or ts == CLOSE:
            if ts == OPEN_MATCH:
                sec.price = self._clamp(sec, sec.prev_close * (1 + rng.gauss(0, 0.01)))
                sec.open = sec.high = sec.low = sec.price
                vol = 100 * rng.randrange(50, 400)
            else:
                steps = rng.choices((-2, -1, 0, 1, 2), (1, 6, 10, 6, 1))[0]
                sec.price = self._clamp(sec, sec.price + steps * sec.tick)
                vol = 100 * rng.randrange(0, 60)
            if vol:
                sec.volume += vol
                sec.turnover = round(sec.turnover + vol * sec.price, 2)
                sec.high = max(sec.high, sec.price)
                sec.low = min(sec.low, sec.price)
                if sec.bar_volume == 0:
                    sec.bar_open = sec.bar_high = sec.bar_low = sec.price
                sec.bar_high = max(sec.bar_high, sec.price)
                sec.bar_low = min(sec.bar_low, sec.price)
                sec.bar_volume += vol
                sec.bar_amount = round(sec.bar_amount + vol * sec.price, 2)

    @staticmethod
    def _clamp(sec: _Security, p: float) -> float:
        return round(min(max(p, sec.low_limited), sec.high_limited), 2)

    def _snapshot(self, sec: _Security, ts: int, phase: str) -> None:
        rng, out, n = sec.rng, self.out, self.levels
        started = ts >= OPEN_MATCH
        ref = sec.price if started else sec.prev_close
        bids = [round(ref - i * sec.tick, 2) for i in range(n)]
        asks = [round(ref + (i + 1) * sec.tick, 2) for i in range(n)]
        bid_vols = [100 * rng.randrange(1, 120) for _ in range(n)]
        ask_vols = [100 * rng.randrange(1, 120) for _ in range(n)]
        out.cb(ts + 15 + rng.randrange(40), "on_snapshot", {
            "security_id": sec.security_id, "market_type": sec.market_enum,
            "orig_time": out.sdk_time(ts),
            "open_price": sec.open, "close_price": sec.price if ts >= CLOSE else 0.0,
            "high_price": sec.high, "low_price": sec.low,
            "total_value_trade": sec.turnover, "total_volume_trade": sec.volume,
            "pre_close_price": sec.prev_close,
            "ask_volume": ask_vols, "ask_price": asks, "bid_volume": bid_vols, "bid_price": bids,
            "high_limited": sec.high_limited, "last_price": sec.price if started else 0.0,
            "low_limited": sec.low_limited, "open_interest": 0, "prev_settlement": 0.0,
            "iopv": 0.0, "trading_phase_code": phase})
        self.expect("TICK")

    def _bar(self, sec: _Security, ts: int) -> None:
        rng, out = sec.rng, self.out
        if sec.bar_volume == 0:
            sec.bar_open = sec.bar_high = sec.bar_low = sec.price
        out.cb(ts + 300 + rng.randrange(500), "on_bar", {
            "security_id": sec.security_id, "market_type": sec.market_enum,
            "end_time": out.sdk_time(ts), "open": sec.bar_open, "close": sec.price,
            "high": sec.bar_high, "low": sec.bar_low, "amount": sec.bar_amount,
            "volume": sec.bar_volume, "prev_close": sec.prev_close})
        sec.bar_volume = 0
        sec.bar_amount = 0.0

    def _l2(self, sec: _Security, ts: int) -> None:
        rng, out = sec.rng, self.out
        while sec.next_l2 <= ts:
            at = int(sec.next_l2)
            sec.next_l2 += _poisson_gap(rng, self.l2_rate)
            phase = self.phase(at)
            if phase not in ("O0", "T0", "C0"):
                continue
            sec.biz_index += 1
            deliver = at + 2 + rng.randrange(12)
            if phase == "T0" and sec.recent_orders and rng.random() < 0.4:
                self._l2_trade(sec, at, deliver)
            else:
                self._l2_order(sec, at, deliver)

    def _l2_order(self, sec: _Security, at: int, deliver: int) -> None:
        rng, out = sec.rng, self.out
        sec.appl_seq += 1
        ref = sec.price if at >= OPEN_MATCH else sec.prev_close
        price = self._clamp(sec, ref + rng.randrange(-5, 6) * sec.tick)
        volume = 100 * rng.randrange(1, 80)
        buy = rng.random() < 0.5
        orig = sec.appl_seq
        if sec.market is MarketType.SZSE:
            side = ord("1") if buy else ord("2")
            kind = rng.choices("21U", (85, 10, 5))[0]
            if kind == "1":
                price = 0.0
        else:
            side = ord("B") if buy else ord("S")
            kind = "D" if sec.recent_orders and rng.random() < 0.1 else "A"
            if kind == "D":
                orig = rng.choice(sec.recent_orders)[0]
        if kind != "D":
            sec.recent_orders.append((sec.appl_seq, buy))
            del sec.recent_orders[:-50]
        out.cb(deliver, "on_tick_order", {
            "security_id": sec.security_id, "market_type": sec.market_enum,
            "order_time": out.sdk_time(at), "biz_index": sec.biz_index, "side": side,
            "order_price": price, "order_volume": volume, "order_type": ord(kind),
            "orig_order_no": orig})
        self.expect("L2_ORDER")

    def _l2_trade(self, sec: _Security, at: int, deliver: int) -> None:
        rng, out = sec.rng, self.out
        seq, buy = rng.choice(sec.recent_orders)
        other = max(1, seq - rng.randrange(1, 40))
        cancel = sec.market is MarketType.SZSE and rng.random() < 0.15
        if cancel:
            bid, offer = (seq, 0) if buy else (0, seq)
            price, volume, value, kind = 0.0, 100 * rng.randrange(1, 30), 0.0, "4"
        else:
            bid, offer = (seq, other) if buy else (other, seq)
            price = sec.price
            volume = 100 * rng.randrange(1, 30)
            value, kind = round(price * volume, 2), "F"
        out.cb(deliver, "on_tick_trade", {
            "security_id": sec.security_id, "market_type": sec.market_enum,
            "trade_time": out.sdk_time(at), "biz_index": sec.biz_index,
            "trade_price": price, "trade_volume": volume, "value_trade": value,
            "trade_type": ord(kind), "bid_appl_seq_num": bid, "offer_appl_seq_num": offer})
        self.expect("L2_TRANSACTION")

    # -- the strategy's orders -----------------------------------------------------------

    OUTCOMES = (("filled", 48), ("partial_cancel", 10), ("cancel", 12), ("rejected", 10),
                ("cancel_refused", 6), ("open", 8), ("pending_cancel", 6))

    def _plan_orders(self, n: int) -> None:
        rng = self.order_rng
        windows = [(CONTINUOUS_AM + 5000, LUNCH - 120_000), (CONTINUOUS_PM + 5000, CLOSE_CALL - 150_000)]
        windows = [(a, min(b, self.data_until - 150_000)) for a, b in windows]
        windows = [(a, b) for a, b in windows if b > a]
        total = sum(b - a for a, b in windows)
        times = []
        if self.secs and total > 0:
            for _ in range(n):
                x = rng.randrange(total)
                for a, b in windows:
                    if x < b - a:
                        times.append(a + x)
                        break
                    x -= b - a
        times.sort()
        names = [o for o, _ in self.OUTCOMES]
        weights = [w for _, w in self.OUTCOMES]
        self.order_plan = [(t, 1001 + i, rng.choices(names, weights)[0], rng.randrange(len(self.secs)))
                           for i, t in enumerate(times)]
        self.order_plan.reverse()  # popped from the end, earliest first
        # Two reports for orders placed elsewhere (another terminal): logged and ignored.
        self.foreign = sorted(rng.randrange(CONTINUOUS_AM, CLOSE_CALL) for _ in range(2 if n else 0))
        self.foreign = [t for t in self.foreign if t < self.data_until]

    def _orders_due(self, ts: int) -> None:
        while self.order_plan and self.order_plan[-1][0] <= ts:
            t, cid, outcome, si = self.order_plan.pop()
            self._order(t, cid, outcome, self.secs[si])
        while self.foreign and self.foreign[0] <= ts:
            t = self.foreign.pop(0)
            sec = self.secs[0]
            self.out.cb(t, "on_order", self._report(90000 + t % 1000, sec, sec.price, 500,
                                                    "Sended", counter=770000000 + t % 100000))

    @staticmethod
    def _report(cid: int, sec: _Security, price: float, qty: int, status: str, *, traded: int = 0,
                value: float = 0.0, last_qty: int = 0, last_price: float = 0.0, counter: int = 0,
                frozen: float = 0.0, error_code: int = 0, error_msg: str = "") -> dict:
        return {"client_order_id": cid, "security_id": sec.security_id,
                "market_type": sec.market_enum, "order_price": price,
                "order_status": _status(status), "order_qty": qty, "trade_qty": traded,
                "total_trade_value": round(value, 2), "error_code": error_code,
                "error_msg": error_msg, "last_match_qty": last_qty,
                "last_match_price": last_price, "counter_order_id": counter,
                "frozen_trade_value": round(frozen, 2)}

    def _order(self, t: int, cid: int, outcome: str, sec: _Security) -> None:
        rng, out = self.order_rng, self.out
        buy = rng.random() < 0.6
        qty = 100 * rng.randrange(1, 40)
        price = self._clamp(sec, sec.price + (-1 if buy else 1) * rng.randrange(0, 3) * sec.tick)
        order_id = 10000 + cid
        out.act(t, "place_order", cid, {
            "order_id": order_id, "market_code": sec.code,
            "side": {"$const": "SIDE.BUY" if buy else "SIDE.SELL"},
            "quantity": qty, "price": price,
            "position_effect": {"$const": "POSITION_EFFECT.OPEN" if buy else "POSITION_EFFECT.CLOSE"}})
        frozen = price * qty if buy else 0.0
        counter = 880000000 + cid
        t += 3 + rng.randrange(6)
        out.cb(t, "on_order", self._report(cid, sec, price, qty, "UnSend", frozen=frozen))
        t += 10 + rng.randrange(30)
        if outcome == "rejected":
            code, msg = rng.choice(((11010, "insufficient available funds"),
                                    (11023, "price outside the daily limits"),
                                    (11005, "security suspended")))
            out.cb(t, "on_order", self._report(cid, sec, price, qty, "Reject", error_code=code,
                                               error_msg=msg))
            self.expect("ORDER_UNSOLICITED_UPDATE")
            self.expected_orders[cid] = ("REJECTED", 0)
            return
        out.cb(t, "on_order", self._report(cid, sec, price, qty, "Sended", counter=counter,
                                           frozen=frozen))
        self.expect("ORDER_CREATION_PASS")

        # matches: the whole quantity for fills, part of it otherwise
        lots = qty // 100
        if outcome in ("filled", "cancel_refused"):
            fill_lots = lots
        elif outcome in ("partial_cancel", "pending_cancel"):
            fill_lots = rng.randrange(1, lots) if lots > 1 else 0
        elif outcome == "open":
            fill_lots = rng.randrange(0, lots) if lots > 1 else 0
        else:
            fill_lots = 0
        chunks = self._split(rng, fill_lots)
        traded, value = 0, 0.0
        for i, c in enumerate(chunks):
            t += 200 + rng.randrange(20_000)
            last = 100 * c
            traded += last
            value += last * price
            final = traded == qty
            status = "Filled" if final else "PartiallyFilled"
            rest = (qty - traded) * price if buy else 0.0
            out.cb(t, "on_order", self._report(cid, sec, price, qty, status, traded=traded,
                                               value=value, last_qty=last, last_price=price,
                                               counter=counter, frozen=rest))
            self.expect("TRADE")
            t += 1 + rng.randrange(3)
            out.cb(t, "on_trade", {"client_order_id": cid, "security_id": sec.security_id,
                                   "market_type": sec.market_enum, "trade_qty": last,
                                   "trade_price": price, "trade_time": out.sdk_time(t - 2)})
        if outcome == "cancel_refused":
            t += 5 + rng.randrange(20)
            out.cb(t, "on_order_action_error", {"client_order_id": cid, "error_code": 20013,
                                                "error_msg": "order already filled or cancelled"})
            self.expect("ORDER_CANCELLATION_REJECT")
        if outcome in ("partial_cancel", "cancel", "pending_cancel"):
            t += 2000 + rng.randrange(60_000)
            wait = "PartiallyFilledWaitCancelled" if traded else "WaitCancelled"
            out.cb(t, "on_order", self._report(cid, sec, price, qty, wait, traded=traded,
                                               value=value, counter=counter,
                                               frozen=(qty - traded) * price if buy else 0.0))
            self.expect("ORDER_PENDING_CANCEL")
            if outcome != "pending_cancel":
                t += 20 + rng.randrange(60)
                done = "PartiallyFilledPartiallyCancelled" if traded else "Cancelled"
                out.cb(t, "on_order", self._report(cid, sec, price, qty, done, traded=traded,
                                                   value=value, counter=counter))
                self.expect("ORDER_CANCELLATION_PASS")
        if outcome in ("filled", "cancel_refused"):
            state = "FILLED"
        elif outcome in ("partial_cancel", "cancel"):
            state = "CANCELLED"
        elif traded:
            state = "PARTIALLY_FILLED"
        else:
            state = "ACTIVE"
        self.expected_orders[cid] = (state, traded)

    @staticmethod
    def _split(rng: random.Random, lots: int) -> list[int]:
        if lots <= 0:
            return []
        parts = min(lots, rng.randrange(1, 4))
        cuts = sorted(rng.sample(range(1, lots), parts - 1)) if parts > 1 else []
        bounds = [0, *cuts, lots]
        return [b - a for a, b in zip(bounds, bounds[1:])]

    # -- algorithmic orders ----------------------------------------------------------------

    def _plan_algo(self, parents: int) -> None:
        rng = self.algo_rng
        lo, hi = CONTINUOUS_AM + 300_000, min(_ms(14, 0), self.data_until - 1_800_000)
        self.algo_plan: list[tuple[int, int]] = []
        if not self.secs or parents <= 0 or hi <= lo:
            return
        times = sorted(rng.randrange(lo, hi) for _ in range(parents + 1))
        # the first slot is a refused creation; the others are parent orders
        self.algo_plan = [(t, k) for k, t in enumerate(times)]

    def algo(self) -> None:
        """Schedules every algorithmic order of the day (small, so all at once)."""
        rng, out = self.algo_rng, self.out
        child_ids = itertools.count(71001)
        trade_ids = itertools.count(91001)
        for t, k in self.algo_plan:
            if k == 0:
                out.cb(t, "on_create_algo_parent_order_res", {
                    "client_seq_id": 300, "sys_quote_id": 0, "error_code": 30001,
                    "error_msg": "parent order quantity below the minimum"})
                self.expect("PARENT_ORDER_CREATE")
                continue
            pid, seq = 7000 + k, 300 + k
            sec = self.secs[rng.randrange(len(self.secs))]
            side = ord("1") if rng.random() < 0.5 else ord("2")
            price = sec.prev_close
            children = 3 + rng.randrange(4)
            child_qty = 100 * rng.randrange(2, 20)
            total = children * child_qty
            parent = {"sys_quote_id": pid, "client_seq_id": seq, "security_id": sec.security_id,
                      "market_type": sec.market_enum, "side": side, "order_qty": total,
                      "trade_qty": 0, "trade_value": 0.0, "status": 0, "update_time": 0}

            def parent_update(at: int, **changes: Any) -> None:
                parent.update(changes, update_time=out.sdk_time(at))
                out.cb(at, "on_algo_parent_order_update", dict(parent))
                self.expect("PARENT_ORDER_UPDATE")

            out.cb(t, "on_create_algo_parent_order_res", {"client_seq_id": seq, "sys_quote_id": pid,
                                                          "error_code": 0, "error_msg": ""})
            self.expect("PARENT_ORDER_CREATE")
            t += 10 + rng.randrange(20)
            parent_update(t, status=1)
            cancel_at = 2 if k == 2 else None  # the second parent is cancelled after two children
            pause_at = 1 if k == 1 else None   # the first is paused after one child, then resumed
            done_qty, done_value = 0, 0.0
            for c in range(children):
                if c == cancel_at:
                    t += 5000 + rng.randrange(20_000)
                    out.cb(t, "on_cancel_algo_parent_order_res", {
                        "client_seq_id": seq + 100, "sys_quote_id": pid, "error_code": 0,
                        "error_msg": ""})
                    self.expect("PARENT_ORDER_CANCEL")
                    t += 5 + rng.randrange(10)
                    parent_update(t, status=4)
                    break
                if c == pause_at:
                    for ctl, status in (("Pause", 2), ("Resume", 1)):
                        t += 10_000 + rng.randrange(60_000)
                        member = {"$enum": f"AlgoControlType.{ctl}"}
                        out.cb(t, "on_control_algo_parent_order_res", {
                            "client_seq_id": seq + 200, "sys_quote_id": pid, "control_type": member,
                            "algo_control_type": member, "error_code": 0, "error_msg": ""})
                        self.expect(f"PARENT_ORDER_{ctl.upper()}")
                        t += 5 + rng.randrange(10)
                        parent_update(t, status=status)
                t += 30_000 + rng.randrange(120_000)
                cid = next(child_ids)
                cprice = round(price + rng.randrange(-3, 4) * sec.tick, 2)
                child = {"sys_quote_id": cid, "parent_quote_id": pid, "security_id": sec.security_id,
                         "market_type": sec.market_enum, "order_price": cprice,
                         "order_qty": child_qty, "trade_qty": 0,
                         "order_status": _status("Sended"), "update_time": out.sdk_time(t)}
                out.cb(t, "on_algo_child_order_update", dict(child))
                self.expect("CHILD_ORDER_UPDATE")
                t += 500 + rng.randrange(5000)
                out.cb(t, "on_algo_child_order_trade", {
                    "sys_quote_id": next(trade_ids), "child_quote_id": cid, "parent_quote_id": pid,
                    "security_id": sec.security_id, "market_type": sec.market_enum,
                    "trade_price": cprice, "trade_qty": child_qty, "trade_time": out.sdk_time(t)})
                self.expect("CHILD_ORDER_TRADE")
                t += 1 + rng.randrange(5)
                child.update(trade_qty=child_qty, order_status=_status("Filled"),
                             update_time=out.sdk_time(t))
                out.cb(t, "on_algo_child_order_update", dict(child))
                self.expect("CHILD_ORDER_UPDATE")
                done_qty += child_qty
                done_value = round(done_value + child_qty * cprice, 2)
                t += 2 + rng.randrange(5)
                parent_update(t, trade_qty=done_qty, trade_value=done_value,
                              status=3 if done_qty == total else 1)


def _day_events(start: _dt.datetime, end: _dt.datetime) -> dict[str, int]:
    """The trading-day events a replay from `start` to `end` sees (the session's day being a
    trading day): before trading at 09:00 or 3 s after a later start, the open auction only
    when started before 09:27, after trading at 15:30 or 20 s after a later start."""
    def due(at: _dt.datetime) -> bool:
        return at <= end
    t = start.time()
    day = start.date()
    out = {}
    before = _dt.datetime.combine(day, _dt.time(9)) if t < _dt.time(9) else start + _dt.timedelta(seconds=3)
    if due(before):
        out["BEFORE_TRADING"] = 1
    if t < _dt.time(9, 27) and due(max(start, _dt.datetime.combine(day, _dt.time(9, 24)))):
        out["OPEN_AUCTION"] = 1
    after = _dt.datetime.combine(day, _dt.time(15, 30)) if t < _dt.time(15, 30) \
        else start + _dt.timedelta(seconds=20)
    if due(after):
        out["AFTER_TRADING"] = 1
    return out


def generate_session(path: str | os.PathLike, *, securities: int = 4, seed: int = 1,
                     day: _dt.date = _dt.date(2026, 1, 5), l2_rate: float = 0.3,
                     orders: int = 100, algo_parents: int = 3, levels: int = 10,
                     data_until: _dt.time = _dt.time(15, 0), start: _dt.datetime | None = None,
                     end: _dt.datetime | None = None, compress: bool | None = None,
                     fund_account: str = "100012345", algo_trader: str = "200012345",
                     md_type: str = "VoMD") -> GeneratedSession:
    """Writes a synthetic session to `path` (gzip-compressed when the name ends in ".gz" or
    `compress` is true) and returns what it wrote.

    `securities` alternate between the two exchanges; `l2_rate` is level-2 messages per
    security per second (orders and transactions together; 0 for none); `orders` is the
    number of the strategy's orders; `algo_parents` the number of parent orders; `levels` the
    number of price levels of a snapshot; `data_until` ends the market data early (a short day:
    the orders and algorithmic orders are planned to finish before it). The header's start
    and end default to 08:30 and 15:31 of `day`.
    """
    if securities < 0 or orders < 0 or algo_parents < 0 or levels < 1 or l2_rate < 0:
        raise ValueError("securities, orders, algo_parents and l2_rate must be >= 0, levels >= 1")
    start = start or SessionHeader.default_start(day)
    end = end or SessionHeader.default_end(day)
    until = _ms(data_until.hour, data_until.minute, data_until.second)
    header = SessionHeader(
        day=day, start=start, end=end,
        config={"md_type": md_type, "accounts": {"stock": f"{fund_account}_sim"},
                "algo_account": f"{algo_trader}_atx", "trading_calendar": _trading_calendar(day)},
        universe=[], instruments={},
        source={"generator": "tidesim.replay.generator", "seed": seed, "securities": securities,
                "l2_rate": l2_rate, "orders": orders, "algo_parents": algo_parents,
                "levels": levels, "data_until": data_until.isoformat()})
    d = _Day(securities, seed, l2_rate, orders, algo_parents, levels, until, fund_account,
             algo_trader)
    header.universe = [s.code for s in d.secs]
    header.instruments = {s.code: {"symbol": f"{s.market.name} {s.security_id}", "round_lot": 100}
                          for s in d.secs}
    for name, n in _day_events(start, end).items():
        d.expect(name, n)
    path = os.fspath(path)
    with SessionWriter(path, header, compress=compress) as writer:
        out = d.out = _Writer(writer, day)
        start_ms = (start - _dt.datetime.combine(day, _dt.time())) // _dt.timedelta(milliseconds=1)
        d.morning(max(start_ms, 0))
        d.algo()
        ts = OPEN_CALL
        last = min(CLOSE, until)
        while ts <= last:
            out.flush(ts - 3000)
            d.step(ts)
            ts += 3000
        out.flush()
    return GeneratedSession(path, out.entries, dict(out.callbacks), out.acts, d.expected_orders,
                            d.expected_events)

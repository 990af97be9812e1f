"""The market part of a generated day: per security, snapshots every 3 s from the opening call
to the close with `levels` price levels, level-2 orders and transactions as a Poisson stream,
and one-minute bars during continuous trading."""
from __future__ import annotations

import random

from ..framework.utils.trade_func import get_exchane_from_vorn_mdtype
from ..pyvorn.enums import MarketType
from .gen_writer import (CLOSE, CLOSE_CALL, CONTINUOUS_AM, CONTINUOUS_PM, LUNCH, MS_MIN, OPEN_CALL,
                         OPEN_MATCH, Expectations, Security, TimedWriter, clamp, poisson_gap)


def make_securities(n: int, seed: int, l2_rate: float) -> list[Security]:
    """`n` securities alternating between the two exchanges, each with its own generator."""
    secs: list[Security] = []
    for i in range(n):
        rng = random.Random(f"{seed}/security/{i}")
        if i % 2 == 0:
            market, sid = MarketType.SZSE, f"{i // 2 + 1:06d}"
        else:
            market, sid = MarketType.SSE, f"{600000 + i // 2:06d}"
        code = f"{sid}.{get_exchane_from_vorn_mdtype(market)}"
        prev = round(rng.uniform(4.0, 60.0), 2)
        sec = Security(i, sid, market, code, rng, prev, prev)
        sec.next_l2 = OPEN_CALL + poisson_gap(rng, l2_rate)
        secs.append(sec)
    return secs


class MarketScenario:
    def __init__(self, secs: list[Security], out: TimedWriter, expected: Expectations,
                 l2_rate: float, levels: int) -> None:
        self.secs = secs
        self.out = out
        self.expected = expected
        self.l2_rate = l2_rate
        self.levels = levels

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
                self.expected.expect("BAR")

    def _move(self, sec: Security, ts: int, phase: str) -> None:
        rng = sec.rng
        if phase == "T0" or (ts == OPEN_MATCH) or ts == CLOSE:
            if ts == OPEN_MATCH:
                sec.price = clamp(sec, sec.prev_close * (1 + rng.gauss(0, 0.01)))
                sec.open = sec.high = sec.low = sec.price
                vol = 100 * rng.randrange(50, 400)
            else:
                steps = rng.choices((-2, -1, 0, 1, 2), (1, 6, 10, 6, 1))[0]
                sec.price = clamp(sec, sec.price + steps * sec.tick)
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

    def _snapshot(self, sec: Security, ts: int, phase: str) -> None:
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
        self.expected.expect("TICK")

    def _bar(self, sec: Security, ts: int) -> None:
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

    def _l2(self, sec: Security, ts: int) -> None:
        rng, out = sec.rng, self.out
        while sec.next_l2 <= ts:
            at = int(sec.next_l2)
            sec.next_l2 += poisson_gap(rng, self.l2_rate)
            phase = self.phase(at)
            if phase not in ("O0", "T0", "C0"):
                continue
            sec.biz_index += 1
            deliver = at + 2 + rng.randrange(12)
            if phase == "T0" and sec.recent_orders and rng.random() < 0.4:
                self._l2_trade(sec, at, deliver)
            else:
                self._l2_order(sec, at, deliver)

    def _l2_order(self, sec: Security, at: int, deliver: int) -> None:
        rng, out = sec.rng, self.out
        sec.appl_seq += 1
        ref = sec.price if at >= OPEN_MATCH else sec.prev_close
        price = clamp(sec, ref + rng.randrange(-5, 6) * sec.tick)
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
        self.expected.expect("L2_ORDER")

    def _l2_trade(self, sec: Security, at: int, deliver: int) -> None:
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
        self.expected.expect("L2_TRANSACTION")


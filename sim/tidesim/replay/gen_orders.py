"""The strategy's side of a generated day: the SDK's login and account answers before the open,
and the strategy's orders with their reports. Each order is placed into the framework's
open-order cache by a place_order act just before the SDK reports on it; what happens to it
afterwards is one of the outcomes of `OUTCOMES`."""
from __future__ import annotations

import dataclasses
import random

from .gen_writer import (CLOSE_CALL, CONTINUOUS_AM, CONTINUOUS_PM, LUNCH, Expectations, Security,
                         TimedWriter, _status, clamp)


@dataclasses.dataclass(frozen=True)
class Outcome:
    """How an accepted order ends. fill: how many of its lots are matched ("all"; "some": at
    least one, fewer than all; "any": possibly none, fewer than all; "none"); refused_cancel:
    a cancellation is refused after the fills; cancel: "pending" (asked, not confirmed) or
    "done"; final: the framework's status at the end (None: PARTIALLY_FILLED when anything
    was filled, else ACTIVE)."""

    weight: int
    rejected: bool = False
    fill: str = "none"
    refused_cancel: bool = False
    cancel: str | None = None
    final: str | None = None


OUTCOMES: dict[str, Outcome] = {
    "filled": Outcome(48, fill="all", final="FILLED"),
    "partial_cancel": Outcome(10, fill="some", cancel="done", final="CANCELLED"),
    "cancel": Outcome(12, cancel="done", final="CANCELLED"),
    "rejected": Outcome(10, rejected=True, final="REJECTED"),
    "cancel_refused": Outcome(6, fill="all", refused_cancel=True, final="FILLED"),
    "open": Outcome(8, fill="any"),
    "pending_cancel": Outcome(6, fill="some", cancel="pending"),
}

REJECTIONS = ((11010, "insufficient available funds"), (11023, "price outside the daily limits"),
              (11005, "security suspended"))


class OrderScenario:
    def __init__(self, secs: list[Security], seed: int, rng: random.Random,
                 expected: Expectations, orders: int, data_until: int, fund_account: str,
                 algo_trader: str) -> None:
        self.secs = secs
        self.seed = seed
        self.order_rng = rng
        self.expected = expected
        self.data_until = data_until
        self.fund_account = fund_account
        self.algo_trader = algo_trader
        self.out: TimedWriter = None  # type: ignore[assignment]  # set once the header is written
        self.expected_orders: dict[int, tuple[str, int]] = {}
        self._plan_orders(orders)

    # -- before the open -----------------------------------------------------------------

    def morning(self, start_ms: int) -> None:
        out, rng = self.out, random.Random(f"{self.seed}/morning")
        t = start_ms + 40 + rng.randrange(30)
        out.cb(t, "on_initialize")
        t += 1000 + rng.randrange(400)
        out.cb(t, "on_login", {"fund_account_id": self.fund_account, "error_code": 0,
                               "client_seq_id": 1, "error_msg": ""})
        self.expected.expect("LOGIN")
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
        self.expected.expect("QUERY_ACCOUNT")
        t += 20 + rng.randrange(40)
        out.cb(t, "on_query_position", positions, 3, 0, "success")
        if positions:
            self.expected.expect("QUERY_POSITION")
        t += 600 + rng.randrange(400)
        out.cb(t, "on_algo_login", {"client_seq_id": 1, "trader_id": self.algo_trader,
                                    "error_code": 0, "error_msg": ""})
        self.expected.expect("ALGO_LOGIN")

    # -- the strategy's orders -----------------------------------------------------------

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
        names = list(OUTCOMES)
        weights = [o.weight for o in OUTCOMES.values()]
        self.order_plan = [(t, 1001 + i, rng.choices(names, weights)[0], rng.randrange(len(self.secs)))
                           for i, t in enumerate(times)]
        self.order_plan.reverse()  # popped from the end, earliest first
        # Two reports for orders placed elsewhere (another terminal): logged and ignored.
        self.foreign = sorted(rng.randrange(CONTINUOUS_AM, CLOSE_CALL) for _ in range(2 if n else 0))
        self.foreign = [t for t in self.foreign if t < self.data_until]

    def due(self, ts: int) -> None:
        while self.order_plan and self.order_plan[-1][0] <= ts:
            t, cid, outcome, si = self.order_plan.pop()
            self.order(t, cid, outcome, self.secs[si])
        while self.foreign and self.foreign[0] <= ts:
            t = self.foreign.pop(0)
            sec = self.secs[0]
            self.out.cb(t, "on_order", report(90000 + t % 1000, sec, sec.price, 500,
                                              "Sended", counter=770000000 + t % 100000))

    def order(self, t: int, cid: int, name: str, sec: Security) -> None:
        rng, out, expect = self.order_rng, self.out, self.expected.expect
        outcome = OUTCOMES[name]
        buy = rng.random() < 0.6
        qty = 100 * rng.randrange(1, 40)
        price = clamp(sec, sec.price + (-1 if buy else 1) * rng.randrange(0, 3) * sec.tick)
        order_id = 10000 + cid
        out.act(t, "place_order", cid, {
            "order_id": order_id, "market_code": sec.code,
            "side": {"$const": "SIDE.BUY" if buy else "SIDE.SELL"},
            "quantity": qty, "price": price,
            "position_effect": {"$const": "POSITION_EFFECT.OPEN" if buy else "POSITION_EFFECT.CLOSE"}})
        frozen = price * qty if buy else 0.0
        counter = 880000000 + cid
        t += 3 + rng.randrange(6)
        out.cb(t, "on_order", report(cid, sec, price, qty, "UnSend", frozen=frozen))
        t += 10 + rng.randrange(30)
        if outcome.rejected:
            code, msg = rng.choice(REJECTIONS)
            out.cb(t, "on_order", report(cid, sec, price, qty, "Reject", error_code=code,
                                         error_msg=msg))
            expect("ORDER_UNSOLICITED_UPDATE")
            self.expected_orders[cid] = ("REJECTED", 0)
            return
        out.cb(t, "on_order", report(cid, sec, price, qty, "Sended", counter=counter, frozen=frozen))
        expect("ORDER_CREATION_PASS")

        t, traded, value = self._fills(t, cid, sec, price, qty, buy, counter,
                                       self._fill_lots(outcome.fill, qty // 100))
        if outcome.refused_cancel:
            t += 5 + rng.randrange(20)
            out.cb(t, "on_order_action_error", {"client_order_id": cid, "error_code": 20013,
                                                "error_msg": "order already filled or cancelled"})
            expect("ORDER_CANCELLATION_REJECT")
        if outcome.cancel is not None:
            t += 2000 + rng.randrange(60_000)
            wait = "PartiallyFilledWaitCancelled" if traded else "WaitCancelled"
            out.cb(t, "on_order", report(cid, sec, price, qty, wait, traded=traded, value=value,
                                         counter=counter,
                                         frozen=(qty - traded) * price if buy else 0.0))
            expect("ORDER_PENDING_CANCEL")
            if outcome.cancel == "done":
                t += 20 + rng.randrange(60)
                done = "PartiallyFilledPartiallyCancelled" if traded else "Cancelled"
                out.cb(t, "on_order", report(cid, sec, price, qty, done, traded=traded,
                                             value=value, counter=counter))
                expect("ORDER_CANCELLATION_PASS")
        state = outcome.final or ("PARTIALLY_FILLED" if traded else "ACTIVE")
        self.expected_orders[cid] = (state, traded)

    def _fill_lots(self, fill: str, lots: int) -> int:
        if fill == "all":
            return lots
        if fill == "some":
            return self.order_rng.randrange(1, lots) if lots > 1 else 0
        if fill == "any":
            return self.order_rng.randrange(0, lots) if lots > 1 else 0
        return 0

    def _fills(self, t: int, cid: int, sec: Security, price: float, qty: int, buy: bool,
               counter: int, fill_lots: int) -> tuple[int, int, float]:
        """The matches of `fill_lots` lots in a few chunks, each an order report and a trade
        report; returns the time after them, the quantity traded and its value."""
        rng, out, expect = self.order_rng, self.out, self.expected.expect
        traded, value = 0, 0.0
        for c in self._split(rng, fill_lots):
            t += 200 + rng.randrange(20_000)
            last = 100 * c
            traded += last
            value += last * price
            status = "Filled" if traded == qty else "PartiallyFilled"
            rest = (qty - traded) * price if buy else 0.0
            out.cb(t, "on_order", report(cid, sec, price, qty, status, traded=traded, value=value,
                                         last_qty=last, last_price=price, counter=counter,
                                         frozen=rest))
            expect("TRADE")
            t += 1 + rng.randrange(3)
            out.cb(t, "on_trade", {"client_order_id": cid, "security_id": sec.security_id,
                                   "market_type": sec.market_enum, "trade_qty": last,
                                   "trade_price": price, "trade_time": out.sdk_time(t - 2)})
        return t, traded, value

    @staticmethod
    def _split(rng: random.Random, lots: int) -> list[int]:
        if lots <= 0:
            return []
        parts = min(lots, rng.randrange(1, 4))
        cuts = sorted(rng.sample(range(1, lots), parts - 1)) if parts > 1 else []
        bounds = [0, *cuts, lots]
        return [b - a for a, b in zip(bounds, bounds[1:])]


def report(cid: int, sec: Security, price: float, qty: int, status: str, *, traded: int = 0,
            value: float = 0.0, last_qty: int = 0, last_price: float = 0.0, counter: int = 0,
            frozen: float = 0.0, error_code: int = 0, error_msg: str = "") -> dict:
    return {"client_order_id": cid, "security_id": sec.security_id,
            "market_type": sec.market_enum, "order_price": price,
            "order_status": _status(status), "order_qty": qty, "trade_qty": traded,
            "total_trade_value": round(value, 2), "error_code": error_code,
            "error_msg": error_msg, "last_match_qty": last_qty,
            "last_match_price": last_price, "counter_order_id": counter,
            "frozen_trade_value": round(frozen, 2)}

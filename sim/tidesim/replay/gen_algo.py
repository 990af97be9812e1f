"""The algorithmic-order part of a generated day: a refused creation, then parent orders, each
with child orders, their trades and the parent's updates; the first parent is paused and
resumed after one child, the second is cancelled after two."""
from __future__ import annotations

import itertools
import random
from typing import Any

from .gen_writer import CONTINUOUS_AM, Expectations, Security, TimedWriter, _ms, _status


class AlgoScenario:
    def __init__(self, secs: list[Security], rng: random.Random, expected: Expectations,
                 parents: int, data_until: int) -> None:
        self.secs = secs
        self.algo_rng = rng
        self.expected = expected
        self.data_until = data_until
        self.out: TimedWriter = None  # type: ignore[assignment]  # set once the header is written
        self._plan_algo(parents)

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
                self.expected.expect("PARENT_ORDER_CREATE")
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
                self.expected.expect("PARENT_ORDER_UPDATE")

            out.cb(t, "on_create_algo_parent_order_res", {"client_seq_id": seq, "sys_quote_id": pid,
                                                          "error_code": 0, "error_msg": ""})
            self.expected.expect("PARENT_ORDER_CREATE")
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
                    self.expected.expect("PARENT_ORDER_CANCEL")
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
                        self.expected.expect(f"PARENT_ORDER_{ctl.upper()}")
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
                self.expected.expect("CHILD_ORDER_UPDATE")
                t += 500 + rng.randrange(5000)
                out.cb(t, "on_algo_child_order_trade", {
                    "sys_quote_id": next(trade_ids), "child_quote_id": cid, "parent_quote_id": pid,
                    "security_id": sec.security_id, "market_type": sec.market_enum,
                    "trade_price": cprice, "trade_qty": child_qty, "trade_time": out.sdk_time(t)})
                self.expected.expect("CHILD_ORDER_TRADE")
                t += 1 + rng.randrange(5)
                child.update(trade_qty=child_qty, order_status=_status("Filled"),
                             update_time=out.sdk_time(t))
                out.cb(t, "on_algo_child_order_update", dict(child))
                self.expected.expect("CHILD_ORDER_UPDATE")
                done_qty += child_qty
                done_value = round(done_value + child_qty * cprice, 2)
                t += 2 + rng.randrange(5)
                parent_update(t, trade_qty=done_qty, trade_value=done_value,
                              status=3 if done_qty == total else 1)



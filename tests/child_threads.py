"""Child process of the threads test: several threads call the market-data and order callbacks
of one strategy at once while a consumer thread drains event_queue. Every event carries the
producing thread (its security code) and a sequence number; the consumer checks that each
event arrives exactly once and each thread's events in that thread's order.

    python child_threads.py [PRODUCERS [EVENTS_PER_PRODUCER]]

Exits 0 and prints "OK ..." when everything arrived as produced; prints what went wrong to
stderr and exits 1 otherwise. A crash ends the process with a signal.
"""
from __future__ import annotations

import faulthandler
import sys
import threading

import tidesim

tidesim.install()

from tidesim.framework.config import make_config  # noqa: E402
from tidesim.framework.environment import Environment  # noqa: E402
from tidesim.framework.model.order import Order  # noqa: E402
from tidesim.pyvorn import records  # noqa: E402
from tidesim.pyvorn.enums import OrderStatusType  # noqa: E402

import orvane.tamsel.utils.tidewell as tw  # noqa: E402

T0 = 20260105093000000


def code_of(thread: int) -> tuple[str, str]:
    sid = f"{thread + 1:06d}"
    return sid, f"{sid}.XSHE"


def producer(strategy, thread: int, count: int, start: threading.Barrier, errors: list):
    """Makes `count` calls in turn of on_snapshot, on_tick_order, on_tick_trade and on_order
    (a fill), each queueing one event whose sequence number is the call's index, and an
    on_bar after each (which queues nothing: the universe is never complete)."""
    sid, _ = code_of(thread)
    client_id = 1000 + thread
    try:
        start.wait()
        for seq in range(count):
            kind = seq % 4
            if kind == 0:
                strategy.on_snapshot(records.Snapshot(security_id=sid, last_price=float(seq),
                                                      orig_time=T0 + seq))
            elif kind == 1:
                strategy.on_tick_order(records.TickOrder(security_id=sid, biz_index=seq,
                                                         order_time=T0 + seq))
            elif kind == 2:
                strategy.on_tick_trade(records.TickTrade(security_id=sid, biz_index=seq,
                                                         trade_time=T0 + seq))
            else:
                strategy.on_order(records.OrderReport(
                    client_order_id=client_id, security_id=sid,
                    order_status=OrderStatusType.Filled, order_qty=count, trade_qty=seq,
                    total_trade_value=float(seq), last_match_qty=1,
                    last_match_price=float(seq)))
            strategy.on_bar(records.Bar(security_id=sid, end_time=T0 + 100000 + seq % 1000))
    except BaseException as exc:  # reported by the main thread
        errors.append((thread, repr(exc)))


def identify(event, by_code: dict) -> tuple[int, int]:
    """(producing thread, sequence number) of one event."""
    name = event.event_type.name
    if name == "TICK":
        tick = event.tick.tick_dict
        return by_code[tick["market_code"]], int(tick["last_price"])
    if name == "L2_ORDER":
        return by_code[event.l2_order.market_code], event.l2_order.biz_index
    if name == "L2_TRANSACTION":
        return by_code[event.l2_transaction.market_code], event.l2_transaction.biz_index
    if name == "TRADE":
        return by_code[event.trade.market_code], int(event.trade.price)
    raise AssertionError(f"unexpected event {event!r}")


def main(argv: list[str]) -> int:
    faulthandler.enable()
    producers = int(argv[0]) if argv else 4
    count = int(argv[1]) if len(argv) > 1 else 4000
    sys.setswitchinterval(1e-6)  # a thread switch between almost any two bytecodes

    codes = [code_of(t)[1] for t in range(producers)]
    by_code = {c: t for t, c in enumerate(codes)}
    # A universe larger than the bars of any one time: on_bar only counts.
    Environment.get_instance().configure(codes, universe=codes + ["X"] * (producers * count))
    strategy = tw.VornStrategy(make_config())
    for t, c in enumerate(codes):
        tw.orders_dict[1000 + t] = Order(order_id=t, market_code=c, quantity=count)
    queue = tw.event_queue
    queue.clear()

    start = threading.Barrier(producers + 1)
    errors: list = []
    threads = [threading.Thread(target=producer, args=(strategy, t, count, start, errors))
               for t in range(producers)]
    for th in threads:
        th.start()
    received: list[list[int]] = [[] for _ in range(producers)]
    start.wait()
    batches = switches = 0
    previous = None
    while True:
        alive = any(th.is_alive() for th in threads)
        n = len(queue)
        if n:
            # Alternate single removals and bulk removals of what is there.
            taken = [queue.popleft()] if batches % 2 else queue.popleft_many(n)
            batches += 1
            for ev in taken:
                t, seq = identify(ev, by_code)
                received[t].append(seq)
                switches += t != previous
                previous = t
        elif not alive:
            break
    for th in threads:
        th.join()

    problems = [f"thread {t} raised {e}" for t, e in errors]
    for t in range(producers):
        if received[t] != list(range(count)):
            seen = received[t]
            dup = len(seen) - len(set(seen))
            problems.append(f"thread {t}: {len(seen)} events of {count}, {dup} duplicated, "
                            f"in order: {seen == sorted(seen)}")
        bars = tw.history_bar.get(codes[t])
        if bars is None or len(bars) != count:
            problems.append(f"thread {t}: {0 if bars is None else len(bars)} bars cached of "
                            f"{count}")
        last_tick = tw.get_current_tick(codes[t])
        expected_last = max(s for s in range(count) if s % 4 == 0)
        if last_tick is None or last_tick["last_price"] != float(expected_last):
            problems.append(f"thread {t}: newest cached tick {last_tick!r}")
    if len(queue):
        problems.append(f"{len(queue)} events left in the queue")
    if switches < producers:
        problems.append(f"the producers hardly interleaved ({switches} changes of thread)")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    print(f"OK {producers} threads x {count} events, {switches} changes of producing thread "
          f"in the queue, {batches} removals")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

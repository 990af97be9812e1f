"""The bridge's SDK callbacks against the same callbacks written in plain Python.

Both run on the near-free stand-ins of plain_bridge (C builtins as converters, SimpleNamespace
records, builtin containers for the environment), so what is measured is the bridge's own work:
attribute reads, the record dictionaries, the caches, building the event and queueing it. The
native callbacks see the stand-ins through their module globals, replaced for the length of the
run and restored afterwards; the baseline uses a Python Event class and numpy_ringbuffer's
RingBuffer. Each repetition starts from an empty queue and empty caches.

The "body only" rows give the plain bridge the native Event and the native queue too, so the
two sides differ only in the callback itself: C API calls against CPython 3.11's specialised
bytecode doing the same attribute reads, dictionary building and calls.
"""
from __future__ import annotations

import tidesim

tidesim.install()

import plain_bridge as pb  # noqa: E402
import common  # noqa: E402
from common import Row  # noqa: E402

GROUP = "tidewell callbacks"
BASELINE = "plain Python, numpy_ringbuffer"
BODY_BASELINE = "plain Python, native Event and queue"
CODES = 500  # distinct securities in the throughput run


def _strategies(tidewell):
    native = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
    native.context = pb.context()
    native.logged_in = False
    native.current_trade_dt = 0
    native.bar_cnt = 0
    return native, pb.PlainStrategy(pb.context())


def collect() -> list[Row]:
    from orvane.tamsel.core.events import EVENT
    from orvane.tamsel.utils import tidewell

    values = pb.standins(universe_size=1)  # every bar completes the universe: the full path
    pb.install(values, EVENT)
    native, plain = _strategies(tidewell)

    def native_reset():
        tidewell.event_queue.clear()
        tidewell.history_tick.clear()
        tidewell.history_bar.clear()

    def plain_reset():
        pb.fresh_queue()
        pb.clear_caches()

    def pair(name, args, number=20000):
        return pb.measure([(getattr(native, name), args, native_reset),
                           (getattr(plain, name), args, plain_reset)], number)

    rows = []
    with pb.native_globals(tidewell, values):
        for name, args in [
            ("on_snapshot", (pb.snapshot(1),)),
            ("on_tick_order", (pb.tick_order(1),)),
            ("on_tick_trade", (pb.tick_trade(1),)),
            ("on_bar", (pb.bar(1),)),
        ]:
            ours, base = pair(name, args)
            rows.append(Row(GROUP, name, ours, BASELINE, base))

        # Throughput: snapshots of many securities in turn, as a session delivers them.
        snaps = [pb.snapshot(k) for k in range(CODES)]

        def feed(strategy):
            on_snapshot = strategy.on_snapshot

            def run():
                for s in snaps:
                    on_snapshot(s)
            return run

        ours, base = (t / CODES for t in pb.measure(
            [(feed(native), (), native_reset), (feed(plain), (), plain_reset)], 40, share=0.01))
        rates = "" if common.counting() else f": {1e3 / ours:.2f}M vs {1e3 / base:.2f}M"
        rows.append(Row(GROUP, f"snapshots/s into the queue, {CODES} codes{rates}", ours,
                        BASELINE, base))

        ours, base = pair("on_login", (pb.login(),))
        rows.append(Row(GROUP, "on_login (success: log, event, two queries)", ours, BASELINE, base))
        ours, base = pair("on_query_asset", (pb.asset(), 7, 0, "ok"))
        rows.append(Row(GROUP, "on_query_asset (success)", ours, BASELINE, base))
        ours, base = pair("on_query_position", (pb.positions(3), 8, 0, "ok"))
        rows.append(Row(GROUP, "on_query_position, 3 positions", ours, BASELINE, base))

        # The callback bodies alone: the plain bridge given the native Event and the native
        # queue, so that both sides differ only in how the callback itself is written.
        from orvane.tamsel.core.events import Event

        saved = pb.Event, pb.event_queue
        pb.Event, pb.event_queue = Event, tidewell.event_queue

        def shared_queue_reset():
            native_reset()
            pb.clear_caches()

        try:
            for name, args in [
                ("on_snapshot", (pb.snapshot(1),)),
                ("on_tick_order", (pb.tick_order(1),)),
                ("on_tick_trade", (pb.tick_trade(1),)),
                ("on_bar", (pb.bar(1),)),
            ]:
                ours, base = pb.measure([(getattr(native, name), args, native_reset),
                                         (getattr(plain, name), args, shared_queue_reset)])
                rows.append(Row(GROUP, f"{name}, body only", ours, BODY_BASELINE, base))
        finally:
            pb.Event, pb.event_queue = saved
    native_reset()
    return rows

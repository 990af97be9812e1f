"""What recording costs on the SDK's thread: each callback through the plain strategy and
through `recording_strategy`, side by side in one run (ours = recorded, baseline = plain; the
speed-up column is then plain/recorded, 1.00x meaning free).

- With the near-free stand-ins of plain_bridge (bench_order_callbacks' for on_order), so that
  the bridge's own handling is all the plain side costs: the recorder's added time is compared
  with it in the label.
- With the development stand-ins, the records of a generated session, as a replay delivers
  them: the ratio recorded/plain is in the label.
- Two threads calling back at a sustained rate: p50/p99 of one callback, plain and recorded,
  with the threads spinning between calls (the lock held) and waiting as an SDK's do (released);
  on the near-free stand-ins and again on the development stand-ins (a snapshot of the
  generated session, the bridge's whole handling behind it).
- The writer thread's work per entry (encoding and compression), msgspec against the standard
  library's json for the same values; what is left to it of a line the capture made (taking it
  into its block).
- What a recording costs the process: varied callbacks through the development stand-ins, the
  recorded side timed until close() returns (everything encoded, compressed and on disk); a
  burst of callbacks from two threads at full speed with the default settings (the share
  dropped); the replay of the bundled day with --record against the replay alone. Each beside
  the same with the writer's encoding in Python (the recorder without its native line encoder),
  in the same run.
"""
from __future__ import annotations

import collections
import datetime as dt
import gc
import json
import math
import os
import tempfile
import threading
import time
import types
import zlib

import tidesim

tidesim.install()

import plain_bridge as pb  # noqa: E402
import common  # noqa: E402
from common import Row, ns_per_op  # noqa: E402

from tiderec.format import Decoder, SessionReader  # noqa: E402
from tiderec import recorder as recorder_module  # noqa: E402
from tiderec.recorder import SessionRecorder, recording_strategy  # noqa: E402

GROUP = "recorder"
# Counted with the writer thread held asleep while the calls run (it wakes only for flush and
# close), so that a recorded call's instructions are the SDK thread's own: the capture and the
# hand-off. The rows of two threads are times only.
COUNTED = True
PLAIN = "plain strategy"
CONFIG = types.SimpleNamespace(base=types.SimpleNamespace(accounts={"stock": "1_sim"},
                                                          trading_calendar=[]))


def _recorder(tmp: str, name: str) -> SessionRecorder:
    rec = SessionRecorder(os.path.join(tmp, name), universe=["000001.XSHE"],
                          instruments={"000001.XSHE": {}}, max_pending=1_000_000)
    if common.counting():
        rec._interval = 1e9  # the writer sleeps until flush() or close() wakes it
        # ... and is not woken as the hand-off fills (the capture's wake at WAKE_AT pending is
        # left out of the count), nor looks again of its own accord while callbacks flow
        recorder_module.WAKE_AT = 1 << 60
        recorder_module.POLL_IDLE = 0
    rec.start(types.SimpleNamespace(config=CONFIG))
    return rec


def _twin(cls, rec: SessionRecorder, plain):
    """An instance of the recording subclass of cls with the plain instance's state."""
    recorded = recording_strategy(cls, rec).__new__(recording_strategy(cls, rec))
    recorded.__dict__.update(plain.__dict__)
    return recorded


def _pair(plain, recorded, rec, name, args, reset, number=20000):
    def reset_recorded():
        if common.counting():
            rec._queue.clear()  # the writer stays asleep: the count is the calls' own
        else:
            rec.flush()  # the writer catches up outside the timing
        reset()
    return pb.measure([(getattr(recorded, name), args, reset_recorded),
                       (getattr(plain, name), args, reset)], number)


def _plain_strategy(universe_size: int):
    """The near-free stand-ins installed and a bridge strategy set up on them without its
    start-up (as the bridge benchmarks do): the stand-ins' values and the strategy."""
    from orvane.tamsel.core.events import EVENT
    from orvane.tamsel.utils import tidewell

    values = pb.standins(universe_size=universe_size)
    pb.install(values, EVENT)
    plain = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
    plain.context = pb.context()
    plain.logged_in = False
    plain.current_trade_dt = 0
    plain.bar_cnt = 0
    return values, plain


def _near_free(tmp: str) -> list[Row]:
    from orvane.tamsel.utils import tidewell

    values, plain = _plain_strategy(1)
    rec = _recorder(tmp, "near-free.jsonl.gz")
    recorded = _twin(tidewell.VornStrategy, rec, plain)

    def reset():
        tidewell.event_queue.clear()
        tidewell.history_tick.clear()
        tidewell.history_bar.clear()

    rows = []
    with pb.native_globals(tidewell, values):
        for name, args in [("on_snapshot", (pb.snapshot(1),)), ("on_tick_order", (pb.tick_order(1),)),
                           ("on_tick_trade", (pb.tick_trade(1),)), ("on_bar", (pb.bar(1),)),
                           ("on_login", (pb.login(),)), ("on_query_asset", (pb.asset(), 7, 0, "ok")),
                           ("on_query_position", (pb.positions(3), 8, 0, "ok"))]:
            ours, base = _pair(plain, recorded, rec, name, args, reset)
            rows.append(_near_free_row(name, ours, base))
        rows.append(_near_free_order(plain, recorded, rec, reset))
        if not common.counting():
            rows.extend(_two_threads(plain, recorded, rec, reset))
    rec.close()
    reset()
    return rows


def _near_free_row(name: str, ours: float, base: float) -> Row:
    if common.counting():
        return Row(GROUP, f"{name}, near-free stand-ins: recorded against the bridge's own", ours,
                   PLAIN, base)
    return Row(GROUP, f"{name}, near-free stand-ins: recording adds {ours - base:,.0f} ns "
                      f"to the bridge's own {base:,.0f} ns", ours, PLAIN, base)


def _near_free_order(plain, recorded, rec, reset) -> Row:
    """on_order for an order the framework placed (status Sended: no event), with the order
    callbacks' near-free stand-ins. The first call records the order as an act; from then on
    every order is known to the recorder, as through most of a trading day."""
    from orvane.tamsel.utils import tidewell
    from bench_order_callbacks import framework_order, order_report, stand_ins

    shared = stand_ins()
    values = {k: v for k, v in shared.items() if not k.startswith("_")}
    with pb.native_globals(tidewell, values):
        tidewell.orders_dict[1] = framework_order(shared["_sink"])
        try:
            ours, base = _pair(plain, recorded, rec, "on_order", (order_report(),), reset)
        finally:
            tidewell.orders_dict.pop(1, None)
    return _near_free_row("on_order", ours, base)


def _sleep_until():
    """A wait until a perf_counter_ns time with the interpreter's lock released (ctypes releases
    it around the call), the thread's timer slack at 1 ns; None where libc's clock_nanosleep is
    not to be had."""
    import ctypes
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        nanosleep = libc.clock_nanosleep
    except (OSError, AttributeError):
        return None

    class timespec(ctypes.Structure):
        _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]

    def until(t_ns):
        ts = timespec(*divmod(int(t_ns), 1_000_000_000))
        nanosleep(1, 1, ctypes.byref(ts), None)  # CLOCK_MONOTONIC (perf_counter's), absolute

    def prepare():  # in the calling thread: PR_SET_TIMERSLACK
        libc.prctl(29, 1, 0, 0, 0)
    return prepare, until


def _two_threads(plain, recorded, rec, reset, snapshot=pb.snapshot, where="", rate=10_000,
                 seconds=0.75, rounds=4) -> list[Row]:
    """Two threads, each calling on_snapshot `rate` times a second with `snapshot(k)` (k the
    thread's number, 1 or 2); per-call latency. Plain and
    recorded take turns, `rounds` rounds of `seconds` each, so that a change of load on the
    machine touches both alike; each side's percentiles are of all its rounds' calls.

    Two ways of waiting between calls: spinning with the interpreter's lock held (every other
    thread, the writer's included, then gets the lock only by the interpreter's forced switch,
    which lands on a call as often as not), and waiting with the lock released, as an SDK's own
    threads do between callbacks (they hold the lock only for a callback)."""
    sleeper = _sleep_until()

    def run(strategy, lat, released):
        start = threading.Barrier(2)

        def worker(code):
            snap = snapshot(code)
            on_snapshot = strategy.on_snapshot
            perf = time.perf_counter_ns
            period = 1e9 / rate
            if released:
                sleeper[0]()
                until = sleeper[1]
            start.wait()
            t_next = perf()
            mine = []
            for _ in range(int(rate * seconds)):
                if released:
                    until(t_next)
                while perf() < t_next:
                    pass
                t0 = perf()
                on_snapshot(snap)
                mine.append(perf() - t0)
                t_next += period
            lat.extend(mine)

        reset()
        threads = [threading.Thread(target=worker, args=(k,)) for k in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def percentiles(lat):
        lat.sort()
        return lat[len(lat) // 2], lat[int(len(lat) * 0.99)]

    rows = []
    for released in (False, True) if sleeper is not None else (False,):
        plain_lat: list[int] = []
        recorded_lat: list[int] = []
        for _ in range(rounds):
            run(plain, plain_lat, released)
            run(recorded, recorded_lat, released)
            rec.flush()  # each recorded round starts with the writer caught up
        p50, p99 = percentiles(plain_lat)
        rp50, rp99 = percentiles(recorded_lat)
        how = "waiting with the lock released" if released else "spinning with the lock held"
        label = (f"on_snapshot{where} p99 under 2 threads x {rate:,}/s {how}: recorded {rp99:,} ns vs "
                 f"plain {p99:,} ns (p50 {rp50:,} vs {p50:,}; dropped {sum(rec.dropped.values())})")
        rows.append(Row(GROUP, label, rp99, PLAIN + " p99", p99))
    return rows


def _development(tmp: str) -> list[Row]:
    """The bridge on the development stand-ins, fed records of a generated session."""
    from tidesim.replay.generator import generate_session
    from tidesim.replay.runner import Replay

    path = os.path.join(tmp, "dev.jsonl.gz")
    generate_session(path, securities=2, seed=4, l2_rate=0.5, orders=10, data_until=dt.time(9, 40))
    replay = Replay(path, report=None)
    replay.run()  # leaves the environment configured and the strategy built
    bridge = replay.bridge
    plain = replay.strategy
    samples = {}
    orders = {}
    for e in SessionReader(path, Decoder(acts=replay._framework_object)):
        if e.kind == "act":
            orders[e.args[0]] = e.args[1]
        elif e.name not in samples:
            samples[e.name] = e
    rec = _recorder(tmp, "dev-recorded.jsonl.gz")
    recorded = _twin(type(plain), rec, plain)

    def reset():
        bridge.event_queue.clear()

    rows = []
    for name in ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order",
                 "on_query_asset", "on_query_position"):
        e = samples[name]
        if name == "on_order":
            key = e.args[0].client_order_id
            bridge.orders_dict[key] = orders[key]
        ours, base = _pair(plain, recorded, rec, name, e.args, reset, number=5000)
        ratio = "" if common.counting() else f" {ours / base:.2f}"
        rows.append(Row(GROUP, f"{name}, development stand-ins: recorded/plain{ratio}", ours,
                        PLAIN, base))
    if not common.counting():
        snapshot = samples["on_snapshot"].args[0]
        rows.extend(_two_threads(plain, recorded, rec, reset, lambda k: snapshot,
                                 ", development stand-ins,"))
    rec.close()
    bridge.orders_dict.clear()
    reset()
    return rows


def _writer_work(tmp: str) -> list[Row]:
    """Per snapshot entry on the writer thread: a captured callback turned into its line (the
    recorder's encoding, msgspec) against the standard library's json writing the same
    values; and the share of a 256 KiB block's compression at the recorder's level."""
    from tiderec.encoding import Encoder
    from tiderec.recorder import _capture
    import msgspec

    rec = SessionRecorder(os.path.join(tmp, "w.jsonl.gz"), universe=[], instruments={})
    snap = pb.snapshot(1)
    item = (time.time(), "on_snapshot", [_capture(snap)], None)
    rec._encode_item(item)  # the record's shape is learned at the first
    enc = Encoder()
    dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False, allow_nan=False).encode
    ours = ns_per_op(lambda: rec._encode_item(item))
    base = ns_per_op(lambda: dumps({"t": "2026-01-05T09:30:00.000", "cb": "on_snapshot",
                                    "args": [enc.fields(snap)]}).encode())
    raw = msgspec.json.encode({"t": "2026-01-05T09:30:00.000", "cb": "on_snapshot",
                               "args": [enc.fields(snap)]}) + b"\n"
    lines = 262144 // len(raw)
    block = raw * lines
    per_line = ns_per_op(lambda: zlib.compress(block, 3, 31), number=20) / lines
    fast = rec._writer._fast_level  # what the recorder's writer compresses with, if ISA-L
    fast_row = []
    if fast is not None:
        from isal import isal_zlib
        fast_row = [Row(GROUP, f"writer thread: the same with ISA-L at level {fast} (the "
                               "recorder's writer, the fast extra installed)",
                        ns_per_op(lambda: isal_zlib.compress(block, fast, 31), number=20) / lines)]
    handed = (item[0], item[1], tuple(dict(a) for a in item[2]), None)  # a copy, as captured
    native = ns_per_op(lambda: rec._lines.encode(handed)) if rec._lines is not None else math.nan
    python = ns_per_op(lambda: rec._encode_item(handed))
    drained = finished = math.nan
    if rec._lines is not None:  # lines the capture made: what the writer's lock still holds
        drain = rec._lines.drain
        # the line as the capture queues it (its numbers left as holes)
        made = drain(collections.deque([handed]), 1, 1 << 30)[0][:-1]
        batch = [made] * 64
        pending: collections.deque = collections.deque()

        def drain_batch():
            pending.extend(batch)
            drain(pending, 64, 1 << 30)
        drained = ns_per_op(drain_batch) / 64
        # ... and what the writer does without the lock before compressing: the numbers'
        # text, written out for a batch of such lines
        holed = drain(collections.deque(batch), 64, 1 << 30)[0]
        finish = recorder_module._finish_line
        finished = ns_per_op(lambda: finish(holed)) / 64
    rec.close()
    return [Row(GROUP, "writer thread: a captured snapshot callback encoded into its line", ours,
                "stdlib json", base),
            Row(GROUP, "writer thread: the same, handed over by the native capture, encoded in C "
                       "(LineEncoder)", native, "the recorder's Python encoding", python),
            Row(GROUP, "writer thread: a snapshot line made at the capture, drained into its block "
                       "(batches of 64)", drained),
            Row(GROUP, "writer thread: a snapshot line's numbers written out, without the lock "
                       "(batches of 64)", finished),
            Row(GROUP, f"writer thread: compress one snapshot line ({len(raw)} bytes) in a 256 KiB "
                       "gzip block, level 3", per_line)] + fast_row


def _without_native_lines(rec: SessionRecorder) -> SessionRecorder:
    """The recorder with its writer encoding every entry in Python."""
    rec._lines = None
    return rec


def _varied_records(path: str, count: int):
    """(name, args) of snapshot, level-2 order and trade callbacks of a generated session, in
    its order, repeated up to `count`."""
    calls = [(e.name, e.args) for e in SessionReader(path, Decoder())
             if e.kind == "cb" and e.name in ("on_snapshot", "on_tick_order", "on_tick_trade")]
    return (calls * (count // len(calls) + 1))[:count]


def _whole_cost(tmp: str, count: int = 60_000, rounds: int = 3) -> list[Row]:
    """Recorded until closed against plain, development stand-ins, varied records: ns per
    callback. Plain and the two recorded variants take turns; each keeps its best round."""
    from tidesim.replay.generator import generate_session
    from tidesim.replay.runner import Replay

    path = os.path.join(tmp, "whole.jsonl.gz")
    generate_session(path, securities=8, seed=7, l2_rate=3.0, orders=0, algo_parents=0,
                     data_until=dt.time(9, 45))
    replay = Replay(path, report=None)
    replay.run()
    bridge, plain = replay.bridge, replay.strategy
    calls = _varied_records(path, count)
    best = {"plain": math.inf, "native": math.inf, "python": math.inf}
    n = 0
    for _ in range(rounds):
        for side in best:
            bridge.event_queue.clear()
            rec = None
            strategy = plain
            if side != "plain":
                n += 1
                rec = SessionRecorder(os.path.join(tmp, f"whole-{n}.jsonl.gz"), universe=[],
                                      instruments={})
                if side == "python":
                    _without_native_lines(rec)
                rec.start(types.SimpleNamespace(config=CONFIG))
                strategy = _twin(type(plain), rec, plain)
            bound = [(getattr(strategy, name), args) for name, args in calls]
            gc.collect()
            t0 = time.perf_counter_ns()
            for method, args in bound:
                method(*args)
                if len(bridge.event_queue) > 50_000:
                    bridge.event_queue.clear()
            if rec is not None:
                rec.close()
                assert not rec.dropped, rec.dropped
            best[side] = min(best[side], (time.perf_counter_ns() - t0) / count)
    bridge.event_queue.clear()
    return [Row(GROUP, f"{count:,} varied callbacks, development stand-ins, recorded until "
                       f"closed/plain {best['native'] / best['plain']:.2f}x (writer encoding in "
                       f"Python: {best['python'] / best['plain']:.2f}x)",
                best["native"], PLAIN, best["plain"]),
            Row(GROUP, "the same recorded until closed, native line encoding against the "
                       "writer's encoding in Python", best["native"], "Python encoding",
                best["python"])]


def _burst(tmp: str, total: int = 300_000) -> list[Row]:
    """Two threads calling on_snapshot as fast as they can, `total` callbacks in all, default
    settings (max_pending 100,000, drop when full): the share dropped, and ns per callback
    until close() returns."""
    from orvane.tamsel.utils import tidewell

    values, plain = _plain_strategy(2)
    out = {}
    with pb.native_globals(tidewell, values):
        for side in ("native", "python"):
            rec = SessionRecorder(os.path.join(tmp, f"burst-{side}.jsonl.gz"),
                                  universe=["000001.XSHE"], instruments={"000001.XSHE": {}})
            if side == "python":
                _without_native_lines(rec)
            rec.start(types.SimpleNamespace(config=CONFIG))
            recorded = _twin(tidewell.VornStrategy, rec, plain)
            start = threading.Barrier(2)

            def worker(code):
                snap = pb.snapshot(code)
                on_snapshot = recorded.on_snapshot
                start.wait()
                for i in range(total // 2):
                    on_snapshot(snap)
                    if i & 1023 == 0:
                        tidewell.event_queue.clear()
                        tidewell.history_tick.clear()

            threads = [threading.Thread(target=worker, args=(k,)) for k in (1, 2)]
            t0 = time.perf_counter_ns()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            rec.close()
            elapsed = time.perf_counter_ns() - t0
            out[side] = (sum(rec.dropped.values()), rec.entries, elapsed / total)
            tidewell.event_queue.clear()
            tidewell.history_tick.clear()
    (dn, wn, tn), (dp, wp, tp) = out["native"], out["python"]
    return [Row(GROUP, f"burst of {total:,} on_snapshot from 2 threads at full speed, default "
                       f"settings: dropped {dn / total:.2%} ({dn:,}; written {wn:,}) against "
                       f"{dp / total:.2%} with the writer's encoding in Python",
                tn, "Python encoding", tp)]


def _replay_recorded(tmp: str, rounds: int = 3) -> list[Row]:
    """The replay of the bundled day with --record against the replay alone (seconds are
    shown as ns per replayed entry)."""
    from tidesim.replay.runner import Replay
    import tidesim.replay.recorder as sim_recorder

    bundled = os.path.join(os.path.dirname(tidesim.__file__), "data", "session.jsonl.gz")
    best = {"alone": math.inf, "native": math.inf, "python": math.inf}
    entries = 1
    original = sim_recorder.SessionRecorder
    n = 0
    for _ in range(rounds):
        for side in best:
            n += 1
            target = None if side == "alone" else os.path.join(tmp, f"replay-{n}.jsonl.gz")
            if side == "python":
                sim_recorder.SessionRecorder = lambda *a, **k: _without_native_lines(original(*a, **k))
            try:
                gc.collect()
                t0 = time.perf_counter_ns()
                replay = Replay(bundled, report=None, record_to=target)
                result = replay.run()
                elapsed = time.perf_counter_ns() - t0
            finally:
                sim_recorder.SessionRecorder = original
            entries = max(1, getattr(result, "entries", 0) or 1)
            best[side] = min(best[side], elapsed)
    per = {k: v / entries for k, v in best.items()}
    return [Row(GROUP, f"tidesim-replay of the bundled day with --record/alone "
                       f"{best['native'] / best['alone']:.2f}x ({best['native'] / 1e9:.2f} s "
                       f"against {best['alone'] / 1e9:.2f} s; writer encoding in Python "
                       f"{best['python'] / best['alone']:.2f}x)", per["native"], "replay alone",
                per["alone"])]


def collect() -> list[Row]:
    with tempfile.TemporaryDirectory() as tmp:
        rows = _near_free(tmp)
        rows += _development(tmp)
        rows += _writer_work(tmp)
        if not common.counting():
            rows += _whole_cost(tmp)
            rows += _burst(tmp)
            rows += _replay_recorded(tmp)
    return rows

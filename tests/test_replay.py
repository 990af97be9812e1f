"""Session replay: the file format, the generator, the recorder and the replay through the
bridge, on small generated days."""
from __future__ import annotations

import ast
import datetime as dt
import gzip
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

from tidesim.replay.format import (Decoder, SessionFormatError, SessionHeader, SessionReader,
                                   SessionWriter, make_record)
from tidesim.replay.generator import generate_session
from tidesim.replay.runner import Replay

DAY = dt.date(2026, 1, 5)
REPLAY_DIR = pathlib.Path(__file__).resolve().parents[1] / "sim" / "tidesim" / "replay"


def at(h: int, m: int, s: int = 0) -> dt.datetime:
    return dt.datetime.combine(DAY, dt.time(h, m, s))


@pytest.fixture(scope="module")
def small_day(tmp_path_factory):
    """Two securities until 10:30 with thirty orders and three algorithmic parents: every kind
    of callback, a few thousand entries."""
    path = tmp_path_factory.mktemp("sessions") / "small.jsonl.gz"
    return generate_session(path, securities=2, seed=7, l2_rate=0.2, orders=30,
                            data_until=dt.time(10, 30))


@pytest.fixture
def bridge():
    import orvane.tamsel.utils.tidewell as tw
    yield tw
    # leave the shared module state as other tests expect it: empty
    for name in ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
                 "algo_child_orders", "algo_child_trades", "vorn_params"):
        getattr(tw, name).clear()
    tw.event_queue.clear()


def write_session(path, lines, header=None):
    """A session from a header object and raw entry lines (text, or objects dumped as JSON)."""
    header = header or SessionHeader(DAY, at(8, 30), at(15, 31),
                                     {"accounts": {"stock": "1001_sim"},
                                      "trading_calendar": [DAY.isoformat()]},
                                     ["000001.XSHE"], {"000001.XSHE": {}}).to_json()
    with open(path, "w") as f:
        f.write(json.dumps(header) + "\n")
        for line in lines:
            f.write((line if isinstance(line, str) else json.dumps(line)) + "\n")
    return str(path)


SNAP = {"security_id": "000001", "market_type": {"$enum": "MarketType.SZSE"},
        "orig_time": 20260105093000000, "open_price": 10.0, "close_price": 0.0,
        "high_price": 10.2, "low_price": 9.9, "total_value_trade": 1.0e6,
        "total_volume_trade": 100000, "pre_close_price": 10.0, "ask_volume": [100],
        "ask_price": [10.01], "bid_volume": [100], "bid_price": [10.0], "high_limited": 11.0,
        "last_price": 10.0, "low_limited": 9.0, "open_interest": 0, "prev_settlement": 0.0,
        "iopv": 0.0, "trading_phase_code": "T0"}


def snap_line(t: str, **changes) -> dict:
    return {"t": f"{DAY.isoformat()}T{t}", "cb": "on_snapshot", "args": [{**SNAP, **changes}]}


# ---------------------------------------------------------------------------------------------
# Format


@pytest.mark.parametrize("value", [
    (1, "a", None), {"$not_a_tag": 1, "b": 2}, {}, {1: "int key", (2, "t"): [3]}, b"\x00\xffbytes",
    dt.datetime(2026, 1, 5, 9, 30, 0, 123456), dt.date(2026, 1, 5), [1.5, [2, (3,)]],
    float("inf"), -0.0, "ünïcode \n line", True,
], ids=repr)
def test_values_survive_writing_and_reading(tmp_path, value):
    path = tmp_path / "v.jsonl"
    header = SessionHeader(DAY, at(8, 30), at(15, 31), {"accounts": {}}, [], {})
    rec = make_record("Snapshot", {"field": value, "nested": make_record("Inner", {"x": value})})
    with SessionWriter(path, header) as w:
        w.write_callback(at(9, 30), "on_snapshot", [rec])
    (entry,) = list(SessionReader(path))
    got = entry.args[0]
    assert type(got.field) is type(value) and got.field == value
    assert got.nested.x == value and type(got.nested).__name__ == "Inner"
    assert got == rec


def test_nan_and_members_are_written_by_name(tmp_path):
    from pyvorn.enums import MarketType, OrderStatusType
    from orvane.tamsel.const import SIDE
    path = tmp_path / "m.jsonl.gz"
    header = SessionHeader(DAY, at(8, 30), at(15, 31), {"accounts": {}}, [], {})
    rec = make_record("OrderReport", {"s": OrderStatusType.Filled, "m": MarketType.SSE,
                                      "side": SIDE.SELL, "x": math.nan})
    with SessionWriter(path, header) as w:
        w.write_callback(at(9, 30), "on_order", [rec])
    raw = gzip.decompress(path.read_bytes()).decode().splitlines()[1]
    assert '{"$enum":"OrderStatusType.Filled"}' in raw and '{"$const":"SIDE.SELL"}' in raw
    assert '{"$float":"nan"}' in raw
    got = next(iter(SessionReader(path))).args[0]
    assert got.s is OrderStatusType.Filled and got.m is MarketType.SSE and got.side is SIDE.SELL
    assert math.isnan(got.x)


@pytest.mark.parametrize("line, message", [
    ('{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [', "malformed JSON"),
    ('{"t": "2026-01-05T09:30:00", "cb": "on_snapshoot", "args": [{}]}', "unknown callback name 'on_snapshoot'"),
    ('{"t": "2026-01-05T09:30:00", "cb": "send_before_trading_event"}', "timer callback"),
    ('{"t": "2026-01-05T09:30:00", "act": "cancel_everything"}', "unknown framework act"),
    ('{"cb": "on_snapshot", "args": [{}]}', "local time 't'"),
    ('{"t": "half past nine", "cb": "on_snapshot"}', "bad local time"),
    ('{"t": "2026-01-05T09:30:00", "cb": "on_order", "args": [{"order_status": {"$enum": "OrderStatusType.Lost"}}]}',
     "OrderStatusType has no member 'Lost'"),
    ('{"t": "2026-01-05T09:30:00", "cb": "on_order", "args": [{"x": {"$weird": 1}}]}', "unknown tag '$weird'"),
    ('{"t": "2026-01-05T09:30:00", "args": []}', "either a callback"),
    ('[1, 2]', "must be a JSON object"),
], ids=["json", "callback", "timer", "act", "no-time", "bad-time", "enum", "tag", "no-name", "array"])
def test_bad_lines_name_file_and_line(tmp_path, line, message):
    path = write_session(tmp_path / "bad.jsonl", [snap_line("09:30:00.010"), line])
    reader = SessionReader(path)
    with pytest.raises(SessionFormatError) as info:
        list(reader)
    assert info.value.line == 3 and info.value.path == path
    assert message in str(info.value) and str(info.value).startswith(f"{path}:3: ")
    # reported and skipped when asked
    seen = []
    entries = list(SessionReader(path).entries(on_error=seen.append))
    assert len(entries) == 1 and [e.line for e in seen] == [3]


@pytest.mark.parametrize("content, message", [
    (b"", "empty file"),
    (b'{"format": "something-else", "version": 1}\n', "not a session header"),
    (b'{"format": "tidesim-session", "version": 99, "day": "2026-01-05"}\n', "unsupported session format version"),
    (b'{"format": "tidesim-session", "version": 1, "day": "2026-01-05", "config": {}}\n', "'accounts'"),
    (b'{"format": "tidesim-session", "version": 1, "day": "2026-01-05", "start": "2026-01-05T16:00:00", '
     b'"end": "2026-01-05T09:00:00", "config": {"accounts": {}}}\n', "ends"),
    (gzip.compress(b'{"format": "tidesim-session", "version": 1, "day": "2026-01-05", "config": {"accounts": {}}}\n'
                   + b'{"t": "2026-01-05T09:00:00", "cb": "on_initialize"}\n' * 50)[:-30], "cannot read"),
], ids=["empty", "foreign", "version", "accounts", "end-before-start", "truncated-gzip"])
def test_bad_files_are_refused_with_their_name(tmp_path, content, message):
    path = tmp_path / "f.jsonl"
    path.write_bytes(content)
    with pytest.raises(SessionFormatError) as info:
        list(SessionReader(path))
    assert message in str(info.value) and str(path) in str(info.value)


def test_header_defaults_start_and_end_to_the_session_day(tmp_path):
    path = tmp_path / "h.jsonl"
    path.write_text('{"format": "tidesim-session", "version": 1, "day": "2026-01-05", '
                    '"config": {"accounts": {}}}\n')
    h = SessionReader(path).header
    assert (h.start, h.end) == (at(8, 30), at(15, 31))


# ---------------------------------------------------------------------------------------------
# Generator


def test_generator_is_deterministic_and_ordered(tmp_path):
    kwargs = dict(securities=3, seed=11, l2_rate=0.5, orders=12, data_until=dt.time(9, 40))
    a = generate_session(tmp_path / "a.jsonl.gz", **kwargs)
    b = generate_session(tmp_path / "b.jsonl.gz", **kwargs)
    c = generate_session(tmp_path / "c.jsonl.gz", **{**kwargs, "seed": 12})
    assert (tmp_path / "a.jsonl.gz").read_bytes() == (tmp_path / "b.jsonl.gz").read_bytes()
    assert (tmp_path / "a.jsonl.gz").read_bytes() != (tmp_path / "c.jsonl.gz").read_bytes()
    assert a.expected_orders == b.expected_orders
    times = [e.time for e in SessionReader(a.path)]
    assert len(times) == a.entries and times == sorted(times)


def test_generated_day_has_every_kind_of_report(small_day):
    reader = SessionReader(small_day.path)
    snaps = {}
    statuses = set()
    for e in reader:
        if e.name == "on_snapshot":
            snaps.setdefault(e.args[0].security_id, []).append(e.args[0].orig_time)
        elif e.name == "on_order":
            statuses.add(e.args[0].order_status.name)
    assert set(small_day.callbacks) >= {"on_initialize", "on_login", "on_query_asset",
                                         "on_query_position", "on_snapshot", "on_tick_order",
                                         "on_tick_trade", "on_bar", "on_order", "on_trade",
                                         "on_algo_login", "on_create_algo_parent_order_res",
                                         "on_cancel_algo_parent_order_res",
                                         "on_control_algo_parent_order_res",
                                         "on_algo_parent_order_update",
                                         "on_algo_child_order_update", "on_algo_child_order_trade"}
    assert statuses >= {"UnSend", "Sended", "PartiallyFilled", "Filled", "Reject"}
    # snapshots every 3 s per security from 09:15:00, in the SDK's integer time form
    for times in snaps.values():
        assert times[0] == 20260105091500000 and times[1] == 20260105091503000
        assert times[-1] == 20260105103000000 and len(times) == (75 * 60) // 3 + 1
    assert reader.header.universe == ["000001.XSHE", "600000.XSHG"]


# ---------------------------------------------------------------------------------------------
# Recorder


def test_recorder_imports_nothing_from_the_standins():
    stdlib = set(sys.stdlib_module_names)
    for name in ("recorder.py", "format.py"):
        tree = ast.parse((REPLAY_DIR / name).read_text())
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                mods = [a.name for a in node.names]
            elif isinstance(node, ast.ImportFrom):
                mods = ["." * node.level + (node.module or "")]
            else:
                continue
            for m in mods:
                assert m.split(".")[0] in stdlib | {"__future__"} or m == ".format", (name, m)
    # and loading it registers nothing under the SDK's or the framework's names
    code = ("import sys; import tidesim.replay.recorder; "
            "print(sorted(m for m in sys.modules if m.startswith(('pyvorn', 'orvane'))))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# ---------------------------------------------------------------------------------------------
# Replay


def test_round_trip_through_the_recorder(tmp_path, small_day, bridge):
    recording = tmp_path / "recorded.jsonl.gz"
    first = Replay(small_day.path, collect_events=True, record_to=str(recording), report=None).run()
    second = Replay(str(recording), collect_events=True, report=None).run()
    assert first.ok and second.ok, (first.problems, second.problems)
    assert len(first.signatures) == sum(first.events.values()) > 1000
    assert first.signatures == second.signatures
    assert first.callbacks == second.callbacks and first.acts == second.acts == 30
    header = SessionReader(recording).header
    original = SessionReader(small_day.path).header
    assert (header.start, header.end, header.universe, header.instruments) == \
        (original.start, original.end, original.universe, original.instruments)
    assert header.config == original.config


def test_day_events_fire_at_their_virtual_times(small_day, bridge):
    seen = []
    open_orders = []

    def day_event(event):
        seen.append((event.event_type.name, event.calendar_dt, event.trading_dt is event.calendar_dt,
                     len(bridge.orders_dict)))

    res = Replay(small_day.path, report=None, listeners=[
        ("BEFORE_TRADING", day_event, True), ("OPEN_AUCTION", day_event, True),
        ("AFTER_TRADING", day_event, True),
        ("BAR", lambda e: open_orders.append(len(bridge.orders_dict)), True)]).run()
    assert res.ok, res.problems
    assert [s[:3] for s in seen] == [("BEFORE_TRADING", at(9, 0), True),
                                     ("OPEN_AUCTION", at(9, 24), True),
                                     ("AFTER_TRADING", at(15, 30), True)]
    # orders stay in orders_dict all day and are gone once AFTER_TRADING is published
    assert open_orders[-1] == 30 and seen[-1][3] == 0 and len(bridge.orders_dict) == 0
    assert res.virtual_end == at(15, 31)


def test_order_flow_ends_in_the_expected_states(small_day, bridge):
    res = Replay(small_day.path, report=None).run()
    assert res.ok, res.problems
    got = {s.key: (s.status_name, s.filled_quantity) for s in res.order_book.orders.values()}
    assert got == small_day.expected_orders
    assert {"FILLED", "CANCELLED", "REJECTED"} <= {s for s, _ in got.values()}
    assert dict(res.events) == small_day.expected_events
    assert res.queue_dropped == 0 and res.queue_high_water >= 1


def test_a_slow_consumer_sees_the_same_events_in_bigger_batches(small_day, bridge):
    fast = Replay(small_day.path, collect_events=True, report=None).run()
    slow = Replay(small_day.path, collect_events=True, report=None, drain_every=500).run()
    assert slow.signatures == fast.signatures
    assert slow.queue_high_water > fast.queue_high_water


def test_replay_resets_the_bridge_and_restores_its_time_globals(tmp_path, bridge):
    import numpy
    before = {n: bridge.__dict__[n] for n in ("datetime", "time", "timedelta", "np")}
    containers = {n: getattr(bridge, n) for n in ("orders_dict", "history_tick", "event_queue")}
    bridge.orders_dict["stale"] = object()
    bridge.history_tick["stale"] = object()
    bridge.event_queue.append("stale event")
    path = write_session(tmp_path / "s.jsonl", [snap_line("09:30:00.020"), "not json"])
    res = Replay(path, report=None).run()
    assert res.stopped is not None and res.exit_code == 2
    assert "stale" not in bridge.orders_dict and "stale" not in bridge.history_tick
    # what was in the queue before is gone; the day events due before the snapshot and the
    # snapshot's tick were published, nothing after the bad line
    assert dict(res.events) == {"BEFORE_TRADING": 1, "OPEN_AUCTION": 1, "TICK": 1}
    assert len(bridge.event_queue) == 0 and res.virtual_end == at(9, 30, 0) + dt.timedelta(milliseconds=20)
    assert {n: bridge.__dict__[n] for n in before} == before
    assert bridge.__dict__["np"] is numpy and bridge.__dict__["datetime"] is dt.datetime
    assert all(getattr(bridge, n) is c for n, c in containers.items())


@pytest.mark.parametrize("keep_going", [False, True])
def test_bad_input_stops_unless_asked_to_go_on(tmp_path, bridge, keep_going):
    lines = [snap_line("09:30:00.010"), snap_line("09:30:03.010"),
             '{"t": "2026-01-05T09:30:04", "cb": "on_snapsh0t", "args": [{}]}',
             snap_line("09:30:02.000"),  # goes back in time
             snap_line("09:30:06.010")]
    path = write_session(tmp_path / "s.jsonl", lines)
    res = Replay(path, keep_going=keep_going, report=None).run()
    if keep_going:
        assert res.stopped is None and res.problem_counts["input"] == 2 and res.exit_code == 1
        assert res.events["TICK"] == 4  # the out-of-order line is delivered at the current time
        assert [p.where for p in res.problems] == [f"{path}:4", f"{path}:5"]
    else:
        assert res.stopped.line == 4 and "unknown callback name 'on_snapsh0t'" in str(res.stopped)
        assert res.events["TICK"] == 2 and res.exit_code == 2


def test_entries_after_the_end_are_counted_not_delivered(tmp_path, bridge):
    lines = [snap_line("09:30:00.010"), snap_line("15:31:00.000"), snap_line("15:35:00.000"),
             snap_line("16:00:00.000")]
    res = Replay(write_session(tmp_path / "s.jsonl", lines), report=None).run()
    assert res.events["TICK"] == 2 and res.after_end == 2 and res.virtual_end == at(15, 31)


def test_cli_reports_a_record_without_a_field_and_goes_on(tmp_path):
    """Run in a child interpreter: the bridge sees a record the SDK might deliver broken."""
    snap = {k: v for k, v in SNAP.items() if k != "last_price"}
    lines = [snap_line("09:30:00.010"), {"t": "2026-01-05T09:30:03.010", "cb": "on_snapshot",
                                         "args": [snap]}, snap_line("09:30:06.010")]
    path = write_session(tmp_path / "s.jsonl", lines)
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", path, "--json"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 1, out.stderr
    summary = json.loads(out.stdout)
    assert summary["events"]["TICK"] == 2 and summary["problems"]["counts"] == {"callback": 1}
    (problem,) = summary["problems"]["first"]
    assert problem["where"] == f"{path}:3" and problem["name"] == "on_snapshot"
    assert "AttributeError" in problem["error"] and "last_price" in problem["error"]
    assert f"{path}:3: callback on_snapshot" in out.stderr


@pytest.mark.parametrize("args, code, needle", [
    (["--no-progress"], 2, "stopped at bad input"),
    (["--keep-going", "--progress"], 1, "] 100.0% 1 entries"),
], ids=["stops", "keep-going"])
def test_cli_exit_status_and_messages(tmp_path, args, code, needle):
    lines = [snap_line("09:30:00.010"), '{"t": "2026-01-05T09:30:01", "cb": "on_nothing"}']
    path = write_session(tmp_path / "s.jsonl", lines)
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", path, *args],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == code
    assert f"{path}:3: unknown callback name 'on_nothing'" in out.stderr and needle in out.stderr
    assert "Events by type" in out.stdout and "TICK" in out.stdout


def test_cli_plot_needs_matplotlib(tmp_path):
    path = write_session(tmp_path / "s.jsonl", [snap_line("09:30:00.010")])
    png = tmp_path / "p.png"
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", path, "--plot", str(png)],
                         capture_output=True, text=True, timeout=120)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert out.returncode == 2 and "matplotlib" in out.stderr and "plot" in out.stderr
        assert not png.exists()
    else:
        assert out.returncode == 0 and png.stat().st_size > 0


@pytest.mark.parametrize("snap_time, first", [("09:00:00.000", "BEFORE_TRADING"), ("08:59:59.999", "TICK")])
def test_a_timer_due_at_an_entrys_time_fires_before_it(tmp_path, bridge, snap_time, first):
    path = write_session(tmp_path / "s.jsonl", [snap_line(snap_time)])
    res = Replay(path, collect_events=True, report=None).run()
    assert res.ok, res.problems
    assert [s[0] for s in res.signatures][:2] == [first, ({"TICK", "BEFORE_TRADING"} - {first}).pop()]


@pytest.mark.parametrize("settings, md_type, algo_brokers", [
    ({}, "AMD", 0),
    ({"md_type": "VoMD", "algo_account": "9_atx", "order_way": {"$enum": "MarketType.SSE"}}, "VoMD", 1),
], ids=["defaults", "all-settings"])
def test_the_strategy_is_configured_from_the_header(tmp_path, bridge, settings, md_type, algo_brokers):
    from pyvorn.enums import MarketType, MDType
    header = SessionHeader(DAY, at(8, 30), at(9, 30), {"accounts": {"stock": "1001_sim"},
                                                      "trading_calendar": [DAY.isoformat()]},
                           [], {}).to_json()
    header["config"].update(settings)
    replay = Replay(write_session(tmp_path / "s.jsonl", [], header), report=None)
    res = replay.run()
    assert res.ok, res.problems
    calls = replay.strategy.context.calls_of
    assert calls("add_md_broker") == [(MDType[md_type],)]
    assert len(calls("add_algo_broker")) == algo_brokers
    assert calls("set_order_way") == ([(MarketType.SSE,)] if "order_way" in settings else [])
    assert dict(res.events) == {"BEFORE_TRADING": 1, "OPEN_AUCTION": 1}


def test_recorder_writes_each_callback_before_it_runs_and_each_order_once(tmp_path, bridge):
    """With a plain strategy base: the recording keeps a callback that raises, keyword
    arguments, and the orders the framework placed, before the first report on them."""
    from tidesim.framework.config import make_config
    from tidesim.framework.model.order import Order
    from tidesim.replay.recorder import SessionRecorder, recording_strategy

    class Base:
        def __init__(self, config):
            self.config = config

        def initialize(self, config):
            pass

        def on_order(self, order):
            raise RuntimeError("the strategy failed")

        def on_query_asset(self, asset_res, request_id, code, msg):
            pass

    clock = [at(8, 30)]
    rec = SessionRecorder(tmp_path / "r.jsonl.gz", now=lambda: clock[0], universe=["000001.XSHE"],
                          instruments={"000001.XSHE": {"symbol": "A"}})
    strategy = recording_strategy(Base, rec)(make_config({"stock": "1_sim"}, md_type="AMD"))
    strategy.initialize(None)
    clock[0] = at(9, 30)
    bridge.orders_dict[77] = Order(order_id=5, quantity=300)
    with pytest.raises(RuntimeError):
        strategy.on_order(make_record("OrderReport", {"client_order_id": 77}))
    clock[0] = at(9, 31)
    strategy.on_query_asset(make_record("AssetResult", {"fund_account_id": "1"}), request_id=4,
                            code=0, msg="ok")
    bridge.orders_dict[77] = Order(order_id=6)  # a new order under a key seen before
    with pytest.raises(RuntimeError):
        strategy.on_order(make_record("OrderReport", {"client_order_id": 77}))
    rec.close()
    reader = SessionReader(tmp_path / "r.jsonl.gz")
    assert reader.header.start == at(8, 30) and reader.header.config["md_type"] == "AMD"
    assert reader.header.instruments == {"000001.XSHE": {"symbol": "A"}}
    got = [(e.time, e.kind, e.name, e.args[:1] if e.kind == "act" else len(e.args), sorted(e.kwargs))
           for e in reader]
    assert got == [(at(9, 30), "act", "place_order", (77,), []),
                   (at(9, 30), "cb", "on_order", 1, []),
                   (at(9, 31), "cb", "on_query_asset", 1, ["code", "msg", "request_id"]),
                   (at(9, 31), "act", "place_order", (77,), []),
                   (at(9, 31), "cb", "on_order", 1, [])]
    # the acts carry the whole order, rebuilt as the framework's order on reading
    decoder = Decoder(acts=Replay("unused")._framework_object)
    orders = [e.args[1] for e in SessionReader(tmp_path / "r.jsonl.gz", decoder) if e.kind == "act"]
    assert orders == [Order(order_id=5, quantity=300), Order(order_id=6)]


def test_a_recording_never_overwrites_the_session_it_replays(tmp_path, bridge):
    from tidesim.replay.runner import ReplayAborted
    path = write_session(tmp_path / "s.jsonl", [snap_line("09:30:00.010")])
    before = pathlib.Path(path).read_bytes()
    with pytest.raises(ReplayAborted, match="overwrite"):
        Replay(path, record_to=os.path.join(tmp_path, ".", "s.jsonl"), report=None).run()
    assert pathlib.Path(path).read_bytes() == before

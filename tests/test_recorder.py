"""The production recorder and the session format of tiderec: fidelity of values, capture on
several threads, a writer that falls behind, crash safety, bad targets, packaging."""
from __future__ import annotations

import ast
import collections
import datetime as dt
import decimal
import enum
import gzip
import json
import math
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tidesim
from tiderec.format import (Decoder, SessionFormatError, SessionHeader, SessionReader,
                            SessionWriter, make_record)
from tiderec.recorder import SessionRecorder, recording_strategy
from tiderec.encoding import RecordingTargetError

DAY = dt.date(2026, 1, 5)
REC_DIR = pathlib.Path(__file__).resolve().parents[1] / "rec" / "tiderec"


def at(h: int, m: int, s: int = 0, us: int = 0) -> dt.datetime:
    return dt.datetime.combine(DAY, dt.time(h, m, s, us))


class Config:
    class base:
        accounts = {"stock": "1001_sim"}
        trading_calendar = [DAY]


class Plain:
    """A strategy base that accepts every callback and does nothing."""

    def __init__(self, config=None):
        self.config = config or Config

    def initialize(self, config=None):
        pass

    def on_snapshot(self, snapshot):
        pass

    def on_order(self, order):
        pass


class Foreign(enum.Enum):
    A = 1


class Cyclic:
    def __init__(self):
        self.me = self


def recorder(path, **options):
    clock = options.pop("clock", [at(9, 30)])
    return SessionRecorder(path, now=lambda: clock[0], universe=["000001.XSHE"],
                           instruments={"000001.XSHE": {}}, **options)


def record_values(tmp_path, fields, name="v.jsonl.gz"):
    """Records one snapshot whose record carries `fields`; returns (recorder, path)."""
    tidesim.install()
    rec = recorder(tmp_path / name)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    strategy.on_snapshot(make_record("Snapshot", fields))
    rec.close()
    return rec, tmp_path / name


# ---------------------------------------------------------------------------------------------
# Fidelity


class Nested:
    def __init__(self, x):
        self.x = x


ROUND_TRIP = [
    decimal.Decimal("12.3400"), decimal.Decimal("-1E+3"), dt.time(9, 30, 1, 250), dt.date(2026, 1, 5),
    dt.datetime(2026, 1, 5, 9, 30, 0, 1), dt.timedelta(days=-1, seconds=5, microseconds=7),
    {1, 2, 3}, frozenset({"a", "b"}), set(), b"\x00\xff", bytearray(b"ab"), None, math.inf, -math.inf,
    [1, 2.5, "x"], (1, (2, 3)), {"$x": 1}, {(1, 2): "tuple key"}, -0.0, 2 ** 80,
    np.int64(7), np.float32(1.5), np.bool_(True), np.array([[1, 2], [3, 4]], dtype=np.int16),
    np.array([1.5, np.nan]), np.array(["a", "bc"]), np.datetime64("2026-01-05T09:30"),
]


@pytest.mark.parametrize("value", ROUND_TRIP, ids=repr)
def test_recorded_values_round_trip(tmp_path, value):
    nested = make_record("Inner", {"v": value})
    rec, path = record_values(tmp_path, {"v": value, "nested": nested, "records": [nested, nested]})
    assert rec.errors == 0
    (entry,) = list(SessionReader(path))
    got = entry.args[0]
    for v in (got.v, got.nested.v, got.records[1].v):
        assert type(v) is type(value)
        if isinstance(value, np.ndarray):
            assert v.dtype == value.dtype and v.shape == value.shape
            np.testing.assert_array_equal(v, value)
        else:
            assert v == value or (v != v and value != value)


def test_nan_and_members_round_trip(tmp_path):
    from pyvorn.enums import OrderStatusType
    from orvane.tamsel.const import SIDE
    _, path = record_values(tmp_path, {"s": OrderStatusType.Filled, "side": SIDE.BUY, "n": math.nan,
                                       "np_nan": np.float64("nan")})
    got = next(iter(SessionReader(path))).args[0]
    assert got.s is OrderStatusType.Filled and got.side is SIDE.BUY
    assert math.isnan(got.n) and type(got.np_nan) is np.float64 and math.isnan(got.np_nan)


@pytest.mark.parametrize("value", [Foreign.A, "\ud800 lone surrogate", Cyclic(), 1j],
                         ids=["foreign-enum", "surrogate", "cycle", "complex"])
def test_values_that_cannot_be_held_are_counted_and_reported_as_input(tmp_path, value):
    """The entry keeps its other fields, the recorder counts the value, the reader refuses the
    entry as bad input, and a replay reports it as an input problem (not one of the bridge)."""
    from tidesim.replay.runner import Replay
    rec, path = record_values(tmp_path, {"ok": 1, "bad": value})
    assert rec.errors == 1
    raw = gzip.decompress(path.read_bytes()).decode().splitlines()
    assert '"$unrecorded"' in raw[1] and '"ok":1' in raw[1]
    with pytest.raises(SessionFormatError, match="was not recorded") as info:
        list(SessionReader(path))
    assert info.value.line == 2
    res = Replay(str(path), keep_going=True, report=None).run()
    assert res.problem_counts == {"input": 2}  # the entry, and the trailer's count
    assert res.callbacks["on_snapshot"] == 0


@pytest.mark.parametrize("line", [
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"x": {"$decimal": "one"}}]}',
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"x": {"$timedelta": 1.5}}]}',
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"x": {"$set": [[1]]}}]}',
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"x": {"$ndarray": {"dtype": "zz"}}}]}',
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"x": %s}]}' % ("9" * 5000),
    '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "act": "place_order", "args": [{}]}',
], ids=["decimal", "timedelta", "set", "ndarray", "huge-int", "cb-and-act"])
def test_bad_tagged_values_name_the_line(tmp_path, line):
    path = tmp_path / "bad.jsonl"
    header = SessionHeader(DAY, at(8, 30), at(15, 31), {"accounts": {}}, [], {}).to_json()
    path.write_text(json.dumps(header) + "\n" + line + "\n")
    with pytest.raises(SessionFormatError) as info:
        list(SessionReader(path))
    assert info.value.line == 2 and str(path) in str(info.value)


def test_the_quick_and_the_full_decoding_agree(tmp_path):
    """Every line of a generated day decodes to the same entry whether the decoder has
    learned its callback's shape or not."""
    from tidesim.replay.generator import generate_session
    tidesim.install()
    g = generate_session(tmp_path / "d.jsonl", securities=2, seed=5, l2_rate=0.5, orders=20,
                         data_until=dt.time(9, 50))
    lines = pathlib.Path(g.path).read_bytes().splitlines()[1:]
    learned = Decoder()
    for i, raw in enumerate(lines * 2):  # the second pass runs on what the first learned
        quick = learned.entry(i, raw)
        full = Decoder()._entry(i, raw)
        assert (quick.time, quick.kind, quick.name, quick.args, quick.kwargs) == \
            (full.time, full.kind, full.name, full.args, full.kwargs)
    assert learned._plans  # the quick path was taken


# ---------------------------------------------------------------------------------------------
# Threads, drops, blocks


def test_two_threads_record_whole_lines_each_in_order(tmp_path):
    path = tmp_path / "threads.jsonl.gz"
    rec = recorder(path, flush_interval=0.05, block_size=4096)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    n = 3000
    start = threading.Barrier(2)

    def deliver(thread_no):
        start.wait()
        for i in range(n):
            strategy.on_snapshot(make_record("Snapshot", {"thread": thread_no, "seq": i,
                                                          "levels": [1.5] * 10}))

    threads = [threading.Thread(target=deliver, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rec.close()
    seen = collections.defaultdict(list)
    for e in SessionReader(path):
        seen[e.args[0].thread].append(e.args[0].seq)
    assert seen == {0: list(range(n)), 1: list(range(n))}
    assert not rec.dropped and rec.errors == 0


class StalledWriter:
    """Holds the recorder's writer thread inside its first write until released (a line
    encoded in Python, or a batch encoded natively)."""

    def __init__(self, rec):
        self.entered = threading.Event()
        self.release = threading.Event()
        for name in ("write_line", "write_lines"):
            setattr(rec._writer, name, self._stalled(getattr(rec._writer, name)))

    def _stalled(self, write):
        def slow(line):
            self.entered.set()
            self.release.wait(30)
            write(line)
        return slow


def test_a_stalled_writer_costs_drops_not_the_callers_time(tmp_path):
    from tidesim.framework.utils import logger
    tidesim.install()
    logger.clear_lines()
    path = tmp_path / "slow.jsonl.gz"
    rec = recorder(path, max_pending=20, flush_interval=0.05)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    stall = StalledWriter(rec)
    strategy.on_snapshot(make_record("Snapshot", {"seq": -1}))
    assert stall.entered.wait(10)
    for i in range(300):  # all return while the writer is still held
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
        strategy.on_order(make_record("OrderReport", {"seq": i}))
    assert not stall.release.is_set()
    assert rec.pending == 20 and sum(rec.dropped.values()) == 600 - 20
    assert set(rec.dropped) == {"on_snapshot", "on_order"}
    warnings = [m for name, _, m in logger.lines if name == "system_log" and "dropping" in m]
    assert len(warnings) == 1 and str(path) in warnings[0]
    stall.release.set()
    rec.close()
    reader = SessionReader(path)
    problems = []
    kept = list(reader.entries(on_error=problems.append))
    assert len(kept) == 21
    (note,) = problems
    assert "dropped 580 callback(s)" in note.message and "on_order" in note.message
    assert reader.trailer["dropped"] == dict(rec.dropped)


def test_block_mode_waits_for_room_and_keeps_everything(tmp_path):
    path = tmp_path / "block.jsonl.gz"
    rec = recorder(path, max_pending=5, on_full="block", flush_interval=0.05)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    stall = StalledWriter(rec)
    strategy.on_snapshot(make_record("Snapshot", {"seq": 0}))
    assert stall.entered.wait(10)
    done = threading.Event()

    def deliver():
        for i in range(1, 200):
            strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
        done.set()

    t = threading.Thread(target=deliver)
    t.start()
    assert not done.wait(0.2)  # held: the hand-off is full and the writer stalled
    stall.release.set()
    t.join(30)
    assert done.is_set()
    rec.close()
    assert [e.args[0].seq for e in SessionReader(path)] == list(range(200))
    assert not rec.dropped


def test_flush_makes_every_captured_callback_readable(tmp_path):
    path = tmp_path / "f.jsonl.gz"
    rec = recorder(path, flush_interval=1.0)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    for i in range(50):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
    rec.flush()
    # the file is readable as it is, while the recorder is still open
    problems = []
    got = [e.args[0].seq for e in SessionReader(path).entries(on_error=problems.append)]
    assert got == list(range(50)) and problems == []
    rec.close()


CHILD = textwrap.dedent("""
    import datetime as dt, os, sys, time
    import tidesim
    tidesim.install()
    from tiderec.format import make_record
    from tiderec.recorder import SessionRecorder, recording_strategy
    from tidesim.pyvorn.records import Snapshot

    class Config:
        class base:
            accounts = {"stock": "1001_sim"}
            trading_calendar = []

    class Plain:
        config = Config
        def initialize(self, config=None): pass
        def on_snapshot(self, snapshot): pass

    clock = [dt.datetime(2026, 1, 5, 9, 30)]
    rec = SessionRecorder(sys.argv[1], now=lambda: clock[0], universe=["000001.XSHE"],
                          instruments={"000001.XSHE": {}}, flush_interval=0.05, block_size=2048)
    s = recording_strategy(Plain, rec)()
    s.initialize()
    i = 0
    while True:
        clock[0] += dt.timedelta(milliseconds=1)
        s.on_snapshot(Snapshot(orig_time=20260105093000000 + i, open_price=float(i)))
        i += 1
        if i == 500:
            rec.flush()
            print("flushed", flush=True)
""")


def test_a_recording_killed_midway_replays_up_to_its_last_block(tmp_path):
    from tidesim.replay.runner import Replay
    path = tmp_path / "killed.jsonl.gz"
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "flushed"
        while path.stat().st_size < 20000:  # several more blocks written after the flush
            pass
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    res = Replay(str(path), keep_going=True, report=None).run()
    assert res.callbacks["on_snapshot"] >= 500
    assert res.problem_counts["callback"] == 0
    # at most the cut tail is reported, naming the file and the last whole line
    assert res.problem_counts.get("input", 0) <= 1
    for p in res.problems:
        assert p.where.startswith(str(path)) and "last whole line" in p.error


def test_the_bundled_day_recorded_during_its_replay_replays_the_same(tmp_path):
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.runner import Replay
    recording = tmp_path / "bundled.jsonl.gz"
    first = Replay(default_session(), collect_events=True, record_to=str(recording), report=None).run()
    second = Replay(str(recording), collect_events=True, report=None).run()
    assert first.ok and second.ok, (first.problems[:3], second.problems[:3])
    assert first.entries == second.entries > 40000
    assert first.signatures == second.signatures


def test_a_cut_file_reads_to_its_last_whole_line_then_says_so(tmp_path):
    path = tmp_path / "cut.jsonl.gz"
    rec = recorder(path, block_size=1 << 20)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    for i in range(100):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
    rec.flush()
    for i in range(100, 4000):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i, "pad": "x" * i}))
    rec.close()
    data = path.read_bytes()
    path.write_bytes(data[: len(data) - 3000])
    problems = []
    got = [e.args[0].seq for e in SessionReader(path).entries(on_error=problems.append)]
    assert got == list(range(len(got))) and len(got) >= 100
    (note,) = problems
    assert note.path == str(path) and note.line == len(got) + 2
    assert f"line {len(got) + 1} is the last whole line" in note.message
    with pytest.raises(SessionFormatError, match="last whole line"):
        list(SessionReader(path))


# ---------------------------------------------------------------------------------------------
# Targets, compatibility, packaging


@pytest.mark.parametrize("make, needle", [
    (lambda d: d / "missing" / "r.jsonl.gz", "does not exist"),
    (lambda d: d, "is a directory"),
    (lambda d: (d / "old.jsonl.gz").write_bytes(b"keep") and d / "old.jsonl.gz", "exists already"),
], ids=["missing-dir", "directory", "existing"])
def test_bad_targets_are_refused_before_anything_runs(tmp_path, make, needle):
    target = make(tmp_path)
    with pytest.raises(RecordingTargetError, match=needle):
        SessionRecorder(target)
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", "--record", str(target), "--quiet"],
                         capture_output=True, text=True)
    # the command line words an existing target as every writing command does
    cli_needle = "refusing to overwrite" if needle == "exists already" else needle
    assert out.returncode == 2 and cli_needle in out.stderr and "Traceback" not in out.stderr
    assert "recording written" not in out.stderr
    if (tmp_path / "old.jsonl.gz").exists():
        assert (tmp_path / "old.jsonl.gz").read_bytes() == b"keep"


def test_overwrite_is_explicit(tmp_path):
    target = tmp_path / "old.jsonl"
    target.write_text("old")
    SessionRecorder(target, overwrite=True).close()
    assert target.read_text() == ""
    # on the command line: --force
    session = tmp_path / "s.jsonl"
    header = SessionHeader(DAY, at(8, 30), at(9, 0), {"accounts": {"stock": "1_sim"}},
                           ["000001.XSHE"], {"000001.XSHE": {}}).to_json()
    session.write_text(json.dumps(header) + "\n")
    target.write_text("old")
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", str(session), "--record",
                          str(target), "--force", "--quiet"], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert SessionReader(target).header.start == at(8, 30)


def test_files_of_the_first_version_still_read(tmp_path):
    """A version 1 file: one gzip stream, no trailer."""
    path = tmp_path / "v1.jsonl.gz"
    header = {"format": "tidesim-session", "version": 1, "day": "2026-01-05",
              "config": {"accounts": {"stock": "1_sim"}}}
    entry = {"t": "2026-01-05T09:30:00.010", "cb": "on_snapshot",
             "args": [{"security_id": "000001", "market_type": {"$enum": "MarketType.SZSE"}}]}
    path.write_bytes(gzip.compress((json.dumps(header) + "\n" + json.dumps(entry) + "\n").encode()))
    tidesim.install()
    reader = SessionReader(path)
    assert reader.header.version == 1
    (e,) = list(reader)
    assert e.args[0].security_id == "000001" and e.args[0].market_type.name == "SZSE"


def test_the_distribution_imports_only_the_standard_library_and_msgspec():
    # numpy only inside the decoding of numpy values, when a file holds them; isal (the
    # "fast" extra) only to read and write gzip files, when it is installed
    allowed = set(sys.stdlib_module_names) | {"__future__", "msgspec", "numpy", "isal"}
    for path in REC_DIR.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                mods = [a.name for a in node.names]
            elif isinstance(node, ast.ImportFrom):
                mods = [("." if node.level else "") + (node.module or "")]
            else:
                continue
            for m in mods:
                assert m.startswith(".") or m.split(".")[0] in allowed, (path.name, m)
    code = ("import sys; import tiderec, tiderec.recorder, tiderec.format; "
            "print(sorted(m for m in sys.modules if m.startswith(('pyvorn', 'orvane', 'tidesim'))))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
    out = subprocess.run([sys.executable, "-c", "import sys, tiderec; print(sorted(m for m in "
                          "sys.modules if m.startswith(('tiderec', 'msgspec'))))"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "['tiderec']"


def test_writer_blocks_are_independent_gzip_members(tmp_path):
    path = tmp_path / "b.jsonl.gz"
    with SessionWriter(path, SessionHeader(DAY, at(8, 30), at(15, 31), {"accounts": {}}, [], {}),
                       block_size=256) as w:
        for i in range(100):
            w.write_callback(at(9, 30), "on_snapshot", [make_record("Snapshot", {"seq": i})])
    data = path.read_bytes()
    assert data.count(b"\x1f\x8b\x08") > 10  # many members ...
    assert len(gzip.decompress(data).splitlines()) == 101  # ... that read as one stream


@pytest.mark.parametrize("level, fast", [(1, True), (3, True), (0, False), (6, False)])
def test_a_recording_at_any_level_is_the_same_lines_in_gzip_members(tmp_path, level, fast):
    """At the fast levels the recorder's blocks are compressed by ISA-L when it is installed
    (else by zlib), at the others by zlib: either way independent gzip members of the same
    lines."""
    from tiderec import encoding
    from tiderec.recorder import SessionRecorder
    path = tmp_path / f"l{level}.jsonl.gz"
    rec = SessionRecorder(path, now=lambda: at(9, 30), universe=[], instruments={},
                          compress_level=level, block_size=4096)
    assert (rec._writer._fast_level is not None) is (fast and encoding._isal_zlib is not None)
    rec._writer.write_header(SessionHeader(DAY, at(8, 30), at(15, 31), {"accounts": {}}, [], {}))
    for i in range(300):
        rec._writer.write_callback(at(9, 30), "on_snapshot",
                                   [make_record("Snapshot", {"seq": i, "px": [10.5] * 10})])
    rec.close()
    data = path.read_bytes()
    assert data.count(b"\x1f\x8b\x08") > 5
    lines = gzip.decompress(data).splitlines()
    assert len(lines) == 301 and json.loads(lines[-1])["args"][0]["seq"] == 299
    assert [e.args[0].seq for e in SessionReader(path).entries()] == list(range(300))


def test_wall_clock_times_are_local_and_ordered(tmp_path):
    path = tmp_path / "wall.jsonl"
    rec = SessionRecorder(path, universe=[], instruments={})
    strategy = recording_strategy(Plain, rec)()
    before = dt.datetime.now()
    strategy.initialize()
    for i in range(200):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
    rec.close()
    after = dt.datetime.now()
    times = [e.time for e in SessionReader(path)]
    assert len(times) == 200 and times == sorted(times)
    assert before <= times[0] and times[-1] <= after


def test_a_failing_disk_stops_the_recording_not_the_strategy(tmp_path):
    from tidesim.framework.utils import logger
    tidesim.install()
    logger.clear_lines()
    rec = recorder(tmp_path / "full.jsonl.gz", flush_interval=0.05)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()

    def full(line):
        raise OSError(28, "No space left on device")
    rec._writer.write_line = rec._writer.write_lines = full
    strategy.on_snapshot(make_record("Snapshot", {"seq": 0}))
    rec._thread.join(10)
    assert isinstance(rec.writer_error, OSError) and rec.closed
    for i in range(100):  # the strategy goes on; nothing more is captured
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
    assert rec.pending == 0
    assert [m for _, _, m in logger.lines if "No space left" in m] != []
    rec.close()


def test_a_record_that_changes_shape_is_written_as_it_is(tmp_path):
    """The writer remembers each callback's record shape; records that differ from it (a value
    that cannot be held, a NaN, a None, a field more or less) are still written faithfully."""
    from pyvorn.enums import MarketType
    records = [{"m": MarketType.SZSE, "px": [1.5, 2.5], "q": 1},
               {"m": Foreign.A, "px": [1.5], "q": 2},
               {"m": MarketType.SSE, "px": [math.nan], "q": 3},
               {"m": MarketType.SSE, "px": [1.0], "q": None},
               {"m": MarketType.SSE, "px": [1.0], "q": 5, "extra": (1, 2)},
               {"m": MarketType.SZSE, "px": [], "q": math.inf},
               {"m": MarketType.SZSE, "px": [2.0], "q": 7}]
    tidesim.install()
    rec = recorder(tmp_path / "shapes.jsonl.gz")
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    for fields in records:
        strategy.on_snapshot(make_record("Snapshot", fields))
    rec.close()
    assert rec.errors == 1
    problems = []
    got = [vars(e.args[0]) for e in SessionReader(tmp_path / "shapes.jsonl.gz").entries(
        on_error=problems.append)]
    assert [p.line for p in problems] == [3, 9]  # the entry, then the trailer's count
    expected = [r for r in records if r["q"] != 2]
    assert len(got) == len(expected)
    for g, r in zip(got, expected):
        assert g.keys() == r.keys() and repr(g) == repr(r)

"""The recorder's capture on the SDK's thread: the native capture that recording_strategy
installs records exactly what the Python capture records, takes the common callbacks itself
and leaves the unusual ones to the Python capture, delivers every call to the strategy as
the plain class would, and keeps no reference behind."""
from __future__ import annotations

import datetime as dt
import decimal
import gc
import gzip
import sys
import threading
import types

import numpy as np
import pytest

import tidesim
from tiderec import recorder as recorder_module
from tiderec.format import SessionReader, make_record
from tiderec.recorder import SessionRecorder, recording_strategy

DAY = dt.date(2026, 1, 5)


class Config:
    class base:
        accounts = {"stock": "1001_sim"}
        trading_calendar = [DAY]


class Base:
    """A strategy base that remembers every call it receives."""

    def __init__(self, config=None):
        self.config = config or Config
        self.calls = []

    def initialize(self, config=None):
        pass

    def on_snapshot(self, snapshot):
        self.calls.append(("on_snapshot", snapshot))
        return "snapshot seen"

    def on_bar(self, bar):
        self.calls.append(("on_bar", bar))

    def on_order(self, order):
        self.calls.append(("on_order", order))

    def on_query_asset(self, asset_res, request_id, code, msg):
        self.calls.append(("on_query_asset", asset_res, request_id, code, msg))

    def on_query_position(self, query_position_res, request_id, code, msg):
        self.calls.append(("on_query_position", query_position_res, request_id, code, msg))


class Slotted:
    """A record without an instance dict: captured field by field by the Python captor."""

    __slots__ = ("security_id", "last_price")

    def __init__(self, security_id, last_price):
        self.security_id = security_id
        self.last_price = last_price


class _FlakyFields:
    __slots__ = ("price", "fail")


class Flaky(_FlakyFields):
    """A record whose price cannot always be read."""

    __slots__ = ()

    def __init__(self, fail):
        self.fail = fail

    @property
    def price(self):
        if self.fail:
            raise RuntimeError("the SDK could not read the price")
        return 1.5


def new_recorder(path, **options):
    clock = [dt.datetime(2026, 1, 5, 9, 30)]
    return SessionRecorder(path, now=lambda: clock[0], universe=["000001.XSHE"],
                           instruments={"000001.XSHE": {}}, **options)


def snap(**fields):
    return types.SimpleNamespace(security_id="000001", last_price=10.5, bid_price=[10.4, 10.3],
                                 **fields)


def calls():
    """(callback, positional arguments, keyword arguments, how it is captured): "native" for
    what the native capture takes itself, "python" for what it leaves to the Python capture."""
    from tidesim.pyvorn.enums import MarketType
    from tidesim.pyvorn.records import AssetResult, PositionRecord, Snapshot
    pos = PositionRecord(security_id="000002", init_qty=100)
    return [
        ("on_snapshot", (Snapshot(last_price=10.1),), {}, "native"),
        ("on_snapshot", (snap(),), {}, "native"),
        ("on_snapshot", (make_record("Snapshot", {"seq": 1, "_private": 2}),), {}, "native"),
        ("on_snapshot", (Slotted("000003", 3.5),), {}, "native"),
        ("on_snapshot", (None,), {}, "native"),
        ("on_snapshot", (decimal.Decimal("1.25"),), {}, "native"),
        ("on_snapshot", (np.float64(2.5),), {}, "native"),
        ("on_bar", (MarketType.SSE,), {}, "native"),
        ("on_query_asset", (AssetResult(total_asset=1e6), 7, 0, "ok"), {}, "native"),
        ("on_query_position", ([pos, pos], 8, 0, "ok"), {}, "native"),
        ("on_query_position", ([], 9, 0, ""), {}, "native"),
        ("on_query_position", ([pos, 5, None, "x"], 10, 1, "mixed"), {}, "native"),
        ("on_query_asset", (AssetResult(),), {"request_id": 11, "code": 0, "msg": "kw"}, "python"),
        ("on_query_position", ([[pos]], 12, 0, "nested"), {}, "python"),
        ("on_snapshot", ({"a": 1, "b": [2]},), {}, "python"),
        ("on_snapshot", (frozenset({1}),), {}, "native"),
    ]


def record_all(path, sequence, native: bool, monkeypatch):
    tidesim.install()
    if not native:
        monkeypatch.setattr(recorder_module, "_native", None)
    rec = new_recorder(path)
    cls = recording_strategy(Base, rec)
    monkeypatch.undo()
    strategy = cls()
    strategy.initialize()
    results = []
    for _ in range(2):  # the first call of a type teaches the capture; the second is native
        for name, args, kwargs, _how in sequence:
            results.append(getattr(strategy, name)(*args, **kwargs))
    rec.close()
    return strategy, results


def test_the_build_has_the_native_capture():
    assert recorder_module.NATIVE_CAPTURE
    cls = recording_strategy(Base, new_recorder_in_memory())
    assert type(cls.__dict__["on_snapshot"]).__name__ == "Capture"
    assert cls.__dict__["on_snapshot"].__name__ == "on_snapshot"


def new_recorder_in_memory():
    import io
    return new_recorder(io.BytesIO())


def test_native_and_python_captures_write_the_same_file(tmp_path, monkeypatch):
    sequence = calls()
    native, got_native = record_all(tmp_path / "native.jsonl.gz", sequence, True, monkeypatch)
    python, got_python = record_all(tmp_path / "python.jsonl.gz", sequence, False, monkeypatch)
    a = gzip.decompress((tmp_path / "native.jsonl.gz").read_bytes()).splitlines()
    b = gzip.decompress((tmp_path / "python.jsonl.gz").read_bytes()).splitlines()
    assert len(a) == 2 + 2 * len(sequence)  # header, entries, trailer
    assert a == b
    # every call reached the strategy with its own arguments, and its result came back
    assert len(native.calls) == len(python.calls) == 2 * len(sequence)
    for got, (name, args, kwargs, _how) in zip(native.calls, sequence * 2):
        assert got[0] == name and got[1] is args[0]
    assert got_native == got_python
    assert got_native.count("snapshot seen") == 2 * sum(1 for c in sequence if c[0] == "on_snapshot")
    entries = list(SessionReader(tmp_path / "native.jsonl.gz").entries(on_error=lambda p: None))
    assert [e.name for e in entries] == [c[0] for c in sequence] * 2


def handed_natively(item) -> bool:
    """Whether the native capture handed the entry over: its line made at the capture (bytes),
    or its arguments copied into a tuple; the Python capture hands over a list."""
    return type(item) is bytes or type(item[2]) is tuple


def held_writer(rec):
    """Holds the writer thread inside its first write (a line encoded in Python or a batch
    encoded natively), before it takes more from the queue; returns the release."""
    release = threading.Event()
    entered = threading.Event()

    def stalled(write):
        def slow(line):
            entered.set()
            release.wait(30)
            write(line)
        return slow
    for name in ("write_line", "write_lines"):
        setattr(rec._writer, name, stalled(getattr(rec._writer, name)))
    return entered, release


@pytest.mark.parametrize("index", range(len(calls())), ids=lambda i: "-".join(
    (calls()[i][0], type(calls()[i][1][0]).__name__, calls()[i][3])))
def test_which_capture_takes_each_call(tmp_path, index):
    name, args, kwargs, how = calls()[index]
    tidesim.install()
    rec = new_recorder(tmp_path / "which.jsonl.gz", max_pending=1000)
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    entered, release = held_writer(rec)
    strategy.on_bar(0)  # the writer is held inside this one
    assert entered.wait(10)
    getattr(strategy, name)(*args, **kwargs)  # teaches the capture its argument types
    getattr(strategy, name)(*args, **kwargs)
    item = rec._queue[-1]
    release.set()
    rec.close()
    assert recorder_module._entry_name(item) == name
    assert handed_natively(item) is (how == "native")
    assert list(SessionReader(tmp_path / "which.jsonl.gz").entries(on_error=lambda p: None))[-1].name == name


def test_a_record_changed_after_its_callback_is_recorded_as_it_was(tmp_path):
    tidesim.install()
    rec = new_recorder(tmp_path / "changed.jsonl.gz")
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    entered, release = held_writer(rec)
    strategy.on_bar(0)
    assert entered.wait(10)
    records = [snap(seq=i) for i in range(3)]
    positions = [snap(seq=10), snap(seq=11)]
    for r in records:
        strategy.on_snapshot(r)
        r.seq = -1  # the SDK reuses its record
        r.extra = "added later"
    strategy.on_query_position(positions, 1, 0, "")
    positions[0].seq = -1
    positions.append(snap(seq=12))
    release.set()
    rec.close()
    entries = list(SessionReader(tmp_path / "changed.jsonl.gz"))
    assert [e.args[0].seq for e in entries[1:4]] == [0, 1, 2]
    assert not any(hasattr(e.args[0], "extra") for e in entries[1:4])
    assert [p.seq for p in entries[4].args[0]] == [10, 11]


def test_unbound_calls_failures_and_closing(tmp_path):
    tidesim.install()
    rec = new_recorder(tmp_path / "edges.jsonl.gz")
    cls = recording_strategy(Base, rec)
    strategy = cls()
    strategy.initialize()
    assert cls.on_snapshot(strategy, snap(seq=1)) == "snapshot seen"  # through the class
    with pytest.raises(TypeError):
        cls.on_snapshot()  # no instance: the interpreter's own error
    with pytest.raises(TypeError):
        strategy.on_snapshot()  # the base's signature decides
    strategy.on_snapshot(snap(seq=2))
    rec.close()
    strategy.on_snapshot(snap(seq=3))  # after closing: delivered, not recorded
    assert [c[1].seq for c in strategy.calls if hasattr(c[1], "seq")] == [1, 2, 3]
    got = [e.args[0].seq for e in SessionReader(tmp_path / "edges.jsonl.gz").entries(
        on_error=lambda p: None) if e.args and hasattr(e.args[0], "seq")]
    assert got == [1, 2]


def test_a_callback_that_raises_is_recorded_before_it_raises(tmp_path):
    class Raising(Base):
        def on_snapshot(self, snapshot):
            raise ValueError("the strategy failed")

    tidesim.install()
    rec = new_recorder(tmp_path / "raises.jsonl.gz")
    strategy = recording_strategy(Raising, rec)()
    strategy.initialize()
    for i in range(3):
        with pytest.raises(ValueError):
            strategy.on_snapshot(snap(seq=i))
    rec.close()
    assert [e.args[0].seq for e in SessionReader(tmp_path / "raises.jsonl.gz")] == [0, 1, 2]


def test_order_reports_write_each_new_order_once(tmp_path, monkeypatch):
    """The native capture takes an order report itself only while the bridge's orders are all
    known; a new order (also one under a key seen before) goes through the Python capture,
    which writes it first."""
    tidesim.install()
    bridge = types.ModuleType(recorder_module.BRIDGE_MODULE)
    bridge.orders_dict = {}
    monkeypatch.setitem(sys.modules, recorder_module.BRIDGE_MODULE, bridge)
    rec = new_recorder(tmp_path / "orders.jsonl.gz")
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    report = make_record("OrderReport", {"client_order_id": 1})
    bridge.orders_dict[1] = make_record("Order", {"n": 1})
    for _ in range(3):
        strategy.on_order(report)
    strategy.on_snapshot(snap())
    bridge.orders_dict[1] = make_record("Order", {"n": 2})  # a new order under a known key
    strategy.on_order(report)
    strategy.on_order(make_record("OrderReport", {"client_order_id": 99}))  # not the bridge's
    bridge.orders_dict[2] = make_record("Order", {"n": 3})
    strategy.on_snapshot(snap())  # a new order seen before a market-data callback
    strategy.on_snapshot(snap())
    rec.close()
    got = [(e.kind, e.name, e.args[1].n if e.kind == "act" else None)
           for e in SessionReader(tmp_path / "orders.jsonl.gz")]
    assert got == [("act", "place_order", 1)] + [("cb", "on_order", None)] * 3 + [
        ("cb", "on_snapshot", None), ("act", "place_order", 2), ("cb", "on_order", None),
        ("cb", "on_order", None), ("act", "place_order", 3), ("cb", "on_snapshot", None),
        ("cb", "on_snapshot", None)]


def test_wall_clock_times_of_the_native_capture(tmp_path):
    """Each callback's wall-clock time, on a line made at the capture and on a copy the writer
    encodes (every other record holds a Decimal, which the line at the capture leaves to it)."""
    import decimal

    tidesim.install()
    rec = SessionRecorder(tmp_path / "wall.jsonl", universe=[], instruments={})
    strategy = recording_strategy(Base, rec)()
    before = dt.datetime.now()
    strategy.initialize()
    for i in range(50):
        strategy.on_snapshot(snap(seq=i) if i % 2 else snap(seq=i, fee=decimal.Decimal("0.5")))
    rec.close()
    after = dt.datetime.now()
    times = [e.time for e in SessionReader(tmp_path / "wall.jsonl")]
    assert len(times) == 50 and times == sorted(times)
    assert before <= times[0] and times[-1] <= after


# ---------------------------------------------------------------------------------------------
# References

N_CALLS = 400


def _paths():
    pos = types.SimpleNamespace(security_id="000002", qty=100, prices=[1.0, 2.0])
    return {
        "record": ("on_snapshot", lambda: (snap(),), {}),
        "list-of-records": ("on_query_position", lambda: ([pos, pos, 3], 8, 0, "ok"), {}),
        "keywords": ("on_query_asset", lambda: (pos,), {"request_id": 1, "code": 0, "msg": "x"}),
        "dict-argument": ("on_snapshot", lambda: ({"a": [1, 2]},), {}),
        "slotted": ("on_snapshot", lambda: (Slotted("000003", 1.5),), {}),
        "failing-capture": ("on_snapshot", lambda: (Flaky(True),), {}),
        "failing-strategy": ("on_bar", lambda: (snap(),), {}),
    }


class RaisingBar(Base):
    def on_bar(self, bar):
        raise KeyError("bar")


@pytest.mark.parametrize("full", [False, True], ids=["kept", "dropped"])
@pytest.mark.parametrize("path", list(_paths()))
def test_the_capture_keeps_no_reference_behind(tmp_path, path, full):
    """After many calls, once the writer has written (or the hand-off dropped) them, the
    reference counts of the arguments, their values, the strategy and the recorder are where
    they were, and no object is left behind."""
    name, make_args, kwargs = _paths()[path]
    tidesim.install()
    rec = new_recorder(tmp_path / "refs.jsonl.gz", max_pending=1 if full else 100_000)
    strategy = recording_strategy(RaisingBar, rec)()
    strategy.initialize()
    if full:
        entered, release = held_writer(rec)
        strategy.on_snapshot(None)  # the writer is held inside this one
        assert entered.wait(10)
        strategy.on_snapshot(None)  # fills the hand-off: everything after is dropped
    strategy.on_snapshot(Flaky(False))  # the capture of Flaky learned: its failure is native
    args = make_args()
    method = getattr(strategy, name)
    watched = [strategy, rec, method, *args, *kwargs.values()]
    for a in args:
        watched += list(getattr(a, "__dict__", {}).values())
        if type(a) is list:
            watched += [x for x in a if hasattr(x, "__dict__")]
    # numbers and texts are shared with the rest of the interpreter, whose counts move anyway
    watched = [o for o in watched if type(o) not in (int, float, str, bool, type(None))]

    def run(n):
        for _ in range(n):
            try:
                method(*args, **kwargs)
            except (RuntimeError, KeyError):
                pass
        strategy.calls.clear()

    run(20)
    if not full:
        rec.flush()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    objects = len(gc.get_objects())
    run(N_CALLS)
    if not full:
        rec.flush()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert len(gc.get_objects()) - objects < 50
    assert sys.getallocatedblocks() - blocks < N_CALLS // 4
    if full:
        assert sum(rec.dropped.values()) >= (0 if path == "failing-capture" else N_CALLS)
        release.set()
    rec.close()


@pytest.mark.parametrize("line_at_capture", [True, False], ids=["line", "copies"])
def test_what_the_native_capture_queues_is_left_out_of_collections(tmp_path, line_at_capture):
    """The tuples and copies waiting in the queue can be in no reference cycle: the collector
    does not walk them (were they tracked, every collection triggered on the SDK's threads
    would walk all of them), and the writer still writes them whole. Where the line is made
    at the capture, the queue holds just its bytes."""
    tidesim.install()
    rec = new_recorder(tmp_path / "gc.jsonl.gz")
    if not line_at_capture:
        rec._lines = None  # no native encoder: the capture copies, the writer encodes
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    entered, release = held_writer(rec)
    strategy.on_bar(0)
    assert entered.wait(10)
    positions = [snap(seq=1), snap(seq=2)]
    for _ in range(2):
        strategy.on_snapshot(snap(seq=0))
        strategy.on_query_position(positions, 1, 0, "")
    snapshot_item, position_item = list(rec._queue)[-2:]
    if line_at_capture:
        assert type(snapshot_item) is bytes and type(position_item) is bytes
        assert b'"seq":2' in recorder_module._finish_line(position_item)
    else:
        for item in (snapshot_item, position_item):
            assert type(item[2]) is tuple
            assert not gc.is_tracked(item) and not gc.is_tracked(item[2])
        assert not gc.is_tracked(snapshot_item[2][0])  # the copy holds a list, and is untracked
        assert not gc.is_tracked(position_item[2][0])
        assert not any(gc.is_tracked(d) for d in position_item[2][0])
    gc.collect()
    release.set()
    rec.close()
    entries = list(SessionReader(tmp_path / "gc.jsonl.gz"))
    assert entries[-2].args[0].bid_price == [10.4, 10.3]
    assert [p.seq for p in entries[-1].args[0]] == [1, 2]


@pytest.mark.parametrize("native", [True, False], ids=["native", "python"])
@pytest.mark.parametrize("keyword", [False, True], ids=["positional", "keyword"])
def test_a_record_that_cannot_be_read_still_reaches_the_strategy(tmp_path, monkeypatch, native,
                                                               keyword):
    """Reading a record's field raises on the SDK's thread: the strategy receives the callback
    all the same, the argument is written as not recorded and counted (the trailer's count is
    reported by a reader and a replay), and the other callbacks are recorded as usual."""
    from tidesim.replay.runner import Replay
    tidesim.install()
    if not native:
        monkeypatch.setattr(recorder_module, "_native", None)
    path = tmp_path / "unreadable.jsonl.gz"
    rec = new_recorder(path)
    strategy = recording_strategy(Base, rec)()
    monkeypatch.undo()
    strategy.initialize()
    strategy.on_snapshot(Flaky(False))  # teaches the capture the type
    bad = Flaky(True)
    if keyword:
        strategy.on_snapshot(snapshot=bad)
    else:
        strategy.on_snapshot(bad)
    strategy.on_snapshot(Flaky(False))
    rec.close()
    assert [c[1] for c in strategy.calls][1] is bad
    assert rec.errors == 1
    raw = gzip.decompress(path.read_bytes()).decode().splitlines()
    assert '"$unrecorded":"RuntimeError: the SDK could not read the price"' in raw[2]
    problems = []
    kept = list(SessionReader(path).entries(on_error=problems.append))
    assert [vars(e.args[0]) for e in kept] == [{"price": 1.5, "fail": False}] * 2
    assert problems[-1].line == 5 and "1 value(s) could not be recorded" in problems[-1].message
    assert [p.line for p in problems] == [3, 5]  # the entry itself is refused too
    res = Replay(str(path), keep_going=True, report=None).run()
    assert res.problem_counts["input"] >= 1


# --- what each capture reads: vars() of a record, and each record once per call ---------------

class Fields:
    """A record with an ordinary instance dict."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


class FieldsChild(Fields):
    pass


class DictSlot:
    __slots__ = ("__dict__", "seq")

    def __init__(self):
        self.seq = 1
        self.shown = 2


class ShownByProperty:
    def __init__(self):
        self.real = 1

    @property
    def __dict__(self):  # vars() gives this, not the instance dict
        return {"shown": 1}


class ShownByPropertyChild(ShownByProperty):
    pass


class ShownByClassValue:
    __dict__ = {"shown": 1}

    def __init__(self):
        self.real = 1


class ShownByGetattribute:
    def __init__(self):
        self.real = 1

    def __getattribute__(self, name):
        if name == "__dict__":
            return {"shown": 1}
        return object.__getattribute__(self, name)


def queued(monkeypatch, native, name, make_args):
    """Two calls of the recording method `name`, each with fresh arguments (the first teaches
    the capture their types): the line the writer makes of the second, whether it was handed
    over in the native capture's form (a tuple), and the reads of counting records it made."""
    import io
    tidesim.install()
    recorder_module._captors.clear()
    if not native:
        monkeypatch.setattr(recorder_module, "_native", None)
    rec = new_recorder(io.BytesIO())
    strategy = recording_strategy(Base, rec)()
    monkeypatch.undo()
    rec._started = True  # without its writer: what is captured stays in the queue
    getattr(strategy, name)(*make_args())
    Counted._reads.clear()
    args = make_args()
    getattr(strategy, name)(*args)
    assert strategy.calls[-1][1:] == args  # the strategy received its own arguments
    item = rec._queue[-1]
    return rec._encode_item(item), handed_natively(item), len(Counted._reads)


@pytest.mark.parametrize("make, native", [
    (lambda: Fields(a=1, b=[2]), True),
    (lambda: FieldsChild(a=1), True),
    (lambda: types.SimpleNamespace(a=1), True),
    (DictSlot, True),
    (ShownByProperty, False),
    (ShownByPropertyChild, False),
    (ShownByClassValue, False),
    (ShownByGetattribute, False),
], ids=["dict", "subclass", "namespace", "dict-slot", "property", "property-inherited",
        "class-value", "getattribute"])
def test_a_record_is_captured_as_its_vars_give_it(monkeypatch, make, native):
    """A record type whose __dict__ attribute is not its instance dict is left to the Python
    capture, which copies what vars() gives; the others the native capture copies itself."""
    got, took, _ = queued(monkeypatch, True, "on_snapshot", lambda: (make(),))
    want, _, _ = queued(monkeypatch, False, "on_snapshot", lambda: (make(),))
    assert got == want
    assert took is native
    assert (b'"shown"' in got) is (not native or make is DictSlot)


def captured_twice(type_name: str):
    """A recorder without its writer (what is captured stays in its queue), a recording
    strategy, and a new record type that strategy has had one snapshot of twice: the first
    teaches the type's captor, the second is captured natively."""
    import io

    tidesim.install()
    recorder_module._captors.clear()
    rec = new_recorder(io.BytesIO())
    strategy = recording_strategy(Base, rec)()
    rec._started = True
    cls = type(type_name, (Fields,), {})
    for _ in range(2):
        strategy.on_snapshot(cls(real=1))
    return rec, strategy, cls


def test_a_record_type_that_changes_after_its_first_capture_is_decided_again(monkeypatch):
    """The native capture remembers per type whether vars() is the instance dict; a type given
    its own __getattribute__ after that is decided again, and captured as vars() then gives it."""

    def shown(self, name):
        return {"shown": 1} if name == "__dict__" else object.__getattribute__(self, name)

    rec, strategy, cls = captured_twice("Changing")
    assert handed_natively(rec._queue[-1]) and b'"shown"' not in rec._encode_item(rec._queue[-1])
    cls.__getattribute__ = shown
    strategy.on_snapshot(cls(real=1))
    assert b'"shown"' in rec._encode_item(rec._queue[-1])


@pytest.mark.parametrize("change", ["captor replaced", "recorder closed"])
def test_what_the_capture_remembers_of_the_recorder_follows_its_changes(monkeypatch, change):
    """The native capture answers its look-ups of the recorder's flags and of the captors from
    what it found last while neither dict changed: a captor replaced, or the recorder's
    hooks stopped, after a call captured natively is what the very next call meets."""
    rec, strategy, cls = captured_twice("Remembered")
    assert handed_natively(rec._queue[-1]) and len(rec._queue) == 2
    if change == "captor replaced":
        recorder_module._captors[cls] = lambda o: ["replaced"]
        strategy.on_snapshot(cls(real=1))
        assert b'"replaced"' in rec._encode_item(rec._queue[-1]) and len(rec._queue) == 3
    else:
        rec._started = False
        rec.closed = True
        strategy.on_snapshot(cls(real=1))
        assert len(rec._queue) == 2


class Counted:
    """A record read through properties, each read counted; with `grow`, reading it appends
    a nested list to the list being captured; with `fail`, the read raises."""

    __slots__ = ("_target", "_grow", "_fail")
    _reads: list = []

    def __init__(self, target=None, grow=None, fail=False):
        self._target, self._grow, self._fail = target, grow, fail

    @property
    def price(self):
        Counted._reads.append(1)
        if self._fail:
            raise RuntimeError("unreadable")
        if self._target is not None:
            self._target.append(self._grow)
        return 1.5


def growing():
    out = [Fields(a=1)]
    out.append(Counted(out, [Fields(b=2)]))
    return (out, 1, 0, "")


@pytest.mark.parametrize("name, make_args, once, handed_as_tuple", [
    ("on_snapshot", lambda: (Counted(),), True, True),
    ("on_query_asset", lambda: (Counted(), [[1]], 0, ""), True, False),
    ("on_query_position", lambda: ([Counted(), Counted(), [Fields(a=1)]], 1, 0, ""), True, False),
    ("on_query_position", lambda: ([Counted(), {"a": 1}], 1, 0, ""), True, False),
    ("on_query_position", growing, True, True),
    ("on_query_asset", lambda: (Counted(), Counted(fail=True), 0, ""), False, False),
], ids=["record", "nested-list-argument", "nested-list-element", "dict-element",
        "list-grown-while-read", "read-raises"])
def test_each_record_is_read_as_often_as_the_python_capture_reads_it(monkeypatch, name,
                                                                      make_args, once,
                                                                      handed_as_tuple):
    """A call the native capture leaves to the Python capture is left before any record is
    read; a value that only turns up while reading is captured by the Python capture of that
    value; a read that raises makes the native capture mark the arguments as the Python
    capture does (handed over in its form). Either way the records are read as often as by the
    Python capture, and written alike."""
    got, as_tuple, got_reads = queued(monkeypatch, True, name, make_args)
    want, _, want_reads = queued(monkeypatch, False, name, make_args)
    assert got == want
    assert got_reads == want_reads
    assert as_tuple is handed_as_tuple
    if once:
        assert got_reads == sum(type(a) is Counted for a in make_args()) + sum(
            type(x) is Counted for a in make_args() if type(a) is list for x in a)
    else:
        assert b"$unrecorded" in got

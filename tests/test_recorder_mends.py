"""The recorder under hostile records, failures and races: an interrupt raised while a record is
read reaches the caller; a record whose type cannot be hashed or whose fields cannot be copied
is written as not recorded and the strategy still receives the callback; a failed writer keeps
no captured entry alive; and every callback the recorder accepted is written or counted, when
the writer falls behind and when the recorder is closed while callbacks are being captured."""
from __future__ import annotations

import collections
import gc
import gzip
import threading
import time
import types
import weakref

import pytest

import tidesim
from tiderec import recorder as recorder_module
from tiderec.format import SessionReader
from tiderec.recorder import recording_strategy

from test_capture import Base, held_writer, new_recorder, snap

CAPTURES = ["native", "python"]


@pytest.fixture(params=CAPTURES)
def capture(request, monkeypatch):
    if request.param == "python":
        monkeypatch.setattr(recorder_module, "_native", None)
    elif recorder_module._native is None:
        pytest.skip("the native part is not built")
    return request.param


def started(path, **options):
    tidesim.install()
    rec = new_recorder(path, **options)
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    return rec, strategy


def written(path):
    return [e for e in SessionReader(path).entries(on_error=lambda p: None)]


# -- interrupts ---------------------------------------------------------------------------------

class _Fields2:
    __slots__ = ("price", "state")


class Interrupting(_Fields2):
    """A record whose price raises `raise_once` the first time it is read."""

    __slots__ = ()

    def __init__(self, raise_once=None):
        self.state = [raise_once]

    @property
    def price(self):
        exc, self.state[0] = self.state[0], None
        if exc is not None:
            raise exc
        return 1.5


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_while_a_record_is_read_reaches_the_caller(tmp_path, capture, interrupt):
    rec, strategy = started(tmp_path / "i.jsonl.gz")
    strategy.on_snapshot(Interrupting())  # teaches the capture the record's type
    with pytest.raises(interrupt):
        strategy.on_snapshot(Interrupting(interrupt()))
    strategy.on_snapshot(Interrupting())
    rec.close()
    assert [e.args[0].price for e in written(tmp_path / "i.jsonl.gz")] == [1.5, 1.5]


# -- hostile records ----------------------------------------------------------------------------

class UnhashableType(type):
    def __hash__(cls):
        raise ZeroDivisionError("no hash for this type")

    __eq__ = type.__eq__


class OfUnhashableType(metaclass=UnhashableType):
    def __init__(self):
        self.price = 1.5


class Key:
    """A field name that compares badly once `hostile` is set."""

    hostile = False

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if Key.hostile:
            raise ValueError("cannot compare")
        return self is other


def with_uncopyable_fields():
    r = types.SimpleNamespace()
    d = r.__dict__
    for i in range(10):
        d[f"f{i}"] = i
    d[Key()] = 1
    d[Key()] = 2  # the same hash: copying the dict compares the two keys
    for i in range(10):
        del d[f"f{i}"]  # sparse, so that a copy inserts key by key
    return r


@pytest.mark.parametrize("make", [OfUnhashableType, with_uncopyable_fields],
                         ids=["type hash raises", "fields copy raises"])
def test_a_record_that_cannot_be_captured_is_not_recorded_but_delivered(tmp_path, capture,
                                                                        make, monkeypatch):
    monkeypatch.setattr(Key, "hostile", False)
    rec, strategy = started(tmp_path / "h.jsonl.gz")
    records = [make(), make()]
    Key.hostile = True
    for r in records:  # the first teaches the capture the type, the second takes its path
        assert strategy.on_snapshot(r) == "snapshot seen"
    strategy.on_snapshot(snap(seq=1))
    rec.close()
    Key.hostile = False
    assert [c[1] for c in strategy.calls] == records + [strategy.calls[2][1]]
    assert rec.errors == 2
    lines = gzip.decompress((tmp_path / "h.jsonl.gz").read_bytes()).decode().splitlines()[1:-1]
    assert ['"$unrecorded"' in line for line in lines] == [True, True, False]
    assert [e.args[0].seq for e in written(tmp_path / "h.jsonl.gz")] == [1]


# -- a failed writer ----------------------------------------------------------------------------

class Holder:
    pass


def test_a_failed_writer_keeps_no_captured_entry_alive(tmp_path, capture):
    """A captured copy refers to what the record held; if the writer's failure kept the entry,
    a cycle through it (here: back to the recorder) could never be collected."""
    rec, strategy = started(tmp_path / "f.jsonl.gz", flush_interval=0.05)

    def full(*args):
        raise OSError(28, "No space left on device")
    rec._writer.write_line = rec._writer.write_lines = full
    held = Holder()
    held.recorder = rec
    strategy.on_snapshot(types.SimpleNamespace(security_id="1", held=held))
    rec._thread.join(10)
    assert isinstance(rec.writer_error, OSError)
    probe = weakref.ref(held)
    del held, rec, strategy
    gc.collect()
    assert probe() is None


def test_a_failed_writer_counts_what_it_had_not_written_by_name(tmp_path, capture):
    """What waits in the hand-off when the writer fails (lines made at the capture, copies of
    records the Python capture made, plain arguments) is counted under each callback's name,
    and so is the entry the writer was writing when it failed."""
    rec, strategy = started(tmp_path / "lost.jsonl.gz", flush_interval=0.05)
    entered, release = threading.Event(), threading.Event()

    def failing(*args):
        entered.set()
        release.wait(10)
        raise OSError(28, "No space left on device")
    rec._writer.write_line = rec._writer.write_lines = failing
    strategy.on_bar(0)  # the writer fails writing this one, once released
    assert entered.wait(10)
    for i in range(5):
        strategy.on_snapshot(snap(seq=i))
    for i in range(3):
        strategy.on_query_asset(types.SimpleNamespace(total=i), i, 0, "ok")
    release.set()
    rec._thread.join(10)
    assert isinstance(rec.writer_error, OSError)
    assert rec.dropped == {"on_bar": 1, "on_snapshot": 5, "on_query_asset": 3}
    assert rec.pending == 0


class FailingFile:
    """The session file, whose writes fail once `fails(number of the write)` says so."""

    def __init__(self, raw, fails):
        self.raw, self.fails, self.writes = raw, fails, 0

    def write(self, data):
        self.writes += 1
        if self.fails(self.writes):
            raise OSError(28, "No space left on device")
        return self.raw.write(data)

    def __getattr__(self, name):
        return getattr(self.raw, name)


@pytest.mark.parametrize("name, fail_at", [
    ("mid.jsonl", 1),          # the first block of the batch
    ("mid.jsonl", 3),          # a block in the middle of the batch, two written before it
    ("mid.jsonl", "close"),    # from the close on (the last block and the trailer)
    ("mid.tsb", 2),            # the binary encoding's blocks
    ("mid.tsb", "close"),
])
def test_a_writer_failing_in_the_middle_of_a_batch_counts_each_entry_once(tmp_path, capture,
                                                                          name, fail_at):
    """Entries whose block was not written are counted as dropped, under their callback's
    name, and not as written: written and dropped add up to the callbacks delivered. The
    close that meets the failure returns at once."""
    path = tmp_path / name
    rec, strategy = started(path, block_size=1024)
    entered, release = held_writer(rec)
    strategy.on_bar(types.SimpleNamespace(seq=-1))  # holds the writer in its first write
    assert entered.wait(10)
    fails = (lambda n: rec.closed) if fail_at == "close" else (lambda n: n >= fail_at)
    rec._writer._raw = FailingFile(rec._writer._raw, fails)
    delivered = [("on_bar", -1)]
    for i in range(60):
        if i % 3 == 2:
            strategy.on_query_asset(types.SimpleNamespace(seq=i, total=1e6 + i), i, 0, "ok")
            delivered.append(("on_query_asset", i))
        else:
            strategy.on_snapshot(snap(seq=i))
            delivered.append(("on_snapshot", i))
    release.set()
    closing = threading.Thread(target=rec.close, kwargs={"timeout": 30})
    closing.start()
    closing.join(10)
    assert not closing.is_alive()
    assert isinstance(rec.writer_error, OSError)
    kept = [(e.name, e.args[0].seq) for e in written(path)]
    assert kept == delivered[:len(kept)]  # whole blocks, in their order
    lost = collections.Counter(n for n, _ in delivered[len(kept):])
    assert rec.dropped == lost and sum(lost.values()) > 0
    assert rec.entries == len(kept)
    assert rec.pending == 0


# -- nothing lost uncounted ---------------------------------------------------------------------

def test_a_burst_against_a_slow_writer_is_written_or_counted(tmp_path, capture):
    path = tmp_path / "burst.jsonl.gz"
    rec, strategy = started(path, max_pending=50)
    for name in ("write_line", "write_lines"):
        write = getattr(rec._writer, name)
        setattr(rec._writer, name, lambda line, write=write: (time.sleep(0.001), write(line)))
    per_thread = 1500

    def worker(code):
        for i in range(per_thread):
            strategy.on_snapshot(snap(code=code, seq=i))
    threads = [threading.Thread(target=worker, args=(k,)) for k in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rec.close()
    entries = written(path)
    dropped = sum(rec.dropped.values())
    assert dropped > 0
    assert len(entries) + dropped == 2 * per_thread
    for code in (1, 2):  # each thread's callbacks in its order
        seqs = [e.args[0].seq for e in entries if e.args[0].code == code]
        assert seqs == sorted(seqs)


class _GateFields:
    __slots__ = ("price", "gate")


class Gated(_GateFields):
    """A record whose price can be read only once the gate opens."""

    __slots__ = ()

    def __init__(self, gate, entered):
        self.gate = (gate, entered)

    @property
    def price(self):
        gate, entered = self.gate
        entered.set()
        gate.wait(10)
        return 2.5


def test_a_callback_captured_across_the_close_is_written_or_counted(tmp_path, capture):
    path = tmp_path / "late.jsonl.gz"
    rec, strategy = started(path)
    opened, entered = threading.Event(), threading.Event()
    opened.set()
    strategy.on_snapshot(Gated(opened, threading.Event()))  # teaches the capture the type
    gate = threading.Event()
    late = threading.Thread(target=strategy.on_snapshot, args=(Gated(gate, entered),))
    late.start()
    assert entered.wait(10)  # the capture is reading the record
    rec.close()
    gate.set()
    late.join(10)
    assert len(written(path)) + sum(rec.dropped.values()) == 2
    assert rec.pending == 0


def test_closing_while_two_threads_record_loses_nothing_uncounted(tmp_path, capture):
    path = tmp_path / "race.jsonl.gz"
    rec, strategy = started(path)
    made = {1: 0, 2: 0}
    at_close = {}
    stop = threading.Event()

    def worker(code):
        i = 0
        while not stop.is_set() and i < 200_000:
            strategy.on_snapshot(snap(code=code, seq=i))
            i += 1
            made[code] = i

    threads = [threading.Thread(target=worker, args=(k,)) for k in (1, 2)]
    for t in threads:
        t.start()
    time.sleep(0.2)
    at_close.update(made)
    rec.close()
    time.sleep(0.05)
    stop.set()
    for t in threads:
        t.join()
    entries = written(path)
    dropped = sum(rec.dropped.values())
    for code in (1, 2):
        seqs = [e.args[0].seq for e in entries if e.args[0].code == code]
        assert seqs == list(range(len(seqs)))  # no gap: nothing lost in the middle
        assert len(seqs) + dropped >= at_close[code]  # everything made before the close


# -- waking the writer --------------------------------------------------------------------------

class CountingEvent(threading.Event):
    def __init__(self):
        super().__init__()
        self.sets = 0

    def set(self):
        self.sets += 1
        super().set()


def test_the_writer_is_woken_when_the_hand_off_fills(tmp_path, capture):
    tidesim.install()
    rec = new_recorder(tmp_path / "wake.jsonl.gz", flush_interval=1)
    rec._wake = CountingEvent()
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    entered, release = held_writer(rec)
    strategy.on_snapshot(snap(seq=-1))  # the writer, woken by its timeout, is held writing it
    assert entered.wait(10)
    before = rec._wake.sets
    for i in range(recorder_module.WAKE_AT - 1):
        strategy.on_snapshot(snap(seq=i))
    assert rec._wake.sets == before  # not yet full enough to wake the writer
    strategy.on_snapshot(snap(seq=recorder_module.WAKE_AT))
    assert rec._wake.sets == before + 1
    release.set()
    rec.close()
    assert len(written(tmp_path / "wake.jsonl.gz")) == recorder_module.WAKE_AT + 1


def test_while_callbacks_flow_the_writer_keeps_up_unwoken(tmp_path, capture):
    """A steady flow under the wake mark: once its first turn found entries, the writer looks
    again every POLL seconds, so nothing piles up until the flush interval and no callback pays
    for waking it."""
    tidesim.install()
    rec = new_recorder(tmp_path / "flow.jsonl.gz", flush_interval=1)
    rec._wake = CountingEvent()
    strategy = recording_strategy(Base, rec)()
    strategy.initialize()
    start = time.monotonic()
    n = 0
    while time.monotonic() - start < 0.9:  # the writer's first look comes at 0.5 s
        strategy.on_snapshot(snap(seq=n))
        n += 1
        time.sleep(0.002)
    pending = len(rec._queue)
    assert rec._wake.sets == 0
    assert pending < 50, pending  # some 200 would wait for the writer's next look at 1.0 s
    rec.close()
    assert len(written(tmp_path / "flow.jsonl.gz")) == n


# -- a block compressed and written in one call ---------------------------------------------------

@pytest.mark.skipif(getattr(recorder_module._native, "write_gzip", None) is None,
                    reason="built without zlib")
def test_a_natively_written_block_is_the_gzip_member_zlib_makes(tmp_path):
    import zlib
    write_gzip = recorder_module._native.write_gzip
    data = b"".join(b'{"t":"x","cb":"on_snapshot","args":[{"seq":%d}]}\n' % i for i in range(5000))
    path = tmp_path / "b.gz"
    with open(path, "wb") as f:
        write_gzip(f.fileno(), data, 3)
        write_gzip(f.fileno(), b"", 3)
    assert path.read_bytes() == zlib.compress(data, 3, 31) + zlib.compress(b"", 3, 31)
    assert gzip.decompress(path.read_bytes()) == data
    with pytest.raises(OSError):
        write_gzip(10**6, data, 3)  # not an open file
    with pytest.raises(ValueError):
        write_gzip(0, data, 12)
    with pytest.raises(TypeError):
        write_gzip(0, bytearray(data), 3)


@pytest.mark.parametrize("record", [
    {"\udca6k": 1, "b": 2},          # a field name with a lone surrogate
    {"a": "x\udca6", "b": 2.5},      # a value with one
])
def test_an_entry_is_written_alike_however_often_its_shape_was_met(tmp_path, record):
    """The writer's quick path (a callback's remembered shape) never raises where the careful
    path records what it cannot encode: an exception there would end the recording."""
    import tidesim
    tidesim.install()
    from tiderec.recorder import SessionRecorder
    rec = SessionRecorder(tmp_path / "out.jsonl", universe=[], instruments={})
    try:
        item = (1.7e9, "on_snapshot", (dict(record),), None)
        lines = {rec._encode_item(item) for _ in range(3)}
        assert len(lines) == 1 and b"$unrecorded" in lines.pop()
    finally:
        rec.close()

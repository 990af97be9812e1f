"""The common recorded entry encoded in C (tiderec._capture.LineEncoder) is byte for byte the
line the recorder's Python encoder writes for it, over whole days and fuzzed records; every
entry the native encoder declines is handed back, in its place, and the Python encoder writes
it, so the file is the same either way."""
from __future__ import annotations

import collections
import datetime as dt
import decimal
import math
import random
import struct

import pytest

import tidesim
from tiderec import recorder as recmod
from tiderec.format import Decoder, SessionReader
from tiderec.recorder import SessionRecorder, _capture, _Fields, _Unrecorded

tidesim.install()

from pyvorn.enums import MarketType, OrderStatusType  # noqa: E402
from orvane.tamsel import const  # noqa: E402

BUNDLED = "sim/tidesim/data/session.jsonl.gz"

pytestmark = pytest.mark.skipif(recmod._native is None, reason="the native part is not built")


@pytest.fixture
def rec(tmp_path):
    r = SessionRecorder(tmp_path / "out.jsonl", universe=[], instruments={})
    yield r
    r.close()


def handed_over(caps: list) -> tuple:
    """The Python capture's arguments in the form the native capture hands them over."""
    return tuple(dict(a) if type(a) is _Fields
                 else [dict(x) if type(x) is _Fields else x for x in a] if type(a) is list
                 else a for a in caps)


def both_forms(time, name, caps, kwargs=None):
    return [(time, name, caps, kwargs), (time, name, handed_over(caps), kwargs)]


def python_lines(rec, items) -> bytes:
    return b"".join(rec._encode_item(item) + b"\n" for item in items)


def drained_lines(rec, items, limit=7, max_bytes=1 << 16) -> tuple[bytes, int]:
    """What the writer's loop writes for `items`: the native batches, and each entry they hand
    back encoded in Python in its place. Returns the text and how many were native."""
    q = collections.deque(items)
    out = []
    native = 0
    while q:
        text, n, other = rec._lines.drain(q, limit, max_bytes)
        text = recmod._native.finish_lines(text)  # (the writer finishes its blocks so)
        assert text.count(b"\n") == n
        out.append(text)
        native += n
        if other is not None:
            out.append(rec._encode_item(other) + b"\n")
    return b"".join(out), native


def day_items(path, times):
    for e in SessionReader(path, Decoder()):
        caps = [_capture(a) for a in e.args]
        name = e.name if e.kind == "cb" else None
        if name is None:
            caps = [e.args[0], _capture(e.args[1])]
        yield from both_forms(times(e), name, caps)


@pytest.mark.parametrize("clock", ["datetime", "wall clock", "text"])
def test_the_bundled_day_is_encoded_natively_into_the_same_bytes(rec, clock):
    rnd = random.Random(5)
    times = {"datetime": lambda e: e.time,
             "wall clock": lambda e: e.time.timestamp() + rnd.random() / 1e3,
             "text": lambda e: e.time.isoformat()}[clock]
    items = list(day_items(BUNDLED, times))
    if clock != "datetime":
        items = items[::4]  # the whole day once is enough; the other clocks on a part of it
    text, native = drained_lines(rec, items, limit=1000)
    assert text == python_lines(rec, items)
    assert native >= 0.95 * len(items)  # acts and nothing else are left to Python


def test_a_generated_day_of_fifty_securities_is_encoded_into_the_same_bytes(rec, tmp_path):
    from tidesim.replay.generator import generate_session
    path = tmp_path / "fifty.jsonl.gz"
    generate_session(path, securities=50, seed=11, l2_rate=1.0, orders=60,
                     data_until=dt.time(9, 31, 30))
    items = list(day_items(path, lambda e: e.time))
    text, native = drained_lines(rec, items, limit=4096)
    assert text == python_lines(rec, items)
    assert native >= 0.95 * len(items)


# -- fuzzed records ------------------------------------------------------------------------------

class Slotted:
    __slots__ = ("a", "b")

    def __init__(self):
        self.a, self.b = 1, [2.5]


class Obj:
    def __init__(self):
        self.x = 1
        self._hidden = 2


def random_float(rnd: random.Random) -> float:
    kind = rnd.random()
    if kind < 0.5:
        return struct.unpack("d", struct.pack("Q", rnd.getrandbits(64)))[0]  # nan/inf included
    if kind < 0.8:
        return float(f"{rnd.randint(-99999, 99999)}e{rnd.randint(-25, 25)}")
    return rnd.choice([0.0, -0.0, 1e16, 1e-5, 9.999999999999999e15, 0.1, 5e-324, math.inf,
                       -math.inf, math.nan, 1.7976931348623157e308])


def random_text(rnd: random.Random) -> str:
    alphabet = ['a', 'Z', '"', '\\', '/', '\n', '\t', '\b', '\f', '\r', '\x00', '\x1f', '\x7f',
                'é', '\u2028', '中', '\U0001F600', ' ', 'null', '$enum', '_']
    if rnd.random() < 0.03:
        alphabet.append('\ud800')  # a lone surrogate: not encodable
    return "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 6)))


def random_value(rnd: random.Random, depth: int = 0):
    k = rnd.random()
    if k < 0.15:
        return random_float(rnd)
    if k < 0.28:
        return rnd.choice([0, 1, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, -2**63 - 1,
                           10**30, rnd.randint(-10**12, 10**12)])
    if k < 0.38:
        return random_text(rnd)
    if k < 0.45:
        return rnd.choice([None, True, False])
    if k < 0.55:
        return rnd.choice([MarketType.SSE, MarketType.SZSE, OrderStatusType.Filled,
                           rnd.choice(list(const.EVENT)) if hasattr(const, "EVENT") else None])
    if k < 0.7 and depth < 3:
        return [random_value(rnd, depth + 1) for _ in range(rnd.randint(0, 4))]
    if k < 0.74 and depth < 3:
        return [[random_float(rnd)] * rnd.randint(0, 2) for _ in range(rnd.randint(0, 3))]
    # the unusual: the Python encoder's alone
    return rnd.choice([dt.datetime(2026, 1, 5, 9, 30), dt.date(2026, 1, 5), decimal.Decimal("1.5"),
                       (1, 2), {"k": 1}, {1: 2}, {"$x": 1}, b"\x00", {1, 2}, Obj(), 1j,
                       True if depth else 3])


def random_fields(rnd: random.Random) -> dict:
    names = ["price", "volume", "_private", "$type", "naïve", 'q"uote', "", "a\nb", "last_px"]
    fields = {}
    for _ in range(rnd.randint(0, 7)):
        fields[rnd.choice(names) + rnd.choice(["", "2"])] = random_value(rnd)
    if rnd.random() < 0.05:
        fields[7] = "a non-str key"
    return fields


def random_argument(rnd: random.Random):
    k = rnd.random()
    if k < 0.6:
        return _Fields(random_fields(rnd))
    if k < 0.75:
        return [_Fields(random_fields(rnd)) if rnd.random() < 0.7 else random_value(rnd)
                for _ in range(rnd.randint(0, 3))]
    if k < 0.8:
        return _Unrecorded(ValueError("unreadable"))
    return random_value(rnd)


def random_time(rnd: random.Random):
    return rnd.choice([
        lambda: 1767576600 + rnd.random() * 30000,
        lambda: float(rnd.randint(1767576600, 1767606600)),
        lambda: 1767576600.9999996,
        lambda: dt.datetime(2026, 1, 5, 9, 30, 0, rnd.choice([0, 125000, 125001, 999999])),
        lambda: dt.datetime(1, 1, 1),
        lambda: dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc),
        lambda: "2026-01-05T09:30:00.000",
        lambda: -1.5,
    ])()


def fuzzed_items(seed: int, count: int) -> list:
    rnd = random.Random(seed)
    items = []
    for _ in range(count):
        name = rnd.choice(["on_snapshot", "on_tick_trade", "on_query_asset", "on_login", None])
        caps = [random_argument(rnd) for _ in range(rnd.choice([0, 1, 1, 1, 2, 4]))]
        if name is None:
            caps = ["K1", _Fields(random_fields(rnd))]
        kwargs = {"reason": random_value(rnd)} if rnd.random() < 0.05 else None
        items.extend(both_forms(random_time(rnd), name, caps, kwargs))
    return items


@pytest.mark.parametrize("seed", range(6))
def test_fuzzed_records_are_the_same_bytes_by_either_encoder(rec, seed):
    items = fuzzed_items(seed, 400)
    text, native = drained_lines(rec, items, limit=rnd_limit(seed))
    assert text == python_lines(rec, items)
    assert 0 < native < len(items)  # both encoders had their share


def rnd_limit(seed: int) -> int:
    return [1, 3, 64, 4096, 2, 17][seed]


@pytest.mark.parametrize("seed", range(3))
def test_each_fuzzed_entry_is_the_python_line_or_declined(rec, seed):
    """Entry by entry (no batch to hide a difference in): the native line is the Python line,
    or None."""
    for item in fuzzed_items(100 + seed, 300):
        native = rec._lines.encode(item)
        if native is not None:
            assert native == rec._encode_item(item), item


@pytest.mark.parametrize("value", [
    0.0, -0.0, 1.0, 1e16, 1e15, 1e-5, 1e-6, 2.5e-7, 123456789.125, 5e-324, 1.7976931348623157e308,
    math.nan, math.inf, -math.inf, 2**63, 2**64 - 1, -2**63, "tab\there", "\x00\x1f\x7f", "中文",
    True, None, [], [[]], [1, [2.5, [math.nan]]], MarketType.SSE], ids=repr)
def test_edge_values_are_the_same_bytes(rec, value):
    item = (1767576600.5, "on_snapshot", (({"v": value}),), None)
    assert rec._lines.encode(item) == rec._encode_item(item)


@pytest.mark.parametrize("special", ['"', "\\", "\n", "\x00", "\x1f", "\x7f", "\u00e9", "\u2028"],
                         ids=repr)
def test_a_character_to_escape_is_escaped_at_every_place_of_a_text(rec, special):
    """Texts are copied eight bytes at a time until a piece holds a character to escape: at any
    place of a text up to three pieces long, either encoder writes the same bytes."""
    for n in range(1, 26):
        for at in range(n):
            text = "".join(special if i == at else "abcdefghij"[i % 10] for i in range(n))
            item = (1767576600.5, "on_snapshot", ({"v": text},), None)
            assert rec._lines.encode(item) == rec._encode_item(item), (n, at)


def test_random_doubles_are_written_in_the_same_digits(rec):
    rnd = random.Random(3)
    values = [struct.unpack("d", struct.pack("Q", rnd.getrandbits(64)))[0] for _ in range(20000)]
    values += [float(f"{rnd.randint(1, 10**17)}e{rnd.randint(-30, 30)}") for _ in range(20000)]
    # prices and amounts: decimals of a few places, near the limits of the short form too
    values += [round(rnd.uniform(-1e11, 1e11) / 10**rnd.randint(0, 11), rnd.randint(0, 6))
               for _ in range(20000)]
    values += [rnd.randint(0, 10**6) / 10**p for p in range(8) for _ in range(500)]
    values += [99999999999.9999, 1e11, 99999999999.0, 0.0001, 0.00005, -0.0, 2**53 / 1e4]
    item = (1767576600.5, "on_snapshot", ({"v": values},), None)
    assert rec._lines.encode(item) == rec._encode_item(item)


DEEP: list = []
for _ in range(40):
    DEEP = [DEEP]


@pytest.mark.parametrize("item", [
    (1.5, None, ("K", {}), None),                       # an act
    (1.5, "on_snapshot", ({},), {"k": 1}),              # keyword arguments
    (1.5, "on_snapshot", ({1: 2},), None),              # a record with a key that is not a str
    (1.5, "on_snapshot", ({"d": dt.date(2026, 1, 5)},), None),
    (1.5, "on_snapshot", ({"big": 2**64},), None),
    (1.5, "on_snapshot", ({"s": "\ud800"},), None),
    (dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc), "on_snapshot", ({},), None),
    (-1.0, "on_snapshot", ({},), None),
    (1.5, "on_snapshot", [{"a": 1}], None),             # a dict argument of the Python capture
    (1.5, "on_snapshot", ({"deep": DEEP},), None),
    "not an entry", (1.5, "on_snapshot"),
], ids=repr)
def test_unusual_entries_are_declined(rec, item):
    assert rec._lines.encode(item) is None


def test_a_member_learned_from_python_code_that_mutates_the_entry_is_encoded_again(rec):
    """Learning a new value's text runs Python code; the entry is then begun again, so what
    that code changed is what is written."""
    fields = {"a": 1.5, "m": MarketType.SSE}
    ask = rec._member_text

    def mutating(v):
        fields["a"] = "changed"
        return ask(v)
    rec._lines = recmod._native.LineEncoder(_Fields, mutating, recmod._second_text)
    item = (1767576600.5, "on_snapshot", (fields,), None)
    line = rec._lines.encode(item)
    assert line == rec._encode_item(item) and b'"changed"' in line


def test_an_interrupt_while_learning_a_value_reaches_the_writer(rec):
    def interrupted(v):
        raise KeyboardInterrupt
    enc = recmod._native.LineEncoder(_Fields, interrupted, recmod._second_text)
    with pytest.raises(KeyboardInterrupt):
        enc.encode((1.5, "on_snapshot", ({"m": MarketType.SSE},), None))
    failing = recmod._native.LineEncoder(_Fields, lambda v: 1 / 0, recmod._second_text)
    assert failing.encode((1.5, "on_snapshot", ({"m": MarketType.SSE},), None)) is None


# -- lines made at the capture ---------------------------------------------------------------------

class Record:
    """A record as the SDK delivers one: its fields are its instance dict."""

    def __init__(self, fields: dict) -> None:
        self.__dict__.update(fields)


class Strategy:
    def __init__(self, config=None):
        self.received = 0

    def initialize(self, config=None):
        pass

    def on_snapshot(self, *args):
        self.received += 1

    def on_query_position(self, *args):
        self.received += 1


def random_call(rnd: random.Random) -> tuple:
    """A callback as delivered: records (objects), lists of records and values, plain values."""
    def argument():
        k = rnd.random()
        if k < 0.65:
            return Record(random_fields(rnd))
        if k < 0.8:
            return [Record(random_fields(rnd)) if rnd.random() < 0.7 else random_value(rnd)
                    for _ in range(rnd.randint(0, 3))]
        return random_value(rnd)
    name = rnd.choice(["on_snapshot", "on_query_position"])
    return name, tuple(argument() for _ in range(rnd.choice([0, 1, 1, 1, 2, 4])))


def queued_lines(monkeypatch, native: bool, calls: list, now) -> tuple[list, int]:
    """The lines of the callbacks as the recorder writes them, with the native capture (lines
    made at the capture where it can) or with the Python capture alone; and how many lines the
    native capture made itself."""
    import io
    recmod._captors.clear()
    if not native:
        monkeypatch.setattr(recmod, "_native", None)
    rec = SessionRecorder(io.BytesIO(), now=now, universe=[], instruments={})
    strategy = recmod.recording_strategy(Strategy, rec)()
    monkeypatch.undo()
    rec._started = True  # without its writer: what is captured stays in the queue
    for name, args in calls:
        getattr(strategy, name)(*args)
    assert strategy.received == len(calls)
    items = list(rec._queue)
    return [rec._encode_item(item) for item in items], sum(type(i) is bytes for i in items)


@pytest.mark.parametrize("clock", ["datetime", "wall clock"])
@pytest.mark.parametrize("seed", range(4))
def test_lines_made_at_the_capture_are_the_python_capture_lines(monkeypatch, seed, clock):
    """Records read where they are, at the capture, give the bytes the Python capture and
    encoder give for the same callbacks; whatever the native encoder leaves is copied and
    written as before."""
    now = {"datetime": lambda: dt.datetime(2026, 1, 5, 9, 30, 0, 125000),
           "wall clock": lambda: 1767576600.000125}[clock]
    rnd = random.Random(200 + seed)
    calls = [random_call(rnd) for _ in range(300)]
    got, made = queued_lines(monkeypatch, True, calls, now)
    want, none = queued_lines(monkeypatch, False, calls, now)
    assert got == want
    assert none == 0 and 0 < made < len(calls)  # both kinds of entry were met


def test_a_list_changed_in_place_after_its_callback_is_recorded_as_delivered():
    """The line is made while the callback runs: a price list the SDK refills afterwards (the
    record's copy would share it) is written with the prices the strategy received."""
    import io
    prices = [10.5, 10.4]
    snapshot = Record({"security_id": "000001", "bid_price": prices, "last_price": 10.5})
    rec = SessionRecorder(io.BytesIO(), now=lambda: dt.datetime(2026, 1, 5, 9, 30),
                          universe=[], instruments={})
    strategy = recmod.recording_strategy(Strategy, rec)()
    rec._started = True  # without its writer: what is captured stays in the queue
    strategy.on_snapshot(snapshot)  # teaches the capture the record's type
    strategy.on_snapshot(snapshot)
    prices[:] = [99.0, 98.0]
    line = rec._queue[-1]
    assert type(line) is bytes
    line = recmod._finish_line(line)  # its numbers written out, as the writer does
    assert b'"bid_price":[10.5,10.4]' in line and b"99.0" not in line


@pytest.mark.parametrize("value", [
    1.5, 1.05, 1.005, 1.0005, 1.25, 0.1, 0.01, 0.001, 0.0001, 0.00005, 12345.6789, -1.0005,
    99999999999.9999, 99999999999.99995, 1e10, 4294967296.5, 42949672.9601, 0.3, 2.675,
    4294967295, 4294967296, 2**64 - 1, -2**63, 99, 100, 9999, 10000,
    "a" * 1023 + '"' + "b" * 1500 + "\n", "\x01" * 1030 + "é", "中" * 700,
    # integers read from their digits: one and two 30-bit digits and past them, either sign
    0, -1, 2**30 - 1, 2**30, -(2**30), 2**60 - 1, 2**60, -(2**60) + 1, -(2**60), 2**63 - 1,
    True, False, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1e16, 1.7976931348623157e308,
    # a double whose 8 bytes hold newlines and the hole's own mark byte
    struct.unpack("<d", b"\n\x01\n\x01\n\x01\xf0\x3f")[0],
], ids=lambda v: repr(v)[:40])
def test_numbers_and_long_texts_are_the_python_bytes_by_either_path(monkeypatch, value):
    """At the edges of the quick forms (the four decimal places and their trailing zeros, the
    32-bit and 64-bit digits, a text escaped a kilobyte at a time): the line encoded from a
    copy, and the line made at the capture, are both the Python encoder's."""
    item = (1767576600.5, "on_snapshot", ({"v": value, "in_list": [value, value]},), None)
    rec = SessionRecorder(__import__("io").BytesIO(), universe=[], instruments={})
    assert rec._lines.encode(item) == rec._encode_item(item)
    calls = [("on_snapshot", (Record({"v": value, "in_list": [value, value]}),))] * 2
    now = lambda: dt.datetime(2026, 1, 5, 9, 30)  # noqa: E731
    got, made = queued_lines(monkeypatch, True, calls, now)
    want, _ = queued_lines(monkeypatch, False, calls, now)
    assert got == want and made == 1


@pytest.mark.parametrize("data", [
    b"",
    b'{"t":"x","cb":"on_bar"}\n',            # finished text: the same object back
    b"\x01",                                 # a mark with nothing after it
    b'{"a":\x01d\x00\x00}',                  # a hole cut short
    b"\x01x" + b"\x00" * 8 + b"}",            # a mark of no kind known
    b"\x01d" + struct.pack("<d", 2.5) + b"\x01",
], ids=repr)
def test_finishing_text_that_holds_no_whole_hole_copies_it(data):
    """Text that was never made with holes (or is cut short) is copied as it is, a hole whole
    to its last byte written out, and nothing read beyond the text."""
    got = recmod._native.finish_lines(data)
    if b"\x01" not in data:
        assert got is data
    elif data.startswith(b"\x01d"):
        assert got == b"2.5\x01"
    else:
        assert got == data


def test_finishing_a_block_is_finishing_its_lines_one_by_one(monkeypatch):
    """A block big enough to be finished with the lock released gives the text of its lines
    finished one at a time."""
    rnd = random.Random(7)
    calls = [random_call(rnd) for _ in range(400)]
    import io
    recmod._captors.clear()
    rec = SessionRecorder(io.BytesIO(), now=lambda: dt.datetime(2026, 1, 5, 9, 30),
                          universe=[], instruments={})
    strategy = recmod.recording_strategy(Strategy, rec)()
    rec._started = True  # without its writer: what is captured stays in the queue
    for name, args in calls:
        getattr(strategy, name)(*args)
    lines = [item for item in rec._queue if type(item) is bytes]
    lines *= 4
    block = b"\n".join(lines)
    assert len(block) > 1 << 15 and b"\x01" in block
    assert recmod._native.finish_lines(block) == b"\n".join(recmod._native.finish_lines(x) for x in lines)


@pytest.mark.parametrize("name, level", [
    ("plain.jsonl", 3),       # written as it is
    ("fast.jsonl.gz", 3),     # compressed by ISA-L where installed, else zlib
    ("zlib.jsonl.gz", 6),     # compressed and written natively, in one release of the lock
], ids=lambda v: str(v))
def test_each_kind_of_file_holds_the_python_capture_bytes(tmp_path, monkeypatch, name, level):
    """The numbers the capture left as holes are written out by whichever way the writer
    writes its blocks: the file is the Python capture's, byte for byte."""
    import gzip
    rnd = random.Random(11)
    calls = [random_call(rnd) for _ in range(300)]
    files = []
    for native in (True, False):
        recmod._captors.clear()
        if not native:
            monkeypatch.setattr(recmod, "_native", None)
        path = tmp_path / f"{native}-{name}"
        rec = SessionRecorder(path, now=lambda: dt.datetime(2026, 1, 5, 9, 30), universe=[],
                              instruments={}, compress_level=level, block_size=4096)
        strategy = recmod.recording_strategy(Strategy, rec)()
        monkeypatch.undo()
        rec._started = True  # the header is left out: it holds the time the file was made
        rec._thread = __import__("threading").Thread(target=rec._run, daemon=True)
        rec._thread.start()
        for call_name, args in calls:
            getattr(strategy, call_name)(*args)
        rec.close()
        data = path.read_bytes()
        files.append(gzip.decompress(data) if name.endswith(".gz") else data)
    assert b"\x01" not in files[0]
    assert files[0] == files[1] and files[0].count(b"\n") == len(calls) + 1  # and the trailer


def _namespace_with(make) -> object:
    import types
    r = types.SimpleNamespace()
    make(r.__dict__)
    return r


def _many(d):
    d.update({f"f{i}": i * 1.25 for i in range(400)})


def _deleted_and_set_again(d):
    d.update({f"f{i}": i for i in range(24)})
    for i in range(0, 24, 3):
        del d[f"f{i}"]
    for i in range(0, 24, 6):
        d[f"f{i}"] = -i


def _emptied_then_one(d):
    d.update({f"f{i}": i for i in range(10)})
    d.clear()
    d["last_price"] = 10.5


def _emptied_by_deleting(d):
    d.update({f"f{i}": i for i in range(10)})
    for i in range(10):
        del d[f"f{i}"]
    d["bid_price"] = [10.4, 10.3]


def _key_of_another_type(d):
    d.update({"security_id": "000001", 7: "seven", "last_price": 10.5})


def _private_and_public(d):
    d.update({"_seen": 1, "security_id": "000001", "_cache": [1], "volume": 2**40})


@pytest.mark.parametrize("make", [_many, _deleted_and_set_again, _emptied_then_one,
                                  _emptied_by_deleting, _key_of_another_type,
                                  _private_and_public], ids=lambda f: f.__name__.strip("_"))
def test_records_fields_are_read_alike_from_every_form_of_dict(monkeypatch, make):
    """However a record's dict came to be (grown, fields deleted and set again, emptied, a key
    that is no text), the line made at the capture is the Python capture's."""
    calls = [("on_snapshot", (_namespace_with(make),))] * 3
    now = lambda: dt.datetime(2026, 1, 5, 9, 30)  # noqa: E731
    got, made = queued_lines(monkeypatch, True, calls, now)
    want, _ = queued_lines(monkeypatch, False, calls, now)
    assert got == want


@pytest.mark.skipif(__import__("sys").version_info[:2] != (3, 11),
                    reason="the entry table is read directly on 3.11 only")
def test_the_dict_layout_check_agrees_on_this_interpreter():
    """The check made when the module loads found the dict layout it reads (else every record
    would be walked by PyDict_Next: correct, slower)."""
    assert recmod._native.reads_dict_entries() is True


@pytest.mark.parametrize("waiting", [0, recmod.HOLES_BELOW - 1, recmod.HOLES_BELOW, 10_000])
def test_a_capture_behind_a_writer_writes_its_numbers_itself(monkeypatch, waiting):
    """With the writer behind (the hand-off holding HOLES_BELOW callbacks or more) the capture
    writes the numbers' text into its line itself; else it leaves them as holes. Either line
    is the Python capture's once finished."""
    import io
    recmod._captors.clear()
    rec = SessionRecorder(io.BytesIO(), now=lambda: dt.datetime(2026, 1, 5, 9, 30),
                          universe=[], instruments={})
    strategy = recmod.recording_strategy(Strategy, rec)()
    rec._started = True  # without its writer: what is captured stays in the queue
    record = Record({"security_id": "000001", "last_price": 10.5, "bid_volume": [100, 2**40],
                     "bid_price": [10.4, math.nan], "seq": -7})
    strategy.on_snapshot(record)  # teaches the capture the record's type
    rec._queue.clear()
    rec._queue.extend([b"{}"] * waiting)
    strategy.on_snapshot(record)
    line = rec._queue[-1]
    assert type(line) is bytes
    assert (b"\x01" in line) is (waiting < recmod.HOLES_BELOW)
    want, _ = queued_lines(monkeypatch, False, [("on_snapshot", (record,))], rec._now)
    assert recmod._finish_line(line) == want[0]

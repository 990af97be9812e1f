"""The common session line decoded in C (tiderec._lines) gives exactly what the Python decoding
gives: the same entry, the same record with its fields in the same order and of the same types,
or the same bad-line message. Lines the native decoder does not take go to the Python decoding
untouched; the reader hands it a few lines of a block at a time and keeps line numbers, blank
lines, bad lines and cut-off files as they were."""
from __future__ import annotations

import datetime as dt
import gc
import json
import random
import sys
import weakref

import pytest

import tidesim
import tiderec.decoding as decoding
from tiderec.decoding import Decoder, SessionReader, _Trailer
from tiderec.schema import SessionFormatError, SessionHeader, _Bad

tidesim.install()

T = '"t":"2026-01-05T09:30:00.125"'
SNAP = ('{"security_id":"600001","market_type":{"$enum":"MarketType.SSE"},'
        '"orig_time":20260105093000125,"last_price":42.66,"ask_price":[42.67,42.68],'
        '"ask_volume":[1100,3800],"iopv":0.0,"trading_phase_code":"T0"}')
LEARN = f'{{{T},"cb":"on_snapshot","args":[{SNAP}]}}'


def outcome(decode, line: int, raw: bytes):
    """What a decoding makes of a line, compared value by value (repr tells 1 from 1.0 and
    -0.0 from 0.0) and field by field, in order."""
    try:
        e = decode(line, raw)
    except _Bad as exc:
        return ("bad", str(exc))
    except _Trailer:
        return ("trailer",)
    args = [(type(a).__name__, repr(list(vars(a).items()))) if hasattr(a, "__dict__") else repr(a)
            for a in e.args]
    return (e.line, e.time, e.kind, e.name, args, repr(e.kwargs))


def learned() -> Decoder:
    d = Decoder()
    d.entry(1, LEARN.encode())  # the Python decoding learns the callback's line
    return d


def line_with(**fields) -> bytes:
    rec = json.loads(SNAP)
    rec.update(fields)
    return json.dumps({"t": "2026-01-05T09:30:00.125", "cb": "on_snapshot", "args": [rec]},
                      separators=(",", ":")).encode()


def test_the_build_has_the_native_decoder():
    assert decoding._LineDecoder is not None
    d = learned()
    assert type(d.entry).__name__ == "LineDecoder"
    d.entry(2, LEARN.encode())
    assert d.entry.served == 1


SNAP_RAW = SNAP[:-1]  # the record without its closing brace, to add fields to
MANY = "{" + ",".join(f'"f{i}":{i}' for i in range(129)) + "}"  # more fields than are taken
ROWS = [
    # (the line, whether the native decoder takes it)
    (LEARN, True),
    (f'{{ {T} , "cb" : "on_snapshot" , "args" : [ {SNAP} ] }}\r', True),
    (f'{{"args":[{SNAP}],"cb":"on_snapshot",{T}}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{{}}]}}', True),
    (f'{{"t":"2026-01-05T09:30:00","cb":"on_snapshot","args":[{SNAP}]}}', True),
    (f'{{"t":"2026-01-05T09:30:00.123456","cb":"on_snapshot","args":[{SNAP}]}}', True),
    (f'{{{T},"cb":"on_tick_trade","args":[{SNAP}]}}', False),  # not learned yet
    (f'{{"t":"2026-01-05 09:30:00","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{"t":"2026-01-05T09:30:00+08:00","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{"t":"2026-02-30T09:30:00","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{"t":"2026-01-05T24:00:00","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{"t":"2026-01-05T09:30:00.12","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{"t":20260105,"cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP}],"kw":{{}}}}', False),
    (f'{{{T},"cb":"on_snapshot","act":"place_order","args":[{SNAP}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP},1]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[]}}', False),
    (f'{{{T},"cb":"on_snapshot","cb":"on_snapshot","args":[{SNAP}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP}]}} x', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP}]', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"$type":"Bar"}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{{"$enum":"MarketType.SSE"}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"$const":"SIDE.BUY"}}}}]}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"$enum":"MarketType.NOPE"}}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"$enum":5}}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"$enum":"MarketType.SSE","y":1}}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"$decimal":"1.5"}}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{{"a":1}}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":[[1]]}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":{list(range(65))}}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":"a\\"b"}}]}}', False),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":"caf\u00e9 \u4e2d"}}]}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"\u00e9":1}}]}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"x":null,"y":true,"z":false}}]}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{SNAP_RAW},"last_price":1}}]}}', True),  # given twice
    (f'{{{T},"cb":"on_snapshot","args":[{{"iopv":0.0,"security_id":"600001"}}]}}', True),
    (f'{{{T},"cb":"on_snapshot","args":[{MANY}]}}', False),
    ("", False),
    ("[]", False),
    ('{"trailer":{"dropped":{}}}', False),
]


@pytest.mark.parametrize("text, native", ROWS, ids=range(len(ROWS)))
def test_each_line_decodes_as_the_python_decoding_does(text, native):
    raw = text.encode()
    d = learned()
    before = d.entry.served
    assert outcome(d.entry, 7, raw) == outcome(Decoder()._entry, 7, raw)
    assert d.entry.served - before == native


# texts of numbers: the fast exact path, the general parse, and what JSON does not allow
NUMBERS = ["0", "-0", "-0.0", "0.0", "7", "-7", "42.66", "0.000001", "99999999999999.9",
           "999999999999999.9", "123456789012345678", "-123456789012345678",
           "1234567890123456789", "12345678901234567890123", "9007199254740993.0",
           "0.30000000000000004", "1e5", "1E-5", "-2.5e+3", "1.7976931348623157e308",
           "2.2250738585072014e-308", "5e-324", "1e400", "-1e400", "01", "1.", ".5", "-",
           "+1", "1e", "0x10", "1.5.5", "1_000", "Infinity", "NaN", "20260105093000125",
           "123.456e-2", "1" * 40]


@pytest.mark.parametrize("number", NUMBERS)
@pytest.mark.parametrize("where", ["field", "list", "list-end"])
def test_numbers_are_those_of_the_python_decoding(number, where):
    body = {"field": f'"x":{number},"y":1', "list": f'"x":[{number},1]',
            "list-end": f'"x":[1,{number}]'}[where]
    raw = f'{{{T},"cb":"on_snapshot","args":[{{{body}}}]}}'.encode()
    d = learned()
    for _ in range(2):  # the second time from the native decoder's table of numbers
        assert outcome(d.entry, 3, raw) == outcome(Decoder()._entry, 3, raw)


def test_mutated_lines_decode_as_the_python_decoding_does():
    """Thousands of lines made from the common one by random edits (bytes dropped, doubled or
    changed, white space, numbers and texts swapped in) decode alike, whether the native
    decoder takes them or not."""
    rng = random.Random(20261209)
    pieces = [b" ", b"\t", b",", b":", b"{", b"}", b"[", b"]", b'"', b"\\", b"$", b"-", b".",
              b"e", b"0", b"9", b"\xc3\xa9", b"\xff", b"\n", b"\x00", b"null", b"1e999"]
    base = [LEARN.encode(), line_with(x=[1, 2.5, "a", None, True]), line_with(trading_phase_code="")]
    d = learned()
    served = d.entry.served
    for i in range(3000):
        raw = bytearray(rng.choice(base))
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(raw))
            op = rng.randrange(4)
            if op == 0:
                del raw[at]
            elif op == 1:
                raw[at:at] = rng.choice(pieces)
            elif op == 2:
                raw[at] = rng.randrange(32, 127)
            else:
                raw[at:at] = raw[at:at + rng.randint(1, 8)]
        raw = bytes(raw)
        assert outcome(d.entry, i, raw) == outcome(Decoder()._entry, i, raw), raw
    assert d.entry.served > served  # some edits leave a line the native decoder takes


def session_text(lines: list[str]) -> str:
    day = dt.date(2026, 1, 5)
    header = SessionHeader(day, SessionHeader.default_start(day), SessionHeader.default_end(day),
                           {"accounts": {}}, [], {}).to_json()
    return json.dumps(header) + "\n" + "\n".join(lines)


def read_all(path, native: bool, monkeypatch, stop_after: int | None = None):
    """(line, outcome) of every entry and every reported bad line; with stop_after, the
    number of lines count_remaining() finds after that many entries."""
    monkeypatch.setattr(decoding, "_LineDecoder", decoding._LineDecoder if native else None)
    got: list = []
    with SessionReader(path) as reader:
        it = reader.entries(on_error=lambda err: got.append(("bad", err.line, err.message)))
        for e in it:
            got.append((e.line, outcome(lambda *_: e, 0, b"")))
            if stop_after is not None and len(got) >= stop_after:
                return got, reader.count_remaining(), reader.line
    return got, None, None


@pytest.mark.parametrize("ending", ["\n", "\r\n"])
@pytest.mark.parametrize("last", ["whole", "unfinished", "cut-bad"])
def test_files_read_alike_with_and_without_the_native_decoder(tmp_path, monkeypatch, ending, last):
    """Several blocks' worth of lines, with blank lines, bad lines and a last line with no
    newline: the same entries, line numbers and reports either way."""
    rng = random.Random(5)
    lines = []
    for i in range(6000):  # more than one block of the file
        kind = rng.randrange(20)
        if kind == 0:
            lines.append("")
        elif kind == 1:
            lines.append("   ")
        elif kind == 2:
            lines.append('{"t": 5}')
        else:
            lines.append(line_with(last_price=i / 100, ask_volume=[i, i + 1]).decode())
    if last == "unfinished":
        lines.append(LEARN)
    elif last == "cut-bad":
        lines.append(LEARN[:40])
    text = session_text(lines).replace("\n", ending)
    if last == "whole":
        text += ending
    path = tmp_path / "day.jsonl"
    path.write_text(text)
    native = read_all(path, True, monkeypatch)
    assert native == read_all(path, False, monkeypatch)
    assert len(native[0]) > 5000
    for stop in (1, 777, 3001):
        assert read_all(path, True, monkeypatch, stop) == read_all(path, False, monkeypatch, stop)


def test_a_decoder_is_collected_and_keeps_no_reference_behind():
    """The native decoder refers back to its Python decoder (its fallback): the collector
    frees both. Decoding lines of every outcome leaves no object or reference behind."""
    wr = weakref.ref(learned())
    gc.collect()
    assert wr() is None

    d = learned()
    plans, resolve = d._plans, d.resolve
    raws = [row[0].encode() for row in ROWS] + [line_with(x=[i, i + 0.5]) for i in range(50)]
    block = b"\n".join(raws)

    def run(n):
        for i in range(n):
            for raw in raws:
                try:
                    d.entry(i, raw)
                except (_Bad, _Trailer):
                    pass
            d.entry.lines(block, 0, len(block), 1)
            for k in range(0, len(packed_raws), 32):
                d.binary_entry.lines(packed_raws, k, len(packed_raws), 1)

    packed_raws = [p for p in map(packed, (r.decode() for r in raws)) if p is not None]
    d.binary_entry(1, packed(LEARN))
    run(20)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (plans, resolve, d)]
    blocks = sys.getallocatedblocks()
    objects = len(gc.get_objects())
    run(300)
    gc.collect()
    assert [sys.getrefcount(o) for o in (plans, resolve, d)] == counts
    assert len(gc.get_objects()) - objects < 50
    assert sys.getallocatedblocks() - blocks < 2000  # (a leak per line: tens of thousands)


@pytest.mark.parametrize("args, error", [
    ((b"", 0, 0), TypeError), (("x", 0, 0, 1), TypeError), ((b"ab", 0, 3, 1), ValueError),
    ((b"ab", 2, 1, 1), ValueError), ((b"ab", -1, 1, 1), ValueError), ((b"ab", 0, 2, "1"), TypeError),
])
def test_lines_refuses_bad_arguments(args, error):
    with pytest.raises(error):
        learned().entry.lines(*args)


def test_a_bad_line_in_a_block_is_reported_on_its_own_line(tmp_path):
    path = tmp_path / "bad.jsonl"
    path.write_text(session_text([LEARN, LEARN, LEARN.replace("42.66", "42.66.1"), LEARN]) + "\n")
    with pytest.raises(SessionFormatError) as info:
        list(SessionReader(path))
    assert info.value.line == 4


@pytest.mark.parametrize("native", [True, False])
def test_a_record_factory_that_raises_is_a_bad_line_and_reading_goes_on(tmp_path, monkeypatch,
                                                                       native):
    """A failure the decoding does not foresee (here a record factory's ValueError) is
    reported on its line, and the lines after it are read."""
    from tiderec.schema import adopt_record
    monkeypatch.setattr(decoding, "_LineDecoder", decoding._LineDecoder if native else None)

    def records(name, fields):
        if fields.get("last_price") == 1.5:
            raise ValueError("no such price")
        return adopt_record(name, fields)

    path = tmp_path / "day.jsonl"
    lines = [LEARN, line_with(last_price=1.5).decode(), LEARN, LEARN]
    path.write_text(session_text(lines) + "\n")
    bad = []
    with SessionReader(path, Decoder(records=records)) as reader:
        got = [e.line for e in reader.entries(on_error=bad.append)]
    assert got == [2, 4, 5]
    assert [(b.line, b.message) for b in bad] == [(3, "ValueError: no such price")]
    with pytest.raises(SessionFormatError, match="no such price"):
        list(SessionReader(path, Decoder(records=records)))


# ---------------------------------------------------------------------------------------------
# The binary encoding: the same lines as MessagePack

from tiderec.binary import MAGIC, FrameWriter, Packer  # noqa: E402


def packed(text: str) -> bytes | None:
    try:
        return Packer().json_line(text.encode())
    except Exception:
        return None  # not a line the binary encoding can hold


def native_binary(d: Decoder):
    """One binary line through the native decoding, as the reader does it (a batch)."""
    def decode(line, raw):
        (item,), _ = d.binary_entry.lines([raw], 0, 1, line)
        return item if type(item) is not bytes else d.binary_entry(line, raw)
    return decode


def learned_binary() -> Decoder:
    d = Decoder()
    d.binary_entry(1, packed(LEARN))
    return d


BINARY_ROWS = [p for p in (packed(text) for text, _ in ROWS) if p is not None]


def test_binary_lines_decode_as_the_python_decoding_does():
    """Every line of the table that the binary encoding can hold, and thousands of random
    edits of the packed common line, decode alike natively and in Python."""
    d = learned_binary()
    decode = native_binary(d)
    for i, raw in enumerate(BINARY_ROWS):
        assert outcome(decode, i, raw) == outcome(Decoder()._binary_python, i, raw), raw
    assert d.binary_entry.served >= 10
    rng = random.Random(7)
    base = [packed(LEARN), packed(line_with(x=[1, -2, 2.5, "é", None, True, 1 << 40]).decode())]
    for i in range(3000):
        raw = bytearray(rng.choice(base))
        for _ in range(rng.randint(1, 2)):
            at = rng.randrange(len(raw))
            if rng.randrange(2):
                raw[at] = rng.randrange(256)
            else:
                del raw[at]
        raw = bytes(raw)
        assert outcome(decode, i, raw) == outcome(Decoder()._binary_python, i, raw), raw


@pytest.mark.parametrize("value", [0, 127, 128, 255, 256, 65535, 65536, 2**32, 2**63 - 1, 2**64 - 1,
                                   -1, -32, -33, -128, -129, -2**15, -2**31 - 1, -2**63, 1.5,
                                   -0.0, 1e300, "", "x" * 31, "x" * 32, "y" * 300, "é" * 40,
                                   None, True, False])
def test_binary_values_of_every_width_decode_as_in_python(value):
    raw = packed(line_with(x=value, y=[value]).decode())
    d = learned_binary()
    assert outcome(native_binary(d), 3, raw) == outcome(Decoder()._binary_python, 3, raw)
    assert outcome(d.binary_entry, 3, raw) == outcome(Decoder()._binary_python, 3, raw)
    assert d.binary_entry.served == 2


def write_tsb(path, lines: list[str], per_frame: int = 700) -> None:
    packer = Packer()
    head, *rest = session_text(lines).split("\n")
    items = [packer.json_line(head.encode(), header=True)] + \
        [packer.json_line(x.encode()) for x in rest if x.strip()]
    frames = FrameWriter()
    with open(path, "wb") as f:
        f.write(MAGIC)
        for i in range(0, len(items), per_frame):
            f.write(frames.frame(items[i:i + per_frame]))


def test_binary_files_read_alike_with_and_without_the_native_decoder(tmp_path, monkeypatch):
    lines = [line_with(last_price=i / 100, ask_volume=[i]).decode() if i % 13 else '{"t": 5}'
             for i in range(3000)]
    path = tmp_path / "day.tsb"
    write_tsb(path, lines)
    native = read_all(path, True, monkeypatch)
    assert native == read_all(path, False, monkeypatch)
    assert len(native[0]) == 3000
    for stop in (1, 699, 2001):
        assert read_all(path, True, monkeypatch, stop) == read_all(path, False, monkeypatch, stop)

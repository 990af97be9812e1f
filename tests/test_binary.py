"""The compact binary session encoding (".tsb"): the same entries as JSONL, conversion either
way without loss, files cut mid-frame, bad binary lines and `tidesim-replay convert`'s refusals."""
from __future__ import annotations

import datetime as dt
import decimal
import gzip
import math
import pathlib

import msgspec
import numpy as np
import pytest

import tidesim
from tiderec.binary import MAGIC, TAG_CODES, FrameWriter, Packer, to_json_form
from tiderec.convert import _check_json_form, convert
from tiderec.decoding import Decoder, _open_source
from tiderec.format import SessionFormatError, SessionHeader, SessionReader, SessionWriter, make_record
from tiderec.recorder import SessionRecorder, recording_strategy
from tidesim.replay.__main__ import default_session, main
from tidesim.replay.generator import generate_session
from tidesim.replay.runner import Replay

from test_recorder import Plain  # the recorder tests' do-nothing strategy

DAY = dt.date(2026, 1, 5)
T = dt.datetime(2026, 1, 5, 9, 30)


def header() -> SessionHeader:
    return SessionHeader(DAY, dt.datetime(2026, 1, 5, 8, 30), dt.datetime(2026, 1, 5, 15, 31),
                         {"accounts": {"stock": "1_sim"}, "when": dt.time(9, 30)}, [], {})


def entries(path) -> list:
    with SessionReader(path) as r:
        return [(e.line, e.time, e.kind, e.name, e.args, e.kwargs) for e in r]


@pytest.fixture(scope="module")
def bundled_binary(tmp_path_factory):
    path = tmp_path_factory.mktemp("bin") / "day.tsb"
    convert(default_session(), path)
    return path


def test_the_bundled_day_converts_to_binary_and_back_unchanged(bundled_binary, tmp_path):
    tidesim.install()
    back = tmp_path / "back.jsonl.gz"
    res = convert(bundled_binary, back)
    assert res.note is None and not res.binary and res.entries == 47310
    original = gzip.decompress(pathlib.Path(default_session()).read_bytes())
    assert gzip.decompress(back.read_bytes()) == original
    assert bundled_binary.read_bytes()[:len(MAGIC)] == MAGIC
    with SessionReader(default_session()) as a, SessionReader(bundled_binary) as b:
        assert b.binary and not a.binary and a.header == b.header
    assert entries(bundled_binary) == entries(default_session())


def test_a_binary_day_replays_as_its_jsonl_does(tmp_path):
    g = generate_session(tmp_path / "d.jsonl", securities=2, seed=5, l2_rate=0.5, orders=20,
                         data_until=dt.time(9, 40))
    gb = generate_session(tmp_path / "d.tsb", securities=2, seed=5, l2_rate=0.5, orders=20,
                          data_until=dt.time(9, 40))
    assert gb.entries == g.entries
    a = Replay(g.path, collect_events=True, report=None).run()
    b = Replay(gb.path, collect_events=True, report=None, record_to=str(tmp_path / "r.tsb")).run()
    assert a.ok and b.ok and a.entries == b.entries == g.entries
    assert a.signatures == b.signatures
    # recorded in the binary encoding while replayed: replays the same again
    c = Replay(str(tmp_path / "r.tsb"), collect_events=True, report=None).run()
    assert c.ok and c.entries == g.entries and c.signatures == a.signatures


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


VALUES = [
    None, True, 0, -1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -(2 ** 63) - 1, 2 ** 200, [1, -(2 ** 70)], 1.5, -0.0,
    math.inf, -math.inf, "text", "", "\u00e9\u6f22", [1, 2.5, "x"], [], (1, (2, 3)), (),
    {"a": 1}, {}, {"$x": 1}, {"$type": "not a record"}, {(1, 2): "tuple key"}, {1: "one"},
    decimal.Decimal("12.3400"), dt.time(9, 30, 1, 250), dt.date(2026, 1, 5),
    dt.datetime(2026, 1, 5, 9, 30, 0, 1), dt.timedelta(days=-1, microseconds=7), {1, 2},
    frozenset({"a"}), b"\x00\xff", bytearray(b"ab"), np.int64(7), np.float32(1.5),
    np.array([[1, 2], [3, 4]], dtype=np.int16), np.array([1.5, np.nan]),
    [{"$enum": "not a tag"}, [{"$map": 1}]],
]


def same(a, b) -> bool:
    if isinstance(a, np.ndarray):
        return type(b) is np.ndarray and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if type(a) is not type(b):
        return False
    return a == b or (a != a and b != b)


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_values_read_back_the_same_from_either_encoding(tmp_path, value):
    """Written by the same writer as JSONL and as binary: the same value of the same type
    comes back (also nested in a record, in a list of records, and as a keyword argument), and
    the binary file converts to the JSONL file byte for byte."""
    tidesim.install()
    from pyvorn.enums import MarketType
    inner = make_record("Inner", {"v": value})
    rec = make_record("Snapshot", {"v": value, "m": MarketType.SZSE, "inner": inner,
                                   "records": [inner, Obj(v=value)]})
    got = {}
    for name in ("v.jsonl", "v.tsb"):
        with SessionWriter(tmp_path / name, header()) as w:
            w.write_callback(T, "on_snapshot", [rec])
            w.write_callback(T, "on_query_asset", [inner], {"msg": (value,)})
            assert w.errors == 0
        got[name] = list(SessionReader(tmp_path / name))
    if not isinstance(value, np.ndarray):  # arrays have no truth value to compare by
        for entry in got["v.tsb"]:
            assert entry == got["v.jsonl"][entry.line - 2]
    snap, asset = got["v.tsb"]
    r = snap.args[0]
    assert r.m is MarketType.SZSE
    for v in (r.v, r.inner.v, r.records[0].v, r.records[1].v, asset.kwargs["msg"][0]):
        assert same(value, v), (value, v)
    convert(tmp_path / "v.tsb", tmp_path / "back.jsonl")
    assert (tmp_path / "back.jsonl").read_bytes() == (tmp_path / "v.jsonl").read_bytes()


def test_the_quick_and_the_full_decoding_of_binary_lines_agree(tmp_path):
    tidesim.install()
    g = generate_session(tmp_path / "d.tsb", securities=2, seed=5, l2_rate=0.5, orders=20,
                         data_until=dt.time(9, 50))
    source = _open_source(g.path)
    lines = list(source)[1:]
    source.close()
    learned = Decoder()
    for i, raw in enumerate(lines * 2):  # the second pass runs on what the first learned
        quick = learned.binary_entry(i, raw)
        full = Decoder()._entry_of(i, Decoder().binary_loads(raw), True)
        assert (quick.time, quick.kind, quick.name, quick.args, quick.kwargs) == \
            (full.time, full.kind, full.name, full.args, full.kwargs)
    assert learned._binary_plans  # the quick path was taken


def test_a_binary_recording_cut_mid_frame_reads_to_its_last_whole_frame(tmp_path):
    """The recorder writes binary by the name; killed in the middle of a frame, the file reads
    every line of its whole frames, then one note names the last whole line, as for JSONL."""
    tidesim.install()
    path = tmp_path / "cut.tsb"
    rec = SessionRecorder(path, now=lambda: T, universe=[], instruments={}, block_size=1 << 20)
    strategy = recording_strategy(Plain, rec)()
    strategy.initialize()
    for i in range(100):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i}))
    rec.flush()
    for i in range(100, 3000):
        strategy.on_snapshot(make_record("Snapshot", {"seq": i, "pad": "x" * (i % 300)}))
    rec.close()
    assert [e.args[0].seq for e in SessionReader(path)] == list(range(3000))
    data = path.read_bytes()
    path.write_bytes(data[: len(data) - 3000])
    problems = []
    got = [e.args[0].seq for e in SessionReader(path).entries(on_error=problems.append)]
    assert got == list(range(100))  # the first frame: what was flushed
    (note,) = problems
    assert note.path == str(path) and note.line == 102
    assert "middle of a compressed frame" in note.message
    assert "line 101 is the last whole line" in note.message
    with pytest.raises(SessionFormatError, match="last whole line"):
        list(SessionReader(path))


def write_binary(path, *lines, magic=MAGIC, tail=b""):
    """A binary file of the given lines (bytes, or objects to pack as entries) in one frame."""
    packer = Packer()
    items = [packer.header(header().to_json())]
    items += [x if isinstance(x, bytes) else packer.entry(x) for x in lines]
    path.write_bytes(magic + FrameWriter().frame(items) + tail)
    return path


enc = msgspec.msgpack.encode
Ext = msgspec.msgpack.Ext
ENTRY = {"t": "2026-01-05T09:30:00", "cb": "on_snapshot"}


@pytest.mark.parametrize("line, message", [
    (enc([1, 2]), "must be a JSON object"),
    (b"\xc1", "malformed binary line"),
    (enc({**ENTRY, "args": [{"x": "\u00e9"}]}).replace("\u00e9".encode(), b"\xe9\x00"), "not UTF-8"),
    (enc({**ENTRY, "args": [{"x": Ext(99, enc(1))}]}), "unknown extension type 99"),
    (enc({**ENTRY, "args": [{"x": Ext(TAG_CODES["$type"], enc(["X", {}]))}]}), "nested record must hold"),
    (enc({**ENTRY, "args": [{"x": Ext(TAG_CODES["$type"], enc({"$type": 1}))}]}), "must be a text"),
    (enc({**ENTRY, "args": [{"x": Ext(TAG_CODES["$enum"], enc("MarketType.NOPE"))}]}), "no member"),
    (enc({**ENTRY, "args": [{"x": Ext(TAG_CODES["$tuple"], enc(1))}]}), r"\$tuple must hold"),
    (enc({**ENTRY, "args": [{"x": Ext(64, b"12x")}]}), "malformed large integer"),
    (enc({**ENTRY, "args": [], "kw": {1: 2}}), "names in 'kw' must be texts"),
    (enc({**ENTRY, "act": "place_order"}), "not both"),
    (enc({"t": 1, "cb": "on_snapshot"}), "local time"),
    (enc({"t": "2026-01-05T09:30:00", "cb": [1]}), r"unknown callback name \[1\]"),
], ids=["array", "malformed", "not-utf8", "unknown-ext", "record-shape", "record-name", "member", "tuple",
        "big-int", "kw-names", "cb-and-act", "time", "cb-not-a-name"])
def test_bad_binary_lines_name_the_file_and_line(tmp_path, line, message):
    tidesim.install()
    path = write_binary(tmp_path / "bad.tsb", ENTRY | {"args": [{}]}, line)
    with pytest.raises(SessionFormatError, match=message) as info:
        list(SessionReader(path))
    assert info.value.line == 3 and info.value.path == str(path)
    # the same line in JSON, where it has a JSON form, is refused alike
    try:
        obj = to_json_form(line)
        _check_json_form(obj)
    except Exception:
        return
    text = msgspec.json.encode(obj)
    jpath = tmp_path / "bad.jsonl"
    jpath.write_bytes(msgspec.json.encode(header().to_json()) + b"\n" + text + b"\n")
    with pytest.raises(SessionFormatError) as info:
        list(SessionReader(jpath))
    assert info.value.line == 2


@pytest.mark.parametrize("tail, message", [
    (b"\x00\x00", "corrupt compressed data"),
    (b"garbage after the frame", "corrupt compressed data"),
    (zlib_frame := FrameWriter().frame([b"\x01", b"\x02"])[:-1], "middle of a compressed frame"),
])
def test_what_follows_the_last_frame_is_reported_after_every_whole_line(tmp_path, tail, message):
    path = write_binary(tmp_path / "t.tsb", ENTRY | {"args": [{}]}, tail=tail)
    problems = []
    got = list(SessionReader(path).entries(on_error=problems.append))
    assert len(got) == 1 and len(problems) == 1
    assert problems[0].line == 3 and message in problems[0].message


def test_a_frame_that_does_not_hold_lines_is_refused(tmp_path):
    import zlib
    path = tmp_path / "f.tsb"
    path.write_bytes(MAGIC + zlib.compress(b'{"format": "tidesim-session"}'))
    with pytest.raises(SessionFormatError, match="does not hold a block of session lines"):
        SessionReader(path)


# ---------------------------------------------------------------------------------------------
# tidesim-replay convert


def jsonl(path, *lines):
    path.write_text("\n".join([msgspec.json.encode(header().to_json()).decode(), *lines]) + "\n")
    return path


GOOD = '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"a": {"$enum": "X.Y"}}]}'

CONVERT_CASES = {
    "missing input": (lambda d: ([str(d / "none.jsonl"), str(d / "o.tsb")], 2, "does not exist")),
    "input is a directory": (lambda d: ([str(d), str(d / "o.tsb")], 2, "is a directory")),
    "output directory missing": (lambda d: ([str(jsonl(d / "i.jsonl", GOOD)), str(d / "no" / "o.tsb")],
                                            2, "does not exist")),
    "output exists": (lambda d: ([str(jsonl(d / "i.jsonl", GOOD)), str(jsonl(d / "o.jsonl"))], 2,
                                 "refusing to overwrite")),
    "output is the input": (lambda d: ([str(jsonl(d / "i.jsonl", GOOD)), str(d / "i.jsonl"), "--force"],
                                       2, "is the input itself")),
    "malformed line": (lambda d: ([str(jsonl(d / "i.jsonl", GOOD, '{"t": ')), str(d / "o.tsb")], 2,
                                  "i.jsonl:3: malformed JSON")),
    "unknown tag": (lambda d: ([str(jsonl(d / "i.jsonl", '{"t": "x", "args": [{"a": {"$what": 1}}]}')),
                               str(d / "o.tsb")], 2, "i.jsonl:2: unknown tag '$what'")),
    "not an entry": (lambda d: ([str(jsonl(d / "i.jsonl", "[1]")), str(d / "o.tsb")], 2, "i.jsonl:2:")),
    "not a session": (lambda d: ([str(_write(d / "i.jsonl", b'{"a": 1}\n')), str(d / "o.tsb")], 2,
                                 "i.jsonl:1: not a session header")),
    "empty input": (lambda d: ([str(_write(d / "i.jsonl", b"")), str(d / "o.tsb")], 2, "empty file")),
    "binary garbage": (lambda d: ([str(_write(d / "i.tsb", MAGIC + b"\xff" * 40)), str(d / "o.jsonl")],
                                  2, "corrupt compressed data")),
    "line cut off": (lambda d: ([str(_write(d / "i.jsonl", jsonl(d / "j.jsonl", GOOD).read_bytes()
                                            + b'{"t": "2026')), str(d / "o.tsb")], 1,
                                "line 2 is the last whole line")),
}


def _write(path, data: bytes):
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("case", CONVERT_CASES, ids=list(CONVERT_CASES))
def test_convert_refuses_bad_input_and_targets_clearly(tmp_path, capsys, case):
    argv, code, needle = CONVERT_CASES[case](tmp_path)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    assert main(["convert", *argv]) == code
    err = capsys.readouterr().err
    assert needle in err and "Traceback" not in err
    after = sorted(p.name for p in tmp_path.rglob("*"))
    if code == 2:  # nothing is left behind, not even a partial file
        assert after == before
    else:
        assert pathlib.Path(argv[1]).exists() and not any(n.endswith(".part") for n in after)


def test_convert_writes_either_encoding_and_force_overwrites(tmp_path, capsys):
    src = jsonl(tmp_path / "i.jsonl", GOOD)
    assert main(["convert", str(src), str(tmp_path / "o.tsb")]) == 0
    assert (tmp_path / "o.tsb").read_bytes()[:len(MAGIC)] == MAGIC
    assert main(["convert", str(tmp_path / "o.tsb"), str(tmp_path / "o.jsonl.gz")]) == 0
    assert gzip.decompress((tmp_path / "o.jsonl.gz").read_bytes()) == \
        msgspec.json.encode(msgspec.json.decode(src.read_bytes().splitlines()[0])) + b"\n" + \
        msgspec.json.encode(msgspec.json.decode(GOOD)) + b"\n"
    assert main(["convert", str(src), str(tmp_path / "o.tsb")]) == 2
    assert main(["convert", str(src), str(tmp_path / "o.tsb"), "--force"]) == 0
    assert "wrote" in capsys.readouterr().err


def test_to_json_form_keeps_tags_and_nested_records():
    packer = Packer()
    line = {"t": "x", "cb": "on_bar", "args": [{"a": {"$map": {"$k": {"$type": "R", "b": 2**70}}},
                                                "b": {"$tuple": [{"$type": "R"}]}}]}
    assert to_json_form(packer.entry(line)) == line


@pytest.mark.parametrize("value, message", [
    (b"\x00", "a value JSON cannot hold: a bytes"),
    (math.nan, "a number JSON cannot hold"),
    (dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc), "a value JSON cannot hold: a datetime"),
    ({1: 2}, "a map key that is not a text"),
], ids=["bytes", "nan", "timestamp", "int-key"])
def test_binary_values_without_a_json_form_are_refused_by_convert(tmp_path, value, message):
    """MessagePack holds values JSON does not; no writer puts them in a session, and converting
    one would silently turn it into another value."""
    path = write_binary(tmp_path / "v.tsb", enc({**ENTRY, "args": [{"a": value}]}))
    for out in ("o.jsonl", "o.tsb"):
        with pytest.raises(SessionFormatError, match=message) as info:
            convert(path, tmp_path / out)
        assert info.value.line == 2 and not (tmp_path / out).exists()


def test_cut_reads_and_writes_either_encoding(tmp_path, capsys):
    """A cut of the binary day holds the same lines as the cut of its JSONL, whichever
    encoding each is written in."""
    g = generate_session(tmp_path / "d.jsonl", securities=2, seed=5, l2_rate=0.5, orders=20,
                         data_until=dt.time(9, 40))
    convert(g.path, tmp_path / "d.tsb")
    with SessionReader(g.path) as r:
        code = r.header.universe[0]
    cuts = {}
    for src, dst in (("d.jsonl", "a.jsonl"), ("d.tsb", "b.tsb"), ("d.tsb", "c.jsonl"), ("d.jsonl", "e.tsb")):
        assert main(["cut", str(tmp_path / src), str(tmp_path / dst), "--securities", code,
                     "--from", "09:30"]) == 0
        cuts[dst] = entries(tmp_path / dst)
    assert cuts["a.jsonl"] == cuts["b.tsb"] == cuts["c.jsonl"] == cuts["e.tsb"]
    assert 0 < len(cuts["a.jsonl"]) < g.entries
    capsys.readouterr()


SNAP = '{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [%s]}'
LEARN = SNAP % '{"security_id": "1", "market_type": {"$enum": "MarketType.SZSE"}, "v": [1, 2]}'


@pytest.mark.parametrize("record", [
    '{"security_id": "1", "market_type": {"$enum": "MarketType.SSE"}, "v": [1, 2]}',
    '{"security_id": "1", "market_type": {"$const": "SIDE.BUY"}, "v": [1, 2]}',
    '{"$type": "Bar", "security_id": "1", "market_type": {"$enum": "MarketType.SZSE"}}',
    '{"$x": 1}',
    '{"security_id": "1", "market_type": "plain", "other": {"$enum": "MarketType.SSE"}}',
    '{"security_id": {"$enum": "MarketType.SSE"}, "market_type": {"$enum": "MarketType.SZSE"}}',
    '{"security_id": "1", "market_type": {"$enum": "MarketType.SSE", "$const": "SIDE.BUY"}}',
    '{"security_id": "1", "market_type": {"$enum": null}}',
    '{"security_id": "1", "market_type": {"$enum": "MarketType.SSE"}, "v": [{"$enum": "MarketType.SSE"}]}',
    '{"security_id": "1", "market_type": {"$enum": "MarketType.SSE"}, "v": 123456789012345678901234567890}',
], ids=["same-shape", "const", "own-type", "lone-tag", "tag-elsewhere", "two-tags", "two-keys",
        "null-tag", "tag-in-list", "big-int"])
def test_a_learned_json_shape_never_changes_what_a_line_decodes_to(record):
    """After the decoder has learned a callback's common line, lines that resemble it decode
    exactly as a decoder that has learned nothing decodes them (or fail alike)."""
    tidesim.install()
    raw = (SNAP % record).encode()
    learned = Decoder()
    learned.entry(1, LEARN.encode())
    assert learned._plans
    outcomes = []
    for decode in (learned.entry, Decoder()._entry):
        try:
            e = decode(2, raw)
            outcomes.append((type(e.args[0]).__name__, vars(e.args[0])))
        except Exception as exc:
            outcomes.append((type(exc).__name__, str(exc)))
    assert outcomes[0] == outcomes[1]

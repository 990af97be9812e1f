"""The native event encoding (tiderec._events) against the Python one: for every event it takes,
the same digest bytes and the same event file line as the Python encoding; for every value it
does not take, a decline that leaves nothing behind and hands the event to the Python encoding;
hostile values (attributes that raise, cycles, values changed while they are written) end in
a decline or a clear Python exception, never in a crash; and the hash is XXH64."""
from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import enum
import random
import struct
import subprocess
import sys

import pytest

from tidesim.replay import digest

events_native = pytest.importorskip("tiderec._events")


class Kind(enum.Enum):
    TICK = "tick"
    TRADE = "trade"


class Side(enum.IntEnum):
    BUY = 1
    SELL = 2


class Odd(enum.Enum):
    PAIR = (1, 2)


class Rec:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Other:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Hooked(Rec):
    def __getattr__(self, name):
        raise AttributeError(name)


class HookedNdim(Rec):
    def __getattr__(self, name):
        if name == "ndim":
            return 0
        raise AttributeError(name)


class HookRaises(Rec):
    def __getattr__(self, name):
        raise RuntimeError("no attributes today")


class DictRaises:
    @property
    def __dict__(self):
        raise RuntimeError("no __dict__ either")


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self):
        self.a, self.b = 1, [2.5]


@dataclasses.dataclass
class Point:
    x: float
    y: float = 0.0


@dataclasses.dataclass
class Later:
    x: int
    z: int = dataclasses.field(default=3, init=False)


class Text(str):
    pass


class Number(float):
    pass


class Ev:
    def __init__(self, kind, **fields):
        self.__dict__.update(fields)
        self.event_type = kind


def _cyclic_list():
    v: list = [1]
    v.append(v)
    return v


def _cyclic_record():
    r = Rec(a=1)
    r.me = r
    return r


def _self_twice():
    r = Rec(a=1)
    r.left = r.right = r
    shared: list = []
    shared += [shared, shared]
    return [r, shared]


def _deep(n):
    v: object = 1
    for _ in range(n):
        v = [v]
    return v


AT = dt.datetime(2026, 1, 5, 9, 30, 0, 1230)

# Values of every kind the encoders meet, hostile ones included.
VALUES = {
    "none": None, "bools": [True, False], "ints": [0, -1, 2 ** 63 - 1, -2 ** 63],
    "big ints": [2 ** 63, -2 ** 63 - 1, 2 ** 200], "floats": [0.5, -0.0, 0.0, 1e16, 1e-7, 42.65],
    "nan and infinities": [float("nan"), float("inf"), -float("inf")],
    "texts": ["", "plain", "quote \" backslash \\ newline \n", "\x00\x1f\x7f", "é€𝄞"],
    "lone surrogate": "a\ud800b", "bytes": b"\x00\x01", "bytearray": bytearray(b"ab"),
    "tuple": (1, "a"), "list of tuples": [(1,), ()], "empty": [[], {}, ()],
    "dict": {"a": 1, "b": [1.5]}, "int keys": {1: "a", 2: "b"}, "tuple keys": {(1, 2): "t"},
    "none key": {None: 1}, "enum key": {Kind.TICK: 1},
    "datetimes": [AT, dt.datetime(2026, 1, 5), dt.datetime(1, 1, 1)],
    "aware datetime": dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc),
    "folded datetime": dt.datetime(2026, 1, 5, 1, 30, fold=1),
    "date time delta": [dt.date(2026, 1, 5), dt.time(9, 30), dt.timedelta(seconds=3)],
    "enums": [Kind.TICK, Side.SELL], "enum of a tuple": Odd.PAIR,
    "record": Rec(price=10.5, levels=[1, 2], code="000001.XSHE"),
    "nested records": Rec(inner=Rec(inner=Other(x=[Rec(y=1)]))),
    "record with ndim": Rec(ndim=0, item=7),
    "hooked record": Hooked(a=1, b=Kind.TRADE), "hooked ndim": HookedNdim(a=1),
    "hook raises": HookRaises(a=1), "dict raises": DictRaises(), "slots": Slotted(),
    "dataclass": Point(1.5, -0.0), "dataclass without init field": Later(1),
    "str subclass": Text("t"), "float subclass": Number(1.5), "deque": collections.deque([1, 2]),
    "set": {1}, "class": Rec, "cyclic list": _cyclic_list(), "cyclic record": _cyclic_record(),
    "deep": _deep(60), "deep but allowed": _deep(45), "self twice": _self_twice(),
}


def _python_line(fields: dict) -> bytes:
    fields = dict(fields)
    fields.pop("event_type", None)
    return digest._json_body(fields)


def _native(fields: dict, json: bool):
    """(digest bytes, JSON or None) of the native encoder, with a fallback that marks a
    decline."""
    enc = events_native.EventDigest(digest._classify, lambda f: b"<declined>")
    if not json:
        enc.add(fields)
        return enc.pending(), None
    lines = bytearray()
    took = enc.add_line(fields, lines)
    return enc.pending(), bytes(lines) if took else None


def _check(fields: dict) -> bool:
    """Asserts the native encodings are the Python ones (or declines); True when taken."""
    want = digest._packed(fields)
    got, _ = _native(fields, json=False)
    assert got == want or got == b"<declined>"
    got_line, line = _native(fields, json=True)
    assert got_line == got or got_line == b"<declined>"
    if line is not None:
        assert got_line == want
        assert line == _python_line(fields)
    return got != b"<declined>"


@pytest.mark.parametrize("name", list(VALUES))
def test_each_kind_of_value_is_encoded_as_the_python_encoding_does_or_declined(name):
    value = VALUES[name]
    _check({"v": value, "event_type": Kind.TICK})
    _check({"a": [value, Rec(v=value)], "event_type": Kind.TRADE})


@pytest.mark.parametrize("name", ["none", "bools", "ints", "floats", "nan and infinities",
                                  "texts", "tuple", "dict", "datetimes", "folded datetime",
                                  "enums", "record", "nested records", "hooked record",
                                  "dataclass", "deep but allowed", "empty", "list of tuples"])
def test_the_common_values_are_taken_natively(name):
    assert _check({"v": VALUES[name], "event_type": Kind.TICK})


@pytest.mark.parametrize("name", ["big ints", "lone surrogate", "bytes", "aware datetime",
                                  "record with ndim", "hooked ndim", "hook raises", "dict raises",
                                  "slots", "str subclass", "cyclic list", "cyclic record", "deep",
                                  "self twice",
                                  "dataclass without init field"])
def test_the_unusual_values_are_declined_and_the_stream_still_agrees(name):
    fields = {"v": VALUES[name], "event_type": Kind.TICK}
    assert not _check(fields)
    native = digest.EventStream()
    native.add(Ev(Kind.TICK, v=VALUES[name]), "")
    assert native.buffer == digest._packed(dict(v=VALUES[name], event_type=Kind.TICK))


@pytest.mark.parametrize("a, b", [
    (None, float("nan")), ("YWJj", b"abc"), (1, 1.0), ([1, 2], (1, 2)), (0.0, -0.0),
    (Kind.TICK, "tick"), (Rec(x=1), Other(x=1)), (Rec(x=1), ["Rec", {"x": 1}]),
    (AT, AT.isoformat()), ({"1": 2}, {1: 2}), (Side.BUY, 1), (2 ** 64, str(2 ** 64)),
    (_deep(45), _deep(46)), (Point(1.0), Rec(x=1.0, y=0.0)),
], ids=["nan-none", "text-bytes", "int-float", "list-tuple", "signed-zero", "enum-text",
        "type-names", "record-list", "datetime-text", "key-types", "intenum-int", "bigint-text",
        "depth", "dataclass-record"])
def test_the_digest_keeps_apart_what_reads_alike(a, b):
    def one(v):
        s = digest.EventStream()
        s.add(Ev(Kind.TICK, v=v), "")
        return s.hexdigest()
    assert one(a) != one(b)
    assert one(a) == one(a)


def _random_value(rng: random.Random, depth: int = 0):
    r = rng.random()
    if depth > 4 or r < 0.45:
        return rng.choice([
            None, True, False, rng.randrange(-2 ** 70, 2 ** 70), rng.randrange(-300, 300),
            struct.unpack("<d", rng.randbytes(8))[0], rng.uniform(-1e6, 1e6),
            round(rng.uniform(0, 100), 2), "".join(chr(rng.randrange(1, 0x800)) for _ in range(3)),
            "key", AT + dt.timedelta(microseconds=rng.randrange(10 ** 9)), Kind.TRADE, Side.BUY,
            b"raw", -0.0, float("nan")])
    n = rng.randrange(4)
    items = [_random_value(rng, depth + 1) for _ in range(n)]
    kind = rng.randrange(6)
    if kind == 0:
        return items
    if kind == 1:
        return tuple(items)
    if kind == 2:
        keys = ["a", "b", "c", "event_type", "dé"]
        return {rng.choice(keys) + str(i): x for i, x in enumerate(items)}
    if kind == 3:
        return Rec(**{f"f{i}": x for i, x in enumerate(items)})
    if kind == 4:
        return Point(*items[:2]) if len(items) >= 1 else Point(0.5)
    return {i: x for i, x in enumerate(items)}


@pytest.mark.parametrize("seed", range(8))
def test_random_events_encode_alike_natively_and_in_python(seed):
    rng = random.Random(seed)
    taken = 0
    for _ in range(150):
        fields = {f"k{i}": _random_value(rng) for i in range(rng.randrange(1, 5))}
        fields["event_type"] = rng.choice(list(Kind))
        taken += _check(fields)
    assert taken > 10  # the common values are among them


class Changing:
    """A class whose instances change the dict being written when their class is first met."""


def test_a_value_inside_itself_is_cut_where_it_repeats_in_the_digest_and_the_event_file(tmp_path):
    # (walked to the depth limit, a value that holds itself twice would take 2 ** 50 steps)
    value = _self_twice()
    stream = digest.EventStream(tmp_path / "e.jsonl")
    stream.add(Ev(Kind.TICK, v=value), "")
    stream.close()
    assert stream.buffer.count(b"^s") == 4
    line = (tmp_path / "e.jsonl").read_text()
    assert line.count('"$cycle"') == 4 and line.count('"$type":"Rec"') == 1


def test_a_dict_changed_while_it_is_written_declines_and_nothing_breaks():
    fields: dict = {}

    def classify(t):
        fields.clear()  # Python code run mid-walk drops what the walk holds
        for i in range(100):
            fields[f"n{i}"] = [i]
        return digest._classify(t)

    fields.update(a=[1.5] * 10, b=Changing(), c="after", event_type=Kind.TICK)
    enc = events_native.EventDigest(classify, lambda f: b"<declined>")
    enc.add(fields)
    assert enc.pending() == b"<declined>"


def test_a_class_changed_between_events_is_asked_about_again():
    class Live:
        def __init__(self):
            self.a = 1

    def stream_bytes(v):
        s = digest.EventStream()
        s.add(Ev(Kind.TICK, v=v), "")
        return s.buffer

    first = stream_bytes(Live())
    assert b"Live" in first
    Live.__qualname__ = "Renamed"
    assert b"Renamed" in stream_bytes(Live())
    Live.ndim = 0  # now array-like: no longer a record
    v = Live()
    assert stream_bytes(v) == digest._packed({"v": v, "event_type": Kind.TICK})


@pytest.mark.parametrize("bad, message", [
    (lambda t: None, "classify"), (lambda t: (1,), "classify"), (lambda t: ("x", "y"), "classify"),
])
def test_a_classifier_that_answers_wrongly_raises_a_type_error(bad, message):
    enc = events_native.EventDigest(bad, digest._packed)
    with pytest.raises(TypeError, match=message):
        enc.add({"v": Rec(a=1)})


def test_exceptions_of_the_classifier_and_the_fallback_reach_the_caller():
    def boom(_):
        raise KeyError("from classify")
    with pytest.raises(KeyError):
        events_native.EventDigest(boom, digest._packed).add({"v": Rec(a=1)})
    with pytest.raises(TypeError, match="fallback"):
        events_native.EventDigest(digest._classify, lambda f: "text").add({"v": 2 ** 70})
    with pytest.raises(TypeError, match="dict"):
        events_native.EventDigest(digest._classify, digest._packed).add([1])


@pytest.mark.parametrize("data, want", [
    (b"", 0xEF46DB3751D8E999), (b"a", 0xD24EC4F1A98C6E5B), (b"abc", 0x44BC2CF5AD770999),
])
def test_xxh64_gives_the_published_values(data, want):
    assert events_native.xxh64(data) == digest.xxh64(data) == want


@pytest.mark.parametrize("size", [0, 1, 3, 4, 7, 8, 31, 32, 33, 63, 64, 100, 1000, 70000])
def test_the_native_hash_equals_the_python_hash_in_any_pieces(size):
    rng = random.Random(size)
    data = rng.randbytes(size)
    for seed in (0, 1, 2 ** 64 - 1):
        assert events_native.xxh64(data, seed) == digest.xxh64(data, seed)
    enc = events_native.EventDigest(digest._classify, digest._packed)
    i = 0
    while i < size:  # pieces of every length, across stripes and chunks
        n = rng.randrange(1, 5000)
        enc.update(data[i:i + n])
        i += n
    assert enc.hexdigest() == digest.stream_hexdigest(data) == enc.hexdigest()


def test_the_bundled_day_gives_the_same_lines_and_digest_natively_and_in_python(tmp_path,
                                                                                monkeypatch):
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.runner import replay
    native = replay(default_session(), report=None, events_to=str(tmp_path / "native.jsonl"))
    monkeypatch.setattr(digest, "_NativeDigest", None)
    python = replay(default_session(), report=None, events_to=str(tmp_path / "python.jsonl"))
    assert native.digest == python.digest and len(native.digest) == 16
    assert (tmp_path / "native.jsonl").read_bytes() == (tmp_path / "python.jsonl").read_bytes()


def test_the_digest_is_the_same_whatever_the_drain_size():
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.runner import replay
    from tidesim.replay.selection import Selection
    window = Selection(None, dt.time(9, 30), dt.time(9, 40))
    digests = {replay(default_session(), report=None, select=window, drain_every=n).digest
               for n in (1, 7, 64)}
    assert len(digests) == 1


@pytest.mark.parametrize("version, digest_text", [(2, "0" * 32), (3, "a50fc60c1b49c631")])
def test_a_baseline_of_an_earlier_definition_is_refused_with_exit_2(tmp_path, version, digest_text):
    import json
    from tidesim.replay.__main__ import default_session
    old = tmp_path / "old.json"
    old.write_text(json.dumps({"session": default_session(), "digest": digest_text,
                               "digest_version": version, "exit_code": 0}))
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", default_session(), "--quiet",
                          "--baseline", str(old)], capture_output=True, text=True)
    assert out.returncode == 2
    assert "another definition of the digest" in out.stderr
    assert f"({version}, this build: 4)" in out.stderr
    assert "Traceback" not in out.stderr


@pytest.mark.parametrize("name, written", [
    ("dict raises", '"v":{"$object":"DictRaises"}'),
    ("hook raises", '"v":{"$object":"HookRaises"}'),
    ("lone surrogate", '"v":"a\\ud800b"'),
])
def test_values_that_cannot_be_read_or_encoded_are_written_to_the_event_file(tmp_path, name,
                                                                           written):
    stream = digest.EventStream(tmp_path / "e.jsonl")
    stream.add(Ev(Kind.TICK, v=VALUES[name]), "")
    stream.close()
    (line,) = digest.read_events(tmp_path / "e.jsonl")
    assert written in (tmp_path / "e.jsonl").read_text()
    assert line[1] == "TICK"


def _stream_bytes(tmp_path, name: str, events, session: str, whole_line: bool):
    """(event file bytes, digest) of events written through an EventStream, its lines made in
    one native call each (whole_line) or put together in Python."""
    stream = digest.EventStream(tmp_path / name, session=session)
    if not whole_line:
        stream._add_event = None
    for ev, source in events:
        stream.add(ev, source)
    stream.close()
    return (tmp_path / name).read_bytes(), stream.hexdigest()


@pytest.mark.parametrize("source", [0, 17, -3, 2**63 - 1, -2**63, 2**63, 2**70, True, "", "text",
                                    'quote " and back \\ slash\n\t', "é ü €", "a\x7fb\x01\x1f",
                                    Text("sub"), 3.5, None])
@pytest.mark.parametrize("session", ["day.jsonl.gz", 'a "quoted" é\\name'])
def test_a_whole_line_written_natively_equals_the_line_put_together_in_python(tmp_path, source,
                                                                              session):
    events = [(Ev(Kind.TICK, v=1.5, w=[1, 2]), source),
              (Ev(Kind.TRADE, v=2**80), source),           # fields left to Python
              (Ev("not a member", v=VALUES["record"]), source),
              (Rec(v="no event type"), source),
              (Ev(Kind.TICK, v=VALUES["lone surrogate"]), source)]
    native = _stream_bytes(tmp_path, "native.jsonl", events, session, True)
    python = _stream_bytes(tmp_path, "python.jsonl", events, session, False)
    assert native == python
    assert native[0].count(b"\n") == len(events)


def _line_digest(head_of):
    enc = events_native.EventDigest(digest._classify, digest._packed)
    enc.line_parts(head_of, b'"s:')
    return enc


def test_a_line_head_is_asked_once_per_member_and_each_time_when_not_to_be_kept():
    asked = []

    def head_of(etype):
        asked.append(etype)
        head, keep = digest._line_head(etype)
        return head, keep

    enc = _line_digest(head_of)
    lines = bytearray()
    for kind in (Kind.TICK, "plain", Kind.TICK, "plain", Kind.TICK):  # (one member: no other
        assert enc.add_event({"event_type": kind, "v": 1}, 4, lines) is True  # takes its place)
    assert asked == [Kind.TICK, "plain", "plain"]
    assert bytes(lines).splitlines()[0] == b'{"event":"TICK","source":"s:4","fields":{"v":1}}'


@pytest.mark.parametrize("head_of, error", [
    (lambda etype: b"head", TypeError),
    (lambda etype: ("head", True), TypeError),
    (lambda etype: (b"head",), TypeError),
    (lambda etype: 1 / 0, ZeroDivisionError),
])
def test_a_line_head_answered_wrongly_raises_and_leaves_the_digest_and_lines_alone(head_of,
                                                                                  error):
    enc = _line_digest(head_of)
    lines = bytearray(b"before")
    with pytest.raises(error):
        enc.add_event({"event_type": Kind.TICK, "v": 1}, 1, lines)
    assert lines == b"before" and enc.pending() == b""


@pytest.mark.parametrize("args, error", [
    (({"v": 1}, 1, b"not a bytearray"), TypeError),
    (([("v", 1)], 1, bytearray()), TypeError),
    (({"v": 1}, 1), TypeError),
])
def test_add_event_refuses_wrong_arguments(args, error):
    enc = _line_digest(digest._line_head)
    with pytest.raises(error):
        enc.add_event(*args)
    assert enc.pending() == b""


def test_add_event_before_its_line_parts_raises():
    enc = events_native.EventDigest(digest._classify, digest._packed)
    with pytest.raises(RuntimeError):
        enc.add_event({"v": 1}, 1, bytearray())
    with pytest.raises(TypeError):
        enc.line_parts(digest._line_head, "not bytes")


@pytest.mark.parametrize("key", ["a", "", "x" * 24, "x" * 25, "x" * 26, "x" * 200, 'q"uote',
                                 "back\\slash", "new\nline", "tab\t", "\x01", "\x7f", "é", "€uro",
                                 "a\ud800b"])
def test_a_key_is_written_alike_the_first_time_and_when_met_again(key):
    enc = events_native.EventDigest(digest._classify, digest._packed)
    fields = {"event_type": Kind.TICK, key: 1, "inner": Rec(**{key: [key]})}
    want = _python_line(fields)
    for _ in range(3):  # the first time and from what is kept of the key
        lines = bytearray()
        if enc.add_line(fields, lines):
            assert bytes(lines) == want
        else:
            assert key == "a\ud800b"
    assert enc.pending() == digest._packed(fields) * 3


def test_keys_that_share_a_place_in_what_is_kept_are_written_each_as_itself():
    enc = events_native.EventDigest(digest._classify, digest._packed)
    keys = ["k%d" % i for i in range(5000)]  # more than are kept: places are shared
    fields = dict.fromkeys(keys, 0)
    for _ in range(2):
        lines = bytearray()
        assert enc.add_line(fields, lines)
        assert bytes(lines) == _python_line(fields)
    del fields, keys
    fields = {"k%d" % i: i for i in range(5000, 5100)}  # new keys, perhaps at the old addresses
    lines = bytearray()
    assert enc.add_line(fields, lines) and bytes(lines) == _python_line(fields)


# -- events and records read from where the interpreter keeps their attributes ----------------

def test_the_values_array_is_read_where_its_layout_is_known():
    assert events_native.reads_values_arrays is (sys.version_info[:2] == (3, 11))


def _has_dict(obj) -> bool:
    """Whether the interpreter has made obj's __dict__ (its referents then include it)."""
    import gc
    return any(type(r) is dict for r in gc.get_referents(obj))


def _fresh_class():
    class Plain:
        pass

    class Sub(Plain):
        pass
    Plain.Sub = Sub
    return Plain


def _set(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def _built(cls, how: str):
    o = cls()
    if how == "in order":
        _set(o, a=1, b="two", c=[3.5, None])
    elif how == "reversed":
        _set(o, c=[3.5, None], b="two", a=1)
    elif how == "deleted and set again":
        _set(o, a=1, b="two", c=[3.5, None])
        del o.a
        o.a = -1
    elif how == "deleted":
        _set(o, a=1, b="two", c=[3.5, None])
        del o.b
    elif how == "replaced":
        _set(o, a=1, b="two")
        o.a = 2 ** 40
    elif how == "empty":
        pass
    elif how == "nested records":
        _set(o, a=1, inner=_set(cls(), b=Kind.TICK, a=AT))
    elif how == "new names":
        _set(o, a=1, z="not taught", y=0.25)
    elif how == "with ndim":
        _set(o, a=1, ndim=0)
    elif how == "dict values":
        _set(o, a={"k": 1, "j": [2]}, b=Side.SELL)
    elif how == "many attributes":  # more than a class's shared keys hold: a dict of its own
        _set(o, **{f"m{i}": i for i in range(40)})
    elif how == "subclass":
        o = _set(cls.Sub(), b=1, a=[2.5])
    return o


BUILDS = ["in order", "reversed", "deleted and set again", "deleted", "replaced", "empty",
          "nested records", "new names", "with ndim", "dict values", "many attributes",
          "subclass"]


@pytest.mark.parametrize("how", BUILDS)
@pytest.mark.parametrize("as_event", [True, False], ids=["event", "record"])
def test_an_instance_read_from_its_values_array_gives_its_dicts_bytes(how, as_event):
    cls = _fresh_class()
    enc = events_native.EventDigest(digest._classify, lambda f: b"<declined>")
    teacher = _set(cls(), a=0, b=0, c=0, inner=0)  # its dict teaches the names
    enc.add_object(teacher) if as_event else enc.add({"v": teacher})
    assert _has_dict(teacher)
    for _ in range(2):
        obj = _built(cls, how)
        start = len(enc.pending())
        if as_event:
            enc.add_object(obj)
        else:
            enc.add({"v": obj, "event_type": Kind.TICK})
        got = enc.pending()[start:]
        taught = how not in ("new names", "with ndim", "subclass") or _ == 1  # (by the first)
        if how == "many attributes":
            taught = False
        # (a record with `ndim` is array-like, asked about through its dict; a dict value
        # would be taken for the instance's own)
        if events_native.reads_values_arrays and taught and how != "dict values" \
                and (as_event or how != "with ndim"):
            assert not _has_dict(obj)
        fields = dict(vars(obj)) if as_event else {"v": obj, "event_type": Kind.TICK}
        assert got == digest._packed(fields) or (how == "with ndim" and got == b"<declined>")


def test_an_event_of_the_core_gives_the_bytes_of_its_attribute_dict():
    from orvane.tamsel.core.events import EVENT, Event
    rec = _set(_fresh_class()(), price=10.5, levels=[1, 2])
    events = [Event(EVENT.TICK, calendar_dt=AT, trading_dt=AT, tick=rec) for _ in range(3)]
    enc = events_native.EventDigest(digest._classify, digest._packed)
    for ev in events:
        enc.add_object(ev)
    assert not _has_dict(events[-1]) or not events_native.reads_values_arrays
    assert enc.pending() == b"".join(digest._packed(dict(vars(ev))) for ev in events)


class Meddler:
    """Met for the first time inside an object being written: its classification changes that
    object (the `victim`) as `how` says."""
    victim = None
    how = ""


def _meddling_classify(t):
    if t is Meddler and Meddler.victim is not None:
        v, Meddler.victim = Meddler.victim, None
        if Meddler.how == "replace":
            v.c = [object()] * 3  # frees what was there
        elif Meddler.how == "delete":
            del v.c
        elif Meddler.how == "add":
            v.d = "new"
        elif Meddler.how == "dict":
            vars(v)
    return digest._classify(t)


@pytest.mark.parametrize("how", ["replace", "delete", "add", "dict"])
def test_an_object_changed_while_it_is_written_declines_and_nothing_breaks(how):
    cls = _fresh_class()
    enc = events_native.EventDigest(_meddling_classify, lambda f: b"<declined>")
    enc.add_object(_set(cls(), a=0, b=0, c=0, d=0))
    obj = _set(cls(), a=1.5, b=Meddler(), c=[2.5] * 4)
    Meddler.victim, Meddler.how = obj, how
    enc.add_object(obj)
    assert Meddler.victim is None
    assert enc.pending().endswith(b"<declined>")


@pytest.mark.parametrize("a, b", [
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}), ({"a": "b"}, {"b": "a"}), ({"1": 2}, {1: 2}),
    ({"ab": 1}, {"a": 1, "b": None}), ({}, []),
], ids=["key-order", "key-value", "text-int-key", "keys-split", "empty"])
def test_dicts_whose_keys_differ_in_text_or_order_differ(a, b):
    def one(v):
        s = digest.EventStream()
        s.add(Ev(Kind.TICK, v=v), "")
        written = bytes(s.buffer)  # (before the hash takes it)
        return s.hexdigest(), written
    (ha, ba), (hb, bb) = one(a), one(b)
    assert ha != hb
    assert ba == digest._packed({"v": a, "event_type": Kind.TICK})
    assert bb == digest._packed({"v": b, "event_type": Kind.TICK})


@pytest.mark.parametrize("items", [
    [1.5, -0.0, float("nan"), float("inf"), 2 ** 30 - 1, -(2 ** 30) + 1, 0, 7],
    [2 ** 30, -(2 ** 30), 2 ** 62, -2 ** 63, 2 ** 63 - 1],   # ints of more than one digit
    [True, False, 1, 0.5], [1.5, 2.5, "text", 3.5, None, 4], [1, 2 ** 64, 3],
    [Number(1.5), 1.5], [1.0] * 300, [],
], ids=["floats and small ints", "large ints", "bools", "mixed", "big int", "float subclass",
        "long", "empty"])
@pytest.mark.parametrize("as_tuple", [False, True], ids=["list", "tuple"])
def test_lists_of_numbers_are_written_as_the_python_encoding_writes_them(items, as_tuple):
    _check({"v": tuple(items) if as_tuple else items, "w": [items, {"x": items}],
            "event_type": Kind.TICK})


@pytest.mark.parametrize("value", [
    {"a": [1.5], 2: "b"}, {"a": 1, "b": 2, None: 3}, {"a": Rec(x=1), (1,): 2},
], ids=["int key after text", "none key last", "tuple key after a record"])
def test_a_dict_whose_later_key_is_not_text_is_written_in_the_other_form(value):
    assert _check({"v": value, "event_type": Kind.TICK})
    assert _native({"v": value, "event_type": Kind.TICK}, json=True)[1] is None  # (JSON keys
    got, _ = _native({"v": value, "event_type": Kind.TICK}, json=False)         # are text)
    assert got == digest._packed({"v": value, "event_type": Kind.TICK})
    assert b"M" in got


def test_a_member_whose_attributes_change_is_read_again():
    class Mood(enum.Enum):
        CALM = "calm"

    enc = events_native.EventDigest(digest._classify, digest._packed)
    for _ in range(2):  # the second time from what was kept
        enc.add({"v": Mood.CALM, "event_type": Kind.TICK})
    Mood.CALM._name_ = "RENAMED"  # its dict changes: what was kept no longer holds
    enc.add({"v": Mood.CALM, "event_type": Kind.TICK})
    lines = bytearray()
    Mood.CALM._value_ = "new value"
    assert enc.add_line({"v": Mood.CALM, "event_type": Kind.TICK}, lines)
    assert b"RENAMED" in enc.pending() and bytes(lines) == b'{"v":"new value"}'
    parts = enc.pending().split(b"\x07\x00\x00\x00RENAMED")
    assert len(parts) == 3 and parts[0].count(b"\x04\x00\x00\x00CALM") == 2


def _attr_event(kind, **fields):
    ev = _AttrEv()
    for k, v in fields.items():
        setattr(ev, k, v)
    ev.event_type = kind
    return ev


class _AttrEv:
    """An event whose fields are set one by one (kept in the interpreter's values array)."""


@pytest.mark.parametrize("source", [0, 17, "text", 'quote " é', 2 ** 70])
def test_a_whole_line_of_an_event_read_from_its_values_array_equals_the_python_line(tmp_path,
                                                                                  source):
    def events():
        return [(_attr_event(Kind.TICK, v=1.5, w=[1, 2], r=VALUES["record"]), source),
                (_attr_event(Kind.TICK, v=1.5, w=[3, 4], r=VALUES["nested records"]), source),
                (_attr_event(Kind.TRADE, v=2 ** 80), source),          # fields left to Python
                (_attr_event("not a member", v=AT), source),
                (_attr_event(Kind.TICK, v=VALUES["lone surrogate"]), source)]
    native = _stream_bytes(tmp_path, "native.jsonl", events(), "day", True)
    python = _stream_bytes(tmp_path, "python.jsonl", events(), "day", False)
    assert native == python and native[0].count(b"\n") == 5


def test_a_line_head_that_raises_leaves_an_event_objects_digest_and_lines_alone():
    enc = _line_digest(lambda etype: 1 / 0)
    for _ in range(2):  # the first teaches its names, the second is read from its array
        lines = bytearray(b"before")
        with pytest.raises(ZeroDivisionError):
            enc.add_event(_attr_event(Kind.TICK, v=1), 1, lines)
        assert lines == b"before" and enc.pending() == b""

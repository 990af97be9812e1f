"""The published event stream as plain data: its digest, the event file, and the signatures
that round-trip tests compare.

An event is reduced to its type name and its fields in order, each value to plain data:
records and other objects by their type name and attributes (so the stand-ins' records compare
by the values they were built from, and live objects such as accounts by their state, never by
identity or address), enumeration members by name, floats by their shortest repr. The digest
is a hash of those reductions, one per event in publication order: it does not depend on
timing, on the consumer's batch size, on the machine or on the session's line numbers.

The digest (definition DIGEST_VERSION 4) is a 64-bit hash of the events' reductions in a
tagged binary form, one after the other in publication order (`event_packed`): each event's
attribute dictionary as it is, its `event_type` member included. Little-endian throughout, so
the same on every machine:

    n                     None              f / t               False / True
    i <int64>             an int of 64 bits I <text of hex(v)>  any other int
    d <float64>           a float's IEEE bits, every NaN as 0x7ff8000000000000 (so -0.0 is kept)
    s <u32 n> <UTF-8>     a str (lone surrogates passed through as their 3 bytes)
    b <u32 n> <bytes>     bytes
    [ <u32 n> items       a list            ( <u32 n> items     a tuple
    { <u32 n> <u64 keys> v ...   a dict whose keys are all str: its values in its order, after
                          the XXH64 of its keys' s-values one after the other (`_keys_id`)
    M <u32 n> k v ...     any other dict, in its order (keys by the same rules)
    e <name> <member>     an enumeration member: its class's qualified name, its _name_
    D <u16 year> <u8 month day hour minute second> <u32 microsecond> <u8 fold>
                          a datetime without tzinfo
    o <name> <dict>       an object with an attribute dictionary (and no `ndim`): a record
    p <value>             anything else, as its `plain_json` reduction
    ! <name>              a value nested deeper than MAX_DEPTH
    ^ <name>              a container or object met again inside itself
    ? <name>              an object whose attributes cannot be read

(names as s-values; a length of 2**32 - 1 or more is written as 0xffffffff and a u64). The
hash is the 64-bit XXH64 of the whole stream with seed 0, as 16 hex digits: XXH64 costs under a
tenth of BLAKE2b's instructions a byte and needs no processor extension, and the digest is an
equality check between runs, not a security property (two different streams collide with a
chance of one in 2**64). Hashing the stream in pieces gives the hash of the whole, so the digest
does not depend on the drain batch size. A day's dicts and records have a few shapes (the same
keys in the same order) met over and over: the stream carries 8 bytes for a shape's keys, whose
identity is computed once, instead of every key's text.

The common event is encoded in C (tiderec._events), in one pass that also writes the event
file's line when one is kept; what it declines (see `_classify` and the C source) is encoded
here, to the same bytes. Definition 3 (before) wrote a dict's keys, each before its value;
definition 2 was the 128-bit BLAKE2b of the events'
MessagePack, objects as [type name, attributes] and enumeration members by value; definition
1 hashed per event the type name, a NUL byte and the fields without `event_type`, objects as
{"$type", "fields"} maps. The event file writes the reduction as JSON (`event_bytes`).
"""
from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
import enum
import gzip
import io
import json
import os
import struct
import uuid
from decimal import Decimal
from typing import IO, Any, Iterator

import msgspec

try:
    from tiderec._events import EventDigest as _NativeDigest
except ImportError:  # the recorder's distribution built without its native parts
    _NativeDigest = None

MAX_DEPTH = 50
HASH_BATCH = 256  # (kept for callers of earlier versions)
DIGEST_VERSION = 4  # the definition of the digest, as a summary carries it
HASH_CHUNK = 1 << 16  # bytes of encoded events hashed at a time

_dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode
_dumps_ascii = json.JSONEncoder(separators=(",", ":")).encode


def signature(event: Any) -> tuple:
    """(event type name, field names, field values) of an event, values reduced to plain data."""
    fields = dict(vars(event))
    etype = fields.pop("event_type", None)
    return (getattr(etype, "name", etype), tuple(fields), tuple(_plain(v, 0) for v in fields.values()))


def _plain(v: Any, depth: int) -> Any:
    if depth > MAX_DEPTH:
        return ("<deep>", type(v).__qualname__)
    t = type(v)
    if v is None or t in (str, int, bool, bytes):
        return v
    if t is float:
        return ("nan",) if v != v else v
    if t in (list, tuple, collections.deque):
        return (t.__name__, tuple(_plain(x, depth + 1) for x in v))
    if t is dict:
        return ("dict", tuple((k, _plain(x, depth + 1)) for k, x in v.items()))
    if isinstance(v, (_dt.date, _dt.time, _dt.timedelta)) or hasattr(v, "__members__") \
            or hasattr(t, "__members__"):
        return v
    d = getattr(v, "__dict__", None)
    if d is not None and not isinstance(v, type):
        return (t.__qualname__, tuple((k, _plain(x, depth + 1)) for k, x in d.items()))
    return v


def plain_json(v: Any, depth: int = 0, _path: set | None = None) -> Any:
    """A value as JSON-ready data with the same reductions as the digest uses. Values JSON
    cannot hold as they are become one-key objects (NaN and infinities are written as JSON
    extensions NaN and Infinity): {"$enum": "Type.Member"},
    {"$tuple": [...]}, {"$map": [[k, v], ...]}, {"$datetime": iso}, {"$type": name, "fields"...};
    a container met again inside itself becomes {"$cycle": its type's name} (so that a value
    that refers to itself twice costs its size, not two to the power of the depth limit)."""
    t = type(v)
    if v is None or t is str or t is bool or t is int:
        return v
    if t is float:
        return v
    if depth > MAX_DEPTH:
        return {"$deep": t.__qualname__}
    if isinstance(v, enum.Enum) or hasattr(t, "__members__"):
        return {"$enum": f"{t.__name__}.{getattr(v, 'name', v)}"}
    if isinstance(v, _dt.datetime):
        return {"$datetime": v.isoformat()}
    if isinstance(v, (_dt.date, _dt.time, _dt.timedelta)):
        return {"$" + type(v).__name__: str(v)}
    if isinstance(v, (bytes, bytearray)):
        return {"$bytes": v.hex()}
    for base in (bool, int, float, str):  # subclasses (numpy's float64 among them)
        if isinstance(v, base):
            return plain_json(base(v), depth)
    path = set() if _path is None else _path
    if id(v) in path:
        return {"$cycle": t.__qualname__}
    path.add(id(v))
    try:
        return _plain_inside(v, t, depth, path)
    finally:
        path.discard(id(v))


def _plain_inside(v: Any, t: type, depth: int, path: set) -> Any:
    """plain_json of a value that may hold others (v is on `path`)."""
    if t is list:
        return [plain_json(x, depth + 1, path) for x in v]
    if t is tuple or t is collections.deque:
        return {"$" + t.__name__: [plain_json(x, depth + 1, path) for x in v]}
    if t is dict:
        if all(type(k) is str and k[:1] != "$" for k in v):
            return {k: plain_json(x, depth + 1, path) for k, x in v.items()}
        return {"$map": [[plain_json(k, depth + 1, path), plain_json(x, depth + 1, path)]
                         for k, x in v.items()]}
    item = getattr(v, "item", None)  # numpy scalars and arrays
    if item is not None and getattr(v, "ndim", None) == 0:
        return plain_json(item(), depth + 1, path)
    tolist = getattr(v, "tolist", None)
    if tolist is not None and hasattr(v, "ndim"):
        return {"$array": plain_json(tolist(), depth + 1, path)}
    d = getattr(v, "__dict__", None)
    if d is not None and not isinstance(v, type):
        return {"$type": t.__qualname__,
                "fields": {k: plain_json(x, depth + 1, path) for k, x in d.items()}}
    slots = [s for c in t.__mro__ for s in getattr(c, "__slots__", ()) if hasattr(v, s)]
    if slots:
        return {"$type": t.__qualname__, "fields": {s: plain_json(getattr(v, s), depth + 1, path)
                                                     for s in slots}}
    if isinstance(v, type):
        return {"$class": f"{v.__module__}.{v.__qualname__}"}
    return {"$object": t.__qualname__}  # nothing comparable but its type


# Types whose instances the hook writes by their attribute dictionary without asking again:
# plain classes (no `ndim`, no attribute hooks, not metaclasses), by identity -> their name.
_PLAIN_TYPES: dict[int, tuple[type, str]] = {}


def _object_hook(v: Any) -> Any:
    """What the encoder cannot write itself: objects by their type name and attributes."""
    t = type(v)
    known = _PLAIN_TYPES.get(id(t))
    if known is not None and known[0] is t:
        d = v.__dict__
        if "ndim" not in d:
            return {"$type": known[1], "fields": d}
    d = getattr(v, "__dict__", None)
    if d is not None and not isinstance(v, type) and not hasattr(v, "ndim"):
        if type(d) is dict and not issubclass(t, type) and not hasattr(t, "ndim") \
                and not hasattr(t, "__getattr__") and t.__getattribute__ is object.__getattribute__ \
                and len(_PLAIN_TYPES) < 1024:
            _PLAIN_TYPES[id(t)] = (t, t.__qualname__)
        return {"$type": t.__qualname__, "fields": d}
    return plain_json(v)


_json_encoder = msgspec.json.Encoder(enc_hook=_object_hook)
_fast_encode = _json_encoder.encode


def event_bytes(event: Any) -> tuple[str, bytes]:
    """(event type name, the event's reduction as compact JSON, UTF-8).

    The fast path writes lists, dicts, numbers, text, dates and enumeration members (by value)
    natively and objects through `_object_hook`; a value it refuses (a key JSON cannot hold, a
    cycle) takes the slower `plain_json` path, which is as deterministic."""
    fields = vars(event).copy()
    etype = fields.pop("event_type", None)
    return _type_name(etype), _json_body(fields)


# event type names by the identity of the member (an enumeration's `name` is a slow
# descriptor; the members live as long as their enumeration)
_TYPE_NAMES: dict[int, tuple[Any, str]] = {}


def _type_name(etype: Any) -> str:
    hit = _TYPE_NAMES.get(id(etype))
    if hit is not None and hit[0] is etype:
        return hit[1]
    name = getattr(etype, "name", None) or str(etype)
    if hasattr(type(etype), "__members__") and len(_TYPE_NAMES) < 1024:
        _TYPE_NAMES[id(etype)] = (etype, name)
    return name


def _fields_json(fields: dict) -> bytes:
    """An event line's "fields": the attribute dictionary without `event_type`, as JSON."""
    fields = fields.copy()
    fields.pop("event_type", None)
    return _json_body(fields)


def _json_body(fields: dict) -> bytes:
    """The event file's JSON of an event's fields: the fast encoding, or, for what it refuses
    (a key JSON cannot hold, a cycle, a lone surrogate, an object whose attributes raise on
    reading), the plain-data walk, as deterministic."""
    try:
        return _fast_encode(fields)
    except Exception:
        return _plain_body(fields)


def _plain_body(fields: dict) -> bytes:
    plain = {k: _plain_or_object(v) for k, v in fields.items()}
    try:
        return _dumps(plain).encode()
    except UnicodeEncodeError:  # a lone surrogate: written as its \\u escape
        return _dumps_ascii(plain).encode()


def _plain_or_object(v: Any) -> Any:
    try:
        return plain_json(v)
    except Exception:  # attributes that raise on reading
        return {"$object": _qualname(type(v))}


_ENCODER_ERRORS = (TypeError, ValueError, RecursionError, OverflowError)

_Q = struct.Struct("<q").pack
_D = struct.Struct("<d").pack
_L = struct.Struct("<I").pack
_U64 = struct.Struct("<Q").pack
_DATETIME = struct.Struct("<HBBBBBIB").pack
_NAN = bytes.fromhex("000000000000f87f")  # 0x7ff8000000000000, whatever NaN it was


def _length(n: int) -> bytes:
    return _L(n) if n < 0xFFFFFFFF else b"\xff\xff\xff\xff" + struct.pack("<Q", n)


def _text(v: str) -> bytes:
    b = v.encode("utf-8", "surrogatepass")
    return _length(len(b)) + b


def _attr(v: Any, name: str) -> Any:
    """An attribute, or None when it is missing or reading it raises."""
    try:
        return getattr(v, name, None)
    except Exception:
        return None


def _has(v: Any, name: str) -> bool:
    """hasattr, where an attribute that raises on reading counts as present."""
    try:
        return hasattr(v, name)
    except Exception:
        return True


def _qualname(t: type) -> str:
    name = _attr(t, "__qualname__")
    return name if type(name) is str else "?"


def _encode_value(v: Any, depth: int, out: bytearray, path: set) -> None:
    """Appends the digest's bytes of one value (the table in this module's docstring);
    `path`: the ids of the containers being written around it."""
    t = type(v)
    if depth > MAX_DEPTH:
        out += b"!s" + _text(_qualname(t))
    elif v is None:
        out += b"n"
    elif t is bool:
        out += b"t" if v else b"f"
    elif t is int:
        out += b"i" + _Q(v) if -2 ** 63 <= v < 2 ** 63 else b"I" + _text(hex(v))
    elif t is float:
        out += b"d" + (_NAN if v != v else _D(v))
    elif t is str:
        out += b"s" + _text(v)
    elif t is bytes:
        out += b"b" + _length(len(v)) + v
    elif isinstance(v, enum.Enum) and type(_attr(v, "_name_")) is str:
        out += b"es" + _text(_qualname(t)) + b"s" + _text(v._name_)
    elif t is _dt.datetime and v.tzinfo is None:
        out += b"D" + _DATETIME(v.year, v.month, v.day, v.hour, v.minute, v.second,
                                v.microsecond, v.fold)
    elif id(v) in path:  # inside itself
        out += b"^s" + _text(_qualname(t))
    else:
        path.add(id(v))
        try:
            _encode_inside(v, t, depth, out, path)
        finally:
            path.discard(id(v))


def _encode_inside(v: Any, t: type, depth: int, out: bytearray, path: set) -> None:
    if t is list or t is tuple:
        items = tuple(v)
        out += (b"[" if t is list else b"(") + _length(len(items))
        for x in items:
            _encode_value(x, depth + 1, out, path)
    elif t is dict:
        _encode_dict(v, depth, out, path)
    else:
        d = _attr(v, "__dict__")
        if type(d) is dict and not isinstance(v, type) and not _has(v, "ndim"):
            out += b"os" + _text(_qualname(t))
            _encode_dict(d, depth + 1, out, path)
            return
        try:
            plain = plain_json(v, depth)
        except Exception:  # an object that cannot be read
            out += b"?s" + _text(_qualname(t))
            return
        out += b"p"
        _encode_value(plain, depth + 1, out, set())


def _encode_dict(d: dict, depth: int, out: bytearray, path: set) -> None:
    if depth > MAX_DEPTH:
        out += b"!s" + _text("dict")
        return
    items = tuple(d.items())
    keys = tuple(k for k, _ in items)
    if all(type(k) is str for k in keys):
        out += b"{" + _length(len(items)) + _keys_id(keys)
        for _, x in items:
            _encode_value(x, depth + 1, out, path)
        return
    out += b"M" + _length(len(items))
    for k, x in items:
        _encode_value(k, depth + 1, out, path)
        _encode_value(x, depth + 1, out, path)


# the identity of a sequence of text keys, by the keys
_KEY_IDS: dict[tuple, bytes] = {}


def _keys_id(keys: tuple) -> bytes:
    """The u64 that stands for a dict's (or an object's) text keys in their order: the XXH64 of
    their s-values one after the other."""
    hit = _KEY_IDS.get(keys)
    if hit is None:
        hit = _U64(_xxh64(b"".join(b"s" + _text(k) for k in keys)))
        if len(_KEY_IDS) < 4096:
            _KEY_IDS[keys] = hit
    return hit


def _packed(fields: dict) -> bytes:
    """The digest's bytes of an event's attribute dictionary, as the native encoding writes
    them for what it takes (and so what it hands over when it declines an event)."""
    out = bytearray()
    _encode_dict(fields, 0, out, {id(fields)})
    return bytes(out)


# The classes msgspec writes itself (never through the hook), and so never records here.
_NATIVE_BASES = (int, float, str, bytes, bytearray, memoryview, list, tuple, dict, set,
                 frozenset, _dt.date, _dt.time, _dt.timedelta, uuid.UUID, Decimal,
                 collections.deque, BaseException)


def _classify(t: type) -> tuple:
    """What the native encoding may do with instances of class t without asking again (while
    the class is unchanged): 1, a record written by its attribute dict as `_object_hook` and
    `_encode_value` write it; 2, an enumeration (by member name in the digest, by value in the
    JSON); 3, a dataclass, recorded as a record in the digest and written in the JSON as
    msgspec writes it, the object of its fields (given as a third item) in their order; 4, a
    record whose class has __getattr__ (whether an instance has an `ndim` is then asked of the
    instance); 0, hand the event to the Python encoding."""
    try:
        name = _qualname(t)
        getattribute = _attr(t, "__getattribute__")
        if issubclass(t, enum.Enum):
            return 2, name
        if issubclass(t, type) or issubclass(t, _NATIVE_BASES) or _has(t, "ndim") \
                or getattribute is not object.__getattribute__ \
                or _has(t, "__attrs_attrs__") \
                or _has(t, "__struct_fields__") or not _attr(t, "__dictoffset__"):
            return 0, name
        found = None
        for c in t.__mro__:  # the instance dict is the one the default descriptor reads
            found = vars(c).get("__dict__")
            if found is not None:
                break
        if type(found).__name__ != "getset_descriptor":
            return 0, name
        if not dataclasses.is_dataclass(t):
            return (4 if _has(t, "__getattr__") else 1), name
        fields = dataclasses.fields(t)
        if _has(t, "__getattr__") or not all(f.init and type(f.name) is str for f in fields):
            return 0, name  # msgspec leaves fields out that __init__ does not take
        return 3, name, tuple(f.name for f in fields)
    except Exception:
        return 0, "?"


def event_packed(event: Any) -> tuple[str, bytes]:
    """(event type name, the digest's bytes of the event): the digest is the hash of these
    bytes, event after event. The same values as event_bytes, in a form that is cheaper to
    produce than JSON (numbers as their binary values) and that keeps apart what JSON text
    cannot (NaN and None, text and bytes, lists and tuples)."""
    fields = vars(event)
    return _type_name(fields.get("event_type")), _packed(fields)


_P1, _P2, _P3 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9
_P4, _P5, _M = 0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5, (1 << 64) - 1


def _rotl(x: int, r: int) -> int:
    return ((x << r) | (x >> (64 - r))) & _M


def _round(acc: int, lane: int) -> int:
    return _rotl((acc + lane * _P2) & _M, 31) * _P1 & _M


def xxh64(data: bytes, seed: int = 0) -> int:
    """XXH64 of `data` (the digest's hash, in Python: for checking and for builds without the
    native encoding)."""
    n = len(data)
    i = 0
    if n >= 32:
        v = [(seed + _P1 + _P2) & _M, (seed + _P2) & _M, seed, (seed - _P1) & _M]
        while i + 32 <= n:
            lanes = struct.unpack_from("<4Q", data, i)
            v = [_round(a, b) for a, b in zip(v, lanes)]
            i += 32
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & _M
        for a in v:
            h = ((h ^ _round(0, a)) * _P1 + _P4) & _M
    else:
        h = (seed + _P5) & _M
    h = (h + n) & _M
    while i + 8 <= n:
        h ^= _round(0, struct.unpack_from("<Q", data, i)[0])
        h = (_rotl(h, 27) * _P1 + _P4) & _M
        i += 8
    if i + 4 <= n:
        h ^= struct.unpack_from("<I", data, i)[0] * _P1 & _M
        h = (_rotl(h, 23) * _P2 + _P3) & _M
        i += 4
    while i < n:
        h ^= data[i] * _P5 & _M
        h = _rotl(h, 11) * _P1 & _M
        i += 1
    h ^= h >> 33
    h = h * _P2 & _M
    h ^= h >> 29
    h = h * _P3 & _M
    return h ^ (h >> 32)


try:
    from tiderec._events import xxh64 as _xxh64
except ImportError:
    _xxh64 = xxh64


def stream_hexdigest(stream: bytes) -> str:
    """The digest of a whole stream of event bytes (`event_packed`'s, one after the other)."""
    return "%016x" % xxh64(stream, 0)


class _PythonDigest:
    """The digest without the native encoding: the same bytes and hash, made in Python."""

    def __init__(self, classify: Any, fallback: Any) -> None:
        self._fallback = fallback
        self._stream = bytearray()
        self.declined = 0

    def add(self, fields: dict) -> None:
        if type(fields) is not dict:
            raise TypeError("an event's attribute dict must be a dict, not "
                            f"{type(fields).__name__}")
        self._stream += self._fallback(fields)

    def add_object(self, event: Any) -> None:
        self.add(vars(event))

    def add_line(self, fields: dict, lines: bytearray) -> bool:
        self.add(fields)
        return False

    def update(self, data: bytes) -> None:
        self._stream += data

    def pending(self) -> bytes:
        return bytes(self._stream)

    def flush(self) -> None:
        pass

    def hexdigest(self) -> str:
        return stream_hexdigest(bytes(self._stream))


def _line_head(etype: Any) -> tuple[bytes, bool]:
    """The beginning of an event line for events of type `etype`, {"event":"Name","source":,
    and whether it may be kept by the identity of `etype` (an enumeration member, which lives as
    long as its class)."""
    head = b'{"event":%s,"source":' % _dumps(_type_name(etype)).encode()
    return head, hasattr(type(etype), "__members__")


def event_json(event: Any) -> tuple[str, str]:
    """(event type name, the event's reduction as compact JSON text)."""
    name, body = event_bytes(event)
    return name, body.decode()


class EventStream:
    """Takes every published event in order: hashes it into the digest and, when `path` is
    given, writes it as one line {"event": type, "source": what caused it, "fields": {...}}
    (gzip-compressed when the name ends in ".gz"). Each event is encoded once, for both."""

    def __init__(self, path: str | os.PathLike | None = None, session: str = "") -> None:
        """`session`: the session file whose line numbers `add` may be given as sources."""
        make = _NativeDigest if _NativeDigest is not None else _PythonDigest
        self._digest = make(_classify, _packed)
        self.count = 0
        self._out: IO[bytes] | None = None
        # an event line's beginning, by the identity of the event type (kept with it)
        self._heads: dict[int, tuple[Any, bytes]] = {}
        self._lines = bytearray()  # event lines not yet written
        # "session:" as the inside of a JSON string, for sources given as line numbers
        self._session = _dumps(session + ":").encode()[:-1]
        # the whole line in one call: head, source and fields written by the native encoding
        self._add_event = getattr(self._digest, "add_event", None)
        if self._add_event is not None:
            self._digest.line_parts(_line_head, self._session)
        self._deflate: Any = None
        if path is not None:
            path = os.fspath(path)
            self._out = open(path, "wb")
            if path.endswith(".gz"):
                self._deflate = _gzip_compressor()

    @property
    def buffer(self) -> bytes:
        """The digest's bytes not yet hashed."""
        return self._digest.pending()

    def add(self, event: Any, source: str | int) -> None:
        """Adds an event to the digest and, with a file, writes its line; `source` is what
        caused it: a text, or the number of a line of the session."""
        self.count += 1
        if self._out is None:
            self._digest.add_object(event)
            return
        lines = self._lines
        if self._add_event is not None:
            done = self._add_event(event, source, lines)
            if done is not None:
                if not done:  # the digest has the event; its fields' JSON is written here
                    lines += _fields_json(vars(event))
                    lines += b'}\n'
                if len(lines) >= HASH_CHUNK:
                    self._write_lines()
                return
        fields = vars(event)
        etype = fields.get("event_type")
        hit = self._heads.get(id(etype))
        if hit is None or hit[0] is not etype:
            head = b'{"event":%s,"source":' % _dumps(_type_name(etype)).encode()
            hit = (etype, head)
            if hasattr(type(etype), "__members__") and len(self._heads) < 1024:
                self._heads[id(etype)] = hit  # a member lives as long as its enumeration
        lines += hit[1]
        if type(source) is int:
            lines += b'%s%d"' % (self._session, source)
        else:
            lines += _dumps(source).encode()
        lines += b',"fields":'
        if not self._digest.add_line(fields, lines):
            lines += _fields_json(fields)
        lines += b'}\n'
        if len(lines) >= HASH_CHUNK:
            self._write_lines()

    def _write_lines(self) -> None:
        lines = self._lines
        self._out.write(lines if self._deflate is None  # type: ignore[union-attr]
                        else self._deflate.compress(lines))
        lines.clear()

    def append(self, fields: dict) -> None:
        """Adds one event's attribute dictionary to the digest (not to `count`)."""
        self._digest.add(fields)

    def hasher(self) -> Any:
        """For a caller that feeds the digest itself, event by event, as `add` does (the
        consumer, which saves calls per event that way): `add(event)`, which adds an event (its
        attribute dictionary, read without making one where the interpreter has not) to the
        digest. The caller adds to `count` the events it added."""
        return self._digest.add_object

    def flush(self) -> None:
        """Hashes the encoded events not yet hashed (the digest does not depend on when)."""
        self._digest.flush()

    def hexdigest(self) -> str:
        return self._digest.hexdigest()

    def close(self) -> None:
        if self._out is not None:
            try:
                if self._lines:
                    self._write_lines()
                if self._deflate is not None:
                    self._out.write(self._deflate.flush())
            finally:
                self._out.close()
                self._out = None


# Event files are large (about 700 bytes an event) and written during the replay: compressed
# fast rather than small. ISA-L (the "fast" extra of tiderec) at its level 2 takes about 3 % of
# the time of zlib's default level 9 for a file 1.5 times the size; zlib at level 1 about 12 %.
EVENT_FILE_LEVEL_ISAL = 2
EVENT_FILE_LEVEL_ZLIB = 1


def _gzip_compressor() -> Any:
    """A compressor writing one gzip member (header without a time stamp, so that equal event
    streams give equal files)."""
    try:
        from isal import isal_zlib
    except ImportError:
        import zlib
        return zlib.compressobj(EVENT_FILE_LEVEL_ZLIB, zlib.DEFLATED, 31)
    return isal_zlib.compressobj(EVENT_FILE_LEVEL_ISAL, isal_zlib.DEFLATED, 31)


class EventFileError(ValueError):
    """An event file that cannot be read: names the file and the line."""

    def __init__(self, path: str, line: int, message: str) -> None:
        super().__init__(f"{path}:{line}: {message}" if line else f"{path}: {message}")
        self.path, self.line, self.message = path, line, message


def read_events(path: str | os.PathLike) -> Iterator[tuple[int, str, str, str]]:
    """(line number, event type, source, fields as canonical JSON text) of each event in an
    event file written by `EventStream`."""
    path = os.fspath(path)
    with open(path, "rb") as raw:
        gz = raw.peek(2)[:2] == b"\x1f\x8b"
        f: IO[bytes] = gzip.GzipFile(fileobj=raw) if gz else raw  # type: ignore[assignment]
        text = io.TextIOWrapper(f, encoding="utf-8", errors="strict")
        n = 0
        try:
            for n, line in enumerate(text, 1):
                if not line.strip():
                    continue
                try:
                    obj = json.loads(line)
                except ValueError as exc:
                    raise EventFileError(path, n, f"not an event line: {exc}") from None
                if type(obj) is not dict or type(obj.get("event")) is not str \
                        or type(obj.get("fields")) is not dict:
                    raise EventFileError(path, n, 'not an event line: expected {"event": ..., '
                                                  '"source": ..., "fields": {...}}')
                yield n, obj["event"], str(obj.get("source", "")), _dumps(obj["fields"])
        except (OSError, EOFError, UnicodeDecodeError) as exc:
            raise EventFileError(path, n + 1, f"cannot read: {exc}") from None

"""The published event stream as plain data: its digest, the event file, and the signatures
that round-trip tests compare.

An event is reduced to its type name and its fields in order, each value to plain data:
records and other objects by their type name and attributes (so the stand-ins' records compare
by the values they were built from, and live objects such as accounts by their state, never by
identity or address), enumeration members by name, floats by their shortest repr. The digest
is a BLAKE2b hash of those reductions, one per event in publication order: it does not depend
on timing, on the consumer's batch size, on the machine or on the session's line numbers.

The digest (definition DIGEST_VERSION 2) is the 128-bit BLAKE2b of the events' reductions as
MessagePack, one after the other in publication order (`event_packed`): each
event's attribute dictionary as it is, its `event_type` member included (by value), and every
record or other object as the pair [type name, attributes]. Each event is encoded straight into
one growing buffer that is hashed a large piece at a time, so the digest costs one encoding
pass per event and no object per event. Definition 1 (before) hashed, per event, the type
name, a NUL byte and the fields without `event_type` with objects as {"$type", "fields"}
maps. BLAKE2b rather than SHA-256: SHA-256 is cheaper only on processors with SHA
instructions (about 0.55 against 1.3 ns a byte on the development machine, but several times
dearer without them, and under valgrind), and the digest's cost should not depend on the
machine. The event file writes the reduction as JSON (`event_bytes`).
"""
from __future__ import annotations

import collections
import datetime as _dt
import enum
import gzip
import hashlib
import io
import json
import os
from typing import IO, Any, Iterator

import msgspec

MAX_DEPTH = 50
HASH_BATCH = 256  # (kept for callers of earlier versions)
DIGEST_VERSION = 2  # the definition of the digest, as a summary carries it
HASH_CHUNK = 1 << 16  # bytes of encoded events hashed at a time

_dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode


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


def plain_json(v: Any, depth: int = 0) -> Any:
    """A value as JSON-ready data with the same reductions as the digest uses. Values JSON
    cannot hold as they are become one-key objects (NaN and infinities are written as JSON
    extensions NaN and Infinity): {"$enum": "Type.Member"},
    {"$tuple": [...]}, {"$map": [[k, v], ...]}, {"$datetime": iso}, {"$type": name, "fields"...}."""
    t = type(v)
    if v is None or t is str or t is bool or t is int:
        return v
    if t is float:
        return v
    if depth > MAX_DEPTH:
        return {"$deep": t.__qualname__}
    if t is list:
        return [plain_json(x, depth + 1) for x in v]
    if t is tuple or t is collections.deque:
        return {"$" + t.__name__: [plain_json(x, depth + 1) for x in v]}
    if t is dict:
        if all(type(k) is str and k[:1] != "$" for k in v):
            return {k: plain_json(x, depth + 1) for k, x in v.items()}
        return {"$map": [[plain_json(k, depth + 1), plain_json(x, depth + 1)] for k, x in v.items()]}
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
    item = getattr(v, "item", None)  # numpy scalars and arrays
    if item is not None and getattr(v, "ndim", None) == 0:
        return plain_json(item(), depth + 1)
    tolist = getattr(v, "tolist", None)
    if tolist is not None and hasattr(v, "ndim"):
        return {"$array": plain_json(tolist(), depth + 1)}
    d = getattr(v, "__dict__", None)
    if d is not None and not isinstance(v, type):
        return {"$type": t.__qualname__,
                "fields": {k: plain_json(x, depth + 1) for k, x in d.items()}}
    slots = [s for c in t.__mro__ for s in getattr(c, "__slots__", ()) if hasattr(v, s)]
    if slots:
        return {"$type": t.__qualname__, "fields": {s: plain_json(getattr(v, s), depth + 1)
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


def _digest_hook(v: Any) -> Any:
    """What the digest's encoder cannot write itself: the same reduction as `_object_hook`,
    an object with an attribute dictionary as the pair (type name, attributes), which costs
    less to write than a map of two keys. The same answer whether or not the type is known
    already, so that the digest never depends on what was encoded before."""
    t = type(v)
    known = _PLAIN_TYPES.get(id(t))
    if known is not None and known[0] is t:
        d = v.__dict__
        if "ndim" not in d:
            return (known[1], d)
    r = _object_hook(v)
    if type(r) is dict and len(r) == 2 and r.get("fields") is getattr(v, "__dict__", r) \
            and "$type" in r:
        return (r["$type"], r["fields"])
    return r


def event_bytes(event: Any) -> tuple[str, bytes]:
    """(event type name, the event's reduction as compact JSON, UTF-8).

    The fast path writes lists, dicts, numbers, text, dates and enumeration members (by value)
    natively and objects through `_object_hook`; a value it refuses (a key JSON cannot hold, a
    cycle) takes the slower `plain_json` path, which is as deterministic."""
    fields = vars(event).copy()
    etype = fields.pop("event_type", None)
    name = _type_name(etype)
    try:
        return name, _fast_encode(fields)
    except (TypeError, ValueError, RecursionError, OverflowError):
        return name, _dumps({k: plain_json(v) for k, v in fields.items()}).encode()


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


def _json_body(fields: dict) -> bytes:
    try:
        return _fast_encode(fields)
    except (TypeError, ValueError, RecursionError, OverflowError):
        return _dumps({k: plain_json(v) for k, v in fields.items()}).encode()


_digest_encoder = msgspec.msgpack.Encoder(enc_hook=_digest_hook)
_fast_pack = _digest_encoder.encode
_pack = msgspec.msgpack.Encoder().encode
_ENCODER_ERRORS = (TypeError, ValueError, RecursionError, OverflowError)


def _packed(fields: dict) -> bytes:
    """The digest's reduction of an attribute dictionary: the fast encoding, or, for what it
    refuses (a key MessagePack cannot hold, a cycle, an integer beyond 64 bits), the plain-data
    walk, as deterministic."""
    try:
        return _fast_pack(fields)
    except _ENCODER_ERRORS:
        return _pack(_in_64_bits({k: plain_json(v) for k, v in fields.items()}))


def _in_64_bits(v: Any) -> Any:
    """Plain data with every integer MessagePack cannot hold as {"$int": its decimal text}."""
    t = type(v)
    if t is int:
        return v if -2 ** 63 <= v < 2 ** 64 else {"$int": str(v)}
    if t is list:
        return [_in_64_bits(x) for x in v]
    if t is dict:
        return {k: _in_64_bits(x) for k, x in v.items()}
    return v


def event_packed(event: Any) -> tuple[str, bytes]:
    """(event type name, the event's reduction as MessagePack): the digest is the hash of these
    bytes, event after event. The same values as event_bytes, written in a form that is
    cheaper to produce than JSON (numbers as their binary values) and that keeps apart what
    JSON text cannot (NaN and None, text and bytes)."""
    fields = vars(event)
    return _type_name(fields.get("event_type")), _packed(fields)


def event_json(event: Any) -> tuple[str, str]:
    """(event type name, the event's reduction as compact JSON text)."""
    name, body = event_bytes(event)
    return name, body.decode()


class EventStream:
    """Takes every published event in order: hashes it into the digest and, when `path` is
    given, writes it as one line {"event": type, "source": what caused it, "fields": {...}}
    (gzip-compressed when the name ends in ".gz")."""

    def __init__(self, path: str | os.PathLike | None = None, session: str = "") -> None:
        """`session`: the session file whose line numbers `add` may be given as sources."""
        self._hash = hashlib.blake2b(digest_size=16)
        self.count = 0
        self._out: IO[bytes] | None = None
        # an event line's beginning, by the identity of the event type (kept with it)
        self._heads: dict[int, tuple[Any, bytes]] = {}
        # the encoded events not yet hashed; hashing the pieces joined equals hashing them
        # one by one, so when the buffer is hashed does not change the digest
        self.buffer = bytearray()
        self._lines = bytearray()  # event lines not yet written
        # "session:" as the inside of a JSON string, for sources given as line numbers
        self._session = _dumps(session + ":").encode()[:-1]
        self._deflate: Any = None
        if path is not None:
            path = os.fspath(path)
            self._out = open(path, "wb")
            if path.endswith(".gz"):
                self._deflate = _gzip_compressor()

    def add(self, event: Any, source: str | int) -> None:
        """Adds an event to the digest and, with a file, writes its line; `source` is what
        caused it: a text, or the number of a line of the session."""
        fields = vars(event)
        buf = self.buffer
        n = len(buf)
        try:
            _digest_encoder.encode_into(fields, buf, -1)
        except _ENCODER_ERRORS:
            del buf[n:]
            buf += _packed(fields)
        self.count += 1
        if self._out is not None:
            self._line(fields, source)
        if len(buf) >= HASH_CHUNK:
            self.flush()

    def _line(self, fields: dict, source: str | int) -> None:
        fields = fields.copy()
        etype = fields.pop("event_type", None)
        hit = self._heads.get(id(etype))
        if hit is None or hit[0] is not etype:
            head = b'{"event":%s,"source":' % _dumps(_type_name(etype)).encode()
            hit = (etype, head)
            if hasattr(type(etype), "__members__") and len(self._heads) < 1024:
                self._heads[id(etype)] = hit  # a member lives as long as its enumeration
        lines = self._lines
        lines += hit[1]
        if type(source) is int:
            lines += b'%s%d"' % (self._session, source)
        else:
            lines += _dumps(source).encode()
        lines += b',"fields":'
        n = len(lines)
        try:
            _json_encoder.encode_into(fields, lines, -1)
        except _ENCODER_ERRORS:
            del lines[n:]
            lines += _dumps({k: plain_json(v) for k, v in fields.items()}).encode()
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
        buf = self.buffer
        n = len(buf)
        try:
            _digest_encoder.encode_into(fields, buf, -1)
        except _ENCODER_ERRORS:
            del buf[n:]  # whatever the refused encoding left
            buf += _packed(fields)
        if len(buf) >= HASH_CHUNK:
            self.flush()

    def hasher(self) -> tuple[bytearray, Any, Any]:
        """For a caller that feeds the digest itself, event by event, as `add` does (the
        consumer, which saves calls per event that way): the buffer of encoded events not yet
        hashed, `encode_into(fields, buffer, -1)`, which appends an event's attribute
        dictionary, and `append(fields)`, what to call instead when that raises TypeError,
        ValueError, RecursionError or OverflowError (after cutting the buffer back to its
        length before the call). The caller adds to `count` the events it added, and calls
        `flush()` once the buffer holds HASH_CHUNK bytes or more."""
        return self.buffer, _digest_encoder.encode_into, self.append

    def flush(self) -> None:
        """Hashes the encoded events not yet hashed."""
        if self.buffer:
            self._hash.update(self.buffer)
            self.buffer.clear()

    def hexdigest(self) -> str:
        self.flush()
        return self._hash.hexdigest()

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

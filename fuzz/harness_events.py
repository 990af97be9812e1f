"""The replay's native event encoding (tiderec._events.EventDigest, as the event stream feeds
it) against the Python encoding of the digest and the event file.

The input is a recipe of a few events' attribute dicts: plain values of every kind (None,
booleans, integers of any size, floats of any bits, texts with any code point, lone surrogates
included, bytes, naive and aware date-times), lists, tuples and dicts (keys of any kind),
enumeration members, records (plain, with __getattr__, with an `ndim`, whose attributes raise
on reading), dataclasses, and values that refer to themselves. Each event goes through the
native encoder twice, for the digest alone and with its event file line: the digest bytes must
be those of the Python encoding (`_packed`), and a line the encoder writes must be the one the
Python encoding writes (`_json_body`); what it declines is handed to the Python encoding, and
nothing else may come out of it but those. Each event is also built as an object, its fields
set as attributes, and given to the encoder whole (`add_object`, which reads the attributes
where the interpreter keeps them): the same digest bytes as its attribute dict's.
"""
from __future__ import annotations

import dataclasses
import datetime as dt
import enum
import struct
from typing import Any

from tidesim.replay import digest

from common import Failure

try:
    from tiderec._events import EventDigest
except ImportError:
    raise SystemExit("tiderec._events is not built: nothing to fuzz") from None


class Kind(enum.Enum):
    TICK = "tick"
    TRADE = 2
    PAIR = (1, 2)


class Side(enum.IntEnum):
    BUY = 1


class Rec:
    pass


class Ev:
    pass


class Hooked:
    def __getattr__(self, name):
        if name == "ndim" and self.__dict__.get("array_like"):
            return 0
        raise AttributeError(name)


class Raises:
    def __getattr__(self, name):
        raise RuntimeError("attributes raise")


@dataclasses.dataclass
class Point:
    x: Any
    y: Any = 0.0


KEYS = ["last_price", "volume", "event_type", "asks", "dé", "$type", ""]
T0 = dt.datetime(2026, 1, 5, 9, 30)


class Recipe:
    """The input's bytes, read a few at a time (zeros once they run out)."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.i = 0

    def take(self, n: int) -> bytes:
        got = self.data[self.i:self.i + n]
        self.i += n
        return got + bytes(n - len(got))

    def byte(self) -> int:
        return self.take(1)[0]

    def more(self) -> bool:
        return self.i < len(self.data)


def text(r: Recipe) -> str:
    n = r.byte() % 6
    if r.byte() % 4 == 0:
        return KEYS[n % len(KEYS)]
    return "".join(chr(struct.unpack("<H", r.take(2))[0] % 0x1100) for _ in range(n))


def value(r: Recipe, depth: int = 0, seen: list | None = None) -> Any:
    seen = [] if seen is None else seen
    k = r.byte() % (24 if depth < 6 else 12)
    if k == 0:
        return None
    if k == 1:
        return r.byte() % 2 == 0
    if k == 2:
        return struct.unpack("<q", r.take(8))[0]
    if k == 3:
        return int.from_bytes(r.take(12), "little", signed=True)
    if k in (4, 5):
        return struct.unpack("<d", r.take(8))[0]
    if k == 6:
        return r.byte() / 4
    if k == 7:
        return text(r)
    if k == 8:
        return bytes(r.take(r.byte() % 4))
    if k == 9:
        return T0 + dt.timedelta(microseconds=struct.unpack("<I", r.take(4))[0])
    if k == 10:
        return [Kind.TICK, Kind.TRADE, Kind.PAIR, Side.BUY][r.byte() % 4]
    if k == 11:
        return seen[r.byte() % len(seen)] if seen else "none seen"
    if k == 12:
        aware = dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc)
        return aware if r.byte() % 2 else dt.date(2026, 1, 5)
    n = r.byte() % 5
    if k in (13, 14):
        v: Any = []
        seen.append(v)
        v.extend(value(r, depth + 1, seen) for _ in range(n))
        return v if k == 13 else tuple(v)
    if k in (15, 16):
        d: dict = {}
        seen.append(d)
        for _ in range(n):
            key = text(r) if k == 15 else value(r, 7, seen)
            try:
                d[key] = value(r, depth + 1, seen)
            except TypeError:  # an unhashable key
                pass
        return d
    if k in (17, 18, 19, 20):
        o = [Rec, Hooked, Raises, Rec][k - 17]()
        seen.append(o)
        for i in range(n):
            setattr(o, text(r) or f"f{i}", value(r, depth + 1, seen))
        if k == 20:
            o.ndim = 0
        if k == 18 and r.byte() % 3 == 0:
            o.array_like = True
        return o
    if k == 21:
        return Point(value(r, depth + 1, seen), value(r, depth + 1, seen))
    if k == 22:
        deep: Any = value(r, 7, seen)
        for _ in range(40 + r.byte() % 20):
            deep = [deep]
        return deep
    return str(text(r))


def event(r: Recipe) -> dict:
    fields = {}
    for _ in range(1 + r.byte() % 5):
        fields[text(r)] = value(r)
    fields["event_type"] = Kind.TICK if r.byte() % 2 else Side.BUY
    return fields


def events(data: bytes) -> None:
    r = Recipe(data)
    n = 0
    while r.more() and n < 12:
        n += 1
        fields = event(r)
        want = digest._packed(fields)
        for with_line in (False, True):
            enc = EventDigest(digest._classify, digest._packed)
            lines = bytearray()
            took = enc.add_line(fields, lines) if with_line else enc.add(fields)
            got = enc.pending()
            if got != want:
                raise Failure(f"the native digest bytes {got[:120]!r}... differ from the Python "
                              f"encoding's {want[:120]!r}... for {fields!r:.300}")
            if with_line and took:
                body = {k: v for k, v in fields.items() if k != "event_type"}
                line = digest._json_body(body)
                if bytes(lines) != line:
                    raise Failure(f"the native line {bytes(lines)[:200]!r} differs from the "
                                  f"Python encoding's {line[:200]!r}")
            elif with_line and lines:
                raise Failure(f"a declined event left {bytes(lines)[:100]!r} in the lines")
        # the event as an object whose attributes the interpreter keeps in its values array
        # (read from there once its class's names are learned: twice, so the second is)
        enc = EventDigest(digest._classify, digest._packed)
        for _ in range(2):
            ev = Ev()
            for k, v in fields.items():
                setattr(ev, k, v)
            start = len(enc.pending())
            enc.add_object(ev)
            got = enc.pending()[start:]
            want = digest._packed(dict(vars(ev)))
            if got != want:
                raise Failure(f"the native digest bytes of an event object {got[:120]!r}... "
                              f"differ from the Python encoding's {want[:120]!r}... for "
                              f"{fields!r:.300}")

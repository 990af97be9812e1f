"""The recorder's native line encoder (tiderec._capture.LineEncoder, as the writer drains its
hand-off) against the recorder's Python encoder.

The input is a recipe of a few captured callbacks in the form the native capture hands them
over: a time (a float on the wall clock, a naive date-time or a text), a callback's name, and
its arguments: records (dicts of copied fields, their keys mostly from a small pool so that
shapes repeat, sometimes a key of another kind), lists, and plain values of every kind the
encoder meets (None, booleans, integers of any size, floats of any bits, texts with any code
point, lone surrogates included, enumeration members, date-times, Decimals, nested lists).
Drained through the native encoder, with every entry it hands back encoded in Python in its
place, the lines must be byte for byte what the Python encoder writes for the same entries. One
recorder serves every input, so the encoder's learned shapes and tables persist as in a day.
"""
from __future__ import annotations

import collections
import datetime as dt
import decimal
import os
import struct
import tempfile
from typing import Any

import tidesim
from tiderec import recorder as recorder_module
from tiderec._capture import finish_lines
from tiderec.recorder import SessionRecorder
from tiderec.schema import SDK_CALLBACKS

from common import Failure

tidesim.install()
if recorder_module._native is None:
    raise SystemExit("tiderec._capture is not built: nothing to fuzz")

from pyvorn.enums import MarketType, OrderStatusType  # noqa: E402

KEYS = ["last_price", "volume", "security_id", "orig_time", "bid_price", "ask_volume", "status",
        "open_price", "num_trades", "md_stream_id"]
NAMES = sorted(SDK_CALLBACKS)
MEMBERS = list(MarketType) + list(OrderStatusType)
T0 = dt.datetime(2026, 1, 5, 9, 30)

_dir = tempfile.mkdtemp(prefix="fuzz-encoder-")
_rec = SessionRecorder(os.path.join(_dir, "out.jsonl"), universe=[], instruments={})


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
    n = r.byte() % 12
    kind = r.byte() % 4
    raw = r.take(n)
    if kind == 0:
        return raw.decode("latin-1")
    if kind == 1:
        return raw.decode("utf-8", "surrogateescape")  # lone surrogates for bytes >= 0x80
    if kind == 2:
        return "".join(chr(0x80 + b * 257 % 0x10F000) for b in raw)
    return "null" if n % 2 else '"\\\u2028'


def value(r: Recipe, depth: int = 0) -> Any:
    kind = r.byte() % (14 if depth < 3 else 11)
    if kind == 0:
        return None
    if kind == 1:
        return bool(r.byte() & 1)
    if kind == 2:
        return struct.unpack("<b", r.take(1))[0]
    if kind == 3:
        return struct.unpack("<q", r.take(8))[0]
    if kind == 4:
        return int.from_bytes(r.take(12), "little", signed=True)  # beyond 64 bits
    if kind == 5:
        return struct.unpack("<d", r.take(8))[0]  # any bits: NaN, infinities, subnormals
    if kind == 6:
        return int.from_bytes(r.take(4), "little") / 10 ** (r.byte() % 7)  # a price
    if kind == 7:
        return text(r)
    if kind == 8:
        return MEMBERS[r.byte() % len(MEMBERS)]
    if kind == 9:
        return T0 + dt.timedelta(microseconds=int.from_bytes(r.take(4), "little"))
    if kind == 10:
        return decimal.Decimal(struct.unpack("<h", r.take(2))[0]) / 100
    if kind == 11:
        return [value(r, depth + 1) for _ in range(r.byte() % 5)]
    if kind == 12:
        return record(r, depth + 1)
    return (value(r, depth + 1),)


def record(r: Recipe, depth: int = 0) -> dict:
    fields: dict = {}
    for _ in range(r.byte() % 8):
        k = r.byte()
        key: Any = KEYS[k % len(KEYS)] if k < 224 else text(r) if k < 248 else k
        fields[key] = value(r, depth)
    return fields


def entry(r: Recipe) -> tuple:
    form = r.byte()
    if form % 3 == 0:
        t: Any = 1.7676e9 + int.from_bytes(r.take(4), "little") / 1000
    elif form % 3 == 1:
        t = T0 + dt.timedelta(microseconds=int.from_bytes(r.take(5), "little"))
    else:
        t = "2026-01-05T09:30:00." + str(r.byte())
    name = NAMES[r.byte() % len(NAMES)]
    n = 1 + r.byte() % 3 if form & 8 else 1
    args = tuple(record(r) if r.byte() % 4 else value(r) for _ in range(n))
    kwargs = {"extra": value(r)} if form & 16 and form & 32 else None
    return (t, name, args, kwargs)


def python_line(item: tuple) -> bytes | None:
    try:
        return _rec._encode_item(item) + b"\n"
    except Exception:  # an entry the recorder itself cannot write: left out of the comparison
        return None


def encoder(data: bytes) -> None:
    r = Recipe(data)
    items, want = [], []
    while r.more() and len(items) < 16:
        item = entry(r)
        line = python_line(item)
        if line is not None:
            items.append(item)
            want.append(line)
    q = collections.deque(items)
    got = []
    limit = 1 + data[0] % 7 if data else 1
    while q:
        text_, n, other = _rec._lines.drain(q, limit, 1 << 16)
        text_ = finish_lines(text_)  # the numbers left as holes, written out as the writer does
        held = text_.count(b"\n")
        if held != n:
            raise Failure(f"the native batch says {n} lines and holds {held}")
        got.append(text_)
        if other is not None:
            got.append(_rec._encode_item(other) + b"\n")
    if b"".join(got) != b"".join(want):
        g, w = b"".join(got).split(b"\n"), b"".join(want).split(b"\n")
        first = next(i for i, (a, b) in enumerate(zip(g, w)) if a != b) if len(g) == len(w) else 0
        raise Failure(f"the native encoder wrote {g[first]!r} where the Python encoder writes "
                      f"{w[first]!r}")

"""The recorder's native capture (tiderec._capture, the methods recording_strategy installs)
with hostile records, against the Python capture.

The input is a recipe: its bytes choose the callback and build its arguments from records of
the kinds below (plain records, records with slots, records whose properties raise or change
other records and the list being captured while it is copied, records whose __dict__ is not
their instance dict, dict subclasses, deep nesting, order reports under keys whose hash and
comparison run Python code). The recipe is built four times: twice for a strategy class whose
methods are the native capture (the first call of a type teaches the capture, the second is
native), twice for one whose methods are the Python capture alone. Every call must reach the
strategy with its own arguments, raise exactly what the Python capture lets out (an interrupt
raised by a record, say), and the two sides must hand the same
entries to the writer, compared as the writer encodes them (the native side's common entries
are lines the capture made).

With bit 1 of the recipe's first byte, both sides record on the wall clock into a recorder with
room for one captured callback, so that the second call is dropped and counted (the counts
must agree). With the first byte 1 modulo 4, the native methods are also called from several threads at
once while another thread keeps changing the records: each call must be recorded exactly once
and nothing may fail.
"""
from __future__ import annotations

import datetime as dt
import re
import sys
import threading
import types
from typing import Any

import tidesim
from tiderec import recorder as recorder_module
from tiderec.recorder import SessionRecorder, _captors, recording_strategy

from common import Failure, known

tidesim.install()
if not recorder_module.NATIVE_CAPTURE:
    raise SystemExit("tiderec._capture is not built: nothing to fuzz")

T0 = dt.datetime(2026, 1, 5, 9, 30)


class Interrupt(BaseException):
    """Raised by a record as an interrupt would be: never to be swallowed by a capture."""


class Recipe:
    """The input's bytes, read one at a time (zeros once they run out)."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.i = 0
        self.effects = False  # a record whose reads change something was made

    def byte(self) -> int:
        i = self.i
        self.i += 1
        return self.data[i] if i < len(self.data) else 0

    def more(self) -> bool:
        return self.i < len(self.data)


class Plain:
    """A record with an instance dict (copied by the native capture itself)."""


class Slotted:
    __slots__ = ("security_id", "last_price", "volume", "_hidden")


class Hostile:
    """A record without public slots or dict: its fields are its properties, which may raise,
    raise an interrupt the first time, or change what else is being captured."""

    __slots__ = ("_mode", "_target", "_reads")

    def _read(self, value: Any) -> Any:
        self._reads += 1
        mode, target = self._mode, self._target
        if mode == 1:
            raise RuntimeError("the SDK could not read this field")
        if mode == 2 and self._reads == 1:
            raise Interrupt()
        if mode == 3 and type(target) is list:
            del target[:]  # the list being captured empties
        elif mode == 4 and type(target) is list:
            target.append(Plain())
        elif mode == 5 and hasattr(target, "__dict__"):
            vars(target).clear()  # a record captured after this one loses its fields
        elif mode == 6 and hasattr(target, "__dict__"):
            for i in range(20):
                setattr(target, f"f{i}", i)
        return value

    @property
    def price(self) -> Any:
        return self._read(1.5)

    @property
    def volume(self) -> Any:
        return self._read(100)


class Masked:
    """A record whose __dict__ attribute is not its instance dict."""

    @property
    def __dict__(self) -> Any:  # type: ignore[override]
        return {"shown": 1}


class FieldDict(dict):
    """A dict subclass as an argument (kept, not copied, by the capture)."""


class Key:
    """An order key whose hash and comparison run Python code; with `mutate`, they change the
    bridge's orders as they run."""

    def __init__(self, n: int, mutate: int) -> None:
        self.n = n
        self.mutate = mutate

    def __hash__(self) -> int:
        if self.mutate == 1:
            BRIDGE.orders_dict.clear()
        elif self.mutate == 2:
            raise RuntimeError("unhashable today")
        return hash(self.n)

    def __eq__(self, other: object) -> bool:
        if self.mutate == 3:
            BRIDGE.orders_dict[len(BRIDGE.orders_dict) + 1000] = Plain()
        return isinstance(other, Key) and other.n == self.n

    def __repr__(self) -> str:
        return f"Key({self.n})"


class HashedMeta(type):
    """A metaclass whose instances' (the record types') hash runs Python code."""

    def __hash__(cls) -> int:
        return id(cls) >> 4


class OddType(metaclass=HashedMeta):
    pass


def value(r: Recipe, depth: int, holder: list, records: list) -> Any:
    """One value of the recipe: `holder` is the list being built around it (a target for
    records that change it), `records` every record made so far."""
    k = r.byte()
    kind = k % 16
    if kind <= 2 or depth > 40:
        return [None, True, 7, -2.5, "600001", "", 1 << 70, float("nan")][k // 16 % 8]
    if kind == 3:
        rec = Plain()
        for i in range(r.byte() % 6):
            setattr(rec, f"f{i}", value(r, depth + 1, holder, records))
        records.append(rec)
        return rec
    if kind == 4:
        rec = Slotted()
        bits = r.byte()
        if bits & 1:
            rec.security_id = "000001"
        if bits & 2:
            rec.last_price = value(r, depth + 1, holder, records)
        if bits & 4:
            rec.volume = bits
        if bits & 8:
            rec._hidden = "x"
        return rec
    if kind == 5:
        rec = Hostile()
        rec._mode = r.byte() % 7
        r.effects |= rec._mode >= 2
        rec._reads = 0
        rec._target = holder if r.byte() & 1 or not records else records[-1]
        return rec
    if kind == 6:
        rec = Masked()
        rec.real = value(r, depth + 1, holder, records)
        return rec
    if kind == 7:
        return FieldDict(a=value(r, depth + 1, holder, records))
    if kind == 8:  # nested lists (left to the Python capture), deep as the recipe says
        out: list = []
        for _ in range(1 + r.byte() % 3):
            out.append(value(r, depth + 1, out, records))
        return out
    if kind == 9:
        return {"a": value(r, depth + 1, holder, records)}
    if kind == 10:
        return OddType()
    if kind == 11:
        return types.SimpleNamespace(security_id="600001", last_price=r.byte() / 4,
                                     bid=[1.0, 2.0])
    if kind == 12:  # a record holding a deep structure (copied one level)
        rec = Plain()
        deep: Any = 1
        for _ in range(r.byte()):
            deep = [deep]
        rec.deep = deep
        records.append(rec)
        return rec
    return (1, "x", value(r, depth + 1, holder, records))


class Base:
    def __init__(self) -> None:
        self.calls: list = []

    def on_snapshot(self, snapshot):
        self.calls.append((snapshot,))

    def on_query_position(self, query_position_res, request_id, code, msg):
        self.calls.append((query_position_res, request_id, code, msg))

    def on_order(self, order):
        self.calls.append((order,))


BRIDGE = types.ModuleType(recorder_module.BRIDGE_MODULE)
BRIDGE.orders_dict = {}
sys.modules[recorder_module.BRIDGE_MODULE] = BRIDGE


def make_call(r: Recipe) -> tuple[str, tuple, dict]:
    """The callback, its arguments and the bridge's orders of one recipe (read from its
    start each time, so the four copies are alike)."""
    r.i = 1
    records: list = []
    which = r.byte() % 4
    orders: dict = {}
    if which == 0:
        return "on_snapshot", (value(r, 0, [], records),), orders
    if which == 1:
        arg: list = []
        for _ in range(r.byte() % 6):
            arg.append(value(r, 1, arg, records))
        return "on_query_position", (arg, r.byte(), 0, "ok"), orders
    if which == 2:  # an order report for an order the bridge holds (or not)
        key: Any = Key(r.byte() % 3, r.byte() % 4) if r.byte() & 1 else r.byte() % 3
        report = Plain()
        report.client_order_id = key
        for i in range(r.byte() % 3):
            orders[Key(i, 0) if r.byte() & 1 else i] = Plain()
        return "on_order", (report,), orders
    rec = Plain()  # a record with many fields
    for i in range(r.byte()):
        setattr(rec, f"field_{i}", i)
    return "on_snapshot", (rec,), orders


def new_side(native: bool, full: bool = False) -> tuple[SessionRecorder, Any]:
    """A recorder and a strategy recording into it, natively or in Python alone; with `full`,
    on the wall clock and with room for one captured callback only (the rest are dropped and
    counted)."""
    import io
    saved = recorder_module._native
    if not native:
        recorder_module._native = None
    try:
        rec = SessionRecorder(io.BytesIO(), now=None if full else lambda: T0, universe=[],
                              instruments={}, max_pending=1 if full else 100_000)
        cls = recording_strategy(Base, rec)
    finally:
        recorder_module._native = saved
    # started without its writer thread: what is captured stays in the queue to be compared
    rec._started = True
    return rec, cls()


NATIVE_REC, NATIVE = new_side(True)
PYTHON_REC, PYTHON = new_side(False)
FULL = (new_side(True, True), new_side(False, True))
_WALL_TIME = re.compile(rb'^\{"t":"[^"]*"')
assert type(type(NATIVE).__dict__["on_snapshot"]).__name__ == "Capture"


def call(strategy: Any, rec: SessionRecorder, r: Recipe) -> tuple[list, list]:
    """Two calls of the recipe's callback; what each raised, and what reached the strategy."""
    raised = []
    rec._orders_dict = None
    rec._known_orders = {}
    rec._known_count = 0
    for i in range(2):
        name, args, orders = make_call(r)
        if i == 0:
            BRIDGE.orders_dict = orders  # (the second call's orders are the first's)
        strategy.calls.clear()
        try:
            getattr(strategy, name)(*args)
            raised.append(None)
        except Interrupt:
            raised.append("interrupt")
        except Exception as exc:  # (what the Python capture lets out, the native one must too)
            raised.append(f"{type(exc).__name__}: {exc}")
        if raised[-1] is None and (len(strategy.calls) != 1 or any(
                a is not b for a, b in zip(strategy.calls[0], args))):
            raise Failure(f"{name} did not reach the strategy with its own arguments")
    items = list(rec._queue)
    rec._queue.clear()
    return raised, items


def encoded(items: list) -> list:
    """The lines the writer makes of captured items (their wall-clock times left out)."""
    out = []
    for item in items:
        try:
            out.append(_WALL_TIME.sub(b'{"t":""', NATIVE_REC._encode_item(item)))
        except BaseException as exc:  # (a kept record read by the writer may raise anything)
            out.append(("unencodable", type(exc).__name__))
    return out


def capture(data: bytes) -> None:
    if not data:
        return
    r = Recipe(data)
    (native_rec, native), (python_rec, python) = FULL if data[0] & 2 else \
        ((NATIVE_REC, NATIVE), (PYTHON_REC, PYTHON))
    _captors.clear()
    got_raised, got_items = call(native, native_rec, r)
    _captors.clear()
    want_raised, want_items = call(python, python_rec, r)
    dropped = native_rec.dropped.copy(), python_rec.dropped.copy()
    native_rec.dropped.clear()
    python_rec.dropped.clear()
    if got_raised != want_raised:
        if all(g == w or (w == "interrupt" and g is None) for g, w in zip(got_raised, want_raised)) \
                and known("C2"):
            return
        raise Failure(f"native capture raised {got_raised}, the Python capture {want_raised}")
    if dropped[0] != dropped[1]:
        raise Failure(f"native capture dropped {dropped[0]}, the Python capture {dropped[1]}")
    got, want = encoded(got_items), encoded(want_items)
    if got != want:
        if any(b"shown" in w for w in want if type(w) is bytes) and known("C1"):
            return
        if r.effects and any(type(item) is not bytes and type(item[2]) is list
                             for item in got_items) and known("C3"):
            return
        i = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
        raise Failure(f"entry {i} of {len(got)} (native) and {len(want)} (Python) differs: native "
                      f"capture\n {got[i:i + 1]!r}\n the Python capture\n {want[i:i + 1]!r}")
    if data[0] % 4 == 1:
        threads(r, set(got_raised))


def threads(r: Recipe, allowed: set) -> None:
    """The native methods called from four threads at once on records another thread keeps
    changing: each call delivered is recorded once, and none fails but as it did alone
    (`allowed`: what the calls raised then)."""
    name, args, orders = make_call(r)
    BRIDGE.orders_dict = orders
    NATIVE_REC._orders_dict = None
    NATIVE_REC._known_orders = {}
    NATIVE_REC._known_count = 0
    records = [a for a in args if hasattr(a, "__dict__")] + \
        [x for a in args if type(a) is list for x in a if hasattr(x, "__dict__")]
    stop = threading.Event()
    errors: list = []
    delivered = [0]
    calls = 20

    def change() -> None:
        i = 0
        while not stop.is_set():
            for rec in records:
                try:
                    vars(rec)[f"g{i % 7}"] = i
                    if i % 3 == 0:
                        vars(rec).pop(f"g{(i + 1) % 7}", None)
                except Exception:
                    pass
            i += 1

    def deliver() -> None:
        try:
            for _ in range(calls):
                try:
                    getattr(NATIVE, name)(*args)
                    delivered[0] += 1
                except Interrupt:
                    pass
                except Exception as exc:
                    if f"{type(exc).__name__}: {exc}" not in allowed:
                        raise
        except BaseException as exc:
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        changer = threading.Thread(target=change)
        changer.start()
        workers = [threading.Thread(target=deliver) for _ in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        stop.set()
        changer.join()
    finally:
        sys.setswitchinterval(old)
    NATIVE.calls.clear()
    entries = [item for item in NATIVE_REC._queue if recorder_module._entry_name(item) == name]
    NATIVE_REC._queue.clear()
    if errors:
        raise Failure(f"a call from a thread raised {errors[0]!r}") from errors[0]
    if len(entries) != delivered[0]:
        raise Failure(f"{len(entries)} entries recorded for {delivered[0]} calls delivered")

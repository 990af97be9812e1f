"""Recording what a strategy receives, so that a production day can be replayed offline.

    recorder = SessionRecorder("/var/log/strategy/2026-01-05.jsonl.gz")
    RecordingVornStrategy = recording_strategy(VornStrategy, recorder)
    strategy = RecordingVornStrategy(config)   # where the framework built VornStrategy(config)
    ...
    recorder.close()                            # at the end of the day (also on exit)

Each callback that the SDK delivers is captured, with its local time, before the strategy's
own method runs (so a callback that raises is on record too). Capturing is all the SDK's
thread does: the time, and a copy of each record's fields. In a class made by
`recording_strategy` that is compiled code (tiderec._capture), which for the common
callback writes its line at once, from the records as they are, in place of the copy; what it
leaves to Python (keyword arguments, orders not seen yet, a type met for the first time) is
captured here, the same way. A record that cannot be read is written as not recorded and counted in `errors`; the
strategy receives the callback all the same. A writer thread of the recorder
encodes, compresses (without holding the interpreter's lock) and writes, in blocks that each
stand alone, at least every `flush_interval` seconds. While callbacks flow it looks at the
hand-off every `POLL` seconds; otherwise it is woken when the hand-off fills to `WAKE_AT`
callbacks (or when flush_interval runs out). The common entry is encoded in C
(tiderec._capture.LineEncoder): at the capture, or from its copy by the writer, a batch at a
time, with a pause between batches that lets the SDK's threads take the interpreter's lock;
an entry of any other kind is encoded here, into the same bytes. While callbacks pile up (a
burst: a quarter of `max_pending` pending), a capture that finds the writer waiting to take the lock back lets it have the lock
(tiderec._capture.LockGate): otherwise the SDK's threads keep it and the writer falls behind.

The hand-off between the two is bounded (`max_pending` captured callbacks). When the writer
falls that far behind, a callback is dropped and counted by name (`on_full="drop"`, the
default: the SDK's thread is never held for room), or the SDK's thread waits for room
(`on_full="block"`). The first drop is logged once through the framework's system_log; the
counts are written in the file's closing trailer, which a replay reports as a problem.

The session header is written when `initialize` runs: the configuration read from the
strategy's `config.base`, the universe and the instruments from the framework environment (or
as given), and the start time. Orders that the framework puts into the bridge's `orders_dict`
are written as place_order acts the first time the recorder sees them, which is always before
the SDK's first report on them reaches the bridge.

This module imports nothing from the stand-ins, the bridge or the framework: the modules it
consults are looked up by their names in sys.modules when needed.
"""
from __future__ import annotations

import atexit
import collections
import datetime as _dt
import enum
import operator
import os
import sys
import threading
import time as _time
import traceback
import weakref
from typing import IO, Any, Callable

import msgspec

from .encoding import (_SCALARS, SessionWriter, field_getter, format_time, is_record,
                       unrecorded)
from .schema import SDK_CALLBACKS, SessionHeader

try:
    from . import _capture as _native
except ImportError:  # a copy of the package without its native part: the Python capture alone
    _native = None

_decode_line = msgspec.json.decode
# A line the native capture made, with its numbers written out (they are left as holes until
# the writer finishes its block); any other line as it is.
_finish_line = _native.finish_lines if _native is not None else (lambda line: line)
_decode_packed = msgspec.msgpack.decode

# Whether recording_strategy installs the native capture (see `_native_method`).
NATIVE_CAPTURE = _native is not None

BRIDGE_MODULE = "orvane.tamsel.utils.tidewell"
ENVIRONMENT_MODULE = "orvane.tamsel.environment"
LOGGER_MODULE = "orvane.tamsel.utils.logger"
_OPTIONAL_SETTINGS = ("md_type", "order_way", "algo_account")
_ORDER_CALLBACKS = frozenset({"on_order", "on_order_action_error"})
_IMMUTABLE = (int, float, str, bool, bytes, type(None), complex, frozenset)
# The hand-off's length at which a capture wakes the writer thread. Waking a sleeping thread
# costs the callback that does it some 10 us (the wake's system call, and the woken thread
# taking the core for a moment), so a capture does it only when the writer must start at
# once; while callbacks flow, the writer looks again every POLL seconds of its own accord.
WAKE_AT = 1024
# The writer's wait between two looks at the hand-off while callbacks flow: it looks again
# soon, unwoken, until POLL_IDLE looks in a row found nothing; then it waits to be woken, or
# for half the flush interval.
POLL = 0.002
POLL_IDLE = 25
# How many entries the writer encodes in one hold of the interpreter's lock: a quarter of
# what is pending, at least BATCH_MIN, at most BATCH_MAX. In a steady flow the queue stays short
# and so does a hold (BATCH_MIN snapshots are well under a millisecond); in a burst a hold grows
# to BATCH_MAX snapshots (some 50 million instructions), because every release of the lock
# costs the writer up to the interpreter's 5 ms switch interval to get it back.
BATCH_MIN = 64
BATCH_MAX = 4096
# The hand-off's length below which the native capture leaves a line's numbers for the writer
# to write out without the lock; from it on (the writer is behind, in a burst) the capture
# writes them itself, as the writer then keeps the lock and needs all its time to catch up.
HOLES_BELOW = BATCH_MAX
# The share of the hand-off's bound from which a capture lets the writer have the
# interpreter's lock when it waits for it (see LockGate): a quarter full, the writer is behind.
# Not lower: threads that keep the lock between callbacks give it up only at the forced switch,
# so in a steady flow the writer's turns come late and the hand-off grows a few thousand long
# now and then; a capture that stepped aside there would wait out the writer's whole turn.
GATE_FROM_SHARE = 4
# The writer's pause between two batches, with the lock released: long enough for a thread
# waiting for the lock to wake and take it.
_PAUSE = 2e-5
# zlib's fast levels and ISA-L's levels of about the same trade (see SessionRecorder).
_FAST_LEVELS = {1: 1, 2: 2, 3: 2}


def _day_text(d: Any) -> str:
    """A trading-calendar entry as YYYY-MM-DD (numpy day dates, dates and texts)."""
    if isinstance(d, _dt.datetime):
        return d.date().isoformat()
    if isinstance(d, _dt.date):
        return d.isoformat()
    astype = getattr(d, "astype", None)
    if astype is not None:
        return str(astype("datetime64[D]"))
    return str(d)[:10]


class _Fields(dict):
    """The fields of a record, copied on the SDK's thread (its public ones are written)."""

    __slots__ = ()
    captured_fields = True


class _Control:
    """A request to the writer thread, queued behind the callbacks captured before it."""

    __slots__ = ("what", "done")

    def __init__(self, what: str) -> None:
        self.what = what
        self.done = threading.Event()


class _Unrecorded:
    """An argument whose capture failed (reading the record raised): written as
    "$unrecorded" in its place, so that a replay reports the entry as bad input."""

    __slots__ = ("tag",)

    def __init__(self, exc: BaseException) -> None:
        self.tag = unrecorded(exc)


def _second_text(sec: int) -> str:
    """A second of the wall clock as local ISO text."""
    return _dt.datetime.fromtimestamp(sec).isoformat(timespec="seconds")


def _keep(v: Any) -> Any:
    return v


def _copy_fields(o: Any) -> _Fields:
    return _Fields(vars(o))


def _captor(t: type, sample: Any) -> Callable[[Any], Any]:
    """How to capture an argument of type t on the SDK's thread: values that cannot change
    are kept, containers copied one level, records copied field by field."""
    if issubclass(t, _IMMUTABLE) or hasattr(sample, "__members__") or hasattr(t, "__members__"):
        return _keep
    if t is list:
        return _capture_list
    if t is dict:
        return dict
    if not is_record(sample):
        return _keep  # dates, enumeration members, numpy values, ...: encoded as they are
    if hasattr(sample, "__dict__") and not isinstance(sample, type):
        return _copy_fields
    getter = field_getter(t, sample)
    names = tuple(getter(sample))
    if names:
        get_all = operator.attrgetter(*names)
        if len(names) == 1:
            return lambda o: _Fields(((names[0], get_all(o)),))

        def by_name(o: Any) -> _Fields:
            try:
                return _Fields(zip(names, get_all(o)))
            except AttributeError:  # a field this object lacks
                return _Fields(getter(o))
        return by_name
    return lambda o: _Fields(getter(o))


_captors: dict[type, Callable[[Any], Any]] = {}


def _capture(v: Any) -> Any:
    t = type(v)
    c = _captors.get(t)
    if c is None:
        c = _captors[t] = _captor(t, v)
    return c(v)


def _capture_list(v: list) -> list:
    return [_capture(x) for x in v]


def _entry_name(item: tuple | bytes) -> str:
    """The callback's name of an entry in the hand-off ("place_order" for an act)."""
    if type(item) is bytes:  # the line the native capture made: {"t":...,"cb":NAME,...}
        return _decode_line(_finish_line(item))["cb"]
    return item[1] or "place_order"


def _lines_names(part: bytes, binary: bool = False) -> list[str]:
    """The callback's names of the entries in a part of a block ("place_order" for an act);
    the header and the trailer are no entries."""
    if binary:
        rows = [_decode_packed(part)]
    else:
        rows = [_decode_line(line) for line in _finish_line(part).split(b"\n") if line.strip()]
    names = []
    for row in rows:
        if type(row) is dict:
            if "cb" in row:
                names.append(row["cb"])
            elif "act" in row:
                names.append(row["act"])
    return names


def _handed_over(args: tuple) -> list:
    """The arguments as the native capture hands them over (a tuple in which each dict, alone
    or in a list, is a record's copied instance dict) in the Python capture's form."""
    return [_Fields(a) if type(a) is dict
            else [_Fields(x) if type(x) is dict else x for x in a] if type(a) is list
            else a for a in args]


class SessionRecorder:
    """Records the callbacks of one strategy into a session file (gzip when the name ends in
    ".gz"). Thread-safe: the SDK may call back on several threads; each line is written whole,
    each thread's callbacks in the order it delivered them.

    The target is checked when the recorder is made: a missing or unwritable directory, a
    directory, or an existing file (unless `overwrite`) raise RecordingTargetError at once.

    `now` gives the local time of each entry (the wall clock by default); `universe` and
    `instruments` ({market code: {field: value}}) override what the environment reports;
    `end` is the virtual end written into the header (15:31 of the day by default).
    `max_pending`, `on_full` ("drop" or "block") and `flush_interval` (seconds, at most 1)
    govern the hand-off to the writer thread, as described in the module's documentation.
    `compress_level` is zlib's (3 by default: about a third of level 6's time for a file some
    20 % larger). At the fast levels (1 to 3) the blocks are compressed by ISA-L instead when
    it is installed (the "fast" extra): about an eighth of zlib 3's time for a file some 10 %
    larger, the same gzip members to every reader.
    """

    def __init__(self, target: str | os.PathLike | IO[bytes], *,
                 now: Callable[[], _dt.datetime] | None = None,
                 universe: list[str] | None = None,
                 instruments: dict[str, dict[str, Any]] | None = None,
                 end: _dt.datetime | None = None, compress: bool | None = None,
                 overwrite: bool = False, max_pending: int = 100_000, on_full: str = "drop",
                 flush_interval: float = 0.5, block_size: int = 1 << 18,
                 compress_level: int = 3) -> None:
        if on_full not in ("drop", "block"):
            raise ValueError(f"on_full must be 'drop' or 'block', not {on_full!r}")
        if max_pending < 1:
            raise ValueError("max_pending must be at least 1")
        if not 0 < flush_interval <= 1:
            raise ValueError("flush_interval must be more than 0 and at most 1 second")
        # The writer thread's turn at the interpreter's lock in a burst (see LockGate).
        self._gate = _native.LockGate() if _native is not None else None
        self._writer = SessionWriter(target, None, compress=compress, level=compress_level,
                                     overwrite=overwrite, block_size=block_size,
                                     fast_level=_FAST_LEVELS.get(compress_level),
                                     lock_gate=self._gate)
        self.path = self._writer.path
        self._wall = now is None
        self._now = now or _dt.datetime.now
        self._universe = universe
        self._instruments = instruments
        self._end = end
        self._max = max_pending
        self._block = on_full == "block"
        self._interval = flush_interval
        self._queue: collections.deque = collections.deque()
        self._wake = threading.Event()
        self._room = threading.Condition()
        self._waiting = 0
        self._lock = threading.RLock()
        self._drop_lock = threading.Lock()
        self._thread: threading.Thread | None = None
        self._started = False
        self._known_orders: dict[Any, Any] = {}
        self._known_count = 0
        self._hooks: dict[str, Callable[[Any, tuple, dict], None]] = {}
        self._shapes: dict[str, tuple] = {}
        self._json = self._writer._encode
        self._lines = None  # the native line encoder (JSONL files, when built)
        if _native is not None and not self._writer.binary:
            self._lines = _native.LineEncoder(_Fields, self._member_text, _second_text)
        self._finished = False  # the writer has taken its last entry (under _lock)
        # What the writer thread is writing: an entry (while it is encoded), or (lines, count,
        # the writer's `appended` before them) while they go into the block; see _failed.
        self._in_flight: Any = None
        self._serving: _Control | None = None  # the request the writer thread is serving
        self._second: int | None = None  # the second of _second_text
        self._second_text = ""
        self._orders_dict: dict | None = None
        self.closed = False
        self.dropped: collections.Counter = collections.Counter()  # callbacks not kept, by name
        self._capture_errors = 0  # arguments that could not be read on the SDK's thread
        self.writer_error: BaseException | None = None
        atexit.register(_close_at_exit, weakref.ref(self))

    # -- header ------------------------------------------------------------------------------

    def start(self, strategy: Any) -> None:
        """Writes the header (once) from the strategy's configuration and the environment,
        and starts the writer thread."""
        with self._lock:
            if self._started or self.closed:
                return
            start = self._now()
            day = start.date()
            base = strategy.config.base
            config: dict[str, Any] = {"accounts": dict(base.accounts.items())}
            for name in _OPTIONAL_SETTINGS:
                try:
                    config[name] = getattr(base, name)
                except Exception:
                    pass
            try:
                calendar = base.trading_calendar
            except AttributeError:
                calendar = []
            config["trading_calendar"] = sorted({_day_text(d) for d in calendar})
            universe, instruments = self._environment()
            end = self._end or SessionHeader.default_end(day)
            header = SessionHeader(day, start, max(end, start), config, universe, instruments,
                                   {"recorder": __name__, "pid": os.getpid()})
            self._writer.write_header(header)
            self._writer.flush()
            self._thread = threading.Thread(target=self._run, name="session-recorder", daemon=True)
            self._thread.start()
            self._started = True

    def _environment(self) -> tuple[list[str], dict[str, dict[str, Any]]]:
        universe = self._universe
        instruments = self._instruments
        env = None
        if universe is None or instruments is None:
            mod = sys.modules.get(ENVIRONMENT_MODULE)
            if mod is not None:
                env = mod.Environment.get_instance()
        if universe is None:
            universe = [str(c) for c in env.get_universe()] if env is not None else []
        if instruments is None:
            instruments = {}
            if env is not None:
                for code in universe:
                    try:
                        inst = env.data_proxy.instruments(code)
                    except Exception:
                        continue
                    fields = field_getter(type(inst), inst)(inst)
                    fields.pop("market_code", None)
                    instruments[code] = fields
        return list(universe), dict(instruments)

    # -- on the SDK's thread -----------------------------------------------------------------

    def record(self, strategy: Any, name: str, args: tuple, kwargs: dict) -> None:
        """Captures one delivered callback, preceded by the acts of orders placed since the
        last look, and hands them to the writer thread."""
        self.hook(name)(strategy, args, kwargs)

    def hook(self, name: str) -> Callable[[Any, tuple, dict], None]:
        """The capture of callback `name`, as one function with what it needs at hand: the
        part of recording that runs on the SDK's thread."""
        hook = self._hooks.get(name)
        if hook is not None:
            return hook
        q = self._queue
        limit = self._max
        captors = _captors
        clock = _time.time if self._wall else self._now
        order_report = name in _ORDER_CALLBACKS
        wake = self._wake.set

        def hook(strategy: Any, args: tuple, kwargs: dict) -> None:
            if not self._started:
                if self.closed:
                    return
                self.start(strategy)
                if not self._started:
                    return
            now = clock()
            od = self._orders_dict
            if od is None:
                od = self._find_orders()
            if od is not None and (order_report or len(od) != self._known_count):
                self._orders(now, od, name, args)
            try:
                if len(args) == 1:
                    a = args[0]
                    c = captors.get(type(a))
                    caps = [c(a) if c is not None else _capture(a)]
                else:
                    caps = [_capture(a) for a in args]
                kw = {k: _capture(v) for k, v in kwargs.items()} if kwargs else None
            except Exception:  # a record that cannot be read: the strategy still receives it
                caps = [self._capture_or_mark(a) for a in args]
                kw = {k: self._capture_or_mark(v) for k, v in kwargs.items()} if kwargs else None
            item = (now, name, caps, kw)
            if len(q) >= limit and not self._full(name):
                return
            q.append(item)
            if not self._started:  # closed while this callback was captured
                self._late()
            elif len(q) == WAKE_AT:
                wake()

        self._hooks[name] = hook
        return hook

    def _capture_or_mark(self, v: Any) -> Any:
        """The capture of v, or, when reading it fails, the mark of a value not recorded
        (counted in `errors`)."""
        try:
            return _capture(v)
        except Exception as exc:
            with self._drop_lock:
                self._capture_errors += 1
            return _Unrecorded(exc)

    def _native_method(self, name: str, careful: Callable[..., Any],
                       base_method: Callable[..., Any]) -> Callable[..., Any]:
        """The recording method of callback `name` for recording_strategy: the native capture
        when it is built, calling `careful` (the Python method: hook, then base) for whatever
        it leaves to Python, and `base_method` after its own capture."""
        if _native is None:
            return careful
        return _native.Capture(
            name=name, base=base_method, careful=careful, recorder=self, queue=self._queue,
            limit=self._max, captors=_captors, keep=_keep, copy_fields=_copy_fields,
            capture_list=_capture_list, capture=_capture, clock=None if self._wall else self._now,
            order_report=name in _ORDER_CALLBACKS, doc=careful.__doc__, wake=self._wake.set,
            wake_at=WAKE_AT, lines=self._lines, holes_below=HOLES_BELOW, gate=self._gate,
            gate_from=max(1, self._max // GATE_FROM_SHARE))

    def _late(self, name: str | None = None) -> None:  # (name: the native capture's call)
        """A callback (or act) was appended after the recorder closed: its capture outlasted
        the close (it waited for room, or a captor ran meanwhile). Until the writer has taken
        its last entry, it is written; after, whatever is left in the hand-off is counted as
        dropped (the trailer is written by then)."""
        with self._lock:
            if not self._finished:
                return
            left = list(self._queue)
            self._queue.clear()
        self._count_lost(left)

    def _count_lost(self, items: list) -> None:
        with self._drop_lock:
            for item in items:
                if type(item) is _Control:
                    item.done.set()
                else:
                    self.dropped[_entry_name(item)] += 1

    def _member_text(self, v: Any) -> bytes | None:
        """How an enumeration member is written (its tag, as JSON), for the native encoder;
        None for any other value (the entry is then encoded in Python)."""
        if not isinstance(v, enum.Enum):
            return None
        tag = self._writer.encoder.enum_tag(type(v))
        if not tag:
            return None
        return self._json({tag: f"{type(v).__name__}.{v.name}"})

    def _find_orders(self) -> dict | None:
        mod = sys.modules.get(BRIDGE_MODULE)
        if mod is None:
            return None
        od = self._orders_dict = mod.orders_dict
        return od

    def _orders(self, now: Any, od: dict, name: str, args: tuple) -> None:
        """Queues a place_order act for every entry of the bridge's orders_dict not seen yet
        (under the lock: two threads never write the same order twice). Before an order
        report, the key it names is looked at even when the size did not change (a new order
        under a key seen before)."""
        with self._lock:
            known = self._known_orders
            if len(od) == len(known):
                key = getattr(args[0], "client_order_id", None) if args else None
                if key is not None and od.get(key, None) is known.get(key, None):
                    return
            for key, order in list(od.items()):
                if known.get(key) is not order:
                    item = (now, None, [key, self._capture_or_mark(order)], None)
                    if len(self._queue) >= self._max and not self._full("place_order"):
                        continue
                    self._queue.append(item)
            self._known_orders = dict(od)
            self._known_count = len(od)

    def _full(self, name: str) -> bool:
        """The hand-off is full: waits for room (True) or counts a drop (False)."""
        if self._block and not self.closed:
            with self._room:
                self._waiting += 1
                try:
                    self._wake.set()
                    while len(self._queue) >= self._max and not self.closed \
                            and self.writer_error is None:
                        self._room.wait(0.05)
                finally:
                    self._waiting -= 1
            return True
        with self._drop_lock:
            first = not self.dropped
            self.dropped[name] += 1
        self._wake.set()
        if first:
            _log_once(f"session recorder: the writer fell behind ({self._max} callbacks pending); "
                      f"dropping callbacks from now on, counted by name in {self.path}")
        return False

    # -- the writer thread -------------------------------------------------------------------

    def _run(self) -> None:
        try:
            self._write_until_closed()
        except BaseException as exc:  # the disk is full, the file was closed under us, ...
            # The traceback keeps the frames below this one, and with them the entries they
            # held (untracked by the capture, so a cycle through one is never collected).
            traceback.clear_frames(exc.__traceback__)
            self._failed(exc)

    def _write_until_closed(self) -> None:
        w = self._writer
        last_block = _time.monotonic()
        idle = POLL_IDLE  # looks in a row that found nothing
        while True:
            self._wake.wait(POLL if idle < POLL_IDLE else self._interval / 2)
            self._wake.clear()
            idle = 0 if self._queue else idle + 1
            control = self._write_pending()
            if control is not None:
                self._serving = control  # (answered by _failed if the writer fails meanwhile)
                if control.what == "close":
                    self._write_last()
                    self._finish()
                    control.done.set()
                    return
                w.flush()
                last_block = _time.monotonic()
                control.done.set()
                self._serving = None
                self._wake.set()  # the rest of the queue, at once
            elif _time.monotonic() - last_block >= self._interval:
                w.flush()
                last_block = _time.monotonic()

    def _write_pending(self) -> _Control | None:
        """Writes the entries in the hand-off, up to the first request (returned) or until it
        is empty."""
        q = self._queue
        w = self._writer
        lines = self._lines
        n = 0
        while q:
            if lines is not None:
                text, count, item = lines.drain(q, min(BATCH_MAX, max(BATCH_MIN, len(q) >> 2)),
                                                max(1, w._block_size - w._size))
                if count:
                    self._in_flight = (text, count, w.appended)
                    w.take(count)
                    w.write_lines(text)
                if item is None:
                    self._in_flight = None
                    self._let_in()
                    continue
            else:
                item = q.popleft()
            if type(item) is _Control:
                self._in_flight = None
                self._let_in()
                return item
            self._in_flight = item
            line = self._encode_item(item)
            self._in_flight = (line, 1, w.appended)
            w.take(1)
            w.write_line(line)
            self._in_flight = None
            n += 1
            if n & 15 == 0:
                self._let_in()
        self._notify_room()
        return None

    def _let_in(self) -> None:
        """Between two batches: room for the callbacks that wait for it, and the interpreter's
        lock released long enough for an SDK thread to take it."""
        self._notify_room()
        if 0 < len(self._queue) < BATCH_MAX:  # (in a burst the writer keeps the lock instead)
            _time.sleep(_PAUSE)

    def _notify_room(self) -> None:
        if self._waiting:
            with self._room:
                self._room.notify_all()

    def _write_last(self) -> None:
        """At the close: everything appended up to the moment the writer finishes, the
        callbacks whose capture outlasted the close included (see `_late`)."""
        while True:
            with self._lock:
                if not self._queue:
                    self._finished = True
                    return
            control = self._write_pending()
            if control is not None:
                control.done.set()

    def _failed(self, exc: BaseException) -> None:
        self.writer_error = exc
        _log_once(f"session recorder: writing {self.path} failed: {type(exc).__name__}: {exc}; "
                  "nothing more is recorded")
        self.closed = True
        self._started = False  # the hooks stop capturing
        w = self._writer
        # What the writer had taken from the hand-off when it failed: an entry it was encoding,
        # or lines it was putting into the block, which may not have reached the block.
        in_flight, self._in_flight = self._in_flight, None
        lost: list = []
        if type(in_flight) is tuple and len(in_flight) == 3 and type(in_flight[0]) is bytes:
            text, count, appended = in_flight
            if w.appended == appended:  # taken, but it never reached the block
                w.take(-count)
                lost.extend(_lines_names(text))
        elif in_flight is not None:
            lost.append(_entry_name(in_flight))
        try:
            w.close()  # what the block holds yet is written, or kept in `unwritten`
        except BaseException:
            pass  # the file itself is closed in any case
        for part in w.unwritten:
            lost.extend(_lines_names(part, w.binary))
        w.unwritten.clear()
        with self._lock:
            self._finished = True
            left = list(self._queue)
            self._queue.clear()
        if lost:
            with self._drop_lock:
                self.dropped.update(lost)
        self._count_lost(left)
        serving, self._serving = self._serving, None
        if serving is not None:  # the flush or close that was being served when it failed
            serving.done.set()
        with self._room:
            self._room.notify_all()

    def _wall_text(self, now: float) -> str:
        """A wall-clock time as local ISO text to the microsecond (the seconds part is made
        once per second)."""
        sec = int(now)
        if sec != self._second:
            self._second = sec
            self._second_text = _second_text(sec)
        return f"{self._second_text}.{min(999999, round((now - sec) * 1e6)):06d}"

    def _encode_item(self, item: tuple | bytes) -> bytes:
        if type(item) is bytes:  # the line made by the native capture
            return _finish_line(item)
        now, name, args, kwargs = item
        t = self._wall_text(now) if type(now) is float else now
        handed_over = type(args) is tuple  # by the native capture: each dict a copied record
        if kwargs is None and len(args) == 1 and name is not None and \
                type(args[0]) is (dict if handed_over else _Fields):
            try:
                fields = self._quick_fields(name, args[0])
            except Exception:  # a value that needs the careful path
                fields = None
            if fields is not None:
                try:
                    line = self._json({"t": t if type(t) is str else format_time(t), "cb": name,
                                       "args": [fields]})
                except Exception:  # a field name the quick path cannot encode (a lone surrogate)
                    line = b"null"
                if b"null" not in line:  # else: a None, or a float that is not finite
                    return line
        if handed_over:
            args = _handed_over(args)
        if name is None:
            return self._writer.encode_entry(t, "act", "place_order", args, None, self._top)
        return self._writer.encode_entry(t, "cb", name, args, kwargs, self._top)

    def _quick_fields(self, name: str, d: dict) -> dict | None:
        """The fields of a callback's one record encoded by its remembered shape: the fields
        that held plain values last time are checked all at once by their types, the others
        encoded one by one. None when the record has another shape (then it is learned)."""
        plan = self._shapes.get(name)
        if plan is not None and len(d) == plan[2]:
            try:
                plain = plan[0](d)
            except KeyError:
                plain = None
            if plain is not None and set(map(type, plain)) <= _SCALARS:
                out = dict(d)
                encoder = self._writer.encoder
                members = encoder._members
                encoder.careful = False
                try:
                    for k in plan[1]:
                        v = out[k]
                        if type(v) is list:
                            if set(map(type, v)) <= _SCALARS:
                                continue  # floats: a non-finite one shows as null
                        else:
                            tag = members.get(id(v))
                            if tag is not None:
                                out[k] = tag
                                continue
                        out[k] = encoder.value(v)
                finally:
                    encoder.careful = True
                return out
        if "\0_" in "\0" + "\0".join(d):
            return None
        special = tuple(k for k, v in d.items() if type(v) not in _SCALARS)
        others = [k for k in d if k not in special]
        if len(others) >= 2:
            self._shapes[name] = (operator.itemgetter(*others), special, len(d))
        return None

    def _top(self, v: Any) -> Any:
        t = type(v)
        if t is _Unrecorded:
            return v.tag
        if t is _Fields:
            if "\0_" in "\0" + "\0".join(v):  # a private attribute among the fields
                v = {k: x for k, x in v.items() if k[:1] != "_"}
            else:
                v = dict(v)
            return self._writer.encoder.encode_fields(v)
        if t is list:
            return [self._top(x) if type(x) is _Fields else self._writer.encoder.value(x) for x in v]
        return self._writer.encoder.top_level(v)

    def _finish(self) -> None:
        w = self._writer
        info: dict[str, Any] = {"entries": w.taken}
        if self.dropped:
            info["dropped"] = dict(sorted(self.dropped.items()))
        if self.errors:
            info["errors"] = self.errors
        w.write_trailer(info)
        w.close()

    # -- control -----------------------------------------------------------------------------

    def _request(self, what: str, timeout: float | None) -> bool:
        c = _Control(what)
        self._queue.append(c)
        self._wake.set()
        return c.done.wait(timeout)

    def flush(self, timeout: float | None = 10.0) -> None:
        """Writes everything captured so far to the file (one or more whole blocks)."""
        with self._lock:
            if self.closed:
                return
            if self._thread is None:
                self._writer.flush()
                return
        self._request("flush", timeout)

    def close(self, timeout: float | None = 30.0) -> None:
        """Writes what is left and the trailer, and closes the file. Rotating to the next
        day's file is: close this recorder, make one for the new file."""
        with self._lock:
            if self.closed:
                if self._thread is None and not self._writer._closed:
                    self._writer.close()
                return
            self.closed = True
            self._started = False  # the hooks stop capturing
            thread = self._thread
        if thread is None:
            self._writer.close()
            return
        with self._room:
            self._room.notify_all()
        self._request("close", timeout)
        thread.join(timeout)

    @property
    def entries(self) -> int:
        """Entries written so far (callbacks and acts)."""
        return self._writer.entries

    @property
    def errors(self) -> int:
        """Values that could not be recorded (written as "$unrecorded" in their place): those
        the writer could not encode, and arguments that could not be read when captured."""
        return self._writer.errors + self._capture_errors

    @property
    def pending(self) -> int:
        """Captured callbacks not yet encoded."""
        return len(self._queue)

    def __enter__(self) -> SessionRecorder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _log_once(text: str) -> None:
    mod = sys.modules.get(LOGGER_MODULE)
    log = getattr(mod, "system_log", None) if mod is not None else None
    if log is None:
        print(text, file=sys.stderr)
        return
    (getattr(log, "warning", None) or log.info)(text)


def _close_at_exit(ref: weakref.ref) -> None:
    rec = ref()
    if rec is not None:
        rec.close()


class RecordingMixin:
    """Put before the strategy class: `class S(RecordingMixin, VornStrategy)`, with the class
    or instance attribute `session_recorder` naming a SessionRecorder. Every callback the SDK
    delivers is recorded, then passed on to the strategy; the strategy's timer methods are
    not recorded (a replay fires them from its own clock)."""

    session_recorder: SessionRecorder | None = None

    def initialize(self, *args: Any, **kwargs: Any) -> Any:
        rec = self.session_recorder
        if rec is not None:
            rec.start(self)
        return super().initialize(*args, **kwargs)  # type: ignore[misc]


def _recording_method(name: str) -> Callable[..., Any]:
    def method(self, *args: Any, **kwargs: Any) -> Any:
        rec = self.session_recorder
        if rec is not None:
            rec.record(self, name, args, kwargs)
        return getattr(super(RecordingMixin, self), name)(*args, **kwargs)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = f"Records the {name} callback, then delivers it to the strategy."
    return method


for _name in SDK_CALLBACKS:
    setattr(RecordingMixin, _name, _recording_method(_name))
del _name


def _bound_recording_method(name: str, hook: Callable[[Any, tuple, dict], None],
                            base_method: Callable[..., Any]) -> Callable[..., Any]:
    def method(self, *args: Any, **kwargs: Any) -> Any:
        hook(self, args, kwargs)
        return base_method(self, *args, **kwargs)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = f"Records the {name} callback, then delivers it to the strategy."
    return method


def recording_strategy(base: type, recorder: SessionRecorder) -> type:
    """A subclass of `base` (same name) that records every SDK callback into `recorder`.
    Each callback of the class calls its capture and the base's method directly: the native
    capture where it is built, else (and for what the native one leaves to Python) the
    Python one."""
    namespace: dict[str, Any] = {"session_recorder": recorder, "__module__": __name__}
    for name in SDK_CALLBACKS:
        base_method = getattr(base, name, None)
        if base_method is not None:
            careful = _bound_recording_method(name, recorder.hook(name), base_method)
            namespace[name] = recorder._native_method(name, careful, base_method)
    return type(base.__name__, (RecordingMixin, base), namespace)

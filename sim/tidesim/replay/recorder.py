"""Recording what a strategy receives, so that a production day can be replayed offline.

    recorder = SessionRecorder("/var/log/strategy/2026-01-05.jsonl.gz")
    RecordingVornStrategy = recording_strategy(VornStrategy, recorder)
    strategy = RecordingVornStrategy(config)   # where the framework built VornStrategy(config)
    ...
    recorder.close()                            # at the end of the day (also on exit)

Each callback that the SDK delivers is written, with its local time, before the strategy's own
method runs (so a callback that raises is on record too). The session header is written when
`initialize` runs: the configuration read from the strategy's `config.base`, the universe and
the instruments from the framework environment (or as given), and the start time. Orders that
the framework puts into the bridge's `orders_dict` are written as place_order acts the first
time the recorder sees them, which is always before the SDK's first report on them reaches
the bridge.

This module imports nothing from the stand-ins: the modules it consults (the bridge, the
environment, the SDK's enumerations) are looked up by their real names when needed.
"""
from __future__ import annotations

import atexit
import datetime as _dt
import os
import sys
import threading
import weakref
from typing import IO, Any, Callable

from .format import SDK_CALLBACKS, Encoder, SessionHeader, SessionWriter

BRIDGE_MODULE = "orvane.tamsel.utils.tidewell"
ENVIRONMENT_MODULE = "orvane.tamsel.environment"
_OPTIONAL_SETTINGS = ("md_type", "order_way", "algo_account")
_ORDER_CALLBACKS = frozenset({"on_order", "on_order_action_error"})


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


class SessionRecorder:
    """Writes the callbacks of one strategy into a session file (gzip when the name ends in
    ".gz"). Thread-safe: the SDK may call back on several threads; each line is written whole.

    `now` gives the local time of each entry (the wall clock by default); `universe` and
    `instruments` ({market code: {field: value}}) override what the environment reports;
    `end` is the virtual end written into the header (15:31 of the day by default)."""

    def __init__(self, target: str | os.PathLike | IO[bytes], *,
                 now: Callable[[], _dt.datetime] = _dt.datetime.now,
                 universe: list[str] | None = None,
                 instruments: dict[str, dict[str, Any]] | None = None,
                 end: _dt.datetime | None = None, compress: bool | None = None) -> None:
        self._target = target
        self._now = now
        self._universe = universe
        self._instruments = instruments
        self._end = end
        self._compress = compress
        self._writer: SessionWriter | None = None
        self._lock = threading.RLock()
        self._known_orders: dict[Any, Any] = {}
        self._orders_dict: dict | None = None
        self.closed = False
        self.errors = 0  # values that could not be encoded (written as their repr instead)
        atexit.register(_close_at_exit, weakref.ref(self))

    # -- header ------------------------------------------------------------------------------

    def start(self, strategy: Any) -> None:
        """Writes the header (once) from the strategy's configuration and the environment."""
        with self._lock:
            if self._writer is not None or self.closed:
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
            self._writer = SessionWriter(self._target, header, compress=self._compress)

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
                enc = Encoder()
                for code in universe:
                    try:
                        inst = env.data_proxy.instruments(code)
                    except Exception:
                        continue
                    fields = enc.fields(inst)
                    fields.pop("market_code", None)
                    instruments[code] = fields
        return list(universe), dict(instruments)

    # -- entries -----------------------------------------------------------------------------

    def record(self, strategy: Any, name: str, args: tuple, kwargs: dict) -> None:
        """Writes one delivered callback, preceded by the acts of orders placed since the
        last look."""
        with self._lock:
            if self.closed:
                return
            if self._writer is None:
                self.start(strategy)
            now = self._now()
            self._orders(now, name in _ORDER_CALLBACKS)
            try:
                self._writer.write_callback(now, name, args, kwargs)  # type: ignore[union-attr]
            except (TypeError, ValueError, RecursionError) as exc:
                self.errors += 1
                self._writer.write_callback(  # type: ignore[union-attr]
                    now, name, [repr(a) for a in args],
                    {"__unencodable__": f"{type(exc).__name__}: {exc}"})

    def _orders(self, now: _dt.datetime, full: bool) -> None:
        """Writes a place_order act for every entry of the bridge's orders_dict not seen yet.
        The dictionary is compared in full before the callbacks that read it, and otherwise
        only when its size changed."""
        od = self._orders_dict
        if od is None:
            mod = sys.modules.get(BRIDGE_MODULE)
            if mod is None:
                return
            od = self._orders_dict = mod.orders_dict
        known = self._known_orders
        if not full and len(od) == len(known):
            return
        for key, order in list(od.items()):
            if known.get(key) is not order:
                self._writer.write_act(now, "place_order", (key, order))  # type: ignore[union-attr]
        self._known_orders = dict(od)

    def flush(self) -> None:
        with self._lock:
            if self._writer is not None:
                self._writer.flush()

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            if self._writer is not None:
                self._writer.close()

    @property
    def entries(self) -> int:
        return self._writer.entries if self._writer is not None else 0

    def __enter__(self) -> SessionRecorder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


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


def recording_strategy(base: type, recorder: SessionRecorder) -> type:
    """A subclass of `base` (same name) that records every SDK callback into `recorder`."""
    return type(base.__name__, (RecordingMixin, base), {"session_recorder": recorder,
                                                        "__module__": __name__})

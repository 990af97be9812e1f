"""What a session holds: the callbacks and acts an entry may name, the header, the records
read back, and the error that names a bad file and line. Shared by the decoder and the
encoder."""
from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass, field
from typing import Any

import msgspec

from .values import encode_value

FORMAT = "tidesim-session"
# Version 2 adds tagged values ($decimal, $time, $timedelta, $set, $frozenset, $bytearray,
# $ndarray, $npscalar, $unrecorded), the closing "trailer" line, and files written as a series
# of independent gzip members. Version 1 files are read as they always were.
VERSION = 2
READABLE_VERSIONS = (1, 2)

# The callbacks the SDK delivers, each with the record type its positional arguments carry
# (None: a plain value) and its parameter names (keyword arguments take the type of the
# parameter of that name). The element type of a top-level list is the type given.
SDK_CALLBACKS: dict[str, tuple[tuple[str, str | None], ...]] = {
    "on_initialize": (),
    "on_switch_day": (),
    "on_snapshot": (("snapshot", "Snapshot"),),
    "on_tick_order": (("tick_order", "TickOrder"),),
    "on_tick_trade": (("tick_trade", "TickTrade"),),
    "on_bar": (("bar", "Bar"),),
    "on_login": (("login_res", "LoginResult"),),
    "on_query_asset": (("asset_res", "AssetResult"), ("request_id", None), ("code", None), ("msg", None)),
    "on_query_position": (("query_position_res", "PositionRecord"), ("request_id", None), ("code", None),
                          ("msg", None)),
    "on_order": (("order", "OrderReport"),),
    "on_trade": (("trade", "TradeReport"),),
    "on_order_action_error": (("order_action_error", "OrderActionError"),),
    "on_algo_login": (("algo_login_res", "AlgoLoginResult"),),
    "on_create_algo_parent_order_res": (("create_parent_order_res", "CreateParentOrderResult"),),
    "on_cancel_algo_parent_order_res": (("cancel_parent_order_res", "CancelParentOrderResult"),),
    "on_control_algo_parent_order_res": (("control_parent_order_res", "ControlParentOrderResult"),),
    "on_algo_parent_order_update": (("parent_order", "ParentOrder"),),
    "on_algo_child_order_update": (("child_order", "ChildOrder"),),
    "on_algo_child_order_trade": (("child_trade", "ChildTrade"),),
}

# The strategy's own timer methods: the replay fires them from its virtual clock, so a
# session never delivers them.
TIMER_CALLBACKS = frozenset({"set_timer", "create_time_listener", "send_day_event",
                             "send_before_trading_event", "send_open_auction_event",
                             "send_after_trading_event"})

# The framework's acts that the bridge depends on. place_order(key, order): the framework put
# `order` into orders_dict under `key` (its client order id).
FRAMEWORK_ACTS: dict[str, tuple[tuple[str, str | None], ...]] = {
    "place_order": (("key", None), ("order", "Order")),
}


class SessionFormatError(ValueError):
    """A session file that cannot be read: names the file and the line (1-based; 0 when the
    problem concerns the file as a whole)."""

    def __init__(self, path: str, line: int, message: str) -> None:
        super().__init__(f"{path}:{line}: {message}" if line else f"{path}: {message}")
        self.path = path
        self.line = line
        self.message = message


class _Bad(Exception):
    """Raised while decoding one line; turned into a SessionFormatError naming the line."""


# ---------------------------------------------------------------------------------------------
# Records


class SessionRecord:
    """An SDK record read from a session: its fields are its attributes, exactly those that the
    file gives (a field missing from the line is missing from the record, as the SDK would
    deliver it). Records compare by type name and fields."""

    __slots__ = ("__dict__",)
    record_type = "Record"

    def __init__(self, **fields: Any) -> None:
        self.__dict__.update(fields)

    def __reduce__(self):
        return make_record, (self.record_type, dict(self.__dict__))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SessionRecord):
            return NotImplemented
        return self.record_type == other.record_type and vars(self) == vars(other)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        inner = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{self.record_type}({inner})"


_record_types: dict[str, type[SessionRecord]] = {}


def record_type(name: str) -> type[SessionRecord]:
    """The record class for a type name, created once per name."""
    cls = _record_types.get(name)
    if cls is None:
        if type(name) is not str or not name.isidentifier():
            raise _Bad(f"record type {name!r} is not an identifier")
        cls = type(name, (SessionRecord,), {"__slots__": (), "record_type": name,
                                            "__module__": __name__})
        _record_types[name] = cls
    return cls


def make_record(type_name: str, fields: dict[str, Any]) -> SessionRecord:
    """A record of that type with those fields (the dictionary is copied)."""
    for k in fields:
        if type(k) is not str:
            raise _Bad(f"{type_name} field names must be texts, not {k!r}")
    return adopt_record(type_name, dict(fields))


_new = object.__new__


def adopt_record(type_name: str, fields: dict[str, Any]) -> SessionRecord:
    """A record whose attribute dictionary is `fields` itself (for dictionaries made for it)."""
    cls = _record_types.get(type_name) or record_type(type_name)
    rec = _new(cls)
    rec.__dict__ = fields
    return rec


# ---------------------------------------------------------------------------------------------
# Entries and the header


class Entry(msgspec.Struct):
    """One delivered callback ("cb") or framework act ("act") at its local time."""

    line: int
    time: _dt.datetime
    kind: str
    name: str
    args: tuple
    kwargs: dict


def parse_iso(cls, v: Any, tag: str):
    if not isinstance(v, str):
        raise _Bad(f"{tag} must be ISO text, not {v!r}")
    try:
        return cls.fromisoformat(v)
    except ValueError as exc:
        raise _Bad(f"{tag}: {exc}") from None


@dataclass
class SessionHeader:
    """The first line of a session: the configuration and the virtual start and end."""

    day: _dt.date
    start: _dt.datetime
    end: _dt.datetime
    config: dict[str, Any]
    universe: list[str]
    instruments: dict[str, dict[str, Any]]
    source: dict[str, Any] = field(default_factory=dict)
    version: int = VERSION

    @staticmethod
    def default_start(day: _dt.date) -> _dt.datetime:
        return _dt.datetime.combine(day, _dt.time(8, 30))

    @staticmethod
    def default_end(day: _dt.date) -> _dt.datetime:
        return _dt.datetime.combine(day, _dt.time(15, 31))

    def to_json(self) -> dict[str, Any]:
        """The header line's object, written in the current version."""
        return {
            "format": FORMAT,
            "version": VERSION,
            "day": self.day.isoformat(),
            "start": self.start.isoformat(),
            "end": self.end.isoformat(),
            "config": {k: encode_value(v) for k, v in self.config.items()},
            "universe": list(self.universe),
            "instruments": {k: {f: encode_value(x) for f, x in v.items()}
                            for k, v in self.instruments.items()},
            "source": encode_value(self.source),
        }

    @classmethod
    def from_json(cls, obj: Any, decoder: Any = None) -> SessionHeader:
        """Validates a header object already parsed from JSON (tags decoded)."""
        if not isinstance(obj, dict):
            raise _Bad("the first line must be the session header, a JSON object")
        if obj.get("format") != FORMAT:
            raise _Bad(f"not a session header (format is {obj.get('format')!r}, expected {FORMAT!r})")
        version = obj.get("version")
        if type(version) is not int or version not in READABLE_VERSIONS:
            raise _Bad(f"unsupported session format version {version!r} (this reader: "
                       f"{', '.join(map(str, READABLE_VERSIONS))})")
        day = parse_iso(_dt.date, obj.get("day"), "day")
        start = parse_iso(_dt.datetime, obj["start"], "start") if obj.get("start") is not None \
            else cls.default_start(day)
        end = parse_iso(_dt.datetime, obj["end"], "end") if obj.get("end") is not None \
            else cls.default_end(day)
        if (start.tzinfo is None) != (end.tzinfo is None):
            raise _Bad("header 'start' and 'end' must both be local times without a UTC offset")
        if end < start:
            raise _Bad(f"the session ends ({end}) before it starts ({start})")
        config = obj.get("config")
        if not isinstance(config, dict):
            raise _Bad("header 'config' must be a JSON object")
        if not isinstance(config.get("accounts"), dict):
            raise _Bad("header config 'accounts' must be a JSON object")
        cal = config.get("trading_calendar", [])
        if not isinstance(cal, list) or not all(isinstance(d, str) for d in cal):
            raise _Bad("header config 'trading_calendar' must be a list of ISO dates")
        universe = obj.get("universe", [])
        if not isinstance(universe, list) or not all(isinstance(c, str) for c in universe):
            raise _Bad("header 'universe' must be a list of market codes")
        instruments = obj.get("instruments", {})
        if not isinstance(instruments, dict) or not all(isinstance(v, dict) for v in instruments.values()):
            raise _Bad("header 'instruments' must map market codes to JSON objects")
        source = obj.get("source", {})
        return cls(day, start, end, dict(config), universe, instruments,
                   source if isinstance(source, dict) else {}, version)

    def trading_days(self) -> list[_dt.date]:
        return [_dt.date.fromisoformat(d) for d in self.config.get("trading_calendar", [])]

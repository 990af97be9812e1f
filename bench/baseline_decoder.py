"""The session decoder as it was before the msgspec one: the standard library's json with an
object hook per JSON object, records built by keyword. Kept, unchanged, as the baseline of the
decoding rows of bench_replay.

Session files: a header line, then one entry per line, each a JSON object; the file may be
gzip-compressed (recognised by its magic bytes, whatever its name).

This module reads and writes the format. It imports nothing from the stand-ins: the SDK's
enumerations and the framework's constants are resolved through whatever modules are
registered under `pyvorn.enums` and `orvane.tamsel.const` when a file is read, so the same
code serves a production recorder and the offline replay. docs/session-format.md describes
the format for people.

Value encoding (record fields, arguments, configuration values):

- null, booleans, numbers and strings stand for themselves; a JSON array is a list;
- a JSON object with one key beginning with "$" is a tagged value: {"$enum": "Type.Member"}
  (SDK enumeration member), {"$const": "GROUP.MEMBER"} (framework constant), {"$tuple": [...]},
  {"$map": {...}} (a dict whose keys need escaping), {"$bytes": base64}, {"$datetime": iso},
  {"$date": iso}, {"$float": "nan" | "inf" | "-inf"};
- a JSON object with a "$type" key is a record of that type (its other keys are its fields);
- any other JSON object is a dict, except at the top level of an entry's arguments (and as an
  element of a top-level list), where it is a record of the type the callback implies.
"""
from __future__ import annotations

import base64
import datetime as _dt
import enum
import gzip
import importlib
import io
import json
import math
import os
import sys
import types
from dataclasses import dataclass, field
from typing import IO, Any, Callable, Iterator

FORMAT = "tidesim-session"
VERSION = 1

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


class SessionRecord(types.SimpleNamespace):
    """An SDK record read from a session: its fields are its attributes, exactly those that the
    file gives (a field missing from the line is missing from the record, as the SDK would
    deliver it). Records compare by type name and fields."""

    __slots__ = ()
    record_type = "Record"

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
        if not name.isidentifier():
            raise _Bad(f"record type {name!r} is not an identifier")
        cls = type(name, (SessionRecord,), {"__slots__": (), "record_type": name,
                                            "__module__": __name__})
        _record_types[name] = cls
    return cls


def make_record(type_name: str, fields: dict[str, Any]) -> SessionRecord:
    return record_type(type_name)(**fields)


# ---------------------------------------------------------------------------------------------
# Decoding


def _import(name: str):
    mod = sys.modules.get(name)
    return mod if mod is not None else importlib.import_module(name)


class Resolver:
    """Turns "$enum" and "$const" names into the members of the modules registered under
    pyvorn.enums and orvane.tamsel.const (looked up when first needed, then cached)."""

    def __init__(self, enums_module: str = "pyvorn.enums",
                 const_module: str = "orvane.tamsel.const") -> None:
        self._modules = {"$enum": enums_module, "$const": const_module}
        self._cache: dict[tuple[str, str], Any] = {}

    def __call__(self, tag: str, name: Any) -> Any:
        key = (tag, name) if isinstance(name, str) else None
        if key is not None:
            hit = self._cache.get(key, _MISSING)
            if hit is not _MISSING:
                return hit
        if key is None or name.count(".") != 1:
            raise _Bad(f"{tag} value must be a text 'Group.Member', not {name!r}")
        group, member = name.split(".")
        modname = self._modules[tag]
        try:
            mod = _import(modname)
        except ImportError as exc:
            raise _Bad(f"{tag} {name!r}: cannot import {modname}: {exc}") from None
        cls = getattr(mod, group, None)
        if cls is None:
            raise _Bad(f"unknown {'SDK enumeration' if tag == '$enum' else 'framework constant group'}"
                       f" {group!r} (in {name!r})")
        try:
            value = getattr(cls, member)
        except AttributeError:
            raise _Bad(f"{group} has no member {member!r}") from None
        self._cache[key] = value
        return value


_MISSING = object()


def _float_tag(v: Any) -> float:
    if v not in ("nan", "inf", "-inf"):
        raise _Bad(f"$float must be 'nan', 'inf' or '-inf', not {v!r}")
    return float(v)


def _bytes_tag(v: Any) -> bytes:
    if not isinstance(v, str):
        raise _Bad("$bytes must be base64 text")
    try:
        return base64.b64decode(v, validate=True)
    except ValueError as exc:
        raise _Bad(f"$bytes: {exc}") from None


def _iso(cls, v: Any, tag: str):
    if not isinstance(v, str):
        raise _Bad(f"{tag} must be ISO text, not {v!r}")
    try:
        return cls.fromisoformat(v)
    except ValueError as exc:
        raise _Bad(f"{tag}: {exc}") from None


class Decoder:
    """Decodes entry lines. `records` builds an SDK record from a type name and its fields;
    `acts` builds the framework's objects of the acts (e.g. the order of place_order) the same
    way; `resolve` resolves "$enum"/"$const" names."""

    def __init__(self, records: Callable[[str, dict], Any] = make_record,
                 acts: Callable[[str, dict], Any] | None = None,
                 resolve: Callable[[str, Any], Any] | None = None) -> None:
        self.records = records
        self.acts = acts if acts is not None else records
        self.resolve = resolve if resolve is not None else Resolver()
        self._loads = json.JSONDecoder(object_hook=self._hook).decode
        self._nested_factory = records

    def _hook(self, d: dict) -> Any:
        if len(d) == 1:
            for k, v in d.items():
                if k[:1] == "$":
                    return self._tag(k, v)
        if "$type" in d:
            name = d.pop("$type")
            if not isinstance(name, str):
                raise _Bad(f"$type must be a text, not {name!r}")
            return self._nested_factory(name, d)
        return d

    def _tag(self, k: str, v: Any) -> Any:
        if k == "$enum" or k == "$const":
            return self.resolve(k, v)
        if k == "$tuple":
            if not isinstance(v, list):
                raise _Bad("$tuple must hold a JSON array")
            return tuple(v)
        if k == "$map":
            if isinstance(v, dict):
                return v
            if isinstance(v, list) and all(isinstance(p, list) and len(p) == 2 for p in v):
                try:
                    return {key: value for key, value in v}
                except TypeError as exc:
                    raise _Bad(f"$map key: {exc}") from None
            raise _Bad("$map must hold a JSON object or a list of [key, value] pairs")
        if k == "$type":
            if not isinstance(v, str):
                raise _Bad(f"$type must be a text, not {v!r}")
            return self._nested_factory(v, {})
        if k == "$float":
            return _float_tag(v)
        if k == "$bytes":
            return _bytes_tag(v)
        if k == "$datetime":
            return _iso(_dt.datetime, v, k)
        if k == "$date":
            return _iso(_dt.date, v, k)
        raise _Bad(f"unknown tag {k!r}")

    def loads(self, raw: bytes | str) -> Any:
        """One JSON document with tags decoded (records nested under "$type" built too)."""
        try:
            return self._loads(raw if isinstance(raw, str) else raw.decode("utf-8"))
        except json.JSONDecodeError as exc:
            raise _Bad(f"malformed JSON: {exc.msg} (column {exc.colno})") from None
        except UnicodeDecodeError as exc:
            raise _Bad(f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
        except RecursionError:
            raise _Bad("nesting too deep") from None

    def top_level(self, params: tuple[tuple[str, str | None], ...], args: list, kwargs: dict,
                  factory: Callable[[str, dict], Any]) -> tuple[tuple, dict]:
        """Turns plain objects among the arguments into records of the implied types."""
        out = list(args)
        for i, v in enumerate(out):
            rtype = params[i][1] if i < len(params) else None
            out[i] = _implied(v, rtype, factory)
        if kwargs:
            types_by_name = dict(params)
            kwargs = {k: _implied(v, types_by_name.get(k), factory) for k, v in kwargs.items()}
        return tuple(out), kwargs


def _implied(v: Any, rtype: str | None, factory: Callable[[str, dict], Any]) -> Any:
    if type(v) is dict:
        return factory(rtype or "Record", v)
    if type(v) is list and rtype is not None:
        return [factory(rtype, x) if type(x) is dict else x for x in v]
    return v


@dataclass(slots=True)
class Entry:
    """One delivered callback ("cb") or framework act ("act") at its local time."""

    line: int
    time: _dt.datetime
    kind: str
    name: str
    args: tuple
    kwargs: dict


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

    @staticmethod
    def default_start(day: _dt.date) -> _dt.datetime:
        return _dt.datetime.combine(day, _dt.time(8, 30))

    @staticmethod
    def default_end(day: _dt.date) -> _dt.datetime:
        return _dt.datetime.combine(day, _dt.time(15, 31))

    def to_json(self) -> dict[str, Any]:
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
            "source": self.source,
        }

    @classmethod
    def from_json(cls, obj: Any, decoder: Decoder) -> SessionHeader:
        """Validates and decodes a header object already parsed from JSON (tags decoded)."""
        if not isinstance(obj, dict):
            raise _Bad("the first line must be the session header, a JSON object")
        if obj.get("format") != FORMAT:
            raise _Bad(f"not a session header (format is {obj.get('format')!r}, expected {FORMAT!r})")
        if obj.get("version") != VERSION:
            raise _Bad(f"unsupported session format version {obj.get('version')!r} (this reader: {VERSION})")
        day = _iso(_dt.date, obj.get("day"), "day")
        start = _iso(_dt.datetime, obj["start"], "start") if obj.get("start") is not None \
            else cls.default_start(day)
        end = _iso(_dt.datetime, obj["end"], "end") if obj.get("end") is not None else cls.default_end(day)
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
                   source if isinstance(source, dict) else {})

    def trading_days(self) -> list[_dt.date]:
        return [_dt.date.fromisoformat(d) for d in self.config.get("trading_calendar", [])]


def _open_binary(path: str | os.PathLike) -> IO[bytes]:
    f = open(path, "rb")
    try:
        magic = f.peek(2)[:2] if hasattr(f, "peek") else b""
        if magic == b"\x1f\x8b":
            return gzip.GzipFile(fileobj=f, mode="rb")  # type: ignore[return-value]
    except BaseException:
        f.close()
        raise
    return f


class SessionReader:
    """Streams a session file: `header` is read on opening; iterating yields `Entry` objects
    in file order, never holding more than one line.

    A bad line raises SessionFormatError naming the file and the line; with `on_error`
    (a callable taking that error) the line is reported and skipped instead.
    """

    def __init__(self, path: str | os.PathLike, decoder: Decoder | None = None) -> None:
        self.path = os.fspath(path)
        self.decoder = decoder if decoder is not None else Decoder()
        self._file = _open_binary(self.path)
        self._raw = getattr(self._file, "fileobj", None) or self._file
        self._size = os.fstat(self._raw.fileno()).st_size
        self._line = 0
        try:
            first = self._readline()
            if first is None:
                raise SessionFormatError(self.path, 0, "empty file: no session header")
            try:
                self.header = SessionHeader.from_json(self.decoder.loads(first), self.decoder)
            except _Bad as exc:
                raise SessionFormatError(self.path, 1, str(exc)) from None
        except BaseException:
            self._file.close()
            raise

    def _readline(self) -> bytes | None:
        try:
            raw = self._file.readline()
        except (OSError, EOFError) as exc:  # a truncated or corrupt gzip stream
            raise SessionFormatError(self.path, self._line + 1, f"cannot read: {exc}") from None
        if not raw:
            return None
        self._line += 1
        return raw

    def fraction(self) -> float:
        """How much of the file has been read, 0 to 1 (of the compressed bytes for gzip)."""
        if self._raw.closed:
            return 1.0
        return min(1.0, self._raw.tell() / self._size) if self._size else 1.0

    def count_remaining(self) -> int:
        """Reads the rest of the file without decoding it; the number of non-blank lines."""
        n = 0
        while (raw := self._readline()) is not None:
            n += bool(raw.strip())
        return n

    @property
    def line(self) -> int:
        """The number of the last line read."""
        return self._line

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> SessionReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Entry]:
        return self.entries()

    def entries(self, on_error: Callable[[SessionFormatError], None] | None = None) -> Iterator[Entry]:
        decode = self.decode_entry
        while True:
            try:
                raw = self._readline()
            except SessionFormatError as exc:
                if on_error is None:
                    raise
                on_error(exc)
                return  # nothing after an unreadable stream can be trusted
            if raw is None:
                return
            if not raw.strip():
                continue
            try:
                yield decode(self._line, raw)
            except SessionFormatError as exc:
                if on_error is None:
                    raise
                on_error(exc)

    def decode_entry(self, line: int, raw: bytes | str) -> Entry:
        try:
            return self._decode(line, raw)
        except _Bad as exc:
            raise SessionFormatError(self.path, line, str(exc)) from None

    def _decode(self, line: int, raw: bytes | str) -> Entry:
        dec = self.decoder
        obj = dec.loads(raw)
        if type(obj) is not dict:
            raise _Bad("an entry must be a JSON object")
        t = obj.get("t")
        if type(t) is not str:
            raise _Bad("entry without its local time 't' (ISO date-time text)")
        try:
            time = _dt.datetime.fromisoformat(t)
        except ValueError:
            raise _Bad(f"bad local time {t!r}") from None
        args = obj.get("args", [])
        kwargs = obj.get("kw", {})
        if type(args) is not list:
            raise _Bad("'args' must be a JSON array")
        if type(kwargs) is not dict:
            raise _Bad("'kw' must be a JSON object")
        name = obj.get("cb")
        if name is not None:
            params = SDK_CALLBACKS.get(name) if type(name) is str else None
            if params is None:
                if name in TIMER_CALLBACKS:
                    raise _Bad(f"{name!r} is a timer callback of the strategy; the replay fires "
                               "timers from its virtual clock, a session does not deliver them")
                raise _Bad(f"unknown callback name {name!r}")
            a, kw = dec.top_level(params, args, kwargs, dec.records)
            return Entry(line, time, "cb", name, a, kw)
        name = obj.get("act")
        if name is not None:
            params = FRAMEWORK_ACTS.get(name) if type(name) is str else None
            if params is None:
                raise _Bad(f"unknown framework act {name!r}")
            a, kw = dec.top_level(params, args, kwargs, dec.acts)
            return Entry(line, time, "act", name, a, kw)
        raise _Bad("an entry names either a callback ('cb') or a framework act ('act')")


def read_header(path: str | os.PathLike) -> SessionHeader:
    with SessionReader(path) as r:
        return r.header


# ---------------------------------------------------------------------------------------------
# Encoding


class Encoder:
    """Encodes values for a session line. SDK enumeration members become "$enum" (their type
    found among the public names of the module registered as pyvorn.enums), framework
    constants "$const" (from orvane.tamsel.const); any other object with attributes becomes a
    record: its public instance attributes (or slots, or public non-callable attributes)."""

    def __init__(self) -> None:
        self._enum_tags: dict[type, str | None] = {}
        self._fields: dict[type, Callable[[Any], dict]] = {}

    def enum_tag(self, t: type) -> str | None:
        tag = self._enum_tags.get(t, _MISSING)
        if tag is _MISSING:
            tag = None
            for modname, candidate in (("pyvorn.enums", "$enum"), ("orvane.tamsel.const", "$const")):
                mod = sys.modules.get(modname)
                if mod is not None and getattr(mod, t.__name__, None) is t:
                    tag = candidate
                    break
            if tag is None and issubclass(t, enum.Enum):
                tag = "$enum" if "pyvorn" in (t.__module__ or "") else "$const"
            self._enum_tags[t] = tag
        return tag  # type: ignore[return-value]

    def fields(self, obj: Any) -> dict[str, Any]:
        """The public fields of a record object, encoded."""
        t = type(obj)
        getter = self._fields.get(t)
        if getter is None:
            getter = self._field_getter(t, obj)
            self._fields[t] = getter
        out = getter(obj)
        value = self.value
        for k, v in out.items():
            tv = type(v)
            # plain values are kept as they are; everything else is encoded
            if not (tv is str or tv is int or v is None or (tv is float and _finite(v))):
                out[k] = value(v)
        return out

    @staticmethod
    def _field_getter(t: type, sample: Any) -> Callable[[Any], dict]:
        if hasattr(sample, "__dict__") and not isinstance(sample, type):
            def public_vars(o: Any) -> dict:
                d = vars(o).copy()
                for k in [k for k in d if k[:1] == "_"]:
                    del d[k]
                return d
            return public_vars
        slots = [s for c in t.__mro__ for s in getattr(c, "__slots__", ()) if not s.startswith("_")]
        if slots:
            return lambda o: {s: getattr(o, s) for s in slots if hasattr(o, s)}

        def public(o: Any) -> dict:
            out = {}
            for k in dir(o):
                if k.startswith("_"):
                    continue
                try:
                    v = getattr(o, k)
                except Exception:
                    continue
                if not callable(v):
                    out[k] = v
            return out
        return public

    def value(self, v: Any) -> Any:
        t = type(v)
        if v is None or t is str or t is int or t is bool:
            return v
        if t is float:
            return v if math.isfinite(v) else {"$float": repr(v)}
        if t is list:
            for x in v:
                tx = type(x)
                if not (tx is int or tx is str or (tx is float and _finite(x))):
                    return [self.value(x) for x in v]
            return v
        if t is tuple:
            return {"$tuple": [self.value(x) for x in v]}
        if t is dict:
            if all(type(k) is str for k in v):
                enc = {k: self.value(x) for k, x in v.items()}
                if enc and not any(k[:1] == "$" for k in enc):
                    return enc
                return {"$map": enc}
            # keys that JSON cannot hold as object keys: a list of [key, value] pairs
            return {"$map": [[self.value(k), self.value(x)] for k, x in v.items()]}
        tag = self.enum_tag(t) if (isinstance(v, enum.Enum) or hasattr(v, "name")) else None
        if tag is not None:
            return {tag: f"{t.__name__}.{v.name}"}
        if isinstance(v, _dt.datetime):
            return {"$datetime": v.isoformat()}
        if isinstance(v, _dt.date):
            return {"$date": v.isoformat()}
        if isinstance(v, (bytes, bytearray)):
            return {"$bytes": base64.b64encode(bytes(v)).decode("ascii")}
        if isinstance(v, bool):
            return bool(v)
        if isinstance(v, int):
            return int(v)
        if isinstance(v, float):
            return self.value(float(v))
        if isinstance(v, str):
            return str(v)
        item = getattr(v, "item", None)  # numpy scalars
        if item is not None and getattr(v, "ndim", None) == 0:
            return self.value(item())
        tolist = getattr(v, "tolist", None)  # numpy arrays and similar sequences
        if tolist is not None:
            return self.value(tolist())
        if isinstance(v, (list, tuple)):
            return self.value(list(v) if isinstance(v, list) else tuple(v))
        rec = self.fields(v)
        rec["$type"] = getattr(v, "record_type", None) or t.__name__
        return rec

    def top_level(self, v: Any) -> Any:
        """An argument of an entry: records carry no "$type" (the callback implies it)."""
        if _is_record(v):
            return self.fields(v)
        if type(v) is list:
            return [self.fields(x) if _is_record(x) else self.value(x) for x in v]
        return self.value(v)


_PLAIN = (str, int, float, bool, list, tuple, dict, bytes, bytearray, type(None), _dt.date)
_finite = math.isfinite


def _is_record(v: Any) -> bool:
    if isinstance(v, _PLAIN) or isinstance(v, enum.Enum):
        return False
    if hasattr(v, "tolist") or hasattr(v, "item"):
        return False
    return True


_default_encoder = Encoder()


def encode_value(v: Any) -> Any:
    return _default_encoder.value(v)


def format_time(t: _dt.datetime) -> str:
    return t.isoformat(timespec="milliseconds" if t.microsecond % 1000 == 0 else "microseconds")


class SessionWriter:
    """Writes a session: the header at once, then entries as they come. gzip-compressed when
    `compress` is true, or, when it is None, when the path ends in ".gz". Accepts a path or a
    binary file object (left open on close)."""

    def __init__(self, target: str | os.PathLike | IO[bytes], header: SessionHeader | dict,
                 compress: bool | None = None, level: int = 6) -> None:
        self._owned: IO[bytes] | None = None
        if isinstance(target, (str, os.PathLike)):
            self.path = os.fspath(target)
            raw = open(self.path, "wb")
            self._owned = raw
            if compress is None:
                compress = self.path.endswith(".gz")
        else:
            self.path = getattr(target, "name", "<stream>")
            raw = target
        self._gz = gzip.GzipFile(filename="", fileobj=raw, mode="wb", compresslevel=level, mtime=0) \
            if compress else None
        # small chunks: each reaches the compressor soon, so no single write pays for a big block
        self._out = io.BufferedWriter(self._gz, 1 << 13) if self._gz is not None else raw
        self._dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False,
                                       allow_nan=False).encode
        self.encoder = Encoder()
        self.entries = 0
        self._closed = False
        self.write_json(header.to_json() if isinstance(header, SessionHeader) else header)

    def write_json(self, obj: dict) -> None:
        """Writes one line from an object that is already in the file's encoding."""
        self._out.write(self._dumps(obj).encode("utf-8"))
        self._out.write(b"\n")

    def write_callback(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                       kwargs: dict | None = None) -> None:
        if name not in SDK_CALLBACKS:
            raise ValueError(f"unknown callback name {name!r}")
        self._entry(time, "cb", name, args, kwargs)

    def write_act(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                  kwargs: dict | None = None) -> None:
        if name not in FRAMEWORK_ACTS:
            raise ValueError(f"unknown framework act {name!r}")
        self._entry(time, "act", name, args, kwargs)

    def _entry(self, time: _dt.datetime | str, kind: str, name: str, args, kwargs) -> None:
        enc = self.encoder.top_level
        line: dict[str, Any] = {"t": time if isinstance(time, str) else format_time(time), kind: name}
        if args:
            line["args"] = [enc(a) for a in args]
        if kwargs:
            line["kw"] = {k: enc(v) for k, v in kwargs.items()}
        self.write_json(line)
        self.entries += 1

    def flush(self) -> None:
        self._out.flush()

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            if self._gz is not None:
                self._out.close()  # flushes into the gzip stream and ends it (the file stays open)
            else:
                self._out.flush()
        finally:
            if self._owned is not None:
                self._owned.close()

    def __enter__(self) -> SessionWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

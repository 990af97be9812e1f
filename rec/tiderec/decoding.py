"""The one decoder of session files, JSONL and binary.

The common JSON line (one callback, one record of plain values and "$enum"/"$const" tags) is
decoded in C by tiderec._lines, straight into its Entry, once the Python decoding below has
learned the callback's line. Every other JSON line, and every line when the native module is
missing, is parsed by msgspec's JSON decoder into plain objects; tagged values and records
are then built by a walk over what the line holds. Most lines need next to no walk: the decoder
remembers, per callback and argument, which fields held tagged values last time, and a typed
parse that notes every tag it meets (or, for lines it does not take, a count of the line's "{")
proves when those are all there is to convert. Any other line takes the full walk.

Binary lines (tiderec.binary) are parsed by msgspec's MessagePack decoder, which hands each
tagged value (an extension value) to the decoder as it meets it: the same tag handling
(`Decoder._tag`) builds its value at once, so a binary line needs no walk.

Files are read as a stream of blocks (plain text, one or more gzip members, or binary frames),
split into lines without holding more than one block. A file cut off in the middle of a block
(a recording whose process was killed) yields every whole line before the cut, then one note
naming the last whole line.
"""
from __future__ import annotations

import base64
import datetime as _dt
import decimal
import importlib
import os
import sys
from typing import IO, Any, Callable, Iterator, Sequence, Union

import msgspec

try:
    from ._lines import LineDecoder as _LineDecoder
except ImportError:  # a source tree whose native modules are not built: the Python decoding
    _LineDecoder = None

from .binary import BIGINT, CODE_TAGS, MAGIC, RECORD, Frames, big_int, inflater
from .schema import (FRAMEWORK_ACTS, SDK_CALLBACKS, TIMER_CALLBACKS, Entry, SessionFormatError,
                     SessionHeader, _Bad, adopt_record, parse_iso, record_type)

_MISSING = object()
_CHUNK = 1 << 18  # compressed bytes read at a time: a few MB of text at most
_MAX_DEPTH = 200


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


def _numpy_tag(tag: str, v: Any, walk: Callable[[Any, int], Any], depth: int) -> Any:
    try:
        import numpy as np
    except ImportError:
        raise _Bad(f"{tag}: numpy is not installed") from None
    try:
        if tag == "$npscalar":
            if not (isinstance(v, list) and len(v) == 2 and isinstance(v[0], str)):
                raise _Bad("$npscalar must hold [dtype, value]")
            return np.array(walk(v[1], depth), dtype=np.dtype(v[0]))[()]
        if not (isinstance(v, dict) and isinstance(v.get("dtype"), str)
                and isinstance(v.get("shape"), list) and isinstance(v.get("data"), list)):
            raise _Bad("$ndarray must hold an object with 'dtype', 'shape' and 'data'")
        dtype = np.dtype(v["dtype"])
        data = walk(v["data"], depth)
        if dtype.kind == "O":
            flat = np.empty(len(data), dtype=object)
            flat[:] = data
        else:
            flat = np.array(data, dtype=dtype)
        return flat.reshape(v["shape"])
    except (TypeError, ValueError, OverflowError) as exc:
        raise _Bad(f"{tag}: {exc}") from None


def _unrecorded(v: Any) -> Any:
    raise _Bad(f"a value of this entry was not recorded ({v if isinstance(v, str) else 'unknown'}); "
               "the entry cannot be replayed as it was delivered")


# The typed parse of the common JSON line (Decoder._make_quick). _met_tags collects the tags it
# meets, in the order met; the decoder clears it before each parse and checks by identity that
# the tags it converts are those of its own parse (another thread's parse may run in between).
_met_tags: list = []
_Plain = Union[None, bool, int, float, str]


class _TextTag(msgspec.Struct, forbid_unknown_fields=True):
    """{"$enum": name} or {"$const": name}, and nothing else."""

    enum: Union[str, None] = msgspec.field(name="$enum", default=None)
    const: Union[str, None] = msgspec.field(name="$const", default=None)

    def __post_init__(self) -> None:
        if (self.enum is None) == (self.const is None):
            raise ValueError("not a tag")  # a plain dict, or a tag holding null: the full walk
        _met_tags.append(self)


class _QuickLine(msgspec.Struct, forbid_unknown_fields=True):
    t: str
    cb: str
    args: tuple[dict[str, Union[None, bool, int, float, str, list[_Plain], _TextTag]]]


_quick_line = msgspec.json.Decoder(_QuickLine)


class Decoder:
    """Decodes entry lines. `records` builds an SDK record from a type name and its fields;
    `acts` builds the framework's objects of the acts (e.g. the order of place_order) the same
    way; `resolve` resolves "$enum"/"$const" names."""

    def __init__(self, records: Callable[[str, dict], Any] = adopt_record,
                 acts: Callable[[str, dict], Any] | None = None,
                 resolve: Callable[[str, Any], Any] | None = None) -> None:
        self.records = records
        self.acts = acts if acts is not None else records
        self.resolve = resolve if resolve is not None else Resolver()
        self._json = msgspec.json.Decoder()
        # (callback or act name, argument position) -> the fields that held an object last time
        self._object_fields: dict[tuple[str, int], tuple[str, ...]] = {}
        # callback -> (record type, fields holding tagged values, number of "{" in the line,
        # record factory)
        self._plans: dict[str, tuple] = {}
        self._tags: dict[tuple[str, Any], Any] = {}
        # The common line is decoded in C when the native module is there (tiderec._lines),
        # which hands every other line to the Python decoding; else by the typed parse below.
        self._quick = self._make_quick(typed=_LineDecoder is None)
        self.entry = self._quick if _LineDecoder is None else \
            _LineDecoder(self._plans, self.resolve, Entry, self._quick)  # type: ignore[method-assign]
        # binary lines: tags are decoded while MessagePack is parsed (see _ext)
        self._ext_cache: dict[tuple[int, bytes], Any] = {}
        self._msgpack = msgspec.msgpack.Decoder(ext_hook=self._make_ext())
        # callback -> (record type, (), 0, record factory, record class or None) of the common
        # binary line (laid out as the JSON plans, for the native decoder)
        self._binary_plans: dict[str, tuple] = {}
        self._binary_python = self._make_binary()
        self.binary_entry = self._binary_python if _LineDecoder is None else \
            _LineDecoder(self._binary_plans, self.resolve, Entry, self._binary_python, binary=True)

    # -- values ------------------------------------------------------------------------------

    def parse(self, raw: bytes | str) -> Any:
        """The JSON document of one line, as plain objects (tags not decoded)."""
        try:
            return self._json.decode(raw)
        except msgspec.ValidationError as exc:  # numbers beyond what a line may hold
            raise _Bad(f"malformed JSON: {exc}") from None
        except msgspec.DecodeError as exc:
            raise _Bad(f"malformed JSON: {exc}") from None
        except UnicodeDecodeError as exc:
            raise _Bad(f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
        except RecursionError:
            raise _Bad("nesting too deep") from None

    def binary_loads(self, raw: bytes) -> Any:
        """One binary line, its tags decoded (records nested under "$type" built too)."""
        try:
            return self._msgpack.decode(raw)
        except msgspec.DecodeError as exc:
            raise _Bad(f"malformed binary line: {exc}") from None
        except UnicodeDecodeError as exc:
            raise _Bad(f"a text that is not UTF-8: {exc.reason} at byte {exc.start}") from None
        except RecursionError:
            raise _Bad("nesting too deep") from None

    def _make_ext(self) -> Callable[[int, memoryview], Any]:
        """The value of a tag in a binary line, from its extension type code and data:
        enumeration members and constants cached by their bytes."""
        get = self._ext_cache.get
        cache = self._ext_cache
        value = self._ext_value

        def ext(code: int, data: memoryview) -> Any:
            if code <= 2:  # $enum and $const
                key = (code, bytes(data))
                hit = get(key, _MISSING)
                if hit is _MISSING:
                    hit = cache[key] = value(code, data)
                return hit
            return value(code, data)
        return ext

    def _ext_value(self, code: int, data: memoryview) -> Any:
        if code == BIGINT:
            return big_int(data)
        tag = CODE_TAGS.get(code)
        if tag is None:
            raise _Bad(f"unknown extension type {code} in binary data")
        v = self._msgpack.decode(data)
        if code == RECORD:
            if type(v) is not dict or "$type" not in v:
                raise _Bad("a nested record must hold its fields and '$type'")
            name = v.pop("$type")
            fields = v
            if type(name) is not str:
                raise _Bad(f"$type must be a text, not {name!r}")
            return self.records(name, fields)
        return self._tag(tag, v, 0, _decoded)

    def loads(self, raw: bytes | str) -> Any:
        """One JSON document with tags decoded (records nested under "$type" built too)."""
        return self.value(self.parse(raw))

    def value(self, v: Any, depth: int = 0) -> Any:
        """A parsed value with its tags decoded and its nested records built."""
        t = type(v)
        if t is dict:
            if depth > _MAX_DEPTH:
                raise _Bad("nesting too deep")
            if len(v) == 1:
                for k, x in v.items():
                    if k[:1] == "$":
                        return self._tag(k, x, depth + 1)
            value = self.value
            if "$type" in v:
                name = v["$type"]
                if type(name) is not str:
                    raise _Bad(f"$type must be a text, not {name!r}")
                return self.records(name, {k: value(x, depth + 1) for k, x in v.items() if k != "$type"})
            return {k: value(x, depth + 1) for k, x in v.items()}
        if t is list:
            if depth > _MAX_DEPTH:
                raise _Bad("nesting too deep")
            for x in v:
                tx = type(x)
                if tx is dict or tx is list:
                    value = self.value
                    return [value(x, depth + 1) for x in v]
            return v
        return v

    def _tag(self, k: str, v: Any, depth: int, walk: Callable[[Any, int], Any] | None = None) -> Any:
        """The value of tag `k` holding `v`. `walk` decodes what the tag holds (by default the
        walk over parsed JSON; binary lines hand over values that are decoded already)."""
        value = walk if walk is not None else self.value
        if k == "$enum" or k == "$const":
            return self.resolve(k, v)
        if k == "$float":
            return _float_tag(v)
        if k == "$tuple":
            if type(v) is not list:
                raise _Bad("$tuple must hold a JSON array")
            return tuple(value(v, depth))
        if k == "$map":
            if type(v) is dict:  # its keys are keys, whatever they look like
                return {key: value(x, depth + 1) for key, x in v.items()}
            if type(v) is list and all(type(p) is list and len(p) == 2 for p in v):
                try:
                    return {value(key, depth + 1): value(x, depth + 1) for key, x in v}
                except TypeError as exc:
                    raise _Bad(f"$map key: {exc}") from None
            raise _Bad("$map must hold a JSON object or a list of [key, value] pairs")
        if k == "$type":
            if type(v) is not str:
                raise _Bad(f"$type must be a text, not {v!r}")
            return self.records(v, {})
        if k == "$datetime":
            return parse_iso(_dt.datetime, v, k)
        if k == "$date":
            return parse_iso(_dt.date, v, k)
        if k == "$time":
            return parse_iso(_dt.time, v, k)
        if k == "$timedelta":
            if type(v) is not int:
                raise _Bad("$timedelta must be a whole number of microseconds")
            try:
                return _dt.timedelta(microseconds=v)
            except OverflowError as exc:
                raise _Bad(f"$timedelta: {exc}") from None
        if k == "$decimal":
            if type(v) is not str:
                raise _Bad("$decimal must be text")
            try:
                return decimal.Decimal(v)
            except decimal.InvalidOperation:
                raise _Bad(f"$decimal: not a decimal number: {v!r}") from None
        if k == "$set" or k == "$frozenset":
            if type(v) is not list:
                raise _Bad(f"{k} must hold a JSON array")
            try:
                items = value(v, depth)
                return set(items) if k == "$set" else frozenset(items)
            except TypeError as exc:
                raise _Bad(f"{k}: {exc}") from None
        if k == "$bytes":
            return _bytes_tag(v)
        if k == "$bytearray":
            return bytearray(_bytes_tag(v))
        if k == "$ndarray" or k == "$npscalar":
            return _numpy_tag(k, v, value, depth)
        if k == "$unrecorded":
            return _unrecorded(v)
        raise _Bad(f"unknown tag {k!r}")

    # -- entries -----------------------------------------------------------------------------

    def entry(self, line: int, raw: bytes) -> Entry:
        """One entry line (bytes) decoded."""
        return self._quick(line, raw)

    def _make_quick(self, typed: bool = True) -> Callable[[int, bytes], Entry]:
        """The decoding of the common line, {"t": ..., "cb": ..., "args": [one record]}, whose
        record holds tagged values in the fields remembered for its callback and nowhere else.

        First a typed parse (see _QuickLine), which accepts only such a line whose record holds
        plain values, lists of plain values and "$enum"/"$const" tags, and notes every tag it
        meets: when those are the remembered fields' values, they are all there is to convert.
        Otherwise the line is parsed as plain JSON, and a count of its "{" proves the same (every
        JSON object opens with one, so when the objects found account for every "{" there is no
        other). Any other line takes the full walk. When the typed parse fails for much of a
        file (records of other shapes), it is no longer tried; with `typed` false it is never
        tried (the native decoder, tiderec._lines, has already taken every line it would)."""
        typed_decode = _quick_line.decode
        met = _met_tags
        decode = self._json.decode
        plans = self._plans
        cache = self._tags
        cached_tag = self._cached_tag
        full = self._entry
        fromiso = _dt.datetime.fromisoformat
        new = object.__new__
        misses = [0, bool(typed)]  # typed parses that did not serve; whether to try them

        def entry(line: int, raw: bytes) -> Entry:
            if misses[1]:
                try:
                    del met[:]
                    obj = typed_decode(raw)
                    name = obj.cb
                    plan = plans.get(name)
                    rec = obj.args[0]
                    if plan is not None and len(met) == len(plan[1]) and "$type" not in rec \
                            and (len(rec) != 1 or not _has_type(rec)):
                        i = 0
                        for k in plan[1]:
                            tag = rec[k]
                            if tag is not met[i]:  # (met holds this parse's tags, in order)
                                break
                            i += 1
                            v = tag.enum
                            key = ("$enum", v) if v is not None else ("$const", tag.const)
                            hit = cache.get(key)
                            rec[k] = hit if hit is not None else cached_tag(*key)
                        else:
                            cls = plan[4]
                            if cls is not None:  # adopt_record's work, without the call
                                record = new(cls)
                                record.__dict__ = rec
                            else:
                                record = plan[3](plan[0], rec)
                            return Entry(line, fromiso(obj.t), "cb", name, (record,), {})
                except Exception:
                    pass
                misses[0] += 1
                if misses[0] > 1000 and misses[0] * 4 > line:
                    misses[1] = False
            try:
                obj = decode(raw)
                name = obj["cb"]
                plan = plans.get(name)
                if plan is not None and len(obj) == 3 and raw.count(b"{") == plan[2]:
                    args = obj["args"]
                    if type(args) is not list or len(args) != 1:
                        raise TypeError  # (any other arguments: the full walk)
                    rec = args[0]
                    t = obj["t"]
                    # (a record naming its own type, or a lone tag, is not the common line)
                    if type(rec) is dict and type(t) is str and not _has_type(rec):
                        for k in plan[1]:
                            (tag, v), = rec[k].items()
                            hit = cache.get((tag, v))
                            rec[k] = hit if hit is not None else cached_tag(tag, v)
                        cls = plan[4]
                        if cls is not None:
                            record = new(cls)
                            record.__dict__ = rec
                        else:
                            record = plan[3](plan[0], rec)
                        return Entry(line, fromiso(t), "cb", name, (record,), {})
            except Exception:
                pass
            return full(line, raw)
        return entry

    def _cached_tag(self, tag: str, v: Any) -> Any:
        value = self._tag(tag, v, 2)
        if tag == "$enum" or tag == "$const":
            self._tags[(tag, v)] = value
        return value

    def _make_binary(self) -> Callable[[int, bytes], Entry]:
        """The decoding of a binary line. Its tags are decoded by the parse; the common line,
        {"t": ..., "cb": ..., "args": [one record]}, then only needs its record made."""
        decode = self._msgpack.decode
        parse = self.binary_loads
        plans = self._binary_plans
        full = self._entry_of
        fromiso = _dt.datetime.fromisoformat
        new = object.__new__

        def entry(line: int, raw: bytes) -> Entry:
            try:
                obj = decode(raw)
            except _Bad:
                raise
            except Exception:
                obj = parse(raw)  # raises what a bad line is reported as
            try:
                if len(obj) == 3:
                    name = obj["cb"]
                    plan = plans.get(name)
                    args = obj["args"]
                    if plan is not None and type(args) is list and len(args) == 1:
                        rec = args[0]
                        t = obj["t"]
                        if type(rec) is dict and type(t) is str:
                            time = fromiso(t)
                            cls = plan[4]
                            if cls is not None:
                                record = new(cls)
                                record.__dict__ = rec
                            else:
                                record = self.records(plan[0], rec)
                            return Entry(line, time, "cb", name, (record,), {})
            except Exception:
                pass
            return full(line, obj, True)
        return entry

    def _entry(self, line: int, raw: bytes) -> Entry:
        return self._entry_of(line, self.parse(raw), False)

    def _entry_of(self, line: int, obj: Any, decoded: bool) -> Entry:
        """An entry from its parsed line: JSON (`decoded` false: its values still to be
        walked) or binary (its values decoded already)."""
        if type(obj) is not dict:
            raise _Bad("an entry must be a JSON object")
        if "trailer" in obj and "cb" not in obj and "act" not in obj:
            raise _Trailer(obj["trailer"])
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
            if "act" in obj:
                raise _Bad("an entry names either a callback ('cb') or a framework act ('act'), not both")
            params = SDK_CALLBACKS.get(name) if type(name) is str else None
            if params is None:
                if type(name) is str and name in TIMER_CALLBACKS:
                    raise _Bad(f"{name!r} is a timer callback of the strategy; the replay fires "
                               "timers from its virtual clock, a session does not deliver them")
                raise _Bad(f"unknown callback name {name!r}")
            kind, factory = "cb", self.records
        else:
            name = obj.get("act")
            if name is None:
                raise _Bad("an entry names either a callback ('cb') or a framework act ('act')")
            params = FRAMEWORK_ACTS.get(name) if type(name) is str else None
            if params is None:
                raise _Bad(f"unknown framework act {name!r}")
            kind, factory = "act", self.acts
        if decoded:
            if any(type(k) is not str for k in kwargs):
                raise _Bad("the names in 'kw' must be texts")
            entry = Entry(line, time, kind, name, *self.top_level(params, args, kwargs, factory))
            if kind == "cb" and len(obj) == 3 and "args" in obj and len(args) == 1 \
                    and type(args[0]) is dict and params and params[0][1] is not None:
                cls = record_type(params[0][1]) if self.records is adopt_record else None
                self._binary_plans[name] = (params[0][1], (), 0, self.records, cls)
            return entry
        entry = Entry(line, time, kind, name, *self._full_args(name, params, args, kwargs, factory))
        if kind == "cb" and len(obj) == 3 and "args" in obj and len(args) == 1 and type(args[0]) is dict \
                and params and params[0][1] is not None and not _has_type(args[0]):
            keys = self._object_fields.get((name, 0), ())
            # the record class itself when records are adopted plainly (built inline)
            cls = record_type(params[0][1]) if self.records is adopt_record else None
            self._plans[name] = (params[0][1], keys, 2 + len(keys), self.records, cls)
        return entry

    def _full_args(self, name: str, params: tuple, args: list, kwargs: dict,
                   factory: Callable[[str, dict], Any]) -> tuple[tuple, dict]:
        """Every argument walked; records of the implied types built from plain objects."""
        value = self.value
        out = []
        for i, v in enumerate(args):
            rtype = params[i][1] if i < len(params) else None
            if type(v) is dict and rtype is not None:
                self._object_fields[(name, i)] = tuple(k for k, x in v.items() if type(x) is dict)
            out.append(_implied(value(v), rtype, factory))
        if kwargs:
            types_by_name = dict(params)
            kwargs = {k: _implied(value(v), types_by_name.get(k), factory) for k, v in kwargs.items()}
        return tuple(out), kwargs

    def top_level(self, params: tuple[tuple[str, str | None], ...], args: list, kwargs: dict,
                  factory: Callable[[str, dict], Any]) -> tuple[tuple, dict]:
        """Turns plain objects among already decoded arguments into records of the implied
        types."""
        out = list(args)
        for i, v in enumerate(out):
            rtype = params[i][1] if i < len(params) else None
            out[i] = _implied(v, rtype, factory)
        if kwargs:
            types_by_name = dict(params)
            kwargs = {k: _implied(v, types_by_name.get(k), factory) for k, v in kwargs.items()}
        return tuple(out), kwargs


def _decoded(v: Any, depth: int) -> Any:
    """The walk over values that are decoded already (binary lines)."""
    return v


def _has_type(d: dict) -> bool:
    return "$type" in d or (len(d) == 1 and next(iter(d))[:1] == "$")


def _fromiso(t: Any) -> _dt.datetime:
    if type(t) is not str:
        raise TypeError
    return _dt.datetime.fromisoformat(t)


def _implied(v: Any, rtype: str | None, factory: Callable[[str, dict], Any]) -> Any:
    if type(v) is dict:
        return factory(rtype or "Record", v)
    if type(v) is list and rtype is not None:
        return [factory(rtype, x) if type(x) is dict else x for x in v]
    return v


class _Trailer(Exception):
    """The closing line of a recording: what the recorder could not keep."""

    def __init__(self, info: Any) -> None:
        super().__init__()
        self.info = info


def trailer_problem(info: Any) -> str | None:
    """The problem a trailer reports, or None when the recording kept everything."""
    if not isinstance(info, dict):
        return "malformed trailer: it must be a JSON object"
    dropped = info.get("dropped") or {}
    errors = info.get("errors") or 0
    parts = []
    if isinstance(dropped, dict) and dropped:
        total = sum(v for v in dropped.values() if isinstance(v, int))
        detail = ", ".join(f"{k} {v}" for k, v in sorted(dropped.items()))
        parts.append(f"the recorder dropped {total} callback(s) it could not write in time "
                     f"({detail}); the recording is incomplete")
    if isinstance(errors, int) and errors:
        parts.append(f"{errors} value(s) could not be recorded (their entries are reported "
                     "where they occur)")
    return "; ".join(parts) or None


# ---------------------------------------------------------------------------------------------
# Reading files


def _open_source(path: str) -> _Lines | Frames:
    """The reader of the file's lines: binary frames or text, told by the file's first bytes."""
    file = open(path, "rb")
    try:
        size = os.fstat(file.fileno()).st_size
        head = file.read(len(MAGIC))
    except BaseException:
        file.close()
        raise
    if head == MAGIC:
        return Frames(path, file, size)
    return _Lines(path, file, size, head)


class _Lines:
    """The lines of a text session file (bytes, without the newline), read block by block:
    plain text, or gzip members one after another. After the last line, `cut` says whether the
    file ended in the middle of a compressed block, and `error` whether a block was
    unreadable."""

    binary = False

    def __init__(self, path: str, file: IO[bytes], size: int, head: bytes) -> None:
        self.path = path
        self.file = file
        self.size = size
        self.compressed = head[:2] == b"\x1f\x8b"
        self._head = head
        self.cut: str | None = None
        self.error: str | None = None
        self.unfinished = False  # the last line had no newline

    def _blocks(self) -> Iterator[bytes]:
        f = self.file
        data = self._head
        if not self.compressed:
            if data:
                yield data
            while chunk := f.read(_CHUNK):
                yield chunk
            return
        gz = inflater()
        d = gz.decompressobj(31)
        fed = False
        while True:
            if not data:
                data = f.read(_CHUNK)
                if not data:
                    break
            fed = True
            try:
                out = d.decompress(data)
            except gz.error as exc:
                self.error = f"corrupt compressed data ({exc})"
                return
            data = b""
            if out:
                yield out
            if d.eof:
                data = d.unused_data
                d = gz.decompressobj(31)
                fed = False
                while data and len(data) < 2:
                    more = f.read(_CHUNK)
                    if not more:
                        break
                    data += more
                if data and data[:2] != b"\x1f\x8b":
                    while not data.strip(b"\x00"):  # zero padding after the last member
                        data = f.read(_CHUNK)
                        if not data:
                            return
                    self.error = "data after a compressed block is neither a block nor padding"
                    return
        if fed and not d.eof:
            out = d.flush()
            if out:
                yield out
            self.cut = "the file ends in the middle of a compressed block"

    def chunks(self) -> Iterator[tuple[bytes, int]]:
        """The text as (block, end) pairs: block[:end] is whole lines, each ending in a
        newline, except that the last pair may be the file's unfinished last line (then
        `unfinished` is set and end is the block's length)."""
        rest = b""
        for block in self._blocks():
            if rest:
                block = rest + block
            end = block.rfind(b"\n") + 1
            rest = block[end:]
            if end:
                yield block, end
        if rest and self.cut is None and self.error is None:
            self.unfinished = True
            yield rest, len(rest)

    def __iter__(self) -> Iterator[bytes]:
        for block, end in self.chunks():
            yield from _split(block, 0, end)

    def tell(self) -> int:
        return self.file.tell() if not self.file.closed else self.size

    def close(self) -> None:
        self.file.close()


class SessionReader:
    """Streams a session file: `header` is read on opening; iterating yields `Entry` objects
    in file order, never holding more than one block of the file.

    A bad line raises SessionFormatError naming the file and the line; with `on_error`
    (a callable taking that error) the line is reported and skipped instead. The closing
    trailer of a recording is not an entry: what it reports (callbacks the recorder dropped)
    is a problem of the file, raised or reported like a bad line.
    """

    def __init__(self, path: str | os.PathLike, decoder: Decoder | None = None) -> None:
        self.path = os.fspath(path)
        self.decoder = decoder if decoder is not None else Decoder()
        self._source = _open_source(self.path)
        self.binary = self._source.binary  # the compact binary encoding, not JSONL
        # The file comes in blocks of whole lines: text (bytes, its lines _block[_pos:_end]
        # still to read) or a binary frame (a list of lines, _block[_pos:_end] still to read).
        # _pending holds what is decoded of the current block and not yet handed on.
        self._chunks = self._source.chunks()
        self._block: Any = b""
        self._pos = self._end = 0
        self._pending: Iterator[Any] = iter(())
        self._line = 0
        self.trailer: dict | None = None
        try:
            first = self._readline()
            if first is None:
                self._end_of_file()
                raise SessionFormatError(self.path, 0, "empty file: no session header")
            try:
                obj = self.decoder.binary_loads(first) if self.binary else self.decoder.loads(first)
                self.header = SessionHeader.from_json(obj, self.decoder)
            except _Bad as exc:
                raise SessionFormatError(self.path, 1, str(exc)) from None
        except BaseException:
            self._source.close()
            raise

    def _readline(self) -> bytes | None:
        while self._pos >= self._end:
            if not self._next_chunk():
                return None
        block, pos = self._block, self._pos
        if self.binary:
            self._pos = pos + 1
            self._line += 1
            return block[pos]
        nl = block.find(b"\n", pos, self._end)
        if nl < 0:
            nl = self._end
        self._pos = nl + 1
        self._line += 1
        return block[pos:nl]

    def _next_chunk(self) -> bool:
        """Moves to the next block of whole lines; false at the end of the file."""
        for self._block, self._end in self._chunks:
            self._pos = 0
            return True
        return False

    def _end_of_file(self) -> None:
        """Raises the note on a file that ends cut off or unreadable."""
        src = self._source
        if src.cut is not None or src.error is not None:
            last = self._line
            what = src.cut or src.error
            if src.cut is not None:
                text = (f"cannot read past line {last}: {what} (cut off, as when the recording "
                        f"process is killed); line {last} is the last whole line, everything up "
                        f"to it was read")
            else:
                text = f"cannot read past line {last}: {what}"
            src.cut = src.error = None
            raise SessionFormatError(self.path, last + 1, text)

    def fraction(self) -> float:
        """How much of the file has been read, 0 to 1 (of the compressed bytes for gzip)."""
        size = self._source.size
        return min(1.0, self._source.tell() / size) if size else 1.0

    def count_remaining(self) -> int:
        """Reads the rest of the file without decoding it; the number of non-blank lines."""
        n = 0
        binary = self.binary
        for item in self._pending:  # decoded already, not handed on
            self._line += 1
            n += type(item) is not bytes or binary or bool(item.strip())
        while (raw := self._readline()) is not None:
            n += binary or bool(raw.strip())
        return n

    @property
    def line(self) -> int:
        """The number of the last line read."""
        return self._line

    def close(self) -> None:
        self._source.close()

    def __enter__(self) -> SessionReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Entry]:
        return self.entries()

    def entries(self, on_error: Callable[[SessionFormatError], None] | None = None) -> Iterator[Entry]:
        # A block at a time: the native decoder (when there is one) decodes a few of the
        # block's lines at a time, handing back each line it does not take as its bytes,
        # which the Python decoding then decodes or reports.
        line = self._line
        binary = self.binary
        entry = self.decoder.binary_entry if binary else self.decoder.entry
        native = getattr(entry, "lines", None)
        decode = getattr(entry, "fallback", entry)
        while self._pos < self._end or self._next_chunk():
            if native is not None:
                items, self._pos = native(self._block, self._pos, self._end, line + 1)
            else:
                items = self._block[self._pos:self._end] if binary else \
                    _split(self._block, self._pos, self._end)
                self._pos = self._end
            self._pending = it = iter(items)
            for raw in it:
                line += 1
                self._line = line
                if type(raw) is not bytes:
                    yield raw
                elif binary or (raw and not raw.isspace()):  # (binary lines are never blank)
                    got = self._decode(line, raw, decode, on_error)
                    if got is not None:
                        yield got
        self._report_end(on_error)

    def entry_runs(self, on_error: Callable[[SessionFormatError], None] | None = None
                   ) -> Iterator[Sequence[Entry]]:
        """entries(), in runs of consecutive entries: a block's lines that the native decoder
        took all at once are handed on as its list, so that a caller takes the usual entry by
        looping over a list instead of resuming this generator; a block with a line left to
        the Python decoding hands its entries on one at a time, in file order with that line's
        report. While a run is out, `line` is the line of its last entry: a caller that stops
        within a run counts what it did not take of it, then count_remaining() the rest."""
        binary = self.binary
        entry = self.decoder.binary_entry if binary else self.decoder.entry
        native = getattr(entry, "lines", None)
        if native is None:
            for got in self.entries(on_error):
                yield (got,)
            return
        line = self._line
        decode = getattr(entry, "fallback", entry)
        nothing: Iterator[Any] = iter(())
        while self._pos < self._end or self._next_chunk():
            items, self._pos = native(self._block, self._pos, self._end, line + 1)
            if bytes not in map(type, items):  # every line an entry (the usual block)
                line += len(items)
                self._line = line
                self._pending = nothing
                if items:
                    yield items
                continue
            self._pending = it = iter(items)
            for raw in it:
                line += 1
                self._line = line
                if type(raw) is not bytes:
                    yield (raw,)
                elif binary or (raw and not raw.isspace()):
                    got = self._decode(line, raw, decode, on_error)
                    if got is not None:
                        yield (got,)
        self._report_end(on_error)

    def _report_end(self, on_error: Callable[[SessionFormatError], None] | None) -> None:
        """The checks at the end of the file (the trailer, a cut last block), reported to
        on_error (raised without one)."""
        try:
            self._end_of_file()
        except SessionFormatError as err:
            if on_error is None:
                raise
            on_error(err)

    def _decode(self, line: int, raw: bytes, decode: Callable[[int, bytes], Entry],
                on_error: Callable[[SessionFormatError], None] | None) -> Entry | None:
        """The entry of one line; None for a bad line reported to on_error (raised without
        one) and for the closing trailer."""
        try:
            return decode(line, raw)
        except _Bad as exc:
            if self._source.unfinished:
                err = SessionFormatError(self.path, line, f"the file ends in the middle of line {line} "
                                         f"({exc}); line {line - 1} is the last whole line, "
                                         "everything up to it was read")
            else:
                err = SessionFormatError(self.path, line, str(exc))
        except _Trailer as t:
            self.trailer = t.info if isinstance(t.info, dict) else {}
            problem = trailer_problem(t.info)
            if problem is None:
                return None
            err = SessionFormatError(self.path, line, problem)
        except (ValueError, TypeError, RecursionError, MemoryError, OverflowError) as exc:
            # a failure the decoding did not foresee (a number too long to convert, say):
            # a bad line of its own, not the end of the reading
            err = SessionFormatError(self.path, line, f"{type(exc).__name__}: {exc}")
        if on_error is None:
            raise err from None
        on_error(err)
        return None

    def decode_entry(self, line: int, raw: bytes | str) -> Entry:
        decode = self.decoder.binary_entry if self.binary else self.decoder.entry
        try:
            return decode(line, raw if isinstance(raw, bytes) else raw.encode("utf-8"))
        except _Bad as exc:
            raise SessionFormatError(self.path, line, str(exc)) from None
        except _Trailer:
            raise SessionFormatError(self.path, line, "the closing trailer is not an entry") from None


def _split(block: bytes, start: int, end: int) -> list[bytes]:
    """The lines of block[start:end] (each ending in a newline, or at `end`)."""
    lines = block[start:end].split(b"\n")
    if end > start and block[end - 1] == 10:  # (a newline ends the last line; no line after it)
        lines.pop()
    return lines


def read_header(path: str | os.PathLike) -> SessionHeader:
    with SessionReader(path) as r:
        return r.header

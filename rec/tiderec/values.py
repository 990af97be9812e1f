"""The value encoding of session files: what a recorded value becomes in the file's form
(JSON's values, and tags for what JSON cannot hold). Depends on nothing else of tiderec, so
that the session's schema and the writers can both use it."""
from __future__ import annotations

import base64
import datetime as _dt
import decimal
import enum
import math
import sys
from typing import Any, Callable

import msgspec

_MISSING = object()
_finite = math.isfinite
_NUMBERS = frozenset({int, float})
_SCALARS = frozenset({str, int, float, bool, type(None)})


class Unencodable(Exception):
    """A value that the session format cannot hold."""


class Encoder:
    """Encodes values for a session line. SDK enumeration members become "$enum" (their type
    found among the public names of the module registered as pyvorn.enums), framework
    constants "$const" (from orvane.tamsel.const); any other object with attributes becomes a
    record: its public instance attributes (or slots, or public non-callable attributes).
    A value that cannot be held raises Unencodable."""

    careful = True

    def __init__(self) -> None:
        self._members: dict[int, dict] = {}
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
                guess = "$enum" if "pyvorn" in (t.__module__ or "") else "$const"
                home = "pyvorn.enums" if guess == "$enum" else "orvane.tamsel.const"
                # written by name when its module is not loaded yet; an enumeration that the
                # loaded module does not hold could not be read back
                tag = guess if sys.modules.get(home) is None else ""
            self._enum_tags[t] = tag
        return tag  # type: ignore[return-value]

    def fields(self, obj: Any) -> dict[str, Any]:
        """The public fields of a record object, encoded."""
        t = type(obj)
        getter = self._fields.get(t)
        if getter is None:
            getter = self._fields[t] = field_getter(t, obj)
        return self.encode_fields(getter(obj))

    def encode_fields(self, out: dict[str, Any]) -> dict[str, Any]:
        """A new-made dictionary of a record's fields, its values encoded in place.

        Unless `careful` is set, floats among the fields are left as they are, unchecked: a
        non-finite one comes out of msgspec as null, and the writer, seeing a null in the
        line, encodes the line again with `careful` set."""
        if self.careful:
            value = self.value
            for k, v in out.items():
                tv = type(v)
                # plain values are kept as they are; everything else is encoded
                if not (tv is str or tv is int or v is None or (tv is float and _finite(v))):
                    out[k] = value(v)
        elif not set(map(type, out.values())) <= _SCALARS:
            value = self.value
            for k in [k for k, v in out.items() if type(v) not in _SCALARS]:
                out[k] = value(out[k])
        return out

    def value(self, v: Any, depth: int = 0) -> Any:
        t = type(v)
        if v is None or t is str or t is int or t is bool:
            return v
        if t is float:
            return v if _finite(v) else {"$float": repr(v)}
        if depth > 100:
            raise Unencodable("nested too deep (a value that contains itself?)")
        d = depth + 1
        if t is list:
            kinds = set(map(type, v))  # a list of plain numbers is checked without a loop
            if kinds <= _NUMBERS and (float not in kinds or not self.careful or _finite(sum(v))):
                return v
            for x in v:
                tx = type(x)
                if not (tx is int or tx is str or (tx is float and _finite(x))):
                    return [self.value(x, d) for x in v]
            return v
        if t is tuple:
            return {"$tuple": [self.value(x, d) for x in v]}
        if t is dict:
            if all(type(k) is str for k in v):
                enc = {k: self.value(x, d) for k, x in v.items()}
                if enc and not any(k[:1] == "$" for k in enc):
                    return enc
                return {"$map": enc}
            # keys that JSON cannot hold as object keys: a list of [key, value] pairs
            return {"$map": [[self.value(k, d), self.value(x, d)] for k, x in v.items()]}
        hit = self._members.get(id(v))
        if hit is not None:
            return hit
        tag = self.enum_tag(t) if (isinstance(v, enum.Enum) or hasattr(v, "name")) else None
        if tag and isinstance(v, enum.Enum):  # members live as long as their class: by identity
            hit = self._members[id(v)] = {tag: f"{t.__name__}.{v.name}"}
            return hit
        if tag is not None:
            if not tag:
                raise Unencodable(f"the enumeration {t.__qualname__} is neither the SDK's nor the "
                                  "framework's")
            return {tag: f"{t.__name__}.{v.name}"}
        np_kind = _numpy_kind(t)
        if np_kind == "scalar":
            return {"$npscalar": [v.dtype.str, self.value(v.item(), d)]}
        if np_kind == "array":
            if v.dtype.kind == "V":
                raise Unencodable(f"numpy arrays of structured dtype {v.dtype} are not supported")
            return {"$ndarray": {"dtype": v.dtype.str, "shape": list(v.shape),
                                 "data": self.value(v.ravel().tolist(), d)}}
        if isinstance(v, _dt.datetime):
            return {"$datetime": v.isoformat()}
        if isinstance(v, _dt.date):
            return {"$date": v.isoformat()}
        if isinstance(v, _dt.time):
            return {"$time": v.isoformat()}
        if isinstance(v, _dt.timedelta):
            return {"$timedelta": (v.days * 86400 + v.seconds) * 1000000 + v.microseconds}
        if isinstance(v, decimal.Decimal):
            return {"$decimal": str(v)}
        if isinstance(v, (set, frozenset)):
            items = [self.value(x, d) for x in v]
            try:
                items.sort(key=_sort_key)
            except TypeError:
                pass
            return {"$set" if isinstance(v, set) else "$frozenset": items}
        if isinstance(v, bytes):
            return {"$bytes": base64.b64encode(v).decode("ascii")}
        if isinstance(v, bytearray):
            return {"$bytearray": base64.b64encode(bytes(v)).decode("ascii")}
        if isinstance(v, bool):
            return bool(v)
        if isinstance(v, int):
            return int(v)
        if isinstance(v, float):
            return self.value(float(v), d)
        if isinstance(v, str):
            return str(v)
        if isinstance(v, (list, tuple)):
            return self.value(list(v) if isinstance(v, list) else tuple(v), d)
        if isinstance(v, (complex, type)) or callable(v) and not hasattr(v, "__dict__"):
            raise Unencodable(f"a {t.__name__} is not a value a session can hold")
        rec = self.fields(v) if depth < 50 else None
        if rec is None:
            raise Unencodable("records nested too deep")
        rec["$type"] = getattr(v, "record_type", None) or t.__name__
        return rec

    def top_level(self, v: Any) -> Any:
        """An argument of an entry: records carry no "$type" (the callback implies it)."""
        if is_record(v):
            return self.fields(v)
        if type(v) is list:
            return [self.fields(x) if is_record(x) else self.value(x) for x in v]
        return self.value(v)


def _sort_key(x: Any) -> str:
    return msgspec.json.encode(x).decode()


def _numpy_kind(t: type) -> str | None:
    np = sys.modules.get("numpy")
    if np is None:
        return None
    if issubclass(t, np.generic):
        return "scalar"
    if issubclass(t, np.ndarray):
        return "array"
    return None


def field_getter(t: type, sample: Any) -> Callable[[Any], dict]:
    """A function giving a new dictionary of the public fields of objects of type t."""
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


_PLAIN = (str, int, float, bool, list, tuple, dict, set, frozenset, bytes, bytearray, type(None),
          _dt.date, _dt.time, _dt.timedelta, decimal.Decimal, complex)


def is_record(v: Any) -> bool:
    if isinstance(v, _PLAIN) or isinstance(v, enum.Enum):
        return False
    if _numpy_kind(type(v)) is not None:
        return False
    return True


_default_encoder = Encoder()


def encode_value(v: Any) -> Any:
    return _default_encoder.value(v)

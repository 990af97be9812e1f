"""Record bases shared by the framework stand-ins."""
from __future__ import annotations

import copy
import dataclasses
import enum
import keyword


_MISSING = object()  # stands for a positional argument the caller did not pass


class FieldRecord:
    """A record that keeps the values it was built from, positionally, under the names in
    `_fields`; two records are equal when they are of the same class with equal values."""

    _fields: tuple[str, ...] = ()

    def __init__(self, *values) -> None:
        if len(values) != len(self._fields):
            raise _wrong_count(self, len(values))
        # the records define no descriptors: filling the instance dictionary is setting each
        # attribute, at a fraction of the cost
        self.__dict__.update(zip(self._fields, values))

    def __init_subclass__(cls, **kwargs) -> None:
        super().__init_subclass__(**kwargs)
        # A record class with fields that would be built by the general constructor gets one
        # that names its fields: the interpreter then stores each value straight into the
        # instance, a third of the cost, and records are built on every market-data callback.
        # A class whose own or inherited __init__ is something else keeps it.
        init = cls.__init__
        if cls._fields and "__init__" not in cls.__dict__ \
                and (init is FieldRecord.__init__ or getattr(init, "_named_fields", None) is not None):
            cls.__init__ = _named_init(cls.__qualname__, cls._fields)

    def _values(self) -> tuple:
        return tuple(getattr(self, name) for name in self._fields)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    __hash__ = None  # mutable, compared by content

    def __repr__(self) -> str:
        inner = ", ".join(f"{n}={v!r}" for n, v in zip(self._fields, self._values()))
        return f"{type(self).__name__}({inner})"


def _wrong_count(record, given: int) -> TypeError:
    n = len(record._fields)
    return TypeError(f"{type(record).__name__}() takes exactly {n} positional arguments "
                     f"({given} given)")


def _named_init(owner: str, fields: tuple[str, ...]):
    """An __init__ taking exactly the values of `fields`, positionally, and setting each as the
    attribute of that name, in that order; any other number of values raises the TypeError the
    general constructor raises."""
    if not all(f.isidentifier() and not keyword.iskeyword(f) and not f.startswith("__")
               and f not in _GENERATED_NAMES for f in fields) or len(set(fields)) != len(fields):
        return FieldRecord.__init__
    params = ", ".join(f"{f}=_MISSING" for f in fields)
    stores = "".join(f"\n    self.{f} = {f}" for f in fields)
    # The last value tells whether all were passed (they are positional only); the sentinel is
    # never a value a caller holds.
    source = (f"def __init__(self, {params}, /, *extra):\n"
              f"    if extra or {fields[-1]} is _MISSING:\n"
              f"        raise _wrong_count(self, len(extra) + sum("
              f"v is not _MISSING for v in ({', '.join(fields)},)))"
              f"{stores}\n")
    namespace = {"_MISSING": _MISSING, "_wrong_count": _wrong_count}
    exec(source, namespace)  # noqa: S102 - the source is built from identifiers only
    init = namespace["__init__"]
    init.__qualname__ = f"{owner}.__init__"
    init._named_fields = fields
    return init


# names the generated __init__ uses itself: fields so named keep the general constructor
_GENERATED_NAMES = frozenset({"self", "extra", "v", "_MISSING", "_wrong_count", "sum", "len"})


def record_fields(record) -> dict:
    """The fields of an SDK record as a new dictionary (dataclass fields, else its __dict__)."""
    if dataclasses.is_dataclass(record) and not isinstance(record, type):
        return {f.name: getattr(record, f.name) for f in dataclasses.fields(record)}
    return dict(vars(record))


class AlgoRecord:
    """A framework record built from an SDK update and the previous record of the same id.

    It keeps the update's fields (`fields`, also readable as attributes) and the previous
    record (`previous`, or None). The previous record is history: a deep copy copies the fields
    and shares `previous`, so copying costs the same however many updates came before, and
    equality compares fields and the identity of `previous`.
    """

    def __init__(self, fields: dict, previous: AlgoRecord | None = None) -> None:
        self.fields = dict(fields)
        self.previous = previous

    @classmethod
    def from_vorn(cls, record, previous, /):
        if previous is not None and type(previous) is not cls:
            raise TypeError(f"previous record of a {cls.__name__} must be a {cls.__name__} "
                            f"or None, not {type(previous).__name__}")
        return cls(record_fields(record), previous)

    def __getattr__(self, name: str):
        fields = self.__dict__.get("fields")
        if fields is not None and name in fields:
            return fields[name]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def __deepcopy__(self, memo):
        new = type(self).__new__(type(self))
        memo[id(self)] = new
        new.fields = deepcopy_dict(self.fields, memo)
        new.previous = self.previous
        return new

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self.fields == other.fields and self.previous is other.previous

    __hash__ = None

    def __repr__(self) -> str:
        inner = ", ".join(f"{k}={v!r}" for k, v in self.fields.items())
        return f"{type(self).__name__}({inner}, previous={'None' if self.previous is None else 'yes'})"


# The types whose deep copy is the value itself (immutable): a copy shares their values.
_SHARED_TYPES = frozenset({type(None), int, float, bool, complex, str, bytes})
_enum_deepcopy = enum.Enum.__deepcopy__


def _shared(value) -> bool:
    """Whether copy.deepcopy(value) is `value` itself, known without asking it: an immutable
    builtin value, or a member of an enumeration that copies as enumerations do."""
    cls = type(value)
    return cls in _SHARED_TYPES or (isinstance(value, enum.Enum)
                                    and getattr(cls, "__deepcopy__", None) is _enum_deepcopy)


def deepcopy_dict(d: dict, memo: dict) -> dict:
    """copy.deepcopy(d, memo) of a record's dict of values: keys and values whose deep copy is
    themselves are shared without a call of copy.deepcopy each (records are copied into every
    order event, and their values are nearly all numbers, texts and enumeration members); the
    others are deep-copied with the same memo, which maps the dict to its copy as
    copy.deepcopy's does."""
    hit = memo.get(id(d))
    if hit is not None:
        return hit
    if type(d) is not dict:
        return copy.deepcopy(d, memo)
    y: dict = {}
    memo[id(d)] = y
    deepcopy = copy.deepcopy
    shared = _SHARED_TYPES
    for k, v in d.items():
        if type(k) not in shared and not _shared(k):
            k = deepcopy(k, memo)
        y[k] = v if type(v) in shared or _shared(v) else deepcopy(v, memo)
    return y

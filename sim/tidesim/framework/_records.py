"""Record bases shared by the framework stand-ins."""
from __future__ import annotations

import copy
import dataclasses


class FieldRecord:
    """A record that keeps the values it was built from, positionally, under the names in
    `_fields`; two records are equal when they are of the same class with equal values."""

    _fields: tuple[str, ...] = ()

    def __init__(self, *values) -> None:
        if len(values) != len(self._fields):
            raise TypeError(f"{type(self).__name__}() takes exactly {len(self._fields)} "
                            f"positional arguments ({len(values)} given)")
        # the records define no descriptors: filling the instance dictionary is setting each
        # attribute, at a fraction of the cost
        self.__dict__.update(zip(self._fields, values))

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
        new.fields = copy.deepcopy(self.fields, memo)
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

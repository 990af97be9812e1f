"""SDK record fields are read with the interpreter's attribute semantics, whatever the record's
type does: plain instance-dict records, properties (also added after the type was first
used), class attributes, a __getattr__ fallback and missing fields all give what getattr gives."""
from __future__ import annotations

import types

import pytest

from orvane.tamsel.utils import tidewell
from bridge_support import bare_strategy, take_events
from tidesim.framework.environment import Environment
from tidesim.pyvorn.records import Snapshot

CODE = "000001.XSHE"
FIELDS = dict(vars(Snapshot()))


@pytest.fixture(autouse=True)
def clean_bridge():
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()
    Environment.get_instance().configure([CODE])
    yield
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()


def last_price_of(record):
    bare_strategy().on_snapshot(record)
    (ev,) = take_events()
    return ev.tick.tick_dict["last_price"]


class WithProperty(types.SimpleNamespace):
    @property
    def last_price(self):
        return "from property"


class WithClassAttribute(types.SimpleNamespace):
    last_price = "from class"


class WithFallback(types.SimpleNamespace):
    def __getattr__(self, name):
        return f"fallback {name}"


def namespace(cls=types.SimpleNamespace, drop=()):
    return cls(**{k: v for k, v in FIELDS.items() if k not in drop})


CASES = [
    ("plain", lambda: namespace(), FIELDS["last_price"]),
    ("property-beats-instance-dict", lambda: namespace(WithProperty), "from property"),
    ("instance-dict-beats-class-attribute", lambda: namespace(WithClassAttribute),
     FIELDS["last_price"]),
    ("class-attribute-when-absent",
     lambda: namespace(WithClassAttribute, drop={"last_price"}), "from class"),
    ("getattr-fallback-when-absent", lambda: namespace(WithFallback, drop={"last_price"}),
     "fallback last_price"),
]


@pytest.mark.parametrize("make, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_field_read_as_getattr_reads_it(make, expected):
    for _ in range(2):  # the second read runs with the type already known
        record = make()
        assert getattr(record, "last_price") == expected
        assert last_price_of(record) == expected


def test_missing_field_raises_getattrs_error():
    record = namespace(drop={"last_price"})
    with pytest.raises(AttributeError) as expected:
        getattr(record, "last_price")
    last_price_of(namespace())  # the type is known as a plain record by now
    with pytest.raises(AttributeError) as got:
        bare_strategy().on_snapshot(record)
    assert str(got.value) == str(expected.value)


def test_property_added_after_first_use_takes_effect():
    class Late(types.SimpleNamespace):
        pass

    assert last_price_of(namespace(Late)) == FIELDS["last_price"]
    Late.last_price = property(lambda self: "late property")
    assert last_price_of(namespace(Late)) == "late property"
    del Late.last_price
    assert last_price_of(namespace(Late)) == FIELDS["last_price"]

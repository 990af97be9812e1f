"""The market-data callbacks read each field of an SDK record as getattr does, whatever the
layout of the record's dict from one record to the next (order, keys that are equal strings
but other objects, fields answered by the class), and see the record as it is after any
Python code they call (a converter that changes or replaces the record's fields)."""
from __future__ import annotations

import random
import types

import pytest

from orvane.tamsel.utils import tidewell
from bridge_support import bare_strategy, take_events
from tidesim.framework.environment import Environment
from tidesim.pyvorn.records import Bar, Snapshot, TickOrder, TickTrade

CODE = "000001.XSHE"


@pytest.fixture(autouse=True)
def clean_bridge(monkeypatch):
    # The level-2 records come back as the tuple of their construction arguments, so that
    # every value read from the SDK record is visible in the event.
    maker = types.SimpleNamespace(__from_create__=lambda *args: args)
    monkeypatch.setattr(tidewell, "L2Order", maker)
    monkeypatch.setattr(tidewell, "L2Transaction", maker)
    for cache in (tidewell.event_queue, tidewell.history_tick, tidewell.history_bar):
        cache.clear()
    Environment.get_instance().configure([CODE])
    yield
    for cache in (tidewell.event_queue, tidewell.history_tick, tidewell.history_bar):
        cache.clear()


def outcome(callback, record):
    """What one call leaves behind: the event's fields and the cached entry, as text."""
    strategy = bare_strategy()
    getattr(strategy, callback)(record)
    events = take_events()
    seen = [sorted((k, repr(v) if k != "tick" else repr(v.tick_dict))
                   for k, v in vars(e).items()) for e in events]
    for cache in (tidewell.history_tick, tidewell.history_bar):
        seen += [repr(list(q)) for q in cache.values()]
        cache.clear()
    return seen


RECORDS = {"on_snapshot": Snapshot, "on_tick_order": TickOrder, "on_tick_trade": TickTrade,
           "on_bar": Bar}


class WithClassFields(types.SimpleNamespace):
    """A record type answering some fields from the class (set per test)."""


def layouts(fields: dict):
    """The same fields in records of several layouts, each with the fields' own values."""
    names = list(fields)
    shuffled = names[:]
    random.Random(7).shuffle(shuffled)
    yield "natural", types.SimpleNamespace(**fields)
    yield "reversed", types.SimpleNamespace(**{k: fields[k] for k in reversed(names)})
    yield "shuffled", types.SimpleNamespace(**{k: fields[k] for k in shuffled})
    # Keys equal to the field names but other str objects than the interned names.
    yield "uninterned-keys", types.SimpleNamespace(
        **{"".join(list(k)): v for k, v in fields.items()})
    for k in (names[0], names[len(names) // 2], names[-1]):
        setattr(WithClassFields, k, fields[k])
    yield "class-fields", WithClassFields(
        **{k: v for i, (k, v) in enumerate(fields.items())
           if i not in (0, len(names) // 2, len(names) - 1)})
    yield "natural-again", types.SimpleNamespace(**fields)


@pytest.mark.parametrize("callback", list(RECORDS))
def test_every_layout_gives_what_the_natural_one_gives(callback):
    fields = dict(vars(RECORDS[callback]()))
    expected = outcome(callback, types.SimpleNamespace(**fields))
    for _ in range(2):  # the second round runs with every read position learned
        for name, record in layouts(fields):
            assert outcome(callback, record) == expected, name


@pytest.mark.parametrize("change", ["set-field", "refill-dict"])
def test_reads_after_a_converter_see_the_record_it_left(monkeypatch, change):
    # The side converter runs after side and market_type are read and before the order's
    # other fields are; what it does to the record shows in what is read next.
    fields = dict(vars(TickOrder()))
    convert = tidewell.get_side_from_vorn_l2_order

    def side_converter(ch, market):
        if change == "set-field":
            record.biz_index = "changed"
        else:
            # The same dict, refilled in another order with other values.
            record.__dict__.clear()
            record.__dict__.update({**{k: fields[k] for k in reversed(list(fields))},
                                    "biz_index": "replaced", "order_price": -1})
        return convert(ch, market)

    monkeypatch.setattr(tidewell, "get_side_from_vorn_l2_order", side_converter)
    for _ in range(3):
        record = types.SimpleNamespace(**fields)
        bare_strategy().on_tick_order(record)
        (event,) = take_events()
        args = event.l2_order
        if change == "set-field":
            assert args[0] == "changed" and args[4] == fields["order_price"]
        else:
            assert args[0] == "replaced" and args[4] == -1


def test_a_missing_field_after_learned_positions_fails_as_getattr_does():
    fields = dict(vars(Bar()))
    for _ in range(2):
        outcome("on_bar", types.SimpleNamespace(**fields))
    record = types.SimpleNamespace(**{k: v for k, v in fields.items() if k != "close"})
    with pytest.raises(AttributeError) as expected:
        record.close
    with pytest.raises(AttributeError) as got:
        bare_strategy().on_bar(record)
    assert str(got.value) == str(expected.value)

"""Module globals read by the native code: a look-up may be reused only while neither the module
namespace nor builtins changed, so every replacement, deletion or shadowing of a global takes
effect at the very next use, from whichever thread it was made."""
from __future__ import annotations

import builtins
import threading
from collections import deque

import pytest

from orvane.tamsel.core import events
from orvane.tamsel.utils import tidewell
from bridge_support import bare_strategy, take_events
from tidesim.framework.environment import Environment
from tidesim.pyvorn.records import Snapshot

CODE = "000001.XSHE"
MISSING = object()


@pytest.fixture(autouse=True)
def clean_bridge():
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()
    Environment.get_instance().configure([CODE])
    yield
    tidewell.event_queue.clear()
    tidewell.history_tick.clear()


def ticks(marker):
    return {CODE: deque([{"from": marker}])}


def in_thread(fn):
    t = threading.Thread(target=fn)
    t.start()
    t.join()


def set_global(module, name, value):
    if value is MISSING:
        module.__dict__.pop(name, None)
    else:
        setattr(module, name, value)


# Each step changes where `history_tick` comes from, then the query must see exactly that.
# The module's own entry shadows a builtins entry of the same name; removing it uncovers the
# builtins entry again.
STEPS = [
    ("module", "replaced", MISSING, "replaced"),
    ("module", MISSING, "builtin", "builtin"),
    ("builtins", MISSING, "builtin-replaced", "builtin-replaced"),
    ("module", "shadowing", "builtin-replaced", "shadowing"),
    ("module", MISSING, "builtin-replaced", "builtin-replaced"),
    ("builtins", MISSING, MISSING, NameError),
    ("module", "back", MISSING, "back"),
]


@pytest.mark.parametrize("from_thread", [False, True], ids=["same-thread", "other-thread"])
def test_query_follows_every_change_of_its_global(monkeypatch, from_thread):
    monkeypatch.setattr(tidewell, "history_tick", ticks("original"))
    monkeypatch.delattr(builtins, "history_tick", raising=False)
    assert tidewell.get_current_tick(CODE) == {"from": "original"}  # primes the cache
    try:
        for _, module_value, builtin_value, expected in STEPS:
            def change(module_value=module_value, builtin_value=builtin_value):
                set_global(tidewell, "history_tick",
                           MISSING if module_value is MISSING else ticks(module_value))
                set_global(builtins, "history_tick",
                           MISSING if builtin_value is MISSING else ticks(builtin_value))
            in_thread(change) if from_thread else change()
            if expected is NameError:
                with pytest.raises(NameError, match="^name 'history_tick' is not defined$"):
                    tidewell.get_current_tick(CODE)
                with pytest.raises(NameError, match="history_tick"):
                    tidewell.history_ticks(CODE, 1)
            else:
                # Read twice: the second read comes from the cache.
                assert tidewell.get_current_tick(CODE) == {"from": expected}
                assert tidewell.history_ticks(CODE, 1) == [{"from": expected}]
    finally:
        builtins.__dict__.pop("history_tick", None)


def test_callback_sees_converter_replaced_by_another_thread_between_two_calls(monkeypatch):
    monkeypatch.setattr(tidewell, "convert_int_to_datetime", tidewell.convert_int_to_datetime)
    strategy = bare_strategy()
    strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
    (first,) = take_events()
    assert first.calendar_dt != "frozen"

    in_thread(lambda: setattr(tidewell, "convert_int_to_datetime", lambda t: ("frozen", t)))
    try:
        strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
        (second,) = take_events()
        assert second.calendar_dt == ("frozen", 20261208093003.125)
        # Deleted between two callbacks: NameError at the next one, nothing queued.
        in_thread(lambda: delattr(tidewell, "convert_int_to_datetime"))
        with pytest.raises(NameError, match="^name 'convert_int_to_datetime' is not defined$"):
            strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
    finally:
        monkeypatch.undo()
    assert take_events() == []


def test_emitted_event_class_follows_the_global(monkeypatch):
    strategy = bare_strategy()
    made = []

    class Recording(events.Event):
        def __init__(self, *args, **kwargs):
            made.append(args)
            super().__init__(*args, **kwargs)

    strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
    monkeypatch.setattr(tidewell, "Event", Recording)
    strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
    monkeypatch.undo()
    strategy.on_snapshot(Snapshot(orig_time=20261208093003125))
    assert [type(e) for e in take_events()] == [events.Event, Recording, events.Event]
    assert len(made) == 1


def test_events_module_builtin_shadowed_then_uncovered(monkeypatch):
    class Tracking(list):
        pass

    assert events.EventBus()._listeners.default_factory is list
    monkeypatch.setattr(events, "list", Tracking, raising=False)
    assert events.EventBus()._listeners.default_factory is Tracking
    monkeypatch.delattr(events, "list")
    assert events.EventBus()._listeners.default_factory is list
    # The builtins entry itself replaced: seen through the events module too.
    monkeypatch.setattr(builtins, "list", Tracking)
    try:
        factory = events.EventBus()._listeners.default_factory
    finally:
        monkeypatch.undo()
    assert factory is Tracking
    assert events.EventBus()._listeners.default_factory is list


def test_parse_event_follows_replaced_and_deleted_enumeration(monkeypatch):
    original = events.EVENT
    assert events.parse_event("tick") is original.TICK
    stand_in = type("Stand", (), {"__class_getitem__": classmethod(lambda cls, k: ("stand", k))})
    in_thread(lambda: setattr(events, "EVENT", stand_in))
    try:
        assert events.parse_event("tick") == ("stand", "TICK")
        in_thread(lambda: delattr(events, "EVENT"))
        with pytest.raises(NameError, match="^name 'EVENT' is not defined$"):
            events.parse_event("tick")
    finally:
        events.EVENT = original
    assert events.parse_event("tick") is original.TICK

"""EventBus finds each tier's listeners as a dict subscript would, at every publish, whatever
happened to the tier dicts, their keys or the event type's hash since the previous publish. A
plain-Python bus is the model: both run the same script and must call the same listeners."""
from __future__ import annotations

import enum
from collections import defaultdict

import pytest

from orvane.tamsel.core.events import EVENT, Event, EventBus


class ModelBus:
    def __init__(self):
        self._listeners = defaultdict(list)
        self._user_listeners = defaultdict(list)

    def add_listener(self, event_type, listener, user=False):
        (self._user_listeners if user else self._listeners)[event_type].append(listener)

    def publish_event(self, event):
        for listener in self._listeners[event.event_type]:
            if listener(event):
                break
        for listener in self._user_listeners[event.event_type]:
            listener(event)


class Other(enum.Enum):
    TICK = "tick"


class Text(str):
    """A str key whose hash is its own, and may change."""
    salt = 0

    def __hash__(self):
        return hash(str(self)) ^ Text.salt

    def __eq__(self, other):
        return str(self) == str(other)


def run(bus_class, script):
    log = []
    bus = bus_class()
    for step in script:
        step(bus, log)
    return log


def listener(log, name):
    return lambda event: log.append((name, event.event_type))


def add(key, name, user=False):
    return lambda bus, log: bus.add_listener(key, listener(log, name), user)


def publish(key, times=2):
    def step(bus, log):
        for _ in range(times):
            bus.publish_event(Event(key))
    return step


def rehash_event(fn):
    def step(bus, log):
        EVENT.__hash__ = fn
    return step


def restore_event_hash(bus, log):
    if "__hash__" in EVENT.__dict__:
        del EVENT.__hash__


def replace_tier(bus, log):
    bus._listeners = defaultdict(list)


def replace_list(key, name):
    def step(bus, log):
        bus._listeners[key] = [listener(log, name)]
    return step


def delete_key(key):
    def step(bus, log):
        del bus._user_listeners[key]
    return step


def change_text_salt(bus, log):
    Text.salt += 1


SCRIPTS = {
    "members": [add(EVENT.TICK, "a"), add(EVENT.TICK, "u", True), add(EVENT.BAR, "b"),
                publish(EVENT.TICK), publish(EVENT.BAR), publish(EVENT.TRADE)],
    "tier-replaced": [add(EVENT.TICK, "a"), publish(EVENT.TICK), replace_tier,
                      publish(EVENT.TICK), add(EVENT.TICK, "c"), publish(EVENT.TICK)],
    "list-replaced": [add(EVENT.TICK, "a"), publish(EVENT.TICK), replace_list(EVENT.TICK, "r"),
                      publish(EVENT.TICK)],
    "key-deleted": [add(EVENT.TICK, "u", True), publish(EVENT.TICK), delete_key(EVENT.TICK),
                    publish(EVENT.TICK), add(EVENT.TICK, "v", True), publish(EVENT.TICK)],
    "rehashed-event": [add(EVENT.TICK, "a"), add(EVENT.TICK, "u", True), publish(EVENT.TICK),
                       rehash_event(lambda self: 12345), publish(EVENT.TICK),
                       add(EVENT.TICK, "after"), publish(EVENT.TICK), restore_event_hash,
                       publish(EVENT.TICK)],
    "other-enum": [add(Other.TICK, "o"), add(EVENT.TICK, "e"), publish(Other.TICK),
                   publish(EVENT.TICK)],
    "plain-strings": [add("tick", "s"), add(Text("tick"), "t", True), publish("tick"),
                      publish(Text("tick"))],
    "rehashed-str-subclass": [add(Text("x"), "t"), publish(Text("x")), change_text_salt,
                              publish(Text("x")), add(Text("x"), "t2"), publish(Text("x"))],
}


@pytest.mark.parametrize("script", list(SCRIPTS.values()), ids=list(SCRIPTS))
def test_listeners_found_as_the_model_finds_them(script):
    try:
        expected = run(ModelBus, script)
    finally:
        restore_event_hash(None, None)
    try:
        got = run(EventBus, script)
    finally:
        restore_event_hash(None, None)
    assert got == expected
    assert expected  # every script calls someone


def test_two_buses_keep_their_own_listeners():
    log = []
    first, second = EventBus(), EventBus()
    first.add_listener(EVENT.TICK, listener(log, "first"))
    second.add_listener(EVENT.TICK, listener(log, "second"), user=True)
    for _ in range(2):
        first.publish_event(Event(EVENT.TICK))
        second.publish_event(Event(EVENT.TICK))
    assert [name for name, _ in log] == ["first", "second"] * 2


def test_event_retyped_by_a_system_listener_reaches_the_new_type_users():
    log = []
    bus = EventBus()

    def retype(event):
        event.event_type = EVENT.BAR

    bus.add_listener(EVENT.TICK, retype)
    bus.add_listener(EVENT.TICK, listener(log, "tick-user"), user=True)
    bus.add_listener(EVENT.BAR, listener(log, "bar-user"), user=True)
    for _ in range(2):
        bus.publish_event(Event(EVENT.TICK))
    assert log == [("bar-user", EVENT.BAR)] * 2


def test_publishing_does_not_hash_the_event_type_again_and_again():
    """The look-ups of both tiers are remembered for the event types a program publishes,
    wherever in memory its tier dicts lie: publishing them again calls no Python-level
    __hash__."""
    import sys
    hash_code = type(EVENT.TICK).__hash__.__code__
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is hash_code:
            calls.append(1)

    types = list(EVENT)[:12]
    events = [Event(t) for t in types]
    for _ in range(20):  # buses (tier dicts) at many addresses
        bus = EventBus()
        for t in types:
            bus.add_listener(t, lambda e: None)
            bus.add_listener(t, lambda e: None, user=True)
        for e in events:
            bus.publish_event(e)  # the look-ups are made and remembered
        sys.setprofile(profile)
        try:
            for _ in range(3):
                for e in events:
                    bus.publish_event(e)
        finally:
            sys.setprofile(None)
    assert len(calls) == 0

"""Event core: building events, publishing on the bus, looking event types up by name.

Baselines are measured in the same run: plain-Python versions of the same behaviour, and
for the bus the two libraries a user would otherwise pick (blinker, pyee) when installed.
Operations are timed as statements on names bound beforehand, so no wrapper call is counted
on either side. Ours and the baseline are timed alternately, a few rounds,
keeping the best of each, so that a change of machine load between the two does not show
up as a difference between them.
"""
from __future__ import annotations

import datetime
import timeit
from collections import defaultdict

import common
from common import Row

from orvane.tamsel.core.events import EVENT, Event, EventBus, parse_event


class PlainEvent:
    def __init__(self, event_type, **kwargs):
        self.__dict__ = kwargs
        self.event_type = event_type


class PlainBus:
    """The same dispatch rules in Python: live walks by position, system tier stops at the
    first true result, the event's type read again for the user tier."""

    def __init__(self):
        self._listeners = defaultdict(list)
        self._user_listeners = defaultdict(list)

    def add_listener(self, event_type, listener, user=False):
        (self._user_listeners if user else self._listeners)[event_type].append(listener)

    def publish_event(self, event):
        listeners = self._listeners[event.event_type]
        i = 0
        while i < len(listeners):
            if listeners[i](event):
                break
            i += 1
        listeners = self._user_listeners[event.event_type]
        i = 0
        while i < len(listeners):
            listeners[i](event)
            i += 1


ROUNDS = 25


def _timer(op) -> timeit.Timer:
    """A timer for a pre-bound callable, or for a statement given as (text, namespace).

    A statement is timed inline by timeit's loop, so no wrapper call is counted on either side.
    """
    if isinstance(op, tuple):
        stmt, namespace = op
        return timeit.Timer(stmt, globals=namespace)
    return timeit.Timer(op)


def paired(ours, baseline) -> tuple[float, float]:
    """Best ns per call of each of two operations, timed alternately in short slices.

    Short slices, many rounds: on a shared machine a slow spell spoils a few slices of
    either side instead of one whole measurement, and the best of each side survives.
    """
    if common.counting():
        return tuple(common.probe(_timer(op).timeit) for op in (ours, baseline))
    t_ours, t_base = _timer(ours), _timer(baseline)
    calls = max(1, int(t_ours.autorange()[0] / 10))
    best_ours = best_base = float("inf")
    for _ in range(ROUNDS):
        best_ours = min(best_ours, t_ours.timeit(calls) / calls * 1e9)
        best_base = min(best_base, t_base.timeit(calls) / calls * 1e9)
    return best_ours, best_base


def row(group, operation, ours, baseline_name, baseline) -> Row:
    ours_ns, base_ns = paired(ours, baseline)
    return Row(group, operation, ours_ns, baseline_name, base_ns)


def plain_parse_event(event_str):
    return EVENT[event_str.upper()]


def _listeners():
    # Five distinct plain functions returning None (no early stop).
    def s1(event):
        return None

    def s2(event):
        return None

    def s3(event):
        return None

    def u1(event):
        return None

    def u2(event):
        return None

    return (s1, s2, s3), (u1, u2)


def _bus_rows() -> list[Row]:
    system, user = _listeners()
    event = Event(EVENT.TICK, calendar_dt=1, trading_dt=1, tick=None)
    ours_bus, plain_bus = EventBus(), PlainBus()
    for bus in (ours_bus, plain_bus):
        for f in system:
            bus.add_listener(EVENT.TICK, f)
        for f in user:
            bus.add_listener(EVENT.TICK, f, user=True)
    ours = ("p(e)", {"p": ours_bus.publish_event, "e": event})
    op = "publish_event, 3 system + 2 user listeners"
    rows = [row("EventBus", op, ours, "plain Python bus",
                ("p(e)", {"p": plain_bus.publish_event, "e": event}))]

    # The same with C functions as listeners (set.discard: one argument, returns None), so
    # that the dispatch itself is what is compared.
    c_bus, c_plain = EventBus(), PlainBus()
    for bus in (c_bus, c_plain):
        for _ in range(3):
            bus.add_listener(EVENT.TICK, set().discard)
        for _ in range(2):
            bus.add_listener(EVENT.TICK, set().discard, user=True)
    rows.append(row("EventBus", "publish_event, 3 system + 2 user C-function listeners",
                    ("p(e)", {"p": c_bus.publish_event, "e": event}), "plain Python bus",
                    ("p(e)", {"p": c_plain.publish_event, "e": event})))

    try:
        import blinker
    except ImportError:
        blinker = None
    if blinker is not None:
        signal = blinker.Signal()
        # blinker calls receiver(sender); the functions take one argument as ours do.
        for f in system + user:
            signal.connect(f, weak=False)
        rows.append(row("EventBus", op, ours, "blinker Signal.send",
                        ("s(e)", {"s": signal.send, "e": event})))

    try:
        import pyee
    except ImportError:
        pyee = None
    if pyee is not None:
        emitter = pyee.EventEmitter()
        for f in system + user:
            emitter.on("tick", f)
        rows.append(row("EventBus", op, ours, "pyee EventEmitter.emit",
                        ("m('tick', e)", {"m": emitter.emit, "e": event})))
    return rows


def collect() -> list[Row]:
    dt = datetime.datetime(2024, 1, 2, 9, 30, 0)
    tick = object()
    tick_type = EVENT.TICK

    # Statements timed inline, on names bound beforehand.
    def build(cls):
        return ("C(T, calendar_dt=d, trading_dt=d, tick=t)",
                {"C": cls, "T": tick_type, "d": dt, "t": tick})

    def build_and_read(cls):
        return ("e = C(T, calendar_dt=d, trading_dt=d, tick=t); e.calendar_dt; e.trading_dt; e.tick",
                {"C": cls, "T": tick_type, "d": dt, "t": tick})

    rows = [
        row("Event", "Event(TICK, calendar_dt, trading_dt, tick)", build(Event),
            "plain Python class", build(PlainEvent)),
        row("Event", "construct, then read three fields", build_and_read(Event),
            "plain Python class", build_and_read(PlainEvent)),
    ]
    rows += _bus_rows()

    ours = ("p('tick')", {"p": parse_event})
    rows += [
        row("parse_event", 'parse_event("tick")', ours, 'EVENT["TICK"]',
            ("E['TICK']", {"E": EVENT})),
        row("parse_event", 'parse_event("tick")', ours, "Python parse_event",
            ("p('tick')", {"p": plain_parse_event})),
    ]
    return rows

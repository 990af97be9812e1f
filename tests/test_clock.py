"""The trading-day clock: the timers it registers for a given wall-clock time, the daily re-arm,
and the events its timer callbacks queue. Time is a virtual clock patched into the bridge's
datetime/time/timedelta/np globals."""
import datetime

import numpy
import pytest

from tidesim.clock import VirtualClock, patch_time
from tidesim.framework.config import make_config, trading_days
from tidesim.framework.utils import logger
from tidesim.pyvorn import context as sim_context

import orvane.tamsel.utils.tidewell as tw
from orvane.tamsel.core.events import EVENT

DAY = datetime.date(2026, 1, 5)
NS = 1_000_000_000
H = 3600 * NS
M = 60 * NS


def at(hour, minute=0, second=0, microsecond=0, day=DAY):
    return datetime.datetime.combine(day, datetime.time(hour, minute, second, microsecond))


@pytest.fixture(autouse=True)
def clean_state():
    yield
    tw.event_queue.clear()
    tw.orders_dict.clear()


@pytest.fixture
def run_at():
    """Builds a strategy whose SDK context and the bridge's time globals follow a virtual clock
    started at the given time; the calendar holds DAY and the next day unless given."""
    patches = []

    def make(start, calendar=None):
        clock = VirtualClock(start)
        sim_context.set_default_clock(clock)
        cm = patch_time(tw, clock)
        cm.__enter__()
        patches.append(cm)
        if calendar is None:
            calendar = trading_days(DAY, DAY + datetime.timedelta(days=1))
        return tw.VornStrategy(make_config(trading_calendar=calendar)), clock

    yield make
    for cm in reversed(patches):
        cm.__exit__(None, None, None)


def timers(s):
    """(interval, callback name) of every add_timer_interval call, each callback checked to be
    a method bound to the strategy."""
    out = []
    for interval, callback in s.context.calls_of("add_timer_interval"):
        assert type(interval) is int
        assert callback.__self__ is s
        out.append((interval, callback.__name__))
    return out


BEFORE, OPEN, AFTER = "send_before_trading_event", "send_open_auction_event", "send_after_trading_event"


@pytest.mark.parametrize("now, expected", [
    (at(7), [(2 * H, BEFORE), (2 * H + 24 * M, OPEN), (8 * H + 30 * M, AFTER)]),
    # The before-trading comparison is strict: at 09:00 exactly it fires after 3 s.
    (at(9), [(3 * NS, BEFORE), (24 * M, OPEN), (6 * H + 30 * M, AFTER)]),
    # Before 09:27 the open auction is armed for 09:24 even when that is past: -1 minute.
    (at(9, 25), [(3 * NS, BEFORE), (-M, OPEN), (6 * H + 5 * M, AFTER)]),
    (at(9, 26, 59, 999999), [(3 * NS, BEFORE), (-(2 * M + 59 * NS + 999999000), OPEN),
                             (6 * H + 3 * M + 1000, AFTER)]),
    (at(9, 27), [(3 * NS, BEFORE), (6 * H + 3 * M, AFTER)]),
    (at(10), [(3 * NS, BEFORE), (5 * H + 30 * M, AFTER)]),
    (at(15, 30), [(3 * NS, BEFORE), (20 * NS, AFTER)]),
    (at(16), [(3 * NS, BEFORE), (20 * NS, AFTER)]),
    # Float seconds times 10**9, truncated: 0.015839 s gives 15838999 ns, not 15839000.
    (at(8, 59, 59, 984161), [(15838999, BEFORE), (24 * M + 15839000, OPEN),
                             (6 * H + 30 * M + 15839000, AFTER)]),
])
def test_day_timers(run_at, now, expected):
    s, _ = run_at(now)
    assert s.create_time_listener() is None
    assert timers(s) == expected


def test_day_missing_from_the_calendar(run_at):
    calendar = trading_days("2026-01-02", "2026-01-06")
    s, _ = run_at(at(7), calendar=calendar)
    logger.clear_lines()
    s.set_timer()
    assert logger.lines == [("system_log", "INFO", "2026-01-05 not trade day... " + str(calendar))]
    # No timer of the day, but the next day's run is still registered.
    assert timers(s) == [(25 * H, "set_timer")]


def test_calendar_membership_uses_the_containers_own_test(run_at):
    class Calendar:
        def __init__(self):
            self.asked = []

        def __contains__(self, day):
            self.asked.append(day)
            return True

    calendar = Calendar()
    s, _ = run_at(at(7), calendar=calendar)
    s.create_time_listener()
    assert calendar.asked == [numpy.datetime64("2026-01-05", "D")]
    assert len(timers(s)) == 3


@pytest.mark.parametrize("now, rearm", [
    (at(7), 25 * H),
    (at(8), 24 * H),
    (at(16, 0, 0, 15839), 16 * H - 15839000),
    (at(23, 59, 59, 984161), 8 * H + 15839000),
])
def test_set_timer_arms_the_day_then_the_next_days_run(run_at, now, rearm):
    s, _ = run_at(now)
    assert s.set_timer() is None
    registered = timers(s)
    # The day's timers come first; the re-arm is the last registration and the only one.
    assert registered[-1] == (rearm, "set_timer")
    assert [name for _, name in registered].count("set_timer") == 1
    assert registered[0][1] == BEFORE


def test_rearm_interval_uses_two_clock_readings(run_at, monkeypatch):
    s, _ = run_at(at(7))
    readings = iter([at(7), at(7), at(7, 0, 0, 250000)])

    class SteppingDatetime(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return next(readings)

    monkeypatch.setattr(tw, "datetime", SteppingDatetime)
    s.set_timer()
    # 08:00 of the next day from the second reading, less the time to the third.
    assert timers(s)[-1] == (25 * H - 250_000_000, "set_timer")
    assert next(readings, None) is None


def test_failing_day_listener_stops_the_cycle(run_at):
    s, _ = run_at(at(7))
    del s.config.base.trading_calendar
    with pytest.raises(AttributeError):
        s.set_timer()
    assert s.context.calls == []


def events():
    return [(e.event_type, e.calendar_dt) for e in tw.event_queue]


def test_a_trading_day_from_start_to_the_next_mornings_rearm(run_at):
    s, clock = run_at(at(7))
    s.set_timer()
    clock.advance_to(at(16))
    assert events() == [(EVENT.BEFORE_TRADING, at(9)), (EVENT.OPEN_AUCTION, at(9, 24)),
                        (EVENT.AFTER_TRADING, at(15, 30))]
    # The re-arm fires at 08:00 of the next day and arms that day in turn.
    next_day = DAY + datetime.timedelta(days=1)
    clock.advance_to(at(9, 30, day=next_day))
    assert events()[3:] == [(EVENT.BEFORE_TRADING, at(9, day=next_day)),
                            (EVENT.OPEN_AUCTION, at(9, 24, day=next_day))]
    assert len(s.context.calls_of("add_timer_interval")) == 8


def test_late_start_queues_before_trading_then_after_trading(run_at):
    s, clock = run_at(at(16))
    s.create_time_listener()
    clock.advance(30)
    assert events() == [(EVENT.BEFORE_TRADING, at(16, 0, 3)), (EVENT.AFTER_TRADING, at(16, 0, 20))]


@pytest.mark.parametrize("method, member", [
    (BEFORE, "BEFORE_TRADING"),
    (OPEN, "OPEN_AUCTION"),
    (AFTER, "AFTER_TRADING"),
])
def test_event_carries_the_firing_time_in_both_fields(run_at, method, member):
    s, clock = run_at(at(11, 12, 13, 141516))
    assert getattr(s, method)() is None
    event = tw.event_queue[-1]
    assert event.event_type is getattr(EVENT, member)
    assert event.calendar_dt == at(11, 12, 13, 141516)
    assert event.trading_dt is event.calendar_dt
    assert list(vars(event)) == ["calendar_dt", "trading_dt", "event_type"]


def test_after_trading_empties_the_open_orders(run_at):
    s, _ = run_at(at(15, 30))
    orders = tw.orders_dict
    orders["c1"] = object()
    tw.event_queue.append("older")
    s.send_after_trading_event()
    assert tw.orders_dict is orders and orders == {}
    assert tw.event_queue[-1].event_type is EVENT.AFTER_TRADING
    assert len(tw.event_queue) == 2


def test_after_trading_keeps_orders_when_the_event_fails(run_at, monkeypatch):
    s, _ = run_at(at(15, 30))
    tw.orders_dict["c1"] = 1

    def failing_event(*args, **kwargs):
        raise RuntimeError("no event")

    monkeypatch.setattr(tw, "Event", failing_event)
    with pytest.raises(RuntimeError):
        s.send_after_trading_event()
    assert tw.orders_dict == {"c1": 1}


def test_send_day_event_by_keyword_and_through_replaced_globals(monkeypatch):
    built, queued = [], []

    def fake_event(event_type, **fields):
        built.append((event_type, fields))
        return "event"

    class Queue:
        def append(self, item):
            queued.append(item)

    monkeypatch.setattr(tw, "Event", fake_event)
    monkeypatch.setattr(tw, "event_queue", Queue())
    s = tw.VornStrategy(make_config())
    dt = object()
    assert s.send_day_event(dt=dt, event_type="T") is None
    assert built == [("T", {"calendar_dt": dt, "trading_dt": dt})]
    assert list(built[0][1]) == ["calendar_dt", "trading_dt"]
    assert queued == ["event"]
    with pytest.raises(TypeError):
        s.send_day_event("T")


def test_callbacks_go_through_the_instance():
    class Sub(tw.VornStrategy):
        def send_day_event(self, event_type, dt):
            self.sent = (event_type, dt)

    s = Sub(make_config())
    s.send_open_auction_event()
    assert s.sent[0] is EVENT.OPEN_AUCTION
    assert len(tw.event_queue) == 0

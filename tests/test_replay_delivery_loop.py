"""The delivery loop publishes the events of each entry itself in the usual case (no signatures,
no event file): what it counts, hashes and reports must be what the consumer's general batch
loop gives for the same day, whatever the listeners raise; an interrupt counts the events
published up to it. Also the time converter's answers built from a remembered second."""
from __future__ import annotations

import datetime as dt

import pytest

from tidesim.framework.utils import datetime_func
from tidesim.framework.model.l2_order import L2Order
from tidesim.framework.model.l2_transaction import L2Transaction
from tidesim.framework.utils.datetime_func import convert_int_to_datetime
from tidesim.replay.adapter import build_with_attributes
from tidesim.replay.generator import generate_session
from tidesim.replay.runner import Replay


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    path = tmp_path_factory.mktemp("delivery") / "day.jsonl.gz"
    return generate_session(path, securities=3, seed=5, l2_rate=0.5, orders=8,
                            data_until=dt.time(9, 50)).path


def _failing_every(k):
    """A listener raising on every k-th event it sees (never, for k == 0)."""
    seen = [0]

    def listener(ev):
        seen[0] += 1
        if k and seen[0] % k == 0:
            raise RuntimeError(f"listener failed on event {seen[0]}")
    return listener, seen


def _bookkeeping(res):
    return (res.entries, dict(res.events), dict(res.events_per_minute),
            dict(res.events_by_minute_type), dict(res.problem_counts), res.queue_high_water,
            res.digest)


@pytest.mark.parametrize("digest", [False, True])
@pytest.mark.parametrize("fail_every", [0, 1, 7])
@pytest.mark.parametrize("drain_every", [1, 5])
def test_the_loop_publishing_inline_books_what_the_consumer_books(day, digest, fail_every,
                                                                  drain_every):
    inline_listener, inline_seen = _failing_every(fail_every)
    inline = Replay(day, report=None, digest=digest, drain_every=drain_every,
                    listeners=[("*", inline_listener, True)]).run()
    # keeping the signatures takes the consumer's general loop, which publishes the same
    general_listener, general_seen = _failing_every(fail_every)
    general = Replay(day, report=None, digest=digest, drain_every=drain_every,
                     collect_events=True, listeners=[("*", general_listener, True)]).run()
    assert inline.entries > 1000 and sum(inline.events.values()) > 1000
    assert _bookkeeping(inline) == _bookkeeping(general)
    assert inline_seen[0] == general_seen[0] == sum(inline.events.values())
    assert sum(inline.events_per_minute.values()) == sum(inline.events.values())
    assert inline.problem_counts.get("listener", 0) == (inline_seen[0] // fail_every
                                                        if fail_every else 0)
    assert (inline.digest is not None) == digest


@pytest.mark.parametrize("digest", [False, True])
@pytest.mark.parametrize("stop_at", [1, 2, 300])
def test_an_interrupt_in_a_listener_counts_the_events_published_up_to_it(day, digest, stop_at):
    seen = [0]

    def listener(ev):
        seen[0] += 1
        if seen[0] == stop_at:
            raise KeyboardInterrupt

    res = Replay(day, report=None, digest=digest, listeners=[("*", listener, True)]).run()
    assert res.interrupted
    assert seen[0] == stop_at
    assert sum(res.events.values()) == stop_at
    assert sum(res.events_per_minute.values()) == stop_at


# -- the time converter ----------------------------------------------------------------------


@pytest.mark.parametrize("second", [dt.datetime(2026, 1, 5, 9, 30, 3),
                                    dt.datetime(2026, 12, 31, 23, 59, 59),
                                    dt.datetime(2024, 2, 29, 0, 0, 0)])
def test_every_millisecond_of_a_remembered_second(second):
    datetime_func._RECENT.clear()
    datetime_func._SECONDS.clear()
    whole = int(second.strftime("%Y%m%d%H%M%S"))
    for millis in range(1000):
        value = whole + millis / 1000
        # what the float holds, rounded to the millisecond
        expected_ms = round((value - whole) * 1000)
        expected = second + dt.timedelta(milliseconds=expected_ms)
        got = convert_int_to_datetime(value)
        assert type(got) is dt.datetime and got == expected, value
    # the second is remembered once (a float this large may round its last fractions up to
    # the next second)
    assert set(datetime_func._SECONDS) <= {whole, whole + 1}
    assert datetime_func._SECONDS[whole] == second


@pytest.mark.parametrize("value, expected", [
    (20260105093059.9996, dt.datetime(2026, 1, 5, 9, 31)),        # rounds up into the next minute
    (20261231235959.9999, dt.datetime(2027, 1, 1)),               # ... and the next year
    (20260105093003.0, dt.datetime(2026, 1, 5, 9, 30, 3)),
    (20260105093003, dt.datetime(2026, 1, 5, 9, 30, 3)),          # an int, exact
])
def test_times_at_the_edges_of_a_second(value, expected):
    datetime_func._RECENT.clear()
    datetime_func._SECONDS.clear()
    assert convert_int_to_datetime(value) == expected
    assert convert_int_to_datetime(value) == expected  # remembered, the same answer


@pytest.mark.parametrize("value", [20260105093061.5, 20260230093000.5, 20261305093000.25])
def test_a_second_that_is_no_date_time_is_refused_and_not_remembered(value):
    datetime_func._RECENT.clear()
    datetime_func._SECONDS.clear()
    for _ in range(2):
        with pytest.raises(ValueError):
            convert_int_to_datetime(value)
    assert not datetime_func._SECONDS and not datetime_func._RECENT


# -- the level-2 records -----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [L2Order, L2Transaction])
def test_from_create_builds_the_class_it_is_called_on_with_its_values_in_order(cls):
    class Mine(cls):
        pass

    values = tuple(range(len(cls._fields)))
    for owner in (cls, Mine):
        rec = owner.__from_create__(*values)
        assert type(rec) is owner
        assert [getattr(rec, f) for f in cls._fields] == list(values)
        assert rec == owner(*values)
    with pytest.raises(TypeError, match="positional arguments"):
        cls.__from_create__(*values[:-1])
    with pytest.raises(TypeError):
        cls.__from_create__(*values, biz_index=1)


# -- acts' objects ---------------------------------------------------------------------------


def test_an_acts_object_follows_its_class_constructor_when_it_changes():
    class Thing:
        def __init__(self, a, b=2):
            self.a, self.b = a, b

    first = build_with_attributes(Thing, {"a": 1, "c": 3})
    assert vars(first) == {"a": 1, "b": 2, "c": 3}
    assert vars(build_with_attributes(Thing, {"a": 5, "b": 6})) == {"a": 5, "b": 6}

    def init(self, a, c):
        self.a, self.c = a, -c

    Thing.__init__ = init  # c is now the constructor's, b an attribute set afterwards
    assert vars(build_with_attributes(Thing, {"a": 1, "b": 7, "c": 3})) == {"a": 1, "c": -3, "b": 7}


@pytest.mark.parametrize("fields, expected", [
    ({"order_id": 9, "quantity": 300}, {"order_id": 9, "quantity": 300, "unfilled_quantity": 300}),
    ({"order_id": 9, "filled_quantity": 100, "note": "x"},
     {"order_id": 9, "filled_quantity": 100, "note": "x", "quantity": 100}),
])
def test_a_placed_order_is_built_the_same_every_time(fields, expected):
    from tidesim.framework.model.order import Order
    for _ in range(3):
        order = build_with_attributes(Order, fields)
        assert type(order) is Order
        assert {k: getattr(order, k) for k in expected} == expected

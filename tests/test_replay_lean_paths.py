"""The replay's lean paths give what the general ones give: record classes built through their
named constructors, the consumer's inline digest and its counting by type (with listener
failures and interrupts), the stand-in timing's swaps in bulk, and the time converter's
remembered seconds."""
from __future__ import annotations

import collections
import datetime as dt
import enum
import types

import pytest

from tidesim.framework._records import FieldRecord
from tidesim.framework.model.l2_order import L2Order
from tidesim.framework.model.l2_transaction import L2Transaction
from tidesim.framework.model.tick import TickObject
from tidesim.framework.model.trade import Trade
from tidesim.framework.utils import datetime_func
from tidesim.framework.utils.datetime_func import convert_int_to_datetime
from tidesim.replay import digest
from tidesim.replay.consumer import Consumer
from tidesim.replay.generator import generate_session
from tidesim.replay.results import ReplayResult, Tally
from tidesim.replay.runner import Replay
from tidesim.replay.standin_timing import StandinTiming

RECORDS = [L2Order, L2Transaction, Trade]  # the record classes without an __init__ of their own


def _general(cls, *values):
    """A record built by the general constructor of the base class."""
    rec = cls.__new__(cls)
    FieldRecord.__init__(rec, *values)
    return rec


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
def test_a_record_built_by_its_named_constructor_equals_the_general_one(cls):
    values = tuple(f"v{i}" for i in range(len(cls._fields)))
    named = cls(*values)
    assert list(vars(named).items()) == list(vars(_general(cls, *values)).items())
    assert named == _general(cls, *values)
    for wrong in (values[:-1], values + ("extra",), ()):
        with pytest.raises(TypeError) as got:
            cls(*wrong)
        with pytest.raises(TypeError) as general:
            _general(cls, *wrong)
        assert str(got.value) == str(general.value)


def test_a_subclass_keeps_an_init_of_its_own_or_inherited_and_gets_its_own_fields():
    class Own(L2Order):
        _fields = ("a", "b")

        def __init__(self, a, b):
            self.a, self.b = b, a  # deliberately not the generated behaviour

    class MoreTicks(TickObject):
        pass

    class Narrow(L2Order):
        _fields = ("a", "b")

    assert vars(Own(1, 2)) == {"a": 2, "b": 1}
    assert MoreTicks.__init__ is TickObject.__init__
    assert vars(Narrow(1, 2)) == {"a": 1, "b": 2}
    with pytest.raises(TypeError, match=r"Narrow\(\) takes exactly 2 positional arguments \(9 given\)"):
        Narrow(*range(9))


@pytest.mark.parametrize("fields", [("self", "x"), ("x", "x"), ("class", "y"), ("extra",)])
def test_fields_the_named_constructor_cannot_name_keep_the_general_one(fields):
    cls = type("Odd", (FieldRecord,), {"_fields": fields})
    assert cls.__init__ is FieldRecord.__init__
    values = tuple(range(len(fields)))
    assert vars(cls(*values)) == vars(_general(cls, *values)) == dict(zip(fields, values))


# -- the consumer --------------------------------------------------------------------------


class Kind(enum.Enum):
    A = "a"
    B = "b"


class _Ev:
    def __init__(self, kind, **fields):
        self.__dict__.update(fields)
        self.event_type = kind


class _Queue(collections.deque):
    def popleft_many(self, n):
        return [self.popleft() for _ in range(n)]


class _Bus:
    """Publishes by calling `on_publish`, which may raise."""

    def __init__(self, on_publish):
        self.publish_event = on_publish


def _consumer(on_publish, **options):
    res = ReplayResult("<mem>", None)
    clock = types.SimpleNamespace(_now=dt.datetime(2026, 1, 5, 9, 30))
    stream = digest.EventStream() if options.pop("digest", False) else None
    c = Consumer(_Queue(), _Bus(on_publish), res, Tally(res, None), clock, stream, **options)
    return c, res, stream


def _events(n):
    return [_Ev(Kind.A if i % 3 else Kind.B, n=i, rec=types.SimpleNamespace(p=i / 7)) for i in range(n)]


@pytest.mark.parametrize("batch", [1, 2, 5, 40])
def test_the_inline_digest_equals_adding_each_event_to_the_stream(batch):
    events = _events(40)
    c, _, stream = _consumer(lambda ev: None, digest=True, count_types=True)
    for i in range(0, len(events), batch):
        c.queue.extend(events[i:i + batch])
        c.drain()
    reference = digest.EventStream()
    for ev in events:
        reference.add(ev, "")
    assert stream.hexdigest() == reference.hexdigest()
    assert stream.count == len(events)


@pytest.mark.parametrize("use_digest", [False, True])
@pytest.mark.parametrize("batch", [1, 3, 40])
def test_counting_by_type_counts_every_published_event_whatever_its_listeners_raise(use_digest, batch):
    events = _events(40)

    def publish(ev):
        if ev.n % 5 == 0:
            raise RuntimeError(f"listener failed on {ev.n}")

    c, res, _ = _consumer(publish, digest=use_digest, count_types=True)
    for i in range(0, len(events), batch):
        c.queue.extend(events[i:i + batch])
        c.drain()
    c.finish()
    # the counts cover the same events as the digest and the event file; the exceptions are
    # problems of their own
    expected = collections.Counter(ev.event_type.name for ev in events)
    assert res.events == expected
    assert res.problem_counts["listener"] == 8
    assert sum(res.events_per_minute.values()) == sum(expected.values())


@pytest.mark.parametrize("use_digest", [False, True])
def test_an_interrupt_counts_the_events_published_up_to_it(use_digest):
    events = _events(10)

    def publish(ev):
        if ev.n == 6:
            raise KeyboardInterrupt

    c, res, _ = _consumer(publish, digest=use_digest, count_types=True)
    c.queue.extend(events)
    with pytest.raises(KeyboardInterrupt):
        c.drain()
    c.finish()
    assert sum(res.events.values()) == 7


@pytest.fixture(scope="module")
def busy_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("lean") / "day.jsonl.gz"
    return generate_session(path, securities=2, seed=11, l2_rate=0.4, orders=10, algo_parents=1,
                            data_until=dt.time(9, 45))


@pytest.mark.parametrize("options", [{}, {"drain_every": 5}, {"digest": True}])
def test_counts_by_type_are_those_of_a_counting_listener(busy_day, options):
    plain = Replay(busy_day.path, report=None, **options).run()
    seen = collections.Counter()
    # any listener of the replay's own brings the counting listener back
    listened = Replay(busy_day.path, report=None,
                      listeners=[("*", lambda ev: seen.update([ev.event_type.name]), True)],
                      **options).run()
    assert plain.ok and listened.ok
    assert plain.events == listened.events == seen
    assert plain.events_per_minute == listened.events_per_minute
    assert plain.events_by_minute_type == listened.events_by_minute_type
    assert plain.digest == listened.digest


# -- the stand-in timing ---------------------------------------------------------------------


def _module(**names):
    m = types.ModuleType("fake_bridge")
    m.__dict__.update(names)
    return m


def test_timing_swaps_in_bulk_and_leaves_a_global_replaced_by_others():
    from tidesim.framework.utils import trade_func
    from tidesim.framework.utils.datetime_func import convert_int_to_whole_date
    a, b = trade_func.get_vorn_tdtype, convert_int_to_whole_date
    module = _module(get_vorn_tdtype=a, convert_int_to_whole_date=b)
    timing = StandinTiming(module)
    timing.on()
    assert module.get_vorn_tdtype is not a and module.convert_int_to_whole_date is not b
    timing.off()
    assert module.get_vorn_tdtype is a and module.convert_int_to_whole_date is b

    mine = object()
    module.get_vorn_tdtype = mine  # replaced before the swap: stays
    timing.on()
    assert module.get_vorn_tdtype is mine and module.convert_int_to_whole_date is not b
    module.convert_int_to_whole_date = mine  # replaced while swapped: stays
    timing.off()
    assert module.get_vorn_tdtype is mine and module.convert_int_to_whole_date is mine


# -- the time converter ----------------------------------------------------------------------


def test_times_sharing_a_second_each_keep_their_milliseconds():
    datetime_func._RECENT.clear()
    datetime_func._SECONDS.clear()
    base = dt.datetime(2026, 1, 5, 9, 30, 3)
    for millis in (0, 125, 250, 500, 875, 125):  # fractions a float this large holds exactly
        assert convert_int_to_datetime(20260105093003 + millis / 1000) \
            == base + dt.timedelta(milliseconds=millis)
    assert list(datetime_func._SECONDS) == [20260105093003]
    with pytest.raises(ValueError):
        convert_int_to_datetime(20260105093061.5)  # a 61st second is no second
    assert 20260105093061 not in datetime_func._SECONDS


def test_remembered_seconds_stay_few():
    datetime_func._SECONDS.clear()
    start = dt.datetime(2026, 1, 5, 9, 0)
    for k in range(datetime_func._RECENT_MAX + 50):
        d = start + dt.timedelta(seconds=k)
        assert convert_int_to_datetime(int(d.strftime("%Y%m%d%H%M%S")) + 0.5) \
            == d + dt.timedelta(milliseconds=500)
        assert len(datetime_func._SECONDS) <= datetime_func._RECENT_MAX


# -- the environment's instruments -------------------------------------------------------------


def test_instrument_lookup_answers_from_the_table_configure_last_set():
    from tidesim.framework.environment import Environment, reset
    reset()
    env = Environment.get_instance().configure(["000001.XSHE"])
    proxy = env.data_proxy
    assert proxy.instruments("000001.XSHE").market_code == "000001.XSHE"
    env.configure(["600000.XSHG"])
    assert proxy.instruments("600000.XSHG").market_code == "600000.XSHG"
    with pytest.raises(KeyError, match=r"no instrument for market code '000001.XSHE'"):
        proxy.instruments("000001.XSHE")
    with pytest.raises(TypeError):
        proxy.instruments(["unhashable"])
    reset()

"""The replay's batched bookkeeping gives what one-at-a-time bookkeeping gives: call times
bucketed many at once, the event digest hashed in batches, the encoder hook's and the time
converter's remembered answers, and every delivered call counted across batch boundaries."""
from __future__ import annotations

import datetime as dt
import hashlib
import random

import pytest

from tidesim.framework.utils import datetime_func
from tidesim.framework.utils.datetime_func import convert_int_to_datetime
from tidesim.replay import digest
from tidesim.replay.generator import generate_session
from tidesim.replay.results import LatencyHistogram
from tidesim.replay.runner import FLUSH_EVERY, Replay


def _rng_values(n, seed, lo=0, hi=10**7):
    r = random.Random(seed)
    return [r.randint(lo, hi) for _ in range(n)]


@pytest.mark.parametrize("values", [
    [],
    [0, 1, 2, 3],                                      # the bucket-0 edge, below the batch size
    [0, 1, 1.5, 2] * 20,                               # the same edge through the numpy path
    _rng_values(5000, 1),
    _rng_values(3000, 2, hi=200) + [10**12, 7, 0],     # dense low buckets and a far outlier
    [int(1.01 ** k) + 1 for k in range(200, 2000, 7)],  # values near bucket bounds
], ids=["empty", "small", "edge-batch", "random", "dense+outlier", "near-bounds"])
def test_extend_buckets_as_appending_one_by_one(values):
    one, many = LatencyHistogram(), LatencyHistogram()
    for v in values:
        one.append(v)
    many.extend(values)
    assert (many.n, many.min, many.max) == (one.n, one.min, one.max)
    assert many.counts == one.counts
    if values:
        assert many.percentile(50) == one.percentile(50)


def test_extend_adds_to_what_a_histogram_holds():
    h = LatencyHistogram()
    h.append(5)
    h.extend(list(range(100, 200)))
    h.extend([3])
    assert (h.n, h.min, h.max) == (102, 3, 199)


class _Rec:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class _Event:
    def __init__(self, etype, **fields):
        self.event_type = etype
        self.__dict__.update(fields)


@pytest.mark.parametrize("events", [0, 1, digest.HASH_BATCH - 1, digest.HASH_BATCH,
                                    3 * digest.HASH_BATCH + 5])
def test_digest_in_batches_equals_hashing_each_event(events):
    stream = digest.EventStream()
    plain = bytearray()
    for i in range(events):
        ev = _Event("TICK" if i % 3 else "TRADE", n=i, rec=_Rec(price=i / 7, tags=[i, "x"]))
        name, body = digest.event_packed(ev)
        plain += body
        stream.add(ev, "")
        if i == events // 2:  # asking midway does not disturb what follows
            stream.hexdigest()
    assert stream.hexdigest() == digest.stream_hexdigest(bytes(plain))
    assert stream.count == events


def _stream_digest(*events):
    stream = digest.EventStream()
    for ev in events:
        stream.add(ev, "")
    return stream.hexdigest()


@pytest.mark.parametrize("a, b", [
    (None, float("nan")),          # both a JSON null in text
    ("YWJj", b"abc"),              # text, and bytes written as base64 text
    ({"1": 2}, {1: 2}),            # an integer key written as text
    (1, 1.0),
])
def test_the_digest_tells_apart_values_that_read_alike_as_text(a, b):
    assert _stream_digest(_Event("X", v=a)) != _stream_digest(_Event("X", v=b))
    assert _stream_digest(_Event("X", v=a)) == _stream_digest(_Event("X", v=a))


def test_the_event_file_is_written_as_the_digest_is_kept(tmp_path):
    path = tmp_path / "events.jsonl"
    written = digest.EventStream(path)
    events = [_Event("TICK", n=i, rec=_Rec(p=i / 3)) for i in range(10)]
    for ev in events:
        written.add(ev, "src")
    written.close()
    assert written.hexdigest() == _stream_digest(*events)
    lines = path.read_bytes().splitlines()
    assert lines == [
        b'{"event":"TICK","source":"src","fields":%s}' % digest.event_bytes(ev)[1] for ev in events]


class _WithGetattr:
    def __init__(self):
        self.a = 1

    def __getattr__(self, name):
        if name == "ndim":
            return 0
        raise AttributeError(name)

    def item(self):
        return 42


@pytest.mark.parametrize("make, first_fields", [
    (lambda: _Rec(a=1, b=[1.5, "t"]), True),
    (_WithGetattr, False),  # an `ndim` from __getattr__: written as a numpy-like scalar
])
def test_encoder_hook_answers_the_same_for_every_instance_of_a_type(make, first_fields):
    first = digest._object_hook(make())
    again = digest._object_hook(make())
    assert first == again
    assert (isinstance(first, dict) and "fields" in first) == first_fields


def test_an_instance_attribute_named_ndim_is_not_taken_for_a_plain_record():
    digest._object_hook(_Rec(a=1))  # the type is now known as plain
    odd = _Rec(ndim=0, item=lambda: 7)
    assert digest._object_hook(odd) == digest.plain_json(odd)
    assert digest._object_hook(_Rec(a=2)) == {"$type": "_Rec", "fields": {"a": 2}}


@pytest.mark.parametrize("value, expected", [
    (20260105093003.125, dt.datetime(2026, 1, 5, 9, 30, 3, 125000)),
    (20260105093058.5, dt.datetime(2026, 1, 5, 9, 30, 58, 500000)),
    (20260105093000.0, dt.datetime(2026, 1, 5, 9, 30)),
])
def test_a_remembered_time_is_the_time_computed(value, expected):
    datetime_func._RECENT.clear()
    assert convert_int_to_datetime(value) == expected
    assert convert_int_to_datetime(value) == expected  # the second answer is remembered
    assert convert_int_to_datetime(int(value)) == expected.replace(microsecond=0)


@pytest.mark.parametrize("bad", [20261305093000.5, 20260105246000.0, 0.0, -0.0])
def test_a_refused_time_is_refused_every_time(bad):
    for _ in range(2):
        with pytest.raises(ValueError):
            convert_int_to_datetime(bad)
    assert bad not in datetime_func._RECENT


def test_remembered_times_stay_few():
    datetime_func._RECENT.clear()
    start = dt.datetime(2026, 1, 5, 9, 0)
    for k in range(datetime_func._RECENT_MAX + 50):
        d = start + dt.timedelta(seconds=k)
        assert convert_int_to_datetime(int(d.strftime("%Y%m%d%H%M%S")) + 0.25) \
            == d + dt.timedelta(milliseconds=250)
        assert len(datetime_func._RECENT) <= datetime_func._RECENT_MAX


@pytest.fixture(scope="module")
def busy_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("batching") / "day.jsonl.gz"
    return generate_session(path, securities=3, seed=9, l2_rate=0.5, orders=6,
                            data_until=dt.time(10, 0))


@pytest.mark.parametrize("options", [{}, {"split_latency": False}, {"drain_every": 7}])
def test_every_call_is_timed_once_across_batches(busy_day, options):
    res = Replay(busy_day.path, report=None, **options).run()
    assert res.ok and res.entries > 2 * FLUSH_EVERY
    for name, calls in res.callbacks.items():
        assert len(res.latency_ns[name]) == calls, name
    assert sum(res.callbacks.values()) + res.acts == res.entries

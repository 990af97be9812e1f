"""The event digest as a regression's witness: its value is pinned (the same events give the same
digest on every machine and in every run, and a change of definition cannot pass unnoticed),
the consumer's inline encoding gives what the event stream gives whatever the values (those
the fast encoder refuses included), the summary names the definition, and the decoder's quick
line path keeps the typed parse off when the native decoder serves."""
from __future__ import annotations

import collections
import datetime as dt
import enum
import subprocess
import sys
import types

import pytest

from tidesim.replay import digest
from tidesim.replay.consumer import Consumer
from tidesim.replay.results import ReplayResult, Tally


class Kind(enum.Enum):
    TICK = "tick"
    TRADE = "trade"


class Rec:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Ev:
    def __init__(self, kind, **fields):
        self.__dict__.update(fields)
        self.event_type = kind


def _events():
    at = dt.datetime(2026, 1, 5, 9, 30)
    return [Ev(Kind.TICK if i % 4 else Kind.TRADE, calendar_dt=at + dt.timedelta(seconds=i),
               rec=Rec(price=10 + i / 8, levels=[i, i + 1], code="000001.XSHE", flag=i % 2 == 0,
                       none=None, nan=float("nan") if i == 3 else 0.5, raw=b"\x00\x01"),
               count=i)
            for i in range(12)]


# Computed once from _events() with definition 4; a change of the definition (or an encoding
# that depends on the machine or the run) changes it. Bump DIGEST_VERSION with it.
PINNED = "3bc0fd71e893a501"


def _digest(events) -> str:
    stream = digest.EventStream()
    for ev in events:
        stream.add(ev, "")
    return stream.hexdigest()


def test_the_digest_of_known_events_is_pinned():
    assert digest.DIGEST_VERSION == 4
    assert _digest(_events()) == PINNED


def test_the_digest_is_the_same_in_a_fresh_interpreter_with_another_hash_seed():
    code = ("import sys; sys.path.insert(0, %r); import test_replay_digest as t; "
            "print(t._digest(t._events()))" % str(__import__("pathlib").Path(__file__).parent))
    for seed in ("1", "12345"):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env={**__import__("os").environ, "PYTHONHASHSEED": seed})
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == PINNED


class _Queue(collections.deque):
    def popleft_many(self, n):
        return [self.popleft() for _ in range(n)]


def _inline_digest(events, batch: int) -> str:
    res = ReplayResult("<mem>", None)
    clock = types.SimpleNamespace(_now=dt.datetime(2026, 1, 5, 9, 30))
    stream = digest.EventStream()
    bus = types.SimpleNamespace(publish_event=lambda ev: None)
    c = Consumer(_Queue(), bus, res, Tally(res, None), clock, stream, count_types=True)
    for i in range(0, len(events), batch):
        c.queue.extend(events[i:i + batch])
        c.drain()
    c.finish()
    assert stream.count == len(events) and sum(res.events.values()) == len(events)
    return stream.hexdigest()


def _odd_values():
    cyclic: list = []
    cyclic.append(cyclic)
    return [Ev(Kind.TICK, v={(1, 2): "a tuple key"}), Ev(Kind.TRADE, v=cyclic),
            Ev(Kind.TICK, v=2 ** 70), Ev(Kind.TICK, v=Rec(inner={1.5: [b"x"]}))]


class AttrEv:
    """An event whose fields are set one by one, as the event core's constructor stores them
    (kept where the interpreter keeps attributes before anyone asks for a __dict__)."""

    def __init__(self, kind, **fields):
        for k, v in fields.items():
            setattr(self, k, v)
        self.event_type = kind


def _attr_events():
    return [AttrEv(Kind.TICK if i % 3 else Kind.TRADE, calendar_dt=ev.calendar_dt,
                   rec=ev.rec, count=i) for i, ev in enumerate(_events())]


@pytest.mark.parametrize("batch", [1, 3, 100])
@pytest.mark.parametrize("make", [_events, _odd_values, _attr_events],
                         ids=["plain", "refused by the encoder", "attributes set one by one"])
def test_the_consumers_inline_digest_equals_the_streams(make, batch):
    want = digest.stream_hexdigest(b"".join(digest.event_packed(ev)[1] for ev in make()))
    assert _inline_digest(make(), batch) == _digest(make()) == want


@pytest.mark.parametrize("i", range(4))
def test_a_refused_value_leaves_only_its_plain_data_encoding_behind(i):
    ev = _odd_values()[i]
    stream = digest.EventStream()
    stream.add(ev, "")
    assert bytes(stream.buffer) == digest.event_packed(ev)[1]
    assert stream.hexdigest() != _digest([Ev(Kind.TICK, v=None)])


def test_records_of_different_types_with_equal_fields_differ():
    assert _digest([Ev(Kind.TICK, v=Rec(x=1))]) != _digest([Ev(Kind.TICK, v=types.SimpleNamespace(x=1))])
    assert _digest([Ev(Kind.TICK, v=Rec(x=1))]) == _digest([Ev(Kind.TICK, v=Rec(x=1))])


def test_the_summary_names_the_digests_definition():
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.report import summary_json
    from tidesim.replay.runner import replay
    res = replay(default_session(), report=None, select=_one_minute())
    doc = summary_json(res)
    assert doc["digest"] == res.digest and doc["digest_version"] == digest.DIGEST_VERSION
    quiet = replay(default_session(), report=None, digest=False, select=_one_minute())
    assert summary_json(quiet)["digest_version"] is None


def _one_minute():
    from tidesim.replay.selection import Selection
    return Selection(None, dt.time(9, 30), dt.time(9, 31))


# -- the decoder's quick path ----------------------------------------------------------------

LINE = (b'{"t": "2026-01-05T09:30:00", "cb": "on_snapshot", "args": [{"security_id": "000001", '
        b'"market_type": {"$enum": "MarketType.SZSE"}, "last_price": 10.5}]}')


@pytest.mark.parametrize("typed, tried", [(True, 1), (False, 0)])
def test_the_quick_decoding_tries_the_typed_parse_only_when_asked(monkeypatch, typed, tried):
    from tiderec import decoding
    calls = []
    real = decoding._quick_line

    class Counting:
        def decode(self, raw):
            calls.append(raw)
            return real.decode(raw)

    monkeypatch.setattr(decoding, "_quick_line", Counting())
    dec = decoding.Decoder(acts=lambda name, fields: fields)
    quick = dec._make_quick(typed=typed)
    calls.clear()
    first = quick(2, LINE)
    again = quick(3, LINE)
    assert len(calls) == 2 * tried
    assert first.name == again.name == "on_snapshot"
    assert vars(first.args[0]) == vars(again.args[0])


# -- the event file --------------------------------------------------------------------------

def test_a_gzip_event_file_holds_the_plain_files_lines_and_is_the_same_every_time(tmp_path):
    import gzip

    def write(name):
        stream = digest.EventStream(tmp_path / name, session="day.jsonl")
        for i, ev in enumerate(_events() * 3000):  # several compressed pieces
            stream.add(ev, i + 2 if i % 5 else "timer at 09:30:00.000000")
        stream.close()
        return (tmp_path / name).read_bytes()

    plain, packed, again = write("e.jsonl"), write("e.jsonl.gz"), write("f.jsonl.gz")
    assert gzip.decompress(packed) == plain
    assert packed == again  # no time stamp: equal streams, equal files
    lines = list(digest.read_events(tmp_path / "e.jsonl.gz"))
    assert len(lines) == 36000
    assert lines[1][2] == "day.jsonl:3" and lines[0][2] == "timer at 09:30:00.000000"

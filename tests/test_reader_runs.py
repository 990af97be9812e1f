"""The reader's runs of entries hand on exactly what its entries do, in the same order with
the same reports, and a replay that stops within a run (at the session's end) counts every
entry it did not deliver."""
from __future__ import annotations

import datetime as dt
import gzip

import pytest

from test_replay import bridge, snap_line, write_session  # noqa: F401  (bridge: a fixture)
from tidesim.replay.format import SessionFormatError, SessionReader
from tidesim.replay.runner import Replay


def _lines(n: int, start_ms: int = 10) -> list:
    return [snap_line(f"09:30:{(start_ms + 100 * i) // 1000:02d}.{(start_ms + 100 * i) % 1000:03d}")
            for i in range(n)]


def _walk(path: str, runs: bool) -> list:
    """What the reader hands on and reports, in order: ("entry", line) and ("bad", line)."""
    seen: list = []
    with SessionReader(path) as reader:
        on_error = lambda err: seen.append(("bad", err.line))  # noqa: E731
        if runs:
            for run in reader.entry_runs(on_error=on_error):
                for e in run:
                    seen.append(("entry", e.line))
        else:
            for e in reader.entries(on_error=on_error):
                seen.append(("entry", e.line))
        seen.append(("last line", reader.line))
    return seen


BAD = '{"t": "2026-01-05T09:31:00", "cb": "on_snapsh0t", "args": [{}]}'
FILES = {
    "entries only": _lines(100),
    "a bad line within a block": _lines(40) + [BAD] + _lines(30, 50),
    "blank lines": _lines(10) + ["", "   "] + _lines(50, 20),
    "bad lines first and last": [BAD] + _lines(70) + [BAD],
    "a single entry": _lines(1),
    "no entries": [],
}


@pytest.mark.parametrize("gz", [False, True], ids=["jsonl", "gzip"])
@pytest.mark.parametrize("lines", FILES.values(), ids=FILES.keys())
def test_runs_hand_on_what_entries_do(tmp_path, lines, gz):
    path = write_session(tmp_path / "s.jsonl", lines)
    if gz:
        with open(path, "rb") as f:
            data = f.read()
        path = str(tmp_path / "s.jsonl.gz")
        with gzip.open(path, "wb") as f:
            f.write(data)
    assert _walk(path, runs=True) == _walk(path, runs=False)


@pytest.mark.parametrize("lines", [FILES["entries only"], FILES["blank lines"]],
                         ids=["entries only", "blank lines"])
def test_runs_of_the_binary_encoding_hand_on_what_entries_do(tmp_path, lines):
    from tiderec.convert import convert
    path = str(tmp_path / "s.tsb")
    convert(write_session(tmp_path / "s.jsonl", lines), path)
    assert _walk(path, runs=True) == _walk(path, runs=False)


def test_a_cut_off_file_is_reported_after_the_entries_it_holds(tmp_path):
    path = write_session(tmp_path / "s.jsonl", _lines(50))
    data = gzip.compress(open(path, "rb").read())
    cut = tmp_path / "cut.jsonl.gz"
    cut.write_bytes(data[: len(data) * 2 // 3])
    runs, plain = _walk(str(cut), runs=True), _walk(str(cut), runs=False)
    assert runs == plain and runs[-2][0] == "bad"


def test_without_on_error_a_bad_line_raises_after_the_entries_before_it(tmp_path):
    path = write_session(tmp_path / "s.jsonl", _lines(40) + [BAD] + _lines(5, 50))
    got = []
    with SessionReader(path) as reader:
        with pytest.raises(SessionFormatError) as err:
            for run in reader.entry_runs():
                got += [e.line for e in run]
    assert got == list(range(2, 42)) and err.value.line == 42


@pytest.mark.parametrize("delivered", [1, 5, 31, 32, 33, 64, 70])
def test_entries_after_the_end_are_all_counted_wherever_the_end_falls(tmp_path, bridge, delivered):
    late = [snap_line(f"15:{32 + i // 60:02d}:{i % 60:02d}.000") for i in range(75 - delivered)]
    lines = _lines(delivered) + late
    res = Replay(write_session(tmp_path / "s.jsonl", lines), report=None).run()
    assert res.events["TICK"] == delivered and res.after_end == len(late)
    assert res.entries == delivered


@pytest.mark.parametrize("sample_all, sample_every", [(64, 256), (0, 3), (2, 5), (5, 1), (7, 7),
                                                      (1000, 2)])
def test_the_calls_timed_are_a_kinds_first_and_every_nth(tmp_path, monkeypatch, sample_all,
                                                         sample_every):
    import tidesim.replay.runner as runner
    from tidesim.replay.generator import generate_session
    monkeypatch.setattr(runner, "SAMPLE_ALL", sample_all)
    monkeypatch.setattr(runner, "SAMPLE_EVERY", sample_every)
    day = generate_session(tmp_path / "d.jsonl", securities=2, seed=3, l2_rate=0.5, orders=4,
                           algo_parents=0, data_until=dt.time(9, 35))
    res = Replay(day.path, report=None).run()
    assert res.ok
    for name, histogram in res.bridge_ns.items():
        calls = res.callbacks.get(name, 0)
        if not calls:
            continue  # a timer or initialize: always timed
        timed = sum(1 for k in range(1, calls + 1) if k <= sample_all or k % sample_every == 0)
        assert len(histogram) == timed, name

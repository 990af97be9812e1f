"""The replay as a daily tool: the command line's handling of bad input and arguments, the
event digest and `diff`, listeners named on the command line, market data selection and `cut`,
undelivered entries, the stand-in timing, and generated series of trading days."""
from __future__ import annotations

import datetime as dt
import gzip
import json
import os
import pathlib
import signal
import subprocess
import sys

import pytest

from tidesim.replay.__main__ import main
from tidesim.replay.format import SessionHeader, SessionReader
from tidesim.replay.generator import (HOLIDAYS, generate_days, generate_session, is_trading_day,
                                      trading_days_from)
from tidesim.replay.runner import Replay, replay

DAY = dt.date(2026, 1, 5)
BRIDGE_STATE = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
                "algo_child_orders", "algo_child_trades", "vorn_params")


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    """Two securities until 09:50 with twelve orders and two algorithmic parents."""
    path = tmp_path_factory.mktemp("tools") / "day.jsonl.gz"
    return generate_session(path, securities=2, seed=5, l2_rate=0.2, orders=12, algo_parents=2,
                            data_until=dt.time(9, 50))


@pytest.fixture(autouse=True)
def clean_bridge():
    yield
    import orvane.tamsel.utils.tidewell as tw
    for name in BRIDGE_STATE:
        getattr(tw, name).clear()
    tw.event_queue.clear()


def header(**changes) -> str:
    h = SessionHeader(DAY, dt.datetime(2026, 1, 5, 8, 30), dt.datetime(2026, 1, 5, 15, 31),
                      {"accounts": {"stock": "1_sim"}, "trading_calendar": [DAY.isoformat()]},
                      ["000001.XSHE"], {"000001.XSHE": {}}).to_json()
    h["config"].update(changes)
    return json.dumps(h)


def session(path: pathlib.Path, *lines: str, head: str | None = None) -> str:
    path.write_text("\n".join([head or header(), *lines]) + "\n")
    return str(path)


def run_cli(argv: list[str], capsys) -> tuple[int, str, str]:
    try:
        code = main(argv)
    except SystemExit as exc:  # argparse's refusals
        code = exc.code
    out = capsys.readouterr()
    return code, out.out, out.err


# ---------------------------------------------------------------------------------------------
# Every bad input and argument: a clear message, the right exit status, never a traceback

INIT = '{"t": "2026-01-05T09:30:00", "cb": "on_initialize"}'
BIG = '{"t": "2026-01-05T09:30:01", "cb": "on_order", "args": [{"x": ' + "7" * 5000 + "}]}"


def _cases(tmp: pathlib.Path, good: str) -> dict[str, tuple[list[str], int, list[str]]]:
    """name -> (arguments, exit status, texts the messages hold); {tmp} and {good} filled in."""
    s = lambda name, *lines, **kw: session(tmp / name, *lines, **kw)  # noqa: E731
    (tmp / "adir").mkdir(exist_ok=True)
    (tmp / "notevents.txt").write_text("hello\n")
    return {
        "utc-offset": ([s("tz.jsonl", INIT, '{"t": "2026-01-05T09:30:00+08:00", "cb": "on_initialize"}')],
                       2, ["tz.jsonl:3", "UTC offset"]),
        "utc-offset-keep-going": ([s("tz2.jsonl", '{"t": "2026-01-05T09:30:00Z", "cb": "on_initialize"}',
                                     INIT), "--keep-going"], 1, ["tz2.jsonl:2", "(skipped)"]),
        "huge-integer": ([s("big.jsonl", INIT, BIG)], 2, ["big.jsonl:3", "out of range"]),
        "huge-integer-keep-going": ([s("big2.jsonl", BIG, INIT), "--keep-going"], 1, ["big2.jsonl:2"]),
        "after-end": ([s("late.jsonl", INIT, '{"t": "2026-01-06T09:30:00", "cb": "on_initialize"}')],
                      1, ["late.jsonl", "1 after the end", "line 3"]),
        "before-start": ([s("early.jsonl", '{"t": "2026-01-04T10:00:00", "cb": "on_initialize"}', INIT)],
                         1, ["early.jsonl", "1 before the start", "line 2"]),
        "undelivered-allowed": ([s("late2.jsonl", INIT, '{"t": "2026-01-05T16:00:00", "cb": "on_initialize"}'),
                                 "--allow-undelivered"], 0, ["not delivered: 1 entries after"]),
        "goes-back": ([s("back.jsonl", INIT, '{"t": "2026-01-05T09:00:00", "cb": "on_initialize"}'),
                       "--keep-going"], 1, ["back.jsonl:3", "previous entry's (2026-01-05 09:30:00)",
                                            "(delivered at 2026-01-05 09:30:00)"]),
        "bad-calendar": ([s("cal.jsonl", INIT, head=header(trading_calendar=["2026-13-45"]))], 2,
                         ["cal.jsonl:1", "header config"]),
        "missing-session": ([str(tmp / "nothing.jsonl")], 2, ["nothing.jsonl"]),
        "plot-missing-dir": ([good, "--plot", str(tmp / "no" / "p.png")], 2, ["--plot", "does not exist"]),
        "plot-format": ([good, "--plot", str(tmp / "p.txt")], 2, ["'txt' is not a plot format"]),
        "plot-directory": ([good, "--plot", str(tmp / "adir")], 2, ["is a directory"]),
        "record-missing-dir": ([good, "--record", str(tmp / "no" / "r.jsonl")], 2, ["--record"]),
        "record-over-session": ([good, "--record", good], 2, ["would overwrite"]),
        "events-missing-dir": ([good, "--events", str(tmp / "no" / "e.jsonl")], 2, ["--events"]),
        "drain-every-0": ([good, "--drain-every", "0"], 2, ["--drain-every", "at least 1"]),
        "unknown-security": ([good, "--securities", "999999.XSHE"], 2, ["999999.XSHE", "universe"]),
        "empty-security": ([good, "--securities", "000001.XSHE,"], 2, ["--securities"]),
        "window-backwards": ([good, "--from", "10:00", "--to", "09:30"], 2, ["not after --from"]),
        "bad-time": ([good, "--from", "25:00"], 2, ["--from", "not a time of day"]),
        "listener-spec": ([good, "--listener", "TICK"], 2, ["EVENT=MODULE:FUNCTION"]),
        "listener-event": ([good, "--listener", "TICKS=json:loads"], 2, ["'TICKS' is not an event type"]),
        "listener-module": ([good, "--system-listener", "TICK=no_such_module_here:f"], 2,
                            ["cannot import 'no_such_module_here'"]),
        "listener-function": ([good, "--listener", "TICK=json:no_such_function"], 2,
                              ["has no 'no_such_function'"]),
        "generate-no-securities": (["generate", str(tmp / "g0.jsonl"), "--securities", "0"], 2,
                                   ["--securities", "at least 1"]),
        "generate-sunday": (["generate", str(tmp / "g1.jsonl"), "--day", "2026-01-04"], 2,
                            ["Sunday", "not a trading day"]),
        "generate-holiday": (["generate", str(tmp / "g2.jsonl"), "--day", "2025-12-25"], 2,
                             ["not a trading day"]),
        "generate-missing-dir": (["generate", str(tmp / "no" / "g.jsonl")], 2, ["does not exist"]),
        "generate-days-over-file": (["generate", good, "--days", "2"], 2, ["not a directory"]),
        "generate-bad-rate": (["generate", str(tmp / "g3.jsonl"), "--l2-rate", "nan"], 2, ["--l2-rate"]),
        "diff-not-events": (["diff", str(tmp / "notevents.txt"), str(tmp / "notevents.txt")], 2,
                            ["notevents.txt:1", "not an event line"]),
        "diff-missing": (["diff", str(tmp / "none1"), str(tmp / "none2")], 2, ["none1"]),
        "cut-missing-dir": (["cut", good, str(tmp / "no" / "c.jsonl")], 2, ["does not exist"]),
        "cut-over-input": (["cut", good, good, "--from", "09:30"], 2, ["would overwrite"]),
    }


def _case_names() -> list[str]:
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        return list(_cases(pathlib.Path(tmp), "good.jsonl"))


@pytest.mark.parametrize("name", _case_names())
def test_bad_input_and_arguments_are_clear_errors(tmp_path, capsys, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    good = session(tmp_path / "good.jsonl", INIT)
    argv, code, needles = _cases(tmp_path, good)[name]
    if "--plot" in argv:
        # without the plot extra (the sanitizer's environment) the plot target is refused first
        # for want of matplotlib, before the checks these cases are about
        pytest.importorskip("matplotlib")
    before = set(os.listdir(tmp_path))
    got, out, err = run_cli(argv, capsys)
    assert got == code, (out, err)
    for needle in needles:
        assert needle in err + out, err
    assert "Traceback" not in out + err
    if code == 2 and argv[0] in ("generate", "cut"):
        # a refused generation or cut leaves nothing behind
        assert set(os.listdir(tmp_path)) == before


def test_problem_lines_do_not_run_into_the_progress_bar(tmp_path, capsys):
    # the bar is drawn after the first 1,024 entries, before the second bad line
    path = session(tmp_path / "s.jsonl", '{"t": "2026-01-05T09:30:00", "cb": "on_nothing"}',
                   *[INIT] * 1100, '{"t": "2026-01-05T09:31:00", "cb": "on_nothing"}')
    code, _, err = run_cli([path, "--keep-going", "--progress", "--quiet"], capsys)
    assert code == 1
    reports = [i for i in range(len(err)) if err.startswith("replay: ", i)]
    assert len(reports) == 2
    # each report starts a line of its own (the bar is cleared first) and ends it
    for i in reports:
        assert i == 0 or err[i - 1] in "\r\n"
        assert err[i:].split("\n", 1)[0].endswith("(skipped)")
    assert "] 100.0% 1,100 entries" in err


def test_generate_failing_midway_leaves_no_file(tmp_path, monkeypatch):
    from tidesim.replay import gen_market

    def broken(*args, **kwargs):
        raise RuntimeError("disk gone")
    monkeypatch.setattr(gen_market.MarketScenario, "step", broken)
    with pytest.raises(RuntimeError):
        generate_session(tmp_path / "x.jsonl.gz", securities=1, orders=0)
    assert os.listdir(tmp_path) == []


def test_interrupt_prints_the_partial_summary_and_exits_130(tmp_path, day):
    (tmp_path / "stopper.py").write_text(
        # Python's own handler, even where the test runs with SIGINT ignored (a background job)
        "import os, signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "seen = []\n"
        "def on_tick(event):\n    seen.append(event)\n"
        "    if len(seen) == 5:\n        os.kill(os.getpid(), signal.SIGINT)\n")
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", day.path, "--json",
                          "--listener", "TICK=stopper:on_tick"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 130, out.stderr
    summary = json.loads(out.stdout)
    assert summary["interrupted"] is True and summary["exit_code"] == 130
    assert summary["events"]["TICK"] == 5 and 0 < summary["entries"] < day.entries
    assert "interrupted" in out.stderr and "Traceback" not in out.stderr


def test_a_closed_pipe_ends_quietly(day):
    proc = subprocess.Popen([sys.executable, "-m", "tidesim.replay", day.path, "--json"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # the reader has gone before anything is written
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 141
    assert "Traceback" not in err and "BrokenPipe" not in err


# ---------------------------------------------------------------------------------------------
# Digest, event files and diff


def _changed_copy(src: str, dst: pathlib.Path, line: int) -> str:
    """`src` with one value of the snapshot on `line` changed (its last price by a tick)."""
    lines = gzip.decompress(pathlib.Path(src).read_bytes()).decode().splitlines()
    obj = json.loads(lines[line - 1])
    assert obj["cb"] == "on_snapshot"
    obj["args"][0]["last_price"] = round(obj["args"][0]["last_price"] + 0.01, 2)
    lines[line - 1] = json.dumps(obj)
    dst.write_text("\n".join(lines) + "\n")
    return str(dst)


def _snapshot_line(path: str, after: dt.time) -> int:
    for e in SessionReader(path):
        if e.name == "on_snapshot" and e.time.time() > after:
            return e.line
    raise AssertionError("no snapshot")


def test_digest_is_stable_across_runs_and_drain_sizes_and_sees_one_value(tmp_path, day):
    digests = {replay(day.path, report=None, drain_every=n).digest for n in (1, 1, 7, 1000)}
    assert len(digests) == 1 and len(digests.pop()) == 16
    # the same stream through the stand-in timing or without it
    plain = Replay(day.path, report=None, digest=True, split_latency=False).run()
    assert plain.digest == replay(day.path, report=None).digest
    changed = _changed_copy(day.path, tmp_path / "changed.jsonl", _snapshot_line(day.path, dt.time(9, 40)))
    assert replay(changed, report=None).digest != plain.digest
    assert Replay(day.path, report=None).run().digest is None  # only computed when asked for


def test_diff_of_equal_and_of_different_streams(tmp_path, day, capsys):
    a, b, c = (str(tmp_path / n) for n in ("a.jsonl", "b.jsonl.gz", "c.jsonl"))
    ra = replay(day.path, report=None, events_to=a)
    replay(day.path, report=None, events_to=b, drain_every=50)
    line = _snapshot_line(day.path, dt.time(9, 40))
    changed = _changed_copy(day.path, tmp_path / "changed.jsonl", line)
    replay(changed, report=None, events_to=c)
    first = json.loads(pathlib.Path(a).read_text().splitlines()[0])
    assert set(first) == {"event", "source", "fields"} and first["source"].startswith(day.path + ":")
    assert sum(1 for _ in open(a)) == sum(ra.events.values())

    code, out, _ = run_cli(["diff", a, b], capsys)
    assert code == 0 and f"equal: {sum(ra.events.values()):,} events" in out
    code, out, _ = run_cli(["diff", a, c], capsys)
    assert code == 1 and "the event streams differ" in out
    # the counts agree (one value changed, not an event), the first difference is the tick of
    # the changed line, named with its session line on each side
    assert "TICK" in out and "*" not in out
    assert f"{day.path}:{line}" in out and f"changed.jsonl:{line}" in out
    assert out.count("TICK, caused by") == 2


def test_diff_counts_events_missing_on_one_side(tmp_path, capsys):
    a, b = tmp_path / "a.jsonl", tmp_path / "b.jsonl"
    ev = '{"event":"%s","source":"s:%d","fields":{"x":%d}}'
    a.write_text("\n".join(ev % ("TICK", i, i) for i in range(3)) + "\n")
    b.write_text("\n".join(ev % ("TICK", i, i) for i in range(2)) + "\n" + ev % ("BAR", 9, 2) + "\n")
    code, out, _ = run_cli(["diff", str(a), str(b)], capsys)
    assert code == 1 and "first difference at event 3" in out
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines() if line.startswith(("TICK", "BAR"))}
    assert rows["TICK"] == ["3", "2", "*"] and rows["BAR"] == ["0", "1", "*"]


# ---------------------------------------------------------------------------------------------
# Listeners from the command line


def test_listeners_from_a_module_on_pythonpath(tmp_path, day):
    mods = tmp_path / "mods"
    mods.mkdir()
    (mods / "my_listeners.py").write_text(
        "import collections, json, os\n"
        "seen = collections.Counter()\n"
        "order = []\n"
        "def count(event):\n    seen[event.event_type.name] += 1\n"
        "def first(event):\n    order.append(('system', event.event_type.name))\n"
        "def last(event):\n    order.append(('user', event.event_type.name))\n"
        "import atexit\n"
        "atexit.register(lambda: open(os.environ['LISTENER_OUT'], 'w').write("
        "json.dumps({'seen': seen, 'order': order[:4]})))\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(mods), os.environ.get("PYTHONPATH", "")]),
           "LISTENER_OUT": str(tmp_path / "out.json")}
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", day.path, "--json",
                          "--listener", "*=my_listeners:count",
                          "--system-listener", "LOGIN=my_listeners:first",
                          "--listener", "LOGIN=my_listeners:last"],
                         capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    summary = json.loads(out.stdout)
    got = json.loads((tmp_path / "out.json").read_text())
    assert got["seen"] == summary["events"] == day.expected_events
    assert got["order"] == [["system", "LOGIN"], ["user", "LOGIN"]]


# ---------------------------------------------------------------------------------------------
# Selection and cut


def test_selection_delivers_some_market_data_and_keeps_the_orders_consistent(tmp_path, day):
    from tidesim.replay.selection import Selection
    full = Replay(day.path, report=None, collect_events=True).run()
    code = SessionReader(day.path).header.universe[1]
    ticks = []
    part = Replay(day.path, report=None, select=Selection(frozenset({code}), dt.time(9, 30), dt.time(9, 40)),
                  listeners=[("TICK", lambda e: ticks.append((e.tick.instrument.market_code,
                                                              e.calendar_dt.time())), True)]).run()
    assert part.ok, part.problems
    assert ticks and {c for c, _ in ticks} == {code}
    assert all(dt.time(9, 29, 59) <= t < dt.time(9, 40) for _, t in ticks)
    assert part.filtered > 0 and part.entries + part.filtered == full.entries
    # every order, account and algorithmic-order event is delivered as before
    for name in ("LOGIN", "QUERY_ACCOUNT", "ORDER_CREATION_PASS", "TRADE", "PARENT_ORDER_UPDATE",
                 "CHILD_ORDER_TRADE"):
        assert part.events[name] == full.events[name], name
    got = {s.key: (s.status_name, s.filled_quantity) for s in part.order_book.orders.values()}
    assert got == day.expected_orders


def test_cut_writes_the_selection_as_a_session_that_replays_the_same(tmp_path, day, capsys):
    from tidesim.replay.selection import Selection
    code = SessionReader(day.path).header.universe[0]
    out = str(tmp_path / "cut.jsonl.gz")
    rc, _, err = run_cli(["cut", day.path, out, "--securities", code, "--from", "09:35"], capsys)
    assert rc == 0, err
    h = SessionReader(out).header
    assert h.universe == [code]  # the bars complete over the selected securities
    assert h.source["cut"] == {"securities": [code], "from": "09:35", "to": None}
    direct = replay(day.path, report=None, select=Selection(frozenset({code}), dt.time(9, 35)))
    again = replay(out, report=None)
    assert again.ok and again.digest == direct.digest and again.entries == direct.entries


# ---------------------------------------------------------------------------------------------
# Undelivered entries, latency split


def test_undelivered_entries_are_a_problem_unless_allowed(tmp_path):
    path = session(tmp_path / "s.jsonl", '{"t": "2026-01-05T08:00:00", "cb": "on_initialize"}', INIT,
                   '{"t": "2026-01-05T15:40:00", "cb": "on_initialize"}',
                   '{"t": "2026-01-06T09:30:00", "cb": "on_initialize"}')
    strict = Replay(path, report=None).run()
    assert (strict.before_start, strict.after_end, strict.entries) == (1, 2, 1)
    assert strict.problem_counts == {"undelivered": 1} and strict.exit_code == 1
    lenient = Replay(path, report=None, allow_undelivered=True).run()
    assert lenient.ok and lenient.exit_code == 0 and lenient.after_end == 2


def test_latency_is_split_on_a_sample_and_the_bridge_globals_are_put_back(day):
    import orvane.tamsel.utils.tidewell as tw
    from tidesim.replay.runner import SAMPLE_ALL, SAMPLE_EVERY
    before = dict(tw.__dict__)
    res = Replay(day.path, report=None).run()
    assert res.ok
    assert tw.__dict__ == before  # every wrapper removed
    total, own = res.latency_percentiles(), res.bridge_percentiles()
    assert set(total) == set(own) and "on_snapshot" in total
    for name, (calls, _, _) in total.items():
        sampled = sum(1 for k in range(1, calls + 1) if k <= SAMPLE_ALL or k % SAMPLE_EVERY == 0)
        assert own[name][0] == sampled, name
        # the bridge's share of a call never exceeds the whole call
        assert own[name][1] <= total[name][1] and own[name][2] <= total[name][2], name
    # each sampled snapshot converted its SDK time through a timed stand-in
    assert res.standin_calls["on_snapshot"] >= own["on_snapshot"][0]
    # without the split, nothing is sampled and the stand-ins are never wrapped
    plain = Replay(day.path, report=None, split_latency=False).run()
    assert plain.bridge_percentiles() == {} and not plain.standin_calls
    assert plain.latency_percentiles().keys() == total.keys()


def test_a_global_replaced_during_a_callback_stays_replaced(tmp_path):
    """The timing puts back only its own wrappers: a test or tool that swaps a bridge global
    mid-run keeps its replacement."""
    import orvane.tamsel.utils.tidewell as tw
    original = tw.convert_int_to_datetime
    marker = lambda value: original(value)  # noqa: E731

    def swap(event):
        tw.__dict__["convert_int_to_datetime"] = marker
    path = session(tmp_path / "s.jsonl", INIT)
    try:
        res = Replay(path, report=None, listeners=[("BEFORE_TRADING", swap, True)]).run()
        assert res.ok and tw.convert_int_to_datetime is marker
    finally:
        tw.__dict__["convert_int_to_datetime"] = original


# ---------------------------------------------------------------------------------------------
# Generated calendar and series of days


@pytest.mark.parametrize("date, trading", [
    ("2026-01-05", True), ("2026-01-03", False), ("2026-01-04", False), ("2025-12-25", False),
    ("2026-01-01", False), ("2025-12-24", True), ("2026-05-01", False), ("2026-05-04", True),
])
def test_generated_calendar(date, trading):
    assert is_trading_day(dt.date.fromisoformat(date)) is trading


def test_generate_days_writes_consecutive_trading_days(tmp_path, capsys):
    rc, _, err = run_cli(["generate", str(tmp_path / "days"), "--days", "4", "--day", "2025-12-23",
                          "--securities", "1", "--orders", "2", "--algo-parents", "0",
                          "--until", "09:20", "--seed", "9"], capsys)
    assert rc == 0, err
    names = sorted(os.listdir(tmp_path / "days"))
    assert names == ["2025-12-23.jsonl.gz", "2025-12-24.jsonl.gz", "2025-12-29.jsonl.gz",
                     "2025-12-30.jsonl.gz"]
    headers = [SessionReader(tmp_path / "days" / n).header for n in names]
    assert [h.day.isoformat() for h in headers] == [n[:10] for n in names]
    assert len({h.source["seed"] for h in headers}) == 4
    for h in headers:
        cal = [dt.date.fromisoformat(d) for d in h.config["trading_calendar"]]
        assert h.day in cal and all(is_trading_day(d) for d in cal)
        assert not any((d.month, d.day) in HOLIDAYS or d.weekday() >= 5 for d in cal)
    # the same arguments give the same files
    (tmp_path / "again").mkdir()
    again = generate_days(tmp_path / "again", 4, first_day=dt.date(2025, 12, 23), seed=9, securities=1,
                          orders=2, algo_parents=0, data_until=dt.time(9, 20))
    assert [pathlib.Path(g.path).read_bytes() for g in again] == \
        [(tmp_path / "days" / n).read_bytes() for n in names]
    res = replay(again[2].path, report=None)
    assert res.ok and res.header.day == dt.date(2025, 12, 29)
    assert trading_days_from(dt.date(2026, 1, 1), 2) == [dt.date(2026, 1, 2), dt.date(2026, 1, 5)]


# ---------------------------------------------------------------------------------------------
# Summary and plot


def test_summary_names_both_latency_columns_and_the_plot_is_written(tmp_path, day, capsys):
    pytest.importorskip("matplotlib")
    svg = tmp_path / "p.svg"
    rc, out, err = run_cli([day.path, "--plot", str(svg)], capsys)
    assert rc == 0, err
    assert "bridge p50" in out and "all p50" in out and svg.stat().st_size > 0
    res = Replay(day.path, report=None).run()
    by_type = {name for _, name in res.events_by_minute_type}
    assert {"TICK", "TRADE", "LOGIN"} <= by_type
    assert sum(res.events_by_minute_type.values()) == sum(res.events.values())


@pytest.mark.parametrize("values", [
    [5_000], [0, 1, 2, 3], list(range(1, 2001)), [1_000] * 98 + [10_000_000, 20_000_000],
    [int(1.07 ** k) for k in range(300)],
], ids=["one", "tiny", "uniform", "outliers", "log-spread"])
def test_latency_histogram_percentiles_within_one_percent_and_merge(values):
    from tidesim.replay.results import LatencyHistogram, percentile
    h = LatencyHistogram()
    for v in values:
        h.append(v)
    exact = sorted(values)
    assert len(h) == len(values) and (h.min, h.max) == (exact[0], exact[-1])
    for p in (0, 50, 99, 100):
        want = exact[round((len(exact) - 1) * p / 100)] if p in (0, 100) else percentile(exact, p)
        lo = max(v for v in exact if v <= want) if p not in (0, 100) else want
        hi = min(v for v in exact if v >= want) if p not in (0, 100) else want
        # within a bucket (1 %) of the values around the exact rank
        assert lo / 1.0101 - 1 <= h.percentile(p) <= hi * 1.0101 + 1, p
    halves = LatencyHistogram(), LatencyHistogram()
    for i, v in enumerate(values):
        halves[i % 2].append(v)
    halves[0].merge(halves[1])
    assert halves[0].counts == h.counts and len(halves[0]) == len(h)
    assert (halves[0].min, halves[0].max) == (h.min, h.max)

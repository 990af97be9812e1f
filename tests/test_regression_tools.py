"""The pieces of a month's regression that need no cluster: what `diff` says changed and how it
counts, the baseline's matching of days, the checks of a multi-day run's arguments, a listener
module imported afresh for each day and its day_result(), and the overall latency table."""
from __future__ import annotations

import datetime as dt
import json
import pathlib

import pytest

from tidesim.replay import baseline as baseline_mod
from tidesim.replay import digest as digest_mod
from tidesim.replay.baseline import BaselineError, compare, load_baseline
from tidesim.replay.cluster import (DaysResult, SessionNamedTwice, check_distinct, events_file_name,
                                    events_paths, parse_scheduler, replay_day)
from tidesim.replay.days_report import total_summary
from tidesim.replay.diff import MISSING, diff_event_files, field_changes, write_diff
from tidesim.replay.generator import generate_session


# ---------------------------------------------------------------------------------------------
# diff: what changed, and how many


def obj(type_name: str, **fields) -> dict:
    return {"$type": type_name, "fields": fields}


@pytest.mark.parametrize("a, b, want", [
    ({"tick": obj("Tick", last=16.16, volume=3)}, {"tick": obj("Tick", last=16.17, volume=3)},
     [("tick.last", 16.16, 16.17)]),
    ({"x": [1, 2, 3]}, {"x": [1, 5, 3]}, [("x[1]", 2, 5)]),
    ({"x": [1, 2]}, {"x": [1, 2, 3]}, [("x", [1, 2], [1, 2, 3])]),
    ({"a": 1}, {"a": 1, "b": 2}, [("b", MISSING, 2)]),
    ({"a": 1, "b": 2}, {"a": 1}, [("b", 2, MISSING)]),
    ({"a": 1}, {"a": 1.0}, [("a", 1, 1.0)]),  # equal as numbers, not as values
    ({"o": obj("Order", q=1)}, {"o": obj("Trade", q=1)},
     [("o.$type", "Order", "Trade")]),
    ({"d": {"k": {"z": None}}}, {"d": {"k": {"z": False}}}, [("d.k.z", None, False)]),
    ({"same": [obj("T", v=1)]}, {"same": [obj("T", v=1)]}, []),
], ids=["object-field", "list-item", "list-length", "added", "removed", "int-float", "type",
        "nested-null", "equal"])
def test_field_changes_name_each_differing_value_by_its_path(a, b, want):
    assert field_changes(a, b) == want


def write_events(path: pathlib.Path, values: list) -> str:
    """An event file: one TICK per value, or a (type, value) pair."""
    lines = []
    for i, v in enumerate(values):
        etype, v = v if isinstance(v, tuple) else ("TICK", v)
        lines.append(json.dumps({"event": etype, "source": f"day.jsonl:{i + 2}",
                                 "fields": {"tick": obj("Tick", last=v)}}))
    path.write_text("\n".join(lines) + "\n")
    return str(path)


BASE = list(range(100))


@pytest.mark.parametrize("b, changed, only_a, only_b, realigned", [
    (BASE, 0, 0, 0, True),
    (BASE[:10] + [-1] + BASE[11:], 1, 0, 0, True),
    (BASE[:10] + [-1, -2] + BASE[12:], 2, 0, 0, True),
    (BASE[:10] + [-1] + BASE[10:], 0, 0, 1, True),  # inserted: one difference, not ninety
    (BASE[:10] + BASE[13:], 0, 3, 0, True),  # removed
    (BASE[:10] + [-1] + BASE[11:50] + [-2] + BASE[50:], 1, 0, 1, True),
    (BASE + [100, 101], 0, 0, 2, True),  # longer at the end
    (BASE[:10] + [-x for x in range(1, 91)], 90, 0, 0, False),  # different to the end
    ([-x - 1 for x in range(300)], 100, 0, 200, False),  # never realigns
], ids=["equal", "one-changed", "two-changed", "inserted", "removed", "both", "longer",
        "tail-changed", "unrelated"])
def test_diff_counts_changed_and_one_sided_events_after_realigning(tmp_path, b, changed, only_a,
                                                                   only_b, realigned):
    res = diff_event_files(write_events(tmp_path / "a.jsonl", BASE),
                           write_events(tmp_path / "b.jsonl", b), max_shown=5)
    assert (res.changed, res.only_a, res.only_b, res.realigned) == \
        (changed, only_a, only_b, realigned)
    assert res.equal == (b == BASE)
    assert len(res.shown) == min(5, res.differing)


def test_diff_text_shows_the_changed_value_its_cause_and_the_count(tmp_path):
    b = BASE[:10] + [10.5] + BASE[11:40] + [-1] + BASE[41:]
    res = diff_event_files(write_events(tmp_path / "a.jsonl", BASE),
                           write_events(tmp_path / "b.jsonl", b))
    out = tmp_path / "out.txt"
    with open(out, "w") as f:
        write_diff(res, f)
    text = out.read_text()
    assert "2 events differ" in text and "first difference at event 11 (TICK):" in text
    assert "tick.last: 10 -> 10.5" in text and text.count("caused by day.jsonl:12") == 2
    assert "... 1 more differing events (--max N shows N)" in text
    assert "tick.last: 40" not in text  # --max 1: only the first is shown
    with open(out, "w") as f:
        write_diff(diff_event_files(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"),
                                    max_shown=2), f, full=True)
    text = out.read_text()
    assert "difference at event 41 (TICK):" in text and '"last": -1' in text
    assert "more differing events" not in text


# ---------------------------------------------------------------------------------------------
# The baseline


def summary(tmp_path: pathlib.Path, doc) -> str:
    p = tmp_path / "run.json"
    p.write_text(json.dumps(doc))
    return str(p)


def day(session: str, digest: str | None = "a" * 32) -> dict:
    return {"session": session, "day": "2026-01-05", "digest": digest, "exit_code": 0,
            "digest_version": digest_mod.DIGEST_VERSION if digest is not None else None}


def test_baseline_matches_days_by_file_name_and_lists_every_change(tmp_path):
    path = summary(tmp_path, {"days": [day("/old/a.jsonl.gz"), day("/old/b.jsonl.gz"),
                                       day("/old/c.jsonl.gz", None), day("/old/d.jsonl.gz")],
                              "total": {}})
    base = load_baseline(path)
    run = [("/new/a.jsonl.gz", "a" * 32), ("/new/b.jsonl.gz", "b" * 32),
           ("/new/c.jsonl.gz", "a" * 32), ("/new/e.jsonl.gz", "a" * 32)]
    c = compare(base, run, path)
    assert c.equal_days == ["a.jsonl.gz"]
    assert c.changed == [("b.jsonl.gz", "a" * 32, "b" * 32), ("c.jsonl.gz", None, "a" * 32)]
    assert (c.only_in_baseline, c.only_in_run, c.equal) == (["d.jsonl.gz"], ["e.jsonl.gz"], False)
    assert compare(base, run[:1], path).equal is False  # the others are missing from the run
    # one day replayed on purpose: checked against its own day only
    assert compare(base, run[:1], path, single=True).equal
    assert not compare(base, run[1:2], path, single=True).equal
    # a baseline of one day: compared whatever the file is called
    one = load_baseline(summary(tmp_path, day("/old/x.jsonl.gz")))
    assert compare(one, [("/new/renamed.jsonl", "a" * 32)], single=True).equal
    assert not compare(one, [("/new/renamed.jsonl", "b" * 32)], single=True).equal


@pytest.mark.parametrize("content, needle", [
    (b"not json", "not a JSON summary"),
    (json.dumps([1, 2]).encode(), 'no "session" and no "days"'),
    (json.dumps({"days": [{"digest": "x"}]}).encode(), "day 1 of the summary has no session"),
    (json.dumps({"days": [day("/a/x.jsonl"), day("/b/x.jsonl")]}).encode(), "x.jsonl appears twice"),
    (b"\xff\xfe", "not a JSON summary"),
], ids=["text", "list", "no-session", "twice", "binary"])
def test_a_baseline_that_is_not_a_summary_is_refused(tmp_path, content, needle):
    p = tmp_path / "bad.json"
    p.write_bytes(content)
    with pytest.raises(BaselineError, match=needle):
        load_baseline(str(p))
    with pytest.raises(BaselineError, match="no such file|No such file"):
        load_baseline(str(tmp_path / "missing.json"))


def test_a_baseline_of_another_digest_definition_is_refused(tmp_path, monkeypatch):
    earlier = {k: v for k, v in day("/a/x.jsonl").items() if k != "digest_version"}
    with pytest.raises(BaselineError, match="another definition of the digest"):
        load_baseline(summary(tmp_path, earlier))
    current = summary(tmp_path, day("/a/x.jsonl"))
    assert load_baseline(current) == {"x.jsonl": "a" * 32}
    monkeypatch.setattr(digest_mod, "DIGEST_VERSION", "3")
    assert baseline_mod._digest_version() == "3"
    with pytest.raises(BaselineError, match="another definition of the digest"):
        load_baseline(current)
    # a day that failed has no digest to compare, whatever its version
    assert load_baseline(summary(tmp_path, day("/a/x.jsonl", None))) == {"x.jsonl": None}


# ---------------------------------------------------------------------------------------------
# The arguments of a multi-day run


@pytest.mark.parametrize("address, want", [
    ("tcp://10.0.0.5:8786", ("tcp", "10.0.0.5", 8786)),
    ("10.0.0.5:8786", ("tcp", "10.0.0.5", 8786)),
    ("tls://sched.example:8786", ("tls", "sched.example", 8786)),
    ("tcp://[::1]:8786", ("tcp", "::1", 8786)),
    ("127.0.0.1", "expected HOST:PORT"),
    ("foo", "expected HOST:PORT"),
    ("tcp://:8786", "expected HOST:PORT"),
    ("127.0.0.1:99999", "not in 1..65535"),
    ("127.0.0.1:0", "not in 1..65535"),
    ("127.0.0.1:http", "'http' is not a number"),
    ("nonsense://x:1", "unknown address scheme"),
])
def test_scheduler_addresses_are_checked_without_contacting_anything(address, want):
    if isinstance(want, tuple):
        assert parse_scheduler(address) == want
    else:
        with pytest.raises(ValueError, match=want):
            parse_scheduler(address)


def test_sessions_named_twice_and_event_file_names(tmp_path):
    d = tmp_path / "days"
    d.mkdir()
    a = d / "2026-01-05.jsonl.gz"
    a.write_bytes(b"")
    (tmp_path / "other").mkdir()
    b = tmp_path / "other" / "2026-01-05.tsb"
    b.write_bytes(b"")
    check_distinct([str(a), str(b)])
    for twice in ([str(a), str(a)], [str(a), str(d / ".." / "days" / a.name)]):
        with pytest.raises(SessionNamedTwice, match="2026-01-05.jsonl.gz: the session is named twice"):
            check_distinct(twice)
    assert [events_file_name(p) for p in ("x/2026-01-05.jsonl.gz", "2026-01-06.jsonl",
                                          "2026-01-07.tsb", "odd.name")] == \
        ["2026-01-05.events.jsonl.gz", "2026-01-06.events.jsonl.gz", "2026-01-07.events.jsonl.gz",
         "odd.name.events.jsonl.gz"]
    with pytest.raises(ValueError, match="would write the same event file 2026-01-05.events"):
        events_paths([str(a), str(b)], str(tmp_path / "ev"))


# ---------------------------------------------------------------------------------------------
# A listener module in a day's replay


LISTENER = """
calls = []


def on_tick(event):
    calls.append(event.tick.instrument.market_code)


def day_result():
    return {"ticks": len(calls), "codes": sorted(set(calls))}
"""


@pytest.fixture(scope="module")
def small_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "2026-01-05.jsonl.gz"
    generate_session(path, securities=2, seed=3, l2_rate=0.1, orders=4, algo_parents=0,
                     data_until=dt.time(9, 35))
    return str(path)


@pytest.mark.parametrize("day_result, problems, value", [
    ("", {}, "counted"),
    ("\ndef day_result():\n    raise RuntimeError('broken check')\n", {"listener": 1}, None),
    ("\ndef day_result():\n    return {1, 2}\n", {"listener": 1}, None),  # not JSON
    ("\nday_result = 3\n", {}, "absent"),  # not a function: no result
], ids=["counted", "raises", "not-json", "not-callable"])
def test_listener_module_is_fresh_for_each_day_and_its_result_comes_back(
        tmp_path, monkeypatch, small_day, day_result, problems, value):
    mods = tmp_path / "mods"
    mods.mkdir()
    (mods / "tickcheck.py").write_text(LISTENER + day_result)
    monkeypatch.delitem(__import__("sys").modules, "tickcheck", raising=False)
    options = {"listeners": [("TICK", "tickcheck:on_tick", True)], "import_path": [str(mods)]}
    first, second = replay_day(0, small_day, options), replay_day(1, small_day, options)
    assert first.failed is None and second.failed is None
    ticks = first.summary["events"]["TICK"]
    for out in (first, second):  # the second day starts from a fresh module: no doubled counts
        assert out.summary["problems"]["counts"] == problems
        assert out.exit_code == (1 if problems else 0)
        if value == "counted":
            want = {"tickcheck": {"ticks": ticks, "codes": ["000001.XSHE", "600000.XSHG"]}}
        elif value == "absent":
            want = {}
        else:
            want = {"tickcheck": None}
        assert out.listener_results == want
        assert out.summary["listener_results"] == want
    if problems:
        assert "day_result" in json.dumps(first.summary["problems"]["first"])


def test_overall_latency_carries_the_bridge_share_as_one_day_does(small_day):
    one = replay_day(0, small_day, {})
    lat = total_summary(DaysResult([one], 1.0, 0.1, 1))["latency_ns"]
    mine = one.summary["latency_ns"]
    assert set(lat) == set(mine)
    for name, got in lat.items():
        for key in ("count", "p50", "p99", "bridge_p50", "bridge_p99"):
            assert got[key] == pytest.approx(mine[name][key], abs=0.11), (name, key)
    # two days: the share is a ratio of the two days' totals, so it lies between theirs
    two = total_summary(DaysResult([one, replay_day(1, small_day, {})], 1.0, 0.1, 1))
    assert two["latency_ns"]["on_snapshot"]["bridge_sampled"] == 2 * lat["on_snapshot"]["bridge_sampled"]


def test_no_module_of_the_replay_package_imports_one_that_imports_it_back():
    """Also through imports inside functions: a circle means neither module can be read (or
    loaded on a worker) without the other."""
    import ast
    import tidesim.replay as package
    root = pathlib.Path(package.__file__).parent
    names = {p.stem for p in root.glob("*.py")}
    graph = {}
    for name in names:
        deps = set()
        for node in ast.walk(ast.parse((root / f"{name}.py").read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                deps |= {node.module.split(".")[0]} if node.module else {a.name for a in node.names}
        graph[name] = deps & names
    assert "days_report" in graph["days_command"] and "cluster" in graph["days_command"]

    def reaches(start, goal, seen):
        return any(d == goal or (d not in seen and reaches(d, goal, seen | {d}))
                   for d in graph[start])
    circles = sorted(n for n in names if reaches(n, n, {n}))
    assert circles == []


@pytest.mark.parametrize("layout", ["files", "directories"])
def test_diff_into_a_closed_pipe_ends_quietly(tmp_path, layout):
    import subprocess
    import sys
    for side in ("a", "b"):
        (tmp_path / side).mkdir()
        write_events(tmp_path / side / "2026-01-05.events.jsonl",
                     BASE if side == "a" else [-x for x in BASE])
    a, b = (str(tmp_path / s) if layout == "directories" else
            str(tmp_path / s / "2026-01-05.events.jsonl") for s in ("a", "b"))
    proc = subprocess.Popen([sys.executable, "-m", "tidesim.replay", "diff", a, b, "--max", "50"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # the reader has gone before anything is written
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141
    assert "Traceback" not in err and "Broken pipe" not in err

"""One set of rules on the replay's command line, walked as a table: every writing command
refuses an existing target unless --force, with the same wording; a replay that stopped never
says "problems: none"; a listener's exception comes with its session line and traceback, and
the counts agree with the event file whatever a listener raises; --securities keeps the
selected securities' bars; generate --days draws the progress bar."""
from __future__ import annotations

import datetime as dt
import gzip
import json
import os
import pathlib
import sys

import pytest

from tidesim.replay.__main__ import main
from tidesim.replay.generator import generate_session


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    """Two securities until 09:40, a few orders."""
    path = tmp_path_factory.mktemp("rules") / "day.jsonl.gz"
    return generate_session(path, securities=2, seed=7, l2_rate=0.2, orders=6, algo_parents=1,
                            data_until=dt.time(9, 40))


@pytest.fixture(autouse=True)
def clean_bridge():
    yield
    import orvane.tamsel.utils.tidewell as tw
    for name in ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
                 "algo_child_orders", "algo_child_trades", "vorn_params"):
        getattr(tw, name).clear()
    tw.event_queue.clear()


def run_cli(argv: list[str], capsys) -> tuple[int, str, str]:
    try:
        code = main(argv)
    except SystemExit as exc:  # argparse's refusals
        code = exc.code
    out = capsys.readouterr()
    return code, out.out, out.err


# ---------------------------------------------------------------------------------------------
# Writing commands: an existing target is refused unless --force, always in the same words

def _existing_file(tmp: pathlib.Path, name: str) -> pathlib.Path:
    target = tmp / name
    target.write_bytes(b"keep")
    return target


def _non_empty_dir(tmp: pathlib.Path, name: str) -> pathlib.Path:
    target = tmp / name
    target.mkdir()
    (target / "notes.txt").write_text("keep")
    return target


# name -> (how to make the target, argv given the session and the target)
WRITERS = {
    "cut": (lambda t: _existing_file(t, "cut.jsonl.gz"),
            lambda s, o: ["cut", s, str(o), "--from", "09:35"]),
    "--events": (lambda t: _existing_file(t, "ev.jsonl"),
                 lambda s, o: [s, "--events", str(o), "--quiet"]),
    "--record": (lambda t: _existing_file(t, "rec.jsonl.gz"),
                 lambda s, o: [s, "--record", str(o), "--quiet"]),
    "generate": (lambda t: _existing_file(t, "g.jsonl.gz"),
                 lambda s, o: ["generate", str(o), "--securities", "1", "--orders", "0",
                               "--algo-parents", "0", "--until", "09:20"]),
    "generate --days": (lambda t: _non_empty_dir(t, "days"),
                        lambda s, o: ["generate", str(o), "--days", "1", "--securities", "1",
                                      "--orders", "0", "--algo-parents", "0", "--until", "09:20",
                                      "--no-progress"]),
    "convert": (lambda t: _existing_file(t, "c.tsb"), lambda s, o: ["convert", s, str(o)]),
}


@pytest.mark.parametrize("force", [False, True], ids=["refused", "forced"])
@pytest.mark.parametrize("name", WRITERS)
def test_a_writing_command_refuses_an_existing_target_unless_forced(tmp_path, day, capsys, name,
                                                                     force):
    make, argv = WRITERS[name]
    target = make(tmp_path)
    before = {p: p.read_bytes() for p in [target, *target.glob("*")] if p.is_file()}
    code, _, err = run_cli(argv(day.path, target) + (["--force"] if force else []), capsys)
    if not force:
        assert code == 2
        assert f"refusing to overwrite {target} (use --force)" in err
        assert "Traceback" not in err
        assert {p: p.read_bytes() for p in before} == before  # nothing was touched
    else:
        assert code == 0, err
        if target.is_file():
            assert target.read_bytes() != b"keep"
        else:  # the directory got the day beside what it held
            assert (target / "notes.txt").read_text() == "keep"
            assert [p.name for p in target.glob("*.jsonl.gz")]


@pytest.mark.parametrize("name", WRITERS)
def test_a_new_target_needs_no_force(tmp_path, day, capsys, name):
    _, argv = WRITERS[name]
    target = tmp_path / ("fresh" if name == "generate --days" else "fresh" + _suffix(name))
    code, _, err = run_cli(argv(day.path, target), capsys)
    assert code == 0, err
    assert target.exists()


def _suffix(name: str) -> str:
    return {"convert": ".tsb", "--events": ".jsonl"}.get(name, ".jsonl.gz")


# ---------------------------------------------------------------------------------------------
# What the summary says of a stopped replay and of a listener's exception

def _truncated(tmp: pathlib.Path, day) -> str:
    with gzip.open(day.path, "rb") as f:
        lines = f.read().split(b"\n")
    path = tmp / "cut-off.jsonl"
    path.write_bytes(b"\n".join(lines[:200]) + b"\n" + lines[200][:30] + b"\n")
    return str(path)


LISTENER_MODULE = '''
import collections
seen = collections.Counter()

def boom(event):
    seen[event.event_type.name] += 1
    if seen[event.event_type.name] % 3 == 0:
        check_it(event)

def check_it(event):
    raise ValueError("a check failed")
'''


@pytest.fixture
def raising_module(tmp_path, monkeypatch):
    name = f"rules_listener_{os.getpid()}_{len(sys.modules)}"
    (tmp_path / f"{name}.py").write_text(LISTENER_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    yield name
    sys.modules.pop(name, None)


def _event_file_counts(path: pathlib.Path) -> dict:
    counts: dict = {}
    for line in path.read_text().splitlines():
        e = json.loads(line)["event"]
        counts[e] = counts.get(e, 0) + 1
    return counts


def test_a_stopped_replay_never_says_no_problems(tmp_path, day, capsys):
    code, out, err = run_cli([_truncated(tmp_path, day)], capsys)
    assert code == 2
    assert "STOPPED at bad input" in out
    assert "problems: none" not in out
    assert "stopped at bad input" in out.split("problems:")[1]


@pytest.mark.parametrize("tier", ["--system-listener", "--listener"])
@pytest.mark.parametrize("drain", ["1", "7"])
def test_a_raising_listener_is_reported_with_its_line_and_frames_and_counts_agree(
        tmp_path, day, capsys, raising_module, tier, drain):
    events = tmp_path / "ev.jsonl"
    code, out, err = run_cli([day.path, tier, f"TICK={raising_module}:boom", "--events",
                              str(events), "--json", "--drain-every", drain], capsys)
    assert code == 1
    summary = json.loads(out)
    first = summary["problems"]["first"][0]
    assert first["kind"] == "listener" and first["name"] == "TICK"
    # the session line that led to it, and the listener's own frames, innermost last
    assert first["where"].startswith(f"{day.path}:") and first["where"].split(":")[1].isdigit()
    assert "in boom" in first["traceback"] and first["traceback"].rstrip().splitlines()[-2] \
        .strip().endswith("in check_it")
    assert "ValueError: a check failed" in err and "in check_it" in err
    # every published event is counted, whatever a listener raised on it
    assert summary["events"] == _event_file_counts(events)
    assert summary["problems"]["counts"]["listener"] == summary["events"]["TICK"] // 3


def test_the_source_of_a_listener_problem_without_an_event_file(tmp_path, day, capsys,
                                                               raising_module):
    code, out, _ = run_cli([day.path, "--listener", f"TICK={raising_module}:boom"], capsys)
    assert code == 1
    line = next(ln for ln in out.splitlines() if "listener TICK" in ln)
    where = line.strip().split(": ")[0]
    path, _, number = where.rpartition(":")
    assert path == day.path and int(number) > 1
    with gzip.open(day.path, "rt") as f:
        assert json.loads(f.read().splitlines()[int(number) - 1])["cb"] == "on_snapshot"


# ---------------------------------------------------------------------------------------------
# A narrowed universe still completes its bars; generate --days shows its progress

def test_a_selection_of_securities_keeps_their_bars(tmp_path, day, capsys):
    from tidesim.replay.format import SessionReader
    universe = SessionReader(day.path).header.universe
    code, out, _ = run_cli([day.path, "--json"], capsys)
    whole = json.loads(out)
    code2, out2, _ = run_cli([day.path, "--json", "--securities", universe[0]], capsys)
    part = json.loads(out2)
    assert code == code2 == 0
    assert whole["events"]["BAR"] > 0
    assert part["events"].get("BAR", 0) > 0
    # one BAR event a minute, once the minute's bars of the (narrowed) universe are complete
    assert part["events"]["BAR"] == whole["events"]["BAR"]


def test_generate_days_draws_the_replays_progress_bar(tmp_path, capsys):
    out = tmp_path / "days"
    code, _, err = run_cli(["generate", str(out), "--days", "2", "--securities", "1",
                            "--orders", "0", "--algo-parents", "0", "--until", "09:20",
                            "--progress"], capsys)
    assert code == 0, err
    assert "[" in err and "#" in err and "2 of 2 days" in err
    assert err.count("wrote ") == 2
    assert sorted(p.name for p in out.iterdir()) == ["2026-01-05.jsonl.gz", "2026-01-06.jsonl.gz"]

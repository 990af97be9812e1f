"""Several days replayed at once, one day per worker process of a local Dask cluster: each day's
results equal its single replay's, the totals add up whatever the number of workers, and a bad
day or a dying worker stays with its day."""
from __future__ import annotations

import datetime as dt
import gzip
import json
import math
import os
import pathlib
import random
import signal
import subprocess
import sys
from collections import Counter

import pytest

from tidesim.replay.cluster import (DayOutcome, DaysResult, SessionsNotFound, find_sessions,
                                    replay_day, replay_days)
from tidesim.replay.days_report import total_summary
from tidesim.replay.generator import generate_session
from tidesim.replay.results import LatencyHistogram
from tidesim.replay.runner import replay

needs_cluster = pytest.mark.skipif(os.environ.get("ORVANE_SANITIZED") == "1",
                                   reason="worker processes are not run under the sanitizer")

DAYS = [dt.date(2026, 1, 5), dt.date(2026, 1, 6), dt.date(2026, 1, 7)]


def deterministic(summary: dict) -> dict:
    """The fields of a day's summary that a replay must reproduce exactly."""
    keys = ("session", "day", "entries", "acts", "callbacks", "timers", "events", "orders",
            "after_end", "stopped", "exit_code", "digest")
    out = {k: summary.get(k) for k in keys}
    out["problems"] = summary["problems"]["counts"]
    out["latency_counts"] = {k: (v["count"], v["raised"]) for k, v in summary["latency_ns"].items()}
    return out


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    """Three small generated days (two securities until 09:40), and each one's single replay."""
    d = tmp_path_factory.mktemp("days")
    paths = []
    for i, day in enumerate(DAYS):
        path = d / f"{day.isoformat()}.jsonl.gz"
        generate_session(path, securities=2, seed=20 + i, day=day, l2_rate=0.2, orders=8,
                         algo_parents=1, data_until=dt.time(9, 40))
        paths.append(str(path))
    singles = [replay_day(i, p, {}) for i, p in enumerate(paths)]
    assert all(s.failed is None and s.summary["exit_code"] == 0 for s in singles)
    for p in paths:  # ticks by security, counted by a listener object in this process
        codes: Counter = Counter()
        replay(p, report=None, listeners=[
            ("TICK", lambda e: codes.update([e.tick.instrument.market_code]), True)])
        TICKS_BY_CODE[p] = dict(sorted(codes.items()))
    return paths, singles


# A user's listener module: counts ticks by security and the events it saw, and hands the
# counts back through day_result(). Module-level state, as a user would write it: it must start
# from nothing on every day.
DAYCHECK = """
import collections
ticks = collections.Counter()
seen = collections.Counter()
days = set()


def on_tick(event):
    ticks[event.tick.instrument.market_code] += 1


def on_any(event):
    seen[event.event_type.name] += 1
    when = getattr(event, "calendar_dt", None)  # the account and login events have none
    if when is not None:
        days.add(when.date().isoformat())


def day_result():
    return {"ticks": dict(sorted(ticks.items())), "seen": dict(sorted(seen.items())),
            "days": sorted(days)}
"""
LISTENERS = [("TICK", "daycheck:on_tick", True), ("*", "daycheck:on_any", False)]


@pytest.fixture(scope="module")
def listener_module(tmp_path_factory):
    """The directory holding daycheck.py, put on the import path of this process (the workers
    inherit the client's working directory and are given this path too)."""
    d = tmp_path_factory.mktemp("mods")
    (d / "daycheck.py").write_text(DAYCHECK)
    sys.path.insert(0, str(d))
    yield d
    sys.path.remove(str(d))
    sys.modules.pop("daycheck", None)


def day_check(summary: dict) -> dict:
    """What daycheck's day_result() must return for a day, from the day's own summary: one
    system-tier call per published event, ticks split by security."""
    return {"ticks": TICKS_BY_CODE[summary["session"]], "seen": summary["events"],
            "days": [summary["day"]]}


TICKS_BY_CODE: dict[str, dict[str, int]] = {}


def expected_total(outcomes) -> dict:
    events, states = Counter(), Counter()
    for o in outcomes:
        events.update(o.summary["events"])
        states.update(o.summary["orders"]["final_states"])
    return {"entries": sum(o.summary["entries"] for o in outcomes),
            "events": dict(sorted(events.items())), "final_states": dict(sorted(states.items())),
            "orders": sum(len(o.summary["orders"]["by_client_order_id"]) for o in outcomes)}


# ---------------------------------------------------------------------------------------------
# Without a cluster: the pieces the overall summary is made of


@pytest.mark.parametrize("samples", [
    [0, 1, 5, 5, 7, 127],  # small values: exact buckets
    [10_000] * 50,
    [3_000_000_000],
    [int(random.Random(s).lognormvariate(9, 1.5)) for s in range(5000)],
    list(range(0, 100_000, 37)),
], ids=["exact", "constant", "single", "lognormal", "ramp"])
def test_merged_histogram_percentiles_match_pooled_samples(samples):
    rng = random.Random(1)
    shuffled = samples[:]
    rng.shuffle(shuffled)
    cuts = sorted(rng.randrange(len(samples) + 1) for _ in range(3))
    parts = [shuffled[a:b] for a, b in zip([0, *cuts], [*cuts, len(samples)])]

    def hist(values):
        h = LatencyHistogram()
        for v in values:
            h.append(v)
        return h

    merged, backwards = LatencyHistogram(), LatencyHistogram()
    for p in parts:
        merged.merge(hist(p))
    for p in reversed(parts):
        backwards.merge(hist(p))
    pooled = hist(samples)
    assert merged.counts == backwards.counts == pooled.counts
    assert len(merged) == len(samples)
    exact = sorted(samples)
    for p in (0, 50, 99, 100):
        # a percentile falls between the samples of the two closest ranks, to within a bucket
        k = (len(exact) - 1) * p / 100
        low, high = exact[math.floor(k)], exact[math.ceil(k)]
        got = merged.percentile(p)
        assert got == pooled.percentile(p)
        assert low * 0.99 - 1 <= got <= high * 1.01 + 1, (p, got, low, high)


def test_sessions_are_found_by_name_in_a_directory_and_in_argument_order(tmp_path):
    d = tmp_path / "days"
    d.mkdir()
    for name in ("b.jsonl.gz", "a.jsonl", "notes.txt", "c.jsonl.gz.tmp", "a.events.jsonl.gz"):
        (d / name).write_text("")
    (d / "sub.jsonl").mkdir()
    single = tmp_path / "z.jsonl"
    single.write_text("")
    assert find_sessions([str(single), str(d)]) == [str(single), str(d / "a.jsonl"),
                                                   str(d / "b.jsonl.gz")]
    empty = tmp_path / "empty"
    empty.mkdir()
    for bad in ([str(empty)], [str(d), str(tmp_path / "missing.jsonl")]):
        with pytest.raises(SessionsNotFound, match=os.path.basename(bad[-1])):
            find_sessions(bad)


def test_total_counts_every_day_and_lists_failed_ones(days):
    paths, singles = days
    failed = DayOutcome(3, "/data/broken.jsonl", failed="its worker process died")
    result = DaysResult([*singles, failed], wall_s=2.0, start_s=0.5, workers=2)
    total = total_summary(result)
    want = expected_total(singles)
    assert total["entries"] == want["entries"] and total["events"] == want["events"]
    assert total["orders"] == {"final_states": want["final_states"], "count": want["orders"]}
    assert total["latency_ns"]["on_snapshot"]["count"] == sum(
        s.summary["latency_ns"]["on_snapshot"]["count"] for s in singles)
    assert total["problems"]["failed_days"] == 1
    assert total["problems"]["by_day"] == [{"session": "/data/broken.jsonl", "day": None,
                                            "counts": {}, "failed": "its worker process died"}]
    assert total["entries_per_s"] == round(want["entries"] / 2.0, 1)
    assert result.exit_code == 1 and DaysResult(singles, 1.0, 0.1, 1).exit_code == 0


def test_days_given_to_threads_of_one_process_replay_one_at_a_time(days):
    """As on a worker started with several threads: the bridge's state is process-wide, so the
    replays must not overlap."""
    from concurrent.futures import ThreadPoolExecutor
    paths, singles = days
    with ThreadPoolExecutor(3) as pool:
        got = list(pool.map(lambda ip: replay_day(ip[0], ip[1], {}), enumerate(paths)))
    assert [deterministic(g.summary) for g in got] == [deterministic(s.summary) for s in singles]


def test_plot_has_a_bar_per_day_failed_ones_included(days, tmp_path):
    pytest.importorskip("matplotlib")
    from tidesim.replay.days_report import plot
    paths, singles = days
    result = DaysResult([*singles, DayOutcome(3, "/data/broken.jsonl", failed="bad")], 1.0, 0.1, 2)
    png = tmp_path / "days.png"
    plot(result, str(png))
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# ---------------------------------------------------------------------------------------------
# On a local cluster


@needs_cluster
@pytest.mark.parametrize("workers", [1, 2])
def test_days_on_workers_equal_their_single_replays(days, workers, listener_module):
    paths, singles = days
    result = replay_days(paths, workers=workers, listeners=LISTENERS)
    assert result.workers == workers and result.exit_code == 0
    assert [d.session for d in result.days] == paths
    for got, single in zip(result.days, singles):
        assert got.failed is None
        assert deterministic(got.summary) == deterministic(single.summary)
        # the listener module is imported afresh for every day, on whichever worker
        assert got.listener_results == {"daycheck": day_check(single.summary)}
        assert {k: len(h) for k, h in got.histograms.items()} == \
            {k: len(h) for k, h in single.histograms.items()}
    total = total_summary(result)
    want = expected_total(singles)
    assert (total["entries"], total["events"], total["orders"]["final_states"]) == \
        (want["entries"], want["events"], want["final_states"])
    assert total["problems"] == {"counts": {}, "failed_days": 0, "by_day": []}


class KillWorker:
    """A user listener that kills its own worker process at the 30th tick of `day`, as long as
    fewer than `times` kills are logged (one line with the process id each) in `log`. Never
    kills the test process itself."""

    def __init__(self, day: dt.date, log: pathlib.Path, times: int) -> None:
        self.day = day
        self.log = str(log)
        self.times = times
        self.spare_pid = os.getpid()
        self.ticks = 0

    def __call__(self, event) -> None:
        if event.calendar_dt.date() != self.day or os.getpid() == self.spare_pid:
            return
        self.ticks += 1
        if self.ticks == 30 and len(kills(self.log)) < self.times:
            with open(self.log, "a") as f:
                f.write(f"{os.getpid()}\n")
            os.kill(os.getpid(), signal.SIGKILL)


def kills(log) -> list[str]:
    return pathlib.Path(log).read_text().split() if os.path.exists(log) else []


@needs_cluster
def test_a_killed_worker_s_day_is_retried_once_then_reported(days, tmp_path):
    import cloudpickle
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    paths, singles = days
    once, always = tmp_path / "once.log", tmp_path / "always.log"
    listeners = [("TICK", KillWorker(DAYS[0], once, 1), True),
                 ("TICK", KillWorker(DAYS[1], always, 100), True)]
    result = replay_days(paths, workers=2, listeners=listeners)
    first, second, third = result.days
    # the first day's worker died once, and the day completed on another worker process
    assert len(kills(once)) == 1 and first.failed is None
    assert deterministic(first.summary) == deterministic(singles[0].summary)
    # the second day killed two different worker processes, then it was given up
    assert len(set(kills(always))) == 2
    assert second.summary is None and second.failed.startswith(f"{paths[1]}: ")
    assert "worker process died" in second.failed
    assert deterministic(third.summary) == deterministic(singles[2].summary)
    assert result.exit_code == 1
    total = total_summary(result)
    assert total["problems"]["by_day"] == [{"session": paths[1], "day": None, "counts": {},
                                            "failed": second.failed}]
    assert total["entries"] == first.summary["entries"] + third.summary["entries"]


def _bad_line_copy(src: str, dst: pathlib.Path) -> None:
    lines = gzip.decompress(pathlib.Path(src).read_bytes()).decode().splitlines(keepends=True)
    lines.insert(len(lines) // 2, '{"t": "2026-01-06T09:31:00", "cb": "on_snapshoot", "args": [{}]}\n')
    dst.write_text("".join(lines))


@needs_cluster
def test_cli_bad_days_among_good_ones(days, tmp_path):
    paths, singles = days
    d = tmp_path / "mixed"
    d.mkdir()
    for p in (paths[0], paths[2]):
        (d / os.path.basename(p)).write_bytes(pathlib.Path(p).read_bytes())
    _bad_line_copy(paths[1], d / "2026-01-06-badline.jsonl")
    (d / "2026-01-06-garbage.jsonl").write_text("this is not a session\n")
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", "replay", str(d), "--workers", "2",
                          "--json", "--no-progress"], capture_output=True, text=True, timeout=300)
    assert out.returncode == 1, out.stderr
    assert "Traceback" not in out.stderr
    doc = json.loads(out.stdout)
    names = [os.path.basename(x["session"]) for x in doc["days"]]
    assert names == ["2026-01-05.jsonl.gz", "2026-01-06-badline.jsonl", "2026-01-06-garbage.jsonl",
                     "2026-01-07.jsonl.gz"]
    good0, badline, garbage, good2 = doc["days"]
    for got, single in ((good0, singles[0]), (good2, singles[2])):
        assert {**deterministic(got), "session": None} == {**deterministic(single.summary), "session": None}
    assert badline["exit_code"] == 2 and "on_snapshoot" in badline["stopped"]
    assert garbage["exit_code"] == 2 and garbage["failed"].startswith(garbage["session"])
    failed = {os.path.basename(p["session"]): p["failed"] for p in doc["total"]["problems"]["by_day"]}
    assert set(failed) == {"2026-01-06-badline.jsonl", "2026-01-06-garbage.jsonl"}
    for name, reason in failed.items():
        assert reason.startswith(str(d / name)) and f"replay: {reason}" in out.stderr
    assert doc["total"]["entries"] == sum(x.get("entries", 0) for x in doc["days"])


def test_cli_one_session_replays_in_process(days):
    paths, singles = days
    code = ("import sys, json, io, contextlib\n"
            "from tidesim.replay.__main__ import main\n"
            "buf = io.StringIO()\n"
            "with contextlib.redirect_stdout(buf):\n"
            f"    rc = main(['replay', {paths[0]!r}, '--json'])\n"
            "print(json.dumps([rc, 'distributed' in sys.modules, json.loads(buf.getvalue())]))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    rc, cluster_loaded, doc = json.loads(out.stdout.splitlines()[-1])
    assert (rc, cluster_loaded) == (0, False)
    assert deterministic(doc) == deterministic(singles[0].summary)


@pytest.mark.parametrize("args, needle", [
    (["--record", "out.jsonl"], "--record takes a single session"),
    (["--events", "full"], "refusing to overwrite full (use --force)"),
    (["--events", "afile"], "--events afile: with several sessions --events names a directory"),
    (["--listener", "TICK=no_such_module:f"], "cannot import 'no_such_module'"),
    (["--system-listener", "NOPE=m:f"], "'NOPE' is not an event type"),
    (["--workers", "0"], "--workers must be at least 1"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "cannot be combined"),
    (["MISSING"], "MISSING: no such file or directory"),
    (["FIRST"], "the session is named twice"),
    (["--scheduler", "nonsense://x"], "bad scheduler address 'nonsense://x'"),
    (["--scheduler", "127.0.0.1"], "expected HOST:PORT"),
    (["--scheduler", "foo"], "expected HOST:PORT"),
    (["--scheduler", "127.0.0.1:99999"], "the port 99999 is not in 1..65535"),
    (["--scheduler", "tcp://127.0.0.1:1"], "cannot reach the scheduler at tcp://127.0.0.1:1"),
    (["--baseline", "afile"], "--baseline afile: not a JSON summary"),
    (["--events", "SESSIONS", "--force"], "holds the session"),
], ids=["record", "events-not-empty", "events-file", "listener", "listener-event", "workers",
        "both", "missing", "named-twice", "address", "no-port", "no-host-port", "port-range",
        "unreachable", "baseline", "events-among-sessions"])
def test_cli_rejects_bad_arguments_before_starting_a_cluster(days, tmp_path, args, needle):
    """Each refused at once with exit 2: none of these may start a cluster (the run would take
    far longer than the few seconds each is given here)."""
    paths, _ = days
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "old.events.jsonl.gz").write_bytes(b"")
    (tmp_path / "afile").write_text("not a directory\n")
    args = [str(tmp_path / a) if a == "MISSING" else paths[0] if a == "FIRST" else
            os.path.dirname(paths[0]) if a == "SESSIONS" else a for a in args]
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", paths[0], paths[1], *args],
                         capture_output=True, text=True, timeout=20, cwd=tmp_path)
    assert out.returncode == 2 and needle in out.stderr and "Traceback" not in out.stderr, out.stderr
    assert "Dask dashboard" not in out.stderr


# ---------------------------------------------------------------------------------------------
# A month's regression from the command line: your listener in every worker, an event file per
# day, diff of two such directories, a baseline


def cli(args, cwd, timeout=300):
    return subprocess.run([sys.executable, "-m", "tidesim.replay", *args], capture_output=True,
                          text=True, timeout=timeout, cwd=cwd)


@pytest.fixture(scope="module")
def regression_run(days, listener_module, tmp_path_factory):
    """The three days on 2 workers with daycheck as a user and a system listener, --events DIR
    and --json, run from the directory that holds daycheck.py."""
    paths, _ = days
    work = tmp_path_factory.mktemp("run")
    events = work / "events"
    out = cli([*paths, "--workers", "2", "--listener", "TICK=daycheck:on_tick",
               "--system-listener", "*=daycheck:on_any", "--events", str(events), "--json",
               "--no-progress"], cwd=listener_module)
    assert out.returncode == 0 and "Traceback" not in out.stderr, out.stderr
    (work / "run.json").write_text(out.stdout)
    return work, json.loads(out.stdout), out.stderr


@needs_cluster
def test_cli_listener_results_and_event_files_per_day_equal_single_replays(days, regression_run,
                                                                            tmp_path):
    from tidesim.replay.diff import diff_event_files
    paths, singles = days
    work, doc, err = regression_run
    assert "Dask dashboard: http://127.0.0.1:" in err
    assert sorted(os.listdir(work / "events")) == [f"{d.isoformat()}.events.jsonl.gz" for d in DAYS]
    for i, (got, single) in enumerate(zip(doc["days"], singles)):
        assert deterministic(got) == deterministic(single.summary)
        assert got["listener_results"] == {"daycheck": day_check(single.summary)}
        # the day's own event file, not another day's nor the last one's
        alone = tmp_path / f"{i}.events.jsonl"
        assert replay(paths[i], report=None, events_to=str(alone)).digest == got["digest"]
        assert diff_event_files(str(alone), str(work / "events" / os.path.basename(
            paths[i]).replace(".jsonl.gz", ".events.jsonl.gz"))).equal
    # the overall latency table carries the bridge's share as one day's does
    for name, lat in doc["total"]["latency_ns"].items():
        assert lat["bridge_sampled"] > 0 and lat["bridge_p50"] <= lat["p50"], name


def _change_one_value(src: pathlib.Path, dst: pathlib.Path) -> tuple[str, float, float]:
    """dst: src with the previous close of its 40th tick raised by one tick size; returns the
    tick's source line and the two values."""
    lines = gzip.decompress(src.read_bytes()).decode().splitlines(keepends=True)
    ticks = [i for i, line in enumerate(lines) if line.startswith('{"event":"TICK"')]
    i = ticks[40]
    obj = json.loads(lines[i])
    fields = obj["fields"]["tick"]["fields"]["tick_dict"]
    before = fields["prev_close"]
    fields["prev_close"] = after = round(before + 0.01, 2)
    lines[i] = json.dumps(obj, separators=(",", ":")) + "\n"
    dst.write_bytes(gzip.compress("".join(lines).encode()))
    return obj["source"], before, after


@needs_cluster
def test_cli_diff_of_two_event_directories(regression_run, tmp_path):
    work, doc, _ = regression_run
    code_same = cli(["diff", str(work / "events"), str(work / "events")], cwd=tmp_path)
    assert code_same.returncode == 0 and "all equal" in code_same.stdout
    other = tmp_path / "other"
    other.mkdir()
    names = sorted(os.listdir(work / "events"))
    for n in names:
        (other / n).write_bytes((work / "events" / n).read_bytes())
    source, before, after = _change_one_value(work / "events" / names[1], other / names[1])
    out = cli(["diff", str(work / "events"), str(other)], cwd=tmp_path)
    assert out.returncode == 1 and "Traceback" not in out.stderr, out.stderr
    status = {line.split()[0]: line.split()[1] for line in out.stdout.splitlines()
              if line[:4] == "2026" and not line.endswith(":")}
    assert status == {"2026-01-05": "equal", "2026-01-06": "differs", "2026-01-07": "equal"}
    assert f"tick.tick_dict.prev_close: {before} -> {after}" in out.stdout
    assert f"caused by {source}" in out.stdout
    assert "1 event differs" in out.stdout and len(out.stdout.splitlines()) < 20
    # a day on one side only is a difference too
    (other / names[2]).unlink()
    out = cli(["diff", str(work / "events"), str(other)], cwd=tmp_path)
    assert out.returncode == 1 and "only in A" in out.stdout


@needs_cluster
def test_cli_baseline_of_a_multi_day_run(days, regression_run, tmp_path):
    """One cluster run against a baseline with one day's digest changed and one day missing:
    exactly those two are listed, exit 1. The equal case is checked by single-day replays
    against the same baseline (no cluster)."""
    paths, _ = days
    work, doc, _ = regression_run
    changed = json.loads(json.dumps(doc))
    changed["days"][0]["digest"] = "0" * 32
    del changed["days"][2]
    (tmp_path / "changed.json").write_text(json.dumps(changed))
    out = cli([*paths, "--workers", "2", "--baseline", str(tmp_path / "changed.json"),
               "--quiet", "--no-progress"], cwd=tmp_path)
    assert out.returncode == 1 and "Traceback" not in out.stderr, out.stderr
    # with --quiet (or --json) the comparison is reported on stderr
    assert "1 changed, 1 equal, 0 only in the baseline, 1 only in this run" in out.stderr
    assert "changed                2026-01-05.jsonl.gz: 0000000000000000 ->" in out.stderr
    assert "only in this run       2026-01-07.jsonl.gz" in out.stderr
    for i, p in enumerate(paths):
        single = cli([p, "--baseline", str(work / "run.json"), "--no-progress"], cwd=tmp_path)
        assert single.returncode == 0, single.stdout + single.stderr
        assert "all 1 days' event digests as in the baseline" in single.stdout
    single = cli([paths[0], "--baseline", str(tmp_path / "changed.json"), "--no-progress"],
                 cwd=tmp_path)
    assert single.returncode == 1 and "1 changed" in single.stdout


@needs_cluster
def test_an_existing_cluster_is_reached_through_its_scheduler_address(days):
    """The address is checked (host, port, a Dask scheduler answering) before the client
    connects; a real scheduler passes and replays the day as a local cluster would."""
    from tidesim.replay.cluster import _local_cluster, check_reachable
    paths, singles = days
    cluster = _local_cluster(1)
    try:
        address = cluster.scheduler_address
        check_reachable(address)
        result = replay_days(paths[:1], scheduler=address,
                             announce=lambda line: pytest.fail(f"announced {line!r}"))
    finally:
        cluster.close()
    assert result.exit_code == 0 and result.dashboard is None
    assert deterministic(result.days[0].summary) == deterministic(singles[0].summary)

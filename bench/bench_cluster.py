"""Multi-day replay on a local cluster: four generated days (20 securities until 10:15 each)
replayed on 1 and on 2 worker processes, per entry. The baseline of one worker is the same
four days replayed one after the other in this process (the cluster's own overhead); the
baseline of two workers is one worker (the speed-up). The cluster's start, from nothing to
workers ready, is measured on its own and excluded from the replay times.

Then a month-shaped regression run as a user starts it: eight generated days through the
command line with --events DIR and --json, on 1 and on 2 workers, timed from the command's
start to its end (interpreter, cluster start and shutdown included): days per minute, and
entries per second while the days ran. Its baseline is the same eight days replayed one after
the other in this process with their event files and digests."""
from __future__ import annotations

import datetime as dt
import json
import os
import subprocess
import sys
import tempfile
import time

from common import Row

from tidesim.replay.cluster import _local_cluster, replay_days, start_cost
from tidesim.replay.generator import generate_session
from tidesim.replay.runner import replay

DAYS = [dt.date(2026, 1, 5), dt.date(2026, 1, 6), dt.date(2026, 1, 7), dt.date(2026, 1, 8)]
RUNS = 3
MONTH_DAYS = 8  # consecutive trading days from 2026-01-05
MONTH_RUNS = 2
COUNTED = False  # whole runs of processes and clusters: timed, not counted under valgrind


def _in_process(paths: list[str]) -> tuple[float, int]:
    t0 = time.perf_counter()
    entries = sum(replay(p, report=None).entries for p in paths)
    return time.perf_counter() - t0, entries


def _on_cluster(paths: list[str], client) -> tuple[float, float, int, int]:
    """Replay wall time of the days on a running cluster; the sum of the days' own replay
    times; entries; failed days."""
    res = replay_days(paths, client=client)
    done = [d.summary for d in res.days if d.summary is not None]
    return (res.wall_s, sum(s["wall_s"] for s in done), sum(s["entries"] for s in done),
            sum(1 for d in res.days if d.failed))


def _month_in_process(paths: list[str], events: str) -> tuple[float, int]:
    t0 = time.perf_counter()
    entries = 0
    for p in paths:
        out = os.path.join(events, os.path.basename(p).replace(".jsonl.gz", ".events.jsonl.gz"))
        entries += replay(p, report=None, events_to=out).entries
    return time.perf_counter() - t0, entries


def _month_cli(days: str, events: str, workers: int) -> tuple[float, dict]:
    """Wall time of the whole command, and its --json total."""
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, "-m", "tidesim.replay", days, "--workers", str(workers),
                          "--events", events, "--force", "--json", "--no-progress"],
                         capture_output=True, text=True, timeout=1800)
    wall = time.perf_counter() - t0
    if out.returncode != 0:
        raise RuntimeError(f"{workers} workers: exit {out.returncode}: {out.stderr[-2000:]}")
    return wall, json.loads(out.stdout)["total"]


def month_rows() -> list[Row]:
    from tidesim.replay.generator import generate_days
    with tempfile.TemporaryDirectory() as tmp:
        days = os.path.join(tmp, "days")
        os.makedirs(days)
        generate_days(days, MONTH_DAYS, first_day=DAYS[0], seed=7, securities=10, l2_rate=0.3,
                      orders=60, data_until=dt.time(10, 0))
        paths = sorted(os.path.join(days, n) for n in os.listdir(days))
        events = os.path.join(tmp, "events")
        os.makedirs(events)
        seq_s = float("inf")
        best: dict[int, tuple[float, dict]] = {}
        for _ in range(MONTH_RUNS):  # alternated, best of each
            t, n = _month_in_process(paths, events)
            seq_s = min(seq_s, t)
            for workers in (1, 2):
                wall, total = _month_cli(days, events, workers)
                if total["entries"] != n or total["problems"]["failed_days"]:
                    raise RuntimeError(f"{workers} workers: {total['entries']} of {n} entries")
                if workers not in best or wall < best[workers][0]:
                    best[workers] = (wall, total)
    rows = []
    what = f"{MONTH_DAYS} days, {n:,} entries, --events DIR --json"
    for workers, baseline, base_ns in ((1, "same days in one process, event files and digests",
                                        seq_s / n * 1e9),
                                       (2, "1 worker, the whole command", best[1][0] / n * 1e9)):
        wall, total = best[workers]
        rows.append(Row("cluster", f"month: {what}, {workers} worker{'s' if workers > 1 else ''}: "
                                   f"{wall:.1f} s the whole command ({MONTH_DAYS / wall * 60:.1f} "
                                   f"days/min; cluster ready in {total['cluster_start_s']:.1f} s; "
                                   f"{total['entries_per_s']:,.0f} entries/s while the days ran, "
                                   f"the days' own replays {total['replay_s']:.1f} s in "
                                   f"{total['wall_s']:.1f} s), per entry",
                        wall / n * 1e9, baseline, base_ns))
    return rows


def collect() -> list[Row]:
    rows = month_rows()
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, day in enumerate(DAYS):
            path = os.path.join(tmp, f"{day.isoformat()}.jsonl.gz")
            generate_session(path, securities=20, seed=40 + i, day=day, l2_rate=0.3, orders=100,
                             data_until=dt.time(10, 15))
            paths.append(path)
        from distributed import Client
        one, two = _local_cluster(1), _local_cluster(2)
        try:
            with Client(one, set_as_default=False) as c1, Client(two, set_as_default=False) as c2:
                # alternated rounds, best of each: the machine's other load moves all three alike
                seq_s = one_s = two_s = float("inf")
                two_busy = 0.0
                for _ in range(RUNS):
                    t, n = _in_process(paths)
                    seq_s = min(seq_s, t)
                    for client, workers in ((c1, 1), (c2, 2)):
                        t, busy, got, failed = _on_cluster(paths, client)
                        if got != n or failed:
                            raise RuntimeError(f"{workers} workers: {got} of {n} entries, "
                                               f"{failed} days failed")
                        if workers == 1:
                            one_s = min(one_s, t)
                        elif t < two_s:
                            two_s, two_busy = t, busy
        finally:
            one.close()
            two.close()
        start1, start2 = start_cost(1), start_cost(2)
    what = f"4 days, {n:,} entries"
    rows.append(Row("cluster", f"replay {what}, 1 worker: {one_s:.2f} s, per entry",
                    one_s / n * 1e9, "same days in one process", seq_s / n * 1e9))
    rows.append(Row("cluster", f"replay {what}, 2 workers: {two_s:.2f} s, per entry "
                               f"({n / two_s:,.0f} entries/s; the days' own replays "
                               f"{two_busy:.2f} s, {two_busy / two_s:.2f} at a time)",
                    two_s / n * 1e9, "1 worker", one_s / n * 1e9))
    rows.append(Row("cluster", f"start a local cluster of 1 worker ({start1:.2f} s)", start1 * 1e9))
    rows.append(Row("cluster", f"start a local cluster of 2 workers ({start2:.2f} s)", start2 * 1e9))
    return rows

"""Multi-day replay on a local cluster: four generated days (20 securities until 10:15 each)
replayed on 1 and on 2 worker processes, per entry. The baseline of one worker is the same
four days replayed one after the other in this process (the cluster's own overhead); the
baseline of two workers is one worker (the speed-up). The cluster's start, from nothing to
workers ready, is measured on its own and excluded from the replay times."""
from __future__ import annotations

import datetime as dt
import os
import tempfile
import time

from common import Row

from tidesim.replay.cluster import _local_cluster, replay_days, start_cost
from tidesim.replay.generator import generate_session
from tidesim.replay.runner import replay

DAYS = [dt.date(2026, 1, 5), dt.date(2026, 1, 6), dt.date(2026, 1, 7), dt.date(2026, 1, 8)]
RUNS = 3


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


def collect() -> list[Row]:
    rows = []
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

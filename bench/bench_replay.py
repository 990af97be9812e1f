"""Replay throughput: a generated short day of 50 securities replayed through the bridge, per
entry; the baseline is reading and decoding the same file without delivering anything (the
format's share of the cost). The bundled default day is replayed too."""
from __future__ import annotations

import datetime as dt
import os
import tempfile
import time

from common import Row

# Whole-session timings: not probed one operation at a time, so not instruction-counted.
COUNTED = False

import tidesim

tidesim.install()

from tidesim.replay.__main__ import default_session  # noqa: E402
from tidesim.replay.format import Decoder, SessionReader  # noqa: E402
from tidesim.replay.generator import generate_session  # noqa: E402
from tidesim.replay.runner import Replay  # noqa: E402


def _decode_only(path: str) -> tuple[int, float]:
    t0 = time.perf_counter()
    n = 0
    with SessionReader(path, Decoder(acts=lambda name, fields: fields)) as reader:
        for _ in reader:
            n += 1
    return n, time.perf_counter() - t0


def _replay(path: str) -> tuple[int, float, dict]:
    best = None
    for _ in range(2):
        res = Replay(path, report=None).run()
        if best is None or res.wall_s < best.wall_s:
            best = res
    return best.entries, best.wall_s, dict(best.problem_counts)


def collect() -> list[Row]:
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fifty.jsonl.gz")
        gen = generate_session(path, securities=50, seed=3, l2_rate=0.3, orders=100,
                               data_until=dt.time(9, 45))
        n, wall, problems = _replay(path)
        dn, dwall = _decode_only(path)
        label = (f"replay, 50 securities, short day 09:15-09:45 ({gen.entries:,} entries), "
                 f"per entry: {n / wall:,.0f} entries/s")
        if problems:
            label += f" [problems: {problems}]"
        label += f"; of which reading and decoding {dwall / dn * 1e9:,.0f} ns"
        rows.append(Row("replay", label, wall / n * 1e9))
    path = default_session()
    n, wall, problems = _replay(path)
    dn, dwall = _decode_only(path)
    label = f"replay, bundled day (4 securities, {n:,} entries) in {wall:.1f} s, per entry: {n / wall:,.0f} entries/s"
    if problems:
        label += f" [problems: {problems}]"
    label += f"; of which reading and decoding {dwall / dn * 1e9:,.0f} ns"
    rows.append(Row("replay", label, wall / n * 1e9))
    return rows

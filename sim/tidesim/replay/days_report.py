"""What a multi-day replay shows a person: a progress bar over the days, the per-day table and
the overall summary, the JSON document, the per-day plot.

The overall summary is built from the days in session order and from integer counts only
(events, order states, problems, latency histograms), so it is the same whatever the number
of workers and whichever day finished first; only the times differ between runs.
"""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import sys
import time as _time
from collections import Counter
from typing import Any, TextIO

from .cluster import DaysResult
from .results import LatencyHistogram
from .report import _table, _us


class DaysProgress:
    """A one-line progress bar on a terminal stream: days done, entries delivered across the
    cluster and the rate since the start, redrawn at most every `interval` seconds."""

    def __init__(self, stream: TextIO = sys.stderr, interval: float = 0.2) -> None:
        self.stream = stream
        self.interval = interval
        self.t0 = _time.perf_counter()
        self.last = 0.0
        self.drawn = False

    def __call__(self, done: int, days: int, entries: int, final: bool = False) -> None:
        now = _time.perf_counter()
        if now - self.last < self.interval and not final:
            return
        self.last = now
        width = max(10, min(30, shutil.get_terminal_size((80, 20)).columns - 60))
        filled = int(round(done / days * width)) if days else width
        rate = entries / (now - self.t0) if now > self.t0 else 0.0
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{days} days "
                          f"{entries:,} entries {rate:,.0f}/s ")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def day_entry(outcome) -> dict[str, Any]:
    """A day's entry of the "days" list: its summary, or its session and failure reason."""
    if outcome.summary is not None:
        return outcome.summary
    return {"session": outcome.session, "failed": outcome.failed, "exit_code": outcome.exit_code}


def _round(x: float) -> float | None:
    return None if x != x else round(x, 1)


def total_summary(result: DaysResult) -> dict[str, Any]:
    """The overall summary: counts summed over the days, latency percentiles from the merged
    histograms, problems listed by day."""
    events: Counter = Counter()
    states: Counter = Counter()
    problem_counts: Counter = Counter()
    raised: Counter = Counter()
    entries = orders = 0
    replay_s = 0.0
    hists: dict[str, list] = {}
    by_day = []
    digests = []
    for d in result.days:
        s = d.summary
        if s is not None:
            entries += s["entries"]
            events.update(s["events"])
            states.update(s["orders"]["final_states"])
            orders += len(s["orders"]["by_client_order_id"])
            problem_counts.update(s["problems"]["counts"])
            replay_s += s["wall_s"]
            for name, lat in s["latency_ns"].items():
                raised[name] += lat["raised"]
            digests.append(s.get("digest"))
        else:
            digests.append(None)
        for name, h in d.histograms.items():
            hists.setdefault(name, []).append(h)
        counts = s["problems"]["counts"] if s is not None else {}
        if counts or d.failed:
            by_day.append({"session": d.session, "day": s["day"] if s is not None else None,
                           "counts": dict(sorted(counts.items())), "failed": d.failed})
    latency = {}
    for name in sorted(hists):
        h = LatencyHistogram()
        for part in hists[name]:
            h.merge(part)
        latency[name] = {"count": len(h), "p50": _round(h.percentile(50)),
                         "p99": _round(h.percentile(99)), "raised": raised[name]}
    total: dict[str, Any] = {
        "sessions": len(result.days),
        "entries": entries,
        "events": dict(sorted(events.items())),
        "latency_ns": latency,
        "orders": {"final_states": dict(sorted(states.items())), "count": orders},
        "problems": {"counts": dict(sorted(problem_counts.items())),
                     "failed_days": sum(1 for d in result.days if d.failed),
                     "by_day": by_day},
        "wall_s": round(result.wall_s, 3),
        "entries_per_s": round(entries / result.wall_s, 1) if result.wall_s > 0 else 0.0,
        "replay_s": round(replay_s, 3),
        "cluster_start_s": round(result.start_s, 3),
        "workers": result.workers,
        "interrupted": result.interrupted,
        "exit_code": result.exit_code,
    }
    if digests and all(isinstance(x, str) for x in digests):
        total["digest"] = hashlib.sha256("\n".join(digests).encode()).hexdigest()
    return total


def summary_document(result: DaysResult) -> dict[str, Any]:
    return {"days": [day_entry(d) for d in result.days], "total": total_summary(result)}


def write_json(result: DaysResult, stream: TextIO) -> None:
    json.dump(summary_document(result), stream, indent=2)
    stream.write("\n")


def summary_text(result: DaysResult) -> str:
    total = total_summary(result)
    out = [f"{total['sessions']} sessions on {result.workers} workers "
           f"(cluster ready in {result.start_s:.2f} s)", ""]
    rows = []
    for d in result.days:
        s = d.summary
        if s is None:
            rows.append(["-", d.session, "-", "-", "-", "-", "-", "FAILED"])
            continue
        status = "FAILED" if d.failed else ("ok" if s["exit_code"] == 0 else "problems")
        rows.append([s["day"], d.session, f"{s['entries']:,}", f"{sum(s['events'].values()):,}",
                     f"{sum(s['problems']['counts'].values()):,}", f"{s['wall_s']:.2f}",
                     f"{s['entries_per_s']:,.0f}", status])
    out += _table(rows, ["day", "session", "entries", "events", "problems", "wall s",
                         "entries/s", "status"], {2, 3, 4, 5, 6})
    out.append("")
    out.append(f"total     {total['entries']:,} entries in {total['wall_s']:.2f} s "
               f"({total['entries_per_s']:,.0f} entries/s across the cluster; "
               f"the days' own replays took {total['replay_s']:.2f} s)")
    out.append("")
    out.append("Events by type, all days")
    ev = total["events"]
    rows = [[name, f"{n:,}"] for name, n in sorted(ev.items(), key=lambda kv: (-kv[1], kv[0]))]
    rows.append(["total", f"{sum(ev.values()):,}"])
    out += _table(rows, ["event", "count"], {1})
    out.append("")
    out.append("Callbacks by kind, all days (latency of the bridge's handling, microseconds)")
    rows = [[name, f"{lat['count']:,}", _us(_nan(lat["p50"])), _us(_nan(lat["p99"])),
             f"{lat['raised']:,}"] for name, lat in total["latency_ns"].items()]
    out += _table(rows, ["callback", "calls", "p50 us", "p99 us", "raised"], {1, 2, 3, 4})
    out.append("")
    states = total["orders"]["final_states"]
    if states:
        out.append("final order states: " + ", ".join(f"{k} {v}" for k, v in states.items())
                   + f"  ({total['orders']['count']} orders)")
    else:
        out.append("final order states: no orders")
    problems = total["problems"]
    if problems["by_day"]:
        out.append(f"problems: {problems['failed_days']} of {total['sessions']} days failed"
                   + "".join(f", {k} {v}" for k, v in problems["counts"].items()))
        for p in problems["by_day"]:
            if p["failed"]:
                out.append(f"  FAILED {p['failed']}")
            else:
                out.append(f"  {p['session']}: " + ", ".join(f"{k} {v}" for k, v in p["counts"].items()))
    else:
        out.append("problems: none")
    if result.interrupted:
        out.append("INTERRUPTED: the days not finished are listed as failed")
    return "\n".join(out)


def _nan(x: float | None) -> float:
    return float("nan") if x is None else x


def plot(result: DaysResult, path: str) -> None:
    """Per day: entries/s of its replay, and its problems (failed days marked)."""
    from .report import check_plotting
    check_plotting()
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels, rates, problems, failed = [], [], [], []
    for d in result.days:
        s = d.summary
        labels.append(s["day"] if s is not None else os.path.basename(d.session))
        rates.append(s["entries_per_s"] if s is not None else 0.0)
        problems.append(sum(s["problems"]["counts"].values()) if s is not None else 0)
        failed.append(d.failed is not None)
    if len(set(labels)) < len(labels):  # the same day twice: tell them apart by file
        labels = [os.path.basename(d.session) for d in result.days]
    x = range(len(labels))
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(max(8, len(labels) * 0.5), 7),
                                   constrained_layout=True, sharex=True)
    ax1.bar(x, rates, color=["#b33" if f else "#3b6ea5" for f in failed])
    ax1.set_title(f"Entries per second by day ({result.workers} workers)")
    ax1.set_ylabel("entries/s")
    ax2.bar(x, problems, color="#c80")
    for i, f in enumerate(failed):
        if f:
            ax2.annotate("failed", (i, 0), ha="center", va="bottom", color="#b33", fontsize=8)
    ax2.set_ylim(0, max(1, *problems) * 1.1)
    ax2.yaxis.get_major_locator().set_params(integer=True)
    ax2.set_title("Problems by day")
    ax2.set_ylabel("problems")
    ax2.set_xticks(list(x))
    ax2.set_xticklabels(labels, rotation=45, ha="right", fontsize=8)
    fig.savefig(path, dpi=110)
    plt.close(fig)

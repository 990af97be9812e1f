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
import sys
import time as _time
from collections import Counter
from typing import TYPE_CHECKING, Any, TextIO

from .results import LatencyHistogram
from .report import _table, _us

if TYPE_CHECKING:  # the result's type only: cluster.py and this module import nothing of each other
    from .cluster import DaysResult


class DaysProgress:
    """The replay's progress bar (tqdm, drawn as a single day's is) over the days: days done,
    entries delivered across the cluster and the rate since the days were handed out, redrawn
    at most every `interval` seconds. The bar appears at the first report, once the cluster is
    ready and the number of days known; `write(line)` prints a line above it."""

    def __init__(self, stream: TextIO = sys.stderr, interval: float = 0.2) -> None:
        self.stream = stream
        self.interval = interval
        self.t0 = _time.perf_counter()
        self.last = 0.0
        self._bar = None

    def __call__(self, done: int, days: int, entries: int, final: bool = False) -> None:
        now = _time.perf_counter()
        if now - self.last < self.interval and not final and self._bar is not None:
            return
        self.last = now
        rate = entries / (now - self.t0) if now > self.t0 else 0.0
        bar = self._bar
        if bar is None:  # the first report: the days have just been handed out
            from tqdm import tqdm
            self.t0, rate = now, 0.0
            bar = self._bar = tqdm(total=max(days, 1), file=self.stream, leave=True,
                                   mininterval=0, bar_format="[{bar:30}] {n}/{total} days {desc}",
                                   ascii=" #", dynamic_ncols=False, delay=0)
        bar.n = min(done, bar.total)
        bar.set_description_str(f"{entries:,} entries {rate:,.0f}/s", refresh=False)
        bar.refresh()

    def write(self, line: str) -> None:
        if self._bar is None:
            print(line, file=self.stream)
        else:
            self._bar.write(line, file=self.stream)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


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
    sampled: dict[str, list[int]] = {}
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
        for name, (calls, own, whole) in d.sampled.items():
            acc = sampled.setdefault(name, [0, 0, 0])
            acc[0] += calls
            acc[1] += own
            acc[2] += whole
        counts = s["problems"]["counts"] if s is not None else {}
        if counts or d.failed:
            by_day.append({"session": d.session, "day": s["day"] if s is not None else None,
                           "counts": dict(sorted(counts.items())), "failed": d.failed})
    latency = {}
    for name in sorted(hists):
        h = LatencyHistogram()
        for part in hists[name]:
            h.merge(part)
        p50, p99 = h.percentile(50), h.percentile(99)
        calls, own, whole = sampled.get(name, (0, 0, 0))
        # the bridge's share as one day's summary takes it: a ratio of totals over the sampled
        # calls, here of every day's
        share = min(max(own / whole, 0.0), 1.0) if whole > 0 else 1.0
        latency[name] = {"count": len(h), "p50": _round(p50), "p99": _round(p99),
                         "bridge_p50": _round(p50 * share) if calls else None,
                         "bridge_p99": _round(p99 * share) if calls else None,
                         "bridge_sampled": calls, "raised": raised[name]}
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


def write_document(doc: dict[str, Any], stream: TextIO) -> None:
    json.dump(doc, stream, indent=2)
    stream.write("\n")


def write_json(result: DaysResult, stream: TextIO) -> None:
    write_document(summary_document(result), stream)


def day_digests(result: DaysResult) -> list[tuple[str, str | None]]:
    """(session, event digest or None) of each day, in session order."""
    return [(d.session, d.summary.get("digest") if d.summary is not None else None)
            for d in result.days]


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
    out.append("Callbacks by kind, all days (microseconds per call; all: the whole callback, "
               "bridge: the bridge's share of it, the stand-ins' time subtracted on a sample)")
    rows = [[name, f"{lat['count']:,}", _us(_nan(lat["p50"])), _us(_nan(lat["p99"])),
             _us(_nan(lat["bridge_p50"])), _us(_nan(lat["bridge_p99"])), f"{lat['raised']:,}"]
            for name, lat in total["latency_ns"].items()]
    out += _table(rows, ["callback", "calls", "all p50", "all p99", "bridge p50", "bridge p99",
                         "raised"], {1, 2, 3, 4, 5, 6})
    out.append("")
    states = total["orders"]["final_states"]
    if states:
        out.append("final order states: " + ", ".join(f"{k} {v}" for k, v in states.items())
                   + f"  ({total['orders']['count']} orders)")
    else:
        out.append("final order states: no orders")
    modules = sorted({m for d in result.days for m in d.listener_results})
    if modules:
        out.append(f"listener results (day_result) of {', '.join(modules)}: one per day in "
                   "--json, days[i].listener_results")
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

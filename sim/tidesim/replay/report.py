"""What a replay shows a person: a progress bar, the summary table, a JSON document, a plot."""
from __future__ import annotations

import datetime as _dt
import json
import math
import shutil
import sys
import time as _time
from typing import Any, TextIO

from .runner import ReplayResult

PLOT_HINT = ("plotting needs matplotlib, which the 'plot' extra installs: "
             "pip install -e 'sim[plot]' (or pip install 'matplotlib==3.11.2')")


class ProgressBar:
    """A one-line progress bar on a terminal stream, redrawn at most every `interval` seconds.
    Shows the share of the file read, the entries delivered, the virtual time and the rate."""

    def __init__(self, stream: TextIO = sys.stderr, interval: float = 0.2) -> None:
        self.stream = stream
        self.interval = interval
        self.t0 = _time.perf_counter()
        self.last = 0.0
        self.drawn = False

    def __call__(self, entries: int, fraction: float, vtime: _dt.datetime | None) -> None:
        now = _time.perf_counter()
        if now - self.last < self.interval and fraction < 1.0:
            return
        self.last = now
        width = max(10, min(40, shutil.get_terminal_size((80, 20)).columns - 50))
        filled = int(round(fraction * width))
        rate = entries / (now - self.t0) if now > self.t0 else 0.0
        clock = f" {vtime:%H:%M:%S}" if vtime is not None else ""
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {fraction * 100:5.1f}% "
                          f"{entries:,} entries{clock} {rate:,.0f}/s ")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def _us(ns: float) -> str:
    return "-" if ns != ns else f"{ns / 1000:,.1f}"


def _table(rows: list[list[str]], header: list[str], right: set[int]) -> list[str]:
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]

    def fmt(r: list[str]) -> str:
        return "  ".join(str(c).rjust(w) if i in right else str(c).ljust(w)
                         for i, (c, w) in enumerate(zip(r, widths))).rstrip()
    return [fmt(header), fmt(["-" * w for w in widths]), *(fmt(r) for r in rows)]


def summary_text(res: ReplayResult) -> str:
    h = res.header
    out = [f"session   {res.path}",
           f"day       {h.day}  virtual {h.start:%H:%M:%S} -> {h.end:%H:%M:%S}"
           f"  universe {len(h.universe)} securities"]
    rate = f"{res.entries_per_s:,.0f} entries/s" if res.wall_s > 0 else "-"
    out.append(f"delivered {res.entries:,} entries ({sum(res.callbacks.values()):,} callbacks, "
               f"{res.acts:,} acts), {sum(res.timers.values())} timers; "
               f"wall {res.wall_s:.2f} s, {rate}")
    if res.after_end:
        out.append(f"not delivered: {res.after_end:,} entries after the session end")
    if res.stopped is not None:
        out.append(f"STOPPED at bad input: {res.stopped}")
    out.append("")
    out.append("Events by type")
    rows = [[name, f"{n:,}"] for name, n in sorted(res.events.items(), key=lambda kv: (-kv[1], kv[0]))]
    rows.append(["total", f"{sum(res.events.values()):,}"])
    out += _table(rows, ["event", "count"], {1})
    out.append("")
    out.append("Callbacks by kind (latency of the bridge's handling, microseconds)")
    rows = []
    for name, (n, p50, p99) in res.latency_percentiles().items():
        label = name + (" (timer)" if name in res.timers else "")
        rows.append([label, f"{n:,}", _us(p50), _us(p99), f"{res.errors_by_name.get(name, 0):,}"])
    out += _table(rows, ["callback", "calls", "p50 us", "p99 us", "raised"], {1, 2, 3, 4})
    out.append("")
    out.append(f"event queue: high-water mark {res.queue_high_water:,}, dropped {res.queue_dropped:,}")
    finals = res.order_book.final_states()
    if finals:
        out.append("final order states: " + ", ".join(f"{k} {v}" for k, v in sorted(finals.items()))
                   + f"  ({len(res.order_book.orders)} orders)")
    else:
        out.append("final order states: no orders")
    if res.problem_counts:
        out.append("problems: " + ", ".join(f"{k} {v}" for k, v in sorted(res.problem_counts.items())))
        shown = [p for p in res.problems if p.kind != "more"]
        for p in shown[:10]:
            out.append(f"  {p}")
        total = sum(res.problem_counts.values())
        if total > len(shown[:10]):
            out.append(f"  ... {total - len(shown[:10])} more")
    else:
        out.append("problems: none")
    return "\n".join(out)


def summary_json(res: ReplayResult) -> dict[str, Any]:
    h = res.header

    def num(x: float) -> float | None:
        return None if x != x or math.isinf(x) else round(x, 1)

    return {
        "session": res.path,
        "day": h.day.isoformat(),
        "virtual_start": h.start.isoformat(),
        "virtual_end": h.end.isoformat(),
        "universe": len(h.universe),
        "entries": res.entries,
        "acts": res.acts,
        "callbacks": dict(sorted(res.callbacks.items())),
        "timers": dict(sorted(res.timers.items())),
        "events": dict(sorted(res.events.items())),
        "latency_ns": {name: {"count": n, "p50": num(p50), "p99": num(p99),
                              "raised": res.errors_by_name.get(name, 0)}
                       for name, (n, p50, p99) in res.latency_percentiles().items()},
        "queue": {"high_water": res.queue_high_water, "dropped": res.queue_dropped},
        "orders": {"final_states": res.order_book.final_states(),
                   "by_client_order_id": {str(s.key): {"order_id": s.order_id,
                                                       "status": s.status_name,
                                                       "filled_quantity": s.filled_quantity,
                                                       "trades": s.trades}
                                          for s in res.order_book.orders.values()}},
        "problems": {"counts": dict(res.problem_counts),
                     "first": [dict(kind=p.kind, where=p.where, name=p.name,
                                    time=p.time.isoformat() if p.time else None, error=p.error)
                               for p in res.problems if p.kind != "more"]},
        "after_end": res.after_end,
        "stopped": str(res.stopped) if res.stopped is not None else None,
        "wall_s": round(res.wall_s, 3),
        "entries_per_s": round(res.entries_per_s, 1),
        "exit_code": res.exit_code,
    }


def write_json(res: ReplayResult, stream: TextIO) -> None:
    json.dump(summary_json(res), stream, indent=2)
    stream.write("\n")


def check_plotting() -> None:
    """Raises ImportError with an installation hint when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(PLOT_HINT) from None


def plot(res: ReplayResult, path: str) -> None:
    """Events per virtual minute, and the distribution of callback latencies."""
    check_plotting()
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(11, 8), constrained_layout=True)
    minutes = sorted(res.events_per_minute)
    ax1.bar(minutes, [res.events_per_minute[m] for m in minutes], width=1 / (24 * 60), color="#3b6ea5")
    ax1.set_title(f"Events per minute, {res.header.day} (virtual time)")
    ax1.set_ylabel("events")
    import matplotlib.dates as mdates
    ax1.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))

    kinds = sorted(res.latency_ns.items(), key=lambda kv: -len(kv[1]))
    top = [(k, v) for k, v in kinds if len(v)][:6]
    all_us = [x / 1000 for _, v in top for x in v]
    if all_us:
        lo, hi = max(min(all_us), 0.05), max(all_us)
        hi = max(hi, lo * 1.01)
        bins = [lo * (hi / lo) ** (i / 60) for i in range(61)]
        for name, v in top:
            ax2.hist([x / 1000 for x in v], bins=bins, histtype="step", linewidth=1.4,
                     label=f"{name} ({len(v):,})")
        ax2.set_xscale("log")
        ax2.set_yscale("log")
        ax2.legend(fontsize=8)
    ax2.set_title("Callback latency (bridge handling time)")
    ax2.set_xlabel("microseconds")
    ax2.set_ylabel("calls")
    fig.savefig(path, dpi=110)
    plt.close(fig)

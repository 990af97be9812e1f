"""What a replay shows a person: a progress bar, the summary table, a JSON document, a plot."""
from __future__ import annotations

import datetime as _dt
import json
import math
import sys
import time as _time
from typing import Any, TextIO

from .digest import DIGEST_VERSION
from .results import ReplayResult

PLOT_HINT = ("plotting needs matplotlib, which the 'plot' extra installs: "
             "pip install -e 'sim[plot]' (or pip install 'matplotlib==3.11.2')")


class ProgressBar:
    """A progress bar on a terminal stream (tqdm): the share of the file read, the entries
    delivered, the virtual time and the rate, redrawn at most every `interval` seconds.
    `write(line)` prints a line above the bar, so problem reports never run into it."""

    SCALE = 1000  # the bar counts per mille of the file

    def __init__(self, stream: TextIO = sys.stderr, interval: float = 0.2) -> None:
        from tqdm import tqdm
        self.stream = stream
        self.interval = interval
        self.t0 = _time.perf_counter()
        self.last = 0.0
        self.drawn = False
        self._bar = tqdm(total=self.SCALE, file=stream, leave=True, mininterval=0,
                         bar_format="[{bar:30}] {percentage:5.1f}% {desc}", ascii=" #",
                         dynamic_ncols=False, delay=0)
        self._write = tqdm.write

    def __call__(self, entries: int, fraction: float, vtime: _dt.datetime | None,
                 what: str | None = None) -> None:
        """Redraws the bar at `fraction` done; `what` replaces the text of entries, virtual
        time and rate (e.g. "3 of 8 days")."""
        now = _time.perf_counter()
        if now - self.last < self.interval and fraction < 1.0:
            return
        self.last = now
        if what is None:
            rate = entries / (now - self.t0) if now > self.t0 else 0.0
            clock = f" {vtime:%H:%M:%S}" if vtime is not None else ""
            what = f"{entries:,} entries{clock} {rate:,.0f}/s"
        bar = self._bar
        bar.n = min(self.SCALE, int(round(fraction * self.SCALE)))
        bar.set_description_str(what, refresh=False)
        bar.refresh()
        self.drawn = True

    def write(self, line: str) -> None:
        self._write(line, file=self.stream)

    def close(self) -> None:
        self._bar.close()


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
    if res.before_start:
        out.append(f"not delivered: {res.before_start:,} entries before the session start")
    if res.after_end:
        out.append(f"not delivered: {res.after_end:,} entries after the session end")
    if res.filtered:
        out.append(f"left out by the selection: {res.filtered:,} market data entries")
    if res.interrupted:
        out.append("INTERRUPTED: the counts below cover the entries delivered until then")
    if res.stopped is not None:
        out.append(f"STOPPED at bad input: {res.stopped}")
    out.append("")
    out.append("Events by type")
    rows = [[name, f"{n:,}"] for name, n in sorted(res.events.items(), key=lambda kv: (-kv[1], kv[0]))]
    rows.append(["total", f"{sum(res.events.values()):,}"])
    out += _table(rows, ["event", "count"], {1})
    out.append("")
    out.append("Callbacks by kind (microseconds per call; all: the whole callback, bridge: the "
               "bridge's share of it, the stand-ins' time subtracted on a sample)")
    rows = []
    own = res.bridge_percentiles()
    for name, (n, p50, p99) in res.latency_percentiles().items():
        label = name + (" (timer)" if name in res.timers else "")
        _, b50, b99 = own.get(name, (0, math.nan, math.nan))
        rows.append([label, f"{n:,}", _us(p50), _us(p99), _us(b50), _us(b99),
                     f"{res.errors_by_name.get(name, 0):,}"])
    out += _table(rows, ["callback", "calls", "all p50", "all p99", "bridge p50", "bridge p99",
                         "raised"], {1, 2, 3, 4, 5, 6})
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
            if p.trace:
                out.append(p.trace)
        total = sum(res.problem_counts.values())
        if total > len(shown[:10]):
            out.append(f"  ... {total - len(shown[:10])} more")
    elif res.stopped is not None:
        out.append("problems: stopped at bad input (see above); none before it")
    elif res.interrupted:
        out.append("problems: none until the interruption")
    else:
        out.append("problems: none")
    if res.digest is not None:
        out.append(f"event digest: {res.digest}")
    return "\n".join(out)


def summary_json(res: ReplayResult) -> dict[str, Any]:
    h = res.header

    def num(x: float) -> float | None:
        return None if x != x or math.isinf(x) else round(x, 1)

    own = res.bridge_percentiles()

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
                              "bridge_p50": num(own[name][1]) if name in own else None,
                              "bridge_p99": num(own[name][2]) if name in own else None,
                              "raised": res.errors_by_name.get(name, 0)}
                       for name, (n, p50, p99) in res.latency_percentiles().items()},
        "latency_histograms": {name: {"all": h.to_json(),
                                      "bridge": res.bridge_ns[name].to_json()
                                      if name in res.bridge_ns else None}
                               for name, h in sorted(res.latency_ns.items()) if len(h)},
        "queue": {"high_water": res.queue_high_water, "dropped": res.queue_dropped},
        "orders": {"final_states": res.order_book.final_states(),
                   "by_client_order_id": {str(s.key): {"order_id": s.order_id,
                                                       "status": s.status_name,
                                                       "filled_quantity": s.filled_quantity,
                                                       "trades": s.trades}
                                          for s in res.order_book.orders.values()}},
        "problems": {"counts": dict(res.problem_counts),
                     "first": [dict(kind=p.kind, where=p.where, name=p.name,
                                    time=p.time.isoformat() if p.time else None, error=p.error,
                                    traceback=p.trace or None)
                               for p in res.problems if p.kind != "more"]},
        "after_end": res.after_end,
        "before_start": res.before_start,
        "filtered": res.filtered,
        "first_entry": res.first_entry.isoformat() if res.first_entry else None,
        "last_entry": res.last_entry.isoformat() if res.last_entry else None,
        "digest": res.digest,
        # the definition the digest was made with: digests of different versions never compare
        # equal, so a baseline of another version is refused rather than compared
        "digest_version": DIGEST_VERSION if res.digest is not None else None,
        "interrupted": res.interrupted,
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


def plot_formats() -> dict[str, str]:
    """The file name extensions the plot can be written as (extension -> description)."""
    check_plotting()
    from matplotlib.backend_bases import FigureCanvasBase
    return dict(FigureCanvasBase.get_supported_filetypes())


MARKET_EVENTS = ("TICK", "BAR", "L2_ORDER", "L2_TRANSACTION")
TOP_CALLBACKS = 6


def _stacked(ax, res: ReplayResult, names: list[str], minutes: list, title: str) -> None:
    import matplotlib.ticker as mticker
    import matplotlib.pyplot as plt
    bottom = [0] * len(minutes)
    width = 1 / (24 * 60)
    colours = plt.get_cmap("tab20").colors
    for i, name in enumerate(names):
        heights = [res.events_by_minute_type.get((m, name), 0) for m in minutes]
        if any(heights):
            ax.bar(minutes, heights, width=width, bottom=bottom, label=name, align="edge",
                   color=colours[i % len(colours)])
            bottom = [b + h for b, h in zip(bottom, heights)]
    ax.set_title(title)
    ax.set_ylabel("events per minute")
    ax.yaxis.set_major_locator(mticker.MaxNLocator(integer=True))
    if any(bottom):
        ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.005, 1.0), borderaxespad=0)
    else:
        ax.text(0.5, 0.5, "none", transform=ax.transAxes, ha="center", va="center")


def plot(res: ReplayResult, path: str) -> None:
    """Events per virtual minute by type (market data, and the order, account and other
    events), and the distribution of callback times."""
    check_plotting()
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt

    fig, (ax1, ax2, ax3) = plt.subplots(3, 1, figsize=(13, 11), constrained_layout=True)
    minutes = sorted({m for m, _ in res.events_by_minute_type})
    names = sorted({n for _, n in res.events_by_minute_type},
                   key=lambda n: -sum(v for (m, k), v in res.events_by_minute_type.items() if k == n))
    market = [n for n in names if n in MARKET_EVENTS]
    other = [n for n in names if n not in MARKET_EVENTS]
    _stacked(ax1, res, market, minutes, f"Market data events per minute, {res.header.day}")
    _stacked(ax2, res, other, minutes, "Order, account, algorithmic-order and day events per minute")
    times = [t for t in (res.first_entry, res.last_entry) if t is not None] + minutes
    if times:
        lo = min(times).replace(second=0, microsecond=0)
        hi = max(max(times), lo) + _dt.timedelta(minutes=1)
        for ax in (ax1, ax2):
            ax.set_xlim(lo, hi)
            ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
            ax.set_xlabel(f"virtual time on {res.header.day} (HH:MM)")

    kinds = sorted(((k, v) for k, v in res.latency_ns.items() if len(v)), key=lambda kv: -len(kv[1]))
    top, left_out = kinds[:TOP_CALLBACKS], kinds[TOP_CALLBACKS:]
    if top:
        lo_us = max(min(h.min for _, h in top) / 1000, 0.05)
        hi_us = max(max(h.max for _, h in top) / 1000, lo_us * 1.01)
        bins = [lo_us * (hi_us / lo_us) ** (i / 60) for i in range(61)]
        for name, h in top:
            values, counts = zip(*h.buckets())
            ax3.hist([v / 1000 for v in values], bins=bins, weights=counts, histtype="step",
                     linewidth=1.4, label=f"{name} ({len(h):,})")
        ax3.set_xscale("log")
        ax3.set_yscale("log")
        ax3.legend(fontsize=8)
    title = "Callback time, whole call (bridge and stand-ins)"
    if left_out:
        title += (f"; the {TOP_CALLBACKS} most frequent callbacks shown, {len(left_out)} left out: "
                  + ", ".join(k for k, _ in left_out))
    ax3.set_title(title, fontsize=9 if left_out else None, wrap=True)
    ax3.set_xlabel("microseconds per call")
    ax3.set_ylabel("calls")
    fig.savefig(path, dpi=110)
    plt.close(fig)

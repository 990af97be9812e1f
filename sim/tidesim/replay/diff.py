"""`tidesim-replay diff A B`: compares two event files written by `--events`, or two directories
of them written by a multi-day replay, day by day.

Two events are equal when they have the same type and fields; the session lines that caused
them may differ (a recording re-numbers its lines). Where the streams differ the comparison
says what changed: each divergence's position and event type, the field paths whose values
differ with both values (`tick.last_price: 16.16 -> 16.17`) and the session lines that caused
the two versions; then how many events differ in all.

Counting: the streams are walked side by side. At a difference, the next events of both are
looked at (up to `LOOKAHEAD` of each) for the nearest point where the streams agree again for
`RESYNC` events in a row: the events skipped on one side only are counted as only in A or
only in B, those skipped on both sides as changed. An event inserted into one stream is so
one difference, not every event after it. Where no such point is found, the rest is compared
position by position.
"""
from __future__ import annotations

import collections
import dataclasses
import json
import os
from typing import Any, Iterator, TextIO

from .digest import EventFileError, read_events

LOOKAHEAD = 64
RESYNC = 3
DEFAULT_MAX = 1
VALUE_WIDTH = 60  # characters of a value shown in a field path's line
MAX_FIELDS = 10  # changed fields listed for one event
EVENT_FILE_SUFFIXES = (".events.jsonl.gz", ".events.jsonl")

Event = tuple  # (file line, event type, source, fields as canonical JSON text)


@dataclasses.dataclass
class Divergence:
    index: int  # 1-based position in A's stream (B's position is b_index)
    a: Event | None  # None: the event is only in B
    b: Event | None  # None: only in A
    b_index: int = 0

    @property
    def kind(self) -> str:
        return "changed" if self.a is not None and self.b is not None else \
            ("only in A" if self.a is not None else "only in B")


@dataclasses.dataclass
class DiffResult:
    a: str
    b: str
    counts_a: collections.Counter
    counts_b: collections.Counter
    first: Divergence | None
    shown: list[Divergence] = dataclasses.field(default_factory=list)  # the first `max` ones
    changed: int = 0
    only_a: int = 0
    only_b: int = 0
    realigned: bool = True  # False: past some point the rest was compared by position

    @property
    def equal(self) -> bool:
        return self.first is None

    @property
    def differing(self) -> int:
        return self.changed + self.only_a + self.only_b


def _key(e: Event) -> tuple[str, str]:
    return e[1], e[3]


class _Side:
    """One stream with a look-ahead buffer."""

    def __init__(self, events: Iterator[Event], counts: collections.Counter) -> None:
        self.it = events
        self.buf: collections.deque = collections.deque()
        self.counts = counts
        self.pos = 0  # events taken so far

    def peek(self, k: int) -> Event | None:
        while len(self.buf) <= k:
            e = next(self.it, None)
            if e is None:
                return None
            self.counts[e[1]] += 1
            self.buf.append(e)
        return self.buf[k]

    def take(self) -> Event:
        self.pos += 1
        return self.buf.popleft()


def _agree(a: _Side, b: _Side, p: int, q: int) -> bool:
    """A's events from p on and B's from q on agree for RESYNC events (or both end)."""
    for k in range(RESYNC):
        ea, eb = a.peek(p + k), b.peek(q + k)
        if ea is None or eb is None:
            return ea is None and eb is None
        if _key(ea) != _key(eb):
            return False
    return True


def _realign(a: _Side, b: _Side) -> tuple[int, int] | None:
    """The fewest events (p of A, q of B) to skip until the streams agree again; changed events
    (p == q) are tried before insertions of the same total."""
    for total in range(1, 2 * LOOKAHEAD + 1):
        order = sorted(range(max(0, total - LOOKAHEAD), min(total, LOOKAHEAD) + 1),
                       key=lambda p: abs(2 * p - total))
        for p in order:
            if _agree(a, b, p, total - p):
                return p, total - p
    return None


def diff_event_files(a: str, b: str, max_shown: int = DEFAULT_MAX) -> DiffResult:
    """Streams both files once; raises EventFileError for a file that is not an event file."""
    res = DiffResult(a, b, collections.Counter(), collections.Counter(), None)
    sa, sb = _Side(read_events(a), res.counts_a), _Side(read_events(b), res.counts_b)
    by_position = False

    def note(d: Divergence) -> None:
        if res.first is None:
            res.first = d
        if len(res.shown) < max_shown:
            res.shown.append(d)

    while True:
        ea, eb = sa.peek(0), sb.peek(0)
        if ea is None and eb is None:
            break
        if ea is not None and eb is not None and _key(ea) == _key(eb):
            sa.take(), sb.take()
            continue
        skip = None if by_position else _realign(sa, sb)
        if skip is None:
            if ea is not None and eb is not None:
                res.realigned, by_position = False, True
            skip = (1 if ea is not None else 0, 1 if eb is not None else 0)
        p, q = skip
        for _ in range(min(p, q)):
            note(Divergence(sa.pos + 1, sa.take(), sb.take(), sb.pos))
            res.changed += 1
        for _ in range(p - q):
            note(Divergence(sa.pos + 1, sa.take(), None, sb.pos))
            res.only_a += 1
        for _ in range(q - p):
            note(Divergence(sa.pos, None, sb.take(), sb.pos))
            res.only_b += 1
    return res


# ---------------------------------------------------------------------------------------------
# What changed in an event


def _unwrap(v: Any) -> Any:
    """An object written as {"$type": T, "fields": {...}}: its fields, so that a path reads
    tick.last_price rather than tick.fields.last_price."""
    if type(v) is dict and set(v) == {"$type", "fields"} and type(v["fields"]) is dict:
        return v["fields"]
    return v


def field_changes(a: Any, b: Any, path: str = "") -> list[tuple[str, Any, Any]]:
    """(path, value in A, value in B) of each leaf that differs; a missing key's value is the
    `MISSING` marker."""
    if type(a) is dict and type(b) is dict and a.get("$type") == b.get("$type"):
        a, b = _unwrap(a), _unwrap(b)
    if type(a) is dict and type(b) is dict:
        out = []
        for k in list(a) + [k for k in b if k not in a]:
            sub = f"{path}.{k}" if path else str(k)
            out += field_changes(a.get(k, MISSING), b.get(k, MISSING), sub)
        return out
    if type(a) is list and type(b) is list and len(a) == len(b):
        out = []
        for i, (x, y) in enumerate(zip(a, b)):
            out += field_changes(x, y, f"{path}[{i}]")
        return out
    if type(a) is dict and type(b) is dict or type(a) is list and type(b) is list or a != b \
            or type(a) is not type(b):
        return [(path or "(the event)", a, b)]
    return []


class _Missing:
    def __repr__(self) -> str:
        return "(absent)"


MISSING = _Missing()


def _text(v: Any) -> str:
    if v is MISSING:
        return "(absent)"
    text = json.dumps(_unwrap(v), ensure_ascii=False, separators=(", ", ": "))
    return text if len(text) <= VALUE_WIDTH else text[:VALUE_WIDTH - 3] + "..."


def _pretty(fields: str) -> str:
    return json.dumps(json.loads(fields), indent=2, ensure_ascii=False).replace("\n", "\n      ")


def _divergence_lines(d: Divergence, n: int, res: DiffResult, full: bool) -> list[str]:
    """A divergence: where, what each side has and what caused it, then the fields that
    changed (or, with `full`, both events whole)."""
    what = "first difference" if n == 0 else "difference"
    if d.a is not None and d.b is not None:
        kind = d.a[1] if d.a[1] == d.b[1] else f"{d.a[1]} in A, {d.b[1]} in B"
        lines = [f"{what} at event {d.index:,} ({kind}):"]
    else:
        side, pos, one = ("A", d.index, d.a) if d.a is not None else ("B", d.b_index, d.b)
        assert one is not None  # a divergence has an event on one side at least
        lines = [f"{what} at event {pos:,} of {side} ({one[1]}): only in {side}"]
    for label, path, e in (("A", res.a, d.a), ("B", res.b, d.b)):
        if e is not None:
            lines.append(f"  {label}: {e[1]}, caused by {e[2] or 'unknown'}")
            if full:
                lines.append(f"      ({path}:{e[0]}) {_pretty(e[3])}")
    if d.a is not None and d.b is not None and not full:
        changes = field_changes(json.loads(d.a[3]), json.loads(d.b[3]))
        for path, x, y in changes[:MAX_FIELDS]:
            lines.append(f"  {path}: {_text(x)} -> {_text(y)}")
        if len(changes) > MAX_FIELDS:
            lines.append(f"  ... {len(changes) - MAX_FIELDS} more fields (--full shows both events)")
    return lines


def write_diff(res: DiffResult, out: TextIO, full: bool = False) -> None:
    if res.equal:
        print(f"equal: {sum(res.counts_a.values()):,} events", file=out)
        return
    total_a, total_b = sum(res.counts_a.values()), sum(res.counts_b.values())
    print(f"the event streams differ: {_counts_text(res)} "
          f"(A {total_a:,} events, B {total_b:,})", file=out)
    names = sorted(set(res.counts_a) | set(res.counts_b))
    if any(res.counts_a.get(n, 0) != res.counts_b.get(n, 0) for n in names):
        width = max(len("event"), *(len(n) for n in names))
        print(f"{'event'.ljust(width)}  {'A':>10}  {'B':>10}", file=out)
        for n in names:
            a, b = res.counts_a.get(n, 0), res.counts_b.get(n, 0)
            mark = "" if a == b else "  *"
            print(f"{n.ljust(width)}  {a:>10,}  {b:>10,}{mark}", file=out)
        print(f"{'total'.ljust(width)}  {total_a:>10,}  {total_b:>10,}", file=out)
    for i, d in enumerate(res.shown):
        for line in _divergence_lines(d, i, res, full):
            print(line, file=out)
    if res.differing > len(res.shown):
        print(f"... {res.differing - len(res.shown):,} more differing events (--max N shows N)",
              file=out)
    if not res.realigned:
        print("(the streams did not realign after a difference: past it they were compared "
              "event by event)", file=out)


def _counts_text(res: DiffResult) -> str:
    parts = [f"{res.changed:,} changed"]
    if res.only_a:
        parts.append(f"{res.only_a:,} only in A")
    if res.only_b:
        parts.append(f"{res.only_b:,} only in B")
    n = res.differing
    text = f"{n:,} event{'s' if n != 1 else ''} differ{'s' if n == 1 else ''}"
    return text if n == res.changed else f"{text} ({', '.join(parts)})"


# ---------------------------------------------------------------------------------------------
# Two directories, day by day


@dataclasses.dataclass
class DaysDiff:
    a: str
    b: str
    # (day's file name, its DiffResult or None when it is on one side only, "A"/"B"/None)
    days: list[tuple[str, DiffResult | None, str | None]]

    @property
    def equal(self) -> bool:
        return all(r is not None and r.equal for _, r, _ in self.days)


def event_files(directory: str) -> list[str]:
    """The event files directly in a directory written by a multi-day `--events DIR`."""
    return sorted(n for n in os.listdir(directory)
                  if n.endswith(EVENT_FILE_SUFFIXES) and os.path.isfile(os.path.join(directory, n)))


def diff_event_dirs(a: str, b: str, max_shown: int = DEFAULT_MAX) -> DaysDiff:
    """Compares the event files of two directories by name; raises EventFileError for a
    directory without event files or a file that is not one."""
    names_a, names_b = event_files(a), event_files(b)
    days: list[tuple[str, DiffResult | None, str | None]] = []
    for d, names in ((a, names_a), (b, names_b)):
        if not names:
            raise EventFileError(d, 0, "no event files (*.events.jsonl.gz) in the directory")
    for name in sorted(set(names_a) | set(names_b)):
        if name not in names_b:
            days.append((name, None, "A"))
        elif name not in names_a:
            days.append((name, None, "B"))
        else:
            days.append((name, diff_event_files(os.path.join(a, name), os.path.join(b, name),
                                                max_shown), None))
    return DaysDiff(a, b, days)


def _day(name: str) -> str:
    for suffix in EVENT_FILE_SUFFIXES:
        if name.endswith(suffix):
            return name[:-len(suffix)]
    return name


def write_days_diff(res: DaysDiff, out: TextIO, full: bool = False) -> None:
    from .report import _table
    rows = []
    for name, r, side in res.days:
        if r is None:
            rows.append([_day(name), f"only in {side}", "-", "-", "-"])
        elif r.equal:
            rows.append([_day(name), "equal", f"{sum(r.counts_a.values()):,}", "0", "0"])
        else:
            rows.append([_day(name), "differs", f"{sum(r.counts_a.values()):,}",
                         f"{r.changed:,}", f"{r.only_a + r.only_b:,}"])
    differing = sum(1 for _, r, _ in res.days if r is None or not r.equal)
    events = sum(r.differing for _, r, _ in res.days if r is not None)
    one_side = sum(1 for _, r, _ in res.days if r is None)
    summary = "all equal" if not differing else \
        f"{differing} differ ({events:,} differing event{'s' if events != 1 else ''} in all" + \
        (f", {one_side} days on one side only)" if one_side else ")")
    print(f"A {res.a}, B {res.b}: {len(res.days)} days, {summary}", file=out)
    for line in _table(rows, ["day", "status", "events (A)", "changed", "only one side"],
                       {2, 3, 4}):
        print(line, file=out)
    for name, r, _ in res.days:
        if r is not None and not r.equal:
            print("", file=out)
            print(f"{_day(name)}:", file=out)
            write_diff(r, out, full)

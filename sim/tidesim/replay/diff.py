"""`tidesim-replay diff A B`: compares two event files written by `--events`.

Equal when both hold the same events (type and fields) in the same order; the session lines
that caused them may differ (a recording re-numbers its lines). Otherwise it reports the
counts by event type on each side and the first event where the streams diverge, with both
versions and the session lines that caused them.
"""
from __future__ import annotations

import collections
import dataclasses
import itertools
import json
from typing import TextIO

from .digest import read_events


@dataclasses.dataclass
class Divergence:
    index: int  # 1-based position in the event stream
    a: tuple[int, str, str, str] | None  # (file line, event, source, fields) or None: stream ended
    b: tuple[int, str, str, str] | None


@dataclasses.dataclass
class DiffResult:
    a: str
    b: str
    counts_a: collections.Counter
    counts_b: collections.Counter
    first: Divergence | None

    @property
    def equal(self) -> bool:
        return self.first is None


def diff_event_files(a: str, b: str) -> DiffResult:
    """Streams both files once; raises EventFileError for a file that is not an event file."""
    counts_a: collections.Counter = collections.Counter()
    counts_b: collections.Counter = collections.Counter()
    first = None
    for i, (ea, eb) in enumerate(itertools.zip_longest(read_events(a), read_events(b)), 1):
        if ea is not None:
            counts_a[ea[1]] += 1
        if eb is not None:
            counts_b[eb[1]] += 1
        if first is None and (ea is None or eb is None or ea[1:4:2] != eb[1:4:2]):
            first = Divergence(i, ea, eb)
    return DiffResult(a, b, counts_a, counts_b, first)


def _version(label: str, path: str, e: tuple[int, str, str, str] | None) -> list[str]:
    if e is None:
        return [f"  {label} ({path}): the stream has ended"]
    line, event, source, fields = e
    pretty = json.dumps(json.loads(fields), indent=2, ensure_ascii=False).replace("\n", "\n      ")
    return [f"  {label} ({path}:{line}): {event}, caused by {source or 'unknown'}",
            f"      {pretty}"]


def write_diff(res: DiffResult, out: TextIO) -> None:
    if res.equal:
        print(f"equal: {sum(res.counts_a.values()):,} events", file=out)
        return
    print("the event streams differ", file=out)
    names = sorted(set(res.counts_a) | set(res.counts_b))
    width = max(len("event"), *(len(n) for n in names))
    print(f"{'event'.ljust(width)}  {'A':>10}  {'B':>10}", file=out)
    for n in names:
        a, b = res.counts_a.get(n, 0), res.counts_b.get(n, 0)
        mark = "" if a == b else "  *"
        print(f"{n.ljust(width)}  {a:>10,}  {b:>10,}{mark}", file=out)
    print(f"{'total'.ljust(width)}  {sum(res.counts_a.values()):>10,}  "
          f"{sum(res.counts_b.values()):>10,}", file=out)
    d = res.first
    assert d is not None
    print(f"first difference at event {d.index:,}:", file=out)
    for line in _version("A", res.a, d.a) + _version("B", res.b, d.b):
        print(line, file=out)

"""The consumer of a replay: takes the events out of the bridge's `event_queue` in arrival
order, in batches, and publishes them on the bus; counts them per virtual minute and type,
and feeds the event stream (digest, event file, signatures) when one is kept.

It runs after nearly every delivered entry, so the usual cases (nothing to remember of each
event's cause) take one loop per batch with no call per event beyond the bus's own: the
digest is fed inline, and when the replay has no listeners of its own besides the examples
the events are counted here by type, a batch at a time, instead of by a counting listener.
"""
from __future__ import annotations

import collections
import datetime as _dt
import operator
from typing import Any

from .digest import EventStream, signature
from .results import ReplayResult, Tally

_MINUTE = _dt.timedelta(minutes=1)
_event_type = operator.attrgetter("event_type")


class Consumer:
    """count_types: count the published events by type into `result.events` (the replay then
    registers no counting listener). Every event handed to the bus counts, whether or not a
    listener raised on it, so that the counts, the digest and the event file always cover the
    same events (a listener's exception is counted among the problems instead); when the
    replay is interrupted, the events of the batch up to the one being published count.

    `cause` is a one-item list the replay keeps up to date with what it delivers: the session
    line of the entry (an int) or the text naming a timer. A listener's exception is reported
    with it; with `drain_every` above 1 the event may come from one of the entries before it."""

    def __init__(self, queue: Any, bus: Any, result: ReplayResult, tally: Tally, clock: Any,
                 stream: EventStream | None = None, track_sources: bool = False,
                 count_types: bool = False, path: str = "", drain_every: int = 1) -> None:
        self.queue = queue
        self.publish = bus.publish_event
        self.result = result
        self.tally = tally
        self.clock = clock
        self.stream = stream
        self.signatures = result.signatures
        self.cause: list = [1]
        self.path = path
        self.drain_every = drain_every
        # (queue length after a delivery, what was delivered): which line caused which event
        self.sources: list[tuple[int, str]] | None = [] if track_sources else None
        self._minute: _dt.datetime | None = None
        self._minute_end: _dt.datetime | None = None
        self._counted: collections.Counter = collections.Counter()
        # event types published and not yet counted into result.events (count_types)
        self._types: list | None = [] if count_types else None
        self._names: dict[int, tuple[Any, str]] = {}
        # the batch loop to use: one feeding the digest, or one that only publishes
        self._inline = self.sources is None and self.signatures is None
        self._hasher = stream.hasher() if stream is not None else None
        if self._inline:
            self.drain = self._drain_inline  # type: ignore[method-assign]

    def delivered(self, source: str | int) -> None:
        """Marks the events now at the end of the queue as caused by `source` (a text, or the
        number of a line of the session)."""
        self.sources.append((len(self.queue), source))  # type: ignore[union-attr]

    def count_now(self) -> None:
        """Brings result.events up to date with the events published so far."""
        types = self._types
        if not types:
            return
        counts = self.result.events
        names = self._names
        for key, n in collections.Counter(map(id, types)).items():
            hit = names.get(key)
            if hit is None:
                member = next(t for t in types if id(t) == key)
                hit = (member, getattr(member, "name", None) or str(member))
                if hasattr(type(member), "__members__"):
                    names[key] = hit  # a member lives as long as its enumeration
            counts[hit[1]] += n
        types.clear()

    def _roll_minute(self, now: _dt.datetime) -> None:
        """Books the events counted since the last roll to the minute they were published in."""
        res = self.result
        if self._minute is not None:
            self.count_now()
            counts = res.events
            before = self._counted
            total = 0
            for name, n in counts.items():
                d = n - before.get(name, 0)
                if d:
                    res.events_by_minute_type[(self._minute, name)] += d
                    total += d
            if total:
                res.events_per_minute[self._minute] += total
            self._counted = collections.Counter(counts)
        self._minute = now.replace(second=0, microsecond=0)
        self._minute_end = self._minute + _MINUTE

    def finish(self) -> None:
        if self._minute is not None:
            self._roll_minute(self._minute)
        self.count_now()

    def drain(self) -> None:
        q = self.queue
        n = len(q)
        if not n:
            if self.sources:
                self.sources.clear()
            return
        res = self.result
        if n > res.queue_high_water:
            res.queue_high_water = n
        batch = q.popleft_many(n)
        now = self.clock._now
        # the virtual clock never moves back, so a time before the minute's end is in it
        end = self._minute_end
        if end is None or not now < end:
            self._roll_minute(now)
        self._publish(batch, now)

    def _drain_inline(self) -> None:
        """drain() when nothing is kept of each event's cause and no signatures are: the events
        published in order, each hashed into the digest (when one is kept) just before it is
        published; the whole of it in one call, as it runs after nearly every entry."""
        q = self.queue
        n = len(q)
        if not n:
            return
        res = self.result
        if n > res.queue_high_water:
            res.queue_high_water = n
        batch = q.popleft_many(n)
        now = self.clock._now
        # the virtual clock never moves back, so a time before the minute's end is in it
        end = self._minute_end
        if end is None or not now < end:
            self._roll_minute(now)
        publish = self.publish
        failed: list | None = None
        hasher = self._hasher
        it = iter(batch)
        try:
            if hasher is None:
                for ev in it:
                    try:
                        publish(ev)
                    except Exception as exc:
                        failed = self._listener_failed(ev, now, exc, failed)
            else:
                for ev in it:
                    # each event into the digest just before it is published (what a
                    # listener changes afterwards is not in the digest)
                    hasher(ev)
                    try:
                        publish(ev)
                    except Exception as exc:
                        failed = self._listener_failed(ev, now, exc, failed)
                self.stream.count += len(batch)  # type: ignore[union-attr]
        except BaseException:
            # interrupted: what was published counts, the event being published included
            done = len(batch) - len(list(it))
            if self._types is not None:
                self._types += map(_event_type, batch[:done])
            if hasher is not None:
                self.stream.count += done  # type: ignore[union-attr]
            raise
        if self._types is not None:
            self._types += map(_event_type, batch)

    def where(self) -> str:
        """The session line (or timer) whose delivery the events being published come from."""
        cause = self.cause[0]
        if type(cause) is not int:
            return str(cause)
        where = f"{self.path}:{cause}"
        if self.drain_every > 1:
            where += f" (or one of the {self.drain_every - 1} entries before it: --drain-every " \
                     f"{self.drain_every})"
        return where

    def _publish(self, batch: list, now: _dt.datetime) -> None:
        sigs, stream, publish = self.signatures, self.stream, self.publish
        sources = self.sources
        types = self._types
        if sources is None:  # no need to know what caused each event
            add = stream.add if stream is not None else None
            for ev in batch:
                if sigs is not None:
                    sigs.append(signature(ev))
                if add is not None:
                    add(ev, "")
                if types is not None:
                    types.append(ev.event_type)
                try:
                    publish(ev)
                except Exception as exc:
                    self._listener_failed(ev, now, exc, None)
            return
        si = 0
        timer_source = None
        for i, ev in enumerate(batch):
            if sigs is not None:
                sigs.append(signature(ev))
            if stream is not None:
                while si < len(sources) and sources[si][0] <= i:
                    si += 1
                if si < len(sources):
                    source = sources[si][1]
                else:  # after every delivered entry's events: a timer's
                    source = timer_source = timer_source or f"timer at {now:%H:%M:%S.%f}"
                stream.add(ev, source)
            else:
                source = None
            if types is not None:
                types.append(ev.event_type)
            try:
                publish(ev)
            except Exception as exc:
                self._listener_failed(ev, now, exc, None,
                                      f"{self.path}:{source}" if type(source) is int else source)
        sources.clear()

    def _listener_failed(self, ev: Any, now: _dt.datetime, exc: Exception,
                         failed: list | None, source: str | None = None) -> list:
        name = getattr(getattr(ev, "event_type", None), "name", "?")
        if source is None:
            source = self.where()
        self.tally.problem("listener", source, name, now, exc)
        if failed is None:
            failed = []
        failed.append(ev)
        return failed

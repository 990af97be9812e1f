"""The consumer of a replay: takes the events out of the bridge's `event_queue` in arrival
order, in batches, and publishes them on the bus; counts them per virtual minute and type,
and feeds the event stream (digest, event file, signatures) when one is kept."""
from __future__ import annotations

import collections
import datetime as _dt
from typing import Any

from .digest import EventStream, signature
from .results import ReplayResult, Tally

_MINUTE = _dt.timedelta(minutes=1)


class Consumer:
    def __init__(self, queue: Any, bus: Any, result: ReplayResult, tally: Tally, clock: Any,
                 stream: EventStream | None = None, track_sources: bool = False) -> None:
        self.queue = queue
        self.publish = bus.publish_event
        self.result = result
        self.tally = tally
        self.clock = clock
        self.stream = stream
        self.signatures = result.signatures
        # (queue length after a delivery, what was delivered): which line caused which event
        self.sources: list[tuple[int, str]] | None = [] if track_sources else None
        self._minute: _dt.datetime | None = None
        self._minute_end: _dt.datetime | None = None
        self._counted: collections.Counter = collections.Counter()

    def delivered(self, source: str) -> None:
        """Marks the events now at the end of the queue as caused by `source`."""
        self.sources.append((len(self.queue), source))  # type: ignore[union-attr]

    def _roll_minute(self, now: _dt.datetime) -> None:
        """Books the events counted since the last roll to the minute they were published in."""
        res = self.result
        if self._minute is not None:
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
        now = self.clock.now
        minute = self._minute
        if minute is None or not (minute <= now < self._minute_end):  # type: ignore[operator]
            self._roll_minute(now)
        self._publish(batch, now)

    def _publish(self, batch: list, now: _dt.datetime) -> None:
        sigs, stream, publish = self.signatures, self.stream, self.publish
        sources = self.sources
        if sources is None:  # no need to know what caused each event
            add = stream.add if stream is not None else None
            for ev in batch:
                if sigs is not None:
                    sigs.append(signature(ev))
                if add is not None:
                    add(ev, "")
                try:
                    publish(ev)
                except Exception as exc:
                    self._listener_failed(ev, now, exc)
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
            try:
                publish(ev)
            except Exception as exc:
                self._listener_failed(ev, now, exc)
        sources.clear()

    def _listener_failed(self, ev: Any, now: _dt.datetime, exc: Exception) -> None:
        name = getattr(getattr(ev, "event_type", None), "name", "?")
        self.tally.problem("listener", f"{now:%H:%M:%S.%f}", name, now, exc)

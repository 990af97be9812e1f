"""Replaying a session through the bridge, offline and deterministically.

The replay plays the SDK's part with the stand-ins: it builds `VornStrategy` from the session
header at the virtual start, calls `initialize`, then delivers the entries in file order on a
virtual clock. Timers that the strategy registers with its SDK context fire at their virtual
times (one due at an entry's time fires before that entry). While it runs, the bridge's time
globals follow the virtual clock. A consumer takes the events out of `event_queue` in arrival
order, in batches, and publishes them on an `EventBus` with example listeners: a system
listener that applies the order and trade events to the framework's orders, and user listeners
that count.

Like the SDK, the replay does not stop when the bridge raises out of a callback: the exception
is reported with the entry that caused it and counted. Bad input (a malformed line, an unknown
callback, a time going backwards) stops the replay unless `keep_going` is set. Entries before
the session's start or after its end are not delivered; they are a problem unless
`allow_undelivered` is set. Ctrl-C stops the replay with what it has (`interrupted`).

This module holds the delivery; the virtual clock's timers, the consumer (consumer.py), the
bookkeeping (results.py) and the event stream (digest.py) are parts of their own.
"""
from __future__ import annotations

import contextlib
import datetime as _dt
import functools
import importlib
import os
from operator import length_hint
import time as _time
from typing import Any, Callable, Iterable, TextIO

from .consumer import Consumer, _event_type
from .digest import EventStream, signature  # noqa: F401  (signature: part of this module's API)
from .format import Decoder, Entry, SessionFormatError, SessionHeader, SessionReader
from .results import (MAX_REPORTED, LatencyHistogram, OrderBook, OrderState,  # noqa: F401
                      Problem, ReplayResult, Tally, percentile, stderr_report)
from .selection import Selection
from .standin_timing import StandinTiming

BRIDGE_MODULE = "orvane.tamsel.utils.tidewell"
EVENTS_MODULE = "orvane.tamsel.core.events"

# The bridge's module-level containers that a replay starts from empty (cleared in place).
BRIDGE_STATE = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
                "algo_child_orders", "algo_child_trades", "vorn_params")

ORDER_EVENTS = ("ORDER_CREATION_PASS", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS",
                "ORDER_CANCELLATION_REJECT", "ORDER_UNSOLICITED_UPDATE", "TRADE")

_percentile = percentile  # the name earlier versions exported

SAMPLE_ALL = 64
SAMPLE_EVERY = 256
FLUSH_EVERY = 1024  # entries between the bucketing of the call times gathered meanwhile


class ReplayAborted(Exception):
    """The replay cannot start: the strategy cannot be built from the session header."""


def _replay_clock(base: type, on_timer: Callable[[Callable[[], Any]], None]) -> type:
    """A virtual clock whose timers run through `on_timer` (which times them and reports their
    exceptions), with a cheap move for the common case of no timer due."""

    class ReplayClock(base):  # type: ignore[misc, valid-type]
        def schedule(self, due, callback):
            super().schedule(due, lambda: on_timer(callback))

        def move_to(self, t: _dt.datetime) -> None:
            """advance_to(t) for a plain naive t no earlier than now with no timer due by t."""
            self._now = t

        def pending_heap(self) -> list:
            """The heap of pending timers, (due, seq, callback), earliest first: read-only, for
            a cheap "is one due?" test in the delivery loop."""
            return self._heap

    return ReplayClock


class Timers:
    """The virtual clock's timers: fires those due up to a time, one due time at a time, so
    that each timer's events are published before the next."""

    def __init__(self, replay: Replay) -> None:
        from ..clock import VirtualClock
        self.replay = replay
        self.clock = _replay_clock(VirtualClock, self.fire)(replay.result.header.start)

    def fire(self, callback: Callable[[], Any]) -> None:
        name = getattr(callback, "__name__", repr(callback))
        self.replay.result.timers[name] += 1
        now = self.clock.now
        self.replay.consumer.cause[0] = f"timer {name} at {now:%H:%M:%S.%f}"
        self.replay.call(name, callback, (), {}, f"timer {now:%H:%M:%S.%f}", "timer")

    def until(self, t: _dt.datetime) -> None:
        clock = self.clock
        nd = clock.next_due()
        drain = self.replay.consumer.drain
        while nd is not None and nd <= t:
            clock.advance_to(nd)
            drain()
            nd = clock.next_due()
        clock.advance_to(t)


class Replay:
    """One replay of one session file. `run()` returns a ReplayResult.

    keep_going: report bad lines and go on instead of stopping at the first.
    drain_every: the consumer empties event_queue after every this many entries (and after
        timers); larger values let the queue grow, as a slow consumer would.
    collect_events: keep the signature of every published event (for comparisons).
    digest: compute `result.digest`, a digest of the published event stream.
    events_to: write the published event stream to this file, one event a line.
    record_to: also record the replayed callbacks into a new session file
        (record_overwrite: even when that file exists).
    listeners: extra (EVENT member, its name or "*" for every type, callable, user flag)
        registrations on the bus, system-tier ones before the example listeners.
    select: a Selection of the market data to deliver (None: all).
    allow_undelivered: entries outside the session's start and end are not a problem.
    split_latency: time the stand-ins' calls inside callbacks apart from the bridge's: every
        call of a kind's first SAMPLE_ALL, then every SAMPLE_EVERY-th (the timed stand-ins are
        in place only around those calls, so the others run as they would without).
    report: where problems are described as they happen (stderr by default; None: silent;
        a stream, or a callable taking one line).
    progress: a callable(entries, fraction of the file read, virtual time) polled during the
        run, or None.
    framework: the framework adapter (see adapter.py): None for the development stand-ins,
        an adapter, or "MODULE[:NAME]" naming one.
    """

    def __init__(self, path: str, *, keep_going: bool = False, drain_every: int = 1,
                 collect_events: bool = False, digest: bool = False,
                 events_to: str | None = None, record_to: str | None = None,
                 listeners: Iterable[tuple[Any, Callable[[Any], Any], bool]] = (),
                 select: Selection | None = None, allow_undelivered: bool = False,
                 split_latency: bool = True,
                 report: TextIO | Callable[[str], Any] | None | str = "stderr",
                 progress: Callable[..., None] | None = None,
                 max_reported: int = MAX_REPORTED, record_overwrite: bool = False,
                 framework: Any = None) -> None:
        if drain_every < 1:
            raise ValueError("drain_every must be at least 1")
        self.path = str(path)
        self.keep_going = keep_going
        self.drain_every = drain_every
        self.collect_events = collect_events
        self.digest = digest
        self.events_to = events_to
        self.record_to = record_to
        self.record_overwrite = record_overwrite
        self.extra_listeners = list(listeners)
        self.select = select if select is not None and select.active else None
        self.allow_undelivered = allow_undelivered
        self.split_latency = split_latency
        self.report = stderr_report() if report == "stderr" else report
        self.progress = progress
        self.max_reported = max_reported
        self.framework_spec = framework
        self.framework: Any = None
        self.clock = None
        self.strategy = None
        self.bus = None
        self.bridge = None
        self.consumer: Consumer = None  # type: ignore[assignment]
        self.tally: Tally = None  # type: ignore[assignment]
        self._timing: StandinTiming | None = None

    # -- set-up ------------------------------------------------------------------------------

    def _framework_object(self, type_name: str, fields: dict) -> Any:
        if self.framework is None:  # a decoder made before the run
            from .adapter import load_framework
            self.framework = load_framework(self.framework_spec)
        return self.framework.act_object(type_name, fields)

    def _config(self, header: SessionHeader):
        try:
            return self.framework.config(header)
        except (TypeError, ValueError, KeyError, AttributeError) as exc:
            raise SessionFormatError(self.path, 1, _header_message(exc, "header config")) from None
        except Exception as exc:  # the adapter's own code
            raise ReplayAborted(_adapter_failed("config", exc)) from exc

    def _environment(self, header: SessionHeader) -> None:
        try:
            self.framework.start_day(header, self.universe(header))
        except (TypeError, ValueError, KeyError, AttributeError) as exc:
            raise SessionFormatError(self.path, 1, _header_message(exc, "header")) from None
        except Exception as exc:
            raise ReplayAborted(_adapter_failed("start_day", exc)) from exc

    def _end_day(self) -> None:
        """The adapter's end of the day; what it raises is a problem of the day, not a crash."""
        try:
            self.framework.end_day()
        except Exception as exc:
            self.tally.problem("framework", self.path, "end_day", None, exc)

    def universe(self, header: SessionHeader) -> list[str]:
        """The universe the framework is set up with: the header's, narrowed to the selected
        securities when the market data is (the bridge completes a minute's bars when every
        security of the universe has one, so a wider universe would never complete any)."""
        codes = self.select.codes if self.select is not None else None
        if codes is None:
            return list(header.universe)
        return [c for c in header.universe if c in codes]

    def _reset_bridge(self, bridge) -> None:
        for name in BRIDGE_STATE:
            getattr(bridge, name).clear()
        bridge.event_queue.clear()

    def _listen(self, bus, EVENT) -> None:
        res = self.result
        extra = []
        for e, fn, user in self.extra_listeners:
            members = list(EVENT) if e == "*" else [EVENT[e] if isinstance(e, str) else e]
            extra += [(m, fn, user) for m in members]
        for etype, fn, user in extra:
            if not user:
                bus.add_listener(etype, fn, False)
        for name in ORDER_EVENTS:
            bus.add_listener(EVENT[name], res.order_book)
        for etype, fn, user in extra:
            if user:
                bus.add_listener(etype, fn, True)

    def _count_in_consumer(self) -> bool:
        """The consumer counts the events by type, every event it hands to the bus, whatever a
        listener raises (a counting listener would miss those a system listener raised on, while
        the digest and the event file hold them)."""
        return True

    # -- the run -----------------------------------------------------------------------------

    def run(self) -> ReplayResult:
        import tidesim
        tidesim.install()  # the SDK's stand-ins (and the framework's, where it is not installed)
        from ..clock import patch_time
        from ..pyvorn import context as sdk_context
        from .adapter import FrameworkSpecError, load_framework

        try:
            fw = self.framework = load_framework(self.framework_spec)
            install = getattr(fw, "install", None)
            if install is not None:
                install()
        except FrameworkSpecError as exc:
            raise ReplayAborted(str(exc)) from None
        except Exception as exc:  # the adapter's own code
            raise ReplayAborted(_adapter_failed("install", exc)) from exc

        if self.record_to is not None and _same_file(self.record_to, self.path):
            raise ReplayAborted(f"the recording would overwrite the session it replays: {self.path}")
        bridge = self.bridge = importlib.import_module(BRIDGE_MODULE)
        events = importlib.import_module(EVENTS_MODULE)
        reader = SessionReader(self.path, Decoder(acts=self._framework_object))
        header = reader.header
        res = self.result = ReplayResult(self.path, header)
        self.tally = Tally(res, self.report, self.max_reported)
        if self.collect_events:
            res.signatures = []
        if self.select is not None:
            try:
                self.select.check_universe(header.universe, self.path)
            except SessionFormatError:
                reader.close()
                raise
        wall0 = _time.perf_counter()
        timers = Timers(self)
        clock = self.clock = timers.clock
        saved_clock = sdk_context.get_default_clock()
        dropped0 = getattr(bridge.event_queue, "dropped", 0)
        recorder = None
        stream = None
        try:
            with contextlib.ExitStack() as stack:
                if self.digest or self.events_to is not None:
                    stream = EventStream(self.events_to, session=self.path)
                    stack.callback(stream.close)
                self._environment(header)
                if getattr(fw, "end_day", None) is not None:
                    stack.callback(self._end_day)
                self._reset_bridge(bridge)
                sdk_context.set_default_clock(clock)
                bus = self.bus = events.EventBus()
                self._listen(bus, events.EVENT)
                self.consumer = Consumer(bridge.event_queue, bus, res, self.tally, clock, stream,
                                         track_sources=self.events_to is not None,
                                         count_types=self._count_in_consumer(),
                                         path=self.path, drain_every=self.drain_every)
                self.timers = timers
                config = self._config(header)
                cls = bridge.VornStrategy
                if self.record_to is not None:
                    from .recorder import SessionRecorder, recording_strategy
                    # the virtual time read in C (getattr bound to the clock), without the
                    # two Python frames of a lambda and the `now` property at every callback
                    recorder = SessionRecorder(self.record_to, now=functools.partial(
                                                   getattr, clock, "_now"), end=header.end,
                                               overwrite=self.record_overwrite)
                    cls = recording_strategy(cls, recorder)
                stack.enter_context(patch_time(bridge, clock))
                if self.split_latency:
                    self._timing = StandinTiming(bridge)
                    stack.callback(self._timing.off)
                try:
                    self.strategy = cls(config)
                except Exception as exc:
                    raise ReplayAborted(f"{self.path}:1: VornStrategy could not be built from the "
                                        f"session header: {type(exc).__name__}: {exc}") from exc
                try:
                    self.call("initialize", self.strategy.initialize, (config,), {},
                              f"{self.path}:1", "callback")
                    if self.consumer.sources is not None:
                        self.consumer.delivered(f"{self.path}:1 initialize")
                    self.consumer.drain()
                    self._deliver(reader, header, timers)
                    if res.stopped is None:
                        timers.until(header.end)
                    self.consumer.drain()
                except KeyboardInterrupt:
                    res.interrupted = True
                    self.tally.say("interrupted: the summary covers what was delivered so far")
                self.consumer.finish()
                res.virtual_end = clock.now
                if res.undelivered and not self.allow_undelivered and not res.interrupted:
                    self._undelivered_problem(header)
                if stream is not None:
                    res.digest = stream.hexdigest()
        finally:
            sdk_context.set_default_clock(saved_clock)
            reader.close()
            if recorder is not None:
                recorder.close()
            res.wall_s = _time.perf_counter() - wall0
            res.queue_dropped = getattr(bridge.event_queue, "dropped", 0) - dropped0
        return res

    def _undelivered_problem(self, header: SessionHeader) -> None:
        res = self.result
        parts = []
        if res.before_start:
            parts.append(f"{res.before_start:,} before the start ({header.start}), "
                         f"the first at line {self._first_early}")
        if res.after_end:
            parts.append(f"{res.after_end:,} after the end ({header.end}), "
                         f"the first at line {self._first_late}")
        self.tally.problem("undelivered", self.path, "", None,
                           "entries outside the session's day were not delivered: "
                           + "; ".join(parts) + " (--allow-undelivered accepts them)")

    # -- delivery ----------------------------------------------------------------------------

    def call(self, name: str, fn: Callable, args: tuple, kwargs: dict, where: str, kind: str) -> None:
        """Calls one callback or timer, timing it (the stand-ins' share too) and reporting its
        exception."""
        res = self.result
        if name not in res.latency_ns:
            res.latency_ns[name] = LatencyHistogram()
            res.bridge_ns[name] = LatencyHistogram()
        self._timed_call(name, fn, args, kwargs, where, kind, self.clock.now, self._timing)

    def _timed_call(self, name: str, fn: Callable, args: tuple, kwargs: dict, where: str,
                    kind: str, when: _dt.datetime, timing: StandinTiming | None) -> None:
        """One call with the timed stand-ins in place: its whole time (less the timing's own
        cost) and the bridge's share of it."""
        res = self.result
        perf = _time.perf_counter_ns
        meter = timing.meter if timing is not None else None
        if meter is not None:
            timing.on()
            s0, c0 = meter.ns, meter.calls
        t0 = perf()
        try:
            fn(*args, **kwargs)
        except Exception as exc:
            elapsed = perf() - t0
            self.tally.problem(kind, where, name, when, exc)
        else:
            elapsed = perf() - t0
        if meter is None:
            res.latency_ns[name].append(elapsed)
            return
        timing.off()
        calls = meter.calls - c0
        res.standin_calls[name] += calls
        standin = meter.ns - s0 + calls * meter.overhead_ns
        overhead = calls * meter.overhead_ns
        whole, own = max(int(elapsed - overhead), 0), max(int(elapsed - standin), 0)
        res.latency_ns[name].append(whole)
        res.bridge_ns[name].append(own)
        res.sampled_ns[name] += whole
        res.sampled_bridge_ns[name] += own

    def _bad(self, exc: SessionFormatError, note: str = " (skipped)") -> None:
        if not self.keep_going:
            raise exc
        self.tally.bad_input(exc, note)

    def _deliver(self, reader: SessionReader, header: SessionHeader, timers: Timers) -> None:
        res = self.result
        clock = self.clock
        strategy = self.strategy
        bridge = self.bridge
        start, end = header.start, header.end
        drain_every = self.drain_every
        progress = self.progress
        path = self.path
        latency = res.latency_ns
        perf = _time.perf_counter_ns
        timing = self._timing
        timed_call = self._timed_call
        consumer = self.consumer
        drain = consumer.drain
        queue = bridge.event_queue
        mark = consumer.delivered if consumer.sources is not None else None
        cause = consumer.cause
        # The consumer's batch loop for the usual case (nothing kept of each event's cause, no
        # signatures) runs here, in the delivery loop: it runs after nearly every entry, and a
        # call of its own would cost as much as the rest of it. It does what
        # Consumer._drain_inline does, in the same order.
        inline = consumer._inline
        publish = consumer.publish
        hasher = consumer._hasher
        stream = consumer.stream
        event_types = consumer._types
        types_add = event_types.extend if event_types is not None else None
        roll_minute = consumer._roll_minute
        listener_failed = consumer._listener_failed
        popleft_many = queue.popleft_many
        select = self.select
        problem = self.tally.problem
        # per callback name: [bound method, calls so far, call times not yet bucketed, the
        # number of the next call to time with the timed stand-ins (-1: none)]; the times are
        # bucketed into the histograms in batches (every FLUSH_EVERY entries and at the end), so
        # memory stays flat and a call pays only a list append. The calls timed are a kind's
        # first sample_all and every sample_every-th: after call k, the next is k + 1 while that
        # is among the first, else the next multiple of sample_every.
        per_name: dict[str, list] = {}
        heap = clock.pending_heap()
        first = None
        self._first_early = self._first_late = 0
        prev = start
        n = 0
        sample_all = SAMPLE_ALL
        sample_every = SAMPLE_EVERY
        flush_mask = FLUSH_EVERY - 1
        try:
            # runs of consecutive entries (lists), so that the usual entry is taken by the
            # loop over a list rather than by resuming the reader
            late = False
            for run in reader.entry_runs(on_error=self._bad):
                rest = iter(run)
                for entry in rest:
                    t = entry.time
                    try:
                        early = t < prev
                    except TypeError:  # an offset-aware time against the naive clock
                        self._bad(SessionFormatError(
                            path, entry.line, f"time {t.isoformat()} has a UTC offset; session "
                                              "times are local times without one"))
                        continue
                    if early:
                        if t < start:
                            res.before_start += 1
                            self._first_early = self._first_early or entry.line
                            continue
                        self._bad(SessionFormatError(
                            path, entry.line,
                            f"time {t} goes back before the previous entry's ({prev})"),
                            note=f" (delivered at {prev})")
                        t = prev
                    elif t > end:
                        self._first_late = entry.line
                        # this entry, the rest of its run and the rest of the file
                        res.after_end = 1 + length_hint(rest) + reader.count_remaining()
                        late = True
                        break
                    if first is None:
                        first = t
                    kind = entry.kind
                    if select is not None and kind == "cb" and not select.keeps(
                            entry.name, t, entry.args[0] if entry.args else
                            next(iter(entry.kwargs.values()), None)):
                        res.filtered += 1
                        continue
                    if heap and heap[0][0] <= t:  # a timer falls due by this entry
                        timers.until(t)
                    else:
                        clock._now = t  # no timer due by t, and t is no earlier than now
                    prev = t
                    cause[0] = entry.line
                    if kind == "cb":
                        name = entry.name
                        st = per_name.get(name)
                        if st is None:
                            st = per_name[name] = [getattr(strategy, name), 0, [], -1 if timing
                                                   is None else 1 if sample_all >= 1 else
                                                   sample_every]
                            if name not in latency:
                                latency[name] = LatencyHistogram()
                                res.bridge_ns[name] = LatencyHistogram()
                        k = st[1] = st[1] + 1
                        if k == st[3]:
                            st[3] = k + 1 if k < sample_all else \
                                (k // sample_every + 1) * sample_every
                            timed_call(name, st[0], entry.args, entry.kwargs,
                                       f"{path}:{entry.line}", "callback", t, timing)
                        else:
                            fn = st[0]
                            kwargs = entry.kwargs
                            t0 = perf()
                            try:
                                if kwargs:
                                    fn(*entry.args, **kwargs)
                                else:
                                    fn(*entry.args)
                            except Exception as exc:
                                st[2].append(perf() - t0)
                                problem("callback", f"{path}:{entry.line}", name, t, exc)
                            else:
                                st[2].append(perf() - t0)
                    else:
                        self._act(entry, bridge)
                    n += 1
                    if mark is not None:
                        mark(entry.line)
                    if len(queue) and (drain_every == 1 or n % drain_every == 0):
                        if not inline:
                            drain()
                        else:
                            waiting = len(queue)
                            if waiting > res.queue_high_water:
                                res.queue_high_water = waiting
                            batch = popleft_many(waiting)
                            now = clock._now
                            # the virtual clock never moves back: a time before the minute's end
                            # is in that minute
                            minute_end = consumer._minute_end
                            if minute_end is None or not now < minute_end:
                                roll_minute(now)
                            it = iter(batch)
                            try:
                                if hasher is None:
                                    for ev in it:
                                        try:
                                            publish(ev)
                                        except Exception as exc:
                                            listener_failed(ev, now, exc, None)
                                else:
                                    for ev in it:
                                        # into the digest just before it is published
                                        hasher(ev)
                                        try:
                                            publish(ev)
                                        except Exception as exc:
                                            listener_failed(ev, now, exc, None)
                                    stream.count += waiting
                            except BaseException:
                                # interrupted: what was published counts, the event being
                                # published included
                                done = waiting - len(list(it))
                                if types_add is not None:
                                    types_add(map(_event_type, batch[:done]))
                                if hasher is not None:
                                    stream.count += done
                                raise
                            if types_add is not None:
                                types_add(map(_event_type, batch))
                    if not n & flush_mask:
                        for name, st in per_name.items():
                            if st[2]:
                                latency[name].extend(st[2])
                                st[2].clear()
                        if progress is not None:
                            progress(n, reader.fraction(), t)
                if late:
                    break
        except SessionFormatError as exc:
            res.stopped = exc
            self.tally.say(str(exc))
            self.tally.say("stopped at bad input (use --keep-going to report and go on)")
        finally:
            seen = 0
            for name, st in per_name.items():
                latency[name].extend(st[2])
                res.callbacks[name] += st[1]
                seen += st[1]
            res.first_entry = first
            res.entries = n
            res.acts = n - seen
            res.last_entry = prev if n else None
            if progress is not None:
                progress(n, reader.fraction(), clock.now)

    def _act(self, entry: Entry, bridge) -> None:
        if entry.name == "place_order":
            try:
                key, order = entry.args if not entry.kwargs else \
                    (entry.kwargs.get("key", entry.args[0] if entry.args else None),
                     entry.kwargs.get("order", entry.args[1] if len(entry.args) > 1 else None))
                bridge.orders_dict[key] = order
                self.result.order_book.placed(key, order)
            except Exception as exc:
                self.tally.problem("act", f"{self.path}:{entry.line}", entry.name, entry.time, exc)

    # the names earlier versions used
    def _drain(self) -> None:
        self.consumer.drain()

    def _fire_until(self, t: _dt.datetime) -> None:
        self.timers.until(t)


def _adapter_failed(method: str, exc: BaseException) -> str:
    return f"the framework adapter's {method}() raised {type(exc).__name__}: {exc}"


def _header_message(exc: BaseException, what: str) -> str:
    """The message of a framework adapter's refusal of the header: the adapter's own when it
    names what it refused (the stand-ins' do), else `what` with the exception."""
    text = str(exc)
    if isinstance(exc, ValueError) and text.startswith(("header", "instrument")):
        return text
    return f"{what}: {type(exc).__name__}: {exc}"


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def replay(path: str, **options: Any) -> ReplayResult:
    """Replays one session file and returns its ReplayResult; see Replay for the options.
    The digest of the published events is computed unless digest=False is passed."""
    options.setdefault("digest", True)
    return Replay(path, **options).run()

"""Replaying many sessions at once: each day in a worker process of a Dask cluster.

The bridge keeps process-wide state, so a process replays one day at a time; scaling out means
many worker processes. A local cluster of processes with one thread each is started by default;
an existing cluster is used through its scheduler's address. Each day runs as one task,
`replay_day`, which starts from a clean bridge state (as a single replay does) and returns a
`DayOutcome`: the day's summary, its callback latencies as histograms (so that percentiles over
all days can be merged exactly as if the samples had been pooled, to the histogram's
resolution), or the reason the day failed.

A day's task also runs the user's listeners: one named as "MODULE:FUNCTION" is imported in the
worker afresh for each day, and its module's `day_result()` comes back with the day. With an
events directory, each day writes its own event file there, named after its session.

Everything is checked that can be before a cluster starts (sessions named twice, the
scheduler's address and whether a scheduler answers at it, clashing event file names), so a
bad argument costs no cluster's start. The command line's multi-day replay is days_command.py;
what it shows, days_report.py.

Failures stay with their day: bad input, an exception out of the replay, or a worker process
that died while replaying it (killed by a signal, out of memory) make that day fail with its
file and reason; the other days go on. A day whose worker died is run once more on a fresh
worker before it is reported (the scheduler's allowed-failures setting).
"""
from __future__ import annotations

import dataclasses
import logging
import os
import sys
import threading
import time as _time
import uuid
from typing import Any, Callable, Iterable, Sequence

from .results import LatencyHistogram

# Session encodings the replay reads, by file-name ending, when the format does not say.
DEFAULT_SUFFIXES = (".jsonl", ".jsonl.gz")

PROGRESS_TOPIC = "tidesim-replay-progress"
PROGRESS_INTERVAL_S = 0.5
WORKER_WAIT_S = 30.0  # how long an existing cluster without workers is given to get some
CONNECT_TIMEOUT_S = 3.0  # how long the scheduler's port is given to answer
CLIENT_TIMEOUT_S = 10.0  # and the Dask client to connect, once the port answered
EVENTS_SUFFIX = ".events.jsonl.gz"  # a day's event file in an --events directory
EVENT_FILE_ENDINGS = (EVENTS_SUFFIX, ".events.jsonl")

# Scheduler settings of the local cluster: a task may be on a worker that dies once (it is then
# run again elsewhere) but not twice; a worker holds only the task it runs, so that a worker's
# death never counts against a day that was merely waiting behind the one that killed it.
LOCAL_SCHEDULER_CONFIG = {
    "distributed.scheduler.allowed-failures": 1,
    "distributed.scheduler.worker-saturation": 1.0,
}


class SessionsNotFound(ValueError):
    """A session argument names nothing that can be replayed."""


class ClusterUnavailable(RuntimeError):
    """The local cluster could not be started, or the scheduler could not be reached."""


# ---------------------------------------------------------------------------------------------
# Finding the sessions


def session_suffixes() -> tuple[str, ...]:
    """The file-name endings of the session encodings the reader understands."""
    from . import format as session_format
    suffixes = getattr(session_format, "SESSION_SUFFIXES", None)
    return tuple(suffixes) if suffixes else DEFAULT_SUFFIXES


def find_sessions(args: Iterable[str]) -> list[str]:
    """The session files named by `args`, in argument order: a file as given, a directory as
    every session file directly in it, in name order (event files written by --events, which
    end in .events.jsonl.gz, are not sessions). Raises SessionsNotFound for a path that does
    not exist or a directory without sessions."""
    suffixes = session_suffixes()
    out: list[str] = []
    for arg in args:
        if os.path.isdir(arg):
            names = sorted(n for n in os.listdir(arg)
                           if n.endswith(suffixes) and not n.endswith(EVENT_FILE_ENDINGS)
                           and os.path.isfile(os.path.join(arg, n)))
            if not names:
                raise SessionsNotFound(f"{arg}: no session files ({', '.join(suffixes)}) in the directory")
            out.extend(os.path.join(arg, n) for n in names)
        elif os.path.exists(arg):
            out.append(arg)
        else:
            raise SessionsNotFound(f"{arg}: no such file or directory")
    return out


# ---------------------------------------------------------------------------------------------
# Checking the arguments before a cluster starts


class SessionNamedTwice(ValueError):
    """The same session file is named twice among the sessions of a run."""


def check_distinct(sessions: Sequence[str]) -> None:
    """Raises SessionNamedTwice for a session file that appears twice (by file identity, so
    `DIR` and `DIR/day.jsonl.gz` are seen to overlap): it would be replayed and counted twice."""
    seen: dict[Any, str] = {}
    for path in sessions:
        try:
            st = os.stat(path)
            key: Any = (st.st_dev, st.st_ino)
        except OSError:
            key = os.path.abspath(path)
        if key in seen:
            same = "" if seen[key] == path else f" (also as {seen[key]})"
            raise SessionNamedTwice(f"{path}: the session is named twice{same}; each day is "
                                    "replayed once")
        seen[key] = path


def events_file_name(session: str) -> str:
    """The name of a day's event file in an `--events` directory: the session's file name with
    its encoding's ending replaced, e.g. 2026-01-05.jsonl.gz -> 2026-01-05.events.jsonl.gz."""
    name = os.path.basename(session)
    for suffix in sorted(session_suffixes(), key=len, reverse=True):
        if name.endswith(suffix) and len(name) > len(suffix):
            name = name[:-len(suffix)]
            break
    return name + EVENTS_SUFFIX


def events_paths(sessions: Sequence[str], directory: str) -> list[str]:
    """The event file of each session in `directory`; raises ValueError when two sessions would
    write the same file."""
    out: list[str] = []
    by_name: dict[str, str] = {}
    for s in sessions:
        name = events_file_name(s)
        if name in by_name:
            raise ValueError(f"{s} and {by_name[name]} would write the same event file {name} "
                             "(sessions in different directories with the same name)")
        by_name[name] = s
        out.append(os.path.join(directory, name))
    return out


def parse_scheduler(address: str) -> tuple[str, str, int]:
    """(protocol, host, port) of a scheduler address such as tcp://10.0.0.5:8786 or
    10.0.0.5:8786; raises ValueError saying what is wrong (no port, a port out of range, an
    unknown protocol) without contacting anything."""
    from distributed.comm import parse_address
    from distributed.comm.registry import get_backend
    try:
        protocol, loc = parse_address(address)
        get_backend(protocol)
    except ValueError as exc:
        raise ValueError(f"bad scheduler address {address!r}: {exc}") from None
    if protocol not in ("tcp", "tls", "ws", "wss"):
        return protocol, loc, 0  # inproc, ucx: left to the protocol to judge
    host, sep, port = loc.rpartition(":")
    host = host.strip("[]")
    if not sep or not host:
        raise ValueError(f"bad scheduler address {address!r}: expected HOST:PORT "
                         "(e.g. tcp://10.0.0.5:8786)")
    try:
        number = int(port)
    except ValueError:
        raise ValueError(f"bad scheduler address {address!r}: the port {port!r} is not a "
                         "number") from None
    if not 1 <= number <= 65535:
        raise ValueError(f"bad scheduler address {address!r}: the port {number} is not in "
                         "1..65535")
    return protocol, host, number


def check_reachable(address: str, timeout: float = CONNECT_TIMEOUT_S) -> None:
    """Raises ClusterUnavailable unless a TCP connection to the scheduler's host and port opens
    within `timeout` seconds (the Dask client itself retries for much longer)."""
    import socket
    protocol, host, port = parse_scheduler(address)
    if not port:
        return
    try:
        socket.create_connection((host, port), timeout=timeout).close()
    except OSError as exc:
        why = "timed out" if isinstance(exc, TimeoutError) else (exc.strerror or str(exc))
        raise ClusterUnavailable(f"cannot reach the scheduler at {address}: {why} "
                                 f"(waited up to {timeout:.0f} s)") from None
    # the port answers: check that a Dask scheduler is what answers it (with the client's TLS
    # settings from the Dask configuration), since the client would otherwise wait a long
    # while on anything else, or fail reading what it takes for a message
    import asyncio

    async def handshake() -> None:
        from distributed.comm import connect
        from distributed.security import Security
        comm = await connect(address, timeout=timeout,
                             **Security().get_connection_args("client"))
        await comm.close()

    try:
        asyncio.run(asyncio.wait_for(handshake(), timeout + 1))
    except (Exception, MemoryError) as exc:  # MemoryError: a bogus length read as a frame's
        raise ClusterUnavailable(f"cannot reach the scheduler at {address}: something answers "
                                 f"there, but not as a Dask scheduler ({type(exc).__name__}: "
                                 f"{str(exc)[:200]})") from None


# ---------------------------------------------------------------------------------------------
# One day, on a worker


@dataclasses.dataclass
class DayOutcome:
    """What one day's task hands back: its summary and latency histograms, or why it failed.
    A day stopped at bad input has both a summary (of what it delivered) and a reason.
    `listener_results` holds, by module name, what each listener module's `day_result()`
    returned for the day (also in the summary as "listener_results")."""

    index: int
    session: str
    summary: dict[str, Any] | None = None
    histograms: dict[str, LatencyHistogram] = dataclasses.field(default_factory=dict)
    failed: str | None = None  # the reason, beginning with the file's name
    # per callback kind, over the calls whose bridge share was sampled: [calls, their bridge
    # time, their whole time] in ns, so that the bridge's share over many days is a ratio of
    # totals exactly as in one day
    sampled: dict[str, list[int]] = dataclasses.field(default_factory=dict)
    listener_results: dict[str, Any] = dataclasses.field(default_factory=dict)
    events_file: str | None = None

    @property
    def exit_code(self) -> int:
        if self.summary is not None:
            return self.summary["exit_code"]
        return 2


# One replay at a time per process, even on a worker with several threads: the bridge's state
# is process-wide.
_REPLAY_LOCK = threading.Lock()


class _WorkerProgress:
    """Sends the day's entry count to the client now and then, through the scheduler's events."""

    def __init__(self, index: int, topic: str) -> None:
        from distributed import get_worker
        self.worker = get_worker()
        self.index = index
        self.topic = topic
        self.last = 0.0

    def __call__(self, entries: int, fraction: float, vtime: Any) -> None:
        now = _time.monotonic()
        if now - self.last >= PROGRESS_INTERVAL_S:
            self.last = now
            self.worker.log_event(self.topic, {"day": self.index, "entries": entries})


def _fresh_listeners(specs: Sequence[tuple[Any, Any, bool]],
                     import_path: Sequence[str]) -> tuple[list, dict[str, Any]]:
    """The day's listener registrations: a registration whose callable is given as
    "MODULE:FUNCTION" has its module imported afresh (as a new process would import it), so
    that no state of an earlier day's run reaches this one; callables given as objects are
    used as they are. Returns the registrations and the modules imported, by name."""
    from .listeners import load_function
    out, modules = [], {}
    for event, fn, user in specs:
        if isinstance(fn, str):
            module, _, function = fn.partition(":")
            loaded = sys.modules.get(module)
            if module not in modules and loaded is not None and \
                    str(getattr(loaded, "__file__", None) or "").endswith(".py"):
                del sys.modules[module]  # a module of Python source; an extension stays loaded
            added = [p for p in import_path if p not in sys.path]
            sys.path[:0] = added
            try:
                fn = load_function(module, function)
            finally:
                for p in added:
                    sys.path.remove(p)
            modules[module] = sys.modules.get(module)
        out.append((event, fn, user))
    return out, modules


def _day_results(modules: dict[str, Any], res: Any) -> dict[str, Any]:
    """What each listener module's `day_result()` returns for the day, by module name. A
    result that raises or cannot be written as JSON is a listener problem of the day."""
    import json
    from .results import Tally
    out: dict[str, Any] = {}
    tally = Tally(res, None)
    for name, module in modules.items():
        fn = getattr(module, "day_result", None)
        if not callable(fn):
            continue
        try:
            value = fn()
            json.dumps(value, allow_nan=True)
        except Exception as exc:
            tally.problem("listener", name, "day_result", None, exc)
            value = None
        out[name] = value
    return out


def replay_day(index: int, path: str, options: dict[str, Any],
               progress_topic: str | None = None) -> DayOutcome:
    """Replays one session in this process and returns its outcome. Never raises for a bad day:
    bad input, a strategy that cannot be built and any exception out of the replay become the
    day's failure reason.

    options are those of `replay()`, and: listeners whose callable may be "MODULE:FUNCTION"
    (imported afresh for the day; its `day_result()` collected), import_path (directories put
    first on sys.path while such modules are imported)."""
    from .format import SessionFormatError
    from .listeners import ListenerSpecError
    from .report import summary_json
    from .runner import ReplayAborted, replay

    options = dict(options)
    import_path = options.pop("import_path", ())
    progress = None
    if progress_topic is not None:
        try:
            progress = _WorkerProgress(index, progress_topic)
        except ValueError:  # not on a worker
            progress = None
    out = DayOutcome(index, path, events_file=options.get("events_to"))
    with _REPLAY_LOCK:
        try:
            listeners, modules = _fresh_listeners(options.pop("listeners", ()), import_path)
            res = replay(path, report=None, progress=progress, listeners=listeners, **options)
        except SessionFormatError as exc:  # names the file and line itself
            out.failed = str(exc)
            return out
        except (ReplayAborted, ListenerSpecError) as exc:
            out.failed = f"{path}: {exc}"
            return out
        except OSError as exc:
            out.failed = f"{path}: {exc.strerror or exc}"
            return out
        except Exception as exc:
            out.failed = f"{path}: {type(exc).__name__}: {exc}"
            return out
        out.listener_results = _day_results(modules, res)
        out.summary = summary_json(res)
        if modules:
            out.summary["listener_results"] = out.listener_results
        out.histograms = {name: h for name, h in res.latency_ns.items() if len(h)}
        out.sampled = {name: [len(h), int(res.sampled_bridge_ns[name]), int(res.sampled_ns[name])]
                       for name, h in res.bridge_ns.items() if len(h)}
        if res.stopped is not None:
            out.failed = f"{res.stopped} (stopped at bad input)"
    return out


# ---------------------------------------------------------------------------------------------
# Many days, on a cluster


@dataclasses.dataclass
class DaysResult:
    """The outcomes of a multi-day replay, in session order (one per session given)."""

    days: list[DayOutcome]
    wall_s: float  # from handing out the first day to the last outcome
    start_s: float  # starting or connecting to the cluster
    workers: int
    interrupted: bool = False
    dashboard: str | None = None  # the Dask dashboard's address, when one is served

    @property
    def exit_code(self) -> int:
        """0: every day replayed cleanly; 1: some day failed or had problems; 130: interrupted."""
        if self.interrupted:
            return 130
        return 0 if all(d.exit_code == 0 for d in self.days) else 1


def _death_reason(exc: BaseException) -> str:
    from distributed import KilledWorker
    if isinstance(exc, KilledWorker):
        return ("its worker process died while replaying it, also when run again on another "
                "worker (killed by a signal or out of memory)")
    return f"{type(exc).__name__}: {exc}"


class _Tally:
    """Entries delivered so far, across the cluster: finished days plus the running ones' counts."""

    def __init__(self, total_days: int, report: Callable[..., None] | None) -> None:
        self.total_days = total_days
        self.report = report
        self.done = 0
        self.finished_entries = 0
        self.running: dict[int, int] = {}
        self.finished: set[int] = set()
        self.lock = threading.Lock()

    def running_update(self, event: Any) -> None:
        _, msg = event
        with self.lock:
            if msg["day"] not in self.finished:
                self.running[msg["day"]] = msg["entries"]
        self.show()

    def finished_day(self, outcome: DayOutcome) -> None:
        with self.lock:
            self.finished.add(outcome.index)
            self.running.pop(outcome.index, None)
            self.done += 1
            if outcome.summary is not None:
                self.finished_entries += outcome.summary["entries"]
        self.show(final=self.done == self.total_days)

    def show(self, final: bool = False) -> None:
        if self.report is not None:
            with self.lock:  # also keeps the event thread's and this thread's drawing apart
                entries = self.finished_entries + sum(self.running.values())
                self.report(self.done, self.total_days, entries, final)


def _local_cluster(workers: int):
    import dask
    from distributed import LocalCluster
    with dask.config.set(LOCAL_SCHEDULER_CONFIG):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            dashboard_address=":0", silence_logs=logging.CRITICAL)


def _dashboard(cluster: Any) -> str | None:
    """The dashboard's address of a local cluster, or None when it serves none (the dashboard
    needs the optional bokeh package)."""
    try:
        scheduler = cluster.scheduler
        if scheduler is None or "dashboard" not in getattr(scheduler, "services", {}):
            return None
        link = cluster.dashboard_link
    except Exception:  # any failure here only loses a convenience
        return None
    import importlib.util
    if importlib.util.find_spec("bokeh") is None:
        link += " (its pages need the bokeh package: pip install 'bokeh>=3.1')"
    return link


def _connect(scheduler: str | None, workers: int | None) -> tuple[Any, Any]:
    from distributed import Client
    if scheduler is not None:
        try:
            check_reachable(scheduler)
        except ValueError as exc:
            raise ClusterUnavailable(str(exc)) from None
        try:
            return Client(scheduler, set_as_default=False, timeout=CLIENT_TIMEOUT_S), None
        except Exception as exc:
            raise ClusterUnavailable(f"cannot reach the scheduler at {scheduler}: "
                                     f"{type(exc).__name__}: {exc}") from None
    try:
        cluster = _local_cluster(workers or os.cpu_count() or 1)
    except (OSError, TimeoutError, RuntimeError) as exc:
        raise ClusterUnavailable(f"cannot start a local cluster: {type(exc).__name__}: {exc}") from None
    return Client(cluster, set_as_default=False), cluster


def replay_days(sessions: Sequence[str], *, workers: int | None = None,
                scheduler: str | None = None, client: Any = None,
                progress: Callable[[int, int, int, bool], None] | None = None,
                announce: Callable[[str], None] | None = None,
                events_to: str | None = None,
                **options: Any) -> DaysResult:
    """Replays every session in its own task on a Dask cluster and returns the outcomes in
    session order.

    workers: size of the local cluster started for this run (default: the machine's cores);
    scheduler: the address of an existing cluster's scheduler instead;
    client: an existing `distributed.Client` instead of either (left open);
    progress: called as progress(days_done, days, entries, final) while the days run;
    announce: called with a line for a person once a local cluster is up (its dashboard);
    events_to: a directory that receives each day's event file, named after its session
        (see events_file_name); made if missing; on a cluster of several machines it must be
        one that every worker writes to (a shared file system);
    options: passed on to each day's replay (keep_going, drain_every, listeners, ...).
        A listener given as (EVENT, "MODULE:FUNCTION", user_tier) is imported in the worker,
        afresh for every day, and its module's `day_result()`, if it has one, is called after
        the day; its value comes back in `DayOutcome.listener_results[MODULE]`.

    The local cluster's worker processes are spawned: a script that calls this starts its
    work under `if __name__ == "__main__":`.
    """
    from distributed import as_completed

    sessions = list(sessions)
    check_distinct(sessions)
    day_options: list[dict[str, Any]] = [options] * len(sessions)
    if events_to is not None:
        events_to = os.fspath(events_to)
        if os.path.exists(events_to) and not os.path.isdir(events_to):
            raise ValueError(f"events_to {events_to}: several days write one event file each "
                             "into a directory, and this is a file")
        paths = events_paths(sessions, events_to)
        os.makedirs(events_to, exist_ok=True)
        day_options = [{**options, "events_to": p} for p in paths]
    if any(isinstance(fn, str) for _, fn, _ in options.get("listeners", ())):
        day_options = [{**o, "import_path": [os.getcwd()]} for o in day_options]
    t0 = _time.perf_counter()
    cluster = None
    own_client = client is None
    if client is None:
        client, cluster = _connect(scheduler, workers)
    try:
        dashboard = _dashboard(cluster) if cluster is not None else None
        if dashboard is not None and announce is not None:
            announce(f"Dask dashboard: {dashboard}")
        n_workers = len(client.scheduler_info(n_workers=-1)["workers"])
        if n_workers == 0:  # an existing cluster whose workers have not (yet) joined
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT_S)
            except TimeoutError:
                raise ClusterUnavailable(f"the scheduler at {scheduler or client.scheduler.address} "
                                         f"has no workers (waited {WORKER_WAIT_S:.0f} s)") from None
            n_workers = len(client.scheduler_info(n_workers=-1)["workers"])
        start_s = _time.perf_counter() - t0
        tally = _Tally(len(sessions), progress)
        topic = f"{PROGRESS_TOPIC}-{uuid.uuid4().hex}"
        if progress is not None:
            client.subscribe_topic(topic, tally.running_update)
        run = uuid.uuid4().hex[:12]
        t1 = _time.perf_counter()
        futures = {client.submit(replay_day, i, path, day_options[i],
                                 topic if progress is not None else None,
                                 key=f"replay-day-{i}-{run}", pure=False): i
                   for i, path in enumerate(sessions)}
        tally.show()  # the bar appears once the days are handed out
        outcomes: dict[int, DayOutcome] = {}
        interrupted = False
        try:
            for fut in as_completed(futures, loop=client.loop):
                i = futures[fut]
                if fut.status == "finished":
                    outcome = fut.result()
                else:  # erred (its workers died) or cancelled (the scheduler lost it)
                    try:
                        exc = fut.exception()
                    except Exception as lost:
                        exc = lost
                    outcome = DayOutcome(i, sessions[i],
                                         failed=f"{sessions[i]}: {_death_reason(exc)}")
                outcomes[i] = outcome
                tally.finished_day(outcome)
        except KeyboardInterrupt:
            interrupted = True
            client.cancel(list(futures))
        wall_s = _time.perf_counter() - t1
        if progress is not None:
            client.unsubscribe_topic(topic)
        days = [outcomes.get(i) or
                DayOutcome(i, path, failed=f"{path}: not replayed, the run was interrupted")
                for i, path in enumerate(sessions)]
        return DaysResult(days, wall_s, start_s, n_workers, interrupted, dashboard)
    finally:
        if own_client:
            client.close()
        if cluster is not None:
            cluster.close()


def start_cost(workers: int) -> float:
    """Seconds to start a local cluster of `workers` processes and have them ready, then close it."""
    from distributed import Client
    t0 = _time.perf_counter()
    cluster = _local_cluster(workers)
    with Client(cluster, set_as_default=False) as client:
        client.wait_for_workers(workers)
        elapsed = _time.perf_counter() - t0
    cluster.close()
    return elapsed

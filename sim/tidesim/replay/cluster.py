"""Replaying many sessions at once: each day in a worker process of a Dask cluster.

The bridge keeps process-wide state, so a process replays one day at a time; scaling out means
many worker processes. A local cluster of processes with one thread each is started by default;
an existing cluster is used through its scheduler's address. Each day runs as one task,
`replay_day`, which starts from a clean bridge state (as a single replay does) and returns a
`DayOutcome`: the day's summary, its callback latencies as histograms (so that percentiles over
all days can be merged exactly as if the samples had been pooled, to the histogram's
resolution), or the reason the day failed.

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
from typing import Any, Callable, Iterable, Sequence, TextIO

from .results import LatencyHistogram

# Session encodings the replay reads, by file-name ending, when the format does not say.
DEFAULT_SUFFIXES = (".jsonl", ".jsonl.gz")

PROGRESS_TOPIC = "tidesim-replay-progress"
PROGRESS_INTERVAL_S = 0.5
WORKER_WAIT_S = 30.0  # how long an existing cluster without workers is given to get some

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
    every session file directly in it, in name order. Raises SessionsNotFound for a path that
    does not exist or a directory without sessions."""
    suffixes = session_suffixes()
    out: list[str] = []
    for arg in args:
        if os.path.isdir(arg):
            names = sorted(n for n in os.listdir(arg)
                           if n.endswith(suffixes) and os.path.isfile(os.path.join(arg, n)))
            if not names:
                raise SessionsNotFound(f"{arg}: no session files ({', '.join(suffixes)}) in the directory")
            out.extend(os.path.join(arg, n) for n in names)
        elif os.path.exists(arg):
            out.append(arg)
        else:
            raise SessionsNotFound(f"{arg}: no such file or directory")
    return out


# ---------------------------------------------------------------------------------------------
# One day, on a worker


@dataclasses.dataclass
class DayOutcome:
    """What one day's task hands back: its summary and latency histograms, or why it failed.
    A day stopped at bad input has both a summary (of what it delivered) and a reason."""

    index: int
    session: str
    summary: dict[str, Any] | None = None
    histograms: dict[str, LatencyHistogram] = dataclasses.field(default_factory=dict)
    failed: str | None = None  # the reason, beginning with the file's name

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


def replay_day(index: int, path: str, options: dict[str, Any],
               progress_topic: str | None = None) -> DayOutcome:
    """Replays one session in this process and returns its outcome. Never raises for a bad day:
    bad input, a strategy that cannot be built and any exception out of the replay become the
    day's failure reason."""
    from .format import SessionFormatError
    from .report import summary_json
    from .runner import ReplayAborted, replay

    progress = None
    if progress_topic is not None:
        try:
            progress = _WorkerProgress(index, progress_topic)
        except ValueError:  # not on a worker
            progress = None
    out = DayOutcome(index, path)
    with _REPLAY_LOCK:
        try:
            res = replay(path, report=None, progress=progress, **options)
        except SessionFormatError as exc:  # names the file and line itself
            out.failed = str(exc)
            return out
        except ReplayAborted as exc:
            out.failed = f"{path}: {exc}"
            return out
        except OSError as exc:
            out.failed = f"{path}: {exc.strerror or exc}"
            return out
        except Exception as exc:
            out.failed = f"{path}: {type(exc).__name__}: {exc}"
            return out
        out.summary = summary_json(res)
        out.histograms = {name: h for name, h in res.latency_ns.items() if len(h)}
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


def _connect(scheduler: str | None, workers: int | None) -> tuple[Any, Any]:
    from distributed import Client
    from distributed.comm import parse_address
    from distributed.comm.registry import get_backend
    if scheduler is not None:
        try:
            get_backend(parse_address(scheduler)[0])
        except ValueError as exc:
            raise ClusterUnavailable(f"bad scheduler address {scheduler!r}: {exc}") from None
        try:
            return Client(scheduler, set_as_default=False), None
        except (OSError, TimeoutError) as exc:
            raise ClusterUnavailable(f"cannot reach the scheduler at {scheduler}: {exc}") from None
    try:
        cluster = _local_cluster(workers or os.cpu_count() or 1)
    except (OSError, TimeoutError, RuntimeError) as exc:
        raise ClusterUnavailable(f"cannot start a local cluster: {type(exc).__name__}: {exc}") from None
    return Client(cluster, set_as_default=False), cluster


def replay_days(sessions: Sequence[str], *, workers: int | None = None,
                scheduler: str | None = None, client: Any = None,
                progress: Callable[[int, int, int, bool], None] | None = None,
                **options: Any) -> DaysResult:
    """Replays every session in its own task on a Dask cluster and returns the outcomes in
    session order.

    workers: size of the local cluster started for this run (default: the machine's cores);
    scheduler: the address of an existing cluster's scheduler instead;
    client: an existing `distributed.Client` instead of either (left open);
    progress: called as progress(days_done, days, entries, final) while the days run;
    options: passed on to each day's replay (keep_going, drain_every, listeners, ...).

    The local cluster's worker processes are spawned: a script that calls this starts its
    work under `if __name__ == "__main__":`.
    """
    from distributed import as_completed

    sessions = list(sessions)
    t0 = _time.perf_counter()
    cluster = None
    own_client = client is None
    if client is None:
        client, cluster = _connect(scheduler, workers)
    try:
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
        futures = {client.submit(replay_day, i, path, options,
                                 topic if progress is not None else None,
                                 key=f"replay-day-{i}-{run}", pure=False): i
                   for i, path in enumerate(sessions)}
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
        return DaysResult(days, wall_s, start_s, n_workers, interrupted)
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


# ---------------------------------------------------------------------------------------------
# The command line's multi-day replay


def run_command(args: Any, stdout: TextIO = sys.stdout, stderr: TextIO = sys.stderr) -> int:
    """`tidesim-replay replay` with several sessions or a directory; returns the exit status
    (0 all days clean, 1 some day failed or had problems, 2 bad arguments, 130 interrupted)."""
    from . import days_report

    def fail(msg: str) -> int:
        print(f"tidesim-replay: {msg}", file=stderr)
        return 2

    for flag, value in (("--record", args.record), ("--events", getattr(args, "events", None)),
                        ("--listener", getattr(args, "listener", None)),
                        ("--system-listener", getattr(args, "system_listener", None))):
        if value:
            return fail(f"{flag} takes a single session")
    options: dict[str, Any] = {"allow_undelivered": getattr(args, "allow_undelivered", False)}
    try:
        from .selection import Selection
        select = Selection(getattr(args, "codes", None), getattr(args, "start", None),
                           getattr(args, "end", None))
    except ValueError as exc:
        return fail(str(exc))
    if select.active:
        options["select"] = select
    if args.drain_every < 1:
        return fail("--drain-every must be at least 1")
    if args.workers is not None and args.workers < 1:
        return fail("--workers must be at least 1")
    if args.workers is not None and args.scheduler:
        return fail("--workers starts a local cluster; it cannot be combined with --scheduler")
    if args.plot:
        from .report import check_plotting
        try:
            check_plotting()
        except ImportError as exc:
            return fail(str(exc))
    try:
        sessions = find_sessions(args.session)
    except SessionsNotFound as exc:
        return fail(str(exc))
    show = args.progress if args.progress is not None else stderr.isatty()
    bar = days_report.DaysProgress(stderr) if show else None
    try:
        result = replay_days(sessions, workers=args.workers, scheduler=args.scheduler,
                             progress=bar, keep_going=args.keep_going,
                             drain_every=args.drain_every, **options)
    except KeyboardInterrupt:
        if bar is not None:
            bar.close()
        print("tidesim-replay: interrupted before any day finished", file=stderr)
        return 130
    except ClusterUnavailable as exc:
        if bar is not None:
            bar.close()
        return fail(str(exc))
    if bar is not None:
        bar.close()
    for d in result.days:
        if d.failed:
            print(f"replay: {d.failed}", file=stderr)
    if args.json:
        days_report.write_json(result, stdout)
    elif not args.quiet:
        print(days_report.summary_text(result), file=stdout)
    if args.plot:
        days_report.plot(result, args.plot)
        print(f"plot written to {args.plot}", file=stderr)
    return result.exit_code

"""`tidesim-replay replay` with several sessions or a directory: the arguments checked before a
cluster starts, the days replayed on it (cluster.py), then the report (days_report.py), the
comparison with a baseline (baseline.py) and the exit status."""
from __future__ import annotations

import os
import sys
from typing import Any, TextIO

from .cluster import (ClusterUnavailable, SessionNamedTwice, SessionsNotFound, check_distinct,
                      events_paths, find_sessions, parse_scheduler, replay_days)


class _Refused(Exception):
    """An argument refused before anything starts; the message says why."""


def _listener_specs(args: Any) -> list[tuple[str, str, bool]]:
    """(EVENT name or "*", "MODULE:FUNCTION", user tier) of each --system-listener and
    --listener, after importing each module once here, so that a misspelt name is refused
    before a cluster starts. The workers import the modules again, afresh for every day."""
    import importlib

    import tidesim
    from .listeners import ListenerSpecError, parse_spec, resolve
    specs: list[tuple[str, str, bool]] = []
    given = [(s, False) for s in getattr(args, "system_listener", None) or []] + \
            [(s, True) for s in getattr(args, "listener", None) or []]
    if not given:
        return specs
    tidesim.install()
    EVENT = importlib.import_module("orvane.tamsel.core.events").EVENT
    for spec, user in given:
        try:
            resolve([spec], user, EVENT)
        except ListenerSpecError as exc:
            raise _Refused(f"{'--listener' if user else '--system-listener'} {exc}") from None
        event, module, function = parse_spec(spec)
        specs.append((event, f"{module}:{function}", user))
    return specs


def _events_dir(args: Any, sessions: list[str]) -> str | None:
    """The --events directory: made if missing; an existing one must be empty unless --force."""
    target = getattr(args, "events", None)
    if not target:
        return None
    if os.path.exists(target) and not os.path.isdir(target):
        raise _Refused(f"--events {target}: with several sessions --events names a directory "
                       "(one event file per day), and this is a file")
    if os.path.isdir(target):
        if os.listdir(target) and not getattr(args, "force", False):
            raise _Refused(f"refusing to overwrite {target} (use --force)")
        if not os.access(target, os.W_OK | os.X_OK):
            raise _Refused(f"--events {target}: the directory is not writable")
    else:
        parent = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(parent):
            raise _Refused(f"--events {target}: the directory {parent} does not exist")
    try:
        events_paths(sessions, target)
    except ValueError as exc:
        raise _Refused(f"--events: {exc}") from None
    here = os.path.realpath(target)
    for s in sessions:
        if os.path.dirname(os.path.realpath(s)) == here:
            raise _Refused(f"--events {target}: holds the session {s}; write the event files "
                           "into a directory of their own")
    return target


def _options(args: Any) -> dict[str, Any]:
    from .selection import Selection
    options: dict[str, Any] = {"allow_undelivered": getattr(args, "allow_undelivered", False)}
    if getattr(args, "record", None):
        raise _Refused("--record takes a single session")
    try:
        select = Selection(getattr(args, "codes", None), getattr(args, "start", None),
                           getattr(args, "end", None))
    except ValueError as exc:
        raise _Refused(str(exc)) from None
    if select.active:
        options["select"] = select
    if getattr(args, "framework", None):
        # Checked here, so that a module that cannot be imported is refused before a cluster
        # starts; each worker then loads it again for every day by the same text.
        from .adapter import FrameworkSpecError, load_framework
        try:
            load_framework(args.framework)
        except FrameworkSpecError as exc:
            raise _Refused(str(exc)) from None
        options["framework"] = args.framework
    if args.drain_every < 1:
        raise _Refused("--drain-every must be at least 1")
    if args.workers is not None and args.workers < 1:
        raise _Refused("--workers must be at least 1")
    if args.workers is not None and args.scheduler:
        raise _Refused("--workers starts a local cluster; it cannot be combined with --scheduler")
    if args.scheduler:
        try:
            parse_scheduler(args.scheduler)
        except ValueError as exc:
            raise _Refused(str(exc)) from None
    if args.plot:
        from .checks import UsageError, check_plot_target
        try:
            check_plot_target(args.plot)
        except UsageError as exc:
            raise _Refused(str(exc)) from None
    return options


def run_command(args: Any, stdout: TextIO = sys.stdout, stderr: TextIO = sys.stderr) -> int:
    """Returns the exit status: 0 all days clean (and, with --baseline, every digest as in the
    baseline), 1 some day failed or had problems, or a digest changed, 2 bad arguments, 130
    interrupted."""
    from . import days_report
    from .baseline import BaselineError, compare, load_baseline, write_comparison

    def fail(msg: str) -> int:
        print(f"tidesim-replay: {msg}", file=stderr)
        return 2

    try:
        options = _options(args)
        sessions = find_sessions(args.session)
        check_distinct(sessions)
        listeners = _listener_specs(args)
        events_dir = _events_dir(args, sessions)
        baseline = load_baseline(args.baseline) if getattr(args, "baseline", None) else None
    except (_Refused, SessionsNotFound, SessionNamedTwice, BaselineError) as exc:
        return fail(str(exc))
    if listeners:
        options["listeners"] = listeners
    show = args.progress if args.progress is not None else stderr.isatty()
    bar = days_report.DaysProgress(stderr) if show else None

    def announce(line: str) -> None:
        if bar is not None:
            bar.write(line)
        else:
            print(line, file=stderr)

    try:
        result = replay_days(sessions, workers=args.workers, scheduler=args.scheduler,
                             progress=bar, announce=announce, keep_going=args.keep_going,
                             drain_every=args.drain_every, digest=True, events_to=events_dir,
                             **options)
    except KeyboardInterrupt:
        if bar is not None:
            bar.close()
        print("tidesim-replay: interrupted before any day finished", file=stderr)
        return 130
    except ClusterUnavailable as exc:
        if bar is not None:
            bar.close()
        return fail(str(exc))
    except OSError as exc:  # the --events directory could not be made
        if bar is not None:
            bar.close()
        return fail(f"{exc.filename or ''}: {exc.strerror or exc}")
    if bar is not None:
        bar.close()
    for d in result.days:
        if d.failed:
            print(f"replay: {d.failed}", file=stderr)
    comparison = (compare(baseline, days_report.day_digests(result), args.baseline)
                  if baseline is not None else None)
    if args.json:
        doc = days_report.summary_document(result)
        if comparison is not None:
            doc["baseline"] = comparison.to_json()
        days_report.write_document(doc, stdout)
    elif not args.quiet:
        print(days_report.summary_text(result), file=stdout)
    if comparison is not None:
        write_comparison(comparison, stderr if args.json or args.quiet else stdout)
    stdout.flush()
    if args.plot:
        try:
            days_report.plot(result, args.plot)
        except (OSError, ValueError) as exc:
            print(f"tidesim-replay: the plot could not be written: {exc}", file=stderr)
            return max(result.exit_code, 1)
        print(f"plot written to {args.plot}", file=stderr)
    if events_dir is not None:
        written = sum(1 for d in result.days if d.summary is not None)
        print(f"events written to {events_dir}: {written} of {len(result.days)} days", file=stderr)
    code = result.exit_code
    if code == 0 and comparison is not None and not comparison.equal:
        code = 1
    return code

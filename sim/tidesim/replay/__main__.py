"""Command line of the session replay.

    tidesim-replay [SESSION] [--keep-going] [--json] [--plot FILE.png] [--progress|--no-progress]
                   [--drain-every N] [--record OUT] [--events FILE] [--allow-undelivered]
                   [--listener EVENT=MODULE:FUNCTION] [--system-listener EVENT=MODULE:FUNCTION]
                   [--securities CODE[,CODE...]] [--from HH:MM] [--to HH:MM]
                   [--framework MODULE[:NAME]] [--force]
    tidesim-replay SESSION SESSION ...|DIR [--workers N|--scheduler ADDRESS] [--keep-going]
                   [--json] [--plot FILE.png] [--progress|--no-progress] [--drain-every N]
                   [--events DIR [--force]] [--baseline RUN.json] [--listener ...]
                   [--system-listener ...] [--securities ...] [--from HH:MM] [--to HH:MM]
    tidesim-replay generate OUT [--securities N] [--seed S] [--day YYYY-MM-DD] [--days N]
                   [--l2-rate R] [--orders N] [--algo-parents N] [--levels N] [--until HH:MM]
                   [--force] [--progress|--no-progress]
    tidesim-replay diff A B [--full] [--max N]
    tidesim-replay cut IN OUT [--securities CODE[,CODE...]] [--from HH:MM] [--to HH:MM] [--force]
    tidesim-replay convert IN OUT [--force]

Without SESSION the bundled default day is replayed. Exit status: 0 when every entry was
delivered and nothing raised; 1 when the replay completed but callbacks, timers or listeners
raised, entries fell outside the session's day (unless --allow-undelivered), or, with
--keep-going, bad lines were skipped; 2 when it stopped at bad input, could not start, or an
argument was refused (every command that writes refuses an existing target unless --force:
"refusing to overwrite PATH (use --force)"); 130 when interrupted (the summary then covers
what was delivered); 141 when the reader of stdout went away.
`diff` exits 0 when the event streams are equal and 1 when they differ (two directories:
when any day differs or is on one side only). With --baseline RUN.json, exit 1 also when an
event digest differs from that saved summary's. `convert` writes IN
in the encoding OUT's name asks for (".tsb": binary; ".jsonl.gz", ".jsonl": JSONL); it exits 1
when IN ended cut off (everything before the cut is converted) and 2 on bad input or an OUT
that cannot be written.

Several sessions, or a directory of them, are replayed one day per worker process of a Dask
cluster (see `cluster` and `days_command`); exit status 1 then also means that some day
failed.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import os
import sys
from importlib import resources
from typing import Any, Callable

COMMANDS = ("replay", "generate", "diff", "cut", "convert")
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_CLOSED_PIPE = 141  # as a tool ended by SIGPIPE: the reader of stdout went away


def default_session() -> str:
    return str(resources.files("tidesim") / "data" / "session.jsonl.gz")


def _fail(message: str, command: str = "") -> int:
    print(f"tidesim-replay{' ' + command if command else ''}: {message}", file=sys.stderr)
    return EXIT_USAGE


def _arg(parse: Callable[[str], Any], what: str) -> Callable[[str], Any]:
    """An argparse type that reports a refused value with its reason."""
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc) or f"bad {what}: {text!r}") from None
    convert.__name__ = what
    return convert


def _positive(text: str) -> int:
    n = int(text)
    if n < 1:
        raise ValueError(f"must be at least 1, not {n}")
    return n


def _non_negative(text: str) -> int:
    n = int(text)
    if n < 0:
        raise ValueError(f"must be at least 0, not {n}")
    return n


def _rate(text: str) -> float:
    r = float(text)
    if not r >= 0 or r == float("inf"):
        raise ValueError(f"must be a finite number >= 0, not {text}")
    return r


def _selection_args(p: argparse.ArgumentParser) -> None:
    from .selection import parse_codes, parse_hhmm
    p.add_argument("--securities", dest="codes", type=_arg(parse_codes, "securities"),
                   metavar="CODE[,CODE...]",
                   help="deliver only these securities' market data (orders and accounts always)")
    p.add_argument("--from", dest="start", type=_arg(parse_hhmm, "time"), metavar="HH:MM",
                   help="deliver market data from this virtual time on")
    p.add_argument("--to", dest="end", type=_arg(parse_hhmm, "time"), metavar="HH:MM",
                   help="deliver market data before this virtual time only")


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="tidesim-replay",
        description="Replay a recorded or generated trading day through the bridge, offline and "
                    "deterministically; generate synthetic days; compare event streams; cut "
                    "sessions.")
    sub = ap.add_subparsers(dest="command")
    rp = sub.add_parser("replay", help="replay a session (the default command)")
    rp.add_argument("session", nargs="*",
                    help="session file (.jsonl, .jsonl.gz or .tsb); default: the bundled day. Several "
                         "files or a directory: each day in its own worker process")
    rp.add_argument("--workers", type=int, metavar="N",
                    help="several sessions: worker processes of the local cluster "
                         "(default: the machine's cores)")
    rp.add_argument("--scheduler", metavar="ADDRESS",
                    help="several sessions: use the running cluster whose scheduler is at ADDRESS")
    rp.add_argument("--keep-going", action="store_true",
                    help="report bad lines and go on instead of stopping at the first")
    rp.add_argument("--json", action="store_true",
                    help="print the summary as JSON on stdout (with the event stream's digest)")
    rp.add_argument("--plot", metavar="FILE.png",
                    help="write events per minute by type and the callback times (png, svg, pdf, ...)")
    prog = rp.add_mutually_exclusive_group()
    prog.add_argument("--progress", dest="progress", action="store_true", default=None,
                      help="show a progress bar on stderr (default: only when stderr is a terminal)")
    prog.add_argument("--no-progress", dest="progress", action="store_false")
    rp.add_argument("--drain-every", type=_arg(_positive, "count"), default=1, metavar="N",
                    help="the consumer empties the event queue after every N entries (default 1)")
    rp.add_argument("--record", metavar="OUT",
                    help="also record the callbacks the strategy receives into a new session file")
    rp.add_argument("--force", action="store_true",
                    help="let --record and --events overwrite existing files, and --events DIR "
                         "write into a directory that is not empty")
    rp.add_argument("--events", metavar="FILE|DIR",
                    help="write the published events, one a line with the session line that "
                         "caused it (compare two with `tidesim-replay diff`); with several "
                         "sessions a directory, one file per day named after its session")
    rp.add_argument("--baseline", metavar="RUN.json",
                    help="compare each day's event digest with a summary saved from an earlier "
                         "run's --json; exit 1 if any day changed")
    rp.add_argument("--allow-undelivered", action="store_true",
                    help="entries before the session's start or after its end are not a problem")
    rp.add_argument("--listener", action="append", default=[], metavar="EVENT=MODULE:FUNCTION",
                    help="call FUNCTION with every EVENT (a member name, or '*' for all), in the "
                         "user tier; MODULE is imported from the working directory and PYTHONPATH")
    rp.add_argument("--system-listener", action="append", default=[],
                    metavar="EVENT=MODULE:FUNCTION",
                    help="likewise in the system tier, before the example listeners")
    _selection_args(rp)
    rp.add_argument("--framework", metavar="MODULE[:NAME]",
                    help="set up this framework instead of the development stand-ins: NAME "
                         "(default replay_adapter) of MODULE makes its adapter (docs/replay.md)")
    rp.add_argument("--quiet", action="store_true", help="no summary (problems are still reported)")

    gp = sub.add_parser("generate", help="write deterministic synthetic sessions")
    gp.add_argument("out", help="output file (.jsonl.gz is compressed, .tsb binary); with --days "
                                "a directory")
    gp.add_argument("--securities", type=_arg(_positive, "count"), default=4)
    gp.add_argument("--seed", type=int, default=1)
    gp.add_argument("--day", type=_arg(_dt.date.fromisoformat, "date"), default=_dt.date(2026, 1, 5),
                    help="the (first) trading day, YYYY-MM-DD (default 2026-01-05)")
    gp.add_argument("--days", type=_arg(_positive, "count"), default=None, metavar="N",
                    help="write N consecutive trading days into the directory OUT as "
                         "YYYY-MM-DD.jsonl.gz, each with its own seed derived from --seed")
    gp.add_argument("--l2-rate", type=_arg(_rate, "rate"), default=0.3,
                    help="level-2 messages per security per second (default 0.3)")
    gp.add_argument("--orders", type=_arg(_non_negative, "count"), default=100)
    gp.add_argument("--algo-parents", type=_arg(_non_negative, "count"), default=3)
    gp.add_argument("--levels", type=_arg(_positive, "count"), default=10,
                    help="price levels per snapshot")
    gp.add_argument("--until", type=_arg(_dt.time.fromisoformat, "time"), default=_dt.time(15, 0),
                    help="end the market data early (HH:MM), for a short day")
    gp.add_argument("--force", action="store_true",
                    help="overwrite OUT if it exists (with --days: write into a non-empty OUT)")
    gprog = gp.add_mutually_exclusive_group()
    gprog.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="with --days: show a progress bar on stderr (default: only when "
                            "stderr is a terminal)")
    gprog.add_argument("--no-progress", dest="progress", action="store_false")

    dp = sub.add_parser("diff", help="compare two event files written by --events, or two "
                                     "directories of them day by day")
    dp.add_argument("a")
    dp.add_argument("b")
    dp.add_argument("--full", action="store_true",
                    help="print both versions of each differing event whole")
    dp.add_argument("--max", type=_arg(_positive, "count"), default=1, metavar="N",
                    help="show the first N differing events (of each day; default 1)")

    cp = sub.add_parser("cut", help="write a subset of a session's market data as a new session")
    cp.add_argument("src", metavar="IN")
    cp.add_argument("dst", metavar="OUT")
    _selection_args(cp)
    cp.add_argument("--force", action="store_true", help="overwrite OUT if it exists")

    vp = sub.add_parser("convert", help="convert a session between JSONL and the binary encoding")
    vp.add_argument("src", metavar="IN", help="session file (JSONL, gzip JSONL or binary)")
    vp.add_argument("dst", metavar="OUT",
                    help="output file: .tsb is binary, .jsonl.gz gzip JSONL, else JSONL")
    vp.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    return ap


# ---------------------------------------------------------------------------------------------
# generate


def _generate(args: argparse.Namespace) -> int:
    from .checks import (UsageError, check_output_dir, check_output_file, refuse_existing,
                         refuse_non_empty_dir)
    from .generator import generate_days, generate_session, is_trading_day
    if not is_trading_day(args.day):
        return _fail(f"--day {args.day} ({args.day:%A}) is not a trading day of the generated "
                     "calendar (weekends and holidays are not)", "generate")
    options = dict(securities=args.securities, l2_rate=args.l2_rate, orders=args.orders,
                   algo_parents=args.algo_parents, levels=args.levels, data_until=args.until)
    try:
        if args.days is not None:
            check_output_dir(args.out, "OUTDIR")
            refuse_non_empty_dir(args.out, args.force)
            os.makedirs(args.out, exist_ok=True)
            return _generate_days(args, options)
        refuse_existing(args.out, args.force)
        check_output_file(args.out, "OUT")
        g = generate_session(args.out, seed=args.seed, day=args.day, **options)
    except (UsageError, ValueError, OSError) as exc:
        return _fail(str(exc), "generate")
    print(f"wrote {g.path}: {g.entries:,} entries ({g.acts} acts), "
          f"{len(g.expected_orders)} orders", file=sys.stderr)
    return 0


def _generate_days(args: argparse.Namespace, options: dict) -> int:
    """`generate OUTDIR --days N`, with the replay's progress bar (one step a day)."""
    from .generator import generate_days
    from .report import ProgressBar
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    bar = ProgressBar(sys.stderr) if show else None
    say = bar.write if bar is not None else (lambda line: print(line, file=sys.stderr))

    def progress(done: int, total: int, g) -> None:
        say(f"wrote {g.path}: {g.entries:,} entries")
        if bar is not None:
            bar(done, done / total, None, what=f"{done} of {total} days")
    try:
        generate_days(args.out, args.days, first_day=args.day, seed=args.seed,
                      progress=progress, **options)
    finally:
        if bar is not None:
            bar.close()
    return 0


# ---------------------------------------------------------------------------------------------
# diff and cut


def _diff(args: argparse.Namespace) -> int:
    from .diff import diff_event_dirs, diff_event_files, write_days_diff, write_diff
    from .digest import EventFileError
    dirs = [os.path.isdir(p) for p in (args.a, args.b)]
    if any(dirs) and not all(dirs):
        return _fail(f"{args.a if dirs[0] else args.b} is a directory and the other an event "
                     "file: compare two files or two directories", "diff")
    try:
        if all(dirs):
            days = diff_event_dirs(args.a, args.b, args.max)
        else:
            res = diff_event_files(args.a, args.b, args.max)
    except EventFileError as exc:
        return _fail(str(exc), "diff")
    except OSError as exc:
        return _fail(f"{exc.filename or ''}: {exc.strerror or exc}", "diff")
    if all(dirs):
        write_days_diff(days, sys.stdout, args.full)
        return 0 if days.equal else 1
    write_diff(res, sys.stdout, args.full)
    return 0 if res.equal else 1


def _selection(args: argparse.Namespace):
    from .selection import Selection
    return Selection(args.codes, args.start, args.end)


def _cut(args: argparse.Namespace) -> int:
    import tidesim
    tidesim.install()
    from .checks import UsageError, check_not_input, check_output_file, refuse_existing
    from .format import SessionFormatError
    from .selection import cut
    try:
        select = _selection(args)
        check_not_input(args.dst, args.src, "OUT")
        refuse_existing(args.dst, args.force)
        check_output_file(args.dst, "OUT")
        res = cut(args.src, args.dst, select)
    except (UsageError, SessionFormatError, ValueError, OSError) as exc:
        return _fail(str(exc), "cut")
    print(f"wrote {args.dst}: {res.written:,} of {res.read:,} entries "
          f"({res.left_out:,} market data entries left out)", file=sys.stderr)
    return 0


def _convert(args: argparse.Namespace) -> int:
    from tiderec.convert import convert
    from tiderec.encoding import RecordingTargetError
    from tiderec.schema import SessionFormatError

    from .checks import UsageError, refuse_existing
    try:
        try:
            same = os.path.samefile(args.dst, args.src)
        except OSError:
            same = False
        if not same:  # (convert names the case of OUT being IN itself)
            refuse_existing(args.dst, args.force)
    except UsageError as exc:
        return _fail(str(exc), "convert")
    try:
        res = convert(args.src, args.dst, overwrite=args.force)
    except (SessionFormatError, RecordingTargetError) as exc:
        return _fail(str(exc), "convert")
    kind = "binary" if res.binary else "JSONL"
    if res.note is not None:
        print(f"tidesim-replay convert: {args.src}: {res.note}", file=sys.stderr)
    print(f"wrote {args.dst} ({kind}): the header and {res.entries:,} lines", file=sys.stderr)
    return 1 if res.note is not None else 0


# ---------------------------------------------------------------------------------------------
# replay


def _listeners(args: argparse.Namespace) -> list:
    import importlib

    import tidesim
    from .listeners import resolve
    tidesim.install()
    if not args.listener and not args.system_listener:
        return []
    EVENT = importlib.import_module("orvane.tamsel.core.events").EVENT
    return resolve(args.system_listener, False, EVENT) + resolve(args.listener, True, EVENT)


def _framework(args: argparse.Namespace):
    """The framework adapter --framework names (None: the stand-ins), loaded before anything is
    replayed so that a bad name is refused at once."""
    if not getattr(args, "framework", None):
        return None
    import tidesim
    tidesim.install()
    from .adapter import load_framework
    return load_framework(args.framework)


def _check_replay_args(args: argparse.Namespace, path: str) -> None:
    from .checks import check_not_input, check_output_file, check_plot_target, refuse_existing
    if args.plot:
        check_plot_target(args.plot)
    for target, what in ((args.record, "--record"), (args.events, "--events")):
        if target:
            check_not_input(target, path, what)
            refuse_existing(target, args.force)
            check_output_file(target, what, True)
    if args.record and args.events and os.path.abspath(args.record) == os.path.abspath(args.events):
        from .checks import UsageError
        raise UsageError("--record and --events name the same file")


def _replay(args: argparse.Namespace) -> int:
    from .checks import UsageError
    from .format import SessionFormatError
    from .listeners import ListenerSpecError
    from .report import ProgressBar, plot, summary_text, write_json
    from .runner import Replay, ReplayAborted

    if len(args.session) > 1 or any(os.path.isdir(s) for s in args.session):
        from .days_command import run_command
        return run_command(args)
    args.session = args.session[0] if args.session else None
    path = args.session or default_session()
    try:
        _check_replay_args(args, path)
        select = _selection(args)
        listeners = _listeners(args)
        baseline = _baseline(args)
        framework = _framework(args)
    except (UsageError, ListenerSpecError, ValueError) as exc:
        return _fail(str(exc))
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    bar = ProgressBar(sys.stderr) if show else None
    try:
        result = Replay(path, keep_going=args.keep_going, drain_every=args.drain_every,
                        record_to=args.record, record_overwrite=args.force,
                        events_to=args.events,
                        digest=bool(args.json or args.events or args.baseline),
                        listeners=listeners,
                        select=select, allow_undelivered=args.allow_undelivered,
                        report=bar.write if bar is not None else "stderr", progress=bar,
                        framework=framework).run()
    except (SessionFormatError, OSError, ReplayAborted) as exc:
        return _fail(str(exc))
    finally:
        if bar is not None:
            bar.close()
    if args.json:
        write_json(result, sys.stdout)
    elif not args.quiet:
        print(summary_text(result))
    sys.stdout.flush()
    if args.plot:
        try:
            plot(result, args.plot)
        except (OSError, ValueError) as exc:  # the directory went away meanwhile, say
            print(f"tidesim-replay: the plot could not be written: {exc}", file=sys.stderr)
            return max(result.exit_code, 1)
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.record:
        print(f"recording written to {args.record}", file=sys.stderr)
    if args.events:
        print(f"events written to {args.events}", file=sys.stderr)
    if baseline is not None:
        from .baseline import compare, write_comparison
        comparison = compare(baseline, [(path, result.digest)], args.baseline, single=True)
        write_comparison(comparison, sys.stderr if args.json or args.quiet else sys.stdout)
        if not comparison.equal and result.exit_code == 0:
            return 1
    return result.exit_code


def _baseline(args: argparse.Namespace):
    """The digests of the --baseline summary, or None."""
    if not args.baseline:
        return None
    from .baseline import load_baseline
    return load_baseline(args.baseline)


def _quiet_stdout() -> None:
    """After the reader of stdout went away: send whatever is still to be written nowhere, so
    that the interpreter's final flush does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or (argv[0] not in COMMANDS and argv[0] not in ("-h", "--help")):
        argv.insert(0, "replay")
    try:
        args = _parser().parse_args(argv)
        if args.command == "generate":
            return _generate(args)
        if args.command == "diff":
            return _diff(args)
        if args.command == "cut":
            return _cut(args)
        if args.command == "convert":
            return _convert(args)
        return _replay(args)
    except KeyboardInterrupt:
        print("tidesim-replay: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _quiet_stdout()
        return EXIT_CLOSED_PIPE


if __name__ == "__main__":
    raise SystemExit(main())

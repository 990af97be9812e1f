"""Command line of the session replay.

    tidesim-replay [SESSION] [--keep-going] [--json] [--plot FILE.png] [--progress|--no-progress]
                   [--drain-every N] [--record OUT]
    tidesim-replay SESSION SESSION ...|DIR [--workers N|--scheduler ADDRESS] [--keep-going]
                   [--json] [--plot FILE.png] [--progress|--no-progress] [--drain-every N]
    tidesim-replay generate OUT [--securities N] [--seed S] [--day YYYY-MM-DD] [--l2-rate R]
                   [--orders N] [--algo-parents N] [--levels N] [--until HH:MM]

Without SESSION the bundled default day is replayed. Exit status: 0 when every entry was
delivered and nothing raised; 1 when the replay completed but callbacks, timers or listeners
raised (or, with --keep-going, bad lines were skipped); 2 when it stopped at bad input or could
not start.

Several sessions, or a directory of them, are replayed one day per worker process of a Dask
cluster (see `cluster`); exit status 1 then also means that some day failed.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import os
import sys
from importlib import resources

COMMANDS = ("replay", "generate")


def default_session() -> str:
    return str(resources.files("tidesim") / "data" / "session.jsonl.gz")


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="tidesim-replay",
        description="Replay a recorded or generated trading day through the bridge, offline and "
                    "deterministically, or generate a synthetic day.")
    sub = ap.add_subparsers(dest="command")
    rp = sub.add_parser("replay", help="replay a session (the default command)")
    rp.add_argument("session", nargs="*",
                    help="session file (.jsonl or .jsonl.gz); default: the bundled day. Several "
                         "files or a directory: each day in its own worker process")
    rp.add_argument("--workers", type=int, metavar="N",
                    help="several sessions: worker processes of the local cluster "
                         "(default: the machine's cores)")
    rp.add_argument("--scheduler", metavar="ADDRESS",
                    help="several sessions: use the running cluster whose scheduler is at ADDRESS")
    rp.add_argument("--keep-going", action="store_true",
                    help="report bad lines and go on instead of stopping at the first")
    rp.add_argument("--json", action="store_true", help="print the summary as JSON on stdout")
    rp.add_argument("--plot", metavar="FILE.png",
                    help="write events per minute and the latency distribution (needs matplotlib)")
    prog = rp.add_mutually_exclusive_group()
    prog.add_argument("--progress", dest="progress", action="store_true", default=None,
                      help="show a progress bar on stderr (default: only when stderr is a terminal)")
    prog.add_argument("--no-progress", dest="progress", action="store_false")
    rp.add_argument("--drain-every", type=int, default=1, metavar="N",
                    help="the consumer empties the event queue after every N entries (default 1)")
    rp.add_argument("--record", metavar="OUT",
                    help="also record the callbacks the strategy receives into a new session file")
    rp.add_argument("--quiet", action="store_true", help="no summary (problems are still reported)")

    gp = sub.add_parser("generate", help="write a deterministic synthetic session")
    gp.add_argument("out", help="output file (.jsonl.gz is compressed)")
    gp.add_argument("--securities", type=int, default=4)
    gp.add_argument("--seed", type=int, default=1)
    gp.add_argument("--day", type=_dt.date.fromisoformat, default=_dt.date(2026, 1, 5))
    gp.add_argument("--l2-rate", type=float, default=0.3,
                    help="level-2 messages per security per second (default 0.3)")
    gp.add_argument("--orders", type=int, default=100)
    gp.add_argument("--algo-parents", type=int, default=3)
    gp.add_argument("--levels", type=int, default=10, help="price levels per snapshot")
    gp.add_argument("--until", type=_dt.time.fromisoformat, default=_dt.time(15, 0),
                    help="end the market data early (HH:MM), for a short day")
    return ap


def _generate(args: argparse.Namespace) -> int:
    from .generator import generate_session
    try:
        g = generate_session(args.out, securities=args.securities, seed=args.seed, day=args.day,
                             l2_rate=args.l2_rate, orders=args.orders,
                             algo_parents=args.algo_parents, levels=args.levels,
                             data_until=args.until)
    except (ValueError, OSError) as exc:
        print(f"tidesim-replay generate: {exc}", file=sys.stderr)
        return 2
    print(f"wrote {g.path}: {g.entries:,} entries ({g.acts} acts), "
          f"{len(g.expected_orders)} orders", file=sys.stderr)
    return 0


def _replay(args: argparse.Namespace) -> int:
    from .format import SessionFormatError
    from .report import ProgressBar, check_plotting, plot, summary_text, write_json
    from .runner import Replay, ReplayAborted

    if len(args.session) > 1 or any(os.path.isdir(s) for s in args.session):
        from .cluster import run_command
        return run_command(args)
    args.session = args.session[0] if args.session else None
    if args.drain_every < 1:
        print("tidesim-replay: --drain-every must be at least 1", file=sys.stderr)
        return 2
    if args.plot:
        try:
            check_plotting()
        except ImportError as exc:
            print(f"tidesim-replay: {exc}", file=sys.stderr)
            return 2
    path = args.session or default_session()
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    bar = ProgressBar(sys.stderr) if show else None
    try:
        result = Replay(path, keep_going=args.keep_going, drain_every=args.drain_every,
                        record_to=args.record, progress=bar).run()
    except (SessionFormatError, OSError) as exc:
        if bar is not None:
            bar.close()
        print(f"tidesim-replay: {exc}", file=sys.stderr)
        return 2
    except ReplayAborted as exc:
        if bar is not None:
            bar.close()
        print(f"tidesim-replay: {exc}", file=sys.stderr)
        return 2
    if bar is not None:
        bar.close()
    if args.json:
        write_json(result, sys.stdout)
    elif not args.quiet:
        print(summary_text(result))
    if args.plot:
        plot(result, args.plot)
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.record:
        print(f"recording written to {args.record}", file=sys.stderr)
    return result.exit_code


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or (argv[0] not in COMMANDS and argv[0] not in ("-h", "--help")):
        argv.insert(0, "replay")
    args = _parser().parse_args(argv)
    if args.command == "generate":
        return _generate(args)
    return _replay(args)


if __name__ == "__main__":
    raise SystemExit(main())

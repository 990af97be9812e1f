"""Runs every bench/bench_*.py module and prints one table.

Each module defines `collect() -> list[Row]`. Times are ns per operation (best of 5); the
speed-up is baseline time / our time, both measured in this run.

With --instructions, each row is counted instead of timed: instructions per call under valgrind
(cachegrind without its cache simulation), ours and the baseline side by side with their ratio.
Each side is counted in two child processes that run the operation a different number of times;
the difference divided by the difference in calls is the cost of one call, free of start-up and
set-up. Hash randomisation is fixed and numpy's thread pool held to one thread, so the counts
repeat exactly from run to run (--check verifies that). --rows narrows the rows (substrings of
"group: operation vs baseline"), so that a few rows take a few minutes.

Exact is not the same as independent of memory layout: CPython's type attribute cache is indexed
by the addresses of the attribute names, so where the objects land decides which look-ups
collide, and a different environment or command line (which shifts every later allocation) moves
a row by several percent. --layouts K counts each side under K layouts (the environment padded
by K different amounts) and reports the median, with the range when it is wider than 1 %.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import importlib.util
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402

# The environment of a counted child: what makes the interpreter and numpy deterministic.
COUNT_ENV = {"PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
             "MKL_NUM_THREADS": "1"}
VALGRIND = ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null"]


def load(path: pathlib.Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def modules(only: list[str]) -> list[pathlib.Path]:
    return [p for p in sorted(HERE.glob("bench_*.py")) if not only or any(o in p.stem for o in only)]


def row_matches(row: common.Row, patterns: list[str]) -> bool:
    text = f"{row.group}: {row.operation} vs {row.baseline}".lower()
    return not patterns or any(p.lower() in text for p in patterns)


# ---------------------------------------------------------------------------------------------
# Times


def print_times(only: list[str], patterns: list[str]) -> int:
    rows = []
    for path in modules(only):
        print(f"running {path.stem} ...", file=sys.stderr, flush=True)
        rows.extend(r for r in load(path).collect() if row_matches(r, patterns))
    print("| group | operation | ours (ns) | baseline | baseline (ns) | speed-up |")
    print("|---|---|---:|---|---:|---:|")
    for r in rows:
        base = f"{r.baseline_ns:,.0f}" if r.baseline_ns is not None else ""
        sp = f"{r.speedup:.2f}x" if r.speedup is not None else ""
        print(f"| {r.group} | {r.operation} | {r.ours_ns:,.0f} | {r.baseline} | {base} | {sp} |")
    return 0


# ---------------------------------------------------------------------------------------------
# Instruction counts


def count_child(module: str, target: int, calls: int) -> int:
    """In the child: run `module`'s collect() until probe `target` has run `calls` times."""
    common.set_mode("count", target, calls)
    load(HERE / f"{module}.py").collect()
    print(f"{module}: probe {target} was never reached", file=sys.stderr)
    return 3


def instructions(module: str, target: int, calls: int, layout: int = 0) -> int:
    """Instructions executed by a whole child process that runs probe `target` `calls` times,
    under memory layout number `layout`."""
    # A fixed, minimal environment: the interpreter reads all of it at start-up, so any
    # variable that differs from one shell to the next would change the count.
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8", **COUNT_ENV}
    if layout:
        env["ORVANE_BENCH_LAYOUT"] = "." * (136 * layout)
    # Fixed-width numbers: the short and the long run must differ in nothing but the number of
    # calls, not even in the length of their command lines (which would shift every allocation).
    cmd = VALGRIND + [sys.executable, str(HERE / "run.py"), "--count-child", module,
                      f"{target:06d}", f"{calls:09d}"]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=HERE.parent)
    found = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError(f"counting {module} probe {target} x{calls} failed "
                           f"(exit {proc.returncode}):\n{proc.stderr[-3000:]}")
    return int(found.group(1).replace(",", ""))


def warm_up(module: str, target: int) -> None:
    """Runs a module's child once, natively and uncounted: whatever the first run of a changed
    tree writes to disk (compiled bytecode and the like) is then there for every counted run."""
    subprocess.run([sys.executable, str(HERE / "run.py"), "--count-child", module, str(target), "1"],
                   capture_output=True, cwd=HERE.parent, check=True)


def per_call(module: str, p: common.Probe, lengths: tuple[int, int], layouts: int, check: bool,
             pool: concurrent.futures.Executor) -> tuple[list[float], bool]:
    """Instructions per operation of one probe under each layout, and whether a repeated count
    came out equal."""
    short, long_ = (common.calls_for(p.share, n) for n in lengths)
    if long_ <= short:
        raise RuntimeError(f"{module} probe {p.probe}: --calls too close for its share {p.share}")
    runs = {(layout, n): pool.submit(instructions, module, p.probe, n, layout)
            for layout in range(layouts) for n in (short, long_)}
    again = pool.submit(instructions, module, p.probe, short) if check else None
    per = [(runs[(layout, long_)].result() - runs[(layout, short)].result()) / (long_ - short) / p.per
           for layout in range(layouts)]
    first, repeated = runs[(0, short)].result(), again.result() if check else None
    if check and repeated != first:
        print(f"{module} probe {p.probe} x{short}: {first:,} then {repeated:,} instructions",
              file=sys.stderr)
    return per, not check or repeated == first


def cell(values: list[float] | None) -> str:
    """The median of a side's counts, with their range when it is wider than 1 %."""
    if values is None:
        return ""
    median = statistics.median(values)
    text = f"{median:,.0f}"
    if max(values) - min(values) > 0.01 * abs(median):
        text += f" ({min(values):,.0f}-{max(values):,.0f})"
    return text


def plan(only: list[str], patterns: list[str]) -> list[tuple[str, common.Row]]:
    """Every row to count, with the module that makes it: collect() with no operation run."""
    planned = []
    for path in modules(only):
        mod = load(path)
        if not getattr(mod, "COUNTED", True):
            print(f"{path.stem}: not counted (whole-session timings)", file=sys.stderr)
            continue
        common.set_mode("plan")
        try:
            rows = mod.collect()
        finally:
            common.set_mode(None)
        planned += [(path.stem, r) for r in rows if any(r.probes) and row_matches(r, patterns)]
    return planned


def print_instructions(only: list[str], patterns: list[str], lengths: tuple[int, int],
                       layouts: int, check: bool, jobs: int) -> int:
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (make bench-instructions installs it)", file=sys.stderr)
        return 2
    planned = plan(only, patterns)
    if not planned:
        print("no row matches", file=sys.stderr)
        return 2
    unequal = []
    for module in dict.fromkeys(m for m, _ in planned):
        warm_up(module, next(p for m, r in planned if m == module for p in r.probes if p).probe)
    print("| group | operation | ours (instr/call) | baseline | baseline (instr/call) | ratio |")
    print("|---|---|---:|---|---:|---:|")
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for module, r in planned:
            print(f"counting {module}: {r.operation} ...", file=sys.stderr, flush=True)
            counted = []
            for p in r.probes:
                if p is None:
                    counted.append(None)
                    continue
                values, same = per_call(module, p, lengths, layouts, check, pool)
                counted.append(values)
                if not same:
                    unequal.append(f"{r.group}: {r.operation}")
            ours, base = counted
            ratio = ""
            if ours is not None and base is not None and statistics.median(ours) > 0:
                ratio = f"{statistics.median(base) / statistics.median(ours):.2f}x"
            print(f"| {r.group} | {r.operation} | {cell(ours)} | {r.baseline if base is not None else ''} "
                  f"| {cell(base)} | {ratio} |", flush=True)
    if check:
        if unequal:
            print("counts differed between two identical runs:\n  " + "\n  ".join(unequal),
                  file=sys.stderr)
            return 1
        print("check: every count repeated exactly", file=sys.stderr)
    return 0


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "--count-child":
        return count_child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("only", nargs="*", help="substrings of bench module names to run")
    ap.add_argument("--rows", action="append", default=[], metavar="TEXT",
                    help="only rows whose 'group: operation vs baseline' contains TEXT "
                         "(case-insensitive; repeatable)")
    ap.add_argument("--instructions", action="store_true",
                    help="count instructions per call under valgrind instead of timing")
    ap.add_argument("--calls", default="400,1200", metavar="SHORT,LONG",
                    help="the two numbers of calls counted per side (default 400,1200)")
    ap.add_argument("--check", action="store_true",
                    help="count the short run twice and fail unless both counts are equal")
    ap.add_argument("--layouts", type=int, default=1, metavar="K",
                    help="count under K memory layouts and report the median (default 1)")
    ap.add_argument("--jobs", type=int, default=1, help="valgrind runs at a time (default 1)")
    args = ap.parse_args()
    if not args.instructions:
        return print_times(args.only, args.rows)
    try:
        lengths = tuple(int(x) for x in args.calls.split(","))
        assert len(lengths) == 2 and 0 < lengths[0] < lengths[1]
    except (ValueError, AssertionError):
        ap.error("--calls takes two increasing positive numbers, e.g. 400,1200")
    return print_instructions(args.only, args.rows, lengths, max(1, args.layouts), args.check,
                              max(1, args.jobs))


if __name__ == "__main__":
    raise SystemExit(main())

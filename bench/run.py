"""Runs every bench/bench_*.py module and prints one table.

Each module defines `collect() -> list[Row]`. Times are ns per operation (best of 5); the
speed-up is baseline time / our time, both measured in this run.
"""
from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def load(path: pathlib.Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("only", nargs="*", help="substrings of bench module names to run")
    args = ap.parse_args()
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and not any(o in path.stem for o in args.only):
            continue
        print(f"running {path.stem} ...", file=sys.stderr, flush=True)
        rows.extend(load(path).collect())
    print("| group | operation | ours (ns) | baseline | baseline (ns) | speed-up |")
    print("|---|---|---:|---|---:|---:|")
    for r in rows:
        base = f"{r.baseline_ns:,.0f}" if r.baseline_ns is not None else ""
        sp = f"{r.speedup:.2f}x" if r.speedup is not None else ""
        print(f"| {r.group} | {r.operation} | {r.ours_ns:,.0f} | {r.baseline} | {base} | {sp} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

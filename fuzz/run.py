"""Runs one fuzz harness, or replays inputs through it.

    python fuzz/run.py TARGET [libFuzzer options] [corpus directories]   (make fuzz)
    python fuzz/run.py --replay TARGET FILE...                          (the regression test)

TARGET is one of HARNESSES. Fuzzing needs atheris and, for the native code's coverage and
the sanitizers, the fuzzing build with the fuzzer's runtime preloaded (see the Makefile's
`fuzz` rule). The replay needs neither: it runs each file through the harness once, with no
known finding excused, and exits 1 on the first that fails (naming it), 0 when all pass.
"""
from __future__ import annotations

import os
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# target -> (module, function)
HARNESSES = {
    "json_lines": ("harness_lines", "json_lines"),
    "binary_lines": ("harness_lines", "binary_lines"),
    "session_files": ("harness_session", "session_file"),
    "capture": ("harness_capture", "capture"),
    "encoder": ("harness_encoder", "encoder"),
    "events": ("harness_events", "events"),
}


def harness(target: str):
    module, name = HARNESSES[target]
    return getattr(__import__(module), name)


def replay(target: str, paths: list[str]) -> int:
    one_input = harness(target)
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        try:
            one_input(data)
        except Exception:
            traceback.print_exc()
            print(f"FAILED {target} {path}", file=sys.stderr)
            return 1
    print(f"replayed {len(paths)} input(s) through {target}")
    return 0


def fuzz(target: str, argv: list[str]) -> None:
    import atheris

    with atheris.instrument_imports(include=["tiderec"]):
        one_input = harness(target)
    atheris.Setup([sys.argv[0], *argv], one_input)
    atheris.Fuzz()


def main() -> int:
    args = sys.argv[1:]
    if len(args) >= 2 and args[0] == "--replay" and args[1] in HARNESSES:
        os.environ["FUZZ_STRICT"] = "1"
        return replay(args[1], args[2:])
    if not args or args[0] not in HARNESSES:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    fuzz(args[0], args[1:])
    return 0


if __name__ == "__main__":
    sys.exit(main())

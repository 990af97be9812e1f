"""What the fuzz harnesses share: how an outcome of decoding is compared, the framing of
several binary lines in one input, and the table of known findings.

A harness's `one_input(data)` returns normally for an input that behaves, and raises `Failure`
(or lets any other exception out, or crashes under the sanitizers) for one that does not.
"""
from __future__ import annotations

import os
import sys
from typing import Any, Callable, Iterator

# Known findings that are being mended elsewhere: {key: what it is} (the
# key: the finding's number in the issue that lists it, or a letter and number for one found here). While a finding is
# listed, a failure that `known(...)` attributes to it is counted and printed once instead of
# stopping the fuzzer, and its regression inputs (fuzz/regressions/*/known-KEY-*) are expected to
# fail. Once its mend is merged, delete its line here: the regression inputs then must pass.
KNOWN_FINDINGS: dict[str, str] = {
}

# Set by the replay (fuzz/run.py --replay): no failure is excused there.
STRICT = os.environ.get("FUZZ_STRICT") == "1"


class Failure(AssertionError):
    """A difference between the native and the Python decoding (or capture)."""


_reported: set[str] = set()
known_counts: dict[str, int] = {}


def known(finding: str) -> bool:
    """Whether a failure attributed to `finding` is excused (the finding is listed and the run
    is not strict); the first one of each is printed."""
    if STRICT or finding not in KNOWN_FINDINGS:
        return False
    known_counts[finding] = known_counts.get(finding, 0) + 1
    if finding not in _reported:
        _reported.add(finding)
        print(f"fuzz: known finding {finding} met ({KNOWN_FINDINGS[finding]}); excused while "
              "it is listed in fuzz/common.py", file=sys.stderr)
    return True


def outcome(decode: Callable[[int, bytes], Any], line: int, raw: bytes) -> Any:
    """What a decoding makes of a line, compared value by value (repr tells 1 from 1.0 and
    -0.0 from 0.0) and field by field, in order."""
    from tiderec.decoding import _Trailer
    from tiderec.schema import _Bad
    try:
        e = decode(line, raw)
    except _Bad as exc:
        return ("bad", str(exc))
    except _Trailer:
        return ("trailer",)
    except (ValueError, TypeError, RecursionError, MemoryError, OverflowError) as exc:
        # what the reader reports as a bad line of its own (SessionReader._decode)
        return ("failed", type(exc).__name__, str(exc))
    return entry_outcome(e)


def entry_outcome(e: Any) -> Any:
    args = [(type(a).__name__, repr(list(vars(a).items()))) if hasattr(a, "__dict__") else repr(a)
            for a in e.args]
    return (e.line, e.time, e.kind, e.name, args, repr(e.kwargs))


def framed(data: bytes) -> Iterator[bytes]:
    """Several binary lines in one input: each a two-byte big-endian length and that many
    bytes (the last one takes what is left)."""
    i = 0
    while i < len(data):
        n = int.from_bytes(data[i:i + 2], "big")
        yield data[i + 2:i + 2 + n]
        i += 2 + n


def frame(lines: list[bytes]) -> bytes:
    return b"".join(len(x).to_bytes(2, "big") + x for x in lines if len(x) < 1 << 16)

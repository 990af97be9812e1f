"""`--baseline RUN.json`: this run's per-day event digests against a `--json` summary saved from
an earlier run (of one day or of many), without keeping event files.

Days are matched by their session's file name (the directory may differ between the runs); a
replay of one day checks that day only, against the baseline's day of the same name or against
a baseline of one day whatever its name. In a multi-day run, a day whose digest differs, a day
of the baseline that this run did not replay and a day of this run that the baseline lacks are
all changes; a day that produced no digest (it failed) on either side counts as changed.
"""
from __future__ import annotations

import dataclasses
import json
import os
from typing import Any, TextIO


class BaselineError(ValueError):
    """A baseline file that cannot be used; the message names the file and says why."""


@dataclasses.dataclass
class Comparison:
    path: str
    equal_days: list[str]
    changed: list[tuple[str, str | None, str | None]]  # (session name, baseline's, this run's)
    only_in_baseline: list[str]
    only_in_run: list[str]

    @property
    def equal(self) -> bool:
        return not (self.changed or self.only_in_baseline or self.only_in_run)

    def to_json(self) -> dict[str, Any]:
        return {"file": self.path, "equal": self.equal, "equal_days": len(self.equal_days),
                "changed": [{"session": s, "baseline": a, "run": b} for s, a, b in self.changed],
                "only_in_baseline": self.only_in_baseline, "only_in_run": self.only_in_run}


def _digest_version() -> Any:
    from . import digest
    return getattr(digest, "DIGEST_VERSION", None)


def _key(session: Any) -> str:
    return os.path.basename(str(session))


def load_baseline(path: str) -> dict[str, str | None]:
    """Session file name -> digest (None for a day that has none) of a saved `--json` summary."""
    try:
        with open(path, "rb") as f:
            doc = json.load(f)
    except OSError as exc:
        raise BaselineError(f"--baseline {path}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeDecodeError) as exc:
        raise BaselineError(f"--baseline {path}: not a JSON summary of a replay: {exc}") from None
    if type(doc) is dict and type(doc.get("days")) is list:
        days = doc["days"]
    elif type(doc) is dict and "session" in doc:
        days = [doc]
    else:
        raise BaselineError(f"--baseline {path}: not a summary written by `tidesim-replay ... "
                            "--json` (no \"session\" and no \"days\")")
    version = _digest_version()
    out: dict[str, str | None] = {}
    for i, day in enumerate(days):
        if type(day) is not dict or "session" not in day:
            raise BaselineError(f"--baseline {path}: day {i + 1} of the summary has no session")
        # A day without a digest (it failed) has nothing to compare and carries no version.
        if day.get("digest") is not None and day.get("digest_version") != version:
            raise BaselineError(
                f"--baseline {path}: its digests were made with another definition of the digest "
                f"({day.get('digest_version') or 'an earlier one'}, this build: "
                f"{version or 'the earlier one'}); replay the baseline's build again, or compare "
                "event files with `tidesim-replay diff`")
        key = _key(day["session"])
        if key in out:
            raise BaselineError(f"--baseline {path}: the session {key} appears twice")
        digest = day.get("digest")
        out[key] = digest if isinstance(digest, str) else None
    return out


def compare(baseline: dict[str, str | None], run: list[tuple[str, str | None]],
            path: str = "", single: bool = False) -> Comparison:
    """Compares this run's (session, digest) pairs with a loaded baseline. `single`: this run
    replayed one day on purpose, so the baseline's other days are not missing from it; a
    baseline of one day is then compared with it whatever the two files are called."""
    mine = {_key(s): d for s, d in run}
    if single:
        if len(baseline) == 1 and len(mine) == 1:
            mine = {next(iter(baseline)): next(iter(mine.values()))}
        baseline = {k: v for k, v in baseline.items() if k in mine}
    equal, changed = [], []
    for name, digest in mine.items():
        if name not in baseline:
            continue
        before = baseline[name]
        if before is not None and before == digest:
            equal.append(name)
        else:
            changed.append((name, before, digest))
    return Comparison(path, equal, changed, [n for n in baseline if n not in mine],
                      [n for n in mine if n not in baseline])


def _short(digest: str | None) -> str:
    return "(none: the day failed)" if digest is None else digest[:16]


def write_comparison(c: Comparison, out: TextIO) -> None:
    name = c.path or "the baseline"
    if c.equal:
        print(f"baseline {name}: all {len(c.equal_days)} days' event digests as in the baseline",
              file=out)
        return
    print(f"baseline {name}: {len(c.changed)} changed, {len(c.equal_days)} equal, "
          f"{len(c.only_in_baseline)} only in the baseline, {len(c.only_in_run)} only in this run",
          file=out)
    for session, before, now in c.changed:
        print(f"  changed                {session}: {_short(before)} -> {_short(now)}", file=out)
    for session in c.only_in_baseline:
        print(f"  only in the baseline   {session}", file=out)
    for session in c.only_in_run:
        print(f"  only in this run       {session}", file=out)

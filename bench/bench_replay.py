"""Replay throughput and decoding.

- Decoding: the lines of the bundled day (decompressed, in memory) turned into entries by the
  decoder, against the previous decoder kept in baseline_decoder (the standard library's json
  with an object hook per object) on the same JSONL lines; the same day's lines in the binary
  encoding (.tsb) by the same decoder, against the same baseline on the JSONL lines; and both
  from their files, decompression included.
- Whole replays, per entry, with entries/s in the label: the bundled day, and a generated short
  day of 50 securities; the bundled day with the event digest (what --json computes), writing
  the event file (--events), and recorded while it is replayed, each against the replay alone;
  the bundled day converted to the binary encoding, against the JSONL day.
- The event digest's cost, taking turns in one run: the bundled day and the generated
  50-security short day replayed with the digest (what --json computes) and writing the event
  file (--events), each against the replay alone (as --quiet); and the replay with the digest
  against the replay tool as it was at commit fda110a (its own sim/ code, taken from git, on
  this build of the modules, each replay in a child process of its own), on the bundled day.
"""
from __future__ import annotations

import datetime as dt
import gzip
import json
import os
import subprocess
import sys
import tempfile
import time

import baseline_decoder
from common import Row

# Whole-session timings: not probed one operation at a time, so not instruction-counted.
COUNTED = False

import tidesim

tidesim.install()

from tidesim.replay.__main__ import default_session  # noqa: E402
from tidesim.replay.format import Decoder, SessionReader  # noqa: E402
from tidesim.replay.generator import generate_session  # noqa: E402
from tidesim.replay.runner import Replay  # noqa: E402
from tiderec.convert import convert  # noqa: E402
from tiderec.decoding import _open_source  # noqa: E402

BASELINE = "stdlib json + object hook (previous decoder)"


def _lines(path: str) -> list[bytes]:
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return [line for line in data.split(b"\n")[1:] if line.strip()]


def _binary_lines(path: str) -> list[bytes]:
    source = _open_source(path)
    try:
        return list(source)[1:]
    finally:
        source.close()


def _acts(name, fields):
    return fields


def _decode_lines(lines: list[bytes], rounds: int = 3,
                  binary: list[bytes] | None = None) -> tuple[float, float]:
    """Best ns per line of the new decoder (on the binary lines when given) and of the
    baseline (on the JSONL lines), taking turns."""
    new = old = float("inf")
    for _ in range(rounds):
        dec = Decoder(acts=_acts)
        entry = dec.binary_entry if binary is not None else dec.entry
        mine = binary if binary is not None else lines
        t0 = time.perf_counter_ns()
        for i, raw in enumerate(mine):
            entry(i, raw)
        new = min(new, (time.perf_counter_ns() - t0) / len(mine))
        reader = baseline_decoder.SessionReader.__new__(baseline_decoder.SessionReader)
        reader.decoder = baseline_decoder.Decoder(acts=_acts)
        reader.path = "<memory>"
        decode = reader._decode
        t0 = time.perf_counter_ns()
        for i, raw in enumerate(lines):
            decode(i, raw)
        old = min(old, (time.perf_counter_ns() - t0) / len(lines))
    return new, old


def _decode_file(path: str, rounds: int = 3, mine: str | None = None) -> tuple[float, float]:
    """Best ns per entry reading `mine` (default: `path`) with the new reader and `path` with
    the baseline."""
    new = old = float("inf")
    for _ in range(rounds):
        for reader_cls, decoder_cls, is_new in ((SessionReader, Decoder, True),
                                                (baseline_decoder.SessionReader,
                                                 baseline_decoder.Decoder, False)):
            t0 = time.perf_counter_ns()
            n = 0
            with reader_cls(mine or path if is_new else path, decoder_cls(acts=_acts)) as reader:
                for _ in reader:
                    n += 1
            ns = (time.perf_counter_ns() - t0) / n
            if is_new:
                new = min(new, ns)
            else:
                old = min(old, ns)
    return new, old


def _digest_rows(what: str, t: dict) -> list[Row]:
    n = t["entries"]
    return [Row("replay", f"replay, {what}, with the event digest (as --json): "
                          f"{t['json'] / t['quiet']:.2f}x the time of the replay alone (taking turns)",
                t["json"] / n * 1e9, "replay alone (as --quiet)", t["quiet"] / n * 1e9),
            Row("replay", f"replay, {what}, writing the event file (--events, digest too): "
                          f"{t['events'] / t['quiet']:.2f}x the time of the replay alone (taking turns)",
                t["events"] / n * 1e9, "replay alone (as --quiet)", t["quiet"] / n * 1e9)]


def _replay(path: str, record_dir: str | None = None, digest: bool = False,
            events_dir: str | None = None) -> tuple[int, float, dict]:
    best = None
    for k in range(2):
        record_to = os.path.join(record_dir, f"recorded-{k}.jsonl.gz") if record_dir else None
        events_to = os.path.join(events_dir, f"events-{k}.jsonl") if events_dir else None
        res = Replay(path, report=None, record_to=record_to, digest=digest,
                     events_to=events_to).run()
        if best is None or res.wall_s < best.wall_s:
            best = res
    return best.entries, best.wall_s, dict(best.problem_counts)


def _replay_turns(paths: list[str], rounds: int = 3) -> list[tuple[int, float, dict]]:
    """The best of `rounds` replays of each path, taking turns (so that a change in the
    machine's load falls on all of them alike)."""
    best: list = [None] * len(paths)
    for _ in range(rounds):
        for i, path in enumerate(paths):
            res = Replay(path, report=None).run()
            if best[i] is None or res.wall_s < best[i].wall_s:
                best[i] = res
    return [(r.entries, r.wall_s, dict(r.problem_counts)) for r in best]


def _digest_turns(path: str, events_dir: str, rounds: int = 3) -> dict[str, float]:
    """Best wall time of `rounds` replays of `path` alone, with the digest and writing the
    event file (digest too), taking turns."""
    best: dict[str, float] = {}
    for k in range(rounds):
        for mode in ("quiet", "json", "events"):
            events_to = os.path.join(events_dir, f"e{k}.jsonl") if mode == "events" else None
            res = Replay(path, report=None, digest=mode != "quiet", events_to=events_to).run()
            best[mode] = min(best.get(mode, float("inf")), res.wall_s)
    best["entries"] = res.entries
    return best


OLD_TOOL = "fda110a"
_CHILD = """
import json, sys
import tidesim
tidesim.install()
from tidesim.replay.runner import Replay
kw = {"digest": True} if sys.argv[2] == "digest" else {}
r = Replay(sys.argv[1], report=None, **kw).run()
print(json.dumps({"wall_s": r.wall_s, "entries": r.entries, "events": sum(r.events.values()),
                  "sim": tidesim.__file__}))
"""


def _old_tool(tmp: str) -> str | None:
    """sim/ of the replay tool at OLD_TOOL, unpacked into `tmp` (None without git)."""
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        archive = subprocess.run(["git", "-C", repo, "archive", OLD_TOOL, "sim/tidesim"],
                                 capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    import io
    import tarfile
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(tmp, filter="data")
    return os.path.join(tmp, "sim")


def _child_replay(path: str, mode: str, sim: str | None) -> dict:
    env = dict(os.environ)
    if sim is not None:  # the old tool's sim/ comes first on the path (this build's modules)
        env["PYTHONPATH"] = os.pathsep.join([sim, env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", _CHILD, path, mode], capture_output=True,
                         text=True, env=env, check=True)
    return json.loads(out.stdout)


def _against_old_tool(path: str, rounds: int = 3) -> tuple[dict, dict] | None:
    with tempfile.TemporaryDirectory() as tmp:
        sim = _old_tool(tmp)
        if sim is None:
            return None
        old = new = None
        for _ in range(rounds):
            o = _child_replay(path, "plain", sim)
            n = _child_replay(path, "digest", None)
            assert o["sim"].startswith(sim) and not n["sim"].startswith(sim)
            old = o if old is None or o["wall_s"] < old["wall_s"] else old
            new = n if new is None or n["wall_s"] < new["wall_s"] else new
        return old, new


def collect() -> list[Row]:
    rows = []
    bundled = default_session()
    lines = _lines(bundled)
    new, old = _decode_lines(lines)
    rows.append(Row("replay", f"decode one entry line (bundled day, {len(lines):,} lines in memory)",
                    new, BASELINE, old))
    new, old = _decode_file(bundled)
    rows.append(Row("replay", "read and decode one entry from the gzip file (bundled day)",
                    new, BASELINE + ", gzip readline", old))
    with tempfile.TemporaryDirectory() as tmp:
        binary = os.path.join(tmp, "bundled.tsb")
        convert(bundled, binary)
        new, old = _decode_lines(lines, binary=_binary_lines(binary))
        rows.append(Row("replay", "decode one entry line of the binary encoding (bundled day .tsb, "
                                  "in memory)", new, BASELINE + " on the JSONL lines", old))
        new, old = _decode_file(bundled, mine=binary)
        rows.append(Row("replay", "read and decode one entry from the binary file (bundled day .tsb)",
                        new, BASELINE + ", gzip JSONL readline", old))
        (bn, bwall, bproblems), (jn, jwall, _) = _replay_turns([binary, bundled])
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fifty.jsonl.gz")
        gen = generate_session(path, securities=50, seed=3, l2_rate=0.3, orders=100,
                               data_until=dt.time(9, 45))
        n, wall, problems = _replay(path)
        label = (f"replay, 50 securities, short day 09:15-09:45 ({gen.entries:,} entries), "
                 f"per entry: {n / wall:,.0f} entries/s")
        if problems:
            label += f" [problems: {problems}]"
        rows.append(Row("replay", label, wall / n * 1e9))
        with tempfile.TemporaryDirectory() as edir:
            t = _digest_turns(path, edir)
        rows += _digest_rows(f"50 securities, short day ({t['entries']:,} entries)", t)
    with tempfile.TemporaryDirectory() as edir:
        t = _digest_turns(bundled, edir)
    rows += _digest_rows(f"bundled day ({t['entries']:,} entries)", t)
    both = _against_old_tool(bundled)
    if both is not None:
        old, new = both
        o_rate, n_rate = old["entries"] / old["wall_s"], new["entries"] / new["wall_s"]
        rows.append(Row("replay", f"replay with the digest (as --json), bundled day: {n_rate:,.0f} "
                                  f"entries/s, {n_rate / o_rate:.2f}x the entries/s of the tool at "
                                  f"{OLD_TOOL} ({o_rate:,.0f}; taking turns, a process each)",
                        new["wall_s"] / new["entries"] * 1e9, f"the tool at {OLD_TOOL}",
                        old["wall_s"] / old["entries"] * 1e9))
    n, wall, problems = _replay(bundled)
    label = (f"replay, bundled day (4 securities, {n:,} entries) in {wall:.2f} s, per entry: "
             f"{n / wall:,.0f} entries/s")
    if problems:
        label += f" [problems: {problems}]"
    rows.append(Row("replay", label, wall / n * 1e9))
    label = (f"replay, bundled day converted to the binary encoding (.tsb): {bn / bwall:,.0f} "
             f"entries/s, {bwall / jwall:.2f}x the time of the JSONL day (taking turns)")
    if bproblems:
        label += f" [problems: {bproblems}]"
    rows.append(Row("replay", label, bwall / bn * 1e9, "the JSONL day, taking turns",
                    jwall / jn * 1e9))
    dn, dwall, dproblems = _replay(bundled, digest=True)
    label = (f"replay, bundled day with the event digest (as --json): {dn / dwall:,.0f} entries/s, "
             f"{dwall / wall:.2f}x the time of the replay alone")
    if dproblems:
        label += f" [problems: {dproblems}]"
    rows.append(Row("replay", label, dwall / dn * 1e9, "replay alone", wall / n * 1e9))
    with tempfile.TemporaryDirectory() as tmp:
        en, ewall, eproblems = _replay(bundled, digest=True, events_dir=tmp)
    label = (f"replay, bundled day writing the event file (--events, digest too): "
             f"{en / ewall:,.0f} entries/s, {ewall / wall:.2f}x the time of the replay alone")
    if eproblems:
        label += f" [problems: {eproblems}]"
    rows.append(Row("replay", label, ewall / en * 1e9, "replay alone", wall / n * 1e9))
    with tempfile.TemporaryDirectory() as tmp:
        rn, rwall, rproblems = _replay(bundled, record_dir=tmp)
    label = (f"replay, bundled day, recording it too (--record): {rn / rwall:,.0f} entries/s, "
             f"{rwall / wall:.2f}x the time of the replay alone")
    if rproblems:
        label += f" [problems: {rproblems}]"
    rows.append(Row("replay", label, rwall / rn * 1e9, "replay alone", wall / n * 1e9))
    return rows

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
"""
from __future__ import annotations

import datetime as dt
import gzip
import os
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

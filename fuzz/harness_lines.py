"""The native line decoder (tiderec._lines.LineDecoder), JSON and binary, against the Python
decoding.

An input is a flags byte and a block of lines: for `json_lines` the text of the lines, for
`binary_lines` MessagePack lines framed as in common.framed. Each input gets a fresh Decoder,
which decodes the block as SessionReader does, a batch at a time through `lines()`, each line
not taken natively through the Python decoding, so the shapes and plans learned from one line
serve the lines after it. Every line's outcome (the entry, field by field, or the bad-line
message) must be the one the Python decoding alone gives.

Flags: bit 0, the decoder starts with the plans learned from one line of every callback of the
bundled day (so that the block's first lines are decoded natively too); bit 1, each line is
also decoded by calling the decoder on it; bit 2 (text only), the block ends inside its last
line, as only a caller of the public type can make it; bit 3, records are made by a factory
of the caller's own, which refuses some (a failure reported on the record's line).
"""
from __future__ import annotations

import gzip
import json
import os
from typing import Any

import tidesim
from tiderec import decoding
from tiderec.binary import Packer
from tiderec.decoding import Decoder, _split
from tiderec.schema import adopt_record

from common import KNOWN_FINDINGS, STRICT, Failure, entry_outcome, framed, known, outcome

tidesim.install()

DAY = os.path.join(os.path.dirname(tidesim.__file__), "data", "session.jsonl.gz")


def day_lines(limit: int = 20000) -> list[bytes]:
    """The bundled day's first lines (the header first)."""
    out = []
    with gzip.open(DAY, "rb") as f:
        for raw in f:
            out.append(raw.rstrip(b"\n"))
            if len(out) >= limit:
                break
    return out


def one_per_callback(lines: list[bytes]) -> list[bytes]:
    seen: dict[str, bytes] = {}
    for raw in lines[1:]:
        try:
            name = json.loads(raw).get("cb")
        except ValueError:
            continue
        if name is not None and name not in seen:
            seen[name] = raw
    return list(seen.values())


def _teacher() -> Decoder:
    """A decoder that has learned one line of every callback of the bundled day, JSON and
    binary."""
    t = Decoder()
    packer = Packer()
    for raw in one_per_callback(day_lines()):
        t._entry(1, raw)
        t._binary_python(1, packer.json_line(raw))
    return t


def factory(name: str, fields: dict) -> Any:
    """A record factory of a caller's own (the native decoder then calls it instead of making
    the record itself), which refuses some records as a factory may."""
    if fields.get("security_id") == "000002":
        raise ValueError("no such security")
    return adopt_record(name, fields)


TEACHER = _teacher()
REFERENCE = Decoder()
REFERENCE_FACTORY = Decoder(records=factory)
if decoding._LineDecoder is None:
    raise SystemExit("tiderec._lines is not built: nothing to fuzz")


def fresh(flags: int) -> tuple[Decoder, Decoder]:
    """The decoder under test and the Python decoding to compare it with."""
    own = bool(flags & 8)
    d = Decoder(records=factory) if own else Decoder()
    if flags & 1:
        for plans, learned in ((d._plans, TEACHER._plans), (d._binary_plans, TEACHER._binary_plans)):
            for name, plan in learned.items():
                plans[name] = (*plan[:3], factory, None) if own else plan
        d._object_fields.update(TEACHER._object_fields)
    return d, REFERENCE_FACTORY if own else REFERENCE


def differs(raw: bytes, got: Any, want: Any) -> None:
    if got == want:
        return
    # finding 2: NULs after a number taken as part of it, once the number table holds it
    if b"\0" in raw and want[0] == "bad" and got[0] != "bad" and known("2"):
        return
    raise Failure(f"native {got!r}\n python {want!r}\n line {raw!r}")


def json_lines(data: bytes) -> None:
    if not data:
        return
    flags, block = data[0], data[1:]
    if not block:
        return  # (the reader never asks for the lines of nothing)
    d, reference = fresh(flags)
    native = d.entry
    end = block.rfind(b"\n") + 1 or len(block)
    if flags & 4 and (STRICT or "4" not in KNOWN_FINDINGS):
        end = 1 + flags * 7919 % len(block)  # inside a line, most of the time (finding 4)
    pos, line = 0, 1
    want_lines = _split(block, 0, end)
    got_items: list[Any] = []
    while pos < end:
        items, nxt = native.lines(block, pos, end, line)
        if not items or not pos < nxt <= end:
            raise Failure(f"lines() from {pos} to {end} gave {len(items)} items, next {nxt}")
        got_items += items
        line += len(items)
        pos = nxt
    if len(got_items) != len(want_lines):
        raise Failure(f"{len(got_items)} items for {len(want_lines)} lines")
    for no, (item, raw) in enumerate(zip(got_items, want_lines), 1):
        if type(item) is bytes:
            if item != raw:
                raise Failure(f"line {no} handed back as {item!r}, not {raw!r}")
            if not raw or raw.isspace():
                continue
            got = outcome(native.fallback, no, raw)
        else:
            got = entry_outcome(item)
        want = outcome(reference._entry, no, raw)
        differs(raw, got, want)
        if flags & 2 and raw and not raw.isspace():
            differs(raw, outcome(native, no, raw), want)


def binary_lines(data: bytes) -> None:
    if not data:
        return
    flags = data[0]
    block = list(framed(data[1:]))
    d, reference = fresh(flags)
    native = d.binary_entry
    pos, line, end = 0, 1, len(block)
    got_items: list[Any] = []
    while pos < end:
        items, nxt = native.lines(block, pos, end, line)
        if not pos < nxt <= end or len(items) != nxt - pos:
            raise Failure(f"lines() from {pos} to {end} gave {len(items)} items, next {nxt}")
        got_items += items
        line += len(items)
        pos = nxt
    for no, (item, raw) in enumerate(zip(got_items, block), 1):
        if type(item) is bytes:
            if item is not raw:
                raise Failure(f"line {no} handed back as another object")
            got = outcome(native.fallback, no, raw)
        else:
            got = entry_outcome(item)
        want = outcome(reference._binary_python, no, raw)
        differs(raw, got, want)
        if flags & 2:
            differs(raw, outcome(native, no, raw), want)

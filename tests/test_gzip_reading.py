"""Session files read alike with ISA-L's inflate (the "fast" extra, used when installed) and
with zlib: the same entries, and the same note on a file cut off, corrupt or followed by
padding or garbage, gzip JSONL and binary frames alike."""
from __future__ import annotations

import datetime as dt
import gzip
import json
import zlib

import pytest

import tidesim
import tiderec.binary as binary
from tiderec.decoding import SessionReader
from tiderec.schema import SessionHeader

tidesim.install()
isal_zlib = pytest.importorskip("isal.isal_zlib")


def members(n_members: int = 3, lines_each: int = 400) -> list[bytes]:
    day = dt.date(2026, 1, 5)
    header = SessionHeader(day, SessionHeader.default_start(day), SessionHeader.default_end(day),
                           {"accounts": {}}, [], {}).to_json()
    lines = [json.dumps(header)]
    for i in range(n_members * lines_each):
        lines.append(json.dumps({"t": f"2026-01-05T09:30:{i % 60:02d}.{i % 1000:03d}",
                                 "cb": "on_snapshot",
                                 "args": [{"seq": i, "pad": "x" * (i % 50), "p": i / 8}]}))
    text = [("\n".join(lines[k:k + lines_each]) + "\n").encode()
            for k in range(0, len(lines), lines_each)]
    return [gzip.compress(t) for t in text]


def tamper(kind: str) -> bytes:
    parts = members()
    data = b"".join(parts)
    if kind == "cut":
        return data[:-len(parts[-1]) // 2]
    if kind == "corrupt":
        return data[:-200] + bytes(b ^ 0x55 for b in data[-200:-100]) + data[-100:]
    if kind == "padding":
        return data + b"\x00" * 300
    if kind == "garbage":
        return data + b"not a member"
    return data


def read(path, module, monkeypatch):
    monkeypatch.setattr(binary, "_inflater", module)
    problems = []
    with SessionReader(path) as reader:
        seqs = [e.args[0].seq for e in reader.entries(on_error=problems.append)]
    # (the library's own words on corrupt data, in parentheses, differ)
    return seqs, [(p.line, p.message.split(" (Error")[0]) for p in problems]


@pytest.mark.parametrize("kind", ["whole", "cut", "corrupt", "padding", "garbage"])
def test_isal_and_zlib_read_alike(tmp_path, monkeypatch, kind):
    path = tmp_path / "day.jsonl.gz"
    path.write_bytes(tamper(kind))
    fast = read(path, isal_zlib, monkeypatch)
    assert fast == read(path, zlib, monkeypatch)
    seqs, problems = fast
    assert seqs == list(range(len(seqs))) and len(seqs) >= 600
    assert bool(problems) == (kind in ("cut", "corrupt", "garbage"))


def test_the_fast_inflate_is_used_when_installed(monkeypatch):
    monkeypatch.setattr(binary, "_inflater", None)
    assert binary.inflater() is isal_zlib


@pytest.mark.parametrize("kind", ["whole", "cut", "corrupt"])
def test_binary_frames_read_alike_with_isal_and_zlib(tmp_path, monkeypatch, kind):
    from tiderec.binary import MAGIC, FrameWriter, Packer
    packer, frames = Packer(), FrameWriter()
    text = [gzip.decompress(m).decode().splitlines() for m in members()]
    lines = [line for part in text for line in part]
    items = [packer.json_line(lines[0].encode(), header=True)] + \
        [packer.json_line(x.encode()) for x in lines[1:]]
    data = MAGIC + b"".join(frames.frame(items[i:i + 300]) for i in range(0, len(items), 300))
    if kind == "cut":
        data = data[:-500]
    elif kind == "corrupt":
        data = data[:-300] + bytes(b ^ 0x55 for b in data[-300:-200]) + data[-200:]
    path = tmp_path / "day.tsb"
    path.write_bytes(data)
    fast = read(path, isal_zlib, monkeypatch)
    assert fast == read(path, zlib, monkeypatch)
    assert len(fast[0]) >= 800 and bool(fast[1]) == (kind != "whole")

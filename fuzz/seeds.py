"""Writes the seed corpus (fuzz/corpus/TARGET/seed-*) from the bundled day and lines like the
tests' own: `python fuzz/seeds.py` (in an environment with tiderec and tidesim). The seeds are
committed; the output is the same on every run, so a change to this file shows as a change of
the corpus."""
from __future__ import annotations

import gzip
import os
import random
import shutil
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import frame  # noqa: E402
from harness_lines import day_lines, one_per_callback  # noqa: E402
from harness_session import binary_file, gzip_members  # noqa: E402
from tiderec.binary import Packer  # noqa: E402

T = '"t":"2026-01-05T09:30:00.125"'
SNAP = ('{"security_id":"600001","market_type":{"$enum":"MarketType.SSE"},'
        '"orig_time":20260105093000125,"last_price":42.66,"ask_price":[42.67,42.68],'
        '"ask_volume":[1100,3800],"iopv":0.0,"trading_phase_code":"T0"}')
LEARN = f'{{{T},"cb":"on_snapshot","args":[{SNAP}]}}'
R = SNAP[:-1]
# Lines at the edges of what the native decoder takes (the tests' table, in short).
EDGES = [
    LEARN,
    f'{{ {T} , "cb" : "on_snapshot" , "args" : [ {SNAP} ] }}\r',
    f'{{"args":[{SNAP}],"cb":"on_snapshot",{T}}}',
    f'{{"t":"2026-01-05T09:30:00.123456","cb":"on_snapshot","args":[{SNAP}]}}',
    f'{{"t":"2026-02-30T09:30:00","cb":"on_snapshot","args":[{SNAP}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{SNAP}],"kw":{{}}}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":{{"$const":"SIDE.BUY"}}}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":{{"$enum":"MarketType.NOPE"}}}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":"a\\"b","y":"caf\u00e9 \u4e2d"}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":null,"y":true,"z":false,"last_price":1}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":[1,2.5,"a",null,true],"y":{list(range(65))}}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":123456789012345678901,"y":1e400,"z":-0.0}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":0.30000000000000004,"y":5e-324,"z":1E-5}}]}}',
    f'{{{T},"cb":"on_snapshot","args":[{R},"x":{{"$decimal":"1.5"}},"y":{{"a":1}}}}]}}',
    '{"trailer":{"dropped":{}}}',
    "",
    "   ",
]


def write(target: str, name: str, data: bytes) -> None:
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def packable(packer: Packer, lines: list[bytes]) -> list[bytes]:
    out = []
    for x in lines:
        try:
            out.append(packer.json_line(x))
        except Exception:
            pass  # (a line the binary encoding cannot hold: 1e400, say)
    return out


def main() -> None:
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    day = day_lines()
    header, entries = day[0], day[1:]
    packer = Packer()
    firsts = one_per_callback(day)
    step = len(entries) // 10
    windows = [firsts] + [entries[i:i + 6] for i in range(0, 10 * step, step)] + \
        [[x.encode() for x in EDGES]]
    for n, lines in enumerate(windows):
        block = b"\n".join(lines) + b"\n"
        flags = n % 4 | (8 if n % 3 == 2 else 0)  # (some with a record factory of their own)
        write("json_lines", f"seed-{n:02}", bytes([flags]) + block)
        packed = packable(packer, [x for x in lines if x.strip()])
        write("binary_lines", f"seed-{n:02}", bytes([flags]) + frame(packed))

    # whole files: a short session, written every way the reader meets one
    text = b"\n".join([header] + firsts[:8] + entries[:12]) + b"\n"
    packed = [packer.json_line(header, header=True)] + \
        [packer.json_line(x) for x in firsts[:8] + entries[:12]]
    gz = gzip_members(text, 6)
    tsb = binary_file(packed, 5)
    files = {
        "gzip": b"\x00" + gz,
        "gzip-cut": b"\x00" + gz[:-40],
        "gzip-padded": b"\x00" + gz + b"\x00" * 512,
        "gzip-one-member": b"\x00" + gzip.compress(text, 1, mtime=0),
        "tsb": b"\x00" + tsb,
        "tsb-cut": b"\x00" + tsb[:-25],
        "plain": b"\x03" + text,
        "plain-unfinished": b"\x03" + text.rstrip(b"\n"),
        "gzip-made": b"\x01" + text,
        "gzip-made-cut": b"\x15" + text,
        "tsb-made": b"\x02" + frame(packed),
        "tsb-made-padded": b"\x2a" + frame(packed),
        "tsb-corrupt": b"\x00" + tsb[:60] + bytes(b ^ 0x55 for b in tsb[60:80]) + tsb[80:],
        "zlib-not-lines": b"\x00" + tsb[:8] + zlib.compress(b"\x91\x05"),
        "header-only": b"\x01" + header + b"\n",
        "empty": b"\x03",
    }
    for name, data in files.items():
        write("session_files", f"seed-{name}", data)

    rng = random.Random(20261209)
    for n in range(24):
        size = 4 + rng.randrange(60)
        recipe = bytes([n % 2, n % 4]) + bytes(rng.randrange(256) for _ in range(size))
        write("capture", f"seed-{n:02}", recipe)

    # captured callbacks for the line encoder: the recipe's bytes choose everything
    for n in range(16):
        size = 24 + rng.randrange(240)
        write("encoder", f"seed-{n:02}", bytes([n]) + bytes(rng.randrange(256) for _ in range(size)))

    # events for the replay's event encoding: the recipe's bytes choose everything
    for n in range(16):
        size = 16 + rng.randrange(300)
        write("events", f"seed-{n:02}", bytes(rng.randrange(256) for _ in range(size)))


if __name__ == "__main__":
    main()

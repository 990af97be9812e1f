"""SessionReader on whole files, read with the native decoder and with the Python decoding
alone: the same header (or the same refusal), the same entries with the same line numbers, the
same bad lines and notes on a cut-off or corrupt file. Anything but SessionFormatError out of
the reader is a failure too.

An input is a flags byte and a body; the low two bits say what the body is:
  0  the file itself (the seeds hold gzip, plain and binary files, whole and cut);
  1  JSONL text, written as gzip members of a few lines each;
  2  binary lines framed as in common.framed, written as a binary file of frames;
  3  JSONL text, written as it is.
Bits 2-3 damage the file so made: 4 cuts off its last bytes (bits 4-7 say how many),
8 pads it with zero bytes (as a file system may after a crash), 12 appends a stray byte.
"""
from __future__ import annotations

import os
import zlib
from typing import Any

import msgspec

import tidesim
from tiderec import decoding
from tiderec.binary import MAGIC
from tiderec.decoding import Decoder, SessionReader
from tiderec.schema import SessionFormatError

from common import Failure, entry_outcome, framed, known

tidesim.install()

_NATIVE = decoding._LineDecoder
# The file being read: an anonymous file in memory, named by its descriptor (nothing is left
# behind however the process ends).
_FD = os.memfd_create("fuzz-session")
_PATH = f"/proc/self/fd/{_FD}"
_encode_items = msgspec.msgpack.Encoder().encode


def gzip_members(text: bytes, per: int) -> bytes:
    lines = text.splitlines(keepends=True)
    out = []
    for i in range(0, max(len(lines), 1), per):
        z = zlib.compressobj(1, zlib.DEFLATED, 31)
        out.append(z.compress(b"".join(lines[i:i + per])) + z.flush())
    return b"".join(out)


def binary_file(lines: list[bytes], per: int) -> bytes:
    frames = [zlib.compress(_encode_items(lines[i:i + per]), 1)
              for i in range(0, max(len(lines), 1), per)]
    return MAGIC + b"".join(frames)


def make_file(data: bytes) -> bytes:
    flags, body = data[0], data[1:]
    kind, damage, amount = flags & 3, flags & 12, flags >> 4
    per = 2 + amount % 5
    if kind == 1:
        body = gzip_members(body, per)
    elif kind == 2:
        body = binary_file(list(framed(body)), per)
    if damage == 4:
        body = body[:max(0, len(body) - 1 - amount * 3)]
    elif damage == 8:
        body += b"\0" * (1 + amount * 37)
    elif damage == 12:
        body += bytes([amount * 17])
    return body


def read(native: bool) -> Any:
    decoding._LineDecoder = _NATIVE if native else None
    try:
        decoder = Decoder()
    finally:
        decoding._LineDecoder = _NATIVE
    got: list[Any] = []
    try:
        with SessionReader(_PATH, decoder) as reader:
            got.append(("header", repr(vars(reader.header)), reader.binary))
            for e in reader.entries(on_error=lambda err: got.append(("bad", err.line, err.message))):
                got.append(entry_outcome(e))
            got.append(("trailer", reader.trailer, reader.line))
    except SessionFormatError as exc:
        got.append(("refused", str(exc)))
    return got


def session_file(data: bytes) -> None:
    if not data:
        return
    body = make_file(data)
    os.ftruncate(_FD, 0)
    os.pwrite(_FD, body, 0)
    got, want = read(True), read(False)
    if got == want:
        return
    if len(got) == len(want):
        diff = [(g, w) for g, w in zip(got, want) if g != w]
        # finding 2: a NUL-damaged line decoded natively where the Python decoding refuses it
        if all(w[0] == "bad" and g[0] != "bad" for g, w in diff) and b"\0" in data and known("2"):
            return
    first = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
    raise Failure(f"native and Python readings differ from item {first}:\n native "
                  f"{got[first:first + 2]!r}\n python {want[first:first + 2]!r}")

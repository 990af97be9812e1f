"""The binary encoding of a session (files named "*.tsb").

The same lines as a JSONL session (the header, then one entry each), each encoded as MessagePack
instead of JSON text, and grouped into blocks. The file starts with the 8 bytes of `MAGIC`, then
frames follow one another: a frame is one zlib stream (with its checksum) whose content is a
MessagePack array of the block's lines, each line a MessagePack `bin` item holding that line's
own MessagePack encoding. A frame stands alone, so a file whose writer was killed reads back up
to its last whole frame, and a line is decoded by itself, so a bad one is named by its number
(the header is line 1, as in JSONL).

A line holds the same keys and values as its JSON form. A tagged value ({"$enum": ...},
{"$tuple": [...]}, a nested record {"$type": ..., ...}) is a MessagePack extension value whose
type code names the tag and whose data is the MessagePack encoding of what the tag holds (a
nested record: its fields with "$type" among them, where the JSON line has it). The decoder turns extension values into their Python
values while MessagePack is parsed, so no walk over a decoded line is needed. Integers beyond
MessagePack's 64 bits are an extension value holding their decimal text.

`Packer` turns lines in the file's JSON form into the binary form; `to_json_form` turns a
binary line back (converting a file either way loses nothing); `Frames` reads the lines of a
binary file; `FrameWriter` writes them.
"""
from __future__ import annotations

import os
from typing import IO, Any, Callable, Iterator

import zlib

import msgspec

from .schema import _Bad

SUFFIX = ".tsb"
# The file's first bytes: not text (a JSONL session starts with "{"), not gzip's.
MAGIC = b"\x93TSB\r\n\x1a\n"

# Extension type codes of the tags. Codes are part of the file format: never reuse one.
TAG_CODES: dict[str, int] = {
    "$enum": 1, "$const": 2, "$tuple": 3, "$map": 4, "$type": 5, "$datetime": 6, "$date": 7,
    "$time": 8, "$timedelta": 9, "$decimal": 10, "$set": 11, "$frozenset": 12, "$bytes": 13,
    "$bytearray": 14, "$ndarray": 15, "$npscalar": 16, "$float": 17, "$unrecorded": 18,
}
BIGINT = 64  # an integer outside [-2**63, 2**64): its decimal text
CODE_TAGS: dict[int, str] = {code: tag for tag, code in TAG_CODES.items()}
RECORD = TAG_CODES["$type"]
_INT_MIN, _INT_MAX = -(1 << 63), (1 << 64) - 1
_KEPT = frozenset({str, float, bool, type(None)})  # values a line keeps as they are
_KEPT_INT = _KEPT | {int}  # ... and integers, while none is too large (see Packer._packed)


_inflater: Any = None


def inflater() -> Any:
    """What inflates gzip members and zlib frames: ISA-L's (the isal distribution, the "fast"
    extra: several times zlib's speed, the same calls) when it is installed, else zlib."""
    global _inflater
    if _inflater is None:
        try:
            from isal import isal_zlib as module
        except ImportError:
            module = zlib
        _inflater = module
    return _inflater


def is_binary_name(path: str | os.PathLike) -> bool:
    """Whether a file of this name is written in the binary encoding."""
    return os.fspath(path).endswith(SUFFIX)


def big_int(data: Any) -> int:
    try:
        return int(bytes(data).decode("ascii"))
    except (ValueError, UnicodeDecodeError):
        raise _Bad("malformed large integer in binary data") from None


class Packer:
    """Turns lines in the file's JSON form (parsed JSON, tags as one-key objects) into binary
    lines. The tags are checked as the decoder will read them: an unknown tag is refused."""

    def __init__(self) -> None:
        self._encode = msgspec.msgpack.Encoder().encode
        self._json = msgspec.json.Decoder().decode
        self._ext = msgspec.msgpack.Ext
        self._kept = _KEPT_INT  # the types kept as they are (see _packed)

    def value(self, v: Any, depth: int = 0) -> Any:
        t = type(v)
        if t is dict:
            if depth > 200:
                raise _Bad("nesting too deep")
            if len(v) == 1:
                for k, x in v.items():
                    if type(k) is str and k[:1] == "$":
                        return self._tag(k, x, depth + 1)
            if "$type" in v:  # a nested record: its fields, "$type" where it stands
                fields = {k: x if k == "$type" else self.value(x, depth + 1) for k, x in v.items()}
                return self._ext(RECORD, self._encode(fields))
            kept = self._kept
            value = self.value
            return {k: x if type(x) in kept else value(x, depth + 1) for k, x in v.items()}
        if t is list:
            if depth > 200:
                raise _Bad("nesting too deep")
            if set(map(type, v)) <= self._kept:  # most lists hold plain values: no loop
                return v
            return [self.value(x, depth + 1) for x in v]
        if t is int and not _INT_MIN <= v <= _INT_MAX:
            return self._ext(BIGINT, str(v).encode("ascii"))
        return v

    def _packed(self, make: Callable[[], Any]) -> bytes:
        """The MessagePack of what `make` gives. Integers are first kept as they are; only
        when one is beyond MessagePack's range is the line made again, checking each."""
        try:
            return self._encode(make())
        except OverflowError:
            self._kept = _KEPT
            try:
                return self._encode(make())
            finally:
                self._kept = _KEPT_INT

    def _tag(self, k: str, x: Any, depth: int) -> Any:
        code = TAG_CODES.get(k)
        if code is None:
            raise _Bad(f"unknown tag {k!r}")
        if code == RECORD:  # {"$type": name}: a record without fields
            return self._ext(RECORD, self._encode({k: x}))
        if code == TAG_CODES["$map"] and type(x) is dict:  # its keys are keys, whatever they look like
            x = {key: self.value(item, depth + 1) for key, item in x.items()}
        else:
            x = self.value(x, depth)
        return self._ext(code, self._encode(x))

    def header(self, obj: Any) -> bytes:
        """The header line: every value in it may be tagged."""
        return self._packed(lambda: self.value(obj))

    def entry(self, obj: Any) -> bytes:
        """An entry (or the trailer): the values of its arguments may be tagged, the line's own
        keys stand for themselves."""
        if type(obj) is not dict:
            return self._packed(lambda: self.value(obj))
        return self._packed(lambda: self._entry(obj))

    def _entry(self, obj: dict) -> dict:
        out = dict(obj)
        args = out.get("args")
        if type(args) is list:
            out["args"] = [self.value(a) for a in args]
        kw = out.get("kw")
        if type(kw) is dict:
            out["kw"] = {k: self.value(a) for k, a in kw.items()}
        return out

    def json_line(self, raw: bytes, header: bool = False) -> bytes:
        """A JSON line (bytes) as a binary line."""
        obj = self._json(raw)
        return self.header(obj) if header else self.entry(obj)


def _json_form_ext(code: int, data: memoryview) -> Any:
    if code == BIGINT:
        return big_int(data)
    tag = CODE_TAGS.get(code)
    if tag is None:
        raise _Bad(f"unknown extension type {code} in binary data")
    payload = _json_form_decode(data)
    if code == RECORD:
        if type(payload) is not dict or "$type" not in payload:
            raise _Bad("a nested record must hold its fields and '$type'")
        return payload
    return {tag: payload}


_json_form_decode = msgspec.msgpack.Decoder(ext_hook=_json_form_ext).decode


def to_json_form(raw: bytes) -> Any:
    """A binary line as the object its JSON line holds (tags as one-key objects)."""
    try:
        return _json_form_decode(raw)
    except msgspec.DecodeError as exc:
        raise _Bad(f"malformed binary line: {exc}") from None
    except UnicodeDecodeError as exc:
        raise _Bad(f"a text that is not UTF-8: {exc.reason} at byte {exc.start}") from None
    except RecursionError:
        raise _Bad("nesting too deep") from None


# ---------------------------------------------------------------------------------------------
# Frames

_CHUNK = 1 << 18
_items = msgspec.msgpack.Decoder(list[bytes]).decode


class Frames:
    """The lines of a binary session file (bytes, each one line's MessagePack), read frame by
    frame from an open file whose first bytes (the magic) were read already. After the last
    line, `cut` says whether the file ended in the middle of a frame, and `error` whether a
    frame was unreadable. The same interface as the reader of JSONL files."""

    binary = True
    unfinished = False  # (a JSONL file's last line may lack its newline; a frame is whole)

    def __init__(self, path: str, file: IO[bytes], size: int) -> None:
        self.path = path
        self.file = file
        self.size = size
        self.cut: str | None = None
        self.error: str | None = None

    def __iter__(self) -> Iterator[bytes]:
        for lines, _ in self.chunks():
            yield from lines

    def chunks(self) -> Iterator[tuple[list[bytes], int]]:
        """The lines frame by frame: (the frame's lines, how many)."""
        f = self.file
        data = b""
        z = inflater()
        d = z.decompressobj()
        parts: list[bytes] = []
        fed = False
        while True:
            if not data:
                data = f.read(_CHUNK)
                if not data:
                    break
            fed = True
            try:
                out = d.decompress(data)
            except z.error as exc:
                self.error = f"corrupt compressed data ({exc})"
                return
            data = b""
            if out:
                parts.append(out)
            if not d.eof:
                continue
            payload = b"".join(parts) if len(parts) != 1 else parts[0]
            parts = []
            try:
                lines = _items(payload)
            except (msgspec.DecodeError, RecursionError):
                self.error = "a compressed frame that does not hold a block of session lines"
                return
            if lines:
                yield lines, len(lines)
            data = d.unused_data
            d = z.decompressobj()
            fed = False
        if fed:
            self.cut = "the file ends in the middle of a compressed frame"

    def tell(self) -> int:
        return self.file.tell() if not self.file.closed else self.size

    def close(self) -> None:
        self.file.close()


class FrameWriter:
    """Makes the parts of a binary file: `MAGIC` first, then `frame(lines)` for each block: one
    zlib stream holding them (zlib lets go of the interpreter's lock while it compresses)."""

    def __init__(self, level: int = 6) -> None:
        self._level = level
        self._encode = msgspec.msgpack.Encoder().encode

    def frame(self, lines: list[bytes]) -> bytes:
        return zlib.compress(self._encode(lines), self._level)

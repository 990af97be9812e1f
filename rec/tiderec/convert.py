"""Converting a session file between JSONL and the binary encoding (either way, chosen by the
output's name: ".tsb" is binary, ".gz" gzip-compressed JSONL, anything else plain JSONL).

Lines are converted in the file's JSON form (tags as one-key objects), so nothing is resolved
and nothing is lost: converting a file and converting the result back gives the same lines.
Each line is checked as it passes (it must be a JSON object, its tags known ones); the first
bad line stops the conversion, naming the file and the line, and leaves no output behind. A
file that ends cut off (its writer was killed) converts up to its last whole line, and the
result says so in `note`.
"""
from __future__ import annotations

import dataclasses
import math
import os

import msgspec

from .binary import Packer, is_binary_name, to_json_form
from .decoding import _open_source
from .encoding import RecordingTargetError, SessionWriter, check_target
from .schema import SessionFormatError, SessionHeader, _Bad


@dataclasses.dataclass
class ConvertResult:
    entries: int = 0  # lines after the header, the trailer included
    binary: bool = False  # what was written
    note: str | None = None  # the input ended cut off: what was converted


_JSON_SCALARS = (str, int, bool, type(None))


def _check_json_form(v: object, depth: int = 0) -> None:
    """Refuses what a binary line may hold but a JSON line cannot (MessagePack's bytes,
    timestamps, keys that are not texts, non-finite floats), which no writer of sessions puts
    there: converted to JSON, it would silently become another value."""
    t = type(v)
    if t is dict:
        for k, x in v.items():  # type: ignore[union-attr]
            if type(k) is not str:
                raise _Bad(f"a map key that is not a text: {k!r}")
            _check_json_form(x, depth + 1)
    elif t is list:
        for x in v:  # type: ignore[union-attr]
            _check_json_form(x, depth + 1)
    elif t is float:
        if not math.isfinite(v):  # type: ignore[arg-type]
            raise _Bad(f"a number JSON cannot hold: {v!r}")
    elif t not in _JSON_SCALARS:
        raise _Bad(f"a value JSON cannot hold: a {t.__name__}")


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def convert(src: str | os.PathLike, dst: str | os.PathLike, *, overwrite: bool = False) -> ConvertResult:
    """Writes the session `src` to `dst` in the encoding `dst`'s name asks for. Raises
    SessionFormatError for an unreadable input or a bad line, RecordingTargetError for an
    output that cannot be written (or exists, unless `overwrite`)."""
    src, dst = os.fspath(src), os.fspath(dst)
    if not os.path.isfile(src):
        what = "is a directory" if os.path.isdir(src) else "does not exist"
        raise SessionFormatError(src, 0, f"cannot convert: the input {what}")
    check_target(dst, overwrite)
    if _same_file(src, dst):
        raise RecordingTargetError(f"{dst} is the input itself; write the conversion to another file")
    res = ConvertResult(binary=is_binary_name(dst))
    tmp = f"{dst}.part"
    try:
        source = _open_source(src)
    except OSError as exc:
        raise SessionFormatError(src, 0, f"cannot read: {exc.strerror or exc}") from None
    packer = Packer()
    parse_json = msgspec.json.Decoder().decode
    line = 0
    try:
        try:
            writer = SessionWriter(tmp, None, compress=dst.endswith(".gz"), overwrite=True,
                                   binary=res.binary)
            try:
                for raw in source:
                    line += 1
                    if not source.binary and (not raw or raw.isspace()):
                        continue
                    try:
                        if source.binary:
                            obj = to_json_form(raw)
                            _check_json_form(obj)
                        else:
                            obj = parse_json(raw)
                        if line == 1:
                            SessionHeader.from_json(obj)  # refuses what is not a session header
                            writer.write_header(obj)
                            continue
                        if type(obj) is not dict or not ("t" in obj or "trailer" in obj):
                            raise _Bad("an entry must be a JSON object with its time 't'")
                        packer.entry(obj)  # checks every tag
                        writer.write_json(obj)
                    except (_Bad, msgspec.DecodeError, msgspec.EncodeError, UnicodeDecodeError,
                            TypeError, ValueError, OverflowError) as exc:
                        if getattr(source, "unfinished", False):
                            res.note = (f"the file ends in the middle of line {line}; line "
                                        f"{line - 1} is the last whole line, everything up to it "
                                        "was converted")
                            break
                        if isinstance(exc, msgspec.DecodeError):
                            what = f"malformed JSON: {exc}"
                        elif isinstance(exc, (_Bad, UnicodeDecodeError)):
                            what = str(exc)
                        else:  # a binary line holding what the JSON form cannot
                            what = f"cannot convert this line: {type(exc).__name__}: {exc}"
                        raise SessionFormatError(src, line, what) from None
                    except RecursionError:
                        raise SessionFormatError(src, line, "nesting too deep") from None
                    res.entries += 1
            finally:
                writer.close()
        finally:
            source.close()
        if source.error is not None:
            raise SessionFormatError(src, line + 1, f"cannot read past line {line}: {source.error}")
        if source.cut is not None:
            if line == 0:
                raise SessionFormatError(src, 1, f"{source.cut}, before the session header")
            res.note = (f"{source.cut} (cut off, as when the recording process is killed); "
                        f"line {line} is the last whole line, everything up to it was converted")
        if line == 0:
            raise SessionFormatError(src, 0, "empty file: no session header")
        os.replace(tmp, dst)
    except OSError as exc:
        raise RecordingTargetError(f"cannot convert {src} to {dst}: {exc.strerror or exc}") from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return res


class JsonLines:
    """The lines of a binary session file as JSON lines (bytes ending in a newline), read like
    a text file: `readline()` and iteration. A line that cannot be read raises
    SessionFormatError naming it; so does a file that ends cut off, after its last whole line."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._source = _open_source(path)
        self._iter = iter(self._source)
        self._line = 0
        self._encode = msgspec.json.Encoder().encode

    def readline(self) -> bytes:
        return next(self, b"")

    def __iter__(self) -> JsonLines:
        return self

    def __next__(self) -> bytes:
        for raw in self._iter:
            self._line += 1
            try:
                return self._encode(to_json_form(raw)) + b"\n"
            except _Bad as exc:
                raise SessionFormatError(self.path, self._line, str(exc)) from None
        src = self._source
        if src.cut is not None or src.error is not None:
            what, src.cut, src.error = src.cut or src.error, None, None
            raise SessionFormatError(self.path, self._line + 1,
                                     f"cannot read past line {self._line}: {what}")
        raise StopIteration

    def close(self) -> None:
        self._source.close()

    def __enter__(self) -> JsonLines:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class BinaryLineWriter:
    """Writes JSON lines (the header first), as a file object would take them, into a binary
    session file."""

    def __init__(self, path: str) -> None:
        self._writer = SessionWriter(path, None, overwrite=True, binary=True)
        self._header = True
        self._json = msgspec.json.Decoder().decode

    def write(self, data: bytes) -> int:
        line = data.rstrip(b"\n")
        if self._header:
            self._writer.write_header(self._json(line))
            self._header = False
        else:
            self._writer.write_line(line)
        return len(data)

    def close(self) -> None:
        self._writer.close()

    def __enter__(self) -> BinaryLineWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

"""Writing session files: the writer (the value encoding is tiderec.values).

The writer buffers lines and writes them in blocks; a compressed file is a series of gzip
members, one per block, each complete in itself, so a file whose writer was killed reads
back up to its last whole block. Lines are encoded by msgspec; the values are first put into
the file's form by `Encoder` (tags for what JSON cannot hold).
"""
from __future__ import annotations

import datetime as _dt
import os
import zlib
from typing import IO, Any, Callable

import msgspec

from .binary import MAGIC, FrameWriter, Packer, is_binary_name

try:  # a block compressed and written in one release of the interpreter's lock
    from ._capture import write_fd as _write_fd, write_gzip as _write_gzip
except ImportError:  # a copy of the package without its native part, or built without zlib
    _write_fd = _write_gzip = None
try:  # the numbers of lines made by the native line encoder written out (see _write_parts)
    from ._capture import finish_lines as _finish_lines
except ImportError:  # without the native part no line has numbers left to write
    _finish_lines = None
try:  # ISA-L's deflate (the "fast" extra): gzip members at a fraction of zlib's cost
    from isal import isal_zlib as _isal_zlib
except ImportError:
    _isal_zlib = None
from .schema import FRAMEWORK_ACTS, SDK_CALLBACKS, SessionHeader
# The value encoding lives in .values (the schema uses it too); its names stay importable here.
from .values import (_MISSING, _SCALARS, Encoder, Unencodable, encode_value,  # noqa: F401
                     field_getter, is_record)


class RecordingTargetError(ValueError):
    """A file that a session cannot be written to: the message says why."""


def check_target(path: str | os.PathLike, overwrite: bool = False) -> str:
    """Checks, before anything is written, that a session can be written at `path`: its
    directory exists and is writable, the path is not a directory, and (unless `overwrite`)
    no file is there yet. Returns the path; raises RecordingTargetError."""
    path = os.fspath(path)
    if not path:
        raise RecordingTargetError("no file name given to write the session to")
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise RecordingTargetError(f"{path} is a directory; give the name of a file to write")
    if not os.path.isdir(directory):
        raise RecordingTargetError(f"cannot write {path}: the directory {directory} does not exist")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise RecordingTargetError(f"cannot write {path}: the directory {directory} is not writable")
    if os.path.lexists(path):
        if not overwrite:
            raise RecordingTargetError(f"{path} exists already; choose another name or allow "
                                       "overwriting it (overwrite=True, --force)")
        if not os.access(path, os.W_OK):
            raise RecordingTargetError(f"cannot overwrite {path}: the file is not writable")
    return path


def _open_target(path: str, overwrite: bool) -> IO[bytes]:
    check_target(path, overwrite)
    try:
        return open(path, "wb" if overwrite else "xb")
    except OSError as exc:  # changed since the check
        raise RecordingTargetError(f"cannot write {path}: {exc.strerror or exc}") from None



def format_time(t: _dt.datetime) -> str:
    return t.isoformat(timespec="milliseconds" if t.microsecond % 1000 == 0 else "microseconds")


def unrecorded(exc: BaseException) -> dict:
    """What stands in the file for a value that could not be recorded."""
    return {"$unrecorded": f"{type(exc).__name__}: {exc}"[:300]}


class SessionWriter:
    """Writes a session: the header at once, then entries as they come, in blocks of about
    `block_size` bytes (and at every `flush()`). gzip-compressed when `compress` is true, or,
    when it is None, when the path ends in ".gz"; each block is then one gzip member. Accepts
    a path (refused when the file exists, unless `overwrite`) or a binary file object (left
    open on close). `binary` (by default: when the path ends in ".tsb") writes the compact
    binary encoding instead (tiderec.binary: each block one compressed frame at `level`;
    `compress` does not apply). The methods are the same: lines given as JSON are packed as written.
    `fast_level` (0 to 3), when ISA-L is installed (the "fast" extra), compresses the gzip
    blocks with ISA-L's deflate at that level instead of zlib at `level`: the same gzip members
    to every reader, several times faster to make, somewhat larger.

    Values that the format cannot hold are written as "$unrecorded" in their place and counted
    in `errors`; a replay reports such an entry as bad input."""

    def __init__(self, target: str | os.PathLike | IO[bytes], header: SessionHeader | dict | None,
                 compress: bool | None = None, level: int = 6, *, overwrite: bool = True,
                 block_size: int = 1 << 18, binary: bool | None = None,
                 fast_level: int | None = None, lock_gate: Any = None) -> None:
        self._owned: IO[bytes] | None = None
        # The recorder's LockGate: the lock released for a block is taken back through it.
        self._gate = lock_gate
        if isinstance(target, (str, os.PathLike)):
            self.path = os.fspath(target)
            if binary is None:
                binary = is_binary_name(self.path)
            raw = _open_target(self.path, overwrite)
            self._owned = raw
            if compress is None:
                compress = self.path.endswith(".gz")
        else:
            self.path = getattr(target, "name", "<stream>")
            raw = target
        # the binary encoding: each line packed as it is written, each block one zstd frame
        self.binary = bool(binary)
        self._packer = Packer() if self.binary else None
        self._frames = FrameWriter(level) if self.binary else None
        if self._frames is not None:
            raw.write(MAGIC)
        self._raw = raw
        self._compress = bool(compress)
        # the file's descriptor, for the blocks of a gzip file this writer opened
        self._fd = raw.fileno() if (_write_gzip is not None and self._owned is not None
                                    and self._compress and not self.binary) else None
        self._level = level
        self._fast_level = fast_level if (_isal_zlib is not None and self._compress
                                          and not self.binary) else None
        self._block_size = block_size
        self._parts: list[bytes] = []
        self._size = 0
        self._encode = msgspec.json.Encoder().encode
        self.encoder = Encoder()
        # Entries in the blocks written to the file; those of the block being assembled are
        # `_taken` until it is written (a failed write leaves them out, its parts in `unwritten`).
        self.entries = 0
        self._taken = 0
        self.unwritten: list[bytes] = []
        self.appended = 0  # parts put into the block being assembled, ever (see the recorder)
        self.errors = 0
        self._closed = False
        if header is not None:
            self.write_header(header)

    def write_header(self, header: SessionHeader | dict) -> None:
        obj = header.to_json() if isinstance(header, SessionHeader) else header
        if self._packer is not None:
            self._add(self._packer.header(obj))
        else:
            self.write_json(obj)

    def write_json(self, obj: dict) -> None:
        """Writes one line (an entry or the trailer) from an object that is already in the
        file's JSON form."""
        if self._packer is not None:
            self._add(self._packer.entry(obj))
        else:
            self.write_line(self._encode(obj))

    def write_line(self, line: bytes) -> None:
        """Writes one entry line encoded as JSON (without its newline)."""
        if self._packer is not None:
            self._add(self._packer.json_line(line))
            return
        self._parts.append(line)
        self._parts.append(b"\n")
        self.appended += 1
        self._size += len(line) + 1
        if self._size >= self._block_size:
            self.write_block()

    def take(self, count: int) -> None:
        """Counts `count` entries about to be written into the block being assembled: they
        are counted in `entries` once their block is written."""
        self._taken += count

    @property
    def taken(self) -> int:
        """Entries written or in the block being assembled (what the file holds once closed)."""
        return self.entries + self._taken

    def write_lines(self, lines: bytes) -> None:
        """Writes entry lines encoded as JSON, each ending in its newline (JSONL files only)."""
        self._parts.append(lines)
        self.appended += 1
        self._size += len(lines)
        if self._size >= self._block_size:
            self.write_block()

    def _add(self, item: bytes) -> None:
        """One binary line."""
        self._parts.append(item)
        self.appended += 1
        self._size += len(item)
        if self._size >= self._block_size:
            self.write_block()

    def write_callback(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                       kwargs: dict | None = None) -> None:
        if name not in SDK_CALLBACKS:
            raise ValueError(f"unknown callback name {name!r}")
        line = self.encode_entry(time, "cb", name, args, kwargs)
        self._taken += 1
        self.write_line(line)

    def write_act(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                  kwargs: dict | None = None) -> None:
        if name not in FRAMEWORK_ACTS:
            raise ValueError(f"unknown framework act {name!r}")
        line = self.encode_entry(time, "act", name, args, kwargs)
        self._taken += 1
        self.write_line(line)

    def encode_entry(self, time: _dt.datetime | str, kind: str, name: str, args, kwargs,
                     top: Callable[[Any], Any] | None = None) -> bytes:
        """One entry line. `top` encodes an argument (default: the encoder's top_level)."""
        enc = top or self.encoder.top_level
        line: dict[str, Any] = {"t": time if isinstance(time, str) else format_time(time), kind: name}
        encoder = self.encoder
        try:
            encoder.careful = False
            if args:
                line["args"] = [enc(a) for a in args]
            if kwargs:
                line["kw"] = {k: enc(v) for k, v in kwargs.items()}
            out = self._encode(line)
            if b"null" not in out:
                return out
            # a None, or a non-finite float that msgspec wrote as null: encode with care
            encoder.careful = True
            if args:
                line["args"] = [enc(a) for a in args]
            if kwargs:
                line["kw"] = {k: enc(v) for k, v in kwargs.items()}
            return self._encode(line)
        except (Unencodable, TypeError, ValueError, OverflowError, RecursionError, UnicodeError,
                msgspec.EncodeError):
            pass
        finally:
            encoder.careful = True
        # some value cannot be held: each one that cannot is written as "$unrecorded"
        guarded = _guarded(enc, self)
        if args:
            line["args"] = [guarded(a) for a in args]
        if kwargs:
            line["kw"] = {str(k): guarded(v) for k, v in kwargs.items()}
        try:
            return self._encode(line)
        except Exception as exc:  # e.g. a text with a lone surrogate inside a record
            self.errors += 1
            line.pop("kw", None)
            line["args"] = [unrecorded(exc)]
            return self._encode(line)

    def write_trailer(self, info: dict) -> None:
        """The closing line of a recording: what the recorder could not keep."""
        self.write_json({"trailer": info})

    def write_block(self) -> None:
        """Writes what is buffered as one block (one gzip member when compressing). When the
        write fails, the block's parts are kept in `unwritten` (their entries are not counted
        in `entries`) and the error is raised."""
        if not self._parts:
            return
        parts, taken = self._parts, self._taken
        self._parts = []
        self._size = 0
        self._taken = 0
        try:
            self._write_parts(parts)
        except BaseException:
            self.unwritten.extend(parts)
            raise
        self.entries += taken

    def _write_parts(self, parts: list[bytes]) -> None:
        if self._frames is not None:
            self._raw.write(self._frames.frame(parts))
            return
        data = b"".join(parts)
        # Lines made by the native line encoder keep their numbers as holes until here: they
        # are written out without the interpreter's lock (by write_gzip in its own release).
        if self._fd is not None and self._fast_level is None:
            self._raw.flush()  # what went through the file object (the header) goes first
            _write_gzip(self._fd, data, self._level, self._gate)
            return
        gate = self._gate
        if _finish_lines is not None:
            data = _finish_lines(data, gate)
        if self._fast_level is not None:
            # Compressed without the interpreter's lock, then written (released again). The
            # compression takes the lock back on its own: the gate is wanted throughout, so that
            # a capture in a burst lets the writer have it (the compression is short).
            if gate is not None:
                gate.want()
            try:
                data = _isal_zlib.compress(data, self._fast_level, 31)
            finally:
                if gate is not None:
                    gate.taken()
            if self._fd is not None:
                self._raw.flush()
                _write_fd(self._fd, data, gate)
            else:
                self._raw.write(data)
            return
        if self._compress:
            data = zlib.compress(data, self._level, 31)  # releases the interpreter lock
        self._raw.write(data)

    def flush(self) -> None:
        self.write_block()
        self._raw.flush()

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self.flush()
        finally:
            if self._owned is not None:
                self._owned.close()

    def __enter__(self) -> SessionWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _guarded(enc: Callable[[Any], Any], writer: SessionWriter) -> Callable[[Any], Any]:
    encode = writer._encode
    encoder = writer.encoder

    def one(v: Any, top: bool = True) -> Any:
        try:
            out = enc(v) if top else encoder.value(v)
            encode(out)
            return out
        except Exception as exc:
            # a record: keep the fields that can be held
            fields = None
            if top and getattr(type(v), "captured_fields", False):  # copied by the recorder
                fields = {k: x for k, x in v.items() if type(k) is not str or k[:1] != "_"}
            elif top and is_record(v):
                try:
                    fields = field_getter(type(v), v)(v)
                except Exception:
                    fields = None
            if fields is not None:
                return {str(k): one(x, False) for k, x in fields.items()}
            if top and isinstance(v, list):
                return [one(x) for x in v]
            writer.errors += 1
            return unrecorded(exc)
    return one

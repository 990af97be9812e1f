"""Writing session files: the value encoding and the writer.

The writer buffers lines and writes them in blocks; a compressed file is a series of gzip
members, one per block, each complete in itself, so a file whose writer was killed reads
back up to its last whole block. Lines are encoded by msgspec; the values are first put into
the file's form by `Encoder` (tags for what JSON cannot hold).
"""
from __future__ import annotations

import base64
import datetime as _dt
import decimal
import enum
import math
import os
import sys
import zlib
from typing import IO, Any, Callable

import msgspec

from .binary import MAGIC, FrameWriter, Packer, is_binary_name

try:  # a block compressed and written in one release of the interpreter's lock
    from ._capture import write_gzip as _write_gzip
except ImportError:  # a copy of the package without its native part, or built without zlib
    _write_gzip = None
from .schema import FRAMEWORK_ACTS, SDK_CALLBACKS, SessionHeader

_MISSING = object()
_finite = math.isfinite
_NUMBERS = frozenset({int, float})
_SCALARS = frozenset({str, int, float, bool, type(None)})


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


class Unencodable(Exception):
    """A value that the session format cannot hold."""


class Encoder:
    """Encodes values for a session line. SDK enumeration members become "$enum" (their type
    found among the public names of the module registered as pyvorn.enums), framework
    constants "$const" (from orvane.tamsel.const); any other object with attributes becomes a
    record: its public instance attributes (or slots, or public non-callable attributes).
    A value that cannot be held raises Unencodable."""

    careful = True

    def __init__(self) -> None:
        self._members: dict[int, dict] = {}
        self._enum_tags: dict[type, str | None] = {}
        self._fields: dict[type, Callable[[Any], dict]] = {}

    def enum_tag(self, t: type) -> str | None:
        tag = self._enum_tags.get(t, _MISSING)
        if tag is _MISSING:
            tag = None
            for modname, candidate in (("pyvorn.enums", "$enum"), ("orvane.tamsel.const", "$const")):
                mod = sys.modules.get(modname)
                if mod is not None and getattr(mod, t.__name__, None) is t:
                    tag = candidate
                    break
            if tag is None and issubclass(t, enum.Enum):
                guess = "$enum" if "pyvorn" in (t.__module__ or "") else "$const"
                home = "pyvorn.enums" if guess == "$enum" else "orvane.tamsel.const"
                # written by name when its module is not loaded yet; an enumeration that the
                # loaded module does not hold could not be read back
                tag = guess if sys.modules.get(home) is None else ""
            self._enum_tags[t] = tag
        return tag  # type: ignore[return-value]

    def fields(self, obj: Any) -> dict[str, Any]:
        """The public fields of a record object, encoded."""
        t = type(obj)
        getter = self._fields.get(t)
        if getter is None:
            getter = self._fields[t] = field_getter(t, obj)
        return self.encode_fields(getter(obj))

    def encode_fields(self, out: dict[str, Any]) -> dict[str, Any]:
        """A new-made dictionary of a record's fields, its values encoded in place.

        Unless `careful` is set, floats among the fields are left as they are, unchecked: a
        non-finite one comes out of msgspec as null, and the writer, seeing a null in the
        line, encodes the line again with `careful` set."""
        if self.careful:
            value = self.value
            for k, v in out.items():
                tv = type(v)
                # plain values are kept as they are; everything else is encoded
                if not (tv is str or tv is int or v is None or (tv is float and _finite(v))):
                    out[k] = value(v)
        elif not set(map(type, out.values())) <= _SCALARS:
            value = self.value
            for k in [k for k, v in out.items() if type(v) not in _SCALARS]:
                out[k] = value(out[k])
        return out

    def value(self, v: Any, depth: int = 0) -> Any:
        t = type(v)
        if v is None or t is str or t is int or t is bool:
            return v
        if t is float:
            return v if _finite(v) else {"$float": repr(v)}
        if depth > 100:
            raise Unencodable("nested too deep (a value that contains itself?)")
        d = depth + 1
        if t is list:
            kinds = set(map(type, v))  # a list of plain numbers is checked without a loop
            if kinds <= _NUMBERS and (float not in kinds or not self.careful or _finite(sum(v))):
                return v
            for x in v:
                tx = type(x)
                if not (tx is int or tx is str or (tx is float and _finite(x))):
                    return [self.value(x, d) for x in v]
            return v
        if t is tuple:
            return {"$tuple": [self.value(x, d) for x in v]}
        if t is dict:
            if all(type(k) is str for k in v):
                enc = {k: self.value(x, d) for k, x in v.items()}
                if enc and not any(k[:1] == "$" for k in enc):
                    return enc
                return {"$map": enc}
            # keys that JSON cannot hold as object keys: a list of [key, value] pairs
            return {"$map": [[self.value(k, d), self.value(x, d)] for k, x in v.items()]}
        hit = self._members.get(id(v))
        if hit is not None:
            return hit
        tag = self.enum_tag(t) if (isinstance(v, enum.Enum) or hasattr(v, "name")) else None
        if tag and isinstance(v, enum.Enum):  # members live as long as their class: by identity
            hit = self._members[id(v)] = {tag: f"{t.__name__}.{v.name}"}
            return hit
        if tag is not None:
            if not tag:
                raise Unencodable(f"the enumeration {t.__qualname__} is neither the SDK's nor the "
                                  "framework's")
            return {tag: f"{t.__name__}.{v.name}"}
        np_kind = _numpy_kind(t)
        if np_kind == "scalar":
            return {"$npscalar": [v.dtype.str, self.value(v.item(), d)]}
        if np_kind == "array":
            if v.dtype.kind == "V":
                raise Unencodable(f"numpy arrays of structured dtype {v.dtype} are not supported")
            return {"$ndarray": {"dtype": v.dtype.str, "shape": list(v.shape),
                                 "data": self.value(v.ravel().tolist(), d)}}
        if isinstance(v, _dt.datetime):
            return {"$datetime": v.isoformat()}
        if isinstance(v, _dt.date):
            return {"$date": v.isoformat()}
        if isinstance(v, _dt.time):
            return {"$time": v.isoformat()}
        if isinstance(v, _dt.timedelta):
            return {"$timedelta": (v.days * 86400 + v.seconds) * 1000000 + v.microseconds}
        if isinstance(v, decimal.Decimal):
            return {"$decimal": str(v)}
        if isinstance(v, (set, frozenset)):
            items = [self.value(x, d) for x in v]
            try:
                items.sort(key=_sort_key)
            except TypeError:
                pass
            return {"$set" if isinstance(v, set) else "$frozenset": items}
        if isinstance(v, bytes):
            return {"$bytes": base64.b64encode(v).decode("ascii")}
        if isinstance(v, bytearray):
            return {"$bytearray": base64.b64encode(bytes(v)).decode("ascii")}
        if isinstance(v, bool):
            return bool(v)
        if isinstance(v, int):
            return int(v)
        if isinstance(v, float):
            return self.value(float(v), d)
        if isinstance(v, str):
            return str(v)
        if isinstance(v, (list, tuple)):
            return self.value(list(v) if isinstance(v, list) else tuple(v), d)
        if isinstance(v, (complex, type)) or callable(v) and not hasattr(v, "__dict__"):
            raise Unencodable(f"a {t.__name__} is not a value a session can hold")
        rec = self.fields(v) if depth < 50 else None
        if rec is None:
            raise Unencodable("records nested too deep")
        rec["$type"] = getattr(v, "record_type", None) or t.__name__
        return rec

    def top_level(self, v: Any) -> Any:
        """An argument of an entry: records carry no "$type" (the callback implies it)."""
        if is_record(v):
            return self.fields(v)
        if type(v) is list:
            return [self.fields(x) if is_record(x) else self.value(x) for x in v]
        return self.value(v)


def _sort_key(x: Any) -> str:
    return msgspec.json.encode(x).decode()


def _numpy_kind(t: type) -> str | None:
    np = sys.modules.get("numpy")
    if np is None:
        return None
    if issubclass(t, np.generic):
        return "scalar"
    if issubclass(t, np.ndarray):
        return "array"
    return None


def field_getter(t: type, sample: Any) -> Callable[[Any], dict]:
    """A function giving a new dictionary of the public fields of objects of type t."""
    if hasattr(sample, "__dict__") and not isinstance(sample, type):
        def public_vars(o: Any) -> dict:
            d = vars(o).copy()
            for k in [k for k in d if k[:1] == "_"]:
                del d[k]
            return d
        return public_vars
    slots = [s for c in t.__mro__ for s in getattr(c, "__slots__", ()) if not s.startswith("_")]
    if slots:
        return lambda o: {s: getattr(o, s) for s in slots if hasattr(o, s)}

    def public(o: Any) -> dict:
        out = {}
        for k in dir(o):
            if k.startswith("_"):
                continue
            try:
                v = getattr(o, k)
            except Exception:
                continue
            if not callable(v):
                out[k] = v
        return out
    return public


_PLAIN = (str, int, float, bool, list, tuple, dict, set, frozenset, bytes, bytearray, type(None),
          _dt.date, _dt.time, _dt.timedelta, decimal.Decimal, complex)


def is_record(v: Any) -> bool:
    if isinstance(v, _PLAIN) or isinstance(v, enum.Enum):
        return False
    if _numpy_kind(type(v)) is not None:
        return False
    return True


_default_encoder = Encoder()


def encode_value(v: Any) -> Any:
    return _default_encoder.value(v)


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

    Values that the format cannot hold are written as "$unrecorded" in their place and counted
    in `errors`; a replay reports such an entry as bad input."""

    def __init__(self, target: str | os.PathLike | IO[bytes], header: SessionHeader | dict | None,
                 compress: bool | None = None, level: int = 6, *, overwrite: bool = True,
                 block_size: int = 1 << 18, binary: bool | None = None) -> None:
        self._owned: IO[bytes] | None = None
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
        self._block_size = block_size
        self._parts: list[bytes] = []
        self._size = 0
        self._encode = msgspec.json.Encoder().encode
        self.encoder = Encoder()
        self.entries = 0
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
        self._size += len(line) + 1
        if self._size >= self._block_size:
            self.write_block()

    def write_lines(self, lines: bytes) -> None:
        """Writes entry lines encoded as JSON, each ending in its newline (JSONL files only)."""
        self._parts.append(lines)
        self._size += len(lines)
        if self._size >= self._block_size:
            self.write_block()

    def _add(self, item: bytes) -> None:
        """One binary line."""
        self._parts.append(item)
        self._size += len(item)
        if self._size >= self._block_size:
            self.write_block()

    def write_callback(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                       kwargs: dict | None = None) -> None:
        if name not in SDK_CALLBACKS:
            raise ValueError(f"unknown callback name {name!r}")
        self.write_line(self.encode_entry(time, "cb", name, args, kwargs))
        self.entries += 1

    def write_act(self, time: _dt.datetime | str, name: str, args: tuple | list = (),
                  kwargs: dict | None = None) -> None:
        if name not in FRAMEWORK_ACTS:
            raise ValueError(f"unknown framework act {name!r}")
        self.write_line(self.encode_entry(time, "act", name, args, kwargs))
        self.entries += 1

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
        """Writes what is buffered as one block (one gzip member when compressing)."""
        if not self._parts:
            return
        if self._frames is not None:
            data = self._frames.frame(self._parts)
            self._parts = []
            self._size = 0
            self._raw.write(data)
            return
        data = b"".join(self._parts)
        self._parts = []
        self._size = 0
        if self._fd is not None:
            self._raw.flush()  # what went through the file object (the header) goes first
            _write_gzip(self._fd, data, self._level)
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

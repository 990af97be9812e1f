"""The session file format: one JSON object per line (a header, then entries), plain or as a
series of gzip members. docs/session-format.md describes it for people.

Value encoding (record fields, arguments, configuration values):

- null, booleans, numbers and strings stand for themselves; a JSON array is a list;
- a JSON object with one key beginning with "$" is a tagged value: {"$enum": "Type.Member"}
  (SDK enumeration member), {"$const": "GROUP.MEMBER"} (framework constant), {"$tuple": [...]},
  {"$map": {...}} (a dict whose keys need escaping), {"$bytes": base64}, {"$datetime": iso},
  {"$date": iso}, {"$time": iso}, {"$timedelta": microseconds}, {"$decimal": text},
  {"$set": [...]}, {"$frozenset": [...]}, {"$bytearray": base64}, {"$ndarray": {...}},
  {"$npscalar": [dtype, value]}, {"$float": "nan" | "inf" | "-inf"}, and {"$unrecorded": why}
  for a value the recorder could not hold;
- a JSON object with a "$type" key is a record of that type (its other keys are its fields);
- any other JSON object is a dict, except at the top level of an entry's arguments (and as an
  element of a top-level list), where it is a record of the type the callback implies.

A file may instead be in the compact binary encoding of the same lines (".tsb", see
tiderec.binary); SessionReader reads both, SessionWriter writes either.
"""
from __future__ import annotations

from .binary import SUFFIX as SESSION_BINARY_SUFFIX
from .decoding import Decoder, Resolver, SessionReader, read_header, trailer_problem
from .encoding import (Encoder, RecordingTargetError, SessionWriter, Unencodable, check_target,
                       encode_value, format_time)
from .schema import (FORMAT, FRAMEWORK_ACTS, READABLE_VERSIONS, SDK_CALLBACKS, TIMER_CALLBACKS,
                     VERSION, Entry, SessionFormatError, SessionHeader, SessionRecord, _Bad,
                     adopt_record, make_record, record_type)

# The names of session files, by their endings: JSONL (plain or gzip) and the binary encoding
# (tiderec.binary). Readers tell the encoding by a file's first bytes, writers by its name.
SESSION_SUFFIXES = (".jsonl", ".jsonl.gz", SESSION_BINARY_SUFFIX)

__all__ = ["SESSION_BINARY_SUFFIX", "SESSION_SUFFIXES", "Decoder", "Resolver", "SessionReader", "read_header", "trailer_problem", "Encoder",
           "RecordingTargetError", "SessionWriter", "Unencodable", "check_target", "encode_value",
           "format_time", "FORMAT", "FRAMEWORK_ACTS", "READABLE_VERSIONS", "SDK_CALLBACKS",
           "TIMER_CALLBACKS", "VERSION", "Entry", "SessionFormatError", "SessionHeader",
           "SessionRecord", "_Bad", "adopt_record", "make_record", "record_type"]

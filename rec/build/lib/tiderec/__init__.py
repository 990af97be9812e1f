"""Session recording for production, and the session file format.

- `SessionRecorder`, `recording_strategy`, `RecordingMixin` (tiderec.recorder): record what a
  strategy receives from the trading SDK into a session file, at little cost on the SDK's
  threads;
- `SessionReader`, `SessionWriter`, `SessionHeader`, `Entry`, `SessionFormatError`
  (tiderec.format): read and write session files.

Names are imported on first use: importing this package loads nothing else, and neither the
SDK, the bridge nor the framework are imported by it at any time.
"""
from __future__ import annotations

import importlib

_EXPORTS = {
    "SessionRecorder": "recorder", "RecordingMixin": "recorder", "recording_strategy": "recorder",
    "RecordingTargetError": "encoding", "check_target": "encoding",
    "SessionReader": "format", "Decoder": "format", "read_header": "format",
    "SessionWriter": "format", "Encoder": "format",
    "SessionHeader": "schema", "Entry": "schema", "SessionFormatError": "schema",
    "make_record": "schema",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value

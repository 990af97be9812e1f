"""Session replay: drive a whole trading day through the bridge, offline and deterministically.

- `format`: the session file format (reader, writer, value encoding), and `recorder`, which
  records what a strategy receives: both are the production distribution's modules
  (`tiderec.format`, `tiderec.recorder`) under their older names;
- `generator`: deterministic synthetic days;
- `runner`: the replay itself; `report`: summary, JSON, plot; `__main__`: the command line.

Names are imported on first use, so that importing the recorder pulls in neither the
stand-ins nor the bridge.
"""
from __future__ import annotations

import importlib

_EXPORTS = {
    "SessionReader": "format", "SessionWriter": "format", "SessionHeader": "format",
    "SessionFormatError": "format", "read_header": "format",
    "generate_session": "generator", "GeneratedSession": "generator",
    "SessionRecorder": "recorder", "RecordingMixin": "recorder", "recording_strategy": "recorder",
    "Replay": "runner", "ReplayResult": "runner", "replay": "runner", "signature": "runner",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value

"""Session replay: drive a whole trading day through the bridge, offline and deterministically.

- `format` and `recorder`: the session file format (reader, writer, value encoding) and the
  recorder, which records what a strategy receives: the production distribution's modules
  (`tiderec.format`, `tiderec.recorder`) under their older names;
- `generator`: deterministic synthetic days (its scenario parts: `gen_writer`, `gen_market`,
  `gen_orders`, `gen_algo`);
- `runner`: the replay's delivery and timers; `consumer`: the event queue's consumer;
  `results`: the bookkeeping; `digest`: the event stream's digest and event files; `diff`:
  comparing event files; `selection`: delivering part of the market data, `cut`; `listeners`:
  listeners named on the command line; `standin_timing`: the stand-ins' share of a callback;
  `report`: summary, JSON, plot; `checks`: argument checks; `__main__`: the command line.

Names are imported on first use, so that importing the recorder pulls in neither the
stand-ins nor the bridge.
"""
from __future__ import annotations

import importlib

_EXPORTS = {
    "SessionReader": "format", "SessionWriter": "format", "SessionHeader": "format",
    "SessionFormatError": "format", "read_header": "format",
    "generate_session": "generator", "GeneratedSession": "generator",
    "generate_days": "generator", "Selection": "selection", "diff_event_files": "diff",
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

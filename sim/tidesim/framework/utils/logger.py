"""The framework's loggers. Both are standard loggers that let every level through and
propagate to the root logger (so pytest's caplog sees them); each line is also kept in
`lines` as (logger name, level name, message) until clear_lines() or tidesim.reset()."""
from __future__ import annotations

import logging

lines: list[tuple[str, str, str]] = []


class _KeepLines(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        lines.append((record.name, record.levelname, record.getMessage()))


_keeper = _KeepLines(logging.NOTSET)
system_log = logging.getLogger("system_log")
user_system_log = logging.getLogger("user_system_log")


def _set_up(logger: logging.Logger) -> None:
    logger.setLevel(logging.DEBUG)
    logger.propagate = True
    if _keeper not in logger.handlers:
        logger.addHandler(_keeper)


def clear_lines() -> None:
    lines.clear()


def reset() -> None:
    clear_lines()
    for logger in (system_log, user_system_log):
        _set_up(logger)


reset()

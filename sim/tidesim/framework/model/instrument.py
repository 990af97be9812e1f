"""The framework's description of one security."""
from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Instrument:
    market_code: str
    symbol: str = ""
    round_lot: int = 100

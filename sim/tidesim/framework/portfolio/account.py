"""An account's assets, and the framework account of one market."""
from __future__ import annotations

from .._records import FieldRecord


class Asset(FieldRecord):
    """The answer of an asset query, in the framework's terms."""
    _fields = ("account_id", "available_cash", "frozen_cash", "market_value", "total_value",
               "cash", "init_cash")

    def __init__(self, account_id, available_cash, frozen_cash, market_value, total_value, cash,
                 init_cash, /) -> None:
        super().__init__(account_id, available_cash, frozen_cash, market_value, total_value, cash,
                         init_cash)


class Account:
    """The framework account of one market (the exchange suffix of its market codes). Travels
    in events as the live object, so it compares by identity."""

    def __init__(self, market: str) -> None:
        self.market = market

    def __repr__(self) -> str:
        return f"Account(market={self.market!r})"

"""The framework environment singleton: instruments, the universe and the accounts."""
from __future__ import annotations

from typing import Iterable

from .model.instrument import Instrument
from .portfolio.account import Account


class _InstrumentTable(dict):
    """Instruments by market code; a code that is not there raises KeyError naming it."""

    def __missing__(self, market_code):
        raise KeyError(f"no instrument for market code {market_code!r}")


class DataProxy:
    """`instruments(market_code)`: the instrument of `market_code`; a code that was not
    configured raises KeyError. It is the table's own look-up, with no Python frame: the bridge
    calls it on every snapshot."""

    def __init__(self) -> None:
        self._instruments = {}

    @property
    def _instruments(self) -> dict[str, Instrument]:
        return self._table

    @_instruments.setter
    def _instruments(self, table: dict[str, Instrument]) -> None:
        self._table = _InstrumentTable(table)
        self.instruments = self._table.__getitem__


class Environment:
    """One per process (get_instance). Tests set it up with configure(); tidesim.reset()
    replaces it with an empty one."""

    _instance: Environment | None = None

    def __init__(self) -> None:
        self.data_proxy = DataProxy()
        self._universe: list[str] = []
        self._accounts: dict[str, Account] = {}

    @classmethod
    def get_instance(cls) -> Environment:
        if cls._instance is None:
            cls._instance = cls()
        return cls._instance

    def configure(self, instruments: Iterable[Instrument | str] = (),
                  universe: Iterable[str] | None = None) -> Environment:
        """Sets the known instruments (records, or bare market codes) and the universe, which
        defaults to the codes of those instruments. Returns the environment."""
        known = [i if isinstance(i, Instrument) else Instrument(i) for i in instruments]
        self.data_proxy._instruments = {i.market_code: i for i in known}
        self._universe = [i.market_code for i in known] if universe is None else list(universe)
        return self

    def get_universe(self) -> list[str]:
        return list(self._universe)

    def get_account(self, market_code: str) -> Account:
        """The account of the code's market (the text after the last "."), the same object for
        every code of that market."""
        market = market_code.rpartition(".")[2]
        account = self._accounts.get(market)
        if account is None:
            account = self._accounts[market] = Account(market)
        return account


def reset() -> None:
    Environment._instance = None

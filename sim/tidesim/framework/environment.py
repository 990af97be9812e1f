"""The framework environment singleton: instruments, the universe and the accounts."""
from __future__ import annotations

from typing import Iterable

from .model.instrument import Instrument
from .portfolio.account import Account


class DataProxy:
    def __init__(self) -> None:
        self._instruments: dict[str, Instrument] = {}

    def instruments(self, market_code: str) -> Instrument:
        """The instrument of `market_code`; a code that was not configured raises KeyError."""
        try:
            return self._instruments[market_code]
        except KeyError:
            raise KeyError(f"no instrument for market code {market_code!r}") from None


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

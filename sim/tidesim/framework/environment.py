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


class _Instances(dict):
    """The environment of each class by the class: made by the class's first look-up."""

    __slots__ = ()

    def __missing__(self, cls):
        instance = self[cls] = cls()
        return instance


_INSTANCES = _Instances()


class _EnvironmentType(type):
    @property
    def _instance(cls) -> Environment | None:
        """The class's environment; None before its first get_instance() and after it is set
        to None (the next get_instance() then makes a new one)."""
        return _INSTANCES.get(cls)

    @_instance.setter
    def _instance(cls, value: Environment | None) -> None:
        if value is None:
            _INSTANCES.pop(cls, None)
        else:
            _INSTANCES[cls] = value


class Environment(metaclass=_EnvironmentType):
    """One per process (get_instance). Tests set it up with configure(); tidesim.reset()
    replaces it with an empty one. A subclass has an environment of its own."""

    # get_instance(): the class's environment, made the first time. It is the table's own
    # look-up, with no Python frame: the bridge asks for the environment on every snapshot.
    get_instance = classmethod(_INSTANCES.__getitem__)

    def __init__(self) -> None:
        self.data_proxy = DataProxy()
        self._universe: list[str] = []
        self._accounts: dict[str, Account] = {}

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

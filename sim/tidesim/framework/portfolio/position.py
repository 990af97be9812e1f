"""A position of the account, as reported by a position query."""
from __future__ import annotations

from .._records import FieldRecord

STATE_KEYS = frozenset({"quantity", "available_qty", "avg_price", "last_price", "market_value",
                        "daily_pnl"})


class Position(FieldRecord):
    """Built from (market code, direction, initial quantity); the rest of its state comes in
    one dictionary through set_state. Equal by class, constructor values and state."""
    _fields = ("market_code", "direction", "init_qty")

    def __init__(self, market_code, direction, init_qty, /) -> None:
        super().__init__(market_code, direction, init_qty)
        self.state = None

    def set_state(self, state) -> None:
        """Takes the position's state; a key the position does not hold raises KeyError."""
        if not isinstance(state, dict):
            raise TypeError(f"state must be a dict, not {type(state).__name__}")
        unknown = set(state) - STATE_KEYS
        if unknown:
            raise KeyError(f"unknown position state keys: {sorted(unknown)}")
        self.state = dict(state)

    def _values(self) -> tuple:
        return super()._values() + (self.state,)

    def __repr__(self) -> str:
        return f"{super().__repr__()[:-1]}, state={self.state!r})"

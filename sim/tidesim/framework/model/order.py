"""The framework's order object, as the bridge finds it in its open-order cache."""
from __future__ import annotations

import copy
import copyreg

from .._records import deepcopy_dict
from ..const import ORDER_STATUS, POSITION_EFFECT, SIDE


class Order:
    """An order the framework placed. Its state is its attributes; two orders are equal when
    they are of the same class with equal attributes."""

    def __init__(self, order_id=1, market_code="000001.XSHE", side=SIDE.BUY, quantity=100,
                 price=10.0, position_effect=POSITION_EFFECT.OPEN) -> None:
        self.order_id = order_id
        self.market_code = market_code
        self.side = side
        self.position_effect = position_effect
        self.price = price
        self.quantity = quantity
        self.status = ORDER_STATUS.PENDING_NEW
        self.filled_quantity = 0
        self.unfilled_quantity = quantity
        self.avg_price = 0.0
        self.secondary_order_id = None
        self.frozen_cash = 0.0
        self.reject_reason = None

    def set_frozen_cash(self, value) -> None:
        self.frozen_cash = value

    def mark_rejected(self, text) -> None:
        """A rejected order holds no cash: the status becomes REJECTED, the reason is kept and
        the frozen cash is released."""
        if not isinstance(text, str):
            raise TypeError(f"reject reason must be str, not {type(text).__name__}")
        self.status = ORDER_STATUS.REJECTED
        self.reject_reason = text
        self.frozen_cash = 0.0

    def __deepcopy__(self, memo):
        """The deep copy copy.deepcopy makes of an ordinary object: a new order whose attributes
        are deep copies of these, in the same order, with the new order in the memo before its
        attributes are copied. Numbers, texts and enumeration members are shared, as their deep
        copies are themselves; the bridge copies the order into every order event. A subclass
        is copied the general way (its own state methods may differ)."""
        cls = type(self)
        if cls is not Order:
            reductor = copyreg.dispatch_table.get(cls)
            rv = reductor(self) if reductor is not None else self.__reduce_ex__(4)
            if isinstance(rv, str):  # copied as a global: the object itself
                return self
            return copy._reconstruct(self, memo, *rv)
        new = cls.__new__(cls)
        memo[id(self)] = new
        new.__dict__.update(deepcopy_dict(self.__dict__, memo))
        return new

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return vars(self) == vars(other)

    __hash__ = None

    def __repr__(self) -> str:
        inner = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{type(self).__name__}({inner})"

"""Trade record: one fill of a framework order."""
from .._records import FieldRecord


class Trade(FieldRecord):
    _fields = ("order_id", "price", "amount", "side", "position_effect", "market_code",
               "frozen_price")

    @classmethod
    def __from_create__(cls, *, order_id, price, amount, side, position_effect, market_code,
                        frozen_price):
        """Built from keywords only, as the framework's order bookkeeping does."""
        return cls(order_id, price, amount, side, position_effect, market_code, frozen_price)

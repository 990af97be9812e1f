"""Level-2 order record (one order of the order-by-order feed)."""
from .._records import FieldRecord


class L2Order(FieldRecord):
    _fields = ("biz_index", "market_code", "datetime", "side", "price", "volume", "order_type",
               "orig_order_no", "l2_order_type")

    @classmethod
    def __from_create__(cls, *values):
        return cls(*values)

"""Level-2 order record (one order of the order-by-order feed)."""
import operator

from .._records import FieldRecord


class L2Order(FieldRecord):
    _fields = ("biz_index", "market_code", "datetime", "side", "price", "volume", "order_type",
               "orig_order_no", "l2_order_type")

    # cls(*values), with no Python frame of its own: the bridge builds one on every level-2
    # message
    __from_create__ = classmethod(operator.call)

"""Level-2 transaction record (one trade of the trade-by-trade feed)."""
import operator

from .._records import FieldRecord


class L2Transaction(FieldRecord):
    _fields = ("biz_index", "market_code", "datetime", "side", "price", "volume", "value",
               "trade_type", "bid_no", "ask_no")

    # cls(*values), with no Python frame of its own: the bridge builds one on every level-2
    # message
    __from_create__ = classmethod(operator.call)

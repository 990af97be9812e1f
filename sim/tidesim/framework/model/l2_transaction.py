"""Level-2 transaction record (one trade of the trade-by-trade feed)."""
from .._records import FieldRecord


class L2Transaction(FieldRecord):
    _fields = ("biz_index", "market_code", "datetime", "side", "price", "volume", "value",
               "trade_type", "bid_no", "ask_no")

    @classmethod
    def __from_create__(cls, *values):
        return cls(*values)

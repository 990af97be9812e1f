"""Framework constants: the groups of named values the bridge compares or stores."""
from enum import Enum

__all__ = ["ORDER_STATUS", "POSITION_DIRECTION", "SIDE", "POSITION_EFFECT"]


class ORDER_STATUS(Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"


class POSITION_DIRECTION(Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class SIDE(Enum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"

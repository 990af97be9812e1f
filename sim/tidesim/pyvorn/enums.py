"""The SDK's enumerations. Members are compared by identity/equality only; their values mean
nothing outside this stand-in."""
from enum import Enum

__all__ = ["MDType", "MarketType", "SubscribeDataType", "AlgoType", "TDType", "OrderStatusType",
           "AlgoControlType"]


class MDType(Enum):
    """Market-data source."""
    VoMD = 1
    AMD = 2


class MarketType(Enum):
    SZSE = 1
    SSE = 2


class SubscribeDataType(Enum):
    Bar = 1
    Snapshot = 2
    TickOrder = 3
    TickTrade = 4


class AlgoType(Enum):
    ATX = 1


class TDType(Enum):
    """Trading-broker type, as named by an account's destination."""
    SIM = 1
    XTP = 2
    OES = 3


class OrderStatusType(Enum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8


class AlgoControlType(Enum):
    Pause = 1
    Resume = 2

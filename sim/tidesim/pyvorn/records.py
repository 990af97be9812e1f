"""Records that the SDK hands to the strategy's callbacks: plain attribute objects, equal when
their fields are equal. Times are integers in the form YYYYMMDDHHMMSSmmm (local time,
milliseconds last); prices, quantities and amounts are delivered as given."""
from __future__ import annotations

from dataclasses import dataclass, field

from .enums import AlgoControlType, MarketType, OrderStatusType

T0 = 20260105093000000  # 2026-01-05 09:30:00.000, the default time of every record


def _levels(*values):
    return field(default_factory=lambda: list(values))


# Market data ------------------------------------------------------------------------------

@dataclass
class Snapshot:
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    orig_time: int = T0
    open_price: float = 10.0
    close_price: float = 0.0
    high_price: float = 10.2
    low_price: float = 9.9
    total_value_trade: float = 1000000.0
    total_volume_trade: int = 100000
    pre_close_price: float = 10.0
    ask_volume: list = _levels(100, 200, 300, 400, 500)
    ask_price: list = _levels(10.01, 10.02, 10.03, 10.04, 10.05)
    bid_volume: list = _levels(100, 200, 300, 400, 500)
    bid_price: list = _levels(10.0, 9.99, 9.98, 9.97, 9.96)
    high_limited: float = 11.0
    last_price: float = 10.0
    low_limited: float = 9.0
    open_interest: int = 0
    prev_settlement: float = 0.0
    iopv: float = 0.0
    trading_phase_code: str = "T0"


@dataclass
class TickOrder:
    """One order of the order-by-order feed; `side` and `order_type` are character codes."""
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    order_time: int = T0
    biz_index: int = 1
    side: int = ord("1")
    order_price: float = 10.0
    order_volume: int = 100
    order_type: int = ord("2")
    orig_order_no: int = 1


@dataclass
class TickTrade:
    """One transaction of the trade-by-trade feed; `trade_type` is a character code."""
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    trade_time: int = T0
    biz_index: int = 1
    trade_price: float = 10.0
    trade_volume: int = 100
    value_trade: float = 1000.0
    trade_type: int = ord("F")
    bid_appl_seq_num: int = 1
    offer_appl_seq_num: int = 2


@dataclass
class Bar:
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    end_time: int = 20260105093100000
    open: float = 10.0
    close: float = 10.1
    high: float = 10.2
    low: float = 9.9
    amount: float = 1000000.0
    volume: int = 100000
    prev_close: float = 10.0


# Login and account queries ----------------------------------------------------------------

@dataclass
class LoginResult:
    fund_account_id: str = "1001"
    error_code: int = 0
    client_seq_id: int = 1
    error_msg: str = ""


@dataclass
class AssetResult:
    fund_account_id: str = "1001"
    leaves_value: float = 1000000.0
    available_t1: float = 1000000.0
    frozen_all: float = 0.0
    market_value: float = 0.0
    total_asset: float = 1000000.0
    init_leaves_value: float = 1000000.0


@dataclass
class PositionRecord:
    """One element of a position-query answer; the exchange is in `market_id`."""
    security_id: str = "000001"
    market_id: MarketType = MarketType.SZSE
    init_qty: int = 1000
    leaves_qty: int = 1000
    available_qty: int = 1000
    cost_price: float = 10.0
    last_price: float = 10.0
    market_value: float = 10000.0
    profit_loss: float = 0.0


# Orders -----------------------------------------------------------------------------------

@dataclass
class OrderReport:
    """An order status report; `trade_qty` and `total_trade_value` are cumulative, the
    `last_match_*` fields describe the latest match only."""
    client_order_id: int = 1
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    order_price: float = 10.0
    order_status: OrderStatusType = OrderStatusType.Sended
    order_qty: int = 100
    trade_qty: int = 0
    total_trade_value: float = 0.0
    error_code: int = 0
    error_msg: str = ""
    last_match_qty: int = 0
    last_match_price: float = 0.0
    counter_order_id: int = 0
    frozen_trade_value: float = 0.0


@dataclass
class TradeReport:
    client_order_id: int = 1
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    trade_qty: int = 0
    trade_price: float = 0.0
    trade_time: int = T0


@dataclass
class OrderActionError:
    client_order_id: int = 1
    error_code: int = 0
    error_msg: str = ""


# Algorithmic orders -----------------------------------------------------------------------

@dataclass
class AlgoLoginResult:
    client_seq_id: int = 1
    trader_id: str = "2001"
    error_code: int = 0
    error_msg: str = ""


@dataclass
class CreateParentOrderResult:
    client_seq_id: int = 1
    sys_quote_id: int = 1
    error_code: int = 0
    error_msg: str = ""


@dataclass
class CancelParentOrderResult:
    client_seq_id: int = 1
    sys_quote_id: int = 1
    error_code: int = 0
    error_msg: str = ""


@dataclass
class ControlParentOrderResult:
    """The control applied is offered under both names a reader may use, `control_type` and
    `algo_control_type` (the same value)."""
    client_seq_id: int = 1
    sys_quote_id: int = 1
    control_type: AlgoControlType = AlgoControlType.Pause
    error_code: int = 0
    error_msg: str = ""

    @property
    def algo_control_type(self) -> AlgoControlType:
        return self.control_type


@dataclass
class ParentOrder:
    sys_quote_id: int = 1
    client_seq_id: int = 1
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    side: int = ord("1")
    order_qty: int = 10000
    trade_qty: int = 0
    trade_value: float = 0.0
    status: int = 0
    update_time: int = T0


@dataclass
class ChildOrder:
    sys_quote_id: int = 101
    parent_quote_id: int = 1
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    order_price: float = 10.0
    order_qty: int = 100
    trade_qty: int = 0
    order_status: OrderStatusType = OrderStatusType.Sended
    update_time: int = T0


@dataclass
class ChildTrade:
    sys_quote_id: int = 1001
    child_quote_id: int = 101
    parent_quote_id: int = 1
    security_id: str = "000001"
    market_type: MarketType = MarketType.SZSE
    trade_price: float = 10.0
    trade_qty: int = 100
    trade_time: int = T0

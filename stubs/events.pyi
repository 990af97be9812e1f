from collections import defaultdict as defaultdict
from enum import Enum as Enum
from typing import Any, Callable, Hashable

class Event:
    event_type: Any
    def __init__(self, event_type: Any, **kwargs: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...

class EventBus:
    _listeners: defaultdict[Hashable, list[Callable[[Any], Any]]]
    _user_listeners: defaultdict[Hashable, list[Callable[[Any], Any]]]
    def __init__(self) -> None: ...
    def add_listener(
        self, event_type: Hashable, listener: Callable[[Any], Any], user: object = ...
    ) -> None:
        """Register a handler function for the given event type.

        Bound methods of objects that may be reclaimed at any time, such as
        orders, trades and positions, must not be registered as event handlers.
        """
    def prepend_listener(
        self, event_type: Hashable, listener: Callable[[Any], Any], user: object = ...
    ) -> None: ...
    def publish_event(self, event: Any) -> None: ...

class EVENT(Enum):
    POST_SYSTEM_INIT = "post_system_init"
    BEFORE_SYSTEM_RESTORED = "before_system_restored"
    POST_SYSTEM_RESTORED = "post_system_restored"
    POST_USER_INIT = "post_user_init"
    POST_UNIVERSE_CHANGED = "post_universe_changed"
    PRE_BEFORE_TRADING = "pre_before_trading"
    BEFORE_TRADING = "before_trading"
    POST_BEFORE_TRADING = "post_before_trading"
    PRE_OPEN_AUCTION = "pre_open_oction"
    OPEN_AUCTION = "auction"
    POST_OPEN_AUCTION = "post_open_auction"
    PRE_BAR = "pre_bar"
    BAR = "bar"
    POST_BAR = "post_bar"
    PRE_TICK = "pre_tick"
    TICK = "tick"
    POST_TICK = "post_tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    PRE_SCHEDULED = "pre_scheduled"
    POST_SCHEDULED = "post_scheduled"
    PRE_AFTER_TRADING = "pre_after_trading"
    AFTER_TRADING = "after_trading"
    POST_AFTER_TRADING = "post_after_trading"
    PRE_SETTLEMENT = "pre_settlement"
    SETTLEMENT = "settlement"
    POST_SETTLEMENT = "post_settlement"
    ORDER_PENDING_NEW = "order_pending_new"
    ORDER_CREATION_PASS = "order_creation_pass"
    ORDER_CREATION_REJECT = "order_creation_reject"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    TRADE = "trade"
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"
    ON_LINE_PROFILER_RESULT = "on_line_profiler_result"
    DO_PERSIST = "do_persist"
    DO_RESTORE = "do_restore"
    STRATEGY_HOLD_SET = "strategy_hold_set"
    STRATEGY_HOLD_CANCELLED = "strategy_hold_canceled"
    HEARTBEAT = "heartbeat"
    BEFORE_STRATEGY_RUN = "before_strategy_run"
    POST_STRATEGY_RUN = "post_strategy_run"
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    USER = "user"

def parse_event(event_str: Any) -> EVENT: ...

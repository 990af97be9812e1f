"""The SDK's strategy base class."""
from __future__ import annotations

from .context import SimContext


class VornStrategy:
    """Base of every strategy: built without arguments, it gives the instance its SDK context
    (`self.context`). The callbacks below do nothing; a strategy overrides those it handles.
    The timer methods a strategy hands to add_timer_interval are its own and have no default
    here."""

    def __init__(self) -> None:
        self.context = SimContext()

    def on_initialize(self): pass
    def on_switch_day(self): pass

    def on_snapshot(self, snapshot): pass
    def on_tick_order(self, tick_order): pass
    def on_tick_trade(self, tick_trade): pass
    def on_bar(self, bar): pass

    def on_login(self, login_res): pass
    def on_query_asset(self, asset_res, request_id, code, msg): pass
    def on_query_position(self, query_position_res, request_id, code, msg): pass

    def on_order(self, order): pass
    def on_trade(self, trade): pass
    def on_order_action_error(self, order_action_error): pass

    def on_algo_login(self, algo_login_res): pass
    def on_create_algo_parent_order_res(self, create_parent_order_res): pass
    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res): pass
    def on_control_algo_parent_order_res(self, control_parent_order_res): pass
    def on_algo_parent_order_update(self, parent_order): pass
    def on_algo_child_order_update(self, child_order): pass
    def on_algo_child_order_trade(self, child_trade): pass

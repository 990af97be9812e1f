"""Order-report and algorithmic-order callbacks against a plain-Python implementation of the same
callbacks, both driven with the same near-free stand-ins, so that the table shows the bridge's
own cost: SDK records are types.SimpleNamespace objects, the logger's `info` is `len`, the
environment's methods are bound methods of builtin objects, the trade factory is `dict`, and
the framework order is a SimpleNamespace whose methods are bound methods of a set. The Python
baseline builds a Python Event class and appends it to numpy_ringbuffer.RingBuffer; ours uses
the event core's Event and the native ring buffer. Both take their deep copies with
copy.deepcopy, so the rows that copy also show the copy alone.

Both queues are small (4096) and full, so every append also discards the oldest event, the
steady state of a queue that nobody drains, and memory stays bounded.
"""
from __future__ import annotations

import copy
import itertools
import types

import tidesim

tidesim.install()

import common  # noqa: E402
from common import Row, ns_per_op  # noqa: E402

from orvane.tamsel.utils import tidewell  # noqa: E402

GROUP = "order callbacks"
CAPACITY = 4096
CODE = "000001.XSHE"

OrderStatusType = tidewell.OrderStatusType
ORDER_STATUS = tidewell.ORDER_STATUS


# ---------------------------------------------------------------------------------------------
# Near-free stand-ins, shared by both sides

def _from_vorn(record, previous, /):
    return record


def stand_ins() -> dict:
    account = types.SimpleNamespace(market="XSHE")
    env = types.SimpleNamespace(get_account={CODE: account}.__getitem__)
    sink = set()
    return {
        "system_log": types.SimpleNamespace(info=len),
        "Environment": types.SimpleNamespace(get_instance=itertools.repeat(env).__next__),
        "Trade": types.SimpleNamespace(__from_create__=dict),
        "AlgoParentOrder": types.SimpleNamespace(from_vorn=_from_vorn),
        "OrderStatusType": OrderStatusType,
        "ORDER_STATUS": ORDER_STATUS,
        "copy": copy,
        "_sink": sink,
    }


def framework_order(sink) -> types.SimpleNamespace:
    return types.SimpleNamespace(
        order_id=1, market_code=CODE, side="BUY", position_effect="OPEN", price=10.0,
        quantity=100, status=ORDER_STATUS.ACTIVE, filled_quantity=0, unfilled_quantity=100,
        avg_price=0.0, secondary_order_id=77, frozen_cash=0.0,
        set_frozen_cash=sink.discard, mark_rejected=sink.discard)


def order_report(**kw) -> types.SimpleNamespace:
    fields = dict(client_order_id=1, security_id="000001", order_price=10.0,
                  order_status=OrderStatusType.Sended, order_qty=100, trade_qty=0,
                  total_trade_value=0.0, error_code=0, error_msg="", last_match_qty=0,
                  last_match_price=0.0, counter_order_id=77, frozen_trade_value=1000.0)
    fields.update(kw)
    return types.SimpleNamespace(**fields)


FILL = dict(order_status=OrderStatusType.PartiallyFilled, trade_qty=10, total_trade_value=105.0,
            last_match_qty=10, last_match_price=10.5)
PARENT = dict(sys_quote_id=1, client_seq_id=1, security_id="000001", market_type=1, side=49,
              order_qty=10000, trade_qty=0, trade_value=0.0, status=0, update_time=0)


# ---------------------------------------------------------------------------------------------
# The plain-Python implementation

BASELINE_SOURCE = '''
class Event:
    def __init__(self, event_type, **kwargs):
        self.__dict__ = kwargs
        self.event_type = event_type


class Strategy:
    def on_order(self, order):
        system_log.info(f"on_order:{order.client_order_id}, symbol: {order.security_id}, "
                        f"price:{order.order_price}, status:{order.order_status}, "
                        f"order_qty:{order.order_qty}, trade_qty:{order.trade_qty}, "
                        f"total_trade_value: {order.total_trade_value}, "
                        f"error_msg:{order.error_msg}, last_match_qty: {order.last_match_qty}")
        if order.client_order_id not in orders_dict:
            return
        ov_order = orders_dict[order.client_order_id]
        account = Environment.get_instance().get_account(ov_order.market_code)
        if order.order_status == OrderStatusType.UnSend or order.order_status == OrderStatusType.Sended:
            ov_order.secondary_order_id = order.counter_order_id
            ov_order.set_frozen_cash(order.frozen_trade_value)
            if (order.counter_order_id and order.counter_order_id > 0
                    and ov_order.status != ORDER_STATUS.ACTIVE):
                ov_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account,
                                         order=copy.deepcopy(ov_order)))
            return
        if (order.order_status == OrderStatusType.PartiallyFilled
                or order.order_status == OrderStatusType.Filled
                or order.order_status == OrderStatusType.PartiallyFilledPartiallyCancelled
                or order.order_status == OrderStatusType.WaitCancelled
                or order.order_status == OrderStatusType.PartiallyFilledWaitCancelled
                or order.order_status == OrderStatusType.Cancelled):
            if order.last_match_qty > 0:
                trade = Trade.__from_create__(
                    order_id=ov_order.order_id, price=order.last_match_price,
                    amount=order.last_match_qty, side=ov_order.side,
                    position_effect=ov_order.position_effect, market_code=ov_order.market_code,
                    frozen_price=ov_order.price)
                ov_order.avg_price = order.total_trade_value / order.trade_qty
                ov_order.filled_quantity = order.trade_qty
                ov_order.unfilled_quantity = order.order_qty - order.trade_qty
                if order.order_status == OrderStatusType.Filled:
                    ov_order.status = ORDER_STATUS.FILLED
                elif order.order_status == OrderStatusType.PartiallyFilled:
                    ov_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.TRADE, account=account, trade=trade,
                                         order=copy.deepcopy(ov_order)))
            if (order.order_status == OrderStatusType.PartiallyFilledPartiallyCancelled
                    or order.order_status == OrderStatusType.Cancelled):
                ov_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(ov_order)))
            elif (order.order_status == OrderStatusType.PartiallyFilledWaitCancelled
                    or order.order_status == OrderStatusType.WaitCancelled):
                if ov_order.filled_quantity > 0:
                    ov_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account,
                                         order=copy.deepcopy(ov_order)))
            return
        if order.order_status == OrderStatusType.Reject:
            code = order.error_code if isinstance(order.error_code, str) else str(order.error_code)
            msg = order.error_msg if isinstance(order.error_msg, str) else str(order.error_msg)
            ov_order.mark_rejected(code + "_" + msg)
            ov_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account,
                                     order=copy.deepcopy(ov_order)))

    def on_order_action_error(self, order_action_error):
        if order_action_error.client_order_id not in orders_dict:
            return
        ov_order = orders_dict[order_action_error.client_order_id]
        account = Environment.get_instance().get_account(ov_order.market_code)
        event_queue.append(Event(EVENT.ORDER_CANCELLATION_REJECT, account=account,
                                 order=copy.deepcopy(ov_order)))

    def on_algo_login(self, algo_login_res):
        event_queue.append(Event(EVENT.ALGO_LOGIN, req_id=algo_login_res.client_seq_id,
                                 algo_account=algo_login_res.trader_id,
                                 code=algo_login_res.error_code, msg=algo_login_res.error_msg))

    def on_algo_parent_order_update(self, parent_order):
        previous = (algo_parent_orders.get(parent_order.sys_quote_id)
                    if parent_order.sys_quote_id in algo_parent_orders else None)
        record = AlgoParentOrder.from_vorn(parent_order, previous)
        algo_parent_orders[parent_order.sys_quote_id] = record
        event_queue.append(Event(EVENT.PARENT_ORDER_UPDATE, algo_parent_order=copy.deepcopy(record)))
'''


def baseline(shared: dict, order) -> object:
    from numpy_ringbuffer import RingBuffer

    ns = dict(shared)
    ns.update(EVENT=tidewell.EVENT, orders_dict={1: order}, algo_parent_orders={},
              event_queue=RingBuffer(capacity=CAPACITY, dtype=object))
    exec(compile(BASELINE_SOURCE, "<baseline>", "exec"), ns)
    for _ in range(CAPACITY):
        ns["event_queue"].append(None)
    return ns["Strategy"]()


def cases(order) -> list[tuple[str, str, object, bool]]:
    """(operation, method, record, deep-copies)"""
    return [
        ("on_order Sended, active order (no event)", "on_order", order_report(), False),
        ("on_order unknown client order id (log only)", "on_order",
         order_report(client_order_id=2), False),
        ("on_algo_login", "on_algo_login",
         types.SimpleNamespace(client_seq_id=1, trader_id="T", error_code=0, error_msg=""),
         False),
        ("on_order PartiallyFilled fill (TRADE)", "on_order", order_report(**FILL), True),
        ("on_order_action_error", "on_order_action_error",
         types.SimpleNamespace(client_order_id=1), True),
        ("on_algo_parent_order_update", "on_algo_parent_order_update",
         types.SimpleNamespace(**PARENT), True),
    ]


ROUNDS = 3


def interleaved(ours, base) -> tuple[float, float]:
    """Best time of each side over ROUNDS alternating measurements, so that a burst of load
    from elsewhere on the machine does not land on one side only."""
    if common.counting():
        return ns_per_op(ours), ns_per_op(base)
    o = b = float("inf")
    for _ in range(ROUNDS):
        o = min(o, ns_per_op(ours))
        b = min(b, ns_per_op(base))
    return o, b


def collect() -> list[Row]:
    shared = stand_ins()
    saved = {k: tidewell.__dict__.get(k) for k in
             ("system_log", "Environment", "Trade", "AlgoParentOrder", "OrderStatusType",
              "ORDER_STATUS", "copy", "event_queue")}
    ours_order = framework_order(shared["_sink"])
    base_order = framework_order(shared["_sink"])
    py = baseline(shared, base_order)
    native = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
    rows = []
    try:
        for k, v in shared.items():
            if not k.startswith("_"):
                setattr(tidewell, k, v)
        tidewell.event_queue = tidewell.RB(capacity=CAPACITY, dtype=object)
        # Both queues start full: every measured append also discards the oldest event.
        for _ in range(CAPACITY):
            tidewell.event_queue.append(None)
        tidewell.orders_dict[1] = ours_order
        tidewell.algo_parent_orders.clear()
        for operation, method, record, copies in cases(ours_order):
            ours_fn, base_fn = getattr(native, method), getattr(py, method)
            ours, base = interleaved(lambda: ours_fn(record), lambda: base_fn(record))
            rows.append(Row(GROUP, operation, ours, "Python + numpy_ringbuffer", base))
        deepcopy = copy.deepcopy
        rows.append(Row(GROUP, "  of which copy.deepcopy(order) alone", ns_per_op(
            lambda: deepcopy(ours_order))))
        parent = types.SimpleNamespace(**PARENT)
        rows.append(Row(GROUP, "  of which copy.deepcopy(parent record) alone", ns_per_op(
            lambda: deepcopy(parent))))
    finally:
        tidewell.orders_dict.pop(1, None)
        tidewell.algo_parent_orders.clear()
        for k, v in saved.items():
            setattr(tidewell, k, v)
    return rows

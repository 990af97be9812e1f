"""Order status reports, refused order actions and trade reports, seen through the public
callbacks of VornStrategy and the events they leave in event_queue."""
import copy
import types

import pytest

from orvane.tamsel.utils import tidewell as tw
from tidesim.framework.model.order import Order
from tidesim.framework.utils import logger
from tidesim.pyvorn.records import OrderActionError, OrderReport

OST = tw.OrderStatusType
STATUS = tw.ORDER_STATUS
EVENT = tw.EVENT
CODE = "000001.XSHE"


def take_events():
    q = tw.event_queue
    events = list(q)
    q.clear()
    return events


@pytest.fixture(autouse=True)
def clean():
    take_events()
    tw.orders_dict.clear()
    yield
    take_events()
    tw.orders_dict.clear()


@pytest.fixture
def strategy():
    # The callbacks keep no state on the instance; the constructor's start-up is not needed.
    return tw.VornStrategy.__new__(tw.VornStrategy)


@pytest.fixture
def account():
    return tw.Environment.get_instance().get_account(CODE)


def place(client_order_id=1, **kw):
    order = Order(market_code=CODE, **kw)
    tw.orders_dict[client_order_id] = order
    return order


def fill_report(status, last_match_qty=10, **kw):
    fields = dict(order_status=status, order_qty=100, trade_qty=10, total_trade_value=105.0,
                  last_match_qty=last_match_qty, last_match_price=10.5, counter_order_id=77,
                  frozen_trade_value=0.0)
    fields.update(kw)
    return OrderReport(**fields)


def types_of(events):
    return [e.event_type for e in events]


def order_lines():
    return [msg for (_, _, msg) in logger.lines if msg.startswith("on_order:")]


# ---------------------------------------------------------------------------------------------
# The status table

FILLED_FIELDS = {"avg_price": 10.5, "filled_quantity": 10, "unfilled_quantity": 90}
UNCHANGED_FIELDS = {"avg_price": 0.0, "filled_quantity": 0, "unfilled_quantity": 100}

STATUS_ROWS = [
    # status, last match, resulting status, fill fields, events
    (OST.UnSend, 10, STATUS.ACTIVE, UNCHANGED_FIELDS, [EVENT.ORDER_CREATION_PASS]),
    (OST.UnSend, 0, STATUS.ACTIVE, UNCHANGED_FIELDS, [EVENT.ORDER_CREATION_PASS]),
    (OST.Sended, 10, STATUS.ACTIVE, UNCHANGED_FIELDS, [EVENT.ORDER_CREATION_PASS]),
    (OST.Sended, 0, STATUS.ACTIVE, UNCHANGED_FIELDS, [EVENT.ORDER_CREATION_PASS]),
    (OST.PartiallyFilled, 10, STATUS.PARTIALLY_FILLED, FILLED_FIELDS, [EVENT.TRADE]),
    (OST.PartiallyFilled, 0, STATUS.PENDING_NEW, UNCHANGED_FIELDS, []),
    (OST.Filled, 10, STATUS.FILLED, FILLED_FIELDS, [EVENT.TRADE]),
    (OST.Filled, 0, STATUS.PENDING_NEW, UNCHANGED_FIELDS, []),
    (OST.PartiallyFilledPartiallyCancelled, 10, STATUS.CANCELLED, FILLED_FIELDS,
     [EVENT.TRADE, EVENT.ORDER_CANCELLATION_PASS]),
    (OST.PartiallyFilledPartiallyCancelled, 0, STATUS.CANCELLED, UNCHANGED_FIELDS,
     [EVENT.ORDER_CANCELLATION_PASS]),
    (OST.Cancelled, 10, STATUS.CANCELLED, FILLED_FIELDS,
     [EVENT.TRADE, EVENT.ORDER_CANCELLATION_PASS]),
    (OST.Cancelled, 0, STATUS.CANCELLED, UNCHANGED_FIELDS, [EVENT.ORDER_CANCELLATION_PASS]),
    (OST.WaitCancelled, 10, STATUS.PARTIALLY_FILLED, FILLED_FIELDS,
     [EVENT.TRADE, EVENT.ORDER_PENDING_CANCEL]),
    (OST.WaitCancelled, 0, STATUS.PENDING_NEW, UNCHANGED_FIELDS, [EVENT.ORDER_PENDING_CANCEL]),
    (OST.PartiallyFilledWaitCancelled, 10, STATUS.PARTIALLY_FILLED, FILLED_FIELDS,
     [EVENT.TRADE, EVENT.ORDER_PENDING_CANCEL]),
    (OST.PartiallyFilledWaitCancelled, 0, STATUS.PENDING_NEW, UNCHANGED_FIELDS,
     [EVENT.ORDER_PENDING_CANCEL]),
    (OST.Reject, 10, STATUS.REJECTED, UNCHANGED_FIELDS, [EVENT.ORDER_UNSOLICITED_UPDATE]),
    (OST.Reject, 0, STATUS.REJECTED, UNCHANGED_FIELDS, [EVENT.ORDER_UNSOLICITED_UPDATE]),
]


@pytest.mark.parametrize("status, last_match, result, fields, expected", STATUS_ROWS,
                         ids=[f"{r[0].name}-{r[1]}" for r in STATUS_ROWS])
def test_status_table(strategy, account, status, last_match, result, fields, expected):
    order = place()
    assert strategy.on_order(order=fill_report(status, last_match)) is None
    events = take_events()
    assert types_of(events) == expected
    assert order.status is result
    assert {k: getattr(order, k) for k in fields} == fields
    for ev in events:
        assert ev.account is account
        assert ev.order is not order
        assert list(vars(ev))[-1] == "event_type"
    # The last event's copy shows the order as the callback left it.
    if events:
        assert events[-1].order == order


def test_trade_record_and_event_fields(strategy, account):
    order = place(order_id=42, price=10.25)
    strategy.on_order(fill_report(OST.PartiallyFilled, last_match_qty=30, last_match_price=10.4))
    (ev,) = take_events()
    assert list(vars(ev)) == ["account", "trade", "order", "event_type"]
    assert ev.trade == tw.Trade(42, 10.4, 30, order.side, order.position_effect, CODE, 10.25)
    assert ev.order == order and ev.order is not order


@pytest.mark.parametrize("status", [OST.UnSend, OST.Filled, OST.Cancelled, OST.Reject])
def test_unknown_client_order_id_only_logs(strategy, status):
    order = place(client_order_id=1)
    before = copy.deepcopy(order)
    strategy.on_order(fill_report(status, client_order_id=2))
    assert take_events() == []
    assert order == before
    assert len(order_lines()) == 1


def test_other_status_changes_nothing(strategy):
    order = place()
    before = copy.deepcopy(order)
    strategy.on_order(fill_report(object()))
    assert take_events() == []
    assert order == before


# ---------------------------------------------------------------------------------------------
# Acceptance

@pytest.mark.parametrize("counter", [0, None, -5])
def test_acceptance_without_positive_counter_id(strategy, counter):
    order = place()
    strategy.on_order(OrderReport(order_status=OST.Sended, counter_order_id=counter,
                                  frozen_trade_value=1000.0))
    assert take_events() == []
    assert order.secondary_order_id == counter
    assert order.frozen_cash == 1000.0
    assert order.status is STATUS.PENDING_NEW


def test_second_acceptance_queues_nothing(strategy):
    order = place()
    strategy.on_order(OrderReport(order_status=OST.UnSend, counter_order_id=5,
                                  frozen_trade_value=10.0))
    strategy.on_order(OrderReport(order_status=OST.Sended, counter_order_id=6,
                                  frozen_trade_value=20.0))
    assert types_of(take_events()) == [EVENT.ORDER_CREATION_PASS]
    assert (order.secondary_order_id, order.frozen_cash) == (6, 20.0)
    assert order.status is STATUS.ACTIVE


def test_creation_pass_carries_order_after_its_changes(strategy):
    order = place()
    strategy.on_order(OrderReport(order_status=OST.Sended, counter_order_id=9,
                                  frozen_trade_value=55.0))
    (ev,) = take_events()
    assert list(vars(ev)) == ["account", "order", "event_type"]
    assert (ev.order.status, ev.order.secondary_order_id, ev.order.frozen_cash) == (
        STATUS.ACTIVE, 9, 55.0)


# ---------------------------------------------------------------------------------------------
# Cancellation and pending cancellation

def test_cancelled_with_match_trade_copy_shows_status_before_cancellation(strategy):
    order = place()
    order.status = STATUS.ACTIVE
    strategy.on_order(fill_report(OST.Cancelled, 10))
    trade_ev, cancel_ev = take_events()
    assert trade_ev.event_type is EVENT.TRADE and cancel_ev.event_type is EVENT.ORDER_CANCELLATION_PASS
    assert trade_ev.order.status is STATUS.ACTIVE
    assert trade_ev.order.filled_quantity == 10
    assert cancel_ev.order.status is STATUS.CANCELLED
    assert trade_ev.order is not cancel_ev.order


@pytest.mark.parametrize("filled, result", [(0, STATUS.ACTIVE), (5, STATUS.PARTIALLY_FILLED)])
@pytest.mark.parametrize("status", [OST.WaitCancelled, OST.PartiallyFilledWaitCancelled])
def test_pending_cancel_by_filled_quantity(strategy, status, filled, result):
    order = place()
    order.status = STATUS.ACTIVE
    order.filled_quantity = filled
    strategy.on_order(fill_report(status, 0))
    (ev,) = take_events()
    assert ev.event_type is EVENT.ORDER_PENDING_CANCEL
    assert order.status is result
    assert ev.order.status is result


# ---------------------------------------------------------------------------------------------
# Rejection

class Code:
    def __str__(self):
        return "E-CODE"


@pytest.mark.parametrize("code, msg, text", [
    (123, "no cash", "123_no cash"),
    ("E9", "bad price", "E9_bad price"),
    (-1, "", "-1_"),
    (Code(), "x", "E-CODE_x"),
    # A report without a message still rejects the order and releases its cash.
    (7, None, "7_None"),
    (7, 404, "7_404"),
])
def test_reject_text(strategy, code, msg, text):
    order = place()
    order.frozen_cash = 1000.0
    strategy.on_order(OrderReport(order_status=OST.Reject, error_code=code, error_msg=msg,
                                  frozen_trade_value=0.0))
    (ev,) = take_events()
    assert ev.event_type is EVENT.ORDER_UNSOLICITED_UPDATE
    assert order.reject_reason == text
    assert order.status is STATUS.REJECTED
    assert order.frozen_cash == 0.0
    assert ev.order == order


# ---------------------------------------------------------------------------------------------
# Fill arithmetic

def test_same_fill_report_twice_builds_two_trades(strategy):
    order = place()
    report = fill_report(OST.PartiallyFilled)
    strategy.on_order(report)
    strategy.on_order(report)
    first, second = take_events()
    assert types_of([first, second]) == [EVENT.TRADE, EVENT.TRADE]
    assert first.trade is not second.trade and first.trade == second.trade
    assert first.order == second.order == order
    assert order.filled_quantity == 10


@pytest.mark.parametrize("value, qty, avg", [(105, 10, 10.5), (100, 10, 10.0), (100.0, 8, 12.5)])
def test_avg_price_is_true_division(strategy, value, qty, avg):
    order = place()
    strategy.on_order(fill_report(OST.Filled, total_trade_value=value, trade_qty=qty))
    assert type(order.avg_price) is float and order.avg_price == avg


def test_zero_trade_qty_fails_after_the_trade_is_built(strategy, monkeypatch):
    built = []

    class SpyTrade(tw.Trade):
        @classmethod
        def __from_create__(cls, **kw):
            built.append(kw)
            return super().__from_create__(**kw)

    monkeypatch.setattr(tw, "Trade", SpyTrade)
    order = place()
    before = copy.deepcopy(order)
    with pytest.raises(ZeroDivisionError):
        strategy.on_order(fill_report(OST.Filled, last_match_qty=5, trade_qty=0))
    assert len(built) == 1 and list(built[0]) == [
        "order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price"]
    assert take_events() == []
    assert order == before


def test_failing_copy_leaves_the_change_and_queues_nothing(strategy, monkeypatch):
    def broken(_):
        raise RuntimeError("copy failed")

    monkeypatch.setattr(tw, "copy", types.SimpleNamespace(deepcopy=broken))
    order = place()
    with pytest.raises(RuntimeError, match="copy failed"):
        strategy.on_order(OrderReport(order_status=OST.Sended, counter_order_id=3))
    assert order.status is STATUS.ACTIVE
    assert take_events() == []


# ---------------------------------------------------------------------------------------------
# Log line

class Formats:
    """Formats differently from its str: the log shows the format, not the str."""

    def __format__(self, spec):
        return f"fmt[{spec}]"

    def __str__(self):
        return "str"


@pytest.mark.parametrize("security_id, error_msg, shown_id", [
    (Formats(), "ok", "fmt[]"),
    ("平安银行", "ok", "平安银行"),          # wider characters than the literals
    ("000001", "拒绝 \U0001F600", "000001"),  # wider still, after a narrower part
])
def test_log_line_exact(strategy, security_id, error_msg, shown_id):
    strategy.on_order(OrderReport(client_order_id="c-9", security_id=security_id,
                                  order_price=10.5, order_status=OST.PartiallyFilled,
                                  order_qty=300, trade_qty=100, total_trade_value=1050.0,
                                  error_msg=error_msg, last_match_qty=100))
    assert order_lines() == [
        f"on_order:c-9, symbol: {shown_id}, price:10.5, status:OrderStatusType.PartiallyFilled, "
        f"order_qty:300, trade_qty:100, total_trade_value: 1050.0, error_msg:{error_msg}, "
        "last_match_qty: 100"]


class Price(float):
    def __format__(self, spec):
        return f"P{float(self)}"


@pytest.mark.parametrize("price, shown", [
    (10.5, "10.5"), (float("nan"), "nan"), (float("-inf"), "-inf"), (-0.0, "-0.0"),
    (1e22, "1e+22"), (0.1 + 0.2, "0.30000000000000004"), (Price(2.5), "P2.5"), (7, "7"),
    (True, "True"),
])
def test_log_line_price_text(strategy, price, shown):
    strategy.on_order(OrderReport(client_order_id=99, order_price=price))
    (line,) = order_lines()
    assert line.split(", ")[2] == f"price:{shown}"


# ---------------------------------------------------------------------------------------------
# Reading globals and fields at each use

def test_status_enumeration_read_at_each_use(strategy, monkeypatch):
    marks = types.SimpleNamespace(**{m.name: object() for m in OST})
    monkeypatch.setattr(tw, "OrderStatusType", marks)
    order = place()
    strategy.on_order(fill_report(marks.Cancelled, 0))
    assert types_of(take_events()) == [EVENT.ORDER_CANCELLATION_PASS]
    assert order.status is STATUS.CANCELLED


def test_report_fields_read_afresh(strategy):
    reads = []

    class Report(OrderReport):
        def __getattribute__(self, name):
            if name in ("client_order_id", "order_status", "counter_order_id"):
                reads.append(name)
            return object.__getattribute__(self, name)

    place()
    strategy.on_order(Report(order_status=OST.Sended, counter_order_id=4))
    # log, membership and item; log, UnSend and Sended tests; copy, truth and sign tests
    assert reads.count("client_order_id") == 3
    assert reads.count("order_status") == 3
    assert reads.count("counter_order_id") == 3


# ---------------------------------------------------------------------------------------------
# Refused order actions and trade reports

def test_order_action_error_known_order(strategy, account):
    order = place()
    before = copy.deepcopy(order)
    lines = len(logger.lines)
    strategy.on_order_action_error(order_action_error=OrderActionError(client_order_id=1))
    (ev,) = take_events()
    assert ev.event_type is EVENT.ORDER_CANCELLATION_REJECT
    assert list(vars(ev)) == ["account", "order", "event_type"]
    assert ev.account is account
    assert ev.order == order and ev.order is not order
    assert order == before
    assert len(logger.lines) == lines


def test_order_action_error_unknown_order(strategy):
    place()
    strategy.on_order_action_error(OrderActionError(client_order_id=99))
    assert take_events() == []


@pytest.mark.parametrize("call", [
    lambda s: s.on_trade(None),
    lambda s: s.on_trade(trade=OrderReport()),
])
def test_on_trade_does_nothing(strategy, call):
    place()
    assert call(strategy) is None
    assert take_events() == []

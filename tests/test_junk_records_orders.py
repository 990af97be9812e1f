"""Malformed SDK records handed to the order and algorithmic-order callbacks: every failure is an
ordinary Python exception, the interpreter survives, what the callbacks did before stays done,
and failing calls leak no references. Each case runs in a child interpreter."""
import json
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(r'''
    import gc, json, math, sys, types
    import tidesim
    tidesim.install()
    from orvane.tamsel.utils import tidewell as tw
    from tidesim.framework.model.order import Order
    from tidesim.pyvorn import records as R

    OST = tw.OrderStatusType
    ACT = sys.modules["pyvorn.enums"].AlgoControlType
    NAN = float("nan")
    HUGE = 10 ** 400
    method = sys.argv[1]
    strategy = tw.VornStrategy.__new__(tw.VornStrategy)
    call = getattr(strategy, method)

    class Raises:
        """Every attribute read fails."""
        def __getattr__(self, name):
            raise RuntimeError("no " + name)

    class BadFormat:
        def __format__(self, spec):
            return 5

    class BadStr:
        def __str__(self):
            return None

    class BadEq:
        def __eq__(self, other):
            raise ValueError("no comparison")
        __hash__ = object.__hash__

    def order_reports():
        yield R.OrderReport(client_order_id=[])                       # unhashable key
        yield R.OrderReport(security_id=BadFormat())                 # log line fails
        yield R.OrderReport(order_status=NAN)
        yield R.OrderReport(order_status=BadEq())
        yield R.OrderReport(order_status=OST.Sended, counter_order_id="abc")
        yield R.OrderReport(order_status=OST.Sended, counter_order_id=NAN)
        yield R.OrderReport(order_status=OST.Sended, counter_order_id=HUGE)
        yield R.OrderReport(order_status=OST.Filled, last_match_qty="x")
        yield R.OrderReport(order_status=OST.Filled, last_match_qty=NAN)
        yield R.OrderReport(order_status=OST.Filled, last_match_qty=1, trade_qty=0)
        yield R.OrderReport(order_status=OST.Filled, last_match_qty=1, trade_qty=HUGE,
                            total_trade_value=1.0)
        yield R.OrderReport(order_status=OST.Filled, last_match_qty=1, trade_qty=3,
                            total_trade_value=HUGE)
        yield R.OrderReport(order_status=OST.Filled, last_match_qty=1, trade_qty="3")
        yield R.OrderReport(order_status=OST.Cancelled, last_match_qty=HUGE, trade_qty=NAN)
        yield R.OrderReport(order_status=OST.WaitCancelled, last_match_qty=0)
        yield R.OrderReport(order_status=OST.Reject, error_code=BadStr())
        yield R.OrderReport(order_status=OST.Reject, error_msg=b"bytes")
        yield R.OrderReport(order_status=OST.Reject, error_code=None, error_msg=HUGE)

    def control_results():
        yield types.SimpleNamespace(control_type=NAN, sys_quote_id=1, error_code=0, error_msg="")
        yield types.SimpleNamespace(control_type=BadEq())
        yield types.SimpleNamespace(algo_control_type=ACT.Pause)       # no sys_quote_id
        yield types.SimpleNamespace(sys_quote_id=1)                    # no control type

    def updates():
        yield types.SimpleNamespace(sys_quote_id=[])                   # unhashable id
        yield types.SimpleNamespace(sys_quote_id=NAN)
        yield types.SimpleNamespace(sys_quote_id=HUGE)
        yield types.SimpleNamespace(sys_quote_id=BadEq())

    COMMON = [None, 0, NAN, HUGE, "text", b"", [], object(), types.SimpleNamespace(), Raises()]
    SPECIFIC = {
        "on_order": order_reports,
        "on_order_action_error": lambda: iter([R.OrderActionError(client_order_id={})]),
        "on_trade": lambda: iter([]),
        "on_control_algo_parent_order_res": control_results,
        "on_algo_parent_order_update": updates,
        "on_algo_child_order_update": updates,
        "on_algo_child_order_trade": updates,
    }

    def junk():
        yield from COMMON
        yield from SPECIFIC.get(method, lambda: iter([]))()

    # One sound report first: its effects must survive the junk that follows.
    order = tw.orders_dict[1] = Order()
    sound = tw.orders_dict[2] = Order()
    strategy.on_order(R.OrderReport(client_order_id=2, order_status=OST.Sended, counter_order_id=9))
    before = len(tw.event_queue)

    outcomes = []
    for record in junk():
        try:
            call(record)
            outcomes.append("ok")
        except Exception as exc:
            outcomes.append(type(exc).__name__)
    # Wrong call shapes
    for args, kw in (((), {}), ((1, 2), {}), ((), {"nope": 1})):
        try:
            call(*args, **kw)
            outcomes.append("ok")
        except Exception as exc:
            outcomes.append(type(exc).__name__)

    first = next(iter(tw.event_queue))
    kept = (first.event_type is tw.EVENT.ORDER_CREATION_PASS and sound.secondary_order_id == 9
            and sound.status is tw.ORDER_STATUS.ACTIVE
            and len(tw.event_queue) >= before)

    # References: many failing calls leave every object they touched as they found it.
    price = object()
    leaky = R.OrderReport(order_status=OST.Filled, last_match_qty=1, trade_qty=0,
                          last_match_price=price)
    reject = R.OrderReport(order_status=OST.Reject, error_code=BadStr())
    update = types.SimpleNamespace(sys_quote_id=[])
    good = R.OrderReport(order_status=OST.PartiallyFilled, last_match_qty=1, trade_qty=1,
                         total_trade_value=10.0, last_match_price=price)
    account = tw.Environment.get_instance().get_account(order.market_code)
    watched = [price, leaky, reject, update, good, order, account, OST.Filled]

    def drain():
        tw.event_queue.clear()

    drain()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    def hammer():
        for _ in range(2000):
            for fn, rec in ((strategy.on_order, leaky), (strategy.on_order, reject),
                            (strategy.on_algo_parent_order_update, update),
                            (strategy.on_order_action_error, update)):
                try:
                    fn(rec)
                except Exception:
                    pass
            strategy.on_order(good)
            strategy.on_order_action_error(R.OrderActionError(client_order_id=1))
            drain()

    hammer()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    print(json.dumps({"outcomes": outcomes, "kept": kept, "refs": [counts, after]}))
''')


METHODS = ["on_order", "on_trade", "on_order_action_error", "on_algo_login",
           "on_create_algo_parent_order_res", "on_cancel_algo_parent_order_res",
           "on_control_algo_parent_order_res", "on_algo_parent_order_update",
           "on_algo_child_order_update", "on_algo_child_order_trade"]


@pytest.mark.parametrize("method", METHODS)
def test_junk_records(method):
    proc = subprocess.run([sys.executable, "-c", CHILD, method], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    outcomes = result["outcomes"]
    # Only ordinary errors: never an internal error of the interpreter.
    assert "SystemError" not in outcomes, outcomes
    # The three wrong call shapes are refused.
    assert outcomes[-3:] == ["TypeError"] * 3
    if method == "on_trade":
        assert set(outcomes[:-3]) == {"ok"}
    else:
        assert any(o != "ok" for o in outcomes[:-3])
    assert result["kept"]
    counts, after = result["refs"]
    assert counts == after

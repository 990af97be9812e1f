"""An order's and an algorithmic record's deep copies are the general deep copy, with the
values that cannot change shared instead of copied one by one."""
from __future__ import annotations

import copy
import copyreg
import enum

import pytest

from tidesim.framework import _records
from tidesim.framework.const import ORDER_STATUS, SIDE
from tidesim.framework.model.algo_parent_order import AlgoParentOrder
from tidesim.framework.model.order import Order
from tidesim.pyvorn import records


class Loud(enum.Enum):
    """Members that copy themselves into new objects: never to be shared."""
    A = 1

    def __deepcopy__(self, memo):
        return ("copied", self.name)


class Thing:
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return type(other) is Thing and other.n == self.n


def _general_copy(obj):
    """What copy.deepcopy makes of an ordinary object without a __deepcopy__ of its own."""
    return copy._reconstruct(obj, {}, *obj.__reduce_ex__(4))


def _pattern(original, clone):
    """Per attribute: shared with the original, or which attribute's copy it is the same
    object as (so that sharing within the copy shows)."""
    names = list(vars(clone))
    first = {}
    out = []
    for name in names:
        v = getattr(clone, name)
        if v is clone:
            out.append((name, "self"))
        elif v is getattr(original, name):
            out.append((name, "shared"))
        else:
            out.append((name, first.setdefault(id(v), name)))
    return out


def _order(**extra):
    order = Order(order_id=7, side=SIDE.SELL, price=10.5, quantity=300)
    for k, v in extra.items():
        setattr(order, k, v)
    return order


LIST = [1, [2, 3]]
CASES = {
    "plain": {},
    "mutable values": {"tags": [1, 2], "meta": {"a": [1]}},
    "one list twice": {"first": LIST, "second": LIST},
    "an enumeration that copies itself": {"loud": Loud.A},
    "an object": {"thing": Thing(3)},
    "a tuple holding a list": {"pair": (1, [2])},
    "big and odd numbers": {"big": 10 ** 40, "c": 1 + 2j, "b": b"x", "flag": True},
}


@pytest.mark.parametrize("extra", CASES.values(), ids=CASES.keys())
def test_an_orders_deep_copy_is_the_general_one(extra):
    order = _order(**extra)
    clone, general = copy.deepcopy(order), _general_copy(order)
    assert type(clone) is Order and clone is not order
    assert list(vars(clone)) == list(vars(order)) == list(vars(general))
    assert clone == general == order if "loud" not in extra else clone == general
    assert _pattern(order, clone) == _pattern(order, general)
    order.status = ORDER_STATUS.FILLED
    assert clone.status is ORDER_STATUS.PENDING_NEW


def test_an_order_that_holds_itself_copies_to_one_that_holds_the_copy():
    order = _order()
    order.me = order
    order.inside = [order]
    clone = copy.deepcopy(order)
    assert clone.me is clone and clone.inside[0] is clone


def test_an_order_inside_a_copied_structure_is_copied_once():
    order = _order(tags=[1])
    a, b = copy.deepcopy([order, order])
    assert a is b and a is not order and a.tags is not order.tags


class Stateful(Order):
    """An order of a subclass with state methods of its own."""

    def __getstate__(self):
        return {"order_id": self.order_id}

    def __setstate__(self, state):
        self.__dict__.update(state, restored=True)


class Registered(Order):
    pass


def _reduce_registered(obj):
    return (Registered, (), {"from_registry": True})


def test_a_subclass_of_order_is_copied_its_own_way():
    copyreg.pickle(Registered, _reduce_registered)
    try:
        stateful = copy.deepcopy(Stateful(order_id=9))
        registered = copy.deepcopy(Registered(order_id=9))
    finally:
        copyreg.dispatch_table.pop(Registered, None)
    assert vars(stateful) == {"order_id": 9, "restored": True}
    # built by the registered reduction (the constructor's defaults), not copied
    assert vars(registered)["from_registry"] is True and registered.order_id == 1


@pytest.mark.parametrize("fields, shared", [
    ({"trade_qty": 100, "price": 1.5, "code": "000001.XSHE", "none": None}, True),
    ({"trade_qty": 100, "fills": [1, 2]}, False),
])
def test_an_algorithmic_records_copy_shares_only_what_cannot_change(fields, shared):
    rec = AlgoParentOrder.from_vorn(records.ParentOrder(trade_qty=0), None)
    rec.fields.update(fields)
    clone = copy.deepcopy(rec)
    assert clone == rec and clone.fields is not rec.fields
    assert list(clone.fields) == list(rec.fields)
    if not shared:
        assert clone.fields["fills"] == [1, 2] and clone.fields["fills"] is not rec.fields["fills"]
        rec.fields["fills"].append(3)
        assert clone.fields["fills"] == [1, 2]


def test_a_dict_already_copied_in_the_memo_is_that_copy():
    inner = {"k": [1]}
    memo: dict = {}
    first = _records.deepcopy_dict(inner, memo)
    assert _records.deepcopy_dict(inner, memo) is first and first["k"] is not inner["k"]

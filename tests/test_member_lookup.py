"""Members of classes read by the callbacks (ORDER_STATUS.ACTIVE, EVENT.TICK, ...) come out as
Python's own attribute look-up gives them, however the class and its metaclass change between
calls: metaclass data descriptors, metaclass __getattribute__ and __getattr__, descriptors and
replaced values in the class itself."""
import pytest

from orvane.tamsel.utils import tidewell as tw
from tidesim.framework.model.order import Order
from tidesim.pyvorn.records import OrderReport

CODE = "000001.XSHE"


@pytest.fixture(autouse=True)
def clean():
    tw.event_queue.clear()
    tw.orders_dict.clear()
    yield
    tw.event_queue.clear()
    tw.orders_dict.clear()


class Meta(type):
    def __getattr__(cls, name):
        return "from __getattr__"


class NonDataDescriptor:
    def __get__(self, obj, owner=None):
        return "from __get__"


def _property_on_meta(S):
    Meta.ACTIVE = property(lambda cls: "from meta property")


def _drop_property_on_meta(S):
    del Meta.ACTIVE


def _meta_getattribute(S):
    Meta.__getattribute__ = lambda cls, name: (
        "from __getattribute__" if name == "ACTIVE" else type.__getattribute__(cls, name))


def _drop_meta_getattribute(S):
    del Meta.__getattribute__


# Each step changes the status class or its metaclass; the callbacks after it must see what
# getattr(Status, "ACTIVE") gives then, warm caches notwithstanding.
STEPS = [
    lambda S: None,
    _property_on_meta,
    _drop_property_on_meta,
    lambda S: setattr(S, "ACTIVE", NonDataDescriptor()),
    lambda S: setattr(S, "ACTIVE", "replaced"),
    _meta_getattribute,
    _drop_meta_getattribute,
    lambda S: delattr(S, "ACTIVE"),
    lambda S: setattr(S, "ACTIVE", "restored"),
]


def test_status_member_follows_class_and_metaclass_changes(monkeypatch):
    status_cls = Meta("Status", (), {"ACTIVE": "active", "PENDING_NEW": "pending"})
    monkeypatch.setattr(tw, "ORDER_STATUS", status_cls)
    strategy = tw.VornStrategy.__new__(tw.VornStrategy)
    order = Order(market_code=CODE)
    tw.orders_dict[1] = order
    report = OrderReport(order_status=tw.OrderStatusType.Sended, counter_order_id=5)
    seen = []
    try:
        for step in STEPS:
            step(status_cls)
            expected = getattr(status_cls, "ACTIVE")
            for _ in range(3):  # the first call may take another route than the next ones
                order.status = None
                strategy.on_order(report)
                seen.append((order.status, expected))
    finally:
        for name in ("ACTIVE", "__getattribute__"):
            if name in vars(Meta):
                delattr(Meta, name)
    assert [s for s, _ in seen] == [e for _, e in seen]
    assert {e for _, e in seen} == {"active", "from meta property", "from __get__", "replaced",
                                    "from __getattribute__", "from __getattr__", "restored"}


def test_event_member_of_a_replaced_enumeration(monkeypatch):
    import enum

    class Other(enum.Enum):
        ORDER_CREATION_PASS = "created"

    strategy = tw.VornStrategy.__new__(tw.VornStrategy)
    tw.orders_dict[1] = Order(market_code=CODE)
    report = OrderReport(order_status=tw.OrderStatusType.Sended, counter_order_id=5)
    strategy.on_order(report)
    original = tw.EVENT
    monkeypatch.setattr(tw, "EVENT", Other)
    tw.orders_dict[1] = Order(market_code=CODE)
    strategy.on_order(report)
    assert [e.event_type for e in tw.event_queue] == [original.ORDER_CREATION_PASS,
                                                       Other.ORDER_CREATION_PASS]

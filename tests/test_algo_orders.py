"""Reports of the algorithmic broker: action results become events whatever their code; record
updates replace the cached record of their id and are queued as deep copies."""
import enum
import sys
import types

import pytest

from orvane.tamsel.utils import tidewell as tw
from tidesim.pyvorn import records as R

EVENT = tw.EVENT
ACT = sys.modules["pyvorn.enums"].AlgoControlType


def take_events():
    q = tw.event_queue
    events = list(q)
    q.clear()
    return events


def caches():
    return (tw.algo_parent_orders, tw.algo_child_orders, tw.algo_child_trades)


@pytest.fixture(autouse=True)
def clean():
    take_events()
    for c in caches():
        c.clear()
    yield
    take_events()
    for c in caches():
        c.clear()


@pytest.fixture
def strategy():
    return tw.VornStrategy.__new__(tw.VornStrategy)


def fields_of(ev):
    return [(k, v) for k, v in vars(ev).items() if k != "event_type"]


# ---------------------------------------------------------------------------------------------
# Action results

RESULTS = [
    ("on_algo_login", "algo_login_res",
     R.AlgoLoginResult(client_seq_id=11, trader_id="T-7", error_code=-3, error_msg="denied"),
     EVENT.ALGO_LOGIN, [("req_id", 11), ("algo_account", "T-7"), ("code", -3), ("msg", "denied")]),
    ("on_create_algo_parent_order_res", "create_parent_order_res",
     R.CreateParentOrderResult(client_seq_id=12, sys_quote_id=900, error_code=5, error_msg="full"),
     EVENT.PARENT_ORDER_CREATE,
     [("req_id", 12), ("parent_order_id", 900), ("code", 5), ("msg", "full")]),
    ("on_cancel_algo_parent_order_res", "cancel_parent_order_res",
     R.CancelParentOrderResult(client_seq_id=13, sys_quote_id=901, error_code=2, error_msg="gone"),
     EVENT.PARENT_ORDER_CANCEL, [("parent_order_id", 901), ("code", 2), ("msg", "gone")]),
    ("on_control_algo_parent_order_res", "control_parent_order_res",
     R.ControlParentOrderResult(sys_quote_id=902, control_type=ACT.Pause, error_code=9,
                                error_msg="late"),
     EVENT.PARENT_ORDER_PAUSE, [("parent_order_id", 902), ("code", 9), ("msg", "late")]),
    ("on_control_algo_parent_order_res", "control_parent_order_res",
     R.ControlParentOrderResult(sys_quote_id=903, control_type=ACT.Resume, error_code=0,
                                error_msg=""),
     EVENT.PARENT_ORDER_RESUME, [("parent_order_id", 903), ("code", 0), ("msg", "")]),
]


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("method, param, record, member, fields", RESULTS,
                         ids=[f"{r[0]}-{r[3].name}" for r in RESULTS])
def test_result_events(strategy, method, param, record, member, fields, by_keyword):
    fn = getattr(strategy, method)
    assert (fn(**{param: record}) if by_keyword else fn(record)) is None
    (ev,) = take_events()
    assert ev.event_type is member
    assert fields_of(ev) == fields
    assert all(not c for c in caches())


# ---------------------------------------------------------------------------------------------
# Control results

def control(**attrs):
    base = dict(sys_quote_id=1, error_code=0, error_msg="")
    base.update(attrs)
    return types.SimpleNamespace(**base)


@pytest.mark.parametrize("record, expected", [
    (control(control_type=ACT.Pause), [EVENT.PARENT_ORDER_PAUSE]),
    (control(algo_control_type=ACT.Pause), [EVENT.PARENT_ORDER_PAUSE]),
    (control(control_type=ACT.Resume), [EVENT.PARENT_ORDER_RESUME]),
    (control(algo_control_type=ACT.Resume), [EVENT.PARENT_ORDER_RESUME]),
    # The type is read once: when the record has control_type, algo_control_type is not used.
    (control(control_type=ACT.Pause, algo_control_type=ACT.Resume), [EVENT.PARENT_ORDER_PAUSE]),
    (control(control_type="other", algo_control_type=ACT.Resume), []),
    (control(control_type=ACT.Pause.value), []),
    (control(control_type=None), []),
], ids=["pause", "pause-alt-name", "resume", "resume-alt-name", "first-name-wins",
        "unknown-with-alt", "raw-value", "none"])
def test_control_type(strategy, record, expected):
    strategy.on_control_algo_parent_order_res(record)
    assert [e.event_type for e in take_events()] == expected


def test_control_without_type_raises(strategy):
    with pytest.raises(AttributeError, match="algo_control_type"):
        strategy.on_control_algo_parent_order_res(control())
    assert take_events() == []


def test_control_type_imported_from_sdk_at_each_call(strategy, monkeypatch):
    enums = sys.modules["pyvorn.enums"]
    Other = enum.Enum("AlgoControlType", ["Pause", "Resume"])
    # The bridge's own global is not what the callback compares with.
    monkeypatch.setattr(tw, "AlgoControlType", None, raising=False)
    monkeypatch.setattr(enums, "AlgoControlType", Other)
    strategy.on_control_algo_parent_order_res(control(control_type=Other.Resume))
    strategy.on_control_algo_parent_order_res(control(control_type=ACT.Resume))
    assert [e.event_type for e in take_events()] == [EVENT.PARENT_ORDER_RESUME]
    monkeypatch.delattr(enums, "AlgoControlType")
    with pytest.raises(ImportError, match="cannot import name 'AlgoControlType'"):
        strategy.on_control_algo_parent_order_res(control(control_type=Other.Resume))


# ---------------------------------------------------------------------------------------------
# Record updates

UPDATES = [
    ("on_algo_parent_order_update", "parent_order", R.ParentOrder, "algo_parent_orders",
     "AlgoParentOrder", EVENT.PARENT_ORDER_UPDATE, "algo_parent_order"),
    ("on_algo_child_order_update", "child_order", R.ChildOrder, "algo_child_orders",
     "AlgoChildOrder", EVENT.CHILD_ORDER_UPDATE, "algo_child_order"),
    ("on_algo_child_order_trade", "child_trade", R.ChildTrade, "algo_child_trades",
     "AlgoChildTrade", EVENT.CHILD_ORDER_TRADE, "algo_child_trade"),
]
update_ids = [u[0] for u in UPDATES]


@pytest.fixture(params=UPDATES, ids=update_ids)
def update(request):
    return request.param


def test_update_chain_and_copies(strategy, monkeypatch, update):
    method, param, Record, cache_name, cls_name, member, field = update
    cls = getattr(tw, cls_name)
    seen = []

    class Spy(cls):
        @classmethod
        def from_vorn(klass, record, previous, /):
            seen.append((record, previous))
            return super().from_vorn(record, previous)

    monkeypatch.setattr(tw, cls_name, Spy)
    cache = getattr(tw, cache_name)
    first, second = Record(sys_quote_id=5, trade_qty=0), Record(sys_quote_id=5, trade_qty=100)
    getattr(strategy, method)(first)
    built = cache[5]
    getattr(strategy, method)(**{param: second})
    assert seen == [(first, None), (second, built)]
    assert seen[1][1] is built
    assert list(cache) == [5] and cache[5].previous is built
    ev1, ev2 = take_events()
    for ev, rec in ((ev1, built), (ev2, cache[5])):
        assert ev.event_type is member
        assert list(vars(ev)) == [field, "event_type"]
        assert getattr(ev, field) is not rec and getattr(ev, field) == rec
    # The queued copy keeps the record as it was queued.
    assert getattr(ev2, field).trade_qty == 100 and getattr(ev1, field).trade_qty == 0


def test_updates_of_different_ids(strategy, update):
    method, _, Record, cache_name, _, member, _ = update
    getattr(strategy, method)(Record(sys_quote_id=1))
    getattr(strategy, method)(Record(sys_quote_id=2))
    assert sorted(getattr(tw, cache_name)) == [1, 2]
    assert [e.event_type for e in take_events()] == [member, member]


def test_failing_from_vorn_changes_nothing(strategy, monkeypatch, update):
    method, _, Record, cache_name, cls_name, _, _ = update

    class Broken:
        @staticmethod
        def from_vorn(record, previous):
            raise ValueError("bad update")

    monkeypatch.setattr(tw, cls_name, Broken)
    with pytest.raises(ValueError, match="bad update"):
        getattr(strategy, method)(Record(sys_quote_id=3))
    assert getattr(tw, cache_name) == {}
    assert take_events() == []


def test_failing_copy_keeps_the_cached_record(strategy, monkeypatch, update):
    method, _, Record, cache_name, _, _, _ = update

    def broken(_):
        raise RuntimeError("copy failed")

    monkeypatch.setattr(tw, "copy", types.SimpleNamespace(deepcopy=broken))
    with pytest.raises(RuntimeError, match="copy failed"):
        getattr(strategy, method)(Record(sys_quote_id=4))
    assert list(getattr(tw, cache_name)) == [4]
    assert take_events() == []


def test_update_id_read_afresh_for_test_lookup_and_store(strategy, monkeypatch, update):
    method, _, _, cache_name, cls_name, _, _ = update
    ids = iter([7, 8, 9])

    class Moving:
        # Each read of the id gives the next value.
        sys_quote_id = property(lambda self: next(ids))

    record = Moving()

    class Built(types.SimpleNamespace):
        @classmethod
        def from_vorn(cls, rec, previous):
            return cls(previous=previous)

    monkeypatch.setattr(tw, cls_name, Built)
    cache = getattr(tw, cache_name)
    cache.update({7: "seven", 8: "eight"})
    getattr(strategy, method)(record)
    # membership with 7, look-up with 8, store under 9
    assert cache == {7: "seven", 8: "eight", 9: Built(previous="eight")}


def test_previous_record_read_with_the_caches_get(strategy, monkeypatch, update):
    method, _, Record, cache_name, cls_name, _, _ = update

    class Cache(dict):
        def get(self, key, default=None):
            return ("via get", key)

    class Built(types.SimpleNamespace):
        @classmethod
        def from_vorn(cls, rec, previous):
            return cls(previous=previous)

    cache = Cache({6: "stored"})
    monkeypatch.setattr(tw, cache_name, cache)
    monkeypatch.setattr(tw, cls_name, Built)
    getattr(strategy, method)(Record(sys_quote_id=6))
    assert cache[6] == Built(previous=("via get", 6))

"""Corner cases where the native code must fail exactly as the equivalent Python code fails:
same exception type, same text, same chaining."""
from __future__ import annotations

import sys
import types

import pytest

from orvane.tamsel.core.events import EVENT, Event
from orvane.tamsel.utils import tidewell

CODE = "000001.XSHE"


# --- queries on a present code whose cached value is None -------------------------------------

QUERIES = [
    ("get_current_tick", "history_tick", (), lambda q: q[-1]),
    ("get_current_bar", "history_bar", (), lambda q: q[-1]),
    ("history_ticks", "history_tick", (3,), lambda q: list(q)[3 * -1:]),
    ("history_bars", "history_bar", (0,), lambda q: list(q)[0 * -1:]),
]


@pytest.mark.parametrize("fn, cache, extra, model", QUERIES, ids=[q[0] for q in QUERIES])
@pytest.mark.parametrize("key", [CODE, ("tuple", "key")], ids=["str-key", "other-key"])
def test_query_of_a_present_none_entry_fails_as_python_does(monkeypatch, fn, cache, extra,
                                                             model, key):
    monkeypatch.setattr(tidewell, cache, {key: None})
    with pytest.raises(TypeError) as expected:
        model(None)
    with pytest.raises(TypeError) as got:
        getattr(tidewell, fn)(key, *extra)
    assert str(got.value) == str(expected.value)
    # An absent code still answers None.
    assert getattr(tidewell, fn)("absent", *extra) is None


# --- Event's keyword named like __init__'s own parameters --------------------------------------

# The model's messages name its __init__ by the qualified name compiled into it: "Event.__init__".
_namespace: dict = {}
exec("class Event:\n"
     "    def __init__(self, event_type, **kwargs):\n"
     "        self.__dict__ = dict(kwargs)\n"
     "        self.event_type = event_type\n", _namespace)
ModelEvent = _namespace["Event"]


class SubEvent(Event):
    pass


CALLS = [
    ((EVENT.TICK,), {"self": 1}),
    ((), {"self": 1}),
    ((EVENT.TICK,), {"a": 1, "event_type": 2, "self": 3}),
    ((), {"a": 1, "event_type": EVENT.TICK, "self": 3}),
    ((EVENT.TICK,), {"self": 1, "event_type": 2}),
    ((EVENT.TICK,), {"".join(["se", "lf"]): 1}),  # a key built at run time, not interned
    ((), {}),
    # A keyword clash is reported before a surplus of positional arguments, and the first
    # positional argument already binds `event_type`.
    ((EVENT.TICK, 1), {"self": 1}),
    ((EVENT.TICK, 1), {"event_type": 1}),
    ((EVENT.TICK, 1), {"a": 1, "self": 2}),
    ((EVENT.TICK, 1), {"event_type": 1, "self": 2}),
    ((EVENT.TICK, 1, 2), {"a": 1}),
    ((EVENT.TICK, 1), {"".join(["event_", "type"]): 1}),
    ((1, 2), {}),
    ((), {"a": 1}),
]


@pytest.mark.parametrize("cls", [Event, SubEvent], ids=["Event", "subclass"])
@pytest.mark.parametrize("args, kwargs", CALLS)
def test_event_argument_errors_match_a_python_init(cls, args, kwargs):
    with pytest.raises(TypeError) as expected:
        ModelEvent(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        cls(*args, **kwargs)
    assert str(got.value) == str(expected.value)


# --- control result with neither control-type attribute ----------------------------------------

def test_control_result_without_a_type_chains_both_attribute_errors():
    strategy = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
    record = types.SimpleNamespace(sys_quote_id=1, error_code=0, error_msg="")
    with pytest.raises(AttributeError, match="algo_control_type") as info:
        strategy.on_control_algo_parent_order_res(record)
    context = info.value.__context__
    assert isinstance(context, AttributeError) and "'control_type'" in str(context)
    assert context.__context__ is None
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    # Nothing is left behind as the exception being handled.
    assert sys.exc_info() == (None, None, None)
    tidewell.event_queue.clear()


# --- Event's text form over items that fail to unpack ------------------------------------------

class BadIter:
    def __iter__(self):
        raise TypeError("no iteration today")


class NotIterable:
    pass


class Items(dict):
    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items


def model_repr(mapping):
    return " ".join("{}:{}".format(k, v) for k, v in mapping.items())


@pytest.mark.parametrize("item", [BadIter(), NotIterable(), (1,), (1, 2, 3), [1, 2]],
                         ids=["iter-raises", "not-iterable", "one", "three", "list-pair"])
def test_event_repr_unpacks_items_as_python_does(item):
    event = Event(EVENT.TICK)
    event.__dict__ = Items([item])
    try:
        expected = model_repr(event.__dict__)
    except (TypeError, ValueError) as exc:
        with pytest.raises(type(exc)) as got:
            repr(event)
        assert str(got.value) == str(exc)
    else:
        assert repr(event) == expected

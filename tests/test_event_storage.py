"""Where an Event keeps its fields, checked against a plain Python class with the same
__init__: whichever way the constructor stores them (the interpreter's per-instance attribute
storage, or a dict built for the call), the instance dict, the text form, attribute access and
later changes are those of the plain class, in every state of the class's shared keys."""
from __future__ import annotations

import copy
import datetime
import gc
import json
import pathlib
import pickle
import subprocess
import sys
import textwrap

import pytest

from orvane.tamsel.core.events import EVENT, Event

# The model, compiled so that its error messages name "Event.__init__" as ours do.
_namespace: dict = {}
exec("class Event:\n"
     "    def __init__(self, event_type, **kwargs):\n"
     "        self.__dict__ = kwargs\n"
     "        self.event_type = event_type\n", _namespace)
Model = _namespace["Event"]


def run_child(code: str) -> list:
    """Runs `code` in a fresh interpreter (the shared keys of Event start empty there); the code
    prints one JSON document, which is returned."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def observed(e) -> list:
    """What a user sees of an event's fields: its dict's keys and values in order, and whether
    e.__dict__ is that same live dict."""
    d = vars(e)
    return [[repr(k) for k in d], [repr(v) for v in d.values()], d is e.__dict__]


# Shapes the child builds with Event and with the model, each several times (the first call
# of a shape binds it from scratch, later ones take the known-shape route), before and after
# many instances with names of their own have used up what the shared keys can still take.
CHILD = """
import json
from orvane.tamsel.core.events import EVENT, Event

ns = {}
exec("class Model:\\n"
     "    def __init__(self, event_type, **kwargs):\\n"
     "        self.__dict__ = kwargs\\n"
     "        self.event_type = event_type\\n", ns)
Model = ns["Model"]
T = EVENT.TICK

def calls(C):
    runtime = "".join(["run", "time"])  # a name made at run time, not interned
    return [
        lambda: C(T, calendar_dt=1, trading_dt=2, tick=3),
        lambda: C(T, tick=3, trading_dt=2, calendar_dt=1),
        lambda: C(event_type=T, order=1, trade=2),
        lambda: C(T, order=1, event_type_x=2),
        lambda: C(T, rid=1, account_id=2, code=3, msg=4),
        lambda: C(T, **{runtime: 1, "zz": 2}),
        lambda: C(T, __class__=1, _hidden=2, __dict__=3),
        lambda: C(T, a=1, **{"b": 2}),
        lambda: C(T),
    ]

def seen(e):
    d = vars(e)
    text = " ".join("{}:{}".format(k, v) for k, v in d.items())
    return [list(d), [repr(v) for v in d.values()], text, d is e.__dict__,
            type(e).__name__ == "Event" and repr(e) == text]

def later(e):
    e.later = 5
    del e.__dict__[next(iter(e.__dict__))]
    e.__dict__["direct"] = 6
    return [list(vars(e)), e.later, e.direct]

out = []
for phase in range(3):
    if phase == 2:
        for i in range(200):  # many instances, many names: the shared keys take no more
            Event(T, **{"filler%d" % i: i})
            Model(T, **{"filler%d" % i: i})
    for ours, model in zip(calls(Event), calls(Model)):
        a, b = ours(), model()
        out.append([phase, seen(a), seen(b), later(a), later(b), a.__class__ is Event])
print(json.dumps(out))
"""


def test_fields_are_those_of_the_plain_class_in_every_state_of_the_shared_keys():
    rows = run_child(CHILD)
    assert len(rows) == 27
    for phase, ours, model, ours_later, model_later, class_intact in rows:
        assert ours[:4] == model[:4], phase
        assert ours[4] is True  # repr(e) is the dict's text
        assert ours_later == model_later
        assert class_intact


def test_a_data_descriptor_on_the_class_is_not_called_for_fields():
    # A field stored under the name of a property of the class goes into the instance dict, as
    # assigning the dict in __init__ puts it there; the property's setter never runs.
    rows = run_child("""
        import json
        from orvane.tamsel.core.events import EVENT, Event
        ns = {}
        exec("class Model:\\n"
             "    def __init__(self, event_type, **kwargs):\\n"
             "        self.__dict__ = kwargs\\n"
             "        self.event_type = event_type\\n", ns)
        Model = ns["Model"]
        out = []
        for C in (Event, Model):
            Event(EVENT.TICK, tick=0)  # the shape is known before the class changes
            setter_calls = []
            C.tick = property(lambda self: "from property",
                              lambda self, v: setter_calls.append(v))
            e = C(EVENT.TICK, tick=1)
            out.append([sorted(vars(e).items(), key=str), e.tick, setter_calls])
            del C.tick
            e = C(EVENT.TICK, tick=2)
            out.append([sorted(vars(e).items(), key=str), e.tick])
        print(json.dumps(out, default=str))
    """)
    assert rows[:2] == rows[2:]
    assert rows[0][1:] == ["from property", []]


class Name(str):
    """A keyword name that is a str subclass."""


def test_str_subclass_keyword_names_are_kept_as_given():
    key = Name("field")
    ours, model = Event(EVENT.BAR, **{key: 1}), Model(EVENT.BAR, **{key: 1})
    assert observed(ours) == observed(model)
    assert type(next(iter(vars(ours)))) is Name is type(next(iter(vars(model))))


def call_site(*args):
    # One keyword-names tuple for every call: the second call on takes the known-shape route.
    return Event(*args, calendar_dt=1, trading_dt=2)


def model_site(*args):
    return Model(*args, calendar_dt=1, trading_dt=2)


def keyword_site(*args):
    return Event(*args, event_type=EVENT.TICK, tick=3)


def model_keyword_site(*args):
    return Model(*args, event_type=EVENT.TICK, tick=3)


@pytest.mark.parametrize("ours, model, good", [(call_site, model_site, (EVENT.TICK,)),
                                               (keyword_site, model_keyword_site, ())],
                         ids=["positional-type", "keyword-type"])
@pytest.mark.parametrize("args", [(), (EVENT.TICK,), (EVENT.TICK, 1), (1, 2, 3)],
                         ids=["none", "one", "two", "three"])
def test_a_known_shape_called_with_other_positionals_fails_as_python_does(ours, model, good,
                                                                           args):
    for _ in range(3):  # the shape is known from good calls first
        assert observed(ours(*good)) == observed(model(*good))
    try:
        expected = observed(model(*args))
    except TypeError as exc:
        with pytest.raises(TypeError) as got:
            ours(*args)
        assert str(got.value) == str(exc)
    else:
        assert observed(ours(*args)) == expected


def test_learned_shapes_hold_no_growing_references():
    value = object()
    names = [f"n{i}" for i in range(40)]  # more shapes than the constructor remembers
    for name in names:
        Event(EVENT.TICK, **{name: value})
    before = sys.getrefcount(value)
    for _ in range(20):
        for name in names:
            Event(EVENT.TICK, **{name: value, "x": 1})
    assert sys.getrefcount(value) == before


# Every shape is called from one call site (one keyword-names tuple), several times: the first
# call learns where the shape's fields go, later calls store them there directly.
SHARED = datetime.datetime(2024, 1, 2, 9, 30)
SHAPES = {
    "known-names": lambda C: C(EVENT.TICK, calendar_dt=1, trading_dt=2, tick=3),
    "reversed": lambda C: C(EVENT.TICK, tick=3, trading_dt=2, calendar_dt=1),
    "type-by-keyword": lambda C: C(order=1, event_type=EVENT.ORDER_PENDING_NEW, trade=2),
    "new-names": lambda C: C(EVENT.LOGIN, rid=1, account_id=2, code=3, msg=4),
    "one-field": lambda C: C(EVENT.BAR, tick=[1]),
    "one-value-twice": lambda C: C(EVENT.TICK, calendar_dt=SHARED, trading_dt=SHARED),
}


def _read_all(e):
    # Read before anything asks for the dict: the values are still in the object.
    return [repr(getattr(e, n, "<missing>")) for n in ("calendar_dt", "trading_dt", "tick",
                                                        "order", "event_type", "rid")]


def _delete(index):
    def op(e):
        name = [n for n in ("calendar_dt", "trading_dt", "tick", "order", "trade", "rid",
                            "account_id", "code", "msg", "event_type") if hasattr(e, n)][index]
        delattr(e, name)
        missing = not hasattr(e, name)
        return [missing, _read_all(e), observed(e)]
    return op


def _add(e):
    e.order_book_id = "000001.XSHE"  # a name nobody passed
    e.trade = "t"                     # a known name not in this shape
    e.tick = "replaced"
    return [_read_all(e), observed(e)]


def _pickled(e):
    # The model stands for what an unpickled event must look like: it cannot be pickled
    # itself (its class is not importable), but it reduces as the plain class does.
    states = [repr(e.__reduce_ex__(p)[2]) for p in range(6)]
    protocols = range(pickle.HIGHEST_PROTOCOL + 1)
    copies = [pickle.loads(pickle.dumps(e, p)) if type(e) is Event else e for p in protocols]
    return [states, [observed(c) for c in copies], [type(c).__name__ for c in copies]]


def _copied(e):
    return [observed(copy.copy(e)), observed(copy.deepcopy(e))]


def _dict_replaced(e):
    e.__dict__ = {"x": 1}
    return [_read_all(e), observed(e), e.x]


def _referents(e):
    # What the collector reaches from the instance: every field value, directly while the
    # values are in the object, or through the instance dict (no field value here is a dict).
    reached = []
    for r in gc.get_referents(e):
        if isinstance(r, dict):
            reached.extend(gc.get_referents(r))
        elif not isinstance(r, type):
            reached.append(r)
    return sorted(repr(r) for r in reached)


OPERATIONS = {
    "read": lambda e: [_read_all(e), observed(e)],
    "delete-first": _delete(0),
    "delete-last": _delete(-1),
    "add": _add,
    "pickle": _pickled,
    "copy": _copied,
    "replace-dict": _dict_replaced,
    "referents": _referents,
}


def _same_after(shape, operation):
    build, op = SHAPES[shape], OPERATIONS[operation]
    for _ in range(4):
        ours, model = build(Event), build(Model)
        got, expected = op(ours), op(model)
        assert got == expected, (shape, operation)
        assert type(ours) is Event


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("shape", SHAPES)
def test_events_of_a_known_shape_behave_as_the_plain_class(shape, operation):
    _same_after(shape, operation)


def test_events_of_known_shapes_behave_as_the_plain_class_once_the_class_is_well_used():
    # A fresh interpreter where many instances of many names came first: the class then
    # makes each new instance's attribute storage just large enough for the names it has.
    rows = run_child(f"""
        import json, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        from orvane.tamsel.core.events import EVENT, Event
        for i in range(300):
            Event(EVENT.TICK, **{{"filler%d" % i: i}})
        import test_event_storage as t
        done = []
        for shape in t.SHAPES:
            for operation in t.OPERATIONS:
                t._same_after(shape, operation)
                done.append([shape, operation])
        print(json.dumps(done))
    """)
    assert len(rows) == len(SHAPES) * len(OPERATIONS)


def _four_values(v):
    return Event(EVENT.TICK, calendar_dt=v[0], trading_dt=v[1], tick=v[2], order=v[3])


def _one_value_twice(v):
    return Event(EVENT.TICK, calendar_dt=v[0], trading_dt=v[0])


@pytest.mark.parametrize("site, held", [(_four_values, [1, 1, 1, 1]),
                                        (_one_value_twice, [2, 0, 0, 0])],
                         ids=["four-values", "one-value-twice"])
def test_events_of_a_known_shape_hold_one_reference_per_field(site, held):
    values = [object() for _ in range(4)]
    before = [sys.getrefcount(v) for v in values]
    events = [site(values) for _ in range(10)]
    after = [sys.getrefcount(v) for v in values]
    assert [a - b for a, b in zip(after, before)] == [10 * h for h in held]
    del events
    gc.collect()
    assert [sys.getrefcount(v) for v in values] == before


def test_the_class_is_left_as_made_after_the_import():
    rows = run_child("""
        import json
        from orvane.tamsel.core.events import Event
        print(json.dumps(list(vars(Event))))
    """)
    assert rows == ["__module__", "__init__", "__repr__", "__dict__", "__weakref__", "__doc__"]


@pytest.mark.parametrize("site", [
    "C(T, calendar_dt=1, tick=2)",            # a shape stored in the object
    "C(T, **{'calendar_dt': 1, 'tick': 2})",  # a new keyword tuple at every call
    "C(T)",                                   # no fields
], ids=["known-shape", "new-shape", "no-fields"])
def test_a_class_change_made_while_the_instance_is_allocated_is_honoured(site):
    # A collection triggered by the instance's allocation runs a finalizer that gives the
    # class properties for a field and for `event_type`. As with the plain class, whose
    # __init__ runs after the allocation, the field still lands in the instance dict and
    # `event_type` goes through the property's setter.
    rows = run_child(f"""
        import gc, json
        from orvane.tamsel.core.events import EVENT, Event
        ns = {{}}
        exec("class Model:\\n"
             "    def __init__(self, event_type, **kwargs):\\n"
             "        self.__dict__ = kwargs\\n"
             "        self.event_type = event_type\\n", ns)
        out = []
        for C in (Event, ns["Model"]):
            T = EVENT.TICK
            site = lambda: {site}
            for _ in range(3):
                site()
            calls = []

            class Trigger:
                def __del__(self):
                    C.event_type = property(lambda s: "type property",
                                            lambda s, v: calls.append(repr(v)))
                    C.tick = property(lambda s: "tick property",
                                      lambda s, v: calls.append(("tick", v)))
            gc.collect()
            t = Trigger()
            t.cycle = t
            del t
            gc.set_threshold(1)  # the next allocation collects
            e = site()
            gc.set_threshold(700)
            out.append([repr(vars(e)), e.event_type, e.tick, repr(calls)])
            del C.event_type, C.tick
        print(json.dumps(out))
    """)
    ours, model = rows
    assert model[1:3] == ["type property", "tick property"]
    assert ours == model

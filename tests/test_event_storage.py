"""Where an Event keeps its fields, checked against a plain Python class with the same
__init__: whichever way the constructor stores them (the interpreter's per-instance attribute
storage, or a dict built for the call), the instance dict, the text form, attribute access and
later changes are those of the plain class, in every state of the class's shared keys."""
from __future__ import annotations

import json
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

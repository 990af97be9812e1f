"""EVENT, Event and parse_event of orvane.tamsel.core.events."""
import ast
import collections
import enum
import inspect
import pathlib
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

from orvane.tamsel.core import events
from orvane.tamsel.core.events import EVENT, Event, parse_event

MEMBER_NAMES = """
    POST_SYSTEM_INIT BEFORE_SYSTEM_RESTORED POST_SYSTEM_RESTORED POST_USER_INIT POST_UNIVERSE_CHANGED
    PRE_BEFORE_TRADING BEFORE_TRADING POST_BEFORE_TRADING PRE_OPEN_AUCTION OPEN_AUCTION POST_OPEN_AUCTION
    PRE_BAR BAR POST_BAR PRE_TICK TICK POST_TICK L2_ORDER L2_TRANSACTION
    PRE_SCHEDULED POST_SCHEDULED PRE_AFTER_TRADING AFTER_TRADING POST_AFTER_TRADING PRE_SETTLEMENT SETTLEMENT
    POST_SETTLEMENT
    ORDER_PENDING_NEW ORDER_CREATION_PASS ORDER_CREATION_REJECT ORDER_PENDING_CANCEL ORDER_CANCELLATION_PASS
    ORDER_CANCELLATION_REJECT ORDER_UNSOLICITED_UPDATE TRADE
    ALGO_LOGIN PARENT_ORDER_CREATE PARENT_ORDER_CANCEL PARENT_ORDER_PAUSE PARENT_ORDER_RESUME
    PARENT_ORDER_UPDATE CHILD_ORDER_UPDATE CHILD_ORDER_TRADE
    ON_LINE_PROFILER_RESULT DO_PERSIST DO_RESTORE STRATEGY_HOLD_SET STRATEGY_HOLD_CANCELLED HEARTBEAT
    BEFORE_STRATEGY_RUN POST_STRATEGY_RUN
    LOGIN QUERY_ACCOUNT QUERY_POSITION
    USER
""".split()

ODD_VALUES = {
    "PRE_OPEN_AUCTION": "pre_open_oction",
    "OPEN_AUCTION": "auction",
    "STRATEGY_HOLD_CANCELLED": "strategy_hold_canceled",
}


def run_child(code: str) -> str:
    """Runs `code` in a fresh interpreter; returns its stdout, failing on a non-zero exit."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# --------------------------------------------------------------------------------------------
# Module


def test_module_namespace_in_initialisation_order():
    # A fresh interpreter: tests here replace and restore globals, which moves them.
    out = run_child("""
        from orvane.tamsel.core import events
        print(" ".join(k for k in vars(events) if not k.startswith("__")))
    """)
    assert out.split() == ["Enum", "defaultdict", "Event", "EventBus", "EVENT", "parse_event"]
    assert events.Enum is enum.Enum
    assert events.defaultdict is collections.defaultdict
    assert events.__doc__ is None
    assert parse_event.__module__ == "orvane.tamsel.core.events"


STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "events.pyi"


def test_stub_matches_the_module():
    tree = ast.parse(STUB.read_text())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    members = [(a.targets[0].id, a.value.value) for a in classes["EVENT"].body
               if isinstance(a, ast.Assign)]
    assert members == [(m.name, m.value) for m in EVENT]
    stubbed = {("EventBus", f.name): [a.arg for a in f.args.args[1:]]
               for f in classes["EventBus"].body if isinstance(f, ast.FunctionDef)}
    for (cls, name), params in stubbed.items():
        runtime = inspect.signature(getattr(events.EventBus(), name))
        assert list(runtime.parameters) == params, name
    functions = [f.name for f in tree.body if isinstance(f, ast.FunctionDef)]
    assert functions == ["parse_event"]
    assert list(inspect.signature(parse_event).parameters) == ["event_str"]


# --------------------------------------------------------------------------------------------
# EVENT


def test_event_enum_class():
    assert issubclass(EVENT, enum.Enum) and EVENT.__bases__ == (enum.Enum,)
    assert type(EVENT) is type(enum.Enum)
    assert (EVENT.__module__, EVENT.__qualname__, EVENT.__doc__) == (
        "orvane.tamsel.core.events", "EVENT", None)


def test_members_order_and_values():
    assert [m.name for m in EVENT] == MEMBER_NAMES
    assert len(EVENT.__members__) == 55  # no aliases
    assert [m.value for m in EVENT] == [ODD_VALUES.get(n, n.lower()) for n in MEMBER_NAMES]


@pytest.mark.parametrize("member", list(EVENT), ids=lambda m: m.name)
def test_member_text_forms(member):
    text = "EVENT." + member.name
    assert str(member) == text
    assert format(member, "") == text
    assert "{}".format(member) == text
    assert member != member.value


@pytest.mark.parametrize("value, member", [
    ("auction", EVENT.OPEN_AUCTION),
    ("pre_open_oction", EVENT.PRE_OPEN_AUCTION),
    ("strategy_hold_canceled", EVENT.STRATEGY_HOLD_CANCELLED),
    ("tick", EVENT.TICK),
])
def test_lookup_by_value(value, member):
    assert EVENT(value) is member


@pytest.mark.parametrize("name", ["open_auction", "pre_open_auction", "strategy_hold_cancelled"])
def test_lower_cased_name_of_odd_member_is_no_value(name):
    with pytest.raises(ValueError):
        EVENT(name)


# --------------------------------------------------------------------------------------------
# parse_event


@pytest.mark.parametrize("text, member", [
    ("tick", EVENT.TICK),
    ("Tick", EVENT.TICK),
    ("TICK", EVENT.TICK),
    ("open_auction", EVENT.OPEN_AUCTION),
    ("pre_open_auction", EVENT.PRE_OPEN_AUCTION),
    ("strategy_hold_cancelled", EVENT.STRATEGY_HOLD_CANCELLED),
    ("user", EVENT.USER),
])
def test_parse_event_by_name(text, member):
    assert parse_event(text) is member
    assert parse_event(event_str=text) is member


def test_parse_event_every_member_name():
    assert [parse_event(n.lower()) for n in MEMBER_NAMES] == list(EVENT)


@pytest.mark.parametrize("text", ["auction", "pre_open_oction", "strategy_hold_canceled",
                                  "no_such_event", "", "tick "])
def test_parse_event_unknown_name_raises_key_error_with_upper_cased_text(text):
    with pytest.raises(KeyError) as info:
        parse_event(text)
    assert info.value.args == (text.upper(),)


@pytest.mark.parametrize("arg, error", [(5, AttributeError), (None, AttributeError),
                                        (b"tick", KeyError)])  # bytes.upper gives bytes
def test_parse_event_argument_without_usable_upper(arg, error):
    with pytest.raises(error):
        parse_event(arg)


def test_parse_event_calls_the_arguments_own_upper():
    class Name:
        def __init__(self, result):
            self.result = result

        def upper(self):
            if isinstance(self.result, Exception):
                raise self.result
            return self.result

    assert parse_event(Name("HEARTBEAT")) is EVENT.HEARTBEAT
    with pytest.raises(RuntimeError, match="boom"):
        parse_event(Name(RuntimeError("boom")))


@pytest.mark.parametrize("args, kwargs", [((), {}), (("tick", "bar"), {}),
                                          (("tick",), {"event_str": "tick"}),
                                          ((), {"name": "tick"})])
def test_parse_event_bad_arguments(args, kwargs):
    with pytest.raises(TypeError):
        parse_event(*args, **kwargs)


def test_parse_event_reads_the_module_global_at_each_call(monkeypatch):
    other = enum.Enum("Other", [("TICK", "t")])
    monkeypatch.setattr(events, "EVENT", other)
    assert parse_event("tick") is other.TICK
    monkeypatch.delattr(events, "EVENT")
    with pytest.raises(NameError, match="name 'EVENT' is not defined"):
        parse_event("tick")


def test_parse_event_follows_a_replaced_enum_name_lookup():
    # The direct read of the member table must give way when the enumeration's lookup by
    # name is replaced; run apart so that this session keeps the unpatched metaclass.
    out = run_child("""
        import enum
        from orvane.tamsel.core.events import parse_event
        enum.EnumType.__getitem__ = lambda cls, name: ("patched", name)
        print(parse_event("tick"))
    """)
    assert out.strip() == "('patched', 'TICK')"


# --------------------------------------------------------------------------------------------
# Event


def test_event_class_is_ordinary():
    assert type(Event) is type and Event.__bases__ == (object,)
    assert Event.__doc__ is None and Event.__module__ == "orvane.tamsel.core.events"
    assert "__slots__" not in vars(Event)
    e = Event(EVENT.TICK)
    ref = weakref.ref(e)
    assert ref() is e
    assert e == e and e != Event(EVENT.TICK)  # identity comparison
    del e
    gc.collect()
    assert ref() is None


T = EVENT.TRADE


class Formatted:
    def __str__(self):
        return "str-form"

    def __format__(self, spec):
        return "format-form" + spec


@pytest.mark.parametrize("args, kwargs, text", [
    ((EVENT.HEARTBEAT,), {}, "event_type:EVENT.HEARTBEAT"),
    ((T,), {"order": 1, "trade": 2}, "order:1 trade:2 event_type:EVENT.TRADE"),
    ((), {"order": 1, "event_type": T, "trade": 2}, "order:1 trade:2 event_type:EVENT.TRADE"),
    ((), {"event_type": T}, "event_type:EVENT.TRADE"),
    ((T,), {"b": 2, "a": 1}, "b:2 a:1 event_type:EVENT.TRADE"),
    ((T,), {"x": None, "y": 1.5, "z": "a b"}, "x:None y:1.5 z:a b event_type:EVENT.TRADE"),
    ((T,), {"v": Formatted()}, "v:format-form event_type:EVENT.TRADE"),
    (("anything",), {"k": [1]}, "k:[1] event_type:anything"),
    ((None,), {}, "event_type:None"),
])
def test_fields_order_and_text_form(args, kwargs, text):
    e = Event(*args, **kwargs)
    assert repr(e) == text
    assert str(e) == text
    keys = [k for k in kwargs if k != "event_type"] + ["event_type"]
    assert list(vars(e)) == keys


def test_attribute_set_later_comes_after_event_type():
    e = Event(EVENT.TICK, calendar_dt=1)
    e.extra = "x"
    e.calendar_dt = 2  # an existing key keeps its place
    assert repr(e) == "calendar_dt:2 event_type:EVENT.TICK extra:x"


def test_repr_of_unusual_dict_contents():
    e = Event(EVENT.TICK)
    e.__dict__[7] = "seven"
    assert repr(e) == "event_type:EVENT.TICK 7:seven"
    e.__dict__.clear()
    assert repr(e) == ""


def test_repr_lets_formatting_errors_through():
    class Bad:
        def __format__(self, spec):
            raise ValueError("cannot format")

    with pytest.raises(ValueError, match="cannot format"):
        repr(Event(EVENT.TICK, ok=1, bad=Bad()))


def test_repr_survives_a_value_that_edits_the_event():
    # A value's formatting that deletes fields must not crash the text form.
    e = Event(EVENT.TICK)

    class Eraser:
        def __format__(self, spec):
            e.__dict__.clear()
            return "gone"

    e.a = Eraser()
    e.b = 2
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        repr(e)


def test_fresh_dict_per_construction_and_caller_mapping_never_shared():
    fields = {"calendar_dt": 1, "tick": [1]}
    a = Event(EVENT.TICK, **fields)
    b = Event(EVENT.TICK, **fields)
    assert vars(a) is not vars(b) and vars(a) is not fields
    a.calendar_dt = 99
    assert fields == {"calendar_dt": 1, "tick": [1]} and b.calendar_dt == 1
    assert a.tick is fields["tick"]  # values are not copied


def test_event_type_keyword_built_at_run_time():
    key = "".join(["event_", "type"])  # not interned
    e = Event(**{"a": 1, key: EVENT.BAR, "b": 2})
    assert list(vars(e)) == ["a", "b", "event_type"] and e.event_type is EVENT.BAR
    with pytest.raises(TypeError, match="multiple values for argument 'event_type'"):
        Event(EVENT.BAR, **{key: EVENT.BAR})


class Sub(Event):
    pass


class Recording(Event):
    calls = []

    def __setattr__(self, name, value):
        Recording.calls.append(name)
        object.__setattr__(self, name, value)


@pytest.mark.parametrize("cls", [Event, Sub])
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() missing 1 required positional argument: 'event_type'"),
    ((), {"a": 1}, "__init__() missing 1 required positional argument: 'event_type'"),
    ((T, T), {}, "__init__() takes 2 positional arguments but 3 were given"),
    ((T,), {"event_type": T}, "__init__() got multiple values for argument 'event_type'"),
])
def test_bad_calls_are_type_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == "Event." + message


def test_subclass_construction_through_init():
    fields = {"x": 1}
    s = Sub(EVENT.BAR, **fields)
    assert type(s) is Sub and repr(s) == "x:1 event_type:EVENT.BAR"
    assert vars(s) is not fields and fields == {"x": 1}
    r = Recording(EVENT.BAR, y=2)
    assert Recording.calls == ["__dict__", "event_type"]
    assert list(vars(r)) == ["y", "event_type"]


def test_init_called_directly_replaces_the_dict():
    e = Event(EVENT.TICK, a=1)
    Event.__init__(e, EVENT.BAR, b=2)
    assert repr(e) == "b:2 event_type:EVENT.BAR"


def test_fallback_when_event_class_is_modified():
    # Run apart: modifying the class switches the fast constructor off for the process.
    out = run_child("""
        from orvane.tamsel.core.events import Event, EVENT
        original = Event.__init__
        def init(self, event_type, **kwargs):
            original(self, event_type, **kwargs)
            self.marked = True
        Event.__init__ = init
        print(repr(Event(EVENT.TICK, a=1)))
        Event.__init__ = original
        print(repr(Event(EVENT.TICK, a=1)))
        d = {"a": 1}
        e = Event(event_type=EVENT.BAR, **d)
        print(repr(e), vars(e) is d)
        try:
            Event()
        except TypeError as exc:
            print(exc)
        Event.__new__ = lambda cls, *a, **k: "from new"
        print(Event(EVENT.TICK))
    """)
    assert out.splitlines() == [
        "a:1 event_type:EVENT.TICK marked:True",
        "a:1 event_type:EVENT.TICK",
        "a:1 event_type:EVENT.BAR False",
        "Event.__init__() missing 1 required positional argument: 'event_type'",
        "from new",
    ]


def test_class_changes_that_alter_construction_are_honoured():
    # Each step changes Event in a way the constructor must follow; harmless changes in
    # between (pickling caches __slotnames__ on the class, a class constant) must not
    # disturb it. Run apart: the changes are permanent.
    out = run_child("""
        import pickle
        from orvane.tamsel.core.events import Event, EVENT

        pickle.dumps(Event(EVENT.TICK, a=1))
        Event.LIMIT = 10
        print(repr(Event(EVENT.TICK, a=1)), "__slotnames__" in vars(Event))

        Event.event_type = property(lambda self: "from property",
                                    lambda self, v: self.__dict__.__setitem__("stored", v))
        e = Event(EVENT.TICK, a=1)
        print(e.event_type, sorted(vars(e)))
        del Event.event_type

        calls = []
        def setattr_hook(self, name, value):
            calls.append(name)
            object.__setattr__(self, name, value)
        Event.__setattr__ = setattr_hook
        Event(EVENT.TICK, a=1)
        print(calls)
        del Event.__setattr__

        print(repr(Event(EVENT.TICK, a=1)))
    """)
    assert out.splitlines() == [
        "a:1 event_type:EVENT.TICK True",
        "from property ['a', 'stored']",
        "['__dict__', 'event_type']",
        "a:1 event_type:EVENT.TICK",
    ]


def test_pickle_round_trip():
    e = pickle.loads(pickle.dumps(Event(EVENT.TRADE, order=1, trade=2)))
    assert type(e) is Event and repr(e) == "order:1 trade:2 event_type:EVENT.TRADE"


class Key:
    """A value to watch for leaked references; also usable as an event name."""

    def __init__(self, text):
        self.text = text

    def upper(self):
        return self.text

    def __format__(self, spec):
        if self.text == "BAD":
            raise ValueError("bad")
        return self.text


HIT, MISS, BAD = Key("TICK"), Key("NO_SUCH"), Key("BAD")


@pytest.mark.parametrize("watched, action", [
    (HIT, lambda: Event(EVENT.TICK, a=HIT, b=HIT)),
    (HIT, lambda: Event(event_type=HIT, a=HIT)),
    (HIT, lambda: Sub(HIT, a=HIT)),
    (HIT, lambda: repr(Event(EVENT.TICK, a=HIT))),
    (BAD, lambda: pytest.raises(ValueError, repr, Event(EVENT.TICK, a=BAD))),
    (HIT, lambda: pytest.raises(TypeError, Event, HIT, HIT)),
    (HIT, lambda: pytest.raises(TypeError, Event, HIT, event_type=HIT)),
    (HIT, lambda: parse_event(HIT)),
    (MISS, lambda: pytest.raises(KeyError, parse_event, MISS)),
], ids=["fast", "keyword-type", "subclass", "repr", "repr-error", "two-positionals",
        "duplicate", "parse", "parse-miss"])
def test_no_reference_leaks(watched, action):
    for _ in range(10):
        action()
    gc.collect()
    before = sys.getrefcount(watched)
    for _ in range(1000):
        action()
    gc.collect()
    assert sys.getrefcount(watched) == before

"""The bridge module as a whole: what its initialisation binds and in which order, the class it
creates, the event queue, a load that fails part-way, and the four query functions."""
import json
import subprocess
import sys
import textwrap
import types
from collections import deque

import pytest

import pyvorn.strategy

import orvane.tamsel.utils.tidewell as tw

MODULE = "orvane.tamsel.utils.tidewell"

IMPORTED = [
    "Environment", "EVENT", "Event", "TickObject", "Trade", "L2Order", "L2Transaction",
    "convert_int_to_whole_date", "convert_int_to_datetime",
    "get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
    "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn", "get_l2order_type_from_vorn",
    "system_log", "user_system_log",
    "AlgoParentOrder", "AlgoChildOrder", "AlgoChildTrade",
    "ORDER_STATUS", "POSITION_DIRECTION", "SIDE", "Asset", "Position",
    "RB", "np", "deque", "copy", "datetime", "time", "timedelta", "strategy",
]
STATE = ["vorn_params", "event_queue", "history_bar", "history_tick", "orders_dict",
         "algo_parent_orders", "algo_child_orders", "algo_child_trades"]
FUNCTIONS = ["get_current_bar", "get_current_tick", "history_ticks", "history_bars"]
METHODS = [
    "__init__", "initialize", "on_initialize", "on_switch_day",
    "on_snapshot", "on_tick_order", "on_tick_trade", "on_bar",
    "on_login", "on_query_asset", "on_query_position",
    "on_order", "on_trade", "on_order_action_error",
    "on_algo_login", "on_create_algo_parent_order_res", "on_cancel_algo_parent_order_res",
    "on_control_algo_parent_order_res", "on_algo_parent_order_update",
    "on_algo_child_order_update", "on_algo_child_order_trade",
    "create_time_listener", "send_day_event", "send_before_trading_event",
    "send_after_trading_event", "send_open_auction_event", "set_timer",
]


def run_child(body: str) -> dict:
    """Runs `body` in a fresh interpreter with the stand-ins installed; the body sets `result`,
    which comes back decoded from JSON."""
    code = "import json, sys\nimport tidesim\ntidesim.install()\nresult = None\n"
    code += textwrap.dedent(body) + "\nprint(json.dumps(result))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------------
# Initialisation


@pytest.mark.parametrize("with_user_log", [True, False])
def test_fresh_module_binds_its_names_in_order(with_user_log):
    result = run_child(f"""
        import orvane.tamsel.utils.logger as logger_module
        if not {with_user_log}:
            del logger_module.user_system_log
        import {MODULE} as tw
        names = [n for n in vars(tw) if not (n.startswith("__") and n.endswith("__"))]
        result = dict(
            names=names,
            doc=tw.__doc__,
            empty=[type(getattr(tw, n)).__name__ + ":" + str(len(getattr(tw, n)))
                   for n in ("vorn_params", "history_bar", "history_tick", "orders_dict",
                             "algo_parent_orders", "algo_child_orders", "algo_child_trades",
                             "event_queue")],
            user_log_is_the_loggers=(getattr(tw, "user_system_log", None)
                                     is getattr(logger_module, "user_system_log", None)),
        )
    """)
    import pyvorn.enums
    imported = [n for n in IMPORTED if with_user_log or n != "user_system_log"]
    expected = imported + list(pyvorn.enums.__all__) + STATE + FUNCTIONS + ["VornStrategy"]
    assert result["names"] == expected
    assert result["doc"] is None
    assert result["empty"] == ["dict:0"] * 7 + ["RingBuffer:0"]
    assert result["user_log_is_the_loggers"]


@pytest.mark.parametrize("source, attribute, error", [
    ("orvane.tamsel.environment", None, "ModuleNotFoundError"),
    ("orvane.tamsel.model.trade", "Trade", "ImportError"),
    ("orvane.tamsel.utils.datetime_func", "convert_int_to_datetime", "ImportError"),
    ("orvane.tamsel.const", "SIDE", "ImportError"),
    ("numpy", None, "ModuleNotFoundError"),
    ("pyvorn.strategy", None, "ModuleNotFoundError"),
    ("pyvorn.enums", None, "ModuleNotFoundError"),
])
def test_failed_import_step_aborts_the_load(source, attribute, error):
    result = run_child(f"""
        import importlib
        source, attribute = {source!r}, {attribute!r}
        module = importlib.import_module(source)
        if attribute is None:
            sys.modules[source] = None
        else:
            value = getattr(module, attribute)
            delattr(module, attribute)
        try:
            import {MODULE}
            first, message = "loaded", ""
        except Exception as exc:
            first, message = type(exc).__name__, str(exc)
        absent = "{MODULE}" not in sys.modules
        # Once the missing piece is back, the module loads and works.
        if attribute is None:
            sys.modules[source] = module
        else:
            setattr(module, attribute, value)
        import {MODULE} as tw
        result = dict(first=first, message=message, absent=absent,
                      works=tw.get_current_bar("x") is None and len(tw.event_queue) == 0)
    """)
    assert result["first"] == error
    if attribute is not None:
        assert result["message"].startswith(f"cannot import name '{attribute}' from '{source}'")
    assert result["absent"] and result["works"]


def test_strategy_class():
    cls = tw.VornStrategy
    assert cls.__bases__ == (pyvorn.strategy.VornStrategy,)
    assert cls.__name__ == cls.__qualname__ == "VornStrategy"
    assert cls.__module__ == MODULE
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == METHODS
    for name in METHODS:
        assert type(vars(cls)[name]) is types.MethodDescriptorType, name
        assert vars(cls)[name].__name__ == name


def test_event_queue():
    assert type(tw.event_queue) is tw.RB
    assert tw.event_queue.maxlen == 1_000_000
    assert tw.RB.__name__ == "RingBuffer"


# ---------------------------------------------------------------------------------------------
# Queries

CODE = "000001.XSHE"


@pytest.fixture(autouse=True)
def empty_caches():
    yield
    tw.history_bar.clear()
    tw.history_tick.clear()


@pytest.fixture
def three_bars():
    bars = [{"n": 1}, {"n": 2}, {"n": 3}]
    tw.history_bar[CODE] = deque(bars)
    return bars


@pytest.mark.parametrize("count, positions", [
    (2, [1, 2]),
    (3, [0, 1, 2]),
    (5, [0, 1, 2]),
    (0, [0, 1, 2]),
    (-1, [1, 2]),
    (-2, [2]),
    (-3, []),
    (-5, []),
    (10**30, [0, 1, 2]),
    (-(10**30), []),
    (True, [2]),
])
def test_history_slice(three_bars, count, positions):
    queue = tw.history_bar[CODE]
    result = tw.history_bars(CODE, count)
    assert type(result) is list
    assert len(result) == len(positions)
    assert all(r is three_bars[p] for r, p in zip(result, positions))
    assert list(queue) == three_bars and tw.history_bar[CODE] is queue


def test_ticks_keep_the_last_sixty():
    ticks = [{"n": i} for i in range(61)]
    tw.history_tick[CODE] = deque(ticks, maxlen=60)
    assert tw.get_current_tick(CODE) is ticks[60]
    result = tw.history_ticks(CODE, 100)
    assert len(result) == 60 and result[0] is ticks[1] and result[-1] is ticks[60]
    assert tw.history_ticks(CODE, 1) == [ticks[60]]


def test_current_bar_is_the_cached_dictionary(three_bars):
    bar = tw.get_current_bar(CODE)
    assert bar is three_bars[2]
    bar["changed"] = True
    assert tw.history_bar[CODE][-1]["changed"]


@pytest.mark.parametrize("query, args", [
    (tw.get_current_bar, ()),
    (tw.get_current_tick, ()),
    (tw.history_bars, (3,)),
    (tw.history_ticks, (3,)),
    (tw.history_bars, ("not a count",)),
])
def test_unknown_code_gives_none(three_bars, query, args):
    tw.history_tick[CODE] = deque([{}])
    assert query("600000.XSHG", *args) is None


@pytest.mark.parametrize("count, error", [
    (2.5, "slice indices must be integers"),
    ("2", "slice indices must be integers"),
    (None, "unsupported operand"),
    ([1], "slice indices must be integers"),
])
def test_count_that_is_not_an_integer(three_bars, count, error):
    with pytest.raises(TypeError, match=error):
        tw.history_bars(CODE, count)


def test_queries_take_keyword_arguments(three_bars):
    assert tw.get_current_bar(market_code=CODE) is three_bars[2]
    assert tw.history_bars(market_code=CODE, count=1) == [three_bars[2]]
    assert tw.history_bars(CODE, count=2) == three_bars[1:]
    with pytest.raises(TypeError, match="unexpected keyword argument 'code'"):
        tw.history_bars(code=CODE, count=1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'count'"):
        tw.history_bars(CODE)
    with pytest.raises(TypeError, match="multiple values for argument 'market_code'"):
        tw.get_current_bar(CODE, market_code=CODE)


class PythonQueue:
    """A queue type with Python-level iteration and indexing: the queries must read it as
    Python code would (list(q) for the history, q[-1] for the current entry)."""

    def __init__(self, items):
        self._items = list(items)

    def __iter__(self):
        return iter(self._items)

    def __getitem__(self, index):
        return self._items[index]


@pytest.mark.parametrize("queue_type", [list, PythonQueue])
def test_queues_other_than_deques(queue_type):
    bars = [{"n": i} for i in range(5)]
    tw.history_bar[CODE] = queue_type(bars)
    assert tw.get_current_bar(CODE) is bars[-1]
    for count in (0, 2, -2, 9):
        assert tw.history_bars(CODE, count) == bars[count * -1:]


def test_empty_queue_raises_index_error():
    tw.history_bar[CODE] = deque()
    with pytest.raises(IndexError):
        tw.get_current_bar(CODE)
    assert tw.history_bars(CODE, 3) == []


def test_queries_read_the_caches_through_the_module_globals(monkeypatch):
    replaced = {CODE: deque([{"replaced": True}])}
    monkeypatch.setattr(tw, "history_tick", replaced)
    assert tw.get_current_tick(CODE) == {"replaced": True}
    assert tw.history_ticks(CODE, 0) == [{"replaced": True}]


@pytest.mark.parametrize("change", ["clear", "shrink", "grow"])
def test_the_sdk_enumerations_are_imported_as_import_star_would_while_all_changes(change):
    """Reading a name of `__all__` can run the module's __getattr__, which may change `__all__`
    itself: the bridge then binds exactly what `from pyvorn.enums import *` binds."""
    result = run_child(f"""
        import types
        def prepare():
            enums = types.ModuleType("pyvorn.enums")
            import pyvorn.enums as real
            enums.__dict__.update({{k: v for k, v in vars(real).items() if k != "__all__"}})
            names = list(real.__all__)
            enums.__all__ = names[:2] + ["late"] + names[2:]
            def __getattr__(name):
                if name != "late":
                    raise AttributeError(name)
                if {change!r} == "clear":
                    enums.__all__.clear()
                elif {change!r} == "shrink":
                    del enums.__all__[3:]
                elif len(enums.__all__) < 100:
                    enums.__all__.extend(["late"] * 50)
                return 42
            enums.__getattr__ = __getattr__
            return enums, real
        enums, real = prepare()
        ns = {{}}
        sys.modules["pyvorn.enums"] = enums
        exec("from pyvorn.enums import *", ns)
        expected = sorted(k for k in ns if k != "__builtins__")
        enums, _ = prepare()
        sys.modules["pyvorn.enums"] = enums
        import {MODULE} as tw
        result = dict(expected=expected,
                      got=sorted(k for k in expected if k in vars(tw)),
                      late=getattr(tw, "late", None))
    """)
    assert result["got"] == result["expected"] and result["late"] == 42

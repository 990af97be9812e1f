"""The strategy's constructor, its start-up sequence `initialize`, `on_initialize` and the day
switch `on_switch_day`, driven through the SDK stand-in's recording context."""
import datetime
from collections import deque

import pytest

from tidesim.clock import VirtualClock, patch_time
from tidesim.framework.config import ABSENT, make_config, trading_days
from tidesim.framework.utils import logger
from tidesim.pyvorn import context as sim_context
from tidesim.pyvorn.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType
import pyvorn.strategy

import orvane.tamsel.utils.tidewell as tw

START = datetime.datetime(2026, 1, 5, 7, 0, 0)
CACHES = ("orders_dict", "history_bar", "history_tick", "algo_parent_orders",
          "algo_child_orders", "algo_child_trades")


@pytest.fixture(autouse=True)
def bridge_state():
    clock = VirtualClock(START)
    sim_context.set_default_clock(clock)
    with patch_time(tw, clock):
        yield clock
    tw.event_queue.clear()
    tw.vorn_params.clear()
    for name in CACHES:
        getattr(tw, name).clear()


def strategy(**settings):
    settings.setdefault("trading_calendar", trading_days("2026-01-05"))
    return tw.VornStrategy(make_config(**settings))


def call_names(s):
    return [name for name, _ in s.context.calls]


# ---------------------------------------------------------------------------------------------
# Constructor


def test_constructor_sets_state_after_the_base_constructor():
    cfg = make_config()
    s = tw.VornStrategy(cfg)
    # The base constructor ran first (it gives the context), then the attributes in order;
    # first_dt comes from the bridge's datetime global, which follows the virtual clock.
    assert list(vars(s)) == ["context", "logged_in", "order_num", "bar_cnt", "current_trade_dt",
                             "first_dt", "config"]
    assert s.logged_in is False
    assert (s.order_num, s.bar_cnt, s.current_trade_dt) == (0, 0, 0)
    assert type(s.first_dt) is datetime.date and s.first_dt == START.date()
    assert s.config is cfg
    assert s.context.calls == []


def test_constructor_takes_config_by_keyword_and_requires_it():
    cfg = make_config()
    assert tw.VornStrategy(config=cfg).config is cfg
    with pytest.raises(TypeError, match="config"):
        tw.VornStrategy()
    with pytest.raises(TypeError):
        tw.VornStrategy(cfg, cfg)


def test_constructor_runs_the_next_init_of_the_mro():
    seen = []

    class Mixin(pyvorn.strategy.VornStrategy):
        def __init__(self):
            seen.append("mixin")
            super().__init__()

    class Combined(tw.VornStrategy, Mixin):
        pass

    # As super().__init__() would: after the bridge class comes Mixin, not the SDK base.
    s = Combined(make_config())
    assert seen == ["mixin"]
    assert hasattr(s, "context") and s.logged_in is False


def test_subclass_constructor_chains_through_super():
    class Sub(tw.VornStrategy):
        def __init__(self, config):
            super().__init__(config)
            self.extra = 1

    cfg = make_config()
    s = Sub(cfg)
    assert s.config is cfg and s.extra == 1 and s.bar_cnt == 0


# ---------------------------------------------------------------------------------------------
# initialize


class RaisingBase:
    """A configuration base whose optional attributes raise errors other than AttributeError."""

    accounts = {}
    trading_calendar = []

    @property
    def md_type(self):
        raise RuntimeError("md_type unreadable")

    @property
    def order_way(self):
        raise KeyError("order_way")

    @property
    def algo_account(self):
        raise ValueError("algo_account")


@pytest.mark.parametrize("md_type, member", [
    (ABSENT, MDType.AMD),
    ("VoMD", MDType.VoMD),
    ("vomd", MDType.AMD),
    ("AMD", MDType.AMD),
    (1, MDType.AMD),
    (None, MDType.AMD),
])
def test_market_data_source(md_type, member):
    s = strategy(md_type=md_type)
    s.initialize(None)
    assert s.context.calls_of("add_md_broker") == [(member,)]
    assert tw.vorn_params["vorn_md"] is member
    assert s.context.calls_of("subscribe")[0][0] is member


def test_optional_attributes_whose_lookup_raises_count_as_absent():
    s = strategy()
    s.config.base = RaisingBase()
    s.initialize(None)
    assert s.context.calls_of("add_md_broker") == [(MDType.AMD,)]
    assert s.context.calls_of("set_order_way") == []
    assert s.context.calls_of("add_algo_broker") == []
    assert "subscribe" in call_names(s)


@pytest.mark.parametrize("order_way, expected", [
    ("fast", [("fast",)]),
    (None, [(None,)]),
    (0, [(0,)]),
    (ABSENT, []),
])
def test_order_way(order_way, expected):
    s = strategy(order_way=order_way)
    s.initialize(None)
    assert s.context.calls_of("set_order_way") == expected


@pytest.fixture
def tdtype_calls(monkeypatch):
    calls = []
    real = tw.get_vorn_tdtype

    def recording(dest):
        calls.append(dest)
        return real(dest)

    monkeypatch.setattr(tw, "get_vorn_tdtype", recording)
    return calls


@pytest.mark.parametrize("accounts, brokers, converter_calls", [
    ({}, [], []),
    ({"stock": "1001_sim"}, [(TDType.SIM,)], ["SIM", "SIM"]),
    ({"stock": "1001_xtp", "credit": "1002_Oes"}, [(TDType.XTP,), (TDType.OES,)],
     ["XTP", "XTP", "OES", "OES"]),
])
def test_trading_brokers(accounts, brokers, converter_calls, tdtype_calls):
    s = strategy(accounts=accounts)
    s.initialize(None)
    assert s.context.calls_of("add_td_broker") == brokers
    assert tdtype_calls == converter_calls
    if brokers:
        assert tw.vorn_params["vorn_td"] is brokers[-1][0]
    else:
        assert "vorn_td" not in tw.vorn_params
    assert "add_timer_interval" in call_names(s)


def test_vorn_td_holds_the_second_converter_result(monkeypatch):
    results = iter(["first", "second"])
    monkeypatch.setattr(tw, "get_vorn_tdtype", lambda dest: next(results))
    s = strategy(accounts={"stock": "1001_sim"})
    s.initialize(None)
    assert s.context.calls_of("add_td_broker") == [("first",)]
    assert tw.vorn_params["vorn_td"] == "second"


@pytest.mark.parametrize("bad, error, message", [
    ("1001", ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
    ("a_b_c", ValueError, r"^too many values to unpack \(expected 2\)$"),
    (1001, AttributeError, "split"),
])
def test_malformed_account_stops_start_up(bad, error, message):
    s = strategy(accounts={"stock": "1001_sim", "credit": bad, "later": "1003_xtp"})
    with pytest.raises(error, match=message):
        s.initialize(None)
    # The entry before the bad one stays registered; nothing after it happens.
    assert s.context.calls_of("add_td_broker") == [(TDType.SIM,)]
    assert tw.vorn_params["vorn_td"] is TDType.SIM
    assert "vorn_context" not in tw.vorn_params
    assert call_names(s) == ["add_md_broker", "add_td_broker"]


def test_accounts_are_read_through_items_in_the_mappings_order():
    class Accounts:
        def items(self):
            return iter([("b", "1_oes"), ("a", "2_sim")])

    s = strategy(accounts=Accounts())
    s.initialize(None)
    assert s.context.calls_of("add_td_broker") == [(TDType.OES,), (TDType.SIM,)]


@pytest.mark.parametrize("accounts", [None, [("a", "1_sim")], "1_sim"])
def test_accounts_that_are_not_a_mapping_fail(accounts):
    s = strategy()
    s.config.base.accounts = accounts
    with pytest.raises(AttributeError, match="items"):
        s.initialize(None)
    assert "subscribe" not in call_names(s)


@pytest.mark.parametrize("algo_account, registered", [
    (None, False),
    (ABSENT, False),
    ("x_atx", True),
    ("x_ATX", True),
    ("x_aTx", True),
    ("x_other", False),
])
def test_algorithmic_broker(algo_account, registered):
    s = strategy(algo_account=algo_account)
    s.initialize(None)
    assert s.context.calls_of("add_algo_broker") == ([(AlgoType.ATX,)] if registered else [])
    assert "subscribe" in call_names(s)


@pytest.mark.parametrize("algo_account, error", [
    ("ATX", ValueError),
    ("a_b_ATX", ValueError),
    (7, AttributeError),
])
def test_malformed_algo_account_stops_before_the_context_is_published(algo_account, error):
    s = strategy(algo_account=algo_account)
    with pytest.raises(error):
        s.initialize(None)
    assert "vorn_context" not in tw.vorn_params
    assert "subscribe" not in call_names(s)


def test_full_start_up_sequence():
    s = strategy(md_type="VoMD", order_way="w", accounts={"stock": "1001_sim"},
                 algo_account="9_atx")
    logger.clear_lines()
    assert s.initialize(object()) is None
    assert logger.lines[0] == ("system_log", "INFO", "VornStrategy initialize...")
    calls = s.context.calls
    assert calls[:5] == [
        ("add_md_broker", (MDType.VoMD,)),
        ("set_order_way", ("w",)),
        ("add_td_broker", (TDType.SIM,)),
        ("add_algo_broker", (AlgoType.ATX,)),
        ("subscribe", (MDType.VoMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")),
    ]
    # Then the clock: today's three timers and the daily re-arm.
    assert [name for name, _ in calls[5:]] == ["add_timer_interval"] * 4
    assert calls[-1][1][1] == s.set_timer
    assert tw.vorn_params == {"vorn_md": MDType.VoMD, "vorn_td": TDType.SIM,
                              "vorn_context": s.context}


def test_context_is_published_without_any_broker():
    s = strategy()
    s.initialize(None)
    assert tw.vorn_params["vorn_context"] is s.context
    assert "vorn_td" not in tw.vorn_params


def test_each_subscription_gets_a_new_list():
    s = strategy()
    s.initialize(None)
    s.initialize(None)
    first, second = s.context.calls_of("subscribe")
    assert first[3] == [] and second[3] == [] and first[3] is not second[3]


def test_initialize_uses_the_constructors_configuration():
    s = strategy(md_type="VoMD")
    other = make_config(md_type="AMD", order_way="other", accounts={"x": "1_sim"},
                        algo_account="1_atx")
    s.initialize(other)
    assert call_names(s)[:2] == ["add_md_broker", "subscribe"]
    assert s.context.calls_of("add_md_broker") == [(MDType.VoMD,)]


def test_initialize_reads_the_configuration_afresh_for_every_setting():
    class CountingConfig:
        def __init__(self, base):
            self._base = base
            self.reads = 0

        @property
        def base(self):
            self.reads += 1
            return self._base

    s = strategy()
    s.config = CountingConfig(s.config.base)
    s.initialize(None)
    # md_type, order_way, accounts, algo_account, and the clock's trading calendar.
    assert s.config.reads == 5


def test_initialize_calls_set_timer_through_the_instance():
    class Sub(tw.VornStrategy):
        def set_timer(self):
            self.timer_started = True

    s = Sub(make_config())
    s.initialize(None)
    assert s.timer_started and s.context.calls_of("add_timer_interval") == []


@pytest.mark.parametrize("missing, calls", [
    ("base", []),
    ("accounts", ["add_md_broker"]),
])
def test_missing_required_configuration(missing, calls):
    s = strategy()
    if missing == "base":
        del s.config.base
    else:
        del s.config.base.accounts
    with pytest.raises(AttributeError, match=missing):
        s.initialize(None)
    assert call_names(s) == calls


def test_initialize_requires_its_argument():
    with pytest.raises(TypeError, match="config"):
        strategy().initialize()


# ---------------------------------------------------------------------------------------------
# on_initialize and on_switch_day


def test_on_initialize_does_nothing():
    s = strategy()
    assert s.on_initialize() is None
    assert s.context.calls == [] and tw.vorn_params == {}
    with pytest.raises(TypeError):
        s.on_initialize(1)


def fill_caches():
    tw.orders_dict["c1"] = object()
    tw.history_bar["000001.XSHE"] = deque([{"close": 1}])
    tw.history_tick["000001.XSHE"] = deque([{"last": 1}])
    tw.algo_parent_orders["p1"] = object()
    tw.algo_child_orders["c1"] = object()
    tw.algo_child_trades["t1"] = object()


@pytest.mark.parametrize("filled", [True, False])
def test_switch_day_empties_the_caches_in_place(filled):
    if filled:
        fill_caches()
    tw.event_queue.append("pending")
    tw.vorn_params["vorn_md"] = MDType.AMD
    before = {name: getattr(tw, name) for name in CACHES}
    assert strategy().on_switch_day() is None
    for name in CACHES:
        assert getattr(tw, name) is before[name] and len(before[name]) == 0
    assert list(tw.event_queue) == ["pending"]
    assert tw.vorn_params == {"vorn_md": MDType.AMD}
    assert tw.get_current_bar("000001.XSHE") is None
    assert tw.history_ticks("000001.XSHE", 5) is None


def test_switch_day_clears_in_order_and_stops_at_a_failure(monkeypatch):
    fill_caches()

    class Failing(dict):
        def clear(self):
            raise RuntimeError("cannot clear")

    monkeypatch.setattr(tw, "history_tick", Failing(a=1))
    with pytest.raises(RuntimeError):
        strategy().on_switch_day()
    assert tw.orders_dict == {} and tw.history_bar == {}
    assert len(tw.algo_parent_orders) == len(tw.algo_child_orders) == len(tw.algo_child_trades) == 1

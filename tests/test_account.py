"""Login and account-query callbacks of VornStrategy: the log lines, the events with their
exact fields, the queries sent after a login, and the per-position guard of the position
answer. Driven through the public callbacks; observed through event_queue, the loggers and the
SDK context's recorded calls."""
from __future__ import annotations

import types

import pytest

from orvane.tamsel.core.events import EVENT
from orvane.tamsel.utils import tidewell
from bridge_support import bare_strategy, fields, take_events
from tidesim.framework.const import POSITION_DIRECTION
from tidesim.framework.portfolio.account import Asset
from tidesim.framework.portfolio.position import Position
from tidesim.framework.utils import logger
from tidesim.pyvorn.context import SimContext
from tidesim.pyvorn.enums import MarketType
from tidesim.pyvorn.records import AssetResult, LoginResult, PositionRecord


@pytest.fixture(autouse=True)
def clean_queue():
    tidewell.event_queue.clear()
    yield
    tidewell.event_queue.clear()


@pytest.fixture
def strategy():
    return bare_strategy()


def log_lines():
    return [(name, level, msg) for name, level, msg in logger.lines]


class Journal:
    """Records log lines, queued events and SDK queries in one list, in the order they occur."""

    def __init__(self, strategy):
        self.entries = []
        self.strategy = strategy
        journal = self

        class Queue:
            def append(self, ev):
                journal.entries.append(("event", ev))

        class Log:
            def info(self, text):
                journal.entries.append(("info", text))

        class Context:
            def query_asset(self, account):
                journal.entries.append(("query_asset", account, strategy.logged_in))

            def query_position(self, account):
                journal.entries.append(("query_position", account, strategy.logged_in))

        self.queue, self.log, self.context = Queue(), Log(), Context()

    def install(self, monkeypatch):
        monkeypatch.setattr(tidewell, "event_queue", self.queue)
        monkeypatch.setattr(tidewell, "system_log", self.log)
        self.strategy.context = self.context


# ---------------------------------------------------------------------------------------------
# Login

@pytest.mark.parametrize("error_code", [0, 0.0])
def test_successful_login_effects_in_order(strategy, monkeypatch, error_code):
    journal = Journal(strategy)
    journal.install(monkeypatch)
    strategy.on_login(LoginResult(fund_account_id="A7", error_code=error_code, client_seq_id=9,
                                  error_msg="fine"))
    kinds = [e[0] for e in journal.entries]
    assert kinds == ["info", "event", "query_asset", "query_position"]
    assert journal.entries[0][1] == f"on_login fund_account_id:A7, error_code:{error_code}"
    ev = journal.entries[1][1]
    assert ev.event_type is EVENT.LOGIN
    assert list(fields(ev).items()) == [("rid", 9), ("account_id", "A7"),
                                        ("code", error_code), ("msg", "fine")]
    # logged in before the queries are sent
    assert journal.entries[2] == ("query_asset", "A7", True)
    assert journal.entries[3] == ("query_position", "A7", True)
    assert strategy.logged_in is True


@pytest.mark.parametrize("error_code", [5, -1, "0", None])
def test_failed_login_sends_no_query(strategy, error_code):
    strategy.on_login(LoginResult(fund_account_id="A7", error_code=error_code, client_seq_id=3,
                                  error_msg="denied"))
    assert log_lines() == [("system_log", "INFO",
                            f"on_login fund_account_id:A7, error_code:{error_code}")]
    (ev,) = take_events()
    assert ev.event_type is EVENT.LOGIN
    assert list(fields(ev).items()) == [("rid", 3), ("account_id", "A7"),
                                        ("code", error_code), ("msg", "denied")]
    assert strategy.context.calls == []
    assert strategy.logged_in is False


def test_failing_asset_query_leaves_login_event_and_logged_in(strategy):
    class Context(SimContext):
        def query_asset(self, account, /):
            super().query_asset(account)
            raise ConnectionError("down")

    strategy.context = Context()
    with pytest.raises(ConnectionError, match="down"):
        strategy.on_login(LoginResult())
    (ev,) = take_events()
    assert ev.event_type is EVENT.LOGIN
    assert strategy.logged_in is True
    assert [name for name, _ in strategy.context.calls] == ["query_asset"]


def test_failing_log_stops_the_login_before_its_event(strategy, monkeypatch):
    def broken(text):
        raise OSError("log full")

    monkeypatch.setattr(tidewell, "system_log", types.SimpleNamespace(info=broken))
    with pytest.raises(OSError, match="log full"):
        strategy.on_login(LoginResult())
    assert take_events() == []
    assert strategy.logged_in is False and strategy.context.calls == []


# ---------------------------------------------------------------------------------------------
# Asset query

def test_asset_log_line_is_exact(strategy):
    strategy.on_query_asset(AssetResult(fund_account_id="A", leaves_value=10), 1, 0, "ok")
    assert log_lines() == [("system_log", "INFO",
                            "on_query_asset, A, leaves_value:10 code 0  ms ok")]


def test_asset_success_event_and_asset_arguments(strategy):
    res = AssetResult(fund_account_id="A", leaves_value=1.0, available_t1=2.0, frozen_all=3.0,
                      market_value=4.0, total_asset=5.0, init_leaves_value=6.0)
    strategy.on_query_asset(res, 77, 0, "ok")
    (ev,) = take_events()
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert list(fields(ev)) == ["rid", "account_id", "asset"]
    assert ev.rid == 77 and ev.account_id == "A"
    # fund account, available, frozen, market value, total asset, leaves value, initial leaves
    assert ev.asset == Asset("A", 2.0, 3.0, 4.0, 5.0, 1.0, 6.0)


@pytest.mark.parametrize("code", [3, -1, "x", 0.5])
def test_asset_failure_event(strategy, code):
    strategy.on_query_asset(AssetResult(fund_account_id="A"), 78, code, "bad")
    (ev,) = take_events()
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert list(fields(ev).items()) == [("rid", 78), ("account_id", "A"), ("code", code),
                                        ("msg", "bad")]


def test_asset_arguments_by_keyword(strategy):
    strategy.on_query_asset(msg="ok", code=0, request_id=5, asset_res=AssetResult())
    (ev,) = take_events()
    assert ev.rid == 5
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'msg'"):
        strategy.on_query_asset(AssetResult(), 5, 0)


def test_failing_asset_constructor_leaves_no_event(strategy, monkeypatch):
    def broken(*args):
        raise ValueError("asset")

    monkeypatch.setattr(tidewell, "Asset", broken)
    with pytest.raises(ValueError, match="asset"):
        strategy.on_query_asset(AssetResult(), 1, 0, "ok")
    assert take_events() == []
    assert len(log_lines()) == 1


# ---------------------------------------------------------------------------------------------
# Position query

def test_position_success(strategy):
    a = PositionRecord(security_id="000001", init_qty=100, leaves_qty=90, available_qty=80,
                       cost_price=9.5, last_price=10.5, market_value=945.0, profit_loss=90.0)
    b = PositionRecord(security_id="600000", market_id=MarketType.SSE, init_qty=200)
    strategy.on_query_position([a, b], 12, 0, "ok")
    assert log_lines() == [("system_log", "INFO", "on_query_position: code:0, msg:ok")]
    (ev,) = take_events()
    assert ev.event_type is EVENT.QUERY_POSITION
    assert list(fields(ev)) == ["rid", "positions"]
    assert ev.rid == 12
    first, second = ev.positions
    assert first._values()[:3] == ("000001.XSHE", POSITION_DIRECTION.LONG, 100)
    assert list(first.state.items()) == [("quantity", 90), ("available_qty", 80),
                                         ("avg_price", 9.5), ("last_price", 10.5),
                                         ("market_value", 945.0), ("daily_pnl", 90.0)]
    assert second._values()[:3] == ("600000.XSHG", POSITION_DIRECTION.LONG, 200)


@pytest.mark.parametrize("code", [3, -2, "e"])
def test_position_failure_is_an_account_query_event(strategy, code):
    strategy.on_query_position([PositionRecord()], 13, code, "bad")
    assert log_lines() == [("system_log", "INFO", f"on_query_position: code:{code}, msg:bad")]
    (ev,) = take_events()
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert list(fields(ev).items()) == [("rid", 13), ("code", code), ("msg", "bad")]


class PositionList(list):
    pass


@pytest.mark.parametrize("answer", [
    [],
    (),
    (PositionRecord(),),
    None,
    PositionList([PositionRecord()]),
    {"000001": PositionRecord()},
])
def test_position_answer_that_is_not_a_nonempty_list_gives_no_event(strategy, answer):
    strategy.on_query_position(answer, 14, 0, "ok")
    assert take_events() == []
    assert log_lines() == [("system_log", "INFO", "on_query_position: code:0, msg:ok")]


created = []


class BrokenPosition(Position):
    def set_state(self, state):
        created.append(self)
        raise RuntimeError("no state")


@pytest.mark.parametrize("bad, message", [
    (PositionRecord(security_id="BAD", market_id=99), "unknown market type: 99"),
    (types.SimpleNamespace(security_id="BAD", market_id=MarketType.SZSE),
     "'types.SimpleNamespace' object has no attribute 'init_qty'"),
    (types.SimpleNamespace(security_id="BAD", market_id=MarketType.SZSE, init_qty=1),
     "'types.SimpleNamespace' object has no attribute 'leaves_qty'"),
])
def test_failing_position_is_skipped_with_a_warning(strategy, bad, message):
    good1 = PositionRecord(security_id="000001", init_qty=1)
    good2 = PositionRecord(security_id="000003", init_qty=3)
    strategy.on_query_position([good1, bad, good2], 15, 0, "ok")
    assert log_lines() == [
        ("system_log", "INFO", "on_query_position: code:0, msg:ok"),
        ("user_system_log", "WARNING",
         f"on_query_position position do not add: BAD  exception: {message}"),
    ]
    (ev,) = take_events()
    assert [p.init_qty for p in ev.positions] == [1, 3]


def test_position_whose_set_state_fails_is_created_but_left_out(strategy, monkeypatch):
    created.clear()
    monkeypatch.setattr(tidewell, "Position", BrokenPosition)
    strategy.on_query_position([PositionRecord(security_id="X1"), PositionRecord(security_id="X2")],
                               16, 0, "ok")
    (ev,) = take_events()
    assert ev.event_type is EVENT.QUERY_POSITION
    assert ev.positions == []  # every element failed: the event still goes out, empty
    assert [p.market_code for p in created] == ["X1.XSHE", "X2.XSHE"]
    warnings = [msg for name, _, msg in log_lines() if name == "user_system_log"]
    assert warnings == [
        "on_query_position position do not add: X1  exception: no state",
        "on_query_position position do not add: X2  exception: no state",
    ]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_non_ordinary_errors_are_not_absorbed(strategy, monkeypatch, exc):
    def raising(*args):
        raise exc()

    monkeypatch.setattr(tidewell, "Position", raising)
    with pytest.raises(exc):
        strategy.on_query_position([PositionRecord()], 17, 0, "ok")
    assert take_events() == []
    assert [name for name, _, _ in log_lines()] == ["system_log"]


def test_failing_warning_chains_to_the_position_error(strategy, monkeypatch):
    def broken(text):
        raise OSError("warning failed")

    monkeypatch.setattr(tidewell, "user_system_log", types.SimpleNamespace(warning=broken))
    with pytest.raises(OSError, match="warning failed") as info:
        strategy.on_query_position([PositionRecord(market_id=99)], 18, 0, "ok")
    assert isinstance(info.value.__context__, ValueError)
    assert "unknown market type" in str(info.value.__context__)
    assert take_events() == []


def test_missing_user_log_is_a_name_error(strategy, monkeypatch):
    monkeypatch.delattr(tidewell, "user_system_log")
    with pytest.raises(NameError, match="name 'user_system_log' is not defined"):
        strategy.on_query_position([PositionRecord(market_id=99)], 19, 0, "ok")
    # a position that builds needs no warning logger
    strategy.on_query_position([PositionRecord()], 20, 0, "ok")
    (ev,) = take_events()
    assert len(ev.positions) == 1


def test_position_list_growing_while_iterated_is_followed(strategy, monkeypatch):
    answer = [PositionRecord(security_id="000001")]
    real = tidewell.Position

    def growing(code, direction, qty):
        if len(answer) < 3:
            answer.append(PositionRecord(security_id=f"00000{len(answer) + 1}"))
        return real(code, direction, qty)

    monkeypatch.setattr(tidewell, "Position", growing)
    strategy.on_query_position(answer, 21, 0, "ok")
    (ev,) = take_events()
    assert [p.market_code for p in ev.positions] == ["000001.XSHE", "000002.XSHE",
                                                     "000003.XSHE"]

"""A replay of another framework than the development stand-ins: a second framework package
under the framework's own module names, with a set-up API of its own (a differently named
environment set-up, its own reset and configuration class), set up through its adapter, with
only the SDK's stand-ins from tidesim. Each such replay runs in a child process: the bridge
binds to the framework modules it finds at its first import."""
from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

import tidesim
from tidesim.replay.__main__ import main
from tidesim.replay.adapter import FrameworkSpecError, StandinFramework, load_framework
from tidesim.replay.runner import replay

STANDINS = pathlib.Path(tidesim.__file__).parent / "framework"

# The second framework's own set-up: no configure(), no module-level reset(), no make_config.
ENVIRONMENT_SETUP = '''

    @classmethod
    def discard(cls) -> None:
        """Drops the process's environment (the next get_instance() makes an empty one)."""
        cls._instance = None

    def load_market(self, table, universe) -> None:
        """Instruments by market code, and the universe."""
        self.data_proxy._instruments = dict(table)
        self._universe = list(universe)
        self.loaded_by = "load_market"
'''

SETTINGS = '''"""The second framework's run settings."""
from types import SimpleNamespace

import numpy


class RunSettings:
    def __init__(self, accounts, calendar, **optional):
        self.base = SimpleNamespace(accounts=dict(accounts),
                                    trading_calendar=[numpy.datetime64(d, "D") for d in calendar],
                                    **optional)
'''

ADAPTER = '''"""The second framework's replay adapter."""
import importlib
import sys

from tidesim.replay.adapter import build_with_attributes
from tidesim.replay.format import make_record

calls = []


class SecondFrameworkAdapter:
    name = "the second framework"

    def start_day(self, header, universe):
        env = importlib.import_module("orvane.tamsel.environment")
        instrument = importlib.import_module("orvane.tamsel.model.instrument").Instrument
        logger = importlib.import_module("orvane.tamsel.utils.logger")
        env.Environment.discard()
        logger.clear_lines()
        table = {code: instrument(**{**fields, "market_code": code})
                 for code, fields in header.instruments.items()}
        env.Environment.get_instance().load_market(table, universe)
        calls.append("start_day")

    def config(self, header):
        from orvane.tamsel.settings import RunSettings
        c = header.config
        optional = {k: c[k] for k in ("md_type", "order_way", "algo_account") if k in c}
        return RunSettings(c["accounts"], c.get("trading_calendar", []), **optional)

    def act_object(self, type_name, fields):
        if type_name != "Order":
            return make_record(type_name, fields)
        from orvane.tamsel.model.order import Order
        return build_with_attributes(Order, fields)

    def end_day(self):
        calls.append("end_day")


def replay_adapter():
    return SecondFrameworkAdapter()
'''

CHILD = '''import json, sys
import tidesim
from tidesim.replay.__main__ import default_session
from tidesim.replay.runner import replay
import second_fw_adapter
res = replay(default_session(), report=None, framework="second_fw_adapter")
env = sys.modules["orvane.tamsel.environment"]
print(json.dumps({
    "exit_code": res.exit_code, "events": dict(res.events), "entries": res.entries,
    "digest": res.digest, "problems": [str(p) for p in res.problems],
    "environment": env.__file__, "loaded_by": getattr(env.Environment.get_instance(), "loaded_by", None),
    "standin_environment_untouched": tidesim.framework.environment.Environment._instance is None,
    "adapter_calls": second_fw_adapter.calls}))
'''


def _second_framework(root: pathlib.Path) -> pathlib.Path:
    """The stand-ins' modules copied under orvane/tamsel/ (namespace packages above, as the
    real framework installs beside the wheel), then given a set-up API of their own."""
    pkg = root / "orvane" / "tamsel"
    for src in STANDINS.rglob("*.py"):
        rel = src.relative_to(STANDINS)
        if rel.name == "__init__.py" and rel.parent.name in ("", "utils"):
            continue  # orvane.tamsel and orvane.tamsel.utils stay namespace packages
        if rel.name == "config.py":
            continue  # the stand-ins' make_config is no part of this framework
        dst = pkg / rel
        dst.parent.mkdir(parents=True, exist_ok=True)
        text = src.read_text().replace("from ...pyvorn.enums", "from pyvorn.enums")
        if rel.name == "environment.py":
            start = text.index("    def configure(")
            end = text.index("    def get_universe(")
            text = text[:start] + text[end:]  # no configure()
            text = text.replace("\n\ndef reset() -> None:\n    Environment._instance = None\n", "\n")
            text = text.replace("    def get_universe(", ENVIRONMENT_SETUP.lstrip("\n") + "\n    def get_universe(", 1)
        dst.write_text(text)
    (pkg / "settings.py").write_text(SETTINGS)
    (root / "second_fw_adapter.py").write_text(ADAPTER)
    return root


def _child(root: pathlib.Path, *argv: str, code: str | None = None) -> subprocess.CompletedProcess:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(root), os.environ.get("PYTHONPATH", "")])}
    cmd = [sys.executable, "-c", code] if code is not None else [sys.executable, "-m", "tidesim.replay", *argv]
    return subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=root, timeout=600)


@pytest.fixture(scope="module")
def second(tmp_path_factory):
    return _second_framework(tmp_path_factory.mktemp("second_framework"))


@pytest.fixture(scope="module")
def standin_result():
    from tidesim.replay.__main__ import default_session
    return replay(default_session(), report=None)


def test_the_second_framework_replays_the_bundled_day_with_the_same_events(second, standin_result):
    got = _child(second, code=CHILD)
    assert got.returncode == 0, got.stderr
    out = json.loads(got.stdout)
    assert out["exit_code"] == 0, out["problems"]
    # the bridge read the second framework, set up through its own API, never the stand-ins'
    assert out["environment"].startswith(str(second))
    assert out["loaded_by"] == "load_market"
    assert out["standin_environment_untouched"]
    assert out["adapter_calls"] == ["start_day", "end_day"]
    assert out["entries"] == standin_result.entries
    assert out["events"] == dict(standin_result.events)
    assert out["digest"] is not None


def test_the_command_line_names_the_adapter_and_the_stand_ins_refuse_another_framework(
        second, standin_result):
    got = _child(second, "--framework", "second_fw_adapter", "--json")
    assert got.returncode == 0, got.stderr
    assert json.loads(got.stdout)["events"] == dict(standin_result.events)
    # without --framework the stand-ins' set-up would configure an environment the bridge
    # does not read: refused, naming the option
    refused = _child(second, "--quiet")
    assert refused.returncode == 2
    assert "--framework" in refused.stderr and "Traceback" not in refused.stderr


class _Adapter:
    def start_day(self, header, universe):
        pass

    def config(self, header):
        return None

    def act_object(self, type_name, fields):
        return fields


@pytest.mark.parametrize("spec, kind", [
    (None, StandinFramework),
    (_Adapter(), _Adapter),
])
def test_an_adapter_is_the_stand_ins_by_default_or_the_object_given(spec, kind):
    assert isinstance(load_framework(spec), kind)


@pytest.mark.parametrize("spec, needle", [
    ("no_such_framework_module_here", "cannot import 'no_such_framework_module_here'"),
    ("json:no_such_factory", "has no 'no_such_factory'"),
    ("json:dumps", "dumps() raised TypeError"),
    (":x", "expected MODULE[:NAME]"),
    (object(), "is not a framework adapter (no start_day, config, act_object)"),
])
def test_a_bad_adapter_is_refused_clearly(spec, needle):
    with pytest.raises(FrameworkSpecError) as err:
        load_framework(spec)
    assert needle in str(err.value)


def test_the_command_line_refuses_a_bad_adapter_before_replaying(capsys):
    assert main(["--framework", "no_such_framework_module_here", "--quiet"]) == 2
    err = capsys.readouterr().err
    assert "cannot import" in err and "Traceback" not in err


def test_an_adapter_refusing_the_header_is_bad_input_at_its_line(tmp_path):
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.format import SessionFormatError

    class Refusing(_Adapter):
        def config(self, header):
            raise KeyError("accounts")
    with pytest.raises(SessionFormatError, match=r":1: header config: KeyError: 'accounts'"):
        replay(default_session(), report=None, framework=Refusing())


class _Raising(_Adapter):
    def __init__(self, where):
        self.where = where

    def install(self):
        if self.where == "install":
            raise RuntimeError("no licence")

    def start_day(self, header, universe):
        if self.where == "start_day":
            raise RuntimeError("no database")

    def config(self, header):
        if self.where == "config":
            raise RuntimeError("no settings")
        from tidesim.framework.config import make_config
        return make_config(accounts=header.config["accounts"])


@pytest.mark.parametrize("where", ["install", "start_day", "config"])
def test_an_adapter_that_fails_stops_the_replay_with_a_clear_message(where):
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.runner import ReplayAborted
    with pytest.raises(ReplayAborted, match=rf"adapter's {where}\(\) raised RuntimeError"):
        replay(default_session(), report=None, framework=_Raising(where))


def test_an_adapter_whose_end_of_day_fails_reports_a_problem():
    from tidesim.replay.__main__ import default_session
    from tidesim.replay.selection import Selection
    import datetime as dt

    class Ending(StandinFramework):
        def end_day(self):
            raise RuntimeError("could not close")
    res = replay(default_session(), report=None, framework=Ending(),
                 select=Selection(None, dt.time(9, 30), dt.time(9, 31)))
    assert res.problem_counts == {"framework": 1} and res.exit_code == 1
    assert "could not close" in res.problems[0].error


def test_every_day_of_a_multi_day_run_sets_up_the_framework_named(second, standin_result):
    import shutil
    from tidesim.replay.__main__ import default_session
    days = second / "days"
    days.mkdir(exist_ok=True)
    for name in ("a.jsonl.gz", "b.jsonl.gz"):
        shutil.copy(default_session(), days / name)
    got = _child(second, str(days), "--framework", "second_fw_adapter", "--workers", "1",
                 "--json", "--no-progress")
    assert got.returncode == 0, got.stderr
    out = json.loads(got.stdout)["days"]
    assert [d["events"] for d in out] == [dict(standin_result.events)] * 2
    # a module that cannot be imported is refused before any cluster starts
    refused = _child(second, str(days), "--framework", "no_such_adapter", "--workers", "1")
    assert refused.returncode == 2
    assert "no_such_adapter" in refused.stderr and "Traceback" not in refused.stderr

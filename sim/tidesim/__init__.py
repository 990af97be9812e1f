"""Development-only stand-ins for the trading SDK and the framework services.

install() registers them in sys.modules under the real module names, so that the bridge
module, imported afterwards, binds to them; reset() puts their state back for the next test.
"""
from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import sys
import types

from . import clock
from .framework import config, const, environment
from .framework.model import (algo_child_order, algo_child_trade, algo_parent_order, l2_order,
                              l2_transaction, tick, trade)
from .framework.portfolio import account, position
from .framework.utils import datetime_func, logger, trade_func
from .pyvorn import context, enums, strategy

__all__ = ["install", "reset", "STANDINS"]

# Real name -> the stand-in module, or None for a package. Parents come before their children.
# A package is registered as an empty package object of its own (no search path), so nothing
# can be imported beneath it but the registered stand-ins. orvane, orvane.tamsel,
# orvane.tamsel.core and orvane.tamsel.utils are the built wheel's namespace packages and are
# never registered here.
STANDINS: dict[str, types.ModuleType | None] = {
    "pyvorn": None,
    "pyvorn.strategy": strategy,
    "pyvorn.enums": enums,
    "orvane.tamsel.environment": environment,
    "orvane.tamsel.model": None,
    "orvane.tamsel.model.tick": tick,
    "orvane.tamsel.model.trade": trade,
    "orvane.tamsel.model.l2_order": l2_order,
    "orvane.tamsel.model.l2_transaction": l2_transaction,
    "orvane.tamsel.model.algo_parent_order": algo_parent_order,
    "orvane.tamsel.model.algo_child_order": algo_child_order,
    "orvane.tamsel.model.algo_child_trade": algo_child_trade,
    "orvane.tamsel.const": const,
    "orvane.tamsel.portfolio": None,
    "orvane.tamsel.portfolio.account": account,
    "orvane.tamsel.portfolio.position": position,
    "orvane.tamsel.utils.datetime_func": datetime_func,
    "orvane.tamsel.utils.trade_func": trade_func,
    "orvane.tamsel.utils.logger": logger,
}

_packages: dict[str, types.ModuleType] = {}


def _package(name: str) -> types.ModuleType:
    """The package object registered under `name`, made once."""
    module = _packages.get(name)
    if module is None:
        module = types.ModuleType(name, f"Stand-in package {name} (tidesim).")
        module.__spec__ = importlib.machinery.ModuleSpec(name, None, is_package=True)
        module.__path__ = []
        module.__package__ = name
        _packages[name] = module
    return module


def _importable(name: str) -> bool:
    """Whether `name` can be imported from the installed packages. A missing parent means no;
    any other failure of a parent's import propagates rather than being hidden by a stand-in."""
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError as exc:
        if exc.name is not None and (name == exc.name or name.startswith(exc.name + ".")):
            return False
        raise


def install(replace: bool = False) -> None:
    """Registers the stand-ins under the real names. Without `replace`, a name already in
    sys.modules or importable for real is left alone (so a second call changes nothing); with
    it, every name gets its stand-in. A registered module is also bound as an attribute of its
    parent package when that package is loaded."""
    for name, module in STANDINS.items():
        if not replace and (name in sys.modules or _importable(name)):
            continue
        if module is None:
            module = _package(name)
        sys.modules[name] = module
        parent_name, _, child = name.rpartition(".")
        parent = sys.modules.get(parent_name)
        if parent is not None:
            setattr(parent, child, module)


def reset() -> None:
    """Puts every stand-in's state back: an empty environment, no kept log lines, a fresh
    default clock for the SDK contexts built from now on."""
    environment.reset()
    logger.reset()
    context.set_default_clock(clock.VirtualClock(context.DEFAULT_START))

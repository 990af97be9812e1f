"""Everything framework-specific that a replay does, behind one small interface.

The bridge reads the framework through its module names (`orvane.tamsel.environment`, the
record classes of `orvane.tamsel.model`, ...), whichever framework answers to them: the
development stand-ins that `tidesim.install()` registers, or the team's own framework when it
is importable for real. The replay must set up the *same* framework the bridge reads: the
configuration handed to the strategy, the instruments and the universe, the framework's own
objects in the acts it replays (the order of `place_order`), and a clean state for each day.
A framework adapter does exactly that:

    class MyFrameworkAdapter:
        name = "my framework"                   # shown in messages (optional)

        def install(self) -> None:              # optional: make the framework importable
            ...                                 # under its names before the bridge loads
        def start_day(self, header, universe):  # reset, then instruments and universe
            ...                                 # (universe: the codes the bars complete over)
        def config(self, header):               # the configuration for VornStrategy(config)
            ...                                 # and initialize(config)
        def act_object(self, type_name, fields):  # the framework object of an act's value
            ...                                 # (type_name "Order" for place_order)
        def end_day(self) -> None:              # optional: after the day, whatever happened
            ...

`header` is the session's SessionHeader (`config`, `instruments`, `universe`, `day`, ...). An
exception of `start_day` or `config` that says the header does not suit the framework
(TypeError, ValueError, KeyError, AttributeError) is reported as bad input at the header's
line. `--framework MODULE[:NAME]` (and `framework=` of `replay()`/`Replay`) names the adapter:
NAME (default `replay_adapter`) is a class or a function of MODULE that makes it, or the
adapter object itself. A text names it in every process alike, which is how a multi-day
replay hands it to its workers: each worker's replay loads it afresh, for each day.
"""
from __future__ import annotations

import importlib
import inspect
import operator
from typing import Any

DEFAULT_FACTORY = "replay_adapter"
REQUIRED = ("start_day", "config", "act_object")
ENVIRONMENT_MODULE = "orvane.tamsel.environment"


class FrameworkSpecError(ValueError):
    """An adapter that cannot be loaded, or a framework the replay cannot set up; the message
    says why."""


class StandinFramework:
    """The default adapter: the development stand-ins of tidesim.framework, registered under
    the framework's names by tidesim.install()."""

    name = "the development stand-ins"

    def install(self) -> None:
        import tidesim
        tidesim.install()
        from ..framework import environment
        bound = importlib.import_module(ENVIRONMENT_MODULE)  # what the bridge will read
        if bound is not environment:
            where = getattr(bound, "__file__", None) or repr(bound)
            raise FrameworkSpecError(
                f"{ENVIRONMENT_MODULE} is another framework ({where}), not the development "
                "stand-ins: name its adapter with --framework MODULE (framework= from Python)")

    def start_day(self, header: Any, universe: list[str]) -> None:
        from ..framework.environment import Environment, reset
        from ..framework.model.instrument import Instrument
        from ..framework.utils import logger
        reset()
        logger.reset()
        instruments = []
        for code, fields in header.instruments.items():
            try:
                instruments.append(Instrument(**{**fields, "market_code": code}))
            except (TypeError, ValueError) as exc:
                raise ValueError(f"instrument {code!r}: {exc}") from None
        try:
            Environment.get_instance().configure(instruments=instruments, universe=universe)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"header universe: {exc}") from None

    def config(self, header: Any) -> Any:
        from ..framework.config import ABSENT, make_config, trading_days
        c = header.config
        try:
            return make_config(accounts=c["accounts"],
                               md_type=c.get("md_type", ABSENT), order_way=c.get("order_way", ABSENT),
                               algo_account=c.get("algo_account", ABSENT),
                               trading_calendar=trading_days(*c.get("trading_calendar", [])))
        except (TypeError, ValueError, KeyError, AttributeError) as exc:
            raise ValueError(f"header config: {type(exc).__name__}: {exc}") from None

    def act_object(self, type_name: str, fields: dict) -> Any:
        from .format import make_record
        if type_name != "Order":
            return make_record(type_name, fields)
        from ..framework.model.order import Order
        return build_with_attributes(Order, fields)

    def end_day(self) -> None:
        pass


def build_with_attributes(cls: type, fields: dict) -> Any:
    """An instance of `cls` made from the fields its constructor takes, the others set as
    attributes afterwards (a recorded order holds its whole state, the constructor only part)."""
    params = _parameters(cls)
    obj = cls(**{k: v for k, v in fields.items() if k in params})
    for k, v in fields.items():
        if k not in params:
            setattr(obj, k, v)
    return obj


# The constructor parameters of the classes built so far, with what they were read from: an
# act's order is built for every place_order of the day, and reading a signature is far dearer
# than building the order. Read again when the class's constructor or signature changes.
_PARAMETERS: dict[type, tuple[tuple, Any]] = {}


def _constructor_of(cls: type) -> tuple:
    return (type(cls).__call__, cls.__new__, cls.__init__, getattr(cls, "__signature__", None))


def _parameters(cls: type) -> Any:
    """inspect.signature(cls).parameters, remembered per class while its constructor stays."""
    key = _constructor_of(cls)
    hit = _PARAMETERS.get(cls)
    if hit is not None and len(hit[0]) == len(key) and all(map(operator.is_, hit[0], key)):
        return hit[1]
    params = inspect.signature(cls).parameters
    _PARAMETERS[cls] = (key, params)
    return params


def load_framework(spec: Any = None) -> Any:
    """The adapter `spec` names: None for the stand-ins, an adapter object, or a text
    "MODULE[:NAME]" (MODULE imported with the working directory first on the path, as a
    listener's module is)."""
    if spec is None:
        return StandinFramework()
    if isinstance(spec, str):
        module, _, name = spec.partition(":")
        module, name = module.strip(), name.strip() or DEFAULT_FACTORY
        if not module:
            raise FrameworkSpecError(f"--framework {spec!r}: expected MODULE[:NAME]")
        from .listeners import import_user_module
        try:
            mod = import_user_module(module)
        except Exception as exc:  # the user's module: its own errors are reported, not raised
            raise FrameworkSpecError(f"--framework: cannot import {module!r}: "
                                     f"{type(exc).__name__}: {exc}") from None
        made = getattr(mod, name, None)
        if made is None:
            raise FrameworkSpecError(f"--framework: module {module!r} has no {name!r} "
                                     "(a class or function making the adapter)")
        if callable(made) and not _is_adapter(made):
            try:
                made = made()
            except Exception as exc:
                raise FrameworkSpecError(f"--framework: {module}:{name}() raised "
                                         f"{type(exc).__name__}: {exc}") from None
        spec = made
    missing = [m for m in REQUIRED if not callable(getattr(spec, m, None))]
    if missing:
        raise FrameworkSpecError(f"--framework: {spec!r} is not a framework adapter (no "
                                 f"{', '.join(missing)})")
    return spec


def _is_adapter(obj: Any) -> bool:
    """Whether `obj` is an adapter already (a module or an instance with the methods), rather
    than the class or function that makes one."""
    return not isinstance(obj, type) and all(callable(getattr(obj, m, None)) for m in REQUIRED)


def adapter_name(adapter: Any) -> str:
    return str(getattr(adapter, "name", None) or type(adapter).__qualname__)

"""Timing the stand-ins inside the bridge's callbacks.

The bridge reads the framework's converters, record classes and the environment from its
module globals at every use. For the replay those globals are replaced by timed wrappers that
add the time spent inside them to a meter; the replay reads the meter around each callback and
so separates the bridge's own time from the stand-ins'. The wrappers' own cost (calibrated
once, per call) is counted with the stand-ins, not with the bridge. The environment the bridge
looks up, the loggers and the virtual clock's shims (its `datetime` class and numpy view) are
proxied too, so their work counts as the stand-ins'; methods called on other objects the
stand-ins return stay in the bridge's share.
"""
from __future__ import annotations

import contextlib
import enum
import logging
import operator
import time as _time
import types
from typing import Any, Callable, Iterator

STANDIN_PACKAGE = "tidesim."
# the standard library's own classes, which the virtual clock puts back as they are
CLOCK_GLOBALS = frozenset({"time", "timedelta"})
# class methods that return a shared service object (whose methods are then timed too)
SINGLETON_ACCESSORS = frozenset({"get_instance"})


class Meter:
    """ns: nanoseconds spent in timed calls; calls: how many; overhead_ns: a wrapper's own
    cost per call, measured once."""

    __slots__ = ("ns", "calls", "overhead_ns")

    def __init__(self) -> None:
        self.ns = 0
        self.calls = 0
        self.overhead_ns = 0.0

    def charged(self) -> float:
        """Stand-in time so far, the wrappers' own cost included."""
        return self.ns + self.calls * self.overhead_ns


def _timed(fn: Callable[..., Any], meter: Meter) -> Callable[..., Any]:
    perf = _time.perf_counter_ns

    def timed(*args: Any, **kwargs: Any) -> Any:
        # no try/finally: a call that raises is not added, which only a report of that
        # callback's exception would miss
        t0 = perf()
        result = fn(*args, **kwargs)
        meter.ns += perf() - t0
        meter.calls += 1
        return result
    timed.__wrapped__ = fn  # type: ignore[attr-defined]
    timed.__name__ = getattr(fn, "__name__", "timed")
    return timed


class TimedClass:
    """Stands in for a stand-in class in the bridge's globals: calling it and calling its
    callable attributes (class methods such as get_instance) are timed; other attributes are
    the class's own."""

    def __init__(self, cls: type, meter: Meter) -> None:
        self.__dict__["_cls"] = cls
        self.__dict__["_meter"] = meter
        self.__dict__["_call"] = _timed(cls, meter)
        self.__dict__["_methods"] = {}

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._call(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        t0 = _time.perf_counter_ns()  # the look-up through the proxy is the stand-ins' time too
        value = getattr(self._cls, name)
        if callable(value) and not isinstance(value, type):
            cached = self._methods.get(name)
            if cached is None or not _same(cached.__wrapped__, value):
                timed = _timed(value, self._meter)
                if name in SINGLETON_ACCESSORS:
                    timed = _proxied_result(timed, self._meter)
                cached = self._methods[name] = timed
            value = cached
        self._meter.ns += _time.perf_counter_ns() - t0
        return value

    def __instancecheck__(self, obj: Any) -> bool:
        return isinstance(obj, self._cls)


def _same(a: Any, b: Any) -> bool:
    """The same object, or the same method of the same object (bound anew at each access)."""
    if a is b:
        return True
    return type(a) is types.MethodType and type(b) is types.MethodType \
        and a.__func__ is b.__func__ and a.__self__ is b.__self__


class TimedObject:
    """Stands in for a stand-in service object (the environment the bridge looks up): its
    methods are timed, and its attributes that are stand-in objects are proxied the same way.
    Never handed to anything but the bridge, which only calls into it."""

    def __init__(self, obj: Any, meter: Meter) -> None:
        self.__dict__["_obj"] = obj
        self.__dict__["_meter"] = meter
        self.__dict__["_cache"] = {}

    def __getattr__(self, name: str) -> Any:
        t0 = _time.perf_counter_ns()  # the look-up through the proxy is the stand-ins' time too
        try:
            return self._wrapped_attribute(name)
        finally:
            self._meter.ns += _time.perf_counter_ns() - t0

    def _wrapped_attribute(self, name: str) -> Any:
        value = getattr(self._obj, name)
        cached = self._cache.get(name)
        if cached is not None and _same(cached[0], value):
            return cached[1]
        if callable(value) and not isinstance(value, type):
            wrapped = _timed(value, self._meter)
        elif (getattr(type(value), "__module__", "") or "").startswith(STANDIN_PACKAGE) \
                and hasattr(value, "__dict__") and not isinstance(value, type):
            wrapped = TimedObject(value, self._meter)
        else:
            return value
        self._cache[name] = (value, wrapped)
        return wrapped


def _proxied_result(timed: Callable[..., Any], meter: Meter) -> Callable[..., Any]:
    proxies: dict[int, tuple[Any, TimedObject]] = {}

    def call(*args: Any, **kwargs: Any) -> Any:
        obj = timed(*args, **kwargs)
        hit = proxies.get(id(obj))
        if hit is None or hit[0] is not obj:
            hit = proxies[id(obj)] = (obj, TimedObject(obj, meter))
        return hit[1]
    call.__wrapped__ = timed.__wrapped__  # type: ignore[attr-defined]
    return call


def _calibrate(meter: Meter) -> float:
    """A wrapper's cost per call beyond what it measures inside: the best of a few rounds."""
    def noop() -> None:
        return None
    probe = Meter()
    wrapped = _timed(noop, probe)
    perf = _time.perf_counter_ns
    best = float("inf")
    for _ in range(5):
        n = 2000
        t0 = perf()
        for _ in range(n):
            noop()
        plain = perf() - t0
        probe.ns = 0
        t0 = perf()
        for _ in range(n):
            wrapped()
        whole = perf() - t0
        best = min(best, max(0.0, (whole - plain - probe.ns) / n))
    return best


_overhead_ns: float | None = None  # a wrapper's cost per call, once measured


def timed_globals(module: types.ModuleType, meter: Meter) -> dict[str, Any]:
    """The replacements for the stand-ins among `module`'s globals: the stand-in functions and
    classes, the virtual clock's shims (its datetime class and numpy view), and the loggers."""
    out: dict[str, Any] = {}
    for name, value in vars(module).items():
        if name.startswith("_") or name in CLOCK_GLOBALS:
            continue
        if isinstance(value, logging.Logger):
            out[name] = TimedObject(value, meter)
            continue
        if isinstance(value, types.BuiltinMethodType) and _standin_method(value):
            out[name] = _timed(value, meter)  # a stand-in table's own look-up
            continue
        owner = getattr(value, "__module__", None) or ""
        if not owner.startswith(STANDIN_PACKAGE):
            continue
        if isinstance(value, types.FunctionType):
            out[name] = _timed(value, meter)
        elif isinstance(value, type):
            if not issubclass(value, enum.Enum) and not hasattr(value, "__members__"):
                out[name] = TimedClass(value, meter)
        elif not isinstance(value, types.ModuleType) and hasattr(value, "__dict__"):
            out[name] = TimedObject(value, meter)  # a service object, such as the clock's numpy
    return out


def _standin_method(value: Any) -> bool:
    """Whether `value` is a method of a native type bound to an object of a stand-in class
    (a converter that is a stand-in table's look-up, answering without a Python frame)."""
    owner = getattr(type(getattr(value, "__self__", None)), "__module__", None) or ""
    return owner.startswith(STANDIN_PACKAGE)


class StandinTiming:
    """Timed stand-ins for `module`, put in place only around the calls being measured (`on()`
    and `off()`), so that calls not measured pay nothing for them. `on()` replaces a global
    only while it is still the original, `off()` puts back only its own replacements: a global
    that something else replaced meanwhile stays as that left it."""

    def __init__(self, module: types.ModuleType) -> None:
        global _overhead_ns
        self.meter = Meter()
        if _overhead_ns is None:  # measured once per process: it is the same for every replay
            _overhead_ns = _calibrate(self.meter)
        self.meter.overhead_ns = _overhead_ns
        self._dict = module.__dict__
        self._replacements = timed_globals(module, self.meter)
        self._pairs = [(name, self._dict[name], timed) for name, timed in self._replacements.items()]
        # the same in columns, for the usual case of a swap in bulk: nothing else has touched
        # these globals since the last swap, which one comparison of lists tells
        self._names = [name for name, _, _ in self._pairs]
        self._originals = [original for _, original, _ in self._pairs]
        self._timed = [timed for _, _, timed in self._pairs]
        self._timed_dict = dict(zip(self._names, self._timed))
        self._original_dict = dict(zip(self._names, self._originals))
        self.active = False

    def on(self) -> None:
        d = self._dict
        if _all_identical(list(map(d.get, self._names)), self._originals):
            d.update(self._timed_dict)
        else:
            for name, original, timed in self._pairs:
                if d.get(name) is original:
                    d[name] = timed
        self.active = True

    def off(self) -> None:
        d = self._dict
        if _all_identical(list(map(d.get, self._names)), self._timed):
            d.update(self._original_dict)
        else:
            for name, original, timed in self._pairs:
                if d.get(name) is timed:
                    d[name] = original
        self.active = False


def _all_identical(a: list, b: list) -> bool:
    """Whether the two lists hold the same objects, position by position (identity, never
    equality: a stand-in's __eq__ must not decide whether a global was replaced)."""
    return len(a) == len(b) and all(map(operator.is_, a, b))


@contextlib.contextmanager
def timing_standins(module: types.ModuleType) -> Iterator[Meter]:
    """Replaces the stand-in globals of `module` with timed ones for the duration."""
    timing = StandinTiming(module)
    timing.on()
    try:
        yield timing.meter
    finally:
        timing.off()

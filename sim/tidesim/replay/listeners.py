"""Listeners named on the command line: `EVENT=MODULE:FUNCTION`.

EVENT is a member name of the bus's `EVENT` enumeration, or `*` for every type; MODULE is
imported as Python imports it (from the working directory and PYTHONPATH); FUNCTION is an
attribute of it (dotted for a class attribute) that is called with each event.
"""
from __future__ import annotations

import importlib
import os
import sys
from typing import Any, Callable

ALL_EVENTS = "*"


class ListenerSpecError(ValueError):
    """A listener argument that cannot be resolved; the message says why."""


def parse_spec(spec: str) -> tuple[str, str, str]:
    """(event, module, function) of "EVENT=MODULE:FUNCTION"."""
    event, eq, target = spec.partition("=")
    module, colon, function = target.partition(":")
    event, module, function = event.strip(), module.strip(), function.strip()
    if not eq or not colon or not event or not module or not function:
        raise ListenerSpecError(f"{spec!r}: expected EVENT=MODULE:FUNCTION "
                                "(EVENT a member of EVENT or '*')")
    return event, module, function


def import_user_module(module: str) -> Any:
    """Imports a user's `module` (a listener's, a framework adapter's) with the working
    directory first on the path, as `python -m` would find it."""
    cwd = os.getcwd()
    added = cwd not in sys.path and "" not in sys.path
    if added:
        sys.path.insert(0, cwd)
    try:
        return importlib.import_module(module)
    finally:
        if added:
            sys.path.remove(cwd)


def load_function(module: str, function: str) -> Callable[[Any], Any]:
    """Imports `module` with the working directory first on the path and returns the callable
    `function` found in it."""
    try:
        mod = import_user_module(module)
    except Exception as exc:  # the user's module: any error of its own is reported, not raised
        raise ListenerSpecError(f"cannot import {module!r}: {type(exc).__name__}: {exc}") from None
    obj: Any = mod
    for part in function.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise ListenerSpecError(f"module {module!r} has no {function!r}") from None
    if not callable(obj):
        raise ListenerSpecError(f"{module}:{function} is not callable "
                                f"({type(obj).__name__})")
    return obj


def resolve(specs: list[str], user: bool, EVENT: Any) -> list[tuple[Any, Callable[[Any], Any], bool]]:
    """(EVENT member, function, user tier) registrations for the arguments, in order;
    `*` expands to every member."""
    out = []
    for spec in specs:
        event, module, function = parse_spec(spec)
        if event == ALL_EVENTS:
            members = list(EVENT)
        else:
            try:
                members = [EVENT[event]]
            except KeyError:
                names = ", ".join(m.name for m in EVENT)
                raise ListenerSpecError(f"{spec!r}: {event!r} is not an event type "
                                        f"(one of: {names}, or '*')") from None
        fn = load_function(module, function)
        out += [(m, fn, user) for m in members]
    return out

"""Which Python functions ran during a call, for the tests of look-ups that must run none."""
from __future__ import annotations

import sys


def python_calls(fn, *args):
    """The result of fn(*args) and the names of the Python functions that ran meanwhile."""
    calls = []

    def profile(frame, event, arg):
        if event == "call":
            calls.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        result = fn(*args)
    finally:
        sys.setprofile(None)
    return result, [c for c in calls if c != "python_calls"]

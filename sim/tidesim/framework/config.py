"""The framework configuration handed to the strategy: an object whose `base` carries the
settings the bridge reads."""
from __future__ import annotations

from types import SimpleNamespace

import numpy


class _Absent:
    def __repr__(self) -> str:
        return "ABSENT"


ABSENT = _Absent()
"""Passed for a setting, leaves the attribute out of `base` altogether."""


def trading_days(*days) -> list:
    """Days (texts "YYYY-MM-DD", dates, ...) as a list of day-resolution numpy dates."""
    return [numpy.datetime64(day, "D") for day in days]


def make_config(accounts=None, md_type=ABSENT, order_way=ABSENT, algo_account=ABSENT,
                trading_calendar=None, **extra) -> SimpleNamespace:
    """A configuration with `base` carrying the given settings. `accounts` None gives an empty
    mapping and `trading_calendar` None an empty list; ABSENT leaves a setting out; any other
    value, None included for the optional ones, is stored as given. `base` is a plain attribute
    object, so a test can also set or delete attributes on it afterwards."""
    settings = dict(accounts={} if accounts is None else accounts, md_type=md_type,
                    order_way=order_way, algo_account=algo_account,
                    trading_calendar=[] if trading_calendar is None else trading_calendar,
                    **extra)
    base = SimpleNamespace(**{k: v for k, v in settings.items() if v is not ABSENT})
    return SimpleNamespace(base=base)

"""Converters from the SDK's numeric times to date-times.

The SDK writes times as YYYYMMDDHHMMSSmmm; the bridge divides them by 1000, so what arrives
here is seconds in the form YYYYMMDDHHMMSS with the milliseconds as the fraction. Note that a
binary float this large resolves only about 1/256 s: the quotient of a 17-digit time already
carries an error of up to 2 ms, which no converter can undo. An exact number (int, Fraction,
Decimal) converts exactly.
"""
from __future__ import annotations

import datetime
import math
import operator


def _from_seconds_text(whole: int, original) -> datetime.datetime:
    """datetime of the integer YYYYMMDDHHMMSS."""
    try:
        if whole < 0:
            raise ValueError
        ymd, hms = divmod(whole, 1000000)
        year, md = divmod(ymd, 10000)
        hour, ms = divmod(hms, 10000)
        return datetime.datetime(year, md // 100, md % 100, hour, ms // 100, ms % 100)
    except ValueError:
        raise ValueError(f"{original!r} is not a time of the form YYYYMMDDHHMMSS") from None


class _RecentTimes(dict):
    """Recent float times and their date-times: the same SDK time arrives many times in a row
    (one snapshot per security at each interval). Looking up a time that is not held converts
    it (`__missing__`, which remembers the floats of the usual range), so a remembered time is
    answered by the dictionary's own look-up with no Python frame: the bridge converts a time
    on every market-data callback. Emptied when full, so it stays small.

    A number equal to a remembered float (the int of a whole second, a Decimal or Fraction of
    the same value) gets that float's date-time, which is the date-time it converts to."""

    __slots__ = ()

    def __missing__(self, value):
        """The conversion of a value not remembered; a float of the usual range is remembered."""
        if type(value) is float and 0.0 <= value < 1e14:
            # the common case, a float of the bridge: the same arithmetic without the detours
            whole = int(value)  # == math.floor for a non-negative number
            millis = round((value - whole) * 1000)
            if millis < 1000:
                second = _SECONDS.get(whole)
                if second is None and whole % 100 < 60:
                    ymd, hms = divmod(whole, 1000000)
                    year, md = divmod(ymd, 10000)
                    hour, ms = divmod(hms, 10000)
                    try:
                        second = datetime.datetime(year, md // 100, md % 100, hour, ms // 100,
                                                   ms % 100)
                    except ValueError:
                        pass  # reported below, as for every other value
                    else:
                        if len(_SECONDS) >= _RECENT_MAX:
                            _SECONDS.clear()
                        _SECONDS[whole] = second
                if second is not None:
                    hit = second + _MILLIS[millis] if millis else second
                    if len(self) >= _RECENT_MAX:
                        self.clear()
                    self[value] = hit
                    return hit
        try:
            whole = operator.index(value)
            millis = 0
        except TypeError:
            if isinstance(value, float) and not math.isfinite(value):
                raise ValueError(f"{value!r} is not a time of the form YYYYMMDDHHMMSS") from None
            whole = math.floor(value)
            millis = round((value - whole) * 1000)  # the subtraction is exact for a float
            if whole % 100 == 60:
                # A time just before a full minute (…59.999) can round up to the float …60.0:
                # read it as the last second of that minute plus the carried second.
                whole -= 1
                millis += 1000
        return _from_seconds_text(whole, value) + datetime.timedelta(milliseconds=millis)


_RECENT = _RecentTimes()
_RECENT_MAX = 4096
# Recent whole seconds YYYYMMDDHHMMSS that make a valid date-time, and that second's date-time:
# the times of the level-2 feed are mostly new to the millisecond but share their second with
# others, so a new time is its second's date-time plus its milliseconds.
_SECONDS: dict[int, datetime.datetime] = {}
# the milliseconds of a second as time deltas, made once: adding one to a date-time is a
# single operation of the datetime type
_MILLIS = tuple(datetime.timedelta(milliseconds=i) for i in range(1000))

# The date-time of `value`, seconds in the form YYYYMMDDHHMMSS with an optional fraction,
# rounded to the millisecond: 20261208093003.125 gives 2026-12-08 09:30:03.125. A value that is
# no such time raises ValueError; one that is no number (or cannot be hashed) TypeError.
convert_int_to_datetime = _RECENT.__getitem__


def convert_int_to_whole_date(value) -> datetime.datetime:
    """Midnight of the date of `value`, an integer YYYYMMDDHHMMSS (a float is refused)."""
    whole = operator.index(value)
    day = _from_seconds_text(whole, value)
    return datetime.datetime(day.year, day.month, day.day)

"""The query functions against plain-Python functions of the same behaviour, on caches shaped
like a trading day's: 60 ticks per code, 240 one-minute bars per code."""
from __future__ import annotations

import sys
from collections import deque
import timeit

import common
from common import Row, ns_per_op

import tidesim

tidesim.install()
import orvane.tamsel.utils.tidewell as tw  # noqa: E402

CODE = "000001.XSHE"

# The same dictionaries the bridge reads, so both sides see identical data.
history_bar = tw.history_bar
history_tick = tw.history_tick


def py_get_current_tick(market_code):
    if market_code in history_tick:
        return history_tick[market_code][-1]
    return None


def py_history_bars(market_code, count):
    if market_code in history_bar:
        return list(history_bar[market_code])[count * -1:]
    return None


def ns_per_call(stmt: str, namespace: dict, repeat: int = 5) -> float:
    """Best-of-`repeat` time of `stmt`, a direct call written in Python as the framework would
    write it, in nanoseconds. A lambda around such a short call would cost more than the call
    itself and hide the difference between the two sides."""
    timer = timeit.Timer(stmt, globals=namespace)
    if common.counting():
        return common.probe(timer.timeit)
    number, _ = timer.autorange()
    number = max(1, number // 2)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def collect() -> list[Row]:
    for i in range(50):  # other codes in the caches, as on a real day
        history_tick[f"{i:06d}.XSHE"] = deque([{"n": 0}], maxlen=60)
        history_bar[f"{i:06d}.XSHE"] = deque([{"n": 0}])
    history_tick[CODE] = deque(({"last": i} for i in range(60)), maxlen=60)
    history_bar[CODE] = deque({"close": i} for i in range(240))
    try:
        assert tw.get_current_tick(CODE) is py_get_current_tick(CODE)
        assert tw.history_bars(CODE, 10) == py_history_bars(CODE, 10)
        ns = {"get_current_tick": tw.get_current_tick, "history_bars": tw.history_bars,
              "py_get_current_tick": py_get_current_tick, "py_history_bars": py_history_bars,
              "code": CODE, "unknown": "999999.XSHE"}
        rows = [
            Row("queries", "get_current_tick(code)", ns_per_call("get_current_tick(code)", ns),
                "plain Python", ns_per_call("py_get_current_tick(code)", ns)),
            Row("queries", "history_bars(code, 10) on 240 bars",
                ns_per_call("history_bars(code, 10)", ns),
                "plain Python list(q)[count*-1:]", ns_per_call("py_history_bars(code, 10)", ns)),
            Row("queries", "get_current_tick(unknown code)",
                ns_per_call("get_current_tick(unknown)", ns),
                "plain Python", ns_per_call("py_get_current_tick(unknown)", ns)),
        ]
    finally:
        history_tick.clear()
        history_bar.clear()
    return rows


if __name__ == "__main__":
    sys.path.insert(0, ".")
    for row in collect():
        print(row)

"""The query functions against plain-Python functions of the same behaviour, on caches shaped
like a trading day's: 60 ticks per code, 240 one-minute bars per code."""
from __future__ import annotations

import sys
from collections import deque

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


def collect() -> list[Row]:
    for i in range(50):  # other codes in the caches, as on a real day
        history_tick[f"{i:06d}.XSHE"] = deque([{"n": 0}], maxlen=60)
        history_bar[f"{i:06d}.XSHE"] = deque([{"n": 0}])
    history_tick[CODE] = deque(({"last": i} for i in range(60)), maxlen=60)
    history_bar[CODE] = deque({"close": i} for i in range(240))
    try:
        assert tw.get_current_tick(CODE) is py_get_current_tick(CODE)
        assert tw.history_bars(CODE, 10) == py_history_bars(CODE, 10)
        get_tick, hist = tw.get_current_tick, tw.history_bars
        rows = [
            Row("queries", "get_current_tick(code)", ns_per_op(lambda: get_tick(CODE)),
                "plain Python", ns_per_op(lambda: py_get_current_tick(CODE))),
            Row("queries", "history_bars(code, 10) on 240 bars", ns_per_op(lambda: hist(CODE, 10)),
                "plain Python list(q)[count*-1:]", ns_per_op(lambda: py_history_bars(CODE, 10))),
            Row("queries", "get_current_tick(unknown code)",
                ns_per_op(lambda: get_tick("999999.XSHE")),
                "plain Python", ns_per_op(lambda: py_get_current_tick("999999.XSHE"))),
        ]
    finally:
        history_tick.clear()
        history_bar.clear()
    return rows


if __name__ == "__main__":
    sys.path.insert(0, ".")
    for row in collect():
        print(row)

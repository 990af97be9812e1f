"""What the callback tests share: a strategy built without start-up, and the queue's events."""
from __future__ import annotations

from orvane.tamsel.utils import tidewell
from tidesim.pyvorn.context import SimContext


def bare_strategy():
    """A VornStrategy with only the state its constructor sets up for the callbacks; building it
    directly keeps callback tests independent of start-up configuration."""
    s = tidewell.VornStrategy.__new__(tidewell.VornStrategy)
    s.context = SimContext()
    s.logged_in = False
    s.current_trade_dt = 0
    s.bar_cnt = 0
    return s


def take_events():
    """Every queued event, oldest first; the queue is left empty."""
    q = tidewell.event_queue
    return q.popleft_many(len(q))


def fields(event):
    """An event's fields without its type, in their order."""
    return {k: v for k, v in vars(event).items() if k != "event_type"}

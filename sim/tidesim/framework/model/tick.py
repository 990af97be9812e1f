"""Tick record."""
from .._records import FieldRecord


class TickObject(FieldRecord):
    """A tick: the security's instrument and the tick dictionary, kept as given (not copied)."""
    _fields = ("instrument", "tick_dict")

    def __init__(self, instrument, tick_dict, /) -> None:
        self.instrument = instrument
        self.tick_dict = tick_dict

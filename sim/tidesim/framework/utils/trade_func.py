"""Converters from the SDK's codes to the framework's values. A code these tables do not know
raises ValueError; a character argument that is not a one-character str raises TypeError."""
from __future__ import annotations

from ...pyvorn.enums import MarketType, TDType
from ..const import SIDE

_EXCHANGE = {MarketType.SZSE: "XSHE", MarketType.SSE: "XSHG"}

# Level-2 order characters by market: the two exchanges code orders differently.
_L2_SIDE = {
    MarketType.SZSE: {"1": SIDE.BUY, "2": SIDE.SELL},
    MarketType.SSE: {"B": SIDE.BUY, "S": SIDE.SELL},
}
_L2_PRICE_TYPE = {
    MarketType.SZSE: {"1": "market", "2": "limit", "U": "best_own"},
    MarketType.SSE: {"A": "limit", "D": "limit"},
}
_L2_ORDER_KIND = {
    MarketType.SZSE: {"1": "new", "2": "new", "U": "new"},
    MarketType.SSE: {"A": "new", "D": "cancel"},
}
_TRADE_TYPE = {"F": "trade", "4": "cancel"}


def _unknown(what: str, value) -> ValueError:
    return ValueError(f"unknown {what}: {value!r}")


def _char(value) -> str:
    if not isinstance(value, str) or len(value) != 1:
        raise TypeError(f"expected a one-character str, not {value!r}")
    return value


# The same tables by the identity of the market type: an enumeration member hashes in Python,
# an identity look-up does not (members are equal only to themselves).
_BY_ID: dict[int, dict] = {}


def _by_market(tables: dict, char, market_type, what: str):
    if type(char) is not str or len(char) != 1:
        char = _char(char)
    by_id = _BY_ID.get(id(tables))
    if by_id is None:
        by_id = _BY_ID[id(tables)] = {id(k): v for k, v in tables.items()}
    table = by_id.get(id(market_type))
    if table is not None:
        try:
            return table[char]
        except KeyError:
            raise _unknown(f"{what} for {market_type.name}", char) from None
    try:
        table = tables[market_type]
    except (KeyError, TypeError):
        raise _unknown("market type", market_type) from None
    try:
        return table[char]
    except KeyError:
        raise _unknown(f"{what} for {market_type.name}", char) from None


# The two markets' members, read once: reading a member off its enumeration class is an
# attribute look-up of the enumeration's metaclass, dearer than the rest of the conversion.
_SZSE = MarketType.SZSE
_SSE = MarketType.SSE


def get_exchane_from_vorn_mdtype(market_type) -> str:
    """The exchange suffix of a market code: "XSHE" for SZSE, "XSHG" for SSE."""
    if market_type is _SZSE:
        return "XSHE"
    if market_type is _SSE:
        return "XSHG"
    try:
        return _EXCHANGE[market_type]
    except (KeyError, TypeError):
        raise _unknown("market type", market_type) from None


def get_vorn_tdtype(dest: str) -> TDType:
    """The trading-broker type named by an upper-case destination ("SIM", "XTP", "OES")."""
    if not isinstance(dest, str):
        raise TypeError(f"destination must be str, not {type(dest).__name__}")
    try:
        return TDType[dest]
    except KeyError:
        raise _unknown("trading destination", dest) from None


def _l2_converter(name: str, table: dict, what: str):
    """A level-2 converter over `table` ({market type: {char: value}}). The tables by the
    identity of the market type are built now: the usual call (a one-character str of a known
    market) is answered with two look-ups and no further call; everything else takes
    _by_market, which raises what it raises."""
    by_id = {id(k): v for k, v in table.items()}
    szse, sse = table.get(_SZSE), table.get(_SSE)

    def convert(char, market_type):
        if type(char) is str:
            # the two markets by identity first (cheaper than the table by id)
            if market_type is _SZSE:
                known = szse
            elif market_type is _SSE:
                known = sse
            else:
                known = by_id.get(id(market_type))
            if known is not None:
                hit = known.get(char)
                if hit is not None:
                    return hit
        return _by_market(table, char, market_type, what)

    convert.__name__ = convert.__qualname__ = name
    return convert


get_side_from_vorn_l2_order = _l2_converter("get_side_from_vorn_l2_order", _L2_SIDE, "order side")
get_order_type_from_vorn_l2_order = _l2_converter("get_order_type_from_vorn_l2_order",
                                                  _L2_PRICE_TYPE, "order type")
get_l2order_type_from_vorn = _l2_converter("get_l2order_type_from_vorn", _L2_ORDER_KIND,
                                           "order type")


class _TradeTypes(dict):
    """The trade types by their character; a character that is not one raises what the
    conversion raises (`__missing__`), so a known one is answered by the table's own look-up,
    with no Python frame: the bridge converts one on every level-2 transaction."""

    __slots__ = ()

    def __missing__(self, char):
        char = _char(char)
        raise _unknown("trade type", char)


# get_trade_type_from_vorn(char): "trade" for "F", "cancel" for "4"; ValueError for another
# one-character str, TypeError for anything else
get_trade_type_from_vorn = _TradeTypes(_TRADE_TYPE).__getitem__

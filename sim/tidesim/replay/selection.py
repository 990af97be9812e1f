"""Which market data a replay delivers: some securities, a time window, or both.

Only the market data callbacks are ever left out; logins, account answers, order reports,
algorithmic orders and the framework's acts are always delivered, so that the state the
strategy keeps stays consistent. `cut` writes such a subset as a new session.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import gzip
import json
import os
from typing import IO, Any

from tiderec.binary import MAGIC, is_binary_name
from tiderec.convert import BinaryLineWriter, JsonLines

from .format import SDK_CALLBACKS, SessionFormatError

MARKET_DATA = {"on_snapshot": "snapshot", "on_tick_order": "tick_order",
               "on_tick_trade": "tick_trade", "on_bar": "bar"}


def parse_codes(text: str) -> frozenset[str]:
    """The codes of "CODE[,CODE...]" (e.g. 000001.XSHE,600000.XSHG)."""
    codes = [c.strip() for c in text.split(",")]
    if not codes or any(not c for c in codes):
        raise ValueError(f"--securities {text!r}: expected CODE[,CODE...], e.g. 000001.XSHE")
    return frozenset(codes)


def parse_hhmm(text: str) -> _dt.time:
    try:
        return _dt.time.fromisoformat(text)
    except ValueError:
        raise ValueError(f"{text!r} is not a time of day (HH:MM)") from None


@dataclasses.dataclass
class Selection:
    """Market data of `codes` (None: every security) whose entry time t satisfies
    start <= t.time() < end (None: unbounded)."""

    codes: frozenset[str] | None = None
    start: _dt.time | None = None
    end: _dt.time | None = None

    def __post_init__(self) -> None:
        if self.start is not None and self.end is not None and self.end <= self.start:
            raise ValueError(f"--to {self.end:%H:%M} is not after --from {self.start:%H:%M}")
        self._code_of: dict[tuple[Any, Any], str] = {}
        from ..framework.utils.trade_func import get_exchane_from_vorn_mdtype
        self._suffix = get_exchane_from_vorn_mdtype

    @property
    def active(self) -> bool:
        return self.codes is not None or self.start is not None or self.end is not None

    def check_universe(self, universe: list[str], path: str) -> None:
        """Refuses codes the session's universe does not hold (when it lists any)."""
        if self.codes is not None and universe:
            unknown = sorted(self.codes - set(universe))
            if unknown:
                raise SessionFormatError(path, 1, f"--securities {','.join(unknown)}: not in the "
                                                  f"session's universe ({', '.join(universe)})")

    def code(self, security_id: Any, market: Any) -> str:
        key = (security_id, market)
        code = self._code_of.get(key)
        if code is None:
            if isinstance(market, str):  # "MarketType.SZSE" in a file's encoding
                import pyvorn.enums as enums
                group, _, member = market.partition(".")
                market = getattr(getattr(enums, group, None), member, market)
            try:
                code = f"{security_id}.{self._suffix(market)}"
            except (ValueError, TypeError, KeyError):
                code = f"{security_id}.?"
            self._code_of[key] = code
        return code

    def keeps(self, name: str, time: _dt.datetime, record: Any) -> bool:
        """Whether a callback entry is delivered (`record` its first argument: a record, or
        the plain object of a file line)."""
        if name not in MARKET_DATA:
            return True
        if self.start is not None or self.end is not None:
            tod = time.time()
            if (self.start is not None and tod < self.start) or (self.end is not None and tod >= self.end):
                return False
        if self.codes is None:
            return True
        if type(record) is dict:
            sid, market = record.get("security_id"), record.get("market_type")
            if type(market) is dict:
                market = market.get("$enum")
        else:
            sid, market = getattr(record, "security_id", None), getattr(record, "market_type", None)
        return self.code(sid, market) in self.codes


def _first_record(obj: dict, name: str) -> Any:
    args = obj.get("args") or []
    if args:
        return args[0]
    return (obj.get("kw") or {}).get(MARKET_DATA.get(name, ""))


def _open_in(path: str) -> IO[bytes]:
    raw = open(path, "rb")
    head = raw.peek(len(MAGIC))[:len(MAGIC)]
    if head == MAGIC:  # the binary encoding: its lines in their JSON form
        raw.close()
        return JsonLines(path)  # type: ignore[return-value]
    if head[:2] == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=raw)  # type: ignore[return-value]
    return raw


@dataclasses.dataclass
class CutResult:
    read: int = 0
    written: int = 0
    left_out: int = 0


def cut(src: str, dst: str, selection: Selection) -> CutResult:
    """Writes the header and the selected entries of `src` to `dst` (gzip when the name ends in
    ".gz", the binary encoding when it ends in ".tsb"), each entry line as it was. The header keeps its instruments (orders and
    positions may concern any security), narrows its universe to the selected securities (the
    bars complete over the universe, as in a replay with the selection) and notes the cut in
    its "source". Written to a temporary name first, so a failure leaves nothing
    that looks like a session behind."""
    res = CutResult()
    tmp = f"{dst}.part"
    try:
        with _open_in(src) as f:
            first = f.readline()
            try:
                header = json.loads(first)
            except ValueError as exc:
                raise SessionFormatError(src, 1, f"malformed header: {exc}") from None
            if type(header) is not dict or header.get("format") != "tidesim-session":
                raise SessionFormatError(src, 1, "the first line must be the session header")
            if selection.codes is not None:
                selection.check_universe(header.get("universe") or [], src)
                if header.get("universe"):  # as a replay with the selection narrows it
                    header["universe"] = [c for c in header["universe"] if c in selection.codes]
            source = header.get("source") if isinstance(header.get("source"), dict) else {}
            header["source"] = {**source, "cut_from": os.path.basename(src), "cut": {
                "securities": sorted(selection.codes) if selection.codes is not None else None,
                "from": selection.start.isoformat("minutes") if selection.start else None,
                "to": selection.end.isoformat("minutes") if selection.end else None}}
            out: IO[bytes]
            if is_binary_name(dst):
                out = BinaryLineWriter(tmp)  # type: ignore[assignment]
            elif dst.endswith(".gz"):
                out = gzip.GzipFile(tmp, "wb", mtime=0)  # type: ignore[assignment]
            else:
                out = open(tmp, "wb")
            with out:
                out.write(json.dumps(header, separators=(",", ":"), ensure_ascii=False).encode() + b"\n")
                for n, raw in enumerate(f, 2):
                    if not raw.strip():
                        continue
                    res.read += 1
                    try:
                        obj = json.loads(raw)
                        name = obj.get("cb")
                        if name in MARKET_DATA:
                            t = _dt.datetime.fromisoformat(obj["t"])
                            if not selection.keeps(name, t, _first_record(obj, name)):
                                res.left_out += 1
                                continue
                        elif name is not None and name not in SDK_CALLBACKS:
                            raise ValueError(f"unknown callback name {name!r}")
                    except (ValueError, TypeError, KeyError, AttributeError) as exc:
                        raise SessionFormatError(src, n, f"{type(exc).__name__}: {exc}") from None
                    out.write(raw if raw.endswith(b"\n") else raw + b"\n")
                    res.written += 1
        os.replace(tmp, dst)
    except (OSError, EOFError) as exc:
        raise SessionFormatError(src, 0, f"cannot cut: {exc}") from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return res

"""The replayed ticks as arrays, and the scans over them.

Everything the event loop needs to know about the future of the tape is
computed here in bulk (numpy and the columnar quote store), so that Python
runs only at events:

- per code, the global indices of its ticks and of its eligible ticks (the
  ticks that may fill an order: not trial-match ticks) with their prices,
  quantities and times;
- per bar subscription, the quote store's K-bars of the whole run and, for
  each bar, the index of the tick whose arrival closes it;
- `first_where`: the first eligible tick from a position on that satisfies
  a price condition (a limit or a stop), scanned in growing vectorised
  chunks;
- per code, the contract months its ticks belong to when the ticks carry a
  `contract` column (the daily-file reader's): a change of contract between
  two consecutive ticks of a code is a roll.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime

import numpy as np
import polars as pl

__all__ = ["BarSeries", "CodeTape", "Tape", "TickFormatError", "TICK_SCHEMA", "first_where"]

TICK_SCHEMA = {
    "timestamp": pl.Float64,
    "code": pl.String,
    "market_type": pl.String,
    "close": pl.Float64,
    "qty": pl.Int64,
    "tick_type": pl.Int8,
    "is_simulate": pl.Boolean,
}
UNITS = ("m", "h", "d", "w", "mo", "q", "y")
ADJUSTS = ("none", "difference", "ratio")


class TickFormatError(ValueError):
    """Ticks the engine cannot replay; the message names the column."""


@dataclass
class BarSeries:
    """The completed-bar history of one subscription (code, unit, freq)."""

    code: str
    unit: str
    freq: int
    frame: pl.DataFrame  # the quote store's K-bar table of the whole run
    close_at: np.ndarray  # per bar: global index of the tick whose arrival closes it (len(tape) = end of data)
    opens: list = field(default_factory=list)
    highs: list = field(default_factory=list)
    lows: list = field(default_factory=list)
    closes: list = field(default_factory=list)
    volumes: list = field(default_factory=list)
    dts: list = field(default_factory=list)
    closed: int = 0  # bars completed so far in the replay
    # Back-adjusted series ("difference", "ratio"): the frame holds the history
    # adjusted to the code's last contract; `levels` holds, per contract
    # segment, the offset (or factor) that brings it back to that contract's
    # own prices, and `level` the one in force now.
    adjust: str = "none"
    levels: list = field(default_factory=list)
    level: float = 0.0

    def __post_init__(self) -> None:
        f = self.frame
        self.opens = f["Open"].to_list()
        self.highs = f["High"].to_list()
        self.lows = f["Low"].to_list()
        self.closes = f["Close"].to_list()
        self.volumes = f["Volume"].to_list()
        self.dts = f["dt"].to_list()

    def completed(self, n: int | None = None) -> pl.DataFrame:
        """The last `n` completed bars (all when None), a slice of the frame (no copy), in the
        prices of the contract in force."""
        end = self.closed
        start = 0 if n is None else max(0, end - n)
        part = self.frame.slice(start, end - start)
        if self.adjust == "none" or self.level == (0.0 if self.adjust == "difference" else 1.0):
            return part
        return part.with_columns(self._restate(pl.col(c)) for c in ("Open", "High", "Low", "Close"))

    def value(self, v: float) -> float:
        """One price of the frame in the prices of the contract in force."""
        if self.adjust == "difference":
            return round(v - self.level, 8)
        return round(v / self.level, 8) if self.adjust == "ratio" else v

    def _restate(self, col: pl.Expr) -> pl.Expr:
        moved = col - self.level if self.adjust == "difference" else col / self.level
        return moved.round(8)

    def bar_args(self, b: int) -> tuple:
        """Open, high, low, close of bar b as the strategy sees them now."""
        if self.adjust == "none":
            return self.opens[b], self.highs[b], self.lows[b], self.closes[b]
        v = self.value
        return v(self.opens[b]), v(self.highs[b]), v(self.lows[b]), v(self.closes[b])

    def enter_segment(self, k: int) -> None:
        if self.levels:
            self.level = self.levels[k]


@dataclass
class CodeTape:
    code: str
    market_type: str
    index: np.ndarray  # global indices of the code's ticks
    e_index: np.ndarray  # global indices of its eligible ticks
    e_price: np.ndarray
    e_qty: np.ndarray
    e_ts: np.ndarray
    bars: dict = field(default_factory=dict)  # (unit, freq) or (unit, freq, adjust) -> BarSeries
    # contract segments: the contract of each, and the global index of its first tick
    contracts: list = field(default_factory=list)
    seg_start: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))

    @property
    def rolls(self) -> int:
        return max(0, len(self.contracts) - 1)

    def contract_at(self, i: int) -> str | None:
        """The contract of the code's segment holding global index i (None without contracts)."""
        if not self.contracts:
            return None
        return self.contracts[max(0, int(np.searchsorted(self.seg_start, i, "right")) - 1)]

    def last_tick_before(self, i: int) -> int:
        """Global index of the code's last tick before global index i (-1 when none)."""
        pos = int(np.searchsorted(self.index, i, "left")) - 1
        return int(self.index[pos]) if pos >= 0 else -1

    def gaps(self, close: np.ndarray) -> list[tuple[float, float]]:
        """Per roll: the old contract's last tick price and the new contract's first."""
        return [(float(close[self.last_tick_before(int(i))]), float(close[int(i)])) for i in self.seg_start[1:]]

    def next_eligible(self, start: int) -> int:
        """Position (into the e_ arrays) of the first eligible tick at global index ≥ start."""
        return int(np.searchsorted(self.e_index, start, "left"))

    def last_price(self, upto: int) -> float | None:
        """Price of the code's last eligible tick at global index ≤ upto."""
        pos = int(np.searchsorted(self.e_index, upto, "right")) - 1
        return float(self.e_price[pos]) if pos >= 0 else None


def first_where(values: np.ndarray, lo: int, hi: int, op: str, level: float,
                mask: np.ndarray | None = None) -> int:
    """First position p in [lo, hi) with `values[p] op level` (op "<=" or ">=")
    and `mask[p]` where a mask is given; `hi` when there is none."""
    chunk = 64
    p = lo
    while p < hi:
        q = min(hi, p + chunk)
        window = values[p:q]
        hit = window <= level if op == "<=" else window >= level
        if mask is not None:
            hit &= mask[p:q]
        if hit.any():
            return p + int(hit.argmax())
        p = q
        chunk = min(chunk * 4, 1 << 20)
    return hi


def normalise_ticks(ticks: pl.DataFrame) -> pl.DataFrame:
    """The ticks in the store's column types, sorted by time (stable)."""
    missing = [c for c in TICK_SCHEMA if c not in ticks.columns]
    if missing:
        raise TickFormatError(f"the ticks have no column {', '.join(repr(c) for c in missing)} "
                              f"(expected {', '.join(TICK_SCHEMA)})")
    schema = dict(TICK_SCHEMA)
    if "contract" in ticks.columns:  # optional: the contract month of each tick
        schema["contract"] = pl.String
    try:
        frame = ticks.select(pl.col(name).cast(dtype, strict=True) for name, dtype in schema.items())
    except Exception as exc:  # polars raises its own error types for failed casts
        raise TickFormatError(f"the ticks do not fit the tick columns ({str(exc).splitlines()[0]})") from None
    for name in TICK_SCHEMA:
        if frame[name].null_count():
            row = int(frame[name].is_null().arg_max())
            raise TickFormatError(f"row {row + 1}, column '{name}': missing value")
    if frame.height and not frame["timestamp"].is_sorted():
        frame = frame.sort("timestamp", maintain_order=True)
    return frame


class Tape:
    """The run's ticks, sorted by time, as arrays per code."""

    def __init__(self, ticks: pl.DataFrame) -> None:
        frame = normalise_ticks(ticks)
        if frame.height == 0:
            raise TickFormatError("there are no ticks to replay")
        contracts = None
        if "contract" in frame.columns:
            contracts = frame["contract"]
            frame = frame.drop("contract")
        self.frame = frame
        self.n = frame.height
        self.ts = frame["timestamp"].to_numpy()
        self.close = frame["close"].to_numpy()
        self.qty = frame["qty"].to_numpy()
        self.is_simulate = frame["is_simulate"].to_numpy()
        self.tick_type = frame["tick_type"].to_numpy()
        codes = frame["code"]
        self.code_names: list[str] = codes.unique(maintain_order=True).to_list()
        if len(self.code_names) == 1:
            self.code_id = np.zeros(self.n, dtype=np.int32)
            markets = [(self.code_names[0], frame["market_type"].unique().to_list())]
        else:
            ids = codes.replace_strict(self.code_names, list(range(len(self.code_names))), return_dtype=pl.Int32)
            self.code_id = ids.to_numpy()
            markets = frame.group_by("code", maintain_order=True).agg(pl.col("market_type").unique()).rows()
        self.codes: dict[str, CodeTape] = {}
        if len(self.code_names) > 1:
            order = np.argsort(self.code_id, kind="stable")
            bounds = np.searchsorted(self.code_id[order], np.arange(len(self.code_names) + 1))
        for code, kinds in markets:
            if len(kinds) != 1:
                raise TickFormatError(f"code {code} has ticks of several market types ({', '.join(sorted(kinds))})")
            if kinds[0] not in ("Stock", "Future"):
                raise TickFormatError(f"code {code}: market_type {kinds[0]!r} is neither 'Stock' nor 'Future'")
            cid = self.code_names.index(code)
            if len(self.code_names) == 1:
                index = np.arange(self.n, dtype=np.int64)
            else:
                index = order[bounds[cid]:bounds[cid + 1]].astype(np.int64)
            simulate = self.is_simulate[index]
            if not simulate.any():
                # every tick may fill: the code's arrays are the tape's own (views when it is the only code)
                whole = len(index) == self.n
                self.codes[code] = CodeTape(code, kinds[0], index, index,
                                            self.close if whole else self.close[index],
                                            self.qty if whole else self.qty[index],
                                            self.ts if whole else self.ts[index])
                continue
            elig = index[~simulate]
            self.codes[code] = CodeTape(code, kinds[0], index, elig, self.close[elig], self.qty[elig], self.ts[elig])
        if contracts is not None:
            for tape in self.codes.values():
                self._segments(tape, contracts)

    @staticmethod
    def _segments(tape: CodeTape, contracts: pl.Series) -> None:
        """The code's contract segments: a new one wherever its contract changes (ticks without a
        contract stay in the one before)."""
        of_code = contracts.gather(tape.index).forward_fill()
        if of_code.null_count() == len(of_code):
            return
        of_code = of_code.backward_fill()
        changed = (of_code != of_code.shift(1)).fill_null(True)
        starts = changed.arg_true().to_numpy()
        tape.contracts = of_code.gather(starts).to_list()
        tape.seg_start = tape.index[starts].astype(np.int64)

    def __len__(self) -> int:
        return self.n

    def tick_dict(self, i: int) -> dict:
        """Tick i as the tick dict of the quote store and the account."""
        return {
            "timestamp": float(self.ts[i]), "code": self.code_names[self.code_id[i]],
            "market_type": self.codes[self.code_names[self.code_id[i]]].market_type,
            "close": float(self.close[i]), "qty": int(self.qty[i]), "tick_type": int(self.tick_type[i]),
            "is_simulate": bool(self.is_simulate[i]),
        }

    def index_at(self, ts: float) -> int:
        """Global index of the first tick at or after the instant `ts` (len(self) when none)."""
        return int(np.searchsorted(self.ts, ts, "left"))

    def build_bars(self, wanted: dict[str, list[tuple[str, int]]], store_factory) -> None:
        """The K-bars of every subscription, with the index that closes each bar.

        The bars are the quote store's own (virtual ticks for empty trading
        minutes, re-stamped ticks, its bucketing), built once over the code's
        whole run in a private store that is dropped afterwards.  A bar closes
        at the arrival of the first tick of the code whose stored time lies in
        a later bar; bars still open at the end close at the end of data."""
        for code, keys in wanted.items():
            tape = self.codes[code]
            ticks = self.frame if len(tape.index) == self.n else self.frame[tape.index]
            stamps = None
            for adjust in ADJUSTS:
                group = [k for k in keys if (k[2] if len(k) > 2 else "none") == adjust]
                if not group:
                    continue
                levels = []
                fed = ticks
                if adjust != "none" and tape.rolls:
                    fed, levels = self._adjusted(tape, ticks, adjust)
                store = store_factory()
                store.add_ticks(fed)
                series = {key: store.get_kbar(code, key[0], key[1]) for key in group}
                if stamps is None:
                    # The stored times of the real ticks, as the store sorts them: ticks of
                    # one bar may swap places (a re-stamp), which leaves their bar unchanged.
                    stamps = (store.poped_old_ticks_to_df(code).lazy().filter(~pl.col("is_virtual"))
                              .select(pl.col("dt").dt.epoch("us")).collect()["dt"].to_numpy())
                del store
                for key, bars in series.items():
                    starts = bars["dt"].dt.epoch("us").to_numpy()
                    bar_of_tick = np.searchsorted(starts, stamps, "right") - 1
                    first_later = np.searchsorted(bar_of_tick, np.arange(len(starts)), "right")
                    close_at = np.where(first_later < len(tape.index),
                                        tape.index[np.minimum(first_later, len(tape.index) - 1)], self.n)
                    s = BarSeries(code, key[0], key[1], bars, close_at.astype(np.int64), adjust=adjust,
                                  levels=list(levels))
                    s.enter_segment(0)
                    tape.bars[key] = s

    def _adjusted(self, tape: CodeTape, ticks: pl.DataFrame, adjust: str) -> tuple[pl.DataFrame, list]:
        """The code's ticks back-adjusted to its last contract, and per segment the level that
        restates them in that segment's own prices.  A roll's gap is the new contract's first
        price against the old one's last."""
        gaps = tape.gaps(self.close)
        nseg = len(tape.contracts)
        levels = [0.0 if adjust == "difference" else 1.0] * nseg
        for k in range(nseg - 2, -1, -1):
            old, new = gaps[k]
            if adjust == "difference":
                levels[k] = levels[k + 1] + (new - old)
            else:
                if old <= 0 or new <= 0:
                    raise TickFormatError(f"{tape.code}: a ratio adjustment needs prices above 0 at the roll to "
                                          f"{tape.contracts[k + 1]} ({old} -> {new})")
                levels[k] = levels[k + 1] * (new / old)
        seg = np.searchsorted(tape.seg_start, tape.index, "right") - 1
        level = np.asarray(levels)[seg]
        close = ticks["close"].to_numpy()
        moved = close + level if adjust == "difference" else close * level
        return ticks.with_columns(pl.Series("close", np.round(moved, 8))), levels


def local_datetime(ts: float) -> datetime:
    """Naive local time of an epoch second, as the quote store converts it."""
    return datetime.fromtimestamp(ts)

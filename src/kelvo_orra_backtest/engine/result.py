"""What a run gives back: frames of orders, fills, trades and equity, and stats."""
from __future__ import annotations

import hashlib
import io
import math
import os
from contextlib import redirect_stdout
from datetime import date, datetime, timedelta
from pathlib import Path

import numpy as np
import polars as pl

__all__ = ["Result", "STAT_KEYS"]

STAT_KEYS = ("net_profit", "gross_profit", "gross_loss", "fees", "tax", "trades", "win_rate", "profit_factor",
             "expectancy", "avg_win", "avg_loss", "max_drawdown", "max_drawdown_pct", "max_drawdown_days", "sharpe",
             "sortino", "exposure", "return_pct", "lowest_cash")
TRADING_DAYS = 252

_ORDER_SCHEMA = {"id": pl.Int64, "code": pl.String, "side": pl.String, "qty": pl.Int64, "type": pl.String,
                 "limit": pl.Float64, "stop": pl.Float64, "tif": pl.String, "placed": pl.Datetime("us"),
                 "status": pl.String, "reason": pl.String, "filled": pl.Int64, "tag": pl.String,
                 "contract": pl.String}
_FILL_SCHEMA = {"id": pl.Int64, "order_id": pl.Int64, "code": pl.String, "side": pl.String, "qty": pl.Int64,
                "time": pl.Datetime("us"), "tick_price": pl.Float64, "price": pl.Float64,
                "booked_price": pl.Float64, "fee": pl.Float64, "tax": pl.Float64, "tag": pl.String,
                "contract": pl.String}
_ROLL_SCHEMA = {"code": pl.String, "old": pl.String, "new": pl.String, "old_last": pl.Datetime("us"),
                "new_first": pl.Datetime("us"), "qty": pl.Int64, "close_price": pl.Float64,
                "open_price": pl.Float64, "close_order": pl.Int64, "open_order": pl.Int64}


def _epoch_to_local(values) -> list:
    return [datetime.fromtimestamp(v) for v in values]


class Result:
    """The outcome of `run`: polars frames, `stats`, `params`, `digest`; `report(dir)` writes the reports."""

    def __init__(self, engine, *, capital: float, costs: str, holidays: set, strategy_name: str) -> None:
        self._engine = engine
        self.strategy = strategy_name
        self.params = dict(engine.params)
        self.costs = costs
        self.initial_capital = capital
        self.account = engine.account
        o = engine.orders
        self.orders = pl.DataFrame({
            "id": [x.id for x in o], "code": [x.code for x in o], "side": [x.side for x in o],
            "qty": [x.qty for x in o], "type": [x.type for x in o], "limit": [x.limit for x in o],
            "stop": [x.stop for x in o], "tif": [x.tif for x in o], "placed": _epoch_to_local(x.placed for x in o),
            "status": [x.status for x in o], "reason": [x.reason for x in o], "filled": [x.filled for x in o],
            "tag": [x.tag for x in o], "contract": [x.contract for x in o]}, schema=_ORDER_SCHEMA)
        f = engine.fills
        self.fills = pl.DataFrame({
            "id": [x.id for x in f], "order_id": [x.order_id for x in f], "code": [x.code for x in f],
            "side": [x.side for x in f], "qty": [x.qty for x in f], "time": _epoch_to_local(x.timestamp for x in f),
            "tick_price": [x.tick_price for x in f], "price": [x.price for x in f],
            "booked_price": [x.booked_price for x in f], "fee": [float(x.fee) for x in f],
            "tax": [float(x.tax) for x in f], "tag": [x.tag for x in f],
            "contract": [x.contract for x in f]}, schema=_FILL_SCHEMA)
        self.rolls = _rolls_frame(engine)
        self.trades = _with_contracts(_trades_frame(engine.account._profit_report["rows"]), engine)
        self.equity = _equity_frame(engine, capital)
        self.daily = _daily_frame(self.equity, capital, holidays)
        self.positions = _positions_frame(engine)
        lowest, lowest_at = capital, None
        for ts, cash, *_ in engine.ledger:
            if cash < lowest:
                lowest, lowest_at = cash, ts
        self.lowest_cash_at = None if lowest_at is None else datetime.fromtimestamp(lowest_at)
        self.stats = _stats(self, lowest)
        self.digest = self._digest()

    # ------------------------------------------------------------------ output
    def to_pandas(self) -> dict:
        """The frames as pandas frames, by name."""
        names = ("orders", "fills", "trades", "equity", "daily", "positions", "rolls")
        return {n: getattr(self, n).to_pandas() for n in names}

    def _digest(self) -> str:
        h = hashlib.sha256()
        for frame in (self.orders, self.fills, self.equity):
            if "contract" in frame.columns and frame["contract"].null_count() == frame.height:
                frame = frame.drop("contract")  # ticks without contracts: the digest of before they were kept
            h.update(frame.write_csv().encode())
        return h.hexdigest()[:16]

    def summary(self) -> list[tuple[str, str]]:
        s = self.stats
        rows = [("strategy", f"{self.strategy} {self.params}"), ("costs", self.costs),
                ("orders / fills", f"{self.orders.height:,} / {self.fills.height:,}")]
        for key in STAT_KEYS:
            value = s[key]
            if isinstance(value, float):
                text = "-" if math.isnan(value) else f"{value:,.2f}"
            else:
                text = f"{value:,}" if isinstance(value, int) else str(value)
            rows.append((key, text))
        if self.rolls.height:
            named = [f"{r['code']} {r['old']}->{r['new']} {r['new_first']:%Y-%m-%d %H:%M}"
                     for r in self.rolls.iter_rows(named=True)]
            text = ", ".join(named) if len(named) <= 4 else f"{len(named)}: {named[0]} ... {named[-1]} (Result.rolls)"
            rows.append(("rolls", text))
        rows.append(("digest", self.digest))
        return rows

    def __repr__(self) -> str:
        rows = self.summary()
        width = max(len(k) for k, _ in rows)
        lines = [f"{k:<{width}}  {v}" for k, v in rows]
        if self.stats["lowest_cash"] < 0:
            lines.append(f"note: the cash went below zero, to {self.stats['lowest_cash']:,.2f} at {self.lowest_cash_at}")
        return "\n".join(lines)

    def report(self, directory: str | os.PathLike) -> list[Path]:
        """Writes the trade records, each traded code's standard report and tear sheet, and a tear sheet of
        the portfolio's daily returns under `directory`; returns the files written."""
        from kelvo_orra_backtest.constant import BASIC_INFO
        from kelvo_orra_backtest.modules.positions import positions as positions_module

        root = Path(directory).expanduser().resolve()
        root.mkdir(parents=True, exist_ok=True)
        before = {p: p.stat().st_mtime_ns for p in root.rglob("*") if p.is_file()}
        previous_dir = BASIC_INFO.data_dir
        BASIC_INFO.data_dir = str(root)
        quotes = self._engine.full_quotes()
        try:
            self.account.export_trade_records()
            for code in self.fills["code"].unique(maintain_order=True).to_list():
                self.account.generate_standard_report(code, quotes)
                with redirect_stdout(io.StringIO()):
                    self.account.generate_qs_profit_report(code, quotes)
            self._portfolio_sheet(root / "portfolio" / "portfolio-tear-sheet.html")
            if any(t.contracts for t in self._engine.tape.codes.values()):
                # futures across expiries: the rolls, and each closed trade with its contract month
                self.rolls.write_csv(root / "rolls.csv")
                self.trades.select(pl.col("contract"), pl.exclude("contract")).write_csv(root / "trades.csv")
        finally:
            BASIC_INFO.data_dir = previous_dir
        del positions_module
        return sorted(p for p in root.rglob("*") if p.is_file() and before.get(p) != p.stat().st_mtime_ns)

    def _portfolio_sheet(self, path: Path) -> None:
        import pandas as pd
        import quantstats_lumi as qs

        daily = self.daily
        if daily.height < 2:
            return
        if daily["return"].null_count():
            return  # a portfolio worth nothing or less has no returns to show
        returns = pd.Series(daily["return"].to_numpy(), index=pd.to_datetime(daily["day"].to_numpy()))
        path.parent.mkdir(parents=True, exist_ok=True)
        with redirect_stdout(io.StringIO()):
            qs.reports.html(returns=returns, output=str(path), download_filename=str(path),
                            title=f"{self.strategy}: portfolio", rf=0.0)


def _trades_frame(rows: list) -> pl.DataFrame:
    if not rows:
        return pl.DataFrame(schema={"code": pl.String, "entry_dt": pl.Datetime("us"), "exit_dt": pl.Datetime("us"),
                                    "qty": pl.Int64, "profit": pl.Float64})
    numeric = ("entry_price", "entry_origin_price", "exit_price", "exit_origin_price", "trade_cost", "cover_cost",
               "cover_cost_fee", "cover_cost_tax", "cover_cost_fixed", "trade_cost_fee", "trade_cost_tax",
               "trade_cost_fixed", "profit", "profit_ratio", "entry_amount", "exit_amount")
    data = {}
    for key in rows[0]:
        values = [r[key] for r in rows]
        if key in ("entry_dt", "exit_dt"):
            # the standard report rewrites these as text; the epoch seconds are kept for the rest
            values = [datetime.fromtimestamp(v) if isinstance(v, (int, float)) else
                      datetime.strptime(str(v), "%Y-%m-%d %H:%M:%S") for v in values]
            data[key] = pl.Series(key, values, dtype=pl.Datetime("us"))
        elif key in numeric:
            data[key] = pl.Series(key, [float(v) for v in values], dtype=pl.Float64)
        else:
            data[key] = pl.Series(key, values)
    return pl.DataFrame(data)


def _rolls_frame(engine) -> pl.DataFrame:
    rows = engine.rolls
    data = {k: [r.get(k) for r in rows] for k in _ROLL_SCHEMA}  # the reopening price comes from its fill
    for k in ("old_last", "new_first"):
        data[k] = _epoch_to_local(data[k])
    opened = {f.order_id: f.price for f in engine.fills if f.tag == "roll"}
    data["open_price"] = [opened.get(r["open_order"]) for r in rows]
    return pl.DataFrame(data, schema=_ROLL_SCHEMA)


def _with_contracts(trades: pl.DataFrame, engine) -> pl.DataFrame:
    """The contract of each trade: a roll closes every position, so entry and exit share it."""
    if not trades.height or not any(t.contracts for t in engine.tape.codes.values()):
        return trades.with_columns(pl.lit(None, dtype=pl.String).alias("contract"))
    out = []
    for code, entry in zip(trades["code"].to_list(), trades["entry_dt"].to_list()):
        tape = engine.tape.codes.get(code)
        if tape is None or not tape.contracts:
            out.append(None)
            continue
        at = int(np.searchsorted(engine.tape.ts, entry.timestamp(), "right")) - 1
        out.append(tape.contract_at(max(at, 0)))
    return trades.with_columns(pl.Series("contract", out, dtype=pl.String))


def _minute_epochs(dts: np.ndarray) -> np.ndarray:
    """Epoch seconds of naive local minute starts (datetime64[us])."""
    days = dts.astype("datetime64[D]")
    uniq, inverse = np.unique(days, return_inverse=True)
    offsets = np.array([datetime.combine(d.astype(date), datetime.min.time()).timestamp()
                        - (d.astype("datetime64[s]").astype(np.int64)) for d in uniq], dtype=np.float64)
    return dts.astype("datetime64[us]").astype(np.int64) / 1e6 + offsets[inverse]


def _equity_frame(engine, capital: float) -> pl.DataFrame:
    """Per minute of trading time (the minutes of the codes' one-minute bars): cash, realised,
    unrealised at the last price, total; the values at the end of the minute."""
    tape = engine.tape
    frames = []
    for code, ct in tape.codes.items():
        bars = ct.bars.get(("m", 1))
        if bars is not None:
            frames.append(bars.frame.select("dt", pl.col("Close").alias(code)))
    if not frames:
        return pl.DataFrame(schema={"dt": pl.Datetime("us"), "cash": pl.Float64, "realised": pl.Float64,
                                    "unrealised": pl.Float64, "total": pl.Float64})
    grid = pl.concat([f.select("dt") for f in frames]).unique().sort("dt")
    for f in frames:
        grid = grid.join(f, on="dt", how="left")
    grid = grid.with_columns(pl.exclude("dt").forward_fill())
    ends = _minute_epochs(grid["dt"].to_numpy()) + 60.0
    ledger = engine.ledger
    l_ts = np.array([x[0] for x in ledger], dtype=np.float64)
    l_cash = np.array([capital] + [x[1] for x in ledger], dtype=np.float64)
    l_real = np.array([0.0] + [float(x[2]) for x in ledger], dtype=np.float64)
    at = np.searchsorted(l_ts, ends, "left")  # fills before the minute's end
    cash = l_cash[at]
    realised = l_real[at]
    unrealised = np.zeros(len(ends))
    held_value = np.zeros(len(ends))
    exposed = np.zeros(len(ends), dtype=bool)
    for code in tape.codes:
        rows = [x for x in ledger if x[3] == code]
        if not rows or code not in grid.columns:
            continue
        c_ts = np.array([x[0] for x in rows])
        c_pos = np.array([0] + [x[4] for x in rows], dtype=np.float64)
        c_basis = np.array([0.0] + [x[5] for x in rows], dtype=np.float64)
        k = np.searchsorted(c_ts, ends, "left")
        pos, basis = c_pos[k], c_basis[k]
        last = grid[code].fill_null(0.0).to_numpy()
        mult = engine.mult[code]
        unrealised += mult * (pos * last - basis)
        held_value += mult * np.abs(basis)
        exposed |= pos != 0
    total = cash + held_value + unrealised
    return pl.DataFrame({"dt": grid["dt"], "cash": cash, "realised": realised, "unrealised": unrealised,
                         "total": total, "exposed": exposed})


def trading_day(dt: datetime, holidays: set) -> date:
    """The trading date a minute belongs to: from 15:00 on, the next one (night session)."""
    d = dt.date() + timedelta(days=1) if dt.hour >= 15 else dt.date()
    while d.weekday() >= 5 or d.isoformat() in holidays:
        d += timedelta(days=1)
    return d


def _daily_frame(equity: pl.DataFrame, capital: float, holidays: set) -> pl.DataFrame:
    if equity.height == 0:
        return pl.DataFrame(schema={"day": pl.Date, "total": pl.Float64, "return": pl.Float64})
    # a trading day per distinct (date, from 15:00) pair, looked up once each
    keyed = equity.with_columns(pl.col("dt").dt.date().alias("_d"), (pl.col("dt").dt.hour() >= 15).alias("_night"))
    pairs = keyed.select("_d", "_night").unique()
    pairs = pairs.with_columns(pl.Series("day", [
        trading_day(datetime.combine(d, datetime.min.time()) + timedelta(hours=15 if night else 0), holidays)
        for d, night in pairs.iter_rows()], dtype=pl.Date))
    daily = (keyed.join(pairs, on=["_d", "_night"], how="left", maintain_order="left")
             .group_by("day", maintain_order=True)
             .agg(pl.col("cash").last(), pl.col("realised").last(), pl.col("unrealised").last(),
                  pl.col("total").last())
             .sort("day"))
    prev = daily["total"].shift(1).fill_null(capital)
    # no return is defined once the portfolio is worth nothing or less
    return daily.with_columns(pl.when(prev > 0).then(pl.col("total") / prev - 1.0).otherwise(None).alias("return"))


def _positions_frame(engine) -> pl.DataFrame:
    rows = []
    for code, lots in engine.lots.items():
        qty = sum(q for q, _ in lots)
        if not qty:
            continue
        basis = sum(q * p for q, p in lots)
        last = engine.tape.codes[code].last_price(engine.tape.n - 1)
        rows.append({"code": code, "qty": qty, "avg_price": basis / qty, "last_price": last,
                     "unrealised": engine.mult[code] * (qty * last - basis)})
    return pl.DataFrame(rows, schema={"code": pl.String, "qty": pl.Int64, "avg_price": pl.Float64,
                                      "last_price": pl.Float64, "unrealised": pl.Float64})


def _drawdown(total: np.ndarray, dts) -> tuple[float, float, float]:
    if len(total) == 0:
        return 0.0, 0.0, 0.0
    peak = np.maximum.accumulate(total)
    dd = peak - total
    pct = np.where(peak > 0, dd / np.where(peak > 0, peak, 1.0) * 100.0, 0.0)
    # longest stretch below a peak, in calendar days
    longest = 0.0
    start = None
    times = dts
    for k in np.flatnonzero(np.diff(np.concatenate(([0], (dd > 0).astype(np.int8), [0])))):
        if start is None:
            start = k
        else:
            end = min(k, len(times) - 1)
            begin = max(start - 1, 0)
            longest = max(longest, (times[end] - times[begin]) / np.timedelta64(1, "D"))
            start = None
    return float(dd.max()), float(pct.max()), float(longest)


def _stats(result: Result, lowest_cash: float) -> dict:
    profits = result.trades["profit"].to_numpy() if result.trades.height else np.zeros(0)
    wins, losses = profits[profits > 0], profits[profits <= 0]
    gross_profit, gross_loss = float(wins.sum()), float(losses.sum())
    n = len(profits)
    eq = result.equity
    total = eq["total"].to_numpy() if eq.height else np.zeros(0)
    max_dd, max_dd_pct, max_dd_days = _drawdown(total, eq["dt"].to_numpy() if eq.height else None)
    r = result.daily["return"].to_numpy() if result.daily.height else np.zeros(0)
    sharpe = sortino = float("nan")
    if np.isnan(r).any():  # the portfolio was worth nothing on some day: no ratio means anything
        r = np.zeros(0)
    if len(r) >= 2 and r.std(ddof=1) > 0:
        sharpe = float(r.mean() / r.std(ddof=1) * math.sqrt(TRADING_DAYS))
    downside = np.sqrt(np.mean(np.minimum(r, 0.0) ** 2)) if len(r) else 0.0
    if len(r) >= 2 and downside > 0:
        sortino = float(r.mean() / downside * math.sqrt(TRADING_DAYS))
    final = float(total[-1]) if len(total) else float(result.initial_capital)
    fills = result.fills
    return {
        "net_profit": float(profits.sum()),
        "gross_profit": gross_profit,
        "gross_loss": gross_loss,
        "fees": float(fills["fee"].sum()) if fills.height else 0.0,
        "tax": float(fills["tax"].sum()) if fills.height else 0.0,
        "trades": n,
        "win_rate": float(len(wins) / n * 100.0) if n else float("nan"),
        "profit_factor": (gross_profit / -gross_loss if gross_loss < 0 else
                          (float("inf") if gross_profit > 0 else float("nan"))),
        "expectancy": float(profits.mean()) if n else float("nan"),
        "avg_win": float(wins.mean()) if len(wins) else float("nan"),
        "avg_loss": float(losses.mean()) if len(losses) else float("nan"),
        "max_drawdown": max_dd,
        "max_drawdown_pct": max_dd_pct,
        "max_drawdown_days": max_dd_days,
        "sharpe": sharpe,
        "sortino": sortino,
        "exposure": float(eq["exposed"].mean() * 100.0) if eq.height else 0.0,
        "return_pct": (final / result.initial_capital - 1.0) * 100.0 if result.initial_capital else float("nan"),
        "lowest_cash": float(lowest_cash),
    }

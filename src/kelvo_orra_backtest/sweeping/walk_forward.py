"""Walk-forward windows over the trading days of the ticks, and the stitched
out-of-sample result.

The calendar is the ticks' own: the trading days that have ticks, a night
session's ticks counted to the next trading day (as the engine's daily
figures count them).  Window k trains on `train` days and tests on the
`test` days right after them; the next window starts `test` days later, so
the test parts follow each other without overlap.  A last test part shorter
than `test` days still runs.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import date, datetime, timedelta

import numpy as np
import polars as pl

from kelvo_orra_backtest.engine.result import STAT_KEYS, TRADING_DAYS, trading_day

__all__ = ["DAY_COLUMN", "Window", "WalkForwardError", "add_trading_days", "stitch", "windows"]

DAY_COLUMN = "_trading_day"


class WalkForwardError(ValueError):
    pass


@dataclass(frozen=True)
class Window:
    index: int
    train: tuple[date, date]  # first and last trading day, both included
    test: tuple[date, date]
    train_days: int
    test_days: int


def add_trading_days(frame: pl.DataFrame, holidays: set) -> pl.DataFrame:
    """The ticks with the trading day of each (a Date column DAY_COLUMN)."""
    # the process runs in the market's zone: local times as datetime.fromtimestamp gives them
    seconds = frame["timestamp"].to_numpy()
    day_keys = np.floor(seconds / 3600.0).astype(np.int64)  # one lookup per distinct hour
    hours, inverse = np.unique(day_keys, return_inverse=True)
    days = np.array([trading_day(datetime.fromtimestamp(h * 3600.0), holidays) for h in hours],
                    dtype="datetime64[D]")
    return frame.with_columns(pl.Series(DAY_COLUMN, days[inverse]).cast(pl.Date))


def windows(days: list[date], train: int, test: int) -> list[Window]:
    """The windows over the sorted trading days `days`."""
    out = []
    start = 0
    while start + train < len(days):
        tr = days[start:start + train]
        te = days[start + train:start + train + test]
        out.append(Window(len(out), (tr[0], tr[-1]), (te[0], te[-1]), len(tr), len(te)))
        start += test
    if not out:
        raise WalkForwardError(f"the ticks hold {len(days)} trading day(s): too few for one window of "
                               f"{train} training and {test} test day(s)")
    return out


def stitch(windows_table: pl.DataFrame, daily: dict[int, list], capital: float) -> tuple[pl.DataFrame, dict]:
    """The test parts' daily profit chained into one equity curve, and the
    out-of-sample figures under the stat names: sums of the windows where
    the figure adds up (profit, costs, trades), the ratios from those sums,
    and drawdown, Sharpe, Sortino and return from the stitched daily curve."""
    rows = []
    for w in sorted(daily):
        for day, pnl in daily[w]:
            rows.append((w, date.fromisoformat(day), float(pnl)))
    curve = pl.DataFrame(rows, schema={"window": pl.Int64, "day": pl.Date, "pnl": pl.Float64}, orient="row")
    curve = curve.with_columns((capital + pl.col("pnl").cum_sum()).alias("equity"))
    ok = windows_table.filter(pl.col("error").is_null())
    s = {k: None for k in STAT_KEYS}

    def total(key):
        return float(ok[key].fill_nan(0.0).sum()) if ok.height else 0.0

    for key in ("net_profit", "gross_profit", "gross_loss", "fees", "tax"):
        s[key] = total(key)
    trades = int(ok["trades"].sum()) if ok.height else 0
    s["trades"] = trades
    wins = float((ok["win_rate"].fill_nan(0.0) * ok["trades"] / 100.0).sum()) if ok.height else 0.0
    nan = float("nan")
    s["win_rate"] = wins / trades * 100.0 if trades else nan
    s["profit_factor"] = (s["gross_profit"] / -s["gross_loss"] if s["gross_loss"] < 0
                          else (math.inf if s["gross_profit"] > 0 else nan))
    s["expectancy"] = s["net_profit"] / trades if trades else nan
    s["avg_win"] = s["gross_profit"] / round(wins) if round(wins) else nan
    s["avg_loss"] = s["gross_loss"] / (trades - round(wins)) if trades - round(wins) else nan
    eq = np.concatenate(([capital], curve["equity"].to_numpy()))
    peak = np.maximum.accumulate(eq)
    dd = peak - eq
    s["max_drawdown"] = float(dd.max())
    s["max_drawdown_pct"] = float(np.max(np.where(peak > 0, dd / np.where(peak > 0, peak, 1), 0)) * 100)
    days_ = curve["day"].to_list()
    longest, peak_day = 0, (days_[0] - timedelta(days=1)) if days_ else None
    for k in range(1, len(eq)):
        if eq[k] >= peak[k - 1]:  # a new peak (or back at the old one) ends a drawdown
            peak_day = days_[k - 1]
        else:
            longest = max(longest, (days_[k - 1] - peak_day).days)
    s["max_drawdown_days"] = float(longest)
    r = eq[1:] / eq[:-1] - 1.0 if len(eq) > 1 else np.zeros(0)
    s["sharpe"] = (float(r.mean() / r.std(ddof=1) * math.sqrt(TRADING_DAYS))
                   if len(r) >= 2 and r.std(ddof=1) > 0 else nan)
    downside = np.sqrt(np.mean(np.minimum(r, 0.0) ** 2)) if len(r) else 0.0
    s["sortino"] = float(r.mean() / downside * math.sqrt(TRADING_DAYS)) if len(r) >= 2 and downside > 0 else nan
    weights = ok["test_days"].to_numpy() if ok.height else np.zeros(0)
    s["exposure"] = float(np.average(ok["exposure"].to_numpy(), weights=weights)) if weights.sum() else 0.0
    s["return_pct"] = (float(eq[-1]) / capital - 1.0) * 100.0 if capital else nan
    s["lowest_cash"] = float(ok["lowest_cash"].min()) if ok.height else float(capital)
    return curve, s

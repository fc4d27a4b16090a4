"""Fake quote manager and profit rows for the report tests."""
from __future__ import annotations

import math
import random
from datetime import datetime, timedelta

import polars as pl

ROW_KEYS = (
    "code", "entry_action", "entry_dt", "entry_price", "entry_origin_price", "exit_action", "exit_dt",
    "exit_price", "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "cover_cost_fee",
    "cover_cost_tax", "cover_cost_fixed", "trade_cost_fee", "trade_cost_tax", "trade_cost_fixed", "profit",
    "profit_ratio", "entry_amount", "exit_amount",
)


def profit_row(code, entry_dt, exit_dt, *, entry_action="Buy", entry_price=100.5, exit_price=104.5,
               qty=1, profit=3689.0, **extra):
    """A 23-key profit row, keys in the stored order."""
    long = entry_action == "Buy"
    row = {
        "code": code,
        "entry_action": entry_action,
        "entry_dt": entry_dt,
        "entry_price": entry_price,
        "entry_origin_price": entry_price - 0.5 if long else entry_price + 0.5,
        "exit_action": "Sell" if long else "Buy",
        "exit_dt": exit_dt,
        "exit_price": exit_price,
        "exit_origin_price": exit_price + 0.5 if long else exit_price - 0.5,
        "qty": qty,
        "min_qty": qty * 1000,
        "trade_cost": 71.6,
        "cover_cost": 240.3,
        "cover_cost_fee": 76.2,
        "cover_cost_tax": 164.1,
        "cover_cost_fixed": 0,
        "trade_cost_fee": 71.6,
        "trade_cost_tax": 0,
        "trade_cost_fixed": 0,
        "profit": profit,
        "profit_ratio": profit / (entry_price * qty * 1000),
        "entry_amount": entry_price * qty * 1000,
        "exit_amount": exit_price * qty * 1000,
    }
    row.update(extra)
    assert tuple(row) == ROW_KEYS
    return row


def trading_minutes(first_day: datetime, days: int):
    """Minute-start times of 09:00-13:29 on `days` weekdays from `first_day`."""
    out = []
    day = first_day
    while len(out) < days * 270:
        if day.weekday() < 5:
            start = day.replace(hour=9, minute=0, second=0, microsecond=0)
            out.extend(start + timedelta(minutes=i) for i in range(270))
        day += timedelta(days=1)
    return out


def bars_frame(code: str, times, seed: int = 7, start: float = 600.0) -> pl.DataFrame:
    """A random-walk K-bar table with the get_kbar columns."""
    rnd = random.Random(seed)
    opens, highs, lows, closes, vols = [], [], [], [], []
    price = start
    for i, _ in enumerate(times):
        o = price
        c = max(1.0, o + rnd.gauss(0, 0.6) + 0.05 * math.sin(i / 40))
        h = max(o, c) + abs(rnd.gauss(0, 0.3))
        lo = min(o, c) - abs(rnd.gauss(0, 0.3))
        opens.append(round(o, 2)); highs.append(round(h, 2)); lows.append(round(lo, 2)); closes.append(round(c, 2))
        vols.append(rnd.randint(1, 400))
        price = c
    return pl.DataFrame(
        {"dt": list(times), "code": [code] * len(times), "Open": opens, "High": highs, "Low": lows,
         "Close": closes, "Volume": vols},
        schema={"dt": pl.Datetime("us"), "code": pl.String, "Open": pl.Float64, "High": pl.Float64,
                "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64},
    )


class FakeQuoteManager:
    """Answers get_kbar from prepared frames; unknown codes raise KeyError."""

    def __init__(self, minute: dict[str, pl.DataFrame] | None = None, daily: dict[str, pl.DataFrame] | None = None):
        self.minute = minute or {}
        self.daily = daily or {}
        self.calls: list[tuple] = []

    def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):  # noqa: B006 - mirrors the real one
        self.calls.append((code, unit, freq))
        table = self.minute if unit == "m" else self.daily
        if code not in table:
            raise KeyError(code)
        return table[code]


def daily_frame(code: str, first_day: datetime, days: int, start: float = 150.0) -> pl.DataFrame:
    times = [first_day + timedelta(days=i) for i in range(days)]
    return bars_frame(code, times, seed=3, start=start)


def demo_backtest(code: str = "2330", days: int = 3, trades: int = 12, seed: int = 11):
    """Bars of `days` trading days and `trades` round trips placed on them."""
    times = trading_minutes(datetime(2024, 3, 4), days)
    bars = bars_frame(code, times)
    rnd = random.Random(seed)
    closes = bars["Close"].to_list()
    rows = []
    for _ in range(trades):
        a = rnd.randrange(0, len(times) - 40)
        b = a + rnd.randint(3, 35)
        long = rnd.random() < 0.6
        ep, xp = closes[a], closes[b]
        qty = rnd.randint(1, 3)
        profit = ((xp - ep) if long else (ep - xp)) * qty * 1000 - 300
        rows.append(profit_row(code, times[a].timestamp() + rnd.randint(0, 59), times[b].timestamp() + 12.25,
                               entry_action="Buy" if long else "Sell", entry_price=ep, exit_price=xp, qty=qty,
                               profit=round(profit, 4)))
    rows.sort(key=lambda r: r["exit_dt"])
    daily = daily_frame("0050", datetime(2024, 3, 1), 10)
    return bars, rows, FakeQuoteManager({code: bars}, {"0050": daily})

"""A year of one futures code through the columnar quote manager.

    TZ=Asia/Taipei .venv/bin/python bench/year.py [--ticks N] [--year Y]

A synthetic year (default 2024, about 30 million ticks) of the code "TXF":
a day session 08:45-13:45 and a night session 15:00-05:00 on every trading
date of the shipped holiday calendar, ticks at random instants of the
sessions, a random-walk price.  The ticks go in through `add_ticks`, one
frame per trading date; then `get_kbar` is asked for 1m, 5m, 1h and 1d bars.
Prints each step's wall time and the process's peak RSS.
"""
from __future__ import annotations

import argparse
import resource
import sys
import time
from datetime import date, datetime, timedelta
from pathlib import Path

import numpy as np
import polars as pl

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
if any((SRC / "kelvo_orra_backtest" / "modules" / "positions").glob("columnar*.so")):
    sys.path.insert(0, str(SRC))

from kelvo_orra_backtest.market_zone import use_market_zone  # noqa: E402

CALENDAR = SRC / "kelvo_orra_backtest" / "static" / "holidays_search_from_2017.csv"
DAY_SESSION = (timedelta(hours=8, minutes=45), timedelta(hours=13, minutes=45))
NIGHT_SESSION = (timedelta(hours=15), timedelta(days=1, hours=5))


def trading_dates(year: int) -> list[date]:
    closed = set(pl.read_csv(CALENDAR)["Date"].to_list())
    d, out = date(year, 1, 1), []
    while d.year == year:
        if d.weekday() < 5 and d.isoformat() not in closed:
            out.append(d)
        d += timedelta(days=1)
    return out


def futures_days(year: int = 2024, ticks: int = 30_000_000, seed: int = 1, code: str = "TXF"):
    """Yields one tick frame (the add_ticks columns) per trading date."""
    use_market_zone()
    rng = np.random.default_rng(seed)
    dates = trading_dates(year)
    minutes = sum(((e - s).total_seconds() / 60 for s, e in (DAY_SESSION, NIGHT_SESSION)))
    per_minute = ticks / (len(dates) * minutes)
    price = 18000.0
    for d in dates:
        midnight = datetime(d.year, d.month, d.day).timestamp()
        parts = []
        for start, end in (DAY_SESSION, NIGHT_SESSION):
            lo, hi = midnight + start.total_seconds(), midnight + end.total_seconds()
            n = int(round((hi - lo) / 60 * per_minute))
            parts.append(np.round(np.sort(rng.uniform(lo, hi, n)), 3))
        stamps = np.concatenate(parts)
        n = len(stamps)
        closes = price + np.cumsum(rng.integers(-1, 2, n)).astype(np.float64)
        price = float(closes[-1]) if n else price
        yield pl.DataFrame({
            "timestamp": stamps,
            "code": pl.repeat(code, n, eager=True, dtype=pl.String),
            "market_type": pl.repeat("Future", n, eager=True, dtype=pl.String),
            "close": closes,
            "qty": rng.integers(1, 6, n),
            "tick_type": rng.integers(1, 3, n).astype(np.int8),
            "is_simulate": np.zeros(n, dtype=bool),
        })


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--ticks", type=int, default=30_000_000)
    ap.add_argument("--year", type=int, default=2024)
    args = ap.parse_args()
    from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager

    qm = ColumnarQuoteManager()
    intake = generated = 0.0
    real = 0
    t = time.perf_counter()
    for frame in futures_days(args.year, args.ticks):
        t1 = time.perf_counter()
        generated += t1 - t
        qm.add_ticks(frame)
        real += frame.height
        t = time.perf_counter()
        intake += t - t1
    pending, popped = qm.tick_counts("TXF")
    print(f"year {args.year}: {real:,} real ticks, {pending + popped - real:,} virtual; "
          f"generated in {generated:.1f} s (not counted)")
    print(f"add_ticks: {intake:.1f} s, {real / intake / 1e6:.2f} M ticks/s; peak RSS {peak_rss_mb():,.0f} MB")
    for unit, freq in (("m", 1), ("m", 5), ("h", 1), ("d", 1)):
        t = time.perf_counter()
        bars = qm.get_kbar("TXF", unit, freq)
        print(f"get_kbar {freq}{unit}: {time.perf_counter() - t:.2f} s, {bars.height:,} bars; "
              f"peak RSS {peak_rss_mb():,.0f} MB")
    t = time.perf_counter()
    old = qm.poped_old_ticks_to_df("TXF")
    print(f"poped_old_ticks_to_df: {time.perf_counter() - t:.2f} s, {old.height:,} rows; "
          f"peak RSS {peak_rss_mb():,.0f} MB")


if __name__ == "__main__":
    main()

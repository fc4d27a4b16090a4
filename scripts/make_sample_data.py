"""Writes the bundled sample ticks (synthetic, deterministic).

Three trading days of a stock (2330), the benchmark ETF (0050) and a TAIEX
futures contract (TXF) with its night sessions.  Prices walk on the
exchange's tick ladder with volumes that are heavier at the open and close.

    python scripts/make_sample_data.py [output.parquet]
"""
from __future__ import annotations

import math
import random
import sys
from datetime import date, datetime, timedelta, timezone
from pathlib import Path

import polars as pl

TAIPEI = timezone(timedelta(hours=8))
DAYS = [date(2024, 3, 4), date(2024, 3, 5), date(2024, 3, 6)]
OUT = Path(__file__).resolve().parents[1] / "src/kelvo_orra_backtest/static/sample/ticks.parquet"


def stock_tick(code: str, price: float) -> float:
    if code.startswith("00") and price < 1000:
        return 0.01 if price < 50 else 0.05
    for bound, step in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < bound:
            return step
    return 5.0


def session(rng, code, market, start, end, price, step_of, spacing, simulate_from=None):
    rows = []
    t = start
    total = (end - start).total_seconds()
    while t < end:
        frac = (t - start).total_seconds() / total
        step = step_of(price)
        move = rng.choices((-2, -1, 0, 1, 2), weights=(1, 6, 10, 6, 1))[0]
        price = round(max(step, price + move * step) / step) * step
        price = round(price, 2)
        heat = 1 + 4 * (math.exp(-12 * frac) + math.exp(-12 * (1 - frac)))
        qty = max(1, int(rng.expovariate(1 / (3 * heat))))
        simulate = simulate_from is not None and t >= simulate_from
        rows.append({
            "timestamp": t.timestamp(), "code": code, "market_type": market, "close": float(price),
            "qty": qty, "tick_type": rng.choice((1, 2)), "is_simulate": simulate,
        })
        t += timedelta(seconds=rng.choice(spacing), microseconds=rng.randrange(0, 1000) * 1000)
    return rows, price


def build() -> pl.DataFrame:
    rng = random.Random(20240304)
    rows = []
    prices = {"2330": 690.0, "0050": 148.0, "TXF": 19500.0}
    for d in DAYS:
        at = lambda h, m, day=d: datetime(day.year, day.month, day.day, h, m, tzinfo=TAIPEI)  # noqa: E731
        for code in ("2330", "0050"):
            r, prices[code] = session(rng, code, "Stock", at(9, 0), at(13, 30), prices[code],
                                      lambda p, c=code: stock_tick(c, p), (1, 2, 3, 5, 8),
                                      simulate_from=at(13, 25))
            rows += r
        r, prices["TXF"] = session(rng, "TXF", "Future", at(8, 45), at(13, 45), prices["TXF"],
                                   lambda p: 1.0, (1, 1, 2, 3))
        rows += r
        night_end = datetime(d.year, d.month, d.day, 5, 0, tzinfo=TAIPEI) + timedelta(days=1)
        r, prices["TXF"] = session(rng, "TXF", "Future", at(15, 0), night_end, prices["TXF"],
                                   lambda p: 1.0, (2, 3, 5, 8, 13))
        rows += r
    df = pl.DataFrame(rows, schema={"timestamp": pl.Float64, "code": pl.Utf8, "market_type": pl.Utf8,
                                    "close": pl.Float64, "qty": pl.Int64, "tick_type": pl.Int8,
                                    "is_simulate": pl.Boolean})
    return df.sort("timestamp", maintain_order=True)


if __name__ == "__main__":
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else OUT
    out.parent.mkdir(parents=True, exist_ok=True)
    df = build()
    df.write_parquet(out, compression="zstd", compression_level=19)
    print(f"{df.height} ticks -> {out} ({out.stat().st_size} bytes)")

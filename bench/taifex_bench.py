"""Reading one large daily trade file of the futures exchange.  Run by hand:

    PYTHONPATH=src python bench/taifex_bench.py [megabytes]

Writes a day file of about 50 MB (default) in the published layout: Big5
header, padded fields, CRLF, many products (the TAIEX futures with their
monthly, weekly and spread rows among stock futures and others), the night
session before the day session.  Then times `read_daily` on it for TX, plain
and zipped, and prints one row per form: median and spread of three reads,
against the target of 3 s.
"""
from __future__ import annotations

import statistics
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import numpy as np
import polars as pl

from kelvo_orra_backtest.data import taifex
from kelvo_orra_backtest.market_zone import use_market_zone

TARGET = 3.0
DAY = 20260529
PREVIOUS = 20260528


def write_day_file(path: Path, megabytes: float) -> int:
    rng = np.random.default_rng(7)
    n = int(megabytes * 1e6 / 52)  # one row is about 52 bytes
    products = np.array(["TX", "MTX", "TMF", "TE", "TF", "CDF", "DHF", "QFF", "NYF", "UDF"])
    product = products[rng.choice(len(products), n, p=[.3, .3, .1, .03, .02, .1, .05, .04, .03, .03])]
    kind = rng.choice(3, n, p=[.9, .07, .03])  # monthly, weekly, spread
    months = np.array(["202606", "202607", "202609"])[rng.choice(3, n, p=[.85, .1, .05])]
    month = np.where(kind == 0, months, np.where(kind == 1, "202606W1", "202606/202607"))
    # a third of the trades in the night session (15:00 to 05:00), the rest 08:45 to 13:45
    night = rng.random(n) < 0.33
    secs = np.where(night, 15 * 3600 + rng.integers(0, 14 * 3600, n), 8 * 3600 + 2700 + rng.integers(0, 18000, n))
    # clock seconds from the day's midnight: the night session starts on the evening before (negative)
    order = np.sort(np.where(night, secs - 86400, secs))
    date = np.where(order < 0, PREVIOUS, DAY)
    secs = order % 86400
    hhmmss = (secs // 3600) * 10000 + (secs // 60 % 60) * 100 + secs % 60
    price = 21000 + np.cumsum(rng.integers(-2, 3, n))
    price = np.where(kind == 2, rng.integers(-40, 40, n), price)
    frame = pl.DataFrame({"date": date, "product": product, "month": month, "time": hhmmss,
                          "price": price, "volume": 2 * rng.integers(1, 20, n), "kind": kind})
    lines = frame.select(pl.format(
        "{},{},{},{},{},{},{},{},{}",
        "date", pl.col("product").str.pad_end(7), pl.col("month").str.pad_end(11), "time", "price", "volume",
        pl.when(pl.col("kind") == 2).then(pl.lit("21000")).otherwise(pl.lit("-")),
        pl.when(pl.col("kind") == 2).then(pl.lit("21015")).otherwise(pl.lit("-")),
        pl.lit(" "),
    ).alias("line"))["line"]
    body = "\r\n".join(lines.to_list()) + "\r\n"
    path.write_bytes((",".join(taifex.HEADER) + " \r\n").encode("cp950") + body.encode("ascii"))
    return n


def timed(fn, repeat=3):
    out = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        out.append(time.perf_counter() - t)
    return out, result


def main() -> None:
    use_market_zone()
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    with tempfile.TemporaryDirectory() as tmp:
        plain = Path(tmp) / "Daily_2026_05_29.csv"
        rows = write_day_file(plain, megabytes)
        zipped = Path(tmp) / "Daily_2026_05_29.zip"
        with zipfile.ZipFile(zipped, "w", zipfile.ZIP_DEFLATED) as zf:
            zf.write(plain, plain.name)
        size = plain.stat().st_size / 1e6
        print(f"day file: {rows:,} rows, {size:.1f} MB ({zipped.stat().st_size / 1e6:.1f} MB zipped)")
        print(f"{'read_daily(TX)':<28} {'median':>8} {'min':>8} {'max':>8} {'target':>8}  ticks")
        for label, path in (("plain CSV", plain), ("zip", zipped)):
            times, ticks = timed(lambda p=path: taifex.read_daily(p, "TX"))
            flag = "" if statistics.median(times) < TARGET else "  OVER"
            print(f"{label:<28} {statistics.median(times):>7.2f}s {min(times):>7.2f}s {max(times):>7.2f}s "
                  f"{TARGET:>7.1f}s  {ticks.height:,}{flag}")


if __name__ == "__main__":
    main()

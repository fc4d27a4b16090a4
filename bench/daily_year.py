"""A year of the futures exchange's daily trade files, read under each roll rule.  Run by hand:

    PYTHONPATH=src TZ=Asia/Taipei python bench/daily_year.py [--year 2026] [--trades 10000] [--keep DIR]

Writes one zipped daily file per trading day of the year (the shipped holiday
calendar) in the published layout: Big5 header, padded fields, CRLF, the
night session (15:00 of the trading day before to 05:00) ahead of the day
session.  Every day the TAIEX future trades its three nearest monthly
contracts, twelve expiries over the year: an index random walk, each month
at its own spread to it (lower in the summer's dividend season, as the
exchange's months trade), the front month holding most of the volume until
the next month overtakes it a few trading days (1.5 to 4.5, drawn per month)
before the expiry.  A share of the rows is the mini contract, weekly
contracts and calendar spreads, which the reader leaves out.

Then times `load_daily` on the whole directory for TX under each roll rule
(median of three reads) and prints the trading day on which each rule took
each next month.  `--keep DIR` writes the files into DIR and keeps them,
to replay them with the commands (`--ticks DIR --roll volume`).
"""
from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
import zipfile
from datetime import date, timedelta
from pathlib import Path

import numpy as np
import polars as pl

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
if (SRC / "kelvo_orra_backtest").is_dir():
    sys.path.insert(0, str(SRC))

from kelvo_orra_backtest.data import taifex  # noqa: E402

RULES = ("expiry", 1, 3, 5, "volume")
NIGHT = (15 * 3600, 29 * 3600)  # seconds from the evening's midnight: 15:00 to 05:00 the day after
DAY = (8 * 3600 + 45 * 60, 13 * 3600 + 45 * 60)
LAST_ON_EXPIRY = 13 * 3600 + 30 * 60  # an expiring month stops at 13:30 on its expiry day


def trading_days(year: int) -> list[date]:
    day, out = date(year, 1, 1), []
    while day.year == year:
        if taifex.is_trading_day(day):
            out.append(day)
        day += timedelta(days=1)
    return out


def month_after(month: str, n: int = 1) -> str:
    y, m = divmod(int(month[:4]) * 12 + int(month[4:6]) - 1 + n, 12)
    return f"{y}{m + 1:02d}"


def live_months(day: date, count: int = 3) -> list[str]:
    month = f"{day.year}{day.month:02d}"
    if taifex.expiry_day(month) < day:
        month = month_after(month)
    return [month_after(month, k) for k in range(count)]


def trading_days_to(day: date, expiry: date) -> int:
    n = 0
    while day < expiry:
        day += timedelta(days=1)
        n += taifex.is_trading_day(day)
    return n


def write_year(folder: Path, year: int, trades: int, seed: int = 11) -> tuple[int, int]:
    """Writes the year's files; returns (files, rows)."""
    rng = np.random.default_rng(seed)
    days = trading_days(year)
    months = sorted({m for d in days for m in live_months(d)})
    # each month's spread to the index: the months of the dividend season trade lower
    basis = {m: float(rng.normal(-15, 20) - (120 if m[4:6] in ("07", "08", "09") else 0)) for m in months}
    cross = {m: float(rng.uniform(1.5, 4.5)) for m in months}  # trading days before the expiry
    header = (",".join(taifex.HEADER) + " \r\n").encode("cp950")
    index = 21000.0
    rows = 0
    previous = days[0] - timedelta(days=1)
    while not taifex.is_trading_day(previous):
        previous -= timedelta(days=1)
    for day in days:
        live = live_months(day)
        front, nxt = live[:2]
        # the next month's share of the volume grows towards the front month's expiry
        k = trading_days_to(day, taifex.expiry_day(front))
        next_share = 1.0 / (1.0 + np.exp((k - cross[front]) / 0.8))
        share = np.array([(1 - next_share) * 0.97, next_share * 0.97, 0.03])
        n = int(trades * rng.uniform(0.8, 1.2))
        night = rng.random(n) < 0.3
        secs = np.sort(np.where(night, rng.integers(*NIGHT, n) - 86400 * 2, rng.integers(*DAY, n)))
        night = secs < 0
        evening_secs = secs + 86400 * 2  # seconds from the evening's midnight for the night rows
        # the index walks through the night and the day: one path for the file
        steps = rng.normal(0, 1.6, n)
        path = index + np.cumsum(steps)
        index = float(path[-1])
        which = rng.choice(3, n, p=share)
        month = np.array(live)[which]
        price = np.rint(path + np.array([basis[m] for m in live])[which])
        on_day = np.where(night, evening_secs % 86400, secs)
        date_of = np.where(night, np.where(evening_secs < 86400, int(f"{previous:%Y%m%d}"),
                                           int(f"{previous + timedelta(days=1):%Y%m%d}")),
                           int(f"{day:%Y%m%d}"))
        keep = ~((which == 0) & (day == taifex.expiry_day(front)) & ~night & (on_day >= LAST_ON_EXPIRY))
        # a share of other rows: the mini contract, weeklies, spreads
        kind = rng.choice(4, n, p=[0.62, 0.26, 0.06, 0.06])  # TX month, MTX month, TX weekly, TX spread
        product = np.where(kind == 1, "MTX", "TX")
        code = np.where(kind == 2, f"{front}W{rng.integers(1, 5)}",
                        np.where(kind == 3, f"{front}/{nxt}", month))
        px = np.where(kind == 3, np.rint(basis[nxt] - basis[front]), price)
        hh, mm, ss = on_day // 3600, on_day // 60 % 60, on_day % 60
        frame = pl.DataFrame({
            "date": date_of, "product": product, "month": code, "time": hh * 10000 + mm * 100 + ss,
            "price": px.astype(np.int64), "volume": 2 * rng.integers(1, 12, n), "kind": kind,
        }).filter(pl.Series(keep))
        lines = frame.select(pl.format(
            "{},{},{},{},{},{},{},{},{}",
            "date", pl.col("product").str.pad_end(7), pl.col("month").str.pad_end(11), "time", "price", "volume",
            pl.when(pl.col("kind") == 3).then(pl.lit(str(int(index + basis[front])))).otherwise(pl.lit("-")),
            pl.when(pl.col("kind") == 3).then(pl.lit(str(int(index + basis[nxt])))).otherwise(pl.lit("-")),
            pl.lit(" "),
        ).alias("line"))["line"]
        body = ("\r\n".join(lines.to_list()) + "\r\n").encode("ascii")
        name = f"Daily_{day:%Y_%m_%d}"
        with zipfile.ZipFile(folder / f"{name}.zip", "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr(f"{name}.csv", header + body)
        rows += frame.height
        previous = day
    return len(days), rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--year", type=int, default=2026, help="a year of the holiday calendar (default 2026)")
    parser.add_argument("--trades", type=int, default=10_000, help="rows per day file, about (default 10000)")
    parser.add_argument("--keep", type=Path, metavar="DIR", help="write the files into DIR and keep them")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="daily_year_") as tmp:
        folder = args.keep or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        t = time.perf_counter()
        files, rows = write_year(folder, args.year, args.trades)
        size = sum(p.stat().st_size for p in folder.glob("Daily_*.zip"))
        print(f"wrote {files} day files, {rows:,} rows, {size / 1e6:.1f} MB zipped, "
              f"in {time.perf_counter() - t:.1f} s ({folder})")
        print(f"{'load_daily(TX, roll=...)':<26} {'median':>8} {'min':>8} {'max':>8} {'ticks':>10} {'rolls':>6}")
        found = {}
        for rule in RULES:
            times = []
            for _ in range(3):
                t = time.perf_counter()
                got = taifex.load_daily(folder, "TX", "front", rule)
                times.append(time.perf_counter() - t)
            found[rule] = {r.old: r for r in got.rolls}
            print(f"{rule!r:<26} {statistics.median(times):>7.2f}s {min(times):>7.2f}s {max(times):>7.2f}s "
                  f"{got.ticks.height:>10,} {len(got.rolls):>6}")
        print("\nfirst trading day of the next month (its night session opens on the evening before)")
        print(f"{'old':<8} {'new':<8} {'expiry day':<12}" + "".join(f" {f'roll={r}':<14}" for r in RULES))
        for old in sorted({m for rolls in found.values() for m in rolls}):
            cells = "".join(f" {str(found[r][old].trading_day) if old in found[r] else '-':<14}" for r in RULES)
            new = next(found[r][old].new for r in RULES if old in found[r])
            print(f"{old:<8} {new:<8} {str(taifex.expiry_day(old)):<12}{cells}")


if __name__ == "__main__":
    main()

"""Daily trade files of the futures exchange, written for the tests in the
published layout: the Big5 header with its trailing space, product and
month padded with spaces, CRLF line ends, a trading day's night session
(from 15:00 on the trading day before) ahead of its day session.

- `row`, `day_bytes`, `write`: one line, one file's bytes, one file;
- `random_day`: a day of random trades of several products and months;
- `write_days`: consecutive trading days around expiries, with chosen
  contract months trading at a chosen spread and volume.
"""
from __future__ import annotations

import zipfile
from datetime import date, datetime, timedelta
from pathlib import Path
from typing import Callable, Sequence, Union

from kelvo_orra_backtest.data import taifex

HEADER = ("成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),"
          "近月價格,遠月價格,開盤集合競價 ")  # the trailing space is published too


def row(day, product, month, hhmmss, price, volume, near="-", far="-", auction=" "):
    """One line as published: product and month padded with spaces."""
    return f"{day},{product:<7},{month:<11},{hhmmss},{price},{volume},{near},{far},{auction}"


def day_bytes(lines, header=HEADER):
    return (header + "\r\n" + "\r\n".join(lines) + "\r\n").encode("cp950")


def write(path, lines, header=HEADER, zipped=False, member=None):
    data = day_bytes(lines, header)
    if zipped:
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr(member or path.stem + ".rpt", data)
    else:
        path.write_bytes(data)
    return path


def random_day(rng, trading_day, previous):
    """A day's file: night trades from the previous trading day, then the day session."""
    lines = []
    for start, end, day in ((15 * 3600, 24 * 3600, previous), (0, 5 * 3600, trading_day),
                            (8 * 3600 + 2700, 13 * 3600 + 2700, trading_day)):
        at = sorted(rng.randrange(start, end) for _ in range(rng.randint(20, 60)))
        for s in at:
            product = rng.choice(["TX", "TX", "TX", "MTX"])
            month = rng.choice(["202606", "202606", "202607", "202606W4"])
            hhmmss = f"{s // 3600:02d}{s // 60 % 60:02d}{s % 60:02d}".lstrip("0") or "0"
            lines.append(row(day.strftime("%Y%m%d"), product, month, hhmmss, rng.randint(20900, 21100),
                             2 * rng.randint(1, 9), auction=rng.choice([" ", "", "*"])))
    return lines


# --- consecutive days around expiries ----------------------------------------------

# The instants every listed month trades at in one trading day's file: the
# night session from 15:00 on the trading day before (crossing midnight), then
# the day session.  A month trades no later than 13:30 on its expiry day.
NIGHT_TIMES = ("150000", "235959", "1", "45959")  # the last two on the calendar day after the evening
DAY_TIMES = ("84500", "103000", "132959", "134459")
_LAST_ON_EXPIRY = 13 * 3600 + 30 * 60

Price = Union[float, Callable[[datetime, str], float]]
Lots = Union[int, Callable[[date, str], int]]


def previous_trading_day(day: date) -> date:
    day -= timedelta(days=1)
    while not taifex.is_trading_day(day):
        day -= timedelta(days=1)
    return day


def trading_days(first: date, last: date) -> list[date]:
    """The trading days from `first` to `last`, both included, by the package's calendar."""
    out, day = [], first
    while day <= last:
        if taifex.is_trading_day(day):
            out.append(day)
        day += timedelta(days=1)
    return out


def trade_times(trading_day: date) -> list[datetime]:
    """The naive Taipei times of the trades `write_days` puts into `trading_day`'s file."""
    evening = previous_trading_day(trading_day)
    out = []
    for hhmmss in NIGHT_TIMES:
        s = int(hhmmss)
        on = evening if s >= 15 * 10000 else evening + timedelta(days=1)
        out.append(datetime.combine(on, datetime.min.time()) + timedelta(hours=s // 10000, minutes=s // 100 % 100,
                                                                        seconds=s % 100))
    for hhmmss in DAY_TIMES:
        s = int(hhmmss)
        out.append(datetime.combine(trading_day, datetime.min.time())
                   + timedelta(hours=s // 10000, minutes=s // 100 % 100, seconds=s % 100))
    return out


def write_days(directory: Path, first: date, last: date, months: Sequence[str] = ("202605", "202606", "202607"),
               *, price: Price = 21000.0, spread: float = 50.0, lots: Lots = 10, product: str = "TX",
               zipped: bool = False) -> list[Path]:
    """Writes one daily file per trading day from `first` to `last` into
    `directory` (``Daily_YYYY_MM_DD.csv``, or ``.zip`` when `zipped`) and
    returns their paths in date order.

    Every month of `months` (``YYYYMM``) trades at each of `trade_times`
    while it has not expired (so not in the files after its expiry day,
    and not after 13:30 on that day).  `price` is a number, the price of the
    first month of `months`, each later month trading `spread` points above
    the one before it (the i-th at ``price + i * spread``); or a function
    of the naive Taipei time and the month giving the price of each trade.
    `lots` is the lots of every trade (the file's volume counts both sides,
    twice that), or a function of the trading day and the month.  Each
    session also holds one calendar spread between the two nearest months
    and one trade of another product (MTX for TX, else TX), which a reader
    of `product`'s months must leave out."""
    directory = Path(directory)
    ordered = sorted(months)
    if list(months) != ordered or len(set(months)) != len(months):
        raise ValueError(f"months must be distinct and in order: {months!r}")
    other = "MTX" if product == "TX" else "TX"
    paths = []
    for day in trading_days(first, last):
        live = [m for m in months if taifex.expiry_day(m) >= day]
        lines = []
        times = trade_times(day)
        for n, when in enumerate(times):
            hhmmss = (NIGHT_TIMES + DAY_TIMES)[n]
            stamp = when.strftime("%Y%m%d")
            for m in live:
                if when.date() == taifex.expiry_day(m) and when.hour * 3600 + when.minute * 60 > _LAST_ON_EXPIRY:
                    continue
                px = price(when, m) if callable(price) else price + months.index(m) * spread
                q = lots(day, m) if callable(lots) else lots
                lines.append(row(stamp, product, m, hhmmss, f"{px:g}", 2 * q))
            if n in (0, len(NIGHT_TIMES)) and live:
                lines.append(row(stamp, other, live[0], hhmmss, 21000, 2, auction="*"))
                if len(live) > 1:
                    lines.append(row(stamp, product, f"{live[0]}/{live[1]}", hhmmss, f"{spread:g}", 2, "21000",
                                     f"{21000 + spread:g}"))
        name = f"Daily_{day:%Y_%m_%d}"
        paths.append(write(directory / (name + (".zip" if zipped else ".csv")), lines, zipped=zipped))
    return paths

"""The bundled sample ticks, made on first use.

Twelve trading days (2026-03-30 to 2026-04-16, across the four closed days
of the spring holidays in the shipped calendar) of a stock (2330), the
benchmark ETF (0050) and the TAIEX future (TXF: about 42,000 trades a day
over its day and night sessions).  The prices of
all three follow one market factor (the stocks add their own moves), so the
stocks open where the futures' night session left the market; they lie on
the exchanges' price steps (the stock ladder, one index point for TXF), and
every daily move stays well inside the ±10 % limit.  Trades come faster at
the open and the close than at midday; the stocks' closing auction is one
trade at 13:30 after five minutes of trial matching (``is_simulate``).

The frame is generated deterministically from a fixed seed and written once
to the user's cache directory under a versioned name (the write is atomic:
a temporary file renamed into place), so nothing generated lives in the
package directory, which may be read-only.
"""
from __future__ import annotations

import os
import tempfile
from datetime import date, timedelta
from pathlib import Path

import numpy as np
import polars as pl

from kelvo_orra_backtest.data.taifex import TAIPEI_OFFSET, TICK_SCHEMA, is_trading_day

VERSION = 1  # raise when the generated ticks change
FILE_NAME = f"sample-ticks-v{VERSION}.parquet"
SEED = 20260330
FIRST_DAY = date(2026, 3, 30)
TRADING_DAYS = 12  # the demo replays them in well under a minute

H = 3600
DAY_SESSION = (8 * H + 45 * 60, 13 * H + 45 * 60)   # futures' regular session
NIGHT_SESSION = (15 * H, 29 * H)                   # 15:00 to 05:00 of the next calendar day
STOCK_SESSION = (9 * H, 13 * H + 25 * 60)          # continuous trading; the close is an auction at 13:30
TRIAL_END = 13 * H + 30 * 60
NIGHT_VARIANCE = 0.35  # the night moves the market less per second than the day

# code: market type, first price, daily volatility of the market factor's share
# and of the code's own part, ticks per day session (and per night session)
CODES = {
    "TXF": dict(market="Future", price=22150.0, beta=1.0, own=0.0, day_ticks=29_000, night_ticks=13_000,
                lots=2.2),
    "2330": dict(market="Stock", price=975.0, beta=1.15, own=0.011, day_ticks=5_200, night_ticks=0, lots=4.0),
    "0050": dict(market="Stock", price=187.0, beta=0.95, own=0.003, day_ticks=1_600, night_ticks=0, lots=6.0),
}
MARKET_DAILY_VOL = 0.0115


def trading_days(first: date = FIRST_DAY, count: int = TRADING_DAYS) -> list[date]:
    out, day = [], first
    while len(out) < count:
        if is_trading_day(day):
            out.append(day)
        day += timedelta(days=1)
    return out


def price_step(code: str, price: np.ndarray) -> np.ndarray:
    """Price step of each price: the stock ladder (its own first bands for
    ETFs, codes beginning with 00), one point for index futures."""
    if code == "TXF":
        return np.ones_like(price)
    if code.startswith("00"):
        return np.select([price < 50, price < 1000], [0.01, 0.05], 5.0)
    return np.select([price < 10, price < 50, price < 100, price < 500, price < 1000],
                     [0.01, 0.05, 0.1, 0.5, 1.0], 5.0)


def _on_ladder(code: str, price: np.ndarray) -> np.ndarray:
    step = price_step(code, price)
    return np.round(np.round(price / step) * step, 2)


def _volume_profile(rng: np.random.Generator, n: int, length: int) -> np.ndarray:
    """`n` sorted offsets (seconds, millisecond steps) in [0, length), dense at
    both ends of the session: a third of the trades crowd into its first and
    last tenth."""
    x = np.linspace(0.0, 1.0, 2001)
    density = 1.0 + 6.0 * np.exp(-x / 0.04) + 3.5 * np.exp(-(1.0 - x) / 0.05)
    cdf = np.concatenate([[0.0], np.cumsum((density[1:] + density[:-1]) / 2)])
    cdf /= cdf[-1]
    at = np.interp(rng.random(n), cdf, x) * length
    return np.sort(np.floor(at * 1000) / 1000)


def _heat(offsets: np.ndarray, length: int) -> np.ndarray:
    x = offsets / length
    return 1.0 + 2.0 * np.exp(-x / 0.04) + 1.5 * np.exp(-(1.0 - x) / 0.05)


def build(first: date = FIRST_DAY, count: int = TRADING_DAYS, seed: int = SEED) -> pl.DataFrame:
    """The sample ticks in the replay's columns, sorted by time."""
    rng = np.random.default_rng(seed)
    days = trading_days(first, count)
    origin = days[0]
    span = ((days[-1] - origin).days + 1) * 86400

    # The market factor: a Brownian path in seconds since the first day's
    # midnight, moving only while the futures trade.
    weight = np.zeros(span)
    for i, day in enumerate(days):
        base = (day - origin).days * 86400
        weight[base + DAY_SESSION[0]:base + DAY_SESSION[1]] = 1.0
        if i + 1 < len(days):
            weight[base + NIGHT_SESSION[0]:base + NIGHT_SESSION[1]] = NIGHT_VARIANCE
    per_day = (DAY_SESSION[1] - DAY_SESSION[0]) + NIGHT_VARIANCE * (NIGHT_SESSION[1] - NIGHT_SESSION[0])
    sigma = MARKET_DAILY_VOL / np.sqrt(per_day)
    market = np.cumsum(rng.standard_normal(span) * sigma * np.sqrt(weight))

    frames = []
    for code, shape in CODES.items():
        own_sigma = shape["own"] / np.sqrt(STOCK_SESSION[1] - STOCK_SESSION[0])
        own = np.cumsum(rng.standard_normal(span) * own_sigma * (weight == 1.0)) if shape["own"] else 0.0
        # overnight news of the stock alone: a small jump at each open
        jumps = np.zeros(span)
        if shape["own"]:
            for day in days[1:]:
                jumps[(day - origin).days * 86400 + STOCK_SESSION[0]] = rng.normal(0, shape["own"] / 3)
        log_price = np.log(shape["price"]) + shape["beta"] * market + own + np.cumsum(jumps)

        prev_close = shape["price"]
        for i, day in enumerate(days):
            base = (day - origin).days * 86400
            sessions = []
            if shape["market"] == "Future":
                if i > 0:
                    prev = (days[i - 1] - origin).days * 86400
                    sessions.append((prev + NIGHT_SESSION[0], prev + NIGHT_SESSION[1], shape["night_ticks"]))
                sessions.append((base + DAY_SESSION[0], base + DAY_SESSION[1], shape["day_ticks"]))
            else:
                sessions.append((base + STOCK_SESSION[0], base + STOCK_SESSION[1], shape["day_ticks"]))
            closes = []
            for start, end, n in sessions:
                n = int(n * rng.uniform(0.85, 1.15))
                length = end - start
                at = _volume_profile(rng, n, length)
                at[0] = 0.0  # the opening auction trade, at the session's first second
                secs = start + at
                price = np.exp(log_price[np.minimum(secs.astype(np.int64), span - 1)])
                # the exchange's daily limit, ±10 % of the previous close
                price = np.clip(price, prev_close * 0.905, prev_close * 1.095)
                price = _on_ladder(code, price)
                lots = np.maximum(1, np.ceil(rng.exponential(shape["lots"], n) * _heat(at, length))).astype(np.int64)
                lots[0] = int(lots[0] * 40 + 50)  # the auction gathers the overnight orders
                move = np.sign(np.diff(price, prepend=price[0]))
                side = np.where(move > 0, 1, np.where(move < 0, 2, rng.integers(1, 3, n))).astype(np.int8)
                frames.append(_frame(origin, secs, code, shape["market"], price, lots, side,
                                     np.zeros(n, dtype=bool)))
                closes.append(price[-1])
            if shape["market"] == "Stock":
                # five minutes of trial matching, then the closing auction at 13:30:00
                trial = np.sort(rng.uniform(STOCK_SESSION[1], TRIAL_END - 1, 12))
                drift = price[-1] + np.cumsum(rng.integers(-1, 2, 12)) * price_step(code, price[-1:])[0]
                final = _on_ladder(code, np.array([drift[-1]]))
                frames.append(_frame(origin, base + trial, code, "Stock", _on_ladder(code, drift),
                                     np.zeros(12, dtype=np.int64), np.zeros(12, dtype=np.int8),
                                     np.ones(12, dtype=bool)))
                auction_lots = int(rng.exponential(shape["lots"]) * 300 + 200)
                frames.append(_frame(origin, np.array([base + TRIAL_END], dtype=float), code, "Stock", final,
                                     np.array([auction_lots]), np.array([0], dtype=np.int8),
                                     np.zeros(1, dtype=bool)))
                closes.append(final[0])
            prev_close = closes[-1]
    return pl.concat(frames).sort("timestamp", maintain_order=True)


def _frame(origin: date, secs: np.ndarray, code: str, market: str, price: np.ndarray, lots: np.ndarray,
           side: np.ndarray, simulate: np.ndarray) -> pl.DataFrame:
    # Taipei wall-clock seconds since the first day's midnight, as epoch seconds
    epoch = (origin - date(1970, 1, 1)).days * 86400 - TAIPEI_OFFSET
    return pl.DataFrame({
        "timestamp": np.round(epoch + secs, 3),
        "code": [code] * len(secs),
        "market_type": [market] * len(secs),
        "close": price.astype(float),
        "qty": lots.astype(np.int64),
        "tick_type": side.astype(np.int8),
        "is_simulate": simulate,
    }, schema=TICK_SCHEMA)


def cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "kelvo_orra_backtest"


def _write(path: Path, frame: pl.DataFrame) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            frame.write_parquet(f, compression="zstd")
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def sample_path(fallback_dir: Path | None = None) -> Path:
    """The sample's file, generated on first use: in the user's cache
    directory, or in `fallback_dir` (such as the run's output directory)
    when the cache cannot be written."""
    places = [cache_dir()] + ([Path(fallback_dir)] if fallback_dir is not None else [])
    for place in places:
        path = place / FILE_NAME
        if path.is_file():
            return path
    frame = build()
    errors = []
    for place in places:
        path = place / FILE_NAME
        try:
            _write(path, frame)
            return path
        except OSError as exc:
            errors.append(f"{place}: {exc.strerror or exc}")
    raise OSError("the sample ticks cannot be written (" + "; ".join(errors) + ")")

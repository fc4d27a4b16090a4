"""The event-driven engine against the plain per-tick reference loop
(`engine_ref`): random strategies over random tick streams must give the same
orders, fills, profit rows, equity, account and strategy-side observations.

`ENGINE_DIFF_CASES` sets the number of cases (default 150); a failing case
prints its seed, and `ENGINE_DIFF_SEED` replays that one case alone.
"""
from __future__ import annotations

import math
import os
import random
from datetime import date, datetime, time, timedelta

import numpy as np
import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from engine_ref import bucket, ref_run
from kelvo_orra_backtest.engine import Strategy, run
from kelvo_orra_backtest.engine.costs import price_step
from kelvo_orra_backtest.modules.positions.positions import QuoteManager

CASES = int(os.environ.get("ENGINE_DIFF_CASES", "150"))
HOLIDAYS = QuoteManager().holiday_search_set

# code -> (market, starting price)
PRODUCTS = {"TXF": ("Future", 22000.0), "MXF": ("Future", 21950.0), "2330": ("Stock", 598.0),
            "2603": ("Stock", 49.5), "0050": ("Stock", 49.9)}
UNITS = [("m", 1), ("m", 1), ("m", 3), ("m", 5), ("m", 15), ("h", 1), ("h", 2), ("d", 1), ("w", 1), ("mo", 1),
         ("q", 1), ("y", 1), ("d", 3), ("w", 2)]


# ------------------------------------------------------------------ ticks
def _session_spans(market: str, day: date) -> list[tuple[datetime, datetime, bool]]:
    """(start, end, trial-match) spans of a calendar day's ticks."""
    at = lambda t: datetime.combine(day, t)  # noqa: E731
    if market == "Stock":
        return [(at(time(8, 30)), at(time(9, 0)), True), (at(time(9, 0)), at(time(13, 25)), False),
                (at(time(13, 25)), at(time(13, 30)), True)]
    return [(at(time(8, 30)), at(time(8, 45)), True), (at(time(8, 45)), at(time(13, 45)), False),
            (at(time(14, 50)), at(time(15, 0)), True), (at(time(15, 0)), at(time(23, 59, 59)), False),
            (at(time(0, 0)) + timedelta(days=1), at(time(5, 0)) + timedelta(days=1), False)]


def random_ticks(rng: np.random.Generator) -> pl.DataFrame:
    codes = list(rng.choice(list(PRODUCTS), size=int(rng.integers(1, 4)), replace=False))
    start = date(2024, 1, 1) + timedelta(days=int(rng.integers(0, 360)))
    days = int(rng.integers(1, 5))
    per_span = int(rng.integers(3, 25))
    rows = []
    for code in codes:
        market, price = PRODUCTS[code]
        for d in range(days):
            day = start + timedelta(days=d)
            trading = day.weekday() < 5 and day.isoformat() not in HOLIDAYS
            for lo, hi, trial in _session_spans(market, day):
                if not trading and rng.random() > 0.05:  # now and then a stray tick on a day off
                    continue
                if rng.random() < 0.15:  # a missing session
                    continue
                span = (hi - lo).total_seconds()
                n = int(rng.integers(0, per_span + 1)) if not trial else int(rng.integers(0, 4))
                # clustered times: a few busy minutes and long gaps
                centres = rng.uniform(0, span, size=max(1, n // 4))
                offs = np.sort(np.clip(rng.choice(centres, size=n) + rng.exponential(20, size=n), 0, span - 0.001))
                for off in offs:
                    step = price_step(code, market, price)
                    move = int(rng.choice([-20, -2, -1, -1, 0, 0, 0, 1, 1, 2, 20], p=[.02, .1, .18, .05, .1, .1,
                                                                                  .1, .05, .18, .1, .02]))
                    price = max(step, round((price + move * step) / step) * step)
                    price = round(price, 2)
                    ts = (lo + timedelta(seconds=float(off))).timestamp()
                    ts = round(ts, 3)
                    rows.append((ts, code, market, price, int(rng.integers(0, 6)), int(rng.integers(0, 3)), trial))
                # now and then the closing auction: a tick stamped at the session's end itself
                if hi.time() in (time(13, 30), time(13, 45), time(5, 0)) and rng.random() < 0.3:
                    rows.append((hi.timestamp(), code, market, price, int(rng.integers(1, 6)), 0, False))
            # a tick in a closed window now and then (re-stamped by the store)
            if rng.random() < 0.3:
                t = time(13, 31 + int(rng.integers(0, 10))) if market == "Stock" else \
                    time(13, 46 + int(rng.integers(0, 10)))
                rows.append((datetime.combine(day, t).timestamp(), code, market, price, 1, 1, False))
    if not rows:
        market, price = PRODUCTS[codes[0]]
        rows.append((datetime.combine(start, time(10, 0)).timestamp(), codes[0], market, price, 1, 1, False))
    rng.shuffle(rows)  # the engine and the reference both sort by time (stable)
    frame = pl.DataFrame(rows, orient="row", schema={
        "timestamp": pl.Float64, "code": pl.String, "market_type": pl.String, "close": pl.Float64,
        "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean})
    if rng.random() < 0.5:
        # contract months: futures roll at one or two of their tick times, stocks have none
        contract = pl.lit(None, dtype=pl.String)
        for code in codes:
            if PRODUCTS[code][0] != "Future":
                continue
            times = np.unique(frame.filter(pl.col("code") == code)["timestamp"].to_numpy())
            cuts = np.sort(rng.choice(times, size=min(len(times), int(rng.integers(1, 3))), replace=False))
            month = pl.lit(202401) + sum((pl.col("timestamp") >= float(c)).cast(pl.Int64) for c in cuts)
            contract = pl.when(pl.col("code") == code).then(month.cast(pl.String)).otherwise(contract)
        frame = frame.with_columns(contract.alias("contract"))
    return frame


# --------------------------------------------------------------- strategy
class RandomTrader(Strategy):
    """Random orders and cancels at random events, decided by a hash of the event it sees."""

    seed: int = 0
    rate: float = 0.2
    last = None

    def _rng(self, ctx, *key) -> random.Random:
        return random.Random(repr((self.seed, round(ctx.timestamp, 6), key)))

    def on_start(self, ctx):
        rng = random.Random(self.seed)
        self.log = []
        self.prices = {}
        type(self).last = self
        for code in ctx.codes:
            for _ in range(rng.choice([0, 1, 1, 2, 3])):
                unit, freq = rng.choice(UNITS)
                ctx.subscribe(code, unit, freq)
            if rng.random() < 0.25:
                ctx.subscribe_ticks(code)
        self.subs = {}
        if rng.random() < 0.2:
            self.act(ctx, rng, "start")

    def note(self, ctx, *what):
        self.log.append((ctx.now, what, {c: ctx.position(c) for c in ctx.codes}, round(ctx.cash, 4),
                         round(ctx.equity, 4)))

    def act(self, ctx, rng, where):
        if rng.random() >= self.rate:
            return
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            roll = rng.random()
            opens = ctx.open_orders()
            if roll < 0.06 and opens:
                o = rng.choice(opens)
                self.note(ctx, "cancel", o.id, ctx.cancel(o.id))
                continue
            if roll < 0.08:
                self.note(ctx, "close", ctx.close(rng.choice(ctx.codes)))
                continue
            code = rng.choice(ctx.codes)
            ref = self.prices.get(code)
            if ref is None:
                ref = PRODUCTS[code][1]
            market = ctx.market_type(code)
            step = price_step(code, market, ref)
            kind = rng.choice(["market", "market", "limit", "limit", "stop", "stop_limit"])
            side = rng.choice(["Buy", "Sell"])
            sign = 1 if side == "Buy" else -1
            off = lambda: round(ref + rng.randint(-4, 4) * step, 2)  # noqa: E731
            limit = stop = None
            if kind == "limit":
                limit = off()
            elif kind == "stop":
                stop = round(ref + sign * rng.randint(0, 4) * step, 2)
            elif kind == "stop_limit":
                stop = round(ref + sign * rng.randint(0, 4) * step, 2)
                limit = round(stop + sign * rng.randint(-2, 3) * step, 2)
            if rng.random() < 0.04 and limit is not None:
                limit = limit + step / 3  # off the ladder
            qty = rng.choice([1, 1, 1, 2, 3, 5]) if rng.random() > 0.03 else rng.choice([0, -1])
            tif = rng.choice(["ROD", "ROD", "IOC", "FOK", "GTC"])
            fn = ctx.buy if side == "Buy" else ctx.sell
            self.note(ctx, where, "order", fn(code, qty, limit=limit, stop=stop, tif=tif))

    def on_bar(self, ctx, bar):
        self.prices[bar.code] = bar.close
        rng = self._rng(ctx, "bar", bar.code, bar.unit, bar.freq, bar.dt)
        # now and then the last completed bars, which must end with this one
        tail = ctx.bars(bar.code, bar.unit, bar.freq, n=2).rows() if rng.random() < 0.2 else None
        self.note(ctx, "bar", bar.code, bar.unit, bar.freq, bar.dt, bar.open, bar.high, bar.low, bar.close,
                  bar.volume, tail)
        if bar.volume or rng.random() < 0.1:  # the many bars of empty minutes less often
            self.act(ctx, rng, "bar")

    def on_tick(self, ctx, tick):
        self.prices[tick.code] = tick.close
        self.note(ctx, "tick", tick.code, tick.timestamp, tick.close, tick.qty, tick.is_simulate)
        self.act(ctx, self._rng(ctx, "tick", tick.code, tick.close, tick.qty), "tick")

    def on_fill(self, ctx, fill):
        self.prices[fill.code] = fill.tick_price
        self.note(ctx, "fill", fill.order_id, fill.qty, fill.price)
        self.act(ctx, self._rng(ctx, "fill", fill.id), "fill")

    def on_order(self, ctx, order):
        self.note(ctx, "order", order.id, order.status)
        if order.status != "accepted" and self._rng(ctx, "react", order.id).random() < 0.3:
            self.act(ctx, self._rng(ctx, "notice", order.id, order.status), "notice")

    def on_session_end(self, ctx):
        self.note(ctx, "session", ctx.session.market_type, ctx.session.end)
        self.act(ctx, self._rng(ctx, "session", ctx.session.market_type), "session")

    def on_roll(self, ctx, code, old, new):
        self.note(ctx, "roll", code, old, new, ctx.contract(code), [o.id for o in ctx.open_orders(code)])
        self.act(ctx, self._rng(ctx, "roll", code), "roll")

    def on_stop(self, ctx):
        self.note(ctx, "stop")


# ------------------------------------------------------------- comparison
def _same_frames(a: pl.DataFrame, b: pl.DataFrame, what: str) -> None:
    from polars.testing import assert_frame_equal

    try:
        assert_frame_equal(a, b, check_exact=False, rel_tol=1e-9, abs_tol=1e-6, check_dtypes=False)
    except AssertionError as exc:
        raise AssertionError(f"{what}: {exc}") from None


def _close(a, b) -> bool:
    if isinstance(a, float) or isinstance(b, float):
        return (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b)) or \
            math.isclose(float(a), float(b), rel_tol=1e-9, abs_tol=1e-6)
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(_close(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return isinstance(b, (list, tuple)) and len(a) == len(b) and all(_close(x, y) for x, y in zip(a, b))
    return a == b


def compare(seed: int) -> None:
    rng = np.random.default_rng(seed)
    ticks = random_ticks(rng)
    options = {
        "costs": str(rng.choice(["exchange", "account"])),
        "partial_fills": bool(rng.random() < 0.4),
        "latency_ticks": int(rng.choice([0, 0, 0, 1, 3])),
        "latency_ms": float(rng.choice([0.0, 0.0, 0.0, 500.0, 60_000.0])),
        "flatten_minutes": [None, None, None, 5.0, 30.0][int(rng.integers(0, 5))],
        "check_capital": bool(rng.random() < 0.3),
        "capital": int(rng.choice([50_000_000, 5_000_000, 5_000_000, 300_000])),
        "roll": str(rng.choice(["carry", "flatten"])),
    }
    params = {"seed": seed, "rate": float(rng.choice([0.05, 0.15, 0.3]))}
    res = run(RandomTrader, ticks, params=params, **options)
    engine_log = RandomTrader.last.log
    ref = ref_run(RandomTrader, ticks, params=params, **options)
    ref_log = RandomTrader.last.log
    where = f"seed {seed} {options}"
    for k, (x, y) in enumerate(zip(engine_log, ref_log)):
        assert _close(x, y), f"{where}: the strategies' views part at event {k}:\n engine {x}\n ref    {y}"
    assert len(engine_log) == len(ref_log), where
    _same_frames(res.orders.drop("reason"), ref.orders, f"orders, {where}")
    _same_frames(res.fills, ref.fills, f"fills, {where}")
    assert _close(res.account._profit_report["rows"], ref.trades), f"profit rows, {where}"
    assert _close(res.account._profit_report["profit"], ref.account._profit_report["profit"]), where
    assert _close(res.account.current_capital, ref.account.current_capital), where
    assert _close(res.account._account_infos, ref.account._account_infos), f"account figures, {where}"
    assert _close(res.account.trade_records, ref.account.trade_records), f"trade records, {where}"
    _same_frames(res.equity, ref.equity, f"equity, {where}")


def test_engine_matches_the_reference_loop():
    only = os.environ.get("ENGINE_DIFF_SEED")
    seeds = [int(only)] if only else range(CASES)
    for seed in seeds:
        compare(seed)


@settings(max_examples=300, deadline=None)
@given(st.datetimes(min_value=datetime(1990, 1, 1), max_value=datetime(2040, 1, 1)),
       st.sampled_from(["m", "h", "d", "w", "mo", "q", "y"]), st.integers(1, 60))
def test_bucket_matches_the_store_truncation(dt, unit, freq):
    assert bucket(dt, unit, freq) == pl.Series([dt]).dt.truncate(f"{freq}{unit}").item()


@pytest.mark.parametrize("seed", range(3))
def test_reference_bars_are_the_store_bars(seed):
    """The reference's own aggregation of the store's records gives the store's K-bars."""
    ticks = random_ticks(np.random.default_rng(1000 + seed))

    class Subscriber(Strategy):
        def on_start(self, ctx):
            for code in ctx.codes:
                for unit, freq in UNITS:
                    ctx.subscribe(code, unit, freq)

    ref = ref_run(Subscriber, ticks)
    for code in ticks["code"].unique().to_list():
        store = QuoteManager()
        for row in ticks.sort("timestamp", maintain_order=True).filter(pl.col("code") == code).iter_rows(named=True):
            store.add_tick(row)
        for unit, freq in set(UNITS):
            bars = ref.bars[(code, unit, freq)]
            mine = pl.DataFrame({"dt": [b.dt for b in bars], "Open": [b.open for b in bars],
                                 "High": [b.high for b in bars], "Low": [b.low for b in bars],
                                 "Close": [b.close for b in bars], "Volume": [b.volume for b in bars]})
            theirs = store.get_kbar(code, unit, freq).select("dt", "Open", "High", "Low", "Close", "Volume")
            _same_frames(mine, theirs, f"{code} {freq}{unit} bars")

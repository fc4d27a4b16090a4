"""Futures across expiries: roll fills, cancelled orders, on_roll, back-adjusted bars."""
from __future__ import annotations

import polars as pl
import pytest

from kelvo_orra_backtest.engine import Strategy, run
from test_engine import T

OLD, NEW = "202606", "202607"
# The June contract's last day is Wednesday 17 June 2026 (its day session ends at 13:30); the
# night session that evening is July's.  The first July tick is a trial match.
ROLL_TICKS = [
    ("2026-06-17 09:00:00", 17000, OLD), ("2026-06-17 09:00:01", 17010, OLD),
    ("2026-06-17 10:00:00", 17050, OLD), ("2026-06-17 13:29:59", 17100, OLD),
    ("2026-06-17 15:00:00", 17160, NEW, True), ("2026-06-17 15:00:01", 17150, NEW),
    ("2026-06-17 15:05:00", 17170, NEW), ("2026-06-18 09:00:00", 17200, NEW),
]


def roll_tape(rows=ROLL_TICKS, code="TXF") -> pl.DataFrame:
    out = [(T(when), code, "Future", float(price), 1, 1, bool(sim[0]) if sim else False, contract)
           for when, price, contract, *sim in rows]
    return pl.DataFrame(out, orient="row", schema={
        "timestamp": pl.Float64, "code": pl.String, "market_type": pl.String, "close": pl.Float64,
        "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean, "contract": pl.String})


class Hold(Strategy):
    """Buys `qty` TXF at the first tick (or rests a limit far away), logs every hook."""

    qty: int = 1
    limit: float = 0.0
    adjust: str = "none"
    last = None

    def on_start(self, ctx):
        type(self).last = self
        self.log = []
        self.bars_seen = []
        ctx.subscribe_ticks("TXF")
        ctx.subscribe("TXF", "m", 1, adjust=self.adjust)
        self.done = False

    def on_tick(self, ctx, tick):
        self.log.append(("tick", tick.close, ctx.contract("TXF")))
        if not self.done:
            self.done = True
            if self.limit:
                ctx.buy("TXF", self.qty, limit=self.limit, tif="GTC")
            else:
                ctx.buy("TXF", self.qty)

    def on_bar(self, ctx, bar):
        if bar.dt.month == 6:  # the history of the days around the June roll
            self.bars_seen.append((bar.dt, bar.open, bar.close,
                                   ctx.bars("TXF", adjust=self.adjust)["Close"].to_list()))

    def on_order(self, ctx, order):
        self.log.append(("order", order.id, order.status, order.tag, order.contract, ctx.timestamp))

    def on_fill(self, ctx, fill):
        self.log.append(("fill", fill.order_id, fill.tick_price, fill.tag, fill.contract))

    def on_roll(self, ctx, code, old, new):
        self.log.append(("roll", code, old, new, ctx.position(code), [o.tag for o in ctx.open_orders(code)],
                         ctx.contract(code)))


def go(roll="carry", ticks=None, **params):
    result = run(Hold, roll_tape() if ticks is None else ticks, params=params, roll=roll, costs="exchange",
                 slippage_ticks=0)
    return result, Hold.last


@pytest.mark.parametrize("roll, fills, end", [
    ("carry", [(17010.0, "", OLD), (17100.0, "roll", OLD), (17150.0, "roll", NEW)], 1),
    ("flatten", [(17010.0, "", OLD), (17100.0, "roll", OLD)], 0),
])
def test_a_held_position_rolls_at_the_old_last_and_the_new_first_eligible_price(roll, fills, end):
    result, s = go(roll)
    got = result.fills.select("tick_price", "tag", "contract").rows()
    assert got == fills
    assert result.positions["qty"].to_list() == ([end] if end else [])
    # the closed trade is the June one: 90 points, the spread to July is not in it
    trade = result.trades.row(0, named=True)
    assert trade["contract"] == OLD and result.trades.height == 1
    costs = result.fills.head(2).select(pl.col("fee") + pl.col("tax")).sum().item()
    assert trade["profit"] == pytest.approx(90 * 200 - costs)
    roll_row = result.rolls.row(0, named=True)
    assert (roll_row["old"], roll_row["new"], roll_row["qty"], roll_row["close_price"]) == (OLD, NEW, 1, 17100.0)
    assert roll_row["open_price"] == (17150.0 if roll == "carry" else None)
    assert result.orders.filter(pl.col("tag") == "roll")["contract"].to_list() == [OLD, NEW][:len(fills) - 1]
    if roll == "carry":
        # valued at the July price it was reopened at: 50 points more, not 100
        assert result.positions["unrealised"].item() == pytest.approx(50 * 200)
    assert "rolls" in dict(result.summary()) and "202606->202607" in repr(result)


def test_on_roll_comes_before_the_new_contract_first_tick_and_resting_orders_are_cancelled():
    result, s = go(limit=16000.0)
    log = s.log
    k = next(n for n, e in enumerate(log) if e[0] == "roll")
    assert log[k] == ("roll", "TXF", OLD, NEW, 0, [], NEW)  # nothing held, nothing to reopen
    assert [e[1] for e in log[:k] if e[0] == "tick"] == [17000, 17010, 17050, 17100]
    assert [e[1:3] for e in log[k + 1:] if e[0] == "tick"][0] == (17160, NEW)
    cancelled = [e for e in log if e[0] == "order" and e[2] == "cancelled"]
    assert cancelled == [("order", 1, "cancelled", "", OLD, T("2026-06-17 13:29:59"))]
    assert "rolled" in result.orders["reason"][0]
    assert result.rolls["qty"].to_list() == [0] and result.fills.height == 0


def test_carry_reopening_order_is_placed_before_on_roll():
    _, s = go()
    roll = next(e for e in s.log if e[0] == "roll")
    assert roll[4:6] == (0, ["roll"])  # closed, the reopening order rests until the first July tick
    assert [e for e in s.log if e[0] == "fill"][-1] == ("fill", 3, 17150.0, "roll", NEW)


@pytest.mark.parametrize("adjust, level", [("none", lambda p: p), ("difference", lambda p: p + 60),
                                           ("ratio", lambda p: round(p * 17160 / 17100, 8))])
def test_back_adjusted_bars_have_no_jump_and_no_look_ahead(adjust, level):
    _, s = go(adjust=adjust)
    seen = {dt.strftime("%d %H:%M"): (close, hist) for dt, _, close, hist in s.bars_seen}
    # bars that closed before July traded are June's own prices
    assert seen["17 09:00"][0] == 17010.0 and seen["17 10:00"][1][-1] == 17050.0
    # July's first tick closes June's last bar: from then on June is restated, July is as traded
    assert seen["17 13:29"][0] == pytest.approx(level(17100))
    history = seen["17 15:00"][1]
    assert history[-1] == 17150.0 and history[0] == pytest.approx(level(17010))
    if adjust != "none":
        assert level(17100) == pytest.approx(17160.0)  # no jump: June's last close is July's first price


def test_two_rolls_and_codes_without_contracts():
    rows = ROLL_TICKS + [("2026-07-15 13:29:00", 17300, NEW), ("2026-07-15 15:00:00", 17380, "202608"),
                         ("2026-07-16 09:00:00", 17400, "202608")]
    ticks = pl.concat([roll_tape(rows),
                       roll_tape([("2026-06-17 09:30:00", 600, None), ("2026-07-16 09:30:00", 610, None)],
                                 code="2330").with_columns(pl.lit("Stock").alias("market_type"))])
    result, _ = go(ticks=ticks)
    assert result.rolls.select("old", "new").rows() == [(OLD, NEW), (NEW, "202608")]
    assert result.fills.filter(pl.col("tag") == "roll")["tick_price"].to_list() == [17100.0, 17150.0, 17300.0,
                                                                                      17380.0]
    assert result.trades["contract"].to_list() == [OLD, NEW]
    assert result.trades.select("entry_price", "exit_price").rows() == [(17010.0, 17100.0), (17150.0, 17300.0)]


@pytest.mark.parametrize("call, error", [
    (lambda: run(Hold, roll_tape(), roll="keep"), "roll must be"),
    (lambda: run(Hold, roll_tape(), params={"adjust": "back"}), "adjust must be one of"),
])
def test_bad_roll_options(call, error):
    with pytest.raises(Exception, match=error):
        call()


def test_ticks_without_contracts_have_no_rolls():
    ticks = roll_tape().drop("contract")
    result, s = go(ticks=ticks)
    assert result.rolls.height == 0 and result.fills["contract"].null_count() == result.fills.height
    assert not any(e[0] == "roll" for e in s.log)
    # the price jump is booked as a move of the one contract
    assert result.positions["unrealised"].item() == pytest.approx((17200 - 17010) * 200)


def test_the_report_lists_the_rolls_and_each_trade_contract(tmp_path):
    result, _ = go()
    written = {p.name for p in result.report(tmp_path)}
    assert {"rolls.csv", "trades.csv"} <= written
    assert pl.read_csv(tmp_path / "rolls.csv", schema_overrides={"old": pl.String, "new": pl.String}).select(
        "old", "new").rows() == [(OLD, NEW)]
    assert pl.read_csv(tmp_path / "trades.csv", schema_overrides={"contract": pl.String})["contract"].to_list() == [OLD]

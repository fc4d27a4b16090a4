"""The engine's rules of docs/engine.md, each on a small hand-made tape."""
from __future__ import annotations

import re
from datetime import datetime
from pathlib import Path

import polars as pl
import pytest

from kelvo_orra_backtest.engine import STAT_KEYS, ParamError, Strategy, StrategyError, run


def T(text: str) -> float:
    return datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f" if "." in text else "%Y-%m-%d %H:%M:%S").timestamp()


def tape(*rows) -> pl.DataFrame:
    """Ticks from (time, price[, qty[, trial-match[, code]]]) rows; codes 2330 (stock) and TXF (futures)."""
    out = []
    for row in rows:
        when, price, qty, sim, code = (tuple(row) + (1, False, "2330")[len(row) - 2:])[:5]
        market = "Future" if code in ("TXF", "MXF") else "Stock"
        out.append((T(when), code, market, float(price), qty, 1, sim))
    return pl.DataFrame(out, orient="row", schema={
        "timestamp": pl.Float64, "code": pl.String, "market_type": pl.String, "close": pl.Float64,
        "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean})


class Script(Strategy):
    """Runs `actions[hook](self, ctx, arg)`; `at_tick[k]` at the k-th tick (0-based); logs every event."""

    actions = {}  # not annotated: no parameters
    at_tick = {}
    subs = ()
    last = None

    def on_start(self, ctx):
        type(self).last = self
        self.events, self.k = [], 0
        for code in ctx.codes:
            ctx.subscribe_ticks(code)
        for sub in self.subs:
            ctx.subscribe(*sub)
        self._do("start", ctx, None)

    def _do(self, hook, ctx, arg):
        fn = self.actions.get(hook)
        if fn:
            fn(self, ctx, arg)

    def on_tick(self, ctx, tick):
        self.events.append(("tick", tick.timestamp, ctx.timestamp))
        fn = self.at_tick.get(self.k)
        self.k += 1
        if fn:
            fn(self, ctx, tick)
        self._do("tick", ctx, tick)

    def on_bar(self, ctx, bar):
        self.events.append(("bar", bar.dt, bar.close, ctx.now, ctx.bars(bar.code, bar.unit, bar.freq)["dt"].to_list()))
        self._do("bar", ctx, bar)

    def on_fill(self, ctx, fill):
        self.events.append(("fill", fill.order_id, fill.qty, fill.price, ctx.now))
        self._do("fill", ctx, fill)

    def on_order(self, ctx, order):
        self.events.append(("order", order.id, order.status, ctx.now))
        self._do("order", ctx, order)

    def on_session_end(self, ctx):
        self.events.append(("session", ctx.session.market_type, ctx.session.end_dt))
        self._do("session", ctx, None)


def go(ticks, at_tick=None, actions=None, subs=(), **options):
    cls = type("S", (Script,), {"at_tick": at_tick or {}, "actions": actions or {}, "subs": subs})
    options.setdefault("costs", "account")
    result = run(cls, ticks, **options)
    return result, cls.last


def fills_of(result):
    return [(r["order_id"], r["qty"], r["price"], r["time"]) for r in result.fills.iter_rows(named=True)]


def status(result, oid=1):
    return result.orders.filter(pl.col("id") == oid)["status"].item()


D = "2024-03-05 "  # a Tuesday
STEADY = [D + "09:00:00", D + "09:00:01", D + "09:00:02", D + "09:00:03"]


# ------------------------------------------------------------- fill rules
@pytest.mark.parametrize("side, limit, stop, prices, at, price", [
    ("Buy", None, None, [600, 601, 602], 1, 601),  # market: the next tick, at its price
    ("Buy", 600, None, [601, 602, 598, 597], 2, 598),  # buy limit gapped through: the gap price
    ("Buy", 600, None, [601, 602, 600, 597], 2, 600),  # buy limit at the price
    ("Sell", 600, None, [599, 598, 603, 601], 2, 603),  # sell limit gapped through
    ("Buy", None, 602, [600, 601, 604, 605], 2, 604),  # buy stop: triggers through, fills at the tick
    ("Sell", None, 598, [600, 599, 596, 590], 2, 596),  # sell stop
    ("Buy", 605, 602, [600, 601, 604, 603], 2, 604),  # stop-limit: the trigger tick reaches the limit
    ("Buy", 602, 602, [600, 601, 604, 602], 3, 602),  # stop-limit: triggered at 604, rests, fills at 602
    ("Sell", 597, 598, [600, 599, 596, 599], 3, 599),  # sell stop-limit resting after its trigger
])
def test_fill_rules(side, limit, stop, prices, at, price):
    ticks = tape(*zip(STEADY, prices))
    place = (lambda s, ctx, t: ctx.buy("2330", 1, limit=limit, stop=stop)) if side == "Buy" else \
        (lambda s, ctx, t: ctx.sell("2330", 1, limit=limit, stop=stop))
    result, _ = go(ticks, at_tick={0: place})
    assert fills_of(result) == [(1, 1, float(price), datetime.fromtimestamp(T(STEADY[at])))]


def test_no_order_fills_on_the_tick_or_bar_close_that_produced_it():
    # two ticks at one instant: the order of the first may only fill at the second
    ticks = tape((D + "09:00:00", 600), (D + "09:00:30", 601), (D + "09:01:00", 603), (D + "09:01:00", 604),
                 (D + "09:02:05", 605))
    result, s = go(ticks, subs=[("2330", "m", 1)], actions={
        "bar": lambda s, ctx, bar: ctx.buy("2330", 1) if bar.dt.minute == 0 else None})
    # the 09:00 bar closes at the 09:01:00 tick (603): the order fills at the next one (604)
    assert fills_of(result) == [(1, 1, 604.0, datetime.fromtimestamp(T(D + "09:01:00")))]
    result, _ = go(ticks, at_tick={2: lambda s, ctx, t: ctx.buy("2330", 1, limit=604)})
    assert fills_of(result)[0][2] == 604.0 and fills_of(result)[0][3] == datetime.fromtimestamp(T(D + "09:01:00"))


@pytest.mark.parametrize("partial, fills", [
    (False, [(1, 2, 600.0), (2, 2, 600.0), (3, 2, 600.0)]),  # whole orders at one tick, in id order
    # the tick's 3 shared in id order; the 0-quantity tick fills nothing; the rest at the next tick
    (True, [(1, 2, 600.0), (2, 1, 600.0), (2, 1, 601.0), (3, 2, 601.0)]),
])
def test_same_tick_priority_by_order_id_and_partial_fills(partial, fills):
    ticks = tape((D + "09:00:00", 601, 1), (D + "09:00:01", 600, 3), (D + "09:00:02", 601, 0),
                 (D + "09:00:03", 601, 5))

    def place(s, ctx, t):
        ctx.buy("2330", 2, limit=600)
        ctx.buy("2330", 2, limit=601)
        ctx.buy("2330", 2)

    result, _ = go(ticks, at_tick={0: place}, partial_fills=partial)
    assert [f[:3] for f in fills_of(result)] == fills


@pytest.mark.parametrize("tif, limit, partial, qty, filled, state", [
    ("IOC", 599, False, 2, 0, "cancelled"),  # the first eligible tick does not reach the limit
    ("IOC", 601, False, 2, 2, "filled"),
    ("IOC", None, True, 5, 3, "cancelled"),  # fills the tick's 3, the rest cancelled
    ("FOK", None, True, 5, 0, "cancelled"),  # the tick's 3 is too small
    ("FOK", None, True, 3, 3, "filled"),
    ("FOK", 599, False, 1, 0, "cancelled"),
])
def test_ioc_and_fok_decide_at_the_first_eligible_tick(tif, limit, partial, qty, filled, state):
    ticks = tape((D + "09:00:00", 600), (D + "09:00:01", 600, 3), (D + "09:00:02", 598, 9))
    result, s = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("2330", qty, limit=limit, tif=tif)},
                   partial_fills=partial)
    row = result.orders.row(0, named=True)
    assert (row["filled"], row["status"]) == (filled, state)
    # the cancel is told at that tick, before the tick's own on_tick
    if state == "cancelled":
        k = s.events.index(("order", 1, "cancelled", datetime.fromtimestamp(T(D + "09:00:01"))))
        assert s.events[k + 1][0] == "tick" and s.events[k + 1][1] == T(D + "09:00:01")


def test_stop_ioc_applies_at_the_trigger_tick():
    ticks = tape((D + "09:00:00", 600), (D + "09:00:01", 601), (D + "09:00:02", 603, 1), (D + "09:00:03", 603, 9))
    result, _ = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("2330", 4, stop=602, tif="IOC")},
                   partial_fills=True)
    assert fills_of(result) == [(1, 1, 603.0, datetime.fromtimestamp(T(D + "09:00:02")))]
    assert status(result) == "cancelled"


# ---------------------------------------------------------- time in force
@pytest.mark.parametrize("code, placed, after, end", [
    ("TXF", D + "13:40:00", "2024-03-05 15:00:01", "2024-03-05 13:45:00"),  # the day session
    ("TXF", "2024-03-06 04:50:00", "2024-03-06 08:45:01", "2024-03-06 05:00:00"),  # the night session
    ("2330", D + "13:20:00", "2024-03-06 09:00:01", "2024-03-05 13:30:00"),  # stocks
])
@pytest.mark.parametrize("tif", ["ROD", "GTC"])
def test_rod_expires_at_its_session_end_and_gtc_survives(code, placed, after, end, tif):
    price = 20000 if code == "TXF" else 600
    ticks = tape((placed, price, 1, False, code), (after, price - 50, 1, False, code))
    result, s = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy(code, 1, limit=price - 10, tif=tif)})
    if tif == "ROD":
        assert result.fills.height == 0 and status(result) == "expired"
        assert ("order", 1, "expired", datetime.strptime(end, "%Y-%m-%d %H:%M:%S")) in s.events
    else:
        assert fills_of(result)[0][2] == price - 50 and status(result) == "filled"


@pytest.mark.parametrize("last, fills", [("13:45:00", 1), ("13:45:00.5", 0), ("13:46:00", 0)])
def test_rod_fills_in_the_closing_auction_and_never_after(last, fills):
    # the tick stamped at 13:45:00 is the session's closing auction; later ones belong to no session
    ticks = tape((D + "13:44:00", 20000, 1, False, "TXF"), (D + last, 19900, 1, False, "TXF"))
    result, _ = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("TXF", 1, limit=19990)})
    assert result.fills.height == fills and status(result) == ("filled" if fills else "expired")


def test_rod_placed_after_the_week_last_session_is_good_for_the_next_one():
    # placed as Friday's night session ends (Saturday 05:00): good for Monday's day session
    ticks = tape(("2024-03-08 15:00:00", 20000, 1, False, "TXF"), ("2024-03-09 04:59:00", 20000, 1, False, "TXF"),
                 ("2024-03-11 08:45:01", 19900, 1, False, "TXF"))
    once = lambda s, ctx, a: ctx.buy("TXF", 1, limit=19990) if ctx.session.end_dt.day == 9 else None  # noqa: E731
    result, _ = go(ticks, actions={"session": once})
    assert fills_of(result) == [(1, 1, 19900.0, datetime.fromtimestamp(T("2024-03-11 08:45:01")))]


# ------------------------------------------------------- eligibility, latency
@pytest.mark.parametrize("options, at", [
    ({"latency_ticks": 2}, 3),
    ({"latency_ms": 1500.0}, 2),  # 09:00:01 is within 1.5 s of the placing tick, 09:00:02 is not
    ({"latency_ms": 1500.0, "latency_ticks": 1}, 3),
])
def test_latency(options, at):
    ticks = tape(*zip(STEADY + [D + "09:00:04"], [600, 601, 602, 603, 604]))
    result, _ = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("2330", 1)}, **options)
    assert fills_of(result)[0][2] == 600.0 + at


def test_trial_match_ticks_never_fill_nor_trigger():
    ticks = tape((D + "08:59:00", 600, 1, True), (D + "09:00:00", 600), (D + "09:00:01", 610, 5, True),
                 (D + "09:00:02", 601), (D + "09:00:03", 611, 5, True), (D + "09:00:04", 603))

    def place(s, ctx, t):
        ctx.buy("2330", 1)
        ctx.buy("2330", 1, stop=605)

    result, s = go(ticks, at_tick={1: place})
    assert fills_of(result) == [(1, 1, 601.0, datetime.fromtimestamp(T(D + "09:00:02")))]
    assert status(result, 2) == "expired"
    # trial-match ticks still reach on_tick
    assert [e[1] for e in s.events if e[0] == "tick"][2] == T(D + "09:00:01")


# ------------------------------------------------------------------- bars
def test_bars_close_at_the_first_later_tick_virtual_minutes_included():
    ticks = tape((D + "09:00:10", 600), (D + "09:00:50", 601), (D + "09:03:10", 602), (D + "09:03:20", 603))
    _, s = go(ticks, subs=[("2330", "m", 1)])
    bars = [e for e in s.events if e[0] == "bar"]
    at = datetime.fromtimestamp(T(D + "09:03:10"))
    end = datetime.fromtimestamp(T(D + "09:03:20"))
    assert [(b[1].minute, b[2], b[3]) for b in bars] == [(0, 601.0, at), (1, 601.0, at), (2, 601.0, at),
                                                         (3, 603.0, end)]
    # the completed bars shown in on_bar end with the bar itself: the forming bar is never visible
    assert all(b[4][-1] == b[1] for b in bars)
    # on_bar of the closing tick comes before that tick's on_tick
    k = s.events.index(bars[0])
    assert s.events[k - 1][:2] == ("tick", T(D + "09:00:50")) and s.events[k + 3][:2] == ("tick", T(D + "09:03:10"))


def test_hooks_see_the_current_tick_time():
    ticks = tape(*zip(STEADY, [600, 601, 602, 603]))
    _, s = go(ticks)
    assert all(e[1] == e[2] for e in s.events if e[0] == "tick")


# ------------------------------------------------------------ rejections
@pytest.mark.parametrize("args, kwargs", [
    (("2330", 0), {}), (("2330", -1), {}), (("2317", 1), {}), (("2330", 1), {"limit": 600.5}),
    (("2330", 1), {"stop": 600.3}), (("2330", 100), {"limit": 600}),
])
def test_rejections_change_nothing(args, kwargs):
    ticks = tape(*zip(STEADY, [600, 600, 600, 600]))
    result, s = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy(*args, **kwargs)}, check_capital=True)
    assert status(result) == "rejected" and result.orders["reason"].item()
    assert ("order", 1, "rejected", datetime.fromtimestamp(T(STEADY[0]))) in s.events
    assert result.account.trade_records == [] and result.fills.height == 0
    assert result.account.current_capital == 5_000_000


def test_check_capital_prices_a_timer_order_at_the_last_known_tick():
    # placed when the day session ends: the next session's first tick (far higher) is not known yet
    ticks = tape((D + "13:44:00", 100, 1, False, "TXF"), (D + "15:00:01", 1000, 1, False, "TXF"))
    once = lambda s, ctx, a: ctx.buy("TXF", 200) if ctx.session.end_dt.hour == 13 else None  # noqa: E731
    result, _ = go(ticks, actions={"session": once}, check_capital=True)
    assert status(result) == "filled"
    assert result.account.trade_records[0]["price"] == 100.0


@pytest.mark.parametrize("kwargs, error", [
    ({"tif": "DAY"}, ValueError), ({"limit": "600"}, TypeError), ({"qty": 1.0}, TypeError),
])
def test_bad_order_arguments_raise_at_the_call(kwargs, error):
    qty = kwargs.pop("qty", 1)
    ticks = tape(*zip(STEADY, [600] * 4))
    with pytest.raises(StrategyError) as info:
        go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("2330", qty, **kwargs)})
    assert isinstance(info.value.__cause__, error)


# -------------------------------------------------------------- bad input
class WithParams(Strategy):
    fast: int = 5
    ratio: float = 0.5


@pytest.mark.parametrize("params, name", [({"fast": "7"}, "fast"), ({"fast": 2.5}, "fast"),
                                          ({"ratio": "x"}, "ratio"), ({"slow": 3}, "slow"),
                                          ({"fast": True}, "fast")])
def test_param_errors_name_the_parameter(params, name):
    with pytest.raises(ParamError, match=f"'{name}'"):
        run(WithParams, tape(*zip(STEADY, [600] * 4)), params=params)


def test_a_raising_hook_stops_the_run_with_time_and_code():
    def boom(s, ctx, t):
        raise ZeroDivisionError("inside")

    with pytest.raises(StrategyError, match=r"on_tick raised ZeroDivisionError: inside \(at 2024-03-05 09:00:01 on 2330\)") \
            as info:
        go(tape(*zip(STEADY, [600] * 4)), at_tick={1: boom})
    assert isinstance(info.value.__cause__, ZeroDivisionError)


def test_run_takes_a_float_capital():
    result, _ = go(tape(*zip(STEADY, [600] * 4)), capital=1_000_000.0)
    assert result.stats["lowest_cash"] == 1_000_000.0


# ------------------------------------------------------------------ costs
@pytest.mark.parametrize("costs, entry, exit, fees, tax, net", [
    ("account", 22215.0, 22285.0, 88.86 + 89.14, 89.14, 13732.86),
    ("exchange", 22201.0, 22299.0, 100.0, 88.80 + 89.20, 19322.00),
])
def test_worked_cost_example(costs, entry, exit, fees, tax, net):
    ticks = tape(*[(D + t, p, 1, False, "TXF") for t, p in
                   (("09:00:00", 22100), ("09:00:01", 22200), ("09:00:02", 22300), ("09:00:03", 22300))])
    result, _ = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy("TXF", 1)},
                   actions={"fill": lambda s, ctx, f: ctx.sell("TXF", 1) if f.side == "Buy" else None}, costs=costs)
    assert result.fills["booked_price"].to_list() == [entry, exit]
    assert result.stats["net_profit"] == pytest.approx(net, abs=1e-6)
    assert result.trades["profit"].to_list() == [pytest.approx(net, abs=1e-6)]
    assert result.stats["fees"] == pytest.approx(fees, abs=1e-6)
    assert result.stats["tax"] == pytest.approx(tax, abs=1e-6)
    assert result.account.current_capital == pytest.approx(5_000_000 + net, abs=1e-6)
    assert result.costs == costs


def _readme_cost_columns():
    """The round trips of the README's "Costs as the account books them": one
    dict per column, row label -> the numbers of its cell."""
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = text.split("### Costs as the account books them\n", 1)[1].split("\n### ", 1)[0]
    rows = []
    for line in section.splitlines():
        if line.startswith("|"):
            rows.append([c.strip() for c in line.strip("|").split("|")])
        elif rows:
            break  # the first table only
    header, body = rows[0][1:], rows[2:]

    def numbers(cell):
        return [float(n.replace(",", "")) for n in re.findall(r"\d[\d,]*(?:\.\d+)?", cell)]

    return [(head, {row[0]: numbers(row[1 + i]) for row in body}) for i, head in enumerate(header)]


@pytest.mark.parametrize("head, figures", _readme_cost_columns(), ids=lambda v: v if isinstance(v, str) else "")
def test_readme_cost_table_is_what_the_account_books(head, figures):
    code, costs = head.split(",")[0].split()[0], "exchange" if "exchange" in head else "account"
    buy, sell = figures["traded at"]
    ticks = tape(*[(D + t, p, 1, False, code) for t, p in
                   (("09:00:00", buy), ("09:00:01", buy), ("09:00:02", sell), ("09:00:03", sell))])
    result, _ = go(ticks, at_tick={0: lambda s, ctx, t: ctx.buy(code, 1)},
                   actions={"fill": lambda s, ctx, f: ctx.sell(code, 1) if f.side == "Buy" else None}, costs=costs)
    [trade] = result.trades.iter_rows(named=True)
    booked = {
        "booked at": [trade["entry_price"], trade["exit_price"]],
        "value": [trade["entry_amount"], trade["exit_amount"]],
        "commission": [trade["trade_cost_fee"], trade["cover_cost_fee"]],
        "tax": [trade["trade_cost_tax"], trade["cover_cost_tax"]],
        "net profit": [trade["profit"]],
        "capital while the position is open": [result.stats["lowest_cash"]],
    }
    assert set(figures) == {"traded at", *booked}
    for label, values in booked.items():
        assert figures[label] == pytest.approx(values, abs=0.00501), label  # rounded to the cent
    assert result.fills["booked_price"].to_list() == booked["booked at"]
    assert result.stats["net_profit"] == pytest.approx(trade["profit"])


# ----------------------------------------------------------------- result
def test_stats_keys_and_a_stable_digest():
    ticks = tape(*zip(STEADY, [600, 601, 602, 603]))
    act = {0: lambda s, ctx, t: ctx.buy("2330", 1), 2: lambda s, ctx, t: ctx.sell("2330", 1, limit=602)}
    first, _ = go(ticks, at_tick=act)
    second, _ = go(ticks, at_tick=act)
    assert set(STAT_KEYS) <= set(first.stats) and len(STAT_KEYS) == 19
    assert first.digest == second.digest and first.stats["trades"] == 1
    other, _ = go(ticks, at_tick={0: act[0]})
    assert other.digest != first.digest

"""Buying dips of a stock with limit orders, from every tick.

Keeps the running average price of the session's trades.  When the stock
trades `dip_pct` per cent under that average (and nothing is held or
pending), a buy limit rests `ticks_under` price steps under the last price; it
is cancelled after `stale_seconds` unfilled.  What is bought is offered with
a sell limit `profit_ticks` steps above the fill; an offer the session's end
expired is placed again at the next day's first trade.  Prices are on the
stock exchange's ladder (the step changes at 10, 50, 100, 500 and 1000).

    python -m kelvo_orra_backtest run examples/stock_limits.py:StockLimits --codes 2330
"""
from datetime import datetime

from kelvo_orra_backtest.engine import Strategy
from kelvo_orra_backtest.engine.costs import price_step


def ticks_away(code: str, price: float, n: int) -> float:
    """`price` moved `n` steps of the ladder (down when n < 0), from the step under it."""
    for _ in range(abs(n)):
        if n > 0:
            price += price_step(code, "Stock", price)
        else:
            price -= price_step(code, "Stock", price - 1e-9)
        price = round(price, 2)
    return price


class StockLimits(Strategy):
    code: str = "2330"
    qty: int = 1
    dip_pct: float = 0.3
    ticks_under: int = 2
    profit_ticks: int = 8
    stale_seconds: float = 300.0
    last_entry: str = "13:00"

    def on_start(self, ctx):
        ctx.subscribe_ticks(self.code)
        self.last_entry_time = datetime.strptime(self.last_entry, "%H:%M").time()
        self.day, self.total, self.count = None, 0.0, 0
        self.bid = self.offer = None  # ids of the resting buy and sell
        self.entry = None

    def on_tick(self, ctx, tick):
        if tick.is_simulate:
            return  # trial matching before the closing auction: no trades yet
        if tick.dt.date() != self.day:
            self.day, self.total, self.count = tick.dt.date(), 0.0, 0
        self.total += tick.close
        self.count += 1
        average = self.total / self.count
        held = ctx.position(self.code)
        if held and self.offer is None:
            self.offer = ctx.sell(self.code, held, limit=ticks_away(self.code, self.entry, self.profit_ticks))
        if self.bid is not None and ctx.timestamp - ctx.order(self.bid).placed > self.stale_seconds:
            ctx.cancel(self.bid)
            self.bid = None
        if (not held and self.bid is None and self.count >= 20 and tick.dt.time() < self.last_entry_time
                and tick.close < average * (1 - self.dip_pct / 100)):
            self.bid = ctx.buy(self.code, self.qty, limit=ticks_away(self.code, tick.close, -self.ticks_under))

    def on_fill(self, ctx, fill):
        if fill.order_id == self.bid:
            self.bid, self.entry = None, fill.price
        elif fill.order_id == self.offer and not ctx.position(self.code):
            self.offer = None

    def on_order(self, ctx, order):
        if order.status in ("expired", "cancelled", "rejected"):
            if order.id == self.bid:
                self.bid = None
            elif order.id == self.offer:
                self.offer = None

"""Moving-average crossover on one-minute bars (the demo's strategy).

Goes long when the average of the last `fast` closes rises above the average
of the last `slow` closes; futures also go short on the cross below, stocks
go flat.  Decides on completed bars only; `qty` lots or contracts per
position, market orders.  `codes` (comma-separated) limits the codes traded;
empty, every code of the run is.

    python -m kelvo_orra_backtest run examples/crossover.py:Crossover --codes 2330,TXF
"""
from collections import deque

from kelvo_orra_backtest.engine import Strategy

__all__ = ["Crossover"]


class Crossover(Strategy):
    fast: int = 5
    slow: int = 20
    qty: int = 1
    codes: str = ""

    @classmethod
    def constraint(cls, p):
        return p["fast"] < p["slow"]

    def on_start(self, ctx):
        wanted = [c.strip() for c in self.codes.split(",") if c.strip()] or ctx.codes
        self.closes = {}
        for code in wanted:
            if code in ctx.codes:
                ctx.subscribe(code, "m", 1)
                self.closes[code] = deque(maxlen=self.slow + 1)

    def on_bar(self, ctx, bar):
        closes = self.closes[bar.code]
        closes.append(bar.close)
        if len(closes) <= self.slow:  # more than `slow` completed bars before the first decision
            return
        window = list(closes)[1:]
        fast = sum(window[-self.fast:]) / self.fast
        slow = sum(window) / self.slow
        if fast > slow:
            target = 1
        elif fast < slow:
            target = -1 if ctx.market_type(bar.code) == "Future" else 0
        else:
            return
        # the order that moves what is held and pending to the target (an order
        # that expired unfilled is sent again at the next decision)
        held = ctx.position(bar.code) + sum(o.remaining if o.side == "Buy" else -o.remaining
                                            for o in ctx.open_orders(bar.code))
        diff = target * self.qty - held
        if diff:
            (ctx.buy if diff > 0 else ctx.sell)(bar.code, abs(diff))

"""Moving-average crossover on one-minute bars (the demo's strategy).

Goes long when the average of the last `fast` closes rises above the average
of the last `slow` closes; futures also go short on the cross below, stocks
go flat.  Decides on completed bars only; orders are market orders.

    python -m kelvo_orra_backtest run examples/crossover.py:Crossover --codes 2330,TXF
"""
from collections import deque

from kelvo_orra_backtest.engine import Strategy


class Crossover(Strategy):
    fast: int = 5
    slow: int = 20
    qty: int = 1
    codes: str = "2330,TXF"

    @classmethod
    def constraint(cls, p):
        return p["fast"] < p["slow"]

    def on_start(self, ctx):
        self.closes = {}
        self.target = {}
        for code in self.codes.split(","):
            if code in ctx.codes:
                ctx.subscribe(code, "m", 1)
                self.closes[code] = deque(maxlen=self.slow + 1)
                self.target[code] = 0

    def on_bar(self, ctx, bar):
        closes = self.closes[bar.code]
        closes.append(bar.close)
        if len(closes) <= self.slow:
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
        if target != self.target[bar.code]:
            diff = (target - self.target[bar.code]) * self.qty
            (ctx.buy if diff > 0 else ctx.sell)(bar.code, abs(diff))
            self.target[bar.code] = target

    def on_stop(self, ctx):
        pass

"""Moving-average crossover on one-minute bars (the demo's strategy).

Goes long when the average of the last `fast` closes rises above the average
of the last `slow` closes; futures also go short on the cross below, stocks
go flat.  Decides on completed bars only, once more than `slow` of them have
closed; orders are market orders.

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
        self.closes, self.seen, self.target, self.future = {}, {}, {}, {}
        for code in self.codes.split(","):
            if code in ctx.codes:
                ctx.subscribe(code, "m", 1)
                self.closes[code] = deque(maxlen=self.slow)
                self.seen[code] = self.target[code] = 0
                self.future[code] = ctx.market_type(code) == "Future"

    def on_bar(self, ctx, bar):
        code = bar.code
        closes = self.closes[code]
        closes.append(bar.close)
        self.seen[code] += 1
        if self.seen[code] <= self.slow:
            return
        window = list(closes)
        fast = sum(window[-self.fast:]) / self.fast
        slow = sum(window) / self.slow
        if fast > slow:
            target = 1
        elif fast < slow:
            target = -1 if self.future[code] else 0
        else:
            return
        if target != self.target[code]:
            diff = (target - self.target[code]) * self.qty
            (ctx.buy if diff > 0 else ctx.sell)(code, abs(diff))
            self.target[code] = target

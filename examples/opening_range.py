"""Opening-range breakout on 5-minute bars of TXF's day session, with a stop-loss.

The first `range_bars` 5-minute bars of the day session (from 08:45) set the
range.  Then a buy stop rests one point above its high and a sell stop one
point below its low; when one fills, the other is cancelled and a stop-loss
rests `stop_points` away from the fill.  At most one entry a day; whatever is
open is closed with a market order once a bar ends at `flatten_at` or later
(the run's `--flatten-minutes` does the same for any strategy).

    python -m kelvo_orra_backtest run examples/opening_range.py:OpeningRange --codes TXF
"""
from datetime import datetime, time, timedelta

from kelvo_orra_backtest.engine import Strategy

DAY_OPEN, DAY_CLOSE = time(8, 45), time(13, 45)


class OpeningRange(Strategy):
    code: str = "TXF"
    range_bars: int = 3  # 08:45-09:00
    stop_points: int = 40
    qty: int = 1
    flatten_at: str = "13:30"

    def on_start(self, ctx):
        ctx.subscribe(self.code, "m", 5)
        self.exit_time = datetime.strptime(self.flatten_at, "%H:%M").time()
        self.day = None

    def on_bar(self, ctx, bar):
        if not DAY_OPEN <= bar.dt.time() < DAY_CLOSE:
            return  # the night session is not traded
        if bar.dt.date() != self.day:  # a new day session
            self.day, self.seen, self.done = bar.dt.date(), 0, False
            self.high, self.low, self.entries = bar.high, bar.low, ()
        self.seen += 1
        if self.seen <= self.range_bars:
            self.high, self.low = max(self.high, bar.high), min(self.low, bar.low)
            if self.seen == self.range_bars:
                self.entries = (ctx.buy(self.code, self.qty, stop=self.high + 1),
                                ctx.sell(self.code, self.qty, stop=self.low - 1))
            return
        if not self.done and (bar.dt + timedelta(minutes=5)).time() >= self.exit_time:
            self.done = True
            ctx.close(self.code)  # cancels the resting stops, flattens what is held

    def on_fill(self, ctx, fill):
        if fill.order_id not in self.entries:
            return  # the stop-loss or the session's flattening
        for other in self.entries:
            ctx.cancel(other)  # the fill's own order is no longer open: False
        self.entries = ()
        if fill.side == "Buy":
            ctx.sell(self.code, fill.qty, stop=round(fill.price) - self.stop_points)
        else:
            ctx.buy(self.code, fill.qty, stop=round(fill.price) + self.stop_points)

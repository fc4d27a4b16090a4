"""The backtest engine: a user's `Strategy` replayed over ticks by `run`.

    from kelvo_orra_backtest.engine import Strategy, run

    class Cross(Strategy):
        fast: int = 5
        slow: int = 20

        def on_start(self, ctx):
            ctx.subscribe("TXF", "m", 1)

        def on_bar(self, ctx, bar):
            closes = ctx.bars("TXF", n=self.slow)["Close"]
            ...

    result = run(Cross, "ticks.parquet", params={"fast": 10})
    print(result)

The fill rules and the order of events are written down in docs/engine.md.
"""
from kelvo_orra_backtest.engine.core import Context, StrategyError
from kelvo_orra_backtest.engine.orders import Bar, Fill, Order, Tick
from kelvo_orra_backtest.engine.result import STAT_KEYS, Result
from kelvo_orra_backtest.engine.run import load, run
from kelvo_orra_backtest.engine.strategy import Param, ParamError, Strategy
from kelvo_orra_backtest.engine.tape import TickFormatError

__all__ = ["Bar", "Context", "Fill", "Order", "Param", "ParamError", "Result", "STAT_KEYS", "Strategy",
           "StrategyError", "Tick", "TickFormatError", "load", "run"]

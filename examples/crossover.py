"""Moving-average crossover on one-minute bars: the demo's strategy.

The class lives in the package (`kelvo_orra_backtest.examples.crossover`), so
the demo finds it when the package is installed; this file makes it runnable
by path like any strategy file of yours:

    python -m kelvo_orra_backtest run examples/crossover.py:Crossover --codes 2330,TXF --param fast=10
"""
from kelvo_orra_backtest.examples.crossover import Crossover

__all__ = ["Crossover"]

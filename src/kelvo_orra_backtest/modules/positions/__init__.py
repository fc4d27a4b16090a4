"""Market data and the simulated account of the backtest engine.

The native module ``positions`` holds ``QuoteManager`` and ``Positions``.
"""

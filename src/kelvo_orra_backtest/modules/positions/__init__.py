"""Market data and the simulated account of the backtest engine.

The native module ``positions`` holds ``QuoteManager`` and ``Positions``.
"""

from kelvo_orra_backtest.utils import configure_plotting

# The tear sheets' font and warnings, before the native module loads the
# plotting libraries.
configure_plotting()
del configure_plotting

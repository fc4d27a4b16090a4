"""Tick-replay backtesting framework for the Taiwan stock and futures markets."""

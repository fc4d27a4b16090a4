"""`run`: one backtest of a strategy class over ticks."""
from __future__ import annotations

import os
from contextlib import contextmanager
from pathlib import Path

import polars as pl

from kelvo_orra_backtest.engine.core import Engine
from kelvo_orra_backtest.engine.costs import CostProfile
from kelvo_orra_backtest.engine.result import Result
from kelvo_orra_backtest.engine.strategy import Strategy
from kelvo_orra_backtest.engine.tape import Tape

__all__ = ["run", "load"]


class _QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


@contextmanager
def _module_console(verbose: bool):
    """The account prints a line per deal; a run keeps them off the screen unless asked for."""
    from kelvo_orra_backtest.modules.positions import positions as positions_module

    previous = positions_module.console
    if not verbose:
        positions_module.console = _QuietConsole()
    try:
        yield
    finally:
        positions_module.console = previous


def load(ticks, product: str = "TX", contract: str = "front", roll_rule: str | int = "expiry") -> pl.DataFrame:
    """Ticks from a frame, a tick file (CSV, Parquet) or the futures exchange's daily files."""
    if isinstance(ticks, pl.DataFrame):
        return ticks
    from kelvo_orra_backtest.data.tick_files import load_ticks

    if isinstance(ticks, (list, tuple)):
        paths = [Path(os.path.expanduser(p)) for p in ticks]
        return load_ticks(paths[0] if len(paths) == 1 else paths, product, contract, roll_rule)
    return load_ticks(Path(os.path.expanduser(ticks)), product, contract, roll_rule)


def run(strategy_class: type, ticks, *, params: dict | None = None, capital: float = 5_000_000,
        costs: str = "exchange", slippage_ticks: int = 1, commission: dict | None = None,
        partial_fills: bool = False, latency_ticks: int = 0, latency_ms: float = 0.0,
        flatten_minutes: float | None = None, check_capital: bool = False, codes: list[str] | None = None,
        product: str = "TX", contract: str = "front", roll: str = "carry", roll_rule: str | int = "expiry",
        verbose: bool = False, progress=None) -> Result:
    """Backtests `strategy_class` (a `Strategy` subclass) over `ticks`.

    `ticks` is a polars frame in the tick columns (timestamp, code,
    market_type, close, qty, tick_type, is_simulate), a tick file, or the
    futures exchange's daily files (a folder, zips, globs; `product` and
    `contract` choose what is read, `roll_rule` when their front month
    rolls: "expiry", N trading days before it, or "volume").  `codes` keeps only those codes' ticks.
    `costs` is "exchange" (default) or "account" (see `costs`).
    `partial_fills` fills against each tick's quantity; `latency_ticks` and
    `latency_ms` delay the first tick an order may fill at;
    `flatten_minutes` cancels the orders and closes the positions of a market
    that many minutes before each of its sessions ends; `check_capital`
    rejects orders whose opening value exceeds the cash.  When the ticks
    carry a `contract` column (the daily files do), a change of contract is a
    roll: `roll` "carry" (default) closes the position at the old contract's
    last eligible price and reopens it at the new one's first, "flatten"
    only closes it (docs/engine.md).  `progress`, if given, is called with
    the index of the tick reached."""
    from kelvo_orra_backtest.market_zone import use_market_zone
    from kelvo_orra_backtest.modules.positions import positions as positions_module
    from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager

    if not (isinstance(strategy_class, type) and issubclass(strategy_class, Strategy)):
        raise TypeError(f"run: expected a Strategy subclass, got {strategy_class!r}")
    values = strategy_class.resolve(params)
    for name, value in (("latency_ticks", latency_ticks),):
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ValueError(f"run: {name} must be a whole number of 0 or more, got {value!r}")
    if latency_ms < 0 or (flatten_minutes is not None and flatten_minutes <= 0):
        raise ValueError("run: latency_ms must be 0 or more and flatten_minutes above 0")
    if isinstance(capital, bool) or not isinstance(capital, (int, float)) or not 0 < capital < float("inf") \
            or capital != int(capital):
        raise ValueError(f"run: capital must be a whole amount above 0, got {capital!r}")
    if roll not in ("carry", "flatten"):
        raise ValueError(f"run: roll must be 'carry' or 'flatten', got {roll!r}")
    profile = CostProfile(costs, slippage_ticks, commission or {})
    use_market_zone()
    frame = load(ticks, product, contract, roll_rule)
    if codes is not None:
        frame = frame.filter(pl.col("code").is_in(list(codes)))
    tape = Tape(frame)
    account = positions_module.Positions()
    account.set_initial_capital(int(capital))
    profile.install(account)
    probe = ColumnarQuoteManager()
    strategy = strategy_class()
    for name, value in values.items():
        setattr(strategy, name, value)
    engine = Engine(strategy, values, tape, account, profile, partial_fills=partial_fills,
                    latency_ticks=latency_ticks, latency_ms=latency_ms, flatten_minutes=flatten_minutes,
                    check_capital=check_capital, quotes_factory=ColumnarQuoteManager,
                    windows=probe.not_trade_times, holidays=probe.holiday_search_set, progress=progress,
                    roll=roll)
    with _module_console(verbose):
        engine.run()
    return Result(engine, capital=capital, costs=costs, holidays=probe.holiday_search_set,
                  strategy_name=strategy_class.__name__)

"""One set of a sweep, as a task on a worker: `run` of the strategy over the
ticks (of a window of trading days for a walk-forward test), and the reports
of a set run again in full.

The ticks reach a worker once: as a Parquet file that the process reads the
first time a task names it, or as the frame itself (scattered by the client).
A task returns the set's `Result.stats`, its digest and run time, nothing
else.
"""
from __future__ import annotations

import logging
import os
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Mapping

import polars as pl

from kelvo_orra_backtest.engine.loader import StrategySource
from kelvo_orra_backtest.market_zone import use_market_zone
from kelvo_orra_backtest.sweeping import walk_forward

__all__ = ["run_set", "write_report"]

# Tasks in one process share the module's globals (its console, the data
# directory); they take turns, so a worker with several threads stays correct.
_PROCESS_LOCK = threading.Lock()
_LOADED: dict[str, Any] = {}  # the tick file a worker process read last: key and frame
_SLICE: dict[Any, pl.DataFrame] = {}  # the last window of days cut from it


def _ticks_of(ticks: pl.DataFrame | str | os.PathLike) -> pl.DataFrame:
    """The tick frame itself, or the Parquet file's frame, read once per process."""
    if isinstance(ticks, pl.DataFrame):
        return ticks
    path = Path(ticks)
    st = path.stat()
    key = f"{path.resolve()}:{st.st_mtime_ns}:{st.st_size}"
    if _LOADED.get("key") != key:
        _LOADED.clear()
        _SLICE.clear()
        _LOADED.update(key=key, frame=pl.read_parquet(path))
    return _LOADED["frame"]


def _days_of(frame: pl.DataFrame, days: tuple | None) -> pl.DataFrame:
    """The ticks of the trading days `days` (first, last), both included."""
    if days is None:
        return frame
    key = (id(frame), days)
    if key not in _SLICE:
        _SLICE.clear()
        _SLICE[key] = frame.filter(pl.col(walk_forward.DAY_COLUMN).is_between(days[0], days[1]))
    return _SLICE[key]


def _strategy_of(strategy: StrategySource | type) -> type:
    return strategy if isinstance(strategy, type) else strategy.load()


def run_set(ticks: pl.DataFrame | str, strategy: StrategySource | type, params: Mapping[str, Any],
            options: Mapping[str, Any], days: tuple | None = None, daily: bool = False) -> dict[str, Any]:
    """One set: `run` of the strategy over the ticks (of `days` when given);
    its stats, digest and run time, and with `daily` the profit of each
    trading day (a task of the sweep)."""
    from kelvo_orra_backtest.engine.run import run

    use_market_zone()
    cls = _strategy_of(strategy)
    with _PROCESS_LOCK:
        frame = _days_of(_ticks_of(ticks), days)
        started = time.perf_counter()
        result = run(cls, frame, params=dict(params), **options)
        elapsed = time.perf_counter() - started
    out = {**result.stats, "digest": result.digest, "run_time": elapsed}
    if daily:
        d = result.daily
        pnl = d["total"] - d["total"].shift(1).fill_null(options.get("capital", 5_000_000))
        out["daily"] = [(day.isoformat(), float(v)) for day, v in zip(d["day"].to_list(), pnl.to_list())]
    return out


def write_report(ticks: pl.DataFrame | str, strategy: StrategySource | type, params: Mapping[str, Any],
                 options: Mapping[str, Any], folder: str) -> list[str]:
    """Runs one set again in full and writes its reports (`Result.report`) under `folder`."""
    from kelvo_orra_backtest.engine.run import _module_console, run

    use_market_zone()
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    cls = _strategy_of(strategy)
    with _PROCESS_LOCK, warnings.catch_warnings():
        # the charts' own notices (fonts, flat axes) are not the user's concern
        warnings.simplefilter("ignore", UserWarning)
        result = run(cls, _ticks_of(ticks), params=dict(params), **options)
        with _module_console(False):  # the account announces every file it writes
            return [str(p) for p in result.report(folder)]

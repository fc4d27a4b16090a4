"""What a sweep gives back: the columns of its table (the parameters, the
stats, then digest, run time and error), one row per set, the ranking, and
the result of the whole sweep; and the error of a sweep that cannot start.
"""
from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Mapping, Sequence

import polars as pl

from kelvo_orra_backtest.engine.result import STAT_KEYS

# Stats whose smaller values are better; the others (and parameters) rank largest first.
SMALLER_IS_BETTER = {"fees", "tax", "max_drawdown", "max_drawdown_pct", "max_drawdown_days", "run_time"}
INT_STATS = {"trades"}
TAIL = ("digest", "run_time", "error")


class SweepError(Exception):
    """A sweep that cannot start: a bad strategy, grid, tick file, sort key,
    output folder, cluster address, or a local cluster that does not come up."""


def error_text(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


_POLARS = {int: pl.Int64, float: pl.Float64, bool: pl.Boolean, str: pl.String}


def schema_of(strategy: type, lead: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """Columns of a sweep's table: `lead`, the parameters, the stats, then digest, run_time, error."""
    schema = dict(lead or {})
    for name, p in strategy.parameters().items():
        schema[name] = pl.String if p.choices is not None else _POLARS[p.type]
    for key in STAT_KEYS:
        schema[key] = pl.Int64 if key in INT_STATS else pl.Float64
    schema.update(digest=pl.String, run_time=pl.Float64, error=pl.String)
    return schema


def row_of(schema: Mapping[str, Any], head: Mapping[str, Any], figures: Mapping[str, Any] | None,
         error: str | None) -> dict:
    row: dict[str, Any] = {}
    for name, dtype in schema.items():
        if name in head:
            row[name] = head[name]
        elif name == "error":
            row[name] = error
        else:
            v = None if figures is None else figures.get(name)
            if v is not None and dtype == pl.Float64:
                v = float(v)
            elif v is not None and dtype == pl.Int64:
                v = int(v)
            row[name] = v
    return row


def json_line(row: Mapping[str, Any]) -> str:
    """One row as standard JSON: figures that are not finite become null."""
    clean = {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in row.items()}
    return json.dumps(clean, ensure_ascii=False, default=str)


def _sort_expr(key: str):
    return pl.col(key).cast(pl.Float64).fill_nan(None) if key in STAT_KEYS or key == "run_time" else pl.col(key)


def check_sort(key: str, params: Sequence[str]) -> None:
    keys = [*params, *STAT_KEYS, "run_time"]
    if key not in keys:
        raise SweepError(f"cannot sort by '{key}' (expected one of {', '.join(keys)})")


def sort_table(table: pl.DataFrame, key: str, params: Sequence[str]) -> pl.DataFrame:
    """Best first by `key` (NaN with the missing, last); ties in parameter
    order; failed sets after the others."""
    check_sort(key, params)
    ok = table.filter(pl.col("error").is_null())
    failed = table.filter(pl.col("error").is_not_null())
    descending = key not in SMALLER_IS_BETTER and key not in params
    ok = ok.sort([_sort_expr(key), *params], descending=[descending] + [False] * len(params), nulls_last=True)
    return pl.concat([ok, failed.sort(list(params))])


def set_label(params: Mapping[str, Any], names: Sequence[str]) -> str:
    """A folder name for a set: the varied parameters and their values."""
    text = "-".join(f"{n}{params[n]}" for n in names) or "defaults"
    return re.sub(r"[^A-Za-z0-9._=-]+", "_", text)


@dataclass
class SweepResult:
    table: pl.DataFrame  # one row per set that ran, sorted; "error" is null where it succeeded
    params: list[str] = field(default_factory=list)  # the strategy's parameters, in declaration order
    varied: list[str] = field(default_factory=list)  # those with more than one value
    sort: str = "net_profit"
    skipped: int = 0  # sets the constraint refused
    cancelled: int = 0  # sets not finished when the sweep was interrupted
    interrupted: bool = False
    files: list[Path] = field(default_factory=list)  # tables and heat maps written
    reports: dict[str, Path] = field(default_factory=dict)  # set label -> folder of its reports
    # walk-forward only
    windows: pl.DataFrame | None = None  # per window: days, the chosen set, its out-of-sample stats
    chosen: pl.DataFrame | None = None  # how often each set was chosen
    equity: pl.DataFrame | None = None  # the test parts' daily profit stitched into one curve
    out_of_sample: dict | None = None  # the stitched figures under the stat names

    @property
    def failed(self) -> int:
        n = self.table.filter(pl.col("error").is_not_null()).height
        if self.windows is not None:
            n += self.windows.filter(pl.col("error").is_not_null()).height
        return n

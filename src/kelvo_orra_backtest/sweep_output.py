"""What a sweep writes and shows: the tables (CSV rounded to the cent,
Parquet exact), the heat map of one stat over two parameters (PNG and a
self-contained HTML table), and the console table that fits 80 columns."""
from __future__ import annotations

import html
import math
from pathlib import Path
from typing import Any, Sequence

import polars as pl
from rich import box
from rich.measure import Measurement
from rich.table import Table

__all__ = ["heat_map", "show_table", "write_tables", "SHORT"]

# Column headings of the console table (the files keep the stat names).
SHORT = {"net_profit": "net", "gross_profit": "gross+", "gross_loss": "gross-", "win_rate": "win%",
         "profit_factor": "pf", "expectancy": "expect", "max_drawdown": "max_dd", "max_drawdown_pct": "dd%",
         "max_drawdown_days": "dd_days", "return_pct": "ret%", "lowest_cash": "low_cash", "run_time": "secs"}
# The stats shown after the parameters, as long as the row fits.
SHOWN = ("net_profit", "trades", "win_rate", "profit_factor", "max_drawdown", "sharpe", "return_pct", "fees")
WIDTH = 80


def write_tables(table: pl.DataFrame, out: Path, stem: str) -> list[Path]:
    """`stem`.csv (floats rounded to the cent) and `stem`.parquet (as computed)."""
    csv, parquet = out / f"{stem}.csv", out / f"{stem}.parquet"
    table.with_columns(pl.col(pl.Float64).round(2)).write_csv(csv)
    table.write_parquet(parquet)
    return [csv, parquet]


def fmt(value: Any, name: str = "") -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        if math.isnan(value):
            return "-"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        if name in ("net_profit", "gross_profit", "gross_loss", "fees", "tax", "max_drawdown", "lowest_cash",
                    "expectancy", "avg_win", "avg_loss"):
            return f"{value:,.0f}"
        return f"{value:,.2f}" if abs(value) < 1e6 else f"{value:,.0f}"
    if isinstance(value, int):
        return f"{value:,}"
    return str(value)


def _short(name: str) -> str:
    name = SHORT.get(name, name)
    return name if len(name) <= 10 else name[:9] + "…"


def _table(title: str, rows: pl.DataFrame, names: Sequence[str]) -> Table:
    table = Table(title=title, box=box.SIMPLE_HEAD, pad_edge=False)
    for name in names:
        table.add_column(_short(name), justify="right", no_wrap=True)
    for row in rows.iter_rows(named=True):
        table.add_row(*(fmt(row[n], n) for n in names))
    return table


def show_table(console, rows: pl.DataFrame, params: Sequence[str], sort: str, title: str, top: int,
               extra: Sequence[str] = ()) -> None:
    """The best `top` rows and the failed ones: the parameters, the sort
    stat and as many of SHOWN as fit in 80 columns; the files hold the rest."""
    ok = rows.filter(pl.col("error").is_null())
    failed = rows.filter(pl.col("error").is_not_null())
    shown = ok.head(top)
    columns = list(dict.fromkeys([*extra, *params, sort, *SHOWN]))
    columns = [c for c in columns if c in rows.columns]
    must = len(extra) + len(params) + 1  # the lead columns, the parameters and the sort stat always show
    chosen: list[str] = []
    table = None
    for i, name in enumerate(columns):
        trial = _table(title, shown, [*chosen, name])
        if i >= must and Measurement.get(console, console.options.update(width=10_000), trial).maximum > WIDTH:
            continue
        chosen.append(name)
        table = trial
    table = table or _table(title, shown, chosen)
    console.print(table, width=WIDTH)
    if ok.height > top:
        console.print(f"(前 {top} 組, 共 {ok.height} 組成功)")
    for row in failed.iter_rows(named=True):
        label = " ".join(f"{n}={fmt(row[n])}" for n in params)
        console.print(f"[red]{label}: {row['error']}[/red]", soft_wrap=True)


def _grid(table: pl.DataFrame, x: str, y: str, stat: str, larger: bool):
    ok = table.filter(pl.col("error").is_null()).with_columns(pl.col(stat).cast(pl.Float64).fill_nan(None))
    agg = pl.col(stat).max() if larger else pl.col(stat).min()
    cells = ok.group_by(x, y).agg(agg)
    xs = sorted(table[x].unique().to_list())
    ys = sorted(table[y].unique().to_list())
    values = {(r[x], r[y]): r[stat] for r in cells.iter_rows(named=True)}
    return xs, ys, [[values.get((xv, yv)) for xv in xs] for yv in ys]


def heat_map(table: pl.DataFrame, x: str, y: str, stat: str, larger: bool, out: Path, others: Sequence[str]
             ) -> list[Path]:
    """`stat` over parameters `x` (columns) and `y` (rows) as heatmap.png and
    heatmap.html; a cell over several values of the `others` shows the best."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    xs, ys, grid = _grid(table, x, y, stat, larger)
    title = f"{stat} by {x} and {y}" + (f" (best over {', '.join(others)})" if others else "")
    data = np.array([[np.nan if v is None else v for v in row] for row in grid], dtype=float)
    finite = data[np.isfinite(data)]
    fig, ax = plt.subplots(figsize=(max(4, 0.9 * len(xs) + 2), max(3, 0.6 * len(ys) + 1.5)))
    try:
        cmap = matplotlib.colormaps["RdYlGn" if larger else "RdYlGn_r"].with_extremes(bad="#dddddd")
        shown = np.where(np.isfinite(data), data, np.nan)
        im = ax.imshow(shown, cmap=cmap, aspect="auto", origin="lower",
                       vmin=finite.min() if finite.size else 0, vmax=finite.max() if finite.size else 1)
        ax.set_xticks(range(len(xs)), [str(v) for v in xs])
        ax.set_yticks(range(len(ys)), [str(v) for v in ys])
        ax.grid(False)
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        ax.set_title(title, fontsize=9)
        if len(xs) * len(ys) <= 400:
            for j in range(len(ys)):
                for i in range(len(xs)):
                    ax.text(i, j, fmt(grid[j][i], stat), ha="center", va="center", fontsize=7)
        fig.colorbar(im, ax=ax)
        fig.tight_layout()
        png = out / "heatmap.png"
        fig.savefig(png, dpi=110)
    finally:
        plt.close(fig)
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)

    def colour(v):
        if v is None or not math.isfinite(v):
            return "#dddddd"
        t = 0.5 if hi == lo else (v - lo) / (hi - lo)
        t = t if larger else 1 - t
        return f"hsl({int(120 * t)}, 60%, 75%)"

    head = "".join(f"<th>{html.escape(str(v))}</th>" for v in xs)
    body = "".join(
        f"<tr><th>{html.escape(str(yv))}</th>"
        + "".join(f'<td style="background:{colour(v)}">{html.escape(fmt(v, stat))}</td>' for v in row)
        + "</tr>" for yv, row in reversed(list(zip(ys, grid))))
    page = (f"<!doctype html><meta charset='utf-8'><title>{html.escape(title)}</title>"
            "<style>body{font:14px sans-serif}table{border-collapse:collapse}"
            "td,th{border:1px solid #999;padding:4px 8px;text-align:right}</style>"
            f"<h3>{html.escape(title)}</h3><p>rows: {html.escape(y)}, columns: {html.escape(x)}</p>"
            f"<table><tr><th>{html.escape(y)} \\ {html.escape(x)}</th>{head}</tr>{body}</table>")
    page_path = out / "heatmap.html"
    page_path.write_text(page, encoding="utf-8")
    return [png, page_path]

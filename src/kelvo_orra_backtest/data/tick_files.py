"""Tick files to replay: one CSV or Parquet file in the tick columns, or the
futures exchange's daily trade files (read by `taifex`), told apart by their
header.

    ticks = load_ticks(Path("ticks.csv"))            # checked, sorted by time
    ticks = load_ticks([Path("Daily_2026_06_01.zip"), ...], "TX", "front")

Every refusal is a `TickFileError` whose one-line message names the file, the
row (counted from 1 after the header line) and the column.  The columns and
what each must hold are `COLUMNS`.
"""
from __future__ import annotations

from pathlib import Path

import polars as pl
from rich.table import Table

from kelvo_orra_backtest.data import sample, taifex
from kelvo_orra_backtest.utils import console

__all__ = ["COLUMNS", "TickFileError", "codes_to_trade", "load_ticks", "sample_file"]

COLUMNS = {
    "timestamp": (pl.Float64, "a number of epoch seconds"),
    "code": (pl.Utf8, "a text"),
    "market_type": (pl.Utf8, '"Stock" or "Future"'),
    "close": (pl.Float64, "a price"),
    "qty": (pl.Int64, "a whole number"),
    "tick_type": (pl.Int8, "a small whole number"),
    "is_simulate": (pl.Boolean, "true or false"),
}

# Epoch seconds accepted: 1970 to 2100.  A larger number is nearly always a
# timestamp in a finer unit, which would read as a date thousands of years on.
LAST_SECOND = 4_102_444_800.0  # 2100-01-01 00:00 UTC


def _timestamp_hint(value: float) -> str:
    for unit, scale in (("milliseconds", 1e3), ("microseconds", 1e6), ("nanoseconds", 1e9)):
        if 0 < value / scale < LAST_SECOND:
            return f"epoch seconds (it looks like {unit}: divide the column by {scale:,.0f})"
    return "epoch seconds between 1970 and 2100"


class TickFileError(Exception):
    """A tick file that cannot be replayed; the message names file, row and column."""


def _check_column(path: Path, df: pl.DataFrame, name: str) -> pl.Series:
    dtype, what = COLUMNS[name]
    if name not in df.columns:
        raise TickFileError(f"{path}: column '{name}' is missing (expected {what})")
    raw = df[name]
    try:
        if dtype == pl.Boolean and raw.dtype == pl.Utf8:
            text = raw.str.strip_chars().str.to_lowercase()
            cast = text.replace_strict({"true": True, "1": True, "false": False, "0": False}, default=None,
                                       return_dtype=pl.Boolean)
        else:
            cast = raw.cast(dtype, strict=False)
    except Exception as exc:  # polars refuses some casts outright
        raise TickFileError(f"{path}: column '{name}' cannot be read as {what} ({exc})") from None
    bad = cast.is_null() | raw.is_null()
    if name == "market_type":
        bad = bad | ~cast.is_in(["Stock", "Future"])
    if name in ("timestamp", "close"):
        bad = bad | cast.is_nan() | cast.is_infinite()
    _refuse_first(path, name, raw, bad, what)
    # values of the right type that no market produces
    if name == "timestamp":
        out = (cast <= 0) | (cast >= LAST_SECOND)
        if out.any():
            _refuse_first(path, name, raw, out, _timestamp_hint(cast[int(out.arg_max())]))
    elif name == "close":
        _refuse_first(path, name, raw, cast <= 0, "a price above 0")
    elif name == "qty":
        _refuse_first(path, name, raw, cast < 0, "a quantity of 0 or more")
    return cast


def _refuse_first(path: Path, name: str, raw: pl.Series, bad: pl.Series, what: str) -> None:
    if bad.any():
        row = int(bad.arg_max())
        value = raw[row]
        # rows are counted from 1 after the header line, as a spreadsheet shows them
        raise TickFileError(f"{path}: row {row + 1}, column '{name}': {value!r} is not {what}")


def load_ticks(paths: Path | str | list, product: str = "TX", contract: str = "front",
               roll_rule: str | int = "expiry") -> pl.DataFrame:
    """Ticks to replay from one tick file (CSV or Parquet) or from daily
    trade files of the futures exchange (files, zips, directories, globs;
    `roll_rule` is when their front month rolls, see `taifex.load_daily`)."""
    items = [paths] if isinstance(paths, (str, Path)) else list(paths)
    if not items:
        raise TickFileError("no tick file given")
    try:  # a mistyped rule is refused whatever the files are
        taifex.check_roll(roll_rule)
    except ValueError as exc:
        raise TickFileError(str(exc)) from None
    daily = [taifex.is_daily_file(p) for p in items]
    if any(daily):
        if not all(daily):
            other = items[daily.index(False)]
            raise TickFileError(f"{other}: not a daily trade file of the futures exchange, "
                                "and tick files cannot be mixed with those")
        return _load_daily(items, product, contract, roll_rule)
    if len(items) > 1:
        raise TickFileError(f"{items[1]}: only one tick file at a time (or daily trade files)")
    return _load_tick_file(Path(items[0]))


def _load_daily(items: list, product: str, contract: str, roll_rule: str | int) -> pl.DataFrame:
    try:
        got = taifex.load_daily(items, product, contract, roll_rule)
    except (taifex.DailyFileError, ValueError) as exc:
        raise TickFileError(str(exc)) from None
    table = Table(title=f"期貨每日成交: {got.product} → {got.code}, --contract {got.contract}",
                  caption=f"換月規則 --roll-rule {got.roll}" if got.contract == "front" else None)
    for col, justify in (("交易日", "left"), ("合約", "left"), ("Ticks", "right"), ("檔案", "left")):
        table.add_column(col, justify=justify)
    for day in got.days:
        table.add_row(day.trading_day.isoformat(), day.contract, f"{day.ticks:,}", Path(day.source).name)
    console.print(table)
    for r in got.rolls:
        console.print(f"換月 {r.trading_day.isoformat()}: {r.old} → {r.new}", highlight=False)
    for name in got.duplicates:
        console.print(f"[yellow]略過 {name}: 它的交易日已由前面的檔案讀入[/yellow]")
    return got.ticks


def _load_tick_file(path: Path) -> pl.DataFrame:
    if not path.exists():
        raise TickFileError(f"{path}: no such file")
    if path.is_dir():
        raise TickFileError(f"{path}: is a directory, not a tick file")
    try:
        if path.suffix.lower() in (".parquet", ".pq"):
            df = pl.read_parquet(path)
        else:
            df = pl.read_csv(path, infer_schema=False)
    except Exception as exc:
        text = str(exc).strip()
        first = text.splitlines()[0] if text else type(exc).__name__
        raise TickFileError(f"{path}: cannot be read ({first})") from None
    if df.height == 0:
        raise TickFileError(f"{path}: holds no ticks")
    out = pl.DataFrame({name: _check_column(path, df, name) for name in COLUMNS})
    return out.sort("timestamp", maintain_order=True)


def sample_file(output_dir: Path) -> Path:
    """The bundled sample's file (made on first use; beside the output when the cache cannot be written)."""
    try:
        return sample.sample_path(fallback_dir=output_dir)
    except OSError as exc:
        raise TickFileError(str(exc)) from None


def codes_to_trade(text: str, ticks: pl.DataFrame, path: Path | str) -> list[str]:
    """The codes of `--codes`; none of them in the file is an error, some a warning."""
    codes = list(dict.fromkeys(c.strip() for c in text.split(",") if c.strip()))
    present = set(ticks["code"].unique().to_list())
    missing = [c for c in codes if c not in present]
    if missing == codes:
        shown = sorted(present)
        listed = ", ".join(shown[:20]) + (f" and {len(shown) - 20:,} more" if len(shown) > 20 else "")
        asked = ",".join(codes) if codes else repr(text)
        raise TickFileError(f"{path}: --codes {asked} names no code of this file (its codes: {listed})")
    if missing:
        console.print(f"[yellow]檔案中沒有這些代號，不交易: {', '.join(missing)}[/yellow]", highlight=False)
    return [c for c in codes if c in present]

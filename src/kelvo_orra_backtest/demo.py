"""Demo backtest: replays ticks through QuoteManager and Positions.

    python -m kelvo_orra_backtest.demo [--ticks FILE] [--codes 2330,TXF]
                                       [--capital 1000000] [--output-dir DIR]

Every tick goes to `QuoteManager.add_tick` and `Positions.set_current_tick`.
A moving-average crossover on one-minute K-bars trades the chosen codes with
market orders that fill at the next tick of the code; fills are logged with
`add_trade_record` and booked with `set_positions`.  Halfway through the run
the strategy side asks for its positions through the request queues.  At the
end the trade records, the standard report and the performance report of
every traded code are written under the output directory.
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
import threading
import time
import warnings
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

import polars as pl
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table

from kelvo_orra_backtest.constant import BASIC_INFO
from kelvo_orra_backtest.modules.positions import positions as positions_module
from kelvo_orra_backtest.utils import console

SAMPLE = Path(__file__).resolve().parent / "static" / "sample" / "ticks.parquet"
COLUMNS = {
    "timestamp": (pl.Float64, "a number of epoch seconds"),
    "code": (pl.Utf8, "a text"),
    "market_type": (pl.Utf8, '"Stock" or "Future"'),
    "close": (pl.Float64, "a price"),
    "qty": (pl.Int64, "a whole number"),
    "tick_type": (pl.Int8, "a small whole number"),
    "is_simulate": (pl.Boolean, "true or false"),
}


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
    if bad.any():
        row = int(bad.arg_max())
        value = raw[row]
        # rows are counted from 1 after the header line, as a spreadsheet shows them
        raise TickFileError(f"{path}: row {row + 1}, column '{name}': {value!r} is not {what}")
    return cast


def load_ticks(path: Path) -> pl.DataFrame:
    if not path.exists():
        raise TickFileError(f"{path}: no such file")
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


@dataclass
class CodeState:
    product_type: str
    quantity: int
    position: int = 0          # +1 long, -1 short, 0 flat
    pending: str | None = None  # "Buy" or "Sell" order waiting for the next tick
    pending_qty: int = 0
    last_bar_count: int = 0
    last_price: float = 0.0
    last_ts: float = 0.0


@dataclass
class Stats:
    ticks: int = 0
    deals: int = 0
    orders: int = 0
    kbar_calls: int = 0
    elapsed: float = 0.0  # seconds of the replay loop
    position_rows: list = field(default_factory=list)  # what the strategy side received mid-run
    profit_rows: list = field(default_factory=list)  # the account's profit rows, one per cover


class CrossoverStrategy:
    """Goes long when the fast average of one-minute closes crosses above the
    slow one; futures also go short on the cross below, stocks go flat."""

    def __init__(self, fast: int = 5, slow: int = 20) -> None:
        self.fast, self.slow = fast, slow

    def signal(self, kbars: pl.DataFrame, state: CodeState) -> int | None:
        closes = kbars["Close"]
        if closes.len() <= self.slow:
            return None
        fast = closes.tail(self.fast).mean()
        slow = closes.tail(self.slow).mean()
        if fast > slow:
            return 1
        if fast < slow:
            return -1 if state.product_type == "Future" else 0
        return None


def run(ticks: pl.DataFrame, codes: list[str], capital: int, output_dir: Path, verbose: bool,
        reports: bool = True, *, fast: int = 5, slow: int = 20, qty: int = 1, quiet: bool = False) -> Stats:
    """Replays `ticks` and trades `codes` with the crossover of `fast` and `slow`
    one-minute bars, `qty` lots or contracts per position.  `quiet` prints
    nothing of its own: no progress bar, no mid-run table, no summary."""
    BASIC_INFO.data_dir = str(output_dir)
    quotes = positions_module.QuoteManager()
    account = positions_module.Positions()
    account.set_initial_capital(capital)
    strategy = CrossoverStrategy(fast, slow)
    states: dict[str, CodeState] = {}
    stats = Stats()
    trade_no = 0

    def place(code: str, state: CodeState, action: str, qty: int, ts: float, price: float) -> None:
        nonlocal trade_no
        trade_no += 1
        state.pending, state.pending_qty = action, qty
        account.add_trade_record(f"O{trade_no}", code, action, qty, price, ts, "Order")
        stats.orders += 1

    def fill(code: str, state: CodeState, tick: dict) -> None:
        action, qty = state.pending, state.pending_qty
        state.pending = None
        deal = {
            "code": code, "action": action, "price": tick["close"], "quantity": qty,
            "exchange_ts": tick["timestamp"], "product_type": state.product_type, "trade_id": f"D{stats.deals + 1}",
        }
        account.add_trade_record(deal["trade_id"], code, action, qty, tick["close"], tick["timestamp"], "Deal")
        account.set_positions(deal, state.product_type)
        stats.deals += 1

    # The per-deal lines of the module are long; keep them unless asked for.
    with _module_console(quiet=not verbose):
        request_at = ticks["timestamp"][ticks.height // 2]
        requested = False
        rows = ticks.to_dicts()
        started = time.perf_counter()
        with Progress(TextColumn("[bold]回放 Tick"), BarColumn(), TextColumn("{task.completed:,}/{task.total:,}"),
                      TimeRemainingColumn(), console=console, transient=True, disable=quiet) as progress:
            task = progress.add_task("replay", total=len(rows))
            for i, tick in enumerate(rows):
                quotes.add_tick(tick)
                account.set_current_tick(tick)
                stats.ticks += 1
                code = tick["code"]
                if code in codes:
                    state = states.get(code)
                    if state is None:  # market_type is "Stock" or "Future" (load_ticks checks it)
                        state = states[code] = CodeState(tick["market_type"], qty)
                    if state.pending:
                        fill(code, state, tick)
                    state.last_price, state.last_ts = tick["close"], tick["timestamp"]
                    kbars = quotes.get_kbar(code, "m", 1)
                    stats.kbar_calls += 1
                    if kbars.height != state.last_bar_count and not tick["is_simulate"]:
                        state.last_bar_count = kbars.height
                        # decide on completed bars only: the newest bar is still forming
                        target = strategy.signal(kbars.head(kbars.height - 1), state)
                        if target is not None and target != state.position:
                            diff = target - state.position
                            place(code, state, "Buy" if diff > 0 else "Sell", abs(diff) * state.quantity,
                                  tick["timestamp"], tick["close"])
                            state.position = target
                if not requested and tick["timestamp"] >= request_at:
                    requested = True
                    stats.position_rows = _ask_for_positions(account, show=not quiet)
                if i % 2000 == 0:
                    progress.update(task, completed=i)
            progress.update(task, completed=len(rows))

        # An order still waiting fills at the code's last price; then what is
        # still open is closed there with one more market order.
        for code, state in states.items():
            last = {"close": state.last_price, "timestamp": state.last_ts}
            if state.pending:
                fill(code, state, last)
            if state.position:
                place(code, state, "Sell" if state.position > 0 else "Buy", abs(state.position) * state.quantity,
                      state.last_ts, state.last_price)
                fill(code, state, last)
                state.position = 0
        stats.elapsed = time.perf_counter() - started
    stats.profit_rows = account._profit_report["rows"]

    account.export_trade_records()
    if reports:
        for code in states:
            account.generate_standard_report(code, quotes)
            account.generate_qs_profit_report(code, quotes)

    if not quiet:
        _summary(account, stats, output_dir)
    return stats


class _QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


@contextmanager
def _module_console(quiet: bool):
    """The module's console for the replay; the one before it comes back
    however the replay ends."""
    previous = positions_module.console
    if quiet:
        positions_module.console = _QuietConsole()
    try:
        yield
    finally:
        positions_module.console = previous


def _ask_for_positions(account, show: bool = True) -> list:
    """The strategy side asks for its positions while the engine keeps the book."""
    received: list = []

    account_types = ("Stock", "Future")

    def strategy_side() -> None:
        for _ in account_types:
            received.extend(account.pop_positions())
            account.add_finish_notify_to_queue()

    worker = threading.Thread(target=strategy_side, name="strategy")
    worker.start()
    for account_type in account_types:
        account.fetch_positions(account_type)
        account.pop_finish_notify()
    worker.join()
    if not show:
        return received
    table = Table(title="盤中庫存 (策略端查詢)")
    for col in ("code", "quantity", "avg_price", "pnl"):
        table.add_column(col)
    for row in received:
        table.add_row(*(str(row.get(c)) for c in ("code", "quantity", "avg_price", "pnl")))
    console.print(table)
    return received


def _summary(account, stats: Stats, output_dir: Path) -> None:
    realised = account._profit_report["profit"]
    table = Table(title="回測摘要")
    table.add_column("項目")
    table.add_column("數值", justify="right")
    table.add_row("Ticks", f"{stats.ticks:,}")
    table.add_row("成交筆數", f"{stats.deals:,}")
    table.add_row("K 線查詢", f"{stats.kbar_calls:,}")
    table.add_row("已實現損益", f"{realised:,.2f}")
    table.add_row("初始資金", f"{account.initial_capital:,}")
    table.add_row("目前資金", f"{account.fetch_account_balance():,.2f}")
    table.add_row("耗時 (秒)", f"{stats.elapsed:.2f}")
    table.add_row("每秒 Ticks", f"{stats.ticks / stats.elapsed:,.0f}" if stats.elapsed > 0 else "-")
    console.print(table)
    written = sorted(p for p in output_dir.rglob("*") if p.is_file())
    console.print("[bold green]輸出檔案:[/bold green]")
    for p in written:
        console.print(f"  {p}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_orra_backtest.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--ticks", type=Path, default=SAMPLE,
                        help="CSV or Parquet file with the columns " + ", ".join(COLUMNS))
    parser.add_argument("--codes", default="2330,TXF", help="comma-separated codes to trade (default 2330,TXF)")
    parser.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default 5000000)")
    parser.add_argument("--output-dir", type=Path, default=Path(os.getcwd()) / "data",
                        help="root directory of the files written (default ./data)")
    parser.add_argument("--verbose", action="store_true", help="print the module's line for every deal")
    args = parser.parse_args(argv)
    try:
        ticks = load_ticks(args.ticks)
    except TickFileError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    codes = [c.strip() for c in args.codes.split(",") if c.strip()]
    # The tear sheet asks for fonts this machine may not have; matplotlib falls
    # back on its own and needs not say so once per chart.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore", message="set_ticklabels", category=UserWarning)
    run(ticks, codes, args.capital, args.output_dir.resolve(), args.verbose)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

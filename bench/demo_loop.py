"""The demo's earlier per-tick replay, kept as the benchmarks' baseline
(bench/engine.py, bench/run.py): the crossover of `fast` and `slow`
one-minute bars through `QuoteManager`, every tick through `add_tick` and a
`get_kbar` call on every tick of a traded code, orders filled at the code's
next tick and booked by `Positions`.  Halfway through, the strategy side asks
for its positions through the account's request queues.

The engine (`kelvo_orra_backtest.engine.run`) is what the package runs; this
loop is only measured against it.
"""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import polars as pl
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table

from kelvo_orra_backtest.constant import BASIC_INFO
from kelvo_orra_backtest.demo import positions_table, tear_sheet_prints_dropped
from kelvo_orra_backtest.engine.run import _module_console
from kelvo_orra_backtest.modules.positions import positions as positions_module
from kelvo_orra_backtest.utils import console

__all__ = ["CodeState", "CrossoverStrategy", "Stats", "run"]


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
        reports: bool = True, *, started: float | None = None, fast: int = 5, slow: int = 20, qty: int = 1,
        quiet: bool = False, columnar: bool = False) -> Stats:
    """Replays `ticks` tick by tick and trades `codes` with the crossover of `fast` and `slow`
    one-minute bars, `qty` lots or contracts per position.  `quiet` prints
    nothing of its own: no progress bar, no mid-run table, no summary.
    `started` is the `time.perf_counter()` reading the run's wall time counts
    from (default: this call).  `columnar` keeps the ticks in the columnar
    quote manager instead of `QuoteManager` (same bars, less memory)."""
    started = time.perf_counter() if started is None else started
    files_before = _files_in(output_dir)
    BASIC_INFO.data_dir = str(output_dir)
    if columnar:
        from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager
        quotes = ColumnarQuoteManager()
    else:
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
    with _module_console(verbose):
        request_at = ticks["timestamp"][ticks.height // 2]
        requested = False
        rows = ticks.to_dicts()
        replay_started = time.perf_counter()
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
        stats.elapsed = time.perf_counter() - replay_started
    stats.profit_rows = account._profit_report["rows"]

    account.export_trade_records()
    if reports:
        for code in states:
            account.generate_standard_report(code, quotes)
            with tear_sheet_prints_dropped():
                account.generate_qs_profit_report(code, quotes)

    if not quiet:
        _summary(account, stats, output_dir, files_before, started)
    return stats


def _files_in(root: Path) -> dict[Path, int]:
    """Every file under `root` with its modification time."""
    return {p: p.stat().st_mtime_ns for p in root.rglob("*") if p.is_file()} if root.is_dir() else {}


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
    if show:
        positions_table(received, console)
    return received


def _summary(account, stats: Stats, output_dir: Path, files_before: dict[Path, int], started: float) -> None:
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
    table.add_row("回放耗時 (秒)", f"{stats.elapsed:.2f}")
    table.add_row("每秒 Ticks", f"{stats.ticks / stats.elapsed:,.0f}" if stats.elapsed > 0 else "-")
    table.add_row("總耗時 (秒)", f"{time.perf_counter() - started:.2f}")
    console.print(table, soft_wrap=False)  # tables keep their centred titles
    # this run's files: new ones and those it wrote again
    written = sorted(p for p, mtime in _files_in(output_dir).items() if files_before.get(p) != mtime)
    console.print("[bold green]本次輸出檔案:[/bold green]")
    for p in written:
        console.print(f"  {p}", soft_wrap=True, highlight=False)

"""Demo backtest: the crossover example run through the backtest engine.

    python -m kelvo_orra_backtest.demo [--ticks PATH ...] [--product TX] [--contract front]
                                       [--codes 2330,TXF] [--capital 1000000] [--output-dir DIR]
                                       [--costs account|exchange]

`--ticks` takes a CSV or Parquet file in the tick columns below, or the
futures exchange's daily trade files (zips, their CSVs, directories of them,
globs), told apart by their header; of those, `--product` and `--contract`
choose what is replayed.  Without `--ticks` the bundled sample is replayed.

`kelvo_orra_backtest.engine.run` replays the ticks through the moving-average
crossover of `kelvo_orra_backtest.examples.crossover` on one-minute bars of
the chosen codes (market orders that fill at a later tick of the code, booked
by `Positions` under the account's costs unless `--costs exchange`).  Halfway
through the run the strategy asks for its positions through the account's
request queues.  At the end the trade records, the standard report and the
performance report of every traded code and the portfolio's tear sheet are
written under the output directory.

`run` below is the earlier per-tick replay of the same crossover through
`QuoteManager` (every tick through `add_tick` and `get_kbar`); the sweep still
runs it.
"""
from __future__ import annotations

import time

# The whole run's wall time counts from here, the package's imports included.
_STARTED = time.perf_counter()

import argparse
import io
import logging
import os
import sys
import threading
import warnings
from contextlib import contextmanager, redirect_stdout
from dataclasses import dataclass, field
from pathlib import Path

import polars as pl
from rich.console import Console
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table

from kelvo_orra_backtest.constant import BASIC_INFO
from kelvo_orra_backtest.data import sample, taifex
from kelvo_orra_backtest.market_zone import MARKET_ZONE, use_market_zone
from kelvo_orra_backtest.modules.positions import positions as positions_module
from kelvo_orra_backtest.utils import console

COLUMNS = {
    "timestamp": (pl.Float64, "a number of epoch seconds"),
    "code": (pl.Utf8, "a text"),
    "market_type": (pl.Utf8, '"Stock" or "Future"'),
    "close": (pl.Float64, "a price"),
    "qty": (pl.Int64, "a whole number"),
    "tick_type": (pl.Int8, "a small whole number"),
    "is_simulate": (pl.Boolean, "true or false"),
}

TICK_FORMAT = """\
tick file: CSV with a header line, or Parquet; one row per trade, in any order
(rows are sorted by time on loading).  Columns:
  timestamp    time of the trade in epoch seconds (POSIX time, fractions
               allowed), e.g. 1709514000.5 is 2024-03-04 09:00:00.5 in Taipei;
               not milliseconds, not a date text
  code         product code, e.g. 2330, 0050, TXF
  market_type  Stock or Future
  close        trade price, greater than 0
  qty          traded quantity, 0 or more (lots of 1000 shares for stocks,
               contracts for futures)
  tick_type    1 = trade at the ask (buyer-initiated), 2 = at the bid
               (seller-initiated), 0 = unknown; stored with the tick, not used
               for fills
  is_simulate  true for ticks of the exchange's simulated matching before an
               auction (e.g. 13:25-13:30 for stocks): left out of the
               incremental K-bars, and no order fills or triggers on them;
               false otherwise (true/false or 1/0)
example:
  timestamp,code,market_type,close,qty,tick_type,is_simulate
  1709514000.5,2330,Stock,690.0,3,1,false
"""
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


def load_ticks(paths: Path | str | list, product: str = "TX", contract: str = "front") -> pl.DataFrame:
    """Ticks to replay from one tick file (CSV or Parquet) or from daily
    trade files of the futures exchange (files, zips, directories, globs)."""
    items = [paths] if isinstance(paths, (str, Path)) else list(paths)
    if not items:
        raise TickFileError("no tick file given")
    daily = [taifex.is_daily_file(p) for p in items]
    if any(daily):
        if not all(daily):
            other = items[daily.index(False)]
            raise TickFileError(f"{other}: not a daily trade file of the futures exchange, "
                                "and tick files cannot be mixed with those")
        return _load_daily(items, product, contract)
    if len(items) > 1:
        raise TickFileError(f"{items[1]}: only one tick file at a time (or daily trade files)")
    return _load_tick_file(Path(items[0]))


def _load_daily(items: list, product: str, contract: str) -> pl.DataFrame:
    try:
        got = taifex.load_daily(items, product, contract)
    except (taifex.DailyFileError, ValueError) as exc:
        raise TickFileError(str(exc)) from None
    table = Table(title=f"期貨每日成交: {got.product} → {got.code}, --contract {got.contract}")
    for col, justify in (("交易日", "left"), ("合約", "left"), ("Ticks", "right"), ("檔案", "left")):
        table.add_column(col, justify=justify)
    for day in got.days:
        table.add_row(day.trading_day.isoformat(), day.contract, f"{day.ticks:,}", Path(day.source).name)
    console.print(table)
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
    """Replays `ticks` and trades `codes` with the crossover of `fast` and `slow`
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
    with _module_console(quiet=not verbose):
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
            with _tear_sheet_prints_dropped():
                account.generate_qs_profit_report(code, quotes)

    if not quiet:
        _summary(account, stats, output_dir, files_before, started)
    return stats


def _files_in(root: Path) -> dict[Path, int]:
    """Every file under `root` with its modification time."""
    return {p: p.stat().st_mtime_ns for p in root.rglob("*") if p.is_file()} if root.is_dir() else {}


@contextmanager
def _tear_sheet_prints_dropped():
    """The tear-sheet library prints its own line about the file that the
    module's console line already names; only the module's line is kept."""
    previous = positions_module.console
    if previous is console:  # the shared console follows sys.stdout: pin a twin to the real one
        positions_module.console = Console(file=sys.stdout, soft_wrap=console.soft_wrap)
    try:
        with redirect_stdout(io.StringIO()):
            yield
    finally:
        positions_module.console = previous


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
    if show:
        _positions_table(received)
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


def _default_codes(ticks: pl.DataFrame) -> str:
    present = ticks["code"].unique()
    return present[0] if present.len() == 1 else "2330,TXF"


def sample_file(output_dir: Path) -> Path:
    """The bundled sample's file (made on first use; beside the output when the cache cannot be written)."""
    try:
        return sample.sample_path(fallback_dir=output_dir)
    except OSError as exc:
        raise TickFileError(str(exc)) from None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_orra_backtest.demo", description=__doc__.split("\n")[0],
                                     epilog=TICK_FORMAT, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ticks", nargs="+", metavar="PATH",
                        help="CSV or Parquet tick file (format below), or the futures exchange's daily trade "
                        "files (Daily_*.zip, their CSVs, directories or globs of them); relative paths are "
                        "taken from the current directory; default: the bundled sample")
    parser.add_argument("--product", default="TX",
                        help="exchange product code read from daily trade files (TX, MTX, TMF, TE, TF, ...; "
                        "default TX)")
    parser.add_argument("--contract", default="front",
                        help="contract month YYYYMM read from daily trade files, or front: the nearest "
                        "month per trading day, rolled on the expiry day's night session (default front)")
    parser.add_argument("--codes", help="comma-separated codes to trade (default 2330,TXF; the one code of "
                        "ticks that hold one, such as MXF read with --product MTX)")
    parser.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default 5000000)")
    parser.add_argument("--costs", choices=("account", "exchange"), default="account",
                        help="cost profile of the engine: the account's bookings (default) or the exchange's rules")
    parser.add_argument("--output-dir", type=Path, default=Path("data"),
                        help="root directory of the files written (default ./data, in the current directory)")
    parser.add_argument("--verbose", action="store_true", help="print the module's line for every deal")
    parser.add_argument("--columnar", action="store_true",
                        help="accepted and ignored: the engine always keeps the ticks in ColumnarQuoteManager")
    args = parser.parse_args(argv)
    # Long paths stay on one line, whatever the terminal's width.
    console.soft_wrap = True
    # Before anything converts a time: the module reads epoch seconds in the
    # process's zone, and the market's is Asia/Taipei.
    try:
        previous_zone = use_market_zone()
    except RuntimeError as exc:  # the zone's data is missing on this machine
        print(f"error: {exc}", file=sys.stderr)
        return 1
    if previous_zone:
        console.print(f"[yellow]時區: 本機為 {previous_zone}，本次改用台灣市場的 {MARKET_ZONE} 換算時間[/yellow]",
                      highlight=False)
    output_dir = Path(os.path.abspath(os.path.expanduser(args.output_dir)))
    if output_dir.exists() and not output_dir.is_dir():
        print(f"error: {output_dir}: --output-dir names a file, not a directory", file=sys.stderr)
        return 2
    try:
        if args.ticks is None:
            paths = [sample_file(output_dir)]
            ticks = load_ticks(paths[0])
        else:
            paths = [Path(os.path.abspath(os.path.expanduser(p))) for p in args.ticks]
            ticks = load_ticks(paths[0] if len(paths) == 1 else paths, args.product, args.contract)
        label = str(paths[0]) if len(paths) == 1 else f"{paths[0]} (and {len(paths) - 1} more)"
        codes = codes_to_trade(args.codes or _default_codes(ticks), ticks, label)
    except TickFileError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    # The tear sheet asks for fonts this machine may not have; matplotlib falls
    # back on its own and needs not say so once per chart.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore", message="set_ticklabels", category=UserWarning)
    # a flat stretch of returns (a short run) draws a chart of one height
    warnings.filterwarnings("ignore", message="Attempting to set identical low and high ylims", category=UserWarning)
    run_engine(ticks, codes, args.capital, output_dir, costs=args.costs, verbose=args.verbose, started=_STARTED)
    return 0


def _demo_strategy(request_at: float, show: bool):
    """The crossover, asking for its positions once at its first bar from `request_at` on."""
    from kelvo_orra_backtest.examples.crossover import Crossover as Base

    class Crossover(Base):
        asked = False  # plain class attributes, not parameters
        position_rows = ()

        def on_bar(self, ctx, bar):
            super().on_bar(ctx, bar)
            if not self.asked and ctx.timestamp >= request_at:
                self.asked = True
                self.position_rows = ctx.position_rows("Stock") + ctx.position_rows("Future")
                if show:
                    _positions_table(self.position_rows)

    return Crossover


def run_engine(ticks: pl.DataFrame, codes: list[str], capital: int, output_dir: Path, *, costs: str = "account",
               verbose: bool = False, reports: bool = True, quiet: bool = False, started: float | None = None,
               fast: int = 5, slow: int = 20, qty: int = 1):
    """The crossover over `ticks` on `codes` through the engine, then the reports and the summary;
    returns the engine's `Result`."""
    from kelvo_orra_backtest.engine import run as engine_run

    started = time.perf_counter() if started is None else started
    strategy = _demo_strategy(ticks["timestamp"][ticks.height // 2], show=not quiet)
    with Progress(TextColumn("[bold]回放 Tick"), BarColumn(), TextColumn("{task.completed:,}/{task.total:,}"),
                  TimeRemainingColumn(), console=console, transient=True, disable=quiet) as progress:
        task = progress.add_task("replay", total=ticks.height)
        replay_started = time.perf_counter()
        result = engine_run(strategy, ticks, params={"fast": fast, "slow": slow, "qty": qty, "codes": ",".join(codes)},
                            capital=capital, costs=costs, verbose=verbose,
                            progress=lambda i: progress.update(task, completed=i))
        elapsed = time.perf_counter() - replay_started
    written = []
    if reports:
        with _tear_sheet_prints_dropped():
            written = result.report(output_dir)
    if not quiet:
        _engine_summary(result, ticks.height, elapsed, written, started)
    return result


def _positions_table(rows: list) -> None:
    table = Table(title="盤中庫存 (策略端查詢)")
    for col in ("code", "quantity", "avg_price", "pnl"):
        table.add_column(col)
    for row in rows:
        table.add_row(*(str(row.get(c)) for c in ("code", "quantity", "avg_price", "pnl")))
    console.print(table, soft_wrap=False)  # tables keep their centred titles


def _engine_summary(result, ticks: int, elapsed: float, written: list, started: float) -> None:
    account = result.account
    table = Table(title="回測摘要")
    table.add_column("項目")
    table.add_column("數值", justify="right")
    table.add_row("Ticks", f"{ticks:,}")
    table.add_row("委託筆數", f"{result.orders.height:,}")
    table.add_row("成交筆數", f"{result.fills.height:,}")
    table.add_row("費用模型", result.costs)
    table.add_row("已實現損益", f"{account._profit_report['profit']:,.2f}")
    table.add_row("未平倉損益", f"{result.positions['unrealised'].sum():,.2f}")
    table.add_row("初始資金", f"{account.initial_capital:,}")
    table.add_row("目前資金", f"{account.fetch_account_balance():,.2f}")
    table.add_row("回放耗時 (秒)", f"{elapsed:.2f}")
    table.add_row("每秒 Ticks", f"{ticks / elapsed:,.0f}" if elapsed > 0 else "-")
    table.add_row("總耗時 (秒)", f"{time.perf_counter() - started:.2f}")
    console.print(table, soft_wrap=False)
    if result.positions.height:
        held = ", ".join(f"{r['code']} {r['qty']:+,}" for r in result.positions.iter_rows(named=True))
        console.print(f"[yellow]資料結束時仍有部位 (未平倉): {held}[/yellow]", highlight=False)
    if result.stats["lowest_cash"] < 0:
        # the account takes a futures contract's full value on entry and never stops at zero
        console.print(f"[yellow]資金曾低於 0: 最低 {result.stats['lowest_cash']:,.2f} "
                      f"({result.lowest_cash_at:%Y-%m-%d %H:%M:%S})[/yellow]", highlight=False)
    console.print("[bold green]本次輸出檔案:[/bold green]")
    for p in written:
        console.print(f"  {p}", soft_wrap=True, highlight=False)


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


if __name__ == "__main__":
    raise SystemExit(main())

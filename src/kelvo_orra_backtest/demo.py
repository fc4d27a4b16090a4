"""Demo backtest: the crossover example run through the backtest engine.

    python -m kelvo_orra_backtest.demo [--ticks PATH ...] [--product TX] [--contract front] [--roll-rule expiry]
                                       [--codes 2330,TXF] [--capital 1000000] [--output-dir DIR]
                                       [--costs account|exchange]

`--ticks` takes a CSV or Parquet file in the tick columns below, or the
futures exchange's daily trade files (zips, their CSVs, directories of them,
globs), told apart by their header; of those, `--product` and `--contract`
choose what is replayed, `--roll-rule` when the front month moves to the
next.  Without `--ticks` the bundled sample is replayed.

`kelvo_orra_backtest.engine.run` replays the ticks through the moving-average
crossover of `kelvo_orra_backtest.examples.crossover` on one-minute bars of
the chosen codes (market orders that fill at a later tick of the code, booked
by `Positions` under the account's costs unless `--costs exchange`).  Halfway
through the run the strategy asks for its positions through the account's
request queues.  At the end the trade records, the standard report and the
performance report of every traded code and the portfolio's tear sheet are
written under the output directory.

The command reads its arguments before anything heavy is imported (polars,
the engine, the native module), so `--help` and a mistyped option answer at
once.  The earlier per-tick replay of the same crossover through
`QuoteManager` is bench/demo_loop.py, the benchmarks' baseline.
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
import warnings
from contextlib import contextmanager, redirect_stdout
from pathlib import Path

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


def _parser() -> argparse.ArgumentParser:
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
                        "month per trading day, rolled as --roll-rule says (default front)")
    parser.add_argument("--roll-rule", default="expiry", metavar="RULE",
                        help="when the front month of daily trade files rolls to the next month: expiry "
                        "(default; the expiry day's night session is the next month's), N (from N trading "
                        "days before the expiry day), or volume (from the day after the next month first "
                        "traded more)")
    parser.add_argument("--roll", choices=("carry", "flatten"), default="carry",
                        help="a position held across a roll: closed and reopened in the new month (carry, "
                        "default) or only closed (flatten)")
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
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    from kelvo_orra_backtest.market_zone import MARKET_ZONE, use_market_zone
    from kelvo_orra_backtest.utils import console

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
    from kelvo_orra_backtest.data.tick_files import TickFileError, codes_to_trade, load_ticks, sample_file

    try:
        if args.ticks is None:
            paths = [sample_file(output_dir)]
            ticks = load_ticks(paths[0])
        else:
            paths = [Path(os.path.abspath(os.path.expanduser(p))) for p in args.ticks]
            ticks = load_ticks(paths[0] if len(paths) == 1 else paths, args.product, args.contract, args.roll_rule)
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
    run_engine(ticks, codes, args.capital, output_dir, costs=args.costs, verbose=args.verbose, started=_STARTED,
               roll=args.roll)
    return 0


def _default_codes(ticks) -> str:
    present = ticks["code"].unique()
    return present[0] if present.len() == 1 else "2330,TXF"


def _demo_strategy(request_at: float, show: bool):
    """The crossover, asking for its positions once at its first bar from `request_at` on."""
    from kelvo_orra_backtest.examples.crossover import Crossover as Base
    from kelvo_orra_backtest.utils import console

    class Crossover(Base):
        asked = False  # plain class attributes, not parameters
        position_rows = ()

        def on_bar(self, ctx, bar):
            super().on_bar(ctx, bar)
            if not self.asked and ctx.timestamp >= request_at:
                self.asked = True
                self.position_rows = ctx.position_rows("Stock") + ctx.position_rows("Future")
                if show:
                    positions_table(self.position_rows, console)

    return Crossover


def run_engine(ticks, codes: list[str], capital: int, output_dir: Path, *, costs: str = "account",
               verbose: bool = False, reports: bool = True, quiet: bool = False, started: float | None = None,
               fast: int = 5, slow: int = 20, qty: int = 1, roll: str = "carry"):
    """The crossover over `ticks` on `codes` through the engine, then the reports and the summary;
    returns the engine's `Result`."""
    from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

    from kelvo_orra_backtest.engine import run as engine_run
    # the account's module (and the libraries it loads) before the replay's clock starts
    from kelvo_orra_backtest.modules.positions import positions  # noqa: F401
    from kelvo_orra_backtest.utils import console

    started = time.perf_counter() if started is None else started
    strategy = _demo_strategy(ticks["timestamp"][ticks.height // 2], show=not quiet)
    with Progress(TextColumn("[bold]回放 Tick"), BarColumn(), TextColumn("{task.completed:,}/{task.total:,}"),
                  TimeRemainingColumn(), console=console, transient=True, disable=quiet) as progress:
        task = progress.add_task("replay", total=ticks.height)
        replay_started = time.perf_counter()
        result = engine_run(strategy, ticks, params={"fast": fast, "slow": slow, "qty": qty, "codes": ",".join(codes)},
                            capital=capital, costs=costs, verbose=verbose, roll=roll,
                            progress=lambda i: progress.update(task, completed=i))
        elapsed = time.perf_counter() - replay_started
    written = []
    if reports:
        with tear_sheet_prints_dropped():
            written = result.report(output_dir)
    if not quiet:
        _engine_summary(console, result, ticks.height, elapsed, written, started)
    return result


def positions_table(rows: list, console) -> None:
    """The positions the strategy side received, as a table on `console`."""
    from rich.table import Table

    table = Table(title="盤中庫存 (策略端查詢)")
    for col in ("code", "quantity", "avg_price", "pnl"):
        table.add_column(col)
    for row in rows:
        table.add_row(*(str(row.get(c)) for c in ("code", "quantity", "avg_price", "pnl")))
    console.print(table, soft_wrap=False)  # tables keep their centred titles


def _engine_summary(console, result, ticks: int, elapsed: float, written: list, started: float) -> None:
    from rich.table import Table

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
    for r in result.rolls.iter_rows(named=True):
        moved = f"{r['qty']:+,} 口 {r['close_price']:,.0f} → {r['open_price']:,.0f}" if r["qty"] and \
            r["open_price"] is not None else "無部位" if not r["qty"] else f"{r['qty']:+,} 口平倉 {r['close_price']:,.0f}"
        console.print(f"換月 {r['code']} {r['old']} → {r['new']} ({r['new_first']:%Y-%m-%d %H:%M}): {moved}",
                      highlight=False)
    if result.stats["lowest_cash"] < 0:
        # the account takes a futures contract's full value on entry and never stops at zero
        console.print(f"[yellow]資金曾低於 0: 最低 {result.stats['lowest_cash']:,.2f} "
                      f"({result.lowest_cash_at:%Y-%m-%d %H:%M:%S})[/yellow]", highlight=False)
    console.print("[bold green]本次輸出檔案:[/bold green]")
    for p in written:
        console.print(f"  {p}", soft_wrap=True, highlight=False)


@contextmanager
def tear_sheet_prints_dropped():
    """The tear-sheet library prints its own line about the file that the
    module's console line already names; only the module's line is kept."""
    from rich.console import Console

    from kelvo_orra_backtest.modules.positions import positions as positions_module
    from kelvo_orra_backtest.utils import console

    previous = positions_module.console
    if previous is console:  # the shared console follows sys.stdout: pin a twin to the real one
        positions_module.console = Console(file=sys.stdout, soft_wrap=console.soft_wrap)
    try:
        with redirect_stdout(io.StringIO()):
            yield
    finally:
        positions_module.console = previous


if __name__ == "__main__":
    raise SystemExit(main())

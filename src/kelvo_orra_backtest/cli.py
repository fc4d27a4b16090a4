"""The `run` verb: one backtest of a strategy file from the command line.

    python -m kelvo_orra_backtest run my_strategy.py:MyStrategy --ticks FILE_OR_DIR --codes TXF --param fast=10

The arguments are read before the engine and its libraries are imported, so
`--help` and a mistyped option answer at once.  Bad input (a strategy file
or class that cannot be used, a parameter the class does not declare or of
the wrong type, a tick file that cannot be replayed) ends with one line on
stderr and exit status 2; a hook of the strategy that raises ends with its
traceback and exit status 1, and nothing is written.
"""
from __future__ import annotations

import argparse
import os
import sys
import traceback
from pathlib import Path

__all__ = ["add_run_parser", "do_run", "load_strategy", "parse_params", "UsageError"]


class UsageError(Exception):
    """Input the run cannot start from; the message is one line for stderr."""


def add_run_parser(verbs) -> argparse.ArgumentParser:
    p = verbs.add_parser(
        "run", help="backtest a strategy class over ticks",
        description="Backtests a Strategy subclass over ticks and prints its summary.",
        epilog="STRATEGY is FILE.py:ClassName (a path, relative to the current directory) or "
        "package.module:ClassName.  Without --ticks the bundled sample is replayed.")
    p.add_argument("strategy", metavar="STRATEGY", help="the strategy class: path/to/file.py:ClassName")
    p.add_argument("--ticks", nargs="+", metavar="PATH",
                   help="CSV or Parquet tick file, or the futures exchange's daily trade files (zips, their "
                   "CSVs, directories or globs of them); default: the bundled sample")
    p.add_argument("--product", default="TX", help="product read from daily trade files (default TX)")
    p.add_argument("--contract", default="front", help="contract month YYYYMM read from daily trade files, "
                   "or front (default)")
    p.add_argument("--roll-rule", default="expiry", metavar="RULE",
                   help="when the front month of daily trade files rolls: expiry (default), N trading days "
                   "before the expiry day, or volume (the day after the next month first traded more)")
    p.add_argument("--roll", choices=("carry", "flatten"), default="carry",
                   help="a position held across a roll: closed and reopened in the new month (carry, default) "
                   "or only closed (flatten)")
    p.add_argument("--codes", help="comma-separated codes whose ticks are replayed (default: every code)")
    p.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                   help="a parameter of the strategy class, in its declared type (repeatable)")
    p.add_argument("--costs", choices=("exchange", "account"), default="exchange",
                   help="cost profile: the exchange's rules (default) or the account's bookings")
    p.add_argument("--capital", type=float, default=5_000_000, help="initial capital (default 5000000)")
    p.add_argument("--output-dir", type=Path, default=Path("data"),
                   help="where --report writes (default ./data)")
    p.add_argument("--report", action="store_true",
                   help="write the trade records, the reports of each traded code and the portfolio's tear sheet")
    p.add_argument("--flatten-minutes", type=float, metavar="N",
                   help="cancel the orders and close the positions of a market N minutes before each session ends")
    p.add_argument("--partial-fills", action="store_true", help="fill orders against each tick's quantity")
    p.add_argument("--latency-ticks", type=int, default=0, metavar="N",
                   help="skip the first N ticks an order could fill at (default 0)")
    p.add_argument("--latency-ms", type=float, default=0.0, metavar="MS",
                   help="skip the ticks earlier than MS milliseconds after an order (default 0)")
    p.add_argument("--check-capital", action="store_true",
                   help="reject orders whose opening value exceeds the cash")
    p.add_argument("--verbose", action="store_true", help="print the account's line for every deal")
    p.set_defaults(handler=do_run)
    return p


def load_strategy(reference: str):
    """The Strategy subclass named by FILE.py:ClassName (or module:ClassName),
    loaded by `engine.loader`; what it refuses is a UsageError here."""
    from kelvo_orra_backtest.engine.loader import StrategyLoadError, load_strategy as load, split_reference

    try:
        if split_reference(reference)[1] is None:  # the command always names the class
            raise UsageError(f"{reference}: expected FILE.py:ClassName")
        return load(reference)
    except StrategyLoadError as exc:
        raise UsageError(_usage_text(reference, exc)) from exc


def _usage_text(reference: str, exc) -> str:
    """The command's one line for a refusal of the loader."""
    where, cause = exc.where, exc.__cause__
    if exc.reason == "reference":
        return f"{reference}: expected FILE.py:ClassName"
    if exc.reason in ("no file", "not a file"):
        return f"{where}: no such file" if exc.reason == "no file" else f"{where}: not a file"
    if exc.reason == "no module" and isinstance(cause, ModuleNotFoundError):
        return f"{where}: no such file or module ({cause})"
    if exc.reason in ("no module", "raised") and cause is not None:
        line = f" ({Path(where).name}, line {exc.line})" if exc.line else ""
        return f"{where}: importing it raised {type(cause).__name__}: {cause}{line}"
    if exc.reason == "no class":
        return f"{where}: no class {exc.name!r} (Strategy subclasses there: {', '.join(sorted(exc.found)) or 'none'})"
    if exc.reason == "not a strategy":
        return f"{where}:{exc.name} is not a subclass of kelvo_orra_backtest.engine.Strategy"
    return str(exc)


def parse_params(klass, items: list[str]) -> dict:
    """`NAME=VALUE` texts converted with the class's declared parameter types."""
    from kelvo_orra_backtest.engine import ParamError

    try:
        declared = klass.parameters()
    except ParamError as exc:
        raise UsageError(str(exc)) from None
    out: dict = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise UsageError(f"--param {item}: expected NAME=VALUE")
        if name in out:
            raise UsageError(f"--param {name}: given twice")
        if name not in declared:
            known = ", ".join(f"{n} ({p.type_name})" for n, p in declared.items()) or "none"
            raise UsageError(f"{klass.__name__}: unknown parameter '{name}' (declared: {known})")
        try:
            out[name] = declared[name].parse(text, klass.__name__)
        except ParamError as exc:
            raise UsageError(str(exc)) from None
    return out


def _load_ticks(args, output_dir: Path):
    from kelvo_orra_backtest.data.tick_files import codes_to_trade, sample_file
    from kelvo_orra_backtest.engine import load

    if args.ticks is None:
        paths = [sample_file(output_dir)]
    else:
        paths = [Path(os.path.abspath(os.path.expanduser(p))) for p in args.ticks]
    frame = load(paths, args.product, args.contract, args.roll_rule)
    label = str(paths[0]) if len(paths) == 1 else f"{paths[0]} (and {len(paths) - 1} more)"
    if args.codes is not None:
        import polars as pl

        codes = codes_to_trade(args.codes, frame, label)
        frame = frame.filter(pl.col("code").is_in(codes))
    return frame


def do_run(args) -> int:
    from kelvo_orra_backtest.market_zone import use_market_zone

    try:
        use_market_zone()
    except RuntimeError as exc:  # the zone's data is missing on this machine
        print(f"error: {exc}", file=sys.stderr)
        return 1
    output_dir = Path(os.path.abspath(os.path.expanduser(args.output_dir)))
    if args.report and output_dir.exists() and not output_dir.is_dir():
        print(f"error: {output_dir}: --output-dir names a file, not a directory", file=sys.stderr)
        return 2
    if args.latency_ticks < 0 or args.latency_ms < 0:
        print("error: --latency-ticks and --latency-ms must be 0 or more", file=sys.stderr)
        return 2
    if args.flatten_minutes is not None and not args.flatten_minutes > 0:
        print("error: --flatten-minutes must be above 0", file=sys.stderr)
        return 2

    from kelvo_orra_backtest.data.tick_files import TickFileError
    from kelvo_orra_backtest.engine import ParamError, StrategyError, TickFormatError, run

    try:
        klass = load_strategy(args.strategy)
        params = parse_params(klass, args.param)
        ticks = _load_ticks(args, output_dir)
    except UsageError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except (TickFileError, TickFormatError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2

    from rich.console import Console
    from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn

    console = Console(soft_wrap=True)
    bar_console = Console(stderr=True)
    try:
        with Progress(TextColumn("[bold]{task.description}"), BarColumn(),
                      TextColumn("{task.completed:,}/{task.total:,} ticks"), TimeElapsedColumn(),
                      TimeRemainingColumn(), console=bar_console, transient=True,
                      disable=not bar_console.is_terminal) as progress:
            task = progress.add_task(klass.__name__, total=ticks.height)
            result = run(klass, ticks, params=params, capital=args.capital, costs=args.costs,
                         partial_fills=args.partial_fills, latency_ticks=args.latency_ticks,
                         latency_ms=args.latency_ms, flatten_minutes=args.flatten_minutes,
                         check_capital=args.check_capital, roll=args.roll, verbose=args.verbose,
                         progress=lambda i: progress.update(task, completed=i))
    except (ParamError, TickFormatError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except StrategyError as exc:
        cause = exc.__cause__
        if cause is not None:
            traceback.print_exception(type(cause), cause, _from_strategy(cause.__traceback__), file=sys.stderr)
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print_summary(console, result)
    if args.report:
        written = result.report(output_dir)
        console.print("[bold green]files written:[/bold green]")
        for path in written:
            console.print(f"  {path}", highlight=False)
    return 0


def _from_strategy(tb):
    """The traceback from the strategy's own frame on: the engine's frames that called the hook left out."""
    engine_dir = str(Path(__file__).resolve().parent / "engine") + os.sep
    first = tb
    while tb is not None and tb.tb_frame.f_code.co_filename.startswith(engine_dir):
        tb = tb.tb_next
    return tb or first


def print_summary(console, result) -> None:
    from rich.table import Table

    table = Table(title=f"{result.strategy}: {result.costs} costs", show_header=False)
    table.add_column("")
    table.add_column("", justify="right")
    for key, value in result.summary():
        table.add_row(key, value)
    console.print(table, soft_wrap=False)
    if result.positions.height:
        open_table = Table(title="open at the end")
        for col in ("code", "qty", "avg_price", "last_price", "unrealised"):
            open_table.add_column(col, justify="left" if col == "code" else "right")
        for row in result.positions.iter_rows(named=True):
            open_table.add_row(row["code"], f"{row['qty']:,}", f"{row['avg_price']:,.2f}",
                               f"{row['last_price']:,.2f}", f"{row['unrealised']:,.2f}")
        console.print(open_table, soft_wrap=False)
    if result.stats["lowest_cash"] < 0:
        console.print(f"[yellow]note: the cash went below zero, to {result.stats['lowest_cash']:,.2f} "
                      f"at {result.lowest_cash_at}[/yellow]", highlight=False)

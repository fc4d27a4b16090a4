"""Parameter sweeps and walk-forward tests of any strategy on Dask.

    python -m kelvo_orra_backtest.sweep [FILE.py:CLASS] --grid fast=5,10,20 slow=30..120:30
        [--ticks FILE ...] [--codes 2330,TXF] [--capital 5000000] [--costs exchange]
        [--sort net_profit] [--top 20] [--random N --seed S]
        [--walk-forward train=40d test=10d] [--report-best N]
        [--output-dir DIR] [--workers N] [--scheduler tcp://HOST:8786]

The command reads its arguments and prints around `run_sweep` of
`kelvo_orra_backtest.sweeping`, where the sweep itself is.  Without a
strategy the example crossover (examples/crossover.py) runs.  Every
set of the grid (or `--random N` sets drawn from it) is one `run` of the
engine and one Dask task; sets the class's `constraint` refuses are skipped
and counted.  By default the command starts a local cluster of one
single-threaded worker process per core and closes it at the end;
`--scheduler` sends the same tasks to a cluster the user runs.  The ticks go
to every worker once: as a Parquet file that the local workers read, or
scattered to the workers of a remote cluster.  A task returns the set's
`Result.stats`, its digest and run time, nothing else.

The table (one column per parameter and per stat, then digest, run_time and
error) is shown sorted by `--sort` and written as "sweep.csv" and
"sweep.parquet" under the output folder, with a heat map of the sort stat
over the first two varied parameters.  That folder is made and checked
before any set runs; while the sets run, each finished one is appended to
"sweep-partial.jsonl" there, which is removed once the tables are written and
kept when they cannot be.  A task that raises is reported in its row; the
others complete and the exit status is 1.  Ctrl-C cancels the pending tasks,
closes the cluster and writes the sets already finished (exit status 130).
A bad grid, strategy, tick file or option ends with one line and status 2.
"""
from __future__ import annotations

import argparse
import os
import re
import sys
from pathlib import Path

# The arguments are read before the sweep's libraries (polars, Dask, the
# engine) are imported, so that --help and a mistyped option answer at once.


def __getattr__(name: str):
    # `from kelvo_orra_backtest.sweep import run_sweep` of earlier versions, imported only when asked for
    if name == "run_sweep":
        from kelvo_orra_backtest.sweeping import run_sweep

        return run_sweep
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _ArgumentError(Exception):
    """An option the sweep cannot start from; the message is one line for stderr."""


def _walk_forward(items: list[str]) -> tuple[int, int]:
    """"train=40d test=10d" -> (40, 10)."""
    found: dict[str, int] = {}
    for item in items:
        m = re.fullmatch(r"\s*(train|test)\s*=\s*(\d+)\s*d?\s*", item)
        if not m:
            raise _ArgumentError(f"walk-forward item '{item}' is not of the form train=40d or test=10d")
        if m[1] in found:
            raise _ArgumentError(f"walk-forward item '{item}': '{m[1]}' is given twice")
        found[m[1]] = int(m[2])
    if set(found) != {"train", "test"}:
        raise _ArgumentError("--walk-forward needs both train=Nd and test=Nd")
    if found["train"] < 1 or found["test"] < 1:
        raise _ArgumentError("--walk-forward: train and test must be 1 day or more")
    return found["train"], found["test"]


def _show(console, result, top: int) -> None:
    from kelvo_orra_backtest import sweep_output

    shown = result.varied or result.params[:1]
    if result.windows is None:
        sweep_output.show_table(console, result.table, shown, result.sort, "參數掃描結果", top)
        return
    sweep_output.show_table(console, result.windows, shown, result.sort, "walk-forward: out of sample", 10 ** 6,
                            extra=("window", "test_first"))
    if result.chosen is not None and result.chosen.height:
        console.print("chosen: " + "; ".join(
            f"{' '.join(f'{n}={sweep_output.fmt(r[n])}' for n in shown)} × {r['chosen']}"
            for r in result.chosen.iter_rows(named=True)), soft_wrap=True)
    s = result.out_of_sample or {}
    keys = ("net_profit", "trades", "win_rate", "profit_factor", "max_drawdown", "sharpe", "return_pct")
    console.print("out of sample, stitched: " + ", ".join(f"{k} {sweep_output.fmt(s.get(k), k)}" for k in keys),
                  soft_wrap=True)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m kelvo_orra_backtest.sweep",
                                     description="Runs a strategy once per parameter set on Dask.")
    parser.add_argument("strategy", nargs="?", metavar="FILE.py:CLASS",
                        help="the strategy class (default: the example crossover, examples/crossover.py)")
    parser.add_argument("--grid", nargs="+", default=[], metavar="NAME=VALUES",
                        help="values of the class's parameters: lists (5,10,20) or ranges (30..120:30); "
                        "every combination runs, the others keep their defaults")
    parser.add_argument("--ticks", type=Path, nargs="+",
                        help="CSV or Parquet tick files replayed as one, or the futures exchange's daily trade "
                        "files (default: the bundled sample)")
    parser.add_argument("--product", default="TX", help="product read from daily trade files (default TX)")
    parser.add_argument("--contract", default="front",
                        help="contract month YYYYMM read from daily trade files, or front (default)")
    parser.add_argument("--roll-rule", default="expiry", metavar="RULE",
                        help="when the front month of daily trade files rolls: expiry (default), N trading days "
                        "before the expiry day, or volume")
    parser.add_argument("--roll", choices=("carry", "flatten"), default="carry",
                        help="a position held across a roll: closed and reopened (carry, default) or only closed")
    parser.add_argument("--codes", help="comma-separated codes to keep (default: every code of the ticks)")
    parser.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default 5000000)")
    parser.add_argument("--costs", default="exchange", choices=("exchange", "account"),
                        help="cost profile of the engine (default exchange)")
    parser.add_argument("--sort", default="net_profit", metavar="STAT",
                        help="stat (or parameter) of the ranking (default net_profit)")
    parser.add_argument("--top", type=int, default=20, help="rows shown on screen (the files hold all; default 20)")
    parser.add_argument("--random", type=int, metavar="N", help="run N sets drawn from the grid instead of all")
    parser.add_argument("--seed", type=int, help="seed of --random")
    parser.add_argument("--walk-forward", nargs=2, metavar=("train=Nd", "test=Nd"),
                        help="walk-forward test over the ticks' trading days")
    parser.add_argument("--report-best", type=int, default=0, metavar="N",
                        help="run the N best sets again in full and write their reports")
    parser.add_argument("--output-dir", type=Path, default=Path(os.getcwd()) / "data" / "sweep",
                        help="folder of the tables, heat map and reports (default ./data/sweep)")
    parser.add_argument("--workers", type=int, help="processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:8786",
                        help="run on this Dask scheduler instead of a local cluster")
    return parser


def main(argv: list[str] | None = None) -> int:
    """The sweep command; returns its exit status (0, 1 when sets failed or
    the tables could not be written, 2 for bad input, 130 when interrupted)."""
    args = _parser().parse_args(argv)
    from kelvo_orra_backtest.market_zone import use_market_zone
    from kelvo_orra_backtest.utils import console

    previous_zone = use_market_zone()
    if previous_zone:
        console.print(f"[yellow]時區 {previous_zone} 改為 Asia/Taipei[/yellow]")
    try:
        walk = _walk_forward(args.walk_forward) if args.walk_forward else None
        if args.seed is not None and args.random is None:
            raise _ArgumentError("--seed goes with --random N")
        codes = None
        if args.codes is not None:
            codes = [c.strip() for c in args.codes.split(",") if c.strip()]
            if not codes:
                raise _ArgumentError("--codes names no code")
    except _ArgumentError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    from kelvo_orra_backtest.sweeping import SweepError, run_sweep

    try:
        result = run_sweep(args.strategy, args.ticks, args.grid, codes=codes, capital=args.capital,
                           costs=args.costs, output_dir=args.output_dir, scheduler=args.scheduler,
                           workers=args.workers, sort=args.sort, random=args.random, seed=args.seed, walk=walk,
                           report_best=args.report_best, product=args.product, contract=args.contract,
                           roll_rule=args.roll_rule, roll=args.roll)
    except SweepError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:  # the tables could not be written at the end; the finished sets are kept
        print(f"error: {exc}", file=sys.stderr)
        return 1

    _show(console, result, args.top)
    if result.skipped:
        console.print(f"略過 {result.skipped} 組 (constraint)")
    for label, folder in result.reports.items():
        console.print(f"[bold green]{label} 報告:[/bold green] {folder}")
    for path in result.files:
        console.print(f"[bold green]已寫入: {path}[/bold green]")
    if result.interrupted:
        console.print(f"[bold yellow]已中斷: 取消 {result.cancelled} 組, 已完成的 {result.table.height} 組已寫入"
                      "[/bold yellow]")
        return 130
    if result.failed:
        console.print(f"[red]{result.failed} 組失敗[/red]")
        return 1
    return 0


if __name__ == "__main__":
    try:
        raise SystemExit(main())
    except KeyboardInterrupt:  # a second Ctrl-C while the cluster closes
        print("interrupted", file=sys.stderr)
        raise SystemExit(130)

"""Parameter sweeps of the demo's crossover strategy on Dask.

    python -m kelvo_orra_backtest.sweep --grid fast=5,10,20 slow=30,60,120 qty=1
        [--ticks FILE ...] [--codes 2330,TXF] [--capital 5000000]
        [--output-dir DIR] [--scheduler tcp://HOST:8786] [--workers N]
        [--sort profit] [--top 20] [--report-best N]

Every combination of the grid is one backtest and one Dask task; a set whose
fast average is not shorter than its slow one is skipped and counted.  By
default the command starts a local cluster of one single-threaded worker
process per core and closes it at the end; `--scheduler` sends the same tasks
to a cluster the user runs (`dask scheduler`, `dask worker`).  The ticks go to
every worker once: as a Parquet file that the local workers read, or
scattered to the workers of a remote cluster.

Each task runs in the market's time zone with the module's console replaced
by a quiet one, and returns the realised figures of its set, computed from
the account's profit rows: trades, profit after costs, fees, tax, win rate,
maximum drawdown of realised equity and run time.  The results are shown as
a table sorted by `--sort` and written as "sweep.csv" and "sweep.parquet"
under the output folder.  That folder is made and checked before any set
runs; while the sets run, each finished one is appended to
"sweep-partial.jsonl" there, which is removed once the tables are written and
kept when they cannot be.  A task that raises is reported in its row; the
others complete and the exit status is 1.  Ctrl-C cancels the pending tasks,
closes the cluster and writes the sets already finished (exit status 130).
"""
from __future__ import annotations

import argparse
import errno
import itertools
import json
import logging
import math
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import warnings
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Mapping, Sequence

import dask
import polars as pl
from distributed import Client, LocalCluster, WorkerPlugin, as_completed
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Table

from kelvo_orra_backtest import demo
from kelvo_orra_backtest.data import sample, taifex
from kelvo_orra_backtest.market_zone import use_market_zone
from kelvo_orra_backtest.utils import console

PARAMS = ("fast", "slow", "qty")
DEFAULTS = {"fast": 5, "slow": 20, "qty": 1}
# Figures of one set, in the order of the table and the files.
METRICS = ("deals", "trades", "profit", "fees", "tax", "win_rate", "max_drawdown", "max_drawdown_pct",
           "run_time")
# Sort keys whose larger values are better; the others sort smallest first.
LARGER_IS_BETTER = {"deals", "trades", "profit", "win_rate"}
SORT_KEYS = PARAMS + METRICS
SCHEMA = {
    "fast": pl.Int64, "slow": pl.Int64, "qty": pl.Int64,
    "deals": pl.Int64, "trades": pl.Int64, "profit": pl.Float64, "fees": pl.Float64, "tax": pl.Float64,
    "win_rate": pl.Float64, "max_drawdown": pl.Float64, "max_drawdown_pct": pl.Float64,
    "run_time": pl.Float64, "error": pl.Utf8,
}


class SweepError(Exception):
    """A sweep that cannot start: a bad grid, tick file, sort key, output folder,
    cluster address, or a local cluster that does not come up."""


PARTIAL = "sweep-partial.jsonl"  # the finished sets while the sweep runs, one JSON object a line
CLUSTER_STARTS = 3  # attempts at starting the local cluster (a worker may die while it starts)


# --------------------------------------------------------------------------- grid


def parse_grid(items: Iterable[str]) -> dict[str, list[int]]:
    """Reads "name=v1,v2,..." items into a grid; names not given keep the demo's value."""
    grid: dict[str, list[int]] = {}
    for item in items:
        name, sep, values = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise SweepError(f"grid item '{item}' is not of the form name=v1,v2,...")
        if name not in PARAMS:
            raise SweepError(f"grid item '{item}': unknown parameter '{name}' (expected one of {', '.join(PARAMS)})")
        if name in grid:
            raise SweepError(f"grid item '{item}': parameter '{name}' is given twice")
        parsed: list[int] = []
        for text in values.split(","):
            try:
                value = int(text.strip())
            except ValueError:
                raise SweepError(f"grid item '{item}': '{text.strip()}' is not a whole number") from None
            if value < 1:
                raise SweepError(f"grid item '{item}': {value} is not a positive whole number")
            if value not in parsed:  # a value given twice would run the same set twice
                parsed.append(value)
        grid[name] = parsed
    return grid


def expand_grid(grid: Mapping[str, Sequence[int]]) -> tuple[list[dict[str, int]], int]:
    """Every combination of the grid, and how many were skipped for fast >= slow."""
    unknown = set(grid) - set(PARAMS)
    if unknown:
        raise SweepError(f"unknown grid parameter(s): {', '.join(sorted(unknown))}")
    axes = []
    for name in PARAMS:
        values = list(dict.fromkeys(grid.get(name, [DEFAULTS[name]])))
        if not values:
            raise SweepError(f"grid parameter '{name}' has no values")
        for v in values:
            if type(v) is not int or v < 1:
                raise SweepError(f"grid parameter '{name}': {v!r} is not a positive whole number")
        axes.append(values)
    sets, skipped = [], 0
    for combo in itertools.product(*axes):
        params = dict(zip(PARAMS, combo))
        if params["fast"] >= params["slow"]:
            skipped += 1
        else:
            sets.append(params)
    return sets, skipped


def set_label(params: Mapping[str, int]) -> str:
    return "-".join(f"{name}{params[name]}" for name in PARAMS)


# --------------------------------------------------------------------------- one set

# Tasks in one process share the module's globals (its console, the data
# directory); they take turns, so a worker with several threads stays correct.
_PROCESS_LOCK = threading.Lock()
_LOADED: dict[str, Any] = {}  # the tick file a worker process read last: key and frame


class _QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


@contextmanager
def _quiet_module():
    """The module's console prints nothing until the block ends."""
    module = demo.positions_module
    previous = module.console
    module.console = _QuietConsole()
    try:
        yield
    finally:
        module.console = previous


def _ticks_of(ticks: pl.DataFrame | str | os.PathLike) -> pl.DataFrame:
    """The tick frame itself, or the Parquet file's frame, read once per process."""
    if isinstance(ticks, pl.DataFrame):
        return ticks
    path = Path(ticks)
    st = path.stat()
    key = f"{path.resolve()}:{st.st_mtime_ns}:{st.st_size}"
    if _LOADED.get("key") != key:
        _LOADED.clear()
        _LOADED.update(key=key, frame=pl.read_parquet(path))
    return _LOADED["frame"]


def realised_metrics(rows: Sequence[Mapping[str, Any]], capital: float) -> dict[str, Any]:
    """Trades, profit, costs, win rate and the largest fall of realised equity
    (the capital plus the profit of every cover so far, in cover order)."""
    profit = fees = tax = 0.0
    wins = 0
    equity = peak = float(capital)
    max_dd = max_dd_pct = 0.0
    for row in rows:
        p = row["profit"]
        profit += p
        fees += row["trade_cost_fee"] + row["cover_cost_fee"] + row["trade_cost_fixed"] + row["cover_cost_fixed"]
        tax += row["trade_cost_tax"] + row["cover_cost_tax"]
        wins += p > 0
        equity += p
        peak = max(peak, equity)
        drawdown = peak - equity
        if drawdown > max_dd:
            max_dd = drawdown
        if peak > 0 and drawdown / peak > max_dd_pct:
            max_dd_pct = drawdown / peak
    trades = len(rows)
    return {
        "trades": trades, "profit": profit, "fees": fees, "tax": tax,
        "win_rate": wins / trades if trades else None,
        "max_drawdown": max_dd, "max_drawdown_pct": max_dd_pct,
    }


def backtest_set(ticks: pl.DataFrame | str, params: Mapping[str, int], codes: Sequence[str],
                 capital: int) -> dict[str, Any]:
    """Runs one parameter set and returns its figures (a task of the sweep)."""
    use_market_zone()
    with _PROCESS_LOCK, _quiet_module(), tempfile.TemporaryDirectory(prefix="sweep-set-") as tmp:
        frame = _ticks_of(ticks)
        started = time.perf_counter()
        stats = demo.run(frame, list(codes), capital, Path(tmp), verbose=False, reports=False, quiet=True,
                         fast=params["fast"], slow=params["slow"], qty=params["qty"])
        elapsed = time.perf_counter() - started
        figures = realised_metrics(stats.profit_rows, capital)
    return {"deals": stats.deals, **figures, "run_time": elapsed}


def write_reports(ticks: pl.DataFrame | str, params: Mapping[str, int], codes: Sequence[str], capital: int,
                  output_dir: str) -> list[str]:
    """Runs one set again with the trade records, standard and performance
    reports of each traded code written under `output_dir`; returns the files."""
    use_market_zone()
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    with _PROCESS_LOCK, _quiet_module(), warnings.catch_warnings():
        # the charts' own notices (fonts, flat axes) are not the user's concern
        warnings.simplefilter("ignore", UserWarning)
        out = Path(output_dir)
        demo.run(_ticks_of(ticks), list(codes), capital, out, verbose=False, reports=True, quiet=True,
                 fast=params["fast"], slow=params["slow"], qty=params["qty"])
    return sorted(str(p) for p in out.rglob("*") if p.is_file())


# --------------------------------------------------------------------------- results


def _error_text(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _result_row(params: Mapping[str, int], figures: Mapping[str, Any] | None, error: str | None) -> dict:
    row: dict[str, Any] = dict(params)
    for name in METRICS:
        row[name] = None if figures is None else figures.get(name)
    row["error"] = error
    return row


def sort_table(table: pl.DataFrame, key: str) -> pl.DataFrame:
    """Best first by `key`; failed sets after the others, in grid order."""
    if key not in SORT_KEYS:
        raise SweepError(f"cannot sort by '{key}' (expected one of {', '.join(SORT_KEYS)})")
    ok = table.filter(pl.col("error").is_null())
    failed = table.filter(pl.col("error").is_not_null())
    ok = ok.sort([key, *PARAMS], descending=[key in LARGER_IS_BETTER] + [False] * len(PARAMS), nulls_last=True)
    return pl.concat([ok, failed.sort(list(PARAMS))])


@dataclass
class SweepResult:
    table: pl.DataFrame  # one row per set that ran, sorted; "error" is null where it succeeded
    skipped: int = 0  # sets left out because fast >= slow
    cancelled: int = 0  # sets not finished when the sweep was interrupted
    interrupted: bool = False
    files: list[Path] = field(default_factory=list)  # the CSV and Parquet tables
    reports: dict[str, Path] = field(default_factory=dict)  # set label -> folder of its reports

    @property
    def failed(self) -> int:
        return self.table.filter(pl.col("error").is_not_null()).height


# --------------------------------------------------------------------------- engine


def _load(ticks: pl.DataFrame | str | os.PathLike | Sequence[str | os.PathLike]) -> pl.DataFrame:
    if isinstance(ticks, pl.DataFrame):
        return ticks
    try:
        if ticks is None:
            paths = [sample.sample_path()]
        else:
            paths = [ticks] if isinstance(ticks, (str, os.PathLike)) else list(ticks)
        if not paths:
            raise SweepError("no tick file given")
        if any(taifex.is_daily_file(p) for p in paths):  # the futures exchange's daily files, read as one
            frames = [demo.load_ticks(paths)]
        else:
            frames = [demo.load_ticks(Path(p)) for p in paths]
    except (demo.TickFileError, OSError) as exc:
        raise SweepError(str(exc)) from None
    frame = frames[0] if len(frames) == 1 else pl.concat(frames)
    return frame.sort("timestamp", maintain_order=True)


class _IgnoreCtrlC(WorkerPlugin):
    """Local workers ignore SIGINT: Ctrl-C at the terminal reaches every
    process of the foreground group, and the workers must stay up while the
    command cancels the pending tasks and closes the cluster in order."""

    name = "sweep-ignore-ctrl-c"

    def setup(self, worker) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextmanager
def _cluster(scheduler: str | None, workers: int | None):
    """A client on the given scheduler, or on a local cluster started and closed here."""
    if scheduler is None:
        n = workers or os.cpu_count() or 1
        # One task at a time per worker: a worker that dies takes no queued
        # task of another set down with it.  The engine's own log lines (a
        # connection closed while the cluster shuts down) stay off the screen;
        # what matters of a failure reaches the set's row.
        with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
            for attempt in range(1, CLUSTER_STARTS + 1):
                try:
                    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=logging.CRITICAL)
                    break
                except (RuntimeError, OSError, TimeoutError) as exc:  # it has closed what it started
                    if attempt == CLUSTER_STARTS:
                        raise SweepError(f"the local cluster could not start in {CLUSTER_STARTS} attempts "
                                         f"({_error_text(exc)})") from None
        try:
            client = Client(cluster)
            try:
                client.register_plugin(_IgnoreCtrlC())
                yield client, True
            finally:
                client.close(timeout=30)
        finally:
            cluster.close(timeout=30)
        return
    try:
        client = Client(scheduler, timeout="10s")
    except (OSError, TimeoutError) as exc:
        raise SweepError(f"cannot reach the scheduler at {scheduler} ({_error_text(exc)})") from None
    try:
        try:
            client.wait_for_workers(1, timeout=30)
        except TimeoutError:
            raise SweepError(f"no worker joined the scheduler at {scheduler} within 30 s") from None
        yield client, False
    finally:
        client.close()


def run_sweep(ticks: pl.DataFrame | str | os.PathLike | Sequence[str | os.PathLike] | None = None,
              grid: Mapping[str, Sequence[int]] | None = None, *, codes: Sequence[str] = ("2330", "TXF"),
              capital: int = 5_000_000, output_dir: str | os.PathLike | None = None,
              scheduler: str | None = None, workers: int | None = None, sort: str = "profit",
              report_best: int = 0, progress: bool = True,
              task: Callable[..., Mapping[str, Any]] = backtest_set) -> SweepResult:
    """Runs the demo's strategy once per set of `grid` on Dask and returns the table.

    `ticks` is a tick frame, one or more tick files or the futures exchange's
    daily files (the bundled sample when None); `grid` maps "fast",
    "slow" and "qty" to their values (the demo's value where absent).  Without
    `scheduler` a local cluster of `workers` processes (default: one per
    core) is started and closed here.  With `output_dir` the table is written
    as "sweep.csv" and "sweep.parquet" there, and the reports of the
    `report_best` best sets under its "best" folder; the folder is checked
    before any set runs (SweepError), and each finished set is appended to
    its PARTIAL file until the tables are written (an OSError naming that
    file when they cannot be).  `task` runs one set
    (arguments as `backtest_set`); it must be importable or picklable.
    """
    sort_table(pl.DataFrame(schema=SCHEMA), sort)  # refuse a bad key before any work
    if report_best < 0:
        raise SweepError(f"report_best must be 0 or more, not {report_best}")
    if workers is not None and workers < 1:
        raise SweepError(f"workers must be 1 or more, not {workers}")
    sets, skipped = expand_grid(grid or {})
    if not sets:
        raise SweepError(f"nothing to run: all {skipped} set(s) of the grid have fast >= slow")
    codes = [c for c in codes]
    out = Path(output_dir).resolve() if output_dir is not None else None
    frame = _load(ticks)
    partial = _check_output(out, report_best) if out is not None else None

    rows: dict[int, dict] = {}
    interrupted = False
    staging = tempfile.mkdtemp(prefix="sweep-ticks-")
    try:
        with _cluster(scheduler, workers) as (client, local):
            if local:  # the workers share this file system: they read the ticks from one file
                tick_ref: Any = os.path.join(staging, "ticks.parquet")
                frame.write_parquet(tick_ref)
            else:
                tick_ref = client.scatter(frame, broadcast=True)
            futures = {client.submit(task, tick_ref, params, codes, capital, key=f"sweep-{i}-{set_label(params)}",
                                     pure=False): i for i, params in enumerate(sets)}
            try:
                with Progress(TextColumn("[bold]參數組合"), BarColumn(), MofNCompleteColumn(),
                              TextColumn("{task.fields[failed]} 失敗"), TimeElapsedColumn(),
                              console=console, disable=not progress) as bar, \
                        open(partial if partial is not None else os.devnull, "a", encoding="utf-8") as log:
                    bar_task = bar.add_task("sweep", total=len(sets), failed=0)
                    for fut, value in _finished(client, futures):
                        i = futures[fut]
                        if i in rows:  # one row per set, whatever the engine reports twice
                            continue
                        if isinstance(value, Mapping):
                            rows[i] = _result_row(sets[i], value, None)
                        else:  # the exception, or (type, exception, traceback) of a task that raised
                            error = value[1] if isinstance(value, tuple) else value
                            rows[i] = _result_row(sets[i], None, _error_text(error))
                        log.write(json.dumps(rows[i], ensure_ascii=False) + "\n")
                        log.flush()
                        bar.update(bar_task, advance=1,
                                   failed=sum(r["error"] is not None for r in rows.values()))
            except _NoWorkers as exc:
                client.cancel([f for f in futures if not f.done()], force=True)
                for i, params in enumerate(sets):
                    rows.setdefault(i, _result_row(params, None, str(exc)))
            except KeyboardInterrupt:
                interrupted = True
                client.cancel([f for f in futures if not f.done()], force=True)
            table = sort_table(pl.DataFrame([rows[i] for i in sorted(rows)], schema=SCHEMA), sort)
            result = SweepResult(table=table, skipped=skipped, cancelled=len(sets) - len(rows),
                                 interrupted=interrupted)
            if out is not None:
                try:
                    result.files = _write_tables(table, out)
                except OSError as exc:
                    raise OSError(f"cannot write the tables under {out} ({_error_text(exc)}); "
                                  f"the {len(rows)} finished set(s) are in {partial}") from exc
                partial.unlink(missing_ok=True)
            if report_best and out is not None and not interrupted:
                result.reports = _best_reports(client if local else None, tick_ref if local else frame, table,
                                               report_best, codes, capital, out / "best")
    finally:
        shutil.rmtree(staging, ignore_errors=True)
        if partial is not None and not rows:  # nothing finished, nothing to keep
            partial.unlink(missing_ok=True)
    return result


def _check_output(out: Path, report_best: int) -> Path:
    """Makes the output folder and proves that every path the sweep writes
    there can be written, before any set runs; returns the file of the
    finished sets, started empty."""
    try:
        out.mkdir(parents=True, exist_ok=True)
        if report_best:
            (out / "best").mkdir(exist_ok=True)
        for path in (out / "sweep.csv", out / "sweep.parquet"):
            if path.is_dir():
                raise IsADirectoryError(errno.EISDIR, "is a folder", str(path))
            if path.exists() and not os.access(path, os.W_OK):
                raise PermissionError(errno.EACCES, "cannot be written", str(path))
        partial = out / PARTIAL
        partial.write_text("", encoding="utf-8")
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        raise SweepError(f"output folder {out} cannot be written ({where}{exc.strerror or exc})") from None
    return partial


def _write_tables(table: pl.DataFrame, out: Path) -> list[Path]:
    csv, parquet = out / "sweep.csv", out / "sweep.parquet"
    table.write_csv(csv)
    table.write_parquet(parquet)
    return [csv, parquet]


class _NoWorkers(Exception):
    pass


NO_WORKER_TIMEOUT = 60.0  # seconds without any worker before the unfinished sets fail


def _finished(client, futures):
    """(future, result or error) of each task as it ends.  A cluster that has
    lost every worker (their restarts failed too) ends the wait after
    NO_WORKER_TIMEOUT instead of leaving the sets queued for ever."""
    done = as_completed(futures, with_results=True, raise_errors=False)
    next_check = time.monotonic()
    workerless_since = None
    while not done.is_empty():
        batch = done.next_batch(block=False)
        yield from batch
        if batch:
            continue
        now = time.monotonic()
        if now >= next_check:
            next_check = now + 2.0
            if client.nthreads():
                workerless_since = None
            elif workerless_since is None:
                workerless_since = now
            elif now - workerless_since > NO_WORKER_TIMEOUT:
                raise _NoWorkers(f"no worker left on the cluster for {NO_WORKER_TIMEOUT:.0f} s")
        time.sleep(0.05)


def _best_reports(client, ticks_ref, table: pl.DataFrame, n: int, codes: list[str], capital: int,
                  root: Path) -> dict[str, Path]:
    """Reports of the `n` best sets: on the local cluster's workers when there
    is one (they share this file system), otherwise in this process."""
    best = table.filter(pl.col("error").is_null()).head(n)
    jobs = []
    for rank, row in enumerate(best.iter_rows(named=True), 1):
        params = {name: row[name] for name in PARAMS}
        label = set_label(params)
        folder = root / f"{rank}-{label}"
        shutil.rmtree(folder, ignore_errors=True)
        jobs.append((label, params, folder))
    if client is not None:
        futures = [client.submit(write_reports, ticks_ref, params, codes, capital, str(folder),
                                 key=f"report-{label}", pure=False) for label, params, folder in jobs]
        client.gather(futures)
    else:
        for label, params, folder in jobs:
            write_reports(ticks_ref, params, codes, capital, str(folder))
    return {label: folder for label, _, folder in jobs}


# --------------------------------------------------------------------------- command


def _fmt(value: Any, pattern: str) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return format(value, pattern)


def show_table(result: SweepResult, top: int) -> None:
    ok = result.table.filter(pl.col("error").is_null())
    failed = result.table.filter(pl.col("error").is_not_null())
    table = Table(title="參數掃描結果")
    for name in ("fast", "slow", "qty", "交易", "損益", "手續費", "稅", "勝率", "最大回落", "秒"):
        table.add_column(name, justify="right")
    if failed.height:
        table.add_column("錯誤", overflow="fold")
    for row in itertools.chain(ok.head(top).iter_rows(named=True), failed.iter_rows(named=True)):
        cells = [str(row["fast"]), str(row["slow"]), str(row["qty"]), _fmt(row["trades"], ","),
                 _fmt(row["profit"], ",.0f"), _fmt(row["fees"], ",.0f"), _fmt(row["tax"], ",.0f"),
                 _fmt(row["win_rate"], ".1%"), _fmt(row["max_drawdown"], ",.0f"), _fmt(row["run_time"], ".1f")]
        if failed.height:
            cells.append(f"[red]{row['error']}[/red]" if row["error"] else "")
        table.add_row(*cells)
    console.print(table)
    if ok.height > top:
        console.print(f"(前 {top} 組, 共 {ok.height} 組成功)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_orra_backtest.sweep",
                                     description="Runs the demo's crossover strategy once per parameter set on Dask.")
    parser.add_argument("--ticks", type=Path, nargs="+",
                        help="CSV or Parquet tick files replayed as one, or the futures exchange's daily trade "
                        "files as the demo takes them (default: the bundled sample)")
    parser.add_argument("--codes", default="2330,TXF", help="comma-separated codes to trade (default 2330,TXF)")
    parser.add_argument("--grid", nargs="+", default=[], metavar="NAME=V1,V2",
                        help="values of fast, slow and qty; every combination runs (default fast=5 slow=20 qty=1)")
    parser.add_argument("--capital", type=int, default=5_000_000, help="initial capital (default 5000000)")
    parser.add_argument("--output-dir", type=Path, default=Path(os.getcwd()) / "data" / "sweep",
                        help="folder of sweep.csv, sweep.parquet and the best sets' reports (default ./data/sweep)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:8786",
                        help="run on this Dask scheduler instead of a local cluster")
    parser.add_argument("--workers", type=int, help="processes of the local cluster (default: one per core)")
    parser.add_argument("--sort", default="profit", choices=SORT_KEYS, help="metric of the ranking (default profit)")
    parser.add_argument("--top", type=int, default=20, help="rows shown on screen (the files hold all; default 20)")
    parser.add_argument("--report-best", type=int, default=0, metavar="N",
                        help="write the standard and performance reports of the N best sets")
    args = parser.parse_args(argv)

    previous_zone = use_market_zone()
    if previous_zone:
        console.print(f"[yellow]時區 {previous_zone} 改為 Asia/Taipei[/yellow]")
    try:
        grid = parse_grid(args.grid)
        codes = [c.strip() for c in args.codes.split(",") if c.strip()]
        if not codes:
            raise SweepError("--codes names no code")
        result = run_sweep(args.ticks, grid, codes=codes, capital=args.capital, output_dir=args.output_dir,
                           scheduler=args.scheduler, workers=args.workers, sort=args.sort,
                           report_best=args.report_best)
    except SweepError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:  # the tables could not be written at the end; the finished sets are kept
        print(f"error: {exc}", file=sys.stderr)
        return 1

    show_table(result, args.top)
    if result.skipped:
        console.print(f"略過 {result.skipped} 組 (fast >= slow)")
    for label, folder in result.reports.items():
        console.print(f"[bold green]{label} 報告:[/bold green] {folder}")
    for path in result.files:
        console.print(f"[bold green]已寫入: {path}[/bold green]")
    if result.interrupted:
        console.print(f"[bold yellow]已中斷: 取消 {result.cancelled} 組, 已完成的 {result.table.height} 組已寫入[/bold yellow]")
        return 130
    if result.failed:
        console.print(f"[red]{result.failed} 組失敗[/red]")
        return 1
    return 0


if __name__ == "__main__":
    # The tasks must reach the workers as functions of the importable module,
    # not of this script's copy of it.
    from kelvo_orra_backtest.sweep import main as _main

    try:
        raise SystemExit(_main())
    except KeyboardInterrupt:  # a second Ctrl-C while the cluster closes
        print("interrupted", file=sys.stderr)
        raise SystemExit(130)

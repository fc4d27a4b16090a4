"""Parameter sweeps and walk-forward tests of any strategy on Dask.

    python -m kelvo_orra_backtest.sweep [FILE.py:CLASS] --grid fast=5,10,20 slow=30..120:30
        [--ticks FILE ...] [--codes 2330,TXF] [--capital 5000000] [--costs exchange]
        [--sort net_profit] [--top 20] [--random N --seed S]
        [--walk-forward train=40d test=10d] [--report-best N]
        [--output-dir DIR] [--workers N] [--scheduler tcp://HOST:8786]

Without a strategy the example crossover (examples/crossover.py) runs.  Every
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
import errno
import json
import logging
import math
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import uuid
import warnings
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

import dask
import polars as pl
from distributed import Client, LocalCluster, WorkerPlugin, as_completed
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

from kelvo_orra_backtest import sweep_output, walk_forward
from kelvo_orra_backtest.engine.loader import StrategyLoadError, StrategySource, strategy_source
from kelvo_orra_backtest.engine.result import STAT_KEYS
from kelvo_orra_backtest.engine.strategy import ParamError, Strategy
from kelvo_orra_backtest.market_zone import use_market_zone
from kelvo_orra_backtest.sweep_space import GridError, Space, parse_grid
from kelvo_orra_backtest.utils import console

# the example crossover ships inside the package, so an installed sweep finds it too
DEFAULT_STRATEGY = "kelvo_orra_backtest.examples.crossover:Crossover"
# Stats whose smaller values are better; the others (and parameters) rank largest first.
SMALLER_IS_BETTER = {"fees", "tax", "max_drawdown", "max_drawdown_pct", "max_drawdown_days", "run_time"}
INT_STATS = {"trades"}
TAIL = ("digest", "run_time", "error")
PARTIAL = "sweep-partial.jsonl"  # the finished sets while the sweep runs, one JSON object a line
CLUSTER_STARTS = 3  # attempts at starting the local cluster (a worker may die while it starts)
NO_WORKER_TIMEOUT = 60.0  # seconds without any worker before the unfinished sets fail


class SweepError(Exception):
    """A sweep that cannot start: a bad strategy, grid, tick file, sort key,
    output folder, cluster address, or a local cluster that does not come up."""


# --------------------------------------------------------------------------- one set (on a worker)

# Tasks in one process share the module's globals (its console, the data
# directory); they take turns, so a worker with several threads stays correct.
_PROCESS_LOCK = threading.Lock()
_LOADED: dict[str, Any] = {}  # the tick file a worker process read last: key and frame
_SLICE: dict[Any, pl.DataFrame] = {}  # the last window of days cut from it


def _ticks_of(ticks: pl.DataFrame | str | os.PathLike) -> pl.DataFrame:
    """The tick frame itself, or the Parquet file's frame, read once per process."""
    if isinstance(ticks, pl.DataFrame):
        return ticks
    path = Path(ticks)
    st = path.stat()
    key = f"{path.resolve()}:{st.st_mtime_ns}:{st.st_size}"
    if _LOADED.get("key") != key:
        _LOADED.clear()
        _SLICE.clear()
        _LOADED.update(key=key, frame=pl.read_parquet(path))
    return _LOADED["frame"]


def _days_of(frame: pl.DataFrame, days: tuple | None) -> pl.DataFrame:
    """The ticks of the trading days `days` (first, last), both included."""
    if days is None:
        return frame
    key = (id(frame), days)
    if key not in _SLICE:
        _SLICE.clear()
        _SLICE[key] = frame.filter(pl.col(walk_forward.DAY_COLUMN).is_between(days[0], days[1]))
    return _SLICE[key]


def _strategy_of(strategy: StrategySource | type) -> type:
    return strategy if isinstance(strategy, type) else strategy.load()


def run_set(ticks: pl.DataFrame | str, strategy: StrategySource | type, params: Mapping[str, Any],
            options: Mapping[str, Any], days: tuple | None = None, daily: bool = False) -> dict[str, Any]:
    """One set: `run` of the strategy over the ticks (of `days` when given);
    its stats, digest and run time, and with `daily` the profit of each
    trading day (a task of the sweep)."""
    from kelvo_orra_backtest.engine.run import run

    use_market_zone()
    cls = _strategy_of(strategy)
    with _PROCESS_LOCK:
        frame = _days_of(_ticks_of(ticks), days)
        started = time.perf_counter()
        result = run(cls, frame, params=dict(params), **options)
        elapsed = time.perf_counter() - started
    out = {**result.stats, "digest": result.digest, "run_time": elapsed}
    if daily:
        d = result.daily
        pnl = d["total"] - d["total"].shift(1).fill_null(options.get("capital", 5_000_000))
        out["daily"] = [(day.isoformat(), float(v)) for day, v in zip(d["day"].to_list(), pnl.to_list())]
    return out


def write_report(ticks: pl.DataFrame | str, strategy: StrategySource | type, params: Mapping[str, Any],
                 options: Mapping[str, Any], folder: str) -> list[str]:
    """Runs one set again in full and writes its reports (`Result.report`) under `folder`."""
    from kelvo_orra_backtest.engine.run import _module_console, run

    use_market_zone()
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    cls = _strategy_of(strategy)
    with _PROCESS_LOCK, warnings.catch_warnings():
        # the charts' own notices (fonts, flat axes) are not the user's concern
        warnings.simplefilter("ignore", UserWarning)
        result = run(cls, _ticks_of(ticks), params=dict(params), **options)
        with _module_console(False):  # the account announces every file it writes
            return [str(p) for p in result.report(folder)]


# --------------------------------------------------------------------------- rows and tables


def _error_text(exc: BaseException) -> str:
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


def _row(schema: Mapping[str, Any], head: Mapping[str, Any], figures: Mapping[str, Any] | None,
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


def _json_line(row: Mapping[str, Any]) -> str:
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


# --------------------------------------------------------------------------- ticks and cluster


def _load(ticks, codes: Sequence[str] | None) -> pl.DataFrame:
    from kelvo_orra_backtest.data import sample, taifex
    from kelvo_orra_backtest.data.tick_files import TickFileError, load_ticks

    if isinstance(ticks, pl.DataFrame):
        frame = ticks
    else:
        try:
            if ticks is None:
                paths = [sample.sample_path()]
            else:
                paths = [ticks] if isinstance(ticks, (str, os.PathLike)) else list(ticks)
            if not paths:
                raise SweepError("no tick file given")
            if any(taifex.is_daily_file(p) for p in paths):  # the futures exchange's daily files, read as one
                frames = [load_ticks(paths)]
            else:
                frames = [load_ticks(Path(p)) for p in paths]
        except (TickFileError, OSError) as exc:
            raise SweepError(str(exc)) from None
        frame = frames[0] if len(frames) == 1 else pl.concat(frames)
    frame = frame.sort("timestamp", maintain_order=True)
    if codes is not None:
        missing = [c for c in codes if c not in set(frame["code"].unique().to_list())]
        if missing:
            raise SweepError(f"--codes: no ticks of {', '.join(missing)} in the tick data")
        frame = frame.filter(pl.col("code").is_in(list(codes)))
    return frame


class _IgnoreCtrlC(WorkerPlugin):
    """Local workers ignore SIGINT: Ctrl-C at the terminal reaches every
    process of the foreground group, and the workers must stay up while the
    command cancels the pending tasks and closes the cluster in order."""

    name = "sweep-ignore-ctrl-c"

    def setup(self, worker) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextmanager
def _cluster(scheduler: str | None, workers: int | None, client: Client | None = None):
    """A client on the given scheduler, or on a local cluster started and closed here
    (or the caller's own client, left open)."""
    if client is not None:
        yield client, isinstance(getattr(client, "cluster", None), LocalCluster)
        return
    if scheduler is None:
        n = workers or os.cpu_count() or 1
        # One task at a time per worker: a worker that dies takes no queued
        # task of another set down with it.  The engine's own log lines (a
        # connection closed while the cluster shuts down) stay off the screen;
        # what matters of a failure reaches the set's row.
        with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}), warnings.catch_warnings():
            # the scheduler's HTTP endpoints move to a free port when another cluster holds the usual one
            warnings.filterwarnings("ignore", message="Port .* is already in use", category=UserWarning)
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


class _NoWorkers(Exception):
    pass


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


def _gather(client, jobs: list[tuple[dict, tuple]], make_row: Callable[[int, Any, str | None], dict],
            log, progress: bool, label: str, token: str, tag: str) -> tuple[dict[int, dict], dict[int, Any], bool]:
    """Submits `jobs` ((head, task arguments) each) and collects one row per
    job as it finishes, each appended to `log` at once.  Returns the rows by
    job, the raw figures by job, and whether Ctrl-C ended the wait."""
    rows: dict[int, dict] = {}
    figures: dict[int, Any] = {}
    futures = {client.submit(*args, key=f"{tag}-{token}-{i}", pure=False): i for i, (_, args) in enumerate(jobs)}
    interrupted = False
    try:
        with Progress(TextColumn(f"[bold]{label}"), BarColumn(), MofNCompleteColumn(),
                      TextColumn("{task.fields[failed]} 失敗"), TimeElapsedColumn(),
                      console=console, disable=not progress) as bar:
            bar_task = bar.add_task("sweep", total=len(jobs), failed=0)
            failed = 0
            for fut, value in _finished(client, futures):
                i = futures[fut]
                if i in rows:  # one row per set, whatever the engine reports twice
                    continue
                if isinstance(value, Mapping):
                    rows[i] = make_row(i, value, None)
                    figures[i] = value
                else:  # the exception, or (type, exception, traceback) of a task that raised
                    error = value[1] if isinstance(value, tuple) else value
                    rows[i] = make_row(i, None, _error_text(error))
                    failed += 1
                log.write(_json_line(rows[i]) + "\n")
                log.flush()
                bar.update(bar_task, advance=1, failed=failed)
    except _NoWorkers as exc:
        client.cancel([f for f in futures if not f.done()], force=True)
        for i in range(len(jobs)):
            if i not in rows:
                rows[i] = make_row(i, None, str(exc))
                log.write(_json_line(rows[i]) + "\n")
    except KeyboardInterrupt:
        interrupted = True
        client.cancel([f for f in futures if not f.done()], force=True)
    return rows, figures, interrupted


# --------------------------------------------------------------------------- the sweep


def _check_output(out: Path, stems: Sequence[str], report_best: int) -> Path:
    """Makes the output folder and proves that every path the sweep writes
    there can be written, before any set runs; returns the file of the
    finished sets, started empty."""
    try:
        out.mkdir(parents=True, exist_ok=True)
        if report_best:
            (out / "best").mkdir(exist_ok=True)
        for stem in stems:
            for path in (out / f"{stem}.csv", out / f"{stem}.parquet"):
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


def _source(strategy) -> tuple[type, StrategySource | type]:
    """The class (here) and what the workers load it from."""
    if strategy is None:
        strategy = DEFAULT_STRATEGY
    try:
        if isinstance(strategy, str):
            source = strategy_source(strategy)
            return source.load(), source
        if isinstance(strategy, StrategySource):
            return strategy.load(), strategy
    except StrategyLoadError as exc:
        raise SweepError(str(exc)) from None
    if not (isinstance(strategy, type) and issubclass(strategy, Strategy)):
        raise SweepError(f"expected a Strategy subclass or FILE.py:CLASS, got {strategy!r}")
    module = sys.modules.get(strategy.__module__)
    path = getattr(module, "__file__", None)
    if strategy.__module__.startswith("_strategy_file_") and path and os.path.isfile(path):
        # a class read from a file by the loader: the workers read the same text
        with open(path, encoding="utf-8") as fh:
            return strategy, StrategySource(path, fh.read(), strategy.__name__)
    return strategy, strategy  # an importable module's class travels by reference


def _space(cls: type, grid, fixed: Mapping[str, Any]) -> Space:
    try:
        if grid is None or isinstance(grid, Mapping):
            return Space(cls, dict(grid or {}), fixed)
        return Space(cls, parse_grid(cls, list(grid)), fixed)
    except (GridError, ParamError) as exc:
        raise SweepError(str(exc)) from None


def run_sweep(strategy: str | type | None = None, ticks=None, grid=None, *, codes: Sequence[str] | None = None,
              capital: float = 5_000_000, costs: str = "exchange", output_dir: str | os.PathLike | None = None,
              scheduler: str | None = None, workers: int | None = None, client: Client | None = None,
              sort: str = "net_profit", random: int | None = None, seed: int | None = None,
              walk: tuple[int, int] | None = None, report_best: int = 0, progress: bool = True,
              task: Callable[..., Mapping[str, Any]] = run_set) -> SweepResult:
    """Runs `strategy` once per parameter set on Dask and returns the table.

    `strategy` is a Strategy subclass or "FILE.py:CLASS" (the example
    crossover when None); `ticks` a tick frame, one or more tick files or
    the futures exchange's daily files (the bundled sample when None);
    `codes` keeps only those codes' ticks (and sets a str parameter named
    `codes` that the grid leaves alone).  `grid` maps parameter names to
    lists of values, or is a list of "name=values" items; `random` draws that
    many sets from it with `seed`.  `walk` = (train, test) trading days runs a
    walk-forward test instead of one sweep.  Without `scheduler` (or an open
    `client`) a local cluster of `workers` processes is started and closed
    here.  With `output_dir` the tables, heat map and `report_best` reports
    are written there; the folder is checked before any set runs
    (SweepError), and each finished set is appended to its PARTIAL file
    until the tables are written (an OSError naming that file when they
    cannot be).  `task` runs one set (arguments as `run_set`); it must be
    importable or picklable."""
    cls, source = _source(strategy)
    names = list(cls.parameters())
    check_sort(sort, names)
    if report_best < 0:
        raise SweepError(f"report_best must be 0 or more, not {report_best}")
    if workers is not None and workers < 1:
        raise SweepError(f"workers must be 1 or more, not {workers}")
    if walk is not None and report_best:
        raise SweepError("--report-best applies to a sweep, not to a walk-forward test")
    if costs not in ("exchange", "account"):
        raise SweepError(f"--costs must be 'exchange' or 'account', not {costs!r}")
    codes = None if codes is None else [c for c in codes]
    fixed = {"codes": ",".join(codes)} if codes and "codes" in names and \
        cls.parameters()["codes"].type is str else {}
    space = _space(cls, grid, fixed)
    try:
        sets, skipped = space.grid_sets() if random is None else space.sample(random, seed)
    except GridError as exc:
        raise SweepError(str(exc)) from None
    options = {"capital": capital, "costs": costs}
    out = Path(output_dir).resolve() if output_dir is not None else None
    frame = _load(ticks, codes)
    wf_windows = None
    if walk is not None:
        from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager

        frame = walk_forward.add_trading_days(frame, ColumnarQuoteManager().holiday_search_set)
        days = frame[walk_forward.DAY_COLUMN].unique().sort().to_list()
        try:
            wf_windows = walk_forward.windows(days, *walk)
        except walk_forward.WalkForwardError as exc:
            raise SweepError(str(exc)) from None
    stems = ["sweep"] if walk is None else ["walk-forward", "walk-forward-train", "walk-forward-equity"]
    partial = _check_output(out, stems, report_best) if out is not None else None
    token = uuid.uuid4().hex[:8]

    staging = tempfile.mkdtemp(prefix="sweep-ticks-")
    try:
        with _cluster(scheduler, workers, client) as (c, local), \
                open(partial if partial is not None else os.devnull, "a", encoding="utf-8") as log:
            if local:  # the workers share this file system: they read the ticks from one file
                tick_ref: Any = os.path.join(staging, "ticks.parquet")
                frame.write_parquet(tick_ref)
            else:
                tick_ref = c.scatter(frame, broadcast=True)
            common = dict(client=c, local=local, tick_ref=tick_ref, frame=frame, cls=cls, source=source,
                          sets=sets, names=names, varied=space.varied, options=options, sort=sort, log=log,
                          progress=progress, token=token, task=task, out=out, partial=partial)
            if walk is None:
                result = _plain(**common, report_best=report_best)
            else:
                result = _walk(**common, wf_windows=wf_windows, capital=capital)
            result.skipped = skipped
    finally:
        shutil.rmtree(staging, ignore_errors=True)
        if partial is not None and partial.exists() and not partial.stat().st_size:
            partial.unlink()  # nothing finished, nothing to keep
    return result


def _write(out: Path | None, partial: Path | None, n: int, write: Callable[[], list[Path]]) -> list[Path]:
    if out is None:
        return []
    try:
        files = write()
    except OSError as exc:
        raise OSError(f"cannot write the tables under {out} ({_error_text(exc)}); "
                      f"the {n} finished set(s) are in {partial}") from exc
    partial.unlink(missing_ok=True)
    return files


def _plain(*, client, local, tick_ref, frame, cls, source, sets, names, varied, options, sort, log, progress,
           token, task, out, partial, report_best):
    schema = schema_of(cls)
    jobs = [(params, (task, tick_ref, source, params, options)) for params in sets]
    rows, _, interrupted = _gather(client, jobs, lambda i, fig, err: _row(schema, sets[i], fig, err), log,
                                   progress, "參數組合", token, "sweep")
    table = sort_table(pl.DataFrame([rows[i] for i in sorted(rows)], schema=schema), sort, names)
    result = SweepResult(table=table, params=names, varied=varied, sort=sort, cancelled=len(sets) - len(rows),
                         interrupted=interrupted)

    def write():
        files = sweep_output.write_tables(table, out, "sweep")
        if len(varied) >= 2 and table.filter(pl.col("error").is_null()).height:
            x, y = varied[0], varied[1]
            files += sweep_output.heat_map(table, x, y, sort, sort not in SMALLER_IS_BETTER, out, varied[2:])
        return files

    result.files = _write(out, partial, len(rows), write)
    if report_best and out is not None and not interrupted:
        result.reports = _best_reports(client if local else None, tick_ref if local else frame, source, table,
                                       report_best, names, varied, options, out / "best")
    return result


def _walk(*, client, local, tick_ref, frame, cls, source, sets, names, varied, options, sort, log, progress,
          token, task, out, partial, wf_windows, capital):
    train_schema = schema_of(cls, {"window": pl.Int64})
    jobs = [({"window": w.index, **params}, (task, tick_ref, source, params, options, w.train))
            for w in wf_windows for params in sets]
    rows, _, interrupted = _gather(client, jobs, lambda i, fig, err: _row(train_schema, jobs[i][0], fig, err),
                                   log, progress, "訓練", token, "train")
    train = pl.DataFrame([rows[i] for i in sorted(rows)], schema=train_schema)
    win_schema = schema_of(cls, {"window": pl.Int64, "train_first": pl.Date, "train_last": pl.Date,
                                 "test_first": pl.Date, "test_last": pl.Date, "test_days": pl.Int64})
    test_rows: dict[int, dict] = {}
    daily: dict[int, list] = {}
    test_jobs, heads, got = [], [], {}
    if not interrupted:
        for w in wf_windows:
            head = {"window": w.index, "train_first": w.train[0], "train_last": w.train[1],
                    "test_first": w.test[0], "test_last": w.test[1], "test_days": w.test_days}
            part = sort_table(train.filter(pl.col("window") == w.index), sort, names)
            ok = part.filter(pl.col("error").is_null())
            if not ok.height:
                test_rows[w.index] = _row(win_schema, {**head, **{n: None for n in names}}, None,
                                          "no set ran on the training part")
                continue
            best = {n: ok[n][0] for n in names}
            heads.append({**head, **best})
            test_jobs.append((best, (task, tick_ref, source, best, options, w.test, True)))
        got, figures, interrupted = _gather(client, test_jobs,
                                            lambda i, fig, err: _row(win_schema, heads[i], fig, err), log,
                                            progress, "測試", token, "test")
        for i, row in got.items():
            test_rows[heads[i]["window"]] = row
            daily[heads[i]["window"]] = list((figures.get(i) or {}).get("daily") or [])
    windows_table = pl.DataFrame([test_rows[k] for k in sorted(test_rows)], schema=win_schema)
    equity, summary = walk_forward.stitch(windows_table, daily, capital)
    chosen = (windows_table.filter(pl.col("error").is_null()).group_by(names, maintain_order=True)
              .agg(pl.len().alias("chosen"), pl.col("window").alias("windows"))
              .sort("chosen", descending=True, maintain_order=True))
    train_sorted = pl.concat([sort_table(train.filter(pl.col("window") == w.index), sort, names)
                              for w in wf_windows]) if train.height else train
    result = SweepResult(table=train_sorted, params=names, varied=varied, sort=sort, interrupted=interrupted,
                         cancelled=len(jobs) - len(rows) + len(test_jobs) - len(got),
                         windows=windows_table, chosen=chosen, equity=equity, out_of_sample=summary)

    def write():
        files = sweep_output.write_tables(windows_table, out, "walk-forward")
        files += sweep_output.write_tables(train_sorted, out, "walk-forward-train")
        files += sweep_output.write_tables(equity, out, "walk-forward-equity")
        chosen_path = out / "walk-forward-chosen.csv"
        chosen.with_columns(pl.col("windows").cast(pl.List(pl.String)).list.join(" ")).write_csv(chosen_path)
        return files + [chosen_path]

    result.files = _write(out, partial, len(rows) + len(test_rows), write)
    return result


def _best_reports(client, ticks_ref, source, table: pl.DataFrame, n: int, names: Sequence[str],
                  varied: Sequence[str], options: Mapping[str, Any], root: Path) -> dict[str, Path]:
    """Reports of the `n` best sets: on the local cluster's workers when there
    is one (they share this file system), otherwise in this process."""
    best = table.filter(pl.col("error").is_null()).head(n)
    jobs = []
    for rank, row in enumerate(best.iter_rows(named=True), 1):
        params = {name: row[name] for name in names}
        label = set_label(params, varied)
        folder = root / f"{rank}-{label}"
        shutil.rmtree(folder, ignore_errors=True)
        jobs.append((label, params, folder))
    if client is not None:
        futures = [client.submit(write_report, ticks_ref, source, params, options, str(folder),
                                 key=f"report-{uuid.uuid4().hex[:8]}-{label}", pure=False)
                   for label, params, folder in jobs]
        client.gather(futures)
    else:
        for label, params, folder in jobs:
            write_report(ticks_ref, source, params, options, str(folder))
    return {label: folder for label, _, folder in jobs}


# --------------------------------------------------------------------------- command


def _show(result: SweepResult, top: int) -> None:
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
    previous_zone = use_market_zone()
    if previous_zone:
        console.print(f"[yellow]時區 {previous_zone} 改為 Asia/Taipei[/yellow]")
    try:
        walk = None
        if args.walk_forward:
            try:
                walk = walk_forward.parse_walk_forward(args.walk_forward)
            except walk_forward.WalkForwardError as exc:
                raise SweepError(str(exc)) from None
        if args.seed is not None and args.random is None:
            raise SweepError("--seed goes with --random N")
        codes = None
        if args.codes is not None:
            codes = [c.strip() for c in args.codes.split(",") if c.strip()]
            if not codes:
                raise SweepError("--codes names no code")
        result = run_sweep(args.strategy, args.ticks, args.grid, codes=codes, capital=args.capital,
                           costs=args.costs, output_dir=args.output_dir, scheduler=args.scheduler,
                           workers=args.workers, sort=args.sort, random=args.random, seed=args.seed, walk=walk,
                           report_best=args.report_best)
    except SweepError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:  # the tables could not be written at the end; the finished sets are kept
        print(f"error: {exc}", file=sys.stderr)
        return 1

    _show(result, args.top)
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
    # The tasks must reach the workers as functions of the importable module,
    # not of this script's copy of it.
    from kelvo_orra_backtest.sweep import main as _main

    try:
        raise SystemExit(_main())
    except KeyboardInterrupt:  # a second Ctrl-C while the cluster closes
        print("interrupted", file=sys.stderr)
        raise SystemExit(130)

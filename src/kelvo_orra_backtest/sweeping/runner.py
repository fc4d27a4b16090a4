"""`run_sweep`: a strategy once per parameter set, or walked forward over
windows of trading days, on Dask.

Every set of the grid (or `random` sets drawn from it) is one `run` of the
engine and one task (`tasks.run_set`); sets the class's `constraint` refuses
are skipped and counted.  The output folder is made and checked before any
set runs; while the sets run, each finished one is appended to PARTIAL
there, which is removed once the tables are written and kept when they
cannot be.  A task that raises is reported in its row; Ctrl-C cancels the
pending tasks and keeps the sets already finished.
"""
from __future__ import annotations

import errno
import os
import shutil
import sys
import tempfile
import uuid
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

import polars as pl
from distributed import Client

from kelvo_orra_backtest import sweep_output
from kelvo_orra_backtest.data import sample, taifex
from kelvo_orra_backtest.data.tick_files import TickFileError, load_ticks
from kelvo_orra_backtest.engine.loader import StrategyLoadError, StrategySource, strategy_source
from kelvo_orra_backtest.engine.strategy import ParamError, Strategy
from kelvo_orra_backtest.sweeping import walk_forward
from kelvo_orra_backtest.sweeping.cluster import gather, open_cluster
from kelvo_orra_backtest.sweeping.results import (SMALLER_IS_BETTER, SweepError, SweepResult, check_sort,
                                                  error_text, row_of, schema_of, set_label, sort_table)
from kelvo_orra_backtest.sweeping.space import GridError, Space, parse_grid
from kelvo_orra_backtest.sweeping.tasks import run_set, write_report

__all__ = ["DEFAULT_STRATEGY", "PARTIAL", "run_sweep"]

# the example crossover ships inside the package, so an installed sweep finds it too
DEFAULT_STRATEGY = "kelvo_orra_backtest.examples.crossover:Crossover"
PARTIAL = "sweep-partial.jsonl"  # the finished sets while the sweep runs, one JSON object a line


def _load(ticks, codes: Sequence[str] | None, daily: tuple = ()) -> pl.DataFrame:
    """The ticks of the sweep, sorted by time: a frame, tick files replayed as one, or daily files."""
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
                frames = [load_ticks(paths, *daily)]
            else:
                frames = [load_ticks(Path(p), *daily) for p in paths]
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
              task: Callable[..., Mapping[str, Any]] = run_set, product: str = "TX", contract: str = "front",
              roll_rule: str | int = "expiry", roll: str = "carry") -> SweepResult:
    """Runs `strategy` once per parameter set on Dask and returns the table.

    `strategy` is a Strategy subclass or "FILE.py:CLASS" (the example
    crossover when None); `ticks` a tick frame, one or more tick files or
    the futures exchange's daily files (the bundled sample when None);
    `product`, `contract` and `roll_rule` choose what daily files give, `roll` how a
    position crosses a roll (as `run`); `codes` keeps only those codes' ticks (and sets a str parameter named
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
    if roll not in ("carry", "flatten"):
        raise SweepError(f"--roll must be 'carry' or 'flatten', not {roll!r}")
    options = {"capital": capital, "costs": costs, "roll": roll}
    out = Path(output_dir).resolve() if output_dir is not None else None
    frame = _load(ticks, codes, (product, contract, roll_rule))
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
        with open_cluster(scheduler, workers, client) as (c, local), \
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
        raise OSError(f"cannot write the tables under {out} ({error_text(exc)}); "
                      f"the {n} finished set(s) are in {partial}") from exc
    partial.unlink(missing_ok=True)
    return files


def _plain(*, client, local, tick_ref, frame, cls, source, sets, names, varied, options, sort, log, progress,
           token, task, out, partial, report_best):
    schema = schema_of(cls)
    jobs = [(params, (task, tick_ref, source, params, options)) for params in sets]
    rows, _, interrupted = gather(client, jobs, lambda i, fig, err: row_of(schema, sets[i], fig, err), log,
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
    rows, _, interrupted = gather(client, jobs, lambda i, fig, err: row_of(train_schema, jobs[i][0], fig, err),
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
                test_rows[w.index] = row_of(win_schema, {**head, **{n: None for n in names}}, None,
                                          "no set ran on the training part")
                continue
            best = {n: ok[n][0] for n in names}
            heads.append({**head, **best})
            test_jobs.append((best, (task, tick_ref, source, best, options, w.test, True)))
        got, figures, interrupted = gather(client, test_jobs,
                                            lambda i, fig, err: row_of(win_schema, heads[i], fig, err), log,
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

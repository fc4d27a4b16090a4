"""Parameter sweeps and walk-forward tests: grids read with the parameters'
types, rows equal to one-process runs, failing and killed sets, the output
folder, walk-forward windows, and the command on a separately started cluster."""
from __future__ import annotations

import logging
import math
import os
import re
import socket
import subprocess
import sys
import time
from datetime import datetime
from pathlib import Path

import dask
import polars as pl
import pytest
from distributed import Client, LocalCluster

import kelvo_orra_backtest.examples.crossover as crossover_example
from kelvo_orra_backtest import sweep, sweep_output, sweeping
from kelvo_orra_backtest.data import sample
from kelvo_orra_backtest.engine import run
from kelvo_orra_backtest.engine.loader import load_strategy
from kelvo_orra_backtest.engine.result import STAT_KEYS, trading_day
from kelvo_orra_backtest.sweeping import cluster, tasks, walk_forward
from kelvo_orra_backtest.sweeping.space import GridError, Space, parse_grid

GRID = {"fast": [2, 3], "slow": [5, 8]}
CODES = ["2330", "TXF"]
CAPITAL = 3_000_000
Crossover = load_strategy(sweeping.DEFAULT_STRATEGY)

TYPED = '''
from typing import Literal
from kelvo_orra_backtest.engine import Strategy

class Typed(Strategy):
    n: int = 1
    w: float = 0.5
    on: bool = True
    side: Literal["long", "both"] = "long"
    codes: str = "TXF"

    @classmethod
    def constraint(cls, p):
        return p["n"] != 3
'''


@pytest.fixture(scope="module")
def ticks(tmp_path_factory):
    """Every 20th tick of the sample's 2330 and TXF: twelve trading days with
    night sessions, few enough ticks for quick sets that still trade."""
    frame = pl.read_parquet(sample.sample_path()).filter(pl.col("code").is_in(CODES)).gather_every(20)
    path = tmp_path_factory.mktemp("ticks") / "sparse.parquet"
    frame.write_parquet(path)
    return path


@pytest.fixture(scope="module")
def client():
    """One local cluster of two single-threaded workers for the tests that only run sets."""
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0",
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def typed(tmp_path_factory):
    path = tmp_path_factory.mktemp("strategy") / "typed.py"
    path.write_text(TYPED)
    return path


def _same(a, b) -> bool:
    return (a is None and b is None) or a == b or (isinstance(a, float) and isinstance(b, float)
                                                   and math.isnan(a) and math.isnan(b))


def _by_set(table: pl.DataFrame) -> dict[tuple, dict]:
    return {(r["fast"], r["slow"]): r for r in table.iter_rows(named=True)}


@pytest.mark.parametrize("argv,message", [
    (["--grid", "fast=5,x"], "grid item 'fast=5,x': parameter 'fast' must be int, got 'x'"),
    (["--grid", "speed=5"], "unknown parameter 'speed' of Crossover (declared: fast, slow, qty, codes)"),
    (["--grid", "slow=60..30:10"], "grid item 'slow=60..30:10': empty range (60 is above 30)"),
    (["--grid", "slow=30..60:0"], "the step must be above 0"),
    (["--grid", "fast"], "not of the form name=v1,v2"),
    (["--grid", "fast=5", "fast=6"], "given twice"),
    (["--grid", "fast=30", "slow=10,20"], "nothing to run: the constraint of Crossover excludes all 2 set(s)"),
    (["{typed}:Typed", "--grid", "side=short"], "parameter 'side' must be one of 'long', 'both', got 'short'"),
    (["{typed}:Typed", "--grid", "on=maybe"], "parameter 'on' must be bool, got 'maybe'"),
    (["{typed}:Typed", "--grid", "w=0.1..0.9"], "grid parameter 'w' is a range without a step"),
    (["{typed}:Nothing"], "has no class 'Nothing' (strategy classes in it: Typed)"),
    (["/nonexistent/strategy.py:X"], "strategy file /nonexistent/strategy.py does not exist"),
    (["--ticks", "/nonexistent/ticks.csv"], "ticks.csv: no such file"),
    (["--sort", "luck"], "cannot sort by 'luck'"),
    (["--workers", "0"], "workers must be 1 or more"),
    (["--seed", "3"], "--seed goes with --random N"),
    (["--roll-rule", "soon"], "roll must be 'expiry', 'volume' or a number N >= 1"),
    (["--walk-forward", "train=5d", "test=x"], "walk-forward item 'test=x' is not of the form"),
    (["--walk-forward", "train=40d", "test=10d"], "the ticks hold 12 trading day(s): too few for one window"),
])
def test_bad_input_gets_one_clear_line_before_any_task(argv, message, typed, ticks, monkeypatch, capsys):
    def no_cluster(*args, **kwargs):
        raise AssertionError("a cluster was started")

    monkeypatch.setattr(cluster, "LocalCluster", no_cluster)
    argv = [a.replace("{typed}", str(typed)) for a in argv]
    if "--ticks" not in argv:
        argv += ["--ticks", str(ticks)]
    assert sweep.main(argv) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err


def test_grid_reads_each_parameter_type_and_counts_the_skipped(typed):
    cls = load_strategy(f"{typed}:Typed")
    grid = parse_grid(cls, ["n=1..4", "w=0.5..1.0:0.25", "on=yes,no,true", "side=both", "codes=2330,TXF;TXF"])
    assert grid == {"n": [1, 2, 3, 4], "w": [0.5, 0.75, 1.0], "on": [True, False], "side": ["both"],
                    "codes": ["2330,TXF", "TXF"]}
    space = Space(cls, grid)
    sets, skipped = space.grid_sets()
    assert len(sets) == 3 * 3 * 2 * 2 and skipped == 3 * 2 * 2  # n=3 refused by the constraint
    assert space.varied == ["n", "w", "on", "codes"]
    assert len({tuple(s.values()) for s in sets}) == len(sets)
    # random draws: from the allowed sets, without replacement, the same for the same seed
    drawn, _ = space.sample(10, seed=7)
    assert len({tuple(s.values()) for s in drawn}) == 10 and all(s in sets for s in drawn)
    assert drawn == space.sample(10, seed=7)[0] and drawn != space.sample(10, seed=8)[0]
    assert sorted(map(str, space.sample(100, seed=1)[0])) == sorted(map(str, sets))  # fewer than asked: all
    # a float range without a step is drawn from, continuously
    wide = Space(cls, parse_grid(cls, ["w=0.1..0.9"]))
    values = [s["w"] for s in wide.sample(20, seed=2)[0]]
    assert len(set(values)) == 20 and all(0.1 <= v <= 0.9 for v in values)
    with pytest.raises(GridError, match="range without a step"):
        wide.grid_sets()


def test_a_sweep_row_equals_run_in_one_process(ticks, client, tmp_path):
    frame = pl.read_parquet(ticks)
    result = sweeping.run_sweep(None, ticks, {**GRID, "fast": [2, 3, 5]}, capital=CAPITAL, output_dir=tmp_path,
                             client=client, progress=False)
    assert result.skipped == 1 and result.failed == 0 and not result.interrupted
    got = _by_set(result.table)
    assert set(got) == {(2, 5), (2, 8), (3, 5), (3, 8), (5, 8)}
    for (fast, slow), row in got.items():
        want = run(Crossover, frame, params={"fast": fast, "slow": slow}, capital=CAPITAL)
        assert row["digest"] == want.digest, (fast, slow)
        for key in STAT_KEYS:
            assert _same(row[key], want.stats[key]), (fast, slow, key)
    assert any(r["trades"] > 0 for r in got.values())
    profits = result.table["net_profit"].to_list()
    assert profits == sorted(profits, reverse=True)  # best first
    assert result.table.columns == [*Crossover.parameters(), *STAT_KEYS, "digest", "run_time", "error"]
    assert pl.read_parquet(tmp_path / "sweep.parquet").equals(result.table)
    csv = pl.read_csv(tmp_path / "sweep.csv")
    assert csv["net_profit"].to_list() == [round(p, 2) for p in profits]
    assert (tmp_path / "heatmap.png").stat().st_size and "<table>" in (tmp_path / "heatmap.html").read_text()
    assert not (tmp_path / sweeping.PARTIAL).exists()  # the tables hold the finished sets now


def _failing(ticks, source, params, options, days=None, daily=False):
    if params["fast"] == 3 and params["slow"] == 5:
        raise ValueError("made to fail")
    return {"net_profit": float(params["fast"]), "trades": params["slow"], "digest": "d"}


def test_a_failing_set_is_reported_and_the_others_complete(ticks, client, tmp_path):
    result = sweeping.run_sweep(None, ticks, GRID, output_dir=tmp_path, client=client, progress=False,
                             task=_failing, sort="max_drawdown")
    assert result.failed == 1
    rows = _by_set(result.table)
    assert rows[(3, 5)]["error"] == "ValueError: made to fail" and rows[(3, 5)]["net_profit"] is None
    assert result.table["error"].to_list()[-1] is not None  # failed sets come last
    assert [rows[k]["net_profit"] for k in ((2, 5), (2, 8), (3, 8))] == [2.0, 2.0, 3.0]
    assert pl.read_csv(tmp_path / "sweep.csv").height == 4


def test_a_killed_worker_retries_or_fails_its_set_never_loses_or_doubles_it(ticks, tmp_path):
    marker = tmp_path / "died-once"

    def dying(ticks, source, params, options, days=None, daily=False):
        if params["fast"] == 2 and params["slow"] == 5 and not marker.exists():
            marker.write_text("x")
            os._exit(1)  # the worker process dies mid-set, once: the set runs again
        if params["fast"] == 3 and params["slow"] == 8:
            os._exit(1)  # dies every time: the set fails in its row
        return {"net_profit": 1.0, "trades": 1, "digest": "d"}

    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        result = sweeping.run_sweep(None, ticks, GRID, output_dir=tmp_path, workers=2, progress=False, task=dying)
    rows = _by_set(result.table)
    assert result.table.height == 4 and set(rows) == {(2, 5), (2, 8), (3, 5), (3, 8)}
    assert marker.exists() and rows[(2, 5)]["error"] is None and rows[(2, 5)]["net_profit"] == 1.0
    assert rows[(3, 8)]["error"].startswith("KilledWorker") and result.failed == 1
    assert pl.read_parquet(tmp_path / "sweep.parquet").height == 4


@pytest.mark.parametrize("kind", ["under a file", "table is a folder", "best is a file"])
def test_unwritable_output_folder_stops_before_any_set(ticks, tmp_path, monkeypatch, capsys, kind):
    def no_cluster(*args, **kwargs):
        raise AssertionError("a cluster was started")

    monkeypatch.setattr(cluster, "LocalCluster", no_cluster)
    out = tmp_path / "out"
    argv = ["--ticks", str(ticks), "--grid", "fast=2,3", "slow=5"]
    if kind == "under a file":
        (tmp_path / "file").write_text("x")
        out = tmp_path / "file" / "out"
    elif kind == "table is a folder":
        (out / "sweep.parquet").mkdir(parents=True)
    else:
        out.mkdir()
        (out / "best").write_text("x")
        argv += ["--report-best", "1"]
    assert sweep.main(argv + ["--output-dir", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"error: output folder {out} cannot be written") and err.count("\n") == 1


def _quick(ticks, source, params, options, days=None, daily=False):
    """A set that takes no time: its figures are its parameters."""
    return {"trades": params["fast"], "net_profit": float(params["slow"]), "sharpe": float("nan")}


def test_finished_sets_stay_on_disk_when_the_tables_cannot_be_written(ticks, client, tmp_path, monkeypatch):
    def full_disk(table, out, stem):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(sweep_output, "write_tables", full_disk)
    with pytest.raises(OSError, match=re.escape(f"the 4 finished set(s) are in {tmp_path / sweeping.PARTIAL}")):
        sweeping.run_sweep(None, ticks, GRID, output_dir=tmp_path, client=client, progress=False, task=_quick)
    kept = pl.read_ndjson(tmp_path / sweeping.PARTIAL)
    assert sorted(kept.select("fast", "slow", "trades", "net_profit").rows()) == [
        (2, 5, 2, 5.0), (2, 8, 2, 8.0), (3, 5, 3, 5.0), (3, 8, 3, 8.0)]
    assert kept["sharpe"].null_count() == 4  # figures that are not finite are null in the JSON lines


@pytest.mark.parametrize("failures", [1, sweeping.CLUSTER_STARTS])
def test_a_worker_lost_while_the_cluster_starts(ticks, tmp_path, monkeypatch, capsys, failures):
    real = cluster.LocalCluster
    calls = []

    def flaky(*args, **kwargs):
        calls.append(1)
        if len(calls) <= failures:
            raise RuntimeError("Nanny failed to start.")
        return real(*args, **kwargs)

    monkeypatch.setattr(cluster, "LocalCluster", flaky)
    if failures < sweeping.CLUSTER_STARTS:  # started again: the sweep runs
        result = sweeping.run_sweep(None, ticks, GRID, workers=1, progress=False, task=_quick)
        assert result.table.height == 4 and result.failed == 0
    else:  # one line, no table
        assert sweep.main(["--ticks", str(ticks), "--grid", "fast=2", "slow=5", "--output-dir",
                           str(tmp_path)]) == 2
        err = capsys.readouterr().err
        assert err == (f"error: the local cluster could not start in {failures} attempts "
                       "(RuntimeError: Nanny failed to start.)\n")
        assert not (tmp_path / sweeping.PARTIAL).exists()
    assert len(calls) == min(failures + 1, sweeping.CLUSTER_STARTS)


@pytest.mark.parametrize("n,train,test,want", [
    (10, 4, 2, [((0, 3), (4, 5)), ((2, 5), (6, 7)), ((4, 7), (8, 9))]),
    (9, 4, 2, [((0, 3), (4, 5)), ((2, 5), (6, 7)), ((4, 7), (8, 8))]),  # a shorter last test part
    (5, 4, 3, [((0, 3), (4, 4))]),
])
def test_walk_forward_windows(n, train, test, want):
    days = [datetime(2026, 1, 1 + k).date() for k in range(n)]
    got = walk_forward.windows(days, train, test)
    assert [((days.index(w.train[0]), days.index(w.train[1])), (days.index(w.test[0]), days.index(w.test[1])))
            for w in got] == want


def _days_seen(ticks, source, params, options, days=None, daily=False):
    """A real set whose digest names the trading days of the ticks it ran on,
    each counted from the tick's own time (night sessions to the next day)."""
    from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager

    figures = tasks.run_set(ticks, source, params, options, days, daily)
    frame = tasks._days_of(tasks._ticks_of(ticks), days)
    holidays = ColumnarQuoteManager().holiday_search_set
    seen = sorted({trading_day(datetime.fromtimestamp(ts), holidays) for ts in frame["timestamp"].to_list()})
    return {**figures, "digest": " ".join(d.isoformat() for d in seen)}


def test_walk_forward_never_lets_a_test_day_into_its_training_part(ticks, client, tmp_path):
    result = sweeping.run_sweep(None, ticks, GRID, capital=CAPITAL, output_dir=tmp_path, client=client,
                             progress=False, walk=(6, 2), task=_days_seen)
    windows = result.windows
    assert windows.height == 3 and result.failed == 0
    # Friday 10 April's night session (ticks on Saturday the 11th) counts to Monday the 13th
    assert windows["test_first"].to_list()[1].isoformat() == "2026-04-13"
    for w in windows.iter_rows(named=True):
        test_days = set(w["digest"].split())
        assert test_days == {d for d in test_days if w["test_first"].isoformat() <= d <= w["test_last"].isoformat()}
        assert len(test_days) == w["test_days"] == 2
        train_rows = result.table.filter(pl.col("window") == w["window"])
        assert train_rows.height == 4
        for train in train_rows.iter_rows(named=True):
            train_days = set(train["digest"].split())
            assert len(train_days) == 6 and not train_days & test_days and max(train_days) < min(test_days)
        # the chosen set is the training part's best by the sort stat
        best = train_rows.sort("net_profit", descending=True).row(0, named=True)
        assert (w["fast"], w["slow"]) == (best["fast"], best["slow"])
    assert result.chosen["chosen"].sum() == 3
    # the stitched curve: one row per test day, the windows' profits added up
    assert result.equity.height == 6
    assert result.out_of_sample["trades"] == windows["trades"].sum()
    assert result.out_of_sample["net_profit"] == pytest.approx(windows["net_profit"].sum())
    assert result.equity["equity"][-1] - CAPITAL == pytest.approx(result.equity["pnl"].sum())
    for stem in ("walk-forward", "walk-forward-train", "walk-forward-equity"):
        assert (tmp_path / f"{stem}.parquet").exists()
    assert not (tmp_path / sweeping.PARTIAL).exists()


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_for_port(port: int, procs, deadline: float) -> None:
    while time.monotonic() < deadline:
        if any(p.poll() is not None for p in procs):
            raise AssertionError("the scheduler exited early")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.2)
    raise AssertionError("the scheduler did not listen in time")


def test_command_on_a_separate_scheduler_and_two_workers(ticks, tmp_path):
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    dask_cmd = [sys.executable, "-m", "dask"]
    procs: list[subprocess.Popen] = []
    try:
        procs.append(subprocess.Popen([*dask_cmd, "scheduler", "--host", "127.0.0.1", "--port", str(port),
                                       "--no-dashboard"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        _wait_for_port(port, procs, time.monotonic() + 60)
        for _ in range(2):
            procs.append(subprocess.Popen([*dask_cmd, "worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                                           "--no-dashboard", "--no-nanny"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        out = tmp_path / "out"
        strategy = tmp_path / "elsewhere" / "cross.py"  # a file the workers never see: its text travels
        strategy.parent.mkdir()
        strategy.write_text(Path(crossover_example.__file__).read_text())
        cmd = [sys.executable, "-m", "kelvo_orra_backtest.sweep", f"{strategy}:Crossover", "--ticks", str(ticks),
               "--codes", ",".join(CODES), "--capital", str(CAPITAL), "--grid", "fast=2,3", "slow=5,8",
               "--scheduler", address, "--output-dir", str(out)]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=180, env={**os.environ, "COLUMNS": "80"})
        assert done.returncode == 0, done.stderr
        assert "參數掃描結果" in done.stdout
        assert max(len(line) for line in done.stdout.splitlines()) <= 80
        table = pl.read_parquet(out / "sweep.parquet")
        frame = pl.read_parquet(ticks)
        for (fast, slow), row in _by_set(table).items():
            want = run(Crossover, frame, params={"fast": fast, "slow": slow}, capital=CAPITAL, codes=CODES)
            assert row["digest"] == want.digest
    finally:
        # workers first, each gone before the next signal: a scheduler closing
        # under a worker that is closing too can leave that worker hanging
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

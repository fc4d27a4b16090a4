"""Parameter sweeps: grids, realised figures, a local cluster against a plain
loop, a failing set, and the command on a separately started cluster."""
from __future__ import annotations

import os
import re
import socket
import subprocess
import sys
import time

import polars as pl
import pytest

from kelvo_orra_backtest import demo, sweep
from kelvo_orra_backtest.data import sample

GRID = {"fast": [2, 3], "slow": [5, 8]}
CODES = ["2330", "TXF"]
CAPITAL = 3_000_000


@pytest.fixture(scope="module")
def ticks(tmp_path_factory):
    """The first two hours of the sample: enough bars for short averages to trade."""
    ticks = pl.read_parquet(sample.sample_path())
    piece = ticks.filter(pl.col("timestamp") < ticks["timestamp"][0] + 2 * 3600)
    path = tmp_path_factory.mktemp("ticks") / "slice.parquet"
    piece.write_parquet(path)
    return path


@pytest.fixture(scope="module")
def sequential(ticks):
    """Every set of GRID run one after another in this process."""
    frame = demo.load_ticks(ticks)
    sets, _ = sweep.expand_grid(GRID)
    return {sweep.set_label(p): sweep.backtest_set(frame, p, CODES, CAPITAL) for p in sets}


def _by_set(table: pl.DataFrame) -> dict[str, dict]:
    return {sweep.set_label(r): r for r in table.iter_rows(named=True)}


@pytest.mark.parametrize("argv,message", [
    (["--grid", "fast=5,x"], "'x' is not a whole number"),
    (["--grid", "fast=0"], "0 is not a positive whole number"),
    (["--grid", "speed=5"], "unknown parameter 'speed'"),
    (["--grid", "fast"], "not of the form name=v1,v2"),
    (["--grid", "fast=5", "fast=6"], "given twice"),
    (["--grid", "fast=30", "slow=10,20"], "nothing to run: all 2 set(s)"),
    (["--ticks", "/nonexistent/ticks.csv"], "ticks.csv: no such file"),
    (["--workers", "0"], "workers must be 1 or more"),
])
def test_bad_input_gets_one_clear_line(argv, message, capsys):
    assert sweep.main(argv) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


def test_grid_expands_every_combination_once_and_counts_the_skipped():
    grid = sweep.parse_grid(["fast=5,10,20,10", "slow=10,30"])
    assert grid == {"fast": [5, 10, 20], "slow": [10, 30]}
    sets, skipped = sweep.expand_grid(grid)
    assert [(s["fast"], s["slow"], s["qty"]) for s in sets] == [(5, 10, 1), (5, 30, 1), (10, 30, 1), (20, 30, 1)]
    assert skipped == 2  # 10/10 and 20/10


def _row(profit, fee=10.0, tax=5.0, fixed=0):
    return {"profit": profit, "trade_cost_fee": fee, "cover_cost_fee": fee, "trade_cost_tax": 0,
            "cover_cost_tax": tax, "trade_cost_fixed": fixed, "cover_cost_fixed": fixed}


@pytest.mark.parametrize("profits,drawdown,win_rate", [
    ([100.0, -300.0, 50.0, -100.0, 400.0], 350.0, 0.6),  # peak 1100, trough 750
    ([-200.0, -50.0, 500.0], 250.0, 1 / 3),  # falls from the capital itself
    ([10.0, 20.0], 0.0, 1.0),
    ([], 0.0, None),
])
def test_realised_metrics(profits, drawdown, win_rate):
    m = sweep.realised_metrics([_row(p, fixed=1) for p in profits], 1000)
    assert m["trades"] == len(profits)
    assert m["profit"] == pytest.approx(sum(profits))
    assert m["fees"] == pytest.approx(22.0 * len(profits))
    assert m["tax"] == pytest.approx(5.0 * len(profits))
    assert m["max_drawdown"] == pytest.approx(drawdown)
    assert m["win_rate"] == (None if win_rate is None else pytest.approx(win_rate))


def test_local_cluster_equals_a_plain_loop(ticks, sequential, tmp_path):
    result = sweep.run_sweep(ticks, {**GRID, "fast": [2, 3, 5]}, codes=CODES, capital=CAPITAL,
                             output_dir=tmp_path, workers=2, progress=False)
    assert result.skipped == 1 and result.failed == 0 and not result.interrupted
    got = _by_set(result.table)
    assert set(got) == set(sequential) | {"fast5-slow8-qty1"}
    assert any(r["trades"] > 0 for r in sequential.values())
    for label, want in sequential.items():
        for name in ("deals", "trades", "profit", "fees", "tax", "win_rate", "max_drawdown"):
            assert got[label][name] == want[name], (label, name)
    # best first by realised profit
    profits = result.table["profit"].to_list()
    assert profits == sorted(profits, reverse=True)
    csv = pl.read_csv(tmp_path / "sweep.csv")
    assert csv.height == 5 and csv.select("fast", "slow", "qty").n_unique() == 5
    assert pl.read_parquet(tmp_path / "sweep.parquet").equals(result.table)
    assert not (tmp_path / sweep.PARTIAL).exists()  # the tables hold the finished sets now


def test_a_failing_set_is_reported_and_the_others_complete(ticks, sequential, tmp_path):
    def task(ticks, params, codes, capital):
        if params["fast"] == 3 and params["slow"] == 5:
            raise ValueError("made to fail")
        return sweep.backtest_set(ticks, params, codes, capital)

    result = sweep.run_sweep(ticks, GRID, codes=CODES, capital=CAPITAL, output_dir=tmp_path, workers=2,
                             progress=False, task=task, sort="max_drawdown")
    assert result.failed == 1
    rows = _by_set(result.table)
    assert rows["fast3-slow5-qty1"]["error"] == "ValueError: made to fail"
    assert rows["fast3-slow5-qty1"]["profit"] is None
    assert result.table["error"].to_list()[-1] is not None  # failed sets come last
    for label in ("fast2-slow5-qty1", "fast2-slow8-qty1", "fast3-slow8-qty1"):
        assert rows[label]["error"] is None and rows[label]["profit"] == sequential[label]["profit"]
    assert pl.read_csv(tmp_path / "sweep.csv").height == 4


def _quick_task(ticks, params, codes, capital):
    """A set that takes no time: its figures are its parameters."""
    return {"deals": params["fast"], "trades": params["slow"]}


@pytest.mark.parametrize("kind", ["under a file", "table is a folder", "best is a file"])
def test_unwritable_output_folder_stops_before_any_set(ticks, tmp_path, monkeypatch, capsys, kind):
    def no_cluster(*args, **kwargs):
        raise AssertionError("a cluster was started")

    monkeypatch.setattr(sweep, "LocalCluster", no_cluster)
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


def test_finished_sets_stay_on_disk_when_the_tables_cannot_be_written(ticks, tmp_path, monkeypatch):
    def full_disk(table, out):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(sweep, "_write_tables", full_disk)
    with pytest.raises(OSError, match=re.escape(f"the 4 finished set(s) are in {tmp_path / sweep.PARTIAL}")):
        sweep.run_sweep(ticks, GRID, codes=CODES, output_dir=tmp_path, workers=1, progress=False,
                        task=_quick_task)
    kept = pl.read_ndjson(tmp_path / sweep.PARTIAL)
    assert sorted(kept.select("fast", "slow", "deals", "trades").rows()) == [(2, 5, 2, 5), (2, 8, 2, 8),
                                                                           (3, 5, 3, 5), (3, 8, 3, 8)]


@pytest.mark.parametrize("failures", [1, sweep.CLUSTER_STARTS])
def test_a_worker_lost_while_the_cluster_starts(ticks, tmp_path, monkeypatch, capsys, failures):
    real = sweep.LocalCluster
    calls = []

    def flaky(*args, **kwargs):
        calls.append(1)
        if len(calls) <= failures:
            raise RuntimeError("Nanny failed to start.")
        return real(*args, **kwargs)

    monkeypatch.setattr(sweep, "LocalCluster", flaky)
    if failures < sweep.CLUSTER_STARTS:  # started again: the sweep runs
        result = sweep.run_sweep(ticks, GRID, codes=CODES, workers=1, progress=False, task=_quick_task)
        assert result.table.height == 4 and result.failed == 0
    else:  # one line, no table
        assert sweep.main(["--ticks", str(ticks), "--grid", "fast=2", "slow=5", "--output-dir",
                           str(tmp_path)]) == 2
        err = capsys.readouterr().err
        assert err == (f"error: the local cluster could not start in {failures} attempts "
                       "(RuntimeError: Nanny failed to start.)\n")
        assert not (tmp_path / sweep.PARTIAL).exists()
    assert len(calls) == min(failures + 1, sweep.CLUSTER_STARTS)


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


def test_command_on_a_separate_scheduler_and_two_workers(ticks, sequential, tmp_path):
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    dask = [sys.executable, "-m", "dask"]
    procs: list[subprocess.Popen] = []
    try:
        procs.append(subprocess.Popen([*dask, "scheduler", "--host", "127.0.0.1", "--port", str(port),
                                       "--no-dashboard"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        _wait_for_port(port, procs, time.monotonic() + 60)
        for _ in range(2):
            procs.append(subprocess.Popen([*dask, "worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                                           "--no-dashboard", "--no-nanny"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        out = tmp_path / "out"
        run = subprocess.run([sys.executable, "-m", "kelvo_orra_backtest.sweep", "--ticks", str(ticks),
                              "--codes", ",".join(CODES), "--capital", str(CAPITAL), "--grid", "fast=2,3",
                              "slow=5,8", "--scheduler", address, "--output-dir", str(out)],
                             capture_output=True, text=True, timeout=180, env={**os.environ, "COLUMNS": "120"})
        assert run.returncode == 0, run.stderr
        assert "參數掃描結果" in run.stdout
        table = pl.read_parquet(out / "sweep.parquet")
        got = _by_set(table)
        assert set(got) == set(sequential)
        for label, want in sequential.items():
            assert (got[label]["deals"], got[label]["profit"]) == (want["deals"], want["profit"])
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

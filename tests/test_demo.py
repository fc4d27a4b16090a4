"""The demo driver: tick files it accepts or refuses, and a whole short run."""
from __future__ import annotations

import os
import re
import subprocess
import sys

import polars as pl
import pytest

from kelvo_orra_backtest import demo

GOOD = ("timestamp,code,market_type,close,qty,tick_type,is_simulate\n"
        "1709514000.5,2330,Stock,690.0,3,1,False\n"
        "1709514001.0,2330,Stock,691.0,1,2,false\n")


@pytest.mark.parametrize("text,message", [
    (GOOD.replace(",qty", ",volume"), "column 'qty' is missing"),
    (GOOD.replace("691.0,1", "abc,1"), "row 2, column 'close': 'abc' is not a price"),
    (GOOD.replace("Stock,690.0", "Bond,690.0"), "row 1, column 'market_type': 'Bond'"),
    (GOOD.replace("1709514001.0", ""), "row 2, column 'timestamp'"),
    ("timestamp,code\n", "holds no ticks"),
])
def test_broken_tick_files_get_one_clear_line(tmp_path, text, message):
    path = tmp_path / "ticks.csv"
    path.write_text(text)
    with pytest.raises(demo.TickFileError) as info:
        demo.load_ticks(path)
    assert message in str(info.value) and str(path) in str(info.value)
    run = subprocess.run([sys.executable, "-m", "kelvo_orra_backtest.demo", "--ticks", str(path)],
                         capture_output=True, text=True)
    assert run.returncode == 2
    assert run.stderr.count("\n") == 1 and "Traceback" not in run.stderr


def test_good_csv_and_parquet_load_alike(tmp_path):
    csv = tmp_path / "t.csv"
    csv.write_text(GOOD)
    a = demo.load_ticks(csv)
    pq = tmp_path / "t.parquet"
    a.write_parquet(pq)
    b = demo.load_ticks(pq)
    assert a.equals(b)
    assert a["is_simulate"].to_list() == [False, False]
    assert a.schema["qty"] == pl.Int64


def test_whole_run_on_a_slice_of_the_sample(tmp_path):
    sample = pl.read_parquet(demo.SAMPLE)
    start = sample["timestamp"][0]
    # the first night and morning sessions: TXF, 2330 and 0050 all trade
    piece = sample.filter(pl.col("timestamp") < start + 10 * 3600)
    path = tmp_path / "slice.parquet"
    piece.write_parquet(path)
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "kelvo_orra_backtest.demo", "--ticks", str(path),
                          "--output-dir", str(out), "--capital", "3000000"],
                         capture_output=True, text=True, env={**os.environ, "COLUMNS": "120"})
    assert run.returncode == 0, run.stderr
    assert "Traceback" not in run.stderr

    written = {p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file()}
    for code in ("2330", "TXF"):
        assert {f"report/{code}-report.html", f"orra/profit_report/{code}-profit_report.html",
                f"orra/profit_report/{code}-profit_report.csv"} <= written
    [records] = [out / p for p in written if p.startswith("trade_records/")]
    trades = pl.read_csv(records)
    deals = trades.filter(pl.col("trade_status") == "Deal")
    orders = trades.filter(pl.col("trade_status") == "Order")
    assert deals.height == orders.height > 0
    # every position is closed at the end: each code's deals net to zero
    net = deals.group_by("code").agg(
        pl.when(pl.col("action") == "Buy").then(pl.col("quantity")).otherwise(-pl.col("quantity")).sum())
    assert net["quantity"].to_list() == [0] * net.height

    summary = dict(re.findall(r"│ (\S[^│]*?)\s+│\s+(\S+) │", run.stdout))
    assert summary["Ticks"] == f"{piece.height:,}"
    assert summary["成交筆數"] == f"{deals.height:,}"
    assert summary["初始資金"] == "3,000,000"
    profit = sum(pl.read_csv(out / f"orra/profit_report/{code}-profit_report.csv")["profit"].sum()
                 for code in ("2330", "TXF"))
    realised = float(summary["已實現損益"].replace(",", ""))
    assert realised == pytest.approx(profit, abs=0.01)
    # the strategy side received a view of the book halfway through
    assert "盤中庫存" in run.stdout


def test_module_console_comes_back_when_the_replay_fails(tmp_path, monkeypatch):
    from kelvo_orra_backtest.constant import BASIC_INFO
    from kelvo_orra_backtest.modules.positions import positions as M

    monkeypatch.setattr(BASIC_INFO, "data_dir", BASIC_INFO.data_dir)
    before = M.console

    def broken(self, kbars, state):
        raise RuntimeError("strategy failed")
    monkeypatch.setattr(demo.CrossoverStrategy, "signal", broken)
    path = tmp_path / "t.csv"
    path.write_text(GOOD)
    with pytest.raises(RuntimeError, match="strategy failed"):
        demo.run(demo.load_ticks(path), ["2330"], 1_000_000, tmp_path / "out", verbose=False)
    assert M.console is before

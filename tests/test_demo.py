"""The demo driver: tick files it accepts or refuses, and a whole short run."""
from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import random
from datetime import date, datetime, timedelta, timezone
from datetime import time as dtime

import polars as pl
import pytest

from kelvo_orra_backtest import demo
from kelvo_orra_backtest.data import sample, tick_files
from kelvo_orra_backtest.data.taifex import is_trading_day

GOOD = ("timestamp,code,market_type,close,qty,tick_type,is_simulate\n"
        "1709514000.5,2330,Stock,690.0,3,1,False\n"
        "1709514001.0,2330,Stock,691.0,1,2,false\n")


@pytest.mark.parametrize("text,message", [
    (GOOD.replace(",qty", ",volume"), "column 'qty' is missing"),
    (GOOD.replace("691.0,1", "abc,1"), "row 2, column 'close': 'abc' is not a price"),
    (GOOD.replace("Stock,690.0", "Bond,690.0"), "row 1, column 'market_type': 'Bond'"),
    (GOOD.replace("1709514001.0", ""), "row 2, column 'timestamp'"),
    ("timestamp,code\n", "holds no ticks"),
    (GOOD.replace("1709514001.0", "1709514001000"), "row 2, column 'timestamp': '1709514001000' is not epoch "
                                                    "seconds (it looks like milliseconds: divide the column by 1,000)"),
    (GOOD.replace("1709514001.0", "-5"), "row 2, column 'timestamp': '-5' is not epoch seconds between 1970"),
    (GOOD.replace("691.0,1", "0,1"), "row 2, column 'close': '0' is not a price above 0"),
    (GOOD.replace("690.0,3", "690.0,-3"), "row 1, column 'qty': '-3' is not a quantity of 0 or more"),
])
def test_broken_tick_files_get_one_clear_line(tmp_path, capsys, text, message):
    path = tmp_path / "ticks.csv"
    path.write_text(text)
    with pytest.raises(tick_files.TickFileError) as info:
        tick_files.load_ticks(path)
    assert message in str(info.value) and str(path) in str(info.value)
    _refused(["--ticks", str(path)], capsys)


def _refused(args, capsys) -> str:
    """The demo refuses with one line on stderr and status 2; returns the line."""
    assert demo.main(args) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    return err


@pytest.mark.parametrize("args,message", [
    (["--ticks", "."], "not the daily trade header"),  # a directory is read as daily trade files
    (["--ticks", "t.csv", "--codes", "TXF,9999"], "--codes TXF,9999 names no code of this file (its codes: 2330)"),
    (["--ticks", "t.csv", "--codes", ","], "names no code of this file"),
    (["--ticks", "missing.csv"], "missing.csv: no such file"),
    (["--ticks", "t.csv", "--output-dir", "t.csv"], "t.csv: --output-dir names a file, not a directory"),
])
def test_bad_arguments_get_one_clear_line(tmp_path, monkeypatch, capsys, args, message):
    (tmp_path / "t.csv").write_text(GOOD)
    monkeypatch.chdir(tmp_path)
    line = _refused(args, capsys)
    assert message in line and str(tmp_path) in line


def test_help_documents_every_column_and_its_example_loads(tmp_path, capsys):
    with pytest.raises(SystemExit):
        demo.main(["--help"])
    text = capsys.readouterr().out
    for name in tick_files.COLUMNS:
        assert f"\n  {name} " in text
    example = text.split("example:\n")[1].splitlines()
    path = tmp_path / "example.csv"
    path.write_text("\n".join(line.strip() for line in example) + "\n")
    tick = tick_files.load_ticks(path).row(0, named=True)
    assert tick["timestamp"] == 1709514000.5  # 2024-03-04 09:00:00.5 in Taipei, as the help says
    assert (tick["code"], tick["is_simulate"]) == ("2330", False)


def test_good_csv_and_parquet_load_alike(tmp_path):
    csv = tmp_path / "t.csv"
    csv.write_text(GOOD)
    a = tick_files.load_ticks(csv)
    pq = tmp_path / "t.parquet"
    a.write_parquet(pq)
    b = tick_files.load_ticks(pq)
    assert a.equals(b)
    assert a["is_simulate"].to_list() == [False, False]
    assert a.schema["qty"] == pl.Int64


def _demo(args, cwd, zone, columns=120):
    run = subprocess.run([sys.executable, "-m", "kelvo_orra_backtest.demo", *args], capture_output=True, text=True,
                         cwd=cwd, env={**os.environ, "COLUMNS": str(columns), "TZ": zone})
    assert run.returncode == 0, run.stderr
    assert "Traceback" not in run.stderr
    # nothing of the plotting and tear-sheet libraries reaches the console
    assert not re.search(r"findfont|Warning", run.stdout + run.stderr), run.stdout + run.stderr
    return run


@pytest.fixture(scope="module")
def market_zone_run(tmp_path_factory):
    """The demo on a slice of the sample, in the market's zone, with absolute paths."""
    tmp_path = tmp_path_factory.mktemp("demo")
    ticks = sample.build()
    start = ticks["timestamp"][0]
    # the first day session and the night after it: TXF, 2330 and 0050 all trade
    piece = ticks.filter(pl.col("timestamp") < start + 10 * 3600)
    path = tmp_path / "slice.parquet"
    piece.write_parquet(path)
    out = tmp_path / "out"
    run = _demo(["--ticks", str(path), "--output-dir", str(out), "--capital", "3000000"], None, "Asia/Taipei")
    return piece, out, run


def test_whole_run_on_a_slice_of_the_sample(market_zone_run):
    piece, out, run = market_zone_run

    written = {p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file()}
    for code in ("2330", "TXF"):
        assert {f"report/{code}-report.html", f"orra/profit_report/{code}-profit_report.html",
                f"orra/profit_report/{code}-profit_report.csv"} <= written
    [records] = [out / p for p in written if p.startswith("trade_records/")]
    trades = pl.read_csv(records)
    deals = trades.filter(pl.col("trade_status") == "Deal")
    orders = trades.filter(pl.col("trade_status") == "Order")
    cancels = trades.filter(pl.col("trade_status") == "Cancel")
    # each order fills, expires at its session's end, or still rests when the data ends
    assert 0 < deals.height and deals.height + cancels.height <= orders.height <= deals.height + cancels.height + 2
    # nothing is flattened at the end: what the deals leave open is what the summary lists
    net = deals.group_by("code").agg(
        pl.when(pl.col("action") == "Buy").then(pl.col("quantity")).otherwise(-pl.col("quantity")).sum())
    held = {c: q for c, q in net.iter_rows() if q}
    line = re.search(r"資料結束時仍有部位 \(未平倉\): (.*)", run.stdout)
    listed = {} if line is None else {c: int(q) for c, q in re.findall(r"(\S+) ([+-]\d+)", line.group(1))}
    assert listed == held

    summary = dict(re.findall(r"│ (\S[^│]*?)\s+│\s+(\S+) │", run.stdout))
    assert summary["Ticks"] == f"{piece.height:,}"
    assert summary["成交筆數"] == f"{deals.height:,}" and summary["委託筆數"] == f"{orders.height:,}"
    assert summary["初始資金"] == "3,000,000"
    profit = sum(pl.read_csv(out / f"orra/profit_report/{code}-profit_report.csv")["profit"].sum()
                 for code in ("2330", "TXF"))
    realised = float(summary["已實現損益"].replace(",", ""))
    assert realised == pytest.approx(profit, abs=0.01)
    # the strategy side received a view of the book halfway through
    assert "盤中庫存" in run.stdout
    # one TXF contract's full value (some 4.4 M) is more than the capital: the summary says it went below 0
    low = re.search(r"資金曾低於 0: 最低 (-[\d,.]+) \((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\)", run.stdout)
    assert low is not None and float(low.group(1).replace(",", "")) < 0


def test_other_zone_same_trades_and_paths_of_the_caller(market_zone_run):
    piece, out, first = market_zone_run
    [first_records] = (out / "trade_records").iterdir()
    # again, from the slice's directory with relative paths, on a machine in
    # UTC, in a terminal narrower than the paths
    run = _demo(["--ticks", "slice.parquet", "--output-dir", "out", "--capital", "3000000"], out.parent, "UTC", 60)
    assert "本機為 UTC，本次改用台灣市場的 Asia/Taipei" in run.stdout
    records = set((out / "trade_records").iterdir()) - {first_records}
    assert len(records) == 1
    assert records.pop().read_text() == first_records.read_text()
    summary = re.compile(r"│ (?:Ticks|成交筆數|已實現損益|目前資金) .*│")
    assert summary.findall(run.stdout) == summary.findall(first.stdout)
    # the list of written files is this run's, each once, on unbroken lines
    listed = run.stdout.split("本次輸出檔案:\n")[1].splitlines()
    # the module's seven files and the portfolio's tear sheet
    assert len(listed) == len(set(listed)) == 8 and f"  {first_records}" not in listed
    assert all(line.startswith(f"  {out}/") for line in listed)
    assert run.stdout.count("profit_report.html") == 4  # each tear sheet: the module's line and the list
    announced = [line for line in run.stdout.splitlines() if "已產生: " in line or "匯出至: " in line]
    assert len(announced) == 7 and all(line.endswith((".html", ".csv")) for line in announced)


def _demo_loop(monkeypatch):
    """The demo's earlier per-tick loop, kept in bench/ as the benchmarks' baseline."""
    path = Path(__file__).resolve().parents[1] / "bench" / "demo_loop.py"
    where = importlib.util.spec_from_file_location("demo_loop", path)
    module = importlib.util.module_from_spec(where)
    monkeypatch.setitem(sys.modules, "demo_loop", module)  # its dataclasses look the module up
    where.loader.exec_module(module)
    return module


def test_module_console_comes_back_when_the_replay_fails(tmp_path, monkeypatch):
    from kelvo_orra_backtest.constant import BASIC_INFO
    from kelvo_orra_backtest.modules.positions import positions as M

    monkeypatch.setattr(BASIC_INFO, "data_dir", BASIC_INFO.data_dir)
    before = M.console
    demo_loop = _demo_loop(monkeypatch)

    def broken(self, kbars, state):
        raise RuntimeError("strategy failed")
    monkeypatch.setattr(demo_loop.CrossoverStrategy, "signal", broken)
    path = tmp_path / "t.csv"
    path.write_text(GOOD)
    with pytest.raises(RuntimeError, match="strategy failed"):
        demo_loop.run(tick_files.load_ticks(path), ["2330"], 1_000_000, tmp_path / "out", verbose=False)
    assert M.console is before


def test_daily_trade_files_replay_with_one_command(tmp_path, capsys):
    from test_taifex import random_day, write
    rng = random.Random(3)
    days = [date(2026, 6, d) for d in (1, 2, 3, 4)]
    for prev, day in zip([date(2026, 5, 29)] + days, days):
        write(tmp_path / f"Daily_{day:%Y_%m_%d}.zip", random_day(rng, day, prev), zipped=True)
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "kelvo_orra_backtest.demo", "--ticks", str(tmp_path),
                          "--output-dir", str(out)], capture_output=True, text=True,
                         env={**os.environ, "COLUMNS": "120"})
    assert run.returncode == 0, run.stderr
    assert "--contract front" in run.stdout and run.stdout.count("│ 202606 │") == 4
    assert (out / "report" / "TXF-report.html").is_file()

    (tmp_path / "Daily_2026_06_05.zip").write_bytes(b"<html>no trading</html>")
    assert demo.main(["--ticks", str(tmp_path / "Daily_*.zip"), "--product", "MTX"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Daily_2026_06_05.zip: is an HTML page" in err


@pytest.mark.parametrize("rule", ["0", "carry"])
def test_a_bad_roll_rule_stops_the_demo_with_one_line(tmp_path, capsys, rule):
    from daily_files import write_days
    write_days(tmp_path, date(2026, 5, 19), date(2026, 5, 21))
    assert demo.main(["--ticks", str(tmp_path), "--roll-rule", rule, "--output-dir", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "roll must be 'expiry', 'volume' or a number N >= 1" in err and repr(rule) in err
    assert not (tmp_path / "out").exists()


def test_daily_files_and_tick_files_do_not_mix(tmp_path):
    from test_taifex import FRIDAY, write
    ticks = tmp_path / "t.csv"
    ticks.write_text(GOOD)
    with pytest.raises(tick_files.TickFileError, match="cannot be mixed"):
        tick_files.load_ticks([write(tmp_path / "d.csv", FRIDAY), ticks])


# --- the bundled sample -------------------------------------------------------------

TAIPEI = timezone(timedelta(hours=8))


@pytest.fixture(scope="module")
def sample_ticks():
    return sample.build()


def test_sample_looks_like_a_market(sample_ticks):
    t = sample_ticks.with_columns(
        pl.col("timestamp").map_elements(lambda s: datetime.fromtimestamp(s, TAIPEI).replace(tzinfo=None),
                                         return_dtype=pl.Datetime("us")).alias("dt"))
    t = t.with_columns(pl.col("dt").dt.time().alias("time"),
                       # futures trades from 15:00 belong to the next trading day
                       pl.when(pl.col("dt").dt.hour() >= 15).then(pl.col("dt").dt.date() + timedelta(days=1))
                       .otherwise(pl.col("dt").dt.date()).alias("after"))
    assert t["timestamp"].is_sorted()
    stock = t.filter(pl.col("market_type") == "Stock")
    assert stock["time"].min() >= dtime(9) and stock["time"].max() <= dtime(13, 30)
    # no trading on closed days: each trade's calendar day (the night's, the evening's) is open
    evening = t.filter(pl.col("dt").dt.hour() >= 15)["dt"].dt.date().unique().to_list()
    day = t.filter(pl.col("dt").dt.hour() >= 8)["dt"].dt.date().unique().to_list()
    assert all(is_trading_day(d) for d in evening + day)
    assert date(2026, 4, 3) not in day and date(2026, 4, 2) in evening

    for code, frame in t.filter(~pl.col("is_simulate")).group_by("code"):
        prices = frame["close"].to_numpy()
        step = sample.price_step(code[0], prices)
        assert ((prices / step).round(6) % 1 == 0).all(), code
        closes = frame.filter(pl.col("dt").dt.hour().is_between(8, 14)).group_by(
            pl.col("dt").dt.date()).agg(pl.col("close").last()).sort("dt")["close"]
        moves = (closes / closes.shift(1) - 1).drop_nulls()
        assert moves.len() >= 10 and moves.abs().max() < 0.10 and moves.abs().max() > 0.005, code

    # heavy open and close: the session's first and last half hours trade faster than midday
    txf = t.filter((pl.col("code") == "TXF") & pl.col("dt").dt.hour().is_between(8, 13))
    minute = pl.col("dt").dt.hour().cast(pl.Int32) * 60 + pl.col("dt").dt.minute()
    opening = txf.filter(minute < 9 * 60 + 15).height
    midday = txf.filter(minute.is_between(11 * 60, 11 * 60 + 29)).height
    closing = txf.filter(minute >= 13 * 60 + 15).height
    assert opening > 2 * midday and closing > 1.5 * midday


def test_sample_file_is_made_once_where_it_can_be_written(tmp_path, monkeypatch):
    small = sample.build(count=2)
    assert small.equals(sample.build(count=2))
    monkeypatch.setattr(sample, "build", lambda: small)
    # a cache below a plain file cannot be made: the sample goes beside the output
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(blocker / "cache"))
    out = tmp_path / "out"
    path = sample.sample_path(fallback_dir=out)
    assert path == out / sample.FILE_NAME and pl.read_parquet(path).equals(small)
    monkeypatch.setattr(sample, "build", lambda: pytest.fail("made twice"))
    assert sample.sample_path(fallback_dir=out) == path
    assert sorted(p.name for p in out.iterdir()) == [sample.FILE_NAME]  # no temporary file left

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setattr(sample, "build", lambda: small)
    assert sample.sample_path() == tmp_path / "cache" / "kelvo_orra_backtest" / sample.FILE_NAME
    with pytest.raises(OSError, match="cannot be written"):
        monkeypatch.setenv("XDG_CACHE_HOME", str(blocker / "cache"))
        sample.sample_path(fallback_dir=blocker / "out")

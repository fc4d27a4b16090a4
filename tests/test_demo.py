"""The demo driver: tick files it accepts or refuses, and a whole short run."""
from __future__ import annotations

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

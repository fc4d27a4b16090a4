"""Save paths, trade-record export and the two reports of one code."""
from __future__ import annotations

import json
import os
import threading
import types
from datetime import datetime

import pandas as pd
import polars as pl
import pytest

from report_fakes import FakeQuoteManager, bars_frame, daily_frame, profit_row, trading_minutes

CODE = "2330"


def ts(*args):
    return datetime(*args).timestamp()


def listing(root):
    out = []
    for d, _, files in os.walk(root):
        out.extend(os.path.relpath(os.path.join(d, f), root) for f in files)
    return sorted(out)


@pytest.fixture
def minute_qm():
    times = trading_minutes(datetime(2024, 1, 2), 2)
    bars = bars_frame(CODE, times).with_columns(pl.lit(1).alias("extra"))
    return FakeQuoteManager({CODE: bars}, {"0050": daily_frame("0050", datetime(2024, 1, 1), 10)})


class RecordingTemplate:
    def __init__(self, fail=False):
        self.calls = []
        self.fail = fail

    def render(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail:
            raise RuntimeError("template broke")
        return "rendered " + str(len(self.calls))


# ---- save paths --------------------------------------------------------------

def test_save_path_root_and_sub_folders(pos, data_dir):
    gen = pos._Positions__generate_save_path
    assert gen() == str(data_dir) and data_dir.is_dir()
    path = gen("f.csv", "x", "y")
    assert path == os.path.join(str(data_dir), "x", "y", "f.csv")
    assert (data_dir / "x" / "y").is_dir() and not os.path.exists(path)
    assert gen("f.csv", "x", "y") == path
    assert gen(None, "z") == os.path.join(str(data_dir), "z")


def test_save_path_reads_root_on_every_call(pos, m, monkeypatch, tmp_path):
    gen = pos._Positions__generate_save_path
    for name in ("a", "b"):
        monkeypatch.setattr(m.BASIC_INFO, "data_dir", str(tmp_path / name))
        assert gen("f") == str(tmp_path / name / "f")


@pytest.mark.parametrize("bad", [1, b"f", 1.5])
def test_save_path_file_name_type(pos, data_dir, bad):
    with pytest.raises(TypeError, match="Argument 'file_name' has incorrect type"):
        pos._Positions__generate_save_path(bad)


def test_save_path_bytes_root(pos, m, monkeypatch, tmp_path):
    monkeypatch.setattr(m.BASIC_INFO, "data_dir", os.fsencode(tmp_path / "b"))
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        pos._Positions__generate_save_path()


# ---- trade-record export -----------------------------------------------------

class FixedNow:
    @staticmethod
    def now():
        return datetime(2024, 5, 6, 7, 8, 9)


def test_export_trade_records(pos, m, console, data_dir, monkeypatch):
    monkeypatch.setattr(m, "datetime", FixedNow)
    pos.trade_records.append({"trade_id": "1", "code": CODE, "action": "Buy", "quantity": 2, "price": 10.5,
                              "dt": "2024-05-06 09:00:00.000000", "trade_status": "Deal"})
    pos.export_trade_records()
    path = data_dir / "trade_records" / "2024-05-06 070809_trade_records.csv"
    raw = path.read_bytes()
    assert not raw.startswith(b"\xef\xbb\xbf")
    assert raw.decode() == ("trade_id,code,action,quantity,price,dt,trade_status\n"
                            "1,2330,Buy,2,10.5,2024-05-06 09:00:00.000000,Deal\n")
    assert console.lines == [f"[bold green]交易紀錄已匯出至: {path}[/bold green]"]
    # Same second: the second export replaces the first.
    pos.trade_records.clear()
    pos.export_trade_records()
    assert path.read_text() == pl.DataFrame([]).write_csv() and listing(data_dir) == ["trade_records/2024-05-06 070809_trade_records.csv"]


def test_two_accounts_exporting_from_two_threads_leave_complete_files(m, console, data_dir, monkeypatch):
    accounts = []
    for n in (3, 40):
        p = m.Positions()
        for i in range(n):
            p.add_trade_record(str(i), CODE, "Buy", 1, 10.0 + i, 1714957689.0, "Deal")
        accounts.append(p)
    monkeypatch.setattr(m, "datetime", FixedNow)  # both write the same file name
    path = data_dir / "trade_records" / "2024-05-06 070809_trade_records.csv"
    accounts[0].export_trade_records()
    complete = {path.read_text()}
    accounts[1].export_trade_records()
    complete.add(path.read_text())
    errors, seen = [], set()

    def export(p):
        try:
            for _ in range(100):
                p.export_trade_records()
                seen.add(path.read_text())
        except Exception as e:  # noqa: BLE001 - collected for the assertion
            errors.append(e)

    threads = [threading.Thread(target=export, args=(p,)) for p in accounts]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and seen <= complete
    assert listing(data_dir) == ["trade_records/2024-05-06 070809_trade_records.csv"]


def test_tear_sheet_failure_keeps_earlier_one(pos, m, console, data_dir, monkeypatch):
    pos.set_initial_capital(1_000_000)
    pos._profit_report["rows"].append(profit_row(CODE, 1714957689.0, 1714961289.0, profit=500.0))
    pos.generate_qs_profit_report(CODE, FakeQuoteManager())
    html = next(data_dir.rglob("*-profit_report.html"))
    before = html.read_bytes()

    def partial(*args, output, **kwargs):
        with open(output, "w") as f:
            f.write("<html>half")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(m.qs.reports, "html", partial)
    with pytest.raises(OSError, match="No space"):
        pos.generate_qs_profit_report(CODE, FakeQuoteManager())
    assert html.read_bytes() == before
    assert not [p for p in listing(data_dir) if ".tmp" in p]
    html.unlink()
    with pytest.raises(OSError, match="No space"):
        pos.generate_qs_profit_report(CODE, FakeQuoteManager())
    assert not html.exists()


@pytest.mark.parametrize("code", ["../x", "../../etc", "/tmp/abs", "a/b", "..", ".", "a\\b", "a\0b"])
def test_code_that_would_leave_the_data_directory_is_refused(pos, console, data_dir, code):
    pos._profit_report["rows"].append(profit_row(code, 1714957689.0, 1714961289.0, profit=500.0))
    for method in (pos.generate_standard_report, pos.generate_qs_profit_report):
        with pytest.raises(ValueError, match="cannot name a report file"):
            method(code, FakeQuoteManager())
    assert not data_dir.exists() or listing(data_dir) == []


def test_export_failure_keeps_earlier_file(pos, m, console, data_dir, monkeypatch):
    monkeypatch.setattr(m, "datetime", FixedNow)
    pos.export_trade_records()
    path = data_dir / "trade_records" / "2024-05-06 070809_trade_records.csv"
    before = path.read_bytes()

    class HalfWriter:
        def __init__(self, records, **kwargs):
            pass

        def write_csv(self, target):
            with open(target, "w") as f:
                f.write("trade_id,co")
            raise OSError("disk full")

    monkeypatch.setattr(m, "pl", types.SimpleNamespace(DataFrame=HalfWriter))
    with pytest.raises(OSError, match="disk full"):
        pos.export_trade_records()
    assert path.read_bytes() == before
    assert listing(data_dir) == ["trade_records/2024-05-06 070809_trade_records.csv"]
    assert len(console.lines) == 1


# ---- profit rows of one code -------------------------------------------------

def test_profit_rows_by_code(pos):
    rows = [profit_row(c, 1.0, 2.0) for c in (CODE, "2603", CODE)]
    pos._profit_report["rows"].extend(rows)
    got = pos.get_profit_rows_by_code(CODE)
    assert got == [rows[0], rows[2]] and got[0] is rows[0] and got[1] is rows[2]
    assert got is not pos.get_profit_rows_by_code(CODE)
    assert pos.get_profit_rows_by_code("9999") == []
    with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
        pos.get_profit_rows_by_code(2330)
    pos._profit_report["rows"].append({"profit": 1})
    with pytest.raises(KeyError, match="code"):
        pos.get_profit_rows_by_code(CODE)


# ---- standard report ---------------------------------------------------------

def expected_kbar_json(bars):
    rows = bars.with_columns(pl.col("dt").dt.strftime("%Y-%m-%d %H:%M:%S")).rename(
        {"dt": "time", "Open": "open", "High": "high", "Low": "low", "Close": "close", "Volume": "volume"}).to_dicts()
    return json.dumps(rows)


def test_standard_report_variables(pos, m, console, data_dir, minute_qm, monkeypatch):
    tmpl = RecordingTemplate()
    monkeypatch.setattr(m, "template", tmpl)
    row = profit_row(CODE, ts(2024, 1, 2, 9, 1, 59), ts(2024, 1, 2, 9, 5, 0) + 0.5)
    other = profit_row("2603", 1.0, 2.0)
    pos._profit_report["rows"].extend([row, other])
    pos._account_infos[CODE] = info = {"entry_times": 1}

    pos.generate_standard_report(CODE, minute_qm)

    assert minute_qm.calls == [(CODE, "m", 1)]
    assert row["entry_dt"] == "2024-01-02 09:01:59" and row["exit_dt"] == "2024-01-02 09:05:00"
    assert other["entry_dt"] == 1.0  # rows of other codes stay as they were
    (args, kwargs), = tmpl.calls
    assert kwargs == {} and len(args) == 1
    v = args[0]
    assert list(v) == ["kbar_df", "profit_rows", "profit_rows_json", "include_profit_rows", "fee_settings",
                       "account_info", "initial_capital", "current_capital", "qs_report_path"]
    assert v["kbar_df"] == expected_kbar_json(minute_qm.minute[CODE])
    assert '"extra": 1' in v["kbar_df"]
    assert v["profit_rows"] == [row] and v["profit_rows"][0] is row
    assert v["profit_rows_json"] == json.dumps([row])
    points = [
        {"code": CODE, "type": "entry", "dt": "2024-01-02 09:01:00", "qty": 1, "price": row["entry_price"],
         "origin_price": row["entry_origin_price"]},
        {"code": CODE, "type": "exit", "dt": "2024-01-02 09:05:00", "qty": 1, "price": row["exit_price"],
         "origin_price": row["exit_origin_price"]},
    ]
    assert v["include_profit_rows"] == json.dumps(points)
    assert v["fee_settings"] is pos._fee_settings and v["account_info"] is info
    assert (v["initial_capital"], v["current_capital"]) == (100000, 100000)
    qs_path = os.path.join(str(data_dir), "orra", "profit_report", CODE + "-profit_report.html")
    assert v["qs_report_path"] == qs_path and (data_dir / "orra" / "profit_report").is_dir()

    result = data_dir / "report" / (CODE + "-report.html")
    assert result.read_text(encoding="utf-8") == "rendered 1"
    assert console.lines == [f"[bold green]產生 {CODE} 的回測報告...[/bold green]",
                             f"[bold green]回測基本報告已產生: {result}[/bold green]"]

    # A second report of the same code reads the rewritten times back.
    pos.generate_standard_report(CODE, minute_qm)
    assert tmpl.calls[1][0][0] == v
    assert row["entry_dt"] == "2024-01-02 09:01:59"


def test_standard_report_without_rows(pos, m, data_dir, minute_qm, monkeypatch):
    tmpl = RecordingTemplate()
    monkeypatch.setattr(m, "template", tmpl)
    pos.generate_standard_report(CODE, minute_qm)
    v = tmpl.calls[0][0][0]
    assert v["profit_rows"] == [] and v["profit_rows_json"] == "[]" and v["include_profit_rows"] == "[]"
    assert v["account_info"] == pos._Positions__init_account_info() and CODE not in pos._account_infos


def test_standard_report_uses_json_global_and_backslash_root(pos, m, minute_qm, monkeypatch, tmp_path):
    tmpl = RecordingTemplate()
    monkeypatch.setattr(m, "template", tmpl)
    dumped = []
    monkeypatch.setattr(m, "json", types.SimpleNamespace(dumps=lambda o: dumped.append(o) or "J"))
    root = str(tmp_path) + "\\win\\data"
    monkeypatch.setattr(m.BASIC_INFO, "data_dir", root)
    pos.generate_standard_report(CODE, minute_qm)
    v = tmpl.calls[0][0][0]
    assert len(dumped) == 3 and v["kbar_df"] == v["profit_rows_json"] == v["include_profit_rows"] == "J"
    assert "\\" not in v["qs_report_path"]
    assert v["qs_report_path"] == os.path.join(root, "orra", "profit_report", CODE + "-profit_report.html").replace("\\", "/")


@pytest.mark.parametrize("earlier", [False, True])
def test_standard_report_failure_leaves_no_partial_file(pos, m, console, data_dir, minute_qm, monkeypatch, earlier):
    result = data_dir / "report" / (CODE + "-report.html")
    if earlier:
        monkeypatch.setattr(m, "template", RecordingTemplate())
        pos.generate_standard_report(CODE, minute_qm)
    monkeypatch.setattr(m, "template", RecordingTemplate(fail=True))
    console.lines.clear()
    with pytest.raises(RuntimeError, match="template broke"):
        pos.generate_standard_report(CODE, minute_qm)
    assert console.lines == [f"[bold green]產生 {CODE} 的回測報告...[/bold green]"]
    assert sorted(os.listdir(data_dir / "report")) == ([result.name] if earlier else [])
    if earlier:
        assert result.read_text(encoding="utf-8") == "rendered 1"


def test_standard_report_errors_reach_caller(pos, data_dir, minute_qm):
    with pytest.raises(KeyError):
        pos.generate_standard_report("9999", minute_qm)
    with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
        pos.generate_standard_report(2330, minute_qm)
    pos._profit_report["rows"].append(profit_row(CODE, 1.0, 2.0, entry_origin_price=object()))
    with pytest.raises(TypeError, match="JSON serializable"):
        pos.generate_standard_report(CODE, minute_qm)
    assert not (data_dir / "report" / (CODE + "-report.html")).exists()


def test_standard_report_with_real_template(pos, data_dir, minute_qm):
    pos._profit_report["rows"].append(profit_row(CODE, ts(2024, 1, 2, 9, 1, 59), ts(2024, 1, 2, 9, 5, 0)))
    pos.generate_standard_report(CODE, minute_qm)
    html = (data_dir / "report" / (CODE + "-report.html")).read_text(encoding="utf-8")
    assert "2024-01-02 09:01:59" in html and "進階損益報告" in html
    assert "orra/profit_report/2330-profit_report.html" in html


# ---- performance report ------------------------------------------------------

class RecordingQs:
    """`qs` with the real to_returns and a recording reports.html."""

    def __init__(self, real, fail=False):
        self.calls = []
        self.fail = fail
        self.utils = real.utils
        self.reports = types.SimpleNamespace(html=self.html)

    def html(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail:
            raise RuntimeError("tear sheet broke")


@pytest.fixture
def rec_qs(m, monkeypatch):
    rec = RecordingQs(m.qs)
    monkeypatch.setattr(m, "qs", rec)
    return rec


def paths(data_dir):
    d = data_dir / "orra" / "profit_report"
    return d / (CODE + "-profit_report.html"), d / (CODE + "-profit_report.csv")


def test_performance_report_call(pos, console, data_dir, minute_qm, rec_qs):
    pos._profit_report["rows"].extend([
        profit_row(CODE, "2024-01-02 09:00:00", "2024-01-02 10:00:00", profit=1000.0),
        profit_row(CODE, "2024-01-02 09:00:00", "2024-01-02 11:30:00", profit=500.0),
        profit_row(CODE, "2024-01-04 09:00:00", "2024-01-04 09:30:00", profit=-300.0),
    ])
    pos.generate_qs_profit_report(CODE, minute_qm)
    html_path, csv_path = paths(data_dir)
    (args, kw), = rec_qs.calls
    assert args == ()
    assert list(kw) == ["returns", "download_filename", "output", "rf", "title", "benchmark", "benchmark_title"]
    assert kw["download_filename"] == kw["output"] == str(html_path)
    assert (kw["rf"], kw["title"], kw["benchmark_title"]) == (0.04, "進階損益報告", "0050")
    r = kw["returns"]
    assert list(r.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-04")]
    assert list(r) == [0.015, -0.003]
    closes = minute_qm.daily["0050"].filter(pl.col("dt").is_between(datetime(2024, 1, 2), datetime(2024, 1, 4)))["Close"]
    expected = pd.Series(closes.to_list(), index=pd.to_datetime([datetime(2024, 1, d) for d in (2, 3, 4)]))
    pd.testing.assert_series_equal(kw["benchmark"], expected.pct_change().fillna(0), check_names=False,
                                   check_index_type=False, check_freq=False)
    raw = csv_path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    assert raw.decode("utf-8-sig").splitlines()[1].split(",")[6] == "2024-01-02 10:00:00"
    assert console.lines == [f"[bold green]進階損益報告已產生: {html_path}[/bold green]",
                             f"[bold green]損益報告 CSV 已產生: {csv_path}[/bold green]"]
    assert [c for c in minute_qm.calls if c[0] == "0050"] == [("0050", "d", 1)]


def test_performance_report_single_day_and_epoch_times(pos, console, data_dir, minute_qm, rec_qs):
    # Numeric exit times (no standard report yet) are local times, not 1970.
    rows = [profit_row(CODE, ts(2024, 1, 3, 9, 0), ts(2024, 1, 3, 9, 30, 15), profit=700.0),
            profit_row(CODE, ts(2024, 1, 3, 9, 0), float("nan"), profit=99.0),
            profit_row(CODE, ts(2024, 1, 3, 9, 0), "not a time", profit=98.0)]
    pos._profit_report["rows"].extend(rows)
    pos.generate_qs_profit_report(CODE, minute_qm)
    kw = rec_qs.calls[0][1]
    assert list(kw["returns"].index) == [pd.Timestamp("2024-01-03"), pd.Timestamp("2024-01-04")]
    assert list(kw["returns"]) == [0.007, 0.0]
    assert len(kw["benchmark"]) == 2
    assert rows[0]["exit_dt"] == ts(2024, 1, 3, 9, 30, 15)  # stored rows unchanged
    df = pd.read_csv(paths(data_dir)[1], encoding="utf-8-sig", keep_default_na=False)
    assert list(df["exit_dt"]) == ["2024-01-03 09:30:15", "", ""]
    assert list(df.columns) == list(rows[0])


@pytest.mark.parametrize("daily", [None, 1], ids=["no-0050", "one-close"])
def test_performance_report_without_benchmark(pos, console, data_dir, rec_qs, daily):
    qm = FakeQuoteManager({}, {} if daily is None else {"0050": daily_frame("0050", datetime(2024, 1, 3), 1)})
    pos._profit_report["rows"].append(profit_row(CODE, "2024-01-03 09:00:00", "2024-01-03 10:00:00"))
    pos.generate_qs_profit_report(CODE, qm)
    kw = rec_qs.calls[0][1]
    assert list(kw) == ["returns", "download_filename", "output", "rf", "title", "benchmark", "benchmark_title"]
    assert kw["benchmark"] is None
    assert console.lines[0] == "[yellow]沒有 0050 的日 K 資料, 進階損益報告不含基準比較[/yellow]"


def test_performance_report_no_rows(pos, console, data_dir, minute_qm, rec_qs):
    pos.generate_qs_profit_report(CODE, minute_qm)
    assert console.lines == ["[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"]
    assert not data_dir.exists() and rec_qs.calls == []
    with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
        pos.generate_qs_profit_report(None, minute_qm)


def test_performance_report_errors(pos, m, console, data_dir, minute_qm, rec_qs):
    pos._profit_report["rows"].append(profit_row(CODE, "2024-01-03 09:00:00", "2024-01-03 10:00:00"))
    rec_qs.fail = True
    with pytest.raises(RuntimeError, match="tear sheet broke"):
        pos.generate_qs_profit_report(CODE, minute_qm)
    html_path, csv_path = paths(data_dir)
    good_csv = csv_path.read_bytes()
    assert console.lines == [] and good_csv.startswith(b"\xef\xbb\xbf")

    class Unprintable:
        def __str__(self):
            raise ValueError("cannot print")

    pos._profit_report["rows"].append(profit_row(CODE, "2024-01-03 09:00:00", "2024-01-03 11:00:00",
                                                 trade_cost_fixed=Unprintable()))
    with pytest.raises(ValueError, match="cannot print"):
        pos.generate_qs_profit_report(CODE, minute_qm)
    assert csv_path.read_bytes() == good_csv
    assert sorted(os.listdir(csv_path.parent)) == [csv_path.name]

    broken = FakeQuoteManager()
    broken.get_kbar = lambda *a, **k: (_ for _ in ()).throw(RuntimeError("feed down"))
    pos._profit_report["rows"].pop()
    with pytest.raises(RuntimeError, match="feed down"):
        pos.generate_qs_profit_report(CODE, broken)


def test_real_tear_sheets(pos, console, data_dir, minute_qm):
    """quantstats itself writes the tear sheet, with and without the benchmark."""
    pos._profit_report["rows"].extend([
        profit_row(CODE, ts(2024, 1, 2, 9, 0), ts(2024, 1, 2, 10, 0), profit=1200.0),
        profit_row(CODE, ts(2024, 1, 3, 9, 0), ts(2024, 1, 3, 10, 0), profit=-400.0),
        profit_row(CODE, ts(2024, 1, 5, 9, 0), ts(2024, 1, 5, 10, 0), profit=900.0),
    ])
    html_path, _ = paths(data_dir)
    pos.generate_qs_profit_report(CODE, minute_qm)
    text = html_path.read_text(encoding="utf-8")
    assert "進階損益報告" in text and "0050" in text and "2024" in text
    html_path.unlink()
    console.lines.clear()
    pos.generate_qs_profit_report(CODE, FakeQuoteManager())
    assert console.lines[0].startswith("[yellow]沒有 0050")
    assert "進階損益報告" in html_path.read_text(encoding="utf-8")

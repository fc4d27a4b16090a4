"""The rendered standard report in headless Chromium, checked from the page's
own state: data read, whole run in view, equity and drawdown, markers inside
the chart, a link that survives moving the folder, narrow and printed pages."""
from __future__ import annotations

import logging
import re
import shutil
import warnings
from datetime import datetime
from pathlib import Path

import polars as pl
import pytest

from headless import Browser, find_chromium
from report_fakes import FakeQuoteManager, demo_backtest, profit_row

CODE = "2330"
READY = "document.body.getAttribute('data-ready') === '1'"


class QuietConsole:
    def print(self, *args, **kwargs):
        pass


@pytest.fixture(scope="module")
def exe():
    path = find_chromium()
    if not path:
        pytest.skip("Chromium not found (scripts/setup installs it where apt is available)")
    return path


def write_reports(m, root: Path, bars=None, rows=None, qm=None, code=CODE, qs=False):
    """Writes the standard report (and on request the performance report) under `root`."""
    saved = m.BASIC_INFO.data_dir, m.console
    m.BASIC_INFO.data_dir, m.console = str(root), QuietConsole()
    # the tear sheet asks for fonts this machine may not have, once per chart
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    try:
        pos = m.Positions()
        pos._profit_report["rows"].extend(rows)
        pos.generate_standard_report(code, qm)
        if qs:
            with warnings.catch_warnings():  # the plotting libraries' deprecation notes
                warnings.simplefilter("ignore")
                pos.generate_qs_profit_report(code, qm)
        return pos
    finally:
        m.BASIC_INFO.data_dir, m.console = saved


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A run of ten trading days (2,700 bars) with 13 round trips, both reports written."""
    import kelvo_orra_backtest.modules.positions.positions as m

    root = tmp_path_factory.mktemp("run") / "data"
    bars, rows, qm = demo_backtest(days=10, trades=12)
    # one round trip from the first bar to the last: markers at both edges
    closes, times = bars["Close"], bars["dt"]
    rows.append(profit_row(CODE, times[0].timestamp() + 30, times[-1].timestamp() + 5, entry_action="Sell",
                           entry_price=closes[0], exit_price=closes[-1], profit=-1234.5))
    original = [dict(r) for r in rows]  # the report rewrites the times of the stored rows
    pos = write_reports(m, root, bars, rows, qm, qs=True)
    return root, bars, original, pos


def page_state(b: Browser) -> dict:
    return b.evaluate("""({errors: document.body.getAttribute('data-errors'), parsed: report.parsed,
        barCount: report.barCount, view: report.view, trades: report.trades, equity: report.equity,
        maxDrawdown: report.maxDrawdown, markers: report.drawnMarkers, area: report.priceArea,
        decimals: report.priceDecimals, link: report.link, inPieces: report.barsInPieces,
        resolved: new URL(report.link, location.href).pathname})""")


def test_whole_run_equity_and_markers(exe, run):
    root, bars, rows, pos = run
    with Browser(exe, 1280, 720) as b:
        b.open((root / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
        s = page_state(b)
    assert s["errors"] is None
    assert s["parsed"] and s["barCount"] == bars.height
    assert s["inPieces"]  # rows without nested values are read piece by piece
    assert s["decimals"] == 2  # the fake prices are in cents

    # every trade point sits on the bar of its minute
    minute = {dt: i for i, dt in enumerate(bars["dt"].to_list())}
    for r, t in zip(rows, s["trades"]):
        for key, bar in (("entry_dt", t["entryBar"]), ("exit_dt", t["exitBar"])):
            assert bar == minute[datetime.fromtimestamp(r[key]).replace(second=0, microsecond=0)]

    # opens on the whole run, with every trade in view
    assert s["view"]["first"] == 0 and s["view"]["last"] == bars.height - 1
    assert all(0 <= t["entryBar"] <= t["exitBar"] < bars.height for t in s["trades"])

    equity, peak, mdd = [], pos.initial_capital, 0.0
    for r in rows:
        equity.append((equity[-1] if equity else pos.initial_capital) + r["profit"])
        peak = max(peak, equity[-1])
        mdd = min(mdd, equity[-1] - peak)
    assert s["equity"] == pytest.approx(equity, rel=1e-12)
    assert mdd < 0 and s["maxDrawdown"]["amount"] == pytest.approx(mdd, rel=1e-12)

    area = s["area"]
    assert len(s["markers"]) == 2 * len(rows)
    for box in s["markers"]:
        assert area["left"] <= box["left"] and box["right"] <= area["right"], box
        assert area["top"] <= box["top"] and box["bottom"] <= area["bottom"], box


def test_keyboard_zooms_to_minutes_and_rows_find_their_trade(exe, run):
    root, bars = run[0], run[1]
    view = """new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() => done(report.view))))"""
    with Browser(exe, 1280, 720) as b:
        b.open((root / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
        b.evaluate("""(() => { const c = document.getElementById('chart'); c.focus();
            for (let i = 0; i < 40; i++) c.dispatchEvent(new KeyboardEvent('keydown', {key: '+', bubbles: true})); })()""")
        zoomed = b.evaluate(view)
        assert zoomed["last"] - zoomed["first"] + 1 <= 21  # minutes: about 20 bars across
        b.evaluate("document.getElementById('chart').dispatchEvent(new KeyboardEvent('keydown', {key: 'Home', bubbles: true}))")
        whole = b.evaluate(view)
        assert (whole["first"], whole["last"]) == (0, bars.height - 1)
        b.evaluate("document.querySelector('#trades tr[data-row=\"3\"] td').click()")
        shown, trade = b.evaluate(view), b.evaluate("report.trades[3]")
        assert shown["first"] <= trade["entryBar"] <= trade["exitBar"] <= shown["last"]
        assert shown["last"] - shown["first"] < bars.height / 4


def test_link_is_relative_and_travels_with_the_folder(exe, run, tmp_path):
    root = run[0]
    moved = tmp_path / "copied" / "data"
    shutil.copytree(root, moved)
    with Browser(exe, 1280, 720) as b:
        for base in (root, moved):
            b.open((base / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
            s = page_state(b)
            assert not s["link"].startswith(("/", "file:")), s["link"]
            target = base / "orra" / "profit_report" / f"{CODE}-profit_report.html"
            assert s["resolved"] == target.as_uri()[len("file://"):] and target.is_file()


def test_narrow_window_and_print(exe, run):
    root = run[0]
    with Browser(exe, 560, 900) as b:
        b.open((root / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
        # the panels lie below the fold, where the page skips their rendering (content-visibility):
        # they are scrolled into view and measured once two frames have been laid out
        layout = b.evaluate("""new Promise((done) => {
            document.querySelector('#fees').scrollIntoView();
            requestAnimationFrame(() => requestAnimationFrame(() => {
                const box = (sel) => document.querySelector(sel).getBoundingClientRect().toJSON();
                done({overflow: document.documentElement.scrollWidth - window.innerWidth,
                      account: box('#account'), fees: box('#fees'), chart: box('#chart')});
            }));
        })""", timeout=10)
        assert layout["overflow"] <= 0
        assert layout["fees"]["top"] > layout["account"]["bottom"]  # the two panels stack
        assert layout["chart"]["width"] <= 560

        b.send("Emulation.setEmulatedMedia", media="print")
        printed = b.evaluate("""new Promise((done) => {
            const check = () => report.theme === 'print' ? done({color: getComputedStyle(document.body).color,
                background: getComputedStyle(document.body).backgroundColor}) : setTimeout(check, 20);
            check();
        })""", timeout=10)
        assert printed == {"color": "rgb(17, 17, 17)", "background": "rgb(255, 255, 255)"}
        assert b.print_pdf().startswith(b"%PDF")


@pytest.mark.parametrize("days", [2, 0], ids=["bars", "no-bars"])
def test_without_trades(exe, m, tmp_path, days):
    bars, _, qm = demo_backtest(days=days, trades=0)
    root = tmp_path / "data"
    write_reports(m, root, bars, [], qm)
    with Browser(exe, 1280, 720) as b:
        b.open((root / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
        s = page_state(b)
        link_hidden = b.evaluate("document.getElementById('qs-link').hidden")
        empty_note = b.evaluate("!document.getElementById('empty-chart').hidden")
    assert s["errors"] is None and s["barCount"] == bars.height
    assert s["equity"] == [] and not s["markers"] and s["maxDrawdown"]["amount"] == 0
    assert empty_note == (days == 0)
    assert link_hidden  # no performance report is written without closed positions


def test_odd_values_are_shown_not_executed(exe, m, tmp_path):
    """Mark-up in the code, mark-up and the row separator in an extra column,
    and a missing close: the data still parse and the page shows text as text."""
    code = '"<b>X&'
    bars, rows, _ = demo_backtest(code=code, days=2, trades=2)
    bars = bars.with_columns(pl.when(pl.int_range(pl.len()) == 5).then(float("nan")).otherwise(pl.col("Close"))
                             .alias("Close"), pl.lit("}, {</script><!--<script>").alias("note"))
    qm = FakeQuoteManager({code: bars})
    root = tmp_path / "data"
    write_reports(m, root, bars, rows, qm, code=code)
    with Browser(exe, 1280, 720) as b:
        b.open((root / "report" / f"{code}-report.html").as_uri(), ready=READY)
        s = page_state(b)
        title = b.evaluate("document.getElementById('title').textContent")
    assert s["errors"] is None and s["barCount"] == bars.height
    assert title == code + " 回測報告"
    assert len(s["markers"]) == 4


def test_script_errors_are_seen(exe, m, tmp_path, monkeypatch):
    """The error attribute that the tests above rely on does appear, and
    unreadable data is named on the page."""
    bars, rows, qm = demo_backtest(days=1, trades=2)
    real = m.template

    class Broken:
        def render(self, variables):
            return real.render(variables).replace('id="rows-data">[', 'id="rows-data">[oops', 1)

    monkeypatch.setattr(m, "template", Broken())
    root = tmp_path / "data"
    write_reports(m, root, bars, rows, qm)
    with Browser(exe, 1280, 720) as b:
        b.open((root / "report" / f"{CODE}-report.html").as_uri(), ready=READY)
        errors = b.evaluate("document.body.getAttribute('data-errors')")
        alert = b.evaluate("document.getElementById('alert').textContent")
    assert "rows-data" in errors and alert == errors


def test_nothing_is_loaded_from_the_network(run):
    html = (run[0] / "report" / f"{CODE}-report.html").read_text(encoding="utf-8")
    assert not re.search(r"<(script|link|img)[^>]+(src|href)=\"(https?:)?//", html)

"""The rendered standard report in headless Chromium: no script errors, the
chart drawn, one marker per trade point received."""
from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from report_fakes import demo_backtest

ARTIFACTS = Path(__file__).resolve().parent.parent / "artifacts"


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    pytest.skip("Chromium not found (scripts/setup installs it where apt is available)")


def run_chromium(exe, *args, cwd):
    cmd = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
           "--window-size=1280,800", f"--user-data-dir={cwd / 'profile'}", *args]
    # the browser is not ours: a sanitizer runtime preloaded for the tests stays out of it
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(cmd, capture_output=True, text=True, timeout=180, cwd=cwd, env=env)


@pytest.mark.parametrize("trades", [12, 0], ids=["trades", "no-trades"])
def test_report_in_browser(pos, m, data_dir, monkeypatch, tmp_path, trades):
    exe = chromium()
    bars, rows, qm = demo_backtest(days=3, trades=trades)
    pos._profit_report["rows"].extend(rows)
    received = []
    real = m.template

    class Spy:
        def render(self, variables):
            received.append(variables)
            return real.render(variables)

    monkeypatch.setattr(m, "template", Spy())
    pos.generate_standard_report("2330", qm)
    report = data_dir / "report" / "2330-report.html"
    points = json.loads(received[0]["include_profit_rows"])
    assert len(points) == 2 * trades

    html = report.read_text(encoding="utf-8")
    assert not re.search(r"<(script|link)[^>]+(src|href)=\"https?:", html), "the report must not load from the network"

    dom = run_chromium(exe, "--virtual-time-budget=10000", "--dump-dom", report.as_uri(), cwd=tmp_path)
    assert dom.returncode == 0, dom.stderr[-2000:]
    body = re.search(r"<body[^>]*>", dom.stdout).group(0)
    canvas = re.search(r"<canvas id=\"chart\"[^>]*>", dom.stdout).group(0)
    assert "data-errors" not in body, body
    assert 'data-ready="1"' in body
    assert 'data-drawn="1"' in canvas
    assert f'data-marker-count="{len(points)}"' in canvas
    assert f'data-bar-count="{bars.height}"' in canvas

    ARTIFACTS.mkdir(exist_ok=True)
    shot = ARTIFACTS / f"report-{'trades' if trades else 'empty'}.png"
    if shot.exists():
        shot.unlink()
    run = run_chromium(exe, "--virtual-time-budget=10000", f"--screenshot={shot}", report.as_uri(), cwd=tmp_path)
    assert run.returncode == 0 and shot.stat().st_size > 10_000, run.stderr[-2000:]


def test_script_errors_are_seen(pos, m, data_dir, monkeypatch, tmp_path):
    """The error attribute that the test above relies on does appear."""
    exe = chromium()
    _, rows, qm = demo_backtest(days=1, trades=2)
    pos._profit_report["rows"].extend(rows)
    real = m.template

    class Broken:
        def render(self, variables):
            return real.render(variables).replace("const POINTS =", "const POINTS = undefinedName +", 1)

    monkeypatch.setattr(m, "template", Broken())
    pos.generate_standard_report("2330", qm)
    report = data_dir / "report" / "2330-report.html"
    dom = run_chromium(exe, "--virtual-time-budget=5000", "--dump-dom", report.as_uri(), cwd=tmp_path)
    body = re.search(r"<body[^>]*>", dom.stdout).group(0)
    assert "undefinedName" in body

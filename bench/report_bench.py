"""Times the standard report of ~300,000 one-minute bars: rendering in Python
and the page becoming ready in headless Chromium.  Run by hand:

    PYTHONPATH=src:tests TZ=Asia/Taipei python bench/report_bench.py [days]
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import kelvo_orra_backtest.modules.positions.positions as M
from report_fakes import demo_backtest


class QuietConsole:
    def print(self, *a, **k):
        pass


def main() -> None:
    days = int(sys.argv[1]) if len(sys.argv) > 1 else 1111
    work = tempfile.mkdtemp()
    M.BASIC_INFO.data_dir = os.path.join(work, "data")
    M.console = QuietConsole()
    bars, rows, qm = demo_backtest(days=days, trades=200)
    pos = M.Positions()
    pos._profit_report["rows"].extend(rows)
    t = time.perf_counter()
    pos.generate_standard_report("2330", qm)
    render = time.perf_counter() - t
    path = os.path.join(work, "data", "report", "2330-report.html")
    print(f"bars {bars.height}, trade points {2 * len(rows)}, file {os.path.getsize(path) / 1e6:.1f} MB, "
          f"render {render:.2f} s")
    exe = shutil.which("chromium")
    if exe:
        out = subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1280,800",
                              f"--user-data-dir={work}/profile", "--dump-dom", "file://" + path],
                             capture_output=True, text=True, timeout=300).stdout
        ready = re.search(r'data-ready-ms="(\d+)"', out)
        print(f"chromium: page ready after {ready.group(1) if ready else '?'} ms")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()

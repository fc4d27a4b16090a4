"""The standard report of ~300,000 one-minute bars and 500 round trips in
headless Chromium: file size and render time in Python, then the page's ready
time, its JS heap and the redraw after a zoom step.  Run by hand:

    PYTHONPATH=src:tests TZ=Asia/Taipei python bench/report_bench.py [days] [trades] [--keep]

Ready is the page's own clock at its first complete draw (from navigation
start).  Heap is the V8 heap in use once the page is ready, again after a
forced collection, and as the page saw it right after reading the bars (the
transient high point, uncollected garbage included).  A zoom step is a wheel event on the chart, timed until the chart is drawn and
rasterised, until the next frame, and the draw call alone: median and worst of
the steps from the whole run down to minutes and back.
"""
from __future__ import annotations

import os
import shutil
import statistics
import sys
import tempfile
import time

import kelvo_orra_backtest.modules.positions.positions as M
from headless import Browser, find_chromium
from kelvo_orra_backtest.market_zone import use_market_zone
from report_fakes import demo_backtest

TARGETS = {"ready": 2500, "heap": 50, "redraw": 60}

# One wheel step on the chart: the times from the event until the chart is
# drawn and rasterised (its pixels read back, in the frame that draws it) and
# until the next frame begins, and the draw call alone.
ZOOM_STEP = """
new Promise((done) => {
  const c = document.getElementById('chart'), r = c.getBoundingClientRect();
  const t0 = performance.now();
  c.dispatchEvent(new WheelEvent('wheel', {deltaY: %d, clientX: r.left + r.width * 0.6,
                                           clientY: r.top + r.height * 0.3, bubbles: true, cancelable: true}));
  requestAnimationFrame(() => {
    c.getContext('2d').getImageData(0, 0, 1, 1);
    const drawn = performance.now() - t0;
    requestAnimationFrame(() => done([drawn, performance.now() - t0, (window.report && window.report.lastDrawMs) || 0]));
  });
})
"""


class QuietConsole:
    def print(self, *a, **k):
        pass


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    keep = "--keep" in sys.argv
    days = int(args[0]) if args else 1111
    trades = int(args[1]) if len(args) > 1 else 500
    use_market_zone()
    work = tempfile.mkdtemp()
    M.BASIC_INFO.data_dir = os.path.join(work, "data")
    M.console = QuietConsole()
    bars, rows, qm = demo_backtest(days=days, trades=trades)
    pos = M.Positions()
    pos._profit_report["rows"].extend(rows)
    t = time.perf_counter()
    pos.generate_standard_report("2330", qm)
    render = time.perf_counter() - t
    path = os.path.join(work, "data", "report", "2330-report.html")
    print(f"bars {bars.height:,}, round trips {len(rows)}, file {os.path.getsize(path) / 1e6:.1f} MB, "
          f"render in Python {render:.2f} s")
    exe = find_chromium()
    if not exe:
        print("chromium not found: browser figures skipped")
        return
    with Browser(exe, 1280, 720) as b:
        b.open("file://" + path, ready="document.body.getAttribute('data-ready') === '1'", timeout=300)
        ready_ms = float(b.evaluate("document.body.getAttribute('data-ready-ms')"))
        heap = b.metrics()["JSHeapUsedSize"] / 2**20
        heap_bars = (b.evaluate("report.heapAfterBars") or 0) / 2**20
        b.collect_garbage()
        heap_gc = b.metrics()["JSHeapUsedSize"] / 2**20
        steps = []
        for delta in [-100] * 34 + [100] * 34:  # wheel notches in to minutes, then out again
            steps.append(b.evaluate(ZOOM_STEP % delta))
        errors = b.evaluate("document.body.getAttribute('data-errors')")
    print(f"page ready {ready_ms:.0f} ms (target <= {TARGETS['ready']})")
    print(f"JS heap {heap:.1f} MB at ready, {heap_gc:.1f} MB after collection (target <= {TARGETS['heap']}); "
          f"{heap_bars:.1f} MB right after the bars were read, garbage included")
    drawn, frames, draws = zip(*steps)
    print(f"zoom step, event to chart drawn and rasterised: median {statistics.median(drawn):.1f} ms, "
          f"worst {max(drawn):.1f} ms (target <= {TARGETS['redraw']})")
    print(f"  event to next frame: median {statistics.median(frames):.1f} ms, worst {max(frames):.1f} ms; "
          f"draw call alone: median {statistics.median(draws):.1f} ms, worst {max(draws):.1f} ms")
    print(f"  load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    if errors:
        print("page errors:", errors)
    if keep:
        print("report kept in", path)
    else:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()

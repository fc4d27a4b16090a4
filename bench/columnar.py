"""ColumnarQuoteManager beside QuoteManager, in one run; prints a table.

    TZ=Asia/Taipei .venv/bin/python bench/columnar.py [--quick]

Times are CPU seconds per operation (median batch, fastest, slowest), as in
bench/run.py.  The memory rows run each store in a fresh process and give
the growth of its resident set per stored tick.  The first-K-bar row sets
the columnar store's first `get_kbar("m", 1)` over 10 M ticks beside a polars
`group_by_dynamic` over the same columns handed over from numpy, in this
process; QuoteManager's row is over 1 M ticks (10 M would need some 3.5 GB).
"""
from __future__ import annotations

import os
import statistics
import subprocess
import sys
from datetime import datetime
from pathlib import Path

import numpy as np
import polars as pl

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
if any((SRC / "kelvo_orra_backtest" / "modules" / "positions").glob("columnar*.so")):
    sys.path.insert(0, str(SRC))

from kelvo_orra_backtest.market_zone import use_market_zone  # noqa: E402

use_market_zone()

from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager  # noqa: E402
from kelvo_orra_backtest.modules.positions.positions import QuoteManager  # noqa: E402
from run import batches, tick  # noqa: E402  (this folder's one-process benchmark)

QUICK = "--quick" in sys.argv
CLASSES = {"QuoteManager": QuoteManager, "Columnar": ColumnarQuoteManager}
MONDAY = datetime(2024, 3, 4, 9, 0).timestamp()  # stock and futures day session


def frame_of(stamps, code="TXF", market_type="Future"):
    n = len(stamps)
    return pl.DataFrame({
        "timestamp": np.asarray(stamps, dtype=np.float64),
        "code": pl.repeat(code, n, eager=True, dtype=pl.String),
        "market_type": pl.repeat(market_type, n, eager=True, dtype=pl.String),
        "close": 100.0 + (np.arange(n) % 50),
        "qty": np.ones(n, dtype=np.int64),
        "tick_type": np.ones(n, dtype=np.int8),
        "is_simulate": np.zeros(n, dtype=bool),
    })


def in_session(n):
    """n futures ticks inside one day session (08:45-13:45), in order."""
    start = datetime(2024, 3, 4, 8, 45).timestamp()
    return start + np.arange(n) * (5 * 3600 / n)


# --- rows -----------------------------------------------------------------

def add_tick_in_session(cls):
    per = 20_000
    stamps = [MONDAY + i for i in range(per)]

    def prepare():
        return cls(), [tick(s, market_type="Stock") for s in stamps]

    def body(state):
        qm, ticks = state
        add = qm.add_tick
        for x in ticks:
            add(x)
    return batches(body, 5 if QUICK else 15, per, prepare)


def add_ticks_rate(stamps):
    frame = frame_of(stamps)
    return batches(lambda qm: qm.add_ticks(frame), 3 if QUICK else 5, len(stamps), ColumnarQuoteManager)


def add_tick_rate(stamps):
    ticks = frame_of(stamps).to_dicts()

    def body(qm):
        add = qm.add_tick
        for x in ticks:
            add(x)
    return batches(body, 3 if QUICK else 5, len(ticks), QuoteManager)


def with_gaps(n):
    """n futures ticks over four weeks of day and night sessions."""
    sys.path.insert(0, str(HERE))
    from year import futures_days
    days = list(futures_days(2024, n * 13, seed=2))[:20]
    return np.concatenate([d["timestamp"].to_numpy() for d in days])[:n]


def filled(cls, n):
    qm = cls()
    if cls is ColumnarQuoteManager:
        qm.add_ticks(frame_of(in_session(n), "2330"))
    else:
        start = datetime(2024, 3, 4, 8, 45).timestamp()
        step = 5 * 3600 / n
        add = qm.add_tick
        for i in range(n):
            add(tick(start + i * step, 100.0 + i % 50, code="2330", market_type="Future"))
    return qm


def first_kbar(cls, n):
    return batches(lambda qm: qm.get_kbar("2330", "m", 1), 2 if QUICK else 3, 1, lambda: filled(cls, n))


def pop_ticks(cls, n):
    return batches(lambda qm: qm.poped_tick_to_df("2330"), 2 if QUICK else 3, 1, lambda: filled(cls, n))


def polars_dynamic(n):
    dt = (in_session(n) * 1e6).astype(np.int64)
    close = 100.0 + (np.arange(n) % 50)
    qty = np.ones(n, dtype=np.int64)

    def body(_):
        df = pl.DataFrame({"dt": dt, "close": close, "qty": qty}).with_columns(
            pl.col("dt").cast(pl.Datetime("us")).set_sorted())
        df.group_by_dynamic("dt", every="1m").agg(
            pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
            pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
            pl.col("qty").sum().alias("Volume"))
    return batches(body, 2 if QUICK else 3, 1)


def kbar_incremental(cls):
    bars = 20_000
    qm = cls()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(bars):
        qm.add_tick(tick(start + 60 * i, market_type="Future"))
    qm.get_kbar("2330", "m", 1)
    state = {"t": start + 60 * bars}

    def body(_):
        for _ in range(200):
            state["t"] += 20
            qm.add_tick(tick(state["t"], market_type="Future"))
            qm.get_kbar("2330", "m", 1)
    return batches(body, 5 if QUICK else 15, 200)


def kbar_no_new(cls):
    qm = cls()
    for i in range(100):
        qm.add_tick(tick(MONDAY + i))
    qm.get_kbar("2330", "m", 1)

    def body(_):
        get = qm.get_kbar
        for _ in range(20_000):
            get("2330", "m", 1)
    return batches(body, 5 if QUICK else 15, 20_000)


def rss_per_tick(name, n):
    """Resident-set growth per stored tick, in a fresh process."""
    code = f"""
import gc, sys
sys.path[:0] = {sys.path[:2]!r}
from kelvo_orra_backtest.market_zone import use_market_zone
use_market_zone()
from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager
from kelvo_orra_backtest.modules.positions.positions import QuoteManager
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
qm = {CLASSES[name].__name__}()
t = {{'timestamp': 0.0, 'code': '2330', 'market_type': 'Future', 'close': 100.0, 'qty': 1,
      'tick_type': 1, 'is_simulate': False}}
add = qm.add_tick
qm.add_tick(dict(t, timestamp={MONDAY}))
gc.collect()
before = rss()
for i in range({n}):
    t = dict(t, timestamp={MONDAY} + i * 0.0005, close=100.0 + (i % 50))
    add(t)
gc.collect()
print((rss() - before) / {n})
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def fmt(seconds):
    if seconds >= 0.1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.2f} µs"


def row(name, samples, target=""):
    med = statistics.median(samples)
    print(f"{name:<58} {fmt(med):>10} {fmt(max(samples)):>10} {fmt(min(samples)):>10} {target:>10}  "
          f"{len(samples)}", flush=True)
    return med


def rate_row(name, samples, target=""):
    med = statistics.median(samples)
    print(f"{name:<58} {1 / med / 1e6:>7.2f} M/s {1 / max(samples) / 1e6:>6.2f} M/s {1 / min(samples) / 1e6:>6.2f} M/s"
          f" {target:>10}  {len(samples)}", flush=True)


def main() -> None:
    big = 2_000_000 if QUICK else 10_000_000
    print(f"{'operation':<58} {'median':>10} {'slowest':>10} {'fastest':>10} {'target':>10}  n")
    for name in CLASSES:
        row(f"{name}: add_tick, in session (1 s apart, one code)", add_tick_in_session(CLASSES[name]),
            "0.35 µs" if name == "Columnar" else "")
    session = in_session(1_000_000 if QUICK else 5_000_000)
    gaps = with_gaps(1_000_000 if QUICK else 2_000_000)
    rate_row("QuoteManager: add_tick per row, in session (200,000)", add_tick_rate(session[:200_000]))
    rate_row(f"Columnar: add_ticks, in session ({len(session):,})", add_ticks_rate(session), "5 M/s")
    rate_row("QuoteManager: add_tick per row, weekend+night gaps (200,000)", add_tick_rate(gaps[:200_000]))
    rate_row(f"Columnar: add_ticks, weekend+night gaps ({len(gaps):,})", add_ticks_rate(gaps), "2 M/s")
    polars_s = row(f"polars group_by_dynamic 1m over {big:,} ticks from numpy", polars_dynamic(big))
    row(f"Columnar: first get_kbar('m', 1) over {big:,} ticks", first_kbar(ColumnarQuoteManager, big),
        f"{fmt(2 * polars_s)}")
    row("QuoteManager: first get_kbar('m', 1) over 1,000,000 ticks", first_kbar(QuoteManager, 1_000_000))
    row("Columnar: first get_kbar('m', 1) over 1,000,000 ticks", first_kbar(ColumnarQuoteManager, 1_000_000))
    for name in CLASSES:
        row(f"{name}: pop 1,000,000 buffered ticks", pop_ticks(CLASSES[name], 1_000_000))
    for name in CLASSES:
        row(f"{name}: add_tick + incremental get_kbar, 20,000 bars", kbar_incremental(CLASSES[name]))
    for name in CLASSES:
        row(f"{name}: get_kbar with no new tick", kbar_no_new(CLASSES[name]))
    for name, n in (("QuoteManager", 1_000_000), ("Columnar", big)):
        print(f"{name + ': RSS per stored tick over ' + format(n, ',') + ' ticks':<58} "
              f"{rss_per_tick(name, n):>8.1f} B {'':>10} {'':>10} {'40 B' if name == 'Columnar' else '':>10}  1",
              flush=True)


if __name__ == "__main__":
    os.environ.setdefault("TZ", "Asia/Taipei")
    main()

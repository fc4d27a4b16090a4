"""One benchmark run over the hot paths, in one process; prints a table.

    scripts/setup && TZ=Asia/Taipei .venv/bin/python bench/run.py [--quick]

Every row is measured in several batches; the table gives the median per
operation over the batches and the spread (fastest and slowest batch), next
to the target the figure is held to.  The module's console is replaced by
one whose print does nothing, so the figures are the work itself.  The last
row replays the bundled sample through the demo's earlier per-tick loop
(demo_loop.py).

The timer is the process's CPU time where a batch is long enough for its
resolution, so that other processes on a shared machine disturb it less;
the wall clock is used for the whole-demo figure.
"""
from __future__ import annotations

import gc
import io
import os
import platform
import statistics
import sys
import tempfile
import time
from datetime import datetime, timedelta
from pathlib import Path

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
# a development build next to the sources (scripts/dev-build) wins over the installed module
if any((SRC / "kelvo_orra_backtest" / "modules" / "positions").glob("positions*.so")):
    sys.path.insert(0, str(SRC))
sys.path.insert(0, str(HERE))  # the demo's earlier loop (demo_loop.py)

from kelvo_orra_backtest.modules.positions import positions as M  # noqa: E402

QUICK = "--quick" in sys.argv
CLOCK = time.process_time


class Quiet:
    def print(self, *args, **kwargs):
        pass


def tick(ts, close=100.0, qty=1, code="2330", market_type="Future"):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": 1, "is_simulate": False}


def batches(body, count, per_batch, prepare=None):
    """Seconds per operation of each batch; `prepare` runs untimed before a batch."""
    out = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(count):
            state = prepare() if prepare else None
            t = CLOCK()
            body(state)
            out.append((CLOCK() - t) / per_batch)
    finally:
        gc.enable()
    return out


# --- quotes ---------------------------------------------------------------

def add_tick_in_session():
    per = 20_000
    day = datetime(2024, 3, 4, 9, 0).timestamp()  # a Monday, stock session
    stamps = [day + i for i in range(per)]

    def prepare():
        return M.QuoteManager(), [tick(s, market_type="Stock") for s in stamps]

    def body(state):
        qm, ticks = state
        add = qm.add_tick
        for x in ticks:
            add(x)
    return batches(body, 5 if QUICK else 15, per, prepare)


def record_floor_module():
    """bench/record_floor.c compiled for this interpreter (None without a compiler)."""
    import importlib.util
    import shutil
    import subprocess
    import sysconfig
    import tempfile
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    out = Path(tempfile.mkdtemp()) / ("record_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    src = Path(__file__).resolve().parent / "record_floor.c"
    subprocess.run([cc, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", str(src), "-o", str(out)],
                   check=True)
    found = importlib.util.spec_from_file_location("record_floor", out)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def add_tick_floor():
    floor = record_floor_module()
    if floor is None:
        return [float("nan")]
    per = 20_000

    def body(_):
        buf, append = [], floor.append
        for _ in range(per):
            append(buf, 600.0, 1)
    return batches(body, 5 if QUICK else 15, per)


def add_tick_weekend():
    fri = datetime(2024, 3, 1, 13, 29).timestamp()
    mon = datetime(2024, 3, 4, 9, 0, 5).timestamp()
    first, second = tick(fri, market_type="Stock"), tick(mon, market_type="Stock")
    per = 200

    def body(_):
        qm = M.QuoteManager()
        for _ in range(per):
            qm.clear_ticks()
            qm.add_tick(first)
            qm.add_tick(second)
    # the first tick and clear_ticks are in the batch too: an upper bound
    return batches(body, 5 if QUICK else 15, per)


def filled(n):
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    add = qm.add_tick
    for i in range(n):
        add(tick(start + i * 0.5))
    return qm


def pop_million():
    n = 1_000_000

    def body(qm):
        qm.poped_tick_to_df("2330")
    return batches(body, 2 if QUICK else 5, 1, lambda: filled(n))


def first_kbar_million():
    n = 1_000_000

    def body(qm):
        qm.get_kbar("2330", "m", 1)
    return batches(body, 2 if QUICK else 5, 1, lambda: filled(n))


def kbar_cache():
    bars = 20_000
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(bars):
        qm.add_tick(tick(start + 60 * i))
    qm.get_kbar("2330", "m", 1)
    return qm, start + 60 * bars


def kbar_incremental():
    qm, ts = kbar_cache()
    per = 200
    clock = [ts]

    def body(_):
        # the add_tick of each round is timed too and subtracted below
        for _ in range(per):
            clock[0] += 0.01
            qm.add_tick(tick(clock[0]))
            qm.get_kbar("2330", "m", 1)
    with_kbar = batches(body, 5 if QUICK else 15, per)
    return with_kbar


def kbar_no_new():
    qm, _ = kbar_cache()
    per = 20_000

    def body(_):
        get = qm.get_kbar
        for _ in range(per):
            get("2330", "m", 1)
    return batches(body, 5 if QUICK else 15, per)


# --- account --------------------------------------------------------------

BUY = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 1, "exchange_ts": 1.7e9,
       "product_type": "Stock", "trade_id": "T1"}
SELL = dict(BUY, action="Sell", price=610.0)


def entry_deal():
    p = M.Positions()
    p.set_positions(BUY, "Stock")
    book = p.positions["2330"]["buy"]
    per = 2000

    def body(_):
        book.clear()
        for _ in range(per):
            p.set_positions(BUY, "Stock")
    return batches(body, 10 if QUICK else 40, per)


def entry_and_cover():
    q = M.Positions()
    q.set_positions(BUY, "Stock")
    q.set_positions(SELL, "Stock")
    rows = q._profit_report["rows"]
    per = 1000

    def body(_):
        rows.clear()
        for _ in range(per):
            q.set_positions(BUY, "Stock")
            q.set_positions(SELL, "Stock")
    return batches(body, 10 if QUICK else 40, per)


def trade_cost():
    p = M.Positions()
    cost = p._Positions__calculate_trade_cost
    per = 5000

    def body(_):
        for _ in range(per):
            cost("2330", "Buy", 600.0, 1, "Stock", ignore_tax=True, need_reverse_direction=False)
    return batches(body, 10 if QUICK else 40, per)


# --- views ----------------------------------------------------------------

def book_of(product_type, codes=50, entries=5):
    import random
    rng = random.Random(7)
    p = M.Positions()
    for i in range(codes):
        code = f"{product_type[0]}{i:04d}"
        side = "buy" if i % 2 else "sell"
        p.positions[code] = {"buy": [], "sell": []}
        p.positions[code][side] = [
            {"code": code, "action": "Buy", "price": round(rng.uniform(10, 1000), 2),
             "quantity": rng.randint(1, 5), "exchange_ts": 1704157200.0 + k, "trade_id": f"{code}-{k}",
             "product_type": product_type} for k in range(entries)]
        p.product_type_mapper[code] = product_type
        p.set_current_tick({"code": code, "close": round(rng.uniform(10, 1000), 2)})
    return p


def fetch(detail):
    p = book_of("Stock")
    q = p.fetch_position_queue
    per = 200

    def body(_):
        for _ in range(per):
            p.fetch_positions("Stock", detail)

    def drain():
        while not q.empty():
            q.get_nowait()
    out = []
    for _ in range(10 if QUICK else 30):
        out += batches(body, 1, per)
        drain()
    return out


# --- whole demo -----------------------------------------------------------

def demo_ticks_per_second():
    from rich.console import Console

    import demo_loop
    from kelvo_orra_backtest.data import sample
    from kelvo_orra_backtest.data.tick_files import load_ticks
    ticks = load_ticks(sample.sample_path())
    figures = []
    saved = demo_loop.console
    demo_loop.console = Console(file=io.StringIO())
    try:
        for _ in range(1 if QUICK else 3):
            with tempfile.TemporaryDirectory() as out:
                stats = demo_loop.run(ticks, ["2330", "TXF"], 5_000_000, Path(out), False, reports=False)
            figures.append(stats.ticks / stats.elapsed)
    finally:
        demo_loop.console = saved
    return ticks.height, figures


def bytes_per_stored_tick(n=200_000):
    """Traced memory the store keeps per tick, each with a price object of its own."""
    import tracemalloc
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(n):
        qm.add_tick(tick(start + i, close=100.0 + (i % 50)))
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return used / n


# --- table ----------------------------------------------------------------

def fmt(seconds):
    if seconds >= 0.1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.2f} µs"


ROWS = [
    ("add_tick, in session (1 s apart, one code)", add_tick_in_session, 0.7e-6),
    ("  floor: build the record dict and append it", add_tick_floor, None),
    ("add_tick pair across a weekend gap (+clear)", add_tick_weekend, 50e-6),
    ("pop 1,000,000 buffered ticks to a tick table", pop_million, 0.2),
    ("first get_kbar over 1,000,000 ticks", first_kbar_million, 0.4),
    ("add_tick + incremental get_kbar, 20,000 bars", kbar_incremental, 100e-6),
    ("get_kbar with no new tick", kbar_no_new, 5e-6),
    ("set_positions, entry deal", entry_deal, 4e-6),
    ("set_positions, entry then one-piece cover", entry_and_cover, 16e-6),  # 4 + 12
    ("__calculate_trade_cost", trade_cost, 1e-6),
    ("fetch_positions summary, 50 codes x 5", lambda: fetch(False), 60e-6),
    ("fetch_positions detail, 50 codes x 5", lambda: fetch(True), 120e-6),
]


def machine_speed():
    """A plain-Python yardstick, to compare runs made on different days."""
    import timeit
    return min(timeit.repeat("sum(range(1000))", number=2000, repeat=5)) / 2000


def main() -> None:
    M.console = Quiet()
    print(f"python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cpus, "
          f"{platform.platform()}")
    print(f"yardstick: sum(range(1000)) takes {machine_speed() * 1e6:.1f} µs in plain Python")
    print(f"{'operation':<46} {'median':>11} {'fastest':>11} {'slowest':>11} {'target':>10}  n")
    previous = None
    for name, fn, target in ROWS:
        samples = fn()
        med = statistics.median(samples)
        if target is None:  # the floor of the row above: how far above it that row is
            print(f"{name:<46} {fmt(med):>11} {fmt(min(samples)):>11} {fmt(max(samples)):>11} "
                  f"{'':>10}  {len(samples)}  (row above: {previous / med:.2f}x the floor, target 1.5x)", flush=True)
            continue
        previous = med
        flag = "" if med <= target else "  over"
        print(f"{name:<46} {fmt(med):>11} {fmt(min(samples)):>11} {fmt(max(samples)):>11} "
              f"{fmt(target):>10}  {len(samples)}{flag}", flush=True)
    print(f"{'memory per stored tick':<46} {bytes_per_stored_tick():>9.0f} B {'':>11} {'':>11} "
          f"{'450 B':>10}  1")
    n, figures = demo_ticks_per_second()
    print(f"{'demo replay of the sample (' + format(n, ',') + ' ticks)':<46} "
          f"{statistics.median(figures):>9,.0f}/s {max(figures):>9,.0f}/s {min(figures):>9,.0f}/s "
          f"{'':>10}  {len(figures)}  ticks per second (wall clock, replay loop)")


if __name__ == "__main__":
    main()

"""Quote store figures, run by hand:

    PYTHONPATH=src TZ=Asia/Taipei python bench/bench_quotes.py
"""
from __future__ import annotations

import gc
import time
import tracemalloc
from datetime import datetime, timedelta

from kelvo_orra_backtest.modules.positions import positions as M


def tick(ts, close=100.0, qty=1, code="2330", market_type="Future"):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": 1, "is_simulate": False}


def best(fn, repeat=5):
    out = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t)
    return min(out)


def in_session(n=300_000):
    """Stock ticks one second apart inside 09:00-13:30 of weekdays."""
    qm = M.QuoteManager()
    stamps = []
    day = datetime(2024, 3, 4)
    while len(stamps) < n:
        if day.weekday() < 5:
            open_ = day.replace(hour=9).timestamp()
            stamps.extend(open_ + i for i in range(16200))
        day += timedelta(days=1)
    ticks = [tick(s, market_type="Stock") for s in stamps[:n]]
    t = time.perf_counter()
    for x in ticks:
        qm.add_tick(x)
    dt = time.perf_counter() - t
    print(f"add_tick in session:       {dt / n * 1e6:8.3f} us/tick")


def weekend_gap(n=2000):
    qm = M.QuoteManager()
    fri = datetime(2024, 3, 1, 13, 29).timestamp()
    mon = datetime(2024, 3, 4, 9, 0, 5).timestamp()
    pairs = [(tick(fri + 7 * 86400 * 0, market_type="Stock"), tick(mon, market_type="Stock"))]
    total = 0.0
    for i in range(n):
        qm.clear_ticks()
        qm.add_tick(pairs[0][0])
        t = time.perf_counter()
        qm.add_tick(pairs[0][1])
        total += time.perf_counter() - t
    print(f"add_tick weekend gap:      {total / n * 1e6:8.3f} us/tick")
    qm = M.QuoteManager()
    sat = datetime(2024, 3, 2, 4, 59).timestamp()
    total = 0.0
    for i in range(n):
        qm.clear_ticks()
        qm.holiday_search_set = set()
        qm.add_tick(tick(sat))
        t = time.perf_counter()
        qm.add_tick(tick(mon))
        total += time.perf_counter() - t
    print(f"add_tick futures weekend:  {total / n * 1e6:8.3f} us/tick (600 virtual ticks)")


def filled(n):
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(n):
        qm.add_tick(tick(start + i * 0.5))
    return qm


def pop_and_first(n=1_000_000):
    qm = filled(n)
    t = time.perf_counter()
    df = qm.poped_tick_to_df("2330")
    print(f"pop {n} ticks:          {time.perf_counter() - t:8.3f} s  ({df.height} rows)")
    qm = filled(n)
    t = time.perf_counter()
    df = qm.get_kbar("2330", "m", 1)
    print(f"first get_kbar {n}:     {time.perf_counter() - t:8.3f} s  ({df.height} bars)")


def incremental(bars=20_000):
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(bars):
        qm.add_tick(tick(start + 60 * i))
    qm.get_kbar("2330", "m", 1)
    ts = start + 60 * bars
    n = 2000
    total = 0.0
    for i in range(n):
        qm.add_tick(tick(ts + i * 0.01))
        t = time.perf_counter()
        qm.get_kbar("2330", "m", 1)
        total += time.perf_counter() - t
    print(f"get_kbar one new tick:     {total / n * 1e6:8.1f} us ({bars} bars)")
    n = 20000
    t = time.perf_counter()
    for _ in range(n):
        qm.get_kbar("2330", "m", 1)
    print(f"get_kbar no new tick:      {(time.perf_counter() - t) / n * 1e6:8.3f} us")


def memory(n=200_000):
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    qm = M.QuoteManager()
    start = datetime(2024, 3, 4, 15, 0).timestamp()
    for i in range(n):
        qm.add_tick(tick(start + i, close=100.0 + (i % 50)))  # a fresh price object per tick
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    print(f"memory per stored tick:    {used / n:8.1f} bytes")


if __name__ == "__main__":
    in_session()
    weekend_gap()
    pop_and_first()
    incremental()
    memory()

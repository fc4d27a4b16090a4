"""Runs each hot path a few hundred thousand times and shows that memory stays
flat apart from what is meant to grow (stored ticks, records, rows).

    TZ=Asia/Taipei python bench/leakcheck.py [rounds] [part of a row name]
"""
from __future__ import annotations

import gc
import resource
import sys
import tracemalloc

from kelvo_orra_backtest.modules.positions import positions as M


class Quiet:
    def print(self, *a, **k):
        pass


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


CHECKPOINTS = 5


def measure(name, setup, body, rounds):
    if len(sys.argv) > 2 and sys.argv[2] not in name:
        return
    """Runs body(state, i) `rounds` times; memory is read at CHECKPOINTS evenly
    spaced points, each right after the bodies have emptied what they store, so
    equal figures mean nothing is kept that should not be."""
    state = setup()
    for i in range(rounds // 10):  # warm up caches and interned keys
        body(state, i)
    gc.collect()
    tracemalloc.start()
    step = rounds // CHECKPOINTS
    traced, rss = [], []
    for i in range(rounds):
        body(state, i)
        if (i + 1) % step == 0:
            gc.collect()
            traced.append(tracemalloc.get_traced_memory()[0])
            rss.append(rss_kib())
    tracemalloc.stop()
    t = " ".join(f"{(x - traced[0]) / 1024:+7.1f}" for x in traced[1:])
    r = " ".join(f"{x - rss[0]:+6d}" for x in rss[1:])
    print(f"{name:<40} {rounds:>8,} calls  traced KiB {t}   rss KiB {r}", flush=True)


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 300_000
    M.console = Quiet()
    base = 1709514000.0  # 2024-03-04 09:00:00 +08:00

    def pos_setup():
        p = M.Positions()
        p.set_current_tick({"code": "2330", "close": 101.0})
        return p

    def entry_cover(p, i):
        # an entry then its cover: the book returns to empty, only profit rows grow
        p.set_positions({"code": "2330", "action": "Buy", "price": 100.0, "quantity": 1, "exchange_ts": base,
                         "product_type": "Stock", "trade_id": "a"}, "Stock")
        p.set_positions({"code": "2330", "action": "Sell", "price": 101.0, "quantity": 1, "exchange_ts": base,
                         "product_type": "Stock", "trade_id": "b"}, "Stock")
        if (i + 1) % 1000 == 0:
            p._profit_report["rows"].clear()

    def trade_cost(p, i):
        p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 1, "Stock", ignore_tax=False,
                                           need_reverse_direction=False)

    def views(p, i):
        if not p.positions:
            for k in range(5):
                p.set_positions({"code": "2330", "action": "Buy", "price": 100.0 + k, "quantity": 1,
                                 "exchange_ts": base, "product_type": "Stock", "trade_id": str(k)}, "Stock")
        p.fetch_positions("Stock", i % 2 == 0)
        p.pop_positions()

    def bad_calls(p, i):
        for call in (lambda: p.set_positions([], "Stock"), lambda: p.add_trade_record(1, "x", "Buy", 1, 1.0, 0, "D"),
                     lambda: p._Positions__calculate_trade_cost("2330", "Buy", 1.0, 1, "bond")):
            try:
                call()
            except Exception:
                pass

    def records_and_ticks(p, i):
        p.set_current_tick({"code": "2330", "close": 100.0 + i % 9})
        p.add_trade_record(f"T{i % 10}", "2330", "Buy", 1, 100.0, base + i, "Deal")
        if (i + 1) % 1000 == 0:
            p.trade_records.clear()

    def qm_setup():
        return M.QuoteManager()

    def ticks_and_kbars(q, i):
        q.add_tick({"timestamp": base + i, "code": "TXF", "market_type": "Future", "close": 20000.0 + i % 7,
                    "qty": 1, "tick_type": 1, "is_simulate": False})
        if i % 10 == 0:
            q.get_kbar("TXF", "m", 1)
        if (i + 1) % 30_000 == 0:
            q.clear_ticks()

    measure("set_positions entry + cover", pos_setup, entry_cover, rounds)
    measure("__calculate_trade_cost", pos_setup, trade_cost, rounds)
    measure("fetch_positions + pop_positions", pos_setup, views, rounds)
    measure("refused arguments", pos_setup, bad_calls, rounds)
    measure("set_current_tick + add_trade_record", pos_setup, records_and_ticks, rounds)
    measure("add_tick + get_kbar (cleared every 30k)", qm_setup, ticks_and_kbars, rounds)


if __name__ == "__main__":
    main()

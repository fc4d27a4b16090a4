"""Runs each hot path a few hundred thousand times and shows that memory stays
flat apart from what is meant to grow (stored ticks, records, rows).

    TZ=Asia/Taipei python bench/leakcheck.py [rounds]
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


def measure(name, setup, body, rounds):
    state = setup()
    for i in range(rounds // 10):  # warm up caches and interned keys
        body(state, i)
    gc.collect()
    tracemalloc.start()
    before_rss = rss_kib()
    snap0 = tracemalloc.get_traced_memory()[0]
    for i in range(rounds):
        body(state, i)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - snap0
    tracemalloc.stop()
    after_rss = rss_kib()
    print(f"{name:<38} {rounds:>8,} calls  traced {grown / 1024:>9.1f} KiB  rss {after_rss - before_rss:>+8,} KiB")


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
        if i % 1000 == 0:
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

    def qm_setup():
        return M.QuoteManager()

    def ticks_and_kbars(q, i):
        q.add_tick({"timestamp": base + i, "code": "TXF", "market_type": "Future", "close": 20000.0 + i % 7,
                    "qty": 1, "tick_type": 1, "is_simulate": False})
        if i % 10 == 0:
            q.get_kbar("TXF", "m", 1)
        if i % 50_000 == 0:
            q.clear_ticks()

    measure("set_positions entry + cover", pos_setup, entry_cover, rounds)
    measure("__calculate_trade_cost", pos_setup, trade_cost, rounds)
    measure("fetch_positions + pop_positions", pos_setup, views, rounds)
    measure("refused arguments", pos_setup, bad_calls, rounds)
    measure("add_tick + get_kbar (cleared every 50k)", qm_setup, ticks_and_kbars, rounds)


if __name__ == "__main__":
    main()

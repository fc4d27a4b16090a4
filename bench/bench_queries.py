"""Times fetch_positions on a book of 50 codes x 5 open entries with known ticks.

Run by hand:  PYTHONPATH=src python bench/bench_queries.py
Prints the best and median time per call (microseconds) for each view.
"""
from __future__ import annotations

import random
import statistics
import time

from kelvo_orra_backtest.modules.positions import positions as m

CODES = 50
ENTRIES = 5
CALLS = 200  # per timed batch
BATCHES = 25


class Quiet:
    def print(self, *args, **kwargs):
        pass


def make_book(product_type: str) -> m.Positions:
    rng = random.Random(7)
    p = m.Positions()
    for i in range(CODES):
        code = f"{product_type[0]}{i:04d}"
        side = "buy" if i % 2 else "sell"
        entries = [{"code": code, "action": "Buy", "price": round(rng.uniform(10, 1000), 2),
                    "quantity": rng.randint(1, 5), "exchange_ts": 1704157200.0 + k, "trade_id": f"{code}-{k}",
                    "product_type": product_type} for k in range(ENTRIES)]
        p.positions[code] = {"buy": [], "sell": []}
        p.positions[code][side] = entries
        p.product_type_mapper[code] = product_type
        p.set_current_tick({"code": code, "close": round(rng.uniform(10, 1000), 2)})
    return p


def time_fetch(p: m.Positions, account_type: str, detail: bool) -> tuple[float, float]:
    q = p.fetch_position_queue
    per_call = []
    for _ in range(BATCHES):
        start = time.perf_counter_ns()
        for _ in range(CALLS):
            p.fetch_positions(account_type, detail)
        per_call.append((time.perf_counter_ns() - start) / CALLS / 1000)
        while not q.empty():
            q.get_nowait()
    return min(per_call), statistics.median(per_call)


def main() -> None:
    m.console = Quiet()
    print(f"fetch_positions, {CODES} codes x {ENTRIES} open entries, ticks known "
          f"({BATCHES} batches of {CALLS} calls)")
    for product_type in ("Stock", "Future"):
        p = make_book(product_type)
        for detail in (False, True):
            best, median = time_fetch(p, product_type, detail)
            view = "detail " if detail else "summary"
            print(f"  {product_type:6} {view}: best {best:7.1f} us   median {median:7.1f} us")


if __name__ == "__main__":
    main()

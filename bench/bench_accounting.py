"""Timing of the account's hot paths (run by hand; prints figures).

    PYTHONPATH=src python bench/bench_accounting.py

The module's console is replaced by one whose print does nothing, so the
figures are the accounting itself.  Each figure is the best of many short
rounds, timed in the process's CPU time so that other processes on the
machine disturb it less; the rounds of the three measurements are
interleaved.
"""
from __future__ import annotations

import gc
import sys
import time

import kelvo_orra_backtest.modules.positions.positions as M


class Quiet:
    def print(self, *args, **kwargs):
        pass


def main() -> None:
    M.console = Quiet()
    rounds, per_round = 80, 1000

    buy = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 1, "exchange_ts": 1.7e9,
           "product_type": "Stock", "trade_id": "T1"}
    sell = dict(buy, action="Sell", price=610.0)

    p = M.Positions()  # entries only
    q = M.Positions()  # entry, then a one-piece cover of it
    p.set_positions(buy, "Stock")  # the code's records exist from here on
    q.set_positions(buy, "Stock")
    q.set_positions(sell, "Stock")
    cost = p._Positions__calculate_trade_cost
    book = p.positions["2330"]["buy"]
    rows = q._profit_report["rows"]
    clock = time.process_time

    best = {"entry": float("inf"), "pair": float("inf"), "cost": float("inf")}
    gc.disable()
    try:
        for _ in range(rounds):
            book.clear()
            t = clock()
            for _ in range(per_round):
                p.set_positions(buy, "Stock")
            best["entry"] = min(best["entry"], clock() - t)

            rows.clear()
            t = clock()
            for _ in range(per_round):
                q.set_positions(buy, "Stock")
                q.set_positions(sell, "Stock")
            best["pair"] = min(best["pair"], clock() - t)

            t = clock()
            for _ in range(per_round):
                cost("2330", "Buy", 600.0, 1, "Stock", ignore_tax=True, need_reverse_direction=False)
            best["cost"] = min(best["cost"], clock() - t)
    finally:
        gc.enable()

    us = {k: v / per_round * 1e6 for k, v in best.items()}
    print(f"python {sys.version.split()[0]}; best of {rounds} rounds of {per_round}")
    print(f"entry deal (set_positions, no opposite entries):   {us['entry']:6.2f} us  (target <= 4)")
    print(f"one-piece cover (pair minus entry):                {us['pair'] - us['entry']:6.2f} us  (target <= 12)")
    print(f"  entry followed by its one-piece cover:           {us['pair']:6.2f} us")
    print(f"__calculate_trade_cost (called from Python):       {us['cost']:6.2f} us  (target <= 1)")


if __name__ == "__main__":
    main()

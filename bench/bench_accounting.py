"""Timing of the account's hot paths (run by hand; prints figures).

    PYTHONPATH=src python bench/bench_accounting.py

The module's console is replaced by one whose print does nothing, so the
figures are the accounting itself.
"""
from __future__ import annotations

import time
import timeit

import kelvo_orra_backtest.modules.positions.positions as M


class Quiet:
    def print(self, *args, **kwargs):
        pass


def best(stmt, number, repeat=30, setup="pass"):
    return min(timeit.repeat(stmt, setup=setup, number=number, repeat=repeat)) / number * 1e6


def main() -> None:
    M.console = Quiet()
    n = 2000

    p = M.Positions()
    buy = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 1, "exchange_ts": 1.7e9,
           "product_type": "Stock", "trade_id": "T1"}
    p.set_positions(buy, "Stock")  # the code's records exist from here on

    def entry():
        p.set_positions(buy, "Stock")

    def clear_p():
        # open entries and rows are dropped between rounds, so that memory
        # growth does not enter the figures
        p.positions["2330"]["buy"].clear()

    entry_us = best(entry, n, setup=clear_p)

    q = M.Positions()
    sell = dict(buy, action="Sell", price=610.0)

    def cover_round():
        # one entry, then a one-piece cover of it
        q.set_positions(buy, "Stock")
        q.set_positions(sell, "Stock")

    q.set_positions(buy, "Stock")
    q.set_positions(sell, "Stock")
    def clear_q():
        q._profit_report["rows"].clear()

    round_us = best(cover_round, n, setup=clear_q)
    cover_us = round_us - entry_us
    rows = len(q._profit_report["rows"])

    cost = p._Positions__calculate_trade_cost

    def trade_cost():
        cost("2330", "Buy", 600.0, 1, "Stock", ignore_tax=True, need_reverse_direction=False)

    cost_us = best(trade_cost, n * 10)

    print(f"python {__import__('sys').version.split()[0]}, {time.strftime('%Y-%m-%d %H:%M:%S')}")
    print(f"entry deal (set_positions, no opposite entries): {entry_us:6.2f} us   (target <= 4)")
    print(f"one-piece cover (entry + cover pair minus entry): {cover_us:6.2f} us   (target <= 12)")
    print(f"  entry + cover pair:                             {round_us:6.2f} us")
    print(f"__calculate_trade_cost (called from Python):      {cost_us:6.2f} us   (target <= 1)")
    print(f"(profit rows made: {rows})")


if __name__ == "__main__":
    main()

"""Demo run of the positions module: `python -m kelvo_orra_backtest.demo`."""
from __future__ import annotations

import time

from rich.table import Table

from kelvo_orra_backtest.modules.positions.positions import Positions, QuoteManager
from kelvo_orra_backtest.utils import console


def main() -> int:
    quotes = QuoteManager()
    account = Positions()
    account.set_initial_capital(1_000_000)
    t0 = time.time()
    account.add_trade_record("D1", "2330", "Buy", 1, 600.0, t0, "Order")
    account.add_trade_record("D1", "2330", "Buy", 1, 600.0, t0 + 1.5, "Deal")
    account.add_trade_record("D2", "2330", "Sell", 1, 605.0, t0 + 60.25, "Order")
    table = Table(title="交易紀錄")
    for key in ("trade_id", "code", "action", "quantity", "price", "dt", "trade_status"):
        table.add_column(key)
    for record in account.trade_records:
        table.add_row(*(str(v) for v in record.values()))
    console.print(table)
    console.print(f"[bold green]帳戶餘額: {account.fetch_account_balance()}[/bold green]")
    console.print(f"holiday dates loaded: {len(getattr(quotes, 'holiday_search_set', ()))}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

"""Cost profiles: how a fill's price, commission and tax are booked.

`costs="account"` leaves every rule to `Positions`: fills are booked at the
engine's fill price and the account moves it by its slippage setting (three
steps of the stock exchange's price ladder against the trader, for stocks and
futures alike), charges its commission rate on the slipped value and the
futures tax on the exit only.

`costs="exchange"` (the engine's default) keeps the account's rules for
stocks and books futures as the futures exchange and its brokers do:

- the fill is moved `slippage_ticks` (default 1) of the contract's own price
  step against the trader (1 index point for TXF, MXF and TMF), and the
  account books that price with no slippage of its own;
- a commission per contract and side (`commission`, by code);
- the futures transaction tax (2/100,000 of the contract value) on every
  side, entry included.

The account still does the matching, the profit rows and the capital; the
engine adds each futures fill's commission and tax to the account's figures
right after `set_positions` (capital, the new profit rows, the code's
statistics and the realised total), so the reports show them.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

from kelvo_orra_backtest.constant import FutureIndexContractValue

__all__ = ["CostProfile", "contract_value", "price_step", "on_ladder"]

# The futures exchange's price steps of the index futures; any other futures
# code (stock futures) steps as the stock exchange's ladder.
FUTURES_STEP = {"TXF": 1.0, "MXF": 1.0, "TMF": 1.0, "EXF": 0.05, "FXF": 0.2, "ZEF": 0.05, "ZFF": 0.2}
# Commission per contract and side, NTD (typical discount-broker rates); settable per run.
DEFAULT_COMMISSION = {"TXF": 50.0, "MXF": 25.0, "TMF": 10.0}
DEFAULT_COMMISSION_OTHER = 50.0
FUTURES_TAX = 2e-05


def contract_value(code: str) -> int:
    """Money value of one price point of one contract (the account's rule)."""
    return FutureIndexContractValue.get(code, 2000)


def _stock_step(code: str, price: float) -> float:
    if code.startswith("00") and price < 1000:
        return 0.01 if price < 50 else 0.05
    for bound, step in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < bound:
            return step
    return 5.0


def price_step(code: str, market_type: str, price: float) -> float:
    """The exchange's price step at `price` for `code`."""
    if market_type == "Future" and code in FUTURES_STEP:
        return FUTURES_STEP[code]
    return _stock_step(code, price)


def on_ladder(code: str, market_type: str, price: float) -> bool:
    """Whether `price` is a price the exchange accepts for `code`."""
    if not math.isfinite(price) or price <= 0:
        return False
    step = price_step(code, market_type, price)
    units = price / step
    return abs(units - round(units)) < 1e-6


@dataclass
class CostProfile:
    name: str  # "account" or "exchange"
    slippage_ticks: int = 1
    commission: dict = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.name not in ("account", "exchange"):
            raise ValueError(f"costs must be 'account' or 'exchange', got {self.name!r}")
        if isinstance(self.slippage_ticks, bool) or not isinstance(self.slippage_ticks, int) or self.slippage_ticks < 0:
            raise ValueError(f"slippage_ticks must be a whole number of 0 or more, got {self.slippage_ticks!r}")
        self.commission = {**DEFAULT_COMMISSION, **(self.commission or {})}

    def engine_books(self, market_type: str) -> bool:
        """Whether the engine prices this market's fills itself (else the account does)."""
        return self.name == "exchange" and market_type == "Future"

    def install(self, account) -> None:
        """Settings of the account under this profile."""
        if self.name == "exchange":
            fut = account.fee_settings["future"]
            fut["fee"], fut["tax"], fut["per_trade_cost"] = 0.0, 0.0, 0
            for side in ("buy", "sell"):
                fut["slippage"][side]["tick_count"] = 0

    def slipped(self, code: str, side: str, price: float) -> float:
        """A futures fill price moved against the trader by the profile's price steps."""
        step = price_step(code, "Future", price)
        moved = price + step * self.slippage_ticks if side == "Buy" else price - step * self.slippage_ticks
        return round(moved / step) * step if step >= 1 else round(moved, 6)

    def futures_costs(self, code: str, price: float, qty: int) -> tuple[float, float]:
        """(commission, tax) of one futures fill at the booked price."""
        per = self.commission.get(code, DEFAULT_COMMISSION_OTHER)
        return per * qty, FUTURES_TAX * price * contract_value(code) * qty

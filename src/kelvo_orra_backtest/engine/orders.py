"""Orders, fills and the objects handed to a strategy's hooks."""
from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime

__all__ = ["Bar", "Fill", "Order", "Tick", "ORDER_TYPES", "TIFS"]

TIFS = ("ROD", "IOC", "FOK", "GTC")
ORDER_TYPES = ("market", "limit", "stop", "stop_limit")
# Statuses: "accepted" while it rests, then "filled", "cancelled", "expired";
# "rejected" at once; "open" when the data ended while it rested.
ACTIVE = "accepted"


@dataclass(slots=True)
class Order:
    id: int
    code: str
    side: str  # "Buy" or "Sell"
    qty: int
    type: str
    limit: float | None
    stop: float | None
    tif: str
    placed: float  # epoch seconds of the event that produced it
    status: str = ACTIVE
    reason: str = ""
    filled: int = 0
    triggered: bool = False
    # engine state
    start: int = 0  # first global tick index that may fill it
    expiry: float = float("inf")  # instant it expires (ROD: its session's end)
    end_pos: int = 0  # eligible positions of its code before the expiry
    cand: int = -1  # eligible position it waits for (-1: none)
    tag: str = ""  # the engine's marks: "flatten", "close", "roll"
    contract: str | None = None  # the contract month in force when it was placed (ticks with contracts)

    @property
    def remaining(self) -> int:
        return self.qty - self.filled

    @property
    def active(self) -> bool:
        return self.status == ACTIVE

    @property
    def placed_dt(self) -> datetime:
        return datetime.fromtimestamp(self.placed)


@dataclass(slots=True, frozen=True)
class Fill:
    id: int
    order_id: int
    code: str
    side: str
    qty: int
    timestamp: float
    tick_price: float  # the price of the tick that filled it
    price: float  # the fill price (the limit where it was better than the tick)
    booked_price: float  # the price the account booked, after slippage
    fee: float  # commission and fixed charges of this fill
    tax: float
    tag: str = ""
    contract: str | None = None  # the contract month of the tick that filled it

    @property
    def dt(self) -> datetime:
        return datetime.fromtimestamp(self.timestamp)


@dataclass(slots=True)
class Bar:
    code: str
    unit: str
    freq: int
    dt: datetime  # start of the bar (the quote store's naive local time)
    open: float
    high: float
    low: float
    close: float
    volume: int


@dataclass(slots=True, frozen=True)
class Tick:
    timestamp: float
    code: str
    market_type: str
    close: float
    qty: int
    tick_type: int
    is_simulate: bool

    @property
    def dt(self) -> datetime:
        return datetime.fromtimestamp(self.timestamp)

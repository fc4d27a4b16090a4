"""Constants of the host package used by the positions module."""
from __future__ import annotations

import os
from enum import Enum


class Action(str, Enum):
    """Side of an order or deal."""

    BUY = "Buy"
    SELL = "Sell"


class OrderCond(str, Enum):
    """Order condition of a stock order."""

    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


# Money value of one index point of one contract (NTD), by product code.
FutureIndexContractValue: dict[str, int] = {
    "TXF": 200,  # TAIEX futures
    "MXF": 50,  # mini-TAIEX futures
    "TMF": 10,  # micro TAIEX futures
    "EXF": 4000,  # electronics sector index futures
    "FXF": 1000,  # finance sector index futures
    "ZEF": 500,  # mini electronics sector index futures
    "ZFF": 250,  # mini finance sector index futures
}


class _BasicInfo:
    """Run-wide settings; `data_dir` is the root of every file written."""

    def __init__(self) -> None:
        self.data_dir: str = os.path.join(os.getcwd(), "data")

    def __repr__(self) -> str:
        return f"BasicInfo(data_dir={self.data_dir!r})"


BASIC_INFO = _BasicInfo()

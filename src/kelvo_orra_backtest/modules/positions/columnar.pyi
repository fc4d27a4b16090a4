"""The columnar quote manager: the quote store kept in typed columns."""
from __future__ import annotations

from typing import Any, Dict, List, Literal

import polars as pl

class ColumnarQuoteManager:
    """報價管理 (columnar tick store)"""

    def __init__(self) -> None: ...
    @property
    def holiday_search_set(self) -> set[str]:
        """The closed dates read at construction (a new set on every read)."""
    @property
    def not_trade_times(self) -> Dict[str, List[list]]:
        """The closed windows per market type (a new dict on every read)."""
    def get_empty_tick_df(self) -> pl.DataFrame:
        """取得空的 Tick DataFrame"""
    def clear_ticks(self) -> None:
        """清空 ticks"""
    def add_tick(self, tick: Dict[str, Any]) -> None:
        """將 Tick 資料加入到 ticks 中"""
    def add_ticks(self, frame: pl.DataFrame) -> None:
        """Adds every row of a polars DataFrame as add_tick would, in row order."""
    def aggregate_kbar(self, tick_df: pl.DataFrame) -> pl.DataFrame:
        """將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)"""
    def poped_tick_to_df(self, code: str) -> pl.DataFrame:
        """將 ticks 中的資料轉換為 DataFrame 並清空 ticks"""
    def poped_old_ticks_to_df(self, code: str) -> pl.DataFrame:
        """將 old_ticks 中的資料轉為 DataFrame"""
    def get_kbar(
        self,
        code: str,
        unit: Literal["m", "h", "d", "w", "mo", "q", "y"],
        freq: int,
        exprs: List[pl.Expr] = [],
        to_pandas_df: bool = False,
    ) -> Any:
        """取得 K 線資料 (polars DataFrame, or pandas DataFrame when to_pandas_df)"""
    def last_tick(self, code: str) -> Dict[str, Any] | None:
        """The stored record of the code's last real tick, or None."""
    def tick_counts(self, code: str) -> tuple[int, int]:
        """(pending, popped) stored ticks of the code."""

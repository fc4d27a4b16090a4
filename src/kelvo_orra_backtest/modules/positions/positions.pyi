"""Market data and the simulated account of the backtest engine."""
from __future__ import annotations

import queue
from typing import Any, Dict, List, Literal

import polars as pl

class QuoteManager:
    """報價管理"""

    holiday_search_set: set[str]
    ticks: Dict[str, Dict[str, Any]]
    not_trade_times: Dict[str, List[list]]
    def __init__(self) -> None: ...
    def get_init_ticks_info(self) -> Dict[str, Any]:
        """取得 ticks 的初始資訊"""
    def get_empty_tick_df(self) -> pl.DataFrame:
        """取得空的 Tick DataFrame"""
    def clear_ticks(self) -> None:
        """清空 ticks"""
    def add_tick(self, tick: Dict[str, Any]) -> None:
        """將 Tick 資料加入到 ticks 中"""
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

class Positions:
    positions: Dict[str, Dict[str, List[Dict[str, Any]]]]
    trade_records: List[Dict[str, Any]]
    product_type_mapper: Dict[str, str]
    current_tick_infos: Dict[str, Any]
    fetch_position_queue: queue.Queue
    finish_fetch_position_queue: queue.Queue
    wait_fetch_position_response_flag: bool
    initial_capital: int
    current_capital: float
    _profit_report: Dict[str, Any]
    _fee_settings: Dict[str, Any]
    _account_infos: Dict[str, Dict[str, Any]]
    def __init__(self) -> None:
        """Position Module"""
    @property
    def fee_settings(self) -> Dict[str, Any]:
        """取得手續費設定"""
    def reset_fee_settings(self) -> None:
        """重置手續費設定"""
    def update_fee_settings(
        self,
        setting_type: Literal["stock", "future"],
        action: Literal["buy", "sell"] | None = None,
        fee: float | None = None,
        tax: float | None = None,
        per_trade_cost: int | None = None,
        tick_count: int | None = None,
        direction: Literal["up", "down"] | None = None,
    ) -> None:
        """設定手續費設定"""
    def set_current_tick(self, tick: Dict[str, Any]) -> None:
        """設定目前的 Tick 資訊"""
    def add_trade_record(
        self,
        trade_id: str,
        code: str,
        action: Literal["Buy", "Sell"],
        quantity: int,
        price: float,
        timestamp: float,
        trade_status: Literal["Order", "Deal", "Cancel"],
    ) -> None:
        """加入交易紀錄"""
    def set_positions(self, trade: dict, product_type: Literal["Stock", "Future"]) -> None:
        """設定持有部位"""
    def fetch_positions(self, account_type: Literal["Stock", "Future"], fetch_detail: bool = False) -> None:
        """取得持有部位 (the rows are put into fetch_position_queue)"""
    def add_positions_to_queue(self, positions: object) -> None:
        """將持有部位加入 Queue"""
    def pop_positions(self) -> Any:
        """取得盤中未實現損益的請求"""
    def add_finish_notify_to_queue(self) -> None:
        """將盤中未實現損益計算完成的通知加入 Queue"""
    def pop_finish_notify(self) -> Any:
        """取得盤中未實現損益計算完成的通知"""
    def export_trade_records(self) -> None:
        """匯出交易紀錄"""
    def get_profit_rows_by_code(self, code: str) -> List[Dict[str, Any]]:
        """回傳指定標的的損益報告"""
    def generate_standard_report(self, code: str, quote_manager: QuoteManager) -> None:
        """產生標準的 KELVO 回測報告"""
    def generate_qs_profit_report(self, code: str, quote_manager: QuoteManager) -> None:
        """產生 QuantStats 的損益報告"""
    def set_initial_capital(self, capital: int) -> None:
        """設定初始資金"""
    def fetch_account_balance(self) -> float:
        """取得帳戶餘額"""
    def fetch_margin(self) -> float:
        """取得保證金"""

"""Recording pass of the VWAP engine: trades, refused trades, positions, profit terms and daily totals."""

from typing import Any, Dict, Sequence

import numpy as np

import pandas as pd

def calc_strategy_vwap_records(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: float = 100000000.0,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
    *,
    given: Sequence[bool] | np.ndarray | None = None,
) -> Dict[str, Any]: ...
def _binder_signatures() -> list[tuple[str, bool, list[tuple[str, Any, bool]]]]: ...
def smooth_weights(strategy_matrix: pd.DataFrame, rolling_window: int = 0) -> pd.DataFrame: ...

"""Strategy return engine: VWAP daily returns, statistics, yearly and weekly views, report charts."""

import contextlib as contextlib
import threading as threading
from dataclasses import dataclass as dataclass
from pathlib import Path
from typing import Any, Dict, Sequence, Tuple

import numpy as np
import pandas as pd

from ._core import _build_market_arrays as _build_market_arrays
from ._core import _with_datetime_index as _with_datetime_index
from ._core import safe_sharpe as safe_sharpe

_SIMD: str
_SIMD_AVAILABLE: Tuple[str, ...]
_MATPLOTLIB_PLOT_LOCK: threading.RLock
TRADING_DAYS_PER_YEAR: int
ROLLING_STABILITY_DAYS: int
MIN_ROLLING_STABILITY_DAYS: int

@dataclass
class _PnlEngineResult:
    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict
    benchmark_summary: pd.DataFrame
    plot_paths: Dict[str, str]

def _binder_signatures() -> list[tuple[str, bool, list[tuple[str, Any, bool]]]]: ...
def calc_strategy_vwap_daily_return(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
    *,
    given: Sequence[bool] | np.ndarray | None = None,
) -> pd.Series: ...
def run_strategy_backtest_core(
    strategy_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: Dict[str, pd.Series] | None = None,
    benchmark_names: str = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = "large",
    plot_save_path: str | Path | None = None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    *,
    given: Sequence[bool] | np.ndarray | None = None,
) -> _PnlEngineResult: ...
def calc_strategy_stats(total_frame: pd.DataFrame, signal_df: pd.DataFrame | None) -> Dict[str, float]: ...
def plot_strategy_performance(
    daily_return: pd.Series,
    cumulative_return: pd.Series,
    benchmark_daily_return: pd.Series,
    stats: dict,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | Path = "./strategy_backtest.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> Dict[str, str]: ...
def plot_weekly_net_value(
    daily_return: pd.Series,
    cumulative_return: pd.Series,
    benchmark_daily_return: pd.Series,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | Path = "./strategy_weekly_net_value.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> Dict[str, str]: ...
def _format_pct(value: Any, digits: int = 2) -> str: ...
def _format_pct_points(value: Any, digits: int = 2) -> str: ...
def _format_num(value: Any, digits: int = 2) -> str: ...
def _format_annual_excess(annual_excess: pd.Series | None) -> str: ...
def _period_return_drawdown_calmar(daily_return: pd.Series | None) -> Tuple[float, float, float]: ...
def _calc_yearly_performance_metrics(daily: pd.DataFrame) -> pd.DataFrame: ...
def _build_weekly_net_value_frame(
    daily_return: pd.Series, cumulative_return: pd.Series, benchmark_daily_return: pd.Series
) -> pd.DataFrame: ...
def _draw_yearly_metrics_table(ax: Any, yearly_metrics: pd.DataFrame, *, compact: bool = False) -> None: ...
def _plot_strategy_performance_unlocked(
    daily_return: pd.Series,
    cumulative_return: pd.Series,
    benchmark_daily_return: pd.Series,
    stats: dict,
    strategy_name: str,
    plot_title: str | None,
    save_path: str | Path,
    image_kind: str,
    benchmark_name: str = "000852",
) -> None: ...
def _plot_weekly_net_value_unlocked(
    daily_return: pd.Series,
    cumulative_return: pd.Series,
    benchmark_daily_return: pd.Series,
    strategy_name: str,
    plot_title: str | None,
    save_path: str | Path,
    image_kind: str,
    benchmark_name: str = "000852",
) -> None: ...

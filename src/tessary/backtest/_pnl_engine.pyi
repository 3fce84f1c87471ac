"""
Strategy return engine: VWAP daily returns, statistics, yearly and weekly views, report charts.
"""

import _thread
import dataclasses
import pathlib
from typing import Any

import numpy
import pandas

from tessary.backtest._core import (
    _build_market_arrays as _build_market_arrays,
    _with_datetime_index as _with_datetime_index,
    safe_sharpe as safe_sharpe
)


_SIMD: str = ...

_SIMD_AVAILABLE: tuple = ...

_MATPLOTLIB_PLOT_LOCK: _thread.RLock = ...

TRADING_DAYS_PER_YEAR: int = ...

ROLLING_STABILITY_DAYS: int = ...

MIN_ROLLING_STABILITY_DAYS: int = ...

class _PnlEngineResult:
    """
    Result of one strategy backtest: name, daily returns, net value, statistics, per-benchmark summary and the paths of the saved charts.
    """

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __init__(self, strategy_name: str, daily_return: pandas.Series, cumulative_return: pandas.Series, stats: dict, benchmark_summary: pandas.DataFrame, plot_paths: dict[str, str]) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    __hash__: None = ...

    __match_args__: tuple = ...

def calc_strategy_vwap_daily_return(signal_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, lot_size: int = 200, *, given: numpy.ndarray | None = None) -> pandas.Series:
    """
    Daily returns (ratios of total_money) of the weights of each date traded on the next date at VWAP execution prices, in whole lots, with feasibility flags, split/dividend adjustment and fees. given=None re-sizes every position each day to weight x total_money / previous close; given, one boolean per date, sets share targets from the weights of the True dates only and holds them in shares until the next True date (refused trades tried again each day, splits scaling holding and target together).
    """

def _format_pct(value: Any, digits: int = 2) -> str:
    """
    A ratio as a percentage with `digits` decimals (0.05 -> '5.00%'); '--' when missing.
    """

def _format_pct_points(value: Any, digits: int = 2) -> str:
    """
    Percentage points with `digits` decimals and a percent sign (5.0 -> '5.00%'); '--' when missing.
    """

def _format_num(value: Any, digits: int = 2) -> str:
    """
    A number in fixed point with `digits` decimals (1.234 -> '1.23'); '--' when missing.
    """

def _format_annual_excess(annual_excess: pandas.Series | None) -> str:
    """
    Yearly excess returns as 'year: pct' items joined by ' | ', skipping missing years; '--' when none.
    """

def _period_return_drawdown_calmar(daily_return: pandas.Series | None) -> tuple[float, float, float]:
    """
    Period return (sum), maximum drawdown of the running sum from a starting peak of 0, and Calmar ratio (annualised mean / drawdown) of one period's daily returns; three NaN for None or empty.
    """

def _calc_yearly_performance_metrics(daily: pandas.DataFrame) -> pandas.DataFrame:
    """
    Per calendar year: return, Sharpe, maximum drawdown and Calmar of `daily_return` and of `extra_daily_return` (ratios), indexed by `year`.
    """

def _build_weekly_net_value_frame(daily_return: pandas.Series, cumulative_return: pandas.Series, benchmark_daily_return: pandas.Series) -> pandas.DataFrame:
    """
    Friday-sampled strategy net value (`long`), compounded benchmark net value (`close_net_value`) and excess net value (`extra_return`, `extra_net_value`).
    """

def calc_strategy_stats(total_frame: pandas.DataFrame, signal_df: pandas.DataFrame | None) -> dict[str, float]:
    """
    Annualised return, Sharpe and maximum drawdown of the strategy, its excess and its benchmark, return correlation, win rates, average holding count and turnover; percentages in points.
    """

def run_strategy_backtest_core(strategy_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, benchmark_dict: dict[str, pandas.Series] | None = None, benchmark_names: str = '000852', rolling_window: int = 0, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot_image_kind: str | None = 'large', plot_save_path: str | pathlib.Path | None = None, strategy_name: str = 'strategy', plot_title: str | None = None, *, given: numpy.ndarray | None = None) -> _PnlEngineResult:
    """
    Backtest of a weight matrix: optional rolling smoothing, VWAP daily returns, arithmetic net value, excess against each benchmark, statistics and, given an image kind and a save path, the charts. given (one boolean per date, or None) is passed to calc_strategy_vwap_daily_return: the hold rule.
    """

def plot_strategy_performance(daily_return: pandas.Series, cumulative_return: pandas.Series, benchmark_daily_return: pandas.Series, stats: dict, strategy_name: str = 'strategy', plot_title: str | None = None, save_path: str | pathlib.Path = './strategy_backtest.png', image_kind: str = 'large', benchmark_name: str = '000852') -> dict[str, str]:
    """
    Draws the strategy performance report to save_path under the plot lock and returns {'main': save_path as str}. image_kind 'long' gives the portrait layout, anything else the landscape one.
    """

def plot_weekly_net_value(daily_return: pandas.Series, cumulative_return: pandas.Series, benchmark_daily_return: pandas.Series, strategy_name: str = 'strategy', plot_title: str | None = None, save_path: str | pathlib.Path = './strategy_weekly_net_value.png', image_kind: str = 'large', benchmark_name: str = '000852') -> dict[str, str]:
    """
    Draws the weekly net value figure to save_path under the plot lock and returns {'weekly_net_value': save_path as str}.
    """

def _draw_yearly_metrics_table(ax: Any, yearly_metrics: pandas.DataFrame, *, compact: bool = False) -> None:
    """
    Draws the yearly metrics frame on `ax` as a nine-column table (strategy columns blue, excess red); `compact` selects the smaller variant of the wide figure.
    """

def _plot_strategy_performance_unlocked(daily_return: pandas.Series, cumulative_return: pandas.Series, benchmark_daily_return: pandas.Series, stats: dict, strategy_name: str, plot_title: str | None, save_path: str | pathlib.Path, image_kind: str, benchmark_name: str = '000852') -> None:
    """
    Draws the strategy performance report and saves it to save_path. Call only while holding _MATPLOTLIB_PLOT_LOCK; use plot_strategy_performance otherwise.
    """

def _plot_weekly_net_value_unlocked(daily_return: pandas.Series, cumulative_return: pandas.Series, benchmark_daily_return: pandas.Series, strategy_name: str, plot_title: str | None, save_path: str | pathlib.Path, image_kind: str, benchmark_name: str = '000852') -> None:
    """
    Draws the weekly net value figure and saves it to save_path. Call only while holding _MATPLOTLIB_PLOT_LOCK; use plot_weekly_net_value otherwise.
    """

def _binder_signatures() -> list:
    """The argument binder's parameter tables (for the tests)."""

"""
Recording pass of the VWAP engine: trades, refused trades, positions, profit terms and daily totals.
"""

from typing import Any

import numpy
import pandas


def calc_strategy_vwap_records(signal_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, lot_size: int = 200, *, given: numpy.ndarray | None = None) -> dict[str, Any]:
    """
    What calc_strategy_vwap_daily_return does, recorded: a dict with 'dates' (the return dates), 'columns', 'total_money', the record tables 'trades' (side 0 buy, 1 sell; shares, price, value, commission, levy), 'blocked' (side, shares), 'positions' (shares, value), 'pnl' (buy, hold, hold_dividend, sell, sell_dividend), each a dict of 1-D arrays with the date row 'day' and stock column 'stock' of every record, sorted by day then stock; 'daily' (bought_value, sold_value, commission, levy, held, pnl per return date), 'buffer_bytes' (the bytes the records take) and 'threads' (the threads the pass ran on: 1, or 2 for a market of a million cells or more of column-major values where the processor lacks AVX-512, when the process may run on two cores). given: as calc_strategy_vwap_daily_return's (the hold rule, recorded on one thread).
    """

def smooth_weights(strategy_matrix: pandas.DataFrame, rolling_window: int = 0, out: numpy.ndarray | None = None) -> pandas.DataFrame:
    """
    The weights run_strategy_backtest_core trades: for rolling_window > 0 the trailing rolling(rolling_window, min_periods=1) mean of every column with the first row kept raw, as a new float64 frame (written into out when given: a float64 array of the weights' shape and memory layout); otherwise strategy_matrix itself.
    """

def fee_path_returns(signal_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, fees: list[float], rule_fees: list[float], total_money: float = 100000000.0, fee: float = 0.0, rule_fee: float = 0.0, lot_size: int = 200) -> tuple[numpy.ndarray, pandas.Index]:
    """
    The daily returns (k x return dates, and the return dates) of the weights traded as calc_strategy_vwap_daily_return trades them, once per rate pair (fees[j], rule_fees[j]): row j equals that function's result with fee=fees[j] and rule_fee=rule_fees[j], bit for bit, from one pass over the market. fee and rule_fee are not used.
    """

def portfolio_path_returns(works: list[pandas.DataFrame], can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, paths: list[int], money: list[float], variants: list[int], fees: list[float], rule_fees: list[float], lot_size: int = 200, *, total_money: float = 100000000.0, fee: float = 0.0, rule_fee: float = 0.0) -> tuple[numpy.ndarray, pandas.Index]:
    """
    The daily returns (variants x return dates, and the return dates) of several weight matrices on one index and columns, from one pass over the market. Matrix j has paths[j] portfolios (consecutive), portfolio p the capital money[p] and variants[p] cost variants (consecutive), variant v the rates fees[v] and rule_fees[v]; row v equals calc_strategy_vwap_daily_return of its matrix with its capital and rates, bit for bit. total_money, fee and rule_fee are not used.
    """

def _binder_signatures() -> list:
    """The argument binder's parameter tables (for the tests)."""

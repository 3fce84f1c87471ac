"""Backtest compute core: the strategy return engine and the prepared-data builder.

The front door is :func:`run_backtest`; it returns a :class:`BacktestResult`.
"""

from tessary.exceptions import TessaryWarning

__all__ = ["run_backtest", "BacktestResult", "BinaryPreparedDataStore", "TessaryWarning"]


def __getattr__(name: str):
    # Loaded on first use, so that importing the package does not load the extension
    # modules (and with them pandas and numpy) before they are needed.
    if name in ("run_backtest", "BacktestResult"):
        from tessary.backtest import api

        return getattr(api, name)
    if name == "BinaryPreparedDataStore":
        from tessary.backtest._prepare import BinaryPreparedDataStore

        return BinaryPreparedDataStore
    raise AttributeError(f"module 'tessary.backtest' has no attribute {name!r}")

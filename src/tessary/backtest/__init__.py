"""Backtest compute core: the strategy return engine and the prepared-data builder."""

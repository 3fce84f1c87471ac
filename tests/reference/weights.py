"""The weight-matrix passes: rolling smoothing, holding count and turnover."""

import pandas as pd


def smoothing(matrix: pd.DataFrame, window: int) -> pd.DataFrame:
    """Trailing mean over `window` rows (at least one value present), the first row
    kept raw."""
    smoothed = matrix.rolling(window=window, min_periods=1).mean()
    smoothed.iloc[0] = matrix.iloc[0]
    return smoothed


def holding_and_turnover(dates, signal_df: pd.DataFrame) -> tuple[float, float]:
    """Mean daily count of held stocks (present, not 0) and mean one-sided daily
    turnover in percent, over `dates` (dates the matrix lacks hold nothing)."""
    aligned = signal_df.reindex(dates)
    holding = (aligned.notna() & aligned.ne(0)).sum(axis=1).mean()
    turnover = aligned.fillna(0).diff().abs().sum(axis=1).mean() / 2 * 100
    return holding, turnover

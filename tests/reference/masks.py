"""Constituent masks of the prepared data."""

import numpy as np
import pandas as pd


def component_mask(matrix: pd.DataFrame) -> pd.DataFrame:
    """1.0 where a stock is a member (a present value that is neither 0 nor infinite),
    NaN elsewhere; dates ascending."""
    values = matrix.to_numpy(dtype=float, na_value=np.nan)
    member = ~np.isnan(values) & (values != 0) & ~np.isinf(values)
    mask = np.where(member, 1.0, np.nan)
    return pd.DataFrame(mask, index=matrix.index, columns=matrix.columns).sort_index()

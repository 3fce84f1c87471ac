"""The forward-return rank of the prepared data."""

import numpy as np
import pandas as pd


def forward_return_rank(opens: pd.DataFrame) -> pd.DataFrame:
    """Per date, the cross-sectional rank (ties averaged) of the return from the next
    day's open to the open after it; infinite returns (a zero open) are left out."""
    forward = opens.shift(-2) / opens.shift(-1) - 1
    forward = forward.mask(np.isinf(forward))
    return forward.rank(axis=1, method="average")

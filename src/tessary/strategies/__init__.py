"""Built-in strategies for backtests and parameter sweeps.

Each strategy is a function ``strategy(market, **params)`` that takes the store's
frames over a date range (a dict of date x stock DataFrames, read-only) and returns
a date x stock weight DataFrame on the dates and codes of ``market["close_price"]``.
The heavy steps run in native kernels with the GIL released, so several strategies
computed on threads of one process run in parallel.

- :func:`momentum`: the top share of the stocks by trailing total return.
- :func:`reversal`: the bottom share of the stocks by trailing total return.

The building blocks (:func:`daily_total_return`, :func:`rolling_sum`,
:func:`top_share_weights`) serve strategies of one's own.
"""

from tessary.strategies._blocks import daily_total_return, rolling_sum, top_share_weights
from tessary.strategies._ranked import momentum, reversal

__all__ = ["momentum", "reversal", "daily_total_return", "rolling_sum", "top_share_weights"]

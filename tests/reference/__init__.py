"""Plain numpy/pandas versions of what each native kernel computes, written the
straightforward way and importing nothing from the package, so that a fault shared by
the package and its own helpers cannot hide here. The kernel tests compare against
them on random data with NaN and infinities; the benchmarks time them as baselines.

- vwap: the VWAP daily-return engine (and the market-array alignment before it)
- weights: the rolling smoothing, the daily holding count and turnover
- pivot: long factor answers into date x stock matrices
- rank: the forward-return rank
- masks: constituent masks
"""

"""Parameter sweeps: many backtests of one strategy at once, on the threads of this
process or on a Dask cluster.

    from tessary.sweep import run_sweep
    from tessary.strategies import momentum

    result = run_sweep("~/stores/env1", momentum,
                       {"lookback": [20, 60, 120], "share": [0.05, 0.1], "fee": [1e-4, 3e-4]})
    result.table            # one row per combination
    result.heatmap("lookback", "share", metric="long_sharp", save_path="sharpe.png")
"""

from tessary.sweep._grid import PIPELINE_PARAMETERS
from tessary.sweep._result import SweepResult
from tessary.sweep._run import run_sweep
from tessary.sweep._tasks import STAT_KEYS

__all__ = ["run_sweep", "SweepResult", "PIPELINE_PARAMETERS", "STAT_KEYS"]

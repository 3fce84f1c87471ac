"""Factor research: does a signal predict returns? Rank ICs, decay, quantile groups and
the groups' backtests under the engine's trading rules.

``evaluate(factor, store, ...)`` gives a ``FactorReport``; ``compare(factors, store,
...)`` screens many factors on threads.
"""

from tessary.factor._evaluate import compare, evaluate
from tessary.factor._report import FactorReport

__all__ = ["evaluate", "compare", "FactorReport"]

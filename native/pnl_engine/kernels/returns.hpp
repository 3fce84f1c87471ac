// Running-sum net values and drawdowns of daily-return series (one value per date).
//
// Missing values follow pandas' skipna accumulations: a NaN date stays NaN in a
// running sum or maximum and does not interrupt it; reductions skip NaN.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::kernels {

/// A read-only 1-D buffer with an element stride (a column of a 2-D block).
struct View1D {
    const double *data = nullptr;
    std::ptrdiff_t stride = 1;

    double operator[](std::size_t i) const { return data[(std::ptrdiff_t)i * stride]; }
};

/// Deepest drawdown of the running sum of `x` measured from a peak that starts at 0:
/// min over dates of (cumsum - max(cummax(cumsum), 0)), a value <= 0, or NaN when
/// every date is NaN (or n is 0).
double min_drawdown_from_zero(View1D x, std::size_t n);

/// Inputs of the strategy statistics: rows where both returns are present.
struct StatsInputs {
    std::size_t n = 0;
    View1D strategy;   // strategy daily returns
    View1D benchmark;  // benchmark daily returns
    View1D close;      // benchmark close levels; data == nullptr when absent
};

/// Scalars of the strategy statistics, before scaling to percentage points.
struct StatsResult {
    double last_net_value = 0.0;        // last of cumsum(strategy) + 1
    double min_drawdown = 0.0;          // min of net value - its running maximum
    double last_excess_cum = 0.0;       // last of cumsum(strategy - benchmark)
    double min_excess_drawdown = 0.0;   // min of (excess cum + 1) - its running maximum
    double last_benchmark_nav = 0.0;    // last benchmark net value
    std::int64_t wins = 0;              // dates with strategy return > 0
    std::int64_t excess_wins = 0;       // dates with excess return > 0
};

/// Fills `excess[0..n)` with strategy - benchmark and returns the scalars. The
/// benchmark net value is close / close[0] when a close is given and its first value
/// is a number > 0, otherwise cumsum(benchmark) + 1. Running maxima start at the
/// first date (the level 1 before it is not a peak).
StatsResult strategy_stats(const StatsInputs &in, double *excess);

}  // namespace tessary::kernels

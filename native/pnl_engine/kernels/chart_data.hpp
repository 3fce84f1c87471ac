// Chart data kernels: the running sums, products, maxima and drawdowns, yearly sums
// and rolling excess statistics drawn by the report figures.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::kernels {

/// Running sum with NaN skipped: a NaN input gives NaN at its position and leaves
/// the sum unchanged (pandas `cumsum`).
void running_sum(const double *x, std::size_t n, double *out);

/// `level - running maximum of level`, NaN skipped in the maximum and kept in the
/// result (pandas `level - level.cummax()`). Never positive where defined.
void running_drawdown(const double *level, std::size_t n, double *out);

/// The curves of the strategy performance figure, one value per cleaned day.
struct PerformanceCurves {
    double *strategy_cum;     // cumulative - 1
    double *benchmark_nav;    // running product of (1 + benchmark)
    double *benchmark_cum;    // benchmark_nav - 1
    double *strategy_dd;      // cumulative - its running maximum
    double *benchmark_dd;     // benchmark_nav - its running maximum
    double *excess_daily;     // daily - benchmark, a NaN side counting as 0
    double *excess_cum_norm;  // running sum of excess_daily minus its first value
    double *excess_dd;        // (excess_cum_norm + 1) - its running maximum
};

/// Fills every curve of `out` (each holding n values) from the strategy's daily
/// returns, its net value and the benchmark's daily returns on the same n days.
/// `scratch` must hold n doubles.
void performance_curves(const double *daily, const double *cumulative, const double *benchmark, std::size_t n,
                        const PerformanceCurves &out, double *scratch);

/// Year key of a row without a calendar year (a missing date).
inline constexpr std::int64_t kNoYear = INT64_MIN;

/// Per-year sums of `ncols` columns of n values, grouped by `years[i]` in ascending
/// year order (the days need not be sorted). NaN values are skipped; each sum is
/// compensated (Kahan) in day order, as pandas' grouped sum is, and an infinite value
/// gives an infinite sum. Writes the distinct years to `years_out` and the sums to
/// `sums_out[c][k]`; both must hold n entries. Returns the number of years. Rows
/// whose year is `kNoYear` are left out.
std::size_t yearly_sums(const std::int64_t *years, std::size_t n, const double *const *cols, std::size_t ncols,
                        std::int64_t *years_out, double *const *sums_out);

/// Rolling statistics of full windows of `window` values ending at each day (the
/// first window - 1 results are NaN, as is any window holding a NaN):
/// `sharpe` = mean / sample standard deviation * `annual_sqrt`, and `win` = the share
/// of the window's values strictly above 0. A window of identical values has a
/// standard deviation of exactly 0, so its Sharpe value is +-inf or NaN.
void rolling_excess_stability(const double *x, std::size_t n, std::size_t window, double annual_sqrt,
                              double *sharpe, double *win);

}  // namespace tessary::kernels

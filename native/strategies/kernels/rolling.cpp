// Trailing sums over dates (see rolling.hpp).
#include "strategies/kernels/rolling.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tessary::strategies {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

/// The accumulator of one column: a compensated running sum with one compensation
/// term for additions and one for removals, the count of present values, and the
/// run of equal values ending at the last value added.
struct SumState {
    std::int64_t nobs = 0;
    std::int64_t same_run = 0;
    double sum = 0.0;
    double comp_add = 0.0;
    double comp_remove = 0.0;
    double prev = kNaN;

    void reset(double first) {
        nobs = same_run = 0;
        sum = comp_add = comp_remove = 0.0;
        prev = first;
    }

    void add(double v) {
        if (std::isnan(v)) return;
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        same_run = (v == prev) ? same_run + 1 : 1;
        prev = v;
    }

    void remove(double v) {
        if (std::isnan(v)) return;
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
    }

    double result(std::int64_t min_periods) const {
        if (nobs == 0 && min_periods == 0) return 0.0;
        if (nobs < min_periods) return kNaN;
        // A window of equal values sums to that value times the count exactly,
        // whatever rounding the running sum has collected.
        return same_run >= nobs ? prev * (double)nobs : sum;
    }
};

/// Infinities count as missing, as in pandas' rolling windows.
inline double window_value(double v) { return std::isinf(v) ? kNaN : v; }

}  // namespace

void rolling_sum(const Values &in, std::size_t rows, std::size_t cols, std::size_t window,
                 std::size_t min_periods, double *out) {
    // Walked date by date across all stocks: the inputs are mostly row-major (the
    // store's memory-mapped matrices and this module's own outputs).
    std::vector<SumState> state(cols);
    const auto minp = (std::int64_t)min_periods;
    for (std::size_t r = 0; r < rows; ++r) {
        double *row = out + r * cols;
        // Windows of one row, and the first row, start afresh; longer windows slide:
        // the leaving value is taken out before the entering one is added.
        const bool fresh = r == 0 || window == 1;
        for (std::size_t c = 0; c < cols; ++c) {
            SumState &s = state[c];
            const double entering = window_value(in(r, c));
            if (fresh) {
                s.reset(entering);
            } else if (r >= window) {
                s.remove(window_value(in(r - window, c)));
            }
            s.add(entering);
            row[c] = s.result(minp);
        }
    }
}

}  // namespace tessary::strategies

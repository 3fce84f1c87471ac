// Trailing sums over dates (see rolling.hpp).
#include "strategies/kernels/rolling.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace tessary::strategies {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

/// The accumulators of all columns, one array per field so that a row's update runs
/// as one branch-free loop across the columns (which the compiler vectorises): a
/// compensated running sum with one compensation term for additions and one for
/// removals, the count of present values, and the run of equal values ending at the
/// last value added.
struct SumStates {
    std::vector<double> nobs, same_run, sum, comp_add, comp_remove, prev;

    explicit SumStates(std::size_t n)
        : nobs(n, 0.0), same_run(n, 0.0), sum(n, 0.0), comp_add(n, 0.0), comp_remove(n, 0.0), prev(n, kNaN) {}
};

/// Infinities count as missing, as in pandas' rolling windows.
inline double window_value(double v) { return std::isinf(v) ? kNaN : v; }

/// One row of the window: `leaving` (NaN when nothing leaves) goes out, then
/// `entering` comes in, and `out` gets the window's sum. Counts are whole numbers
/// held in doubles (exact far beyond any row count) so that every field updates
/// with the same selects. Missing values leave a state as it was.
void step_row(SumStates &s, const double *__restrict leaving, const double *__restrict entering, std::size_t cols,
              double min_periods, double *__restrict out) {
    double *__restrict nobs = s.nobs.data();
    double *__restrict same_run = s.same_run.data();
    double *__restrict sum = s.sum.data();
    double *__restrict comp_add = s.comp_add.data();
    double *__restrict comp_remove = s.comp_remove.data();
    double *__restrict prev = s.prev.data();
    for (std::size_t c = 0; c < cols; ++c) {
        double total = sum[c], count = nobs[c];
        // Removal: pandas' compensated subtraction.
        const double lv = leaving[c];
        const bool leaves = lv == lv;
        {
            const double y = -lv - comp_remove[c];
            const double t = total + y;
            const double comp = t - total - y;
            comp_remove[c] = leaves ? comp : comp_remove[c];
            total = leaves ? t : total;
            count = leaves ? count - 1.0 : count;
        }
        // Addition: pandas' compensated addition and the run of equal values.
        const double ev = entering[c];
        const bool enters = ev == ev;
        {
            const double y = ev - comp_add[c];
            const double t = total + y;
            const double comp = t - total - y;
            comp_add[c] = enters ? comp : comp_add[c];
            total = enters ? t : total;
            count = enters ? count + 1.0 : count;
            const double run = ev == prev[c] ? same_run[c] + 1.0 : 1.0;
            same_run[c] = enters ? run : same_run[c];
            prev[c] = enters ? ev : prev[c];
        }
        sum[c] = total;
        nobs[c] = count;
        // A window of equal values sums to that value times the count exactly,
        // whatever rounding the running sum has collected.
        const double value = same_run[c] >= count ? prev[c] * count : total;
        const double empty = min_periods == 0.0 ? 0.0 : kNaN;
        out[c] = count == 0.0 ? empty : (count < min_periods ? kNaN : value);
    }
}

/// Row r of `in` with infinities as NaN, into a contiguous buffer.
void gather_row(const Values &in, std::size_t r, std::size_t cols, double *row) {
    for (std::size_t c = 0; c < cols; ++c) row[c] = window_value(in(r, c));
}

}  // namespace

void rolling_sum(const Values &in, std::size_t rows, std::size_t cols, std::size_t window,
                 std::size_t min_periods, double *out) {
    // Walked date by date across all stocks: the inputs are mostly row-major (the
    // store's memory-mapped matrices and this module's own outputs).
    SumStates state(cols);
    std::vector<double> entering(cols), leaving(cols, kNaN), nothing(cols, kNaN);
    const double minp = (double)min_periods;
    for (std::size_t r = 0; r < rows; ++r) {
        gather_row(in, r, cols, entering.data());
        // The first row and windows of one row start afresh (pandas sets the state
        // up again there, taking the first value as the run's previous value);
        // longer windows slide, the leaving value going out before the entering one.
        const bool fresh = r == 0 || window == 1;
        if (fresh) {
            state = SumStates(cols);
            state.prev = entering;
        }
        const double *gone = nothing.data();
        if (!fresh && r >= window) {
            gather_row(in, r - window, cols, leaving.data());
            gone = leaving.data();
        }
        step_row(state, gone, entering.data(), cols, minp, out + r * cols);
    }
}

}  // namespace tessary::strategies

// Passes over a date x stock weight matrix.
#include "pnl_engine/kernels/weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double weight_at(const FloatView &w, std::int64_t row, std::size_t c) {
    return row < 0 ? kNaN : w((std::size_t)row, c);
}

inline double missing_as_zero(double v) { return std::isnan(v) ? 0.0 : v; }

/// 1 when a weight counts as held: present and not 0 (negative weights included).
inline std::int64_t is_held(double v) { return (std::int64_t)(!std::isnan(v) & (v != 0.0)); }

/// A weight change, 0 for a NaN difference (inf - inf), which pandas' skipna sum
/// leaves out: adding +0.0 to a non-negative sum changes nothing.
inline double change_of(double a, double prev) {
    const double d = std::fabs(a - prev);
    return std::isnan(d) ? 0.0 : d;
}

/// One rolling-mean accumulator: a running sum with separate compensation terms for
/// additions and removals, the count of present values, of negative values and of
/// equal values in a row at the end of the window.
struct MeanState {
    std::int64_t nobs = 0;
    std::int64_t neg_ct = 0;
    std::int64_t same_run = 0;
    double sum = 0.0;
    double comp_add = 0.0;
    double comp_remove = 0.0;
    double prev = kNaN;

    void add(double v) {
        if (std::isnan(v)) return;
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        if (std::signbit(v)) ++neg_ct;
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
        if (std::signbit(v)) --neg_ct;
    }

    double mean() const {
        if (nobs <= 0) return kNaN;
        // A window of equal values is that value exactly; a window whose values all
        // have one sign never gets the other sign from rounding of the running sum.
        if (same_run >= nobs) return prev;
        const double m = sum / (double)nobs;
        if (neg_ct == 0 && m < 0.0) return 0.0;
        if (neg_ct == nobs && m > 0.0) return 0.0;
        return m;
    }
};

/// The rolling inputs treat infinities as missing.
inline double rolling_input(double v) { return std::isinf(v) ? kNaN : v; }

/// One row step of a column's rolling mean: row r - window leaves the window
/// [r - window + 1, r] as row r enters.
inline double rolling_step(MeanState &s, const FloatView &in, std::size_t r, std::size_t c, std::size_t window) {
    if (r >= window) s.remove(rolling_input(in(r - window, c)));
    s.add(rolling_input(in(r, c)));
    return s.mean();
}

/// Rolling means of the W columns c0 .. c0 + W - 1 walked down the rows. With W a
/// small constant the states stay in registers and the columns' dependent additions
/// overlap.
template <std::size_t W>
void rolling_columns(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                     const OutView2D &out) {
    MeanState state[W];
    // The first window value seeds the equal-values run (NaN when missing).
    for (std::size_t k = 0; k < W; ++k) state[k].prev = rolling_input(in(0, c0 + k));
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t k = 0; k < W; ++k) out(r, c0 + k) = rolling_step(state[k], in, r, c0 + k, window);
}

}  // namespace

void weight_activity(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                     std::int64_t *count, double *change) {
    if (count) std::fill(count, count + n, 0);
    if (change) std::fill(change, change + n, 0.0);
    if (n == 0) return;

    // Both traversals add each date's changes in column order, so they give the same
    // sums; the choice only follows the memory layout.
    if (weights.row_stride == 1) {
        // Column-major block: walk a few columns at a time down the dates.
        constexpr std::size_t kWidth = 4;
        for (std::size_t c0 = 0; c0 < stocks; c0 += kWidth) {
            const std::size_t width = std::min(kWidth, stocks - c0);
            double prev[kWidth] = {};
            for (std::size_t r = 0; r < n; ++r) {
                std::int64_t held = 0;
                double acc = change ? change[r] : 0.0;
                for (std::size_t k = 0; k < width; ++k) {
                    const double v = weight_at(weights, rows[r], c0 + k);
                    held += is_held(v);
                    const double a = missing_as_zero(v);
                    if (r > 0) acc += change_of(a, prev[k]);
                    prev[k] = a;
                }
                if (count) count[r] += held;
                if (change) change[r] = acc;
            }
        }
        return;
    }

    // Row-major (or other) layout: one date at a time across the stocks.
    for (std::size_t r = 0; r < n; ++r) {
        std::int64_t held = 0;
        double acc = 0.0;
        if (r == 0) {
            for (std::size_t c = 0; c < stocks; ++c) held += is_held(weight_at(weights, rows[0], c));
        } else {
            for (std::size_t c = 0; c < stocks; ++c) {
                const double v = weight_at(weights, rows[r], c);
                held += is_held(v);
                acc += change_of(missing_as_zero(v), missing_as_zero(weight_at(weights, rows[r - 1], c)));
            }
        }
        if (count) count[r] = held;
        if (change) change[r] = acc;
    }
}

void rolling_mean_first_row_raw(const FloatView &in, std::size_t rows, std::size_t cols, std::size_t window,
                                const OutView2D &out) {
    if (rows == 0) return;
    if (in.row_stride == 1) {
        // Column-major: each column is a contiguous stream; a few run side by side.
        constexpr std::size_t kWidth = 4;
        std::size_t c0 = 0;
        for (; c0 + kWidth <= cols; c0 += kWidth) rolling_columns<kWidth>(in, rows, c0, window, out);
        for (; c0 < cols; ++c0) rolling_columns<1>(in, rows, c0, window, out);
    } else {
        // Row-major: one state per column, rows read and written contiguously.
        std::vector<MeanState> state(cols);
        for (std::size_t c = 0; c < cols; ++c) state[c].prev = rolling_input(in(0, c));
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < cols; ++c) out(r, c) = rolling_step(state[c], in, r, c, window);
    }
    // The first row keeps the raw weights (an infinity included).
    for (std::size_t c = 0; c < cols; ++c) out(0, c) = in(0, c);
}

}  // namespace tessary::kernels

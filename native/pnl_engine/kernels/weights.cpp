// Passes over a date x stock weight matrix.
#include "common/daystep/weights.hpp"

#include "common/simd/simd_choice.hpp"
#include "pnl_engine/kernels/weights_simd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

namespace tessary::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double weight_at(const FloatView &w, std::int64_t row, std::size_t c) {
    return row < 0 ? kNaN : w((std::size_t)row, c);
}

inline double missing_as_zero(double v) { return std::isnan(v) ? 0.0 : v; }

/// 1 when a weight counts as held: present and not 0 (negative weights included).
inline double held_as_double(double v) { return (!std::isnan(v) & (v != 0.0)) ? 1.0 : 0.0; }

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

/// One row step of a column's rolling mean: `leaving` (row r - window, NaN when
/// there is none) leaves the window as `entering` (row r) joins it.
inline double rolling_step(MeanState &s, double leaving, double entering) {
    s.remove(rolling_input(leaving));
    s.add(rolling_input(entering));
    return s.mean();
}

/// Rolling means of W contiguous columns (`in[k][r]`, `out[k][r]`) walked down the
/// rows together: with W a small constant the states stay in registers and the
/// columns' dependent additions overlap.
template <std::size_t W>
void rolling_contiguous(const double *const *in, double *const *out, std::size_t rows, std::size_t window) {
    MeanState state[W];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < W; ++k) state[k].prev = rolling_input(in[k][0]);
    const std::size_t filling = std::min(window, rows);
    // While the window fills nothing leaves it.
    for (std::size_t r = 0; r < filling; ++r) {
#pragma GCC unroll 4
        for (std::size_t k = 0; k < W; ++k) out[k][r] = rolling_step(state[k], kNaN, in[k][r]);
    }
    for (std::size_t r = filling; r < rows; ++r) {
#pragma GCC unroll 4
        for (std::size_t k = 0; k < W; ++k) out[k][r] = rolling_step(state[k], in[k][r - window], in[k][r]);
    }
}

}  // namespace

namespace {

// The compiler keeps a NaN test a branch while it must preserve floating-point
// exception flags, and then the column passes below do not vectorise. Nothing here
// reads those flags; the results are the same (no reassociation, no contraction).
#if defined(__GNUC__) && !defined(__clang__)
#define TESSARY_NO_TRAPPING_MATH __attribute__((optimize("no-trapping-math")))
#else
#define TESSARY_NO_TRAPPING_MATH
#endif

/// Held-count and change contributions of the contiguous columns p0 .. p3 (p1 .. p3
/// may be null for a single column), added to count[r] and change[r]. The selects
/// are written out without branches so that the loop vectorises across dates; each
/// date's change still grows in column order.
TESSARY_NO_TRAPPING_MATH
void activity_columns(const double *p0, const double *p1, const double *p2, const double *p3, std::size_t n,
                      double *count, double *change) {
// HELD: present and not 0 (negative weights included); ZERO: a missing weight as 0.
// A NaN difference (inf - inf) is left out as +0, which changes no non-negative sum.
#define TESSARY_HELD(v) ((((v) == (v)) & ((v) != 0.0)) ? 1.0 : 0.0)
#define TESSARY_ZERO(v) ((v) == (v) ? (v) : 0.0)
    if (p1 == nullptr) {
        count[0] += TESSARY_HELD(p0[0]);
        for (std::size_t r = 1; r < n; ++r) {
            const double a = p0[r], b = p0[r - 1];
            const double d = std::fabs(TESSARY_ZERO(a) - TESSARY_ZERO(b));
            count[r] += TESSARY_HELD(a);
            change[r] += d == d ? d : 0.0;
        }
        return;
    }
    count[0] += TESSARY_HELD(p0[0]) + TESSARY_HELD(p1[0]) + TESSARY_HELD(p2[0]) + TESSARY_HELD(p3[0]);
    for (std::size_t r = 1; r < n; ++r) {
        const double a0 = p0[r], a1 = p1[r], a2 = p2[r], a3 = p3[r];
        const double b0 = p0[r - 1], b1 = p1[r - 1], b2 = p2[r - 1], b3 = p3[r - 1];
        double d0 = std::fabs(TESSARY_ZERO(a0) - TESSARY_ZERO(b0));
        double d1 = std::fabs(TESSARY_ZERO(a1) - TESSARY_ZERO(b1));
        double d2 = std::fabs(TESSARY_ZERO(a2) - TESSARY_ZERO(b2));
        double d3 = std::fabs(TESSARY_ZERO(a3) - TESSARY_ZERO(b3));
        d0 = d0 == d0 ? d0 : 0.0;
        d1 = d1 == d1 ? d1 : 0.0;
        d2 = d2 == d2 ? d2 : 0.0;
        d3 = d3 == d3 ? d3 : 0.0;
        count[r] += TESSARY_HELD(a0) + TESSARY_HELD(a1) + TESSARY_HELD(a2) + TESSARY_HELD(a3);
        change[r] = (((change[r] + d0) + d1) + d2) + d3;
    }
#undef TESSARY_HELD
#undef TESSARY_ZERO
}

/// True when the aligned dates are consecutive rows of the matrix, as when the
/// return dates are the signal dates less the first.
bool consecutive_rows(const std::int64_t *rows, std::size_t n) {
    if (rows[0] < 0) return false;
    for (std::size_t r = 1; r < n; ++r)
        if (rows[r] != rows[0] + (std::int64_t)r) return false;
    return true;
}

}  // namespace

void weight_activity(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                     double *count, double *change, int lanes) {
    std::fill(count, count + n, 0.0);
    std::fill(change, change + n, 0.0);
    if (n == 0) return;

    // Every traversal adds each date's changes in column order, so all give the same
    // sums; the choice only follows the memory layout.
    if (weights.row_stride == 1 && consecutive_rows(rows, n)) {
        // Column-major block on consecutive dates: every column is one contiguous slice.
        const std::size_t first = (std::size_t)rows[0];
        std::size_t c = 0;
        [[maybe_unused]] const bool wide = resolve_lanes(lanes) == 8;
        for (; c + 4 <= stocks; c += 4) {
            const double *p0 = &weights(first, c), *p1 = &weights(first, c + 1);
            const double *p2 = &weights(first, c + 2), *p3 = &weights(first, c + 3);
#if defined(TESSARY_WIDE_KERNELS)  // the vector files are built on x86-64 only
            if (wide) {
                weights_detail::activity_columns_8(p0, p1, p2, p3, n, count, change);
                continue;
            }
#endif
            activity_columns(p0, p1, p2, p3, n, count, change);
        }
        for (; c < stocks; ++c) activity_columns(&weights(first, c), nullptr, nullptr, nullptr, n, count, change);
        return;
    }

    // Any other layout or alignment: eight or four dates at a time where the processor allows;
    // then one date at a time across the stocks.
    std::size_t done = 0;
#if defined(TESSARY_WIDE_KERNELS)  // the vector files are built on x86-64 only
    if (resolve_lanes(lanes) == 8)
        done = weights_detail::activity_rows_8(weights, rows, n, stocks, count, change);
    else if (resolve_lanes(lanes) == 4)
        done = weights_detail::activity_rows_4(weights, rows, n, stocks, count, change);
#endif
    for (std::size_t r = done; r < n; ++r) {
        double held = 0.0, acc = 0.0;
        for (std::size_t c = 0; c < stocks; ++c) {
            const double v = weight_at(weights, rows[r], c);
            held += held_as_double(v);
            if (r > 0) acc += change_of(missing_as_zero(v), missing_as_zero(weight_at(weights, rows[r - 1], c)));
        }
        count[r] = held;
        change[r] = acc;
    }
}

namespace {

/// The rolling means of all `cols` columns of `in` into `out` (the first row not yet
/// replaced).
void rolling_block(const FloatView &in, std::size_t rows, std::size_t cols, std::size_t window,
                   const OutView2D &out, int lanes) {
    const bool column_major = in.row_stride == 1 && out.row_stride == 1;
    [[maybe_unused]] const bool row_major = in.col_stride == 1 && out.col_stride == 1;
    // Eight or four columns at a time where the processor and the layouts allow; the
    // rest (and everything on other processors) one or two columns at a time.
    std::size_t first = 0;
#if defined(TESSARY_WIDE_KERNELS)  // the vector files are built on x86-64 only
    const int width = resolve_lanes(lanes);
    if (width == 8 && row_major) {
        weights_detail::rolling_rows_8(in, rows, cols / 8, window, out);
        first = cols - cols % 8;
    } else if (width == 8) {  // column-major, mixed or strided: eight columns down the rows
        for (; first + 8 <= cols; first += 8) weights_detail::rolling_columns_8(in, rows, first, window, out);
    } else if (width == 4 && row_major) {
        weights_detail::rolling_rows_4(in, rows, cols / 4, window, out);
        first = cols - cols % 4;
    } else if (width == 4) {
        for (; first + 4 <= cols; first += 4) weights_detail::rolling_columns_4(in, rows, first, window, out);
    }
#else
    (void)lanes;
#endif
    if (column_major) {
        // Column-major: each column is a contiguous stream; a few run side by side.
        constexpr std::size_t kWidth = 2;
        for (std::size_t c0 = first; c0 < cols; c0 += kWidth) {
            const std::size_t width = std::min(kWidth, cols - c0);
            const double *src[kWidth];
            double *dst[kWidth];
            for (std::size_t k = 0; k < kWidth; ++k) {
                const std::size_t c = c0 + std::min(k, width - 1);
                src[k] = &in(0, c);
                dst[k] = &out(0, c);
            }
            if (width == kWidth)
                rolling_contiguous<kWidth>(src, dst, rows, window);
            else
                for (std::size_t k = 0; k < width; ++k) rolling_contiguous<1>(src + k, dst + k, rows, window);
        }
    } else if (first < cols) {
        // Row-major (or mixed): one state per column, rows read across the columns.
        std::vector<MeanState> state(cols);
        for (std::size_t c = first; c < cols; ++c) state[c].prev = rolling_input(in(0, c));
        for (std::size_t r = 0; r < rows; ++r) {
            const bool leaves = r >= window;
            for (std::size_t c = first; c < cols; ++c)
                out(r, c) = rolling_step(state[c], leaves ? in(r - window, c) : kNaN, in(r, c));
        }
    }
}

/// Cells from which a matrix's columns are shared out between two threads.
constexpr std::size_t kCellsForTwoThreads = std::size_t{1} << 20;

}  // namespace

void rolling_mean_first_row_raw(const FloatView &in, std::size_t rows, std::size_t cols, std::size_t window,
                                const OutView2D &out, int lanes, int threads) {
    if (rows == 0) return;
    // Every column is computed on its own, so the columns may be split anywhere; the
    // split is kept on a multiple of eight so that both halves run full vectors.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const bool split = threads != 1 && cores > 1 && cols >= 16 && rows * cols >= kCellsForTwoThreads;
    const std::size_t half = split ? (cols / 2) / 8 * 8 : cols;
    auto right = [&] {
        const FloatView sub{in.data + (std::ptrdiff_t)half * in.col_stride, in.row_stride, in.col_stride};
        const OutView2D sub_out{out.data + (std::ptrdiff_t)half * out.col_stride, out.row_stride, out.col_stride};
        rolling_block(sub, rows, cols - half, window, sub_out, lanes);
    };
    std::thread other;
    bool alone = !split;
    if (split) {
        try {
            other = std::thread(right);
        } catch (const std::system_error &) {
            alone = true;  // no thread to be had: the calling thread does both halves
        }
    }
    rolling_block(in, rows, split ? half : cols, window, out, lanes);
    if (split && alone) right();
    if (other.joinable()) other.join();
    // The first row keeps the raw weights (an infinity included).
    for (std::size_t c = 0; c < cols; ++c) out(0, c) = in(0, c);
}

}  // namespace tessary::kernels

// Passes over the weights eight values per vector: the rolling mean (eight columns
// at a time) and the held-count and change pass (eight dates at a time, in either
// layout; row-major tiles are transposed in registers so that each lane is a date
// that sums its stocks in column order). Built with
// AVX-512 flags (see CMakeLists.txt); only called when the processor has them.
//
// Each lane carries one column's accumulator through the rows, with exactly the
// operations of the scalar MeanState in weights.cpp: the same compensated running
// sum, the same counts and the same guards on the mean, every branch of the scalar
// code turned into a select. A missing value leaves every part of the state as it
// was, as the scalar early return does.
//
// Column-major inputs have each column's rows adjacent, so eight columns are read as
// eight vectors of eight rows and transposed in registers into eight rows of eight
// columns (and the results transposed back); row-major inputs are walked row by row
// across all columns, one accumulator vector per eight columns.
#include <vector>

#include "common/simd/simd.hpp"
#include "common/simd/simd_transpose.hpp"
#include "pnl_engine/kernels/weights_simd.hpp"

namespace tessary::kernels::weights_detail {

namespace {

using namespace simd;
using D = Vec<8>::d;
using M = Vec<8>::m;

constexpr double kNaN = __builtin_nan("");
constexpr double kInf = __builtin_inf();

/// Eight columns' rolling-mean accumulators (counts held as exact doubles).
struct Lanes {
    D nobs, neg_ct, same_run, sum, comp_add, comp_remove, prev;
};

/// Infinities count as missing.
TESSARY_INLINE D rolling_input(D v) { return ((v == kInf) | (v == -kInf)) ? splat<8>(kNaN) : v; }

/// The sign bit, also of -0.0.
TESSARY_INLINE M sign_bit(D v) { return (M)v < 0; }

TESSARY_INLINE void remove(Lanes &s, D v) {
    const M ok = v == v;
    const D y = -v - s.comp_remove;
    const D t = s.sum + y;
    const D c = t - s.sum - y;
    s.nobs = ok ? s.nobs - 1.0 : s.nobs;
    s.sum = ok ? t : s.sum;
    s.comp_remove = ok ? c : s.comp_remove;
    s.neg_ct = ok & sign_bit(v) ? s.neg_ct - 1.0 : s.neg_ct;
}

TESSARY_INLINE void add(Lanes &s, D v) {
    const M ok = v == v;
    const D y = v - s.comp_add;
    const D t = s.sum + y;
    const D c = t - s.sum - y;
    s.nobs = ok ? s.nobs + 1.0 : s.nobs;
    s.sum = ok ? t : s.sum;
    s.comp_add = ok ? c : s.comp_add;
    s.neg_ct = ok & sign_bit(v) ? s.neg_ct + 1.0 : s.neg_ct;
    s.same_run = ok ? (v == s.prev ? s.same_run + 1.0 : splat<8>(1.0)) : s.same_run;
    s.prev = ok ? v : s.prev;
}

/// The scalar guards, applied from the last to the first so that the first that
/// holds decides.
TESSARY_INLINE D mean(const Lanes &s) {
    D m = s.sum / s.nobs;
    m = ((s.neg_ct == s.nobs) & (m > 0.0)) ? splat<8>(0.0) : m;
    m = ((s.neg_ct == 0.0) & (m < 0.0)) ? splat<8>(0.0) : m;
    m = s.same_run >= s.nobs ? s.prev : m;
    return s.nobs <= 0.0 ? splat<8>(kNaN) : m;
}

/// Rows r0 .. r0 + n - 1 of columns c0 .. c0 + 7 from `pending` (a vector per row)
/// into `out` in its layout: a full tile of a column-major output turned back in
/// registers, a row-major one row by row, anything else value by value.
void flush_rows(const D *pending, std::size_t n, std::size_t r0, std::size_t c0, const OutView2D &out) {
    if (n == 8 && out.row_stride == 1) {
        D cols[8];
        transpose8(pending, cols);
        for (int k = 0; k < 8; ++k) store<8>(&out(r0, c0 + k), cols[k]);
    } else if (out.col_stride == 1) {
        for (std::size_t j = 0; j < n; ++j) store<8>(&out(r0 + j, c0), pending[j]);
    } else {
        for (std::size_t j = 0; j < n; ++j)
            for (int k = 0; k < 8; ++k) out(r0 + j, c0 + k) = pending[j][k];
    }
}

}  // namespace

void rolling_columns_8(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out) {
    if (rows == 0) return;
    // The rows of the eight columns, missing values as NaN, transposed once into this
    // buffer, which also supplies the leaving values.
    std::vector<D> row_buf(rows);
    std::size_t r0 = 0;
    if (in.row_stride == 1) {  // column-major: 8 x 8 tiles turned in registers
        for (; r0 + 8 <= rows; r0 += 8) {
            D a[8], b[8];
            for (int k = 0; k < 8; ++k) a[k] = load<8>(&in(r0, c0 + k));
            transpose8(a, b);
            for (int j = 0; j < 8; ++j) row_buf[r0 + j] = rolling_input(b[j]);
        }
    } else if (in.col_stride == 1) {  // row-major: a row's eight columns lie together
        for (; r0 < rows; ++r0) row_buf[r0] = rolling_input(load<8>(&in(r0, c0)));
    }
    for (std::size_t r = r0; r < rows; ++r) {  // the rest, or a strided input, value by value
        D v;
        for (int k = 0; k < 8; ++k) v[k] = in(r, c0 + k);
        row_buf[r] = rolling_input(v);
    }

    const D zero = splat<8>(0.0);
    Lanes s{zero, zero, zero, zero, zero, zero, row_buf[0]};
    D pending[8];  // a tile of results waiting to be transposed back
    for (std::size_t r = 0; r < rows; ++r) {
        if (r >= window) remove(s, row_buf[r - window]);
        add(s, row_buf[r]);
        pending[r % 8] = mean(s);
        if (r % 8 == 7) flush_rows(pending, 8, r - 7, c0, out);
    }
    if (rows % 8 != 0) flush_rows(pending, rows % 8, rows - rows % 8, c0, out);
}

void rolling_rows_8(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                    const OutView2D &out) {
    if (rows == 0 || groups == 0) return;
    std::vector<Lanes> state(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        const D zero = splat<8>(0.0);
        state[g] = Lanes{zero, zero, zero, zero, zero, zero, rolling_input(load<8>(&in(0, 8 * g)))};
    }
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t g = 0; g < groups; ++g) {
            Lanes &s = state[g];
            if (r >= window) remove(s, rolling_input(load<8>(&in(r - window, 8 * g))));
            add(s, rolling_input(load<8>(&in(r, 8 * g))));
            store<8>(&out(r, 8 * g), mean(s));
        }
}

namespace {

/// 1 where a weight counts as held: present and not 0.
TESSARY_INLINE D held(D v) { return ((v == v) & (v != 0.0)) ? splat<8>(1.0) : splat<8>(0.0); }

/// |a - b| with missing weights as 0, and 0 for a NaN difference (inf - inf).
TESSARY_INLINE D change_of(D a, D b) {
    const D za = a == a ? a : splat<8>(0.0), zb = b == b ? b : splat<8>(0.0);
    const D d = (D)((M)(za - zb) & 0x7FFFFFFFFFFFFFFFLL);  // fabs
    return d == d ? d : splat<8>(0.0);
}

}  // namespace

void activity_columns_8(const double *p0, const double *p1, const double *p2, const double *p3, std::size_t n,
                        double *count, double *change) {
    auto held1 = [](double v) { return ((v == v) & (v != 0.0)) ? 1.0 : 0.0; };
    count[0] += held1(p0[0]) + held1(p1[0]) + held1(p2[0]) + held1(p3[0]);
    std::size_t r = 1;
    for (; r + 8 <= n; r += 8) {
        const D a0 = load<8>(p0 + r), a1 = load<8>(p1 + r), a2 = load<8>(p2 + r), a3 = load<8>(p3 + r);
        const D d0 = change_of(a0, load<8>(p0 + r - 1)), d1 = change_of(a1, load<8>(p1 + r - 1));
        const D d2 = change_of(a2, load<8>(p2 + r - 1)), d3 = change_of(a3, load<8>(p3 + r - 1));
        store<8>(count + r, load<8>(count + r) + (held(a0) + held(a1) + held(a2) + held(a3)));
        store<8>(change + r, (((load<8>(change + r) + d0) + d1) + d2) + d3);
    }
    for (; r < n; ++r) {
        auto d = [](double a, double b) {
            const double v = __builtin_fabs((a == a ? a : 0.0) - (b == b ? b : 0.0));
            return v == v ? v : 0.0;
        };
        count[r] += held1(p0[r]) + held1(p1[r]) + held1(p2[r]) + held1(p3[r]);
        change[r] = (((change[r] + d(p0[r], p0[r - 1])) + d(p1[r], p1[r - 1])) + d(p2[r], p2[r - 1])) +
                    d(p3[r], p3[r - 1]);
    }
}

std::size_t activity_rows_8(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                            double *count, double *change) {
    // A date the matrix lacks reads as a row of NaN.
    auto at = [&](std::int64_t row, std::size_t c) { return row < 0 ? kNaN : weights((std::size_t)row, c); };
    const bool row_major = weights.col_stride == 1;
    const std::size_t full = stocks - stocks % 8;
    std::size_t r0 = 0;
    for (; r0 + 8 <= n; r0 += 8) {
        const std::int64_t *date_rows = rows + r0;
        const std::int64_t before_row = r0 == 0 ? -1 : rows[r0 - 1];
        // Lane j is date r0 + j; the first date of all has no change (it stays +0).
        const M has_prev = r0 == 0 ? M{0, -1, -1, -1, -1, -1, -1, -1} : M{} - 1;
        D held_sum = splat<8>(0.0), change_sum = splat<8>(0.0);
        auto column = [&](D values, double before) {  // one stock on the eight dates
            const D prev = shift_up<8, 1>(values, splat<8>(before));
            held_sum += held(values);
            change_sum += has_prev ? change_of(values, prev) : splat<8>(0.0);
        };
        for (std::size_t c = 0; c < full; c += 8) {
            D cols[8];
            if (row_major) {  // eight dates' rows, turned in registers
                D tile[8];
                for (int j = 0; j < 8; ++j)
                    tile[j] = date_rows[j] < 0 ? splat<8>(kNaN) : load<8>(&weights((std::size_t)date_rows[j], c));
                transpose8(tile, cols);
            } else {  // column-major or strided: each column's eight dates gathered
                for (int k = 0; k < 8; ++k)
                    for (int j = 0; j < 8; ++j) cols[k][j] = at(date_rows[j], c + k);
            }
            for (int k = 0; k < 8; ++k) column(cols[k], at(before_row, c + k));
        }
        for (std::size_t c = full; c < stocks; ++c) {
            D values;
            for (int j = 0; j < 8; ++j) values[j] = at(date_rows[j], c);
            column(values, at(before_row, c));
        }
        store<8>(count + r0, held_sum);
        store<8>(change + r0, change_sum);
    }
    return r0;
}

}  // namespace tessary::kernels::weights_detail

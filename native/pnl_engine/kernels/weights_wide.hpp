// Passes over the weights W values per vector (W = 4 or 8), compiled into the AVX2
// and the AVX-512 files: the rolling mean W columns at a time and the held-count and
// change pass W dates at a time. Internal linkage, as everything in simd.hpp: each file
// built with its own instruction-set flags keeps its own copy.
//
// Each lane carries one column's accumulator through the rows, with exactly the
// operations of the scalar MeanState in weights.cpp: the same compensated running
// sum, the same counts and the same guards on the mean, every branch of the scalar
// code turned into a select. A missing value leaves every part of the state as it
// was, as the scalar early return does.
//
// Column-major inputs have each column's rows adjacent, so W columns are read as W
// vectors of W rows and transposed in registers into W rows of W columns (and the
// results transposed back); row-major inputs are walked row by row across the
// columns, one accumulator vector per W columns.
//
// The held-count and change pass makes each lane a date that sums its stocks in
// column order, as the scalar pass does: row-major tiles of W dates are transposed
// in registers, other layouts gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/daystep/weights.hpp"
#include "common/simd/simd.hpp"
#include "common/simd/simd_transpose.hpp"

namespace tessary::kernels::weights_detail {

namespace {

template <int W>
struct Rolling {
    using D = typename simd::Vec<W>::d;
    using M = typename simd::Vec<W>::m;

    /// W columns' rolling-mean accumulators (counts held as exact doubles).
    struct Lanes {
        D nobs, neg_ct, same_run, sum, comp_add, comp_remove, prev;
    };

    TESSARY_INLINE static D splat(double x) { return simd::splat<W>(x); }

    /// Infinities count as missing.
    TESSARY_INLINE static D input(D v) {
        const double inf = __builtin_inf();
        return ((v == inf) | (v == -inf)) ? splat(__builtin_nan("")) : v;
    }

    /// The sign bit, also of -0.0.
    TESSARY_INLINE static M sign_bit(D v) { return (M)v < 0; }

    TESSARY_INLINE static Lanes start(D first) {
        const D zero = splat(0.0);
        return Lanes{zero, zero, zero, zero, zero, zero, first};
    }

    TESSARY_INLINE static void remove(Lanes &s, D v) {
        const M ok = v == v;
        const D y = -v - s.comp_remove;
        const D t = s.sum + y;
        const D c = t - s.sum - y;
        s.nobs = ok ? s.nobs - 1.0 : s.nobs;
        s.sum = ok ? t : s.sum;
        s.comp_remove = ok ? c : s.comp_remove;
        s.neg_ct = ok & sign_bit(v) ? s.neg_ct - 1.0 : s.neg_ct;
    }

    TESSARY_INLINE static void add(Lanes &s, D v) {
        const M ok = v == v;
        const D y = v - s.comp_add;
        const D t = s.sum + y;
        const D c = t - s.sum - y;
        s.nobs = ok ? s.nobs + 1.0 : s.nobs;
        s.sum = ok ? t : s.sum;
        s.comp_add = ok ? c : s.comp_add;
        s.neg_ct = ok & sign_bit(v) ? s.neg_ct + 1.0 : s.neg_ct;
        s.same_run = ok ? (v == s.prev ? s.same_run + 1.0 : splat(1.0)) : s.same_run;
        s.prev = ok ? v : s.prev;
    }

    /// The scalar guards, applied from the last to the first so that the first that
    /// holds decides.
    TESSARY_INLINE static D mean(const Lanes &s) {
        D m = s.sum / s.nobs;
        m = ((s.neg_ct == s.nobs) & (m > 0.0)) ? splat(0.0) : m;
        m = ((s.neg_ct == 0.0) & (m < 0.0)) ? splat(0.0) : m;
        m = s.same_run >= s.nobs ? s.prev : m;
        return s.nobs <= 0.0 ? splat(__builtin_nan("")) : m;
    }

    /// Rows r0 .. r0 + n - 1 of columns c0 .. c0 + W - 1 from `pending` (a vector
    /// per row) into `out` in its layout: a full tile of a column-major output turned
    /// back in registers, a row-major one row by row, anything else value by value.
    static void flush_rows(const D *pending, std::size_t n, std::size_t r0, std::size_t c0, const OutView2D &out) {
        if (n == W && out.row_stride == 1) {
            D cols[W];
            simd::transpose<W>(pending, cols);
            for (int k = 0; k < W; ++k) simd::store<W>(&out(r0, c0 + k), cols[k]);
        } else if (out.col_stride == 1) {
            for (std::size_t j = 0; j < n; ++j) simd::store<W>(&out(r0 + j, c0), pending[j]);
        } else {
            for (std::size_t j = 0; j < n; ++j)
                for (int k = 0; k < W; ++k) out(r0 + j, c0 + k) = pending[j][k];
        }
    }

    /// Columns c0 .. c0 + W - 1, all rows, in any layouts of `in` and `out`.
    static void columns(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                        const OutView2D &out) {
        if (rows == 0) return;
        // The rows of the W columns, missing values as NaN, transposed once into this
        // buffer, which also supplies the leaving values.
        std::vector<D> row_buf(rows);
        std::size_t r0 = 0;
        if (in.row_stride == 1) {  // column-major: W x W tiles turned in registers
            for (; r0 + W <= rows; r0 += W) {
                D a[W], b[W];
                for (int k = 0; k < W; ++k) a[k] = simd::load<W>(&in(r0, c0 + k));
                simd::transpose<W>(a, b);
                for (int j = 0; j < W; ++j) row_buf[r0 + j] = input(b[j]);
            }
        } else if (in.col_stride == 1) {  // row-major: a row's W columns lie together
            for (; r0 < rows; ++r0) row_buf[r0] = input(simd::load<W>(&in(r0, c0)));
        }
        for (std::size_t r = r0; r < rows; ++r) {  // the rest, or a strided input, value by value
            D v;
            for (int k = 0; k < W; ++k) v[k] = in(r, c0 + k);
            row_buf[r] = input(v);
        }

        Lanes s = start(row_buf[0]);
        D pending[W];  // a tile of results waiting to be transposed back
        for (std::size_t r = 0; r < rows; ++r) {
            if (r >= window) remove(s, row_buf[r - window]);
            add(s, row_buf[r]);
            pending[r % W] = mean(s);
            if (r % W == W - 1) flush_rows(pending, W, r - (W - 1), c0, out);
        }
        if (rows % W != 0) flush_rows(pending, rows % W, rows - rows % W, c0, out);
    }

    /// Columns 0 .. W * groups - 1 of a row-major `in` and `out`, row by row.
    static void rows_across(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                            const OutView2D &out) {
        if (rows == 0 || groups == 0) return;
        std::vector<Lanes> state(groups);
        for (std::size_t g = 0; g < groups; ++g) state[g] = start(input(simd::load<W>(&in(0, W * g))));
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t g = 0; g < groups; ++g) {
                Lanes &s = state[g];
                if (r >= window) remove(s, input(simd::load<W>(&in(r - window, W * g))));
                add(s, input(simd::load<W>(&in(r, W * g))));
                simd::store<W>(&out(r, W * g), mean(s));
            }
    }
};

/// The held-count and change pass W dates per vector.
template <int W>
struct Activity {
    using D = typename simd::Vec<W>::d;
    using M = typename simd::Vec<W>::m;

    /// 1 where a weight counts as held: present and not 0.
    TESSARY_INLINE static D held(D v) { return ((v == v) & (v != 0.0)) ? simd::splat<W>(1.0) : simd::splat<W>(0.0); }

    /// |a - b| with missing weights as 0, and 0 for a NaN difference (inf - inf).
    TESSARY_INLINE static D change_of(D a, D b) {
        const D zero = simd::splat<W>(0.0);
        const D za = a == a ? a : zero, zb = b == b ? b : zero;
        const D d = (D)((M)(za - zb) & 0x7FFFFFFFFFFFFFFFLL);  // fabs
        return d == d ? d : zero;
    }

    /// Count and change of the dates 0 .. n - 1 whose rows are `rows` (-1: a row of
    /// NaN), W dates at a time: the number of dates done (a multiple of W).
    static std::size_t rows_of(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                               double *count, double *change) {
        const double nan = __builtin_nan("");
        auto at = [&](std::int64_t row, std::size_t c) { return row < 0 ? nan : weights((std::size_t)row, c); };
        const bool row_major = weights.col_stride == 1;
        const std::size_t full = stocks - stocks % W;
        M not_first{};  // lanes 1 .. W - 1: the first date of all has no change (it stays +0)
        for (int j = 1; j < W; ++j) not_first[j] = -1;
        std::size_t r0 = 0;
        for (; r0 + W <= n; r0 += W) {
            const std::int64_t *date_rows = rows + r0;
            const std::int64_t before_row = r0 == 0 ? -1 : rows[r0 - 1];
            const M has_prev = r0 == 0 ? not_first : M{} - 1;
            D held_sum = simd::splat<W>(0.0), change_sum = simd::splat<W>(0.0);
            auto column = [&](D values, double before) {  // one stock on the W dates
                const D prev = simd::shift_up<W, 1>(values, simd::splat<W>(before));
                held_sum += held(values);
                change_sum += has_prev ? change_of(values, prev) : simd::splat<W>(0.0);
            };
            for (std::size_t c = 0; c < full; c += W) {
                D cols[W] = {};  // every lane set below (the compiler cannot tell)
                if (row_major) {  // W dates' rows, turned in registers
                    D tile[W];
                    for (int j = 0; j < W; ++j)
                        tile[j] = date_rows[j] < 0 ? simd::splat<W>(nan)
                                                   : simd::load<W>(&weights((std::size_t)date_rows[j], c));
                    simd::transpose<W>(tile, cols);
                } else {  // column-major or strided: each column's W dates gathered
                    for (int k = 0; k < W; ++k)
                        for (int j = 0; j < W; ++j) cols[k][j] = at(date_rows[j], c + k);
                }
                for (int k = 0; k < W; ++k) column(cols[k], at(before_row, c + k));
            }
            for (std::size_t c = full; c < stocks; ++c) {
                D values;
                for (int j = 0; j < W; ++j) values[j] = at(date_rows[j], c);
                column(values, at(before_row, c));
            }
            simd::store<W>(count + r0, held_sum);
            simd::store<W>(change + r0, change_sum);
        }
        return r0;
    }
};

}  // namespace

}  // namespace tessary::kernels::weights_detail

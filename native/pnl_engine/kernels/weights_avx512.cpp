// Passes over the weights eight values per vector: the rolling mean (eight columns
// at a time, see weights_rolling_wide.hpp) and the held-count and change pass (eight
// dates at a time, in either layout; row-major tiles are transposed in registers so
// that each lane is a date that sums its stocks in column order). Built with
// AVX-512 flags (see CMakeLists.txt); only called when the processor has them.
#include <vector>

#include "common/simd/simd.hpp"
#include "common/simd/simd_transpose.hpp"
#include "pnl_engine/kernels/weights_rolling_wide.hpp"
#include "pnl_engine/kernels/weights_simd.hpp"

namespace tessary::kernels::weights_detail {

namespace {

using namespace simd;
using D = Vec<8>::d;
using M = Vec<8>::m;

constexpr double kNaN = __builtin_nan("");

}  // namespace

void rolling_columns_8(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out) {
    Rolling<8>::columns(in, rows, c0, window, out);
}

void rolling_rows_8(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                    const OutView2D &out) {
    Rolling<8>::rows_across(in, rows, groups, window, out);
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

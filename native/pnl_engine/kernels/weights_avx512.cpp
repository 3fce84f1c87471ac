// Passes over the weights eight values per vector (see weights_wide.hpp), and the
// held-count and change pass down four contiguous columns eight dates at a time.
// Built with AVX-512 flags (see CMakeLists.txt); only called when the processor has
// them.
#include <vector>

#include "common/simd/simd.hpp"
#include "common/simd/simd_transpose.hpp"
#include "pnl_engine/kernels/weights_wide.hpp"
#include "pnl_engine/kernels/weights_simd.hpp"

namespace tessary::kernels::weights_detail {

namespace {

using namespace simd;
using D = Vec<8>::d;

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

TESSARY_INLINE D held(D v) { return Activity<8>::held(v); }
TESSARY_INLINE D change_of(D a, D b) { return Activity<8>::change_of(a, b); }

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
    return Activity<8>::rows_of(weights, rows, n, stocks, count, change);
}

}  // namespace tessary::kernels::weights_detail

// The rolling mean of the weights four columns per vector and the held-count and
// change pass four dates per vector (see weights_wide.hpp). Built with AVX2 flags (see CMakeLists.txt); only called
// when the processor has them.
#include "pnl_engine/kernels/weights_wide.hpp"
#include "pnl_engine/kernels/weights_simd.hpp"

namespace tessary::kernels::weights_detail {

void rolling_columns_4(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out) {
    Rolling<4>::columns(in, rows, c0, window, out);
}

void rolling_rows_4(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                    const OutView2D &out) {
    Rolling<4>::rows_across(in, rows, groups, window, out);
}

std::size_t activity_rows_4(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                            double *count, double *change) {
    return Activity<4>::rows_of(weights, rows, n, stocks, count, change);
}

}  // namespace tessary::kernels::weights_detail

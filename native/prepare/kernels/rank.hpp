// Cross-sectional ranks: average ranks of ties, NaN kept, along each row.
#pragma once

#include <cstddef>

#include "common/strided.hpp"

namespace tessary::kernels {

/// Ranks each row of the row-major rows x cols matrix in place: ascending ranks
/// 1, 2, ... over the non-NaN cells, ties sharing the average of their ranks, NaN
/// cells left NaN.
void rank_rows_average(double *values, std::size_t rows, std::size_t cols);

/// out (row-major rows x cols) = rank along each row of the forward open-to-open
/// return open[r + 2] / open[r + 1] - 1, with +-inf as NaN; the last two rows are NaN.
void forward_return_rank(const FloatView &open, std::size_t rows, std::size_t cols, double *out);

}  // namespace tessary::kernels

// Trailing sums over dates, one per stock.
#pragma once

#include <cstddef>

#include "strategies/kernels/views.hpp"

namespace tessary::strategies {

/// out[r * cols + c] = sum of the present values of column c over rows
/// r - window + 1 .. r (fewer at the start), NaN when fewer than `min_periods` values
/// are present (0 when none are present and `min_periods` is 0). NaN and +-inf are
/// missing. window >= 1, min_periods <= window.
///
/// The running sum, its separate compensation terms for additions and removals and
/// the exact result for a window of equal values are those of pandas' rolling sum,
/// so the results equal pandas' to the last bit, however long the series.
void rolling_sum(const Values &in, std::size_t rows, std::size_t cols, std::size_t window,
                 std::size_t min_periods, double *out);

}  // namespace tessary::strategies

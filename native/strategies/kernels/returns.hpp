// Per-stock daily total returns from close prices, previous closes, split multipliers
// and cash dividends.
#pragma once

#include <cstddef>

#include "strategies/kernels/views.hpp"

namespace tessary::strategies {

/// out[r * cols + c] = (close x split + dividend) / prev - 1 for every cell, with a
/// missing (NaN) split taken as 1 and a missing dividend as 0; a result that is not
/// finite (missing or zero previous close, missing close) is NaN. The operations run
/// in exactly this order, so the values equal numpy's for the same formula.
void total_return(const Values &close, const Values &prev, const Values &split, const Values &dividend,
                  std::size_t rows, std::size_t cols, double *out);

}  // namespace tessary::strategies

// Constituent masks: 1.0 for a member, NaN otherwise.
#pragma once

#include <cstddef>

#include "common/strided.hpp"

namespace tessary::kernels {

/// out (column-major rows x cols) = 1.0 where the value is finite and non-zero,
/// NaN where it is zero, NaN or infinite.
void component_mask(const FloatView &values, std::size_t rows, std::size_t cols, double *out);

}  // namespace tessary::kernels

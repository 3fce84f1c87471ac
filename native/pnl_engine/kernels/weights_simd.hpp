// Wide-vector variants of the weight-matrix passes. Internal to the kernels.
#pragma once

#include <cstddef>

#include "pnl_engine/kernels/weights.hpp"

namespace tessary::kernels::weights_detail {

/// The rolling mean of columns c0 .. c0 + 7, all rows, eight columns per vector
/// (AVX-512; only call when the processor has it). `in` and `out` must share a
/// layout with either rows or columns contiguous. Bit for bit the scalar pass.
void rolling_columns_8(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out);

}  // namespace tessary::kernels::weights_detail

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

/// Held-count and change contributions of the contiguous columns p0 .. p3, added to
/// count[r] and change[r] for r < n, eight dates per vector (AVX-512; only call when
/// the processor has it). Bit for bit the scalar pass: each date's change grows in
/// column order.
void activity_columns_8(const double *p0, const double *p1, const double *p2, const double *p3, std::size_t n,
                        double *count, double *change);

}  // namespace tessary::kernels::weights_detail

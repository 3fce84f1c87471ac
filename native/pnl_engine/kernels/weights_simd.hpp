// Wide-vector variants of the weight-matrix passes. Internal to the kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/daystep/weights.hpp"

namespace tessary::kernels::weights_detail {

/// The rolling mean of columns c0 .. c0 + 7, all rows, eight columns per vector
/// (AVX-512; only call when the processor has it). `in` and `out` in any layout
/// (column-major ones are turned in 8 x 8 tiles, row-major ones read a row at a time,
/// strided ones value by value). Bit for bit the scalar pass.
void rolling_columns_8(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out);

/// The rolling mean of columns 0 .. 8 * groups - 1 of a row-major `in` and `out`
/// (column stride 1), all rows, walked row by row across the columns so that every
/// row is read and written as one contiguous piece. Bit for bit the scalar pass.
void rolling_rows_8(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                    const OutView2D &out);

/// The same two passes four columns per vector (AVX2; only call when the processor
/// has it). Bit for bit the scalar pass.
void rolling_columns_4(const FloatView &in, std::size_t rows, std::size_t c0, std::size_t window,
                       const OutView2D &out);
void rolling_rows_4(const FloatView &in, std::size_t rows, std::size_t groups, std::size_t window,
                    const OutView2D &out);

/// Held-count and change contributions of the contiguous columns p0 .. p3, added to
/// count[r] and change[r] for r < n, eight dates per vector (AVX-512; only call when
/// the processor has it). Bit for bit the scalar pass: each date's change grows in
/// column order.
void activity_columns_8(const double *p0, const double *p1, const double *p2, const double *p3, std::size_t n,
                        double *count, double *change);

/// Held count and change of the dates 0 .. n - 1 of a block in any layout whose date
/// r is row rows[r] (-1: a date the block lacks), eight dates per vector: count[r]
/// and change[r] for r below the returned number of dates (a multiple of 8; the
/// caller does the rest). Row-major tiles are turned in registers, others gathered.
/// Each date's change grows in column order, as in the scalar pass.
std::size_t activity_rows_8(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                            double *count, double *change);

/// The same four dates per vector (AVX2; only call when the processor has it).
std::size_t activity_rows_4(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                            double *count, double *change);

}  // namespace tessary::kernels::weights_detail

// Passes over a date x stock weight matrix: the daily number of held stocks, the daily
// one-sided weight change, and the trailing rolling-mean smoothing of the weights.
//
// Plain C++ on strided buffers (pandas hands out row-major and column-major blocks),
// no Python object touched: safe to run with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/strided.hpp"

namespace tessary::kernels {

/// For each aligned date r, whose weights are row `rows[r]` of `weights` (a negative
/// entry: a date the matrix lacks, all weights missing):
///   count[r]  = number of stocks whose weight is present (not NaN) and not 0;
///   change[r] = sum over stocks, in column order, of |w[r] - w[r-1]| with missing
///               weights taken as 0, leaving out a NaN difference (inf - inf);
///               change[0] = 0.
/// Counts are whole numbers held in doubles (exact far beyond any matrix width).
/// On processors with AVX-512 every layout and alignment goes eight dates per vector
/// (column-major blocks on consecutive dates straight down the columns, others in
/// transposed or gathered tiles); with AVX2 the blocks other than column-major ones on
/// consecutive dates go four dates per vector. `lanes` 1 forces the scalar pass (for
/// the tests), 4 or 8 that width where supported, 0 takes the process's width
/// (simd_choice.hpp). The results are the same bit for bit.
void weight_activity(const FloatView &weights, const std::int64_t *rows, std::size_t n, std::size_t stocks,
                     double *count, double *change, int lanes = 0);

/// A writable 2-D buffer with element strides.
struct OutView2D {
    double *data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    // Always inlined: it is also compiled into files built for wider instruction sets.
    [[gnu::always_inline]] double &operator()(std::size_t r, std::size_t c) const {
        return data[(std::ptrdiff_t)r * row_stride + (std::ptrdiff_t)c * col_stride];
    }
};

/// Trailing mean over `window` rows (window >= 1) of each column, counting only
/// present values (NaN and +-inf are missing), NaN where a window has none; then the
/// first row is the input's first row unchanged.
///
/// The running sum, its compensation terms and the guards on the result are those
/// of pandas' rolling mean, so long windows drift exactly as pandas does. On
/// processors with AVX-512 (AVX2) eight (four) columns go through at a time whatever
/// the layouts of `in` and `out` (row-major pairs row by row across the columns,
/// every other mix down the columns in tiles). `lanes` 1 forces the one-column pass,
/// 4 or 8 that vector width where supported, 0 takes the process's width
/// (simd_choice.hpp); the results are the same bit for bit. Matrices of a million
/// cells or more have their columns shared out between two threads unless `threads`
/// is 1 (each column is computed alone, so the results do not depend on it).
void rolling_mean_first_row_raw(const FloatView &in, std::size_t rows, std::size_t cols, std::size_t window,
                                const OutView2D &out, int lanes = 0, int threads = 0);

}  // namespace tessary::kernels

// Per-date portfolio selection: the top share of the stocks by a score, equal weights
// for the chosen stocks, and holding the weights between rebalance dates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "strategies/kernels/views.hpp"

namespace tessary::strategies {

/// For each row r with pick[r] nonzero (a rebalance date): the candidates are the
/// columns whose score is finite and, when `eligible` has data, whose eligible flag is
/// set and, when `present` has data, whose value there is not NaN (such as a close
/// price on that date). With n candidates and n >= min_count, the row holds
///     count[r] = max(min_count, (int64) (n x share))
/// stocks: the first min(count[r], n) candidates ordered by score (largest first when
/// `largest`, else smallest first), equal scores by `code_rank` (ascending: the stock
/// codes' sort order), written as 1 in `chosen` (row-major, rows x cols). Other rows,
/// rows with fewer than `min_count` candidates and rows whose count would be 0 (a
/// share too small with min_count 0) get count[r] = 0 and no 1s.
void top_share(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
               const std::int64_t *code_rank,
               std::size_t rows, std::size_t cols, double share, std::int64_t min_count, bool largest,
               std::uint8_t *chosen, std::int64_t *count);

/// top_share, equal_weights and hold_forward (fill 0) in one pass, without the
/// chosen and NaN matrices between them: a row with a selection holds 1 / count[r]
/// on its chosen stocks and 0 elsewhere, every other row the row above (0 before the
/// first selection). Row-major output, rows x cols.
void top_share_held(const Values &score, const Flags &eligible, const Values &present, const std::uint8_t *pick,
                    const std::int64_t *code_rank, std::size_t rows, std::size_t cols, double share,
                    std::int64_t min_count, bool largest, double *out);

/// Equal weights of the chosen stocks (row-major, rows x cols): 1 / count[r] for a
/// chosen stock and 0 for the others on a row with count[r] > 0; NaN on every other
/// row (no decision that date).
void equal_weights(const Flags &chosen, const std::int64_t *count, std::size_t rows, std::size_t cols, double *out);

/// Each column forward-filled down the dates: a NaN takes the last present value
/// above it, and `fill` before the first one (row-major output, rows x cols).
void hold_forward(const Values &in, std::size_t rows, std::size_t cols, double fill, double *out);

}  // namespace tessary::strategies

// The two walks of the recording pass over the cells, one per layout of the
// inputs. Internal to the pass (record_pass.cpp chooses).
#pragma once

#include <cstddef>
#include <functional>

#include "records/kernels/record_cell.hpp"

namespace tessary::kernels::record_detail {

/// Where a walk hands each block's sums of products: called block after block (in
/// stock order) for each stretch of days the walk takes at once, with the block's
/// sums of days i0 .. i0 + n - 1 in sums[k * kTerms + term] for day i0 + k.
using BlockSums = std::function<void(std::size_t i0, std::size_t n, const double *sums)>;

/// Both walks cover the stocks [begin, end) (`begin` starts a block of 64), write
/// `out`'s tables in date order (stocks in order within a date) and its daily totals
/// other than the profit over those stocks, and hand the block sums to `sums`.
///
/// Date by date in tiles of kTileDays days (record_rows.cpp): for inputs whose
/// stocks are adjacent, or any other layout.
void walk_rows(const VwapInputs &in, const PassRates &p, std::size_t begin, std::size_t end, const BlockSums &sums,
               VwapRecords &out);

/// Down the columns in tiles of days (record_columns.cpp): for inputs whose days
/// are adjacent.
void walk_columns(const VwapInputs &in, const PassRates &p, std::size_t begin, std::size_t end,
                  const BlockSums &sums, VwapRecords &out);

}  // namespace tessary::kernels::record_detail

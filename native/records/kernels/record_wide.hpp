// The recording pass's step on four stocks at once, for the walk date by date on
// row-major inputs: the held or busy stocks of a block's bit word are taken four at a
// time (gathered from wherever they lie in the day's rows), stepped side by side
// with AVX2, and their records written in stock order. Internal to the pass.
//
// Every lane performs exactly the scalar step's operations (record_cell.hpp) in its
// order, and the block sums and day totals are added lane after lane in stock order,
// so the records and totals are those of the scalar step to the bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/kernels/record_cell.hpp"

namespace tessary::kernels::record_detail {

/// Records a table needs room for beyond one per stock of a block's word.
constexpr std::size_t kWideSlack = 3;

/// True when this build has the four-stock step and the vector width chosen for the
/// process (TESSARY_SIMD, else the processor's widest) is AVX2 or wider.
bool wide_step_available();

/// Stocks s0 + j of day i for each bit j of `word` (s0 a block's first stock), in
/// stock order, on row-major inputs: each one's holding (holding[j]) stepped, its
/// products added to acc[0 .. kTerms), its records written through `w` and its
/// trades to `day`, as record_cell and idle_cell do. Returns the bits of the stocks
/// held afterwards. The tables need room for three records more than the stocks of
/// the word (a group of four is written whole and the cursor moved over the records
/// kept).
std::uint64_t step_stocks_wide(const UnitInputs<1> &in, const PassRates &p, std::size_t i, std::size_t s0,
                               std::uint64_t word, double *holding, double *acc, Writers &w, DayTotals &day);

}  // namespace tessary::kernels::record_detail

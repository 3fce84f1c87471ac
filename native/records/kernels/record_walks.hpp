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

/// Both walks write `out`'s tables in date order (stocks in order within a date)
/// and its daily totals other than the profit, and hand the block sums to `sums`.
/// On two threads, a walk that finds itself squeezed (see Squeeze), or reaches day
/// `one_from`, goes on on one thread from the next tile of days.
///
/// Date by date in tiles of kTileDays days (record_rows.cpp): for inputs whose
/// stocks are adjacent, or any other layout. `threads` 2 walks tiles of days of the
/// two halves of the stocks on two threads (the records and sums handed on are the
/// same).
void walk_rows(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads,
               std::size_t one_from);

/// Down the columns in tiles of days (record_columns.cpp): for inputs whose days
/// are adjacent. `threads` 2 walks each tile's two halves of the stocks on two
/// threads (the records and sums handed on are the same).
/// `wide`: when every input is column-major, walk each stock eight days a vector
/// (walk_stock_wide; the caller checked that the processor has AVX-512 and that the
/// capital is positive and the lot at least one).
void walk_columns(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads,
                  bool wide, std::size_t one_from);

/// Room in each of `tile`'s tables for `n` more records.
void reserve_tile(VwapRecords &tile, std::size_t n);

/// One cell by the scalar walks' step, its products added to acc[0 .. kTerms), its
/// trade and position to `day`, and its records written onto `tile` (which must have
/// room for one more in each table).
void step_cell(const VwapInputs &in, const PassRates &p, std::size_t i, std::size_t s, double &holding, double *acc,
               DayTotals &day, VwapRecords &tile);

/// The day totals that walk_stock_wide adds up.
constexpr std::size_t kTotals = 5;

#if defined(TESSARY_WIDE_KERNELS)
/// One stock down days i0 .. i0 + n - 1 of a tile of column-major inputs, eight days
/// a vector (record_columns_avx512.cpp; AVX-512 only, a positive capital and a lot
/// of at least one): adds the products of day i0 + k to partial[term * stride + k],
/// its bought and sold value, commission, levy and held count (kTotals, in that
/// order) to totals[total * stride + k], and writes the records onto `tile`, in date
/// order, after what is there.
void walk_stock_wide(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t s,
                     double &holding, double *partial, double *totals, std::size_t stride, VwapRecords &tile);
#endif

}  // namespace tessary::kernels::record_detail

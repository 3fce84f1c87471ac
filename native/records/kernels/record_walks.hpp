// The two walks of the recording pass over the cells, one per layout of the
// inputs. Internal to the pass (record_pass.cpp chooses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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
/// capital is positive and the lot at least one); on one thread, walk by groups of
/// days instead (walk_groups).
void walk_columns(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, int threads,
                  bool wide, std::size_t one_from);

/// Down the days of column-major inputs on one thread, in groups of eight days,
/// each group walking only the stocks held before it or busy in it, in stock order,
/// eight days a vector (record_groups.cpp; only where walk_columns may go `wide`,
/// and every input is column-major): the records come out in date order, and the
/// inputs' lines of a group are asked for a few stocks ahead. The records and sums
/// are those of walk_columns. Walks days `from` .. (a multiple of kGroupDays) on,
/// each stock holding holding[s] at the start, and leaves the holdings there.
void walk_groups(const VwapInputs &in, const PassRates &p, const BlockSums &sums, VwapRecords &out, std::size_t from,
                 double *holding);

/// Room in each of `tile`'s tables for `n` more records.
void reserve_tile(VwapRecords &tile, std::size_t n);

/// Room in `t` for `n` more records, which end the first `done` of `days` days of
/// a market of `stocks` stocks: sized as reserve_at_rate does (for the files built
/// for wider instruction sets, which call no template shared with other files).
void reserve_more(RecordTable<1> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks);
void reserve_more(RecordTable<2> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks);
void reserve_more(RecordTable<5> &t, std::size_t n, std::size_t done, std::size_t days, std::size_t stocks);

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

/// Days per group of the walk of a list of stocks: a vector.
constexpr std::size_t kGroupDays = 8;

/// One table's records of a group of days, as the walk of a list of stocks leaves
/// them: per entry e of the list (a stock), the group's eight days of column c at
/// value[c][8e ..], one vector, with bit k of keep[e] set where day k has a record
/// and, for trades, of sell[e] where that record is a sell. Lanes not kept hold
/// whatever the walk computed.
template <std::size_t N>
struct StagedTable {
    std::vector<double> value[N];
    std::vector<std::uint8_t> keep, sell;

    void size_for(std::size_t entries) {
        for (auto &v : value) v.resize(kGroupDays * entries);
        keep.assign(entries, 0);
        sell.assign(entries, 0);
    }
};

/// The three large tables of a group, staged (see StagedTable), with the scratch of
/// putting them onto the tables; refusals, which are few, go onto a tile's table.
struct GroupStage {
    StagedTable<5> trades;
    StagedTable<2> positions;
    StagedTable<5> pnl;
    std::vector<std::uint8_t> day_keep, day_sell;  // per block of eight entries and day: stock bits

    /// Room for a list of up to `stocks` stocks, rounded up to whole blocks of eight.
    void size_for(std::size_t stocks) {
        const std::size_t entries = (stocks + 7) / 8 * 8;
        trades.size_for(entries);
        positions.size_for(entries);
        pnl.size_for(entries);
        day_keep.assign(entries, 0);
        day_sell.assign(entries, 0);
    }
};

/// Stocks list[0 .. count) (rising; entries `first` .. of the group's list) over
/// days i0 .. i0 + n - 1 (n at most kGroupDays) of column-major inputs, eight days a
/// vector (AVX-512 only, as walk_stock_wide): their products added to
/// partial[term * 8 + k] and their totals to totals[total * 8 + k], as
/// walk_stock_wide adds them; their records staged in `stage` at their entries,
/// refusals written onto `tile`'s table. Each stock walked first asks for the lines
/// of the next of `ahead[0 .. ahead_count)`.
void walk_list_wide(const VwapInputs &in, const PassRates &p, std::size_t i0, std::size_t n, std::size_t first,
                    const std::uint32_t *list, std::size_t count, const std::uint32_t *ahead, std::size_t ahead_count,
                    double *holding, double *partial, double *totals, GroupStage &stage, VwapRecords &tile);

/// The staged records of entries 0 .. count of `list` (rising stocks) over days
/// i0 .. i0 + n - 1, and the refusals on `tile`, appended to `out`'s tables in date
/// order, stocks in order within a date (AVX-512 only); the tile's refusals are
/// emptied. The tables grow as reserve_more sizes them over the market's days.
void flush_group_wide(VwapRecords &out, GroupStage &stage, const std::uint32_t *list, std::size_t count,
                      std::size_t i0, std::size_t n, VwapRecords &tile, std::size_t days, std::size_t stocks);
#endif

}  // namespace tessary::kernels::record_detail

// Tiles of records made apart, appended to the tables in date order, and the
// runner of two threads. Internal to the recording pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "records/kernels/record_cell.hpp"

namespace tessary::kernels::record_detail {

/// Runs `first` here and `second` on a new thread, when one can be started (else
/// here, after `first`); rethrows what either threw once both are done.
template <class F, class G>
void run_both(F &&first, G &&second) {
    std::exception_ptr failed_second;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                second();
            } catch (...) {
                failed_second = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
        // No thread to be had: the work is done in turn.
    }
    std::exception_ptr failed_first;
    try {
        first();
    } catch (...) {
        failed_first = std::current_exception();
    }
    if (helper.joinable())
        helper.join();
    else
        try {
            second();
        } catch (...) {
            failed_second = std::current_exception();
        }
    if (failed_first) std::rethrow_exception(failed_first);
    if (failed_second) std::rethrow_exception(failed_second);
}

/// Scratch of the counting sort of a tile's records by date, kept from tile to tile
/// (one per thread that sorts).
struct TileOrder {
    std::vector<std::uint32_t> dest32;  // per record of the tile: its slot, while they fit 32 bits
    std::vector<std::size_t> dest64;
    std::vector<std::size_t> end;  // per day of the tile: the end of its slots
};

/// The size of the market walked: `days` dates by `stocks` stocks.
struct Market {
    std::size_t days, stocks;
};

/// The records of the tables `tiles[0 .. parts)` (`parts` 1 or 2), all of days
/// i0 .. i0 + n - 1 and each in stock order within each day (the parts cover ranges
/// of stocks in order), appended to `out`'s tables in date order: of each date all of
/// the first part's records, then the second's. A counting sort by date, column by
/// column. The tiles' tables are emptied for the next tile (their columns kept).
/// `two_threads`: the columns in two shares of about equal bytes a record (trades
/// and the first half of positions; pnl rows, refusals and the rest of positions),
/// one on this thread and one on another, each with its own scratch from `order`.
/// The tables grow as `reserve_projected` sizes them over the days of `m`.
/// `alongside` runs with the second share, before it (on the other thread when
/// `two_threads`): work of the tile that reads the tiles' tables or writes nothing
/// the sort touches.
void append_tiles(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Market &m, TileOrder (&order)[2], bool two_threads, const std::function<void()> &alongside);

/// Per day of a tile, the end of that day's records in each table of one part's
/// tile (records in date order): the runs that `append_runs` copies.
struct DayEnds {
    std::size_t trades, blocked, positions, pnl;
};

/// The records of `tiles[0 .. 2)`, each in date order with the end of each of days
/// i0 .. i0 + n - 1 in `ends[part][k]` (the first part's stocks before the
/// second's), appended to `out`'s tables in date order: of each date the first
/// part's run, then the second's, each copied whole. The tiles' tables are emptied
/// for the next tile (their columns kept). `two_threads`: the columns in the two
/// shares of `append_tiles`, one on this thread and one on another. The tables grow
/// as `reserve_projected` sizes them over the days of `m`. `alongside` as for
/// `append_tiles`.
void append_runs(VwapRecords &out, VwapRecords *const *tiles, const DayEnds *const *ends, std::size_t i0,
                 std::size_t n, const Market &m, bool two_threads, const std::function<void()> &alongside);

/// Adds the trades and positions of `tile` (in stock order within each day) to the
/// day totals `day` of days i0 .., as the walk adds them: NaN values left out, a levy
/// only on sells.
void add_to_totals(const VwapRecords &tile, std::size_t i0, DayTotals *day);

/// Writes the day totals `day` of days i0 .. i0 + n - 1 into `out`'s daily columns.
void set_totals(VwapRecords &out, std::size_t i0, std::size_t n, const DayTotals *day);

}  // namespace tessary::kernels::record_detail

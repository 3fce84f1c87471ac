// Tiles of records made apart, appended to the tables in date order, and the
// runner of two threads. Internal to the recording pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "records/kernels/record_cell.hpp"
#include "records/kernels/record_helper.hpp"

namespace tessary::kernels::record_detail {

/// Scratch of the counting sort of a tile's records by date, kept from tile to tile
/// (one per thread that sorts).
struct TileOrder {
    std::vector<std::uint32_t> dest32;  // per record of the tile: its slot, while they fit 32 bits
    std::vector<std::size_t> dest64;
    std::vector<std::size_t> end;  // per day of the tile: the end of its slots
};

/// What a pass that puts tiles of records onto its tables needs besides them: the
/// tiles' own tables (one per part) and the sort's scratch (one per thread). Taken
/// from what an earlier pass left and left for the next one: these grow to one
/// tile's records, and growing them afresh each pass cost fresh pages every time
/// (5 to 9 % of a large pass). At most two sets are kept (two passes may run
/// at once on different threads); a set of a pass that ends with two kept is freed.
struct TileScratch {
    VwapRecords tile[2];
    TileOrder order[2];
};

/// A TileScratch for the length of one pass, its tables empty.
class ScratchLease {
public:
    ScratchLease();
    ~ScratchLease();
    ScratchLease(const ScratchLease &) = delete;
    ScratchLease &operator=(const ScratchLease &) = delete;
    TileScratch &operator*() const { return *s_; }
    TileScratch *operator->() const { return s_.get(); }

private:
    std::unique_ptr<TileScratch> s_;
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
/// The columns go in two shares of about equal bytes a record (trades and the
/// first half of positions; pnl rows, refusals and the rest of positions), one on
/// this thread and one on `helper`'s (in turn without one), each with its own
/// scratch from `order`.
/// The tables grow as `reserve_projected` sizes them over the days of `m`, at the
/// rate of the records so far including the tile's. `alongside` runs with the
/// second share, before it (on the helper's thread when there is one): work of the
/// tile that reads the tiles' tables or writes nothing the sort touches.
void append_tiles(VwapRecords &out, VwapRecords *const *tiles, std::size_t parts, std::size_t i0, std::size_t n,
                  const Market &m, TileOrder (&order)[2], Helper &helper, const std::function<void()> &alongside);

/// Per day of a tile, the end of that day's records in each table of one part's
/// tile (records in date order): the runs that `append_runs` copies.
struct DayEnds {
    std::size_t trades, blocked, positions, pnl;
};

/// The records of `tiles[0 .. 2)`, each in date order with the end of each of days
/// i0 .. i0 + n - 1 in `ends[part][k]` (the first part's stocks before the
/// second's), appended to `out`'s tables in date order: of each date the first
/// part's run, then the second's, each copied whole. The tiles' tables are emptied
/// for the next tile (their columns kept). The columns go in the two shares of
/// `append_tiles`, one on this thread and one on `helper`'s. The tables grow
/// and `alongside` runs as for `append_tiles`.
void append_runs(VwapRecords &out, VwapRecords *const *tiles, const DayEnds *const *ends, std::size_t i0,
                 std::size_t n, const Market &m, Helper &helper, const std::function<void()> &alongside);

/// Adds the trades and positions of `tile` (in stock order within each day) to the
/// day totals `day` of days i0 .., as the walk adds them: NaN values left out, a levy
/// only on sells.
void add_to_totals(const VwapRecords &tile, std::size_t i0, DayTotals *day);

/// Writes the day totals `day` of days i0 .. i0 + n - 1 into `out`'s daily columns.
void set_totals(VwapRecords &out, std::size_t i0, std::size_t n, const DayTotals *day);

}  // namespace tessary::kernels::record_detail

// Recording pass of the VWAP engine: the same day loop as the daily-return kernel,
// cell for cell the same arithmetic, but every trade, refused trade, position and
// profit contribution is written down as a record.
//
// Most cells need no work: a stock neither held nor wanted (no weight above zero)
// trades nothing and adds only signed zeros to the day's sums, unless its dividend
// is infinite (0 x inf is NaN). An idle scan (record_scan.hpp) tests weights and
// dividends eight at a time along the axis where they are adjacent, and only the
// cells it marks, and those of held stocks, read the other inputs. Each such cell
// (record_cell.hpp) writes its records through raw cursors into the tables, every
// table reserved once per day (or per stock and tile) for one record per cell.
//
// The walks (record_walks.hpp), all producing the records in date order:
// - inputs whose stocks are adjacent (or any mixed layout) are walked date by date,
//   in tiles of eight days: the scan marks the tile's busy cells in bit words of 64
//   stocks, then each day visits the held or busy stocks of each word in order (on
//   row-major inputs four at a time where the processor has AVX2: record_wide.hpp,
//   asking for the lines of the stocks two words ahead, which lie where the
//   hardware would not look for them). On one thread the records go straight onto
//   the tables. On two threads the stocks are split in two halves at a block of 64,
//   each tile of 64 days of the two halves is walked side by side into each half's
//   own tables, already in date order, and each day's run of the first half and
//   then of the second are copied whole onto the end of the tables;
// - column-major inputs, where the processor has AVX-512, are walked on one thread
//   by groups of eight days (record_groups.cpp): each group steps the stocks held
//   before it or busy in it, in stock order, each stock one vector of eight days
//   as the engine's column pass steps it, the lines of the stocks a few places
//   ahead asked for meanwhile; each stock's vectors of records are staged whole and
//   put onto the tables day after day through 8 x 8 transposes
//   (record_stage_avx512.cpp);
// - otherwise column-major inputs are walked stock by stock down tiles of 512 days
//   (long stretches of each column: jumping between columns is what costs there).
//   Each block of 64 stocks is first scanned in one tight pass for its busy groups
//   of eight days (one bit word per stock), then each stock's walk jumps from busy
//   group to busy group while nothing is held. Each tile's records, which come
//   stock by stock, are then put in date order (a counting sort) onto the end of
//   the tables while still fresh. On two threads each tile's two halves of the
//   stocks are walked side by side and their records sorted together, the columns
//   split between the threads in shares of about equal bytes. Where the processor
//   has AVX-512, each stock is walked eight days a vector instead, skipping only
//   vectors with nothing held and nothing wanted (record_columns_avx512.cpp).
// On two threads the second half's block sums of a tile are kept and folded after
// the first half's, and its trades and positions added to the first half's day
// totals in stock order, so the totals are those of one walk to the last bit.
//
// Plain C++ on strided buffers, no Python object touched: safe to run with the GIL
// released. Memory grows with the number of records (growable column buffers, sized
// from the rate of records so far when they must grow, so that they grow a few
// times rather than double a dozen times) plus, for a walk on two threads or
// down the columns, one tile's records, and for the walk by groups of days one
// group's stage (about 800 bytes a stock) and a bit word per stock and 512 days;
// besides that a few arrays of one entry per day or stock. Nothing of size days x
// stocks is allocated. Large columns freed
// by a pass are kept for the next one (record_buffers.hpp), and so are the tile
// tables and the sort's scratch (record_tiles.hpp): fresh pages, which the kernel
// clears, cost about a third of the processor time of a large pass. On two threads
// the second is started once per pass and handed each step (record_helper.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/daystep/vwap.hpp"
#include "records/kernels/record_buffers.hpp"

namespace tessary::kernels {

/// Sides of trades and refused trades (the tag of those tables).
enum Side : std::uint8_t { kBuy = 0, kSell = 1 };

/// Everything one recording pass produces. Records are sorted by date row, then by
/// stock column.
struct VwapRecords {
    /// Executed trades (tag: side): shares, execution price, traded value,
    /// commission, levy. A sell's value is shares x split factor x sell price, the
    /// proceeds the return rules credit (the share count is not scaled on a split).
    RecordTable<5> trades;
    /// Trades the target asked for that a flag refused (tag: side): shares wanted.
    RecordTable<1> blocked;
    /// Stocks held after the day's trades: shares, value at the close (carried shares
    /// valued at split factor x close, bought shares at close, as the rules do).
    RecordTable<2> positions;
    /// Non-zero profit contributions: buy, hold, hold dividend, sell, sell dividend.
    RecordTable<5> pnl;

    /// Per date row: bought and sold value, commission, levy (NaN values left out),
    /// the number of stocks held, and the day's profit in money, the latter exactly
    /// as the daily-return kernel sums it.
    std::vector<double> bought, sold, commission, levy, held, profit;

    VwapRecords() {
        trades.tagged = true;
        blocked.tagged = true;
    }
    std::size_t bytes() const;
};

/// Runs the engine's day loop over `in` and records what happened. The daily profit
/// equals `vwap_daily_cash(in, ...)` bit for bit: per block of 64 stocks the five
/// products are summed in stock order and folded into compensated totals in block
/// order, exactly as that kernel does. The other daily totals are added up in stock
/// order within each date, as a walk date by date meets the records.
///
/// `threads`: 0 lets the pass choose (one thread, but two for a large market of
/// column-major inputs walked cell by cell, as where the processor lacks AVX-512,
/// when the process may run on two cores or more), 1 keeps it on the calling thread,
/// 2 walks the market's two halves of stocks on two threads. The pass is bound by
/// the memory's speed, which two cores share: two threads gain little wall time for
/// much processor time, except on that walk, which must sort its records. The
/// records and totals are the same whichever is chosen.
/// Returns the threads used (1 or 2). A pass on two threads that finds
/// another process holding one of the cores (its steps get much less processor time
/// than they take) finishes on one thread; `one_from` makes it do so from the first
/// tile of days ending at or after that day (for tests). `wide`: column-major inputs
/// are walked eight days a vector where the process's vector width is AVX-512's
/// (false walks them cell by cell everywhere; the records are the same). Throws
/// std::bad_alloc when memory runs out.
int record_vwap_pass(const VwapInputs &in, VwapRecords &out, int threads = 0, bool wide = true,
                     std::size_t one_from = SIZE_MAX);

/// The records of the hold rule (`vwap_daily_cash_hold`, with the same `given` flags
/// per return day): one walk date by date on the calling thread. Share counts are
/// the new shares from a split day on, so a sell's value is shares x sell price and a
/// position's value shares x close. The daily profit equals `vwap_daily_cash_hold`'s
/// bit for bit. Throws std::bad_alloc when memory runs out.
void record_vwap_hold_pass(const VwapInputs &in, const std::uint8_t *given, VwapRecords &out);

}  // namespace tessary::kernels

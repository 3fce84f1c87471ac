// Recording pass of the VWAP engine: the same day loop as the daily-return kernel,
// cell for cell the same arithmetic, but every trade, refused trade, position and
// profit contribution is written down as a record.
//
// Plain C++ on strided buffers, no Python object touched: safe to run with the GIL
// released. Memory grows with the number of records (growable column buffers, plus
// a spare column and an index while the records are put in date order) and a few
// arrays of one entry per day; when a column-major market is split over two
// threads, the second half's per-block daily sums (five floats per day and block of
// 64 stocks) are kept as well. Nothing of size days x stocks is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pnl_engine/kernels/vwap.hpp"
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
/// order, exactly as that kernel does. Stocks that are neither held nor wanted cost
/// a read of their weight and dividend only.
///
/// Column-major inputs are walked stock by stock down all the days (every input read
/// as a sequential stream, as the return kernel reads them) and the records put in
/// date order afterwards; other layouts are walked date by date. The daily totals
/// other than the profit are summed from the date-ordered tables.
///
/// `threads`: 0 lets the pass choose, 1 keeps it on the calling thread, 2 walks a
/// column-major market's two halves of stocks on two threads and sorts the tables on
/// two threads (the records and totals are the same whichever is chosen). Throws
/// std::bad_alloc when memory runs out.
void record_vwap_pass(const VwapInputs &in, VwapRecords &out, int threads = 0);

}  // namespace tessary::kernels
